// The fast focal mean: the same bits as the definition in focal_mean.h,
// computed with SIMD vectors across adjacent output cells and with threads
// over bands of output rows.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "compute/focal_mean.h"

// Called once per output row, in ascending order, on the calling thread, as
// soon as that row and every row above it are final.
using row_done_fn = std::function<void(int64_t row)>;

enum class kernel_path {
  reference,  // the plain definition, cell by cell
  simd,       // the vectorised kernel
};

struct kernel_config {
  kernel_path path = kernel_path::simd;
  // With kernel_path::simd: 0 picks the best target of this CPU; otherwise
  // one Highway target bit (HWY_AVX3, HWY_AVX2, HWY_SSE4, HWY_EMU128, ...),
  // for tests and benchmarks.
  int64_t target = 0;
  // Threads that compute; 1 computes on the calling thread alone.
  int threads = 1;
  // Whether filter_band may take windows on a lattice of whole multiples of
  // a power of two from integer running sums (compute/lattice_mean.h).
  bool lattice = true;
};

// Output columns [begin, end) of a row; the default is every column.
struct column_span {
  int64_t begin = 0;
  int64_t end = INT64_MAX;
};

// Computes output rows [row_begin, row_end) of the band's grid into `out`
// ((row_end - row_begin) rows of `in.columns` cells, row row_begin first),
// bit for bit what focal_mean_band gives. The band must hold every grid
// row within half_width of those rows. `row_done` (may be empty) is called
// for each row as described at row_done_fn. With a narrower `span` only
// the cells of those columns are sure to be computed; the others may or
// may not be written.
// Returns false, having computed nothing, when the configured target is
// not available (see kernel_targets).
bool focal_mean_fast(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                     int64_t half_width, const kernel_config& config, const row_done_fn& row_done,
                     const column_span& span = {});

// The SIMD targets this build has code for and this CPU runs, best first.
std::vector<int64_t> kernel_targets();

// The target a configuration would run: 0 for the reference path, -1 when
// the configured target is not available.
int64_t kernel_chosen_target(const kernel_config& config);

// A target's name as Highway spells it ("AVX3", "AVX2", "SSE4", "EMU128").
const char* kernel_target_name(int64_t target);

// The processors this process may run on (its affinity mask), at least 1.
int processors_for_this_process();
