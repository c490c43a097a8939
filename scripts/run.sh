#!/usr/bin/env bash
set -euo pipefail
top=$(pwd)
jobs=$(nproc)

configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$top" -B "$top/$dir" -G Ninja "$@" >/dev/null
}

build_release() {
  configure build -DCMAKE_BUILD_TYPE=Release
  cmake --build build -j "$jobs"
}

# The program alone (the demo and the end-to-end stage need nothing else).
build_program() {
  configure build -DCMAKE_BUILD_TYPE=Release
  cmake --build build -j "$jobs" --target pictorama_cgi
}

build_sanitize() {
  configure build-asan -DCMAKE_BUILD_TYPE=Debug -DPICTORAMA_SANITIZE=ON -DPICTORAMA_TESTS=ON
  cmake --build build-asan -j "$jobs"
}

# ThreadSanitizer: only what runs requests on many threads at once, the
# library and the stand-in server that drives it, the FastCGI hosting (the
# program, built with the integration tests), and the thumbnails made on
# several threads (the photo page's and the site owner's command), with
# their tests.
build_tsan() {
  configure build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTORAMA_TSAN=ON -DPICTORAMA_TESTS=ON
  cmake --build build-tsan -j "$jobs" --target pictorama_so isapi_host integration_tests unit_tests
}

build_fuzz() {
  CC=clang CXX=clang++ configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTORAMA_TESTS=OFF -DPICTORAMA_FUZZ=ON
  cmake --build build-fuzz -j "$jobs"
}

# The Windows products, cross-built: build-win/Pictorama.exe and
# build-win/Pictorama.dll. PICTORAMA_WIN_DEPS names the prefix of the
# cross-built libraries (default build-win/deps), which scripts/windows-deps
# builds from Debian's sources when they are missing or out of date.
build_windows() {  # extra cmake args...
  local deps=${PICTORAMA_WIN_DEPS:-$top/build-win/deps}
  scripts/windows-deps --quiet "$deps"
  configure build-win -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DPICTORAMA_WIN_DEPS="$deps" "$@"
  cmake --build build-win -j "$jobs"
}

# The Windows build with its tests, run under Wine (scripts/wine-ctest).
test_windows() {
  echo "== Windows build and its tests under Wine"
  build_windows -DPICTORAMA_TESTS=ON -DCMAKE_CROSSCOMPILING_EMULATOR=wine
  scripts/wine-ctest build-win -j "$jobs"
}

run_ctest() {  # dir
  (cd "$1" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

usage() { sed -n '/^# /p' "$top/run"; }

# An unknown command or stage is a mistake (a typo in CI must not pass).
refuse() {  # message
  echo "run: $1" >&2
  usage >&2
  exit 2
}

cmd=${1:-help}
shift || true
case "$cmd" in
  help|-h|--help)
    usage
    ;;
  setup)
    scripts/setup "$@"
    ;;
  build)
    scripts/setup --quiet build
    build_release
    ;;
  build-windows)
    # scripts/windows-deps installs the cross compiler and its tools.
    scripts/setup --quiet build
    build_windows
    ;;
  test-windows)
    scripts/setup --quiet test
    test_windows
    ;;
  test)
    stage=${1:-all}
    case "$stage" in
      all|unit|sanitize|tsan|fuzz|e2e|windows) ;;
      *) refuse "unknown test stage: $stage" ;;
    esac
    scripts/setup --quiet test
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    if [[ $stage == all || $stage == unit ]]; then
      echo "== Release build (with the benchmark programs, so that they keep building) and tests"
      configure build -DCMAKE_BUILD_TYPE=Release -DPICTORAMA_TESTS=ON -DPICTORAMA_BENCH=ON
      cmake --build build -j "$jobs"
      run_ctest build
    fi
    if [[ $stage == all || $stage == sanitize ]]; then
      echo "== AddressSanitizer and UndefinedBehaviorSanitizer build and tests"
      build_sanitize
      run_ctest build-asan
    fi
    if [[ $stage == all || $stage == tsan ]]; then
      echo "== ThreadSanitizer build of the library and its host, the FastCGI hosting, the thumbnail threads and claims, the kept slides, the kept folders, and their tests"
      build_tsan
      # Without address randomisation: ThreadSanitizer maps its shadow at
      # fixed addresses, which a randomised layout now and then already
      # holds ("ThreadSanitizer failed to allocate ... errno: 12").
      (cd build-tsan && TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
        setarch "$(uname -m)" -R ctest --output-on-failure -j "$jobs" --timeout 900 -R '^(Isapi|FastCgi|ParallelThumbnails|ThumbnailCommand|ThumbnailClaim|SlideMadeOnce|KeptFolder)')
    fi
    if [[ $stage == all || $stage == fuzz ]]; then
      echo "== Fuzz harnesses replaying their corpora"
      build_fuzz
      run_ctest build-fuzz
    fi
    if [[ $stage == all || $stage == e2e ]]; then
      echo "== End-to-end: the program under real web servers and a real browser"
      if [[ $stage == e2e ]]; then build_program; fi
      python3 tests/e2e/e2e.py --program build/pictorama.cgi --screenshots build/e2e-screenshots
    fi
    if [[ $stage == all || $stage == windows ]]; then
      test_windows
    fi
    ;;
  demo)
    scripts/setup --quiet demo
    build_program
    exec scripts/demo.sh "$@"
    ;;
  fuzz)
    scripts/setup --quiet test
    name=${1:?harness name}
    seconds=${2:-600}
    build_fuzz
    mkdir -p "build-fuzz/work/$name"
    "build-fuzz/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
      "build-fuzz/work/$name" "fuzz/corpus/$name"
    ;;
  bench)
    scripts/setup --quiet test
    configure build-bench -DCMAKE_BUILD_TYPE=Release -DPICTORAMA_TESTS=OFF -DPICTORAMA_BENCH=ON
    cmake --build build-bench -j "$jobs"
    bench/run-all.sh "$@"
    ;;
  *)
    refuse "unknown command: $cmd"
    ;;
esac
