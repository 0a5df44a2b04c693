// gridtool filter: a raster GDAL reads, filtered by wavgrid's focal mean and
// written as a raster again, in one pass. Each cell goes through exactly
// what import, wavgrid and export --like do to it, so the result has the
// same bits as those three commands; but the rows stream through memory in
// bands, read from the source and written to the output while the kernel
// works on all cores, with no grid files in between.
#include "compute/filter.h"

#include <cpl_conv.h>
#include <cpl_progress.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "compute/band_stream.h"
#include "compute/kernel_environment.h"
#include "compute/stats.h"
#include "gridtool/commands.h"
#include "gridtool/gdal_support.h"
#include "gridtool/grid_load.h"
#include "gridtool/progress.h"
#include "gridtool/raster_cells.h"
#include "gridtool/raster_output.h"

namespace {

// Aligning bands to blocks is worth at most this many rows per band.
constexpr int64_t MOST_ALIGNED_ROWS = 1024;

// The driver of the output: the one asked for, else the source's when it
// writes float32 rasters, else GeoTIFF. A VRT names other files instead of
// holding cells, so it is not taken from the source either.
GDALDriverH choose_driver(GDALDatasetH source, const std::string& format, std::string& why) {
  if (!format.empty()) {
    GDALDriverH d = output_driver("", format, why);
    if (d != nullptr && !driver_stores(d, GDT_Float32)) {
      why = "the " + format + " driver cannot store float32 cells";
      return nullptr;
    }
    return d;
  }
  GDALDriverH d = GDALGetDatasetDriver(source);
  if (d != nullptr && driver_writes(d) && driver_stores(d, GDT_Float32) &&
      !EQUAL(GDALGetDriverShortName(d), "VRT"))
    return d;
  return GDALGetDriverByName("GTiff");
}

int block_rows(GDALRasterBandH band) {
  int x = 0, y = 0;
  GDALGetBlockSize(band, &x, &y);
  return std::max(y, 1);
}

// Rows per band: what wavgrid streams with, rounded up to whole blocks of
// the output (so that each band fills its blocks and they can leave memory
// as it is written) and of the source when that stays small. Returns the
// rows and whether they are whole output blocks.
int64_t aligned_band_rows(int64_t rows, int64_t columns, int64_t half_width, int source_block,
                          int output_block, bool& whole_output_blocks) {
  const int64_t plain = std::min(rows, stream_band_rows(columns, half_width));
  const int64_t both = std::lcm(int64_t{source_block}, int64_t{output_block});
  const int64_t step = both <= MOST_ALIGNED_ROWS ? both : output_block;
  whole_output_blocks = step <= std::max(plain, MOST_ALIGNED_ROWS);
  if (!whole_output_blocks) return plain;
  return std::min(rows, (plain + step - 1) / step * step);
}

// GDAL keeps the blocks it reads and writes in a cache that by default may
// take a twentieth of the machine's memory: enough to hold all of a smaller
// source, as the rows are read once and never asked for again. Unless the
// user sized it (GDAL_CACHEMAX), it is cut to what a band of rows spans in
// both rasters, twice over, so that memory stays bounded by the bands.
void bound_block_cache(int64_t band_rows, int64_t columns, int source_block, int output_block) {
  if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) != nullptr) return;
  constexpr int64_t LEAST = 16 << 20;
  const int64_t rows = band_rows + source_block + output_block;
  GDALSetCacheMax64(std::max(LEAST, 2 * rows * columns * 5));  // float32 cells and a byte of mask each
}

// A progress bar over the phases of the run, each a share of the bar.
struct phase_progress {
  progress_bar bar = progress_on_stderr();
  void* scaled = nullptr;
  void start(double from, double to) {
    finish();
    scaled = GDALCreateScaledProgress(from, to, progress_report, &bar);
  }
  void report(double done) { GDALScaledProgress(done, nullptr, scaled); }
  void finish() {
    if (scaled != nullptr) GDALDestroyScaledProgress(scaled);
    scaled = nullptr;
  }
  ~phase_progress() { finish(); }
};

// The lowest valid cell of the band, read in bands of `band_rows` rows.
// Only needed when the no-data value depends on it.
bool find_lowest(GDALRasterBandH band, int64_t rows, int64_t columns, int64_t band_rows,
                 phase_progress& progress, float& lowest) {
  std::vector<float> cells(static_cast<size_t>(band_rows * columns));
  lowest = INFINITY;
  for (int64_t first = 0; first < rows; first += band_rows) {
    const int64_t n = std::min(band_rows, rows - first);
    if (!read_band_rows(band, cells.data(), first, n)) return false;
    lowest = lowest_valid(cells.data(), n * columns, lowest);
    progress.report(static_cast<double>(first + n) / static_cast<double>(rows));
  }
  return true;
}

// What the streaming pass needs to know and what it found.
struct stream_job {
  GDALRasterBandH source;
  GDALRasterBandH output;
  int64_t rows;
  int64_t columns;
  int64_t half_width;
  int64_t band_rows;
  bool flush_each_band;  // bands are whole output blocks
  float nodata;
  kernel_config kernel;
};

struct stream_result {
  stream_status status = stream_status::ok;
  std::string gdal_error;  // GDAL's word on a failed read or write
  int64_t swallowed = 0;   // source cells not above the no-data value
  grid_stats stats{};
};

stream_result stream_through(const stream_job& job, phase_progress& progress) {
  stream_result result;
  const int64_t columns = job.columns;
  std::atomic<bool> write_failed{false};
  // GDAL keeps its last error per thread: each side keeps its own words.
  std::string read_error, write_error;
  const stream_io io{[&](float* cells, int64_t first_row, int64_t rows) {
                       if (!read_band_rows(job.source, cells, first_row, rows)) {
                         read_error = gdal_error_text();
                         return false;
                       }
                       result.swallowed += count_swallowed(cells, rows * columns, job.nodata);
                       mark_empty_cells(cells, rows * columns, job.nodata);
                       return true;
                     },
                     [&](const float* cells, int64_t first_row, int64_t rows) {
                       GDALRasterIOExtraArg extra;
                       INIT_RASTERIO_EXTRA_ARG(extra);
                       CPLErrorReset();
                       bool ok = GDALRasterIOEx(job.output, GF_Write, 0, static_cast<int>(first_row),
                                                static_cast<int>(columns), static_cast<int>(rows),
                                                const_cast<float*>(cells), static_cast<int>(columns),
                                                static_cast<int>(rows), GDT_Float32, 4, columns * 4,
                                                &extra) == CE_None;
                       // Finished blocks are written out now rather than kept in GDAL's
                       // cache, so that memory stays bounded by the bands.
                       if (ok && job.flush_each_band) ok = GDALFlushRasterCache(job.output) == CE_None;
                       if (!ok) {
                         write_error = gdal_error_text();
                         write_failed = true;
                       }
                       return ok;
                     }};

  const band_filter_fn filter = [&](const row_band& band, float* out, int64_t begin, int64_t end,
                                    int threads) {
    if (write_failed) return;  // nothing more will be written
    kernel_config band_kernel = job.kernel;
    band_kernel.threads = threads;
    filter_band(band, out, begin, end, job.nodata, job.half_width, band_kernel, nullptr);
    // As export writes a grid: every empty cell as exactly the no-data value.
    mark_empty_cells(out, (end - begin) * columns, job.nodata);
  };
  stats_accumulator stats;
  stats_reset(stats, job.nodata);
  const double rows = static_cast<double>(job.rows);
  const stream_outcome outcome = stream_rows(
      io, stream_grid{job.rows, columns, job.half_width}, job.band_rows, job.kernel.threads, filter,
      [&](int64_t row) { progress.report(static_cast<double>(row + 1) / rows); },
      [&](const float* values, int64_t n) { stats_add_row(stats, values, n); });
  result.status = outcome.status;
  result.stats = stats_finish(stats);
  if (outcome.status == stream_status::read_short) result.gdal_error = read_error;
  if (outcome.status == stream_status::write_short) result.gdal_error = write_error;
  return result;
}

// Everything a failed run must not leave behind.
struct partial_files {
  GDALDriverH stream_driver = nullptr;
  std::string stream_path;
  GDALDriverH final_driver = nullptr;
  std::string final_path;
  bool keep = false;
  ~partial_files() {
    if (keep) return;
    if (!stream_path.empty()) remove_raster(stream_driver, stream_path);
    if (!final_path.empty() && final_path != stream_path) remove_raster(final_driver, final_path);
  }
};

int fail(const char* format, const std::string& a, const std::string& b = "") {
  std::fprintf(stderr, "gridtool filter: ");
  std::fprintf(stderr, format, a.c_str(), b.c_str());
  std::fputc('\n', stderr);
  return GRIDTOOL_FAILED;
}

}  // namespace

int run_filter(const filter_options& o) {
  if (o.nodata && !usable_nodata(*o.nodata)) {
    std::fprintf(stderr, "gridtool filter: --nodata %g is not a finite float32 value\n", *o.nodata);
    return GRIDTOOL_USAGE;
  }
  if (is_directory(o.output)) return fail("cannot write %s: it is a directory", o.output);

  GDALRasterBandH source = nullptr;
  std::string why;
  dataset_ptr src = open_band(o.source, o.band, source, why);
  if (!src) return fail("%s", why);
  const int64_t columns = GDALGetRasterXSize(src.get()), rows = GDALGetRasterYSize(src.get());
  const int64_t half_width = o.window / 2;

  GDALDriverH driver = choose_driver(src.get(), o.format, why);
  if (driver == nullptr) return fail("cannot write %s: %s", o.output, why);
  const std::string driver_name = GDALGetDriverShortName(driver);
  const std::vector<std::string> options = with_bigtiff_default(driver, o.creation);

  // Drivers that can only copy a finished raster get one: the rows stream
  // into a plain GeoTIFF first, which is then copied into the format asked.
  const bool streams_directly = driver_creates(driver);
  partial_files partial;
  partial.final_driver = driver;
  partial.final_path = partial_name(o.output, "partial");
  partial.stream_driver = streams_directly ? driver : GDALGetDriverByName("GTiff");
  partial.stream_path = streams_directly ? partial.final_path : partial_name(o.output, "stream", "tif");
  const std::vector<std::string> stream_options =
      streams_directly ? options : with_bigtiff_default(partial.stream_driver, {});

  // The bar: a first pass for the lowest cell when the no-data value needs
  // it, the streaming pass, and the copy into a format that needs one.
  phase_progress progress;
  double stream_from = 0.0;
  bool lowest_read = true;
  const nodata_choice nodata = choose_nodata(o.nodata, source, [&] {
    progress.start(0.0, 0.2);
    stream_from = 0.2;
    float v = INFINITY;
    lowest_read = find_lowest(source, rows, columns, std::min(rows, stream_band_rows(columns, half_width)),
                              progress, v);
    return v;
  });
  if (!lowest_read) return fail("cannot read the cells of %s: %s", o.source, gdal_error_text());
  const double stream_to = streams_directly ? 1.0 : stream_from + (1.0 - stream_from) * 0.6;

  dataset_ptr out = create_raster(partial.stream_driver, partial.stream_path, static_cast<int>(columns),
                                  static_cast<int>(rows), GDT_Float32, stream_options, why);
  if (!out) return fail("cannot write %s: %s", o.output, why);
  GDALRasterBandH out_band = GDALGetRasterBand(out.get(), 1);
  copy_georeferencing(src.get(), out.get());
  GDALSetRasterNoDataValue(out_band, static_cast<double>(nodata.value));

  stream_job job{
      source, out_band, rows, columns, half_width, 0, false, nodata.value, kernel_from_environment()};
  job.band_rows = aligned_band_rows(rows, columns, half_width, block_rows(source), block_rows(out_band),
                                    job.flush_each_band);
  bound_block_cache(job.band_rows, columns, block_rows(source), block_rows(out_band));
  progress.start(stream_from, stream_to);
  const stream_result r = stream_through(job, progress);
  switch (r.status) {
    case stream_status::ok:
      break;
    case stream_status::read_short:
      return fail("cannot read the cells of %s: %s", o.source, r.gdal_error);
    case stream_status::write_short:
      return fail("cannot write %s: %s", o.output, r.gdal_error);
    case stream_status::no_memory:
      return fail("not enough memory to filter %s in bands of %s rows", o.source,
                  std::to_string(job.band_rows));
  }
  if (r.swallowed > 0)
    std::fprintf(stderr,
                 "gridtool filter: warning: %lld cell(s) of %s are not above the no-data value %.9g and were "
                 "empty\n",
                 static_cast<long long>(r.swallowed), o.source.c_str(), static_cast<double>(nodata.value));
  src.reset();

  if (streams_directly) {
    store_band_statistics(out_band, r.stats, rows * columns);
  } else {
    progress.start(stream_to, 1.0);
    dataset_ptr copy =
        copy_raster(driver, partial.final_path, out.get(), options, GDALScaledProgress, progress.scaled, why);
    if (!copy) return fail("cannot write %s: %s", o.output, why);
    store_band_statistics(GDALGetRasterBand(copy.get(), 1), r.stats, rows * columns);
    if (!close_written(copy)) return fail("cannot write %s: %s", o.output, gdal_error_text());
  }
  if (!close_written(out)) return fail("cannot write %s: %s", o.output, gdal_error_text());
  progress.finish();
  if (!streams_directly) {
    remove_raster(partial.stream_driver, partial.stream_path);
    partial.stream_path.clear();
  }
  if (!move_raster(driver, partial.final_path, o.output, why))
    return fail("cannot write %s: %s", o.output, why);
  partial.keep = true;

  std::printf("%s: %lld rows x %lld columns, %s, window %d, no-data value %.9g (%s)\n", o.output.c_str(),
              static_cast<long long>(rows), static_cast<long long>(columns), driver_name.c_str(), o.window,
              static_cast<double>(nodata.value), nodata.why);
  return GRIDTOOL_OK;
}
