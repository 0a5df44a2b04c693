#include "gridtool/gdal_support.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

namespace {

void CPL_STDCALL gdal_message(CPLErr level, CPLErrorNum /*number*/, const char* text) {
  if (level == CE_Warning) std::fprintf(stderr, "gridtool: warning from GDAL: %s\n", text);
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

bool has_capability(GDALDriverH driver, const char* capability) {
  const char* v = GDALGetMetadataItem(driver, capability, nullptr);
  return v != nullptr && EQUAL(v, "YES");
}

bool lists_extension(GDALDriverH driver, const std::string& ext) {
  const char* list = GDALGetMetadataItem(driver, GDAL_DMD_EXTENSIONS, nullptr);
  if (list == nullptr) return false;
  std::istringstream words(list);
  std::string word;
  while (words >> word)
    if (lower(word) == ext) return true;
  return false;
}

// NAME=VALUE strings as the null-terminated list GDAL takes.
struct option_list {
  char** list = nullptr;
  explicit option_list(const std::vector<std::string>& options) {
    for (const auto& o : options) list = CSLAddString(list, o.c_str());
  }
  ~option_list() { CSLDestroy(list); }
};

}  // namespace

void gdal_start() {
  CPLSetErrorHandler(gdal_message);
  GDALAllRegister();
}

void gdal_stop() { GDALDestroyDriverManager(); }

std::string gdal_error_text() {
  const char* text = CPLGetLastErrorMsg();
  if (text == nullptr || *text == '\0') return "GDAL gave no reason";
  return text;
}

dataset_ptr open_raster(const char* path) {
  CPLErrorReset();
  return dataset_ptr(GDALOpenEx(path, GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, nullptr, nullptr, nullptr));
}

dataset_ptr open_band(const std::string& path, int band, GDALRasterBandH& found, std::string& why) {
  dataset_ptr ds = open_raster(path.c_str());
  if (!ds) {
    why = "cannot read " + path + " as a raster: " + gdal_error_text();
    return {};
  }
  const int bands = GDALGetRasterCount(ds.get());
  if (band < 1 || band > bands) {
    why = path + " has " + std::to_string(bands) + " band(s), so there is no band " + std::to_string(band);
    return {};
  }
  found = GDALGetRasterBand(ds.get(), band);
  return ds;
}

bool close_written(dataset_ptr& ds) {
  CPLErrorReset();
  ds.reset();
  return CPLGetLastErrorType() != CE_Failure && CPLGetLastErrorType() != CE_Fatal;
}

GDALDriverH output_driver(const std::string& path, const std::string& format, std::string& why) {
  if (!format.empty()) {
    GDALDriverH d = GDALGetDriverByName(format.c_str());
    if (d == nullptr || !driver_writes(d)) {
      why = "GDAL has no driver named " + format + " that writes rasters";
      return nullptr;
    }
    return d;
  }
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size()) {
    why = "the output name has no extension to choose a format by (give --format)";
    return nullptr;
  }
  const std::string ext = lower(path.substr(dot + 1));
  // In registration order: GDAL registers the common driver for a format
  // first (GTiff before COG for .tif).
  for (int i = 0; i < GDALGetDriverCount(); ++i) {
    GDALDriverH d = GDALGetDriver(i);
    if (driver_writes(d) && lists_extension(d, ext)) return d;
  }
  why = "no GDAL driver writes rasters with the extension ." + ext + " (give --format)";
  return nullptr;
}

bool driver_stores(GDALDriverH driver, GDALDataType type) {
  const char* list = GDALGetMetadataItem(driver, GDAL_DMD_CREATIONDATATYPES, nullptr);
  if (list == nullptr) return true;  // the driver does not say: let it try
  std::istringstream words(list);
  std::string word;
  while (words >> word)
    if (word == GDALGetDataTypeName(type)) return true;
  return false;
}

bool driver_writes(GDALDriverH driver) {
  return has_capability(driver, GDAL_DCAP_RASTER) &&
         (has_capability(driver, GDAL_DCAP_CREATE) || has_capability(driver, GDAL_DCAP_CREATECOPY));
}

bool driver_creates(GDALDriverH driver) {
  return has_capability(driver, GDAL_DCAP_RASTER) && has_capability(driver, GDAL_DCAP_CREATE);
}

dataset_ptr create_raster(GDALDriverH driver, const std::string& path, int columns, int rows, GDALDataType type,
                          const std::vector<std::string>& options, std::string& why) {
  option_list list(options);
  CPLErrorReset();
  dataset_ptr ds(GDALCreate(driver, path.c_str(), columns, rows, 1, type, list.list));
  if (!ds) why = gdal_error_text();
  return ds;
}

dataset_ptr borrow_as_dataset(int columns, int rows, GDALDataType type, const std::vector<void*>& bands) {
  GDALDriverH mem = GDALGetDriverByName("MEM");
  if (mem == nullptr) return {};
  dataset_ptr ds(GDALCreate(mem, "", columns, rows, 0, type, nullptr));
  if (!ds) return {};
  for (void* data : bands) {
    char pointer[64] = {};
    CPLPrintPointer(pointer, data, sizeof pointer - 1);
    const std::string option = std::string("DATAPOINTER=") + pointer;
    option_list options({option});
    if (GDALAddBand(ds.get(), type, options.list) != CE_None) return {};
  }
  return ds;
}

dataset_ptr copy_raster(GDALDriverH driver, const std::string& path, GDALDatasetH source,
                        const std::vector<std::string>& options, GDALProgressFunc progress, void* progress_arg,
                        std::string& why) {
  option_list list(options);
  CPLErrorReset();
  dataset_ptr out(GDALCreateCopy(driver, path.c_str(), source, FALSE, list.list, progress, progress_arg));
  if (!out) why = gdal_error_text();
  return out;
}

bool write_copy(GDALDriverH driver, const std::string& path, GDALDatasetH source,
                const std::vector<std::string>& options, GDALProgressFunc progress, void* progress_arg,
                std::string& why) {
  dataset_ptr out = copy_raster(driver, path, source, options, progress, progress_arg, why);
  if (!out) return false;
  if (!close_written(out)) {
    why = gdal_error_text();
    return false;
  }
  return true;
}
