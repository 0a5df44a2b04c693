#include "compute/filter.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "compute/lattice_mean.h"

namespace {

// The bytes that mark a pass's direct cells stay within a few megabytes; a
// pass covers at least two window heights when it can.
constexpr int64_t MARK_BYTES = 16 << 20;

// Computes the cells of one output row marked in `direct`, by runs of
// neighbouring columns.
void direct_runs(const row_band& in, float* line, const uint8_t* direct, int64_t row, float nodata,
                 int64_t half_width) {
  int64_t c = 0;
  while (c < in.columns) {
    if (direct[c] == 0) {
      ++c;
      continue;
    }
    int64_t end = c + 1;
    while (end < in.columns && direct[end] != 0) ++end;
    for (int64_t j = c; j < end; ++j) line[j] = focal_mean_cell(in, row, j, nodata, half_width);
    c = end;
  }
}

void filter_band_direct(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                        int64_t half_width, const row_done_fn& row_done) {
  for (int64_t r = row_begin; r < row_end; ++r) {
    focal_mean_band(in, out + (r - row_begin) * in.columns, r, r + 1, nodata, half_width);
    if (row_done) row_done(r);
  }
}

}  // namespace

int64_t filter_pass_rows(int64_t columns, int64_t half_width) {
  const int64_t wanted = std::max<int64_t>(128, 2 * (2 * half_width + 1));
  return std::max<int64_t>(1, std::min(wanted, MARK_BYTES / std::max<int64_t>(1, columns)));
}

void filter_band(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                 int64_t half_width, const row_done_fn& row_done, filter_path path) {
  const int64_t chunk =
      std::min(filter_pass_rows(in.columns, half_width), std::max<int64_t>(1, row_end - row_begin));
  std::unique_ptr<uint8_t[], free_deleter> direct;
  if (path == filter_path::automatic && in.columns > 0)
    direct.reset(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(chunk * in.columns))));
  if (!direct) {
    filter_band_direct(in, out, row_begin, row_end, nodata, half_width, row_done);
    return;
  }
  for (int64_t a = row_begin; a < row_end; a += chunk) {
    const int64_t b = std::min(row_end, a + chunk);
    float* pass_out = out + (a - row_begin) * in.columns;
    lattice_mean_band(in, pass_out, direct.get(), a, b, nodata, half_width);
    for (int64_t r = a; r < b; ++r) {
      direct_runs(in, pass_out + (r - a) * in.columns, direct.get() + (r - a) * in.columns, r, nodata,
                  half_width);
      if (row_done) row_done(r);
    }
  }
}

void filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const row_done_fn& row_done, filter_path path) {
  filter_band(whole_band(in), out.cells.get(), 0, in.rows, nodata, half_width, row_done, path);
}
