#!/usr/bin/env bash
# The work of one 70-px thumbnail of a 12-megapixel camera-like JPEG, counted
# in instructions (valgrind's callgrind), which other work on the machine does
# not move, unlike wall-clock or CPU time:
#   jthumb -s 1 -k -H 70 -q 75, one process per picture (the yardstick)
#   thumb_tool thumb (the streaming point-sampled reader and the encoder alone)
#   the site owner's command and the first photo page, one thread: the
#   instructions per picture (the difference between a folder of 3 pictures
#   and one of 1, halved) and those of the rest of the process
# Only instructions in user mode are counted: the system's work of starting a
# process and reading the file is not (see first_view.sh for CPU time).
# Environment: PICTORAMA_BENCH_BUILD, PICTORAMA_REFERENCE_BENCH.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTORAMA_BENCH_BUILD:-$top/build-bench}
program=$build/pictorama.cgi
tool=$build/bench/thumb_tool
work=$build/bench/instructions
mkdir -p "$work"

ref=${PICTORAMA_REFERENCE_BENCH:-}
if [[ -z $ref ]]; then
  for candidate in "$top/../shared/bench" "$top/../../shared/bench"; do
    [[ -f $candidate/jthumb.c ]] && ref=$candidate && break
  done
fi
[[ -n $ref && -f $ref/jthumb.c ]] || { echo "jthumb.c not found (set PICTORAMA_REFERENCE_BENCH)"; exit 1; }
[[ -x $program && -x $tool ]] || { echo "build with -DPICTORAMA_BENCH=ON first (./run bench)"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind missing (apt-get install valgrind)"; exit 1; }

jthumb=$work/jthumb
[[ -x $jthumb && $jthumb -nt $ref/jthumb.c ]] || gcc -O2 -o "$jthumb" "$ref/jthumb.c" -ljpeg
picture=$work/camera12mp.jpg
[[ -s $picture ]] || "$tool" make "$picture" 4000 3000 92

# Instructions of a whole process tree under callgrind, into COUNT.
count() {
  valgrind --tool=callgrind --trace-children=yes --callgrind-out-file=/dev/null "$@" >/dev/null 2>"$work/cg.txt" || true
  COUNT=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/cg.txt" | awk '{ s += $1 } END { print s + 0 }')
  [[ $COUNT -gt 0 ]] || { echo "callgrind counted nothing:"; cat "$work/cg.txt"; exit 1; }
}

gallery() {  # folder count
  local dir=$1 i name
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$program" "$dir/pictorama.cgi"
  for ((i = 1; i <= $2; i++)); do
    name=IMG_$(printf %04d "$i")
    ln "$picture" "$dir/$name.JPG"
    printf '2026-%04d\r\n' "$i" > "$dir/$name.idd"
    printf 'Picture %d\r\n' "$i" > "$dir/$name.txt"
  done
}

page() {  # folder
  env -i GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING= SERVER_SOFTWARE=bench \
    SCRIPT_NAME=/pictorama.cgi DOCUMENT_ROOT="$1" HTTP_HOST=localhost REMOTE_ADDR=127.0.0.1 \
    PICTORAMA_THUMBNAIL_THREADS=1 "$(command -v valgrind)" --tool=callgrind --callgrind-out-file=/dev/null \
    "$1/pictorama.cgi" >/dev/null 2>"$work/cg.txt" || true
  COUNT=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/cg.txt" | awk '{ s += $1 } END { print s + 0 }')
  [[ $COUNT -gt 0 ]] || { echo "callgrind counted nothing:"; cat "$work/cg.txt"; exit 1; }
}

mega() { awk -v n="$1" 'BEGIN { printf "%.1f M", n / 1e6 }'; }

echo "picture: $(stat -c %s "$picture") bytes, 4000x3000; instructions (callgrind)"
count "$jthumb" -s 1 -k -H 70 -q 75 "$picture" "$work/ref70.jpg"
reference=$COUNT
printf "  %-44s %12s\n" "jthumb -s 1 -k -H 70 -q 75" "$(mega "$reference")"
count "$tool" thumb "$picture" "$work/ours70.jpg" 70 75
printf "  %-44s %12s   (%.2f x jthumb)\n" "thumb_tool thumb (reader and encoder)" "$(mega "$COUNT")" \
  "$(awk -v a="$COUNT" -v b="$reference" 'BEGIN { print a / b }')"
cmp -s "$work/ref70.jpg" "$work/ours70.jpg" && echo "  (the two thumbnails are the same bytes)" ||
  echo "  (the two thumbnails differ)"

for what in command page; do
  declare -a counts=()
  for n in 1 3; do
    gallery "$work/g$n" "$n"
    if [[ $what == command ]]; then
      count "$work/g$n/pictorama.cgi" --make-thumbnails --threads 1
    else
      page "$work/g$n"
    fi
    counts+=("$COUNT")
  done
  each=$(((counts[1] - counts[0]) / 2))
  label="--make-thumbnails --threads 1"
  [[ $what == page ]] && label="first photo page, one thread"
  printf "  %-44s %12s per picture (%.2f x jthumb), %s the rest\n" "$label" "$(mega "$each")" \
    "$(awk -v a="$each" -v b="$reference" 'BEGIN { print a / b }')" "$(mega $((counts[0] - each)))"
done
