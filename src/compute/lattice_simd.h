// Inside the integer-sum path: the vectorised work on one strip of columns.
// The public entry is compute/lattice_mean.h; only it uses this header.
#pragma once

#include <cstdint>

#include "compute/focal_mean.h"
#include "compute/focal_mean_simd.h"
#include "compute/lattice_mean.h"

// Output columns [c_begin, c_end) of rows [row_begin, row_end), every
// window taken at the lattice of 2^e, as lattice_mean_band describes.
struct lattice_strip_job {
  row_band in;
  float* out;       // row row_begin first, in.columns cells a row
  uint8_t* direct;  // the same shape
  int64_t row_begin;
  int64_t row_end;
  float nodata;
  int64_t half_width;
  int e;  // in [LATTICE_E_MIN, LATTICE_E_MAX]
  int64_t c_begin;
  int64_t c_end;
  simd_scratch* scratch;
};

// Adds the strip's counts to `counts`. Returns false, having written
// nothing, only when its scratch memory cannot be had.
using lattice_strip_fn = bool (*)(const lattice_strip_job& job, lattice_counts& counts);

// The strip function of one SIMD target (0: the best this CPU runs), or null
// when this build has no code for it or this CPU cannot run it.
lattice_strip_fn lattice_strip_for(int64_t target);
