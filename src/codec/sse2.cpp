// Codec room: the sse2 kernel, 16 bytes at a time; the only x86 kernel on
// a CPU without SSSE3. On 32-bit x86, where SSE2 is not guaranteed, it is
// chosen only when the CPU has it.
#include "isa.hpp"

#if TAVO_HAVE_SSE2

#include <emmintrin.h>

#include "simd_common.hpp"
#include "target.hpp"

TAVO_TARGET_BEGIN("sse2")

#include "decode_driver.hpp"
#include "x86_vec16.hpp"

namespace tavo {
namespace {

// The sse2 window loop, a chain-follower: decodes the blocks that follow
// the code byte *p (1..254) while they lie in whole 16-byte windows of
// input, with the scheme of the word kernel's decode_run8 and the window's
// zero test and table of hops in vector registers. Input q[i] becomes
// output o[i], each code byte a zero; every window is stored whole and its
// code lanes cleared. `next` counts in bits: 8 * the lane, from the
// current window's start, of the next code byte (128 or more: past it).
// Lane i of the table holds 8 * (i + min(q[i], 16)), the bit offset of the
// code byte after lane i's, exact while below 128; a hop shifts the table's
// low or high half right by it.
//
// A window entered from the code 03 (next = 16, lane 2):
//
//   lane   0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15
//   q      a  b 02  c 03  d  e 01 02  f 04  g  h  i 05  j
//   o      a  b 00  c 00  d  e 00 00  f 00  g  h  i 00  j
//
// the hops go 16 -> 32 -> 56 -> 64 -> 80 -> 112 -> 152 (lanes 2, 4, 7, 8,
// 10, 14, then lane 3 of the next window). Six blocks, so the loop goes on,
// with next = 152 - 128 = 24. Had it stopped here (fewer than four blocks
// in the window, a code of 16 or more, a zero in the next window),
// it would return with p = q + 14, the code 05 whose block is left to the
// block loop, and w = o + 15, where that block's data go: the invariant of
// every window loop (decode_driver.hpp). A first window that stops it at
// once leaves p and w where they were.
TAVO_INLINE void decode_run16(const std::uint8_t*& p, std::uint8_t*& w,
                              const std::uint8_t* end) {
    const __m128i iota = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i ones = _mm_set1_epi8(1);
    const __m128i sixteen = _mm_set1_epi8(16);
    const std::uint8_t* const q = p + 1;  // input q[i] becomes o[i] ...
    std::uint8_t* const o = w;
    std::ptrdiff_t last = -1;  // ... and q[last] is the latest code byte
    // Bit offset from the window of the next code byte; 128 or more: past it.
    std::size_t next = (static_cast<std::size_t>(*p) - 1) * 8;
    for (std::size_t j = 0; end - (q + j) >= 16; j += 16, next -= 128) {
        const __m128i v = load16(q + j);
        if (zero_mask16(v) != 0) break;  // the general path finds it in order
        store16(o + j, v);
        if (next >= 128) continue;  // the open block covers the whole window
        if (next == 0 && _mm_movemask_epi8(_mm_cmpeq_epi8(v, ones)) == 0xFFFF) {
            store16(o + j, _mm_setzero_si128());  // sixteen empty blocks
            last = static_cast<std::ptrdiff_t>(j + 15);
            next = 128;
            continue;
        }
        if (const OneByteBlocks r = one_byte_blocks(v, static_cast<unsigned>(next / 8), o + j);
            r != OneByteBlocks::no) {
            last = static_cast<std::ptrdiff_t>(j + 14 + next / 8);
            if (r == OneByteBlocks::ends) break;
            next += 128;
            continue;
        }
        const __m128i table = _mm_slli_epi16(_mm_add_epi8(_mm_min_epu8(v, sixteen), iota), 3);
        std::uint64_t lo, hi;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&lo), table);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&hi), _mm_unpackhi_epi64(table, table));
        std::uint8_t* const ow = o + j;
        // The shift takes its count from the low six bits of t, bit 6 picks
        // the half and bit 7 says the chain left the window.
        std::uint64_t t = next;
        unsigned cur, count = 0;
        do {
            cur = static_cast<std::uint8_t>(t);
            ow[cur >> 3] = 0;
            t = ((t & 64) ? hi : lo) >> (t & 63);
            ++count;
        } while ((t & 0x80) == 0);
        last = static_cast<std::ptrdiff_t>(j + cur / 8);
        next = static_cast<std::uint8_t>(t);  // exact unless the code was cut to 16
        // Blocks of 4 bytes or more on average, or one of 16 or more: the
        // general path, whose block copy is faster there.
        if (count < 4 || next - cur == 128) break;
    }
    p = q + last;
    w = o + last + 1;
}

struct Sse2Decode : FarCopy16 {
    static constexpr unsigned kRunCodes = 16, kRunMin = 16, kStreak = 3;
    static TAVO_INLINE void run(const std::uint8_t*& p, std::uint8_t*& w,
                                const std::uint8_t* end) {
        decode_run16(p, w, end);
    }
};

DecodeResult decode_sse2(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    return decode_blocks<Sse2Decode>(in, n, out);
}

}  // namespace

std::size_t encode_sse2(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    EncodeState s = {out, out + 1, true};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    p = encode_chunks16(p, end, s);
    detail::encode_bytes(p, static_cast<std::size_t>(end - p), s);
    return detail::encode_finish(out, s);
}

const Kernel kSse2Kernel = {"sse2", encode_sse2, decode_sse2};

}  // namespace tavo

TAVO_TARGET_END

#endif
