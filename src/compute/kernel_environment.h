// The kernel configuration a run takes from its environment, shared by every
// command that filters, so that they all honour the same settings.
#pragma once

#include "compute/focal_mean_fast.h"

// The most threads WAVGRID_THREADS may ask for.
inline constexpr long KERNEL_MAX_THREADS = 1024;

// How to compute, as the environment asks. WAVGRID_THREADS: the number of
// threads (default: the processors this process may run on). WAVGRID_KERNEL:
// "scalar" for the plain cell-by-cell definition, or a SIMD target's name
// ("AVX3", "AVX2", "SSE4", ...; any case) to force that target (default: the
// best target of this CPU). WAVGRID_LATTICE: "off" sums every window
// directly, for measuring what the integer sums gain. Every choice gives the
// same bytes, so a value that cannot be used is ignored, and the
// configuration names only targets this CPU runs.
kernel_config kernel_from_environment();
