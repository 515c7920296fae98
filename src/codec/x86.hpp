// Codec room: the x86 kernels and the CPU tests that choose among them.
#ifndef TAVO_CODEC_X86_HPP
#define TAVO_CODEC_X86_HPP

#include "kernels.hpp"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#define TAVO_HAVE_X86_KERNELS 1
#else
#define TAVO_HAVE_X86_KERNELS 0
#endif

namespace tavo {
#if TAVO_HAVE_X86_KERNELS
bool x86_has_sse2() noexcept;
bool x86_has_ssse3() noexcept;
bool x86_has_avx2() noexcept;
extern const Kernel kSse2Kernel;
#if defined(__GNUC__)
extern const Kernel kSsse3Kernel;
extern const Kernel kAvx2Kernel;
#endif
#endif
}  // namespace tavo

#endif
