// The small layer between gridtool and GDAL's C API: starting and stopping
// GDAL, wording its errors, closing datasets, choosing an output driver and
// lending an in-memory buffer to GDAL as a dataset.
#pragma once

#include <gdal.h>

#include <memory>
#include <string>
#include <vector>

// Registers every driver and routes GDAL's messages: warnings are shown on
// standard error as they come; errors are kept for gdal_error_text, so that
// the subcommand can say what it was doing when one happened.
void gdal_start();

// Releases the drivers again, so that leak checkers see a clean exit.
void gdal_stop();

// GDAL's last error message, or a general phrase when it gave none.
std::string gdal_error_text();

struct gdal_closer {
  void operator()(void* ds) const { GDALClose(static_cast<GDALDatasetH>(ds)); }
};
using dataset_ptr = std::unique_ptr<void, gdal_closer>;

// Opens a raster for reading; empty when GDAL cannot.
dataset_ptr open_raster(const char* path);

// Opens a raster for reading and finds its band `band` (from 1). Empty,
// with `why` saying so, when the raster cannot be read or has no such band.
dataset_ptr open_band(const std::string& path, int band, GDALRasterBandH& found, std::string& why);

// Closes a dataset that was written. Drivers write some files only here, so
// returns false when GDAL reported a failure while closing.
bool close_written(dataset_ptr& ds);

// The driver for an output file: the named one when `format` is not empty,
// else the first raster driver that writes files with the path's extension.
// Null when there is none; `why` then says so.
GDALDriverH output_driver(const std::string& path, const std::string& format, std::string& why);

// True when the driver can store bands of this data type.
bool driver_stores(GDALDriverH driver, GDALDataType type);

// True when the driver writes rasters at all (by Create or CreateCopy), and
// when it can create one to be written piece by piece (Create).
bool driver_writes(GDALDriverH driver);
bool driver_creates(GDALDriverH driver);

// A MEM dataset of `columns` x `rows` whose bands are the given buffers,
// band-sequential and not copied: they must outlive the dataset.
dataset_ptr borrow_as_dataset(int columns, int rows, GDALDataType type, const std::vector<void*>& bands);

// Creates a one-band raster of `type` to be written piece by piece. Returns
// null with the reason in `why`.
dataset_ptr create_raster(GDALDriverH driver, const std::string& path, int columns, int rows, GDALDataType type,
                          const std::vector<std::string>& options, std::string& why);

// Copies `source` into a new file through `driver` (CreateCopy, which every
// writing driver supports, directly or through Create). `options` are
// NAME=VALUE creation options. Returns false with the reason in `why`.
bool write_copy(GDALDriverH driver, const std::string& path, GDALDatasetH source,
                const std::vector<std::string>& options, GDALProgressFunc progress, void* progress_arg,
                std::string& why);

// The same, leaving the copy open (for more to be set on it) instead of
// closing it; null with the reason in `why`.
dataset_ptr copy_raster(GDALDriverH driver, const std::string& path, GDALDatasetH source,
                        const std::vector<std::string>& options, GDALProgressFunc progress, void* progress_arg,
                        std::string& why);
