// Codec room: the 16-byte SSE2 steps that the sse2, ssse3 and avx2 kernels
// share. Included inside each one's target region (target.hpp), after
// <emmintrin.h>; each file compiles its own copy for its own target.
//
// Encoding rests on one fact of the format: away from maximal blocks the
// encoding is the input shifted right by one byte with every zero replaced
// by the distance to the next zero (the code of the block it opens), and
// decoding is the reverse. So a vector step copies 16 bytes at once and
// patches the few code positions, instead of visiting each byte. The
// encoder's output position never runs ahead of its input position by more
// than 1 + (maximal blocks so far), so storing exactly the bytes just loaded
// from inside the input stays inside encoded_bound(n) bytes.
#ifndef TAVO_CODEC_X86_VEC16_HPP
#define TAVO_CODEC_X86_VEC16_HPP

#include "decode_driver.hpp"
#include "simd_common.hpp"

namespace tavo {
namespace {

using detail::EncodeState;

TAVO_INLINE __m128i load16(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

TAVO_INLINE void store16(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

TAVO_INLINE unsigned zero_mask16(__m128i v) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
}

// For each zero lane i, the distance to the next zero lane (garbage in
// the last zero lane; other lanes 0). Each zero lane holds 255 minus its
// lane number, other lanes 0, which is what the byte shifts bring in, so a
// suffix maximum over the lanes above i, in log2(16) steps, is 255 minus
// the next zero's lane.
TAVO_INLINE __m128i zero_codes16(__m128i zeros) {
    const __m128i down = _mm_setr_epi8(-1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12, -13,
                                       -14, -15, -16);  // 255 - lane
    __m128i t = _mm_srli_si128(_mm_and_si128(zeros, down), 1);
    t = _mm_max_epu8(t, _mm_srli_si128(t, 1));
    t = _mm_max_epu8(t, _mm_srli_si128(t, 2));
    t = _mm_max_epu8(t, _mm_srli_si128(t, 4));
    t = _mm_max_epu8(t, _mm_srli_si128(t, 8));
    return _mm_and_si128(_mm_sub_epi8(down, t), zeros);
}

// Writes a chunk v that holds a zero (mask: its zero lanes) and lies inside
// the open block's room. The first zero closes the open block; each later
// zero closes a block that started inside this chunk, so its code is a lane
// distance.
TAVO_INLINE void encode_zeros16(__m128i v, __m128i zeros, unsigned mask, EncodeState& s) {
    store16(s.w, _mm_or_si128(v, zero_codes16(zeros)));
    const unsigned first = detail::lowest_bit(mask);
    *s.slot = static_cast<std::uint8_t>(s.w + first - s.slot);
    s.slot = s.w + detail::highest_bit(mask);
    s.need_final = true;
    s.w += 16;
}

// Encodes the 16 bytes at p (all inside the input); returns how many input
// bytes it consumed: 16, or fewer when the open block had to close maximal.
TAVO_INLINE std::size_t encode_step16(const std::uint8_t* p, EncodeState& s) {
    const __m128i v = load16(p);
    const __m128i zeros = _mm_cmpeq_epi8(v, _mm_setzero_si128());
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(zeros));
    const std::size_t room = detail::room(s);
    if (room < 16 && (mask & ((1u << room) - 1)) == 0) {
        // The block fills up before any zero: the rest of the chunk moves
        // one byte on, past the new code slot, on the next step.
        store16(s.w, v);
        s.w += room;
        detail::close_maximal(s);
        return room;
    }
    if (mask == 0) {
        store16(s.w, v);
        s.w += 16;
        return 16;
    }
    encode_zeros16(v, zeros, mask, s);
    return 16;
}

// Encodes 16-byte chunks from p until fewer than 16 input bytes are left;
// returns where it stopped. While the open block has room for k more whole
// chunks, none of them needs a room test. A chunk with a zero is patched
// from the registers that tested it. After a zero-free chunk, sparse data
// is likely, and pairs of chunks are tested with one compare; dense data
// rarely reaches that loop. Testing the room at every chunk, as
// encode_step16 does, made zero-free data run 1.3-1.8x slower at some code
// placements; these loops take one taken branch a chunk or pair, and hold
// their speed wherever they land.
TAVO_INLINE const std::uint8_t* encode_chunks16(const std::uint8_t* p, const std::uint8_t* end,
                                                EncodeState& s) {
    while (end - p >= 16) {
        const std::size_t room = detail::room(s), left = static_cast<std::size_t>(end - p);
        std::size_t k = (room < left ? room : left) / 16;
        if (k == 0) {  // the block fills inside this chunk
            p += encode_step16(p, s);
            continue;
        }
        std::uint8_t* w = s.w;
        __m128i v, zeros;
        unsigned mask;
        do {
            v = load16(p);
            zeros = _mm_cmpeq_epi8(v, _mm_setzero_si128());
            mask = static_cast<unsigned>(_mm_movemask_epi8(zeros));
            if (mask != 0) break;
            store16(w, v);
            p += 16;
            w += 16;
            --k;
            for (; k >= 2; k -= 2, p += 32, w += 32) {
                const __m128i a = load16(p), b = load16(p + 16);
                if (zero_mask16(_mm_min_epu8(a, b)) != 0) break;
                store16(w, a);
                store16(w + 16, b);
            }
        } while (k != 0);
        s.w = w;
        if (mask != 0) {
            encode_zeros16(v, zeros, mask, s);
            p += 16;
        }
    }
    return p;
}

// Copies the k data bytes of one block from d to w, with at least 16 input
// bytes from d on (the last few blocks go to decode_tail); false if one is
// zero. A short block is one whole chunk, stored without a test of k: the
// output is at least that far behind the input, and only the block's own
// bytes are searched. A long one is whole chunks, the last one ending with
// the block and overlapping the one before.
TAVO_INLINE bool copy_block16(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
    if (k <= 16) {
        const __m128i v = load16(d);
        if (zero_mask16(v) & ((1u << k) - 1)) return false;
        store16(w, v);
        return true;
    }
    std::size_t off = 0;
    for (; k - off > 16; off += 16) {
        const __m128i v = load16(d + off);
        if (zero_mask16(v)) return false;
        store16(w + off, v);
    }
    off = k - 16;
    const __m128i v = load16(d + off);
    if (zero_mask16(v)) return false;
    store16(w + off, v);
    return true;
}

// The block copies of the sse2 and ssse3 decoders: copy_block16, and
// copy_far_halves (decode_driver.hpp) with 16-byte chunks.
struct FarCopy16 {
    static constexpr std::size_t kChunk = 16, kFarBytes = kMaxBlockData;
    static constexpr bool kWholeMaximal = true;
    static TAVO_INLINE bool copy_chunk(const std::uint8_t* d, std::uint8_t* w) {
        const __m128i v = load16(d);
        store16(w, v);
        return zero_mask16(v) == 0;
    }
    static TAVO_INLINE bool copy128(const std::uint8_t* d, std::uint8_t* w) {
        __m128i v[8];
        for (int i = 0; i < 8; ++i) v[i] = load16(d + 16 * i);
        for (int i = 0; i < 8; ++i) store16(w + 16 * i, v[i]);
        // The least byte of the 128, zero if one of them is.
        __m128i m = v[0];
        for (int i = 1; i < 8; ++i) m = _mm_min_epu8(m, v[i]);
        return zero_mask16(m) == 0;
    }
    static TAVO_INLINE bool copy_block(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
        return copy_block16(d, k, w);
    }
    static TAVO_INLINE bool copy_far(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
        return copy_far_halves<FarCopy16>(d, k, w);
    }
};

// Whether a window v holds, from its lane `first` to its end, blocks of one
// data byte each: alternating bytes and zeros, as in 16-bit values below 256
// or text in UTF-16. Their code lanes are then known without following the
// chain, and the window goes to o with those lanes cleared. goes_on: the
// last of them opens another such block, whose code sits in the next window
// at lane `first` again; ends: the general path must take the block it
// opens. One test covers both conditions, so other data sees one branch
// that it always predicts.
enum class OneByteBlocks { no, ends, goes_on };

TAVO_INLINE OneByteBlocks one_byte_blocks(__m128i v, unsigned first, std::uint8_t* o) {
    const unsigned lanes = 0x5555u << (first & 1);
    const unsigned twos =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(2))));
    if ((first >= 2) | ((twos & lanes & 0x3FFF) != (lanes & 0x3FFF))) return OneByteBlocks::no;
    const __m128i codes =
        _mm_sll_epi16(_mm_set1_epi16(0xFF), _mm_cvtsi32_si128(static_cast<int>(first * 8)));
    store16(o, _mm_andnot_si128(codes, v));
    return (twos & lanes) == lanes ? OneByteBlocks::goes_on : OneByteBlocks::ends;
}

}  // namespace
}  // namespace tavo

#endif
