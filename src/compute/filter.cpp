#include "compute/filter.h"

#include <algorithm>
#include <cstring>

#include "compute/focal_mean_simd.h"
#include "compute/lattice_mean.h"

namespace {

// The bytes that mark a pass's direct cells stay within 16 MB; a pass
// covers at least two window heights when it can.
constexpr int64_t MARK_BYTES = 16 << 20;

// Rows of a pass whose marked columns are gathered into spans together, and
// the widest gap between marked columns that one span bridges. Each kernel
// call pads and counts the window rows of its group again, over the
// columns its span reaches; that costs little next to summing the windows,
// so groups are short and spans tight.
constexpr int64_t MARK_GROUP_ROWS = 16;
constexpr int64_t MARK_GAP = 64;

// Fills the marked cells of output rows [a, b) (a lattice pass) with the
// kernel: for each group of rows, the spans of columns marked in any of its
// rows are computed into `scratch` and their marked cells copied. `any`
// holds one byte per column.
void fill_marked(const row_band& in, float* pass_out, const uint8_t* marks, float* scratch, uint8_t* any,
                 int64_t a, int64_t b, float nodata, int64_t half_width, const kernel_config& config) {
  const int64_t cols = in.columns;
  for (int64_t r = a; r < b; r += MARK_GROUP_ROWS) {
    const int64_t end = std::min(b, r + MARK_GROUP_ROWS);
    std::memset(any, 0, static_cast<size_t>(cols));
    for (int64_t i = r; i < end; ++i) {
      const uint8_t* m = marks + (i - a) * cols;
      for (int64_t c = 0; c < cols; ++c) any[c] |= m[c];
    }
    for (int64_t c = 0; c < cols;) {
      const void* hit = std::memchr(any + c, 1, static_cast<size_t>(cols - c));
      if (hit == nullptr) break;
      const int64_t first = static_cast<const uint8_t*>(hit) - any;
      int64_t last = first + 1;  // one past the last marked column of the span
      while (const void* next =
                 std::memchr(any + last, 1, static_cast<size_t>(std::min(cols, last + MARK_GAP) - last)))
        last = static_cast<const uint8_t*>(next) - any + 1;
      focal_mean_fast(in, scratch, r, end, nodata, half_width, config, nullptr, column_span{first, last});
      for (int64_t i = r; i < end; ++i) {
        float* line = pass_out + (i - a) * cols;
        const float* direct = scratch + (i - r) * cols;
        const uint8_t* m = marks + (i - a) * cols;
        for (int64_t j = first; j < last; ++j)
          if (m[j]) line[j] = direct[j];
      }
      c = last;
    }
  }
}

}  // namespace

int64_t window_area(int64_t half_width) {
  const int64_t side = 2 * std::min<int64_t>(half_width, 1 << 20) + 1;
  return side * side;
}

// The integer sums cost about the same at any window size, while the
// kernel's cost grows with the window's area. Below about 300 additions per
// cell (a window of 17) the kernel is faster even when every window
// qualifies.
bool integer_sums_pay(int64_t half_width) { return window_area(half_width) >= 300; }

int64_t filter_pass_rows(int64_t rows, int64_t columns, int64_t half_width) {
  const int64_t wanted = std::max<int64_t>(256, 2 * (2 * half_width + 1));
  const int64_t most = std::max<int64_t>(1, std::min(wanted, MARK_BYTES / std::max<int64_t>(1, columns)));
  // Passes of equal height, so that no pass sums a whole window height for
  // a sliver of rows.
  const int64_t range = std::max<int64_t>(1, rows);
  const int64_t passes = (range + most - 1) / most;
  return (range + passes - 1) / passes;
}

bool filter_band(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                 int64_t half_width, const kernel_config& config, const row_done_fn& row_done) {
  if (kernel_chosen_target(config) < 0) return false;
  const int64_t cols = in.columns;
  const int64_t chunk = filter_pass_rows(row_end - row_begin, cols, half_width);
  thread_local kept_scratch kept_marks, kept_any, kept_cells;
  uint8_t* marks = nullptr;
  uint8_t* any = nullptr;
  float* scratch = nullptr;
  if (config.lattice && config.path == kernel_path::simd && integer_sums_pay(half_width) && cols > 0 &&
      row_begin < row_end) {
    marks = static_cast<uint8_t*>(kept_marks.reserve(static_cast<size_t>(chunk * cols)));
    any = static_cast<uint8_t*>(kept_any.reserve(static_cast<size_t>(cols)));
    scratch = static_cast<float*>(
        kept_cells.reserve(static_cast<size_t>(std::min(chunk, MARK_GROUP_ROWS) * cols) * sizeof(float)));
  }
  if (marks == nullptr || any == nullptr || scratch == nullptr)
    return focal_mean_fast(in, out, row_begin, row_end, nodata, half_width, config, row_done);

  for (int64_t a = row_begin; a < row_end; a += chunk) {
    const int64_t b = std::min(row_end, a + chunk);
    float* pass_out = out + (a - row_begin) * cols;
    const lattice_counts n =
        lattice_mean_band(in, pass_out, marks, a, b, nodata, half_width, config.threads, config.target);
    if (n.fast == 0 && n.empty == 0) {
      // Nothing on the lattice: the kernel takes the pass as it comes, and
      // reports its rows as they become final.
      focal_mean_fast(in, pass_out, a, b, nodata, half_width, config, row_done);
      continue;
    }
    if (n.direct > 0) fill_marked(in, pass_out, marks, scratch, any, a, b, nodata, half_width, config);
    if (row_done)
      for (int64_t r = a; r < b; ++r) row_done(r);
  }
  return true;
}

bool filter_grid(const grid_raster& in, grid_raster& out, float nodata, int64_t half_width,
                 const kernel_config& config, const row_done_fn& row_done) {
  return filter_band(whole_band(in), out.cells.get(), 0, in.rows, nodata, half_width, config, row_done);
}
