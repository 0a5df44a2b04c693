#include "compute/focal_mean.h"

#include <algorithm>

float focal_mean_cell(const row_band& in, int64_t row, int64_t column, float nodata, int64_t half_width) {
  const float v = band_row(in, row)[column];
  if (!(v > nodata)) return nodata;
  // Bounds in 64 bits and cut to the grid, so a window of any size costs at
  // most the grid and never overflows.
  const int64_t i_first = std::max<int64_t>(0, row - half_width);
  const int64_t i_last = std::min<int64_t>(in.grid_rows - 1, row + half_width);
  const int64_t j_first = std::max<int64_t>(0, column - half_width);
  const int64_t j_last = std::min<int64_t>(in.columns - 1, column + half_width);
  float sum = 0.0f;
  float count = 0.0f;
  for (int64_t i = i_first; i <= i_last; ++i) {
    const float* line = band_row(in, i);
    for (int64_t j = j_first; j <= j_last; ++j) {
      const float w = line[j];
      if (w > nodata) {
        sum += w;
        count += 1.0f;
      }
    }
  }
  return sum / count;
}

void focal_mean(const grid_raster& in, grid_raster& out, int64_t row, int64_t column, float nodata,
                int64_t half_width) {
  raster_row(out, row)[column] = focal_mean_cell(whole_band(in), row, column, nodata, half_width);
}

void focal_mean_span(const row_band& in, float* line, int64_t row, int64_t column_begin, int64_t column_end,
                     float nodata, int64_t half_width) {
  for (int64_t c = column_begin; c < column_end; ++c)
    line[c] = focal_mean_cell(in, row, c, nodata, half_width);
}

void focal_mean_band(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                     int64_t half_width) {
  for (int64_t r = row_begin; r < row_end; ++r) {
    float* line = out + (r - row_begin) * in.columns;
    for (int64_t c = 0; c < in.columns; ++c) line[c] = focal_mean_cell(in, r, c, nodata, half_width);
  }
}

void focal_mean_rows(const grid_raster& in, grid_raster& out, int64_t row_begin, int64_t row_end,
                     float nodata, int64_t half_width) {
  focal_mean_band(whole_band(in), raster_row(out, row_begin), row_begin, row_end, nodata, half_width);
}
