// Codec room: the portable word-at-a-time kernel.
#ifndef TAVO_CODEC_WORD_HPP
#define TAVO_CODEC_WORD_HPP

#include "kernels.hpp"

// Its lane order assumes a little-endian CPU; elsewhere the scalar kernel
// serves alone.
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
#define TAVO_HAVE_WORD_KERNEL (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
#elif defined(_MSC_VER)
#define TAVO_HAVE_WORD_KERNEL 1
#else
#define TAVO_HAVE_WORD_KERNEL 0
#endif

namespace tavo {
#if TAVO_HAVE_WORD_KERNEL
extern const Kernel kWordKernel;
#endif
}  // namespace tavo

#endif
