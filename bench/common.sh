# Sourced by the comparison scripts. Makes the test pictures once (in bench/work/pictures) and
# times our program against a peer, side by side in one run.
#
# The pictures are 24 megapixels (6000 x 4000), as a camera makes them:
#   photo: a fractal plasma (smooth colour fields with fine detail), a few flat shapes with sharp
#          edges, a slight blur and 12 % of Gaussian grain; it codes like a photograph;
#   noisy: the same under 30 % of grain, like a sensor's noise in a detailed scene (about three
#          times the data).
# Each comes as cjpeg -quality 90 files: 4:2:0, 4:4:4, grey, progressive 4:2:0, 4:2:0 with a
# restart marker every MCU row, and 4:2:0 with camera-style Exif and a 160 x 120 thumbnail.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-$root/build}
pictures=$root/bench/work/pictures
runs=${RUNS:-10}

need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/setup-deps)" >&2; exit 1; }
  done
  [ -x /usr/bin/time ] || { echo "GNU time is not installed (scripts/setup-deps)" >&2; exit 1; }
}

make_pictures() {
  [ -f "$pictures/done" ] && return
  need gm cjpeg exiftool
  mkdir -p "$pictures"
  local dir=$pictures
  gm convert -size 3000x2000 plasma:fractal -resize 6000x4000! \
    -fill '#d0c8a0' -draw 'circle 1500,1500 1500,2300' \
    -fill '#203050' -draw 'rectangle 3500,500 5200,2600' \
    -fill '#a03020' -draw 'polygon 600,3800 2600,2600 4200,3900' \
    -blur 0x2 -depth 8 "$dir/base.ppm"
  gm convert -size 6000x4000 xc:gray50 +noise Gaussian -depth 8 "$dir/grain.ppm"
  gm convert "$dir/base.ppm" -resize 160x120! -depth 8 "$dir/thumb.ppm"
  cjpeg -quality 80 -outfile "$dir/thumb.jpg" "$dir/thumb.ppm"
  local name grain
  for name in photo noisy; do
    grain=12
    [ $name = noisy ] && grain=30
    gm composite -dissolve $grain "$dir/grain.ppm" "$dir/base.ppm" -depth 8 "$dir/$name.ppm"
    cjpeg -quality 90 -sample 2x2 -outfile "$dir/$name-420.jpg" "$dir/$name.ppm"
    cjpeg -quality 90 -sample 1x1 -outfile "$dir/$name-444.jpg" "$dir/$name.ppm"
    cjpeg -quality 90 -grayscale -outfile "$dir/$name-grey.jpg" "$dir/$name.ppm"
    cjpeg -quality 90 -sample 2x2 -progressive -outfile "$dir/$name-progressive.jpg" "$dir/$name.ppm"
    cjpeg -quality 90 -sample 2x2 -restart 1 -outfile "$dir/$name-restart.jpg" "$dir/$name.ppm"
    cp "$dir/$name-420.jpg" "$dir/$name-camera.jpg"
    exiftool -q -overwrite_original -Make=Tessel '-Model=Bench Camera 24' \
      '-ModifyDate=2026:01:02 03:04:05' '-DateTimeOriginal=2026:01:02 03:04:05' \
      '-CreateDate=2026:01:02 03:04:05' -ExposureTime=1/250 -FNumber=8 -ISO=100 \
      -Orientation#=1 "-ThumbnailImage<=$dir/thumb.jpg" "$dir/$name-camera.jpg"
    rm -f "$dir/$name.ppm"
  done
  rm -f "$dir/base.ppm" "$dir/grain.ppm" "$dir/thumb.ppm" "$dir/thumb.jpg"
  touch "$dir/done"
}

# The camera pictures with a multi-picture index and a preview after the image, as recent cameras
# write them: <name>-mpf.jpg holds <name>-camera.jpg with an APP2 "MPF" index (big-endian) after
# its SOI and, after its EOI, a 1500 x 1000 4:2:2 preview (MP type 0x010002).
make_mpf_pictures() {
  make_pictures
  local name
  for name in photo noisy; do
    [ -f "$pictures/$name-mpf.jpg" ] && continue
    djpeg -scale 1/4 "$pictures/$name-camera.jpg" | cjpeg -quality 85 -sample 2x1 \
      >"$pictures/$name-preview.jpg"
    perl -e '
      local $/; my ($main, $preview, $out) = @ARGV;
      open(my $f, "<:raw", $main) or die; my $m = <$f>;
      open(my $g, "<:raw", $preview) or die; my $p = <$g>;
      my $total = length($m) + 90;  # the image with the 90-byte segment; its TIFF header at 10
      my $tiff = "MM\0*" . pack("N", 8) . pack("n", 3) . pack("nnN", 0xB000, 7, 4) . "0100"
        . pack("nnNN", 0xB001, 4, 1, 2) . pack("nnNN", 0xB002, 7, 32, 50) . pack("N", 0)
        . pack("NNNnn", 0xA0030000, $total, 0, 2, 0)
        . pack("NNNnn", 0x40010002, length($p), $total - 10, 0, 0);
      open(my $o, ">:raw", $out) or die;
      print $o substr($m, 0, 2), "\xFF\xE2", pack("n", 88), "MPF\0", $tiff, substr($m, 2), $p;
    ' "$pictures/$name-camera.jpg" "$pictures/$name-preview.jpg" "$pictures/$name-mpf.jpg"
    rm -f "$pictures/$name-preview.jpg"
  done
}

# compare <label> <our command> <peer command>: times both with hyperfine in one run, on all
# processors and on one (taskset -c 0), and prints a table row: the label, our and the peer's
# median times, the ratio (peer / ours: above 1, ours is faster) for each, and our peak memory
# (the maximum resident set that GNU time reports, in MiB).
# Medians, not means: on a virtual machine whose host takes back freed memory, the first touch of
# fresh pages now and then costs ten times as much, which one slow run would spread over the mean.
compare() {
  local label=$1 ours=$2 peer=$3 csv
  csv=$(mktemp)
  hyperfine --warmup 1 --runs "$runs" --export-csv "$csv" -n ours "$ours" -n peer "$peer" \
    -n ours1 "taskset -c 0 $ours" -n peer1 "taskset -c 0 $peer" >/dev/null
  local kb
  kb=$(/usr/bin/time -f %M sh -c "$ours" 2>&1 >/dev/null | tail -n 1)
  awk -F, -v label="$label" -v kb="$kb" 'NR > 1 { t[$1] = $4 }
    END { printf "| %s | %.3f | %.3f | %.2f | %.3f | %.3f | %.2f | %.0f |\n", label,
          t["ours"], t["peer"], t["peer"] / t["ours"], t["ours1"], t["peer1"],
          t["peer1"] / t["ours1"], kb / 1024 }' "$csv"
  rm -f "$csv"
}

header() {
  echo "| $1 | ours (s) | peer (s) | ratio | ours, 1 core | peer, 1 core | ratio, 1 core | our peak MiB |"
  echo "|---|---|---|---|---|---|---|---|"
}
