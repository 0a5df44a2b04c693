// End-to-end tests of gridtool with real GDAL drivers: rasters are made in
// the test through GDAL, run through the built gridtool and wavgrid binaries,
// and the files they write are reopened through GDAL and the grid reader.
#include <cpl_conv.h>
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_srs_api.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "compute/focal_mean.h"
#include "compute/stats.h"
#include "grid/grid_file.h"
#include "gridtool/grid_load.h"
#include "gridtool_fixture.h"

namespace fs = std::filesystem;

namespace {

// The bytes of one band of a PNG, as GDAL decodes it.
std::vector<uint8_t> png_band(const std::string& path, int band) {
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) return {};
  const int w = GDALGetRasterXSize(ds), h = GDALGetRasterYSize(ds);
  std::vector<uint8_t> v(static_cast<size_t>(w) * static_cast<size_t>(h));
  if (GDALRasterIO(GDALGetRasterBand(ds, band), GF_Read, 0, 0, w, h, v.data(), w, h, GDT_Byte, 0, 0) != CE_None)
    v.clear();
  GDALClose(ds);
  return v;
}

// The mean filter of the project's reference definition.
std::vector<float> filtered(const std::vector<float>& cells, int rows, int columns, float nodata,
                            int64_t half_width) {
  grid_raster in, out;
  raster_create(in, rows, columns);
  raster_create(out, rows, columns);
  std::copy(cells.begin(), cells.end(), in.cells.get());
  focal_mean_rows(in, out, 0, rows, nodata, half_width);
  return std::vector<float>(out.cells.get(), out.cells.get() + cells.size());
}

// GeoTIFF -> grid -> wavgrid -> GeoTIFF (and the same for an ESRI ASCII
// grid) keeps its place on the map, its no-data value and the filtered
// values to the bit.
TEST_F(Gridtool, RoundTripThroughWavgridKeepsThePlaceOnTheMap) {
  struct round_trip {
    const char* driver;
    const char* ext;
    double nodata;
    std::vector<double> transform;
    int epsg;
  } cases[] = {
      {"GTiff", "tif", -32768, {440720, 30, 0, 3751320, 0, -30}, 26711},
      {"AAIGrid", "asc", -9999, {100, 2, 0, 60, 0, -2}, 4326},
  };
  const int columns = 7, rows = 5;
  for (const round_trip& c : cases) {
    SCOPED_TRACE(c.driver);
    std::vector<float> cells = terrain(columns * rows);
    const float nd = static_cast<float>(c.nodata);
    cells[3] = nd;   // empty cells at the edge and inside
    cells[17] = nd;
    const std::string src = std::string("src.") + c.ext, back = std::string("back.") + c.ext;
    ASSERT_TRUE(write_raster(path(src), {c.driver, columns, rows, {cells}, c.nodata, c.transform, c.epsg}));

    const tool_result imported = gridtool({"import", src, "in.grd"});
    ASSERT_EQ(imported.status, 0) << imported.err;
    const loaded_grid in = load("in.grd");
    EXPECT_EQ(in.header.columns, columns);
    EXPECT_EQ(in.header.rows, rows);
    EXPECT_EQ(in.header.nodata, nd) << "the source's no-data value";
    EXPECT_TRUE(same_bits(grid_cells(in), cells));
    const grid_stats s = raster_stats(in.raster, nd);
    EXPECT_EQ(header_value(in.header, 6), s.count);
    EXPECT_EQ(header_value(in.header, 6), static_cast<float>(columns * rows - 2));
    EXPECT_EQ(header_value(in.header, 10), s.mean);
    EXPECT_EQ(header_value(in.header, 11), s.std_dev);

    ASSERT_EQ(wavgrid("in.grd", "out.grd", "3").status, 0);
    const tool_result exported = gridtool({"export", "out.grd", back, "--like", src});
    ASSERT_EQ(exported.status, 0) << exported.err;

    const std::optional<gdal_raster> r = read_raster(path(back));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->columns, columns);
    EXPECT_EQ(r->rows, rows);
    ASSERT_TRUE(r->has_transform);
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(r->transform[i], c.transform[static_cast<size_t>(i)]) << i;
    EXPECT_TRUE(same_projection(r->wkt, epsg_wkt(c.epsg))) << r->wkt;
    ASSERT_TRUE(r->has_nodata);
    EXPECT_EQ(r->nodata, c.nodata);
    EXPECT_TRUE(same_bits(r->cells, filtered(cells, rows, columns, nd, 1)));
  }
}

// Where the no-data value comes from, and which cells become empty.
TEST_F(Gridtool, ImportChoosesTheNoDataValueAndEmptiesMissingCells) {
  const float NaN = std::nanf("");
  struct import_case {
    const char* name;
    std::vector<std::vector<float>> bands;  // 2 x 2 each
    std::optional<double> source_nodata;
    std::vector<std::string> options;
    int status;
    float nodata;
    std::vector<float> cells;
    const char* stderr_has = "";
  } cases[] = {
      {"source's value", {{1, -5, 3, 4}}, -5, {}, 0, -5, {1, -5, 3, 4}},
      {"none and nothing missing", {{1, 2, 3, 4}}, {}, {}, 0, ND, {1, 2, 3, 4}},
      {"none, NaN cells are missing", {{1, NaN, 3, 4}}, {}, {}, 0, ND, {1, ND, 3, 4}},
      {"NaN as the source's value", {{1, NaN, 3, 4}}, NAN, {}, 0, ND, {1, ND, 3, 4}},
      {"cells reaching down to -9998 keep their value",
       {{-12000, 2, NaN, 4}}, {}, {}, 0, -FLT_MAX, {-12000, 2, -FLT_MAX, 4}},
      {"asked for", {{1, -5, 3, 4}}, -5, {"--nodata", "-1"}, 0, -1, {1, -1, 3, 4}},
      {"asked for, swallowing a cell", {{1, -5, -2, 4}}, -5, {"--nodata", "-1"}, 0, -1, {1, -1, -1, 4},
       "1 cell(s)"},
      {"second band", {{1, 2, 3, 4}, {5, 6, 7, 8}}, {}, {"--band", "2"}, 0, ND, {5, 6, 7, 8}},
      {"missing band", {{1, 2, 3, 4}}, {}, {"--band", "2"}, 1, 0, {}, "no band 2"},
      {"band 0", {{1, 2, 3, 4}}, {}, {"--band", "0"}, 2, 0, {}},
  };
  for (const import_case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_raster(path("src.tif"), {"GTiff", 2, 2, c.bands, c.source_nodata}));
    fs::remove(path("in.grd"));
    std::vector<std::string> args = {"import", "src.tif", "in.grd"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const tool_result t = gridtool(args);
    EXPECT_EQ(t.status, c.status) << t.err;
    EXPECT_NE(t.err.find(c.stderr_has), std::string::npos) << t.err;
    if (c.status != 0) {
      EXPECT_FALSE(fs::exists(path("in.grd")));
      continue;
    }
    const loaded_grid g = load("in.grd");
    EXPECT_EQ(g.header.nodata, c.nodata);
    EXPECT_TRUE(same_bits(grid_cells(g), c.cells));
  }
}

TEST_F(Gridtool, ExportSetsNoDataOnEveryEmptyCellAndChoosesTheDriverByExtension) {
  // A cell below the no-data value is empty in the grid file; outside it
  // must carry the exact no-data value, or GDAL would take it for data.
  write_grid("g.grd", 3, 1, ND, {-20000, 5, ND});
  struct export_case {
    std::vector<std::string> args;
    int status;
    const char* driver;  // as GDAL reports on reopening
    const char* stderr_has = "";
  } cases[] = {
      {{"export", "g.grd", "g.tif"}, 0, "GTiff"},
      {{"export", "g.grd", "g.TIFF"}, 0, "GTiff"},
      {{"export", "g.grd", "g.img"}, 0, "HFA"},
      {{"export", "g.grd", "g.asc"}, 0, "AAIGrid"},
      {{"export", "g.grd", "g.data", "--format", "GTiff"}, 0, "GTiff"},
      {{"export", "g.grd", "g.png"}, 1, nullptr, "cannot store float32"},
      {{"export", "g.grd", "g"}, 1, nullptr, "no extension"},
      {{"export", "g.grd", "g.nosuchext"}, 1, nullptr, ".nosuchext"},
      {{"export", "g.grd", "g.tif", "--like", "missing.tif"}, 1, nullptr, "missing.tif"},
  };
  for (const export_case& c : cases) {
    SCOPED_TRACE(c.args[2]);
    const tool_result t = gridtool(c.args);
    EXPECT_EQ(t.status, c.status) << t.err;
    EXPECT_NE(t.err.find(c.stderr_has), std::string::npos) << t.err;
    if (c.status != 0) continue;
    GDALDatasetH ds = GDALOpen(path(c.args[2]).c_str(), GA_ReadOnly);
    ASSERT_NE(ds, nullptr);
    EXPECT_STREQ(GDALGetDriverShortName(GDALGetDatasetDriver(ds)), c.driver);
    GDALClose(ds);
    const std::optional<gdal_raster> r = read_raster(path(c.args[2]));
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->has_nodata);
    EXPECT_EQ(r->nodata, ND);
    EXPECT_TRUE(same_bits(r->cells, {ND, 5, ND}));
  }
}

TEST_F(Gridtool, ExportLikeARasterOfAnotherShapeIsRefused) {
  write_grid("g.grd", 3, 2, ND, {1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(write_raster(path("other.tif"), {"GTiff", 2, 3, {{1, 2, 3, 4, 5, 6}}, {}, {0, 1, 0, 0, 0, -1}}));
  const tool_result t = gridtool({"export", "g.grd", "g.tif", "--like", "other.tif"});
  EXPECT_EQ(t.status, 1);
  EXPECT_NE(t.err.find("would not fit"), std::string::npos) << t.err;
}

// The preview: right size, empty cells transparent, the ramp's two ends on
// the lowest and highest valid cell (of both grids when side by side).
TEST_F(Gridtool, RenderWritesAnRgbaPngWithTransparentEmptyCells) {
  // 4 columns x 3 rows; one cell at the no-data value, one below it.
  write_grid("a.grd", 4, 3, ND, {1, 2, 3, 4, 5, ND, 7, 8, 9, 10, -20000, 12});
  write_grid("b.grd", 4, 3, ND, {1, 2, 3, 4, 5, ND, 7, 8, 9, 10, -20000, 24});
  const size_t empty_a = 5, empty_b = 10, lowest = 0, highest_a = 11;
  const uint8_t ramp_low[3] = {68, 1, 84}, ramp_high[3] = {253, 231, 37};
  struct render_case {
    const char* name;
    std::vector<std::string> extra;
    int width, height;
    int scale;         // pixels per cell
    bool a_has_top;    // the highest value of the picture lies in a
    bool check_colour; // unshaded
  } cases[] = {
      {"one pixel per cell", {}, 4, 3, 1, true, true},
      {"scaled", {"--width", "12"}, 12, 9, 3, true, true},
      {"hillshade", {"--hillshade"}, 4, 3, 1, true, false},
      {"beside", {"--beside", "b.grd"}, 12, 3, 1, false, true},
  };
  for (const render_case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"render", "a.grd", "a.png"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const tool_result t = gridtool(args);
    ASSERT_EQ(t.status, 0) << t.err;
    GDALDatasetH ds = GDALOpen(path("a.png").c_str(), GA_ReadOnly);
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(GDALGetRasterXSize(ds), c.width);
    EXPECT_EQ(GDALGetRasterYSize(ds), c.height);
    EXPECT_EQ(GDALGetRasterCount(ds), 4);
    GDALClose(ds);
    const std::vector<uint8_t> alpha = png_band(path("a.png"), 4);
    ASSERT_EQ(alpha.size(), static_cast<size_t>(c.width * c.height));
    // Pixel of grid a's cell i, top-left pixel of its block.
    auto pixel = [&](size_t cell) {
      return (cell / 4) * static_cast<size_t>(c.scale) * static_cast<size_t>(c.width) +
             (cell % 4) * static_cast<size_t>(c.scale);
    };
    for (size_t cell = 0; cell < 12; ++cell) {
      const bool empty = cell == empty_a || cell == empty_b;
      for (int dy = 0; dy < c.scale; ++dy)
        for (int dx = 0; dx < c.scale; ++dx)
          EXPECT_EQ(alpha[pixel(cell) + static_cast<size_t>(dy * c.width + dx)], empty ? 0 : 255) << cell;
    }
    if (!c.check_colour) continue;
    for (int band = 0; band < 3; ++band) {
      const std::vector<uint8_t> v = png_band(path("a.png"), band + 1);
      EXPECT_EQ(v[pixel(lowest)], ramp_low[band]);
      if (c.a_has_top) {
        EXPECT_EQ(v[pixel(highest_a)], ramp_high[band]);
      } else {
        EXPECT_NE(v[pixel(highest_a)], ramp_high[band]) << "b's 24 is the top of the shared range";
      }
    }
  }
  // Between the panels of the side-by-side picture: transparent.
  const std::vector<uint8_t> alpha = png_band(path("a.png"), 4);
  for (size_t x = 4; x < 8; ++x) EXPECT_EQ(alpha[x], 0) << x;
  EXPECT_EQ(alpha[8], 255);
}

TEST_F(Gridtool, DiffFindsEveryKindOfDifference) {
  const std::vector<float> cells = terrain(12);
  write_grid("a.grd", 4, 3, ND, cells);
  std::vector<float> one_ulp = cells;
  one_ulp[6] = std::nextafter(one_ulp[6], INFINITY);
  write_grid("one_ulp.grd", 4, 3, ND, one_ulp);
  std::vector<float> emptied = cells;
  emptied[11] = ND;
  write_grid("emptied.grd", 4, 3, ND, emptied);
  write_grid("shape.grd", 3, 4, ND, cells);
  write_grid("nodata.grd", 4, 3, -1, cells);
  write_file(path("trailing.grd"), read_file(path("a.grd")) + "xyz");
  struct diff_case {
    const char* b;
    int status;
    std::vector<std::string> stdout_has;
    const char* stderr_has = "";
  } cases[] = {
      {"a.grd", 0, {}},
      {"one_ulp.grd", 1,
       {"1 of 12 cells differ\n", "largest difference in ulps: 1 at row 1, column 2", "  1, 2: "}},
      {"emptied.grd", 1, {"1 of 12 cells differ, 1 of them empty in one grid only", "row 2, column 3"}},
      {"shape.grd", 1, {"shape differs", "header position 0 (columns)"}},
      {"nodata.grd", 1, {"header position 5 (no-data): -9999 vs -1"}},
      {"trailing.grd", 0, {"3 bytes after its last cell"}},
      {"missing.grd", 2, {}, "missing.grd"},
  };
  for (const diff_case& c : cases) {
    SCOPED_TRACE(c.b);
    const tool_result t = gridtool({"diff", "a.grd", c.b});
    EXPECT_EQ(t.status, c.status) << t.out << t.err;
    for (const std::string& s : c.stdout_has) EXPECT_NE(t.out.find(s), std::string::npos) << t.out;
    if (c.stdout_has.empty() && c.status != 2) {
      EXPECT_EQ(t.out, "");
    }
    EXPECT_NE(t.err.find(c.stderr_has), std::string::npos) << t.err;
  }
}

TEST_F(Gridtool, InfoShowsLengthHeaderAndBothStatistics) {
  // Stale statistics in the header (grid_file_bytes fills in 123..128).
  write_grid("g.grd", 2, 2, ND, {10, 11, 12, ND});
  write_file(path("trailing.grd"), read_file(path("g.grd")) + "12345");
  struct info_case {
    const char* file;
    int status;
    std::vector<std::string> stdout_has;
    const char* stderr_has = "";
  } cases[] = {
      {"g.grd", 0,
       {"length:      64 bytes: complete\n", "columns:     2\n", "no-data:     -9999\n",
        "positions 2 to 4 (passed through): 25 100.5 -7.25\n", "  count      123              3  differs\n",
        "  mean       127              11  differs\n", "  std dev    128              1  differs\n",
        "do not match"}},
      {"trailing.grd", 0, {"69 bytes: complete, with 5 trailing bytes"}},
  };
  for (const info_case& c : cases) {
    SCOPED_TRACE(c.file);
    const tool_result t = gridtool({"info", c.file});
    EXPECT_EQ(t.status, c.status) << t.err;
    for (const std::string& s : c.stdout_has) EXPECT_NE(t.out.find(s), std::string::npos) << t.out;
  }
  // Once wavgrid has written them, stored and computed agree.
  ASSERT_EQ(wavgrid("g.grd", "f.grd", "3").status, 0);
  const tool_result t = gridtool({"info", "f.grd"});
  EXPECT_EQ(t.status, 0);
  EXPECT_NE(t.out.find("stored statistics match the cells"), std::string::npos) << t.out;
  EXPECT_EQ(t.out.find("differs"), std::string::npos) << t.out;
}

// Damaged grid files: every subcommand that reads one says what is wrong
// with it on standard error and fails; none crashes. One test per command,
// so that ctest runs them side by side.
struct reading_command {
  const char* name;
  std::vector<std::string> args;  // "bad.grd" is the damaged file
  int status;
};

void PrintTo(const reading_command& c, std::ostream* os) { *os << c.name; }

class DamagedGrid : public Gridtool, public ::testing::WithParamInterface<reading_command> {};

TEST_P(DamagedGrid, IsReportedNeverCrashes) {
  const reading_command& c = GetParam();
  const std::string whole = grid_file_bytes(4, 3, ND, terrain(12));
  struct damaged {
    const char* name;
    std::string bytes;
    const char* says;
  } files[] = {
      {"empty", "", "too short for the 48-byte header"},
      {"half a header", whole.substr(0, 22), "too short for the 48-byte header"},
      {"cut inside the cells", whole.substr(0, 48 + 4 * 5 + 2), "only 5 of the 12 cells"},
      {"negative columns", grid_file_bytes(-4, 3, ND, terrain(12)), "number of columns is -4 (negative)"},
      {"NaN rows", grid_file_bytes(4, std::nanf(""), ND, terrain(12)), "number of rows is nan"},
      {"huge claim in a small file", grid_file_bytes(3e9f, 2e9f, ND, {}), "too large"},
      {"claims a terabyte", grid_file_bytes(1e6f, 1e6f, ND, {}), "only 0 of the 1000000000000 cells"},
      {"text", std::string("ncols 4\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 1\n"), "not a grid file"},
  };
  write_file(path("good.grd"), whole);
  for (const damaged& f : files) {
    SCOPED_TRACE(f.name);
    write_file(path("bad.grd"), f.bytes);
    const tool_result t = gridtool(c.args);
    EXPECT_EQ(t.status, c.status) << t.err;
    EXPECT_NE(t.err.find("bad.grd: "), std::string::npos) << t.err;
    EXPECT_NE(t.err.find(f.says), std::string::npos) << t.err;
    EXPECT_FALSE(fs::exists(path("out.tif")) || fs::exists(path("out.png")));
  }
}

INSTANTIATE_TEST_SUITE_P(Gridtool, DamagedGrid,
                         ::testing::Values(reading_command{"info", {"info", "bad.grd"}, 1},
                                           reading_command{"diff_first", {"diff", "bad.grd", "good.grd"}, 2},
                                           reading_command{"diff_second", {"diff", "good.grd", "bad.grd"}, 2},
                                           reading_command{"export", {"export", "bad.grd", "out.tif"}, 1},
                                           reading_command{"render", {"render", "bad.grd", "out.png"}, 1},
                                           reading_command{"render_beside",
                                                           {"render", "good.grd", "out.png", "--beside", "bad.grd"},
                                                           1}),
                         [](const ::testing::TestParamInfo<reading_command>& i) { return i.param.name; });

TEST_F(Gridtool, MakeWritesTheProjectsTerrainWithItsStatistics) {
  ASSERT_EQ(gridtool({"make", "a.grd", "--rows", "40", "--cols", "30", "--seed", "3", "--holes", "0.5"}).status, 0);
  ASSERT_EQ(gridtool({"make", "b.grd", "--rows", "40", "--cols", "30", "--seed", "3", "--holes", "0.5"}).status, 0);
  ASSERT_EQ(gridtool({"make", "c.grd", "--rows", "40", "--cols", "30", "--seed", "4", "--integer"}).status, 0);
  EXPECT_EQ(read_file(path("a.grd")), read_file(path("b.grd"))) << "same seed, same grid";
  const loaded_grid a = load("a.grd"), c = load("c.grd");
  EXPECT_EQ(a.header.rows, 40);
  EXPECT_EQ(a.header.columns, 30);
  const grid_stats s = raster_stats(a.raster, a.header.nodata);
  EXPECT_EQ(header_value(a.header, 6), s.count);
  EXPECT_EQ(header_value(a.header, 9), s.sum);
  EXPECT_LT(s.count, 1200.0f) << "holes were made";
  EXPECT_GT(s.count, 0.0f);
  for (float v : grid_cells(c)) EXPECT_EQ(v, std::nearbyint(v));
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"make", "x.grd", "--rows", "4"},
           {"make", "x.grd", "--rows", "4", "--cols", "4", "--holes", "1.5"},
           {"make", "x.grd", "--rows", "-1", "--cols", "4"},
           {"make", "x.grd", "--rows", "16777217", "--cols", "1"},
       }) {
    EXPECT_EQ(gridtool(bad).status, 2) << bad[2];
    EXPECT_FALSE(fs::exists(path("x.grd")));
  }
}

TEST_F(Gridtool, EverySubcommandHasHelp) {
  for (const char* sub : {"import", "export", "info", "render", "diff", "make"}) {
    const tool_result t = gridtool({sub, "--help"});
    EXPECT_EQ(t.status, 0) << sub;
    EXPECT_NE(t.out.find(std::string("gridtool ") + sub), std::string::npos) << t.out;
  }
  const tool_result none = gridtool({});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("subcommand"), std::string::npos) << none.err;
}

}  // namespace
