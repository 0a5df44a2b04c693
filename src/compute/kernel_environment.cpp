#include "compute/kernel_environment.h"

#include <strings.h>

#include <cstdlib>

kernel_config kernel_from_environment() {
  kernel_config config;
  config.threads = processors_for_this_process();
  if (const char* text = std::getenv("WAVGRID_THREADS")) {
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && n >= 1 && n <= KERNEL_MAX_THREADS) config.threads = static_cast<int>(n);
  }
  if (const char* name = std::getenv("WAVGRID_KERNEL")) {
    if (strcasecmp(name, "scalar") == 0) config.path = kernel_path::reference;
    for (int64_t target : kernel_targets())
      if (strcasecmp(name, kernel_target_name(target)) == 0) config.target = target;
  }
  if (const char* setting = std::getenv("WAVGRID_LATTICE")) config.lattice = strcasecmp(setting, "off") != 0;
  return config;
}
