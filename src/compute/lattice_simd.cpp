// The integer-sum path on vectors. Highway's foreach_target.h compiles this
// file once per SIMD target; the best one for the CPU is picked at run time.
//
// For a strip of output columns, every column the strip's windows reach
// keeps sums over the input rows of the current output row's window: the
// count of valid cells, the sum of their magnitudes in units of 2^e (a valid
// cell off the lattice counts as more than the bound, so any window holding
// it fails) and the sum of their values in units of 2^e. Moving to the next
// output row adds the entering row and takes away the leaving one. Each
// output row then forms running totals of the column sums along the row, and
// a window's sums are the difference of two running totals.
//
// Exactness. Magnitudes are summed in 64-bit integers, which cannot
// overflow (at most 2^31 rows of cells of at most 2^24 + 1, and column
// magnitudes cut at 2^25 before they are totalled along a row). Counts and
// values are summed in 32 bits and may wrap around 2^32 along a row; a
// window's count is a difference of two totals and exact, since no window
// given to this path holds 2^32 cells; a window's value sum is only read
// where its magnitude sum is at most 2^24, and then the true sum lies in
// [-2^24, 2^24] and the wrapped one is that number. Whether a cell is on the lattice is decided
// without rounding: see unit_scale.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/lattice_simd.cpp"
#include "compute/lattice_simd.h"

#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

HWY_BEFORE_NAMESPACE();
namespace wavgrid_lattice {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<float>;
using DI = hn::RebindToSigned<D>;
using DU = hn::RebindToUnsigned<D>;
using DU8 = hn::Rebind<uint8_t, DU>;
using D64 = hn::ScalableTag<int64_t>;
using DU64 = hn::RebindToUnsigned<D64>;
using D64_I32 = hn::Rebind<int32_t, D64>;   // as many 32-bit lanes as D64 has
using D64_U32 = hn::Rebind<uint32_t, D64>;  // the same, unsigned

constexpr int64_t BOUND = int64_t{1} << 24;  // largest window magnitude, in units of 2^e
// The magnitude given to a valid cell that is off the lattice: above the
// bound on its own, so any window holding it fails.
constexpr int32_t OFF_LATTICE = (int32_t{1} << 24) + 1;
// Column magnitude sums are cut here before they are totalled along a row:
// a column above the bound fails every window that holds it either way, and
// the cut keeps a row of up to 2^31 columns within 2^56.
constexpr int64_t COLUMN_CAP = int64_t{1} << 25;

// How a cell is put into units of 2^e: multiplied by 2^-e in two steps
// (2^-e itself may not be a float), then checked. A cell v is on the
// lattice with U units exactly when v = U * 2^e with U a whole number of
// magnitude at most 2^24. Then both steps are exact and give U; and when
// the result u is a whole number of that size, u * 2^e is exact, so
// u * 2^e == v proves v = u * 2^e whatever the steps rounded on the way.
struct unit_scale {
  float first;   // 2^-(e / 2)
  float second;  // 2^-(e - e / 2)
  float unit;    // 2^e
};

float power_of_two(int k) { return std::ldexp(1.0f, k); }

unit_scale scale_for(int e) { return {power_of_two(-(e / 2)), power_of_two(-(e - e / 2)), power_of_two(e)}; }

// One cell: whether it is valid, its units (0 unless valid and on the
// lattice) and its magnitude (0 when empty, OFF_LATTICE when off it).
struct cell_units {
  int32_t valid, units, magnitude;
};

cell_units units_of(float v, float nodata, const unit_scale& s) {
  if (!(v > nodata)) return {0, 0, 0};  // a NaN is never valid
  const float u = v * s.first * s.second;
  const bool on = std::fabs(u) <= 16777216.0f && std::trunc(u) == u && u * s.unit == v;
  if (!on) return {1, 0, OFF_LATTICE};
  const int32_t units = static_cast<int32_t>(u);
  return {1, units, units < 0 ? -units : units};
}

// The same for a vector of cells.
struct vector_units {
  hn::Mask<DI> valid;
  hn::Vec<DI> units, magnitude;
};

// With WHOLE (e = 0) the units are the values themselves: no scaling, and
// nothing to check by a round trip.
template <bool WHOLE>
HWY_INLINE vector_units units_of(hn::Vec<D> v, hn::Vec<D> nodata, const unit_scale& s) {
  const D d;
  const DI di;
  const auto valid = hn::Gt(v, nodata);
  const auto u = WHOLE ? v : hn::Mul(hn::Mul(v, hn::Set(d, s.first)), hn::Set(d, s.second));
  auto on = hn::And(hn::And(valid, hn::Le(hn::Abs(u), hn::Set(d, 16777216.0f))), hn::Eq(hn::Trunc(u), u));
  if (!WHOLE) on = hn::And(on, hn::Eq(hn::Mul(u, hn::Set(d, s.unit)), v));
  const auto units = hn::ConvertTo(di, hn::IfThenElseZero(on, u));
  const auto valid_i = hn::RebindMask(di, valid);
  const auto magnitude = hn::IfThenElseZero(
      valid_i, hn::IfThenElse(hn::RebindMask(di, on), hn::Abs(units), hn::Set(di, OFF_LATTICE)));
  return {valid_i, units, magnitude};
}

// The strip's column sums, their running totals along the row, and the
// per-row results, all in one block of scratch memory.
struct strip_memory {
  uint32_t* value;           // per reach column, wrapping
  uint32_t* count;           // per reach column
  int64_t* magnitude;        // per reach column
  int32_t* magnitude_step;   // per reach column: the change for this row
  uint32_t* count_total;     // running totals, output positions + window width
  int64_t* magnitude_total;  //   (counts in 32 bits: no window holds 2^32 cells)
  uint32_t* value_total;
  uint32_t* window_fits;  // per output column: all ones when the window qualifies
};

// Adds the row `entering` and takes away the row `leaving` (either may be
// null) over the n reach columns; the lines start at the first of them.
// Returns the largest column magnitude sum after the change.
template <bool WHOLE>
int64_t slide_columns(const float* HWY_RESTRICT entering, const float* HWY_RESTRICT leaving, int64_t n,
                      float nodata, const unit_scale& s, const strip_memory& m) {
  const D d;
  const DI di;
  const DU du;
  const int64_t lanes = static_cast<int64_t>(hn::Lanes(d));
  const auto nd = hn::Set(d, nodata);
  const auto none =
      vector_units{hn::RebindMask(di, hn::Lt(hn::Zero(d), hn::Zero(d))), hn::Zero(di), hn::Zero(di)};
  int64_t j = 0;
  for (; j + lanes <= n; j += lanes) {
    const vector_units a = entering != nullptr ? units_of<WHOLE>(hn::LoadU(d, entering + j), nd, s) : none;
    const vector_units b = leaving != nullptr ? units_of<WHOLE>(hn::LoadU(d, leaving + j), nd, s) : none;
    // A true mask is all ones, which is -1.
    const auto count_step = hn::Sub(hn::VecFromMask(di, b.valid), hn::VecFromMask(di, a.valid));
    hn::StoreU(hn::Add(hn::LoadU(du, m.count + j), hn::BitCast(du, count_step)), du, m.count + j);
    hn::StoreU(hn::Sub(a.magnitude, b.magnitude), di, m.magnitude_step + j);
    const auto value = hn::Add(hn::LoadU(du, m.value + j), hn::BitCast(du, hn::Sub(a.units, b.units)));
    hn::StoreU(value, du, m.value + j);
  }
  for (; j < n; ++j) {
    const cell_units a = entering != nullptr ? units_of(entering[j], nodata, s) : cell_units{0, 0, 0};
    const cell_units b = leaving != nullptr ? units_of(leaving[j], nodata, s) : cell_units{0, 0, 0};
    m.count[j] += static_cast<uint32_t>(a.valid) - static_cast<uint32_t>(b.valid);
    m.magnitude_step[j] = a.magnitude - b.magnitude;
    m.value[j] += static_cast<uint32_t>(a.units) - static_cast<uint32_t>(b.units);
  }

  const D64 d64;
  const D64_I32 d32;
  const int64_t lanes64 = static_cast<int64_t>(hn::Lanes(d64));
  auto largest_v = hn::Zero(d64);
  j = 0;
  for (; j + lanes64 <= n; j += lanes64) {
    const auto magnitude =
        hn::Add(hn::LoadU(d64, m.magnitude + j), hn::PromoteTo(d64, hn::LoadU(d32, m.magnitude_step + j)));
    hn::StoreU(magnitude, d64, m.magnitude + j);
    largest_v = hn::Max(largest_v, magnitude);
  }
  int64_t largest = 0;
  for (; j < n; ++j) {
    m.magnitude[j] += m.magnitude_step[j];
    largest = std::max(largest, m.magnitude[j]);
  }
  int64_t per_lane[64];
  hn::StoreU(largest_v, d64, per_lane);
  for (int64_t k = 0; k < lanes64; ++k) largest = std::max(largest, per_lane[k]);
  return largest;
}

// Running totals of `columns` (`positions` of them): totals[0] = 0 and
// totals[t + 1] = totals[t] + columns[t], each column first cut at `cap`.
// A vector's own totals come from log2(lanes) shifted additions in
// registers, then the total of all vectors before it is added.
template <class DT>
void running_total(DT d, const hn::TFromD<DT>* HWY_RESTRICT columns, int64_t positions, hn::TFromD<DT> cap,
                   hn::TFromD<DT>* HWY_RESTRICT totals) {
  using T = hn::TFromD<DT>;
  using TI = hwy::MakeSigned<T>;
  constexpr int MAX_LANES = 64;
  const int64_t n = static_cast<int64_t>(hn::Lanes(d));
  TI from[6][MAX_LANES];  // at step s, lane i takes lane i - 2^s (lanes below 2^s take nothing)
  TI last[MAX_LANES];     // every lane takes the last one
  int steps = 0;
  for (int64_t k = 1; k < n; k *= 2, ++steps)
    for (int64_t i = 0; i < n; ++i) from[steps][i] = static_cast<TI>(i >= k ? i - k : 0);
  for (int64_t i = 0; i < n; ++i) last[i] = static_cast<TI>(n - 1);
  using indices = decltype(hn::SetTableIndices(d, last));
  using mask = decltype(hn::FirstN(d, 0));
  indices shift[6];
  mask below[6];
  for (int step = 0; step < steps; ++step) {
    shift[step] = hn::SetTableIndices(d, from[step]);
    below[step] = hn::FirstN(d, size_t{1} << step);
  }
  const indices to_last = hn::SetTableIndices(d, last);
  const auto cap_v = hn::Set(d, cap);
  auto before = hn::Zero(d);
  totals[0] = 0;
  int64_t t = 0;
  for (; t + n <= positions; t += n) {
    auto v = hn::Min(hn::LoadU(d, columns + t), cap_v);
    for (int step = 0; step < steps; ++step)
      v = hn::Add(v, hn::IfThenZeroElse(below[step], hn::TableLookupLanes(v, shift[step])));
    v = hn::Add(v, before);
    hn::StoreU(v, d, totals + t + 1);
    before = hn::TableLookupLanes(v, to_last);
  }
  T total = totals[t];
  for (; t < positions; ++t) {
    total = static_cast<T>(total + std::min(columns[t], cap));
    totals[t + 1] = total;
  }
}

// The running totals of the row's column sums; the window of output column
// c_begin + i then sums to total[i + width] - total[i]. Magnitudes are only
// totalled when some window may pass the bound.
void running_totals(const strip_memory& m, int64_t positions, bool all_fit) {
  running_total(DU(), m.count, positions, std::numeric_limits<uint32_t>::max(), m.count_total);
  if (!all_fit) running_total(D64(), m.magnitude, positions, COLUMN_CAP, m.magnitude_total);
  running_total(DU(), m.value, positions, std::numeric_limits<uint32_t>::max(), m.value_total);
}

// Whether each output column's window has its magnitude sum within the
// bound.
void window_tests(const strip_memory& m, int64_t outputs, int64_t width) {
  const D64 d64;
  const DU64 du64;
  const D64_U32 du32;
  const int64_t lanes64 = static_cast<int64_t>(hn::Lanes(d64));
  const auto above = hn::Set(d64, BOUND + 1);
  int64_t i = 0;
  for (; i + lanes64 <= outputs; i += lanes64) {
    const auto magnitude =
        hn::Sub(hn::LoadU(d64, m.magnitude_total + i + width), hn::LoadU(d64, m.magnitude_total + i));
    const auto fits = hn::VecFromMask(d64, hn::Lt(magnitude, above));
    hn::StoreU(hn::TruncateTo(du32, hn::BitCast(du64, fits)), du32, m.window_fits + i);
  }
  for (; i < outputs; ++i)
    m.window_fits[i] = m.magnitude_total[i + width] - m.magnitude_total[i] <= BOUND ? ~uint32_t{0} : 0u;
}

// Writes the means of the windows that qualify (every one when all_fit)
// and the no-data value for empty centres, and marks the rest for the
// direct computation. The count is cut at 2^24 (adding 1.0f to a float
// count stops there). A window that does not qualify may have no count: its
// quotient is formed but never stored. `centre`, `out` and `direct` start
// at the strip's first column.
void row_means(const strip_memory& m, const float* HWY_RESTRICT centre, float* HWY_RESTRICT out,
               uint8_t* HWY_RESTRICT direct, int64_t outputs, int64_t width, bool all_fit, float nodata,
               float unit, lattice_counts& counts) {
  const D d;
  const DI di;
  const DU du;
  const DU8 du8;
  const int64_t lanes = static_cast<int64_t>(hn::Lanes(d));
  const auto nd = hn::Set(d, nodata);
  const auto unit_v = hn::Set(d, unit);
  const auto one = hn::Set(du, 1u);
  const auto most = hn::Set(du, uint32_t{1} << 24);
  int64_t fast = 0, empty = 0;
  int64_t i = 0;
  for (; i + lanes <= outputs; i += lanes) {
    const auto cells = hn::Sub(hn::LoadU(du, m.count_total + i + width), hn::LoadU(du, m.count_total + i));
    const auto count = hn::ConvertTo(d, hn::BitCast(di, hn::Min(cells, most)));
    const auto units = hn::Sub(hn::LoadU(du, m.value_total + i + width), hn::LoadU(du, m.value_total + i));
    const auto mean = hn::Div(hn::Mul(hn::ConvertTo(d, hn::BitCast(di, units)), unit_v), count);
    const auto valid = hn::Gt(hn::LoadU(d, centre + i), nd);
    const auto take =
        all_fit ? valid
                : hn::And(valid, hn::RebindMask(d, hn::Ne(hn::LoadU(du, m.window_fits + i), hn::Zero(du))));
    hn::StoreU(hn::IfThenElse(valid, hn::IfThenElse(take, mean, hn::LoadU(d, out + i)), nd), d, out + i);
    const auto marked = hn::RebindMask(du, hn::AndNot(take, valid));
    hn::StoreU(hn::TruncateTo(du8, hn::IfThenElseZero(marked, one)), du8, direct + i);
    fast += static_cast<int64_t>(hn::CountTrue(d, take));
    empty += lanes - static_cast<int64_t>(hn::CountTrue(d, valid));
  }
  for (; i < outputs; ++i) {
    const bool valid = centre[i] > nodata;
    const bool take = valid && (all_fit || m.window_fits[i] != 0);
    const int32_t units = static_cast<int32_t>(m.value_total[i + width] - m.value_total[i]);
    const uint32_t cells = std::min(m.count_total[i + width] - m.count_total[i], uint32_t{1} << 24);
    const float mean = static_cast<float>(units) * unit / static_cast<float>(static_cast<int32_t>(cells));
    out[i] = valid ? (take ? mean : out[i]) : nodata;
    direct[i] = static_cast<uint8_t>(valid && !take);
    fast += take;
    empty += !valid;
  }
  counts.fast += fast;
  counts.empty += empty;
  counts.direct += outputs - fast - empty;
}

bool lattice_strip(const lattice_strip_job& job, lattice_counts& counts) {
  const row_band& in = job.in;
  const int64_t columns = in.columns;
  if (job.row_begin >= job.row_end || job.c_begin >= job.c_end) return true;
  // A window reaching past an edge of the grid by more than the grid holds
  // no more cells: the reach is cut to the grid.
  const int64_t half = std::min(job.half_width, columns - 1);
  const int64_t half_r = std::min(job.half_width, in.grid_rows - 1);
  const int64_t width = 2 * half + 1;
  const int64_t reach_begin = std::max<int64_t>(0, job.c_begin - half);
  const int64_t reach_end = std::min(columns, job.c_end + half);
  const int64_t n = reach_end - reach_begin;
  const int64_t outputs = job.c_end - job.c_begin;
  const int64_t positions = outputs + width;

  // Every array is padded to whole vectors and starts on a 64-byte line.
  uint64_t bytes = 0;
  auto part = [&bytes](int64_t elements, uint64_t size) {
    const uint64_t at = bytes;
    bytes += (static_cast<uint64_t>(elements + 16) * size + 63) / 64 * 64;
    return at;
  };
  // The column sums span every position of the running totals, zero where
  // no reach column lies; the reach columns start at `lead`.
  const int64_t lead = reach_begin - (job.c_begin - half);
  const uint64_t value_at = part(positions, 4), count_at = part(positions, 4),
                 magnitude_at = part(positions, 8);
  const uint64_t magnitude_step_at = part(n, 4);
  const uint64_t count_total_at = part(positions + 1, 4), magnitude_total_at = part(positions + 1, 8);
  const uint64_t value_total_at = part(positions + 1, 4);
  const uint64_t window_fits_at = part(outputs, 4);
  char* memory = static_cast<char*>(simd_scratch_reserve(*job.scratch, static_cast<size_t>(bytes)));
  if (memory == nullptr) return false;
  const strip_memory m{reinterpret_cast<uint32_t*>(memory + value_at),
                       reinterpret_cast<uint32_t*>(memory + count_at),
                       reinterpret_cast<int64_t*>(memory + magnitude_at),
                       reinterpret_cast<int32_t*>(memory + magnitude_step_at),
                       reinterpret_cast<uint32_t*>(memory + count_total_at),
                       reinterpret_cast<int64_t*>(memory + magnitude_total_at),
                       reinterpret_cast<uint32_t*>(memory + value_total_at),
                       reinterpret_cast<uint32_t*>(memory + window_fits_at)};
  std::memset(m.value, 0, static_cast<size_t>(positions) * 4);
  std::memset(m.count, 0, static_cast<size_t>(positions) * 4);
  std::memset(m.magnitude, 0, static_cast<size_t>(positions) * 8);
  strip_memory reach = m;  // the same, from the first reach column
  reach.value += lead;
  reach.count += lead;
  reach.magnitude += lead;

  const unit_scale s = scale_for(job.e);
  // The window rows of row_begin are summed once; then each output row adds
  // the row entering its window and takes away the row leaving it.
  const int64_t first = std::max<int64_t>(0, job.row_begin - half_r);
  const int64_t last = std::min(in.grid_rows - 1, job.row_begin + half_r);
  // A row whose largest column magnitude times the window's width is within
  // the bound has every window within it: no window needs its own test.
  const int64_t largest_that_fits = BOUND / width;
  int64_t largest = 0;
  const auto slide = job.e == 0 ? &slide_columns<true> : &slide_columns<false>;
  for (int64_t i = first; i <= last; ++i)
    largest = slide(band_row(in, i) + reach_begin, nullptr, n, job.nodata, s, reach);
  for (int64_t r = job.row_begin; r < job.row_end; ++r) {
    if (r > job.row_begin) {
      const float* entering = r + half_r < in.grid_rows ? band_row(in, r + half_r) + reach_begin : nullptr;
      const float* leaving = r - half_r - 1 >= 0 ? band_row(in, r - half_r - 1) + reach_begin : nullptr;
      largest = slide(entering, leaving, n, job.nodata, s, reach);
    }
    const bool all_fit = largest <= largest_that_fits;
    running_totals(m, positions, all_fit);
    if (!all_fit) window_tests(m, outputs, width);
    const int64_t offset = (r - job.row_begin) * columns + job.c_begin;
    row_means(m, band_row(in, r) + job.c_begin, job.out + offset, job.direct + offset, outputs, width,
              all_fit, job.nodata, s.unit, counts);
  }
  return true;
}

lattice_strip_fn strip_of_target() { return &lattice_strip; }

}  // namespace HWY_NAMESPACE
}  // namespace wavgrid_lattice
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace wavgrid_lattice {
HWY_EXPORT(strip_of_target);
}  // namespace wavgrid_lattice

lattice_strip_fn lattice_strip_for(int64_t target) {
  if (target == 0) return HWY_DYNAMIC_DISPATCH(wavgrid_lattice::strip_of_target)();
  const int index = simd_dispatch_index(target);
  if (index < 0) return nullptr;
  const auto entry = wavgrid_lattice::HWY_DISPATCH_TABLE(strip_of_target)[index];
  return entry != nullptr ? entry() : nullptr;
}

#endif  // HWY_ONCE
