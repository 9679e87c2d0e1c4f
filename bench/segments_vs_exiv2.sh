#!/usr/bin/env bash
# Compares, in one run, jpgdump -q over 500 small JPEG files against exiv2 -pS over the same
# files, each as one process, and prints files per second and the ratio.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_WORK:-$root/bench/work/segments}
jpgdump=${JPGDUMP:-$root/build/bin/jpgdump}
count=500

if [ ! -f "$work/files/done" ]; then
  rm -rf "$work" && mkdir -p "$work/files"
  gm convert -size 320x240 plasma:fractal "$work/base.ppm"
  for ((i = 0; i < count; i++)); do
    cjpeg -quality $((40 + i % 60)) -outfile "$work/files/$(printf %04d $i).jpg" "$work/base.ppm"
  done
  # Camera-style metadata on every file, in one exiftool process.
  exiftool -q -overwrite_original -Make=Bench -Model=Segments -Artist=tessel \
    -DateTimeOriginal="2026:12:06 12:00:00" -GPSLatitude=48.1 -GPSLatitudeRef=N "$work/files"
  touch "$work/files/done"
fi

hyperfine --warmup 2 --runs 10 --export-csv "$work/times.csv" \
  -n jpgdump "$jpgdump -q $work/files" \
  -n exiv2 "exiv2 -pS $work/files/*.jpg" >&2

awk -F, -v n=$count 'NR > 1 { mean[$1] = $2 }
  END {
    printf "jpgdump -q: %.0f files/s\n", n / mean["jpgdump"]
    printf "exiv2 -pS:  %.0f files/s\n", n / mean["exiv2"]
    printf "ratio (jpgdump / exiv2 files per second): %.2f\n", mean["exiv2"] / mean["jpgdump"]
  }' "$work/times.csv"
