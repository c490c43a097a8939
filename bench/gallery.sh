#!/usr/bin/env bash
# The gallery's own requests, whole process, side by side with the reference
# programs in the same run, on 12-megapixel camera-like JPEG pictures:
#   a photo page that makes one missing thumbnail  vs jthumb -s 1 -k (target <= 1.2x)
#                                                  and ImageMagick (target <= 0.8x)
#   a slideshow request (560 px, quality 100)      vs the same two
#   the first photo page of 100 pictures           vs 100 jthumb runs (target <= 1.1x)
#   the same page with every thumbnail present     (target < 2% of the first view)
#   peak memory of the first view                  (target < 20 MB)
# CPU time is user + system of the measured process, from /usr/bin/time.
# Environment: RUNS (default 10), PICTURES (default 100).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTORAMA_BENCH_BUILD:-$top/build-bench}
runs=${RUNS:-10}
pictures=${PICTURES:-100}
program=$build/pictorama.cgi
tool=$build/bench/thumb_tool
work=$build/bench/gallery
mkdir -p "$work"

ref=${PICTORAMA_REFERENCE_BENCH:-}
if [[ -z $ref ]]; then
  for candidate in "$top/../shared/bench" "$top/../../shared/bench"; do
    [[ -f $candidate/jthumb.c ]] && ref=$candidate && break
  done
fi
[[ -n $ref && -f $ref/jthumb.c ]] || { echo "jthumb.c not found (set PICTORAMA_REFERENCE_BENCH)"; exit 1; }
[[ -x $program && -x $tool ]] || { echo "build with -DPICTORAMA_BENCH=ON first (./run bench)"; exit 1; }
convert=/usr/bin/convert
[[ -x $convert ]] || { echo "ImageMagick missing (./run setup)"; exit 1; }

jthumb=$work/jthumb
[[ -x $jthumb && $jthumb -nt $ref/jthumb.c ]] || gcc -O2 -o "$jthumb" "$ref/jthumb.c" -ljpeg
picture=$work/camera12mp.jpg
[[ -s $picture ]] || "$tool" make "$picture" 4000 3000 92

# Runs a command under /usr/bin/time; sets CPU_MS and PEAK_KB.
measure() {
  /usr/bin/time -f "%U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>&1
  read -r user sys peak < "$work/time.txt"
  CPU_MS=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.1f", (u + s) * 1000 }')
  PEAK_KB=$peak
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# A gallery folder with the program and the pictures named on the command line.
gallery() {  # folder count
  local dir=$1 count=$2 i
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$program" "$dir/pictorama.cgi"
  for ((i = 1; i <= count; i++)); do
    ln "$picture" "$dir/IMG_$(printf %04d "$i").JPG"
    printf '2026-%04d\r\n' "$i" > "$dir/IMG_$(printf %04d "$i").idd"
    printf 'Picture %d\r\n' "$i" > "$dir/IMG_$(printf %04d "$i").txt"
  done
}

request() {  # folder query
  env -i GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING="$2" SERVER_SOFTWARE=bench \
    SCRIPT_NAME=/pictorama.cgi DOCUMENT_ROOT="$1" HTTP_HOST=localhost REMOTE_ADDR=127.0.0.1 \
    "$1/pictorama.cgi"
}

report() {  # label samples...
  local label=$1; shift
  printf "  %-44s median %8.1f ms\n" "$label" "$(echo "$*" | median)"
}

one=$work/one
gallery "$one" 1
echo "picture: $(stat -c %s "$picture") bytes, 4000x3000; $runs runs each (CPU ms, user + system)"

echo "photo page making one missing thumbnail (70 px, quality 75)"
ours="" theirs="" magick=""
for ((r = 0; r < runs; r++)); do
  rm -f "$one"/t_*.jpg
  measure request "$one" ""; ours+="$CPU_MS "
  measure "$jthumb" -s 1 -k -H 70 -q 75 "$picture" "$work/j70.jpg"; theirs+="$CPU_MS "
  measure "$convert" -define jpeg:size=186x140 "$picture" -thumbnail x70 -quality 75 "$work/m70.jpg"; magick+="$CPU_MS "
done
report "pictorama.cgi photo page" $ours; report "jthumb -s 1 -k" $theirs; report "convert -define jpeg:size" $magick
a=$(echo $ours | median) b=$(echo $theirs | median) c=$(echo $magick | median)
awk -v a="$a" -v b="$b" -v c="$c" 'BEGIN { printf "  ratio to jthumb %.2f (target <= 1.2), to convert %.2f (target <= 0.8)\n", a / b, a / c }'

echo "slideshow request (560 px, quality 100)"
ours="" theirs="" magick=""
for ((r = 0; r < runs; r++)); do
  measure request "$one" "W"; ours+="$CPU_MS "
  measure "$jthumb" -s 1 -k -H 560 -q 100 "$picture" "$work/j560.jpg"; theirs+="$CPU_MS "
  measure "$convert" -define jpeg:size=1494x1120 "$picture" -thumbnail x560 -quality 100 "$work/m560.jpg"; magick+="$CPU_MS "
done
report "pictorama.cgi ?W" $ours; report "jthumb -s 1 -k" $theirs; report "convert -define jpeg:size" $magick
a=$(echo $ours | median) b=$(echo $theirs | median) c=$(echo $magick | median)
awk -v a="$a" -v b="$b" -v c="$c" 'BEGIN { printf "  ratio to jthumb %.2f (target <= 1.2), to convert %.2f (target <= 0.8)\n", a / b, a / c }'

many=$work/many
gallery "$many" "$pictures"
echo "first photo page of $pictures pictures, every thumbnail missing"
measure request "$many" ""
first=$CPU_MS peak=$PEAK_KB
measure bash -c "for i in \$(seq $pictures); do '$jthumb' -s 1 -k -H 70 -q 75 '$picture' '$work/jn.jpg'; done"
sum=$CPU_MS
printf "  %-44s %8.1f ms, peak %d KB\n" "pictorama.cgi first view" "$first" "$peak"
printf "  %-44s %8.1f ms\n" "$pictures x jthumb -s 1 -k" "$sum"
awk -v a="$first" -v b="$sum" 'BEGIN { printf "  ratio %.2f (target <= 1.1)\n", a / b }'
later=""
for ((r = 0; r < runs; r++)); do measure request "$many" ""; later+="$CPU_MS "; done
l=$(echo $later | median)
printf "  %-44s %8.1f ms = %.2f%% of the first view (target < 2%%)\n" "same page, thumbnails present" "$l" \
  "$(awk -v a="$l" -v b="$first" 'BEGIN { print 100 * a / b }')"
printf "  peak memory of the first view: %.1f MB (target < 20 MB)\n" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')"
