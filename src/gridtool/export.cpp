// gridtool export: a grid file becomes a raster of any format GDAL writes,
// float32 with its no-data value set, and with --like the georeferencing of
// the raster it came from, so that it lands in the same place on the map.
#include <cpl_conv.h>

#include <cstdio>

#include "gridtool/commands.h"
#include "gridtool/gdal_support.h"
#include "gridtool/grid_load.h"
#include "gridtool/progress.h"
#include "gridtool/raster_cells.h"

namespace {

// Copies geotransform and projection from `like` onto `target`, which must
// have the same number of rows and columns for them to fit.
bool georeference_like(const std::string& like, GDALDatasetH target, std::string& why) {
  dataset_ptr src = open_raster(like.c_str());
  if (!src) {
    why = "cannot read " + like + " as a raster: " + gdal_error_text();
    return false;
  }
  const int columns = GDALGetRasterXSize(src.get()), rows = GDALGetRasterYSize(src.get());
  if (columns != GDALGetRasterXSize(target) || rows != GDALGetRasterYSize(target)) {
    why = like + " has " + std::to_string(rows) + " rows x " + std::to_string(columns) +
          " columns, the grid " + std::to_string(GDALGetRasterYSize(target)) + " x " +
          std::to_string(GDALGetRasterXSize(target)) + ": its georeferencing would not fit";
    return false;
  }
  copy_georeferencing(src.get(), target);
  return true;
}

}  // namespace

int run_export(const export_options& o) {
  const char* in = o.input.c_str();
  loaded_grid g;
  const load_status s = grid_load(in, g);
  if (s != load_status::ok) {
    std::fprintf(stderr, "gridtool export: %s\n", grid_load_message(s, in, g).c_str());
    return GRIDTOOL_FAILED;
  }
  if (raster_cells(g.raster) == 0) {
    std::fprintf(stderr, "gridtool export: %s has no cells, and a raster needs at least one\n", in);
    return GRIDTOOL_FAILED;
  }
  std::string why;
  GDALDriverH driver = output_driver(o.output, o.format, why);
  if (driver == nullptr) {
    std::fprintf(stderr, "gridtool export: cannot write %s: %s\n", o.output.c_str(), why.c_str());
    return GRIDTOOL_FAILED;
  }
  const char* driver_name = GDALGetDriverShortName(driver);
  if (!driver_stores(driver, GDT_Float32)) {
    std::fprintf(stderr,
                 "gridtool export: the %s driver cannot store float32 cells (for a picture, use gridtool "
                 "render)\n",
                 driver_name);
    return GRIDTOOL_FAILED;
  }

  // Cells below the no-data value are empty in a grid file, but other
  // programs only know the exact value as no data.
  const float nodata = g.header.nodata;
  mark_empty_cells(g.raster, nodata);
  dataset_ptr mem = borrow_as_dataset(g.header.columns, g.header.rows, GDT_Float32, {g.raster.cells.get()});
  if (!mem) {
    std::fprintf(stderr, "gridtool export: cannot hand %s to GDAL: %s\n", in, gdal_error_text().c_str());
    return GRIDTOOL_FAILED;
  }
  GDALSetRasterNoDataValue(GDALGetRasterBand(mem.get(), 1), static_cast<double>(nodata));
  if (!o.like.empty() && !georeference_like(o.like, mem.get(), why)) {
    std::fprintf(stderr, "gridtool export: %s\n", why.c_str());
    return GRIDTOOL_FAILED;
  }

  progress_bar bar = progress_on_stderr();
  if (!write_copy(driver, o.output, mem.get(), o.creation, progress_report, &bar, why)) {
    std::fprintf(stderr, "gridtool export: cannot write %s with the %s driver: %s\n", o.output.c_str(),
                 driver_name, why.c_str());
    return GRIDTOOL_FAILED;
  }
  const std::string place = o.like.empty() ? "not georeferenced" : "georeferenced like " + o.like;
  std::printf("%s: %d rows x %d columns, %s, no-data value %.9g, %s\n", o.output.c_str(), g.header.rows,
              g.header.columns, driver_name, static_cast<double>(nodata), place.c_str());
  return GRIDTOOL_OK;
}
