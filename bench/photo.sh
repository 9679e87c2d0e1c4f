# Sourced by the benchmark scripts. make_photo <out.ppm> writes a photo-like 6000 x 4000
# picture: a fractal plasma (smooth colour fields with fine detail), a few flat shapes with sharp
# edges, a slight blur and 12 % of Gaussian grain, so that it codes like a photograph.
make_photo() {
  local out=$1 dir
  dir=$(dirname "$out")
  gm convert -size 3000x2000 plasma:fractal -resize 6000x4000! \
    -fill '#d0c8a0' -draw 'circle 1500,1500 1500,2300' \
    -fill '#203050' -draw 'rectangle 3500,500 5200,2600' \
    -fill '#a03020' -draw 'polygon 600,3800 2600,2600 4200,3900' \
    -blur 0x2 -depth 8 "$dir/base.ppm"
  gm convert -size 6000x4000 xc:gray50 +noise Gaussian -depth 8 "$dir/noise.ppm"
  gm composite -dissolve 12 "$dir/noise.ppm" "$dir/base.ppm" -depth 8 "$out"
  rm -f "$dir/base.ppm" "$dir/noise.ppm"
}
