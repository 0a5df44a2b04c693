#include "compute/filter.h"

void filter_band(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                 int64_t half_width, const row_done_fn& row_done) {
  for (int64_t r = row_begin; r < row_end; ++r) {
    focal_mean_band(in, out + (r - row_begin) * in.columns, r, r + 1, nodata, half_width);
    if (row_done) row_done(r);
  }
}

void filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const row_done_fn& row_done) {
  filter_band(whole_band(in), out.cells.get(), 0, in.rows, nodata, half_width, row_done);
}
