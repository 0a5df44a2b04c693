#!/usr/bin/env bash
# Times the whole wavgrid process on an 8000 x 8000 grid of fractional values
# at windows 3 and 31, each as a ratio to `cp` of the same file and to the
# tool forced onto its plain scalar path (WAVGRID_KERNEL=scalar) on one
# thread, as the plain definition runs, and on every processor, all in one
# run. Every time is the median of RUNS runs under /usr/bin/time -v.
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

# The scalar path timed on `rows` rows of the grid `file` (scaled to the
# whole grid when it is a part), with the given thread count; sets t_scalar
# and how, and checks that the fast path gives the same bytes.
time_scalar() {
  local window=$1 threads=$2 file=$3 part_rows=$4 t
  t=$(WAVGRID_THREADS=$threads WAVGRID_KERNEL=scalar median_seconds "$build/wavgrid" "$file" "$work/scalar.grd" "$window")
  "$build/wavgrid" "$file" "$work/check.grd" "$window" > /dev/null
  cmp -s "$work/check.grd" "$work/scalar.grd" || { echo "window $window: outputs differ" >&2; exit 1; }
  if [ "$part_rows" -eq "$rows" ]; then
    t_scalar=$t
    how="whole grid"
  else
    t_scalar=$(awk -v t="$t" -v a="$rows" -v b="$part_rows" 'BEGIN { printf "%.3f", t * a / b }')
    how="scaled from $part_rows rows: $t s x $((rows / part_rows))"
  fi
}

# The plain scalar path is the definition on one thread; the same path on
# every processor is shown beside it.
for window in 3 31; do
  t_fast=$(median_seconds "$build/wavgrid" "$work/in.grd" "$work/fast.grd" "$window")
  printf "%-38s %8.3f s   %6sx cp\n" "wavgrid, window $window" "$t_fast" "$(ratio "$t_fast" "$t_cp")"
  for threads in 1 "$(nproc)"; do
    if [ "$window" -le 3 ]; then
      time_scalar "$window" "$threads" "$work/in.grd" "$rows"
    else
      time_scalar "$window" "$threads" "$work/part.grd" "$scalar_rows"
    fi
    printf "%-38s %8.3f s   %6sx cp   (%s)\n" "scalar path, $threads thread(s), window $window" "$t_scalar" \
      "$(ratio "$t_scalar" "$t_cp")" "$how"
    printf "%-38s %8sx faster than the scalar path on %s thread(s)\n" "" "$(ratio "$t_scalar" "$t_fast")" \
      "$threads"
  done
done
