#!/usr/bin/env bash
# Every comparison of bench/, one table after another (times are medians of RUNS runs, default 10).
set -euo pipefail
dir=$(dirname "$0")
echo "Machine: $(nproc) processors, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | xargs)"
echo
"$dir/decode_vs_djpeg.sh"
echo
"$dir/merge_vs_pipeline.sh"
echo
"$dir/listing_vs_exiv2.sh"
