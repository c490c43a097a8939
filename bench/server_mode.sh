#!/usr/bin/env bash
# Latency of one request answered by direct CGI versus handed to the server
# instance, side by side in one run: the photo page of a gallery of 50
# pictures with their thumbnails present, and the report page.
#
#   bench/server_mode.sh [PROGRAM] [RUNS]     (defaults: build/pictorama.cgi, 300)
#
# Both ways run in the same gallery folder at the same time, interleaved
# request by request, so that the load of a shared machine falls on both
# alike: the server instance serves pictorama.cgi, and a copy named
# direct.cgi (whose exchange files have another prefix, so it never finds a
# server) serves itself. Each figure is the wall time of starting the program
# as a web server does and reading its whole answer.
set -euo pipefail
program=$(realpath "${1:-build/pictorama.cgi}")
runs=${2:-300}
pictures=50

work=$(mktemp -d /tmp/pictorama-bench-XXXXXX)
server_pid=
cleanup() {
  [[ -n $server_pid ]] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cp "$program" "$work/pictorama.cgi"
cp "$program" "$work/direct.cgi"

# The gallery: camera-like pictures with captions.
if command -v convert >/dev/null; then
  convert -size 1600x1200 gradient:steelblue-khaki -quality 90 "$work/model.jpg"
  for i in $(seq -w 1 $pictures); do
    cp "$work/model.jpg" "$work/IMG_00$i.jpg"
    printf 'Picture %s\r\n' "$i" > "$work/IMG_00$i.txt"
    printf '2024-%s\r\n' "$i" > "$work/IMG_00$i.idd"
  done
  rm "$work/model.jpg"
else
  echo "ImageMagick is missing: measuring an empty gallery" >&2
fi

cd "$work"
request() {  # program query
  env -i GATEWAY_INTERFACE=CGI/1.1 SERVER_SOFTWARE=lighttpd/1.4.69 SERVER_NAME=localhost SERVER_PORT=8080 \
    SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=GET QUERY_STRING="$2" SCRIPT_NAME="/$1" SCRIPT_FILENAME="$work/$1" \
    DOCUMENT_ROOT="$work" REQUEST_URI="/$1?$2" HTTP_HOST=localhost:8080 REMOTE_ADDR=127.0.0.1 REMOTE_PORT=50000 \
    HTTP_USER_AGENT="Mozilla/5.0 (X11; Linux x86_64)" HTTP_ACCEPT="text/html,application/xhtml+xml" \
    HTTP_ACCEPT_LANGUAGE=en HTTP_CONNECTION=keep-alive PATH=/usr/bin:/bin "./$1" >/dev/null
}

# Thumbnails are made by the first photo page; every measured one finds them.
request direct.cgi ""
request direct.cgi ""

env -i PATH=/usr/bin:/bin ./pictorama.cgi </dev/null >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 100); do [[ -e temp/pictorama.cgi_s ]] && break; sleep 0.01; done
[[ -e temp/pictorama.cgi_s ]] || { echo "the server instance did not start" >&2; exit 1; }

# One sample in microseconds per line, in files named after the way and page.
measure() {  # program query file
  local t0 t1
  t0=$EPOCHREALTIME
  request "$1" "$2"
  t1=$EPOCHREALTIME
  echo $(( (${t1/./} - ${t0/./}) )) >> "$3"
}

for page in photo report; do
  query=""; [[ $page == report ]] && query=S
  for _ in $(seq 10); do request direct.cgi "$query"; request pictorama.cgi "$query"; done  # warm-up
  for _ in $(seq "$runs"); do
    measure direct.cgi "$query" "$work/direct-$page"
    measure pictorama.cgi "$query" "$work/server-$page"
  done
done

percentile() {  # file percent -> milliseconds
  sort -n "$1" | awk -v p="$2" '{ v[NR] = $1 } END { i = int((NR - 1) * p / 100) + 1; printf "%.2f", v[i] / 1000 }'
}

# CPU time per request, which the load of a shared machine does not inflate:
# the children's user + system time of a run of requests one way, plus, for
# the server way, what the server instance spent meanwhile.
children_cpu_ms() {  # from the shell's `times` (run in this shell, not a subshell)
  times > "$work/times.txt"
  tail -1 "$work/times.txt" | awk '{ t = 0; for (i = 1; i <= 2; ++i) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] } printf "%d", t * 1000 }'
}
server_cpu_ms() {  # utime + stime of the server instance, in ms
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%d", ($14 + $15) * 1000 / hz }' "/proc/$server_pid/stat"
}
cpu_runs=$(( runs < 100 ? runs : 100 ))
declare -A cpu
for page in photo report; do
  query=""; [[ $page == report ]] && query=S
  children_cpu_ms > "$work/c0"
  for _ in $(seq "$cpu_runs"); do request direct.cgi "$query"; done
  children_cpu_ms > "$work/c1"; s1=$(server_cpu_ms)
  for _ in $(seq "$cpu_runs"); do request pictorama.cgi "$query"; done
  children_cpu_ms > "$work/c2"; s2=$(server_cpu_ms)
  c0=$(cat "$work/c0"); c1=$(cat "$work/c1"); c2=$(cat "$work/c2")
  cpu[direct-$page]=$(awk -v a="$c0" -v b="$c1" -v n="$cpu_runs" 'BEGIN { printf "%.2f", (b - a) / n }')
  cpu[server-$page]=$(awk -v a="$c1" -v b="$c2" -v s="$s1" -v t="$s2" -v n="$cpu_runs" 'BEGIN { printf "%.2f", (b - a + t - s) / n }')
done

[[ -e temp/pictorama.cgi_s ]] || { echo "the server instance stopped during the run" >&2; exit 1; }
if grep -q "Too many clients" log/pictorama.Log 2>/dev/null; then echo "some requests were refused" >&2; exit 1; fi

printf '%-7s %11s %11s %11s %11s %6s %11s %11s\n' page "direct p50" "server p50" "direct p90" "server p90" ratio \
  "direct CPU" "server CPU"
for page in photo report; do
  d50=$(percentile "$work/direct-$page" 50); s50=$(percentile "$work/server-$page" 50)
  d90=$(percentile "$work/direct-$page" 90); s90=$(percentile "$work/server-$page" 90)
  ratio=$(awk -v s="$s50" -v d="$d50" 'BEGIN { printf "%.2f", s / d }')
  printf '%-7s %8s ms %8s ms %8s ms %8s ms %5sx %8s ms %8s ms\n' "$page" "$d50" "$s50" "$d90" "$s90" "$ratio" \
    "${cpu[direct-$page]}" "${cpu[server-$page]}"
done
echo "(wall time: $runs requests each way and page, interleaved; CPU time: $cpu_runs each, client and server"
echo " instance together for the server way; $(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg))"
