// Codec room: small helpers shared by the word-at-a-time and SIMD kernels.
// The encode and decode state machines here are those of the scalar
// reference, written with explicit pointers so vector steps can share them.
#ifndef TAVO_CODEC_SIMD_COMMON_HPP
#define TAVO_CODEC_SIMD_COMMON_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format.hpp"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define TAVO_INLINE __forceinline
#else
#define TAVO_INLINE inline __attribute__((always_inline))
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

TAVO_INLINE unsigned lowest_bit64(std::uint64_t x) {
    const std::uint32_t low = static_cast<std::uint32_t>(x);
    return low ? lowest_bit(low) : 32 + lowest_bit(static_cast<std::uint32_t>(x >> 32));
}

TAVO_INLINE unsigned highest_bit(std::uint32_t x) {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long i;
    _BitScanReverse(&i, x);
    return static_cast<unsigned>(i);
#else
    return 31u - static_cast<unsigned>(__builtin_clz(x));
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

// Copies the k (< 16) data bytes at d to w, with a pair of overlapping
// 8- or 4-byte moves that stay inside both ranges. Returns the first zero
// among the bytes, or null (w then holds nothing meaningful).
TAVO_INLINE const std::uint8_t* copy_short(const std::uint8_t* d, std::size_t k,
                                           std::uint8_t* w) {
    if (k >= 4) {
        std::uint64_t a = 0, b = 0;
        const std::size_t size = k >= 8 ? 8 : 4;
        std::memcpy(&a, d, size);
        std::memcpy(&b, d + k - size, size);
        const std::uint64_t pad = size == 8 ? 0 : 0xFFFFFFFF00000000ULL;
        if (zero_bytes64(a | pad) == 0 && zero_bytes64(b | pad) == 0) {
            std::memcpy(w, &a, size);
            std::memcpy(w + k - size, &b, size);
            return nullptr;
        }
    }
    for (std::size_t j = 0; j < k; ++j) {
        if (d[j] == 0) return d + j;
        w[j] = d[j];
    }
    return nullptr;
}

TAVO_INLINE std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

TAVO_INLINE void store64(std::uint8_t* p, std::uint64_t x) { std::memcpy(p, &x, 8); }

// Decodes the blocks that follow the code byte *p (1..254) while they lie in
// whole 8-byte windows of input. Away from maximal blocks the output is the
// input moved one byte to the left with each code byte turned into a zero,
// so each window is stored whole with its code bytes cleared. The code
// bytes form a chain, lane i leading to lane i + in[i], which a shift per
// hop follows inside a register; the windows' loads never wait for it, so
// a run of short blocks costs a few cycles a block instead of a load's
// latency. The hops gather the code lanes into a mask that one AND applies,
// so the store waits for no hop. It stops where blocks grow to a few bytes,
// which the general path copies faster. Returns with p at a code byte whose
// block is left to the general path (one that may also run past the end,
// hold a zero or be maximal) and w where that block's data goes.
// Little-endian lane order.
TAVO_INLINE void decode_run8(const std::uint8_t*& p, std::uint8_t*& w,
                             const std::uint8_t* end) {
    const std::uint64_t ones = 0x0101010101010101ULL;
    const std::uint8_t* const q = p + 1;  // input q[i] becomes o[i] ...
    std::uint8_t* const o = w;
    std::ptrdiff_t last = -1;  // ... and q[last] is the latest code byte
    // Bit offset from the window of the next code byte; 64 or more: past it.
    std::size_t next = (static_cast<std::size_t>(*p) - 1) * 8;
    std::size_t j = 0;  // window start
    for (; end - (q + j) > 8; j += 8, next -= 64) {
        const std::uint64_t x = load64(q + j);
        if (zero_bytes64(x) != 0) break;  // the general path finds it in order
        if (next >= 64) {  // the open block covers the whole window
            store64(o + j, x);
            continue;
        }
        if (next == 0 && x == ones) {  // eight empty blocks
            store64(o + j, 0);
            last = static_cast<std::ptrdiff_t>(j + 7);
            next = 64;
            continue;
        }
        // Blocks of one byte each from here to the window's end, as in
        // alternating bytes and zeros (16-bit values below 256, text in
        // UTF-16): the code lanes are known without following the chain,
        // and the next one sits where this one did.
        const std::uint64_t pairs = 0x00FF00FF00FF00FFULL << next;
        if (next < 16 && (x & pairs) == (0x0002000200020002ULL << next)) {
            store64(o + j, x & ~pairs);
            last = static_cast<std::ptrdiff_t>(j + 6 + next / 8);
            next += 64;
            continue;
        }
        // Lane i holds 8 * (i + min(in[i], 16)): the bit offset of the next
        // code byte, exact unless the code was cut to 16. A hop shifts by
        // the last result, which is below 64 while the chain is inside.
        const std::uint64_t low4 = 0x0F0F0F0F0F0F0F0FULL;
        const std::uint64_t big = (((x >> 4) & low4) + low4) & 0x1010101010101010ULL;
        const std::uint64_t capped = (x & ~((big >> 4) * 0xFF)) | big;
        const std::uint64_t hops = (capped + 0x0706050403020100ULL) << 3;
        std::uint64_t t = next, cur, codes = 0;
        do {
            cur = t;
            codes |= std::uint64_t{0xFF} << cur;
            t = (hops >> cur) & 0xFF;
        } while (t < 64);
        store64(o + j, x & ~codes);
        last = static_cast<std::ptrdiff_t>(j + cur / 8);
        const bool single = cur == next;
        next = static_cast<std::size_t>(t);
        // One block in the window, or one of 16 bytes or more: the general
        // path, whose block copy is faster there.
        if (single || t - cur == 128) break;
    }
    p = q + last;
    w = o + last + 1;
}

TAVO_INLINE DecodeResult decode_error(const std::uint8_t* in, const std::uint8_t* at,
                                      DecodeStatus status) {
    return {static_cast<std::size_t>(at - in), status};
}

}  // namespace detail
}  // namespace tavo

#endif
