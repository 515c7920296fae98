// Codec room: what this x86 CPU and its operating system let the kernels
// use. Each test asks the CPU once (CPUID) and, for the wide registers,
// whether the OS saves them across context switches (XGETBV).
#ifndef TAVO_CODEC_CPU_X86_HPP
#define TAVO_CODEC_CPU_X86_HPP

#include "isa.hpp"

namespace tavo {
#if TAVO_X86
bool x86_has_sse2() noexcept;
bool x86_has_ssse3() noexcept;
bool x86_has_avx2() noexcept;           // with the OS saving YMM state
bool x86_has_avx512_vbmi2() noexcept;   // F, BW, VBMI and VBMI2, the OS saving ZMM state
#endif
}  // namespace tavo

#endif
