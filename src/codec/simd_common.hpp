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
    for (; end - (q + j) >= 8; j += 8, next -= 64) {
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
        // UTF-16): the code lanes are known without following the chain.
        // If the last one opens another such block, the next code sits
        // where this window's first did; otherwise the general path takes
        // its block.
        if (next < 16 && (x & (0x0000FF00FF00FFULL << next)) == (0x00000200020002ULL << next)) {
            store64(o + j, x & ~(0x00FF00FF00FF00FFULL << next));
            last = static_cast<std::ptrdiff_t>(j + 6 + next / 8);
            if (((x >> (next + 48)) & 0xFF) != 2) break;
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

// Decodes the last blocks, from the code byte *p with at most 15 bytes
// after it, to w. Valid input takes one copy of all those bytes, the zero
// test of the copy, and a walk along the code bytes that turns each into a
// zero of the output: one branch on the length and one loop instead of a
// copy and an end test per block. Anything else (a zero, a block that
// runs past the end) is decoded again a byte at a time, which finds the
// first error.
inline DecodeResult decode_tail(const std::uint8_t* in, const std::uint8_t* p,
                                const std::uint8_t* end, std::uint8_t* out, std::uint8_t* w) {
    const std::uint8_t* const d = p + 1;
    const std::size_t r = static_cast<std::size_t>(end - d);  // 0..15
    bool clean;
    if (r >= 8) {
        const std::uint64_t a = load64(d);
        const std::uint64_t b = load64(end - 8);
        const std::uint64_t ones = 0x0101010101010101ULL;
        if (a == ones && b == ones && *p == 1) {  // a run of zeros to the end
            store64(w, 0);
            store64(w + r - 8, 0);
            return {static_cast<std::size_t>(w + r - out), DecodeStatus::ok};
        }
        clean = !any_zero(a, b);
        store64(w, a);
        store64(w + r - 8, b);
    } else if (r >= 4) {
        const std::uint32_t a = load32(d);
        const std::uint32_t b = load32(end - 4);
        clean = !any_zero(a | 0xFFFFFFFF00000000ULL, b | 0xFFFFFFFF00000000ULL);
        store32(w, a);
        store32(w + r - 4, b);
    } else if (r != 0) {  // bytes 0, r/2 and r-1 cover all r of them
        clean = d[0] != 0 && d[r / 2] != 0 && d[r - 1] != 0;
        w[0] = d[0];
        w[r / 2] = d[r / 2];
        w[r - 1] = d[r - 1];
    } else {
        // The last code byte, which must be 01; often the end of a run of
        // a window loop.
        if (*p == 1) return {static_cast<std::size_t>(w - out), DecodeStatus::ok};
        clean = false;
    }
    if (clean && *p != 0) {
        // p[at] is the latest code byte; the chain must end exactly at the
        // end of the input.
        std::size_t at = 0;
        for (;;) {
            const std::size_t next = at + p[at];  // p[at] is not zero: tested above
            if (next > r) {
                if (next == r + 1) return {static_cast<std::size_t>(w + r - out), DecodeStatus::ok};
                break;
            }
            w[next - 1] = 0;
            at = next;
        }
    }
    for (;;) {  // the byte-at-a-time rules, which find the first error
        const std::uint8_t* const code_at = p;
        const unsigned code = *p++;
        if (code == 0) return decode_error(in, code_at, DecodeStatus::zero_byte);
        if (code - 1 > static_cast<std::size_t>(end - p))
            return decode_error(in, code_at, DecodeStatus::short_input);
        for (unsigned j = 1; j < code; ++j) {
            if (*p == 0) return decode_error(in, p, DecodeStatus::zero_byte);
            *w++ = *p++;
        }
        if (p == end) return {static_cast<std::size_t>(w - out), DecodeStatus::ok};
        if (code != kMaxCode) *w++ = 0;
    }
}

}  // namespace detail
}  // namespace tavo

#endif
