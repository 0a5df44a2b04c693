#include "gridtool/grid_load.h"

#include <cstdio>

#include "grid/grid_file.h"
#include "grid/grid_open.h"

namespace {

std::string format(const char* fmt, auto... args) {
  const int n = std::snprintf(nullptr, 0, fmt, args...);
  std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
  std::snprintf(s.data(), s.size() + 1, fmt, args...);
  return s;
}

const char* problem_text(dim_problem p) {
  switch (p) {
    case dim_problem::negative: return "negative";
    case dim_problem::not_a_number: return "not a number";
    case dim_problem::infinite: return "infinite";
    case dim_problem::too_large: return "too large";
    case dim_problem::none: break;
  }
  return "usable";
}

std::string size_text(int64_t bytes) {
  return bytes < 0 ? std::string("not a regular file") : format("%lld bytes long", static_cast<long long>(bytes));
}

}  // namespace

load_status grid_load(const char* path, loaded_grid& g) {
  g = loaded_grid{};
  file_closer in;
  if (open_grid_input(path, &in.f) != open_result::ok) return load_status::cannot_open;
  g.file_bytes = regular_file_size(in.f);
  g.header_values = grid_read_header(in.f, g.header);
  if (g.header_values < GRID_HEADER_VALUES) return load_status::short_header;
  if (g.header.columns_problem != dim_problem::none) return load_status::bad_columns;
  if (g.header.rows_problem != dim_problem::none) return load_status::bad_rows;
  // A short regular file is found from its size before any memory is taken,
  // so a damaged header cannot ask for a huge block.
  if (g.file_bytes >= 0 && g.file_bytes < header_file_bytes(g.header)) {
    g.cells_read = (g.file_bytes - GRID_HEADER_BYTES) / 4;
    return load_status::short_cells;
  }
  if (!raster_create(g.raster, g.header.rows, g.header.columns)) return load_status::no_memory;
  g.cells_read = grid_read_values(in.f, g.raster);
  if (g.cells_read != raster_cells(g.raster)) return load_status::short_cells;
  return load_status::ok;
}

std::string grid_load_message(load_status s, const char* path, const loaded_grid& g) {
  const grid_header& h = g.header;
  switch (s) {
    case load_status::ok: return format("%s: grid read whole", path);
    case load_status::cannot_open: return format("%s: cannot open it for reading", path);
    case load_status::short_header:
      if (g.file_bytes < 0) return format("%s: not a grid file: it ends inside the 48-byte header", path);
      return format("%s: not a grid file: it is %lld bytes long, too short for the 48-byte header", path,
                    static_cast<long long>(g.file_bytes));
    case load_status::bad_columns:
    case load_status::bad_rows: {
      const bool columns = s == load_status::bad_columns;
      return format("%s: not a grid file: the header's number of %s is %g (%s), not a count from 0 to %lld",
                    path, columns ? "columns" : "rows", static_cast<double>(header_value(h, columns ? 0 : 1)),
                    problem_text(columns ? h.columns_problem : h.rows_problem),
                    static_cast<long long>(GRID_MAX_COUNT));
    }
    case load_status::short_cells:
      return format("%s: the file is cut short: its header announces %d rows x %d columns (%lld bytes in all), "
                    "but only %lld of the %lld cells are there (the file is %s)",
                    path, h.rows, h.columns, static_cast<long long>(header_file_bytes(h)),
                    static_cast<long long>(g.cells_read), static_cast<long long>(header_cells(h)),
                    size_text(g.file_bytes).c_str());
    case load_status::no_memory:
      return format("%s: not enough memory for %d rows x %d columns", path, h.rows, h.columns);
  }
  return format("%s: unreadable", path);
}

int64_t trailing_bytes(const loaded_grid& g) {
  if (g.file_bytes < 0 || g.header_values < GRID_HEADER_VALUES) return 0;
  const int64_t extra = g.file_bytes - header_file_bytes(g.header);
  return extra > 0 ? extra : 0;
}

void mark_empty_cells(float* cells, int64_t n, float nodata) {
  for (int64_t i = 0; i < n; ++i)
    if (!cell_is_valid(cells[i], nodata)) cells[i] = nodata;
}

void mark_empty_cells(grid_raster& r, float nodata) { mark_empty_cells(r.cells.get(), raster_cells(r), nodata); }
