// Loading a whole grid file for gridtool, with every check a damaged or
// truncated file needs, so that no subcommand works on a half-read grid.
// The loader prints nothing; grid_load_message words the outcome.
#pragma once

#include <cstdint>
#include <string>

#include "grid/grid_header.h"
#include "grid/grid_raster.h"

enum class load_status {
  ok,
  cannot_open,   // missing, unreadable or a directory
  short_header,  // fewer than 48 bytes
  bad_columns,   // header position 0 is not a usable count
  bad_rows,      // header position 1 is not a usable count
  short_cells,   // fewer cell values than the header announces
  no_memory,
};

struct loaded_grid {
  grid_header header{};
  grid_raster raster;
  int header_values = 0;   // whole header values present, 12 when complete
  int64_t file_bytes = -1; // size of the file, -1 when it is not a regular file
  int64_t cells_read = 0;
};

// Reads the header and, when it is usable and the file long enough, every
// cell. Whatever was read before a failure stays in g (info shows it).
load_status grid_load(const char* path, loaded_grid& g);

// One line saying what went wrong with `path`, without a line end.
std::string grid_load_message(load_status s, const char* path, const loaded_grid& g);

// Bytes after the last cell value: ignored by every reader of the format.
int64_t trailing_bytes(const loaded_grid& g);

// A cell is empty unless it is strictly greater than the no-data value; a
// NaN is never greater, so it is empty too.
inline bool cell_is_valid(float v, float nodata) { return v > nodata; }

// Writes every empty cell as exactly the no-data value. Other programs (GDAL
// among them) treat only that exact value as no data, while a grid file
// counts everything below it as empty too.
void mark_empty_cells(float* cells, int64_t n, float nodata);
void mark_empty_cells(grid_raster& r, float nodata);
