// gridtool import: any raster GDAL reads becomes a grid file. The cells are
// read as float32; cells GDAL reports as missing (no-data, masked, NaN)
// become the grid's no-data value; the statistics block is the one wavgrid
// computes for its own output.
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "compute/stats.h"
#include "grid/grid_file.h"
#include "grid/synth_grid.h"
#include "gridtool/commands.h"
#include "gridtool/gdal_support.h"
#include "gridtool/grid_load.h"
#include "gridtool/progress.h"
#include "gridtool/raster_cells.h"

int run_import(const import_options& o) {
  const char* src = o.source.c_str();
  if (o.nodata && !usable_nodata(*o.nodata)) {
    std::fprintf(stderr, "gridtool import: --nodata %g is not a finite float32 value\n", *o.nodata);
    return GRIDTOOL_USAGE;
  }
  GDALRasterBandH band = nullptr;
  std::string why;
  dataset_ptr ds = open_band(o.source, o.band, band, why);
  if (!ds) {
    std::fprintf(stderr, "gridtool import: %s\n", why.c_str());
    return GRIDTOOL_FAILED;
  }
  const int64_t columns = GDALGetRasterXSize(ds.get()), rows = GDALGetRasterYSize(ds.get());
  if (columns > GRID_LARGEST_EXACT_COUNT || rows > GRID_LARGEST_EXACT_COUNT) {
    std::fprintf(stderr,
                 "gridtool import: %s is %lld x %lld cells; a grid file holds at most %lld rows and columns\n", src,
                 static_cast<long long>(columns), static_cast<long long>(rows),
                 static_cast<long long>(GRID_LARGEST_EXACT_COUNT));
    return GRIDTOOL_FAILED;
  }
  grid_raster r;
  if (!raster_create(r, rows, columns)) {
    std::fprintf(stderr, "gridtool import: not enough memory for %lld rows x %lld columns\n",
                 static_cast<long long>(rows), static_cast<long long>(columns));
    return GRIDTOOL_FAILED;
  }
  progress_bar bar = progress_on_stderr();
  if (!read_band_rows(band, r.cells.get(), 0, rows, progress_report, &bar)) {
    std::fprintf(stderr, "gridtool import: cannot read the cells of %s: %s\n", src, gdal_error_text().c_str());
    return GRIDTOOL_FAILED;
  }

  const nodata_choice choice =
      choose_nodata(o.nodata, band, [&] { return lowest_valid(r.cells.get(), raster_cells(r), INFINITY); });
  const float nodata = choice.value;
  const int64_t swallowed = count_swallowed(r.cells.get(), raster_cells(r), nodata);
  if (swallowed > 0)
    std::fprintf(stderr,
                 "gridtool import: warning: %lld cell(s) of %s are not above the no-data value %.9g and become "
                 "empty\n",
                 static_cast<long long>(swallowed), src, static_cast<double>(nodata));
  mark_empty_cells(r, nodata);

  grid_header h{};
  header_set(h, 0, static_cast<float>(columns));
  header_set(h, 1, static_cast<float>(rows));
  // Position 2 records the cell width for whoever looks at the file; the
  // grid file carries no georeferencing (export --like restores it).
  double transform[6];
  if (GDALGetGeoTransform(ds.get(), transform) == CE_None && std::fabs(transform[1]) <= FLT_MAX)
    header_set(h, 2, static_cast<float>(std::fabs(transform[1])));
  header_set(h, 5, nodata);
  header_derive(h);
  header_set_stats(h, raster_stats(r, nodata));
  ds.reset();

  if (!grid_save(o.output.c_str(), h, r)) {
    std::fprintf(stderr, "gridtool import: cannot write %s\n", o.output.c_str());
    return GRIDTOOL_FAILED;
  }
  std::printf("%s: %lld rows x %lld columns, no-data value %.9g (%s)\n", o.output.c_str(),
              static_cast<long long>(rows), static_cast<long long>(columns), static_cast<double>(nodata), choice.why);
  return GRIDTOOL_OK;
}
