#include "compute/filter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "compute/lattice_mean.h"

namespace {

// The bytes that mark a pass's direct cells stay within 16 MB; a pass
// covers at least two window heights when it can.
constexpr int64_t MARK_BYTES = 16 << 20;

// Computes the cells of one output row marked in `direct`, by runs of
// neighbouring columns.
void direct_runs(const row_band& in, float* line, const uint8_t* direct, int64_t row, float nodata,
                 int64_t half_width) {
  const uint8_t* const end = direct + in.columns;
  const uint8_t* run = direct;
  while (run < end) {
    run = static_cast<const uint8_t*>(std::memchr(run, 1, static_cast<size_t>(end - run)));
    if (run == nullptr) return;
    const uint8_t* run_end = static_cast<const uint8_t*>(std::memchr(run, 0, static_cast<size_t>(end - run)));
    if (run_end == nullptr) run_end = end;
    focal_mean_span(in, line, row, run - direct, run_end - direct, nodata, half_width);
    run = run_end;
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

int64_t filter_pass_rows(int64_t rows, int64_t columns, int64_t half_width) {
  const int64_t wanted = std::max<int64_t>(256, 2 * (2 * half_width + 1));
  const int64_t most = std::max<int64_t>(1, std::min(wanted, MARK_BYTES / std::max<int64_t>(1, columns)));
  // Passes of equal height, so that no pass sums a whole window height for
  // a sliver of rows.
  const int64_t range = std::max<int64_t>(1, rows);
  const int64_t passes = (range + most - 1) / most;
  return (range + passes - 1) / passes;
}

void filter_band(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                 int64_t half_width, const row_done_fn& row_done, filter_path path) {
  const int64_t chunk = filter_pass_rows(row_end - row_begin, in.columns, half_width);
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
