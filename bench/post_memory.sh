#!/usr/bin/env bash
# Peak memory (maximum resident set, from /usr/bin/time -v) of the program
# answering the photo page for a GET and for a POST of a large body, started
# as a web server starts it, with the body streamed on its standard input.
#
#   bench/post_memory.sh [PROGRAM] [BODY_MIB]     (defaults: build/pictorama.cgi, 1024)
set -euo pipefail
program=$(realpath "${1:-build/pictorama.cgi}")
mib=${2:-1024}
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time is missing (Debian package time)" >&2; exit 1; }

work=$(mktemp -d /tmp/pictorama-bench-post-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/pictorama.cgi"
bytes=$((mib * 1024 * 1024))

# run METHOD LENGTH: prints the peak resident set in KiB.
run() {
  local method=$1 length=$2
  (
    cd "$work"
    # A body of form fields, as a browser would send it.
    { if ((length > 0)); then yes 'field=value&' | head -c "$length"; fi; } |
      env -i PATH=/usr/bin:/bin GATEWAY_INTERFACE=CGI/1.1 SERVER_SOFTWARE=lighttpd/1.4.69 \
        SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD="$method" CONTENT_LENGTH="$length" \
        CONTENT_TYPE=application/x-www-form-urlencoded QUERY_STRING= SCRIPT_NAME=/pictorama.cgi \
        DOCUMENT_ROOT="$work" REMOTE_ADDR=127.0.0.1 \
        /usr/bin/time -f '%M' -o "$work/rss" ./pictorama.cgi > "$work/answer"
    head -c 15 "$work/answer" | grep -q '^HTTP/1.0 200 OK' || { echo "no photo page for $method" >&2; exit 1; }
    cat "$work/rss"
  )
}

get=$(run GET 0)
post=$(run POST "$bytes")
printf 'GET:                peak %6d KiB (%.1f MB)\n' "$get" "$(echo "$get / 1024" | bc -l)"
printf 'POST of %5d MiB:   peak %6d KiB (%.1f MB)\n' "$mib" "$post" "$(echo "$post / 1024" | bc -l)"
printf 'difference:         %6d KiB\n' $((post - get))
