#!/usr/bin/env bash
# Checks that the Windows programs, run under Wine, agree with the Linux build byte for byte:
#  - jpgdump's listing and -d report (standard output and error, exit status) of every file of
#    the sample folder, and of the folder searched whole;
#  - jpgmerge's output files, messages and exit status for JPEG, NEF and KPX image sources (every
#    sample JPEG as image source, and as metadata source) and the output's modification time;
#  - for image sources that go through the imaging library (GraphicsMagick on Linux, GDI+ on
#    Windows) the output's pixels, within a small tolerance when the bytes differ.
# Usage: tests/windows/agreement.sh [sample folder]   (default ../shared/samples)
set -euo pipefail
cd "$(dirname "$0")/../.."
samples=${1:-../shared/samples}
# Like the conformance tests, it skips when there are no sample files.
[ -d "$samples" ] || { echo "skipped: no sample folder $samples"; exit 0; }

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSEL_WERROR=ON >/dev/null
cmake --build build -j"${JOBS:-2}" --target jpgdump jpgmerge >/dev/null
scripts/build-windows >/dev/null
command -v gm >/dev/null || { echo "needs GraphicsMagick's gm (scripts/setup-deps)" >&2; exit 1; }

work=build-windows/compare
rm -rf "$work"
mkdir -p "$work/linux" "$work/windows"
scripts/wine-run --start
trap 'scripts/wine-run --stop' EXIT

checks=0
failures=0
tolerated=0
library=0

# run <linux|windows> <program> <arguments...>: the program's output, error and exit status. The
# system's own text of an error ("File x: failed on CreateFile: <text>") is each system's wording
# and is left out.
run() {
  local side=$1 program=$2
  shift 2
  if [ "$side" = linux ]; then
    "build/bin/$program" "$@" 2>&1 && echo "exit 0" || echo "exit $?"
  else
    scripts/wine-run "build-windows/bin/$program.exe" "$@" 2>&1 && echo "exit 0" || echo "exit $?"
  fi | sed -E 's/(: failed on [A-Za-z]+): .*/\1: (system text)/'
}

# agree <what> <linux file> <windows file>
agree() {
  checks=$((checks + 1))
  if ! cmp -s "$2" "$3"; then
    failures=$((failures + 1))
    echo "DIFFERS: $1"
    diff <(cat -v "$2") <(cat -v "$3") | head -5 || true
  fi
}

# --- jpgdump ---------------------------------------------------------------------------------
while IFS= read -r file; do
  for option in -q -d ""; do
    run linux jpgdump $option "$file" >"$work/linux/dump.txt"
    run windows jpgdump $option "$file" >"$work/windows/dump.txt"
    agree "jpgdump $option $file" "$work/linux/dump.txt" "$work/windows/dump.txt"
  done
done < <(find "$samples" -type f | LC_ALL=C sort)
for pattern in "$samples" "$samples/sampling/*.JPG" "$samples/*.*" "$samples/jfif/h?pper.jpg"; do
  run linux jpgdump -q "$pattern" >"$work/linux/dump.txt"
  run windows jpgdump -q "$pattern" >"$work/windows/dump.txt"
  agree "jpgdump -q $pattern" "$work/linux/dump.txt" "$work/windows/dump.txt"
done

# --- jpgmerge ------------------------------------------------------------------------------------
# merge <name> <jpgmerge arguments without -o>: the same merge on both sides, outputs compared.
merge() {
  local name=$1
  shift
  run linux jpgmerge "$@" -o "$work/linux/$name" >"$work/linux/merge.txt"
  run windows jpgmerge "$@" -o "$work/windows/$name" >"$work/windows/merge.txt"
  agree "jpgmerge $* (messages)" "$work/linux/merge.txt" "$work/windows/merge.txt"
  if [ -e "$work/linux/$name" ] || [ -e "$work/windows/$name" ]; then
    agree "jpgmerge $* (output)" "$work/linux/$name" "$work/windows/$name"
    if [ "$(stat -c %Y "$work/linux/$name")" != "$(stat -c %Y "$work/windows/$name")" ]; then
      failures=$((failures + 1))
      echo "DIFFERS: jpgmerge $* (modification time)"
    fi
  fi
}

# KPX and NEF image sources: the fixtures of the test suite (readable and broken ones alike).
while IFS= read -r file; do
  merge "$(basename "$file").jpg" -i "$file" -m examples/camera.jpg
done < <(find tests/fixtures -type f \( -iname '*.kpx' -o -iname '*.nef' \) | LC_ALL=C sort)
merge kpx-t.jpg -i tests/fixtures/merge/kpx-34x18.KPX -m examples/gray.jpg -t "2030:01:02 03:04:05"
n=0
while IFS= read -r file; do
  n=$((n + 1))
  merge "nef$n.jpg" -i "$file" -m examples/camera.jpg
done < <(find "$samples" -type f -iname '*.nef' | LC_ALL=C sort)
while IFS= read -r file; do
  n=$((n + 1))
  merge "image$n.jpg" -i "$file" -m examples/camera.jpg
  merge "meta$n.jpg" -i examples/progressive.jpg -m "$file" -t "2031:05:06 07:08:09"
done < <(find "$samples" -type f -name '*.jpg' | LC_ALL=C sort)

# CMYK pictures named so that the imaging library gets them are refused on both sides.
while IFS= read -r file; do
  cp "$file" "$work/$(basename "$file" .jpg).Jpg"
  merge "cmyk-$(basename "$file")" -i "$work/$(basename "$file" .jpg).Jpg" -m examples/camera.jpg
done < <(find "$samples" -type f -path '*cmyk*' -name '*cmyk*.jpg' | LC_ALL=C sort)

# Imaging-library sources: GraphicsMagick and GDI+ may decode differently; the outputs' pixels
# must agree within 2 % (peak absolute error), and what only one of them reads is listed.
for file in examples/edited.png fuzz/corpus/imaging/*; do
  name=lib-$(basename "$file").jpg
  run linux jpgmerge -i "$file" -m examples/camera.jpg -o "$work/linux/$name" >"$work/linux/merge.txt"
  run windows jpgmerge -i "$file" -m examples/camera.jpg -o "$work/windows/$name" >"$work/windows/merge.txt"
  if [ -e "$work/linux/$name" ] && [ -e "$work/windows/$name" ]; then
    checks=$((checks + 1))
    if ! cmp -s "$work/linux/$name" "$work/windows/$name"; then
      peak=$(gm compare -metric PAE "$work/linux/$name" "$work/windows/$name" | awk '/Total:/ {print $2}')
      if awk -v p="$peak" 'BEGIN { exit !(p <= 0.02) }'; then
        tolerated=$((tolerated + 1))
        echo "pixels within tolerance (peak error $peak): $file"
      else
        failures=$((failures + 1))
        echo "DIFFERS: pixels of $file (peak error $peak)"
      fi
    fi
  else
    library=$((library + 1))
    echo "imaging library: $file: Linux: $(head -c 120 "$work/linux/merge.txt" | tr '\n' ' ')| Windows: $(head -c 120 "$work/windows/merge.txt" | tr '\n' ' ')"
  fi
done

echo "$((checks - failures)) passed, $failures failed ($tolerated within pixel tolerance; $library imaging-library sources read on one side only)"
[ "$failures" -eq 0 ]
