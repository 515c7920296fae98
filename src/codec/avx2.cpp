// Codec room: the avx2 kernel: 32 bytes at a time where blocks are long
// or zeros are few, the 16-byte steps elsewhere, and the ssse3 kernel's
// short-block window loop.
#include "isa.hpp"

#if TAVO_HAVE_AVX2

#include <emmintrin.h>
#include <immintrin.h>
#include <tmmintrin.h>

#include "simd_common.hpp"
#include "target.hpp"

TAVO_TARGET_BEGIN("avx2")

#include "decode_driver.hpp"
#include "x86_short_run.hpp"
#include "x86_vec16.hpp"

namespace tavo {
namespace {

TAVO_INLINE __m256i load32(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

TAVO_INLINE void store32(std::uint8_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

TAVO_INLINE unsigned zero_mask32(__m256i v) {
    return static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
}

// copy_block16 with 32-byte chunks for blocks longer than 32 bytes.
TAVO_INLINE bool copy_block32(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
    if (k <= 32) return copy_block16(d, k, w);
    std::size_t off = 0;
    for (; k - off > 32; off += 32) {
        const __m256i x = load32(d + off);
        if (zero_mask32(x)) return false;
        store32(w + off, x);
    }
    off = k - 32;
    const __m256i x = load32(d + off);
    if (zero_mask32(x)) return false;
    store32(w + off, x);
    return true;
}

struct Avx2Decode : ShortRunSteps {
    static TAVO_INLINE bool copy_block(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
        return copy_block32(d, k, w);
    }
};

DecodeResult decode_avx2(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    return decode_blocks<Avx2Decode>(in, n, out);
}

// Encodes the 32 bytes at p, which hold zeros, when the open block cannot
// fill up before the first of them: every zero but the last becomes the
// distance to the next zero. The next zero's lane is a suffix minimum of
// the zero lanes' numbers, taken inside each 16-byte half (alignr brings
// in 0xFF, no zero, from above) and then, for the low half's last zeros,
// the high half's first zero folded in.
TAVO_INLINE void encode_zeros32(__m256i v, unsigned zeros, EncodeState& s) {
    const __m256i iota = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    const __m256i none = _mm256_set1_epi8(-1);
    const __m256i zero_lanes = _mm256_cmpeq_epi8(v, _mm256_setzero_si256());
    // Lane numbers of the zeros, 0xFF elsewhere; then the minimum of each
    // lane and those above it in its half.
    __m256i u = _mm256_or_si256(iota, _mm256_xor_si256(zero_lanes, none));
    u = _mm256_min_epu8(u, _mm256_alignr_epi8(none, u, 1));
    u = _mm256_min_epu8(u, _mm256_alignr_epi8(none, u, 2));
    u = _mm256_min_epu8(u, _mm256_alignr_epi8(none, u, 4));
    u = _mm256_min_epu8(u, _mm256_alignr_epi8(none, u, 8));
    const __m256i high_first = _mm256_broadcastb_epi8(_mm256_extracti128_si256(u, 1));
    const __m256i next = _mm256_min_epu8(_mm256_alignr_epi8(none, u, 1),
                                         _mm256_blend_epi32(high_first, none, 0xF0));
    const __m256i codes = _mm256_sub_epi8(next, iota);
    store32(s.w, _mm256_or_si256(v, _mm256_and_si256(codes, zero_lanes)));
    *s.slot = static_cast<std::uint8_t>(s.w + detail::lowest_bit(zeros) - s.slot);
    s.slot = s.w + detail::highest_bit(zeros);
    s.need_final = true;
    s.w += 32;
}

std::size_t encode_avx2(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    EncodeState s = {out, out + 1, true};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    while (end - p >= 32) {
        const __m256i v = load32(p);
        const unsigned zeros = zero_mask32(v);
        const std::size_t room = detail::room(s);
        if (zeros == 0) {
            if (room >= 32) {
                store32(s.w, v);
                s.w += 32;
                p += 32;
                continue;
            }
            // The block fills up inside this chunk: close it there; the rest
            // moves one byte on, past the new code slot, on the next step.
            store32(s.w, v);
            s.w += room;
            detail::close_maximal(s);
            p += room;
            continue;
        }
        const unsigned rest = zeros & (zeros - 1);
        if ((rest & (rest - 1)) == 0 && detail::lowest_bit(zeros) < room) {
            // One or two zeros, the first inside the open block: patch the
            // code slots directly.
            store32(s.w, v);
            std::uint8_t* at = s.w + detail::lowest_bit(zeros);
            *s.slot = static_cast<std::uint8_t>(at - s.slot);
            s.slot = at;
            if (rest) {
                at = s.w + detail::lowest_bit(rest);
                *s.slot = static_cast<std::uint8_t>(at - s.slot);
                s.slot = at;
            }
            s.need_final = true;
            s.w += 32;
            p += 32;
            continue;
        }
        if (detail::lowest_bit(zeros) < room) {
            encode_zeros32(v, zeros, s);
            p += 32;
            continue;
        }
        // The open block fills up first: two 16-byte steps, unless the first
        // closed a maximal block.
        const std::size_t used = encode_step16(p, s);
        p += used;
        if (used == 16) p += encode_step16(p, s);
    }
    while (end - p >= 16) p += encode_step16(p, s);
    detail::encode_bytes(p, static_cast<std::size_t>(end - p), s);
    return detail::encode_finish(out, s);
}

}  // namespace

const Kernel kAvx2Kernel = {"avx2", encode_avx2, decode_avx2};

}  // namespace tavo

TAVO_TARGET_END

#endif
