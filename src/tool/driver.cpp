#include "tool/driver.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "compute/band_stream.h"
#include "compute/filter.h"
#include "compute/kernel_environment.h"
#include "compute/stats.h"
#include "grid/grid_file.h"
#include "grid/grid_open.h"
#include "tool/messages.h"

namespace {

// Reads one line of standard input without its line end (and without a
// trailing "\r" from a DOS terminal). End of input counts as an empty line.
std::string read_name_line() {
  std::fflush(stdout);  // the prompt must be visible before we block
  std::string line;
  int ch;
  while ((ch = std::getchar()) != EOF && ch != '\n') line.push_back(static_cast<char>(ch));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Asks for a new name after a failed open. Returns false on an empty answer.
bool ask_again(std::string& name) {
  std::fputs(msg::PROMPT, stdout);
  name = read_name_line();
  if (name.empty()) return false;
  std::fputs(msg::RETRY, stdout);
  return true;
}

bool open_input_loop(std::string& name, FILE** in) {
  for (;;) {
    const open_result r = open_grid_input(name.c_str(), in);
    if (r == open_result::ok) return true;
    if (r == open_result::is_directory) std::printf(msg::INPUT_IS_DIRECTORY, name.c_str());
    std::printf(msg::CANNOT_OPEN_INPUT, name.c_str());
    if (!ask_again(name)) return false;
  }
}

bool open_output_loop(std::string& name, FILE* input, FILE** out) {
  for (;;) {
    const open_result r = open_grid_output(name.c_str(), input, out);
    if (r == open_result::ok) return true;
    if (r == open_result::same_as_input) std::printf(msg::OUTPUT_IS_INPUT, name.c_str());
    std::printf(msg::CANNOT_OPEN_OUTPUT, name.c_str());
    if (!ask_again(name)) return false;
  }
}

// The standard decimal conversion, clamped to the signed 32-bit range.
int32_t parse_window(const char* text) {
  errno = 0;
  const long long v = std::strtoll(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

bool window_is_valid(int32_t window) { return window % 2 == 1 && window > 1; }

// Reports an unusable header dimension; returns true when there was one.
bool report_dimension(const char* input, const char* what, dim_problem p, float value) {
  if (p == dim_problem::none) return false;
  std::printf(msg::BAD_DIMENSION, input, what, static_cast<double>(value));
  return true;
}

}  // namespace

int wavgrid_run(int argc, char** argv) {
  std::fputs(msg::BANNER, stdout);
  if (argc < 4) {
    std::fputs(msg::DESCRIPTION, stdout);
    std::fputs(msg::USAGE, stdout);
    return STATUS_USAGE;
  }
  std::string in_name = argv[1];
  std::string out_name = argv[2];

  file_closer in;
  file_closer out;
  if (!open_input_loop(in_name, &in.f)) return STATUS_USAGE;
  if (!open_output_loop(out_name, in.f, &out.f)) return STATUS_USAGE;
  // However the run ends, the output ends after the last byte it wrote.
  output_extent extent{out.f};

  const int32_t window = parse_window(argv[3]);
  if (!window_is_valid(window)) {
    std::fputs(msg::BAD_WINDOW, stdout);
    return STATUS_WINDOW;
  }
  const int64_t half_width = window / 2;
  int32_t row_counter = 0;

  grid_header header;
  if (grid_read_header(in.f, header) < GRID_HEADER_VALUES) std::printf(msg::HEADER_READ, in_name.c_str());
  if (grid_write_header(out.f, header) < GRID_HEADER_VALUES)
    std::printf(msg::HEADER_WRITE, out_name.c_str(), row_counter);
  // The statistics are written over the header once every row is done. If
  // the header itself cannot reach the file (a full disk), neither can they,
  // whether or not the cells have been streamed out in between.
  const bool header_reached_file = std::fflush(out.f) == 0;
  extent.mark();

  const bool bad_columns =
      report_dimension(in_name.c_str(), "columns", header.columns_problem, header_value(header, 0));
  const bool bad_rows =
      report_dimension(in_name.c_str(), "rows", header.rows_problem, header_value(header, 1));
  if (bad_columns || bad_rows) return STATUS_BAD_GRID;

  // A regular file too short for its cells is found before any memory is
  // taken, so a header that claims a huge grid cannot make us allocate it.
  const int64_t cells = header_cells(header);
  const int64_t size = regular_file_size(in.f);
  if (cells > 0 && size >= 0 && size < header_file_bytes(header)) {
    std::printf(msg::VALUES_READ, in_name.c_str());
    return STATUS_READ;
  }

  stats_accumulator stats;
  stats_reset(stats, header.nodata);
  // On a terminal each dot is shown as it is printed; into a file or pipe
  // the dots are buffered like any other output.
  const bool live_dots = isatty(fileno(stdout)) != 0;
  const row_done_fn print_dot = [&](int64_t) {
    std::fputs(msg::DOT, stdout);
    if (live_dots) std::fflush(stdout);
    ++row_counter;
  };

  // A regular file streams through memory in bands. Anything else (a pipe)
  // is read whole first, so that a short input is found before any output.
  // The configuration names only targets this CPU runs, so the filter runs.
  const kernel_config kernel = kernel_from_environment();
  grid_raster output;
  stream_outcome outcome{stream_status::ok, 0};
  if (size >= 0) {
    const stream_grid grid{header.rows, header.columns, half_width};
    const band_filter_fn filter = [&](const row_band& band, float* out, int64_t begin, int64_t end,
                                      int threads) {
      kernel_config band_kernel = kernel;
      band_kernel.threads = threads;
      filter_band(band, out, begin, end, header.nodata, half_width, band_kernel, nullptr);
    };
    outcome =
        stream_filter(in.f, out.f, grid, stream_band_rows(header.columns, half_width), kernel.threads, filter,
                      print_dot, [&](const float* values, int64_t n) { stats_add_row(stats, values, n); });
  } else {
    grid_raster input;
    if (!raster_create(input, header.rows, header.columns) ||
        !raster_create(output, header.rows, header.columns)) {
      outcome.status = stream_status::no_memory;
    } else if (grid_read_values(in.f, input) != cells) {
      outcome.status = stream_status::read_short;
    } else {
      const row_done_fn row_done = [&](int64_t row) {
        stats_add_row(stats, raster_row(output, row), output.columns);
        print_dot(row);
      };
      filter_grid(input, output, header.nodata, half_width, kernel, row_done);
    }
  }

  if (outcome.status == stream_status::no_memory) {
    std::printf(msg::NO_MEMORY, header.rows, header.columns, in_name.c_str());
    return STATUS_BAD_GRID;
  }
  if (outcome.status == stream_status::read_short) {
    // Only a file that shrinks while it is read gets here after some rows
    // were filtered: their output is cut back to the header when the run
    // ends, as the extent reaches no further.
    if (row_counter > 0) std::fputs(msg::END_OF_DOTS, stdout);
    std::printf(msg::VALUES_READ, in_name.c_str());
    return STATUS_READ;
  }
  std::fputs(msg::END_OF_DOTS, stdout);
  extent.mark();

  const int stats_written = header_reached_file ? grid_write_stats(out.f, stats_finish(stats)) : 0;
  if (stats_written < 6) std::printf(msg::STATS_WRITE, out_name.c_str(), row_counter);

  // A write error may only show when buffered bytes reach the file, and a
  // failed flush inside an earlier seek leaves only the stream's error flag.
  bool written = outcome.status != stream_status::write_short;
  if (size < 0) written = grid_write_values(out.f, output) == cells;
  extent.mark();
  // An older, longer file that cannot be cut would end in stale bytes.
  written = extent.cut() && written;
  written = std::fflush(out.f) == 0 && !std::ferror(out.f) && written;
  const bool closed = std::fclose(out.f) == 0;
  out.f = nullptr;
  if (!written || !closed) {
    std::printf(msg::VALUES_WRITE, out_name.c_str());
    return STATUS_WRITE;
  }
  std::fclose(in.f);
  in.f = nullptr;
  return STATUS_OK;
}
