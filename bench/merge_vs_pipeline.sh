#!/usr/bin/env bash
# A whole merge of a 24-megapixel camera file into itself (image source and metadata source:
# 4:2:0, quality 90, Exif with a thumbnail), as whole processes, against what a user would run
# otherwise: decode with djpeg and re-encode with cjpeg at the same quality and sampling with
# optimal Huffman tables (goal: ratio >= 1.5), and that pipeline followed by exiftool copying the
# metadata across, the whole job (goal: ratio >= 3); and the whole job for a camera file with a
# multi-picture preview after its image, which the merge makes anew (goal: ratio >= 3, at most
# 300 MB).
set -euo pipefail
. "$(dirname "$0")/common.sh"
need hyperfine djpeg cjpeg exiftool
make_mpf_pictures
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
header "merge, JPEG image source"
for picture in photo noisy; do
  file=$pictures/$picture-camera.jpg
  merge="$build/bin/jpgmerge -i $file -m $file -o $work/out.jpg"
  pipeline="djpeg -dct float -nosmooth $file | cjpeg -dct float -optimize -quality 90 -sample 2x2 > $work/p.jpg"
  compare "re-encode, $picture" "$merge" "sh -c '$pipeline'"
  compare "whole job, $picture" "$merge" \
    "sh -c '$pipeline && exiftool -q -overwrite_original -TagsFromFile $file $work/p.jpg'"
  file=$pictures/$picture-mpf.jpg
  pipeline="djpeg -dct float -nosmooth $file | cjpeg -dct float -optimize -quality 90 -sample 2x2 > $work/p.jpg"
  compare "whole job with an MPF preview, $picture" \
    "$build/bin/jpgmerge -i $file -m $file -o $work/out.jpg" \
    "sh -c '$pipeline && exiftool -q -overwrite_original -TagsFromFile $file $work/p.jpg'"
done
