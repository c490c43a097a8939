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
[[ -x $lighttpd ]] || { echo "lighttpd is missing: run ./run setup demo" >&2; exit 1; }
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
# The shipped config (deploy/) inside the end-to-end tests' stand-in for
# Debian's lighttpd.conf, for a server run as ourselves on a port of our own.
deploy=deploy/lighttpd-cgi.conf
((fastcgi)) && deploy=deploy/lighttpd-fastcgi.conf
shopt -u patsub_replacement 2>/dev/null || true  # "&" in a path stays "&"
fill() {  # file NAME=value...: the file with each @NAME@ replaced
  local source=$1 text name value
  text=$(<"$source")
  shift
  for setting in "$@"; do
    name=${setting%%=*}
    value=${setting#*=}
    text=${text//@$name@/$value}
  done
  if [[ $text =~ @[A-Z][A-Z0-9_]*@ ]]; then
    echo "no value for ${BASH_REMATCH[0]} in $source" >&2
    exit 1
  fi
  printf '%s\n' "$text"
}
fill "$deploy" DOCUMENT_ROOT="$folder" GALLERY="$folder" SOCKET="$work/pictorama.sock" \
  OWNER_ADDRESS=127.0.0.1 > "$work/pictorama.conf"
# USER empty: lighttpd stays the account that started it.
fill tests/e2e/harness/lighttpd.conf WORK="$work" PORT="$port" USER= DEPLOY="$work/pictorama.conf" \
  > "$work/lighttpd.conf"

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
echo "Pictorama is serving $folder under lighttpd, the program as $( ((fastcgi)) && echo "FastCGI" || echo "CGI")."
echo "Open in a browser (the first view makes the thumbnails):"
echo "  photo page:  $url"
echo "  slideshow:   ${url}pictorama.cgi?W"
echo "  report:      ${url}pictorama.cgi?S"
echo "Stop it with Ctrl-C here (or: kill $$)."
wait "$pid"
