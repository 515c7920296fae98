// Codec room: which kernels this build has, one macro each, and the
// kernels themselves. dispatch.cpp builds the table from these macros; each
// kernel's file compiles its body only under its own macro.
#ifndef TAVO_CODEC_ISA_HPP
#define TAVO_CODEC_ISA_HPP

#include "kernels.hpp"

// x86, 32- or 64-bit, with the GNU compilers or MSVC. (ARM64EC defines
// _M_X64 too, but its x86 intrinsics are emulated.)
#if defined(__x86_64__) || defined(__i386__) || (defined(_M_X64) && !defined(_M_ARM64EC)) || \
    defined(_M_IX86)
#define TAVO_X86 1
#else
#define TAVO_X86 0
#endif

// The word kernel's lane order assumes a little-endian CPU; elsewhere the
// scalar kernel serves alone.
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
#define TAVO_HAVE_WORD_KERNEL (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
#elif defined(_MSC_VER)
#define TAVO_HAVE_WORD_KERNEL 1
#else
#define TAVO_HAVE_WORD_KERNEL 0
#endif

// Every x86 compiler here builds these: g++ and clang++ in a target region
// of the kernel's file, MSVC without flags. None is chosen before the CPU
// has been asked (cpu_x86.hpp), 32-bit x86 and SSE2 included.
#define TAVO_HAVE_SSE2 TAVO_X86
#define TAVO_HAVE_SSSE3 TAVO_X86
#define TAVO_HAVE_AVX2 TAVO_X86

// AVX-512 F, BW, VBMI and VBMI2 intrinsics came with g++ 8, clang++ 6 and
// MSVC 2019.
#if TAVO_X86 && ((defined(__clang__) && __clang_major__ >= 6) ||                    \
                 (!defined(__clang__) && defined(__GNUC__) && __GNUC__ >= 8) ||    \
                 (!defined(__clang__) && defined(_MSC_VER) && _MSC_VER >= 1920))
#define TAVO_X86_AVX512_INTRINSICS 1
#else
#define TAVO_X86_AVX512_INTRINSICS 0
#endif
// The avx512 kernel's bit scans and register hints are written for the GNU
// compilers; MSVC builds stop at avx2.
#if TAVO_X86_AVX512_INTRINSICS && defined(__GNUC__)
#define TAVO_HAVE_AVX512 1
#else
#define TAVO_HAVE_AVX512 0
#endif

namespace tavo {

#if TAVO_HAVE_WORD_KERNEL
extern const Kernel kWordKernel;
#endif
#if TAVO_HAVE_SSE2
extern const Kernel kSse2Kernel;
// Also the ssse3 kernel's encoder: SSSE3 adds nothing that encoding uses.
std::size_t encode_sse2(const std::uint8_t* in, std::size_t n, std::uint8_t* out);
#endif
#if TAVO_HAVE_SSSE3
extern const Kernel kSsse3Kernel;
#endif
#if TAVO_HAVE_AVX2
extern const Kernel kAvx2Kernel;
// Also the avx512 kernel's encoder for messages under one 64-byte step.
std::size_t encode_avx2(const std::uint8_t* in, std::size_t n, std::uint8_t* out);
#endif
#if TAVO_HAVE_AVX512
extern const Kernel kAvx512Kernel;
#endif

}  // namespace tavo

#endif
