#include "gridtool/preview.h"

#include <cmath>

#include "gridtool/grid_load.h"

namespace {

struct ramp_stop {
  double at;
  rgb colour;
};

// Stops of the viridis colour map.
const ramp_stop RAMP[] = {
    {0.00, {68, 1, 84}},   {0.25, {59, 82, 139}},   {0.50, {33, 145, 140}},
    {0.75, {94, 201, 98}}, {1.00, {253, 231, 37}},
};

uint8_t mix(uint8_t a, uint8_t b, double f) {
  return static_cast<uint8_t>(std::lround(a + (b - a) * f));
}

// Darkens a colour channel by a relief brightness 1..255, keeping a third
// of the colour even in full shadow so that the ramp stays readable.
uint8_t shaded(uint8_t channel, uint8_t brightness) {
  const double factor = 0.35 + 0.65 * (brightness / 255.0);
  return static_cast<uint8_t>(std::lround(channel * factor));
}

}  // namespace

void canvas_create(rgba_canvas& c, int64_t width, int64_t height) {
  c.width = width;
  c.height = height;
  c.planes.assign(static_cast<size_t>(4 * width * height), 0);
}

uint8_t* canvas_plane(rgba_canvas& c, int band) { return c.planes.data() + band * c.width * c.height; }

void range_include(value_range& range, const grid_raster& r, float nodata) {
  for (int64_t i = 0; i < raster_cells(r); ++i) {
    const float v = r.cells[i];
    if (!cell_is_valid(v, nodata)) continue;
    if (!range.any || v < range.low) range.low = v;
    if (!range.any || v > range.high) range.high = v;
    range.any = true;
  }
}

rgb ramp_colour(double t) {
  if (!(t > 0)) return RAMP[0].colour;  // also a NaN
  for (size_t i = 1; i < std::size(RAMP); ++i) {
    if (t <= RAMP[i].at) {
      const ramp_stop& a = RAMP[i - 1];
      const ramp_stop& b = RAMP[i];
      const double f = (t - a.at) / (b.at - a.at);
      return {mix(a.colour.r, b.colour.r, f), mix(a.colour.g, b.colour.g, f), mix(a.colour.b, b.colour.b, f)};
    }
  }
  return RAMP[std::size(RAMP) - 1].colour;
}

void paint_grid(rgba_canvas& c, int64_t x0, const grid_raster& r, float nodata, const value_range& range,
                const uint8_t* shade) {
  uint8_t* red = canvas_plane(c, 0);
  uint8_t* green = canvas_plane(c, 1);
  uint8_t* blue = canvas_plane(c, 2);
  uint8_t* alpha = canvas_plane(c, 3);
  // Computed in double: high - low may overflow a float.
  const double span = static_cast<double>(range.high) - static_cast<double>(range.low);
  for (int64_t row = 0; row < r.rows; ++row) {
    const float* cells = raster_row(r, row);
    for (int64_t col = 0; col < r.columns; ++col) {
      const float v = cells[col];
      if (!cell_is_valid(v, nodata)) continue;  // stays transparent
      // A grid of one value sits in the middle of the ramp.
      const double t = span > 0 ? (static_cast<double>(v) - range.low) / span : 0.5;
      rgb colour = ramp_colour(t);
      const uint8_t brightness = shade != nullptr ? shade[row * r.columns + col] : 0;
      if (brightness != 0) colour = {shaded(colour.r, brightness), shaded(colour.g, brightness), shaded(colour.b, brightness)};
      const int64_t at = row * c.width + x0 + col;
      red[at] = colour.r;
      green[at] = colour.g;
      blue[at] = colour.b;
      alpha[at] = 255;
    }
  }
}
