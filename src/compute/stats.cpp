#include "compute/stats.h"

#include <cmath>

void stats_reset(stats_accumulator& s, float nodata) {
  s.threshold = static_cast<double>(nodata);
  s.count = 0;
  s.sum = 0;
  s.sum_squares = 0;
}

void stats_add(stats_accumulator& s, double x) {
  if (!(x > s.threshold + 1.0)) return;
  s.count += 1.0;
  s.sum += x;
  s.sum_squares += x * x;
  if (s.count == 1.0) {
    s.minimum = x;
    s.maximum = x;
  } else if (x < s.minimum) {
    s.minimum = x;
  } else if (x > s.maximum) {
    s.maximum = x;
  }
}

void stats_add_row(stats_accumulator& s, const float* values, int64_t n) {
  for (int64_t i = 0; i < n; ++i) stats_add(s, static_cast<double>(values[i]));
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
