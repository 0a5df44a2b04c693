#include "compute/filter.h"

bool filter_band(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                 int64_t half_width, const kernel_config& config, const row_done_fn& row_done) {
  return focal_mean_fast(in, out, row_begin, row_end, nodata, half_width, config, row_done);
}

bool filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const kernel_config& config, const row_done_fn& row_done) {
  return filter_band(whole_band(in), out.cells.get(), 0, in.rows, nodata, half_width, config, row_done);
}

void filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const row_done_fn& row_done) {
  filter_grid(in, out, nodata, half_width, kernel_config{}, row_done);
}
