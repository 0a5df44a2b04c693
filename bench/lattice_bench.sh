#!/usr/bin/env bash
# Wall time of wavgrid on grids of whole numbers, where most windows are
# summed from integer running sums, as ratios of a large window to window 3,
# and on a fractional grid with the lattice path on and off
# (WAVGRID_LATTICE=off). Also prints the share of valid windows that took
# the lattice path.
#
#   bench/lattice_bench.sh [ROWS COLS]     (default 8000 8000)
#
# Set BENCH_DIR for where the grids go (default build/bench-data) and RUNS
# for how many runs each median takes (default 3). SKIP_SLOW=1 leaves out
# the runs dominated by direct sums of large windows (whole numbers 0..3000
# at window 101, the fractional grid at window 31).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/timing.sh

rows=${1:-8000}
cols=${2:-8000}
runs=${RUNS:-3}
dir=${BENCH_DIR:-build/bench-data}
mkdir -p "$dir"

cmake --build build --target wavgrid wavgrid-make wavgrid-lattice-share > /dev/null

# name: generator options. A scale of 1 rounded to whole numbers is a 0/1 mask.
declare -A opts=(
  [int]="--integer --scale 1000"
  [mask]="--integer --scale 1"
  [metres]="--integer --scale 3000"
  [frac]="--scale 1000"
)
grid() { echo "$dir/$1-${rows}x${cols}.grd"; }
for name in int mask metres frac; do
  g=$(grid "$name")
  # shellcheck disable=SC2086
  [ -f "$g" ] || build/wavgrid-make "$g" "$rows" "$cols" --seed 11 --holes 0.2 ${opts[$name]}
done
echo "grids $rows x $cols with holes, median of $runs runs, wall seconds (whole process)"

declare -A wall
time_run() {  # key grid window [env...]
  local key=$1 g=$2 w=$3
  shift 3
  measure "$runs" env "$@" build/wavgrid "$g" "$dir/out.grd" "$w"
  rm -f "$dir/out.grd"
  wall[$key]=$WALL
}
share() { build/bench/wavgrid-lattice-share "$1" "$2" | sed 's/.*fast_share \([0-9.]*%\).*/\1/'; }

printf '%-34s %8s %8s %8s %8s %10s\n' case small_s large_s ratio target fast_share
report() {  # label small large target grid window
  printf '%-34s %8s %8s %8s %8s %10s\n' "$1" "${wall[$2]}" "${wall[$3]}" "$(ratio "${wall[$3]}" "${wall[$2]}")" \
    "$4" "$(share "$5" "$6")"
}

time_run int3 "$(grid int)" 3
time_run int101 "$(grid int)" 101
report "whole 0..1000: w101 / w3" int3 int101 "<= 1.5" "$(grid int)" 101

time_run mask3 "$(grid mask)" 3
time_run mask1001 "$(grid mask)" 1001
report "0/1 mask: w1001 / w3" mask3 mask1001 "<= 3" "$(grid mask)" 1001

time_run metres3 "$(grid metres)" 3
time_run metres31 "$(grid metres)" 31
report "whole 0..3000: w31 / w3" metres3 metres31 "<= 1.5" "$(grid metres)" 31
if [ "${SKIP_SLOW:-0}" != 1 ]; then
  time_run metres101 "$(grid metres)" 101
  report "whole 0..3000: w101 / w3" metres3 metres101 "report" "$(grid metres)" 101
fi

time_run frac3_off "$(grid frac)" 3 WAVGRID_LATTICE=off
time_run frac3 "$(grid frac)" 3
report "fractional w3: on / off" frac3_off frac3 "~ 1" "$(grid frac)" 3
if [ "${SKIP_SLOW:-0}" != 1 ]; then
  time_run frac31_off "$(grid frac)" 31 WAVGRID_LATTICE=off
  time_run frac31 "$(grid frac)" 31
  report "fractional w31: on / off" frac31_off frac31 "~ 1" "$(grid frac)" 31
fi
