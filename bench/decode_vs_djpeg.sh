#!/usr/bin/env bash
# Decoding, as whole processes: jpgdump -q -d (every pixel computed, band by band into buffers
# it reuses, as jpgdump never shows them) against djpeg -dct float -nosmooth (the same float
# inverse DCT and replicating upsampling) writing to /dev/null, for every kind of file of both
# pictures (see common.sh). Goal: ratio >= 1.5.
set -euo pipefail
. "$(dirname "$0")/common.sh"
need hyperfine djpeg
make_pictures
header "decode"
for picture in photo noisy; do
  for kind in 420 444 grey progressive restart; do
    file=$pictures/$picture-$kind.jpg
    compare "$kind, $picture" "$build/bin/jpgdump -q -d $file" \
      "djpeg -dct float -nosmooth -ppm -outfile /dev/null $file"
  done
done
