// The SSE2 kernel set: the x86-64 baseline, so every such processor runs it.
#include "core/kernels_sets.hpp"

#if ORVANEL_X86_KERNELS
#include "core/kernels_x86.hpp"

namespace orvanel {

namespace {
constexpr CodecKernels sse2_set = kernel_set<Sse2>("sse2");
}  // namespace

const CodecKernels& sse2_kernel_set() noexcept { return sse2_set; }

}  // namespace orvanel
#endif
