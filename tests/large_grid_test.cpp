// A grid of more than 2^31 cells in a file of more than 8 GB, read through
// 64-bit offsets. The file is sparse (all zeros but its header and last row)
// so it costs no disk, and the output goes to a pipe whose reader checks it,
// so nothing large is written either.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "run_tool.h"
#include "test_grids.h"

namespace {

TEST(LargeGrid, MoreThanTwoBillionCellsStream) {
#ifdef WAVGRID_SANITIZED
  GTEST_SKIP() << "too slow under the sanitizers; covered by the plain build";
#endif
  const int64_t rows = 65537;
  const int64_t cols = 32768;  // rows * cols = 2^31 + 2^15 cells
  char tmpl[] = "/tmp/wavgrid-large-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string in = dir + "/in.grd";
  const std::string fifo = dir + "/out";

  // Zeros everywhere (valid: no-data is -1) but the last row, which holds 8.
  const int64_t size = 48 + 4 * rows * cols;
  write_file(in, grid_file_bytes(static_cast<float>(cols), static_cast<float>(rows), -1.0f, {}));
  ASSERT_EQ(truncate(in.c_str(), size), 0);
  {
    const std::vector<float> eights(static_cast<size_t>(cols), 8.0f);
    const int fd = open(in.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, eights.data(), eights.size() * 4, size - 4 * cols), 4 * cols);
    close(fd);
  }
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);

  // The reader checks the stream as it comes: the input header, zeros up to
  // the last two rows, then the means next to the row of eights.
  int64_t bytes = 0;
  bool zeros_ok = true;
  std::vector<float> tail(static_cast<size_t>(2 * cols));
  std::thread reader([&] {
    const int fd = open(fifo.c_str(), O_RDONLY);
    std::vector<char> buf(1 << 20);
    const std::vector<char> zero(buf.size(), 0);
    const int64_t tail_start = size - 8 * cols;
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0) {
      // The part of this chunk inside [from, to) of the stream.
      const auto part = [&](int64_t from, int64_t to, auto use) {
        const int64_t a = std::max(from, bytes), b = std::min(to, bytes + n);
        if (a < b) use(buf.data() + (a - bytes), a - from, b - a);
      };
      part(48, tail_start, [&](const char* p, int64_t, int64_t len) {
        if (std::memcmp(p, zero.data(), static_cast<size_t>(len)) != 0) zeros_ok = false;
      });
      part(tail_start, size, [&](const char* p, int64_t off, int64_t len) {
        std::memcpy(reinterpret_cast<char*>(tail.data()) + off, p, static_cast<size_t>(len));
      });
      bytes += n;
    }
    close(fd);
  });
  const tool_result r = run_tool(dir, {WAVGRID_BIN, "in.grd", "out", "3"}, "");
  reader.join();
  std::filesystem::remove_all(dir);

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "wavgrid v1.0 by Tesmark\n" + std::string(static_cast<size_t>(rows), '.') +
                       "\nFehler beim Schreiben in out i=65537\n");
  EXPECT_EQ(bytes, size);
  EXPECT_TRUE(zeros_ok);
  // Second-to-last row: three eights among nine cells (two of six at the ends).
  EXPECT_EQ(tail[0], 16.0f / 6.0f);
  EXPECT_EQ(tail[1], 24.0f / 9.0f);
  // Last row: three eights among six cells (two of four at the corners).
  EXPECT_EQ(tail[static_cast<size_t>(cols)], 16.0f / 4.0f);
  EXPECT_EQ(tail[static_cast<size_t>(cols + 1)], 24.0f / 6.0f);
  EXPECT_EQ(tail[static_cast<size_t>(2 * cols - 1)], 16.0f / 4.0f);
}

}  // namespace
