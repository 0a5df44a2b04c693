// Exact focal means in constant time per cell, for windows whose valid
// values all lie on one lattice of whole multiples of a power of two.
//
// When every valid value of a window is a finite multiple of 2^e and the
// magnitudes of those values sum to at most 2^24 * 2^e, every partial sum the
// definition forms (in any order) is a multiple of 2^e of magnitude at most
// 2^24 * 2^e, so it is exactly representable in single precision: the
// sequential single-precision sum is the exact sum. Such a window's mean is
// then (float)(S) * 2^e / count, with S the integer sum of the values in
// units of 2^e, taken from sliding integer sums. That is the same single
// division as the definition, so the result has the same bits.
//
// Whether a window qualifies is decided exactly with integers; the windows
// that do not qualify are left to the direct computation.
#pragma once

#include <cstdint>

#include "compute/focal_mean.h"

struct lattice_counts {
  int64_t fast;    // valid centres whose mean came from the integer sums
  int64_t empty;   // empty centres, written as the no-data value
  int64_t direct;  // cells marked for the direct computation
};

// The lattice exponents considered: floats are multiples of 2^-149, and at
// 2^104 a window sum of 2^24 units already overflows, exactly as the
// sequential sum does.
constexpr int LATTICE_E_MIN = -149;
constexpr int LATTICE_E_MAX = 104;

// The exponent e whose lattice suits the windows of output rows
// [row_begin, row_end) best, judged from a sample of the input rows they
// reach; `found` is false when no window is likely to qualify at any e.
struct lattice_choice {
  bool found;
  int e;
};
lattice_choice lattice_choose_exponent(const row_band& in, int64_t row_begin, int64_t row_end, float nodata,
                                       int64_t half_width);

// For output rows [row_begin, row_end) of `in` (the band must hold every
// input row their windows reach): writes to `out` every cell whose centre is
// empty (the no-data value) or whose window qualifies at the exponent chosen
// for these rows, and sets its byte in `direct` to 0; sets the byte of every
// other cell to 1 and leaves its output untouched, for the direct
// computation (which writes empty centres as the no-data value too). When no
// exponent suits the rows, or the working memory (a few integers per column)
// cannot be had, every cell is marked, empty centres included.
// `out` and `direct` hold (row_end - row_begin) rows of in.columns cells.
// Up to `threads` threads share the work, in strips of columns. `target`
// names the SIMD target to run on (a Highway target bit, for tests), 0 the
// best this CPU runs; every target gives the same bits. Every cell is
// marked when the target cannot run here.
lattice_counts lattice_mean_band(const row_band& in, float* out, uint8_t* direct, int64_t row_begin,
                                 int64_t row_end, float nodata, int64_t half_width, int threads = 1,
                                 int64_t target = 0);
