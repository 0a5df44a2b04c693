// gridtool: the companion command of wavgrid. Reads the command line with
// CLI11 and hands each subcommand its options; CLI11's exceptions and any
// other stay here, so the subcommands return statuses only.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "gridtool/commands.h"
#include "gridtool/gdal_support.h"

namespace {

struct subcommands {
  CLI::App* import = nullptr;
  CLI::App* export_ = nullptr;
  CLI::App* filter = nullptr;
  CLI::App* info = nullptr;
  CLI::App* render = nullptr;
  CLI::App* diff = nullptr;
  CLI::App* make = nullptr;
};

struct all_options {
  import_options import;
  double import_nodata = 0;
  CLI::Option* import_nodata_option = nullptr;
  export_options export_;
  filter_options filter;
  double filter_nodata = 0;
  CLI::Option* filter_nodata_option = nullptr;
  info_options info;
  render_options render;
  diff_options diff;
  make_options make;
};

subcommands describe(CLI::App& app, all_options& o) {
  subcommands s;

  s.import = app.add_subcommand("import", "Turn any raster GDAL reads (GeoTIFF, ESRI ASCII grid, ...) into a grid file");
  s.import->add_option("SRC", o.import.source, "raster to read")->required();
  s.import->add_option("OUT", o.import.output, "grid file to write")->required();
  s.import->add_option("--band", o.import.band, "band to read, from 1")->check(CLI::PositiveNumber);
  o.import_nodata_option = s.import->add_option(
      "--nodata", o.import_nodata, "no-data value of the grid (default: the source's, else -9999)");

  s.export_ = app.add_subcommand("export", "Write a grid file as a raster of another format, chosen by extension");
  s.export_->add_option("IN", o.export_.input, "grid file to read")->required();
  s.export_->add_option("OUT", o.export_.output, "raster to write (.tif, .asc, .img, ...)")->required();
  s.export_->add_option("--like", o.export_.like, "raster whose geotransform and projection to copy");
  s.export_->add_option("--format", o.export_.format, "GDAL driver name, instead of the extension's");
  s.export_->add_option("--co", o.export_.creation, "driver creation option NAME=VALUE (repeatable)");

  s.filter = app.add_subcommand(
      "filter", "Filter any raster GDAL reads by wavgrid's moving-window mean and write it as a raster again");
  s.filter->add_option("SRC", o.filter.source, "raster to read")->required();
  s.filter->add_option("DST", o.filter.output, "raster to write")->required();
  s.filter->add_option("--window", o.filter.window, "window size: an odd number, at least 3")
      ->required()
      ->check(CLI::Validator(
          [](const std::string& text) {
            const long long w = std::atoll(text.c_str());
            return w >= 3 && w % 2 == 1 ? std::string() : "the window size must be odd and at least 3: " + text;
          },
          "ODD>=3"));
  s.filter->add_option("--band", o.filter.band, "band to read, from 1")->check(CLI::PositiveNumber);
  o.filter_nodata_option = s.filter->add_option(
      "--nodata", o.filter_nodata, "no-data value (default: the source's, else -9999)");
  s.filter->add_option("--of", o.filter.format, "GDAL driver name (default: the source's format, else GTiff)");
  s.filter->add_option("--co", o.filter.creation, "driver creation option NAME=VALUE (repeatable)");

  s.info = app.add_subcommand("info", "Show a grid file's header, statistics and completeness");
  s.info->add_option("IN", o.info.input, "grid file to read")->required();

  s.render = app.add_subcommand("render", "Draw a grid file as an RGBA PNG preview");
  s.render->add_option("IN", o.render.input, "grid file to draw")->required();
  s.render->add_option("OUT", o.render.output, "PNG file to write")->required();
  s.render->add_option("--beside", o.render.beside,
                       "second grid (e.g. the filtered one) drawn to the right with the same colours");
  s.render->add_flag("--hillshade", o.render.hillshade, "shade the colours by the relief");
  s.render->add_option("--width", o.render.width, "image width in pixels (default: one pixel per cell)")
      ->check(CLI::Range(1, 100000));

  s.diff = app.add_subcommand("diff", "Compare two grid files; exit 0 when identical, 1 when not, 2 on trouble");
  s.diff->add_option("A", o.diff.a, "first grid file")->required();
  s.diff->add_option("B", o.diff.b, "second grid file")->required();
  s.diff->add_option("--positions", o.diff.positions, "how many differing cells to list")
      ->check(CLI::NonNegativeNumber);

  s.make = app.add_subcommand("make", "Write a deterministic synthetic terrain grid with no-data holes");
  s.make->add_option("OUT", o.make.output, "grid file to write")->required();
  s.make->add_option("--rows", o.make.rows, "number of rows")
      ->required()
      ->check(CLI::Range(int64_t{0}, GRID_LARGEST_EXACT_COUNT));
  s.make->add_option("--cols,--columns", o.make.columns, "number of columns")
      ->required()
      ->check(CLI::Range(int64_t{0}, GRID_LARGEST_EXACT_COUNT));
  s.make->add_option("--seed", o.make.seed, "seed of the terrain");
  s.make->add_option("--holes", o.make.holes, "share of cells left empty, 0 to 1")->check(CLI::Range(0.0, 1.0));
  s.make->add_flag("--integer", o.make.integer, "whole-number heights");
  return s;
}

int dispatch(const subcommands& s, all_options& o) {
  if (s.import->parsed()) {
    if (o.import_nodata_option->count() > 0) o.import.nodata = o.import_nodata;
    return run_import(o.import);
  }
  if (s.export_->parsed()) return run_export(o.export_);
  if (s.filter->parsed()) {
    if (o.filter_nodata_option->count() > 0) o.filter.nodata = o.filter_nodata;
    return run_filter(o.filter);
  }
  if (s.info->parsed()) return run_info(o.info);
  if (s.render->parsed()) return run_render(o.render);
  if (s.diff->parsed()) return run_diff(o.diff);
  return run_make(o.make);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"gridtool: bring rasters into wavgrid's grid files and out again, look at them, check them"};
  app.require_subcommand(1, 1);
  all_options options;
  subcommands s;
  try {
    s = describe(app, options);
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help lands here too, with status 0.
    return app.exit(e) == 0 ? GRIDTOOL_OK : GRIDTOOL_USAGE;
  }
  try {
    // Only the subcommands that read or write other formats need GDAL;
    // info, diff and make start faster without registering its drivers.
    const bool uses_gdal = s.import->parsed() || s.export_->parsed() || s.filter->parsed() || s.render->parsed();
    if (uses_gdal) gdal_start();
    const int status = dispatch(s, options);
    if (uses_gdal) gdal_stop();
    return status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gridtool: %s\n", e.what());
    return s.diff->parsed() ? static_cast<int>(DIFF_TROUBLE) : static_cast<int>(GRIDTOOL_FAILED);
  }
}
