// Writing a synthetic terrain grid file, row by row.
#pragma once

#include "grid/synth_grid.h"

// Generates the grid one row at a time and writes it to `path` with the
// statistics block wavgrid would write for it, so grids far larger than
// memory can be made. Returns false on any write error.
bool synth_write(const char* path, const synth_options& o);
