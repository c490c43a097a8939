#!/usr/bin/env bash
# Load under a real web server (lighttpd, the program as CGI), with wrk:
# 1. Warm: DURATION seconds, 2 connections, on the photo page of 100 pictures
#    whose thumbnails are present, side by side in the same run with a trivial
#    CGI program (static C, like the gallery) printing a page of the same size.
#    Target: gallery p50 <= 2x the trivial program's; no non-2xx, no socket error.
# 2. Cold: DURATION seconds, 10 connections, on a folder of 60 camera-sized
#    pictures without thumbnails: every response 200, every thumbnail afterwards
#    a complete JPEG, no temporary file left.
# Environment: DURATION (default 20), PICTURES (100), COLD_PICTURES (60),
# PICTORAMA_CGI (default build-bench/pictorama.cgi, else build/pictorama.cgi).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
duration=${DURATION:-20}
connections=2
pictures=${PICTURES:-100}
cold_connections=10
cold_pictures=${COLD_PICTURES:-60}
program=${PICTORAMA_CGI:-}
if [[ -z $program ]]; then
  for candidate in "$top/build-bench/pictorama.cgi" "$top/build/pictorama.cgi"; do
    [[ -x $candidate ]] && program=$candidate && break
  done
fi
[[ -n $program && -x $program ]] || { echo "no pictorama.cgi: ./run build first"; exit 1; }
for tool in /usr/bin/wrk /usr/sbin/lighttpd /usr/bin/convert /usr/bin/djpeg; do
  [[ -x $tool ]] || { echo "$tool is missing: ./run setup"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/pictorama-load.XXXXXX")
pid=
cleanup() {
  if [[ -n $pid ]]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
root=$work/www
mkdir -p "$root/trivial"

# A gallery folder: one picture linked under COUNT names, each listed and
# captioned, and the program.
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
gallery "$root/cold" "$work/camera.jpg" "$cold_pictures"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/lighttpd.conf" <<EOF
server.document-root = "$root"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/error.log"
server.modules = ("mod_indexfile", "mod_cgi")
cgi.assign = (".cgi" => "")
mimetype.assign = (".jpg" => "image/jpeg", ".gif" => "image/gif", ".html" => "text/html")
EOF
/usr/sbin/lighttpd -D -f "$work/lighttpd.conf" &
pid=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done

gallery_url=http://127.0.0.1:$port/gallery/pictorama.cgi
# The first view makes the thumbnails; the measured views find them present.
curl -s -o "$work/page.html" "$gallery_url"
grep -q "$pictures Images Posted" "$work/page.html" || { echo "the warm-up page is wrong"; exit 1; }
size=$(stat -c %s "$work/page.html")

# The trivial program: the same header block and a body of the same size.
cat > "$work/trivial.c" <<EOF
#include <stdio.h>
#include <string.h>
static char body[$size];
int main(void) {
    memset(body, 'x', sizeof body);
    printf("HTTP/1.0 200 OK\r\ncontent-type: text/html\r\ncontent-length: %zu\r\nConnection: Keep-Alive\r\n\r\n", sizeof body);
    fwrite(body, 1, sizeof body, stdout);
    return 0;
}
EOF
cc -O2 -static -o "$root/trivial/trivial.cgi" "$work/trivial.c"
trivial_url=http://127.0.0.1:$port/trivial/trivial.cgi

# Runs wrk on URL with N connections; prints "requests/s p50 p90 p99 non2xx
# socket-errors" (milliseconds).
load() {  # url connections
  local out=$work/wrk.txt
  wrk -t1 -c"$2" -d"${duration}s" --timeout 60s --latency "$1" > "$out"
  awk '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
    /^ +50%/ { p50 = ms($2) } /^ +90%/ { p90 = ms($2) } /^ +99%/ { p99 = ms($2) }
    /Requests\/sec/ { rps = $2 }
    /Non-2xx/ { non2xx = $NF }
    /Socket errors/ { errors = $0; sub(/.*Socket errors: /, "", errors); gsub(/ /, "", errors) }
    END { printf "%s %.2f %.2f %.2f %d %s\n", rps, p50, p90, p99, non2xx, (errors == "" ? "none" : errors) }
  ' "$out"
}

echo "Warm: wrk ${duration} s, ${connections} connections, $(/usr/sbin/lighttpd -v 2>&1 | head -1 | awk '{print $1}'), page of $size bytes ($pictures pictures)"
read -r g_rps g_p50 g_p90 g_p99 g_non2xx g_errors < <(load "$gallery_url" "$connections")
read -r t_rps t_p50 t_p90 t_p99 t_non2xx t_errors < <(load "$trivial_url" "$connections")
printf '%-28s %10s %9s %9s %9s %8s %s\n' program req/s "p50 ms" "p90 ms" "p99 ms" non-2xx "socket errors"
printf '%-28s %10s %9s %9s %9s %8s %s\n' "gallery photo page" "$g_rps" "$g_p50" "$g_p90" "$g_p99" "$g_non2xx" "$g_errors"
printf '%-28s %10s %9s %9s %9s %8s %s\n' "trivial CGI, same size" "$t_rps" "$t_p50" "$t_p90" "$t_p99" "$t_non2xx" "$t_errors"
ratio=$(awk -v g="$g_p50" -v t="$t_p50" 'BEGIN { printf "%.2f", g / t }')
echo "p50 gallery / trivial: ${ratio}x (target <= 2x)"
status=0
[[ $g_non2xx == 0 && $g_errors == none ]] || { echo "FAIL: the warm gallery had failed responses"; status=1; }

echo
echo "Cold: wrk ${duration} s, ${cold_connections} connections, $cold_pictures pictures of 4000x3000 without thumbnails"
read -r c_rps c_p50 c_p90 c_p99 c_non2xx c_errors < <(load "http://127.0.0.1:$port/cold/pictorama.cgi" "$cold_connections")
printf '%-28s %10s %9s %9s %9s %8s %s\n' "gallery, cold" "$c_rps" "$c_p50" "$c_p90" "$c_p99" "$c_non2xx" "$c_errors"
completed=$(awk '/requests in/ { print $1 }' "$work/wrk.txt")
echo "completed in ${duration} s: $completed responses"
# Requests still running when wrk stopped finish (or are ended by lighttpd)
# first; then one more view completes what is missing.
for _ in $(seq 600); do [[ -z $(pgrep -P "$pid" || true) ]] && break; sleep 0.2; done
final=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/cold/pictorama.cgi")
echo "a view afterwards: $final"
thumbnails=0 broken=0
for thumbnail in "$root"/cold/t_*.jpg; do
  [[ $(basename "$thumbnail") == t_SLIDEIMAGE.jpg ]] && continue
  thumbnails=$((thumbnails + 1))
  # djpeg warns about a truncated or damaged file on standard error.
  if ! djpeg "$thumbnail" 2>"$work/djpeg.err" >/dev/null || [[ -s $work/djpeg.err ]]; then
    broken=$((broken + 1))
  fi
done
leftovers=$(find "$root/cold" -name '*.~*' | wc -l)
echo "thumbnails afterwards: $thumbnails of $cold_pictures, $broken not a complete JPEG; temporary files left: $leftovers"
[[ $c_non2xx == 0 && $c_errors == none && $final == 200 ]] || { echo "FAIL: the cold gallery had failed responses"; status=1; }
[[ $thumbnails == "$cold_pictures" && $broken == 0 && $leftovers == 0 ]] || { echo "FAIL: cold thumbnails"; status=1; }
exit $status
