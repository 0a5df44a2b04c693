#include "compute/synth_file.h"

#include <cstdio>
#include <vector>

#include "compute/stats.h"
#include "grid/grid_file.h"

bool synth_write(const char* path, const synth_options& o) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  std::vector<float> line(static_cast<size_t>(o.columns));
  stats_accumulator s;
  stats_reset(s, o.nodata);
  bool ok = grid_write_header(f, synth_header(o)) == GRID_HEADER_VALUES;
  for (int64_t row = 0; ok && row < o.rows; ++row) {
    synth_row(o, row, line.data());
    stats_add_row(s, line.data(), o.columns);
    ok = grid_write_cells(f, line.data(), o.columns) == o.columns || o.columns == 0;
  }
  // The statistics go over the header once every row has been offered.
  ok = ok && grid_write_stats(f, stats_finish(s)) == 6;
  return (std::fclose(f) == 0) && ok;
}
