// Small helpers for building grid files and rasters in tests.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "grid/grid_header.h"
#include "grid/grid_raster.h"

inline std::string float_bytes(float v) {
  std::string s(4, '\0');
  std::memcpy(s.data(), &v, 4);
  return s;
}

inline std::string bits_bytes(uint32_t bits) { return float_bytes(std::bit_cast<float>(bits)); }

// A grid file: header (positions 2..4 and stats filled with recognisable
// values) followed by the given cells.
inline std::string grid_file_bytes(float columns, float rows, float nodata,
                                   const std::vector<float>& cells) {
  std::string s = float_bytes(columns) + float_bytes(rows) + float_bytes(25.0f) +
                  float_bytes(100.5f) + float_bytes(-7.25f) + float_bytes(nodata);
  for (int i = 0; i < 6; ++i) s += float_bytes(123.0f + static_cast<float>(i));  // stale stats
  for (float v : cells) s += float_bytes(v);
  return s;
}

inline grid_raster make_raster(int64_t rows, int64_t columns, std::initializer_list<float> values) {
  grid_raster r;
  raster_create(r, rows, columns);
  int64_t i = 0;
  for (float v : values) r.cells[i++] = v;
  return r;
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}
