// The instruction-set specific kernel sets, for the choice in core/kernels.cpp and for
// tests that compare every set.
#pragma once

#include "core/kernels.hpp"

// Building with -DORVANEL_X86_KERNELS=0 leaves only the portable set, as on other
// processors.
#ifndef ORVANEL_X86_KERNELS
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ORVANEL_X86_KERNELS 1
#else
#define ORVANEL_X86_KERNELS 0
#endif
#endif

namespace orvanel {

#if ORVANEL_X86_KERNELS
// SSE2: every x86-64 processor.
const CodecKernels& sse2_kernel_set() noexcept;
// AVX2, or null when the build could not compile it; the caller checks the processor.
const CodecKernels* avx2_kernel_set() noexcept;
#endif

}  // namespace orvanel
