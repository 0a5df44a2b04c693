#!/usr/bin/env bash
# Times the whole wavgrid process on an 8000 x 8000 grid of fractional values
# at windows 3 and 31, each as a ratio to `cp` of the same file and to the
# tool forced onto its plain scalar path (WAVGRID_KERNEL=scalar), all in
# one run. Every time is the median of RUNS runs under /usr/bin/time -v.
#
# The scalar path at window 31 would take minutes on the whole grid; it is
# timed on a grid of the same width and SCALAR_ROWS rows and scaled to 8000
# rows (the output says so).
#
#   bench/run_tool_bench.sh [build-dir]      (default: build)
#   RUNS=5 WAVGRID_THREADS=2 bench/run_tool_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
runs=${RUNS:-3}
rows=8000
columns=8000
scalar_rows=${SCALAR_ROWS:-400}
work=$(mktemp -d "${TMPDIR:-/tmp}/wavgrid-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

for tool in "$build/wavgrid" "$build/wavgrid-make"; do
  [ -x "$tool" ] || { echo "missing $tool: build first (cmake --build $build)" >&2; exit 1; }
done

source bench/timing.sh

# Median wall-clock seconds of $runs runs of one command.
median_seconds() {
  measure "$runs" "$@"
  echo "$WALL"
}

"$build/wavgrid-make" "$work/in.grd" "$rows" "$columns" --seed 42
"$build/wavgrid-make" "$work/part.grd" "$scalar_rows" "$columns" --seed 42
cat "$work/in.grd" "$work/part.grd" > /dev/null  # into the page cache

echo "grid: $rows x $columns fractional values ($(($(stat -c %s "$work/in.grd") / 1048576)) MiB)," \
  "threads: ${WAVGRID_THREADS:-default, $(nproc) processors}, median of $runs runs"
t_cp=$(median_seconds cp "$work/in.grd" "$work/copy.grd")
printf "%-34s %8.3f s\n" "cp" "$t_cp"

for window in 3 31; do
  t_fast=$(median_seconds "$build/wavgrid" "$work/in.grd" "$work/fast.grd" "$window")
  if [ "$window" -le 3 ]; then
    t_scalar=$(WAVGRID_KERNEL=scalar median_seconds "$build/wavgrid" "$work/in.grd" "$work/scalar.grd" "$window")
    cmp -s "$work/fast.grd" "$work/scalar.grd" || { echo "window $window: outputs differ" >&2; exit 1; }
    how="whole grid"
  else
    t_part=$(WAVGRID_KERNEL=scalar median_seconds "$build/wavgrid" "$work/part.grd" "$work/scalar.grd" "$window")
    "$build/wavgrid" "$work/part.grd" "$work/part-fast.grd" "$window" > /dev/null
    cmp -s "$work/part-fast.grd" "$work/scalar.grd" || { echo "window $window: outputs differ" >&2; exit 1; }
    t_scalar=$(awk -v t="$t_part" -v a="$rows" -v b="$scalar_rows" 'BEGIN { printf "%.3f", t * a / b }')
    how="scaled from $scalar_rows rows: $t_part s x $((rows / scalar_rows))"
  fi
  printf "%-34s %8.3f s   %6sx cp\n" "wavgrid, window $window" "$t_fast" "$(ratio "$t_fast" "$t_cp")"
  printf "%-34s %8.3f s   %6sx cp   (%s)\n" "wavgrid scalar path, window $window" "$t_scalar" \
    "$(ratio "$t_scalar" "$t_cp")" "$how"
  printf "%-34s %8sx faster than the scalar path\n" "" "$(ratio "$t_scalar" "$t_fast")"
done
