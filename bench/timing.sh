# Shared timing helpers for the benchmark scripts (sourced, not run).

# Runs a command `runs` times under /usr/bin/time -v; sets WALL to the median
# wall time in seconds and RSS to the largest peak resident set in KiB. The
# wall time is taken from the shell's clock in microseconds (time's own is
# in hundredths, too coarse for runs of a tenth of a second).
measure() {
  local runs=$1
  shift
  local walls=() rss_max=0 log start
  log=$(mktemp)
  for ((i = 0; i < runs; i++)); do
    start=$EPOCHREALTIME
    /usr/bin/time -v "$@" > /dev/null 2> "$log" || { cat "$log" >&2; rm -f "$log"; return 1; }
    walls+=("$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f", b - a }')")
    local rss
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
    ((rss > rss_max)) && rss_max=$rss
  done
  rm -f "$log"
  WALL=$(median "${walls[@]}")
  RSS=$rss_max
}

# The median of the numbers given.
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

# a / b with two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

# The arguments every benchmark script takes: [ROWS COLS [WINDOW...]], with
# RUNS and BENCH_DIR from the environment. Sets rows, cols, windows (an
# array), runs and dir, and makes the directory.
bench_arguments() {
  rows=${1:-8000}
  cols=${2:-8000}
  shift $(($# < 2 ? $# : 2))
  windows=("$@")
  [ ${#windows[@]} -gt 0 ] || windows=(3 31)
  runs=${RUNS:-3}
  dir=${BENCH_DIR:-build/bench-data}
  mkdir -p "$dir"
}
