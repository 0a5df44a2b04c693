#include "grid/synth_grid.h"

#include <bit>
#include <cmath>

namespace {

uint64_t mix(uint64_t x) {  // splitmix64 finaliser
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A value in [0, 1) attached to lattice point (i, j) of one noise layer.
float lattice(uint64_t seed, int64_t i, int64_t j) {
  const uint64_t h = mix(seed ^ mix(static_cast<uint64_t>(i) * 0x100000001b3ULL ^ mix(static_cast<uint64_t>(j))));
  return static_cast<float>(h >> 40) * (1.0f / 16777216.0f);
}

// Bilinear value noise with lattice spacing `cell`, in [0, 1).
float value_noise(uint64_t seed, int64_t r, int64_t c, int64_t cell) {
  const int64_t i = r / cell, j = c / cell;
  const float fy = static_cast<float>(r % cell) / static_cast<float>(cell);
  const float fx = static_cast<float>(c % cell) / static_cast<float>(cell);
  const float a = lattice(seed, i, j), b = lattice(seed, i, j + 1);
  const float d = lattice(seed, i + 1, j), e = lattice(seed, i + 1, j + 1);
  const float top = a + (b - a) * fx;
  const float bottom = d + (e - d) * fx;
  return top + (bottom - top) * fy;
}

}  // namespace

void header_set(grid_header& h, int position, float value) {
  h.raw[position] = std::bit_cast<uint32_t>(value);
}

grid_header synth_header(const synth_options& o) {
  grid_header h{};
  header_set(h, 0, static_cast<float>(o.columns));
  header_set(h, 1, static_cast<float>(o.rows));
  header_set(h, 2, 1.0f);  // cell size, carried through untouched
  header_set(h, 5, o.nodata);
  header_derive(h);
  return h;
}

void synth_row(const synth_options& o, int64_t row, float* line) {
  for (int64_t c = 0; c < o.columns; ++c) {
    // Octaves of value noise: broad hills, then finer relief.
    const float hills = value_noise(o.seed, row, c, 97);
    const float relief = value_noise(o.seed + 1, row, c, 23);
    const float grain = value_noise(o.seed + 2, row, c, 5);
    float v = (0.6f * hills + 0.3f * relief + 0.1f * grain) * o.scale;
    if (o.integer) v = std::nearbyint(v);
    if (o.holes > 0.0 && value_noise(o.seed + 3, row, c, 31) < static_cast<float>(o.holes)) v = o.nodata;
    line[c] = v;
  }
}

bool synth_grid(const synth_options& o, grid_header& h, grid_raster& r) {
  if (!raster_create(r, o.rows, o.columns)) return false;
  h = synth_header(o);
  for (int64_t row = 0; row < o.rows; ++row) synth_row(o, row, raster_row(r, row));
  return true;
}
