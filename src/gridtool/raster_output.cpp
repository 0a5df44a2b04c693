#include "gridtool/raster_output.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "gridtool/gdal_support.h"

std::string partial_name(const std::string& path, const char* tag, const std::string& extension) {
  const std::string dir = CPLGetPath(path.c_str());
  const std::string base = CPLGetBasename(path.c_str());
  const std::string ext = extension.empty() ? CPLGetExtension(path.c_str()) : extension;
  const std::string name = "." + base + "." + tag + "-" + std::to_string(getpid());
  return CPLFormFilename(dir.c_str(), name.c_str(), ext.empty() ? nullptr : ext.c_str());
}

void remove_raster(GDALDriverH driver, const std::string& path) {
  CPLPushErrorHandler(CPLQuietErrorHandler);
  if (GDALDeleteDataset(driver, path.c_str()) != CE_None) VSIUnlink(path.c_str());
  // A dataset whose main file could not be written may leave a side file.
  VSIUnlink((path + ".aux.xml").c_str());
  CPLPopErrorHandler();
}

bool is_directory(const std::string& path) {
  VSIStatBufL st;
  return VSIStatL(path.c_str(), &st) == 0 && VSI_ISDIR(st.st_mode);
}

bool move_raster(GDALDriverH driver, const std::string& from, const std::string& to, std::string& why) {
  VSIStatBufL st;
  if (VSIStatL(to.c_str(), &st) == 0) {
    if (VSI_ISDIR(st.st_mode)) {
      why = to + " is a directory";
      return false;
    }
    // The old raster goes with all its files, so that no side file of it
    // (statistics, projection) is taken for part of the new one.
    CPLPushErrorHandler(CPLQuietErrorHandler);
    GDALDriverH old = GDALIdentifyDriver(to.c_str(), nullptr);
    if (old == nullptr || GDALDeleteDataset(old, to.c_str()) != CE_None) VSIUnlink(to.c_str());
    CPLPopErrorHandler();
  }
  CPLErrorReset();
  if (GDALRenameDataset(driver, to.c_str(), from.c_str()) != CE_None) {
    why = gdal_error_text();
    return false;
  }
  return true;
}

void store_band_statistics(GDALRasterBandH band, const grid_stats& s, int64_t cells) {
  const double count = static_cast<double>(s.count);
  if (!(count > 0)) return;
  if (count > 2) {
    GDALSetRasterStatistics(band, static_cast<double>(s.minimum), static_cast<double>(s.maximum),
                            static_cast<double>(s.mean), static_cast<double>(s.std_dev));
  } else {
    const auto item = [&](const char* name, float v) {
      GDALSetMetadataItem(band, name, CPLSPrintf("%.9g", static_cast<double>(v)), nullptr);
    };
    item("STATISTICS_MINIMUM", s.minimum);
    item("STATISTICS_MAXIMUM", s.maximum);
    item("STATISTICS_MEAN", s.mean);
  }
  if (cells > 0)
    GDALSetMetadataItem(band, "STATISTICS_VALID_PERCENT",
                        CPLSPrintf("%.9g", 100.0 * count / static_cast<double>(cells)), nullptr);
}

std::vector<std::string> with_bigtiff_default(GDALDriverH driver, std::vector<std::string> options) {
  const char* name = GDALGetDriverShortName(driver);
  if (!EQUAL(name, "GTiff") && !EQUAL(name, "COG")) return options;
  for (const std::string& o : options)
    if (EQUALN(o.c_str(), "BIGTIFF=", 8)) return options;
  options.push_back("BIGTIFF=IF_SAFER");
  return options;
}
