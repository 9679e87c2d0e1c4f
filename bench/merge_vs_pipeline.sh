#!/usr/bin/env bash
# Side by side, in one run: a whole jpgmerge run on a 24-megapixel camera-style JPEG (6000 x 4000,
# quality 90, 4:2:0, Exif with a 160 x 120 thumbnail) used as both image source and metadata
# source, against what a user would run otherwise to get the same kind of file: decode with
# djpeg, re-encode with cjpeg (float DCT, optimal Huffman tables, quality 90), then copy the
# metadata across with exiftool, as one shell command. Prints the speed ratio (pipeline time /
# jpgmerge time; 1.0 means as fast as the pipeline) and the peak resident memory of jpgmerge.
#
#   bench/merge_vs_pipeline.sh [build directory]      (default: build; RUNS=5 by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
jpgmerge="$build/bin/jpgmerge"
work=${BENCH_WORK:-$root/bench/work/merge}
[ -x "$jpgmerge" ] || { echo "missing $jpgmerge (build first)" >&2; exit 1; }
for tool in cjpeg djpeg gm exiftool hyperfine; do
  command -v $tool >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is not installed" >&2; exit 1; }

# The picture: photo-like, see bench/photo.sh.
. "$root/bench/photo.sh"
mkdir -p "$work"
big="$work/big.jpg"
if [ ! -f "$big" ]; then
  make_photo "$work/photo.ppm"
  cjpeg -quality 90 -sample 2x2 -outfile "$work/plain.jpg" "$work/photo.ppm"
  gm convert "$work/photo.ppm" -resize 160x120! -depth 8 "$work/thumb.ppm"
  cjpeg -quality 80 -outfile "$work/thumb.jpg" "$work/thumb.ppm"
  rm -f "$work/photo.ppm" "$work/thumb.ppm"
  # Camera-style Exif: make and model, the three dates (20 bytes each), exposure, and the
  # thumbnail in IFD1.
  exiftool -q -overwrite_original -Make=Tessel '-Model=Bench Camera 24' \
    '-ModifyDate=2026:01:02 03:04:05' '-DateTimeOriginal=2026:01:02 03:04:05' \
    '-CreateDate=2026:01:02 03:04:05' -ExposureTime=1/250 -FNumber=8 -ISO=100 \
    -FocalLength=50 -Orientation#=1 "-ThumbnailImage<=$work/thumb.jpg" "$work/plain.jpg"
  mv "$work/plain.jpg" "$big"
  rm -f "$work/thumb.jpg"
fi

out="$work/out.jpg"
pipeline="$work/p.jpg"
merge="$jpgmerge -i $big -m $big -o $out"
pipe="djpeg -dct float $big | cjpeg -dct float -optimize -quality 90 > $pipeline && \
exiftool -q -overwrite_original -TagsFromFile $big $pipeline"

echo "== $(basename "$big"): $(wc -c < "$big") bytes" >&2
hyperfine --warmup 1 --runs "${RUNS:-5}" --export-csv "$work/times.csv" \
  -n jpgmerge "$merge" -n pipeline "$pipe" >&2
merge_kb=$(/usr/bin/time -f %M $merge 2>&1 >/dev/null | tail -n 1)
# CSV columns: command,mean,stddev,median,user,system,min,max
awk -F, -v mk="$merge_kb" -v mb="$(wc -c < "$out")" -v pb="$(wc -c < "$pipeline")" '
  NR > 1 { mean[$1] = $2 }
  END {
    printf "jpgmerge %.3f s, pipeline %.3f s, speed ratio (pipeline / jpgmerge) %.2f (goal >= 0.8)\n",
           mean["jpgmerge"], mean["pipeline"], mean["pipeline"] / mean["jpgmerge"]
    printf "peak memory jpgmerge %.0f MB (goal <= 450 MB); output jpgmerge %d, pipeline %d bytes\n",
           mk / 1024, mb, pb
  }' "$work/times.csv"
