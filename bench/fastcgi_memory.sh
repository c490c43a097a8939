#!/usr/bin/env bash
# Long life of the FastCGI hosting: the program's resident memory (VmRSS) at
# start, after 1 000 and after 100 000 photo-page requests, and after two
# rounds of 20 000 slideshow requests, served through nginx (fastcgi_pass to
# the program started here with --fastcgi on a unix socket, 2 threads) and
# driven by ab. Memory must not grow with the number of requests.
#
#   bench/fastcgi_memory.sh [PROGRAM]     (default: build/pictorama.cgi)
set -euo pipefail
program=$(realpath "${1:-build/pictorama.cgi}")
for tool in /usr/sbin/nginx /usr/bin/ab /usr/bin/convert; do
  [[ -x $tool ]] || { echo "$tool is missing: ./run setup" >&2; exit 1; }
done
work=$(mktemp -d /tmp/pictorama-bench-fcgi-memory-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www/photos"
cp "$program" "$work/www/photos/pictorama.cgi"
for i in 1 2 3 4 5 6; do
  /usr/bin/convert -size 640x480 -seed "$i" plasma:fractal -quality 85 "$work/www/photos/p$i.jpg"
  printf 'k%d\r\n' "$i" > "$work/www/photos/p$i.idd"
  printf 'Picture %d\r\n' "$i" > "$work/www/photos/p$i.txt"
done
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
daemon off;
user root;
worker_processes 1;
error_log $work/error.log;
pid $work/nginx.pid;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $work/cb; fastcgi_temp_path $work/fc; proxy_temp_path $work/pt;
  uwsgi_temp_path $work/ut; scgi_temp_path $work/st;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    location ~ \.cgi\$ {
      fastcgi_pass unix:$work/fcgi.sock;
      fastcgi_param GATEWAY_INTERFACE CGI/1.1;
      fastcgi_param SERVER_SOFTWARE   nginx;
      fastcgi_param SERVER_PROTOCOL   \$server_protocol;
      fastcgi_param REQUEST_METHOD    \$request_method;
      fastcgi_param QUERY_STRING      \$query_string;
      fastcgi_param SCRIPT_NAME       \$fastcgi_script_name;
      fastcgi_param SCRIPT_FILENAME   \$document_root\$fastcgi_script_name;
      fastcgi_param DOCUMENT_ROOT     \$document_root;
      fastcgi_param REMOTE_ADDR       \$remote_addr;
      fastcgi_param HTTP_HOST         \$http_host;
    }
  }
}
CONF

env -i PATH=/usr/bin:/bin "$work/www/photos/pictorama.cgi" --fastcgi "$work/fcgi.sock" --threads 2 &
fastcgi=$!
pids+=("$fastcgi")
for _ in $(seq 100); do [[ -S $work/fcgi.sock ]] && break; sleep 0.05; done
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work" &
pids+=("$!")
for _ in $(seq 100); do python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" 2>/dev/null && break; sleep 0.05; done

rss() { awk '/^VmRSS/ {print $2}' "/proc/$fastcgi/status"; }
load() {  # count concurrency query
  local out
  out=$(ab -q -n "$1" -c "$2" "http://127.0.0.1:$port/photos/pictorama.cgi$3")
  grep -q '^Failed requests: *0$' <<< "$out" || { echo "failed requests:" >&2; echo "$out" >&2; exit 1; }
  grep -q '^Non-2xx' <<< "$out" && { echo "non-200 answers:" >&2; echo "$out" >&2; exit 1; }
  grep '^Requests per second' <<< "$out" | awk '{printf "%.0f requests/s", $4}'
}
printf 'start:                                    RSS %6d KiB\n' "$(rss)"
rate=$(load 1000 2 "")
printf 'after   1 000 photo pages (%s):    RSS %6d KiB\n' "$rate" "$(rss)"
rate=$(load 99000 4 "")
printf 'after 100 000 photo pages (%s):    RSS %6d KiB\n' "$rate" "$(rss)"
rate=$(load 20000 4 "?W")
printf 'after  20 000 slideshow pages (%s): RSS %6d KiB\n' "$rate" "$(rss)"
rate=$(load 20000 4 "?W")
printf 'after  40 000 slideshow pages (%s): RSS %6d KiB\n' "$rate" "$(rss)"
