// Filtering many output rows, reporting each as it becomes final.
#pragma once

#include <cstdint>

#include "compute/focal_mean_fast.h"
#include "grid/grid_raster.h"

// The cells of a window of this reach, its side cut at 2^21 + 1 (a window
// that wide already outweighs any other cost).
int64_t window_area(int64_t half_width);

// Whether windows of this reach are worth trying on integer sums (see
// filter_band); smaller ones always go to the kernel.
bool integer_sums_pay(int64_t half_width);

// Output rows the lattice path takes per pass when filtering `rows` rows:
// each pass sums the whole window height once and marks its direct cells in
// one byte each, so passes are a few megabytes of marks, cover two window
// heights when they can, and are of equal height.
int64_t filter_pass_rows(int64_t rows, int64_t columns, int64_t half_width);

// Filters output rows [row_begin, row_end) of a band into `out`
// ((row_end - row_begin) rows of in.columns cells), computed as `config`
// says; every configuration gives the same bits. With config.lattice, the
// windows whose values lie on a lattice of whole multiples of a power of two
// are summed from integer running sums, the rest by the kernel. `row_done`
// is called once per output row, in ascending order, on the calling thread,
// when the row is final (also for rows without columns). Returns false,
// having filtered nothing, only when the configured SIMD target is not
// available.
bool filter_band(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                 int64_t half_width, const kernel_config& config, const row_done_fn& row_done);

// filter_band over a whole raster into `out` (same shape as `in`).
bool filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const kernel_config& config, const row_done_fn& row_done);
