#!/usr/bin/env bash
# Another visitor's photo page while as many slow strangers as the FastCGI
# program has threads hold on, under Apache (mod_proxy_fcgi, with and
# without mod_reqtimeout), nginx, lighttpd and on the program's own socket:
# see bench/slow_clients.py. PROGRAMS ("name=path,..."; default: this
# checkout's build) compares builds side by side in one run; SECONDS_HELD
# (default 30) is how long the strangers hold on, THREADS (default 4) the
# program's threads and the number of strangers.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
args=(--seconds "${SECONDS_HELD:-30}" --threads "${THREADS:-4}")
[[ -n ${PROGRAMS:-} ]] && args+=(--programs "$PROGRAMS")
exec python3 "$here/slow_clients.py" "${args[@]}" "$@"
