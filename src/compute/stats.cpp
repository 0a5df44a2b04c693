#include "compute/stats.h"

#include <cmath>

namespace {

// One counted-value step. Kept inline on plain doubles so that a row loop
// keeps everything in registers: the chain of dependent sum additions is then
// the only limit.
struct running {
  double count, sum, sum_squares, minimum, maximum;
};

inline void offer(running& r, double x, double bound) {
  if (!(x > bound)) return;  // a NaN fails the test too
  r.count += 1.0;
  r.sum += x;
  r.sum_squares += x * x;
  if (r.count == 1.0) {
    r.minimum = x;
    r.maximum = x;
  } else if (x < r.minimum) {
    r.minimum = x;
  } else if (x > r.maximum) {
    r.maximum = x;
  }
}

running load(const stats_accumulator& s) { return {s.count, s.sum, s.sum_squares, s.minimum, s.maximum}; }

void store(stats_accumulator& s, const running& r) {
  s.count = r.count;
  s.sum = r.sum;
  s.sum_squares = r.sum_squares;
  s.minimum = r.minimum;
  s.maximum = r.maximum;
}

}  // namespace

void stats_reset(stats_accumulator& s, float nodata) {
  s.threshold = static_cast<double>(nodata);
  s.count = 0;
  s.sum = 0;
  s.sum_squares = 0;
}

void stats_add(stats_accumulator& s, double x) {
  running r = load(s);
  offer(r, x, s.threshold + 1.0);
  store(s, r);
}

void stats_add_row(stats_accumulator& s, const float* values, int64_t n) {
  running r = load(s);
  const double bound = s.threshold + 1.0;
  int64_t i = 0;
  // Until the first counted value, which sets the minimum and maximum.
  for (; i < n && r.count == 0.0; ++i) offer(r, static_cast<double>(values[i]), bound);
  // Then the count in an integer (exact), and the minimum and maximum
  // without branches: x < min ? x : min keeps the earlier of two equal
  // values (+0.0 and -0.0), as the step above does.
  int64_t counted = 0;
  double sum = r.sum, sum_squares = r.sum_squares, minimum = r.minimum, maximum = r.maximum;
  for (; i < n; ++i) {
    const double x = static_cast<double>(values[i]);
    if (!(x > bound)) continue;  // a NaN fails the test too
    ++counted;
    sum += x;
    sum_squares += x * x;
    minimum = x < minimum ? x : minimum;
    maximum = x > maximum ? x : maximum;
  }
  r.count += static_cast<double>(counted);
  r.sum = sum;
  r.sum_squares = sum_squares;
  r.minimum = minimum;
  r.maximum = maximum;
  store(s, r);
}

grid_stats stats_finish(const stats_accumulator& s) {
  grid_stats g;
  g.count = static_cast<float>(s.count);
  g.minimum = static_cast<float>(s.minimum);
  g.maximum = static_cast<float>(s.maximum);
  g.sum = static_cast<float>(s.sum);
  const double n = static_cast<double>(g.count);
  g.mean = n > 0 ? static_cast<float>(s.sum / n) : STATS_UNDEFINED;
  if (n > 2) {
    const double q = s.sum_squares - s.sum * s.sum / n;
    g.std_dev = q > 0 ? static_cast<float>(std::sqrt(q / (n - 1))) : 0.0f;
  } else {
    g.std_dev = STATS_UNDEFINED;
  }
  return g;
}

grid_stats raster_stats(const grid_raster& r, float nodata) {
  stats_accumulator s;
  stats_reset(s, nodata);
  for (int64_t row = 0; row < r.rows; ++row) stats_add_row(s, raster_row(r, row), r.columns);
  return stats_finish(s);
}
