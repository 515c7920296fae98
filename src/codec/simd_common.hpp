// Codec room: small helpers shared by the word-at-a-time and SIMD kernels.
// The encoder's state machine here is that of the scalar reference, written
// with explicit pointers so vector steps can share it; the decoders share
// decode_driver.hpp.
#ifndef TAVO_CODEC_SIMD_COMMON_HPP
#define TAVO_CODEC_SIMD_COMMON_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format.hpp"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define TAVO_INLINE __forceinline
#define TAVO_NOINLINE __declspec(noinline)
#else
#define TAVO_INLINE inline __attribute__((always_inline))
#define TAVO_NOINLINE __attribute__((noinline))
#endif

namespace tavo {
namespace detail {

// Index of the lowest / highest set bit; x must be non-zero.
TAVO_INLINE unsigned lowest_bit(std::uint32_t x) {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long i;
    _BitScanForward(&i, x);
    return static_cast<unsigned>(i);
#else
    return static_cast<unsigned>(__builtin_ctz(x));
#endif
}

TAVO_INLINE unsigned highest_bit(std::uint32_t x) {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long i;
    _BitScanReverse(&i, x);
    return static_cast<unsigned>(i);
#else
    // (xor, not minus: in some loops g++ left 31 - clz as two more
    // instructions after bsr; it folds the xor into bsr's own result)
    return 31u ^ static_cast<unsigned>(__builtin_clz(x));
#endif
}

// The open block of an encoder: its code slot (back-filled when the block
// closes) and the next output position. The block holds w - slot - 1 data
// bytes; it must close as a maximal block when w reaches slot + 255.
struct EncodeState {
    std::uint8_t* slot;
    std::uint8_t* w;
    bool need_final;  // false only right after a maximal block closed
};

// Bytes that may still join the open block before it must close maximal.
TAVO_INLINE std::size_t room(const EncodeState& s) {
    return static_cast<std::size_t>(s.slot + kMaxCode - s.w);
}

TAVO_INLINE void close_maximal(EncodeState& s) {
    *s.slot = static_cast<std::uint8_t>(kMaxCode);
    s.slot = s.w++;
    s.need_final = false;
}

// Encodes in[0..n) one byte at a time from state s; used for the tails that
// are too short for a vector step.
TAVO_INLINE void encode_bytes(const std::uint8_t* in, std::size_t n, EncodeState& s) {
    if (room(s) == 0) close_maximal(s);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = in[i];
        if (b == 0) {
            *s.slot = static_cast<std::uint8_t>(s.w - s.slot);
            s.slot = s.w++;
            s.need_final = true;
        } else {
            *s.w++ = b;
            if (room(s) == 0) close_maximal(s);
        }
    }
}

// Closes the encoding; returns its length.
TAVO_INLINE std::size_t encode_finish(std::uint8_t* out, EncodeState& s) {
    const std::size_t code = static_cast<std::size_t>(s.w - s.slot);
    if (code == kMaxCode) {  // ended exactly on a full block: no final block
        *s.slot = static_cast<std::uint8_t>(kMaxCode);
        return static_cast<std::size_t>(s.w - out);
    }
    if (code > 1 || s.need_final) {
        *s.slot = static_cast<std::uint8_t>(code);
        return static_cast<std::size_t>(s.w - out);
    }
    return static_cast<std::size_t>(s.slot - out);
}

// 0x80 in exactly the zero bytes of x (no false hits from borrows).
TAVO_INLINE std::uint64_t zero_bytes64(std::uint64_t x) {
    const std::uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    return ~(((x & low7) + low7) | x | low7);
}

TAVO_INLINE std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

TAVO_INLINE void store64(std::uint8_t* p, std::uint64_t x) { std::memcpy(p, &x, 8); }

// True when a byte of x or of y is zero. A borrow may flag a byte above a
// zero, but never a word without one.
TAVO_INLINE bool any_zero(std::uint64_t x, std::uint64_t y) {
    const std::uint64_t ones = 0x0101010101010101ULL;
    return ((((x - ones) & ~x) | ((y - ones) & ~y)) & (ones << 7)) != 0;
}

// The first zero among the k bytes at d, or null.
TAVO_INLINE const std::uint8_t* first_zero(const std::uint8_t* d, std::size_t k) {
    for (std::size_t i = 0; i < k; ++i)
        if (d[i] == 0) return d + i;
    return nullptr;
}

TAVO_INLINE std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t x;
    std::memcpy(&x, p, 4);
    return x;
}

TAVO_INLINE void store32(std::uint8_t* p, std::uint32_t x) { std::memcpy(p, &x, 4); }

}  // namespace detail
}  // namespace tavo

#endif
