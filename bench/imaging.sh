#!/usr/bin/env bash
# JPEG picture work of the gallery against the reference programs, on a
# 12-megapixel camera-like JPEG made here. Compares CPU time (user + system)
# of whole processes, interleaved run by run:
#   streaming 70-px thumbnail at q75   vs  jthumb -s 1 -k -H 70 -q 75   (target: within 1.1x)
#   streaming 560-px slide at q100     vs  jthumb -s 1 -k -H 560 -q 100
#   full-size decode into a bitmap     vs  djpeg                         (target: within 1.1x)
# plus jthumb -s auto (the floor) and the cost of reading one header.
# Environment: RUNS (default 20), PICTORAMA_BENCH_BUILD (default build-bench),
# PICTORAMA_REFERENCE_BENCH (the folder with jthumb.c).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTORAMA_BENCH_BUILD:-$top/build-bench}
runs=${RUNS:-20}
tool=$build/bench/thumb_tool
work=$build/bench/work
mkdir -p "$work"

ref=${PICTORAMA_REFERENCE_BENCH:-}
if [[ -z $ref ]]; then
  for candidate in "$top/../shared/bench" "$top/../../shared/bench"; do
    [[ -f $candidate/jthumb.c ]] && ref=$candidate && break
  done
fi
[[ -n $ref && -f $ref/jthumb.c ]] || { echo "jthumb.c not found (set PICTORAMA_REFERENCE_BENCH)"; exit 1; }
[[ -x $tool ]] || { echo "$tool missing: build with -DPICTORAMA_BENCH=ON (./run bench)"; exit 1; }
command -v djpeg >/dev/null || { echo "djpeg missing (./run setup installs libjpeg-turbo-progs)"; exit 1; }

jthumb=$work/jthumb
if [[ ! -x $jthumb || $ref/jthumb.c -nt $jthumb ]]; then
  gcc -O2 -o "$jthumb" "$ref/jthumb.c" -ljpeg
fi
picture=$work/camera12mp.jpg
[[ -s $picture ]] || "$tool" make "$picture" 4000 3000 92
echo "picture: $picture, $(stat -c %s "$picture") bytes; $runs runs each"

# CPU time of this shell's finished children, in milliseconds, into CHILD_MS.
timesfile=$work/times.txt
children_ms() {
  times > "$timesfile"
  CHILD_MS=$(awk 'function ms(s,  m, sec) { m = substr(s, 1, index(s, "m") - 1); sec = substr(s, index(s, "m") + 1);
                   sub("s", "", sec); return (m * 60 + sec) * 1000 }
                  NR == 2 { printf "%.3f", ms($1) + ms($2) }' "$timesfile")
}

# compare LABEL_A "CMD A" LABEL_B "CMD B" ...: runs each command $runs times,
# interleaved, and prints median and mean; the ratio is first to second.
compare() {
  local -a labels=() cmds=()
  while (($#)); do labels+=("$1"); cmds+=("$2"); shift 2; done
  local n=${#cmds[@]} i r
  local -a samples
  for ((i = 0; i < n; i++)); do eval "${cmds[i]}" >/dev/null; samples[i]=""; done  # warm-up
  for ((r = 0; r < runs; r++)); do
    for ((i = 0; i < n; i++)); do
      children_ms; local before=$CHILD_MS
      eval "${cmds[i]}" >/dev/null
      children_ms
      samples[i]+="$(awk -v a="$before" -v b="$CHILD_MS" 'BEGIN { printf "%.3f", b - a }') "
    done
  done
  local -a medians=()
  for ((i = 0; i < n; i++)); do
    read -r median mean < <(tr ' ' '\n' <<<"${samples[i]}" | grep . | sort -g |
      awk '{ v[NR] = $1; s += $1 } END { printf "%.1f %.1f\n", v[int((NR + 1) / 2)], s / NR }')
    medians+=("$median")
    printf "  %-40s median %7.1f ms   mean %7.1f ms\n" "${labels[i]}" "$median" "$mean"
  done
  awk -v a="${medians[0]}" -v b="${medians[1]}" 'BEGIN { printf "  ratio (first / second): %.2f\n", a / b }'
}

echo "70-px thumbnail, quality 75"
compare "thumb_tool (streaming, skip rows)" "'$tool' thumb '$picture' '$work/ours70.jpg' 70 75" \
        "jthumb -s 1 -k" "'$jthumb' -s 1 -k -H 70 -q 75 '$picture' '$work/ref70.jpg'" \
        "jthumb -s auto (floor, not exact)" "'$jthumb' -s auto -H 70 -q 75 '$picture' '$work/auto70.jpg'"
echo "560-px slide, quality 100"
compare "thumb_tool (streaming, skip rows)" "'$tool' thumb '$picture' '$work/ours560.jpg' 560 100" \
        "jthumb -s 1 -k" "'$jthumb' -s 1 -k -H 560 -q 100 '$picture' '$work/ref560.jpg'" \
        "jthumb -s auto (floor, not exact)" "'$jthumb' -s auto -H 560 -q 100 '$picture' '$work/auto560.jpg'"
echo "full-size decode"
compare "thumb_tool decode (into one bitmap)" "'$tool' decode '$picture'" \
        "djpeg (rows to /dev/null)" "djpeg -outfile /dev/null '$picture'"
echo "header only"
echo "  $("$tool" headers "$picture" 500)"
