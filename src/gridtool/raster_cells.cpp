#include "gridtool/raster_cells.h"

#include <cfloat>
#include <cmath>
#include <vector>

#include "gridtool/grid_load.h"

namespace {

inline constexpr float DEFAULT_NODATA = -9999.0f;

bool read_mask(GDALRasterBandH band, float* cells, int64_t first_row, int64_t rows) {
  if ((GDALGetMaskFlags(band) & GMF_ALL_VALID) != 0) return true;
  GDALRasterBandH mask = GDALGetMaskBand(band);
  const int columns = GDALGetRasterBandXSize(band);
  std::vector<unsigned char> line(static_cast<size_t>(columns));
  for (int64_t r = 0; r < rows; ++r) {
    if (GDALRasterIO(mask, GF_Read, 0, static_cast<int>(first_row + r), columns, 1, line.data(), columns, 1,
                     GDT_Byte, 0, 0) != CE_None)
      return false;
    float* row = cells + r * columns;
    for (int c = 0; c < columns; ++c)
      if (line[static_cast<size_t>(c)] == 0) row[c] = NAN;
  }
  return true;
}

}  // namespace

bool read_band_rows(GDALRasterBandH band, float* cells, int64_t first_row, int64_t rows,
                    GDALProgressFunc progress, void* progress_arg) {
  if (rows == 0) return true;
  const int columns = GDALGetRasterBandXSize(band);
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.pfnProgress = progress;
  extra.pProgressData = progress_arg;
  const GSpacing line = static_cast<GSpacing>(columns) * 4;
  return GDALRasterIOEx(band, GF_Read, 0, static_cast<int>(first_row), columns, static_cast<int>(rows), cells,
                        columns, static_cast<int>(rows), GDT_Float32, 4, line, &extra) == CE_None &&
         read_mask(band, cells, first_row, rows);
}

float lowest_valid(const float* cells, int64_t n, float lowest) {
  for (int64_t i = 0; i < n; ++i)
    if (cells[i] < lowest) lowest = cells[i];  // NaN never compares less
  return lowest;
}

bool usable_nodata(double v) { return std::fabs(v) <= FLT_MAX; }

nodata_choice choose_nodata(std::optional<double> asked, GDALRasterBandH band,
                            const std::function<float()>& lowest_cell) {
  if (asked) return {static_cast<float>(*asked), "as asked"};
  int has = FALSE;
  const double source = GDALGetRasterNoDataValue(band, &has);
  if (has && usable_nodata(source)) return {static_cast<float>(source), "the source's"};
  if (lowest_cell() > DEFAULT_NODATA + 1.0f)
    return {DEFAULT_NODATA, has ? "the source's is not a usable float32 value" : "the source has none"};
  return {-FLT_MAX, "the lowest float32 value, as the source has none and its cells go below -9998"};
}

int64_t count_swallowed(const float* cells, int64_t n, float nodata) {
  int64_t swallowed = 0;
  for (int64_t i = 0; i < n; ++i)
    if (!std::isnan(cells[i]) && !cell_is_valid(cells[i], nodata)) ++swallowed;
  return swallowed;
}

void copy_georeferencing(GDALDatasetH from, GDALDatasetH to) {
  double transform[6];
  if (GDALGetGeoTransform(from, transform) == CE_None) GDALSetGeoTransform(to, transform);
  const char* wkt = GDALGetProjectionRef(from);
  if (wkt != nullptr && *wkt != '\0') GDALSetProjection(to, wkt);
}
