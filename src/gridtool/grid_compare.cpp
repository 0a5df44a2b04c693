#include "gridtool/grid_compare.h"

#include <bit>
#include <cmath>

#include "gridtool/grid_load.h"

namespace {

// Maps a float's bits onto a line on which neighbouring floats are
// neighbouring integers: negative floats count down from zero.
int64_t float_line(float f) {
  const int32_t bits = std::bit_cast<int32_t>(f);
  return bits < 0 ? static_cast<int64_t>(INT32_MIN) - bits : bits;
}

}  // namespace

uint64_t ulp_distance(float a, float b) {
  const int64_t d = float_line(a) - float_line(b);
  return static_cast<uint64_t>(d < 0 ? -d : d);
}

void compare_row(const float* a, const float* b, int64_t row, int64_t columns, float nodata_a, float nodata_b,
                 size_t keep, cell_comparison& result) {
  for (int64_t c = 0; c < columns; ++c) {
    if (std::bit_cast<uint32_t>(a[c]) == std::bit_cast<uint32_t>(b[c])) continue;
    const differing_cell cell{row, c, a[c], b[c]};
    ++result.differing;
    if (result.first.size() < keep) result.first.push_back(cell);
    if (cell_is_valid(a[c], nodata_a) != cell_is_valid(b[c], nodata_b)) ++result.validity_changes;
    if (std::isnan(a[c]) || std::isnan(b[c])) {
      ++result.with_nan;
      continue;
    }
    const double abs_diff = std::fabs(static_cast<double>(a[c]) - static_cast<double>(b[c]));
    if (abs_diff > result.largest_abs) {
      result.largest_abs = abs_diff;
      result.largest_abs_at = cell;
    }
    const uint64_t ulps = ulp_distance(a[c], b[c]);
    if (ulps > result.largest_ulp) {
      result.largest_ulp = ulps;
      result.largest_ulp_at = cell;
    }
  }
}
