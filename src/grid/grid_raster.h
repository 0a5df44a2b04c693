// An in-memory raster of float32 cells in file order (row 0 first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct free_deleter {
  void operator()(void* p) const { std::free(p); }
};

struct grid_raster {
  int64_t rows = 0;
  int64_t columns = 0;
  // rows * columns cells, zero-filled at creation; null for an empty grid.
  std::unique_ptr<float[], free_deleter> cells;
};

// Creates a zero-filled raster. Returns false (and leaves r empty) when the
// memory cannot be had; never throws.
bool raster_create(grid_raster& r, int64_t rows, int64_t columns);

// Room for n cells (contents undefined), for working buffers; freed with
// std::free. Blocks of 4 MiB and more start on a 2 MiB boundary
// and ask for huge pages. Null when the memory cannot be had.
float* cells_allocate(int64_t n);

inline int64_t raster_cells(const grid_raster& r) { return r.rows * r.columns; }

inline float* raster_row(grid_raster& r, int64_t row) { return r.cells.get() + row * r.columns; }
inline const float* raster_row(const grid_raster& r, int64_t row) { return r.cells.get() + row * r.columns; }
