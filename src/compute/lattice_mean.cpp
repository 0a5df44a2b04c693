#include "compute/lattice_mean.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>
#include <new>

namespace {

constexpr int64_t BOUND = int64_t{1} << 24;  // largest window magnitude, in units of 2^e
// The magnitude given to a valid cell that is off the lattice: above the
// bound on its own, so any window holding it fails.
constexpr int64_t OFF_LATTICE = BOUND + 1;
// Column magnitude sums are cut here before they are added along a row: a
// column above the bound fails every window that holds it either way, and
// the cut keeps a row of up to 2^31 columns within 2^56.
constexpr int64_t COLUMN_CAP = int64_t{1} << 25;
constexpr int E_COUNT = LATTICE_E_MAX - LATTICE_E_MIN + 1;

// A finite float is M * 2^k with M a 24-bit integer (the significand with
// its hidden bit) and k its exponent less 23.
struct float_parts {
  bool finite;
  bool negative;
  uint32_t m;
  int k;
};

float_parts split(float v) {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  const uint32_t biased = (bits >> 23) & 0xffu;
  const uint32_t fraction = bits & 0x7fffffu;
  if (biased == 0xffu) return {false, false, 0, 0};
  if (biased == 0) return {true, (bits >> 31) != 0, fraction, 1 - 150};  // zero or subnormal
  return {true, (bits >> 31) != 0, fraction | 0x800000u, static_cast<int>(biased) - 150};
}

int ceil_log2(uint64_t x) { return x <= 1 ? 0 : 64 - std::countl_zero(x - 1); }

// 2^e as a float, for e in [LATTICE_E_MIN, LATTICE_E_MAX].
float power_of_two(int e) {
  if (e >= -126) return std::bit_cast<float>(static_cast<uint32_t>(e + 127) << 23);
  return std::bit_cast<float>(uint32_t{1} << (e + 149));  // subnormal
}

int64_t window_side(int64_t half_width, int64_t extent) {
  return std::min<int64_t>(2 * half_width + 1, extent);
}

// Per-column sums over the input rows of the current output row's window,
// for grid columns [first, first + columns).
struct column_sums {
  int64_t first = 0;
  int64_t columns = 0;
  std::unique_ptr<int64_t[]> count;      // valid cells
  std::unique_ptr<int64_t[]> magnitude;  // exact: at most 2^31 cells of at most 2^24 + 1
  std::unique_ptr<int64_t[]> value;      // exact: at most 2^31 cells of magnitude at most 2^24

  bool allocate(int64_t from, int64_t n) {
    first = from;
    columns = n;
    const size_t size = static_cast<size_t>(std::max<int64_t>(n, 1));
    count.reset(new (std::nothrow) int64_t[size]());
    magnitude.reset(new (std::nothrow) int64_t[size]());
    value.reset(new (std::nothrow) int64_t[size]());
    return count && magnitude && value;
  }

  // One input row's cells in units of 2^e, branch-free so that the compiler
  // can run it on vectors: a float times 2^-e is exact in double precision
  // for every e considered, so a valid cell is on the lattice exactly when
  // that product is a whole number, tested by converting it to an integer
  // and back (only within 2^24, where the conversion is defined; beyond it
  // the cell is off the lattice anyway).
  struct cell_units {
    int64_t valid, magnitude, value;
  };
  static cell_units units_of(float v, float nodata, double scale) {
    constexpr double LIMIT = static_cast<double>(BOUND);
    const int64_t valid = v > nodata ? 1 : 0;  // a NaN is never valid
    const double u = static_cast<double>(v) * scale;
    const bool within = std::fabs(u) <= LIMIT;  // false for infinities
    const int32_t units = static_cast<int32_t>(within ? u : 0.0);
    const bool on = within && static_cast<double>(units) == u;
    const int64_t whole = on ? units : 0;
    return {valid, valid * (on ? (whole < 0 ? -whole : whole) : OFF_LATTICE), valid * whole};
  }

  // Adds the row `entering` and removes the row `leaving`; either may be
  // null. One pass over the sums for both.
  void update(const float* entering, const float* leaving, float nodata, int e) {
    const double scale = std::ldexp(1.0, -e);
    const float* in_line = entering != nullptr ? entering + first : nullptr;
    const float* out_line = leaving != nullptr ? leaving + first : nullptr;
    if (in_line != nullptr && out_line != nullptr) {
      for (int64_t j = 0; j < columns; ++j) {
        const cell_units a = units_of(in_line[j], nodata, scale);
        const cell_units b = units_of(out_line[j], nodata, scale);
        count[j] += a.valid - b.valid;
        magnitude[j] += a.magnitude - b.magnitude;
        value[j] += a.value - b.value;
      }
    } else if (in_line != nullptr || out_line != nullptr) {
      const float* line = in_line != nullptr ? in_line : out_line;
      const int64_t sign = in_line != nullptr ? 1 : -1;
      for (int64_t j = 0; j < columns; ++j) {
        const cell_units a = units_of(line[j], nodata, scale);
        count[j] += sign * a.valid;
        magnitude[j] += sign * a.magnitude;
        value[j] += sign * a.value;
      }
    }
  }
};

// Sums of the column sums over a window of columns. The value sum wraps
// around 2^64; it is only read when the magnitude sum shows that the true
// sum has magnitude at most 2^24, and then it is exact.
struct window_sums {
  int64_t count = 0;
  int64_t magnitude = 0;
  uint64_t value = 0;

  // j is a grid column inside the column sums' range.
  void add(const column_sums& c, int64_t j) {
    j -= c.first;
    count += c.count[j];
    magnitude += std::min(c.magnitude[j], COLUMN_CAP);
    value += static_cast<uint64_t>(c.value[j]);
  }
  void remove(const column_sums& c, int64_t j) {
    j -= c.first;
    count -= c.count[j];
    magnitude -= std::min(c.magnitude[j], COLUMN_CAP);
    value -= static_cast<uint64_t>(c.value[j]);
  }
};

// Per-row working arrays of one strip of columns.
struct row_work {
  std::unique_ptr<int32_t[]> count;  // valid cells of the window, at most 2^24
  std::unique_ptr<int32_t[]> units;  // the window's sum in units of 2^e (0 unless it qualifies)
  std::unique_ptr<uint8_t[]> fits;   // 1 when the window qualifies
  bool allocate(int64_t n) {
    const size_t size = static_cast<size_t>(std::max<int64_t>(n, 1));
    count.reset(new (std::nothrow) int32_t[size]);
    units.reset(new (std::nothrow) int32_t[size]);
    fits.reset(new (std::nothrow) uint8_t[size]);
    return count && units && fits;
  }
};

// Output columns [c_begin, c_end) of one row (of `columns` cells) from the
// column sums of its window rows; the sums cover every column those
// windows reach. First the window sums slide along the row (integer work);
// then the means are formed in a loop without branches, which the compiler
// runs on vectors.
void lattice_row(const column_sums& sums, const float* centre_line, float* out, uint8_t* direct, float nodata,
                 int64_t half_width, float unit, int64_t columns, int64_t c_begin, int64_t c_end,
                 row_work& work, lattice_counts& counts) {
  window_sums w;
  const int64_t first_reach = std::min(c_begin + half_width, columns - 1);
  for (int64_t j = std::max<int64_t>(0, c_begin - half_width); j <= first_reach; ++j) w.add(sums, j);
  for (int64_t c = c_begin; c < c_end; ++c) {
    if (c > c_begin) {
      if (c + half_width < columns) w.add(sums, c + half_width);
      if (c - half_width - 1 >= 0) w.remove(sums, c - half_width - 1);
    }
    const bool fits = w.magnitude <= BOUND;
    const int64_t i = c - c_begin;
    // Adding 1.0f to a float count stops at 2^24 (2^24 + 1 rounds back).
    work.count[i] = static_cast<int32_t>(std::min(w.count, BOUND));
    // When the window qualifies its sum has magnitude at most 2^24.
    work.units[i] = fits ? static_cast<int32_t>(static_cast<int64_t>(w.value)) : 0;
    work.fits[i] = fits ? 1 : 0;
  }
  int64_t fast = 0, empty = 0;
  for (int64_t c = c_begin; c < c_end; ++c) {
    const int64_t i = c - c_begin;
    const bool valid = centre_line[c] > nodata;
    const bool take = valid && work.fits[i] != 0;
    // A window that does not qualify may have no count: its quotient is
    // formed but never stored.
    const float mean = static_cast<float>(work.units[i]) * unit / static_cast<float>(work.count[i]);
    out[c] = valid ? (take ? mean : out[c]) : nodata;
    direct[c] = static_cast<uint8_t>(valid && !take);
    fast += take;
    empty += !valid;
  }
  counts.fast += fast;
  counts.empty += empty;
  counts.direct += (c_end - c_begin) - fast - empty;
}

// Marks every cell of the rows direct, empty centres included: when no
// window is likely to qualify, telling them apart is not worth a pass.
lattice_counts all_direct(const row_band& in, uint8_t* direct, int64_t row_begin, int64_t row_end) {
  const int64_t cells = (row_end - row_begin) * in.columns;
  if (cells > 0) std::memset(direct, 1, static_cast<size_t>(cells));
  return {0, 0, cells};
}

// Tiles of up to TILE x TILE cells, evenly spread over at most
// SAMPLED_TILE_ROWS rows and SAMPLED_TILE_COLUMNS columns of tiles per pass,
// are looked at when choosing the exponent.
constexpr int64_t TILE = 4;
constexpr int64_t SAMPLED_TILE_ROWS = 8;
constexpr int64_t SAMPLED_TILE_COLUMNS = 1024;
// A pass is only summed when at least this share of the sampled tiles (of
// those holding a nonzero valid cell) agrees on an exponent: otherwise the
// sums would cost about as much as the few windows they could spare.
constexpr int64_t MIN_SHARE_DIVISOR = 16;

// The exponents at which every valid cell of a tile is, on its own, on the
// lattice and small enough that a full window of such cells stays within
// the bound: [lo, hi]. Windows of more than 2^24 cells only qualify with
// many zeros; for them a cell counts when it is at most one unit.
struct tile_interval {
  int lo = LATTICE_E_MIN;
  int hi = LATTICE_E_MAX;
  bool valid = false;    // holds a valid cell
  bool nonzero = false;  // holds a valid nonzero cell: zeros fit every lattice and tell nothing
  bool dead() const { return lo > hi; }
};

void tile_take(tile_interval& t, float v, int64_t window_cells) {
  t.valid = true;
  const float_parts p = split(v);
  if (!p.finite) {
    t.nonzero = true;
    t.lo = LATTICE_E_MAX + 1;
    return;
  }
  if (p.m == 0) return;
  t.nonzero = true;
  // On the lattice of 2^e for e up to the exponent of the lowest set bit.
  t.hi = std::min(t.hi, p.k + std::countr_zero(p.m));
  // |v| * n <= 2^(24 + e)  <=>  e >= k - 24 + ceil(log2(M * n)), with
  // n = window_cells cut at 2^24, so M * n < 2^48.
  const uint64_t n = static_cast<uint64_t>(std::min(window_cells, BOUND));
  t.lo = std::max(t.lo, p.k - 24 + ceil_log2(static_cast<uint64_t>(p.m) * n));
}

}  // namespace

lattice_choice lattice_choose_exponent(const row_band& in, int64_t row_begin, int64_t row_end, float nodata,
                                       int64_t half_width) {
  const int64_t reach_first = std::max<int64_t>(0, row_begin - half_width);
  const int64_t reach_end = std::min(in.grid_rows, row_end + half_width);
  const int64_t window_cells = window_side(half_width, in.grid_rows) * window_side(half_width, in.columns);
  const int64_t side = std::min<int64_t>(2 * half_width + 1, TILE);
  const int64_t row_stride = std::max(side, (reach_end - reach_first) / SAMPLED_TILE_ROWS);
  const int64_t column_stride = std::max(side, in.columns / SAMPLED_TILE_COLUMNS);

  // Each tile votes for every exponent of its interval; the exponent with
  // the most votes is chosen. Windows need every cell on the lattice, so a
  // tile that mixes lattices votes for neither: a grid of whole numbers is
  // not taken for one of even numbers because half its cells are even.
  int64_t change[E_COUNT + 1] = {};
  int64_t judged = 0;       // tiles with a nonzero valid cell
  bool only_zeros = false;  // some tile held valid zeros and nothing else
  for (int64_t top = reach_first; top < reach_end; top += row_stride) {
    const int64_t bottom = std::min(reach_end, top + side);
    for (int64_t left = 0; left < in.columns; left += column_stride) {
      const int64_t right = std::min(in.columns, left + side);
      tile_interval t;
      for (int64_t r = top; r < bottom && !t.dead(); ++r) {
        const float* line = band_row(in, r);
        for (int64_t c = left; c < right && !t.dead(); ++c)
          if (line[c] > nodata) tile_take(t, line[c], window_cells);
      }
      if (!t.nonzero) {
        only_zeros = only_zeros || t.valid;
        continue;
      }
      ++judged;
      if (t.dead()) continue;
      ++change[t.lo - LATTICE_E_MIN];
      --change[t.hi - LATTICE_E_MIN + 1];
    }
  }
  // Among equal votes the largest exponent leaves the most room under the
  // bound.
  lattice_choice best{false, 0};
  int64_t best_votes = 0;
  int64_t votes = 0;
  for (int i = 0; i < E_COUNT; ++i) {
    votes += change[i];
    if (votes > 0 && votes >= best_votes) {
      best_votes = votes;
      best = {true, LATTICE_E_MIN + i};
    }
  }
  if (best.found && best_votes * MIN_SHARE_DIVISOR < judged) return {false, 0};
  // Zeros alone say nothing about the other cells: whole numbers are the
  // commonest lattice.
  if (judged == 0 && only_zeros) return {true, 0};
  return best;
}

namespace {

// Output columns [c_begin, c_end) of rows [row_begin, row_end) at exponent e.
// Returns false when the column sums cannot be had.
bool lattice_columns(const row_band& in, float* out, uint8_t* direct, int64_t row_begin, int64_t row_end,
                     float nodata, int64_t half_width, int e, int64_t c_begin, int64_t c_end,
                     lattice_counts& counts) {
  const int64_t reach_begin = std::max<int64_t>(0, c_begin - half_width);
  const int64_t reach_end = std::min(in.columns, c_end + half_width);
  column_sums sums;
  row_work work;
  if (!sums.allocate(reach_begin, reach_end - reach_begin) || !work.allocate(c_end - c_begin)) return false;
  const float unit = power_of_two(e);
  // The window rows of row_begin are summed once; then each output row adds
  // the row entering its window and removes the row leaving it.
  const int64_t first = std::max<int64_t>(0, row_begin - half_width);
  const int64_t last = std::min(in.grid_rows - 1, row_begin + half_width);
  for (int64_t i = first; i <= last; ++i) sums.update(band_row(in, i), nullptr, nodata, e);
  for (int64_t r = row_begin; r < row_end; ++r) {
    if (r > row_begin) {
      const float* entering = r + half_width < in.grid_rows ? band_row(in, r + half_width) : nullptr;
      const float* leaving = r - half_width - 1 >= 0 ? band_row(in, r - half_width - 1) : nullptr;
      sums.update(entering, leaving, nodata, e);
    }
    const int64_t offset = (r - row_begin) * in.columns;
    lattice_row(sums, band_row(in, r), out + offset, direct + offset, nodata, half_width, unit, in.columns,
                c_begin, c_end, work, counts);
  }
  return true;
}

}  // namespace

lattice_counts lattice_mean_band(const row_band& in, float* out, uint8_t* direct, int64_t row_begin,
                                 int64_t row_end, float nodata, int64_t half_width, int threads) {
  const lattice_choice choice = lattice_choose_exponent(in, row_begin, row_end, nodata, half_width);
  if (!choice.found || in.columns == 0) return all_direct(in, direct, row_begin, row_end);

  // Threads take strips of columns. Each strip sums the columns its windows
  // reach, so a strip should be much wider than the window's reach.
  const int64_t widest = in.columns / std::max<int64_t>(1, 8 * std::min(half_width, in.columns) + 64);
  const int64_t strips = std::clamp<int64_t>(widest, 1, std::max(1, threads));
  std::vector<lattice_counts> counts(static_cast<size_t>(strips), lattice_counts{0, 0, 0});
  std::vector<char> whole(static_cast<size_t>(strips), 0);
  const auto strip = [&](int64_t s) {
    const int64_t c_begin = in.columns * s / strips;
    const int64_t c_end = in.columns * (s + 1) / strips;
    whole[static_cast<size_t>(s)] = lattice_columns(in, out, direct, row_begin, row_end, nodata, half_width,
                                                     choice.e, c_begin, c_end, counts[static_cast<size_t>(s)]);
  };
  std::vector<std::thread> helpers;
  for (int64_t s = 1; s < strips; ++s) {
    try {
      helpers.emplace_back(strip, s);
    } catch (const std::system_error&) {
      strip(s);  // no thread to be had: this one does the strip itself
    }
  }
  strip(0);
  for (std::thread& t : helpers) t.join();

  lattice_counts total{0, 0, 0};
  for (int64_t s = 0; s < strips; ++s) {
    if (!whole[static_cast<size_t>(s)]) return all_direct(in, direct, row_begin, row_end);
    total.fast += counts[static_cast<size_t>(s)].fast;
    total.empty += counts[static_cast<size_t>(s)].empty;
    total.direct += counts[static_cast<size_t>(s)].direct;
  }
  return total;
}
