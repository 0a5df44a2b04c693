#include "compute/lattice_mean.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "compute/lattice_simd.h"

namespace {

constexpr int64_t BOUND = int64_t{1} << 24;  // largest window magnitude, in units of 2^e
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

int64_t window_side(int64_t half_width, int64_t extent) {
  return std::min<int64_t>(2 * half_width + 1, extent);
}

// Marks every cell of the rows direct, empty centres included: when no
// window is likely to qualify, telling them apart is not worth a pass.
lattice_counts all_direct(const row_band& in, uint8_t* direct, int64_t row_begin, int64_t row_end) {
  const int64_t cells = (row_end - row_begin) * in.columns;
  if (cells > 0) std::memset(direct, 1, static_cast<size_t>(cells));
  return {0, 0, cells};
}

// Tiles of up to TILE x TILE cells, evenly spread over the rows the pass
// reaches and over its columns, are looked at when choosing the exponent:
// one row of tiles per SAMPLE_ROW_STEP output rows (at least one, at most
// SAMPLED_TILE_ROWS) and at most SAMPLED_TILE_COLUMNS columns of tiles, so
// that the choice costs a few per cent of summing the pass.
constexpr int64_t TILE = 4;
constexpr int64_t SAMPLE_ROW_STEP = 16;
constexpr int64_t SAMPLED_TILE_ROWS = 8;
constexpr int64_t SAMPLED_TILE_COLUMNS = 256;
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
  const int64_t tile_rows =
      std::clamp<int64_t>((row_end - row_begin) / SAMPLE_ROW_STEP, 1, SAMPLED_TILE_ROWS);
  const int64_t row_stride = std::max(side, (reach_end - reach_first) / tile_rows);
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

lattice_counts lattice_mean_band(const row_band& in, float* out, uint8_t* direct, int64_t row_begin,
                                 int64_t row_end, float nodata, int64_t half_width, int threads,
                                 int64_t target) {
  const lattice_strip_fn strip_fn = lattice_strip_for(target);
  if (strip_fn == nullptr || in.columns == 0) return all_direct(in, direct, row_begin, row_end);
  // The strips count a window's cells in 32 bits.
  const uint64_t window_cells = static_cast<uint64_t>(window_side(half_width, in.grid_rows)) *
                                static_cast<uint64_t>(window_side(half_width, in.columns));
  if (window_cells >> 32 != 0) return all_direct(in, direct, row_begin, row_end);
  const lattice_choice choice = lattice_choose_exponent(in, row_begin, row_end, nodata, half_width);
  if (!choice.found) return all_direct(in, direct, row_begin, row_end);

  // Threads take strips of columns. Each strip sums the columns its windows
  // reach, so a strip should be much wider than the window's reach.
  const int64_t widest = in.columns / std::max<int64_t>(1, 8 * std::min(half_width, in.columns) + 64);
  const int64_t strips = std::clamp<int64_t>(widest, 1, std::max(1, threads));
  std::vector<lattice_counts> counts(static_cast<size_t>(strips), lattice_counts{0, 0, 0});
  std::vector<char> whole(static_cast<size_t>(strips), 0);
  const auto strip = [&](int64_t s) {
    const int64_t c_begin = in.columns * s / strips;
    const int64_t c_end = in.columns * (s + 1) / strips;
    thread_local kept_scratch scratch;
    const lattice_strip_job job{in,         out,      direct,  row_begin, row_end,   nodata,
                                half_width, choice.e, c_begin, c_end,     &scratch.s};
    whole[static_cast<size_t>(s)] = strip_fn(job, counts[static_cast<size_t>(s)]);
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
