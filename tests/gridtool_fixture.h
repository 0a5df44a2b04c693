// The shared ground of gridtool's end-to-end tests: rasters made and read
// back through GDAL, and a fixture that runs the built binaries in a
// temporary directory of its own.
#pragma once

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_srs_api.h>
#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "grid/grid_file.h"
#include "gridtool/grid_load.h"
#include "run_tool.h"
#include "test_grids.h"

inline const float ND = -9999.0f;

// A raster as GDAL sees it.
struct gdal_raster {
  int columns = 0;
  int rows = 0;
  int bands = 0;
  bool has_transform = false;
  double transform[6] = {};
  std::string wkt;
  bool has_nodata = false;
  double nodata = 0;
  std::vector<float> cells;  // band 1 as float32
};

// What a test raster is made of.
struct raster_recipe {
  const char* driver = "GTiff";
  int columns = 0;
  int rows = 0;
  std::vector<std::vector<float>> bands;
  std::optional<double> nodata;
  std::vector<double> transform;  // empty: none
  int epsg = 0;                   // 0: no projection
  std::vector<std::string> options;  // creation options of the driver
};

inline std::string epsg_wkt(int epsg) {
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  OSRImportFromEPSG(srs, epsg);
  char* wkt = nullptr;
  OSRExportToWkt(srs, &wkt);
  std::string s = wkt;
  CPLFree(wkt);
  OSRDestroySpatialReference(srs);
  return s;
}

// Builds the raster in memory and copies it out with the named driver (the
// ASCII grid driver can only copy, not create).
inline bool write_raster(const std::string& path, const raster_recipe& s) {
  GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", s.columns, s.rows,
                                static_cast<int>(s.bands.size()), GDT_Float32, nullptr);
  bool ok = mem != nullptr;
  for (size_t b = 0; ok && b < s.bands.size(); ++b) {
    GDALRasterBandH band = GDALGetRasterBand(mem, static_cast<int>(b) + 1);
    ok = GDALRasterIO(band, GF_Write, 0, 0, s.columns, s.rows, const_cast<float*>(s.bands[b].data()), s.columns,
                      s.rows, GDT_Float32, 0, 0) == CE_None;
    if (s.nodata) GDALSetRasterNoDataValue(band, *s.nodata);
  }
  if (ok && !s.transform.empty()) GDALSetGeoTransform(mem, const_cast<double*>(s.transform.data()));
  if (ok && s.epsg != 0) GDALSetProjection(mem, epsg_wkt(s.epsg).c_str());
  char** options = nullptr;
  for (const std::string& o : s.options) options = CSLAddString(options, o.c_str());
  GDALDatasetH out =
      ok ? GDALCreateCopy(GDALGetDriverByName(s.driver), path.c_str(), mem, FALSE, options, nullptr, nullptr)
         : nullptr;
  CSLDestroy(options);
  if (out != nullptr) GDALClose(out);
  if (mem != nullptr) GDALClose(mem);
  return out != nullptr;
}

inline std::optional<gdal_raster> read_raster(const std::string& path) {
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) return std::nullopt;
  gdal_raster r;
  r.columns = GDALGetRasterXSize(ds);
  r.rows = GDALGetRasterYSize(ds);
  r.bands = GDALGetRasterCount(ds);
  r.has_transform = GDALGetGeoTransform(ds, r.transform) == CE_None;
  r.wkt = GDALGetProjectionRef(ds);
  int has = FALSE;
  r.nodata = GDALGetRasterNoDataValue(GDALGetRasterBand(ds, 1), &has);
  r.has_nodata = has != FALSE;
  r.cells.resize(static_cast<size_t>(r.columns) * static_cast<size_t>(r.rows));
  const CPLErr e = GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Read, 0, 0, r.columns, r.rows, r.cells.data(),
                                r.columns, r.rows, GDT_Float32, 0, 0);
  GDALClose(ds);
  if (e != CE_None) return std::nullopt;
  return r;
}

inline bool same_projection(const std::string& a, const std::string& b) {
  OGRSpatialReferenceH sa = OSRNewSpatialReference(a.c_str());
  OGRSpatialReferenceH sb = OSRNewSpatialReference(b.c_str());
  const bool same = sa != nullptr && sb != nullptr && OSRIsSame(sa, sb) != 0;
  OSRDestroySpatialReference(sa);
  OSRDestroySpatialReference(sb);
  return same;
}

inline bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::bit_cast<uint32_t>(a[i]) != std::bit_cast<uint32_t>(b[i])) return false;
  return true;
}

// A ramp of distinct values with no pattern the filter could hide.
inline std::vector<float> terrain(int n, float offset = 0) {
  std::vector<float> v;
  for (int i = 0; i < n; ++i) v.push_back(offset + static_cast<float>((i * 37) % 101) * 1.25f - 3.0f);
  return v;
}

class Gridtool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { GDALAllRegister(); }
  void SetUp() override {
    char tmpl[] = "/tmp/gridtool-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  tool_result gridtool(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), GRIDTOOL_BIN);
    return run_tool(dir_, args, "", env);
  }
  tool_result wavgrid(const std::string& in, const std::string& out, const std::string& window) {
    return run_tool(dir_, {WAVGRID_BIN, in, out, window}, "");
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Loads a grid file the test expects to be whole.
  loaded_grid load(const std::string& name) {
    loaded_grid g;
    EXPECT_EQ(grid_load(path(name).c_str(), g), load_status::ok) << name;
    return g;
  }
  void write_grid(const std::string& name, int columns, int rows, float nodata, const std::vector<float>& cells) {
    write_file(path(name), grid_file_bytes(static_cast<float>(columns), static_cast<float>(rows), nodata, cells));
  }

  std::string dir_;
};

inline std::vector<float> grid_cells(const loaded_grid& g) {
  return std::vector<float>(g.raster.cells.get(), g.raster.cells.get() + raster_cells(g.raster));
}

