// gridtool make: a synthetic terrain grid from the project's generator, with
// the statistics block wavgrid would write for it.
#include <cstdio>

#include "compute/synth_file.h"
#include "gridtool/commands.h"

int run_make(const make_options& o) {
  synth_options s;
  s.rows = o.rows;
  s.columns = o.columns;
  s.seed = o.seed;
  s.holes = o.holes;
  s.integer = o.integer;
  // Written row by row, so grids larger than memory can be made.
  if (!synth_write(o.output.c_str(), s)) {
    std::fprintf(stderr, "gridtool make: cannot write %s\n", o.output.c_str());
    return GRIDTOOL_FAILED;
  }
  return GRIDTOOL_OK;
}
