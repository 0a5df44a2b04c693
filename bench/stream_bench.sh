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

# cp and wavgrid are timed in turn, round after round, so that both see the
# same state of this shared machine; a first round, not counted, leaves both
# output files in place, so every counted run writes over an existing file.
printf '%-8s %10s %10s %12s %14s\n' window wall_s cp_s wall/cp peak_rss/input
for w in "${windows[@]}"; do
  measure 1 cp "$grid" "$dir/copy.grd"
  measure 1 build/wavgrid "$grid" "$dir/out.grd" "$w"
  cp_walls=()
  walls=()
  rss=0
  for ((round = 0; round < runs; round++)); do
    measure 1 cp "$grid" "$dir/copy.grd"
    cp_walls+=("$WALL")
    measure 1 build/wavgrid "$grid" "$dir/out.grd" "$w"
    walls+=("$WALL")
    ((RSS > rss)) && rss=$RSS
  done
  cp_wall=$(median "${cp_walls[@]}")
  wall=$(median "${walls[@]}")
  printf '%-8s %10s %10s %12s %14s\n' "$w" "$wall" "$cp_wall" "$(ratio "$wall" "$cp_wall")" \
    "$(ratio "$((rss * 1024))" "$size")"
  rm -f "$dir/out.grd" "$dir/copy.grd"
done
