// The SIMD targets the tool reports as runnable must be exactly those whose
// instruction sets the kernel lists for this CPU: one too many crashes the
// tool on an older CPU, one too few leaves speed unused.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::set<std::string> cpu_flags() {
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    std::set<std::string> flags;
    for (std::string w; words >> w;) flags.insert(w);
    return flags;
  }
  return {};
}

TEST(CpuTargets, AgreeWithTheFlagsTheKernelLists) {
  const std::set<std::string> flags = cpu_flags();
  if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags";
  struct target {
    int64_t bit;
    std::vector<std::string> needs;  // beyond the target before it
  };
  const std::vector<target> targets = {
      {HWY_SSSE3, {"sse2", "ssse3"}},
      {HWY_SSE4, {"sse4_1", "sse4_2", "pclmulqdq", "aes"}},
      {HWY_AVX2, {"avx", "avx2", "bmi1", "bmi2", "fma", "f16c"}},
      {HWY_AVX3, {"avx512f", "avx512vl", "avx512dq", "avx512bw"}},
      {HWY_AVX3_DL,
       {"vpclmulqdq", "avx512vbmi", "avx512_vbmi2", "vaes", "avx_vnni", "avx512_bitalg", "avx512_vpopcntdq"}},
  };
  const int64_t supported = hwy::SupportedTargets();
  EXPECT_NE(supported & HWY_EMU128, 0) << "plain C++ runs anywhere";
  bool has_all = true;
  for (const target& t : targets) {
    for (const std::string& f : t.needs) has_all = has_all && flags.count(f) > 0;
    EXPECT_EQ((supported & t.bit) != 0, has_all) << hwy::TargetName(t.bit);
  }
}

// A test fixture may pretend the CPU runs fewer targets; 0 ends that.
TEST(CpuTargets, PretendedTargetsLastUntilReset) {
  const int64_t real = hwy::SupportedTargets();
  hwy::SetSupportedTargetsForTest(HWY_EMU128);
  EXPECT_EQ(hwy::SupportedTargets(), HWY_EMU128);
  hwy::SetSupportedTargetsForTest(0);
  EXPECT_EQ(hwy::SupportedTargets(), real);
}

}  // namespace
