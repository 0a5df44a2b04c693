// End-to-end cases: the built wavgrid binary run with arguments and standard
// input; standard output, standard error, exit status and files compared.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compute/focal_mean.h"
#include "compute/stats.h"
#include "grid/grid_file.h"
#include "run_tool.h"
#include "test_grids.h"

namespace fs = std::filesystem;

namespace {

const std::string B = "wavgrid v1.0 by Tesmark\n";
const std::string USAGE =
    "filtering grid data by a moving window\n"
    "usage: wavgrid <in-Grid> <out-Grid> <windowsize>\n<windowsize: 3, 5, 7 ... as a single value\n";
const std::string BAD_WINDOW = "The windowsize has to be an odd number greater than 1 (minimum 3)\n";
const std::string PROMPT = "please enter the name: ";
const float ND = -9999.0f;
const float NaN = std::numeric_limits<float>::quiet_NaN();
const float INF = std::numeric_limits<float>::infinity();

std::string cannot_in(const std::string& n) { return "cannot find or open input file " + n + " \r\n"; }
std::string cannot_out(const std::string& n) { return "cannot find or open output file " + n + " \r\n"; }

// What the tool must write for a grid file's bytes: computed cell by cell
// with the definition and the statistics rules.
std::string expected_output(const std::string& input, int64_t half_width) {
  std::string copy = input;
  FILE* f = fmemopen(copy.data(), copy.size(), "rb");
  grid_header h;
  grid_read_header(f, h);
  grid_raster in, out;
  raster_create(in, h.rows, h.columns);
  raster_create(out, h.rows, h.columns);
  grid_read_values(f, in);
  std::fclose(f);
  focal_mean_rows(in, out, 0, in.rows, h.nodata, half_width);
  stats_accumulator s;
  stats_reset(s, h.nodata);
  for (int64_t r = 0; r < out.rows; ++r) stats_add_row(s, raster_row(out, r), out.columns);
  header_set_stats(h, stats_finish(s));
  std::string bytes(reinterpret_cast<const char*>(h.raw), GRID_HEADER_BYTES);
  bytes.append(reinterpret_cast<const char*>(out.cells.get()), 4 * static_cast<size_t>(raster_cells(out)));
  return bytes;
}

std::string zero_header_with_empty_stats(const std::string& first_bytes) {
  std::string h = first_bytes + std::string(24 - first_bytes.size(), '\0');
  for (float v : {0.0f, 0.0f, 0.0f, 0.0f, -9999.0f, -9999.0f}) h += float_bytes(v);
  return h;
}

std::vector<float> ramp(int n) {
  std::vector<float> v;
  for (int i = 0; i < n; ++i) v.push_back(static_cast<float>((i * 37) % 101) * 0.37f - 3.0f);
  return v;
}

// Whole numbers 0..1000 with holes, and fractional values in the last ten
// columns of each row: windows of both kinds in every row.
std::vector<float> whole_and_fractional(int rows, int columns) {
  std::vector<float> v;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c) {
      const int i = r * columns + c;
      if (i % 13 == 0) v.push_back(ND);
      else if (c >= columns - 10) v.push_back(static_cast<float>(i % 101) * 0.37f);
      else v.push_back(static_cast<float>((i * 7919) % 1001));
    }
  return v;
}

const std::string G3 = grid_file_bytes(3, 3, ND, {1, 2, 3, 4, 5, 6, 7, 8, 9});
const std::string G45 = grid_file_bytes(5, 4, ND, ramp(20));
const std::string G40 = grid_file_bytes(40, 40, ND, ramp(1600));  // larger than a stream buffer
const std::string GW = grid_file_bytes(40, 30, ND, whole_and_fractional(30, 40));

enum class entry_kind { file, dir, hardlink, symlink, fifo };
struct entry {
  entry_kind kind;
  std::string name;
  std::string content;  // file bytes, or the target of a link
};

enum class out_check { none, absent, empty, header_only, filtered, exact };

struct cli_case {
  std::string name;
  std::vector<entry> setup;
  std::vector<std::string> args;
  std::string input;  // standard input
  std::string stdout_expected;
  int status;
  out_check check = out_check::none;
  std::string out_name = "out.grd";
  int64_t half_width = 1;
  std::string exact;        // for out_check::exact
  std::string source = "";  // grid the expected output derives from; default: the in.grd entry
  std::vector<std::string> env = {};  // NAME=value settings added to the tool's environment
};

std::string dots(int n) { return std::string(static_cast<size_t>(n), '.') + "\n"; }

std::vector<cli_case> cases() {
  std::string g3_expected = G3.substr(0, 24);
  for (float v : {9.0f, 3.0f, 7.0f, 45.0f, 5.0f, static_cast<float>(std::sqrt(15.0 / 8.0)), 3.0f, 3.5f, 4.0f,
                  4.5f, 5.0f, 5.5f, 6.0f, 6.5f, 7.0f})
    g3_expected += float_bytes(v);
  const std::string long_dir(200, 'd');
  const std::string long_name = long_dir + "/" + std::string(200, 'f') + ".grd";
  const entry in45{entry_kind::file, "in.grd", G45};
  const entry old_out{entry_kind::file, "out.grd", "previous contents"};

  // clang-format off
  std::vector<cli_case> v = {
      {"no arguments", {in45}, {}, "", B + USAGE, 1, out_check::absent},
      {"two arguments", {in45}, {"in.grd", "out.grd"}, "", B + USAGE, 1, out_check::absent},
      {"worked example", {{entry_kind::file, "in.grd", G3}}, {"in.grd", "out.grd", "3"}, "", B + dots(3), 0,
       out_check::exact, "out.grd", 1, g3_expected},
      {"window 5 on 4 rows", {in45, old_out}, {"in.grd", "out.grd", "5"}, "", B + dots(4), 0, out_check::filtered,
       "out.grd", 2},
      {"digits then letters", {in45}, {"in.grd", "out.grd", "5abc"}, "", B + dots(4), 0, out_check::filtered,
       "out.grd", 2},
      {"sign and white space", {in45}, {"in.grd", "out.grd", " +3"}, "", B + dots(4), 0, out_check::filtered},
      {"further arguments ignored", {in45}, {"in.grd", "out.grd", "3", "extra", "more"}, "", B + dots(4), 0,
       out_check::filtered},
      {"window clamped to the largest int", {in45}, {"in.grd", "out.grd", "99999999999"}, "", B + dots(4), 0,
       out_check::filtered, "out.grd", 1073741823},
      // Interaction.
      {"input typed at the prompt", {in45}, {"missing.grd", "out.grd", "3"}, "in.grd\n",
       B + cannot_in("missing.grd") + PROMPT + "\r\n" + dots(4), 0, out_check::filtered},
      {"typed name with a DOS line end", {in45}, {"missing.grd", "out.grd", "3"}, "in.grd\r\n",
       B + cannot_in("missing.grd") + PROMPT + "\r\n" + dots(4), 0, out_check::filtered},
      {"typed name without a line end", {in45}, {"missing.grd", "out.grd", "3"}, "in.grd",
       B + cannot_in("missing.grd") + PROMPT + "\r\n" + dots(4), 0, out_check::filtered},
      {"two wrong names then a right one", {in45}, {"a", "out.grd", "3"}, "b\nin.grd\n",
       B + cannot_in("a") + PROMPT + "\r\n" + cannot_in("b") + PROMPT + "\r\n" + dots(4), 0, out_check::filtered},
      {"empty line at the input prompt", {in45}, {"missing.grd", "out.grd", "3"}, "\n",
       B + cannot_in("missing.grd") + PROMPT, 1, out_check::absent},
      {"end of input at the prompt", {in45}, {"missing.grd", "out.grd", "3"}, "",
       B + cannot_in("missing.grd") + PROMPT, 1, out_check::absent},
      {"output typed at the prompt", {in45}, {"in.grd", "nodir/out.grd", "3"}, "out.grd\n",
       B + cannot_out("nodir/out.grd") + PROMPT + "\r\n" + dots(4), 0, out_check::filtered},
      {"empty line at the output prompt", {in45}, {"in.grd", "nodir/out.grd", "3"}, "\n",
       B + cannot_out("nodir/out.grd") + PROMPT, 1, out_check::absent},
      {"input is a directory", {in45, {entry_kind::dir, "sub", ""}}, {"sub", "out.grd", "3"}, "in.grd\n",
       B + "input file sub is a directory\r\n" + cannot_in("sub") + PROMPT + "\r\n" + dots(4), 0,
       out_check::filtered},
      {"output is the input", {in45}, {"in.grd", "in.grd", "3"}, "out.grd\n",
       B + "output file in.grd is the input file and would be overwritten\r\n" + cannot_out("in.grd") + PROMPT +
           "\r\n" + dots(4),
       0, out_check::filtered},
      {"output is a hard link to the input", {in45, {entry_kind::hardlink, "hard.grd", "in.grd"}},
       {"in.grd", "hard.grd", "3"}, "\n",
       B + "output file hard.grd is the input file and would be overwritten\r\n" + cannot_out("hard.grd") + PROMPT,
       1},
      {"output is a symbolic link to the input", {in45, {entry_kind::symlink, "soft.grd", "in.grd"}},
       {"in.grd", "soft.grd", "3"}, "\n",
       B + "output file soft.grd is the input file and would be overwritten\r\n" + cannot_out("soft.grd") + PROMPT,
       1},
      {"long names", {{entry_kind::dir, long_dir, ""}, {entry_kind::file, long_name, G45}},
       {"missing.grd", long_dir + "/out-" + std::string(250, 'o'), "3"}, long_name + "\n",
       B + cannot_in("missing.grd") + PROMPT + "\r\n" + dots(4), 0, out_check::filtered,
       long_dir + "/out-" + std::string(250, 'o'), 1, "", long_name},
      // Odd grids.
      {"short inside the cells", {{entry_kind::file, "in.grd", G45.substr(0, G45.size() - 1)}},
       {"in.grd", "out.grd", "3"}, "", B + "Fehler beim Lesen der Werte aus in.grd\n", 2, out_check::header_only},
      {"empty input", {{entry_kind::file, "in.grd", ""}}, {"in.grd", "out.grd", "3"}, "",
       B + "error reading from in.grd\n\n", 0, out_check::exact, "out.grd", 1, zero_header_with_empty_stats("")},
      {"header cut inside a value", {{entry_kind::file, "in.grd", G3.substr(0, 6)}}, {"in.grd", "out.grd", "3"}, "",
       B + "error reading from in.grd\n\n", 0, out_check::exact, "out.grd", 1,
       zero_header_with_empty_stats(G3.substr(0, 4))},
      {"header short, cells missing", {{entry_kind::file, "in.grd", G3.substr(0, 20)}}, {"in.grd", "out.grd", "3"},
       "", B + "error reading from in.grd\nFehler beim Lesen der Werte aus in.grd\n", 2, out_check::exact, "out.grd",
       1, G3.substr(0, 20) + std::string(28, '\0')},
      {"zero rows", {{entry_kind::file, "in.grd", grid_file_bytes(5, 0, ND, {})}}, {"in.grd", "out.grd", "3"}, "",
       B + "\n", 0, out_check::filtered},
      {"zero columns", {{entry_kind::file, "in.grd", grid_file_bytes(0, 3, ND, {})}}, {"in.grd", "out.grd", "3"},
       "", B + dots(3), 0, out_check::filtered},
      {"fractional dimensions", {{entry_kind::file, "in.grd", grid_file_bytes(3.7f, 2.9f, ND, ramp(6))}},
       {"in.grd", "out.grd", "3"}, "", B + dots(2), 0, out_check::filtered},
      {"trailing bytes ignored", {{entry_kind::file, "in.grd", G45 + "tail"}}, {"in.grd", "out.grd", "3"}, "",
       B + dots(4), 0, out_check::filtered},
      {"NaN no-data", {{entry_kind::file, "in.grd", grid_file_bytes(5, 4, NaN, ramp(20))}},
       {"in.grd", "out.grd", "3"}, "", B + dots(4), 0, out_check::filtered},
      {"+inf no-data", {{entry_kind::file, "in.grd", grid_file_bytes(5, 4, INF, ramp(20))}},
       {"in.grd", "out.grd", "3"}, "", B + dots(4), 0, out_check::filtered},
      {"-inf no-data", {{entry_kind::file, "in.grd", grid_file_bytes(5, 4, -INF, ramp(20))}},
       {"in.grd", "out.grd", "3"}, "", B + dots(4), 0, out_check::filtered},
      {"negative rows", {{entry_kind::file, "in.grd", grid_file_bytes(5, -2, ND, ramp(10))}},
       {"in.grd", "out.grd", "3"}, "",
       B + "invalid grid header in in.grd: the number of rows is -2, not a count from 0 to 2147483647\n", 5,
       out_check::header_only},
      {"NaN columns and infinite rows", {{entry_kind::file, "in.grd", grid_file_bytes(NaN, INF, ND, {})}},
       {"in.grd", "out.grd", "3"}, "",
       B + "invalid grid header in in.grd: the number of columns is nan, not a count from 0 to 2147483647\n" +
           "invalid grid header in in.grd: the number of rows is inf, not a count from 0 to 2147483647\n",
       5, out_check::header_only},
      {"columns of 2^31", {{entry_kind::file, "in.grd", grid_file_bytes(2147483648.0f, 1, ND, {})}},
       {"in.grd", "out.grd", "3"}, "",
       B + "invalid grid header in in.grd: the number of columns is 2.14748e+09, not a count from 0 to "
           "2147483647\n",
       5, out_check::header_only},
      {"huge grid in a short file", {{entry_kind::file, "in.grd", grid_file_bytes(100000, 100000, ND, {1, 2})}},
       {"in.grd", "out.grd", "3"}, "", B + "Fehler beim Lesen der Werte aus in.grd\n", 2, out_check::header_only},
      {"grid from a pipe", {}, {"/dev/stdin", "out.grd", "3"}, G45, B + dots(4), 0, out_check::filtered, "out.grd",
       1, "", "-"},
      // Windows this large take the integer sums where they qualify.
      {"whole numbers beside fractions, window 25", {{entry_kind::file, "in.grd", GW}}, {"in.grd", "out.grd", "25"},
       "", B + dots(30), 0, out_check::filtered, "out.grd", 12},
      {"whole numbers beside fractions from a pipe, window 25", {}, {"/dev/stdin", "out.grd", "25"}, GW,
       B + dots(30), 0, out_check::filtered, "out.grd", 12, "", "-"},
      {"huge grid from a pipe", {}, {"/dev/stdin", "out.grd", "3"}, grid_file_bytes(2147483520.0f, 2147483520.0f, ND, {}),
       B + "not enough memory for a grid of 2147483520 rows and 2147483520 columns from /dev/stdin\n", 5,
       out_check::exact, "out.grd", 1, grid_file_bytes(2147483520.0f, 2147483520.0f, ND, {})},
      // Output trouble.
      {"full disk", {in45}, {"in.grd", "/dev/full", "3"}, "",
       B + dots(4) + "Fehler beim Schreiben in /dev/full i=4\nFehler beim Schreiben in /dev/full\n", 3},
      {"full disk, streamed", {{entry_kind::file, "in.grd", G40}}, {"in.grd", "/dev/full", "3"}, "",
       B + dots(40) + "Fehler beim Schreiben in /dev/full i=40\nFehler beim Schreiben in /dev/full\n", 3},
      {"full disk, grid from a pipe", {}, {"/dev/stdin", "/dev/full", "3"}, G40,
       B + dots(40) + "Fehler beim Schreiben in /dev/full i=40\nFehler beim Schreiben in /dev/full\n", 3},
      {"output to a pipe", {in45, {entry_kind::fifo, "fifo", ""}}, {"in.grd", "fifo", "3"}, "",
       B + dots(4) + "Fehler beim Schreiben in fifo i=4\n", 0},
  };
  // clang-format on
  // How the filter computes is the environment's choice; what comes out
  // never changes.
  const entry in40{entry_kind::file, "in.grd", grid_file_bytes(37, 40, ND, ramp(37 * 40))};
  const std::vector<std::pair<std::string, std::vector<std::string>>> settings = {
      {"three threads", {"WAVGRID_THREADS=3"}},
      {"seven threads, scalar kernel", {"WAVGRID_THREADS=7", "WAVGRID_KERNEL=scalar"}},
      {"a target named in lower case", {"WAVGRID_KERNEL=sse4"}},
      {"unusable settings are ignored", {"WAVGRID_THREADS=0", "WAVGRID_KERNEL=fastest"}},
      {"a thread count past the limit is ignored", {"WAVGRID_THREADS=99999999999"}},
  };
  for (const auto& [name, env] : settings)
    v.push_back({name, {in40}, {"in.grd", "out.grd", "5"}, "", B + dots(40), 0, out_check::filtered, "out.grd", 2,
                 "", "", env});
  for (const char* w : {"4", "1", "0", "-3", "abc", "", "-2147483649", "2"})
    v.push_back({std::string("bad window '") + w + "'", {in45, old_out}, {"in.grd", "out.grd", w}, "",
                 B + BAD_WINDOW, 4, out_check::empty});
  return v;
}

void PrintTo(const cli_case& c, std::ostream* os) { *os << c.name; }

class Cli : public ::testing::TestWithParam<cli_case> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/wavgrid-cli-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST_P(Cli, Case) {
  const cli_case& c = GetParam();
  std::string fifo_path;
  for (const entry& e : c.setup) {
    const std::string p = dir_ + "/" + e.name;
    switch (e.kind) {
      case entry_kind::file: write_file(p, e.content); break;
      case entry_kind::dir: fs::create_directory(p); break;
      case entry_kind::hardlink: fs::create_hard_link(dir_ + "/" + e.content, p); break;
      case entry_kind::symlink: fs::create_symlink(e.content, p); break;
      case entry_kind::fifo: ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); fifo_path = p; break;
    }
  }
  // A reader for an output that is a pipe; it sees everything the tool wrote.
  std::string fifo_bytes;
  std::thread reader;
  if (!fifo_path.empty()) reader = std::thread([&] { fifo_bytes = read_file(fifo_path); });

  std::vector<std::string> args = {WAVGRID_BIN};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const tool_result r = run_tool(dir_, args, c.input, c.env);
  if (reader.joinable()) reader.join();

  EXPECT_EQ(r.out, c.stdout_expected);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, c.status);

  std::string source;
  for (const entry& e : c.setup) {
    if (e.kind != entry_kind::file) continue;
    if (e.name == (c.source.empty() ? "in.grd" : c.source)) {
      source = e.content;
      EXPECT_EQ(read_file(dir_ + "/" + e.name), e.content) << "the input must never change";
    }
  }
  if (c.source == "-") source = c.input;

  const std::string out_path = dir_ + "/" + c.out_name;
  switch (c.check) {
    case out_check::none: break;
    case out_check::absent: EXPECT_FALSE(fs::exists(out_path)); break;
    case out_check::empty: EXPECT_EQ(read_file(out_path), ""); break;
    case out_check::header_only: EXPECT_EQ(read_file(out_path), source.substr(0, 48)); break;
    case out_check::filtered: EXPECT_EQ(read_file(out_path), expected_output(source, c.half_width)); break;
    case out_check::exact: EXPECT_EQ(read_file(out_path), c.exact); break;
  }
  // Over an older, longer file the run gives the same output: the file is
  // written over in place and must end where this run's bytes end.
  bool plain_output = fifo_path.empty() && c.check != out_check::none && c.check != out_check::absent;
  for (const entry& e : c.setup)
    if (e.name == c.out_name && e.kind != entry_kind::file) plain_output = false;
  if (plain_output) {
    const std::string first = read_file(out_path);
    write_file(out_path, std::string(std::max<size_t>(65536, 2 * first.size()), '\xab'));
    const tool_result again = run_tool(dir_, args, c.input, c.env);
    EXPECT_EQ(again.out, r.out);
    EXPECT_EQ(again.status, r.status);
    EXPECT_EQ(read_file(out_path), first) << "over an older, longer output file";
  }
  if (!fifo_path.empty()) {
    // The statistics could not be written over the header, so the pipe
    // carries the input header as it was, then the filtered cells.
    EXPECT_EQ(fifo_bytes, source.substr(0, 48) + expected_output(source, 1).substr(48));
  }
}

std::string case_name(const ::testing::TestParamInfo<cli_case>& info) {
  std::string n;
  for (char ch : info.param.name) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return n + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Wavgrid, Cli, ::testing::ValuesIn(cases()), case_name);

// WAVGRID_LATTICE=off sums every window directly: the same messages and
// the same output file.
TEST(LatticeSwitch, OffGivesTheSameRun) {
  char tmpl[] = "/tmp/wavgrid-switch-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  write_file(dir + "/in.grd", GW);
  const tool_result on = run_tool(dir, {WAVGRID_BIN, "in.grd", "on.grd", "25"}, "");
  setenv("WAVGRID_LATTICE", "off", 1);
  const tool_result off = run_tool(dir, {WAVGRID_BIN, "in.grd", "off.grd", "25"}, "");
  unsetenv("WAVGRID_LATTICE");
  EXPECT_EQ(on.status, 0);
  EXPECT_EQ(off.status, 0);
  EXPECT_EQ(on.out, off.out);
  EXPECT_EQ(read_file(dir + "/on.grd"), read_file(dir + "/off.grd"));
  EXPECT_EQ(read_file(dir + "/on.grd"), expected_output(GW, 12));
  fs::remove_all(dir);
}

}  // namespace
