// Filtering many output rows, reporting each as it becomes final.
#pragma once

#include <cstdint>
#include <functional>

#include "compute/focal_mean.h"
#include "grid/grid_raster.h"

// Called once per output row, in ascending order, when the row is final.
using row_done_fn = std::function<void(int64_t row)>;

// How cells are computed. Both give the same bits; `automatic` sums the
// windows that lie on a lattice of whole multiples of a power of two from
// integer running sums (compute/lattice_mean.h) and the rest directly,
// `direct_only` sums every window directly.
enum class filter_path { automatic, direct_only };

// Output rows the lattice path takes per pass when filtering `rows` rows:
// each pass sums the whole window height once and marks its direct cells in
// one byte each, so passes are a few megabytes of marks, cover two window
// heights when they can, and are of equal height.
int64_t filter_pass_rows(int64_t rows, int64_t columns, int64_t half_width);

// Filters output rows [row_begin, row_end) of a band into `out`
// ((row_end - row_begin) rows of in.columns cells).
void filter_band(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                 int64_t half_width, const row_done_fn& row_done, filter_path path = filter_path::automatic);

// Fills every cell of `out` (same shape as `in`) with its focal mean.
void filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const row_done_fn& row_done, filter_path path = filter_path::automatic);
