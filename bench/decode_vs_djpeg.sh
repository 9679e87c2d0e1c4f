#!/bin/sh
# Side by side, as whole processes on the same files: jpgdump -q -d (decode to 16-bit RGBA)
# against djpeg -dct float -nosmooth -ppm -outfile /dev/null (the same float inverse DCT and
# replicating upsampling, 8-bit output), on 24-megapixel JPEGs made with Debian's cjpeg from a
# generated photo-like picture. Prints each file's speed ratio (djpeg time / jpgdump time; above
# 1 means jpgdump is faster) from wall-clock and from CPU (user + system) time, and the peak
# memory of a baseline decode beyond the 8-bytes-a-pixel block.
#
#   bench/decode_vs_djpeg.sh [build directory]     (default: build; RUNS=n sets the run count)
set -eu
build=${1:-build}
jpgdump="$build/bin/jpgdump"
bench="$build/bin/bench_decode"
for tool in "$jpgdump" "$bench"; do
  [ -x "$tool" ] || { echo "missing $tool (build with benchmarks on)" >&2; exit 1; }
done
for tool in cjpeg djpeg hyperfine; do
  command -v $tool >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is not installed" >&2; exit 1; }

width=6000
height=4000
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$bench" --write-picture "$dir/photo.ppm" $width $height

make() { cjpeg -quality 90 "$@"; }
make -sample 2x2 -outfile "$dir/baseline420.jpg" "$dir/photo.ppm"
make -sample 1x1 -outfile "$dir/baseline444.jpg" "$dir/photo.ppm"
make -sample 2x2 -restart 1 -outfile "$dir/restart420.jpg" "$dir/photo.ppm"
make -sample 2x2 -progressive -outfile "$dir/progressive420.jpg" "$dir/photo.ppm"
make -grayscale -outfile "$dir/grey.jpg" "$dir/photo.ppm"
rm "$dir/photo.ppm"

summary="$dir/summary"
for name in baseline420 baseline444 restart420 progressive420 grey; do
  file="$dir/$name.jpg"
  echo "== $name: $(wc -c < "$file") bytes"
  hyperfine --warmup 1 --runs "${RUNS:-10}" --export-csv "$dir/$name.csv" \
    -n jpgdump "$jpgdump -q -d $file" \
    -n djpeg "djpeg -dct float -nosmooth -ppm -outfile /dev/null $file"
  # CSV columns: command,mean,stddev,median,user,system,min,max
  awk -F, -v name=$name 'NR > 1 { mean[$1] = $2; cpu[$1] = $5 + $6 }
    END { printf "%-15s wall ratio %.2f   cpu ratio %.2f   (jpgdump %.0f ms, djpeg %.0f ms)\n",
          name, mean["djpeg"] / mean["jpgdump"], cpu["djpeg"] / cpu["jpgdump"],
          1000 * mean["jpgdump"], 1000 * mean["djpeg"] }' "$dir/$name.csv" >> "$summary"
done

echo
echo "Ratios (djpeg time / jpgdump time; goal: at least 1, and at least 0.8 for the 4:2:0 files):"
cat "$summary"

kb=$(/usr/bin/time -f %M "$jpgdump" -q -d "$dir/baseline420.jpg" 2>&1 >/dev/null | tail -n 1)
block=$((width * height * 8 / 1024))
echo
echo "Baseline decode peak resident memory: $kb KiB; pixel block $block KiB;" \
  "beyond it $(( (kb - block) / 1024 )) MiB (limit 32 MiB)"
