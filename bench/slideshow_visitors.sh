#!/usr/bin/env bash
# The photo page with no past slideshow visitors against the same page after
# 100 000 distinct addresses have used the slideshow (target: at most 1.2x).
# The visitors' requests go through the library under the stand-in web server
# (2 threads, each request with its own REMOTE_ADDR); the photo pages are CGI
# processes, wall time, the two folders measured in turn so that the load of a
# shared machine falls on both alike. The positions live beside the program
# (no CGI_PRIVATE_DIR), where the photo page lists them.
# Environment: VISITORS (default 100000), RUNS (default 101), PICTURES (default 30).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTORAMA_BENCH_BUILD:-$top/build-bench}
visitors=${VISITORS:-100000}
runs=${RUNS:-101}
pictures=${PICTURES:-30}
program=$build/pictorama.cgi
library=$build/pictorama.so
host=$build/isapi_host
[[ -x $program && -f $library && -x $host ]] || { echo "build first (./run bench)"; exit 1; }
command -v convert >/dev/null || { echo "ImageMagick missing (./run setup)"; exit 1; }

work=$(mktemp -d /tmp/pictorama-bench-visitors-XXXXXX)
trap 'rm -rf "$work"' EXIT

convert -size 64x48 gradient:steelblue-khaki -quality 90 "$work/model.jpg"
gallery() {  # folder
  mkdir -p "$1"
  cp "$program" "$1/pictorama.cgi"
  local i
  for ((i = 1; i <= pictures; i++)); do
    cp "$work/model.jpg" "$1/IMG_$(printf %04d "$i").jpg"
    printf '2026-%04d\r\n' "$i" > "$1/IMG_$(printf %04d "$i").idd"
    printf 'Picture %d\r\n' "$i" > "$1/IMG_$(printf %04d "$i").txt"
  done
}
none=$work/none visited=$work/visited
gallery "$none"
gallery "$visited"
cp "$library" "$visited/pictorama.so"

photo_page() {  # folder
  env -i GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING= SERVER_SOFTWARE=bench \
    SCRIPT_NAME=/pictorama.cgi DOCUMENT_ROOT="$1" HTTP_HOST=localhost REMOTE_ADDR=127.0.0.1 \
    "$1/pictorama.cgi" >/dev/null
}
# Thumbnails made once, outside the measurement.
photo_page "$none"
photo_page "$visited"

# One slideshow request per distinct address.
awk -v n="$visitors" -v root="$visited" 'BEGIN {
  print "threads 2"
  for (i = 0; i < n; i++) {
    printf "request\nquery W\npathtranslated %s\nvar SCRIPT_NAME=/pictorama.cgi\nvar SERVER_SOFTWARE=bench\n", root
    printf "var HTTP_HOST=localhost\nvar REMOTE_ADDR=10.%d.%d.%d\nend\n", int(i / 65536), int(i / 256) % 256, i % 256
  }
}' > "$work/plan"
start=$EPOCHREALTIME
"$host" "$visited/pictorama.so" "$work/plan" > "$work/host.txt" || { cat "$work/host.txt"; exit 1; }
elapsed=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
positions=$(find "$visited" -maxdepth 1 -name 'SlideNext*.txt' | wc -l)
echo "$visitors distinct slideshow visitors through the library: $elapsed s; $positions position files remain"

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
wall_ms() {  # folder
  local a=$EPOCHREALTIME
  photo_page "$1"
  awk -v a="$a" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", (b - a) * 1000 }'
}
a="" b=""
for ((r = 0; r < runs; r++)); do
  a+="$(wall_ms "$none") "
  b+="$(wall_ms "$visited") "
done
ma=$(echo "$a" | median) mb=$(echo "$b" | median)
echo "photo page of $pictures pictures, thumbnails present, $runs runs each (wall ms)"
printf "  %-44s median %8.2f ms\n" "no past slideshow visitors" "$ma"
printf "  %-44s median %8.2f ms\n" "after $visitors distinct visitors" "$mb"
awk -v a="$ma" -v b="$mb" 'BEGIN { printf "  ratio %.2f (target <= 1.2)\n", b / a }'
