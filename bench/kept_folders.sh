#!/usr/bin/env bash
# What a resident FastCGI process keeps of its folders, side by side in one
# run under nginx (fastcgi_pass to the program started here; fcgiwrap for
# CGI), with wrk, on a photo page of PICTURES pictures whose thumbnails are
# present:
# 1. Warm, on a local folder: this build against the baseline's (by default
#    main's program, built here from `git archive` into
#    build-baseline/<commit>). Target: p50 at most 1.1x the baseline's.
# 2. The same with one slideshow viewer reloading every second (?W, which
#    writes the visitor's position and the slide into the folder). Target:
#    requests/s at least 0.9x this build's warm figure.
# 3. On a FUSE mount (bindfs over the folder, standing for a network share
#    whose changes no one reports): this build as FastCGI against the program
#    as CGI on the same mount. Target: requests/s at least 5x CGI's. (The
#    baseline, which trusts change reports there, is shown beside it.)
# Each page is checked against the CGI page of the same folder first (links
# name the port, which differs per server: compared with the port masked).
# Beside requests/s and latency on the mount, bindfs's processor time per
# page, which stands for the page's round trips to a file server and does not
# move with the machine's other load.
# Every run is made ROUNDS times (default 3), the runs of each round one
# after the other, and the medians compared: a machine whose load drifts
# weighs on every kind of run alike.
# Environment: ONLY=local or ONLY=fuse (those runs alone, no summary),
# DURATION (seconds per run, default 10), CONNECTIONS (default
# 4), THREADS (the program's, default 4), PICTURES (default 100), BASELINE
# (a pictorama.cgi to compare with instead of building one), KEEP_NOTHING
# (a build of this program changed to keep nothing of a folder on such a
# mount, to run there too: the other way a resident process can be exact
# there), BASELINE_REF
# (default main), PICTORAMA_CGI (default build/pictorama.cgi).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
duration=${DURATION:-10}
rounds=${ROUNDS:-3}
connections=${CONNECTIONS:-4}
threads=${THREADS:-4}
pictures=${PICTURES:-100}
program=${PICTORAMA_CGI:-$top/build/pictorama.cgi}
[[ -x $program ]] || { echo "no $program: ./run build first"; exit 1; }
for tool in /usr/bin/wrk /usr/sbin/nginx /usr/sbin/fcgiwrap /usr/bin/convert /usr/bin/bindfs /usr/bin/fusermount /usr/bin/curl; do
  [[ -x $tool ]] || { echo "$tool is missing: ./run setup"; exit 1; }
done

source "$top/bench/lib/baseline.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/pictorama-kept.XXXXXX")
pids=()
mounted=()
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
  for _ in $(seq 50); do
    local left=0
    for p in "${all[@]}"; do kill -0 "$p" 2>/dev/null && left=1; done
    [[ $left == 0 ]] && break
    sleep 0.1
  done
  for p in "${all[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_all
  for m in "${mounted[@]}"; do fusermount -u "$m" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
root=$work/www

# The gallery: PICTURES listed pictures (hard links of one), their captions,
# the program; its thumbnails made by one CGI run.
mkdir -p "$work/shared"
/usr/bin/convert -size 1600x1200 -seed 4 plasma:fractal -quality 90 "$work/picture.jpg"
for ((i = 1; i <= pictures; i++)); do
  name=$(printf 'IMG_%04d' "$i")
  ln "$work/picture.jpg" "$work/shared/$name.JPG"
  printf '2026-%04d\r\n' "$i" > "$work/shared/$name.idd"
  printf 'Picture number %d\r\n' "$i" > "$work/shared/$name.txt"
done
install -m 755 "$program" "$work/shared/pictorama.cgi"
mkdir -p "$root"
ln -s ../shared "$root/local"
mkdir -p "$root/fuse"
# In the foreground, so that its processor time can be read.
bindfs -f "$work/shared" "$root/fuse" & bindfs_pid=$!
mounted+=("$root/fuse")
for _ in $(seq 100); do [[ $(stat -f -c %t "$root/fuse") == 65735546 ]] && break; sleep 0.05; done

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

nginx_conf() {  # port socket
  local temp="" user=""
  for kind in client_body proxy fastcgi uwsgi scgi; do temp+="    ${kind}_temp_path $work/nginx-$kind;"$'\n'; done
  [[ $(id -u) == 0 ]] && user="user root root;"
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
    server {
        listen 127.0.0.1:$1;
        root $root;
        location ~ \.cgi\$ {
            fastcgi_pass unix:$2;
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

# Processor time (ms) a process has used.
cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) * 1000 / hz }' "/proc/$1/stat"; }

# start cgi|PROGRAM: nginx in front of fcgiwrap or of PROGRAM as FastCGI; sets $port.
start() {
  port=$(free_port)
  local sock=$work/backend.sock
  rm -f "$sock"
  if [[ $1 == cgi ]]; then
    /usr/sbin/fcgiwrap -c "$threads" -s "unix:$sock" & pids+=($!)
  else
    "$1" --fastcgi "$sock" --threads "$threads" & pids+=($!)
  fi
  for _ in $(seq 100); do [[ -S $sock ]] && break; sleep 0.05; done
  nginx_conf "$port" "$sock" > "$work/nginx.conf"
  /usr/sbin/nginx -c "$work/nginx.conf" -p "$work" -e "$work/nginx-error.log" & pids+=($!)
  wait_port "$port"
}

load() {  # url -> "req/s p50 p99 non2xx socket-errors requests"
  local out=$work/wrk.txt
  wrk -t1 -c"$connections" -d"${duration}s" --timeout 60s --latency "$1" > "$out"
  awk '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
    /^ +50%/ { p50 = ms($2) } /^ +99%/ { p99 = ms($2) }
    /Requests\/sec/ { rps = $2 } /requests in/ { n = $1 }
    /Non-2xx/ { non2xx = $NF }
    /Socket errors/ { errors = $0; sub(/.*Socket errors: /, "", errors); gsub(/ /, "", errors) }
    END { printf "%s %.3f %.3f %d %s %d\n", rps, p50, p99, non2xx, (errors == "" ? "none" : errors), n }
  ' "$out"
}

masked() { sed -E 's#//127\.0\.0\.1:[0-9]+/#//127.0.0.1:PORT/#g' "$1"; }

status=0
declare -A RUNS
# run LABEL cgi|PROGRAM FOLDER [viewer]: one measured run, its figures added
# to the label's list.
run() {
  local label=$1 backend=$2 folder=$3 viewer=${4:-}
  start "$backend"
  local url=http://127.0.0.1:$port/$folder/pictorama.cgi
  curl -s -o "$work/page.html" "$url"
  if ! cmp -s <(masked "$work/page.html") "$work/reference-$folder.html"; then
    echo "FAIL: $label: the page differs from CGI's"; status=1
  fi
  local watcher=""
  if [[ -n $viewer ]]; then
    (while :; do curl -s -o /dev/null "$url?W"; sleep 1; done) & watcher=$!
  fi
  # The mount's daemon's processor time per page: what the page costs in
  # round trips to the file system's server.
  local before after
  before=$(cpu_ms "$bindfs_pid")
  read -r rps p50 p99 non2xx errors n < <(load "$url")
  after=$(cpu_ms "$bindfs_pid")
  [[ -n $watcher ]] && { kill "$watcher"; wait "$watcher" 2>/dev/null || true; }
  stop_all
  local cpu=-
  [[ $folder == fuse ]] && cpu=$(awk -v a="$before" -v b="$after" -v n="$n" 'BEGIN { printf "%.2f", (b - a) / (n ? n : 1) }')
  RUNS[$label]+="$rps $p50 $p99 $cpu;"
  printf '  %-34s %10s %9s %9s %9s %8s %s\n' "$label" "$rps" "$p50" "$p99" "$cpu" "$non2xx" "$errors"
  [[ $non2xx == 0 && $errors == none ]] || { echo "FAIL: $label: failed responses"; status=1; }
}
# The median of one column (1 req/s, 2 p50, 3 p99, 4 bindfs ms per page)
# of a label's runs.
median() {
  tr ';' '\n' <<< "${RUNS[$1]}" | awk -v c="$2" 'NF { print $c }' | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# The CGI pages, once the thumbnails are made: the reference of each folder.
for folder in local fuse; do
  start cgi
  curl -s -o /dev/null "http://127.0.0.1:$port/$folder/pictorama.cgi"
  curl -s -o "$work/page.html" "http://127.0.0.1:$port/$folder/pictorama.cgi"
  grep -q "$pictures Images Posted" "$work/page.html" || { echo "FAIL: the $folder page is wrong"; status=1; }
  masked "$work/page.html" > "$work/reference-$folder.html"
  stop_all
done
# What a resident process keeps on a shared mount are files whose stamps
# have settled (kept_folders::SettledStampSeconds).
sleep 4

labels=("local: baseline" "local: this build" "local + slideshow: baseline" "local + slideshow: this build"
        "fuse: CGI" "fuse: this build" "fuse: baseline (trusts inotify)")
echo "Kept folders ($pictures pictures, $rounds rounds of ${duration} s runs, $connections connections, $threads FastCGI threads)"
echo "baseline: $baseline"
printf '  %-34s %10s %9s %9s %9s %8s %s\n' run req/s "p50 ms" "p99 ms" "fuse ms" non-2xx "socket errors"
for ((round = 1; round <= rounds; round++)); do
  echo "round $round"
  if [[ ${ONLY:-} != fuse ]]; then
    run "${labels[0]}" "$baseline" local
    run "${labels[1]}" "$program" local
    run "${labels[2]}" "$baseline" local viewer
    run "${labels[3]}" "$program" local viewer
  fi
  if [[ ${ONLY:-} != local ]]; then
    run "${labels[4]}" cgi fuse
    run "${labels[5]}" "$program" fuse
    run "${labels[6]}" "$baseline" fuse
    [[ -n ${KEEP_NOTHING:-} ]] && run "fuse: keeping nothing there" "$KEEP_NOTHING" fuse
  fi
done
[[ -n ${ONLY:-} ]] && exit $status

echo
echo "Medians of $rounds rounds"
for label in "${labels[@]}"; do
  printf '  %-34s %10s %9s %9s %9s\n' "$label" "$(median "$label" 1)" "$(median "$label" 2)" "$(median "$label" 3)" \
    "$(median "$label" 4)"
done
awk -v bp="$(median "${labels[0]}" 2)" -v p="$(median "${labels[1]}" 2)" \
    -v brps="$(median "${labels[0]}" 1)" -v rps="$(median "${labels[1]}" 1)" \
    -v bv="$(median "${labels[2]}" 1)" -v v="$(median "${labels[3]}" 1)" \
    -v c="$(median "${labels[4]}" 1)" -v f="$(median "${labels[5]}" 1)" \
    -v cc="$(median "${labels[4]}" 4)" -v fc="$(median "${labels[5]}" 4)" 'BEGIN {
  printf "local: p50 %.2fx the baseline'"'"'s (target <= 1.1), req/s %.2fx\n", p / bp, rps / brps
  printf "local + one slideshow viewer: req/s %.2fx warm (target >= 0.9); the baseline %.2fx its own\n", v / rps, bv / brps
  printf "fuse: req/s %.1fx CGI'"'"'s on the mount (target >= 5); the mount'"'"'s daemon busy %.1fx less per page\n", f / c, cc / fc
  exit !(p / bp <= 1.1 && v / rps >= 0.9 && f / c >= 5)
}' || { echo "FAIL: a target missed"; status=1; }
exit $status
