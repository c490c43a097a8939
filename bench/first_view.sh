#!/usr/bin/env bash
# Thumbnails on every core, wall-clock, side by side in one run on
# 12-megapixel camera-like JPEG pictures:
#   the first photo page of 100 pictures without thumbnails, on the thumbnail
#   threads (default: one per core)          vs the same page one at a time
#                                            (PICTORAMA_THUMBNAIL_THREADS=1; target <= 0.6x)
#                                            and 100 jthumb -s 1 -k runs (target <= 0.55x)
#   the site owner's command on many pictures: pictures per second per thread
#                                            vs one jthumb run per picture (target within 1.1x),
#                                            and its peak memory per thread (target < 20 MB)
# Wall-clock seconds and peak memory from /usr/bin/time.
# Environment: RUNS (default 3), PICTURES (default 100), COMMAND_PICTURES
# (default 500; the photo page lists at most 501 pictures, and so does the command).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTORAMA_BENCH_BUILD:-$top/build-bench}
runs=${RUNS:-3}
pictures=${PICTURES:-100}
commandPictures=${COMMAND_PICTURES:-500}
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

# Runs a command under /usr/bin/time; sets WALL_S and PEAK_KB.
measure() {
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>&1 || true
  read -r WALL_S PEAK_KB < "$work/time.txt"
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

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

echo "picture: $(stat -c %s "$picture") bytes, 4000x3000; $cores cores; median of $runs runs (wall-clock)"
echo "first photo page of $pictures pictures, every thumbnail missing"
many=$work/many
gallery "$many" "$pictures"
parallel="" sequential="" jthumbs="" peak=0
for ((r = 0; r < runs; r++)); do
  rm -f "$many"/t_*.jpg
  request "$many" "$cores"; measure "${REQUEST[@]}"; parallel+="$WALL_S "
  (( PEAK_KB > peak )) && peak=$PEAK_KB
  rm -f "$many"/t_*.jpg
  request "$many" 1; measure "${REQUEST[@]}"; sequential+="$WALL_S "
  measure bash -c "for i in \$(seq $pictures); do '$jthumb' -s 1 -k -H 70 -q 75 '$picture' '$work/jn.jpg'; done"
  jthumbs+="$WALL_S "
done
p=$(echo $parallel | median) s=$(echo $sequential | median) j=$(echo $jthumbs | median)
printf "  %-48s %7.2f s, peak %.1f MB\n" "on $cores threads" "$p" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')"
printf "  %-48s %7.2f s\n" "one at a time (PICTORAMA_THUMBNAIL_THREADS=1)" "$s"
printf "  %-48s %7.2f s\n" "$pictures x jthumb -s 1 -k -H 70 -q 75" "$j"
awk -v p="$p" -v s="$s" -v j="$j" \
  'BEGIN { printf "  ratio to one at a time %.2f (target <= 0.6), to the jthumb runs %.2f (target <= 0.55)\n", p / s, p / j }'

echo "the site owner's command on $commandPictures pictures"
lots=$work/lots
gallery "$lots" "$commandPictures"
measure "$lots/pictorama.cgi" --make-thumbnails --threads "$cores"
made=$(ls "$lots" | grep -c '^t_' || true)
cw=$WALL_S cpeak=$PEAK_KB
measure bash -c "for i in \$(seq 20); do '$jthumb' -s 1 -k -H 70 -q 75 '$picture' '$work/jn.jpg'; done"
jone=$(awk -v w="$WALL_S" 'BEGIN { print w / 20 }')
perThread=$(awk -v n="$made" -v w="$cw" -v t="$cores" 'BEGIN { print n / w / t }')
printf "  %-48s %7.2f s for %d thumbnails, %.2f per second per thread\n" "--make-thumbnails --threads $cores" "$cw" "$made" "$perThread"
printf "  %-48s %7.3f s per picture, %.2f per second\n" "jthumb -s 1 -k, one run per picture" "$jone" \
  "$(awk -v o="$jone" 'BEGIN { print 1 / o }')"
awk -v a="$perThread" -v o="$jone" -v k="$cpeak" -v t="$cores" \
  'BEGIN { printf "  jthumb rate / ours per thread %.2f (target <= 1.1); peak %.1f MB, %.1f MB per thread (target < 20)\n", (1 / o) / a, k / 1024, k / 1024 / t }'
