#!/usr/bin/env bash
# Peak memory and wall time of wavgrid on a large generated grid, each as a
# ratio: resident memory to the input's size, wall time to `cp` of the file.
#
#   bench/stream_bench.sh [ROWS COLS [WINDOW...]]     (default 8000 8000 3 31)
#
# Set BENCH_DIR for where the grids go (default build/bench-data) and RUNS
# for how many runs each median takes (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/timing.sh

bench_arguments "$@"

cmake --build build --target wavgrid wavgrid-make > /dev/null
grid="$dir/terrain-${rows}x${cols}-holes.grd"
[ -f "$grid" ] || build/wavgrid-make "$grid" "$rows" "$cols" --seed 11 --holes 0.2
size=$(stat -c %s "$grid")
echo "grid $grid: $rows x $cols, $size bytes, median of $runs runs"

measure "$runs" cp "$grid" "$dir/copy.grd"
cp_wall=$WALL
rm -f "$dir/copy.grd"
printf '%-8s %10s %10s %12s %14s\n' window wall_s cp_s wall/cp peak_rss/input
for w in "${windows[@]}"; do
  measure "$runs" build/wavgrid "$grid" "$dir/out.grd" "$w"
  printf '%-8s %10s %10s %12s %14s\n' "$w" "$WALL" "$cp_wall" "$(ratio "$WALL" "$cp_wall")" \
    "$(ratio "$((RSS * 1024))" "$size")"
  rm -f "$dir/out.grd"
done
