#include "compute/focal_mean.h"

#include <algorithm>

void focal_mean(const grid_raster& in, grid_raster& out, int64_t row, int64_t column, float nodata,
                int64_t half_width) {
  const float v = raster_row(in, row)[column];
  if (!(v > nodata)) {
    raster_row(out, row)[column] = nodata;
    return;
  }
  // Bounds in 64 bits and cut to the grid, so a window of any size costs at
  // most the grid and never overflows.
  const int64_t i_first = std::max<int64_t>(0, row - half_width);
  const int64_t i_last = std::min<int64_t>(in.rows - 1, row + half_width);
  const int64_t j_first = std::max<int64_t>(0, column - half_width);
  const int64_t j_last = std::min<int64_t>(in.columns - 1, column + half_width);
  float sum = 0.0f;
  float count = 0.0f;
  for (int64_t i = i_first; i <= i_last; ++i) {
    const float* line = raster_row(in, i);
    for (int64_t j = j_first; j <= j_last; ++j) {
      const float w = line[j];
      if (w > nodata) {
        sum += w;
        count += 1.0f;
      }
    }
  }
  raster_row(out, row)[column] = sum / count;
}

void focal_mean_rows(const grid_raster& in, grid_raster& out, int64_t row_begin, int64_t row_end,
                     float nodata, int64_t half_width) {
  for (int64_t r = row_begin; r < row_end; ++r) {
    for (int64_t c = 0; c < in.columns; ++c) focal_mean(in, out, r, c, nodata, half_width);
  }
}
