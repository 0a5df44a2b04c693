// Filtering a whole raster, reporting each output row as it becomes final.
#pragma once

#include <cstdint>
#include <functional>

#include "grid/grid_raster.h"

// Called once per output row, in ascending order, when the row is final.
using row_done_fn = std::function<void(int64_t row)>;

// Fills every cell of `out` (same shape as `in`) with its focal mean.
void filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const row_done_fn& row_done);
