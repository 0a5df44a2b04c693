#include "compute/band_stream.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "grid/grid_file.h"

namespace {

using cell_buffer = std::unique_ptr<float[], free_deleter>;

// Windows of fewer cells than this are light to filter (sides up to 13).
constexpr int64_t LIGHT_WINDOW_CELLS = 200;

cell_buffer allocate_cells(int64_t n) { return cell_buffer(cells_allocate(n)); }

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

// Progress of the stages, shared under one lock. Bands are read, taken for
// filtering and written in ascending order; filtering may finish them out
// of order, so `filtered` counts the bands finished without a gap below.
// Band k uses buffer k % depth of each ring; a stage touches a buffer only
// once the stage before it has finished with the band that last held it.
struct pipeline {
  int64_t depth;
  std::mutex m;
  // Each waits for what lets it go on, so that a change wakes only the
  // threads it concerns: filter threads for a band loaded or an output
  // buffer drained, the reader, the writer and the statistics for a band
  // filtered.
  std::condition_variable to_filter;
  std::condition_variable filtered_more;
  int64_t loaded = 0;          // bands whose input rows are in memory
  int64_t taken = 0;           // bands handed to a filter thread
  int64_t filtered = 0;        // bands whose output rows are final, without a gap
  int64_t filtering = 0;       // filter threads still running
  std::vector<bool> finished;  // per buffer: its band is final (beyond `filtered`)
  int64_t written = 0;         // bands handed to the output
  int64_t offered = 0;         // bands whose rows went to row_values
  bool read_failed = false;

  bool filtering_over() const { return filtering == 0; }

  // Records band k as final and moves `filtered` past every final band.
  void finish(int64_t k) {
    finished[static_cast<size_t>(k % depth)] = true;
    while (filtered < taken && finished[static_cast<size_t>(filtered % depth)]) {
      finished[static_cast<size_t>(filtered % depth)] = false;
      ++filtered;
    }
  }

  template <class Pred>
  void wait(std::condition_variable& cv, Pred pred) {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, pred);
  }
  template <class Update>
  void publish(std::condition_variable& cv, Update update) {
    {
      std::lock_guard<std::mutex> lock(m);
      update();
    }
    cv.notify_all();
  }
  // For a change every thread may wait on: a filter thread leaving.
  template <class Update>
  void publish_to_all(Update update) {
    publish(to_filter, update);
    filtered_more.notify_all();
  }
};

}  // namespace

int64_t stream_band_rows(int64_t columns, int64_t half_width) {
  constexpr int64_t BAND_BYTES = 1 << 20;
  constexpr int64_t FEW_ROWS = 32;
  constexpr int64_t FEW_ROWS_BYTES = 64 << 20;
  const int64_t row_bytes = std::max<int64_t>(1, 4 * columns);
  const int64_t by_size = BAND_BYTES / row_bytes;
  const int64_t few = std::min(FEW_ROWS, FEW_ROWS_BYTES / row_bytes);
  return std::max<int64_t>({1, by_size, few, (integer_sums_pay(half_width) ? 4 : 2) * half_width});
}

stream_outcome stream_rows(const stream_io& io, const stream_grid& grid, int64_t band_rows, int threads,
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

  // Reading, writing and the statistics keep about one processor busy. A
  // small window costs less to filter than that, and a filter thread more
  // would only take turns with them: small windows leave them a processor.
  const int usable =
      window_area(grid.half_width) < LIGHT_WINDOW_CELLS ? std::max(1, threads - 1) : std::max(1, threads);
  // With bands enough for every thread to have work most of the time,
  // each thread filters whole bands on its own: no thread waits for another
  // at the end of a band. With few bands, one band at a time takes every
  // thread.
  const bool bands_in_parallel = geo.bands >= 4 * static_cast<int64_t>(usable);
  const int filter_threads = bands_in_parallel ? usable : 1;
  const int threads_per_band = bands_in_parallel ? 1 : usable;

  // Rings of input and output buffers, one more than the filter threads:
  // while they work on their bands, the reader fills the next one and the
  // writer and the statistics drain an earlier one.
  pipeline p;
  p.depth = filter_threads + 1;
  p.finished.assign(static_cast<size_t>(p.depth), false);
  // Both rings in one block: at 4 MiB and more it is backed by huge pages,
  // which a buffer of its own would be only where it is that large itself
  // (bands of small windows are about 1 MB). Each buffer starts on a
  // 64-byte boundary.
  const auto aligned = [](int64_t cells) { return (cells + 15) / 16 * 16; };
  const int64_t in_cells = aligned(geo.max_in_rows() * cols);
  const int64_t out_cells = aligned(band_rows * cols);
  if (in_cells + out_cells > std::numeric_limits<int64_t>::max() / p.depth) return {stream_status::no_memory, 0};
  const cell_buffer rings = allocate_cells(p.depth * (in_cells + out_cells));
  if (rings == nullptr) return {stream_status::no_memory, 0};
  auto in_of = [&](int64_t k) { return rings.get() + (k % p.depth) * in_cells; };
  auto out_of = [&](int64_t k) { return rings.get() + p.depth * in_cells + (k % p.depth) * out_cells; };
  // Counted before any stage starts: the reader and the writer stop early
  // once no filter thread is left.
  p.filtering = filter_threads;

  std::thread reader([&] {
    for (int64_t k = 0; k < geo.bands; ++k) {
      // This buffer last held band k - depth, which must be filtered first.
      p.wait(p.filtered_more, [&] { return p.filtered > k - p.depth || p.filtering_over(); });
      {
        std::lock_guard<std::mutex> lock(p.m);
        if (p.filtered <= k - p.depth) return;  // filtering ended early
      }
      float* buf = in_of(k);
      const int64_t lo = geo.in_begin(k);
      int64_t first_new = lo;
      if (k > 0) {
        // Rows shared with the previous band are copied, never read twice,
        // so the file is read once, front to back.
        const int64_t prev_lo = geo.in_begin(k - 1);
        const int64_t prev_hi = geo.in_end(k - 1);
        std::memcpy(buf, in_of(k - 1) + (lo - prev_lo) * cols,
                    static_cast<size_t>((prev_hi - lo) * cols) * 4);
        first_new = prev_hi;
      }
      const bool whole = io.read(buf + (first_new - lo) * cols, first_new, geo.in_end(k) - first_new);
      p.publish(p.to_filter, [&] {
        if (whole)
          p.loaded = k + 1;
        else
          p.read_failed = true;
      });
      if (!whole) return;
    }
  });

  // The writer and the statistics both take the filtered bands in order,
  // each on a thread of its own: their work cannot overlap within one
  // thread, and the statistics' additions must run one after another.
  auto after_filtering = [&](int64_t& progress, auto&& use) {
    return std::thread([&progress, use, &p, &geo, &out_of] {
      for (int64_t k = 0;; ++k) {
        p.wait(p.filtered_more, [&] { return p.filtered > k || p.filtering_over(); });
        {
          std::lock_guard<std::mutex> lock(p.m);
          if (p.filtered <= k) return;  // filtering ended before this band
        }
        use(out_of(k), geo.out_begin(k), geo.out_end(k) - geo.out_begin(k));
        p.publish(p.to_filter, [&] { progress = k + 1; });
      }
    });
  };
  bool write_failed = false;
  std::thread writer = after_filtering(p.written, [&](const float* buf, int64_t first_row, int64_t rows) {
    // After a failed write the rest is not written, but every row is still
    // filtered and counted, as when the grid is written in one piece.
    if (!write_failed) write_failed = !io.write(buf, first_row, rows);
  });
  std::thread counter = after_filtering(p.offered, [&](const float* buf, int64_t, int64_t rows) {
    for (int64_t r = 0; r < rows; ++r) row_values(buf + r * cols, cols);
  });

  // A filter thread takes the next band once its input is loaded and the
  // output buffer it will fill has been written and its rows counted; it
  // stops when every band is taken or the input ended before the next one.
  auto filter_bands = [&] {
    for (;;) {
      int64_t k;
      {
        std::unique_lock<std::mutex> lock(p.m);
        p.to_filter.wait(lock, [&] {
          return p.taken >= geo.bands ||
                 (p.loaded > p.taken && p.written > p.taken - p.depth && p.offered > p.taken - p.depth) ||
                 (p.read_failed && p.loaded <= p.taken);
        });
        if (p.taken >= geo.bands || p.loaded <= p.taken) break;
        k = p.taken++;
      }
      const int64_t lo = geo.in_begin(k);
      const row_band band{in_of(k), lo, geo.in_end(k) - lo, cols, grid.rows};
      filter(band, out_of(k), geo.out_begin(k), geo.out_end(k), threads_per_band);
      p.publish(p.filtered_more, [&] { p.finish(k); });
    }
    p.publish_to_all([&] { --p.filtering; });
  };

  std::vector<std::thread> filters;
  for (int t = 0; t < filter_threads; ++t) {
    try {
      filters.emplace_back(filter_bands);
    } catch (const std::system_error&) {
      break;  // the threads running take every band
    }
  }
  const int missing = filter_threads - static_cast<int>(filters.size());
  if (filters.empty()) {
    // No thread could be had: this one filters, counted as the one left.
    p.publish_to_all([&] { p.filtering -= missing - 1; });
    filter_bands();
  } else if (missing > 0) {
    p.publish_to_all([&] { p.filtering -= missing; });
  }

  // Rows are reported in order as their bands become final.
  int64_t rows_done = 0;
  for (int64_t k = 0; k < geo.bands; ++k) {
    p.wait(p.filtered_more, [&] { return p.filtered > k || p.filtering_over(); });
    {
      std::lock_guard<std::mutex> lock(p.m);
      if (p.filtered <= k) break;
    }
    for (; rows_done < geo.out_end(k); ++rows_done) row_done(rows_done);
  }
  for (std::thread& t : filters) t.join();
  reader.join();
  writer.join();
  counter.join();

  if (p.read_failed) return {stream_status::read_short, rows_done};
  if (write_failed) return {stream_status::write_short, rows_done};
  return {stream_status::ok, rows_done};
}

stream_outcome stream_filter(FILE* in, FILE* out, const stream_grid& grid, int64_t band_rows, int threads,
                             const band_filter_fn& filter, const row_done_fn& row_done,
                             const row_values_fn& row_values) {
  const int64_t cols = grid.columns;
  const stream_io io{[&](float* cells, int64_t, int64_t rows) {
                       return grid_read_cells(in, cells, rows * cols) == rows * cols;
                     },
                     [&](const float* cells, int64_t, int64_t rows) {
                       return grid_write_cells(out, cells, rows * cols) == rows * cols;
                     }};
  return stream_rows(io, grid, band_rows, threads, filter, row_done, row_values);
}
