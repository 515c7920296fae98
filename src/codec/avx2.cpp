// Codec room: the avx2 kernel. Encode: 32-byte chunks, a loop of its own
// for runs of chunks that each hold a zero, and the 16-byte steps where a
// block fills up. Decode: 32 bytes at a time where blocks are long, a
// 32-byte window loop for runs of short blocks, and the ssse3 kernel's
// 16-byte one for the last bytes of them.
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

// Windows of 01 codes, and of 02 codes at every other lane, as in runs of
// zeros and of alternating bytes and zeros: decodes such windows from the
// window v at q (zero-free, entered at lane e) on, while they go on, and
// returns whether there was one; p and w as in decode_windows32, q and o
// move on to the next window and e to its entry lane (64 or more: a long
// block). The last code of a window of 02 codes may be any that leaves the
// window, as the final 01 of a message. One test of the window and e
// together comes first, so that other data, which never matches them, does
// not mispredict on e.
TAVO_INLINE bool one_byte_windows32(const std::uint8_t*& p, std::uint8_t*& w,
                                    const std::uint8_t*& q, std::uint8_t*& o,
                                    const std::uint8_t* end, unsigned& e, __m256i v) {
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i twos = _mm256_set1_epi8(2);
    const unsigned alt = 0x55555555u << (e & 1);
    const unsigned small = static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v, twos), twos)));
    if (!(((small & alt) == alt) & (e < 2))) return false;
    auto ones_only = [&](__m256i y) {
        return _mm256_movemask_epi8(_mm256_cmpeq_epi8(y, ones)) == -1;
    };
    if (small == 0xFFFFFFFFu && e == 0 && ones_only(v)) {
        do {
            store32(o, _mm256_setzero_si256());  // 32 empty blocks
            p = q + 31;
            w = o + 32;
            q += 32;
            o += 32;
        } while (end - q >= 32 && ones_only(load32(q)));
        return true;
    }
    // Blocks of one data byte each: every other lane is a code lane.
    const unsigned inner = alt & ~(1u << (30 + e));
    auto alternate = [&](__m256i y) {
        const unsigned twos_at =
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(y, twos)));
        return zero_mask32(y) == 0 && (twos_at & inner) == inner && q[30 + e] + e >= 2;
    };
    if (!alternate(v)) return false;
    const __m256i codes = _mm256_set1_epi16(static_cast<short>(0xFF << (8 * e)));
    for (;;) {
        store32(o, _mm256_andnot_si256(codes, v));
        p = q + 30 + e;
        w = o + 31 + e;
        q += 32;
        o += 32;
        if (*p != 2) {
            e = e + *p - 2;
            return true;
        }
        if (end - q < 32) return true;
        v = load32(q);
        if (!alternate(v)) return true;
    }
}

// The avx2 window loop, a chain-follower: decodes the blocks that follow
// the code byte *p (1..16) a 32-byte window of input at a time, with more
// than 32 input bytes left, and returns with p at a code byte whose block is
// left to the caller (a long or maximal one, one that holds a zero or ends
// near the end of the input) and w where that block's data go.
//
// As in decode_short_run, a window of short blocks is the output moved one
// byte left with each code lane cleared, lane i leading to lane i + q[i];
// here each 16-byte half follows its own chain in its 128-bit lane, so
// that no step waits for another. Four squarings of the hop table (1, 2, 4,
// 8, 16 hops; a hop that would leave the half stays put) give each lane's
// chain end in its half, and `ex` where that chain goes on: lane end +
// code, counted from the half's start. e counts from the window's start:
// the lane of the next code byte, entering half A (e < 16), half B (e < 32)
// or neither (a block longer than a half; such a window is a plain copy).
// The code lanes of the chains entered are then found by binary lifting
// over the tables, as in the avx512 kernel.
//
// A window entered at e = 2:
//
//   lane   0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15 | 16 17 18 ...
//   q      a  b 03  c  d 0c  e  f  g  h  i  j  k  l  m  n |  o 02  p ...
//
// Half A's chain goes 2, 5 and leaves at 5 + 12 = 17, so half B is entered
// at its lane 1 (window lane 17, the code 02) and goes on from there. Lanes
// 2, 5 and 17 and B's later code lanes are cleared; p is left at the last
// of them and w just after the zero it stands for. A code that reaches 64
// lanes or more past the next window (a maximal block among them) ends the
// loop, and so does a zero anywhere in a window, before it is stored.
TAVO_NOINLINE void decode_windows32(const std::uint8_t*& p, std::uint8_t*& w,
                                    const std::uint8_t* end) {
    const __m256i iota = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0,
                                          1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m256i sixteen = _mm256_set1_epi8(16);
    const __m256i past = _mm256_set1_epi8(112);
    const std::uint8_t* q = p + 1;
    std::uint8_t* o = w;
    unsigned e = static_cast<unsigned>(*p) - 1;
    const __m256i halves = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1,
                                            1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1);
    alignas(32) std::uint8_t exits[32], enter_b[32];
    // The latest window of the general path and its code lanes: p and w
    // are set from them once, on the way out, not at every window.
    const std::uint8_t* cq = q;
    unsigned code_lanes = 0;
    while (end - q >= 32) {
        const __m256i v = load32(q);
        if (zero_mask32(v) != 0) break;  // the caller finds it in order
        if (e >= 32) {  // inside one long block
            store32(o, v);
            e -= 32;
            q += 32;
            o += 32;
            continue;
        }
        // Windows of one-byte blocks are looked for only after a window
        // whose blocks all were that short (no two data lanes in a row):
        // other data skips the test.
        if ((code_lanes | code_lanes << 1 | 1) == 0xFFFFFFFFu &&
            one_byte_windows32(p, w, q, o, end, e, v)) {
            code_lanes = 0;  // p and w already stand after these windows
            if (e >= 64) break;
            continue;
        }
        // (Adding 112 sets the top bit, which blendv tests, at 16 or more.)
        const __m256i next = _mm256_adds_epu8(iota, v);
        const __m256i h1 = _mm256_blendv_epi8(next, iota, _mm256_adds_epu8(next, past));
        const __m256i h2 = _mm256_shuffle_epi8(h1, h1);
        const __m256i h4 = _mm256_shuffle_epi8(h2, h2);
        const __m256i h8 = _mm256_shuffle_epi8(h4, h4);
        const __m256i h16 = _mm256_shuffle_epi8(h8, h8);
        // For each entry lane e of the window: eb, where half B is entered
        // (half A's exit, or e itself in half B, counted from B's start; 16
        // or more: not at all), and en = exits[e], where the next window is
        // entered. Only that one lookup links windows.
        const __m256i x = _mm256_shuffle_epi8(next, h16);
        const __m256i eb_of = _mm256_blend_epi32(_mm256_sub_epi8(x, sixteen), iota, 0xF0);
        const __m256i bx = _mm256_permute4x64_epi64(x, 0xEE);  // half B's exits in both halves
        // (An eb of 16 or more gets bit 7, so its lookup reads 0 and the max
        // keeps eb; a lookup in B reads an exit, 16 or more, past eb.)
        const __m256i via_b = _mm256_shuffle_epi8(bx, _mm256_adds_epu8(eb_of, past));
        _mm256_store_si256(reinterpret_cast<__m256i*>(exits),
                           _mm256_sub_epi8(_mm256_max_epu8(via_b, eb_of), sixteen));
        _mm256_store_si256(reinterpret_cast<__m256i*>(enter_b), eb_of);
        const unsigned en = exits[e];
        // The chains entered: e in half A, eb_of[e] in half B (16 or more:
        // none), each spread over its half from one 16-bit broadcast.
        const __m256i entry = _mm256_shuffle_epi8(
            _mm256_set1_epi16(static_cast<short>(e | static_cast<unsigned>(enter_b[e]) << 8)),
            halves);
        // (bit 7 of entry + 112: not entered, an entry of 16 or more)
        const __m256i unentered =
            _mm256_cmpgt_epi8(_mm256_setzero_si256(), _mm256_adds_epu8(entry, past));
        // Binary lifting: pos moves to the furthest chain lane at or before
        // each lane of its half, up to 15 hops; the lanes it reaches exactly
        // are the code lanes (the last round's move left out: pos ends on
        // lane i when it stood there or its last hop lands there).
        const __m256i far[3] = {h8, h4, h2};
        __m256i pos = entry;
        for (const __m256i& h : far) {
            // (In a half entered, hops never go back, so to >= pos: pos
            // moves to to unless to is past the lane.)
            const __m256i to = _mm256_shuffle_epi8(h, pos);
            pos = _mm256_max_epu8(pos, _mm256_andnot_si256(_mm256_cmpgt_epi8(to, iota), to));
        }
        const __m256i to = _mm256_shuffle_epi8(h1, pos);
        const __m256i codes = _mm256_andnot_si256(
            unentered, _mm256_or_si256(_mm256_cmpeq_epi8(pos, iota), _mm256_cmpeq_epi8(to, iota)));
        store32(o, _mm256_andnot_si256(codes, v));
        code_lanes = static_cast<unsigned>(_mm256_movemask_epi8(codes));
        cq = q;
        e = en;
        if (e >= 64) break;  // a long or maximal block starts at the last code lane
        q += 32;
        o += 32;
    }
    if (code_lanes != 0) {
        const unsigned last = detail::highest_bit(code_lanes);
        p = cq + last;
        w = o - (q - cq) + last + 1;
    }
}

struct Avx2Decode {
    static constexpr unsigned kRunCodes = 16, kRunMin = 16, kStreak = 0;
    static TAVO_INLINE void run(const std::uint8_t*& p, std::uint8_t*& w, const std::uint8_t* end) {
        // Two short blocks in a row; one alone, as random data has often,
        // costs a 32-byte window more than it saves.
        if (end - p > 32 && static_cast<unsigned>(p[*p]) - 1 < 16) {
            // Windows of 01 and 02 codes are taken here first: in a short
            // message of them the window loop's call and setup would cost
            // more than the windows.
            const std::uint8_t* q = p + 1;
            std::uint8_t* o = w;
            unsigned e = static_cast<unsigned>(*p) - 1;
            const __m256i v = load32(q);
            if (e >= 2 || zero_mask32(v) != 0 || !one_byte_windows32(p, w, q, o, end, e, v)) {
                // Through copies: the caller's own p and w, their addresses
                // never taken, stay in registers all through the block loop.
                const std::uint8_t* rp = p;
                std::uint8_t* rw = w;
                decode_windows32(rp, rw, end);
                p = rp;
                w = rw;
            }
        }
        // The last 32 bytes or so, or after a window loop that ended early.
        if (short_run_pays(p, end)) decode_short_run(p, w, end);
    }
    static TAVO_INLINE bool copy_block(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
        return copy_block32(d, k, w);
    }
    static constexpr std::size_t kChunk = 32, kFarBytes = kMaxBlockData;
    static constexpr bool kWholeMaximal = true;
    static TAVO_INLINE bool copy_chunk(const std::uint8_t* d, std::uint8_t* w) {
        const __m256i x = load32(d);
        store32(w, x);
        return zero_mask32(x) == 0;
    }
    static TAVO_INLINE bool copy128(const std::uint8_t* d, std::uint8_t* w) {
        const __m256i a = load32(d), b = load32(d + 32), c = load32(d + 64), e = load32(d + 96);
        store32(w, a);
        store32(w + 32, b);
        store32(w + 64, c);
        store32(w + 96, e);
        return zero_mask32(_mm256_min_epu8(_mm256_min_epu8(a, b), _mm256_min_epu8(c, e))) == 0;
    }
    static TAVO_INLINE bool copy_far(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
        return copy_far_halves<Avx2Decode>(d, k, w);
    }
};

DecodeResult decode_avx2(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    return decode_blocks<Avx2Decode>(in, n, out);
}

// Encodes the 32 bytes at p, which hold zeros, when the open block cannot
// fill up before the first of them: every zero but the last becomes the
// distance to the next zero. Each zero lane holds 255 minus its lane
// number, other lanes 0 (what the byte shifts bring in): a suffix maximum
// inside each 16-byte half, the high half's first zero folded into the low
// half, and one more shift give 255 minus the lane of the next zero.
TAVO_INLINE void encode_zeros32(__m256i v, __m256i zero_lanes, unsigned zeros, EncodeState& s) {
    const __m256i down = _mm256_setr_epi8(
        -1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12, -13, -14, -15, -16, -17, -18, -19, -20,
        -21, -22, -23, -24, -25, -26, -27, -28, -29, -30, -31, -32);  // 255 - lane
    __m256i t = _mm256_and_si256(zero_lanes, down);
    t = _mm256_max_epu8(t, _mm256_bsrli_epi128(t, 1));
    t = _mm256_max_epu8(t, _mm256_bsrli_epi128(t, 2));
    t = _mm256_max_epu8(t, _mm256_bsrli_epi128(t, 4));
    t = _mm256_max_epu8(t, _mm256_bsrli_epi128(t, 8));
    // The high half's lane 0 in every low lane, 0 in the high half.
    const __m256i high_first =
        _mm256_shuffle_epi8(_mm256_permute2x128_si256(t, t, 0x81), _mm256_setzero_si256());
    t = _mm256_max_epu8(_mm256_bsrli_epi128(t, 1), high_first);
    const __m256i codes = _mm256_sub_epi8(down, t);
    store32(s.w, _mm256_or_si256(v, _mm256_and_si256(codes, zero_lanes)));
    *s.slot = static_cast<std::uint8_t>(s.w + detail::lowest_bit(zeros) - s.slot);
    s.slot = s.w + detail::highest_bit(zeros);
    s.need_final = true;
    s.w += 32;
}

}  // namespace

std::size_t encode_avx2(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    // A message under one 32-byte step: the sse2 encoder's 16-byte steps,
    // a jump away, without this loop's register saves.
    if (n < 32) return encode_sse2(in, n, out);
    EncodeState s = {out, out + 1, true};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    const std::uint8_t* const last = end - 32;  // the last full chunk
    while (end - p >= 32) {
        const __m256i v = load32(p);
        const __m256i zero_lanes = _mm256_cmpeq_epi8(v, _mm256_setzero_si256());
        const unsigned zeros = static_cast<unsigned>(_mm256_movemask_epi8(zero_lanes));
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
            // A run of chunks that each hold a zero: the block open at each
            // one started in the chunk before, so it cannot fill up, and no
            // chunk branches on room or on how many zeros it holds.
            __m256i x = v, x_zeros = zero_lanes;
            unsigned mask = zeros;
            do {
                encode_zeros32(x, x_zeros, mask, s);
                p += 32;
                if (p > last) break;
                x = load32(p);
                x_zeros = _mm256_cmpeq_epi8(x, _mm256_setzero_si256());
                mask = static_cast<unsigned>(_mm256_movemask_epi8(x_zeros));
            } while (mask != 0);
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

const Kernel kAvx2Kernel = {"avx2", encode_avx2, decode_avx2};

}  // namespace tavo

TAVO_TARGET_END

#endif
