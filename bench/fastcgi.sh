#!/usr/bin/env bash
# The program as CGI and as FastCGI under the same web server, side by side in
# one run, with wrk, under lighttpd (mod_cgi; mod_fastcgi starting the
# program) and nginx (fcgiwrap; fastcgi_pass to the program started here):
# 1. Warm: the photo page of 100 pictures whose thumbnails are present, with 2
#    and 16 connections, and the same page as a static file; under nginx also
#    with nginx keeping its connections to the program (an upstream with
#    keepalive KEEPALIVE and fastcgi_keep_conn), the page byte for byte the
#    one nginx gets on a new connection each time.
#    Targets: FastCGI p50 <= 0.2x CGI's, requests/s >= 5x CGI's, p50 within 3x
#    of the static file's.
#    Beside them, with the same loads, the floor: bench/fastcgi_floor.c, the
#    least a FastCGI responder can do (libfcgi reading the request, the
#    page written from memory), sending the program's page byte for byte,
#    started as the program is (lighttpd: mod_fastcgi's bin-path; nginx:
#    fastcgi_pass, and "floor-keep" with the kept connections); its p50 to the
#    static file's is what the server's FastCGI handling costs by itself, the
#    program's p50 to the floor's what the program adds. Compiled with gcc
#    into build/bench/fastcgi_floor (libfcgi-dev) when older than its source.
# 2. Cold, under both servers: 60 camera-sized pictures without thumbnails,
#    10 connections, a fresh folder for each server and hosting: every
#    response 200, every thumbnail a complete JPEG put in place exactly once
#    (watched with inotify, bench/placed_names.py), no claim left; FastCGI's
#    p99 below CGI's.
# And the FastCGI process's resident memory under nginx after the measured
# runs and after one more run (request counts from wrk's totals).
# Environment: ONLY=cold or ONLY=warm (those runs alone), SERVERS (default
# "lighttpd nginx"), DURATION (default
# 10), PICTURES (100), COLD_PICTURES (60),
# THREADS (FastCGI pool, default 4), KEEPALIVE (the connections nginx keeps,
# default 16; an idle kept connection holds none of the program's threads, so
# the program has THREADS threads there too, while the floor, whose library
# waits on a kept connection with a thread of its own, has THREADS +
# KEEPALIVE), PICTORAMA_CGI (default
# build-bench/pictorama.cgi, else build/pictorama.cgi).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
duration=${DURATION:-10}
pictures=${PICTURES:-100}
cold_pictures=${COLD_PICTURES:-60}
threads=${THREADS:-4}
keepalive=${KEEPALIVE:-16}
program=${PICTORAMA_CGI:-}
if [[ -z $program ]]; then
  for candidate in "$top/build-bench/pictorama.cgi" "$top/build/pictorama.cgi"; do
    [[ -x $candidate ]] && program=$candidate && break
  done
fi
[[ -n $program && -x $program ]] || { echo "no pictorama.cgi: ./run build first"; exit 1; }
floor=$top/build/bench/fastcgi_floor
if [[ ! -x $floor || ! $floor -nt $top/bench/fastcgi_floor.c ]]; then
  mkdir -p "$(dirname "$floor")"
  gcc -O2 -Wall -Wextra -o "$floor" "$top/bench/fastcgi_floor.c" -l:libfcgi.a -pthread ||
    { echo "fastcgi_floor does not build: libfcgi-dev missing? ./run setup"; exit 1; }
fi
for tool in /usr/bin/wrk /usr/sbin/lighttpd /usr/sbin/nginx /usr/sbin/fcgiwrap /usr/bin/convert /usr/bin/djpeg; do
  [[ -x $tool ]] || { echo "$tool is missing: ./run setup"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/pictorama-fastcgi.XXXXXX")
pids=()
# The processes started here and what they started (fcgiwrap's workers,
# nginx's and lighttpd's children), by pid.
descendants() {  # pid...
  local p child
  for p in "$@"; do
    for child in $(ps -o pid= --ppid "$p" 2>/dev/null); do
      echo "$child"
      descendants "$child"
    done
  done
}
stop_all() {
  local all=("${pids[@]}") p
  [[ ${#all[@]} -gt 0 ]] || return 0
  all+=($(descendants "${pids[@]}"))
  for p in "${all[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  # What outlives its parent's ending (workers waiting on the socket).
  for _ in $(seq 50); do
    local left=0
    for p in "${all[@]}"; do kill -0 "$p" 2>/dev/null && left=1; done
    [[ $left == 0 ]] && break
    sleep 0.1
  done
  for p in "${all[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT
root=$work/www

gallery() {  # folder picture count
  mkdir -p "$1"
  for ((i = 1; i <= $3; i++)); do
    name=$(printf 'IMG_%04d' "$i")
    ln "$2" "$1/$name.JPG"
    printf '2026-%04d\r\n' "$i" > "$1/$name.idd"
    printf 'Picture number %d\r\n' "$i" > "$1/$name.txt"
  done
  install -m 755 "$program" "$1/pictorama.cgi"
}
/usr/bin/convert -size 1600x1200 -seed 4 plasma:fractal -quality 90 "$work/picture.jpg"
/usr/bin/convert -size 800x600 -seed 5 plasma:fractal -resize '4000x3000!' -quality 92 "$work/camera.jpg"
gallery "$root/gallery" "$work/picture.jpg" "$pictures"

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

load() {  # url connections -> "req/s p50 p99 non2xx socket-errors requests"
  local out=$work/wrk.txt
  wrk -t1 -c"$2" -d"${duration}s" --timeout 60s --latency "$1" > "$out"
  awk '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
    /^ +50%/ { p50 = ms($2) } /^ +99%/ { p99 = ms($2) }
    /Requests\/sec/ { rps = $2 } /requests in/ { n = $1 }
    /Non-2xx/ { non2xx = $NF }
    /Socket errors/ { errors = $0; sub(/.*Socket errors: /, "", errors); gsub(/ /, "", errors) }
    END { printf "%s %.2f %.2f %d %s %d\n", rps, p50, p99, non2xx, (errors == "" ? "none" : errors), n }
  ' "$out"
}

lighttpd_conf() {  # port mode
  local modules handler
  if [[ $2 == cgi ]]; then
    modules='"mod_indexfile", "mod_cgi"'; handler='cgi.assign = (".cgi" => "")'
  elif [[ $2 == floor ]]; then
    # bin-path's words are the command and its arguments.
    modules='"mod_indexfile", "mod_fastcgi"'
    handler="fastcgi.server = (\".cgi\" => ((\"socket\" => \"$work/lighttpd-fcgi.sock\", \"bin-path\" => \"$floor $work/floor-response $threads\", \"max-procs\" => 1)))"
  else
    modules='"mod_indexfile", "mod_fastcgi"'
    handler="fastcgi.server = (\".cgi\" => ((\"socket\" => \"$work/lighttpd-fcgi.sock\", \"bin-path\" => \"$root/gallery/pictorama.cgi\", \"max-procs\" => 1, \"bin-environment\" => (\"PICTORAMA_FASTCGI_THREADS\" => \"$threads\"))))"
  fi
  cat <<EOF
server.document-root = "$root"
server.bind = "127.0.0.1"
server.port = $1
server.errorlog = "$work/lighttpd-$2.log"
server.modules = ($modules)
$handler
mimetype.assign = (".jpg" => "image/jpeg", ".html" => "text/html")
EOF
}

nginx_conf() {  # port socket [keepalive]
  local temp=""
  for kind in client_body proxy fastcgi uwsgi scgi; do temp+="    ${kind}_temp_path $work/nginx-$kind;"$'\n'; done
  # Run as root (as the benchmark usually is), the workers stay root too: the
  # folders and the backend's socket here are root's.
  local user=""
  [[ $(id -u) == 0 ]] && user="user root root;"
  local upstream="" pass="unix:$2" keep=""
  if [[ -n ${3:-} ]]; then
    upstream="    upstream pictorama { server unix:$2; keepalive $3; }"
    pass=pictorama keep="fastcgi_keep_conn on;"
  fi
  cat <<EOF
$user
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 256; }
http {
    access_log off;
$temp    types { image/jpeg jpg; text/html html; }
$upstream
    server {
        listen 127.0.0.1:$1;
        root $root;
        location ~ \.cgi\$ {
            fastcgi_pass $pass;
            $keep
            fastcgi_param GATEWAY_INTERFACE CGI/1.1;
            fastcgi_param SERVER_SOFTWARE   nginx;
            fastcgi_param SERVER_PROTOCOL   \$server_protocol;
            fastcgi_param SERVER_PORT       \$server_port;
            fastcgi_param REQUEST_METHOD    \$request_method;
            fastcgi_param QUERY_STRING      \$query_string;
            fastcgi_param CONTENT_TYPE      \$content_type;
            fastcgi_param CONTENT_LENGTH    \$content_length;
            fastcgi_param SCRIPT_NAME       \$fastcgi_script_name;
            fastcgi_param SCRIPT_FILENAME   \$document_root\$fastcgi_script_name;
            fastcgi_param DOCUMENT_ROOT     \$document_root;
            fastcgi_param REMOTE_ADDR       \$remote_addr;
            fastcgi_param HTTP_HOST         \$http_host;
        }
    }
}
EOF
}

# start SERVER MODE: starts the web server (and the program, the floor or
# fcgiwrap); sets $port. MODE: cgi, fastcgi, fastcgi-keep (nginx keeping its
# connections to the program), floor or floor-keep (the floor in the
# program's place, with $work/floor-response).
start() {
  port=$(free_port)
  if [[ $1 == lighttpd ]]; then
    lighttpd_conf "$port" "$2" > "$work/lighttpd.conf"
    /usr/sbin/lighttpd -D -f "$work/lighttpd.conf" & pids+=($!)
  else
    local sock=$work/backend.sock
    rm -f "$sock"
    if [[ $2 == cgi ]]; then
      /usr/sbin/fcgiwrap -c "$threads" -s "unix:$sock" & pids+=($!)
    elif [[ $2 == fastcgi ]]; then
      "$program" --fastcgi "$sock" --threads "$threads" & pids+=($!)
    elif [[ $2 == fastcgi-keep ]]; then
      "$program" --fastcgi "$sock" --threads "$threads" & pids+=($!)
    elif [[ $2 == floor ]]; then
      "$floor" "$work/floor-response" "$threads" "$sock" & pids+=($!)
    else
      "$floor" "$work/floor-response" $((threads + keepalive)) "$sock" & pids+=($!)
    fi
    for _ in $(seq 100); do [[ -S $sock ]] && break; sleep 0.05; done
    nginx_conf "$port" "$sock" "$([[ $2 == *-keep ]] && echo "$keepalive")" > "$work/nginx.conf"
    /usr/sbin/nginx -c "$work/nginx.conf" -p "$work" -e "$work/nginx-error.log" & pids+=($!)
  fi
  wait_port "$port"
}

status=0
if [[ ${ONLY:-} != cold ]]; then
echo "Warm ($pictures pictures, ${duration} s, $threads FastCGI threads; fastcgi-keep: nginx keeping $keepalive connections)"
echo "floor: a FastCGI responder sending the program's page from memory, as many threads (floor-keep: $((threads + keepalive)), one per kept connection and $threads)"
printf '%-9s %-12s %5s %10s %9s %9s %8s %s\n' server hosting conns req/s "p50 ms" "p99 ms" non-2xx "socket errors"
declare -A R
for server in ${SERVERS:-lighttpd nginx}; do
  modes=(cgi fastcgi)
  [[ $server == nginx ]] && modes+=(fastcgi-keep)
  modes+=(floor)
  [[ $server == nginx ]] && modes+=(floor-keep)
  for mode in "${modes[@]}"; do
    if [[ $mode == floor* ]]; then
      # The header lines the program sends with the page (HttpEngine's
      # status line, content-type and content-length, RequestLifecycle's
      # Connection), then the body, byte for byte the program's page under
      # this server.
      page=$work/page-$server-fastcgi.html
      { printf 'HTTP/1.0 200 OK\r\ncontent-type: text/html\r\ncontent-length: %d\r\nConnection: Keep-Alive\r\n\r\n' \
          "$(stat -c %s "$page")"; cat "$page"; } > "$work/floor-response"
    fi
    start "$server" "$mode"
    url=http://127.0.0.1:$port/gallery/pictorama.cgi
    curl -s -o "$work/page-$server-$mode.html" "$url"
    grep -q "$pictures Images Posted" "$work/page-$server-$mode.html" || { echo "FAIL: $server $mode page is wrong"; status=1; }
    if [[ $mode == floor* ]] && ! cmp -s "$work/page-$server-$mode.html" "$work/page-$server-fastcgi.html"; then
      echo "FAIL: $server $mode page differs from the program's"; status=1
    fi
    [[ $mode == cgi ]] && cp "$work/page-$server-$mode.html" "$root/gallery/page.html"
    if [[ $mode == fastcgi-keep ]]; then
      # Ten requests in a row, most of them on a kept connection: the page
      # of a new connection each time, byte for byte (the links name the
      # server's port, which differs from run to run).
      same_host() { sed -E 's#//127\.0\.0\.1:[0-9]+/#//127.0.0.1:PORT/#g' "$1"; }
      same_host "$work/page-$server-fastcgi.html" > "$work/page-reference.html"
      for i in $(seq 10); do
        curl -s -o "$work/page-keep.html" "$url"
        if ! same_host "$work/page-keep.html" | cmp -s - "$work/page-reference.html"; then
          echo "FAIL: $server $mode page $i differs"; status=1
        fi
      done
    fi
    total=0
    for c in 2 16; do
      read -r rps p50 p99 non2xx errors n < <(load "$url" "$c")
      total=$((total + n))
      R[$server-$mode-$c]="$rps $p50 $p99"
      printf '%-9s %-12s %5s %10s %9s %9s %8s %s\n' "$server" "$mode" "$c" "$rps" "$p50" "$p99" "$non2xx" "$errors"
      [[ $non2xx == 0 && $errors == none ]] || { echo "FAIL: failed responses"; status=1; }
      if [[ $mode == fastcgi-keep ]]; then
        R[$server-keep-$c]="$rps $p50 $p99"
      elif [[ $mode == fastcgi ]]; then
        read -r srps sp50 sp99 snon2xx serrors sn < <(load "http://127.0.0.1:$port/gallery/page.html" "$c")
        R[$server-static-$c]="$srps $sp50 $sp99"
        printf '%-9s %-12s %5s %10s %9s %9s %8s %s\n' "$server" "static" "$c" "$srps" "$sp50" "$sp99" "$snon2xx" "$serrors"
      fi
    done
    if [[ $server == nginx && $mode == fastcgi-keep ]]; then
      # Connections the program keeps open for nginx: more than its threads,
      # since an idle kept connection waits without one.
      fastcgi_pid=${pids[0]}
      held=$(ls -l "/proc/$fastcgi_pid/fd" 2>/dev/null | grep -c socket || true)
      echo "FastCGI process (nginx keeping connections): $((held - 1)) connections open after the runs, $threads threads"
    fi
    if [[ $server == nginx && $mode == fastcgi ]]; then
      fastcgi_pid=${pids[0]}  # the program, started before nginx
      rss_start=$(awk '/VmRSS/ { print $2 }' "/proc/$fastcgi_pid/status")
      read -r _ _ _ _ _ n < <(load "$url" 16)
      rss_after=$(awk '/VmRSS/ { print $2 }' "/proc/$fastcgi_pid/status")
      echo "FastCGI process (nginx): RSS ${rss_start} kB after $total requests, ${rss_after} kB after $((total + n))"
    fi
    stop_all
  done
done
echo
for server in ${SERVERS:-lighttpd nginx}; do
  for c in 2 16; do
    read -r crps cp50 _ <<< "${R[$server-cgi-$c]}"
    read -r frps fp50 _ <<< "${R[$server-fastcgi-$c]}"
    read -r srps sp50 _ <<< "${R[$server-static-$c]}"
    awk -v s="$server" -v c="$c" -v crps="$crps" -v cp="$cp50" -v frps="$frps" -v fp="$fp50" -v sp="$sp50" 'BEGIN {
      printf "%-9s %2d conns: FastCGI p50 %.2fx CGI (target <= 0.2), req/s %.1fx CGI (>= 5), p50 %.2fx static (<= 3)\n",
             s, c, fp / cp, frps / crps, fp / sp }'
    read -r lrps lp50 _ <<< "${R[$server-floor-$c]}"
    awk -v frps="$frps" -v fp="$fp50" -v lrps="$lrps" -v lp="$lp50" -v sp="$sp50" 'BEGIN {
      printf "  floor: floor p50 %.2fx static, FastCGI p50 %.2fx floor, req/s %.2fx floor\n", lp / sp, fp / lp, frps / lrps }'
    [[ $server == nginx ]] || continue
    read -r krps kp50 _ <<< "${R[$server-keep-$c]}"
    awk -v c="$c" -v crps="$crps" -v cp="$cp50" -v krps="$krps" -v kp="$kp50" -v sp="$sp50" -v srps="$srps" 'BEGIN {
      printf "  kept connections: p50 %.2fx CGI, req/s %.1fx CGI, p50 %.2fx static (<= 3), req/s %.2fx static\n",
             kp / cp, krps / crps, kp / sp, krps / srps }'
    read -r lrps lp50 _ <<< "${R[$server-floor-keep-$c]}"
    awk -v krps="$krps" -v kp="$kp50" -v lrps="$lrps" -v lp="$lp50" -v sp="$sp50" 'BEGIN {
      printf "  floor, kept connections: floor-keep p50 %.2fx static, kept FastCGI p50 %.2fx floor-keep, req/s %.2fx floor-keep\n",
             lp / sp, kp / lp, krps / lrps }'
  done
done

fi
[[ ${ONLY:-} == warm ]] && exit $status
echo
echo "Cold (10 connections, $cold_pictures pictures of 4000x3000 without thumbnails, ${duration} s, a fresh folder each)"
declare -A COLD
for server in ${SERVERS:-lighttpd nginx}; do
  for mode in cgi fastcgi; do
    folder=cold-$server-$mode
    gallery "$root/$folder" "$work/camera.jpg" "$cold_pictures"
    start "$server" "$mode"
    # Every thumbnail put in place (renamed into the folder), counted by name.
    rm -f "$work/placed.txt" "$work/placed.txt.ready"
    python3 "$top/bench/placed_names.py" "$root/$folder" "$work/placed.txt" & watcher=$!
    for _ in $(seq 100); do [[ -e $work/placed.txt.ready ]] && break; sleep 0.05; done
    read -r rps p50 p99 non2xx errors n < <(load "http://127.0.0.1:$port/$folder/pictorama.cgi" 10)
    sleep 2
    final=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/$folder/pictorama.cgi")
    kill -TERM "$watcher"; wait "$watcher" || true
    stop_all
    thumbnails=0 broken=0
    for thumbnail in "$root/$folder"/t_*.jpg; do
      [[ $(basename "$thumbnail") == t_SLIDEIMAGE.jpg ]] && continue
      thumbnails=$((thumbnails + 1))
      if ! djpeg "$thumbnail" 2>"$work/djpeg.err" >/dev/null || [[ -s $work/djpeg.err ]]; then broken=$((broken + 1)); fi
    done
    made_once=$(awk '$2 ~ /^t_.*\.jpg$/ && $1 == 1 { n++ } END { print n + 0 }' "$work/placed.txt")
    made_again=$(awk '($2 ~ /^t_.*\.jpg$/ && $1 != 1) || $1 < 0 { n++ } END { print n + 0 }' "$work/placed.txt")
    claims=$(find "$root/$folder" -name '*.~claim' | wc -l)
    COLD[$server-$mode]=$p99
    printf '%-9s %-8s %8s req/s  p50 %s ms  p99 %s ms  non-2xx %s  socket errors %s  requests %s  a view afterwards %s\n' \
      "$server" "$mode" "$rps" "$p50" "$p99" "$non2xx" "$errors" "$n" "$final"
    printf '%-18s thumbnails %s of %s, %s broken, %s made once, %s made more than once, %s claims left\n' \
      "" "$thumbnails" "$cold_pictures" "$broken" "$made_once" "$made_again" "$claims"
    [[ $non2xx == 0 && $errors == none && $final == 200 && $thumbnails == "$cold_pictures" && $broken == 0 &&
       $made_once == "$cold_pictures" && $made_again == 0 && $claims == 0 ]] ||
      { echo "FAIL: cold $server $mode"; status=1; }
  done
  awk -v s="$server" -v c="${COLD[$server-cgi]}" -v f="${COLD[$server-fastcgi]}" 'BEGIN {
    printf "%-9s cold: FastCGI p99 %.0f ms, CGI p99 %.0f ms: %.2fx (target < 1)\n", s, f, c, f / c }'
done
exit $status
