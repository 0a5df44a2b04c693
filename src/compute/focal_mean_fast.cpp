#include "compute/focal_mean_fast.h"

#include <hwy/targets.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "compute/focal_mean_simd.h"

namespace {

// Rows a thread takes at a time. Small bands keep the rows becoming final
// close to ascending order (so the statistics and the dots follow the
// computation) and share the work evenly; a band starts by padding its
// window rows again, which costs little next to summing 8 or more rows.
int64_t band_rows_for(int64_t rows, int threads) {
  const int64_t share = rows / (4 * static_cast<int64_t>(threads));
  return std::clamp<int64_t>((share + 7) / 8 * 8, 8, 64);
}

using rows_done_hook = void (*)(void* context, int64_t row_end);

// Scratch memory kept from call to call. A streaming caller filters many
// small bands; fresh scratch for each would be paid again in page faults
// every time. Threads take a scratch for a run and give it back after.
struct scratch_pool {
  std::mutex lock;
  std::vector<simd_scratch> free;
  ~scratch_pool() {
    for (simd_scratch& s : free) simd_scratch_free(s);
  }
};

scratch_pool& pool() {
  static scratch_pool p;
  return p;
}

simd_scratch take_scratch() {
  std::lock_guard<std::mutex> guard(pool().lock);
  if (pool().free.empty()) return simd_scratch{};
  simd_scratch s = pool().free.back();
  pool().free.pop_back();
  return s;
}

void give_back_scratch(simd_scratch s) {
  std::lock_guard<std::mutex> guard(pool().lock);
  pool().free.push_back(s);
}

// Output rows [row_begin, row_end) into `out` (row row_begin first) with
// `kernel`, or with the definition when there is no kernel or its scratch
// memory cannot be had: the definition needs none and gives the same bits.
void compute_rows(simd_rows_fn kernel, simd_scratch& scratch, const row_band& in, float* out,
                  int64_t row_begin, int64_t row_end, float nodata, int64_t half_width,
                  const column_span& span, rows_done_hook hook, void* context) {
  if (kernel != nullptr) {
    const simd_rows_job job{in,         out,      row_begin, row_end, nodata, half_width,
                            span.begin, span.end, &scratch,  hook,    context};
    if (kernel(job)) return;
  }
  for (int64_t r = row_begin; r < row_end; ++r) {
    focal_mean_band(in, out + (r - row_begin) * in.columns, r, r + 1, nodata, half_width);
    if (hook != nullptr) hook(context, r + 1);
  }
}

// One thread: rows become final in order, so each report passes them on.
struct in_order_rows {
  const row_done_fn* row_done;
  int64_t next;
};

void pass_on_rows(void* context, int64_t row_end) {
  auto* p = static_cast<in_order_rows*>(context);
  for (; p->next < row_end; ++p->next) (*p->row_done)(p->next);
}

// Several threads: each takes the next band of rows and records how far
// that band is final; the calling thread passes rows on in order.
struct threaded_run {
  simd_rows_fn kernel;
  const row_band* in;
  float* out;
  int64_t row_begin;
  int64_t row_end;
  float nodata;
  int64_t half_width;
  column_span span;
  int64_t band_rows;
  std::atomic<int64_t> next_band{0};
  std::mutex lock;
  std::condition_variable changed;
  std::vector<int64_t> final_until;  // per band: its rows below this are final
};

struct band_report {
  threaded_run* run;
  int64_t band;
};

void record_band_progress(void* context, int64_t row_end) {
  auto* b = static_cast<band_report*>(context);
  {
    std::lock_guard<std::mutex> guard(b->run->lock);
    b->run->final_until[static_cast<size_t>(b->band)] = row_end;
  }
  b->run->changed.notify_one();
}

void run_bands(threaded_run* run) {
  simd_scratch scratch = take_scratch();
  for (;;) {
    const int64_t band = run->next_band.fetch_add(1);
    const int64_t first = run->row_begin + band * run->band_rows;
    if (first >= run->row_end) break;
    const int64_t last = std::min(run->row_end, first + run->band_rows);
    band_report report{run, band};
    compute_rows(run->kernel, scratch, *run->in, run->out + (first - run->row_begin) * run->in->columns,
                 first, last, run->nodata, run->half_width, run->span, record_band_progress, &report);
  }
  give_back_scratch(scratch);
}

void compute_threaded(threaded_run& run, int threads, const row_done_fn& row_done) {
  const int64_t bands = (run.row_end - run.row_begin + run.band_rows - 1) / run.band_rows;
  for (int64_t b = 0; b < bands; ++b) run.final_until.push_back(run.row_begin + b * run.band_rows);

  std::vector<std::thread> workers;
  for (int t = 0; t < threads && t < bands; ++t) {
    try {
      workers.emplace_back(run_bands, &run);
    } catch (const std::system_error&) {
      break;  // fewer threads than asked: the ones running take every band
    }
  }
  if (workers.empty()) run_bands(&run);

  std::unique_lock<std::mutex> guard(run.lock);
  for (int64_t next = run.row_begin; next < run.row_end;) {
    const size_t band = static_cast<size_t>((next - run.row_begin) / run.band_rows);
    run.changed.wait(guard, [&] { return run.final_until[band] > next; });
    const int64_t until = run.final_until[band];
    guard.unlock();
    if (row_done) {
      for (; next < until; ++next) row_done(next);
    } else {
      next = until;
    }
    guard.lock();
  }
  guard.unlock();
  for (std::thread& w : workers) w.join();
}

}  // namespace

bool focal_mean_fast(const row_band& in, float* out, int64_t row_begin, int64_t row_end, float nodata,
                     int64_t half_width, const kernel_config& config, const row_done_fn& row_done,
                     const column_span& span) {
  simd_rows_fn kernel = nullptr;
  if (config.path == kernel_path::simd) {
    kernel = config.target == 0 ? simd_kernel_best().rows : simd_kernel_for(config.target).rows;
    if (kernel == nullptr) return false;
  }
  if (row_begin >= row_end) return true;

  const int threads = std::max(1, config.threads);
  const int64_t band_rows = band_rows_for(row_end - row_begin, threads);
  if (threads == 1 || row_end - row_begin <= band_rows) {
    simd_scratch scratch = take_scratch();
    in_order_rows order{&row_done, row_begin};
    compute_rows(kernel, scratch, in, out, row_begin, row_end, nodata, half_width, span,
                 row_done ? pass_on_rows : nullptr, &order);
    give_back_scratch(scratch);
    return true;
  }
  threaded_run run;
  run.kernel = kernel;
  run.in = &in;
  run.out = out;
  run.row_begin = row_begin;
  run.row_end = row_end;
  run.nodata = nodata;
  run.half_width = half_width;
  run.span = span;
  run.band_rows = band_rows;
  compute_threaded(run, threads, row_done);
  return true;
}

std::vector<int64_t> kernel_targets() {
  std::vector<int64_t> targets;
  for (int64_t rest = simd_available_targets(); rest != 0; rest &= rest - 1)
    targets.push_back(rest & -rest);  // lower bits are better targets
  return targets;
}

int64_t kernel_chosen_target(const kernel_config& config) {
  if (config.path == kernel_path::reference) return 0;
  const simd_kernel k = config.target == 0 ? simd_kernel_best() : simd_kernel_for(config.target);
  return k.rows != nullptr ? k.target : -1;
}

const char* kernel_target_name(int64_t target) { return hwy::TargetName(target); }

int processors_for_this_process() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}
