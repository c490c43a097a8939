#!/usr/bin/env bash
# Thumbnails on every core, side by side in one run on 12-megapixel
# camera-like JPEG pictures:
#   the first photo page of 100 pictures without thumbnails, on the thumbnail
#   threads (default: one per core)          vs the same page one at a time
#                                            (PICTORAMA_THUMBNAIL_THREADS=1; target <= 0.6x)
#                                            and 100 jthumb -s 1 -k runs (target <= 0.55x)
#   the site owner's command on many pictures: pictures per second per thread
#                                            vs one jthumb run per picture (target within 1.1x),
#                                            and its peak memory per thread (target < 20 MB)
#
# The targets are wall-clock ones and hold only on a machine with its cores to
# itself: a parallel run needs every core at once, a row of single runs needs
# one. So every measurement is made alike (/usr/bin/time around a whole
# process tree, the jthumb runs over the very files our program reads), the
# three of a round are made one after the other in an order that turns from
# round to round, the ratios are taken within a round and their median shown,
# and the load average is printed before and after. Beside the wall-clock
# figures come the CPU seconds (user + system) of each, which other work on
# the machine hardly moves, jthumb run on as many processes at once as there
# are cores, the same parallelism as ours, and how many cores other work kept
# busy during the measurements (from /proc/stat).
# Environment: RUNS (default 3), PICTURES (default 100), COMMAND_PICTURES
# (default 500; the photo page lists at most 501 pictures, and so does the
# command), JTHUMB_PICTURES (default 100: the jthumb runs beside each command
# run), PICTORAMA_BENCH_BUILD, PICTORAMA_REFERENCE_BENCH.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTORAMA_BENCH_BUILD:-$top/build-bench}
runs=${RUNS:-3}
pictures=${PICTURES:-100}
commandPictures=${COMMAND_PICTURES:-500}
jthumbPictures=${JTHUMB_PICTURES:-100}
program=$build/pictorama.cgi
tool=$build/bench/thumb_tool
work=$build/bench/first_view
mkdir -p "$work"

ref=${PICTORAMA_REFERENCE_BENCH:-}
if [[ -z $ref ]]; then
  for candidate in "$top/../shared/bench" "$top/../../shared/bench"; do
    [[ -f $candidate/jthumb.c ]] && ref=$candidate && break
  done
fi
[[ -n $ref && -f $ref/jthumb.c ]] || { echo "jthumb.c not found (set PICTORAMA_REFERENCE_BENCH)"; exit 1; }
[[ -x $program && -x $tool ]] || { echo "build with -DPICTORAMA_BENCH=ON first (./run bench)"; exit 1; }

jthumb=$work/jthumb
[[ -x $jthumb && $jthumb -nt $ref/jthumb.c ]] || gcc -O2 -o "$jthumb" "$ref/jthumb.c" -ljpeg
picture=$work/camera12mp.jpg
[[ -s $picture ]] || "$tool" make "$picture" 4000 3000 92
cores=$(nproc)
scratch=$work/jthumb-out
mkdir -p "$scratch"

load() { cut -d' ' -f1-3 /proc/loadavg; }
# CPU seconds the whole machine has been busy (all processes, all cores).
busy() { awk -v hz="$(getconf CLK_TCK)" '$1 == "cpu" { print ($2 + $3 + $4 + $7 + $8 + $9) / hz; exit }' /proc/stat; }
others=""

# Runs a command under /usr/bin/time; sets WALL_S, CPU_S (user + system of
# the whole process tree) and PEAK_KB (the largest process's), and notes how
# many cores other work on the machine kept busy meanwhile (in others).
measure() {
  local before after user system
  before=$(busy)
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>&1 || true
  after=$(busy)
  read -r WALL_S user system PEAK_KB < "$work/time.txt"
  CPU_S=$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')
  others+="$(awk -v a="$after" -v b="$before" -v c="$CPU_S" -v w="$WALL_S" 'BEGIN { o = (a - b - c) / w; print (o < 0 ? 0 : o) }') "
}
# The median and the largest of those figures since the last call.
report_others() {
  printf "  other work on the machine meanwhile: %.2f cores (median), %.2f at most, of %d\n" \
    "$(echo $others | median)" "$(echo $others | tr ' ' '\n' | grep . | sort -g | tail -1)" "$cores"
  others=""
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { print (b > 0 ? a / b : 0) }'; }

# A gallery folder with the program and count listed pictures (hard links of one).
gallery() {  # folder count
  local dir=$1 count=$2 i name
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$program" "$dir/pictorama.cgi"
  for ((i = 1; i <= count; i++)); do
    name=IMG_$(printf %04d "$i")
    ln "$picture" "$dir/$name.JPG"
    printf '2026-%04d\r\n' "$i" > "$dir/$name.idd"
    printf 'Picture %d\r\n' "$i" > "$dir/$name.txt"
  done
}

# The command line of a CGI photo page request for the folder: sets REQUEST.
request() {  # folder threads
  REQUEST=(env -i GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING= SERVER_SOFTWARE=bench
    SCRIPT_NAME=/pictorama.cgi DOCUMENT_ROOT="$1" HTTP_HOST=localhost REMOTE_ADDR=127.0.0.1
    PICTORAMA_THUMBNAIL_THREADS="$2" "$1/pictorama.cgi")
}

# One jthumb process per picture of the folder (the first count of them), on
# processes processes at once: sets JTHUMB (a command line for measure).
jthumbs() {  # folder count processes
  local list=$work/jthumb-$2.list f i=0
  : > "$list"
  for f in "$1"/IMG_*.JPG; do
    ((i++ < $2)) || break
    printf '%s %s\n' "$f" "$scratch/t_$(basename "$f")" >> "$list"
  done
  JTHUMB=(xargs -a "$list" -n 2 -P "$3" "$jthumb" -s 1 -k -H 70 -q 75)
}

echo "picture: $(stat -c %s "$picture") bytes, 4000x3000; $cores cores; $runs rounds, medians"
echo "load average before: $(load)"
echo "first photo page of $pictures pictures, every thumbnail missing"
many=$work/many
gallery "$many" "$pictures"
jthumbs "$many" "$pictures" 1
declare -a wall cpu
wall=("" "" "") cpu=("" "" "")
toSequential="" toJthumb="" peak=0
for ((r = 0; r < runs; r++)); do
  declare -A w=()
  for ((k = 0; k < 3; k++)); do
    which=$(((r + k) % 3))
    case $which in
      0) rm -f "$many"/t_*.jpg; request "$many" "$cores"; measure "${REQUEST[@]}"
         ((PEAK_KB > peak)) && peak=$PEAK_KB ;;
      1) rm -f "$many"/t_*.jpg; request "$many" 1; measure "${REQUEST[@]}" ;;
      2) measure "${JTHUMB[@]}" ;;
    esac
    w[$which]=$WALL_S
    wall[which]+="$WALL_S " cpu[which]+="$CPU_S "
  done
  toSequential+="$(ratio "${w[0]}" "${w[1]}") " toJthumb+="$(ratio "${w[0]}" "${w[2]}") "
done
labels=("on $cores threads" "one at a time (PICTORAMA_THUMBNAIL_THREADS=1)" "$pictures x jthumb -s 1 -k -H 70 -q 75")
for i in 0 1 2; do
  printf "  %-48s %7.2f s wall, %6.2f s CPU" "${labels[i]}" "$(echo ${wall[i]} | median)" "$(echo ${cpu[i]} | median)"
  ((i == 0)) && printf ", peak %.1f MB" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')"
  echo
done
printf "  wall-clock, median of the rounds' ratios: to one at a time %.2f (target <= 0.6), to the jthumb runs %.2f (target <= 0.55)\n" \
  "$(echo $toSequential | median)" "$(echo $toJthumb | median)"
pc=$(echo ${cpu[0]} | median) jc=$(echo ${cpu[2]} | median)
printf "  CPU per picture: ours %.1f ms, jthumb %.1f ms (ours / jthumb %.2f)\n" \
  "$(awk -v c="$pc" -v n="$pictures" 'BEGIN { print c * 1000 / n }')" \
  "$(awk -v c="$jc" -v n="$pictures" 'BEGIN { print c * 1000 / n }')" "$(ratio "$pc" "$jc")"

report_others
echo "the site owner's command on $commandPictures pictures, beside $jthumbPictures jthumb runs"
lots=$work/lots
gallery "$lots" "$commandPictures"
jthumbs "$lots" "$jthumbPictures" 1; sequentialJthumb=("${JTHUMB[@]}")
jthumbs "$lots" "$jthumbPictures" "$cores"; parallelJthumb=("${JTHUMB[@]}")
oursRate="" oursCpu="" seqRate="" seqCpu="" parRate="" toSeq="" toPar="" cpeak=0 made=0
for ((r = 0; r < runs; r++)); do
  declare -A rate=()
  for ((k = 0; k < 3; k++)); do
    which=$(((r + k) % 3))
    case $which in
      0) rm -f "$lots"/t_*.jpg
         measure "$lots/pictorama.cgi" --make-thumbnails --threads "$cores"
         made=$(find "$lots" -maxdepth 1 -name 't_*.jpg' | wc -l)
         ((PEAK_KB > cpeak)) && cpeak=$PEAK_KB
         rate[0]=$(awk -v n="$made" -v w="$WALL_S" -v t="$cores" 'BEGIN { print n / w / t }')
         oursRate+="${rate[0]} " oursCpu+="$(awk -v c="$CPU_S" -v n="$made" 'BEGIN { print c * 1000 / n }') " ;;
      1) measure "${sequentialJthumb[@]}"
         rate[1]=$(awk -v n="$jthumbPictures" -v w="$WALL_S" 'BEGIN { print n / w }')
         seqRate+="${rate[1]} " seqCpu+="$(awk -v c="$CPU_S" -v n="$jthumbPictures" 'BEGIN { print c * 1000 / n }') " ;;
      2) measure "${parallelJthumb[@]}"
         rate[2]=$(awk -v n="$jthumbPictures" -v w="$WALL_S" -v t="$cores" 'BEGIN { print n / w / t }')
         parRate+="${rate[2]} " ;;
    esac
  done
  toSeq+="$(ratio "${rate[1]}" "${rate[0]}") " toPar+="$(ratio "${rate[2]}" "${rate[0]}") "
done
printf "  %-48s %6.2f per second per thread, %5.1f ms CPU per picture (%d made)\n" \
  "--make-thumbnails --threads $cores" "$(echo $oursRate | median)" "$(echo $oursCpu | median)" "$made"
printf "  %-48s %6.2f per second, %5.1f ms CPU per picture\n" "jthumb -s 1 -k, one run per picture" \
  "$(echo $seqRate | median)" "$(echo $seqCpu | median)"
printf "  %-48s %6.2f per second per process\n" "the same on $cores processes at once" "$(echo $parRate | median)"
printf "  wall-clock, median of the rounds' ratios: jthumb rate / ours per thread %.2f (target <= 1.1); on %d processes / ours per thread %.2f\n" \
  "$(echo $toSeq | median)" "$cores" "$(echo $toPar | median)"
printf "  CPU per picture, ours / jthumb %.2f; peak %.1f MB, %.1f MB per thread (target < 20)\n" \
  "$(ratio "$(echo $oursCpu | median)" "$(echo $seqCpu | median)")" \
  "$(awk -v k="$cpeak" 'BEGIN { print k / 1024 }')" "$(awk -v k="$cpeak" -v t="$cores" 'BEGIN { print k / 1024 / t }')"
report_others
echo "load average after: $(load) (this benchmark's own processes included)"
