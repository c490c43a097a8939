#!/usr/bin/env bash
# What the picture formats cost a CGI request when they are off: the photo
# page of a folder of 9 pictures whose thumbnails are made (no
# PICTORAMA_FORMATS), requested as a web server starts the program, this
# build's program against the baseline's (by default main's, built here from
# `git archive` into build-baseline/<commit>, as bench/kept_folders.sh does),
# in ROUNDS rounds of REQUESTS requests each, interleaved. Figures: wall and
# CPU (user + system) milliseconds a request; target: this build's CPU at
# most the baseline's (the libraries' start, libheif's decoders registered
# only by the first heif_init, costs a request nothing).
# Environment: BASELINE (a program), BASELINE_REF (default main),
# PICTORAMA_CGI (default build/pictorama.cgi), ROUNDS (5), REQUESTS (300).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
program=${PICTORAMA_CGI:-$top/build/pictorama.cgi}
rounds=${ROUNDS:-5}
requests=${REQUESTS:-300}
[[ -x $program ]] || { echo "no $program: ./run build first"; exit 1; }
[[ -x /usr/bin/convert ]] || { echo "/usr/bin/convert is missing: ./run setup"; exit 1; }

source "$top/bench/lib/baseline.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/pictorama-formats-off.XXXXXX")
trap 'rm -rf "$work"' EXIT
for i in 1 2 3 4 5 6 7 8 9; do
  /usr/bin/convert -size 400x300 gradient:red-blue -quality 85 "$work/p$i.jpg"
  printf 'k%s\r\n' "$i" >"$work/p$i.idd"
  printf 'caption %s\r\n' "$i" >"$work/p$i.txt"
done
cp "$baseline" "$work/baseline.cgi"
cp "$program" "$work/this.cgi"

cpu_of() {  # file written by times: this shell's children, seconds
  awk 'function s(t,  m) { m = substr(t, 1, index(t, "m") - 1); t = substr(t, index(t, "m") + 1); sub("s", "", t); return m * 60 + t }
       NR == 2 { printf "%.4f", s($1) + s($2) }' "$1"
}
# REQUESTS photo pages from one program: "wall-ms cpu-ms" a request.
pages() {  # program name in the folder
  local t0 t1 c0 c1 i
  cd "$work"
  times >"$work/t0"; t0=$(date +%s%N)
  for ((i = 0; i < requests; i++)); do
    env -i GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING= SCRIPT_NAME="/$1" \
      SCRIPT_FILENAME="$work/$1" DOCUMENT_ROOT="$work" HTTP_HOST=localhost REMOTE_ADDR=127.0.0.1 \
      SERVER_SOFTWARE=lighttpd/1.4 PATH=/usr/bin:/bin "./$1" >/dev/null
  done
  t1=$(date +%s%N); times >"$work/t1"
  c0=$(cpu_of "$work/t0"); c1=$(cpu_of "$work/t1")
  awk -v a="$t0" -v b="$t1" -v c="$c0" -v d="$c1" -v n="$requests" 'BEGIN { printf "%.3f %.3f\n", (b - a) / 1e6 / n, (d - c) * 1000 / n }'
}
pages this.cgi >/dev/null  # the thumbnails, made once
echo "photo page under CGI, formats off, $rounds rounds of $requests requests; $(uptime | sed 's/.*load/load/')"
bw=() bc=() tw=() tc=()
for ((r = 0; r < rounds; r++)); do
  read -r w c < <(pages baseline.cgi); bw+=("$w"); bc+=("$c")
  read -r w c < <(pages this.cgi); tw+=("$w"); tc+=("$c")
  printf '  round %d: baseline %s ms wall %s ms CPU | this build %s ms wall %s ms CPU\n' "$((r + 1))" "${bw[-1]}" "${bc[-1]}" "${tw[-1]}" "${tc[-1]}"
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
a=$(printf '%s\n' "${bc[@]}" | median); b=$(printf '%s\n' "${tc[@]}" | median)
printf 'medians: baseline %s ms CPU, this build %s ms CPU a request: %.2fx (target <= 1.0x, within the noise of a shared machine)\n' \
  "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN { print b / a }')"
echo "sizes: baseline $(stat -c %s "$baseline") bytes, this build $(stat -c %s "$program") bytes"
