// The grid file header: twelve little-endian float32 values, 48 bytes.
#pragma once

#include <cstdint>

inline constexpr int GRID_HEADER_VALUES = 12;
inline constexpr int64_t GRID_HEADER_BYTES = 4 * GRID_HEADER_VALUES;
inline constexpr int GRID_STATS_POSITION = 6;  // header positions 6..11

// Largest row or column count a header may give: counts are signed 32-bit.
inline constexpr int64_t GRID_MAX_COUNT = 2147483647;

// Why a header count cannot be used as a grid dimension.
enum class dim_problem { none, negative, not_a_number, infinite, too_large };

struct grid_header {
  // The header values exactly as read (bit patterns), so that writing them
  // back reproduces the input bytes, NaN payloads included.
  uint32_t raw[GRID_HEADER_VALUES];
  int32_t columns;
  int32_t rows;
  float nodata;
  // Set when position 0 or 1 does not convert to a count; columns and rows
  // are then 0 and must not be used to size anything.
  dim_problem columns_problem;
  dim_problem rows_problem;
};

// The float value stored at a header position.
float header_value(const grid_header& h, int position);

// Fills the derived fields (columns, rows, nodata and their problems) from
// raw. Counts are truncated toward zero; a value in (-1, 0) gives 0.
void header_derive(grid_header& h);

// Classifies one header count value; on none, *count holds the truncated count.
dim_problem header_count(float value, int32_t* count);

// Cells in the grid the header describes (0 when a dimension is unusable).
int64_t header_cells(const grid_header& h);

// Expected size of a complete grid file for this header.
int64_t header_file_bytes(const grid_header& h);
