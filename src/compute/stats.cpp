#include "compute/stats.h"

#include <algorithm>
#include <cmath>

#include "compute/stats_simd.h"

namespace {

// Values reduced at once on vectors.
constexpr int64_t STATS_BLOCK = 4096;
// The most blocks added in order after a block that could not be reduced.
constexpr int64_t STATS_MAX_BACKOFF = 64;

// One counted-value step. Kept inline on plain doubles so that a row loop
// keeps everything in registers: the chain of dependent sum additions is then
// the only limit.
struct running {
  double count, sum, sum_squares, minimum, maximum;
};

inline void offer(running& r, double x, double bound) {
  if (!(x > bound)) return;  // a NaN fails the test too
  r.count += 1.0;
  r.sum += x;
  r.sum_squares += x * x;
  if (r.count == 1.0) {
    r.minimum = x;
    r.maximum = x;
  } else if (x < r.minimum) {
    r.minimum = x;
  } else if (x > r.maximum) {
    r.maximum = x;
  }
}

running load(const stats_accumulator& s) { return {s.count, s.sum, s.sum_squares, s.minimum, s.maximum}; }

void store(stats_accumulator& s, const running& r) {
  s.count = r.count;
  s.sum = r.sum;
  s.sum_squares = r.sum_squares;
  s.minimum = r.minimum;
  s.maximum = r.maximum;
}

// After the first counted value: the count in an integer (exact), and the
// minimum and maximum without branches: x < min ? x : min keeps the earlier
// of two equal values (+0.0 and -0.0), as the step above does.
void add_in_order(running& r, const float* values, int64_t n, double bound) {
  int64_t counted = 0;
  double sum = r.sum, sum_squares = r.sum_squares, minimum = r.minimum, maximum = r.maximum;
  for (int64_t i = 0; i < n; ++i) {
    const double x = static_cast<double>(values[i]);
    if (!(x > bound)) continue;  // a NaN fails the test too
    ++counted;
    sum += x;
    sum_squares += x * x;
    minimum = x < minimum ? x : minimum;
    maximum = x > maximum ? x : maximum;
  }
  r.count += static_cast<double>(counted);
  r.sum = sum;
  r.sum_squares = sum_squares;
  r.minimum = minimum;
  r.maximum = maximum;
}

// Values added one at a time to a running sum a >= 0 change it by exact
// steps as long as it stays in one binade [2^k, 2^(k+1)): there doubles are
// the multiples of u = 2^(k-52), a is one of them, and so a + x rounds to
// a + (x rounded to a multiple of u). Only a tie, x exactly halfway, could
// round otherwise (to the even multiple of u, which depends on a). The
// rounded steps can then be summed in any order.
struct binade {
  double low, high, unit;  // 2^k, 2^(k+1), 2^(k-52)
};

// Sums far from underflow and overflow only, so that a unit and half of it
// are normal numbers.
bool binade_of(double a, binade& b) {
  if (!(a >= 0x1p-960 && a < 0x1p960)) return false;
  const int k = std::ilogb(a);
  b = {std::ldexp(1.0, k), std::ldexp(1.0, k + 1), std::ldexp(1.0, k - 52)};
  return true;
}

// Whether every running sum a + (steps so far) of the block stays in a's
// binade, given the sums of its rounded steps up and down: the running
// sums then lie in [a - down, a + up], and a step's exact result is within
// half a unit of the next one. All the numbers here are multiples of the
// unit, so these differences and sums are exact where the test passes; a
// sum of steps that went past 2^53 units cannot pass it.
bool stays_in(const binade& b, double a, double up, double down) {
  return a - down >= b.low + b.unit && a + up <= b.high - b.unit;
}

// The earliest counted value of the block equal to zero: the minimum or
// maximum in order when that is +0.0 or -0.0.
double first_zero(const float* values, int64_t n, double bound) {
  for (int64_t i = 0; i < n; ++i) {
    const double x = static_cast<double>(values[i]);
    if (x > bound && x == 0.0) return x;
  }
  return 0.0;
}

// The parity of a running sum in units of its binade: a whole number below
// 2^53, exact as a double.
int parity_in_units(double a, const binade& b) { return static_cast<int>(static_cast<uint64_t>(a / b.unit) & 1); }

// Adds a block of values at once where that gives the bits of adding them
// in order; returns false, having changed nothing, where it cannot show so.
bool add_block(running& r, const float* values, int64_t n, double bound, const stats_block_kernels& k) {
  const double sign = r.sum < 0 ? -1.0 : 1.0;
  const double a = sign * r.sum;
  binade sums, squares;
  if (!binade_of(a, sums) || !binade_of(r.sum_squares, squares)) return false;
  const stats_block_job job{values, n, bound, sign, sums.unit, squares.unit};
  stats_block b;
  k.reduce(job, b);
  // Steps of at most a quarter of the binade's start: the bound of the
  // vector rounding (2^50 units), and of any step that stays in the binade.
  // A tie may end up one unit from where the sums put it.
  const double sum_slack = static_cast<double>(b.sum_ties) * sums.unit;
  const double square_slack = static_cast<double>(b.square_ties) * squares.unit;
  const bool exact = b.largest <= sums.low * 0.25 && b.largest * b.largest <= squares.low * 0.25 &&
                     stays_in(sums, a, b.sum_up + sum_slack, b.sum_down + sum_slack) &&
                     stays_in(squares, r.sum_squares, b.squares_up + square_slack, square_slack);
  if (!exact) return false;
  const int64_t sum_units = b.sum_ties == 0 ? 0 : k.tie_units({job, false, parity_in_units(a, sums)});
  const int64_t square_units =
      b.square_ties == 0 ? 0 : k.tie_units({job, true, parity_in_units(r.sum_squares, squares)});
  r.count += static_cast<double>(b.counted);
  r.sum = sign * (a + b.sum_up - b.sum_down + static_cast<double>(sum_units) * sums.unit);
  r.sum_squares += b.squares_up + static_cast<double>(square_units) * squares.unit;
  if (b.counted > 0) {
    // Equal extremes have equal bits, but for +0.0 and -0.0.
    const double minimum = b.minimum == 0.0 ? first_zero(values, n, bound) : b.minimum;
    const double maximum = b.maximum == 0.0 ? first_zero(values, n, bound) : b.maximum;
    r.minimum = minimum < r.minimum ? minimum : r.minimum;
    r.maximum = maximum > r.maximum ? maximum : r.maximum;
  }
  return true;
}

}  // namespace

void stats_reset(stats_accumulator& s, float nodata) {
  s.threshold = static_cast<double>(nodata);
  s.count = 0;
  s.sum = 0;
  s.sum_squares = 0;
  s.blocks_in_order = 0;
  s.backoff = 0;
}

void stats_add(stats_accumulator& s, double x) {
  running r = load(s);
  offer(r, x, s.threshold + 1.0);
  store(s, r);
}

void stats_add_row(stats_accumulator& s, const float* values, int64_t n) { stats_add_row_on(s, values, n, 0); }

int64_t stats_add_row_on(stats_accumulator& s, const float* values, int64_t n, int64_t target) {
  running r = load(s);
  const double bound = s.threshold + 1.0;
  int64_t i = 0;
  // Until the first counted value, which sets the minimum and maximum.
  for (; i < n && r.count == 0.0; ++i) offer(r, static_cast<double>(values[i]), bound);
  const stats_block_kernels kernels = target >= 0 ? stats_block_for(target) : stats_block_kernels{};
  int64_t on_vectors = 0;
  while (i < n) {
    const int64_t m = std::min(STATS_BLOCK, n - i);
    bool done = false;
    if (kernels.reduce != nullptr && s.blocks_in_order == 0) {
      done = add_block(r, values + i, m, bound, kernels);
      // A failure skips the next 1, 2, 4, ... blocks, up to a cap; a
      // success starts over.
      s.backoff = done ? 0 : std::min(STATS_MAX_BACKOFF, std::max<int64_t>(1, 2 * s.backoff));
      s.blocks_in_order = done ? 0 : s.backoff;
    } else if (s.blocks_in_order > 0) {
      --s.blocks_in_order;
    }
    if (done)
      on_vectors += m;
    else
      add_in_order(r, values + i, m, bound);
    i += m;
  }
  store(s, r);
  return on_vectors;
}

grid_stats stats_finish(const stats_accumulator& s) {
  grid_stats g;
  g.count = static_cast<float>(s.count);
  g.minimum = static_cast<float>(s.minimum);
  g.maximum = static_cast<float>(s.maximum);
  g.sum = static_cast<float>(s.sum);
  const double n = static_cast<double>(g.count);
  g.mean = n > 0 ? static_cast<float>(s.sum / n) : STATS_UNDEFINED;
  if (n > 2) {
    const double q = s.sum_squares - s.sum * s.sum / n;
    g.std_dev = q > 0 ? static_cast<float>(std::sqrt(q / (n - 1))) : 0.0f;
  } else {
    g.std_dev = STATS_UNDEFINED;
  }
  return g;
}

grid_stats raster_stats(const grid_raster& r, float nodata) {
  stats_accumulator s;
  stats_reset(s, nodata);
  for (int64_t row = 0; row < r.rows; ++row) stats_add_row(s, raster_row(r, row), r.columns);
  return stats_finish(s);
}
