// The integer running-sum path against the definition, bit for bit, on grids
// that sit on both sides of every condition it relies on.
#include "compute/lattice_mean.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "compute/filter.h"
#include "compute/focal_mean.h"
#include "grid/synth_grid.h"

namespace {

constexpr float ND = -9999.0f;
const float INF = std::numeric_limits<float>::infinity();
const float NAN_CELL = std::numeric_limits<float>::quiet_NaN();
constexpr uint32_t UNTOUCHED = 0xffbadbadu;  // a NaN no path ever writes

using cell_fn = std::function<float(int64_t row, int64_t column)>;

struct grid {
  int64_t rows;
  int64_t columns;
  std::vector<float> cells;
};

grid make_grid(int64_t rows, int64_t columns, const cell_fn& cell) {
  grid g{rows, columns, std::vector<float>(static_cast<size_t>(rows * columns))};
  for (int64_t r = 0; r < rows; ++r)
    for (int64_t c = 0; c < columns; ++c) g.cells[static_cast<size_t>(r * columns + c)] = cell(r, c);
  return g;
}

uint64_t noise(int64_t r, int64_t c, uint64_t salt) {
  uint64_t x = static_cast<uint64_t>(r) * 0x9e3779b97f4a7c15ULL ^
               static_cast<uint64_t>(c) * 0xc2b2ae3d27d4eb4fULL ^ salt;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A whole number in [0, n).
float whole(int64_t r, int64_t c, uint64_t salt, uint64_t n) {
  return static_cast<float>(noise(r, c, salt) % n);
}

// A value with a full 24-bit significand, in [0, 1000).
float fractional(int64_t r, int64_t c) {
  return static_cast<float>((noise(r, c, 99) >> 40) | 1) * (1000.0f / 16777216.0f);
}

// About one cell in ten empty.
bool hole(int64_t r, int64_t c) { return noise(r, c, 7) % 10 == 0; }

// A row of ones with `values` from column 20 on: the window of column 21
// (half width 1) holds values[0..2] in that order.
cell_fn ones_with(std::vector<float> values) {
  return [values](int64_t, int64_t c) {
    const int64_t i = c - 20;
    return i >= 0 && i < static_cast<int64_t>(values.size()) ? values[static_cast<size_t>(i)] : 1.0f;
  };
}

// One row holding exactly `values`.
cell_fn row_of(std::vector<float> values) {
  return [values](int64_t, int64_t c) { return values[static_cast<size_t>(c)]; };
}

// The same, down a column.
cell_fn ones_down(std::vector<float> values) {
  const cell_fn across = ones_with(std::move(values));
  return [across](int64_t r, int64_t) { return across(0, r); };
}

std::vector<float> reference(const grid& g, float nodata, int64_t half_width) {
  std::vector<float> out(g.cells.size());
  const row_band whole_grid{g.cells.data(), 0, g.rows, g.columns, g.rows};
  focal_mean_band(whole_grid, out.data(), 0, g.rows, nodata, half_width);
  return out;
}

// The input rows the windows of output rows [a, b) reach, copied into a
// buffer of exactly that size, so that a read outside them is caught.
struct held_rows {
  std::vector<float> cells;
  row_band band;
};

held_rows hold(const grid& g, int64_t a, int64_t b, int64_t half_width) {
  const int64_t lo = std::max<int64_t>(0, a - half_width);
  const int64_t hi = std::min(g.rows, b + half_width);
  held_rows h;
  h.cells.assign(g.cells.begin() + lo * g.columns, g.cells.begin() + hi * g.columns);
  h.band = row_band{h.cells.data(), lo, hi - lo, g.columns, g.rows};
  return h;
}

struct pass_result {
  lattice_counts counts{0, 0, 0};
  std::vector<float> out;       // every cell, the marked ones by the definition
  std::vector<uint8_t> direct;  // the marks
  int64_t marked_but_written = 0;
};

// Output rows [a, b): the lattice pass, then the definition on the cells it
// marked; those must have been left alone by the pass.
pass_result run_pass(const grid& g, float nodata, int64_t half_width, int64_t a, int64_t b, int64_t target) {
  const held_rows h = hold(g, a, b, half_width);
  pass_result p;
  const size_t n = static_cast<size_t>((b - a) * g.columns);
  p.out.assign(n, std::bit_cast<float>(UNTOUCHED));
  p.direct.assign(n, 2);
  p.counts = lattice_mean_band(h.band, p.out.data(), p.direct.data(), a, b, nodata, half_width, 1, target);
  for (int64_t r = a; r < b; ++r)
    for (int64_t c = 0; c < g.columns; ++c) {
      const size_t i = static_cast<size_t>((r - a) * g.columns + c);
      if (p.direct[i] != 1) continue;
      if (std::bit_cast<uint32_t>(p.out[i]) != UNTOUCHED) ++p.marked_but_written;
      p.out[i] = focal_mean_cell(h.band, r, c, nodata, half_width);
    }
  return p;
}

enum class paths { all_fast, no_fast, both };

struct probe {
  int64_t row, column;
  bool fast;
};

struct lattice_case {
  const char* name;
  int64_t rows, columns;
  cell_fn cell;
  int64_t half_width;
  paths expect;               // over the whole grid in one pass
  std::vector<probe> probes;  // single windows on a known side of a condition
  float nodata = ND;
};

std::string describe(const char* name, int64_t split, int64_t target) {
  return std::string(name) + (split == 0 ? ", one pass" : ", passes of " + std::to_string(split) + " rows") +
         ", " + kernel_target_name(target);
}

void check_case(const lattice_case& t, int64_t target) {
  const grid g = make_grid(t.rows, t.columns, t.cell);
  const std::vector<float> expected = reference(g, t.nodata, t.half_width);

  // The whole grid in one pass, then in passes of a few rows, each from a
  // band that starts at the first row its windows reach.
  for (int64_t split : {0, 1, 2, 5}) {
    const int64_t step = split == 0 ? g.rows : split;
    lattice_counts total{0, 0, 0};
    for (int64_t a = 0; a < g.rows; a += step) {
      const int64_t b = std::min(g.rows, a + step);
      const pass_result p = run_pass(g, t.nodata, t.half_width, a, b, target);
      EXPECT_EQ(p.marked_but_written, 0) << describe(t.name, split, target) << ", rows " << a << ".." << b;
      total.fast += p.counts.fast;
      total.empty += p.counts.empty;
      total.direct += p.counts.direct;
      for (int64_t r = a; r < b; ++r)
        for (int64_t c = 0; c < g.columns; ++c) {
          const float got = p.out[static_cast<size_t>((r - a) * g.columns + c)];
          const float want = expected[static_cast<size_t>(r * g.columns + c)];
          ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want))
              << describe(t.name, split, target) << ", cell (" << r << ", " << c << "): " << got << " vs "
              << want;
        }
      if (split == 0) {
        for (const probe& q : t.probes) {
          const uint8_t mark = p.direct[static_cast<size_t>(q.row * g.columns + q.column)];
          EXPECT_EQ(mark, q.fast ? 0 : 1)
              << describe(t.name, split, target) << ": window at (" << q.row << ", " << q.column
              << ") should be " << (q.fast ? "fast" : "direct");
        }
      }
    }
    EXPECT_EQ(total.fast + total.empty + total.direct, g.rows * g.columns) << describe(t.name, split, target);
    if (split != 0) continue;
    switch (t.expect) {
      case paths::all_fast:
        EXPECT_EQ(total.direct, 0) << describe(t.name, split, target);
        EXPECT_GT(total.fast, 0) << describe(t.name, split, target);
        break;
      case paths::no_fast:
        EXPECT_EQ(total.fast, 0) << describe(t.name, split, target);
        break;
      case paths::both:
        EXPECT_GT(total.fast, 0) << describe(t.name, split, target);
        EXPECT_GT(total.direct, 0) << describe(t.name, split, target);
        break;
    }
  }
}

TEST(LatticeMean, SameBitsAsTheDefinition) {
  const float two23 = 8388608.0f;  // 2^23
  const float two24 = 16777216.0f;
  const float two104 = std::ldexp(1.0f, 104);
  const float two127 = std::ldexp(1.0f, 127);
  const float largest = std::numeric_limits<float>::max();  // (2^24 - 1) * 2^104
  const float tiny = std::ldexp(1.5f, -80);
  // clang-format off
  const lattice_case cases[] = {
      // Whole numbers, and the bound on the window's magnitudes.
      {"whole numbers 0..1000 with holes, window 3", 23, 29,
       [](int64_t r, int64_t c) { return hole(r, c) ? ND : whole(r, c, 1, 1001); }, 1, paths::all_fast},
      {"whole numbers 0..1000, window 21", 23, 29,
       [](int64_t r, int64_t c) { return whole(r, c, 2, 1001); }, 10, paths::all_fast},
      {"whole numbers up to 2^20: every window above the bound", 23, 29,
       [](int64_t r, int64_t c) { return whole(r, c, 3, 1 << 20); }, 15, paths::no_fast},
      {"small and large whole numbers in one row, window 9", 30, 40,
       [](int64_t r, int64_t c) { return c < 20 ? whole(r, c, 4, 1000) : whole(r, c, 4, 1000000); }, 4,
       paths::both, {{15, 2, true}, {15, 37, false}}},
      {"window sum one below the bound", 1, 40, ones_with({two23, two23 - 2, 1}), 1, paths::all_fast,
       {{0, 21, true}}},
      {"window sum at the bound", 1, 40, ones_with({two23, two23 - 1, 1}), 1, paths::all_fast,
       {{0, 21, true}}},
      {"window sum one above the bound", 1, 40, ones_with({two23, two23, 1}), 1, paths::both,
       {{0, 21, false}}},
      {"one cell of 2^24 and two ones: rounds inside the window", 1, 40, ones_with({two24, 1, 1}), 1,
       paths::both, {{0, 21, false}}},
      {"magnitudes above the bound, signed sum below it", 1, 40, ones_with({two24 - 1, 2, -2}), 1,
       paths::both, {{0, 21, false}}},
      {"window sum at the bound, down a column", 40, 1, ones_down({two23, two23 - 1, 1}), 1, paths::all_fast,
       {{21, 0, true}}},
      {"window sum one above the bound, down a column", 40, 1, ones_down({two24, 1, 1}), 1, paths::both,
       {{21, 0, false}}},

      // Other lattices.
      {"half steps -500..500, window 5", 19, 23,
       [](int64_t r, int64_t c) { return whole(r, c, 5, 2001) * 0.5f - 500.0f; }, 2, paths::all_fast},
      {"half steps beside whole numbers", 19, 23,
       [](int64_t r, int64_t c) { return c < 10 ? whole(r, c, 6, 100) : whole(r, c, 6, 200) * 0.5f; }, 2,
       paths::all_fast},
      {"multiples of 2^20", 17, 21,
       [](int64_t r, int64_t c) { return std::ldexp(whole(r, c, 8, 1000) - 500.0f, 20); }, 2,
       paths::all_fast},
      {"multiples of 2^100", 17, 21,
       [](int64_t r, int64_t c) { return std::ldexp(whole(r, c, 9, 1000), 100); }, 3, paths::all_fast},
      // A few multiples of 2^104 first make 2^104 the lattice; the window of
      // column 5 then sums to the largest float, or to 2^128, which
      // overflows to infinity in the sequential sum as in the product.
      {"multiples of 2^104 up to the largest float", 1, 7,
       row_of({two104, two104, two104, 0, two127, largest - two127, 0}), 1, paths::all_fast, {{0, 5, true}}},
      {"multiples of 2^104 summing to 2^128: infinity", 1, 7,
       row_of({two104, two104, two104, 0, two127, two127, 0}), 1, paths::all_fast, {{0, 5, true}}},
      // Scaled to units of 2^104 a tiny value underflows to 0; it must
      // still be off that lattice, or its window would lose it.
      {"a tiny value among multiples of 2^104", 1, 7, row_of({two104, two104, two104, 0, tiny, 0, two104}), 1,
       paths::both, {{0, 1, true}, {0, 4, false}}},
      {"subnormal multiples of 2^-149", 17, 21,
       [](int64_t r, int64_t c) { return std::ldexp(whole(r, c, 10, 1000), -149); }, 2, paths::all_fast},
      {"multiples of 2^-140 from subnormal to normal, signed", 17, 21,
       [](int64_t r, int64_t c) { return std::ldexp(whole(r, c, 11, 100000) - 50000.0f, -140); }, 2,
       paths::all_fast},
      {"fractional values", 17, 21,
       [](int64_t r, int64_t c) { return fractional(r, c); }, 2, paths::no_fast},
      {"whole numbers and fractional values in one row", 20, 30,
       [](int64_t r, int64_t c) { return c < 15 ? whole(r, c, 12, 1000) : fractional(r, c); }, 2,
       paths::both, {{10, 3, true}, {10, 27, false}}},

      // Signs and zeros: a sum that is exactly zero is +0.0.
      {"rows of k and -k cancel to +0", 2, 25,
       [](int64_t r, int64_t c) { return (r == 0 ? 1.0f : -1.0f) * (whole(0, c, 13, 1000) + 1); }, 1,
       paths::all_fast},
      {"negative whole numbers", 15, 15,
       [](int64_t r, int64_t c) { return -whole(r, c, 14, 3000); }, 3, paths::all_fast},
      {"-0.0 among whole numbers", 15, 15,
       [](int64_t r, int64_t c) { return noise(r, c, 15) % 3 == 0 ? -0.0f : whole(r, c, 16, 50); }, 1,
       paths::all_fast},
      {"only +0.0 and -0.0", 9, 9,
       [](int64_t r, int64_t c) { return noise(r, c, 17) % 2 ? -0.0f : 0.0f; }, 1, paths::all_fast},

      // Cells that are never on a lattice, or never valid.
      {"NaN cells are empty", 15, 15,
       [](int64_t r, int64_t c) { return noise(r, c, 18) % 7 == 0 ? NAN_CELL : whole(r, c, 19, 100); }, 1,
       paths::all_fast},
      {"+inf cells take the direct path", 15, 15,
       [](int64_t r, int64_t c) { return r == 7 && c == 7 ? INF : whole(r, c, 20, 100); }, 1, paths::both,
       {{7, 8, false}, {6, 6, false}, {2, 2, true}}},
      {"-inf cells are empty under a no-data value of -inf", 15, 15,
       [](int64_t r, int64_t c) { return noise(r, c, 21) % 5 == 0 ? -INF : whole(r, c, 22, 100) - 50.0f; }, 2,
       paths::all_fast, {}, -INF},
      {"cells below the no-data value are empty", 15, 15,
       [](int64_t r, int64_t c) { return noise(r, c, 23) % 4 == 0 ? -20000.0f : whole(r, c, 24, 100); }, 1,
       paths::all_fast},
      {"every cell empty under a NaN no-data value", 5, 5,
       [](int64_t r, int64_t c) { return whole(r, c, 25, 9); }, 1, paths::no_fast, {}, NAN_CELL},

      // Windows larger than the grid.
      {"window larger than the grid", 5, 7,
       [](int64_t r, int64_t c) { return hole(r, c) ? ND : whole(r, c, 26, 1000); }, 1000, paths::all_fast},
      {"the largest window", 5, 7,
       [](int64_t r, int64_t c) { return whole(r, c, 27, 1000); }, 1073741823, paths::all_fast},
  };
  // clang-format on
  // Every SIMD target this build has and this CPU runs.
  for (int64_t target : kernel_targets())
    for (const lattice_case& t : cases) check_case(t, target);
}

TEST(LatticeMean, CountsAbove2To24StopAt2To24) {
  // Adding 1.0f to a count of 2^24 leaves 2^24: a window of 2^24 + 3 valid
  // cells divides by 2^24, where the count rounded once would be 2^24 + 4.
  // One column, and a window from the last row reaching every row.
  const int64_t rows = (int64_t{1} << 24) + 3;
  const int64_t half_width = rows;
  std::vector<float> cells(static_cast<size_t>(rows), 0.0f);
  for (int64_t r = 0; r < rows; r += 4099) cells[static_cast<size_t>(r)] = noise(r, 0, 30) % 2 ? 1.0f : -0.0f;
  cells[5] = 3.0f;
  const row_band band{cells.data(), 0, rows, 1, rows};
  const int64_t last = rows - 1;
  float out = std::bit_cast<float>(UNTOUCHED);
  uint8_t direct = 2;
  const lattice_counts counts = lattice_mean_band(band, &out, &direct, last, rows, ND, half_width);
  EXPECT_EQ(counts.fast, 1);
  EXPECT_EQ(direct, 0);
  const float want = focal_mean_cell(band, last, 0, ND, half_width);
  EXPECT_EQ(std::bit_cast<uint32_t>(out), std::bit_cast<uint32_t>(want)) << out << " vs " << want;
}

TEST(FilterBand, BothPathsGiveTheDefinitionsBitsInAnyBands) {
  struct terrain {
    const char* name;
    bool integer;
    float scale;
    double holes;
  } terrains[] = {
      {"whole numbers 0..1000", true, 1000.0f, 0.1},
      {"whole numbers 0..3000", true, 3000.0f, 0.05},
      {"0/1 mask", true, 1.0f, 0.1},
      {"fractional", false, 1000.0f, 0.1},
      // Large windows of these pass the bound in some places and not in
      // others, so rows mix both paths.
      {"whole numbers near the bound", true, 60000.0f, 0.3},
  };
  // The tall grid takes more than one lattice pass per band; the wide one is
  // shared by threads in strips of columns.
  struct shape {
    int64_t rows, columns;
  } shapes[] = {{33, 37}, {300, 5}, {20, 700}};
  for (const shape& sh : shapes)
    for (const terrain& t : terrains) {
      synth_options o;
      o.rows = sh.rows;
      o.columns = sh.columns;
      o.seed = 5;
      o.integer = t.integer;
      o.scale = t.scale;
      o.holes = t.holes;
      grid g{o.rows, o.columns, std::vector<float>(static_cast<size_t>(o.rows * o.columns))};
      for (int64_t r = 0; r < o.rows; ++r) synth_row(o, r, g.cells.data() + r * o.columns);
      // Windows from 17 up take the integer sums inside filter_band.
      for (int64_t half_width : {1, 8, 13}) {
        const std::vector<float> expected = reference(g, o.nodata, half_width);
        const kernel_config configs[] = {{kernel_path::simd, 0, 1, true},
                                         {kernel_path::simd, 0, 2, true},
                                         {kernel_path::simd, 0, 2, false}};
        for (const kernel_config& config : configs) {
          for (int64_t band_rows : {int64_t{1}, int64_t{4}, int64_t{16}, sh.rows}) {
            const std::string where =
                std::string(t.name) + " " + std::to_string(sh.rows) + "x" + std::to_string(sh.columns) +
                ", half width " + std::to_string(half_width) +
                (config.lattice ? ", integer sums" : ", direct only") + ", " +
                std::to_string(config.threads) + " threads" + ", bands of " + std::to_string(band_rows);
            std::vector<float> out(g.cells.size());
            std::vector<int64_t> done;
            for (int64_t a = 0; a < g.rows; a += band_rows) {
              const int64_t b = std::min(g.rows, a + band_rows);
              const held_rows h = hold(g, a, b, half_width);
              filter_band(h.band, out.data() + a * g.columns, a, b, o.nodata, half_width, config,
                          [&](int64_t row) { done.push_back(row); });
            }
            ASSERT_EQ(0, std::memcmp(out.data(), expected.data(), out.size() * 4)) << where;
            ASSERT_EQ(done.size(), static_cast<size_t>(g.rows)) << where;
            for (size_t i = 0; i < done.size(); ++i) ASSERT_EQ(done[i], static_cast<int64_t>(i)) << where;
          }
        }
      }
    }
}

}  // namespace
