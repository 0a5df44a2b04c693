// gridtool render: an RGBA PNG preview of a grid file, one pixel per cell
// unless --width scales it; with --beside a second grid (the filtered one)
// is drawn to its right in the same colours, so the two can be compared.
#include <gdal_utils.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "gridtool/commands.h"
#include "gridtool/gdal_support.h"
#include "gridtool/grid_load.h"
#include "gridtool/preview.h"
#include "gridtool/progress.h"

namespace {

// Transparent columns between the two grids of a side-by-side picture.
inline constexpr int64_t PANEL_GAP = 4;

struct panel {
  const char* path = nullptr;
  loaded_grid grid;
  std::vector<uint8_t> shade;  // empty unless shading was asked for
};

// GDAL's hillshade of the grid: one brightness 1..255 per cell, 0 where the
// cell is empty. The vertical scale is chosen so that the whole value range
// rises over a quarter of the grid's longer side, which shows the relief of
// any grid without knowing its units.
bool hillshade(panel& p, const value_range& range, std::string& why) {
  grid_raster& r = p.grid.raster;
  const float nodata = p.grid.header.nodata;
  dataset_ptr src = borrow_as_dataset(static_cast<int>(r.columns), static_cast<int>(r.rows), GDT_Float32,
                                      {r.cells.get()});
  if (!src) {
    why = gdal_error_text();
    return false;
  }
  GDALSetRasterNoDataValue(GDALGetRasterBand(src.get(), 1), static_cast<double>(nodata));
  double north_up[6] = {0, 1, 0, 0, 0, -1};  // row 0 is the northern edge
  GDALSetGeoTransform(src.get(), north_up);
  const double span = static_cast<double>(range.high) - static_cast<double>(range.low);
  const double z = span > 0 ? 0.25 * static_cast<double>(std::max(r.rows, r.columns)) / span : 1.0;
  const std::string z_text = std::to_string(z);
  std::vector<const char*> args = {"-of", "MEM", "-compute_edges", "-z", z_text.c_str(), nullptr};
  GDALDEMProcessingOptions* options = GDALDEMProcessingOptionsNew(const_cast<char**>(args.data()), nullptr);
  if (options == nullptr) {
    why = gdal_error_text();
    return false;
  }
  int usage_error = FALSE;
  CPLErrorReset();
  dataset_ptr shaded(GDALDEMProcessing("", src.get(), "hillshade", nullptr, options, &usage_error));
  GDALDEMProcessingOptionsFree(options);
  if (!shaded) {
    why = gdal_error_text();
    return false;
  }
  p.shade.assign(static_cast<size_t>(raster_cells(r)), 0);
  const int columns = static_cast<int>(r.columns), rows = static_cast<int>(r.rows);
  if (GDALRasterIO(GDALGetRasterBand(shaded.get(), 1), GF_Read, 0, 0, columns, rows, p.shade.data(), columns,
                   rows, GDT_Byte, 0, 0) != CE_None) {
    why = gdal_error_text();
    return false;
  }
  return true;
}

// Resamples the canvas to width x height (nearest cell, GDAL's default),
// so that scaled cells keep their exact colours and empty cells stay clear.
bool scale_canvas(rgba_canvas& c, int64_t width, int64_t height, std::string& why) {
  std::vector<void*> planes;
  for (int band = 0; band < 4; ++band) planes.push_back(canvas_plane(c, band));
  dataset_ptr src = borrow_as_dataset(static_cast<int>(c.width), static_cast<int>(c.height), GDT_Byte, planes);
  rgba_canvas scaled;
  canvas_create(scaled, width, height);
  if (!src || GDALDatasetRasterIO(src.get(), GF_Read, 0, 0, static_cast<int>(c.width), static_cast<int>(c.height),
                                  scaled.planes.data(), static_cast<int>(width), static_cast<int>(height),
                                  GDT_Byte, 4, nullptr, 0, 0, 0) != CE_None) {
    why = gdal_error_text();
    return false;
  }
  c = std::move(scaled);
  return true;
}

bool write_png(rgba_canvas& c, const std::string& path, std::string& why) {
  std::vector<void*> planes;
  for (int band = 0; band < 4; ++band) planes.push_back(canvas_plane(c, band));
  dataset_ptr src = borrow_as_dataset(static_cast<int>(c.width), static_cast<int>(c.height), GDT_Byte, planes);
  GDALDriverH png = GDALGetDriverByName("PNG");
  if (!src || png == nullptr) {
    why = gdal_error_text();
    return false;
  }
  GDALSetRasterColorInterpretation(GDALGetRasterBand(src.get(), 4), GCI_AlphaBand);
  progress_bar bar = progress_on_stderr();
  return write_copy(png, path, src.get(), {}, progress_report, &bar, why);
}

int fail(const std::string& what) {
  std::fprintf(stderr, "gridtool render: %s\n", what.c_str());
  return GRIDTOOL_FAILED;
}

}  // namespace

int run_render(const render_options& o) {
  std::vector<panel> panels(o.beside.empty() ? 1 : 2);
  panels[0].path = o.input.c_str();
  if (panels.size() == 2) panels[1].path = o.beside.c_str();
  value_range range;
  int64_t width = 0, height = 0;
  for (panel& p : panels) {
    const load_status s = grid_load(p.path, p.grid);
    if (s != load_status::ok) return fail(grid_load_message(s, p.path, p.grid));
    if (raster_cells(p.grid.raster) == 0) return fail(std::string(p.path) + ": the grid has no cells to draw");
    // Both grids share one range, so that equal values get equal colours.
    range_include(range, p.grid.raster, p.grid.header.nodata);
    width += p.grid.raster.columns;
    height = std::max(height, p.grid.raster.rows);
  }
  width += PANEL_GAP * static_cast<int64_t>(panels.size() - 1);
  if (width > INT32_MAX || height > INT32_MAX) return fail("the picture would be too large; give --width");

  std::string why;
  rgba_canvas canvas;
  canvas_create(canvas, width, height);
  int64_t x0 = 0;
  for (panel& p : panels) {
    mark_empty_cells(p.grid.raster, p.grid.header.nodata);
    if (o.hillshade && range.any && !hillshade(p, range, why))
      return fail(std::string("cannot shade ") + p.path + ": " + why);
    paint_grid(canvas, x0, p.grid.raster, p.grid.header.nodata, range, p.shade.empty() ? nullptr : p.shade.data());
    x0 += p.grid.raster.columns + PANEL_GAP;
  }
  if (o.width > 0 && o.width != width) {
    const int64_t scaled_height =
        std::max<int64_t>(1, std::llround(static_cast<double>(height) * o.width / static_cast<double>(width)));
    if (scaled_height > INT32_MAX) return fail("the picture would be too tall at that width");
    if (!scale_canvas(canvas, o.width, scaled_height, why)) return fail("cannot scale the picture: " + why);
  }
  if (!write_png(canvas, o.output, why)) return fail("cannot write " + o.output + ": " + why);
  std::printf("%s: %lld x %lld pixels, colours from %.9g to %.9g\n", o.output.c_str(),
              static_cast<long long>(canvas.width), static_cast<long long>(canvas.height),
              static_cast<double>(range.low), static_cast<double>(range.high));
  return GRIDTOOL_OK;
}
