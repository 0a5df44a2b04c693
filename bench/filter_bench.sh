#!/usr/bin/env bash
# gridtool filter on a large float32 GeoTIFF, timed against the two ways a
# user could do without it: the three commands import, wavgrid and export
# --like (target: filter at most 0.7 of their time), and gdal_translate
# copying the same raster, the least any one-pass tool must spend reading
# and writing it (target at window 3: filter at most 1.5 of its time).
#
#   bench/filter_bench.sh [ROWS COLS [WINDOW...]]     (default 8000 8000 3 31)
#
# Set BENCH_DIR for where the rasters go (default build/bench-data) and RUNS
# for how many runs each median takes (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/timing.sh

bench_arguments "$@"

cmake --build build --target wavgrid wavgrid-make gridtool > /dev/null
grid="$dir/terrain-${rows}x${cols}.grd"
tif="$dir/terrain-${rows}x${cols}.tif"
[ -f "$grid" ] || build/wavgrid-make "$grid" "$rows" "$cols" --seed 11 --holes 0.05
[ -f "$tif" ] || build/gridtool export "$grid" "$tif" > /dev/null
echo "raster $tif: $rows x $cols float32, $(stat -c %s "$tif") bytes, median of $runs runs"

three_commands() {
  build/gridtool import "$1" "$dir/in.grd" &&
    build/wavgrid "$dir/in.grd" "$dir/out.grd" "$2" &&
    build/gridtool export "$dir/out.grd" "$dir/three.tif" --like "$1"
}
export -f three_commands
export dir

measure "$runs" gdal_translate -q "$tif" "$dir/copy.tif"
copy_wall=$WALL
rm -f "$dir/copy.tif"
printf '%-7s %9s %9s %11s %9s %13s %11s %9s\n' window filter_s three_s filter/three copy_s filter/copy filter_MiB three_MiB
for w in "${windows[@]}"; do
  measure "$runs" build/gridtool filter "$tif" "$dir/filtered.tif" --window "$w"
  filter_wall=$WALL filter_rss=$RSS
  measure "$runs" bash -c 'three_commands "$0" "$1"' "$tif" "$w"
  three_wall=$WALL three_rss=$RSS
  printf '%-7s %9s %9s %11s %9s %13s %11s %9s\n' "$w" "$filter_wall" "$three_wall" \
    "$(ratio "$filter_wall" "$three_wall")" "$copy_wall" "$(ratio "$filter_wall" "$copy_wall")" \
    "$((filter_rss / 1024))" "$((three_rss / 1024))"
  # The two results must hold the same bits, or the times mean nothing.
  build/gridtool import "$dir/filtered.tif" "$dir/a.grd" > /dev/null
  build/gridtool import "$dir/three.tif" "$dir/b.grd" > /dev/null
  build/gridtool diff "$dir/a.grd" "$dir/b.grd" || { echo "window $w: the results differ" >&2; exit 1; }
  rm -f "$dir"/{in,out,a,b}.grd "$dir/three.tif" "$dir/filtered.tif"
done
