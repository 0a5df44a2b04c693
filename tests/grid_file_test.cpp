#include "grid/grid_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

#include "grid/grid_open.h"
#include "test_grids.h"

namespace fs = std::filesystem;

namespace {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/wavgrid-grid-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

grid_header read_header_bytes(const std::string& bytes, int* values_read) {
  FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
  if (bytes.empty()) f = std::tmpfile();
  grid_header h;
  *values_read = grid_read_header(f, h);
  std::fclose(f);
  return h;
}

TEST(GridHeader, CountsTruncateTowardZero) {
  int n = 0;
  const grid_header h = read_header_bytes(grid_file_bytes(10.9f, 3.2f, -9999.0f, {}), &n);
  EXPECT_EQ(n, 12);
  EXPECT_EQ(h.columns, 10);
  EXPECT_EQ(h.rows, 3);
  EXPECT_EQ(h.nodata, -9999.0f);
}

TEST(GridHeader, ShortHeaderKeepsOnlyWholeValues) {
  // Column count whole, row count cut after two of its four bytes.
  const std::string full = grid_file_bytes(7.0f, 5.0f, 1.0f, {});
  int n = 0;
  const grid_header h = read_header_bytes(full.substr(0, 6), &n);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(h.columns, 7);
  EXPECT_EQ(h.rows, 0);
  EXPECT_EQ(h.raw[1], 0u) << "the bytes of a value cut short must not be kept";

  const grid_header empty = read_header_bytes("", &n);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(empty.rows, 0);
  EXPECT_EQ(empty.columns, 0);
}

TEST(GridHeader, UnusableCountsAreClassified) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float value;
    dim_problem problem;
    int32_t count;
  } cases[] = {
      {0.0f, dim_problem::none, 0},
      {-0.5f, dim_problem::none, 0},
      {-1.0f, dim_problem::negative, 0},
      {-3e9f, dim_problem::negative, 0},
      {std::nanf(""), dim_problem::not_a_number, 0},
      {inf, dim_problem::infinite, 0},
      {-inf, dim_problem::infinite, 0},
      {2147483648.0f, dim_problem::too_large, 0},
      {2147483520.0f, dim_problem::none, 2147483520},  // largest float below 2^31
  };
  for (const Case& c : cases) {
    int32_t count = -1;
    EXPECT_EQ(header_count(c.value, &count), c.problem) << c.value;
    EXPECT_EQ(count, c.count) << c.value;
  }
}

TEST_F(TempDir, HeaderBitsSurviveRoundTrip) {
  // NaN payloads and negative zero must be written back untouched.
  std::string bytes = bits_bytes(0x40400000u) + bits_bytes(0x40000000u) + bits_bytes(0x7fa00001u) +
                      bits_bytes(0xffc12345u) + bits_bytes(0x80000000u) + bits_bytes(0x7f800001u);
  for (int i = 0; i < 6; ++i) bytes += float_bytes(1.0f);
  write_file(path("in"), bytes);
  FILE* in = std::fopen(path("in").c_str(), "rb");
  grid_header h;
  ASSERT_EQ(grid_read_header(in, h), 12);
  std::fclose(in);
  FILE* out = std::fopen(path("out").c_str(), "wb");
  ASSERT_EQ(grid_write_header(out, h), 12);
  std::fclose(out);
  EXPECT_EQ(read_file(path("out")), bytes);
}

TEST_F(TempDir, ValuesAndStatsLandInPlace) {
  const std::string bytes = grid_file_bytes(2, 2, -9999.0f, {1, 2, 3, 4}) + "trailing";
  write_file(path("in"), bytes);
  FILE* in = std::fopen(path("in").c_str(), "rb");
  grid_header h;
  ASSERT_EQ(grid_read_header(in, h), 12);
  grid_raster r;
  ASSERT_TRUE(raster_create(r, h.rows, h.columns));
  ASSERT_EQ(grid_read_values(in, r), 4);
  EXPECT_EQ(regular_file_size(in), static_cast<int64_t>(bytes.size()));
  std::fclose(in);
  EXPECT_EQ(raster_row(r, 1)[0], 3.0f);

  FILE* out = std::fopen(path("out").c_str(), "wb");
  ASSERT_EQ(grid_write_header(out, h), 12);
  ASSERT_EQ(grid_write_stats(out, grid_stats{4, 1, 4, 10, 2.5f, 1.25f}), 6);
  ASSERT_EQ(grid_write_values(out, r), 4);
  std::fclose(out);
  const std::string written = read_file(path("out"));
  std::string expected = bytes.substr(0, 24);
  for (float v : {4.0f, 1.0f, 4.0f, 10.0f, 2.5f, 1.25f, 1.0f, 2.0f, 3.0f, 4.0f}) expected += float_bytes(v);
  EXPECT_EQ(written, expected);
}

TEST_F(TempDir, ShortValuesAreCounted) {
  write_file(path("in"), grid_file_bytes(3, 2, 0, {1, 2, 3, 4}) + "xy");
  FILE* in = std::fopen(path("in").c_str(), "rb");
  grid_header h;
  grid_read_header(in, h);
  grid_raster r;
  ASSERT_TRUE(raster_create(r, h.rows, h.columns));
  EXPECT_EQ(grid_read_values(in, r), 4);
  std::fclose(in);
}

TEST(GridFile, StatsOnAPipeAreShort) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE* out = fdopen(fds[1], "wb");
  EXPECT_EQ(grid_write_stats(out, grid_stats{}), 0);
  EXPECT_EQ(regular_file_size(out), -1);
  std::fclose(out);
  close(fds[0]);
}

TEST(GridFile, FullDiskIsAFailedSave) {
  grid_header h{};
  grid_raster r = make_raster(1, 1, {1.0f});
  EXPECT_FALSE(grid_save("/dev/full", h, r));
}

TEST(GridRaster, ImpossibleSizesAreRefused) {
  grid_raster r;
  EXPECT_FALSE(raster_create(r, -1, 3));
  EXPECT_FALSE(raster_create(r, 2147483647, 2147483647));  // 2^64 bytes
  EXPECT_EQ(r.cells, nullptr);
  ASSERT_TRUE(raster_create(r, 0, 5));
  EXPECT_EQ(raster_cells(r), 0);
}

TEST_F(TempDir, OutputNeverTruncatesTheInput) {
  const std::string bytes = grid_file_bytes(1, 1, 0, {5});
  write_file(path("in"), bytes);
  ASSERT_EQ(link(path("in").c_str(), path("hard").c_str()), 0);
  ASSERT_EQ(symlink(path("in").c_str(), path("soft").c_str()), 0);
  FILE* in = nullptr;
  ASSERT_EQ(open_grid_input(path("in").c_str(), &in), open_result::ok);
  for (const char* name : {"in", "hard", "soft"}) {
    FILE* out = nullptr;
    EXPECT_EQ(open_grid_output(path(name).c_str(), in, &out), open_result::same_as_input) << name;
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(read_file(path("in")), bytes);

  // An ordinary output is written over in place and ends after the last
  // byte written, whether the run wrote some bytes or none.
  for (const std::string& written : {std::string("new"), std::string()}) {
    write_file(path("other"), "old contents");
    FILE* out = nullptr;
    ASSERT_EQ(open_grid_output(path("other").c_str(), in, &out), open_result::ok);
    {
      output_extent extent{out};
      std::fwrite(written.data(), 1, written.size(), out);
      extent.mark();
      std::fseek(out, 0, SEEK_SET);  // a later write nearer the start does not shorten it
      extent.mark();
    }
    std::fclose(out);
    EXPECT_EQ(read_file(path("other")), written);
  }
  std::fclose(in);
}

TEST_F(TempDir, DirectoriesAreNotGrids) {
  FILE* f = nullptr;
  EXPECT_EQ(open_grid_input(dir_.c_str(), &f), open_result::is_directory);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(open_grid_output(dir_.c_str(), nullptr, &f), open_result::failed);
  EXPECT_EQ(open_grid_input(path("missing").c_str(), &f), open_result::failed);
}

}  // namespace
