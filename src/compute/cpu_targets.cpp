// Which of Highway's x86 targets this CPU runs, and the choice of target
// that Highway's dispatch tables read: all this project takes from the
// Highway library itself (the rest is headers), with the hook its test
// fixtures use to run code on one target. The library's copy
// measures its timer's resolution when it is loaded, before main, which
// costs every run of the tool some milliseconds, as much as the whole start
// of a run on a small grid.
//
// A target is reported only when the CPU has every instruction set that
// Highway compiles it for (its target attribute string) and the operating
// system saves the registers it uses; the compiler's CPU feature checks
// include the latter.
#include <hwy/targets.h>

#include <atomic>
#include <cstdint>

namespace {

// Set by a test to pretend the CPU runs only these targets; 0 when not.
std::atomic<int64_t> targets_for_test{0};

int64_t detect_targets() {
  int64_t targets = HWY_SCALAR | HWY_EMU128;  // plain C++: every CPU
#if HWY_ARCH_X86
  __builtin_cpu_init();
#define CPU_HAS(feature) (__builtin_cpu_supports(feature) != 0)
  const bool ssse3 = CPU_HAS("sse2") && CPU_HAS("ssse3");
  const bool sse4 = ssse3 && CPU_HAS("sse4.1") && CPU_HAS("sse4.2") && CPU_HAS("pclmul") && CPU_HAS("aes");
  const bool avx2 = sse4 && CPU_HAS("avx") && CPU_HAS("avx2") && CPU_HAS("bmi") && CPU_HAS("bmi2") &&
                    CPU_HAS("fma") && CPU_HAS("f16c");
  const bool avx3 =
      avx2 && CPU_HAS("avx512f") && CPU_HAS("avx512vl") && CPU_HAS("avx512dq") && CPU_HAS("avx512bw");
  const bool avx3_dl = avx3 && CPU_HAS("vpclmulqdq") && CPU_HAS("avx512vbmi") && CPU_HAS("avx512vbmi2") &&
                       CPU_HAS("vaes") && CPU_HAS("avxvnni") && CPU_HAS("avx512bitalg") &&
                       CPU_HAS("avx512vpopcntdq");
#undef CPU_HAS
  if (ssse3) targets |= HWY_SSSE3;
  if (sse4) targets |= HWY_SSE4;
  if (avx2) targets |= HWY_AVX2;
  if (avx3) targets |= HWY_AVX3;
  if (avx3_dl) targets |= HWY_AVX3_DL;
#endif
  return targets;
}

}  // namespace

namespace hwy {

int64_t SupportedTargets() {
  static const int64_t targets = detect_targets();
  const int64_t pretended = targets_for_test.load();
  return pretended != 0 ? pretended : targets;
}

void SetSupportedTargetsForTest(int64_t targets) {
  targets_for_test.store(targets);
  GetChosenTarget().DeInit();  // the next dispatch chooses again
}

ChosenTarget& GetChosenTarget() {
  static ChosenTarget chosen;
  return chosen;
}

}  // namespace hwy
