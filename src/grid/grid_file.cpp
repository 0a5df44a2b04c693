#include "grid/grid_file.h"

#include <sys/stat.h>

#include <cstring>

int grid_read_header(FILE* in, grid_header& h) {
  h = grid_header{};
  unsigned char bytes[GRID_HEADER_BYTES] = {};
  const size_t got = std::fread(bytes, 1, sizeof bytes, in);
  const int values = static_cast<int>(got / 4);
  // Copy whole values only: the bytes of a value cut short stay 0.
  std::memcpy(h.raw, bytes, static_cast<size_t>(values) * 4);
  header_derive(h);
  return values;
}

int grid_write_header(FILE* out, const grid_header& h) {
  return static_cast<int>(std::fwrite(h.raw, 4, GRID_HEADER_VALUES, out));
}

int64_t grid_read_cells(FILE* in, float* cells, int64_t n) {
  if (n <= 0) return 0;
  return static_cast<int64_t>(std::fread(cells, 4, static_cast<size_t>(n), in));
}

int64_t grid_write_cells(FILE* out, const float* cells, int64_t n) {
  if (n <= 0) return 0;
  return static_cast<int64_t>(std::fwrite(cells, 4, static_cast<size_t>(n), out));
}

int64_t grid_read_values(FILE* in, grid_raster& r) { return grid_read_cells(in, r.cells.get(), raster_cells(r)); }

int grid_write_stats(FILE* out, const grid_stats& s) {
  if (std::fseek(out, 4 * GRID_STATS_POSITION, SEEK_SET) != 0) return 0;
  const float values[6] = {s.count, s.minimum, s.maximum, s.sum, s.mean, s.std_dev};
  return static_cast<int>(std::fwrite(values, 4, 6, out));
}

int64_t grid_write_values(FILE* out, const grid_raster& r) {
  return grid_write_cells(out, r.cells.get(), raster_cells(r));
}

int64_t regular_file_size(FILE* f) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

void header_set_stats(grid_header& h, const grid_stats& s) {
  const float values[6] = {s.count, s.minimum, s.maximum, s.sum, s.mean, s.std_dev};
  std::memcpy(&h.raw[GRID_STATS_POSITION], values, sizeof values);
}

bool grid_save(const char* path, const grid_header& h, const grid_raster& r) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  bool ok = grid_write_header(f, h) == GRID_HEADER_VALUES && grid_write_values(f, r) == raster_cells(r);
  ok = (std::fflush(f) == 0) && ok;
  return (std::fclose(f) == 0) && ok;
}
