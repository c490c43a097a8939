#!/usr/bin/env bash
# The picture formats read through libraries (PNG, WebP, HEIC, AVIF): a 70-px
# thumbnail of a 12-megapixel phone-sized picture, whole process, side by side
# with each format's reference program in one run:
#   HEIC with an embedded preview   vs  heif-thumbnailer     (target: at most 1.0x)
#   HEIC without a preview          vs  vipsthumbnail        (target: at most 1.0x)
#   AVIF                            vs  vipsthumbnail        (target: at most 1.0x)
#   WebP                            vs  dwebp -scale         (target: at most 1.0x)
#   PNG                             vs  vipsthumbnail        (target: at most 0.6x)
# Ours is thumb_tool picture (the decoder interface, the point sampling, the
# JPEG at quality 75: the gallery's thumbnail). Figures: median wall-clock
# time, median CPU time (user + system) and peak memory (maximum resident set)
# of RUNS runs each, interleaved. The pictures are made here with Debian's
# tools (thumb_tool make, convert, heif-enc, cwebp), once, in the work folder.
# Then the hostile files: each one's outcome, time and peak memory.
# The load average is printed before and after: on a shared machine the
# wall-clock figures follow it, the CPU figures much less.
# Environment: RUNS (default 7), PICTORAMA_BENCH_BUILD (default build-bench).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTORAMA_BENCH_BUILD:-$top/build-bench}
runs=${RUNS:-7}
tool=$build/bench/thumb_tool
work=$build/bench/work/formats
mkdir -p "$work"
work=$(cd "$work" && pwd)
[[ -x $tool ]] || { echo "$tool missing: build with -DPICTORAMA_BENCH=ON (./run bench)"; exit 1; }
for t in /usr/bin/time /usr/bin/convert heif-enc cwebp dwebp heif-thumbnailer vipsthumbnail; do
  command -v "$t" >/dev/null || { echo "$t missing (./run setup installs it)"; exit 1; }
done

# ---- the pictures: 4032 x 3024, as a phone takes them ----
base=$work/phone.jpg
[[ -s $base ]] || "$tool" make "$base" 4032 3024 92
make() {  # OUT COMMAND...
  local out=$1; shift
  [[ -s $out ]] || { echo "making $(basename "$out")"; "$@" >/dev/null 2>&1; }
  [[ -s $out ]] || { echo "could not make $out" >&2; exit 1; }
}
make "$work/phone.png" /usr/bin/convert "$base" "$work/phone.png"
make "$work/phone.webp" cwebp -q 80 "$base" -o "$work/phone.webp"
make "$work/phone-preview.heic" heif-enc -q 50 -t 320 "$base" -o "$work/phone-preview.heic"
make "$work/phone.heic" heif-enc -q 50 "$base" -o "$work/phone.heic"
make "$work/phone.avif" heif-enc -A -q 50 -p speed=8 "$base" -o "$work/phone.avif"
for f in phone.png phone.webp phone-preview.heic phone.heic phone.avif; do
  printf '  %-20s %9d bytes\n' "$f" "$(stat -c %s "$work/$f")"
done

# CPU time (user + system) of this shell's finished children, in seconds,
# read from what `times` wrote (it must run in this shell, not a subshell).
cpu_of() {
  awk 'function s(t,  m) { m = substr(t, 1, index(t, "m") - 1); t = substr(t, index(t, "m") + 1); sub("s", "", t); return m * 60 + t }
       NR == 2 { printf "%.3f", s($1) + s($2) }' "$1"
}

# One run of a command: wall seconds (nanosecond clock), CPU seconds
# (millisecond resolution) and peak KiB into LAST.
measure() {
  local t0 t1
  times >"$work/times0.txt"; t0=$(date +%s%N)
  /usr/bin/time -f '%M' -o "$work/time.txt" "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  t1=$(date +%s%N); times >"$work/times1.txt"
  LAST="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }') $(awk -v a="$(cpu_of "$work/times0.txt")" -v b="$(cpu_of "$work/times1.txt")" 'BEGIN { printf "%.3f", b - a }') $(tail -1 "$work/time.txt")"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# compare LABEL PICTURE TARGET "REFERENCE LABEL" REFERENCE-COMMAND...
compare() {
  local label=$1 picture=$2 target=$3 reflabel=$4; shift 4
  local -a ours=("$tool" picture "$picture" "$work/ours.jpg" 70 75)
  local ow=() oc=() om=() rw=() rc=() rm=() r
  measure "${ours[@]}"; measure "$@"  # warm-up
  for ((r = 0; r < runs; r++)); do
    measure "${ours[@]}"; read -r w c m <<<"$LAST"; ow+=("$w"); oc+=("$c"); om+=("$m")
    measure "$@"; read -r w c m <<<"$LAST"; rw+=("$w"); rc+=("$c"); rm+=("$m")
  done
  local a b c d e f
  a=$(printf '%s\n' "${ow[@]}" | median); b=$(printf '%s\n' "${oc[@]}" | median); c=$(printf '%s\n' "${om[@]}" | median)
  d=$(printf '%s\n' "${rw[@]}" | median); e=$(printf '%s\n' "${rc[@]}" | median); f=$(printf '%s\n' "${rm[@]}" | median)
  printf '%-21s ours %6.3f s wall %6.3f s CPU %7d KiB | %-16s %6.3f s wall %6.3f s CPU %7d KiB | wall %.2fx CPU %.2fx (target %s)\n' \
    "$label" "$a" "$b" "$c" "$reflabel" "$d" "$e" "$f" "$(bc -l <<<"$a / $d")" "$(bc -l <<<"$b / $e")" "$target"
}

echo "70-px thumbnails of 12-megapixel pictures, $runs runs each (medians); $(uptime | sed 's/.*load/load/')"
compare "HEIC with preview" "$work/phone-preview.heic" 1.0x heif-thumbnailer \
  heif-thumbnailer -s 93 "$work/phone-preview.heic" "$work/ref.png"
compare "HEIC without preview" "$work/phone.heic" 1.0x vipsthumbnail \
  vipsthumbnail "$work/phone.heic" --size x70 -o "$work/ref.jpg[Q=75]"
compare "AVIF" "$work/phone.avif" 1.0x vipsthumbnail \
  vipsthumbnail "$work/phone.avif" --size x70 -o "$work/ref.jpg[Q=75]"
compare "WebP" "$work/phone.webp" 1.0x "dwebp -scale" \
  dwebp "$work/phone.webp" -scale 93 70 -o "$work/ref.png"
compare "PNG" "$work/phone.png" 0.6x vipsthumbnail \
  vipsthumbnail "$work/phone.png" --size x70 -o "$work/ref.jpg[Q=75]"

echo "after: $(uptime | sed 's/.*load/load/')"

# ---- hostile files: the outcome, time and peak memory of each ----
big=$work/png_16000x16000_rgb.png
[[ -s $big ]] || python3 "$top/tests/formats/make_hostile_png.py" rgb "$big"
echo "hostile files (thumb_tool picture: the decoder interface and a 70-px thumbnail):"
for f in "$top/fuzz/corpus/png_fuzzer/png_20000x20000_declared_few_kb.png" \
         "$top/fuzz/corpus/png_fuzzer/png_16000x16000_grey_1bit.png" "$big" \
         "$top/fuzz/corpus/png_fuzzer/text_chunk_declaring_1600_mb.png" \
         "$top/fuzz/corpus/webp_fuzzer/lossless_16383x16383_header.webp" \
         "$top/fuzz/corpus/heif_fuzzer/grid_4096_tiles.heic"; do
  rm -f "$work/hostile.jpg"
  if /usr/bin/time -f '%e %M' -o "$work/time.txt" "$tool" picture "$f" "$work/hostile.jpg" 70 75 \
      >/dev/null 2>"$work/err.txt"; then
    outcome="thumbnail $(identify -format '%wx%h' "$work/hostile.jpg" 2>/dev/null || echo '?')"
  else
    outcome="failure: $(tail -1 "$work/err.txt")"
  fi
  read -r s kib < <(tail -1 "$work/time.txt")
  printf '  %-44s %9d bytes  %6.2f s  %8d KiB  %s\n' "$(basename "$f")" "$(stat -c %s "$f")" "$s" "$kib" "$outcome"
done
