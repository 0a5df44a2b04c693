// Filtering a grid file as it streams through memory: the input is read in
// bands of rows, each band of output rows is filtered from the input rows its
// windows reach, and finished bands are written while the next ones are read
// and filtered. Memory grows with the window and the band, not the grid.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "compute/filter.h"
#include "compute/focal_mean.h"

// Filters output rows [row_begin, row_end) of the band into `out` with up to
// `threads` threads. It is called on several threads at once, each time for
// a different band.
using band_filter_fn =
    std::function<void(const row_band& in, float* out, int64_t row_begin, int64_t row_end, int threads)>;

// Receives each finished output row, in ascending order.
using row_values_fn = std::function<void(const float* values, int64_t columns)>;

enum class stream_status {
  ok,
  read_short,   // the input ended before its last cell
  write_short,  // an output write failed; every row was still filtered
  no_memory,    // the band buffers could not be had
};

struct stream_outcome {
  stream_status status;
  int64_t rows_done;  // output rows filtered (and reported to row_done)
};

struct stream_grid {
  int64_t rows;
  int64_t columns;
  int64_t half_width;
};

// Rows per output band for a grid of this width and window: bands of about
// a megabyte (small bands stay in the caches between the stages), but at
// least 32 rows where those take at most 64 MB (the kernel sums blocks of
// several rows, and every band costs a few rows of padding and counting);
// and at least twice the window's reach, so that a band's own rows are at
// least half of the input rows it holds; four times from a reach of 8 on,
// where the integer sums may take the windows and start each band by
// summing its whole window height.
int64_t stream_band_rows(int64_t columns, int64_t half_width);

// Where the rows come from and go to. Rows are asked for and handed over
// strictly in order, each exactly once; read runs on a reader thread and
// write on a writer thread. Each returns false when it could not move all
// the rows (the input ended, the output failed).
struct stream_io {
  std::function<bool(float* cells, int64_t first_row, int64_t rows)> read;
  std::function<bool(const float* cells, int64_t first_row, int64_t rows)> write;
};

// Reads the grid's rows through io.read, filters them band by band with
// `filter` and hands the output rows to io.write. Filtering uses `threads`
// threads (one fewer for windows of fewer than 200 cells, which are cheap
// next to reading, writing and the statistics): with enough bands each
// filters bands of its own, with few the bands go one at a time to
// `filter` with all of them. row_done runs on the
// calling thread as bands become final; row_values runs on a thread of its
// own, beside the writer; both see rows in ascending order.
// After a failed write the remaining rows are still filtered and offered
// to row_values, but not written.
stream_outcome stream_rows(const stream_io& io, const stream_grid& grid, int64_t band_rows, int threads,
                           const band_filter_fn& filter, const row_done_fn& row_done,
                           const row_values_fn& row_values);

// stream_rows between grid files: `in` at its first cell, `out` at the
// position the first output cell goes to.
stream_outcome stream_filter(FILE* in, FILE* out, const stream_grid& grid, int64_t band_rows, int threads,
                             const band_filter_fn& filter, const row_done_fn& row_done,
                             const row_values_fn& row_values);
