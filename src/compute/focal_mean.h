// The moving-window mean: every valid cell becomes the mean of the valid
// cells in the (2 * half_width + 1)-square window centred on it.
//
// A cell is valid when it is strictly greater than the no-data value (so a
// NaN is never valid). An empty cell is written as the no-data value. The
// window sum and count are single-precision and are accumulated in a fixed
// order: window rows top to bottom, left to right within a row, rounding
// after every addition. That order is part of the result.
#pragma once

#include <cstdint>

#include "grid/grid_raster.h"

// The definition: computes and stores output cell (row, column). Every
// faster path must produce the same bits as this function.
void focal_mean(const grid_raster& in, grid_raster& out, int64_t row, int64_t column, float nodata,
                int64_t half_width);

// The definition applied to output rows [row_begin, row_end).
void focal_mean_rows(const grid_raster& in, grid_raster& out, int64_t row_begin, int64_t row_end,
                     float nodata, int64_t half_width);
