// wavgrid-make: writes a deterministic synthetic terrain grid.
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>

#include "compute/synth_file.h"

namespace {

int usage() {
  std::fputs(
      "usage: wavgrid-make <out-Grid> <rows> <columns> [--seed S] [--holes P] [--integer] "
      "[--scale V]\n",
      stderr);
  return 2;
}

bool parse_int(const char* s, long long lo, long long hi, long long* v) {
  char* end = nullptr;
  *v = std::strtoll(s, &end, 10);
  return end != s && *end == '\0' && *v >= lo && *v <= hi;
}

bool parse_double(const char* s, double* v) {
  char* end = nullptr;
  *v = std::strtod(s, &end);
  return end != s && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  synth_options o;
  long long rows, cols;
  if (!parse_int(argv[2], 0, GRID_MAX_COUNT, &rows) || !parse_int(argv[3], 0, GRID_MAX_COUNT, &cols))
    return usage();
  o.rows = rows;
  o.columns = cols;
  for (int i = 4; i < argc; ++i) {
    long long n;
    double d;
    if (std::strcmp(argv[i], "--integer") == 0) {
      o.integer = true;
    } else if (i + 1 < argc && std::strcmp(argv[i], "--seed") == 0 && parse_int(argv[i + 1], 0, LLONG_MAX, &n)) {
      o.seed = static_cast<uint64_t>(n);
      ++i;
    } else if (i + 1 < argc && std::strcmp(argv[i], "--holes") == 0 && parse_double(argv[i + 1], &d) &&
               d >= 0 && d <= 1) {
      o.holes = d;
      ++i;
    } else if (i + 1 < argc && std::strcmp(argv[i], "--scale") == 0 && parse_double(argv[i + 1], &d)) {
      o.scale = static_cast<float>(d);
      ++i;
    } else {
      return usage();
    }
  }
  if (!synth_write(argv[1], o)) {
    std::fprintf(stderr, "wavgrid-make: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
