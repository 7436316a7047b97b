// The AVX2 kernel set. The build compiles this file alone with -mavx2; core/kernels.cpp
// uses the set only on processors that have AVX2.
#include "core/kernels_sets.hpp"

#if ORVANEL_X86_KERNELS && defined(__AVX2__)
#include "core/kernels_x86.hpp"

namespace orvanel {

namespace {
constexpr CodecKernels avx2_set = kernel_set<Avx2>("avx2");
}  // namespace

const CodecKernels* avx2_kernel_set() noexcept { return &avx2_set; }

}  // namespace orvanel
#elif ORVANEL_X86_KERNELS

namespace orvanel {

const CodecKernels* avx2_kernel_set() noexcept { return nullptr; }

}  // namespace orvanel
#endif
