#!/usr/bin/env bash
# The library against the CGI program, in the same run: requests per second
# through one loaded library on 2 server threads versus a CGI process per
# request, 2 at a time, for the report page (target >= 10x) and the photo page
# of 50 pictures with thumbnails present (target >= 1.3x).
# Environment: CGI_REQUESTS (default 200), LIBRARY_REQUESTS (default 2000).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTORAMA_BENCH_BUILD:-$top/build-bench}
bench=$build/bench/isapi/isapi_vs_cgi_bench
[[ -x $bench ]] || { echo "build with -DPICTORAMA_BENCH=ON first (./run bench)"; exit 1; }
"$bench" "${CGI_REQUESTS:-200}" "${LIBRARY_REQUESTS:-2000}"
