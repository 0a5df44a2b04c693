// gridtool diff: are two grid files the same, and if not, where and by how
// much. Exit status as cmp(1): 0 identical, 1 different, 2 trouble.
#include <bit>
#include <cstdio>

#include "gridtool/commands.h"
#include "gridtool/grid_compare.h"
#include "gridtool/grid_load.h"
#include "gridtool/progress.h"

namespace {

const char* const HEADER_NAMES[GRID_HEADER_VALUES] = {
    "columns", "rows", "pass-through", "pass-through", "pass-through", "no-data",
    "count",   "minimum", "maximum",   "sum",          "mean",         "std dev"};

// Lists the header positions whose bits differ; returns how many.
int compare_headers(const grid_header& a, const grid_header& b) {
  int differing = 0;
  for (int i = 0; i < GRID_HEADER_VALUES; ++i) {
    if (a.raw[i] == b.raw[i]) continue;
    ++differing;
    std::printf("header position %d (%s): %.9g vs %.9g\n", i, HEADER_NAMES[i],
                static_cast<double>(header_value(a, i)), static_cast<double>(header_value(b, i)));
  }
  return differing;
}

void print_at(const differing_cell& c) {
  std::printf(" at row %lld, column %lld (%.9g vs %.9g)\n", static_cast<long long>(c.row),
              static_cast<long long>(c.column), static_cast<double>(c.a), static_cast<double>(c.b));
}

void print_cells(const cell_comparison& r, int64_t cells) {
  std::printf("%lld of %lld cells differ", static_cast<long long>(r.differing), static_cast<long long>(cells));
  if (r.validity_changes > 0)
    std::printf(", %lld of them empty in one grid only", static_cast<long long>(r.validity_changes));
  if (r.with_nan > 0) std::printf(", %lld of them with a NaN", static_cast<long long>(r.with_nan));
  std::printf("\n");
  if (r.differing == r.with_nan) return;
  std::printf("largest absolute difference: %.9g", r.largest_abs);
  print_at(r.largest_abs_at);
  std::printf("largest difference in ulps: %llu", static_cast<unsigned long long>(r.largest_ulp));
  print_at(r.largest_ulp_at);
  if (r.first.empty()) return;
  std::printf("first differing cells (row, column: A vs B):\n");
  for (const differing_cell& c : r.first)
    std::printf("  %lld, %lld: %.9g vs %.9g\n", static_cast<long long>(c.row), static_cast<long long>(c.column),
                static_cast<double>(c.a), static_cast<double>(c.b));
}

void note_trailing(const char* path, const loaded_grid& g) {
  const int64_t extra = trailing_bytes(g);
  if (extra > 0)
    std::printf("note: %s has %lld bytes after its last cell, which are not part of the grid\n", path,
                static_cast<long long>(extra));
}

}  // namespace

int run_diff(const diff_options& o) {
  loaded_grid a, b;
  const char* names[2] = {o.a.c_str(), o.b.c_str()};
  loaded_grid* grids[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    const load_status s = grid_load(names[i], *grids[i]);
    if (s != load_status::ok) {
      std::fprintf(stderr, "gridtool diff: %s\n", grid_load_message(s, names[i], *grids[i]).c_str());
      return DIFF_TROUBLE;
    }
  }
  note_trailing(names[0], a);
  note_trailing(names[1], b);
  const int header_differences = compare_headers(a.header, b.header);
  if (a.header.rows != b.header.rows || a.header.columns != b.header.columns) {
    std::printf("shape differs: %s has %d rows x %d columns, %s has %d x %d; cells not compared\n", names[0],
                a.header.rows, a.header.columns, names[1], b.header.rows, b.header.columns);
    return DIFF_DIFFERENT;
  }

  cell_comparison r;
  progress_bar bar = progress_on_stderr();
  for (int64_t row = 0; row < a.raster.rows; ++row) {
    compare_row(raster_row(a.raster, row), raster_row(b.raster, row), row, a.raster.columns, a.header.nodata,
                b.header.nodata, static_cast<size_t>(o.positions), r);
    progress_step(bar, row + 1, a.raster.rows);
  }
  if (r.differing > 0) print_cells(r, raster_cells(a.raster));
  return header_differences == 0 && r.differing == 0 ? DIFF_SAME : DIFF_DIFFERENT;
}
