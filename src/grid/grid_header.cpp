#include "grid/grid_header.h"

#include <bit>
#include <cmath>

static_assert(std::endian::native == std::endian::little,
              "grid files are little-endian and are read by copying bytes");

float header_value(const grid_header& h, int position) {
  return std::bit_cast<float>(h.raw[position]);
}

dim_problem header_count(float value, int32_t* count) {
  *count = 0;
  if (std::isnan(value)) return dim_problem::not_a_number;
  if (std::isinf(value)) return dim_problem::infinite;
  if (value <= -1.0f) return dim_problem::negative;
  // 2^31 is exactly representable; every float below it truncates into range.
  if (value >= 2147483648.0f) return dim_problem::too_large;
  *count = static_cast<int32_t>(value);
  return dim_problem::none;
}

void header_derive(grid_header& h) {
  h.columns_problem = header_count(header_value(h, 0), &h.columns);
  h.rows_problem = header_count(header_value(h, 1), &h.rows);
  h.nodata = header_value(h, 5);
}

int64_t header_cells(const grid_header& h) {
  return static_cast<int64_t>(h.rows) * static_cast<int64_t>(h.columns);
}

int64_t header_file_bytes(const grid_header& h) {
  return GRID_HEADER_BYTES + 4 * header_cells(h);
}
