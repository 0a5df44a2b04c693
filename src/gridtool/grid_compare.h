// Cell-by-cell comparison of two grids of the same shape. Two cells are the
// same only when their bits are: a grid file is identical or it is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct differing_cell {
  int64_t row = 0;
  int64_t column = 0;
  float a = 0;
  float b = 0;
};

struct cell_comparison {
  int64_t differing = 0;         // cells whose bits differ
  int64_t validity_changes = 0;  // of those, cells empty in one grid only
  int64_t with_nan = 0;          // of those, cells where a NaN leaves no distance
  double largest_abs = 0;        // over the differing cells without a NaN
  uint64_t largest_ulp = 0;      // over the same cells
  differing_cell largest_abs_at;
  differing_cell largest_ulp_at;
  std::vector<differing_cell> first;  // the first few, in file order
};

// How many float32 values lie between a and b, stepping from one to the next
// representable value: 0 for equal values (and for +0 against -0), 1 for
// neighbours, also across zero. Neither may be a NaN.
uint64_t ulp_distance(float a, float b);

// Adds one row of each grid to the comparison, keeping at most `keep`
// positions in `first`.
void compare_row(const float* a, const float* b, int64_t row, int64_t columns, float nodata_a, float nodata_b,
                 size_t keep, cell_comparison& result);
