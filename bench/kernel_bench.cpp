// Benchmarks of the focal-mean kernel: the plain definition and every SIMD
// target this CPU runs, windows 3 to 101, one thread; and per target a loop
// of independent vector additions held in registers, the most additions a
// core can do with that target. After the runs a table gives each kernel's
// additions per second as a share of its target's peak, and its speed-up
// over the definition.
//
//   build/bench/kernel_bench                       # everything
//   build/bench/kernel_bench --benchmark_filter=AVX3
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "compute/focal_mean_fast.h"
#include "compute/focal_mean_simd.h"
#include "grid/synth_grid.h"

namespace {

constexpr int64_t GRID_ROWS = 512;
constexpr int64_t GRID_COLUMNS = 1024;
constexpr int64_t FIRST_ROW = 120;  // windows up to 101 stay inside the grid
const int64_t WINDOWS[] = {3, 7, 15, 31, 101};

const grid_raster& bench_grid() {
  static grid_raster r = [] {
    synth_options o;
    o.rows = GRID_ROWS;
    o.columns = GRID_COLUMNS;
    o.seed = 11;
    grid_header h;
    grid_raster g;
    synth_grid(o, h, g);
    return g;
  }();
  return r;
}

// The definition's additions for output rows [first, first + rows): every
// cell adds each cell of its window that lies in the grid (all are valid).
double additions(int64_t first, int64_t rows, int64_t half) {
  double total = 0;
  for (int64_t r = first; r < first + rows; ++r) {
    const int64_t in_rows = std::min(GRID_ROWS - 1, r + half) - std::max<int64_t>(0, r - half) + 1;
    for (int64_t c = 0; c < GRID_COLUMNS; ++c) {
      const int64_t in_columns = std::min(GRID_COLUMNS - 1, c + half) - std::max<int64_t>(0, c - half) + 1;
      total += static_cast<double>(in_rows * in_columns);
    }
  }
  return total;
}

void kernel_case(benchmark::State& state, kernel_config config, int64_t window) {
  const grid_raster& g = bench_grid();
  const row_band band = whole_band(g);
  // The definition is slow: fewer rows keep its runs short.
  const int64_t rows = config.path == kernel_path::reference ? (window >= 31 ? 2 : 8) : 128;
  std::vector<float> out(static_cast<size_t>(rows * GRID_COLUMNS));
  for (auto _ : state) {
    if (!focal_mean_fast(band, out.data(), FIRST_ROW, FIRST_ROW + rows, -9999.0f, window / 2, config, nullptr))
      state.SkipWithError("target not available");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  const double adds = additions(FIRST_ROW, rows, window / 2);
  state.counters["adds"] = benchmark::Counter(adds * static_cast<double>(state.iterations()),
                                              benchmark::Counter::kIsRate);
  state.counters["cells"] = benchmark::Counter(static_cast<double>(rows * GRID_COLUMNS * state.iterations()),
                                               benchmark::Counter::kIsRate);
}

void peak_case(benchmark::State& state, int64_t target) {
  constexpr int64_t ITERATIONS = 1 << 20;
  float sink = 0;
  int64_t adds = 0;
  for (auto _ : state) {
    adds += simd_peak_adds(target, ITERATIONS, &sink);
    benchmark::DoNotOptimize(sink);
  }
  state.counters["adds"] = benchmark::Counter(static_cast<double>(adds), benchmark::Counter::kIsRate);
}

// The console report, keeping each case's additions per second for the
// table at the end (the median when runs are repeated).
class table_reporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> adds_per_second;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const auto it = run.counters.find("adds");
      if (it == run.counters.end()) continue;
      std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      adds_per_second[name] = it->second.value;
    }
  }
};

std::string kernel_name(const std::string& path, int64_t window) {
  return "kernel/" + path + "/window:" + std::to_string(window);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<int64_t> targets = kernel_targets();
  for (int64_t window : WINDOWS)
    benchmark::RegisterBenchmark(kernel_name("scalar", window).c_str(), kernel_case,
                                 kernel_config{kernel_path::reference, 0, 1}, window)
        ->Unit(benchmark::kMillisecond);
  for (int64_t target : targets) {
    const std::string name = kernel_target_name(target);
    benchmark::RegisterBenchmark(("peak/" + name).c_str(), peak_case, target)->Unit(benchmark::kMillisecond);
    for (int64_t window : WINDOWS)
      benchmark::RegisterBenchmark(kernel_name(name, window).c_str(), kernel_case,
                                   kernel_config{kernel_path::simd, target, 1}, window)
          ->Unit(benchmark::kMillisecond);
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  table_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& seen = reporter.adds_per_second;
  std::printf("\nadditions/s: kernel as %% of its target's peak; speed-up over the scalar definition\n");
  std::printf("%-8s %12s", "target", "peak Gadd/s");
  for (int64_t window : WINDOWS) std::printf("   window %-3lld", static_cast<long long>(window));
  std::printf("\n");
  for (int64_t target : targets) {
    const std::string name = kernel_target_name(target);
    const auto peak = seen.find("peak/" + name);
    std::printf("%-8s %12.2f", name.c_str(), peak != seen.end() ? peak->second / 1e9 : 0.0);
    for (int64_t window : WINDOWS) {
      const auto k = seen.find(kernel_name(name, window));
      const auto s = seen.find(kernel_name("scalar", window));
      if (k == seen.end() || peak == seen.end()) {
        std::printf("   %-10s", "-");
        continue;
      }
      const double share = 100.0 * k->second / peak->second;
      if (s != seen.end())
        std::printf("   %3.0f%% %5.0fx", share, k->second / s->second);
      else
        std::printf("   %3.0f%%      ", share);
    }
    std::printf("\n");
  }
  return 0;
}
