// gridtool filter end to end: rasters made through GDAL in the test are
// filtered in one command and through import, wavgrid and export --like,
// and the two results are compared bit for bit and reopened through GDAL.
#include <cpl_string.h>
#include <gdal.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gridtool_fixture.h"

namespace fs = std::filesystem;

namespace {

// The statistics GDAL holds for band 1 without computing any.
struct stored_statistics {
  bool complete = false;  // minimum, maximum, mean and standard deviation
  double minimum = 0, maximum = 0, mean = 0, std_dev = 0;
  std::optional<double> mean_item;  // STATISTICS_MEAN alone
  std::optional<double> valid_percent;
};

stored_statistics band_statistics(const std::string& path) {
  stored_statistics s;
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) return s;
  GDALRasterBandH band = GDALGetRasterBand(ds, 1);
  s.complete = GDALGetRasterStatistics(band, FALSE, FALSE, &s.minimum, &s.maximum, &s.mean, &s.std_dev) == CE_None;
  if (const char* v = GDALGetMetadataItem(band, "STATISTICS_MEAN", nullptr)) s.mean_item = CPLAtof(v);
  if (const char* v = GDALGetMetadataItem(band, "STATISTICS_VALID_PERCENT", nullptr)) s.valid_percent = CPLAtof(v);
  GDALClose(ds);
  return s;
}

std::string driver_of(const std::string& path) {
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) return "";
  std::string name = GDALGetDriverShortName(GDALGetDatasetDriver(ds));
  GDALClose(ds);
  return name;
}

// A source with holes: no-data cells in the edge rows and columns and
// inside, and a cell just above the no-data value.
std::vector<float> with_holes(int columns, int rows, float nodata, float offset = 0) {
  std::vector<float> v = terrain(columns * rows, offset);
  for (size_t i = 0; i < v.size(); i += 7) v[i] = nodata;
  v[1] = nodata;
  v[static_cast<size_t>(columns) + 3] = std::nextafter(nodata, 0.0f);
  return v;
}

std::set<std::string> files_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

struct filter_case {
  const char* name;
  raster_recipe source;
  const char* src;                    // its file name
  const char* dst;                    // the output's
  std::string window;
  std::vector<std::string> options;   // given to both paths (import or filter)
  std::vector<std::string> creation;  // --co, given to export and filter
  const char* driver;                 // of the output
  std::vector<std::string> env;
};

// One command gives the bits of three, keeps georeferencing and no-data,
// and stores the statistics wavgrid writes into its grid file.
TEST_F(Gridtool, FilterMatchesImportWavgridExport) {
  const float NaN = std::nanf("");
  const std::vector<double> utm = {440720, 30, 0, 3751320, 0, -30};
  // Wide enough that its rows stream in several bands of tiles.
  const int wide = 20000, tall = 130;
  std::vector<float> below = terrain(40, -12000);
  below[5] = NaN;
  const filter_case cases[] = {
      {"GeoTIFF with no-data holes",
       {"GTiff", 23, 17, {with_holes(23, 17, -32768)}, -32768, utm, 26711},
       "src.tif", "dst.tif", "3", {}, {}, "GTiff"},
      {"same on 3 threads, window 9",
       {"GTiff", 23, 17, {with_holes(23, 17, -32768)}, -32768, utm, 26711},
       "src.tif", "dst.tif", "9", {}, {}, "GTiff", {"WAVGRID_THREADS=3"}},
      {"tiled, compressed GeoTIFF in several bands",
       {"GTiff", wide, tall, {with_holes(wide, tall, -9999)}, -9999, {0, 1, 0, 0, 0, -1}, 3857,
        {"TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=16", "COMPRESS=DEFLATE"}},
       "src.tif", "dst.tif", "5", {},
       {"TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=16", "COMPRESS=DEFLATE"}, "GTiff"},
      {"ESRI ASCII grid",
       {"AAIGrid", 19, 11, {with_holes(19, 11, -9999)}, -9999, {100, 2, 0, 60, 0, -2}, 4326},
       "src.asc", "dst.asc", "5", {}, {}, "AAIGrid"},
      {"second band, no-data asked for",
       {"GTiff", 8, 5, {terrain(40), terrain(40, 50)}, -9999, utm, 26711},
       "src.tif", "dst.tif", "3", {"--band", "2", "--nodata", "55"}, {}, "GTiff"},
      {"no source no-data, cells below -9998",
       {"GTiff", 8, 5, {below}, {}, utm, 26711}, "src.tif", "dst.tif", "3", {}, {}, "GTiff"},
      {"into another format",
       {"GTiff", 23, 17, {with_holes(23, 17, -32768)}, -32768, utm, 26711},
       "src.tif", "dst.img", "3", {"--of", "HFA"}, {}, "HFA"},
  };
  for (const filter_case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& f : files_in(dir_)) fs::remove(path(f));
    ASSERT_TRUE(write_raster(path(c.src), c.source));

    std::vector<std::string> args = {"filter", c.src, c.dst, "--window", c.window};
    args.insert(args.end(), c.options.begin(), c.options.end());
    for (const std::string& co : c.creation) args.insert(args.end(), {"--co", co});
    const tool_result t = gridtool(args, c.env);
    ASSERT_EQ(t.status, 0) << t.err;

    // The three commands; --of is export's --format.
    std::vector<std::string> import = {"import", c.src, "in.grd"}, format;
    for (size_t i = 0; i < c.options.size(); i += 2) {
      if (c.options[i] == "--of")
        format = {"--format", c.options[i + 1]};
      else
        import.insert(import.end(), {c.options[i], c.options[i + 1]});
    }
    ASSERT_EQ(gridtool(import).status, 0);
    ASSERT_EQ(wavgrid("in.grd", "out.grd", c.window).status, 0);
    const std::string three = std::string("three.") + fs::path(c.dst).extension().string().substr(1);
    std::vector<std::string> exp = {"export", "out.grd", three, "--like", c.src};
    exp.insert(exp.end(), format.begin(), format.end());
    for (const std::string& co : c.creation) exp.insert(exp.end(), {"--co", co});
    ASSERT_EQ(gridtool(exp).status, 0);

    const std::optional<gdal_raster> one = read_raster(path(c.dst)), expected = read_raster(path(three)),
                                     source = read_raster(path(c.src));
    ASSERT_TRUE(one && expected && source);
    EXPECT_EQ(driver_of(path(c.dst)), c.driver);
    EXPECT_EQ(one->columns, source->columns);
    EXPECT_EQ(one->rows, source->rows);
    EXPECT_EQ(one->bands, 1);
    EXPECT_TRUE(same_bits(one->cells, expected->cells));
    ASSERT_TRUE(one->has_transform);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(one->transform[i], source->transform[i]) << i;
    EXPECT_TRUE(same_projection(one->wkt, epsg_wkt(c.source.epsg))) << one->wkt;
    ASSERT_TRUE(one->has_nodata);
    const loaded_grid out = load("out.grd");
    EXPECT_EQ(one->nodata, static_cast<double>(out.header.nodata));
    EXPECT_EQ(one->nodata, expected->nodata);

    const stored_statistics s = band_statistics(path(c.dst));
    ASSERT_TRUE(s.complete) << "gdalinfo shows them without computing";
    EXPECT_EQ(static_cast<float>(s.minimum), header_value(out.header, 7));
    EXPECT_EQ(static_cast<float>(s.maximum), header_value(out.header, 8));
    EXPECT_EQ(static_cast<float>(s.mean), header_value(out.header, 10));
    EXPECT_EQ(static_cast<float>(s.std_dev), header_value(out.header, 11));
    ASSERT_TRUE(s.valid_percent.has_value());
    EXPECT_NEAR(*s.valid_percent, 100.0 * header_value(out.header, 6) / (one->columns * one->rows), 1e-6);
    if (c.driver == std::string("AAIGrid")) {
      EXPECT_EQ(read_file(path(c.dst)), read_file(path(three))) << "the same text, digit for digit";
    }
  }
}

// Creation options reach the driver: the output is tiled and compressed as
// asked, and a BigTIFF when asked.
TEST_F(Gridtool, FilterPassesCreationOptions) {
  ASSERT_TRUE(write_raster(path("src.tif"), {"GTiff", 40, 30, {terrain(1200)}, -9999}));
  const tool_result t = gridtool({"filter", "src.tif", "dst.tif", "--window", "3", "--co", "TILED=YES", "--co",
                                  "COMPRESS=LZW", "--co", "BIGTIFF=YES"});
  ASSERT_EQ(t.status, 0) << t.err;
  GDALDatasetH ds = GDALOpen(path("dst.tif").c_str(), GA_ReadOnly);
  ASSERT_NE(ds, nullptr);
  int bx = 0, by = 0;
  GDALGetBlockSize(GDALGetRasterBand(ds, 1), &bx, &by);
  EXPECT_EQ(bx, 256);
  EXPECT_EQ(by, 256);
  const char* compression = GDALGetMetadataItem(ds, "COMPRESSION", "IMAGE_STRUCTURE");
  EXPECT_STREQ(compression, "LZW");
  GDALClose(ds);
  EXPECT_EQ(read_file(path("dst.tif")).substr(2, 2), std::string("\x2b\x00", 2)) << "BigTIFF magic 43";
}

// The grid's statistics rules against what GDAL can hold: nothing stored
// when no value counts (values within 1 of no-data do not), no standard
// deviation for fewer than three values.
TEST_F(Gridtool, FilterStoresStatisticsByTheGridRules) {
  const double root = std::sqrt(15.0 / 8.0);
  struct stats_case {
    const char* name;
    int columns, rows;
    std::vector<float> cells;
    bool complete;
    std::optional<double> mean;
    double std_dev = 0;
  } cases[] = {
      {"three by three", 3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}, true, 5.0, root},
      {"two values", 2, 1, {5, 7}, false, 6.0},
      {"within 1 of no-data", 3, 1, {-9998.5f, -9998.5f, -9998.5f}, false, std::nullopt},
      {"all empty", 2, 2, {ND, ND, ND, ND}, false, std::nullopt},
  };
  for (const stats_case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_raster(path("src.tif"), {"GTiff", c.columns, c.rows, {c.cells}, ND}));
    const tool_result t = gridtool({"filter", "src.tif", "dst.tif", "--window", "3"});
    ASSERT_EQ(t.status, 0) << t.err;
    const stored_statistics s = band_statistics(path("dst.tif"));
    EXPECT_EQ(s.complete, c.complete);
    EXPECT_EQ(s.mean_item, c.mean);
    if (c.complete) {
      EXPECT_EQ(static_cast<float>(s.std_dev), static_cast<float>(c.std_dev));
    }
    EXPECT_EQ(s.valid_percent.has_value(), c.mean.has_value());
  }
}

// Every failure: a message, a non-zero status, and neither DST nor a
// partial file left behind; a DST that was there before stays as it was.
TEST_F(Gridtool, FilterFailsCleanly) {
  ASSERT_TRUE(write_raster(path("src.tif"), {"GTiff", 6, 4, {terrain(24)}, -9999}));
  fs::create_directory(path("dir.tif"));
  struct failure_case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* stderr_has;
    const char* dst = "dst.tif";
    bool dst_existed = false;
  } cases[] = {
      {"missing source", {"filter", "missing.tif", "dst.tif", "--window", "3"}, 1, "cannot read missing.tif"},
      {"source not a raster", {"filter", "notes.txt", "dst.tif", "--window", "3"}, 1, "cannot read notes.txt"},
      {"no such band", {"filter", "src.tif", "dst.tif", "--window", "3", "--band", "2"}, 1, "no band 2"},
      {"band 0", {"filter", "src.tif", "dst.tif", "--window", "3", "--band", "0"}, 2, "--band"},
      {"even window", {"filter", "src.tif", "dst.tif", "--window", "4"}, 2, "odd and at least 3"},
      {"window 1", {"filter", "src.tif", "dst.tif", "--window", "1"}, 2, "odd and at least 3"},
      {"no window", {"filter", "src.tif", "dst.tif"}, 2, "--window"},
      {"directory missing", {"filter", "src.tif", "no/dst.tif", "--window", "3"}, 1, "cannot write no/dst.tif",
       "no/dst.tif"},
      {"DST a directory", {"filter", "src.tif", "dir.tif", "--window", "3"}, 1, "directory", "dir.tif", true},
      {"format without float32", {"filter", "src.tif", "dst.png", "--window", "3", "--of", "PNG"}, 1,
       "cannot store float32", "dst.png"},
      {"unknown format", {"filter", "src.tif", "dst.tif", "--window", "3", "--of", "NoSuch"}, 1, "NoSuch"},
      {"failure leaves an old DST alone", {"filter", "src.tif", "old.tif", "--window", "3", "--band", "2"}, 1,
       "no band 2", "old.tif", true},
  };
  write_file(path("notes.txt"), "not a raster\n");
  write_file(path("old.tif"), "an old result\n");
  const std::set<std::string> before = files_in(dir_);
  for (const failure_case& c : cases) {
    SCOPED_TRACE(c.name);
    const tool_result t = gridtool(c.args);
    EXPECT_EQ(t.status, c.status) << t.err;
    EXPECT_NE(t.err.find(c.stderr_has), std::string::npos) << t.err;
    EXPECT_EQ(fs::exists(path(c.dst)), c.dst_existed);
    // Only the two streams run_tool keeps may have appeared.
    std::set<std::string> after = files_in(dir_);
    after.erase(".stdout");
    after.erase(".stderr");
    EXPECT_EQ(after, before);
  }
  EXPECT_EQ(read_file(path("old.tif")), "an old result\n");
}

// A source that fails to decode halfway: rows have been written by then,
// and they must go again.
TEST_F(Gridtool, FilterRemovesWhatItWroteWhenTheSourceFailsHalfway) {
  const int columns = 20000, rows = 130;
  ASSERT_TRUE(write_raster(path("src.tif"), {"GTiff", columns, rows, {terrain(columns * rows)}, -9999, {}, 0,
                                             {"TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=16", "COMPRESS=DEFLATE"}}));
  // Garbage over the first tile of the last tile row.
  GDALDatasetH ds = GDALOpen(path("src.tif").c_str(), GA_ReadOnly);
  ASSERT_NE(ds, nullptr);
  const int tiles_across = (columns + 255) / 256, last_row = (rows - 1) / 16;
  const char* offset =
      GDALGetMetadataItem(GDALGetRasterBand(ds, 1), CPLSPrintf("BLOCK_OFFSET_0_%d", last_row), "TIFF");
  ASSERT_NE(offset, nullptr);
  const long at = std::atol(offset);
  GDALClose(ds);
  ASSERT_GT(tiles_across, 1);
  {
    std::fstream f(path("src.tif"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(at);
    const std::string garbage(64, '\x5a');
    f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  const std::set<std::string> before = files_in(dir_);
  const tool_result t = gridtool({"filter", "src.tif", "dst.tif", "--window", "3"});
  EXPECT_EQ(t.status, 1);
  EXPECT_NE(t.err.find("cannot read the cells of src.tif"), std::string::npos) << t.err;
  std::set<std::string> after = files_in(dir_);
  after.erase(".stdout");
  after.erase(".stderr");
  EXPECT_EQ(after, before);
}

TEST_F(Gridtool, FilterHasHelp) {
  const tool_result t = gridtool({"filter", "--help"});
  EXPECT_EQ(t.status, 0);
  EXPECT_NE(t.out.find("--window"), std::string::npos) << t.out;
}

}  // namespace
