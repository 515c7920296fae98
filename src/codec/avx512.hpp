// Codec room: the AVX-512 kernel and the CPU test that enables it.
#ifndef TAVO_CODEC_AVX512_HPP
#define TAVO_CODEC_AVX512_HPP

#include "kernels.hpp"

// g++ and clang++ on x86 only: the kernel's file is one target region.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define TAVO_HAVE_AVX512_KERNEL 1
#else
#define TAVO_HAVE_AVX512_KERNEL 0
#endif

namespace tavo {
#if TAVO_HAVE_AVX512_KERNEL
// F, BW, VL, VBMI and VBMI2, with the ZMM state enabled by the OS.
bool x86_has_avx512_vbmi2() noexcept;
std::size_t encode_avx512(const std::uint8_t* in, std::size_t n, std::uint8_t* out);
DecodeResult decode_avx512(const std::uint8_t* in, std::size_t n, std::uint8_t* out);
#endif
}  // namespace tavo

#endif
