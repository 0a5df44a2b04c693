#include "compute/band_stream.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "grid/grid_file.h"

namespace {

using cell_buffer = std::unique_ptr<float[], free_deleter>;

// Bands in flight per stage.
constexpr int STREAM_DEPTH = 3;

cell_buffer allocate_cells(int64_t n) {
  return cell_buffer(static_cast<float*>(std::malloc(static_cast<size_t>(std::max<int64_t>(n, 1)) * 4)));
}

// Output band k covers rows [out_begin(k), out_end(k)); its windows reach
// input rows [in_begin(k), in_end(k)).
struct band_geometry {
  stream_grid grid;
  int64_t band_rows;
  int64_t bands;

  int64_t out_begin(int64_t k) const { return k * band_rows; }
  int64_t out_end(int64_t k) const { return std::min(grid.rows, (k + 1) * band_rows); }
  int64_t in_begin(int64_t k) const { return std::max<int64_t>(0, out_begin(k) - grid.half_width); }
  int64_t in_end(int64_t k) const {
    // half_width may be near 2^30 and out_end near 2^31: no overflow in 64 bits.
    return std::min(grid.rows, out_end(k) + grid.half_width);
  }
  int64_t max_in_rows() const { return std::min(grid.rows, band_rows + 2 * grid.half_width); }
};

// Progress of the three stages, shared under one lock. Each stage works on
// band k only once the stage it depends on has finished with the buffer.
struct pipeline {
  std::mutex m;
  std::condition_variable changed;
  int64_t loaded = 0;     // bands whose input rows are in memory
  int64_t filtered = 0;   // bands whose output rows are final
  int64_t written = 0;    // bands handed to the output
  bool read_failed = false;
  bool filtering_over = false;

  template <class Pred>
  void wait(Pred pred) {
    std::unique_lock<std::mutex> lock(m);
    changed.wait(lock, pred);
  }
  template <class Update>
  void publish(Update update) {
    {
      std::lock_guard<std::mutex> lock(m);
      update();
    }
    changed.notify_all();
  }
};

}  // namespace

int64_t stream_band_rows(int64_t columns, int64_t half_width) {
  constexpr int64_t BAND_BYTES = 1 << 20;
  const int64_t by_size = BAND_BYTES / std::max<int64_t>(1, 4 * columns);
  return std::max<int64_t>({1, by_size, 4 * half_width});
}

stream_outcome stream_rows(const stream_io& io, const stream_grid& grid, int64_t band_rows,
                           const band_filter_fn& filter, const row_done_fn& row_done,
                           const row_values_fn& row_values) {
  if (grid.rows == 0 || grid.columns == 0) {
    // No cells: nothing to read or write, but every row is still reported.
    for (int64_t r = 0; r < grid.rows; ++r) row_done(r);
    return {stream_status::ok, grid.rows};
  }
  band_rows = std::clamp<int64_t>(band_rows, 1, grid.rows);  // never more than the grid
  const band_geometry geo{grid, band_rows, (grid.rows + band_rows - 1) / band_rows};
  const int64_t cols = grid.columns;

  // Rings of input and output buffers: while the filter works on one band,
  // the reader fills the next ones and the writer drains earlier ones, so a
  // stage that is briefly slow does not stall the others.
  cell_buffer in_buf[STREAM_DEPTH];
  cell_buffer out_buf[STREAM_DEPTH];
  for (int i = 0; i < STREAM_DEPTH; ++i) {
    in_buf[i] = allocate_cells(geo.max_in_rows() * cols);
    out_buf[i] = allocate_cells(band_rows * cols);
    if (in_buf[i] == nullptr || out_buf[i] == nullptr) return {stream_status::no_memory, 0};
  }

  pipeline p;

  std::thread reader([&] {
    for (int64_t k = 0; k < geo.bands; ++k) {
      // This buffer last held band k - STREAM_DEPTH, which must be filtered first.
      p.wait([&] { return p.filtered > k - STREAM_DEPTH || p.filtering_over; });
      if (p.filtering_over) return;
      float* buf = in_buf[k % STREAM_DEPTH].get();
      const int64_t lo = geo.in_begin(k);
      int64_t first_new = lo;
      if (k > 0) {
        // Rows shared with the previous band are copied, never read twice,
        // so the file is read once, front to back.
        const int64_t prev_lo = geo.in_begin(k - 1);
        const int64_t prev_hi = geo.in_end(k - 1);
        std::memcpy(buf, in_buf[(k - 1) % STREAM_DEPTH].get() + (lo - prev_lo) * cols,
                    static_cast<size_t>((prev_hi - lo) * cols) * 4);
        first_new = prev_hi;
      }
      const bool whole = io.read(buf + (first_new - lo) * cols, first_new, geo.in_end(k) - first_new);
      p.publish([&] {
        if (whole) p.loaded = k + 1;
        else p.read_failed = true;
      });
      if (!whole) return;
    }
  });

  bool write_failed = false;
  std::thread writer([&] {
    for (int64_t k = 0;; ++k) {
      p.wait([&] { return p.filtered > k || p.filtering_over; });
      {
        std::lock_guard<std::mutex> lock(p.m);
        if (p.filtered <= k) return;  // filtering ended before this band
      }
      const float* buf = out_buf[k % STREAM_DEPTH].get();
      const int64_t rows = geo.out_end(k) - geo.out_begin(k);
      for (int64_t r = 0; r < rows; ++r) row_values(buf + r * cols, cols);
      // After a failed write the rest is not written, but every row is still
      // filtered and counted, as when the grid is written in one piece.
      if (!write_failed) write_failed = !io.write(buf, geo.out_begin(k), rows);
      p.publish([&] { p.written = k + 1; });
    }
  });

  int64_t rows_done = 0;
  for (int64_t k = 0; k < geo.bands; ++k) {
    p.wait([&] { return (p.loaded > k || p.read_failed) && p.written > k - STREAM_DEPTH; });
    bool ready;
    {
      std::lock_guard<std::mutex> lock(p.m);
      ready = p.loaded > k;
    }
    if (!ready) break;
    const int64_t lo = geo.in_begin(k);
    const row_band band{in_buf[k % STREAM_DEPTH].get(), lo, geo.in_end(k) - lo, cols, grid.rows};
    filter(band, out_buf[k % STREAM_DEPTH].get(), geo.out_begin(k), geo.out_end(k), row_done);
    rows_done = geo.out_end(k);
    p.publish([&] { p.filtered = k + 1; });
  }
  p.publish([&] { p.filtering_over = true; });
  reader.join();
  writer.join();

  if (p.read_failed) return {stream_status::read_short, rows_done};
  if (write_failed) return {stream_status::write_short, rows_done};
  return {stream_status::ok, rows_done};
}

stream_outcome stream_filter(FILE* in, FILE* out, const stream_grid& grid, int64_t band_rows,
                             const band_filter_fn& filter, const row_done_fn& row_done,
                             const row_values_fn& row_values) {
  const int64_t cols = grid.columns;
  const stream_io io{
      [&](float* cells, int64_t, int64_t rows) { return grid_read_cells(in, cells, rows * cols) == rows * cols; },
      [&](const float* cells, int64_t, int64_t rows) {
        return grid_write_cells(out, cells, rows * cols) == rows * cols;
      }};
  return stream_rows(io, grid, band_rows, filter, row_done, row_values);
}
