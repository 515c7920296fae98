// Codec room: the portable word-at-a-time kernel, for CPUs without a SIMD
// kernel of their own. Eight bytes at a time in a 64-bit integer, with the
// same shifted-copy scheme as the x86 kernels (see x86.cpp): a chunk is
// stored whole and its few code positions are patched.
#include "word.hpp"

#if TAVO_HAVE_WORD_KERNEL

#include "simd_common.hpp"

namespace tavo {
namespace {

using detail::EncodeState;

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

TAVO_INLINE std::uint64_t load8(const std::uint8_t* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

TAVO_INLINE void store8(std::uint8_t* p, std::uint64_t x) { std::memcpy(p, &x, 8); }

TAVO_INLINE std::uint64_t zero_bytes(std::uint64_t x) { return detail::zero_bytes64(x); }

// Byte lane of the lowest flagged byte (little-endian lane order).
TAVO_INLINE unsigned lane(std::uint64_t flags) { return detail::lowest_bit64(flags) / 8; }

// Encodes the 8 bytes at p; returns how many input bytes it consumed.
TAVO_INLINE std::size_t encode_step8(const std::uint8_t* p, EncodeState& s) {
    const std::uint64_t x = load8(p);
    std::uint64_t z = zero_bytes(x);
    const std::size_t room = detail::room(s);
    store8(s.w, x);
    if (room < 8 && (z & ((std::uint64_t{1} << (8 * room)) - 1)) == 0) {
        s.w += room;
        detail::close_maximal(s);
        return room;
    }
    if (z == kHigh) {  // all zeros: seven blocks of code 1 and an open one
        *s.slot = static_cast<std::uint8_t>(s.w - s.slot);
        store8(s.w, kOnes);
        s.slot = s.w + 7;
        s.need_final = true;
    } else if (z != 0) {
        do {
            std::uint8_t* const at = s.w + lane(z);
            *s.slot = static_cast<std::uint8_t>(at - s.slot);
            s.slot = at;
            z &= z - 1;
        } while (z);
        s.need_final = true;
    }
    s.w += 8;
    return 8;
}

std::size_t encode_word(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    EncodeState s = {out, out + 1, true};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    while (end - p >= 8) p += encode_step8(p, s);
    detail::encode_bytes(p, static_cast<std::size_t>(end - p), s);
    return detail::encode_finish(out, s);
}

DecodeResult decode_word(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    if (n == 0) return {0, DecodeStatus::ok};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    std::uint8_t* w = out;
    for (;;) {
        const unsigned code = *p;
        // A run of code bytes 01, none of them final, is a run of zeros.
        if (code == 1 && end - p > 8 && load8(p) == kOnes) {
            store8(w, 0);
            p += 8;
            w += 8;
            continue;
        }
        if (code == 0) return detail::decode_error(in, p, DecodeStatus::zero_byte);
        // The length test comes before any data byte of the block is read.
        const std::size_t k = code - 1;
        const std::uint8_t* const d = p + 1;
        if (k > static_cast<std::size_t>(end - d))
            return detail::decode_error(in, p, DecodeStatus::short_input);
        std::size_t off = 0;
        while (off < k) {
            if (static_cast<std::size_t>(end - d) - off >= 8) {
                const std::uint64_t x = load8(d + off);
                std::uint64_t z = zero_bytes(x);
                const std::size_t left = k - off;
                if (left < 8) z &= (std::uint64_t{1} << (8 * left)) - 1;
                if (z) return detail::decode_error(in, d + off + lane(z), DecodeStatus::zero_byte);
                store8(w + off, x);
                off += 8;
            } else {
                if (const std::uint8_t* z = detail::copy_short(d + off, k - off, w + off))
                    return detail::decode_error(in, z, DecodeStatus::zero_byte);
                break;
            }
        }
        p = d + k;
        w += k;
        if (p == end) return {static_cast<std::size_t>(w - out), DecodeStatus::ok};
        if (code != kMaxCode) *w++ = 0;
    }
}

}  // namespace

const Kernel kWordKernel = {"word", encode_word, decode_word};

}  // namespace tavo

#endif
