// How a GDAL raster's cells become grid cells and back, shared by import,
// export and filter so that one command gives the bytes that the three give
// one after the other.
//
// In: the band is read as float32; cells GDAL reports as missing (no-data,
// masked, NaN) become NaN, then every cell that is not above the chosen
// no-data value becomes exactly that value. Out: float32 cells, every empty
// one written as exactly the no-data value, which is set on the band, and
// the georeferencing of the raster the grid came from.
#pragma once

#include <gdal.h>

#include <cstdint>
#include <functional>
#include <optional>

// Reads `rows` rows from `first_row` of the band into `cells` (rows x the
// band's columns, float32), with every cell GDAL's mask marks as missing set
// to NaN. The mask covers no-data values (compared in the source's own data
// type), alpha bands and per-dataset masks alike. Returns false when GDAL
// could not read them; `progress` (may be null) follows the cell reading.
bool read_band_rows(GDALRasterBandH band, float* cells, int64_t first_row, int64_t rows,
                    GDALProgressFunc progress = nullptr, void* progress_arg = nullptr);

// The lowest cell that is not NaN, or `lowest` when none is below it.
float lowest_valid(const float* cells, int64_t n, float lowest);

struct nodata_choice {
  float value;
  const char* why;  // for the user: where the value came from
};

// The grid's no-data value: the one asked for, else the source's when a
// float32 can hold it usefully (a NaN would make every cell empty), else
// -9999. When the source has none and cells reach down to -9998, those cells
// would be empty or uncounted under -9999, so the lowest float is taken.
// `lowest_cell` gives the lowest valid cell of the band as read by
// read_band_rows; it is called only when the choice depends on it.
nodata_choice choose_nodata(std::optional<double> asked, GDALRasterBandH band,
                            const std::function<float()>& lowest_cell);

// True when `v` can be a no-data value of a grid (finite as a float32).
bool usable_nodata(double v);

// Cells the source holds as values but the grid cannot: not above the
// no-data value, and not missing (NaN) already.
int64_t count_swallowed(const float* cells, int64_t n, float nodata);

// Copies geotransform and projection, when `from` has them, onto `to`.
void copy_georeferencing(GDALDatasetH from, GDALDatasetH to);
