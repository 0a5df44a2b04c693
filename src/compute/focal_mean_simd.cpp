// The focal mean vectorised across adjacent output cells. Highway's
// foreach_target.h compiles this file once per SIMD target; the best one
// for the CPU is picked at run time.
//
// Exactness. Lane l of a vector belongs to output column c + l and keeps
// that cell's own single-precision sum. For window row i and shift s the
// kernel loads one contiguous vector from input row i, starting at column
// c - half_width + s, so every lane adds its own window cells, left to right
// within a window row and window rows top to bottom: the order of the
// definition. Each row is first copied with every empty cell (and every
// position beyond the grid's left and right edges) set to +0.0f. Adding +0.0f
// to a sum that started at +0.0f leaves its bits unchanged (such a sum is
// never -0.0f; NaN, infinities and subnormals pass through as long as
// flush-to-zero is off, which nothing here turns on), so no lane needs a
// mask. The count of valid cells is an exact integer from sliding column
// counts, turned into the definition's float count by
// window_count_as_float. The quotient is one IEEE division per lane.
//
// Speed. A block of BLOCK_ROWS output rows by BLOCK_VECTORS vectors of
// columns is summed at once: every vector loaded from input row i is added
// to each of the block's rows whose window holds row i, so a load feeds up
// to BLOCK_ROWS additions, and BLOCK_ROWS * BLOCK_VECTORS independent sums
// keep the adders busy while each addition's latency runs.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/focal_mean_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "compute/focal_mean_simd.h"

HWY_BEFORE_NAMESPACE();
namespace wavgrid_simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<float>;
using V = hn::Vec<D>;

// Output rows summed together. add_input_row_to below is written for 4.
constexpr int BLOCK_ROWS = 4;

// Vectors of adjacent columns summed together: 16 sums on targets with 32
// vector registers, 12 where there are 16 (the loaded vector needs one more).
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
constexpr int BLOCK_VECTORS = 4;
#else
constexpr int BLOCK_VECTORS = 3;
#endif

struct block_sums {
  V v[BLOCK_ROWS][BLOCK_VECTORS];
};

// Adds one input row's window cells to the sums of block rows FIRST..LAST
// (those whose window holds the input row): for every shift s, one load per
// vector of columns, shared by those rows. `p` points at the padded copy of
// the input row, at the block's first column.
template <int FIRST, int LAST>
HWY_INLINE void add_input_row(const float* HWY_RESTRICT p, int64_t s_first, int64_t s_last,
                              block_sums& sums) {
  const D d;
  const size_t n = hn::Lanes(d);
  for (int64_t s = s_first; s <= s_last; ++s) {
    const float* q = p + s;
    for (int v = 0; v < BLOCK_VECTORS; ++v) {
      const V x = hn::LoadU(d, q + static_cast<size_t>(v) * n);
      for (int k = FIRST; k <= LAST; ++k) sums.v[k][v] = hn::Add(sums.v[k][v], x);
    }
  }
}

// add_input_row with the row range known at run time. Each case is its own
// loop with its sums in registers.
HWY_INLINE void add_input_row_to(int64_t first, int64_t last, const float* HWY_RESTRICT p,
                                 int64_t s_first, int64_t s_last, block_sums& sums) {
  static_assert(BLOCK_ROWS == 4, "one case per row range of a block of 4 rows");
  switch (first * BLOCK_ROWS + last) {
    case 0: return add_input_row<0, 0>(p, s_first, s_last, sums);
    case 1: return add_input_row<0, 1>(p, s_first, s_last, sums);
    case 2: return add_input_row<0, 2>(p, s_first, s_last, sums);
    case 3: return add_input_row<0, 3>(p, s_first, s_last, sums);
    case 5: return add_input_row<1, 1>(p, s_first, s_last, sums);
    case 6: return add_input_row<1, 2>(p, s_first, s_last, sums);
    case 7: return add_input_row<1, 3>(p, s_first, s_last, sums);
    case 10: return add_input_row<2, 2>(p, s_first, s_last, sums);
    case 11: return add_input_row<2, 3>(p, s_first, s_last, sums);
    case 15: return add_input_row<3, 3>(p, s_first, s_last, sums);
    default: return;  // first > last: the input row is in no window
  }
}

inline int64_t round_up(int64_t x, int64_t m) { return (x + m - 1) / m * m; }

// The padded copy of one input row: `pad` cells of +0.0f, the row with every
// empty cell as +0.0f, then +0.0f up to `stride`.
void pad_row(const float* src, int64_t columns, int64_t pad, int64_t stride, float nodata,
             float* HWY_RESTRICT dst) {
  std::fill(dst, dst + pad, 0.0f);
  float* mid = dst + pad;
  for (int64_t j = 0; j < columns; ++j) mid[j] = src[j] > nodata ? src[j] : 0.0f;
  std::fill(mid + columns, dst + stride, 0.0f);
}

// Adds `delta` to the column count of every valid cell of an input row.
void count_row(const float* src, int64_t columns, float nodata, int32_t delta,
               int32_t* HWY_RESTRICT column_counts) {
  for (int64_t j = 0; j < columns; ++j) column_counts[j] += src[j] > nodata ? delta : 0;
}

// The divisor of every cell of one output row: the definition's float count
// of valid window cells, or -1 where the centre cell is empty (so the
// division never sees a zero and the select below can tell empty centres).
// Positions from `columns` to `stride` get -1 too.
void row_divisors(const int32_t* column_counts, const float* centre_row, int64_t columns,
                  int64_t half, int64_t stride, float nodata, int64_t* HWY_RESTRICT prefix,
                  float* HWY_RESTRICT divisors) {
  prefix[0] = 0;
  for (int64_t j = 0; j < columns; ++j) prefix[j + 1] = prefix[j] + column_counts[j];
  for (int64_t c = 0; c < columns; ++c) {
    if (centre_row[c] > nodata) {
      const int64_t first = std::max<int64_t>(0, c - half);
      const int64_t last = std::min<int64_t>(columns - 1, c + half);
      divisors[c] = window_count_as_float(prefix[last + 1] - prefix[first]);
    } else {
      divisors[c] = -1.0f;
    }
  }
  std::fill(divisors + columns, divisors + stride, -1.0f);
}

bool focal_mean_rows(const simd_rows_job& job) {
  const D d;
  const int64_t n = static_cast<int64_t>(hn::Lanes(d));
  const row_band& in = job.in;
  const int64_t columns = in.columns;
  const int64_t grid_rows = in.grid_rows;
  const int64_t row_begin = job.row_begin;
  const int64_t row_end = job.row_end;
  if (row_begin >= row_end) return true;
  if (columns == 0) {
    if (job.rows_done != nullptr) job.rows_done(job.context, row_end);
    return true;
  }

  // Within the grid a window reaching past an edge by more than the grid
  // holds no more cells, so the half widths are cut to the grid: this keeps
  // the padding and the ring small for any window.
  const int64_t half_c = std::min(job.half_width, columns - 1);
  const int64_t half_r = std::min(job.half_width, grid_rows - 1);
  const int64_t width = BLOCK_VECTORS * n;  // columns of one block
  // A block's last lane may start past the last column: the padded row
  // reaches far enough for its loads.
  const int64_t stride = round_up(columns + 2 * half_c + width - 1, n);
  const int64_t ring_rows = std::min<int64_t>(2 * half_r + BLOCK_ROWS, grid_rows);
  const int64_t divisor_stride = round_up(columns + width, n);

  // One block of scratch: padded rows of the ring, the block's divisors, a
  // staging row of one block for the last partial block, prefix sums,
  // column counts; each part starts on a 64-byte boundary.
  const uint64_t ring_floats = static_cast<uint64_t>(ring_rows) * static_cast<uint64_t>(stride);
  if (ring_floats / static_cast<uint64_t>(stride) != static_cast<uint64_t>(ring_rows)) return false;
  uint64_t bytes = 0;
  auto part = [&bytes](uint64_t size) {
    const uint64_t at = bytes;
    bytes += (size + 63) / 64 * 64;
    return at;
  };
  const uint64_t ring_at = part(ring_floats * sizeof(float));
  const uint64_t divisors_at = part(static_cast<uint64_t>(BLOCK_ROWS * divisor_stride) * sizeof(float));
  const uint64_t staging_at = part(static_cast<uint64_t>(width) * sizeof(float));
  const uint64_t prefix_at = part(static_cast<uint64_t>(columns + 1) * sizeof(int64_t));
  const uint64_t counts_at = part(static_cast<uint64_t>(columns) * sizeof(int32_t));
  if (bytes > SIZE_MAX / 2) return false;
  char* memory = static_cast<char*>(simd_scratch_reserve(*job.scratch, static_cast<size_t>(bytes)));
  if (memory == nullptr) return false;
  float* ring = reinterpret_cast<float*>(memory + ring_at);
  float* divisors = reinterpret_cast<float*>(memory + divisors_at);
  float* staging = reinterpret_cast<float*>(memory + staging_at);
  int64_t* prefix = reinterpret_cast<int64_t*>(memory + prefix_at);
  int32_t* column_counts = reinterpret_cast<int32_t*>(memory + counts_at);

  // Column counts of valid cells over the window rows of row_begin.
  std::fill(column_counts, column_counts + columns, 0);
  for (int64_t i = std::max<int64_t>(0, row_begin - half_r);
       i <= std::min<int64_t>(grid_rows - 1, row_begin + half_r); ++i)
    count_row(band_row(in, i), columns, job.nodata, 1, column_counts);

  const V nodata = hn::Set(d, job.nodata);
  const V zero = hn::Zero(d);
  int64_t next_padded = std::max<int64_t>(0, row_begin - half_r);  // first input row not yet in the ring

  for (int64_t r = row_begin; r < row_end; r += BLOCK_ROWS) {
    const int64_t rows_here = std::min<int64_t>(BLOCK_ROWS, row_end - r);

    for (int64_t k = 0; k < rows_here; ++k) {
      const int64_t row = r + k;
      if (row > row_begin) {  // slide the column counts down one row
        if (row + half_r < grid_rows) count_row(band_row(in, row + half_r), columns, job.nodata, 1, column_counts);
        if (row - half_r - 1 >= 0) count_row(band_row(in, row - half_r - 1), columns, job.nodata, -1, column_counts);
      }
      row_divisors(column_counts, band_row(in, row), columns, half_c, divisor_stride, job.nodata, prefix,
                   divisors + k * divisor_stride);
    }

    const int64_t i_first = std::max<int64_t>(0, r - half_r);
    const int64_t i_last = std::min<int64_t>(grid_rows - 1, r + rows_here - 1 + half_r);
    for (; next_padded <= i_last; ++next_padded)
      pad_row(band_row(in, next_padded), columns, half_c, stride, job.nodata,
              ring + (next_padded % ring_rows) * stride);

    for (int64_t c = 0; c < columns; c += width) {
      block_sums sums;
      for (int k = 0; k < BLOCK_ROWS; ++k)
        for (int v = 0; v < BLOCK_VECTORS; ++v) sums.v[k][v] = zero;

      // Shifts at which no real lane of the block sees a cell of the grid
      // would add only +0.0f: skip them (this matters for windows wider
      // than the grid).
      const int64_t last_real = std::min(c + width, columns) - 1;
      const int64_t s_first = std::max<int64_t>(0, half_c - last_real);
      const int64_t s_last = std::min<int64_t>(2 * half_c, half_c - c + columns - 1);

      for (int64_t i = i_first; i <= i_last; ++i) {
        const int64_t first = std::max<int64_t>(0, i - half_r - r);
        const int64_t last = std::min<int64_t>(rows_here - 1, i + half_r - r);
        add_input_row_to(first, last, ring + (i % ring_rows) * stride + c, s_first, s_last, sums);
      }

      const bool whole = c + width <= columns;
      for (int64_t k = 0; k < rows_here; ++k) {
        float* out = job.out + (r + k - row_begin) * columns + c;
        const float* divisor = divisors + k * divisor_stride + c;
        for (int v = 0; v < BLOCK_VECTORS; ++v) {
          const V count = hn::LoadU(d, divisor + v * n);
          const V mean = hn::IfThenElse(hn::Gt(count, zero), hn::Div(sums.v[k][v], count), nodata);
          hn::StoreU(mean, d, (whole ? out : staging) + v * n);
        }
        if (!whole) std::memcpy(out, staging, static_cast<size_t>(columns - c) * sizeof(float));
      }
    }
    if (job.rows_done != nullptr) job.rows_done(job.context, r + rows_here);
  }
  return true;
}

simd_kernel kernel_of_target() { return simd_kernel{&focal_mean_rows, HWY_TARGET}; }

// Independent sums, as many as the registers hold beside the addend.
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
constexpr int PEAK_SUMS = 16;
#else
constexpr int PEAK_SUMS = 12;
#endif

int64_t peak_adds(int64_t iterations, float* sink) {
  const D d;
  V sums[PEAK_SUMS];
  for (int k = 0; k < PEAK_SUMS; ++k) sums[k] = hn::Set(d, static_cast<float>(k));
  const V addend = hn::Set(d, 1.0e-3f);
  for (int64_t it = 0; it < iterations; ++it)
    for (int k = 0; k < PEAK_SUMS; ++k) sums[k] = hn::Add(sums[k], addend);
  V total = sums[0];
  for (int k = 1; k < PEAK_SUMS; ++k) total = hn::Add(total, sums[k]);
  *sink = hn::GetLane(total);
  return iterations * PEAK_SUMS * static_cast<int64_t>(hn::Lanes(d));
}

}  // namespace HWY_NAMESPACE
}  // namespace wavgrid_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include <cstdlib>

namespace wavgrid_simd {

HWY_EXPORT(kernel_of_target);
HWY_EXPORT(peak_adds);

// Position of a target's entry in the tables HWY_EXPORT makes, or -1.
int table_index(int64_t target) {
  if (target == 0 || (target & (target - 1)) != 0 || (target & HWY_TARGETS) == 0) return -1;
#if (HWY_TARGETS & (HWY_TARGETS - 1)) == 0
  return 0;  // a single target: the table has one entry
#else
  const int64_t chosen = HWY_CHOSEN_TARGET_SHIFT(target);
  if (chosen != 0) return static_cast<int>(hwy::Num0BitsBelowLS1Bit_Nonzero64(static_cast<uint64_t>(chosen)));
  return HWY_MAX_DYNAMIC_TARGETS + 1;  // the fallback entry (EMU128 or SCALAR)
#endif
}

bool cpu_runs(int64_t target) { return (hwy::SupportedTargets() & target) != 0; }

}  // namespace wavgrid_simd

simd_kernel simd_kernel_best() { return HWY_DYNAMIC_DISPATCH(wavgrid_simd::kernel_of_target)(); }

simd_kernel simd_kernel_for(int64_t target) {
  const int index = wavgrid_simd::table_index(target);
  if (index < 0 || !wavgrid_simd::cpu_runs(target)) return simd_kernel{nullptr, target};
  const auto entry = wavgrid_simd::HWY_DISPATCH_TABLE(kernel_of_target)[index];
  if (entry == nullptr) return simd_kernel{nullptr, target};
  const simd_kernel k = entry();
  // The entry must be the target asked for (the fallback entry is one of two).
  return k.target == target ? k : simd_kernel{nullptr, target};
}

int64_t simd_available_targets() { return hwy::SupportedTargets() & HWY_TARGETS; }

int64_t simd_peak_adds(int64_t target, int64_t iterations, float* sink) {
  const int index = wavgrid_simd::table_index(target);
  if (index < 0 || !wavgrid_simd::cpu_runs(target) || simd_kernel_for(target).rows == nullptr) return 0;
  return wavgrid_simd::HWY_DISPATCH_TABLE(peak_adds)[index](iterations, sink);
}

void* simd_scratch_reserve(simd_scratch& s, size_t size) {
  if (s.size >= size && s.bytes != nullptr) return s.bytes;
  simd_scratch_free(s);
  constexpr size_t ALIGN = 64;  // the widest vector
  const size_t rounded = (std::max<size_t>(size, 1) + ALIGN - 1) / ALIGN * ALIGN;
  s.bytes = std::aligned_alloc(ALIGN, rounded);
  s.size = s.bytes != nullptr ? rounded : 0;
  return s.bytes;
}

void simd_scratch_free(simd_scratch& s) {
  std::free(s.bytes);
  s.bytes = nullptr;
  s.size = 0;
}

#endif  // HWY_ONCE
