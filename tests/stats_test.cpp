#include "compute/stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

grid_stats run_stats(float nodata, const std::vector<float>& values) {
  stats_accumulator s;
  stats_reset(s, nodata);
  stats_add_row(s, values.data(), static_cast<int64_t>(values.size()));
  return stats_finish(s);
}

TEST(Stats, Table) {
  const float U = STATS_UNDEFINED;
  struct Case {
    const char* name;
    float nodata;
    std::vector<float> values;
    grid_stats expected;
  } cases[] = {
      {"nothing counted", -9999, {-9999, -9999}, {0, 0, 0, 0, U, U}},
      {"no values at all", -9999, {}, {0, 0, 0, 0, U, U}},
      {"one value", -9999, {4}, {1, 4, 4, 4, 4, U}},
      {"two values", -9999, {4, 2}, {2, 2, 4, 6, 3, U}},
      {"three equal", -9999, {5, 5, 5}, {3, 5, 5, 15, 5, 0}},
      {"10 11 12", -9999, {10, 11, 12}, {3, 10, 12, 33, 11, 1}},
      {"filtered example", -9999, {3, 3.5f, 4, 4.5f, 5, 5.5f, 6, 6.5f, 7},
       {9, 3, 7, 45, 5, static_cast<float>(std::sqrt(15.0 / 8.0))}},
      {"within one of no-data is not counted", -9999, {-9998.5f, -9997.5f}, {1, -9997.5f, -9997.5f, -9997.5f, -9997.5f, U}},
      {"NaN never counted", -9999, {std::nanf(""), 2}, {1, 2, 2, 2, 2, U}},
      {"descending values set the minimum", 0, {9, 5, 7, 3}, {4, 3, 9, 24, 6, static_cast<float>(std::sqrt(20.0 / 3.0))}},
  };
  for (const Case& c : cases) {
    const grid_stats g = run_stats(c.nodata, c.values);
    EXPECT_EQ(g.count, c.expected.count) << c.name;
    EXPECT_EQ(g.minimum, c.expected.minimum) << c.name;
    EXPECT_EQ(g.maximum, c.expected.maximum) << c.name;
    EXPECT_EQ(g.sum, c.expected.sum) << c.name;
    EXPECT_EQ(g.mean, c.expected.mean) << c.name;
    EXPECT_EQ(g.std_dev, c.expected.std_dev) << c.name;
  }
}

TEST(Stats, ResetKeepsMinimumAndMaximumUntilTheFirstCountedValue) {
  stats_accumulator s;
  stats_reset(s, -9999);
  stats_add(s, 50);
  stats_reset(s, -9999);
  const grid_stats none = stats_finish(s);
  EXPECT_EQ(none.count, 0);
  EXPECT_EQ(none.minimum, 50) << "reset leaves the extremes as they were";
  stats_add(s, 7);
  EXPECT_EQ(stats_finish(s).maximum, 7);
}

}  // namespace

namespace {

TEST(Stats, RasterStatsCountTheWholeGridLikeTheFilterLoop) {
  // The filtered example as a 3 x 3 raster with its centre emptied: every
  // row is offered and the empty cell is skipped, as in the tool's run.
  grid_raster r;
  ASSERT_TRUE(raster_create(r, 3, 3));
  const float cells[9] = {3, 3.5f, 4, 4.5f, -9999, 5.5f, 6, 6.5f, 7};
  std::copy(cells, cells + 9, r.cells.get());
  const grid_stats g = raster_stats(r, -9999);
  const grid_stats expected = run_stats(-9999, std::vector<float>(cells, cells + 9));
  EXPECT_EQ(g.count, 8);
  EXPECT_EQ(g.sum, 40);
  EXPECT_EQ(g.mean, expected.mean);
  EXPECT_EQ(g.std_dev, expected.std_dev);
}

}  // namespace
