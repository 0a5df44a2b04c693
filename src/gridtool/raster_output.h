// Writing a raster so that it only ever appears complete: it is made under a
// hidden name beside its final one and moved there, with every file of the
// dataset, once it is whole; a failed run removes it. And the statistics a
// grid file carries, stored where GDAL keeps a band's statistics.
#pragma once

#include <gdal.h>

#include <cstdint>
#include <string>
#include <vector>

#include "grid/grid_file.h"

// A hidden name beside `path` for a raster still being written: its
// directory, a leading dot, `path`'s base name and `tag`, and the extension
// `extension` (without the dot; empty: `path`'s own). Unique to this process.
std::string partial_name(const std::string& path, const char* tag, const std::string& extension = "");

// Removes every file of the raster at `path` written by `driver`, or the
// file alone when GDAL no longer knows it; quiet, for cleaning up.
void remove_raster(GDALDriverH driver, const std::string& path);

// Moves the complete raster at `from` (written by `driver`) to `to`, with its
// side files, replacing whatever raster was at `to`. Returns false with the
// reason in `why`; `from` is then still there.
bool move_raster(GDALDriverH driver, const std::string& from, const std::string& to, std::string& why);

// True when `path` names a directory.
bool is_directory(const std::string& path);

// Stores a grid's statistics as the band's GDAL statistics (minimum,
// maximum, mean, standard deviation; gdalinfo shows them as stored), with
// STATISTICS_VALID_PERCENT the counted values' share of `cells`. A grid
// counts only values above no-data + 1 and has no mean without a value nor
// a standard deviation without three: with no value counted nothing is
// stored; with one or two, the standard deviation is left out (so GDAL
// treats the statistics as not stored and computes its own when asked).
void store_band_statistics(GDALRasterBandH band, const grid_stats& s, int64_t cells);

// Creation options as given, plus BIGTIFF=IF_SAFER for the GeoTIFF drivers
// unless a BIGTIFF option is among them: a file that might pass 4 GB is made
// a BigTIFF instead of failing when it gets there.
std::vector<std::string> with_bigtiff_default(GDALDriverH driver, std::vector<std::string> options);
