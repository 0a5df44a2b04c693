#include "compute/stats.h"

#include <gtest/gtest.h>

#include "compute/focal_mean_fast.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

// The accumulated statistics, bit for bit (not the bookkeeping beside them).
bool same_statistics(const stats_accumulator& a, const stats_accumulator& b) {
  const double x[] = {a.threshold, a.count, a.sum, a.sum_squares, a.minimum, a.maximum};
  const double y[] = {b.threshold, b.count, b.sum, b.sum_squares, b.minimum, b.maximum};
  return std::memcmp(x, y, sizeof x) == 0;
}

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
      EXPECT_TRUE(same_statistics(rows, one)) << "rows of " << row << ", " << v.size() << " values";
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

namespace {

// A row's values reduced in blocks on vectors, on every SIMD target, must
// give the bits of offering them one at a time. Each data set is built so
// that one of the rules that keep the blocks exact matters: a running sum
// crossing powers of two with values finer than its unit, a negative sum,
// ties that round to even by the sum's own last bit, zeros of either sign as
// extremes, an infinity, the largest and smallest floats.
struct block_case {
  const char* name;
  std::vector<float> values;
  double least_share;  // of the values that must go through blocks
};

std::vector<float> generated(int n, uint32_t seed, float (*make)(uint32_t, int)) {
  std::vector<float> v;
  uint32_t x = seed;
  for (int i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    v.push_back(make(x, i));
  }
  return v;
}

std::vector<block_case> block_cases() {
  std::vector<block_case> cases;
  cases.push_back({"elevations with holes", generated(200000, 7, [](uint32_t x, int) {
                     return (x >> 28) == 0 ? -9999.0f : static_cast<float>(x >> 8) * (1000.0f / 16777216.0f);
                   }),
                   0.5});
  cases.push_back({"depths: a negative sum", generated(200000, 8, [](uint32_t x, int) {
                     return -1.0f - static_cast<float>(x >> 8) * (1000.0f / 16777216.0f);
                   }),
                   0.5});
  // Both with steps finer than the sum's unit, so that they round.
  cases.push_back({"wandering around zero", generated(200000, 9, [](uint32_t x, int) {
                     return std::ldexp(static_cast<float>(x >> 8) / 8388608.0f - 1.0f, -static_cast<int>(x & 7));
                   }),
                   0.0});
  // From 2^20 down past 2^19, where the unit halves.
  std::vector<float> falling = generated(200000, 16, [](uint32_t x, int i) {
    return i % 2 ? -6.0f : std::ldexp(1.0f + static_cast<float>(x >> 9) * 0x1p-23f, -30);
  });
  falling[0] = 1048576.0f;
  cases.push_back({"a falling sum", falling, 0.5});
  // 1.5 * 2^24 + 3 and then one unit of its binade (2^-28) leave the sum an
  // odd number of units; steps of 0.5 or 1.5 units are halfway, and the sum
  // rounds to its even neighbour. The sum of squares lies above 2^49, where
  // its unit is 2^-3: the squares of 0.25 and 0.75 are 0.5 and 4.5 units.
  std::vector<float> ties{25165824.0f, 3.0f, 0x1p-28f};
  for (int i = 0; i < 200000; ++i) {
    const float steps[] = {0x1p-29f, 0x3p-29f, 0.25f, 0x1p-28f, 0.75f, 0x5p-29f};
    ties.push_back(steps[i % 7 % 6]);
  }
  cases.push_back({"halfway steps", ties, 0.5});
  std::vector<float> low_zero = generated(200000, 10, [](uint32_t x, int) { return 1.0f + static_cast<float>(x >> 20); });
  std::vector<float> high_zero = generated(200000, 11, [](uint32_t x, int) { return -1.0f - static_cast<float>(x >> 20); });
  // Runs of zeros of both signs, the first of each run -0.0 for the minimum
  // and +0.0 for the maximum, far enough in that the blocks take them.
  for (size_t run = 100003; run < low_zero.size(); run += 30011)
    for (size_t j = 0; j < 40; ++j) {
      low_zero[run + 3 * j] = j % 2 ? 0.0f : -0.0f;
      high_zero[run + 3 * j] = j % 2 ? -0.0f : 0.0f;
    }
  cases.push_back({"zero as the minimum", low_zero, 0.5});
  cases.push_back({"zero as the maximum", high_zero, 0.5});
  std::vector<float> infinite = generated(200000, 12, [](uint32_t x, int) { return static_cast<float>(x >> 16); });
  infinite[9000] = std::numeric_limits<float>::infinity();
  cases.push_back({"an infinity", infinite, 0.0});
  cases.push_back({"largest floats", generated(200000, 13, [](uint32_t x, int) {
                     return std::numeric_limits<float>::max() / static_cast<float>(1 + (x >> 24));
                   }),
                   0.25});
  cases.push_back({"smallest floats", generated(200000, 14, [](uint32_t x, int) {
                     return std::numeric_limits<float>::denorm_min() * static_cast<float>(1 + (x >> 20));
                   }),
                   0.5});
  cases.push_back({"NaN and empty cells", generated(200000, 15, [](uint32_t x, int) {
                     const uint32_t pick = x >> 29;
                     return pick == 0 ? std::nanf("") : pick == 1 ? -9999.0f : static_cast<float>(x >> 12) * 0.01f;
                   }),
                   0.5});
  return cases;
}

TEST(Stats, BlocksOnEveryTargetGiveTheBitsOfOneValueAtATime) {
  std::vector<int64_t> targets = kernel_targets();
  ASSERT_FALSE(targets.empty());
  for (const block_case& c : block_cases()) {
    stats_accumulator one;
    stats_reset(one, -9999.0f);
    for (float f : c.values) stats_add(one, f);
    for (int64_t target : targets) {
      for (size_t row : {size_t{8000}, size_t{1013}, size_t{37}}) {
        stats_accumulator rows;
        stats_reset(rows, -9999.0f);
        int64_t on_vectors = 0;
        for (size_t at = 0; at < c.values.size(); at += row)
          on_vectors += stats_add_row_on(rows, c.values.data() + at,
                                         static_cast<int64_t>(std::min(row, c.values.size() - at)), target);
        const std::string where = std::string(c.name) + ", " + kernel_target_name(target) + ", rows of " +
                                  std::to_string(row);
        EXPECT_TRUE(same_statistics(rows, one))
            << where << ": sum " << rows.sum << " vs " << one.sum << ", squares " << rows.sum_squares << " vs "
            << one.sum_squares << ", minimum " << rows.minimum << " vs " << one.minimum << ", maximum "
            << rows.maximum << " vs " << one.maximum;
        EXPECT_GE(static_cast<double>(on_vectors), c.least_share * static_cast<double>(c.values.size())) << where;
      }
    }
  }
}

}  // namespace
