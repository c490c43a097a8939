#!/usr/bin/env bash
# Peak memory (maximum resident set) and time of the photo page of a folder
# holding one hostile JPEG picture (a progressive file of a few hundred bytes
# that declares 16384 x 16384 pixels, and one of 1000 scans), side by side
# with libjpeg-turbo's own djpeg decoding the same file with its default
# settings. The pictures are the named files of the JPEG fuzz corpus.
#
#   bench/hostile_jpeg.sh [PROGRAM]     (default: build/pictorama.cgi)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-build/pictorama.cgi}")
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time is missing (Debian package time)" >&2; exit 1; }
command -v djpeg >/dev/null || { echo "djpeg is missing (Debian package libjpeg-turbo-progs)" >&2; exit 1; }

work=$(mktemp -d /tmp/pictorama-bench-hostile-XXXXXX)
trap 'rm -rf "$work"' EXIT

for name in progressive_16384x16384_444_encoder_file_with_patched_size progressive_1000_scans; do
  picture="$top/fuzz/corpus/jpeg_fuzzer/$name.jpg"
  rm -rf "$work/g" && mkdir "$work/g"
  cp "$program" "$work/g/pictorama.cgi"
  cp "$picture" "$work/g/hostile.jpg"
  printf 'hostile\r\n' > "$work/g/hostile.idd"
  (
    cd "$work/g"
    env -i PATH=/usr/bin:/bin GATEWAY_INTERFACE=CGI/1.1 SERVER_SOFTWARE=lighttpd/1.4.69 \
      SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=GET QUERY_STRING= SCRIPT_NAME=/pictorama.cgi \
      DOCUMENT_ROOT="$work/g" REMOTE_ADDR=127.0.0.1 \
      /usr/bin/time -f '%M %e' -o "$work/ours" ./pictorama.cgi > "$work/answer"
  )
  head -c 15 "$work/answer" | grep -q '^HTTP/1.0 200 OK' || { echo "no photo page for $name" >&2; exit 1; }
  [[ -s "$work/g/t_hostile.jpg" ]] && thumb="a thumbnail" || thumb="an empty thumbnail"
  /usr/bin/time -f '%M %e' -o "$work/djpeg" djpeg -outfile /dev/null "$picture" 2>/dev/null || true
  read -r ours_kib ours_s < <(tail -n 1 "$work/ours")
  read -r djpeg_kib djpeg_s < <(tail -n 1 "$work/djpeg")
  printf '%s (%d bytes):\n' "$name" "$(stat -c %s "$picture")"
  printf '  photo page:  peak %8d KiB, %6.2f s, %s\n' "$ours_kib" "$ours_s" "$thumb"
  printf '  djpeg:       peak %8d KiB, %6.2f s\n' "$djpeg_kib" "$djpeg_s"
done
