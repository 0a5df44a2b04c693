// Inside the statistics: a block of values reduced on vectors. The public
// entry is compute/stats.h; only it uses this header.
#pragma once

#include <cstdint>

// What to reduce. Each counted value x (x > bound) adds sign * x to the sum
// and x * x to the sum of squares; each of these increments is rounded to
// the nearest multiple of its unit, ties to even.
struct stats_block_job {
  const float* values;
  int64_t n;
  double bound;
  double sign;          // 1 or -1
  double sum_unit;      // a power of two
  double squares_unit;  // a power of two
};

// The block's reduction. The rounded increments are summed in any order:
// a caller may use these sums only where it has shown them to be exact.
struct stats_block {
  int64_t counted = 0;
  double sum_up = 0;       // the positive rounded increments to the sum
  double sum_down = 0;     // the negative ones, as a positive number
  double squares_up = 0;   // the rounded squares
  double largest = 0;      // the largest magnitude of a counted value
  double minimum = 0;      // of the counted values: +inf when none; when
  double maximum = 0;      // it is zero, its sign is either one's (-inf when none)
  // Increments exactly halfway between two multiples of their unit, which
  // were rounded to the even one.
  int64_t sum_ties = 0;
  int64_t square_ties = 0;
};

// Where a block holds ties, adding its values in order rounds each tie to
// the multiple that leaves the running sum an even number of units. This
// follows the parity of the running sum, in units, through the block for
// one of the two sums (the sum of squares when `squares`, else the sum) and
// returns what that changes against rounding every tie to the even
// multiple on its own, in units. `parity` is the running sum's before the
// block.
struct stats_ties_job {
  stats_block_job block;
  bool squares;
  int parity;
};

struct stats_block_kernels {
  void (*reduce)(const stats_block_job& job, stats_block& out);
  int64_t (*tie_units)(const stats_ties_job& job);
};

// The block functions of one SIMD target (0: the best this CPU runs), or
// nulls when this build has no code for it or this CPU cannot run it.
stats_block_kernels stats_block_for(int64_t target);
