// gridtool info: what a grid file holds and whether it is whole. Prints the
// header, the stored statistics beside freshly computed ones, and the file's
// length against the length its header asks for. A damaged file is
// described as far as it can be read, then reported on standard error.
#include <algorithm>
#include <bit>
#include <cstdio>

#include "compute/stats.h"
#include "gridtool/commands.h"
#include "gridtool/grid_load.h"

namespace {

void print_length(const loaded_grid& g, load_status s) {
  const long long bytes = g.file_bytes;
  if (g.file_bytes < 0) {
    std::printf("length:      not a regular file\n");
    return;
  }
  if (s == load_status::short_header) {
    std::printf("length:      %lld bytes: short, the header alone needs 48\n", bytes);
    return;
  }
  if (s == load_status::bad_columns || s == load_status::bad_rows) {
    std::printf("length:      %lld bytes\n", bytes);
    return;
  }
  const long long expected = header_file_bytes(g.header);
  if (bytes < expected)
    std::printf("length:      %lld bytes: short by %lld (%lld bytes expected)\n", bytes, expected - bytes, expected);
  else if (bytes > expected)
    std::printf("length:      %lld bytes: complete, with %lld trailing bytes (ignored)\n", bytes, bytes - expected);
  else
    std::printf("length:      %lld bytes: complete\n", bytes);
}

// A header count as derived, with the stored float when it is not whole.
void print_count(const char* label, int32_t count, float stored) {
  if (static_cast<float>(count) == stored)
    std::printf("%-12s %d\n", label, count);
  else
    std::printf("%-12s %d (stored as %.9g)\n", label, count, static_cast<double>(stored));
}

void print_header(const grid_header& h) {
  print_count("columns:", h.columns, header_value(h, 0));
  print_count("rows:", h.rows, header_value(h, 1));
  std::printf("cells:       %lld\n", static_cast<long long>(header_cells(h)));
  std::printf("no-data:     %.9g\n", static_cast<double>(h.nodata));
  std::printf("positions 2 to 4 (passed through): %.9g %.9g %.9g\n", static_cast<double>(header_value(h, 2)),
              static_cast<double>(header_value(h, 3)), static_cast<double>(header_value(h, 4)));
}

void print_stats(const grid_header& h, const grid_stats* computed) {
  static const char* const names[6] = {"count", "minimum", "maximum", "sum", "mean", "std dev"};
  float fresh[6] = {};
  if (computed != nullptr) {
    const grid_stats& c = *computed;
    const float values[6] = {c.count, c.minimum, c.maximum, c.sum, c.mean, c.std_dev};
    std::copy(values, values + 6, fresh);
  }
  std::printf("statistics   %-16s %s\n", "stored", computed != nullptr ? "computed" : "computed: cells unreadable");
  int differing = 0;
  for (int i = 0; i < 6; ++i) {
    const float stored = header_value(h, GRID_STATS_POSITION + i);
    std::printf("  %-10s %-16.9g", names[i], static_cast<double>(stored));
    if (computed != nullptr) {
      // Compared bit for bit: a NaN or a -0 in the block is a difference too.
      const bool same = std::bit_cast<uint32_t>(stored) == std::bit_cast<uint32_t>(fresh[i]);
      differing += same ? 0 : 1;
      std::printf(" %.9g%s", static_cast<double>(fresh[i]), same ? "" : "  differs");
    }
    std::printf("\n");
  }
  if (computed != nullptr)
    std::printf(differing == 0 ? "stored statistics match the cells\n"
                               : "stored statistics do not match the cells\n");
}

}  // namespace

int run_info(const info_options& o) {
  const char* in = o.input.c_str();
  loaded_grid g;
  const load_status s = grid_load(in, g);
  if (s == load_status::cannot_open) {
    std::fprintf(stderr, "gridtool info: %s\n", grid_load_message(s, in, g).c_str());
    return GRIDTOOL_FAILED;
  }
  std::printf("grid file:   %s\n", in);
  print_length(g, s);
  if (s != load_status::short_header) {
    print_header(g.header);
    grid_stats fresh{};
    if (s == load_status::ok) fresh = raster_stats(g.raster, g.header.nodata);
    print_stats(g.header, s == load_status::ok ? &fresh : nullptr);
  }
  if (s != load_status::ok) {
    std::fflush(stdout);
    std::fprintf(stderr, "gridtool info: %s\n", grid_load_message(s, in, g).c_str());
    return GRIDTOOL_FAILED;
  }
  return GRIDTOOL_OK;
}
