// Summary statistics of a filtered grid, accumulated in double precision in
// the order values are offered (the sums depend on that order).
#pragma once

#include "grid/grid_file.h"

inline constexpr float STATS_UNDEFINED = -9999.0f;

struct stats_accumulator {
  double threshold = 0;
  double count = 0;
  double sum = 0;
  double sum_squares = 0;
  double minimum = 0;
  double maximum = 0;
  // Not statistics: how many more blocks of values to add one at a time
  // before trying vectors again, and how many the next failure skips. A
  // running sum that keeps failing (one near zero, say) is then tried less
  // and less often.
  int64_t blocks_in_order = 0;
  int64_t backoff = 0;
};

// Starts a new accumulation; minimum and maximum are left as they are and
// are set by the first counted value.
void stats_reset(stats_accumulator& s, float nodata);

// Offers one value; it counts only when strictly greater than nodata + 1.
void stats_add(stats_accumulator& s, double x);

// Offers a row of stored output values, in order.
void stats_add_row(stats_accumulator& s, const float* values, int64_t n);

// The same, with blocks of values reduced on one SIMD target (0: the best
// this CPU runs; -1: none, every value in turn) wherever that is shown to
// give the same bits. Returns how many values went through blocks.
int64_t stats_add_row_on(stats_accumulator& s, const float* values, int64_t n, int64_t target);

grid_stats stats_finish(const stats_accumulator& s);

// The statistics of a whole raster, its cells offered in file order: what
// wavgrid stores for a grid it writes.
grid_stats raster_stats(const grid_raster& r, float nodata);
