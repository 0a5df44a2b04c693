// Inside the fast focal mean: what one SIMD target's kernel is given, and
// how the kernel for a target is found. The public entry is
// compute/focal_mean_fast.h; only it and the benchmarks use this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compute/focal_mean.h"

// Working memory of one thread, reused from call to call. Grown on demand;
// released with simd_scratch_free.
struct simd_scratch {
  void* bytes = nullptr;
  size_t size = 0;
};

// Returns at least `size` bytes aligned for any vector (contents undefined),
// or null when they cannot be had.
void* simd_scratch_reserve(simd_scratch& s, size_t size);
void simd_scratch_free(simd_scratch& s);

// Scratch a thread keeps from call to call, freed when the thread ends: a
// streaming caller filters many bands, and fresh memory for each would be
// paid again in page faults every time.
struct kept_scratch {
  simd_scratch s;
  ~kept_scratch() { simd_scratch_free(s); }
  void* reserve(size_t size) { return simd_scratch_reserve(s, size); }
};

// Output rows [row_begin, row_end) of the band's grid, written to `out`
// (row row_begin first, `columns` cells a row). `rows_done` (may be null)
// is told after each group of rows that all rows below `row_end` are final.
struct simd_rows_job {
  row_band in;
  float* out;
  int64_t row_begin;
  int64_t row_end;
  float nodata;
  int64_t half_width;
  int64_t column_begin;  // the columns that must be computed: [begin, end)
  int64_t column_end;
  simd_scratch* scratch;
  void (*rows_done)(void* context, int64_t row_end);
  void* context;
};

// Returns false, having written nothing, only when its scratch memory
// cannot be had.
using simd_rows_fn = bool (*)(const simd_rows_job& job);

// One compiled target's kernel.
struct simd_kernel {
  simd_rows_fn rows;  // null when the target is not available
  int64_t target;     // the Highway target bit (HWY_AVX2, ...)
};

// The best kernel for this CPU (Highway's run-time dispatch).
simd_kernel simd_kernel_best();

// The kernel of one target, or {nullptr, target} when this build has no code
// for it or this CPU cannot run it.
simd_kernel simd_kernel_for(int64_t target);

// The position of a target's entry in the tables of per-target functions
// that HWY_EXPORT makes, or -1 when this build has no code for the target
// or this CPU cannot run it.
int simd_dispatch_index(int64_t target);

// Every target this build has code for and this CPU runs, best first.
int64_t simd_available_targets();

// A loop of independent vector additions held in registers, `iterations`
// times, on one target: the most additions this core can do with that
// target's vectors. Returns the number of single-precision additions done
// (0 when the target is not available) and stores a value that depends on
// every addition in `sink`, so that none can be left out.
int64_t simd_peak_adds(int64_t target, int64_t iterations, float* sink);

// The count of valid cells as the definition holds it: a single-precision
// float incremented by 1 per valid cell, which is exact up to 2^24 and stays
// at 2^24 from there on (2^24 + 1 rounds back to 2^24).
inline float window_count_as_float(int64_t count) {
  constexpr int64_t FLOAT_COUNT_LIMIT = int64_t{1} << 24;
  return static_cast<float>(count < FLOAT_COUNT_LIMIT ? count : FLOAT_COUNT_LIMIT);
}
