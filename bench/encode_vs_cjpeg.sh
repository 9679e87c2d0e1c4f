#!/usr/bin/env bash
# Side by side, in one run: a whole merge of a 24-megapixel PPM (read into a PixelImage, then
# encoded under the structure of a metadata source that cjpeg -quality 90 made from the same
# picture) against cjpeg -dct float -optimize with the same quality and sampling on the same PPM,
# each as one process, for 4:2:0 and 4:4:4. Prints the speed ratio (cjpeg time / merge time; 1.0
# means as fast as cjpeg) and the peak resident memory of both.
#
#   bench/encode_vs_cjpeg.sh [build directory]        (default: build; RUNS=5 by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bench="$build/bin/bench_encode"
work=${BENCH_WORK:-$root/bench/work/encode}
[ -x "$bench" ] || { echo "missing $bench (build with benchmarks on)" >&2; exit 1; }
for tool in cjpeg gm hyperfine; do
  command -v $tool >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

# A photo-like 6000 x 4000 picture (bench/photo.sh).
. "$root/bench/photo.sh"
mkdir -p "$work"
ppm="$work/photo.ppm"
[ -f "$ppm" ] || make_photo "$ppm"

for sampling in 2x2 1x1; do
  meta="$work/meta_$sampling.jpg"
  [ -f "$meta" ] || cjpeg -quality 90 -sample "$sampling" -outfile "$meta" "$ppm"
  merge="$bench merge $ppm $meta $work/merged_$sampling.jpg"
  cjpeg="cjpeg -dct float -optimize -quality 90 -sample $sampling -outfile $work/cjpeg_$sampling.jpg $ppm"
  echo "== sampling $sampling" >&2
  hyperfine --warmup 1 --runs "${RUNS:-5}" --export-csv "$work/times_$sampling.csv" \
    -n merge "$merge" -n cjpeg "$cjpeg" >&2
  merge_kb=$(/usr/bin/time -f %M $merge 2>&1 >/dev/null | tail -n 1)
  cjpeg_kb=$(/usr/bin/time -f %M $cjpeg 2>&1 >/dev/null | tail -n 1)
  awk -F, -v s="$sampling" -v mk="$merge_kb" -v ck="$cjpeg_kb" \
    -v mb="$(wc -c < "$work/merged_$sampling.jpg")" -v cb="$(wc -c < "$work/cjpeg_$sampling.jpg")" '
    NR > 1 { mean[$1] = $2 }
    END {
      printf "sampling %s: merge %.3f s, cjpeg %.3f s, speed ratio (cjpeg / merge) %.2f\n",
             s, mean["merge"], mean["cjpeg"], mean["cjpeg"] / mean["merge"]
      printf "sampling %s: peak memory merge %.0f MB, cjpeg %.0f MB; output merge %d, cjpeg %d bytes\n",
             s, mk / 1024, ck / 1024, mb, cb
    }' "$work/times_$sampling.csv"
done
