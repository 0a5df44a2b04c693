#include "compute/band_stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "compute/focal_mean.h"
#include "compute/stats.h"
#include "grid/grid_file.h"
#include "grid/synth_grid.h"

namespace {

struct streamed {
  stream_outcome outcome;
  std::vector<float> cells;   // what reached the output file
  std::vector<int64_t> done;  // rows reported as filtered
  grid_stats stats;           // from the rows handed over for writing
};

// Streams `r`'s cells through stream_filter with the fast kernel on
// `threads` threads.
streamed run_stream(const grid_raster& r, float nodata, int64_t half_width, int64_t band_rows,
                    int64_t cells_in_file, int threads = 2) {
  FILE* in = std::tmpfile();
  FILE* out = std::tmpfile();
  grid_write_cells(in, r.cells.get(), cells_in_file);
  std::rewind(in);
  streamed s;
  stats_accumulator acc;
  stats_reset(acc, nodata);
  const band_filter_fn filter = [&](const row_band& band, float* o, int64_t a, int64_t b, int band_threads) {
    filter_band(band, o, a, b, nodata, half_width, kernel_config{kernel_path::simd, 0, band_threads},
                nullptr);
  };
  s.outcome = stream_filter(
      in, out, stream_grid{r.rows, r.columns, half_width}, band_rows, threads, filter,
      [&](int64_t row) { s.done.push_back(row); },
      [&](const float* v, int64_t n) { stats_add_row(acc, v, n); });
  s.stats = stats_finish(acc);
  std::fflush(out);
  const long bytes = std::ftell(out);
  s.cells.resize(static_cast<size_t>(bytes / 4));
  std::rewind(out);
  if (!s.cells.empty()) grid_read_cells(out, s.cells.data(), static_cast<int64_t>(s.cells.size()));
  std::fclose(in);
  std::fclose(out);
  return s;
}

TEST(BandStream, SameBytesAsTheWholeGrid) {
  struct Shape {
    int64_t rows, columns;
  } shapes[] = {{1, 1}, {1, 9}, {7, 1}, {13, 11}, {29, 6}, {40, 17}};
  for (const Shape& shape : shapes) {
    synth_options o;
    o.rows = shape.rows;
    o.columns = shape.columns;
    o.seed = static_cast<uint64_t>(shape.rows * 131 + shape.columns);
    o.holes = 0.2;
    grid_header h;
    grid_raster in;
    ASSERT_TRUE(synth_grid(o, h, in));
    for (int64_t half_width : {1, 2, 4, 10, 1073741823}) {
      grid_raster whole;
      raster_create(whole, in.rows, in.columns);
      focal_mean_rows(in, whole, 0, in.rows, o.nodata, half_width);
      stats_accumulator acc;
      stats_reset(acc, o.nodata);
      stats_add_row(acc, whole.cells.get(), raster_cells(whole));
      const grid_stats expected_stats = stats_finish(acc);
      const std::vector<float> expected(whole.cells.get(), whole.cells.get() + raster_cells(whole));

      // One thread; three threads with one band at a time (few bands) or
      // with bands of their own (many bands).
      for (auto [band_rows, threads] : {std::pair<int64_t, int>{1, 1},
                                        {2, 1},
                                        {3, 1},
                                        {5, 1},
                                        {64, 1},
                                        {1, 3},
                                        {2, 3},
                                        {3, 3},
                                        {5, 3},
                                        {64, 3}}) {
        const std::string where = std::to_string(shape.rows) + "x" + std::to_string(shape.columns) +
                                  " half_width " + std::to_string(half_width) + " band " +
                                  std::to_string(band_rows) + " threads " + std::to_string(threads);
        const streamed s = run_stream(in, o.nodata, half_width, band_rows, raster_cells(in), threads);
        EXPECT_EQ(s.outcome.status, stream_status::ok) << where;
        EXPECT_EQ(s.outcome.rows_done, in.rows) << where;
        ASSERT_EQ(s.cells.size(), expected.size()) << where;
        EXPECT_EQ(0, std::memcmp(s.cells.data(), expected.data(), expected.size() * 4)) << where;
        std::vector<int64_t> all_rows;
        for (int64_t r = 0; r < in.rows; ++r) all_rows.push_back(r);
        EXPECT_EQ(s.done, all_rows) << where;
        EXPECT_EQ(0, std::memcmp(&s.stats, &expected_stats, sizeof expected_stats)) << where;
      }
    }
  }
}

TEST(BandStream, ShortInputStopsAtTheBandItCannotFill) {
  synth_options o;
  o.rows = 20;
  o.columns = 5;
  grid_header h;
  grid_raster in;
  ASSERT_TRUE(synth_grid(o, h, in));
  // Rows 0..11 present and part of row 12: with a reach of one row, bands
  // of 4 rows can finish rows 0..7 (band 8..11 needs row 12), bands of one
  // row rows 0..10, whether filtered one at a time or several at once.
  struct {
    int64_t band_rows;
    int threads;
    int64_t rows_done;
  } cases[] = {{4, 1, 8}, {4, 2, 8}, {1, 1, 11}, {1, 3, 11}};
  for (const auto& c : cases) {
    const streamed s = run_stream(in, o.nodata, 1, c.band_rows, 12 * 5 + 2, c.threads);
    EXPECT_EQ(s.outcome.status, stream_status::read_short) << c.band_rows << " " << c.threads;
    EXPECT_EQ(s.outcome.rows_done, c.rows_done) << c.band_rows << " " << c.threads;
    std::vector<int64_t> reported;
    for (int64_t r = 0; r < c.rows_done; ++r) reported.push_back(r);
    EXPECT_EQ(s.done, reported) << c.band_rows << " " << c.threads;
  }
}

TEST(BandStream, EmptyGridsReportTheirRows) {
  grid_raster none;
  raster_create(none, 3, 0);
  const streamed s = run_stream(none, 0, 1, 2, 0);
  EXPECT_EQ(s.outcome.status, stream_status::ok);
  EXPECT_EQ(s.done, (std::vector<int64_t>{0, 1, 2}));
  EXPECT_TRUE(s.cells.empty());
}

TEST(BandStream, BandsAreAFewMegabytesAndCoverTheReach) {
  EXPECT_EQ(stream_band_rows(8000, 500), 2000);
  EXPECT_EQ(stream_band_rows(8000, 15), 60);
  EXPECT_EQ(stream_band_rows(8000, 7), 32);
  EXPECT_EQ(stream_band_rows(8000, 1), 32);
  EXPECT_EQ(stream_band_rows(70000, 1), 32);
  EXPECT_EQ(stream_band_rows(1000000, 1), 16);
  EXPECT_EQ(stream_band_rows(100000000, 1), 2);
}

}  // namespace
