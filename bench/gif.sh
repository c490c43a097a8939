#!/usr/bin/env bash
# GIF decoding against giflib, in-process, in one run: a 1024x768 photo-like
# picture quantised to 256 colours by ImageMagick, decoded from memory by our
# reader and by giflib's DGifSlurp (target: within 1.5x of giflib's CPU time).
# Environment: PICTORAMA_BENCH_BUILD (default build-bench); further arguments
# go to Google Benchmark (e.g. --benchmark_repetitions=5).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTORAMA_BENCH_BUILD:-$top/build-bench}
bench=$build/bench/gif/gif_bench
work=$build/bench/work
mkdir -p "$work"
[[ -x $bench ]] || { echo "$bench missing: build with -DPICTORAMA_BENCH=ON and giflib installed (./run bench)"; exit 1; }
picture=$work/photo1024x768.gif
if [[ ! -s $picture ]]; then
  [[ -x /usr/bin/convert ]] || { echo "ImageMagick's /usr/bin/convert is needed to make $picture"; exit 1; }
  /usr/bin/convert -seed 42 -size 1024x768 plasma:fractal -blur 0x1 -colors 256 "$picture"
fi
"$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@" "$picture"
