#!/usr/bin/env bash
# Listing 500 small camera-style files (Exif with GPS, a thumbnail, XMP), and the camera originals
# of the sample folder (../shared/samples/camera, when it is there), each tool as one process over
# all of them: jpgdump -q (segments; goal: ratio >= 1.5) against exiv2 -pS, and the full listing
# (goal: ratio >= 2) against exiv2 -pR (segments and TIFF directories, recursive).
set -euo pipefail
. "$(dirname "$0")/common.sh"
need hyperfine exiv2 gm cjpeg exiftool
files=$root/bench/work/listing
if [ ! -f "$files/done" ]; then
  rm -rf "$files" && mkdir -p "$files"
  gm convert -size 320x240 plasma:fractal "$files/base.ppm"
  gm convert "$files/base.ppm" -resize 160x120 "$files/thumb.ppm"
  cjpeg -quality 80 -outfile "$files/thumb.jpg" "$files/thumb.ppm"
  for ((i = 0; i < 500; i++)); do
    cjpeg -quality $((40 + i % 60)) -outfile "$files/$(printf %04d $i).jpg" "$files/base.ppm"
  done
  rm -f "$files/base.ppm" "$files/thumb.ppm"
  exiftool -q -overwrite_original -Make=Bench -Model=Listing -Artist=tessel \
    -DateTimeOriginal="2026:12:06 12:00:00" -GPSLatitude=48.1 -GPSLatitudeRef=N \
    "-ThumbnailImage<=$files/thumb.jpg" -XMP-dc:Title="Bench file" "$files"/[0-9]*.jpg
  rm -f "$files/thumb.jpg"
  touch "$files/done"
fi
header "listing, 500 files"
compare "segments" "$build/bin/jpgdump -q $files" "sh -c 'exiv2 -pS $files/*.jpg'"
compare "full listing" "$build/bin/jpgdump $files" "sh -c 'exiv2 -pR $files/*.jpg'"
camera=$root/../shared/samples/camera
if [ -d "$camera" ]; then
  header "listing, the camera originals"
  # exiv2 -pR gives up with an exception (status 1) part way through many of these files, which
  # only shortens its work: its status is left out.
  compare "segments" "$build/bin/jpgdump -q $camera" "sh -c 'exiv2 -pS $camera/* || true'"
  compare "full listing" "$build/bin/jpgdump $camera" "sh -c 'exiv2 -pR $camera/* || true'"
fi
