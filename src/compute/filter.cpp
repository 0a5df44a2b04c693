#include "compute/filter.h"

bool filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const kernel_config& config, const row_done_fn& row_done) {
  return focal_mean_fast(whole_band(in), out.cells.get(), 0, in.rows, nodata, half_width, config, row_done);
}

void filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const row_done_fn& row_done) {
  filter_grid(in, out, nodata, half_width, kernel_config{}, row_done);
}
