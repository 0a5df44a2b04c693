// wavgrid-lattice-share: how many windows of a grid the lattice path takes,
// with the same bands and passes as wavgrid, without computing the others.
//
//   wavgrid-lattice-share <grid> <windowsize>
//
// Prints the counts of valid centres, of those computed from integer sums
// (fast) and of those left to the direct computation, the fast share, and
// the lattice exponents the passes chose (passes per exponent).
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "compute/band_stream.h"
#include "compute/filter.h"
#include "compute/lattice_mean.h"
#include "grid/grid_file.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: wavgrid-lattice-share <grid> <windowsize>\n", stderr);
    return 2;
  }
  const long window = std::strtol(argv[2], nullptr, 10);
  if (window < 3 || window % 2 == 0) {
    std::fputs("wavgrid-lattice-share: the window size must be odd and at least 3\n", stderr);
    return 2;
  }
  const int64_t half_width = window / 2;
  FILE* f = std::fopen(argv[1], "rb");
  grid_header h;
  grid_raster in;
  if (f == nullptr || grid_read_header(f, h) != GRID_HEADER_VALUES || !raster_create(in, h.rows, h.columns) ||
      grid_read_values(f, in) != raster_cells(in)) {
    std::fprintf(stderr, "wavgrid-lattice-share: cannot read %s\n", argv[1]);
    return 1;
  }
  std::fclose(f);

  const int64_t band_rows = stream_band_rows(in.columns, half_width);
  std::vector<float> out;
  std::vector<uint8_t> direct;
  lattice_counts total{0, 0, 0};
  std::map<int, int64_t> exponents;  // passes per chosen exponent
  int64_t all_direct_passes = 0;
  const row_band whole = whole_band(in);
  for (int64_t band = 0; band < in.rows; band += band_rows) {
    const int64_t band_end = std::min<int64_t>(in.rows, band + band_rows);
    const int64_t pass_rows = filter_pass_rows(band_end - band, in.columns, half_width);
    out.resize(static_cast<size_t>(pass_rows * in.columns));
    direct.resize(out.size());
    for (int64_t a = band; a < band_end; a += pass_rows) {
      const int64_t b = std::min(band_end, a + pass_rows);
      const lattice_choice choice = lattice_choose_exponent(whole, a, b, h.nodata, half_width);
      if (choice.found)
        ++exponents[choice.e];
      else
        ++all_direct_passes;
      const lattice_counts c =
          lattice_mean_band(whole, out.data(), direct.data(), a, b, h.nodata, half_width);
      total.fast += c.fast;
      total.direct += c.direct;
      total.empty += c.empty;
    }
  }
  // A pass at no exponent marks its empty centres direct too: count the
  // valid centres here.
  int64_t valid = 0;
  for (int64_t i = 0; i < raster_cells(in); ++i) valid += in.cells[i] > h.nodata ? 1 : 0;
  std::printf("valid %lld fast %lld direct %lld fast_share %.1f%%", static_cast<long long>(valid),
              static_cast<long long>(total.fast), static_cast<long long>(valid - total.fast),
              valid > 0 ? 100.0 * static_cast<double>(total.fast) / static_cast<double>(valid) : 0.0);
  std::printf(" exponents");
  for (const auto& [e, passes] : exponents) std::printf(" %d:%lld", e, static_cast<long long>(passes));
  if (all_direct_passes > 0) std::printf(" none:%lld", static_cast<long long>(all_direct_passes));
  std::printf("\n");
  return 0;
}
