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

// Input rows held in memory: grid rows [first_row, first_row + rows) of a
// grid with grid_rows rows, each `columns` cells, contiguous from `cells`.
// A whole raster is the band with first_row 0 and rows == grid_rows.
struct row_band {
  const float* cells;
  int64_t first_row;
  int64_t rows;
  int64_t columns;
  int64_t grid_rows;
};

inline row_band whole_band(const grid_raster& r) {
  return row_band{r.cells.get(), 0, r.rows, r.columns, r.rows};
}

inline const float* band_row(const row_band& b, int64_t grid_row) {
  return b.cells + (grid_row - b.first_row) * b.columns;
}

// The definition for one cell: the band must hold every grid row of the
// cell's window (rows max(0, row - half_width) .. min(grid_rows - 1,
// row + half_width)).
float focal_mean_cell(const row_band& in, int64_t row, int64_t column, float nodata, int64_t half_width);

// The definition: computes and stores output cell (row, column). Every
// faster path must produce the same bits as this function.
void focal_mean(const grid_raster& in, grid_raster& out, int64_t row, int64_t column, float nodata,
                int64_t half_width);

// The definition applied to columns [column_begin, column_end) of output
// row `row`; `line` is that output row (in.columns cells).
void focal_mean_span(const row_band& in, float* line, int64_t row, int64_t column_begin, int64_t column_end,
                     float nodata, int64_t half_width);

// The definition applied to output rows [row_begin, row_end) of a band;
// `out` receives (row_end - row_begin) rows of `columns` cells.
void focal_mean_band(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                     int64_t half_width);

// The definition applied to output rows [row_begin, row_end) of a raster.
void focal_mean_rows(const grid_raster& in, grid_raster& out, int64_t row_begin, int64_t row_end,
                     float nodata, int64_t half_width);
