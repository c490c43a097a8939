#!/usr/bin/env bash
# Makes the pictures the cross-built PNG, WebP and HEIF libraries decode under
# Wine, each with the pixels Debian's own tools decode from it on this
# machine, as raw RGBA rows (*.rgba: 8 bits a sample; *.rgba16: 16 bits,
# most significant byte first):
#   tests/windows/make-reference-pictures.sh FOLDER
# All 64x48 from one picture with an alpha ramp, a disc and a box:
#   rgba.png           8-bit RGBA                     rgba.png.rgba (ImageMagick)
#   palette.png        palette + tRNS, Adam7          palette.png.rgba (ImageMagick)
#   lossless.webp      VP8L                           lossless.webp.rgba (dwebp)
#   lossy.webp         VP8 + ALPH                     lossy.webp.rgba, and scaled
#                                                     to 32x24 lossy.webp.32x24.rgba (dwebp)
#   exif.webp          lossy.webp + an EXIF chunk     (orientation 6)
#   picture.heic       HEVC 8-bit, alpha, 32x24 thumbnail   picture.heic.rgba (heif-convert)
#   picture10.heic     HEVC 10-bit                    picture10.heic.rgba16 (heif-convert)
#   picture.avif       AV1 8-bit, alpha               picture.avif.rgba (heif-convert, dav1d)
#   picture12.avif     AV1 12-bit                     picture12.avif.rgba16 (heif-convert, dav1d)
# heif-convert writes samples of more than 8 bits as 16-bit ones, the
# decoder's 10 or 12 bits on top.
set -euo pipefail
out=${1:?folder}

for tool in convert cwebp dwebp webpmux heif-enc heif-convert; do
  if ! command -v "$tool" >/dev/null; then
    # Without them the suites have nothing to decode: the build stops here
    # (./run setup installs them).
    echo "MISSING TOOL: $tool is not installed: the cross-built libraries' pictures cannot be made" \
      "(./run setup installs imagemagick, webp and libheif-examples)" >&2
    exit 1
  fi
done

mkdir -p "$out"
cd "$out"
rm -f ./*.png ./*.webp ./*.heic ./*.avif ./*.rgba ./*.rgba16 ./*.exif

convert -size 64x48 'gradient:#ff8000-#0040ff' \
  -fill '#20c040' -draw 'circle 22,20 34,20' -fill white -draw 'rectangle 40,8 58,40' \
  \( -size 48x64 'gradient:#ffffff-#202020' -rotate 90 \) -alpha off -compose CopyOpacity -composite \
  -depth 8 PNG32:rgba.png
convert rgba.png -depth 16 PNG64:rgba16.png
convert rgba.png -depth 8 rgba:rgba.png.rgba
# 16 colours, transparency by palette entry, interlaced.
convert rgba.png -colors 16 -interlace PNG PNG8:palette.png
convert palette.png -depth 8 rgba:palette.png.rgba

pam_to_rgba() {  # pam, rgba
  convert "$1" -depth 8 rgba:"$2"
  rm "$1"
}
cwebp -quiet -lossless -exact rgba.png -o lossless.webp
dwebp -quiet lossless.webp -pam -o lossless.pam && pam_to_rgba lossless.pam lossless.webp.rgba
cwebp -quiet -q 75 rgba.png -o lossy.webp
dwebp -quiet lossy.webp -pam -o lossy.pam && pam_to_rgba lossy.pam lossy.webp.rgba
dwebp -quiet lossy.webp -scale 32 24 -pam -o scaled.pam && pam_to_rgba scaled.pam lossy.webp.32x24.rgba
# A little-endian TIFF block holding one IFD entry: orientation (0x0112),
# SHORT, 1 value, 6 (turned a quarter clockwise).
printf 'II*\0\10\0\0\0\1\0\22\1\3\0\1\0\0\0\6\0\0\0\0\0\0\0' >orientation.exif
# (webpmux says what it saved on its error output.)
webpmux -set exif orientation.exif lossy.webp -o exif.webp 2>webpmux.log || { cat webpmux.log >&2; exit 1; }
rm orientation.exif webpmux.log

heif-enc -q 80 -t 32 rgba.png -o picture.heic >/dev/null
heif-convert --quiet picture.heic picture.heic.png
heif-enc -b 10 -q 80 rgba16.png -o picture10.heic >/dev/null
heif-convert --quiet picture10.heic picture10.heic.png
heif-enc -A -q 80 rgba.png -o picture.avif >/dev/null
heif-convert --quiet -d dav1d picture.avif picture.avif.png
# Debian's AV1 encoder fails on 10-bit pictures; 12 bits take the same
# high-bit-depth path of the decoder.
heif-enc -A -b 12 -q 80 rgba16.png -o picture12.avif >/dev/null
heif-convert --quiet -d dav1d picture12.avif picture12.avif.png
for f in picture.heic picture.avif; do convert $f.png -depth 8 rgba:$f.rgba; done
for f in picture10.heic picture12.avif; do convert $f.png -depth 16 -endian MSB rgba:$f.rgba16; done
rm -f ./*.heic.png ./*.avif.png rgba16.png
