// The statistics' block reduction on vectors. Highway's foreach_target.h
// compiles this file once per SIMD target; the best one for the CPU is
// picked at run time.
//
// An increment is rounded to a multiple of its unit by adding and taking
// away 3 * 2^51 units: for a magnitude of at most 2^50 units the sum lies
// where doubles are one unit apart, so the addition does the rounding. The
// caller checks that bound from `largest`; larger increments give sums it
// does not use. What is left over after rounding is exact, and an increment
// whose left-over is exactly half a unit is counted as a tie.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/stats_simd.cpp"
#include "compute/stats_simd.h"

#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "compute/focal_mean_simd.h"

HWY_BEFORE_NAMESPACE();
namespace wavgrid_stats {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<double>;
using DF = hn::Rebind<float, D>;  // as many floats as D has doubles
using DU = hn::RebindToUnsigned<D>;
using V = hn::Vec<D>;

constexpr double ROUNDING_UNITS = 6755399441055744.0;  // 3 * 2^51

// One sum's increments rounded to multiples of its unit.
struct rounding {
  V shift;  // 3 * 2^51 units
  V half;   // half a unit

  explicit rounding(double unit) : shift(hn::Set(D(), unit * ROUNDING_UNITS)), half(hn::Set(D(), unit * 0.5)) {}
  V shifted(V step) const { return hn::Add(step, shift); }
  V rounded(V shifted_step) const { return hn::Sub(shifted_step, shift); }
  auto tie(V step, V rounded_step) const { return hn::Eq(hn::Abs(hn::Sub(step, rounded_step)), half); }
};

// Calls visit(x) for vectors of the block's values widened to double, the
// last one filled up with NaN (never counted).
template <class Visit>
void for_each_vector(const stats_block_job& job, const Visit& visit) {
  const D d;
  const DF df;
  const auto lanes = static_cast<int64_t>(hn::Lanes(d));
  int64_t i = 0;
  for (; i + lanes <= job.n; i += lanes) visit(hn::PromoteTo(d, hn::LoadU(df, job.values + i)));
  if (i < job.n) {
    float tail[HWY_MAX_BYTES / sizeof(double)];
    std::fill(tail, tail + lanes, std::numeric_limits<float>::quiet_NaN());
    std::memcpy(tail, job.values + i, static_cast<size_t>(job.n - i) * sizeof(float));
    visit(hn::PromoteTo(d, hn::LoadU(df, tail)));
  }
}

void block_reduce(const stats_block_job& job, stats_block& out) {
  const D d;
  const double inf = std::numeric_limits<double>::infinity();
  const V bound = hn::Set(d, job.bound);
  const V sign = hn::Set(d, job.sign);
  const V zero = hn::Zero(d);
  const V plus_inf = hn::Set(d, inf);
  const V minus_inf = hn::Set(d, -inf);
  const rounding sums(job.sum_unit), squares(job.squares_unit);

  V up = zero, total = zero, squares_up = zero, lo = plus_inf, hi = minus_inf;
  int64_t counted = 0, sum_ties = 0, square_ties = 0;
  for_each_vector(job, [&](V x) {
    const auto valid = hn::Gt(x, bound);  // a NaN fails the test too
    counted += static_cast<int64_t>(hn::CountTrue(d, valid));
    lo = hn::Min(lo, hn::IfThenElse(valid, x, plus_inf));
    hi = hn::Max(hi, hn::IfThenElse(valid, x, minus_inf));
    const V v = hn::IfThenElseZero(valid, x);

    const V step = hn::Mul(v, sign);
    const V rounded = sums.rounded(sums.shifted(step));
    sum_ties += static_cast<int64_t>(hn::CountTrue(d, sums.tie(step, rounded)));
    up = hn::Add(up, hn::Max(rounded, zero));
    total = hn::Add(total, rounded);

    const V square = hn::Mul(v, v);  // exact: a float's square fits a double
    const V rounded_square = squares.rounded(squares.shifted(square));
    square_ties += static_cast<int64_t>(hn::CountTrue(d, squares.tie(square, rounded_square)));
    squares_up = hn::Add(squares_up, rounded_square);
  });

  out.counted = counted;
  out.sum_ties = sum_ties;
  out.square_ties = square_ties;
  out.sum_up = hn::GetLane(hn::SumOfLanes(d, up));
  // The steps down as what the steps up exceed the total by. Every partial
  // sum here is a multiple of the unit; while the steps each way stay below
  // 2^53 units they are exact, and beyond that the caller's bounds fail
  // either way.
  out.sum_down = out.sum_up - hn::GetLane(hn::SumOfLanes(d, total));
  out.squares_up = hn::GetLane(hn::SumOfLanes(d, squares_up));
  out.minimum = hn::GetLane(hn::MinOfLanes(d, lo));
  out.maximum = hn::GetLane(hn::MaxOfLanes(d, hi));
  out.largest = counted > 0 ? std::max(std::fabs(out.minimum), std::fabs(out.maximum)) : 0.0;
}

// A mask's lanes as bits, lane 0 lowest.
template <class M>
uint64_t lane_bits(M mask) {
  uint8_t bytes[8] = {};
  hn::StoreMaskBits(D(), mask, bytes);
  uint64_t bits;
  std::memcpy(&bits, bytes, sizeof bits);
  return bits;
}

int64_t tie_units(const stats_ties_job& job) {
  static_assert(HWY_MAX_BYTES / sizeof(double) <= 64, "a vector's lanes fit the bits of one word");
  const D d;
  const DU du;
  const V bound = hn::Set(d, job.block.bound);
  const V sign = hn::Set(d, job.block.sign);
  const rounding r(job.squares ? job.block.squares_unit : job.block.sum_unit);
  const auto one = hn::Set(du, 1);
  const auto lanes = static_cast<int>(hn::Lanes(d));
  uint64_t parity = static_cast<uint64_t>(job.parity & 1);
  int64_t units = 0;
  for_each_vector(job.block, [&](V x) {
    const V v = hn::IfThenElseZero(hn::Gt(x, bound), x);
    const V step = job.squares ? hn::Mul(v, v) : hn::Mul(v, sign);
    const V shifted = r.shifted(step);
    const V rounded = r.rounded(shifted);
    // The shifted sum is (3 * 2^51 + the rounded increment) units: its last
    // mantissa bit is the increment's parity in units.
    const uint64_t odd = lane_bits(hn::RebindMask(d, hn::Eq(hn::And(hn::BitCast(du, shifted), one), one)));
    uint64_t ties = lane_bits(r.tie(step, rounded));
    if (ties == 0) {
      parity ^= static_cast<uint64_t>(std::popcount(odd)) & 1;
      return;
    }
    const uint64_t rounded_down = lane_bits(hn::Gt(step, rounded));
    int from = 0;
    for (; ties != 0; ties &= ties - 1) {
      const int lane = std::countr_zero(ties);
      // The parity up to the tie (its even rounding adds none); an odd
      // running sum takes the tie's other neighbour, one unit away.
      const uint64_t before = (odd >> from) & ((uint64_t{1} << (lane - from)) - 1);
      parity ^= static_cast<uint64_t>(std::popcount(before)) & 1;
      if (parity != 0) units += ((rounded_down >> lane) & 1) != 0 ? 1 : -1;
      parity = 0;
      from = lane + 1;
    }
    if (from < lanes) parity ^= static_cast<uint64_t>(std::popcount(odd >> from)) & 1;
  });
  return units;
}

stats_block_kernels kernels_of_target() { return {&block_reduce, &tie_units}; }

}  // namespace HWY_NAMESPACE
}  // namespace wavgrid_stats
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace wavgrid_stats {
HWY_EXPORT(kernels_of_target);
}  // namespace wavgrid_stats

stats_block_kernels stats_block_for(int64_t target) {
  if (target == 0) return HWY_DYNAMIC_DISPATCH(wavgrid_stats::kernels_of_target)();
  const int index = simd_dispatch_index(target);
  if (index < 0) return {};
  const auto entry = wavgrid_stats::HWY_DISPATCH_TABLE(kernels_of_target)[index];
  return entry != nullptr ? entry() : stats_block_kernels{};
}

#endif  // HWY_ONCE
