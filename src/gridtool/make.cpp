// gridtool make: a synthetic terrain grid from the project's generator, with
// the statistics block wavgrid would write for it.
#include <cstdio>

#include "compute/stats.h"
#include "grid/grid_file.h"
#include "grid/synth_grid.h"
#include "gridtool/commands.h"

int run_make(const make_options& o) {
  synth_options s;
  s.rows = o.rows;
  s.columns = o.columns;
  s.seed = o.seed;
  s.holes = o.holes;
  s.integer = o.integer;
  grid_header h;
  grid_raster r;
  if (!synth_grid(s, h, r)) {
    std::fprintf(stderr, "gridtool make: not enough memory for %lld rows x %lld columns\n",
                 static_cast<long long>(o.rows), static_cast<long long>(o.columns));
    return GRIDTOOL_FAILED;
  }
  header_set_stats(h, raster_stats(r, s.nodata));
  if (!grid_save(o.output.c_str(), h, r)) {
    std::fprintf(stderr, "gridtool make: cannot write %s\n", o.output.c_str());
    return GRIDTOOL_FAILED;
  }
  return GRIDTOOL_OK;
}
