#!/usr/bin/env bash
# What a flood of failing requests leaves in the log. REQUESTS requests that
# each fail (a refused multipart POST: the error page, and one log line)
# go through one loaded library on THREADS threads of the stand-in web
# server, the fastest way here to make the engine log; the log lives in a
# folder of its own (CGI_LOG_DIR). Prints the log's and its older file's
# sizes beside the bytes all the lines came to (what an unbounded log would
# hold), and the time taken.
#
#   bench/log_bound.sh [BUILD] [REQUESTS] [THREADS]
#   (defaults: build-bench, else build; 1000000; 8)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-}
if [[ -z $build ]]; then
  build=$top/build-bench
  [[ -x $build/isapi_host ]] || build=$top/build
fi
requests=${2:-1000000}
threads=${3:-8}
host=$build/isapi_host
library=$build/pictorama.so
[[ -x $host && -f $library ]] || { echo "build isapi_host and pictorama_so in $build first" >&2; exit 1; }

work=$(mktemp -d /tmp/pictorama-log-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/gallery" "$work/log"
cp "$library" "$work/gallery/pictorama.so"
cat > "$work/plan" <<PLAN
threads $threads
rounds $requests
request
method POST
var CONTENT_TYPE=multipart/form-data; boundary=x
var SERVER_SOFTWARE=bench
body-size 16
status 500
expect Unhandled Exception: Method not supported
end
PLAN

CGI_LOG_DIR=$work/log "$host" "$work/gallery/pictorama.so" "$work/plan" > "$work/summary" || {
  cat "$work/summary" >&2
  exit 1
}
served=$(awk '$1 == "served" {print $2}' "$work/summary")
seconds=$(awk '$1 == "seconds" {print $2}' "$work/summary")
log=$work/log/pictorama.Log
size() { [[ -f $1 ]] && stat -c %s "$1" || echo 0; }
lines() { [[ -f $1 ]] && wc -l < "$1" || echo 0; }
current=$(size "$log")
older=$(size "$log.1")
kept_lines=$(( $(lines "$log") + $(lines "$log.1") ))
# The lines differ only in the request number's digits: the kept ones'
# average length stands for all of them.
unbounded=$(( (current + older) * served / (kept_lines > 0 ? kept_lines : 1) ))
mib() { awk -v b="$1" 'BEGIN { printf "%.2f MiB", b / 1048576 }'; }
echo "failing requests: $served in $seconds s on $threads threads"
echo "log:              $(mib "$current") (pictorama.Log) + $(mib "$older") (pictorama.Log.1) = $(mib $((current + older)))"
echo "lines kept:       $kept_lines of $served"
echo "without a bound:  about $(mib "$unbounded")"
