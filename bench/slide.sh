#!/usr/bin/env bash
# What one slideshow request (`?W`) costs: peak memory (maximum resident set)
# and CPU time (user + system) of the CGI process, on a 60000 x 600 JPEG, on a
# 24-megapixel camera-sized one (6000 x 4000) and on the 60000 x 600 one tagged
# upside down (EXIF orientation 3: made a band at a time), the first request
# of a picture and the later ones, side by side in the same run with the tools
# here that make the same 560-high JPEG at quality 100 from the same file:
#   jthumb -s 1 -k -H 560 -q 100   (the floor with exact point sampling;
#                                   when the reference folder is found)
#   vipsthumbnail --size x560      (shrink-on-load, streaming)
#   convert -sample x560           (ImageMagick's point sampling)
# Each folder holds one picture, so every request shows it again.
#
#   bench/slide.sh [PROGRAM]    (default: $PICTORAMA_BENCH_BUILD/pictorama.cgi)
# Environment: ROUNDS (later requests measured, default 5), PICTORAMA_BENCH_BUILD
# (default build-bench; its bench/thumb_tool makes the pictures),
# PICTORAMA_REFERENCE_BENCH (the folder with jthumb.c).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTORAMA_BENCH_BUILD:-$top/build-bench}
program=$(realpath "${1:-$build/pictorama.cgi}")
rounds=${ROUNDS:-5}
tool=$build/bench/thumb_tool
[[ -x $program ]] || { echo "$program missing (./run bench builds it)" >&2; exit 1; }
[[ -x $tool ]] || { echo "$tool missing: build with -DPICTORAMA_BENCH=ON (./run bench)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time is missing (Debian package time)" >&2; exit 1; }
command -v vipsthumbnail >/dev/null || { echo "vipsthumbnail missing (./run setup)" >&2; exit 1; }
[[ -x /usr/bin/convert ]] || { echo "ImageMagick missing (./run setup)" >&2; exit 1; }

ref=${PICTORAMA_REFERENCE_BENCH:-}
if [[ -z $ref ]]; then
  for candidate in "$top/../shared/bench" "$top/../../shared/bench"; do
    [[ -f $candidate/jthumb.c ]] && ref=$candidate && break
  done
fi

work=$(mktemp -d /tmp/pictorama-bench-slide-XXXXXX)
trap 'rm -rf "$work"' EXIT
jthumb=
if [[ -n $ref && -f $ref/jthumb.c ]]; then
  jthumb=$work/jthumb
  gcc -O2 -o "$jthumb" "$ref/jthumb.c" -ljpeg
fi

# measure OUTPUT COMMAND...: appends "peak-KiB cpu-seconds" of the command;
# a reference tool that refuses the picture is noted, the program must not.
measure() {
  local out=$1
  shift
  if /usr/bin/time -f '%M %U %S' -o "$work/time" "$@" > /dev/null 2> "$work/err"; then
    awk '{ printf "%d %.3f\n", $1, $2 + $3 }' "$work/time" >> "$out"
  else
    echo "$(basename "$1") failed: ($(tr '\n' ' ' < "$work/err" | head -c 160))" >> "$work/failures"
  fi
}

# One slideshow request to the program in FOLDER.
slide_request=(env -i PATH=/usr/bin:/bin GATEWAY_INTERFACE=CGI/1.1 SERVER_SOFTWARE=bench
  SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=GET QUERY_STRING=W SCRIPT_NAME=/pictorama.cgi
  HTTP_HOST=localhost REMOTE_ADDR=127.0.0.1)

# summary LABEL FILE: the median of the peaks and of the CPU times.
summary() {
  [[ -s $2 ]] || { printf '%s\tfailed (see below)\n' "$1"; return; }
  sort -n -k1,1 "$2" | awk '{ k[NR] = $1 } END { printf "%s\t%d", "'"$1"'", k[int((NR + 1) / 2)] }'
  sort -n -k2,2 "$2" | awk '{ c[NR] = $2 } END { printf "\t%.3f\t(%d runs)\n", c[int((NR + 1) / 2)], NR }'
}

# tagged IN OUT ORIENTATION: the JPEG with an EXIF block holding the orientation.
tagged() {
  python3 - "$1" "$2" "$3" <<'PY'
import struct, sys
src = open(sys.argv[1], "rb").read()
tiff = b"II*\0" + struct.pack("<IH", 8, 1) + struct.pack("<HHII", 0x0112, 3, 1, int(sys.argv[3])) + b"\0\0\0\0"
block = b"Exif\0\0" + tiff
open(sys.argv[2], "wb").write(src[:2] + b"\xff\xe1" + struct.pack(">H", len(block) + 2) + block + src[2:])
PY
}

# CPU seconds per request of COUNT requests in a row (finer than one request's).
cpu_per_request() {  # folder count
  local start end self=$BASHPID
  start=$(awk '{ print $14 + $15 + $16 + $17 }' "/proc/$self/stat")
  for ((k = 0; k < $2; k++)); do "${slide_request[@]}" DOCUMENT_ROOT="$1" "$1/pictorama.cgi" > /dev/null; done
  end=$(awk '{ print $14 + $15 + $16 + $17 }' "/proc/$self/stat")
  awk -v a="$start" -v b="$end" -v n="$2" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.4f", (b - a) / hz / n }'
}

echo "program: $program; $rounds later requests per picture"
for shape in 60000x600 6000x4000 60000x600-upside-down; do
  size=${shape%-*}
  picture=$work/p$shape.jpg
  "$tool" make "$picture" "${size%x*}" "${size#*x}" 92
  if [[ $shape == *-upside-down ]]; then
    tagged "$picture" "$picture.tagged" 3
    mv "$picture.tagged" "$picture"
  fi
  g=$work/g$shape
  mkdir "$g"
  cp "$program" "$g/pictorama.cgi"
  cp "$picture" "$g/picture.jpg"
  rm -f "$work"/*.txt "$work/failures"
  measure "$work/first.txt" "${slide_request[@]}" DOCUMENT_ROOT="$g" "$g/pictorama.cgi"
  [[ -s $g/t_SLIDEIMAGE.JPG && -s $work/first.txt ]] || { echo "no slide made for $shape" >&2; cat "$work/failures" >&2; exit 1; }
  for ((i = 0; i < rounds; i++)); do
    measure "$work/later.txt" "${slide_request[@]}" DOCUMENT_ROOT="$g" "$g/pictorama.cgi"
    [[ -n $jthumb ]] && measure "$work/jthumb.txt" "$jthumb" -s 1 -k -H 560 -q 100 "$picture" "$work/j.jpg"
    measure "$work/vips.txt" vipsthumbnail "$picture" --size x560 -o "$work/v.jpg[Q=100]"
    measure "$work/convert.txt" /usr/bin/convert "$picture" -sample x560 -quality 100 "$work/c.jpg"
  done
  later_cpu=$(cpu_per_request "$g" 20)
  echo
  echo "$shape ($(stat -c %s "$picture") bytes), medians:"
  printf '%s\t%s\t%s\n' "what" "peak KiB" "CPU s"
  summary "?W first request" "$work/first.txt"
  summary "?W later requests" "$work/later.txt"
  printf '%s\t\t%s\t(20 in a row)\n' "?W later, CPU per request" "$later_cpu"
  [[ -n $jthumb ]] && summary "jthumb -s 1 -k" "$work/jthumb.txt"
  summary "vipsthumbnail" "$work/vips.txt"
  summary "convert -sample" "$work/convert.txt"
  [[ -s $work/failures ]] && sort -u "$work/failures"
done
