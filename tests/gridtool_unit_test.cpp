// gridtool's own arithmetic: distances between floats, the comparison of
// two grids, the colour ramp and the progress bar.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "gridtool/grid_compare.h"
#include "gridtool/preview.h"
#include "gridtool/progress.h"

namespace {

TEST(UlpDistance, CountsRepresentableStepsAcrossZero) {
  const float denorm = std::nextafter(0.0f, 1.0f);
  struct Case {
    float a, b;
    uint64_t ulps;
  } cases[] = {
      {1.0f, 1.0f, 0},
      {0.0f, -0.0f, 0},
      {1.0f, std::nextafter(1.0f, 2.0f), 1},
      {-denorm, denorm, 2},
      {-0.0f, denorm, 1},
      {1.0f, 2.0f, 1u << 23},  // one binade
      {-1.0f, -2.0f, 1u << 23},
      {FLT_MAX, INFINITY, 1},
      {-FLT_MAX, FLT_MAX, 2 * static_cast<uint64_t>(0x7f7fffff)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ulp_distance(c.a, c.b), c.ulps) << c.a << " " << c.b;
    EXPECT_EQ(ulp_distance(c.b, c.a), c.ulps) << "symmetric";
  }
}

TEST(CompareRow, CountsAndLocatesDifferences) {
  const float NaN = std::nanf("");
  const float nd = -9999.0f;
  //                            same  +0/-0  ulp    big    emptied NaN
  const std::vector<float> a = {1.0f, 0.0f, 5.0f, 10.0f, 3.0f, NaN, 7.0f};
  const std::vector<float> b = {1.0f, -0.0f, std::nextafter(5.0f, 9.0f), 14.5f, nd, 2.0f, 7.0f};
  cell_comparison r;
  compare_row(a.data(), b.data(), 4, 7, nd, nd, 3, r);
  EXPECT_EQ(r.differing, 5);
  EXPECT_EQ(r.validity_changes, 2) << "the emptied cell and the NaN one";
  EXPECT_EQ(r.with_nan, 1);
  EXPECT_EQ(r.largest_abs, 3.0 - nd);
  EXPECT_EQ(r.largest_abs_at.column, 4);
  EXPECT_EQ(r.largest_ulp_at.column, 4);
  ASSERT_EQ(r.first.size(), 3u) << "kept as many as asked";
  EXPECT_EQ(r.first[0].row, 4);
  EXPECT_EQ(r.first[0].column, 1);
  EXPECT_EQ(r.first[2].column, 3);
  EXPECT_EQ(r.first[2].b, 14.5f);

  // The next row goes on counting where the first one stopped.
  compare_row(a.data(), a.data(), 5, 7, nd, nd, 3, r);
  EXPECT_EQ(r.differing, 5);
}

TEST(Preview, RampRunsFromEndToEndAndRangeSkipsEmptyCells) {
  const rgb low = ramp_colour(0), high = ramp_colour(1), below = ramp_colour(-3), above = ramp_colour(7);
  EXPECT_EQ(low.r, below.r);
  EXPECT_EQ(high.g, above.g);
  EXPECT_NE(low.g, high.g);
  const rgb nan = ramp_colour(std::nan(""));
  EXPECT_EQ(nan.b, low.b);

  grid_raster r;
  raster_create(r, 1, 4);
  const float cells[4] = {-9999.0f, 8.0f, -20000.0f, 2.5f};
  std::copy(cells, cells + 4, r.cells.get());
  value_range range;
  range_include(range, r, -9999.0f);
  EXPECT_TRUE(range.any);
  EXPECT_EQ(range.low, 2.5f);
  EXPECT_EQ(range.high, 8.0f);

  rgba_canvas c;
  canvas_create(c, 6, 1);
  paint_grid(c, 2, r, -9999.0f, range, nullptr);
  const uint8_t* alpha = canvas_plane(c, 3);
  const std::vector<uint8_t> expected_alpha = {0, 0, 0, 255, 0, 255};
  EXPECT_EQ(std::vector<uint8_t>(alpha, alpha + 6), expected_alpha);
  EXPECT_EQ(canvas_plane(c, 1)[3], high.g);
  EXPECT_EQ(canvas_plane(c, 1)[5], low.g);
}

TEST(Progress, DrawsTicksOnceEachAndFinishes) {
  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  progress_bar bar{f};
  for (int64_t done = 0; done <= 7; ++done) progress_step(bar, done, 7);
  progress_step(bar, 7, 7);  // repeated: draws nothing more
  std::rewind(f);
  char text[200] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  EXPECT_EQ(std::string(text, n), "0...10...20...30...40...50...60...70...80...90...100 - done.\n");

  progress_bar silent;
  EXPECT_EQ(progress_report(0.5, nullptr, &silent), TRUE);
}

}  // namespace
