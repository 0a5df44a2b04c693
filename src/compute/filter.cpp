#include "compute/filter.h"

#include "compute/focal_mean.h"

void filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const row_done_fn& row_done) {
  for (int64_t r = 0; r < in.rows; ++r) {
    focal_mean_rows(in, out, r, r + 1, nodata, half_width);
    if (row_done) row_done(r);
  }
}
