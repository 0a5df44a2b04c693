#include "gridtool/progress.h"

#include <unistd.h>

progress_bar progress_on_stderr() {
  progress_bar bar;
  if (isatty(fileno(stderr)) != 0) bar.out = stderr;
  return bar;
}

int CPL_STDCALL progress_report(double complete, const char* /*message*/, void* arg) {
  auto* bar = static_cast<progress_bar*>(arg);
  if (bar == nullptr || bar->out == nullptr) return TRUE;
  int tick = static_cast<int>(complete * 40.0 + 1e-9);
  if (tick > 40) tick = 40;
  if (tick <= bar->shown) return TRUE;
  // Every fourth tick is a percentage, the others are dots.
  for (int t = bar->shown + 1; t <= tick; ++t) {
    if (t % 4 == 0)
      std::fprintf(bar->out, "%d", t / 4 * 10);
    else
      std::fputc('.', bar->out);
  }
  bar->shown = tick;
  if (tick == 40) std::fputs(" - done.\n", bar->out);
  std::fflush(bar->out);
  return TRUE;
}

void progress_step(progress_bar& bar, int64_t done, int64_t total) {
  progress_report(total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0, nullptr, &bar);
}
