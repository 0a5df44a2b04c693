#include "compute/stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// The row loop against the plain step, value by value: the same bits in
// every field, however the values are cut into rows. The values mix
// fractions, empty cells, NaN and signed zeros (equal, so the earlier one
// stays the minimum or maximum).
TEST(Stats, RowsGiveTheBitsOfOneValueAtATime) {
  std::vector<float> values;
  uint32_t x = 12345;
  for (int i = 0; i < 5000; ++i) {
    x = x * 1664525u + 1013904223u;
    const uint32_t pick = x >> 28;
    if (pick == 0) values.push_back(-9999.0f);
    else if (pick == 1) values.push_back(std::nanf(""));
    else if (pick == 2) values.push_back(-0.0f);
    else if (pick == 3) values.push_back(0.0f);
    else values.push_back(static_cast<float>(x >> 8) * 1e-4f - 800.0f);
  }
  for (const std::vector<float>& v : {values, std::vector<float>{-0.0f, 0.0f, 1.0f, -1.0f, 0.0f},
                                      std::vector<float>{-9999.0f, 0.0f, -0.0f, 2.0f, -0.0f}}) {
    stats_accumulator one;
    stats_reset(one, -9999.0f);
    for (float f : v) stats_add(one, f);
    for (size_t row : {size_t{1}, size_t{2}, size_t{7}, v.size()}) {
      stats_accumulator rows;
      stats_reset(rows, -9999.0f);
      for (size_t at = 0; at < v.size(); at += row)
        stats_add_row(rows, v.data() + at, static_cast<int64_t>(std::min(row, v.size() - at)));
      EXPECT_EQ(0, std::memcmp(&rows, &one, sizeof one)) << "rows of " << row << ", " << v.size() << " values";
    }
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
