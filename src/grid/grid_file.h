// Reading and writing grid files. These operations print nothing and never
// end the process: they return how many 4-byte values they transferred, and
// the caller compares that with what it asked for.
#pragma once

#include <cstdint>
#include <cstdio>

#include "grid/grid_header.h"
#include "grid/grid_raster.h"

// The statistics block, header positions 6..11, in header order.
struct grid_stats {
  float count;
  float minimum;
  float maximum;
  float sum;
  float mean;
  float std_dev;
};

// Zero-fills h, reads up to 12 values from the start of the file and derives
// the counts from what was read. A value cut short by the end of the file is
// not read and stays 0. Returns the number of whole values read.
int grid_read_header(FILE* in, grid_header& h);

// Writes the 12 header values as read. Returns the number written.
int grid_write_header(FILE* out, const grid_header& h);

// Reads rows * columns values in one request from the current position.
int64_t grid_read_values(FILE* in, grid_raster& r);

// Reads or writes n cell values in one request at the current position.
int64_t grid_read_cells(FILE* in, float* cells, int64_t n);
int64_t grid_write_cells(FILE* out, const float* cells, int64_t n);

// Seeks to byte 24 and writes the six statistics. A stream that cannot seek
// (a pipe) writes nothing and returns 0. Returns the number written.
int grid_write_stats(FILE* out, const grid_stats& s);

// Writes rows * columns values in one request at the current position.
int64_t grid_write_values(FILE* out, const grid_raster& r);

// Size of the file behind a stream when it is a regular file, else -1.
int64_t regular_file_size(FILE* f);

// Stores s in header positions 6..11.
void header_set_stats(grid_header& h, const grid_stats& s);

// Writes a whole grid file (header as held, then the cells). Returns false
// on any open, write or close error.
bool grid_save(const char* path, const grid_header& h, const grid_raster& r);
