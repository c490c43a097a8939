#!/usr/bin/env bash
# Makes a sample gallery in FOLDER (which must not exist yet): a dozen
# camera-sized JPEG pictures of varied content (one stored on its side with an
# EXIF orientation tag, as a camera held upright stores it) and a GIF, each with its caption
# (.txt) and listing file (.idd), and a page title. The folder appears whole or
# not at all: the pictures are made beside it and renamed into place.
#   scripts/sample-gallery.sh FOLDER
set -euo pipefail
target=${1:?usage: sample-gallery.sh FOLDER}
# ImageMagick's own convert; another one earlier on PATH may be a stand-in.
convert=/usr/bin/convert
[[ -x $convert ]] || { echo "ImageMagick is missing ($convert): run ./run setup demo" >&2; exit 1; }
[[ -e $target ]] && { echo "$target exists already" >&2; exit 1; }

work="$target.making.$$"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"

size=4000x3000
count=0
# picture NAME "listing key" "caption" convert-arguments...
picture() {
  local name=$1 key=$2 caption=$3
  shift 3
  count=$((count + 1))
  printf '  %-14s %s\n' "$name" "$caption"
  "$convert" "$@" -quality 88 "$work/$name"
  printf '%s\r\n' "$key" > "$work/${name%.*}.idd"
  printf '%s\r\n' "$caption" > "$work/${name%.*}.txt"
}

# orientation_tag FILE N: puts an EXIF segment holding only the orientation
# tag (0x0112, SHORT, N from 1 to 8) right after the JPEG's start marker: the
# segment's length, "Exif", a little-endian TIFF header and one IFD entry.
orientation_tag() {
  local file=$1 value=$2
  [[ $(head -c 2 "$file" | od -An -tx1) == " ff d8" ]] || { echo "$file is no JPEG file" >&2; exit 1; }
  { head -c 2 "$file"
    printf '\xff\xe1\x00\x22Exif\x00\x00II*\x00\x08\x00\x00\x00\x01\x00\x12\x01\x03\x00\x01\x00\x00\x00'
    printf "\\x0${value}"
    printf '\x00\x00\x00\x00\x00\x00\x00'
    tail -c +3 "$file"
  } > "$file.tagged"
  mv "$file.tagged" "$file"
}

echo "Making the sample gallery in $target:"
picture IMG_0001.JPG "2024-06-01 Lake" "Morning over the lake" \
  -size $size gradient:'#87ceeb'-'#fdf5e6' \
  -fill '#2e8b57' -draw 'rectangle 0,2100 4000,3000' \
  -fill '#4682b4' -draw 'rectangle 0,2450 4000,3000' \
  -fill '#ffd700' -draw 'circle 3100,700 3100,420'
picture IMG_0002.JPG "2024-06-02 Clouds" "Clouds from the plane" \
  -seed 11 -size 800x600 plasma:'#f8f8ff'-'#5f9ea0' -resize "$size!" -blur 0x4
picture IMG_0003.JPG "2024-06-03 Lantern" "A lantern in the garden" \
  -size $size radial-gradient:'#fff8dc'-'#8b0000'
picture IMG_0004.JPG "2024-06-04 Deep water" "Diving off the reef" \
  -seed 12 -size 800x600 plasma:'#003366'-'#66ccff' -resize "$size!"
picture IMG_0005.JPG "2024-06-05 Summit" "The summit, upright" \
  -size 3000x4000 gradient:'#ffe4b5'-'#b0c4de' \
  -fill '#556b2f' -draw 'polygon 0,4000 1500,1300 3000,4000' \
  -fill '#fffafa' -draw 'polygon 1180,1880 1500,1300 1820,1880'
picture IMG_0006.JPG "2024-06-06 Tiles" "Kitchen tiles" \
  -size 80x60 pattern:checkerboard -scale "$size!" -fill '#cd5c5c' -tint 60
picture IMG_0007.JPG "2024-06-07 Meadow" "Meadow in June" \
  -seed 13 -size 800x600 plasma:'#228b22'-'#f0e68c' -resize "$size!"
picture IMG_0008.JPG "2024-06-08 Night" "Night sky with the moon" \
  -size $size xc:black -seed 5 +noise Random -colorspace Gray -threshold 99.8% \
  -fill '#f5f5dc' -draw 'circle 3000,800 3000,560'
picture harbour.jpg "2024-06-09 Harbour" "Evening at the harbour" \
  -size $size gradient:'#ff7f50'-'#191970' \
  -fill '#2f4f4f' -draw 'rectangle 0,2200 4000,3000' \
  -fill '#8b4513' -draw 'polygon 900,2200 1700,2200 1550,2400 1050,2400' \
  -stroke '#8b4513' -strokewidth 24 -draw 'line 1300,2200 1300,1300'
picture blossom.jpg "2024-06-10 Blossom" "Cherry blossom" \
  -seed 14 -size 800x600 plasma:'#800080'-'#ffc0cb' -resize "$size!"
picture bubbles.jpg "2024-06-11 Bubbles" "Soap bubbles" \
  -size $size radial-gradient:'#e0ffff'-'#008b8b' -fill none -stroke white -strokewidth 18 \
  -draw 'circle 1000,1000 1000,700' -draw 'circle 2600,1700 2600,1200' -draw 'circle 3300,700 3300,550'
picture stone.jpg "2024-06-12 Stone" "Old stone wall, black and white" \
  -seed 15 -size 800x600 plasma:fractal -resize "$size!" -colorspace Gray
picture banner.gif "2024-06-13 Banner" "A GIF: the festival banner" \
  -size 480x360 radial-gradient:'#ffff00'-'#ff4500' -fill '#8b0000' \
  -draw 'rectangle 40,150 440,210' -colors 64
# A camera held upright stores the picture on its side and says so in the
# EXIF orientation tag (6: turn a quarter clockwise to show it).
picture IMG_0014.JPG "2024-06-14 Lighthouse" "The lighthouse, taken upright" \
  -size 3000x4000 gradient:'#4169e1'-'#e0ffff' \
  -fill '#708090' -draw 'rectangle 0,3300 3000,4000' \
  -fill '#f5f5f5' -draw 'polygon 1250,3300 1750,3300 1650,1200 1350,1200' \
  -fill '#b22222' -draw 'rectangle 1300,1700 1700,1950' -draw 'rectangle 1300,2400 1700,2650' \
  -fill '#ffd700' -draw 'rectangle 1380,950 1620,1200' \
  -rotate -90
orientation_tag "$work/IMG_0014.JPG" 6
printf 'Pictorama sample gallery\r\n' > "$work/pagetitle.txt"

mv "$work" "$target"
trap - EXIT
echo "$count pictures in $target"
