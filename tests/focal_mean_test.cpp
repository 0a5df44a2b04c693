#include "compute/focal_mean.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "test_grids.h"

namespace {

constexpr float ND = -9999.0f;

std::vector<float> filter_all(const grid_raster& in, float nodata, int64_t half_width) {
  grid_raster out;
  raster_create(out, in.rows, in.columns);
  focal_mean_rows(in, out, 0, in.rows, nodata, half_width);
  return std::vector<float>(out.cells.get(), out.cells.get() + raster_cells(out));
}

TEST(FocalMean, WorkedExample) {
  const grid_raster in = make_raster(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(filter_all(in, ND, 1), (std::vector<float>{3, 3.5f, 4, 4.5f, 5, 5.5f, 6, 6.5f, 7}));
}

TEST(FocalMean, SmallCases) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* name;
    int64_t rows, columns;
    std::vector<float> cells;
    float nodata;
    int64_t half_width;
    std::vector<float> expected;
  } cases[] = {
      {"empty centre stays empty", 3, 3, {1, 1, 1, 1, ND, 1, 1, 1, 1}, ND, 1,
       {1, 1, 1, 1, ND, 1, 1, 1, 1}},
      {"below no-data is written as no-data", 1, 3, {4, -20000, 8}, ND, 1, {4, ND, 8}},
      {"equal is empty, just above is valid", 1, 3, {ND, std::nextafter(ND, 0.0f), 2}, ND, 1,
       {ND, (std::nextafter(ND, 0.0f) + 2) / 2, (std::nextafter(ND, 0.0f) + 2) / 2}},
      {"corner averages four, edge six", 3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 90}, ND, 1,
       {3, 3.5f, 4, 4.5f, 14, 19, 6, 20, 27.25f}},
      {"window larger than grid", 2, 3, {1, 2, 3, 4, 5, 6}, ND, 1000, {3.5f, 3.5f, 3.5f, 3.5f, 3.5f, 3.5f}},
      {"one cell", 1, 1, {42.25f}, ND, 1, {42.25f}},
      {"constant whole numbers unchanged", 2, 4, {7, 7, ND, 7, 7, 7, 7, ND}, ND, 2, {7, 7, ND, 7, 7, 7, 7, ND}},
      {"no-data of -inf: every finite cell valid", 1, 3, {-1e30f, 0, 1e30f}, -inf, 1,
       {-5e29f, 0, 5e29f}},
      {"sum overflows to infinity", 1, 2, {3e38f, 3e38f}, ND, 1, {inf, inf}},
  };
  for (const Case& c : cases) {
    grid_raster in;
    raster_create(in, c.rows, c.columns);
    std::copy(c.cells.begin(), c.cells.end(), in.cells.get());
    const std::vector<float> got = filter_all(in, c.nodata, c.half_width);
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_EQ(std::bit_cast<uint32_t>(got[i]), std::bit_cast<uint32_t>(c.expected[i]))
          << c.name << ", cell " << i << ": " << got[i] << " vs " << c.expected[i];
  }
}

TEST(FocalMean, NanNoDataEmptiesEveryCellWithItsOwnBits) {
  const float nodata = std::bit_cast<float>(0x7fc01234u);
  const grid_raster in = make_raster(2, 2, {1, 2, 3, 4});
  for (float v : filter_all(in, nodata, 1)) EXPECT_EQ(std::bit_cast<uint32_t>(v), 0x7fc01234u);
}

TEST(FocalMean, SumsInSinglePrecisionInWindowOrder) {
  // In window order 1e8 + 1 rounds back to 1e8 and the row sums to 0; any
  // other order or a wider accumulator keeps the 1 and gives 1/3.
  const float nodata = -1e30f;
  const grid_raster in = make_raster(1, 3, {1e8f, 1.0f, -1e8f});
  EXPECT_EQ(filter_all(in, nodata, 1)[1], 0.0f);
  // Across rows the top row is added first.
  const grid_raster tall = make_raster(3, 1, {1e8f, 1.0f, -1e8f});
  EXPECT_EQ(filter_all(tall, nodata, 1)[1], 0.0f);
}

TEST(FocalMean, HugeWindowsCostNoMoreThanTheGrid) {
  // half_width of the largest window; the bounds must not overflow.
  const grid_raster in = make_raster(2, 2, {1, 2, 3, 6});
  EXPECT_EQ(filter_all(in, ND, 1073741823), (std::vector<float>{3, 3, 3, 3}));
}

}  // namespace
