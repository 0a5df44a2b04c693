// Painting grids into an RGBA picture: a colour ramp over the valid range,
// optional relief shading, empty cells transparent. Pure arithmetic; the
// files and the shading itself are GDAL's business (render.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "grid/grid_raster.h"

struct rgba_canvas {
  int64_t width = 0;
  int64_t height = 0;
  // Band-sequential: all red values, then green, blue and alpha; alpha 0
  // (transparent) where nothing is painted.
  std::vector<uint8_t> planes;
};

void canvas_create(rgba_canvas& c, int64_t width, int64_t height);
uint8_t* canvas_plane(rgba_canvas& c, int band);  // band 0..3: r, g, b, a

struct value_range {
  float low = 0;
  float high = 0;
  bool any = false;  // false until a valid cell was seen
};

// Widens the range to cover the grid's valid cells.
void range_include(value_range& range, const grid_raster& r, float nodata);

struct rgb {
  uint8_t r, g, b;
};

// The colour for a position 0..1 on the ramp (dark blue-violet through teal
// and green to yellow, evenly bright, readable without full colour vision).
rgb ramp_colour(double t);

// Paints the grid with its top-left cell at column x0 of the canvas, one
// pixel per cell. `shade` is null or holds one 1..255 brightness per cell,
// 0 where the shading is unknown (the colour is then left unshaded).
void paint_grid(rgba_canvas& c, int64_t x0, const grid_raster& r, float nodata, const value_range& range,
                const uint8_t* shade);
