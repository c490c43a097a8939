#!/usr/bin/env bash
# Runs every benchmark script in bench/ (called by ./run bench after building
# build-bench). Arguments are passed to each script.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
status=0
for script in "$here"/*.sh; do
  [[ $(basename "$script") == run-all.sh ]] && continue
  echo "== $(basename "$script")"
  "$script" "$@" || status=1
done
exit $status
