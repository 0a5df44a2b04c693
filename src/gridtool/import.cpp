// gridtool import: any raster GDAL reads becomes a grid file. The cells are
// read as float32; cells GDAL reports as missing (no-data, masked, NaN)
// become the grid's no-data value; the statistics block is the one wavgrid
// computes for its own output.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <vector>

#include "compute/stats.h"
#include "grid/grid_file.h"
#include "grid/synth_grid.h"
#include "gridtool/commands.h"
#include "gridtool/gdal_support.h"
#include "gridtool/grid_load.h"
#include "gridtool/progress.h"

namespace {

inline constexpr float DEFAULT_NODATA = -9999.0f;

// Reads the band's cells as float32 into r.
bool read_cells(GDALRasterBandH band, grid_raster& r) {
  progress_bar bar = progress_on_stderr();
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.pfnProgress = progress_report;
  extra.pProgressData = &bar;
  const int columns = static_cast<int>(r.columns), rows = static_cast<int>(r.rows);
  return GDALRasterIOEx(band, GF_Read, 0, 0, columns, rows, r.cells.get(), columns, rows, GDT_Float32, 0, 0,
                        &extra) == CE_None;
}

// Sets every cell that GDAL's mask marks as missing to NaN, so that from here
// on NaN alone means "empty". The mask covers no-data values (compared in the
// source's own data type), alpha bands and per-dataset masks alike.
bool apply_mask(GDALRasterBandH band, grid_raster& r) {
  if ((GDALGetMaskFlags(band) & GMF_ALL_VALID) != 0) return true;
  GDALRasterBandH mask = GDALGetMaskBand(band);
  std::vector<unsigned char> line(static_cast<size_t>(r.columns));
  for (int64_t row = 0; row < r.rows; ++row) {
    if (GDALRasterIO(mask, GF_Read, 0, static_cast<int>(row), static_cast<int>(r.columns), 1, line.data(),
                     static_cast<int>(r.columns), 1, GDT_Byte, 0, 0) != CE_None)
      return false;
    float* cells = raster_row(r, row);
    for (int64_t c = 0; c < r.columns; ++c)
      if (line[static_cast<size_t>(c)] == 0) cells[c] = NAN;
  }
  return true;
}

float lowest_valid(const grid_raster& r) {
  float lowest = INFINITY;
  for (int64_t i = 0; i < raster_cells(r); ++i)
    if (r.cells[i] < lowest) lowest = r.cells[i];  // NaN never compares less
  return lowest;
}

// The grid's no-data value: the one asked for, else the source's when a
// float32 can hold it usefully (a NaN would make every cell empty), else
// -9999. When the source has none and cells reach down to -9998, those cells
// would be empty or uncounted under -9999, so the lowest float is taken.
float choose_nodata(const import_options& o, GDALRasterBandH band, const grid_raster& r, const char** why) {
  if (o.nodata) {
    *why = "as asked";
    return static_cast<float>(*o.nodata);
  }
  int has = FALSE;
  const double source = GDALGetRasterNoDataValue(band, &has);
  if (has && !std::isnan(source) && std::fabs(source) <= FLT_MAX) {
    *why = "the source's";
    return static_cast<float>(source);
  }
  if (lowest_valid(r) > DEFAULT_NODATA + 1.0f) {
    *why = has ? "the source's is not a usable float32 value" : "the source has none";
    return DEFAULT_NODATA;
  }
  *why = "the lowest float32 value, as the source has none and its cells go below -9998";
  return -FLT_MAX;
}

// Cells the source holds as values but the grid cannot: not above the
// no-data value. They become empty; the user is told how many.
int64_t count_swallowed(const grid_raster& r, float nodata) {
  int64_t n = 0;
  for (int64_t i = 0; i < raster_cells(r); ++i)
    if (!std::isnan(r.cells[i]) && !cell_is_valid(r.cells[i], nodata)) ++n;
  return n;
}

}  // namespace

int run_import(const import_options& o) {
  const char* src = o.source.c_str();
  if (o.nodata && !(std::fabs(*o.nodata) <= FLT_MAX)) {
    std::fprintf(stderr, "gridtool import: --nodata %g is not a finite float32 value\n", *o.nodata);
    return GRIDTOOL_USAGE;
  }
  dataset_ptr ds = open_raster(src);
  if (!ds) {
    std::fprintf(stderr, "gridtool import: cannot read %s as a raster: %s\n", src, gdal_error_text().c_str());
    return GRIDTOOL_FAILED;
  }
  const int bands = GDALGetRasterCount(ds.get());
  if (o.band > bands) {
    std::fprintf(stderr, "gridtool import: %s has %d band(s), so there is no band %d\n", src, bands, o.band);
    return GRIDTOOL_FAILED;
  }
  GDALRasterBandH band = GDALGetRasterBand(ds.get(), o.band);
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
  if (!read_cells(band, r) || !apply_mask(band, r)) {
    std::fprintf(stderr, "gridtool import: cannot read the cells of %s: %s\n", src, gdal_error_text().c_str());
    return GRIDTOOL_FAILED;
  }

  const char* why = "";
  const float nodata = choose_nodata(o, band, r, &why);
  const int64_t swallowed = count_swallowed(r, nodata);
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
              static_cast<long long>(rows), static_cast<long long>(columns), static_cast<double>(nodata), why);
  return GRIDTOOL_OK;
}
