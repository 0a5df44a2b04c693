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
#include "compute/focal_mean_simd.h"

#include <hwy/cache_control.h>
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace wavgrid_simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<float>;
using V = hn::Vec<D>;

// A block: BLOCK_ROWS output rows by BLOCK_VECTORS vectors of adjacent
// columns, BLOCK_ROWS * BLOCK_VECTORS sums held in registers (16 where
// there are 32 vector registers, 12 where there are 16: the loaded vector
// needs one more). More rows share each load among more additions.
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
constexpr int BLOCK_ROWS = 8;
constexpr int BLOCK_VECTORS = 2;
#else
constexpr int BLOCK_ROWS = 4;
constexpr int BLOCK_VECTORS = 3;
#endif

constexpr int64_t PREFETCH_AHEAD = 128;

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

// add_input_row with the row range known at run time, as the key
// first * BLOCK_ROWS + last in [KEY_BEGIN, KEY_END): a binary search over
// the keys ends in the loop made for that range, whose sums stay in
// registers.
template <int64_t KEY_BEGIN, int64_t KEY_END>
HWY_INLINE void add_input_row_keyed(int64_t key, const float* HWY_RESTRICT p, int64_t s_first, int64_t s_last,
                                    block_sums& sums) {
  if constexpr (KEY_END - KEY_BEGIN == 1) {
    constexpr int FIRST = static_cast<int>(KEY_BEGIN / BLOCK_ROWS);
    constexpr int LAST = static_cast<int>(KEY_BEGIN % BLOCK_ROWS);
    if constexpr (FIRST <= LAST) add_input_row<FIRST, LAST>(p, s_first, s_last, sums);
  } else {
    constexpr int64_t MIDDLE = (KEY_BEGIN + KEY_END) / 2;
    if (key < MIDDLE)
      add_input_row_keyed<KEY_BEGIN, MIDDLE>(key, p, s_first, s_last, sums);
    else
      add_input_row_keyed<MIDDLE, KEY_END>(key, p, s_first, s_last, sums);
  }
}

HWY_INLINE void add_input_row_to(int64_t first, int64_t last, const float* HWY_RESTRICT p, int64_t s_first,
                                 int64_t s_last, block_sums& sums) {
  // Input rows in the window of every row of a full block are the most
  // common case: no search for them.
  if (first == 0 && last == BLOCK_ROWS - 1) return add_input_row<0, BLOCK_ROWS - 1>(p, s_first, s_last, sums);
  add_input_row_keyed<0, BLOCK_ROWS * BLOCK_ROWS>(first * BLOCK_ROWS + last, p, s_first, s_last, sums);
}

// The input rows of a full block, for a window of 2 * HALF + 1 rows whose
// rows all lie in the band: input row J of the block (from its first output
// row's top window row on) feeds block rows J - 2 * HALF to J, known at
// compile time.
template <int HALF, int J = 0>
HWY_INLINE void add_block_rows(const float* const* rows, int64_t c, int64_t s_first, int64_t s_last,
                               block_sums& sums) {
  if constexpr (J < BLOCK_ROWS + 2 * HALF) {
    const float* row = rows[J] + c;
    hwy::Prefetch(row + PREFETCH_AHEAD);
    hwy::Prefetch(row + PREFETCH_AHEAD + 16);
    add_input_row<(J > 2 * HALF ? J - 2 * HALF : 0), (J < BLOCK_ROWS - 1 ? J : BLOCK_ROWS - 1)>(row, s_first,
                                                                                             s_last, sums);
    add_block_rows<HALF, J + 1>(rows, c, s_first, s_last, sums);
  }
}

// The means of one block of columns of a block of output rows: a sum over
// zero divisors (an empty centre) gives the no-data value. `out` is the
// block's first cell; a block that ends past the last column is stored
// through `staging` (one block wide) and copied up to the last column.
HWY_INLINE void store_means(const block_sums& sums, int64_t rows_here, const float* divisors, int64_t divisor_stride,
                            float* out, int64_t columns, int64_t columns_here, float* staging, V nodata) {
  const D d;
  const size_t n = hn::Lanes(d);
  const V zero = hn::Zero(d);
  const bool whole = columns_here == BLOCK_VECTORS * static_cast<int64_t>(n);
#pragma GCC unroll 16
  for (int64_t k = 0; k < rows_here; ++k) {
    float* row_out = out + k * columns;
    const float* divisor = divisors + k * divisor_stride;
    for (int v = 0; v < BLOCK_VECTORS; ++v) {
      const V count = hn::LoadU(d, divisor + static_cast<size_t>(v) * n);
      const V mean = hn::IfThenElse(hn::Gt(count, zero), hn::Div(sums.v[k][v], count), nodata);
      hn::StoreU(mean, d, (whole ? row_out : staging) + static_cast<size_t>(v) * n);
    }
    if (!whole) std::memcpy(row_out, staging, static_cast<size_t>(columns_here) * sizeof(float));
  }
}

// A full block of a window of 2 * HALF + 1 rows whose rows all lie in the
// band: the additions of the general loop in its order, with every loop
// over the sums unrolled, so that they stay in registers.
template <int HALF>
HWY_INLINE void short_window_block(const float* const* rows, int64_t c, int64_t s_first, int64_t s_last,
                                   const float* divisors, int64_t divisor_stride, float* out, int64_t columns,
                                   int64_t columns_here, float* staging, V nodata) {
  const V zero = hn::Zero(D());
  block_sums sums;
  for (int k = 0; k < BLOCK_ROWS; ++k)
    for (int v = 0; v < BLOCK_VECTORS; ++v) sums.v[k][v] = zero;
  add_block_rows<HALF>(rows, c, s_first, s_last, sums);
  store_means(sums, BLOCK_ROWS, divisors, divisor_stride, out, columns, columns_here, staging, nodata);
}

inline int64_t round_up(int64_t x, int64_t m) { return (x + m - 1) / m * m; }

// Positions [p_begin, p_end) of the padded copy of one input row: the row
// starts at position `pad`, every empty cell is +0.0f, and so is every
// position before or after the row.
void pad_row(const float* HWY_RESTRICT src, int64_t columns, int64_t pad, int64_t p_begin, int64_t p_end,
             float nodata, float* HWY_RESTRICT dst) {
  const D d;
  const int64_t n = static_cast<int64_t>(hn::Lanes(d));
  const V limit = hn::Set(d, nodata);
  const int64_t g_begin = std::clamp<int64_t>(p_begin - pad, 0, columns);
  const int64_t g_end = std::clamp<int64_t>(p_end - pad, g_begin, columns);
  std::fill(dst + p_begin, dst + std::max(p_begin, std::min(g_begin + pad, p_end)), 0.0f);
  float* mid = dst + pad;
  int64_t j = g_begin;
  for (; j + n <= g_end; j += n) {
    const V v = hn::LoadU(d, src + j);
    hn::StoreU(hn::IfThenElseZero(hn::Gt(v, limit), v), d, mid + j);
  }
  for (; j < g_end; ++j) mid[j] = src[j] > nodata ? src[j] : 0.0f;
  std::fill(dst + std::max(g_end + pad, p_begin), dst + p_end, 0.0f);
}

// Slides the column counts of valid cells down one row: adds the valid
// cells of `entering` and takes away those of `leaving` (either may be
// null). The counts are unsigned, so taking away is modular arithmetic; no
// count ever goes below 0. A true comparison is all ones, which is -1.
// Returns how many more empty cells the window's rows hold than before:
// those of `entering` less those of `leaving`.
int64_t slide_counts(const float* HWY_RESTRICT entering, const float* HWY_RESTRICT leaving, int64_t columns,
                     float nodata, uint32_t* HWY_RESTRICT counts) {
  const D d;
  const hn::RebindToUnsigned<D> du;
  const int64_t n = static_cast<int64_t>(hn::Lanes(d));
  const V limit = hn::Set(d, nodata);
  int64_t valid_in = 0, valid_out = 0;
  int64_t j = 0;
  for (; j + n <= columns; j += n) {
    auto count = hn::LoadU(du, counts + j);
    if (entering != nullptr) {
      const auto valid = hn::Gt(hn::LoadU(d, entering + j), limit);
      count = hn::Sub(count, hn::BitCast(du, hn::VecFromMask(d, valid)));
      valid_in += static_cast<int64_t>(hn::CountTrue(d, valid));
    }
    if (leaving != nullptr) {
      const auto valid = hn::Gt(hn::LoadU(d, leaving + j), limit);
      count = hn::Add(count, hn::BitCast(du, hn::VecFromMask(d, valid)));
      valid_out += static_cast<int64_t>(hn::CountTrue(d, valid));
    }
    hn::StoreU(count, du, counts + j);
  }
  for (; j < columns; ++j) {
    if (entering != nullptr && entering[j] > nodata) {
      counts[j] += 1u;
      ++valid_in;
    }
    if (leaving != nullptr && leaving[j] > nodata) {
      counts[j] -= 1u;
      ++valid_out;
    }
  }
  const int64_t empty_in = entering != nullptr ? columns - valid_in : 0;
  const int64_t empty_out = leaving != nullptr ? columns - valid_out : 0;
  return empty_in - empty_out;
}

// The divisor of every cell of one output row: the definition's float count
// of valid window cells, or -1 where the centre cell is empty (so the
// division never sees a zero and the select below can tell empty centres).
// Positions from `columns` to `stride` get -1 too.
//
// `counts` holds the column counts padded like the rows (`half` zeros
// first, zeros after the last column); it, `spans` and `window` are
// stride + 2 * half + lanes long (the passes read up to a vector past the
// last position that matters; what they find there reaches no result).
// The window sum of W = 2 * half + 1 column counts is formed from sums of
// 1, 2, 4, ... adjacent counts (each from two of the previous size), one
// of each size that W's binary digits call for: log2(W) passes over the
// row instead of W. Every sum is clamped to 2^24 as it is formed; since
// min(min(a, L) + min(b, L), L) = min(a + b, L) for counts, the result is
// min(count, 2^24), exact for a window of any size, and no sum passes 2^32.
void row_divisors(const uint32_t* HWY_RESTRICT counts, const float* centre_row, int64_t columns, int64_t half,
                  int64_t stride, float nodata, uint32_t* HWY_RESTRICT spans, uint32_t* HWY_RESTRICT window,
                  float* HWY_RESTRICT divisors) {
  const D d;
  const hn::RebindToUnsigned<D> du;
  const hn::RebindToSigned<D> di;
  const int64_t n = static_cast<int64_t>(hn::Lanes(d));
  const auto limit = hn::Set(du, uint32_t{1} << 24);
  const int64_t w = 2 * half + 1;
  const int64_t end = stride + w - 1;  // positions that hold counts
  const V limit_nodata = hn::Set(d, nodata);
  const V empty = hn::Set(d, -1.0f);

  // A narrow window is summed directly, in one pass. Each column count is
  // clamped first, so that seven of them stay below 2^32.
  if (w <= 7) {
    int64_t c = 0;
    for (; c + n <= columns; c += n) {
      auto sum = hn::Min(hn::LoadU(du, counts + c), limit);
      for (int64_t k = 1; k < w; ++k) sum = hn::Add(sum, hn::Min(hn::LoadU(du, counts + c + k), limit));
      sum = hn::Min(sum, limit);
      const V count = hn::ConvertTo(d, hn::BitCast(di, sum));
      hn::StoreU(hn::IfThenElse(hn::Gt(hn::LoadU(d, centre_row + c), limit_nodata), count, empty), d,
                 divisors + c);
    }
    for (; c < columns; ++c) {
      uint32_t sum = 0;
      for (int64_t k = 0; k < w; ++k) sum += std::min(counts[c + k], uint32_t{1} << 24);
      divisors[c] = centre_row[c] > nodata ? static_cast<float>(std::min(sum, uint32_t{1} << 24)) : -1.0f;
    }
    std::fill(divisors + columns, divisors + stride, -1.0f);
    return;
  }

  // W is odd: its first piece is one count.
  for (int64_t c = 0; c < end; c += n) hn::StoreU(hn::Min(hn::LoadU(du, counts + c), limit), du, window + c);
  int64_t offset = 1;
  const uint32_t* span = counts;  // sums of `size` adjacent counts
  for (int64_t size = 1; 2 * size <= w; size *= 2) {
    for (int64_t c = 0; c + size < end; c += n)
      hn::StoreU(hn::Min(hn::Add(hn::LoadU(du, span + c), hn::LoadU(du, span + c + size)), limit), du,
                 spans + c);
    span = spans;
    if (w & (2 * size)) {
      for (int64_t c = 0; c < stride; c += n)
        hn::StoreU(hn::Min(hn::Add(hn::LoadU(du, window + c), hn::LoadU(du, spans + c + offset)), limit), du,
                   window + c);
      offset += 2 * size;
    }
  }
  int64_t c = 0;
  for (; c + n <= columns; c += n) {
    const V count = hn::ConvertTo(d, hn::BitCast(di, hn::LoadU(du, window + c)));
    hn::StoreU(hn::IfThenElse(hn::Gt(hn::LoadU(d, centre_row + c), limit_nodata), count, empty), d,
               divisors + c);
  }
  for (; c < columns; ++c)
    divisors[c] = centre_row[c] > nodata ? static_cast<float>(static_cast<int32_t>(window[c])) : -1.0f;
  std::fill(divisors + columns, divisors + stride, -1.0f);
}

// The divisors of an output row whose window rows hold no empty cell: the
// count is then the window's area within the grid, `rows_in` times the
// columns each cell's window spans (`spans_in`, as floats, with -1 past
// the last column, so those positions stay negative). Both factors are
// whole numbers held exactly, so a product below 2^24 is exact, and one at
// or above it rounds to no less than 2^24: the min gives the definition's
// float count either way.
void full_row_divisors(const float* HWY_RESTRICT spans_in, int64_t rows_in, int64_t stride,
                       float* HWY_RESTRICT divisors) {
  const D d;
  const int64_t n = static_cast<int64_t>(hn::Lanes(d));
  const V rows = hn::Set(d, window_count_as_float(rows_in));
  const V limit = hn::Set(d, window_count_as_float(int64_t{1} << 24));
  for (int64_t c = 0; c < stride; c += n)
    hn::StoreU(hn::Min(hn::Mul(rows, hn::LoadU(d, spans_in + c)), limit), d, divisors + c);
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
  // Blocks of columns from the first one asked for; any start within the
  // row works, as the padded rows reach a whole block past the last column.
  const int64_t column_first = std::clamp<int64_t>(job.column_begin, 0, columns);
  const int64_t column_last = std::clamp<int64_t>(job.column_end, column_first, columns);
  // The part of each row this call works on: the blocks' lanes, from
  // column_first to blocks_end (local_stride positions, a whole number of
  // vectors); the column counts their windows reach; and the padded
  // positions their loads reach.
  const int64_t blocks_end = column_first + round_up(column_last - column_first, width);
  const int64_t local_stride = blocks_end - column_first;
  const int64_t local_columns = std::min(columns, blocks_end) - column_first;
  const int64_t count_lo = std::max<int64_t>(0, column_first - half_c);
  const int64_t count_hi = std::min(columns, blocks_end + half_c);
  const int64_t pad_hi = std::min(stride, blocks_end + 2 * half_c);

  // One block of scratch: padded rows of the ring, the block's divisors, a
  // staging row of one block for the last partial block, and the padded
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
  const int64_t counts_length = round_up(divisor_stride + 2 * half_c + n, n);
  const uint64_t counts_at = part(static_cast<uint64_t>(counts_length) * sizeof(uint32_t));
  const uint64_t spans_at = part(static_cast<uint64_t>(counts_length) * sizeof(uint32_t));
  const uint64_t window_at = part(static_cast<uint64_t>(counts_length) * sizeof(uint32_t));
  const uint64_t rows_at = part(static_cast<uint64_t>(ring_rows) * sizeof(const float*));
  const uint64_t spans_in_at = part(static_cast<uint64_t>(divisor_stride) * sizeof(float));
  if (bytes > SIZE_MAX / 2) return false;
  char* memory = static_cast<char*>(simd_scratch_reserve(*job.scratch, static_cast<size_t>(bytes)));
  if (memory == nullptr) return false;
  float* ring = reinterpret_cast<float*>(memory + ring_at);
  float* divisors = reinterpret_cast<float*>(memory + divisors_at);
  float* staging = reinterpret_cast<float*>(memory + staging_at);
  uint32_t* padded_counts = reinterpret_cast<uint32_t*>(memory + counts_at);
  uint32_t* column_counts = padded_counts + half_c;
  uint32_t* spans = reinterpret_cast<uint32_t*>(memory + spans_at);
  uint32_t* window_counts = reinterpret_cast<uint32_t*>(memory + window_at);
  // The padded copies of the current block's input rows, in order: the ring
  // position is found once per block of rows, not once per block of columns.
  const float** padded = reinterpret_cast<const float**>(memory + rows_at);
  // Columns of the grid in each cell's window, for rows without empty cells.
  float* spans_in = reinterpret_cast<float*>(memory + spans_in_at);
  for (int64_t c = column_first; c < blocks_end; ++c)
    spans_in[c] =
        c < columns
            ? window_count_as_float(std::min(columns - 1, c + half_c) - std::max<int64_t>(0, c - half_c) + 1)
            : -1.0f;

  // Column counts of valid cells over the window rows of row_begin.
  std::fill(padded_counts, padded_counts + counts_length, 0u);
  std::fill(spans, spans + counts_length, 0u);
  // The column counts over [count_lo, count_hi) only.
  auto slide = [&](int64_t entering, int64_t leaving) {
    const float* in_line = entering >= 0 ? band_row(in, entering) + count_lo : nullptr;
    const float* out_line = leaving >= 0 ? band_row(in, leaving) + count_lo : nullptr;
    return slide_counts(in_line, out_line, count_hi - count_lo, job.nodata, column_counts + count_lo);
  };
  // Empty cells in the window rows of the current row, in those columns.
  int64_t window_empty = 0;
  for (int64_t i = std::max<int64_t>(0, row_begin - half_r);
       i <= std::min<int64_t>(grid_rows - 1, row_begin + half_r); ++i)
    window_empty += slide(i, -1);

  const V nodata = hn::Set(d, job.nodata);
  const V zero = hn::Zero(d);
  int64_t next_padded = std::max<int64_t>(0, row_begin - half_r);  // first input row not yet in the ring

  for (int64_t r = row_begin; r < row_end; r += BLOCK_ROWS) {
    const int64_t rows_here = std::min<int64_t>(BLOCK_ROWS, row_end - r);

    for (int64_t k = 0; k < rows_here; ++k) {
      const int64_t row = r + k;
      if (row > row_begin) {  // slide the column counts down one row
        window_empty += slide(row + half_r < grid_rows ? row + half_r : -1, row - half_r - 1);
      }
      if (window_empty == 0) {
        const int64_t rows_in =
            std::min(grid_rows - 1, row + half_r) - std::max<int64_t>(0, row - half_r) + 1;
        full_row_divisors(spans_in + column_first, rows_in, local_stride,
                          divisors + k * divisor_stride + column_first);
      } else {
        row_divisors(padded_counts + column_first, band_row(in, row) + column_first, local_columns, half_c,
                     local_stride, job.nodata, spans, window_counts,
                     divisors + k * divisor_stride + column_first);
      }
    }

    const int64_t i_first = std::max<int64_t>(0, r - half_r);
    const int64_t i_last = std::min<int64_t>(grid_rows - 1, r + rows_here - 1 + half_r);
    for (; next_padded <= i_last; ++next_padded)
      pad_row(band_row(in, next_padded), columns, half_c, column_first, pad_hi, job.nodata,
              ring + (next_padded % ring_rows) * stride);
    for (int64_t i = i_first; i <= i_last; ++i) padded[i - i_first] = ring + (i % ring_rows) * stride;

    // Blocks of short windows inside the band take the unrolled path.
    const bool full_block = rows_here == BLOCK_ROWS && i_first == r - half_r && i_last == r + rows_here - 1 + half_r;
    const int short_half = full_block && half_r <= 3 ? static_cast<int>(half_r) : 0;

    for (int64_t c = column_first; c < column_last; c += width) {
      // Shifts at which no real lane of the block sees a cell of the grid
      // would add only +0.0f: skip them (this matters for windows wider
      // than the grid).
      const int64_t last_real = std::min(c + width, columns) - 1;
      const int64_t s_first = std::max<int64_t>(0, half_c - last_real);
      const int64_t s_last = std::min<int64_t>(2 * half_c, half_c - c + columns - 1);
      float* const out = job.out + (r - row_begin) * columns + c;
      const float* const divisor = divisors + c;
      const int64_t columns_here = std::min(width, columns - c);
      if (short_half == 1) {
        short_window_block<1>(padded, c, s_first, s_last, divisor, divisor_stride, out, columns, columns_here,
                              staging, nodata);
        continue;
      }
      if (short_half == 2) {
        short_window_block<2>(padded, c, s_first, s_last, divisor, divisor_stride, out, columns, columns_here,
                              staging, nodata);
        continue;
      }
      if (short_half == 3) {
        short_window_block<3>(padded, c, s_first, s_last, divisor, divisor_stride, out, columns, columns_here,
                              staging, nodata);
        continue;
      }

      block_sums sums;
      for (int k = 0; k < BLOCK_ROWS; ++k)
        for (int v = 0; v < BLOCK_VECTORS; ++v) sums.v[k][v] = zero;

      for (int64_t i = i_first; i <= i_last; ++i) {
        const float* row = padded[i - i_first] + c;
        hwy::Prefetch(row + PREFETCH_AHEAD);
        hwy::Prefetch(row + PREFETCH_AHEAD + 16);
        const int64_t first = std::max<int64_t>(0, i - half_r - r);
        const int64_t last = std::min<int64_t>(rows_here - 1, i + half_r - r);
        add_input_row_to(first, last, row, s_first, s_last, sums);
      }

      store_means(sums, rows_here, divisor, divisor_stride, out, columns, columns_here, staging, nodata);
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

// On the one-lane fallback the compiler would otherwise run these
// independent sums on SSE2 vectors, a peak that target's kernel never sees.
#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
__attribute__((optimize("no-tree-vectorize", "no-tree-slp-vectorize")))
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

int simd_dispatch_index(int64_t target) {
  return wavgrid_simd::cpu_runs(target) ? wavgrid_simd::table_index(target) : -1;
}

simd_kernel simd_kernel_for(int64_t target) {
  const int index = simd_dispatch_index(target);
  if (index < 0) return simd_kernel{nullptr, target};
  const auto entry = wavgrid_simd::HWY_DISPATCH_TABLE(kernel_of_target)[index];
  if (entry == nullptr) return simd_kernel{nullptr, target};
  const simd_kernel k = entry();
  // The entry must be the target asked for (the fallback entry is one of two).
  return k.target == target ? k : simd_kernel{nullptr, target};
}

int64_t simd_available_targets() { return hwy::SupportedTargets() & HWY_TARGETS; }

int64_t simd_peak_adds(int64_t target, int64_t iterations, float* sink) {
  const int index = simd_dispatch_index(target);
  if (index < 0 || simd_kernel_for(target).rows == nullptr) return 0;
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
