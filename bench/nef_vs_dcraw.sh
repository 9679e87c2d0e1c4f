#!/bin/sh
# Side-by-side: the library reading a 24-megapixel 14-bit NEF (decode and interpolation to RGBA)
# against dcraw -D -4 -c (decode only) on the same file, as whole processes, plus peak memory.
#
#   bench/nef_vs_dcraw.sh [build directory]     (default: build)
set -eu
build=${1:-build}
bench="$build/bin/bench_nef"
[ -x "$bench" ] || { echo "missing $bench (build with benchmarks on)" >&2; exit 1; }
command -v dcraw >/dev/null || { echo "dcraw is not installed" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "hyperfine is not installed" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
nef="$dir/d3x_24mp_14bit.nef"
"$bench" --write-fixture "$nef"
echo "fixture: $(wc -c < "$nef") bytes"

hyperfine --warmup 1 --runs "${RUNS:-10}" \
  -n reader "$bench --decode $nef" \
  -n dcraw "dcraw -D -4 -c $nef > /dev/null"

for tool in reader dcraw; do
  if [ "$tool" = reader ]; then cmd="$bench --decode $nef"; else cmd="dcraw -D -4 -c $nef"; fi
  kb=$(/usr/bin/time -f %M sh -c "$cmd > /dev/null" 2>&1 >/dev/null | tail -n 1)
  echo "$tool peak resident memory: $kb KiB"
done
