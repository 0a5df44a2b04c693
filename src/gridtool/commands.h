// gridtool's subcommands: what each one is given, and its run function.
// main.cpp fills these records from the command line; each run function
// does the work, prints its own messages and returns the exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum gridtool_status : int {
  GRIDTOOL_OK = 0,
  GRIDTOOL_FAILED = 1,  // the work could not be done; stderr says why
  GRIDTOOL_USAGE = 2,   // the command line was wrong
};

// diff answers like cmp(1): same, different, or trouble.
enum diff_status : int {
  DIFF_SAME = 0,
  DIFF_DIFFERENT = 1,
  DIFF_TROUBLE = 2,
};

struct import_options {
  std::string source;
  std::string output;
  int band = 1;
  std::optional<double> nodata;
};
int run_import(const import_options& o);

struct export_options {
  std::string input;
  std::string output;
  std::string like;                   // raster whose georeferencing to copy
  std::string format;                 // GDAL driver name; default by extension
  std::vector<std::string> creation;  // driver creation options, NAME=VALUE
};
int run_export(const export_options& o);

struct filter_options {
  std::string source;
  std::string output;
  int32_t window = 0;                 // odd, at least 3
  int band = 1;
  std::optional<double> nodata;
  std::string format;                 // GDAL driver name; default: the source's
  std::vector<std::string> creation;  // driver creation options, NAME=VALUE
};
int run_filter(const filter_options& o);

struct info_options {
  std::string input;
};
int run_info(const info_options& o);

struct render_options {
  std::string input;
  std::string output;
  std::string beside;  // a second grid shown to the right, same colours
  bool hillshade = false;
  int width = 0;  // 0: one pixel per cell
};
int run_render(const render_options& o);

struct diff_options {
  std::string a;
  std::string b;
  int positions = 10;  // how many differing cells to list
};
int run_diff(const diff_options& o);

struct make_options {
  std::string output;
  int64_t rows = 0;
  int64_t columns = 0;
  uint64_t seed = 1;
  double holes = 0.0;
  bool integer = false;
};
int run_make(const make_options& o);

// Row and column counts are stored in the header as float32, which holds
// every whole number up to 2^24 exactly and skips some beyond it: gridtool
// writes no grid whose header could not state its own shape.
inline constexpr int64_t GRID_LARGEST_EXACT_COUNT = 16777216;
