// The fast kernel against the definition, bit for bit: a table of grids and
// windows, run on every SIMD target this build has and this CPU runs, at
// several thread counts. A failure names the target and the thread count
// (in the test name) and the grid and window (in the trace).
#include "compute/focal_mean_fast.h"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "compute/focal_mean.h"
#include "compute/focal_mean_simd.h"

namespace {

constexpr float ND = -9999.0f;
const float INF = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();
const float SUBNORMAL = std::numeric_limits<float>::denorm_min();

// Deterministic pseudo-random numbers, so every run sees the same grids.
struct lcg {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
  float unit() { return static_cast<float>(next() % 1000000) / 1000000.0f; }
};

enum class fill {
  terrain_with_blobs,  // fractional values, round no-data blobs
  all_empty,           // every cell at or below the no-data value
  specials,            // NaN, +-inf, subnormals, -0.0, values around no-data
  huge,                // +-3e38: sums overflow to infinity and inf - inf
  big_integers,        // whole numbers whose window sums pass 2^24
  cancelling,          // 1e8, 1, -1e8: the order of additions shows
  holes_in_few_rows,   // no empty cell except in rows 40 to 44: windows
                       // with and without empty rows, within one run
};

struct grid_case {
  std::string name;
  int64_t rows;
  int64_t columns;
  fill kind;
  float nodata = ND;
  std::vector<int64_t> windows = {3, 5, 15};
};

std::vector<float> make_cells(const grid_case& c) {
  lcg rng{static_cast<uint64_t>(c.rows * 7919 + c.columns * 104729 + static_cast<int>(c.kind))};
  std::vector<float> cells(static_cast<size_t>(c.rows * c.columns));
  const float specials[] = {
      NaN,   INF,  -INF, SUBNORMAL, -SUBNORMAL, -0.0f, 0.0f,   ND,
      -1e4f, 1.0f, 2.5f, 1e-38f,    -1e-38f,    7.0f,  -20.0f, std::nextafter(ND, 0.0f)};
  // Blob centres for the terrain.
  std::vector<std::pair<int64_t, int64_t>> blobs;
  for (int b = 0; b < 3; ++b) blobs.emplace_back(rng.next() % c.rows, rng.next() % c.columns);
  for (int64_t r = 0; r < c.rows; ++r) {
    for (int64_t col = 0; col < c.columns; ++col) {
      float& v = cells[static_cast<size_t>(r * c.columns + col)];
      switch (c.kind) {
        case fill::terrain_with_blobs: {
          v = 100.0f + 900.0f * rng.unit() + static_cast<float>(r) * 0.37f;
          for (auto [br, bc] : blobs)
            if ((r - br) * (r - br) + (col - bc) * (col - bc) <= 4) v = ND;
          if (rng.next() % 17 == 0) v = ND - 1.0f;  // scattered, below no-data
          break;
        }
        case fill::all_empty:
          v = rng.next() % 2 ? ND : ND - 5.0f;
          break;
        case fill::specials:
          v = specials[rng.next() % std::size(specials)];
          break;
        case fill::huge:
          v = (rng.next() % 3 == 0 ? -3e38f : 3e38f) * (0.5f + rng.unit());
          break;
        case fill::big_integers:
          v = static_cast<float>((1 << 22) + rng.next() % (1 << 22));
          break;
        case fill::holes_in_few_rows:
          v = 10.0f * rng.unit() - 3.0f;
          if (r >= 40 && r <= 44 && rng.next() % 5 == 0) v = ND;
          break;
        case fill::cancelling: {
          const float pattern[] = {1e8f, 1.0f, -1e8f, 3.0f};
          v = pattern[rng.next() % 4];
          break;
        }
      }
    }
  }
  return cells;
}

std::vector<grid_case> grid_cases() {
  std::vector<grid_case> v = {
      {"worked-size 3x3", 3, 3, fill::terrain_with_blobs, ND, {3, 5}},
      {"one cell", 1, 1, fill::terrain_with_blobs, ND, {3, 2147483647}},
      {"one row", 1, 70, fill::terrain_with_blobs, ND, {3, 15, 141}},
      {"one column", 70, 1, fill::terrain_with_blobs, ND, {3, 15, 141}},
      {"tall, many bands", 90, 21, fill::terrain_with_blobs, ND, {3, 7, 31}},
      {"window larger than the grid", 13, 10, fill::terrain_with_blobs, ND, {29, 31, 2147483647}},
      {"every cell empty", 20, 37, fill::all_empty},
      {"NaN, infinities, subnormals, -0.0", 41, 53, fill::specials, ND, {3, 5, 15, 83}},
      {"specials with no-data -inf", 19, 29, fill::specials, -INF, {3, 7}},
      {"NaN no-data", 9, 18, fill::terrain_with_blobs, NaN, {3}},
      {"signalling NaN no-data", 5, 18, fill::terrain_with_blobs, std::bit_cast<float>(0x7f800123u), {3}},
      {"+inf no-data: nothing is valid", 6, 17, fill::specials, INF, {3}},
      {"sums overflow to infinity", 23, 40, fill::huge, ND, {3, 5, 9}},
      {"whole numbers whose sums pass 2^24", 35, 66, fill::big_integers, ND, {3, 7, 15, 25}},
      {"cancellation shows the order", 21, 35, fill::cancelling, -1e30f, {3, 5, 11}},
      {"empty cells in a few rows only", 90, 37, fill::holes_in_few_rows, ND, {3, 9, 31, 181}},
  };
  // Widths just below, at and above multiples of the vector and block
  // widths of every target (4, 8 and 16 lanes; blocks of 12, 24, 48, 64).
  for (int64_t w :
       {2, 5, 7, 8, 9, 11, 12, 13, 15, 16, 17, 23, 24, 25, 31, 32, 33, 47, 48, 49, 63, 64, 65, 127, 128, 129})
    v.push_back({"width " + std::to_string(w), 11, w, fill::terrain_with_blobs, ND, {3, 7, 2 * w + 1}});
  return v;
}

std::string describe(const grid_case& c, int64_t window) {
  return c.name + " (" + std::to_string(c.rows) + " x " + std::to_string(c.columns) + ", window " +
         std::to_string(window) + ")";
}

// The definition's result, computed once per grid and window.
const std::vector<float>& reference_result(const grid_case& c, const std::vector<float>& cells,
                                           int64_t window) {
  static std::map<std::string, std::vector<float>> cache;
  const std::string key = describe(c, window);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  std::vector<float> out(cells.size());
  const row_band band{cells.data(), 0, c.rows, c.columns, c.rows};
  focal_mean_band(band, out.data(), 0, c.rows, c.nodata, window / 2);
  return cache.emplace(key, std::move(out)).first->second;
}

std::string hex_bits(float v) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", std::bit_cast<uint32_t>(v));
  return text;
}

// The first cell whose bits differ, as a message; empty when all agree.
std::string first_difference(const float* got, const float* expected, int64_t rows, int64_t columns,
                             int64_t first_row) {
  for (int64_t r = 0; r < rows; ++r)
    for (int64_t c = 0; c < columns; ++c) {
      const float g = got[r * columns + c];
      const float e = expected[r * columns + c];
      if (std::bit_cast<uint32_t>(g) != std::bit_cast<uint32_t>(e))
        return "row " + std::to_string(first_row + r) + ", column " + std::to_string(c) + ": got " +
               std::to_string(g) + " (" + hex_bits(g) + "), expected " + std::to_string(e) + " (" +
               hex_bits(e) + ")";
    }
  return "";
}

// A value no kernel writes, so a cell that was never written shows.
const float UNWRITTEN = std::bit_cast<float>(0x7fbadbadu);

// Parameter: a Highway target (set as the only one the CPU "supports", so
// the run-time dispatch picks it) and a thread count.
class FastKernel : public hwy::TestWithParamTargetAndT<int> {};

TEST_P(FastKernel, SameBitsAsTheDefinition) {
  const int threads = GetParam();
  const kernel_config config{kernel_path::simd, 0, threads};
  for (const grid_case& c : grid_cases()) {
    const std::vector<float> cells = make_cells(c);
    const row_band band{cells.data(), 0, c.rows, c.columns, c.rows};
    for (int64_t window : c.windows) {
      SCOPED_TRACE(describe(c, window));
      const std::vector<float>& expected = reference_result(c, cells, window);
      std::vector<float> got(cells.size(), UNWRITTEN);
      std::vector<int64_t> reported;
      std::string early;  // a row reported before its cells were final
      const bool ran =
          focal_mean_fast(band, got.data(), 0, c.rows, c.nodata, window / 2, config, [&](int64_t r) {
            reported.push_back(r);
            const std::string d = first_difference(got.data() + r * c.columns,
                                                   expected.data() + r * c.columns, 1, c.columns, r);
            if (early.empty() && !d.empty()) early = d;
          });
      ASSERT_TRUE(ran);
      EXPECT_EQ(first_difference(got.data(), expected.data(), c.rows, c.columns, 0), "");
      EXPECT_EQ(early, "") << "a row was reported done before it was final";
      std::vector<int64_t> in_order(static_cast<size_t>(c.rows));
      for (int64_t r = 0; r < c.rows; ++r) in_order[static_cast<size_t>(r)] = r;
      EXPECT_EQ(reported, in_order) << "rows must be reported once each, in ascending order";
    }
  }
}

// Rows from the middle of a grid, given a band that holds only the rows
// their windows reach (as a reader that streams the grid would): the
// kernel must read nothing else (AddressSanitizer checks) and give the
// rows of the whole-grid result.
TEST_P(FastKernel, MiddleRowsFromATightBand) {
  const kernel_config config{kernel_path::simd, 0, GetParam()};
  for (const grid_case& c : grid_cases()) {
    const std::vector<float> cells = make_cells(c);
    for (int64_t window : c.windows) {
      SCOPED_TRACE(describe(c, window));
      const int64_t h = window / 2;
      const int64_t row_begin = c.rows / 3;
      const int64_t row_end = std::max(row_begin + 1, 2 * c.rows / 3);
      const int64_t held_first = std::max<int64_t>(0, row_begin - h);
      const int64_t held_end = std::min<int64_t>(c.rows, row_end + h);
      const std::vector<float> held(cells.begin() + held_first * c.columns,
                                    cells.begin() + held_end * c.columns);
      const row_band band{held.data(), held_first, held_end - held_first, c.columns, c.rows};
      std::vector<float> got(static_cast<size_t>((row_end - row_begin) * c.columns), UNWRITTEN);
      ASSERT_TRUE(focal_mean_fast(band, got.data(), row_begin, row_end, c.nodata, h, config, nullptr));
      const std::vector<float>& expected = reference_result(c, cells, window);
      EXPECT_EQ(first_difference(got.data(), expected.data() + row_begin * c.columns, row_end - row_begin,
                                 c.columns, row_begin),
                "");
    }
  }
}

// A span of columns: its cells are the definition's, whatever the kernel
// writes beside them.
TEST_P(FastKernel, SpansOfColumns) {
  const kernel_config config{kernel_path::simd, 0, GetParam()};
  for (const grid_case& c : grid_cases()) {
    if (c.columns < 3) continue;
    const std::vector<float> cells = make_cells(c);
    const row_band band{cells.data(), 0, c.rows, c.columns, c.rows};
    const column_span spans[] = {{0, 1},
                                 {1, 2},
                                 {c.columns / 2, c.columns / 2 + 1},
                                 {c.columns - 1, c.columns},
                                 {2, c.columns - 1},
                                 {c.columns / 3, c.columns}};
    for (int64_t window : c.windows) {
      const std::vector<float>& expected = reference_result(c, cells, window);
      for (const column_span& span : spans) {
        SCOPED_TRACE(describe(c, window) + ", columns " + std::to_string(span.begin) + ".." +
                     std::to_string(span.end));
        std::vector<float> got(cells.size(), UNWRITTEN);
        ASSERT_TRUE(
            focal_mean_fast(band, got.data(), 0, c.rows, c.nodata, window / 2, config, nullptr, span));
        for (int64_t r = 0; r < c.rows; ++r) {
          const int64_t at = r * c.columns + span.begin;
          ASSERT_EQ(first_difference(got.data() + at, expected.data() + at, 1, span.end - span.begin, r), "");
        }
      }
    }
  }
}

// The run-time dispatch picks the one target the CPU is said to support.
TEST_P(FastKernel, DispatchPicksTheTarget) {
  EXPECT_EQ(kernel_chosen_target(kernel_config{}),
            std::get<0>(testing::TestWithParam<std::tuple<int64_t, int>>::GetParam()));
}

std::string target_and_threads(const testing::TestParamInfo<std::tuple<int64_t, int>>& info) {
  return std::string(hwy::TargetName(std::get<0>(info.param))) + "_threads" +
         std::to_string(std::get<1>(info.param));
}

HWY_GTEST_INSTANTIATE_TEST_SUITE_P(AllTargets, FastKernel,
                                   testing::Combine(testing::ValuesIn(hwy::SupportedAndGeneratedTargets()),
                                                    testing::Values(1, 2, 3, 7)),
                                   target_and_threads);

// Benchmarks and WAVGRID_KERNEL name a target directly: each name must run
// that target's code, and one that the build or CPU lacks must be refused.
TEST(FastKernelTargets, NamedTargetsRunTheirOwnCode) {
  const grid_case c{"terrain", 30, 77, fill::terrain_with_blobs};
  const std::vector<float> cells = make_cells(c);
  const row_band band{cells.data(), 0, c.rows, c.columns, c.rows};
  const std::vector<float>& expected = reference_result(c, cells, 5);
  ASSERT_FALSE(kernel_targets().empty());
  for (int64_t target : kernel_targets()) {
    SCOPED_TRACE(kernel_target_name(target));
    const kernel_config config{kernel_path::simd, target, 2};
    EXPECT_EQ(kernel_chosen_target(config), target);
    std::vector<float> got(cells.size(), UNWRITTEN);
    ASSERT_TRUE(focal_mean_fast(band, got.data(), 0, c.rows, c.nodata, 2, config, nullptr));
    EXPECT_EQ(first_difference(got.data(), expected.data(), c.rows, c.columns, 0), "");
  }
  const int64_t not_compiled = int64_t{1} << 40;  // a reserved target bit
  const kernel_config missing{kernel_path::simd, not_compiled, 1};
  EXPECT_EQ(kernel_chosen_target(missing), -1);
  std::vector<float> got(cells.size(), UNWRITTEN);
  EXPECT_FALSE(focal_mean_fast(band, got.data(), 0, c.rows, c.nodata, 2, missing, nullptr));
  EXPECT_EQ(std::bit_cast<uint32_t>(got[0]), std::bit_cast<uint32_t>(UNWRITTEN)) << "nothing may be written";
}

// The definition's float count, incremented by 1.0f per valid cell, is
// exact up to 2^24 and sticks there; the kernel's exact integer count must
// turn into the same float. (A window with 2^24 valid cells would take
// 2^48 additions to run through the kernel itself.)
TEST(FastKernelCount, FloatCountStopsAt2To24) {
  float counted = 0.0f;
  for (int64_t n = 1; n <= (int64_t{1} << 24) + 3; ++n) {
    counted += 1.0f;
    if (n < 5 || n > (int64_t{1} << 24) - 3) {
      ASSERT_EQ(std::bit_cast<uint32_t>(window_count_as_float(n)), std::bit_cast<uint32_t>(counted)) << n;
    }
  }
  EXPECT_EQ(window_count_as_float(int64_t{1} << 40), 16777216.0f);
}

}  // namespace
