// Deterministic synthetic terrain for demos, tests and benchmarks.
#pragma once

#include <cstdint>

#include "grid/grid_header.h"
#include "grid/grid_raster.h"

struct synth_options {
  int64_t rows = 0;
  int64_t columns = 0;
  uint64_t seed = 1;
  // Cells where a smooth noise field in [0, 1) lies below this are left
  // empty, in blobs (0.2 empties about 6 % of cells, 0.4 about 30 %).
  double holes = 0.0;
  bool integer = false;     // whole-number values instead of fractional ones
  float scale = 1000.0f;    // values lie in [0, scale]
  float nodata = -9999.0f;
};

// Header for a synthetic grid of these options (statistics block zero).
grid_header synth_header(const synth_options& o);

// Fills one row (o.columns cells) of the synthetic grid.
void synth_row(const synth_options& o, int64_t row, float* line);

// Fills r (created here) with terrain and h with a matching header whose
// statistics block is zero. Returns false when memory cannot be had.
bool synth_grid(const synth_options& o, grid_header& h, grid_raster& r);

// Sets header position `position` to a float value.
void header_set(grid_header& h, int position, float value);
