#!/usr/bin/env bash
# Serves a gallery under lighttpd, with the program run as CGI (or, with
# --fastcgi, as lighttpd's resident FastCGI program), until Ctrl-C.
#   scripts/demo.sh [FOLDER] [--port N] [--fastcgi]
# Without FOLDER it serves a sample gallery, made once under build/demo-gallery.
# The program is copied into the folder: it lives next to its pictures.
# Expects build/pictorama.cgi (./run demo builds it first).
set -euo pipefail
top=$(pwd)
port=8080
folder=
fastcgi=0

while (($#)); do
  case $1 in
    --port) port=${2:?--port needs a number}; shift 2 ;;
    --port=*) port=${1#--port=}; shift ;;
    --fastcgi) fastcgi=1; shift ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) [[ -z $folder ]] || { echo "one folder only" >&2; exit 2; }; folder=$1; shift ;;
  esac
done
[[ $port =~ ^[0-9]+$ ]] || { echo "--port wants a number, not $port" >&2; exit 2; }

lighttpd=/usr/sbin/lighttpd
[[ -x $lighttpd ]] || { echo "lighttpd is missing: run ./run setup" >&2; exit 1; }
program=$top/build/pictorama.cgi
[[ -x $program ]] || { echo "$program is missing: run ./run build" >&2; exit 1; }

if [[ -z $folder ]]; then
  folder=$top/build/demo-gallery
  # Made again when the script that makes it has changed since.
  if [[ -d $folder && scripts/sample-gallery.sh -nt $folder/pagetitle.txt ]]; then
    rm -rf "$folder"
  fi
  [[ -d $folder ]] || scripts/sample-gallery.sh "$folder"
fi
[[ -d $folder ]] || { echo "$folder is not a folder" >&2; exit 1; }
folder=$(cd "$folder" && pwd)
install -m 755 "$program" "$folder/pictorama.cgi"

work=$(mktemp -d "${TMPDIR:-/tmp}/pictorama-demo.XXXXXX")
modules='"mod_access", "mod_indexfile", "mod_cgi"'
handler='cgi.assign = (".cgi" => "")'
if ((fastcgi)); then
  # lighttpd starts the program itself, the socket on its standard input.
  modules='"mod_access", "mod_indexfile", "mod_fastcgi"'
  handler="fastcgi.server = (\".cgi\" => ((\"socket\" => \"$work/pictorama.sock\", \"bin-path\" => \"$folder/pictorama.cgi\", \"max-procs\" => 1)))"
fi
cat > "$work/lighttpd.conf" <<EOF
server.document-root = "$folder"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/error.log"
server.modules = ($modules)
index-file.names = ("pictorama.cgi")
$handler
mimetype.assign = (".jpg" => "image/jpeg", ".gif" => "image/gif", ".html" => "text/html")
# As the deployment guide: the gallery's private files are never served.
\$HTTP["url"] =~ "(\\.tst\$|/SlideNext[^/]*\$|\\.~[^/]*\$|/(log|temp)/)" {
    url.access-deny = ("")
}
EOF

pid=
stop() {
  trap - INT TERM EXIT
  if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap 'echo; echo "Stopping."; stop; exit 0' INT TERM
trap stop EXIT

"$lighttpd" -D -f "$work/lighttpd.conf" &
pid=$!
url=http://127.0.0.1:$port/
for _ in $(seq 100); do
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "lighttpd did not start (is port $port taken? try --port N):" >&2
    cat "$work/error.log" >&2 2>/dev/null || true
    exit 1
  fi
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

echo
echo "Serving $folder ($( ((fastcgi)) && echo "FastCGI" || echo "CGI"))"
echo "  photo page:  $url"
echo "  slideshow:   ${url}pictorama.cgi?W"
echo "  report:      ${url}pictorama.cgi?S"
echo "Thumbnails are made on the first view of the photo page. Ctrl-C stops."
wait "$pid"
