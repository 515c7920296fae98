// Codec room: the short-block window loop of the ssse3 and avx2 kernels.
// Included inside an SSSE3 (or wider) target region, after <tmmintrin.h>
// and x86_vec16.hpp.
#ifndef TAVO_CODEC_X86_SHORT_RUN_HPP
#define TAVO_CODEC_X86_SHORT_RUN_HPP

#include "x86_vec16.hpp"

namespace tavo {
namespace {

// The ssse3 and avx2 window loop, a chain-follower: decodes a run of short
// blocks from the code byte *p (1..16), with at least 17 input bytes left.
//
// Past the first code byte, while every block is short, the output is the
// input moved one byte to the left with each code byte turned into a zero.
// So the input is taken in fixed 16-byte windows and only the code
// positions have to be found: they form a chain, lane i leading to
// lane i + q[i], which shuffles follow at one cycle a hop. `entry` counts
// in lanes: the window lane of the next code byte. Every lane of `at`
// holds the lane the chain stands on; a hop that would leave the window
// stays put, so the chain stops on the window's last code byte, and
// `visited` gathers the code lanes to clear.
//
// A window entered from the code 03 (entry = 2):
//
//   lane   0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15
//   q      a  b 02  c 03  d  e 01 02  f 04  g  h  i 05  j
//   hop    .  .  4  .  7  .  .  8 10  . 14  .  .  . 14  .
//   o      a  b 00  c 00  d  e 00 00  f 00  g  h  i 00  j
//
// `at` goes 2, 4, 7, 8, 10, 14 and stays; lanes 2, 4, 7, 8, 10 and 14 are
// cleared. Each window leaves p at its last code byte and w just after the
// zero it stands for: here p = q + 14 (the code 05) and w = o + 15. The
// chain enters the next window at lane 14 + 5 - 16 = 3; an entry past that
// window (a code of 17 or more from lane 15, say) ends the loop, and the
// block loop takes the block at p, testing its length: the invariant of
// every window loop (decode_driver.hpp). A zero in a window ends it before
// that window is stored.
TAVO_INLINE void decode_short_run(const std::uint8_t*& p, std::uint8_t*& w,
                                  const std::uint8_t* end) {
    const __m128i iota = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i ones = _mm_set1_epi8(1);
    const __m128i sixteen = _mm_set1_epi8(16);
    const std::uint8_t* q = p + 1;  // window start
    std::uint8_t* o = w;            // output of window lane 0
    unsigned entry = static_cast<unsigned>(*p) - 1;
    __m128i at = _mm_set1_epi8(static_cast<char>(entry));
    while (end - q >= 16) {
        const __m128i v = load16(q);
        if (zero_mask16(v) != 0) break;  // the general path finds the zero in order
        if (entry == 0 && _mm_movemask_epi8(_mm_cmpeq_epi8(v, ones)) == 0xFFFF) {
            store16(o, _mm_setzero_si128());  // sixteen empty blocks
            p = q + 15;
            w = o + 16;
            q += 16;
            o += 16;
            continue;
        }
        if (const OneByteBlocks r = one_byte_blocks(v, entry, o); r != OneByteBlocks::no) {
            p = q + 14 + entry;
            w = o + 15 + entry;
            if (r == OneByteBlocks::ends) break;
            q += 16;
            o += 16;
            continue;  // `at` still points at lane `entry`
        }
        const __m128i next = _mm_adds_epu8(iota, v);
        const __m128i inside = _mm_cmpeq_epi8(_mm_min_epu8(next, _mm_set1_epi8(15)), next);
        // A hop that would leave the window stays put instead.
        const __m128i hop = _mm_or_si128(_mm_and_si128(inside, next), _mm_andnot_si128(inside, iota));
        __m128i visited = _mm_cmpeq_epi8(at, iota);
        do {
            for (int i = 0; i < 4; ++i) {
                at = _mm_shuffle_epi8(hop, at);
                visited = _mm_or_si128(visited, _mm_cmpeq_epi8(at, iota));
            }
        } while (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_shuffle_epi8(hop, at), at)) != 0xFFFF);
        store16(o, _mm_andnot_si128(visited, v));
        const unsigned last = static_cast<unsigned>(_mm_cvtsi128_si32(at)) & 0xFF;
        p = q + last;
        w = o + last + 1;
        const __m128i out = _mm_shuffle_epi8(next, at);
        entry = (static_cast<unsigned>(_mm_cvtsi128_si32(out)) & 0xFF) - 16;
        if (entry > 15) break;  // a long block (or a maximal one) starts at p
        at = _mm_sub_epi8(out, sixteen);
        q += 16;
        o += 16;
    }
}

// Whether the code byte *p starts a run for decode_short_run: a short
// block with more than 16 input bytes left. Within the last 32 bytes only
// blocks of at most one data byte take it (runs of 01 and 02 codes): one
// window there covers the rest of a small message, and its chain costs more
// than the two or three longer blocks it would hold, as in a message of 16
// bytes with a zero in 8, cost the block loop.
TAVO_INLINE bool short_run_pays(const std::uint8_t* p, const std::uint8_t* end) {
    return static_cast<unsigned>(*p) - 1 < 16 && end - p > 16 && (end - p > 32 || *p <= 2);
}

// The decode steps of a kernel whose blocks of up to 16 bytes take
// decode_short_run; copy_block is the kernel's own.
struct ShortRunSteps {
    static constexpr unsigned kRunCodes = 16, kRunMin = 16, kStreak = 0;
    static TAVO_INLINE void run(const std::uint8_t*& p, std::uint8_t*& w,
                                const std::uint8_t* end) {
        if (short_run_pays(p, end)) decode_short_run(p, w, end);
    }
};

}  // namespace
}  // namespace tavo

#endif
