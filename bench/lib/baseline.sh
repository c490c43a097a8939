# Sourced by the benchmarks that compare the program with an earlier commit's:
# sets `baseline` to that program. BASELINE names a program already built;
# otherwise BASELINE_REF (default main) is built once into
# build-baseline/<commit>, from `git archive`, and kept for later runs.
# Needs `top`, the checkout's folder.
baseline=${BASELINE:-}
if [[ -z $baseline ]]; then
  commit=$(git -C "$top" rev-parse "${BASELINE_REF:-main}")
  dir=$top/build-baseline/$commit
  if [[ ! -x $dir/build/pictorama.cgi ]]; then
    echo "Building the baseline's program (${BASELINE_REF:-main}, ${commit:0:10}) in $dir"
    rm -rf "$dir/src" && mkdir -p "$dir/src"
    git -C "$top" archive "$commit" | tar -x -C "$dir/src"
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPICTORAMA_TESTS=OFF "${launcher[@]}" >/dev/null
    nice cmake --build "$dir/build" --target pictorama_cgi >/dev/null
  fi
  baseline=$dir/build/pictorama.cgi
fi
