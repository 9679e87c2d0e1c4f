#!/usr/bin/env bash
# Compares, in one run, over 500 small camera-style JPEG files (Exif with GPS, a thumbnail, XMP),
# each tool as one process over all of them:
#   jpgdump -q (segments only)        against exiv2 -pS (segment structure)
#   jpgdump    (full listing)         against exiv2 -pR (segments and TIFF directories, recursive)
# and prints files per second and the ratios (above 1: jpgdump is faster).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_WORK:-$root/bench/work/segments}
jpgdump=${JPGDUMP:-$root/build/bin/jpgdump}
count=500

if [ ! -f "$work/files/done" ]; then
  rm -rf "$work" && mkdir -p "$work/files"
  gm convert -size 320x240 plasma:fractal "$work/base.ppm"
  gm convert "$work/base.ppm" -resize 160x120 "$work/thumb.ppm"
  cjpeg -quality 80 -outfile "$work/thumb.jpg" "$work/thumb.ppm"
  for ((i = 0; i < count; i++)); do
    cjpeg -quality $((40 + i % 60)) -outfile "$work/files/$(printf %04d $i).jpg" "$work/base.ppm"
  done
  # Camera-style metadata on every file, in one exiftool process.
  exiftool -q -overwrite_original -Make=Bench -Model=Segments -Artist=tessel \
    -DateTimeOriginal="2026:12:06 12:00:00" -GPSLatitude=48.1 -GPSLatitudeRef=N \
    "-ThumbnailImage<=$work/thumb.jpg" -XMP-dc:Title="Bench file" "$work/files"
  touch "$work/files/done"
fi

hyperfine --warmup 2 --runs 10 --export-csv "$work/times.csv" \
  -n jpgdump "$jpgdump -q $work/files" \
  -n exiv2 "exiv2 -pS $work/files/*.jpg" \
  -n jpgdump-full "$jpgdump $work/files" \
  -n exiv2-pR "exiv2 -pR $work/files/*.jpg" >&2

awk -F, -v n=$count 'NR > 1 { mean[$1] = $2 }
  END {
    printf "jpgdump -q: %.0f files/s, exiv2 -pS: %.0f files/s, ratio %.2f\n",
           n / mean["jpgdump"], n / mean["exiv2"], mean["exiv2"] / mean["jpgdump"]
    printf "jpgdump:    %.0f files/s, exiv2 -pR: %.0f files/s, ratio %.2f\n",
           n / mean["jpgdump-full"], n / mean["exiv2-pR"], mean["exiv2-pR"] / mean["jpgdump-full"]
  }' "$work/times.csv"
