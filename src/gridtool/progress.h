// A text progress bar for long work, in the style of GDAL's command-line
// tools ("0...10...20...30 ... 100 - done."), written to standard error so
// that standard output stays clean for results. It is a GDALProgressFunc,
// so GDAL's own long operations can drive it too.
#pragma once

#include <cpl_progress.h>

#include <cstdint>
#include <cstdio>

struct progress_bar {
  FILE* out = nullptr;  // null: draw nothing
  int shown = -1;       // last tick drawn, 0..40 (one tick is 2.5 %)
};

// A bar on standard error when it is a terminal; otherwise a silent one, so
// that logs and pipes do not fill with dots.
progress_bar progress_on_stderr();

// GDALProgressFunc: `bar` is a progress_bar*. Always returns TRUE (go on).
int CPL_STDCALL progress_report(double complete, const char* message, void* bar);

// Reports `done` of `total` units of work.
void progress_step(progress_bar& bar, int64_t done, int64_t total);
