// Codec room: SSE2, SSSE3 and AVX2 kernels for x86.
//
// All rest on one fact of the format: away from maximal blocks the encoding
// is the input shifted right by one byte with every zero replaced by the
// distance to the next zero (the code of the block it opens), and decoding is
// the reverse. So a vector step copies 16 or 32 bytes at once and patches the
// few code positions, instead of visiting each byte.
//
// Bounds: the encoder's output position never runs ahead of its input
// position by more than 1 + (maximal blocks so far), and the decoder's never
// reaches its input position, so storing exactly the bytes just loaded from
// inside the input stays inside the caller's buffer (encoded_bound(n) or
// decoded_capacity(n) bytes). Loads never pass in + n.
//
// The SSSE3 kernel adds shuffles that follow runs of short blocks when
// decoding; the AVX2 kernel also moves 32 bytes at a time. Both are compiled
// per function with a target attribute and chosen at run time, never with
// -march; on 32-bit x86, where SSE2 is not guaranteed, SSE2 is handled the
// same way. MSVC builds get the SSE2 kernel only.
#include "x86.hpp"

#if TAVO_HAVE_X86_KERNELS

#include <emmintrin.h>
#include <immintrin.h>

#include "simd_common.hpp"

#if defined(__GNUC__)
#define TAVO_SSE2 __attribute__((target("sse2")))
#define TAVO_SSSE3 __attribute__((target("ssse3")))
#define TAVO_AVX2 __attribute__((target("avx2")))
#else
#define TAVO_SSE2
#define TAVO_SSSE3
#define TAVO_AVX2
#endif

namespace tavo {
namespace {

using detail::EncodeState;

TAVO_SSE2 TAVO_INLINE __m128i load16(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

TAVO_SSE2 TAVO_INLINE void store16(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

TAVO_SSE2 TAVO_INLINE unsigned zero_mask16(__m128i v) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
}

// For each lane i, the index of the first zero lane after i (0xFF if none).
// `zeros` has 0xFF in the zero lanes. A suffix minimum in log2(16) steps.
TAVO_SSE2 TAVO_INLINE __m128i next_zero_index(__m128i zeros) {
    const __m128i iota = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i ones = _mm_set1_epi8(-1);
    const __m128i idx = _mm_or_si128(iota, _mm_xor_si128(zeros, ones));
    // Shifting toward lane 0 brings in 0xFF (no zero there), not 0.
    __m128i t = _mm_or_si128(_mm_srli_si128(idx, 1), _mm_slli_si128(ones, 15));
    t = _mm_min_epu8(t, _mm_or_si128(_mm_srli_si128(t, 1), _mm_slli_si128(ones, 15)));
    t = _mm_min_epu8(t, _mm_or_si128(_mm_srli_si128(t, 2), _mm_slli_si128(ones, 14)));
    t = _mm_min_epu8(t, _mm_or_si128(_mm_srli_si128(t, 4), _mm_slli_si128(ones, 12)));
    t = _mm_min_epu8(t, _mm_or_si128(_mm_srli_si128(t, 8), _mm_slli_si128(ones, 8)));
    return t;
}

// Encodes the 16 bytes at p (all inside the input); returns how many input
// bytes it consumed: 16, or fewer when the open block had to close maximal.
TAVO_SSE2 TAVO_INLINE std::size_t encode_step16(const std::uint8_t* p, EncodeState& s) {
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
    // The first zero closes the open block; each later zero closes a block
    // that started inside this chunk, so its code is a lane distance.
    const __m128i iota = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i codes = _mm_sub_epi8(next_zero_index(zeros), iota);
    store16(s.w, _mm_or_si128(v, _mm_and_si128(codes, zeros)));
    const unsigned first = detail::lowest_bit(mask);
    *s.slot = static_cast<std::uint8_t>(s.w + first - s.slot);
    s.slot = s.w + detail::highest_bit(mask);
    s.need_final = true;
    s.w += 16;
    return 16;
}

// Copies the k data bytes of one block from d to w, with at least 16 input
// bytes from d on (the last few blocks go to detail::decode_tail). A short
// block is one whole chunk, stored without a test of k: the output is at
// least that far behind the input. A long one is whole chunks, the last one
// ending with the block; the bytes before a chunk were searched already, so
// its first zero is the block's. Returns the block's first zero, or null.
TAVO_SSE2 TAVO_INLINE const std::uint8_t* copy_block16(const std::uint8_t* d, std::size_t k,
                                                         std::uint8_t* w) {
    if (k <= 16) {
        const __m128i v = load16(d);
        const unsigned m = zero_mask16(v) & ((1u << k) - 1);
        if (m) return d + detail::lowest_bit(m);
        store16(w, v);
        return nullptr;
    }
    std::size_t off = 0;
    for (; k - off > 16; off += 16) {
        const __m128i v = load16(d + off);
        if (const unsigned m = zero_mask16(v)) return d + off + detail::lowest_bit(m);
        store16(w + off, v);
    }
    off = k - 16;
    const __m128i v = load16(d + off);
    if (const unsigned m = zero_mask16(v)) return d + off + detail::lowest_bit(m);
    store16(w + off, v);
    return nullptr;
}

// Whether a window v holds, from its lane `first` to its end, blocks of one
// data byte each: alternating bytes and zeros, as in 16-bit values below 256
// or text in UTF-16. Their code lanes are then known without following the
// chain, and the window goes to o with those lanes cleared. goes_on: the
// last of them opens another such block, whose code sits in the next window
// at lane `first` again; ends: the general path must take the block it
// opens. One test covers both conditions, so other data sees one branch
// that it always predicts.
enum class OneByteBlocks { no, ends, goes_on };

TAVO_SSE2 TAVO_INLINE OneByteBlocks one_byte_blocks(__m128i v, unsigned first, std::uint8_t* o) {
    const unsigned lanes = 0x5555u << (first & 1);
    const unsigned twos =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(2))));
    if ((first >= 2) | ((twos & lanes & 0x3FFF) != (lanes & 0x3FFF))) return OneByteBlocks::no;
    const __m128i codes =
        _mm_sll_epi16(_mm_set1_epi16(0xFF), _mm_cvtsi32_si128(static_cast<int>(first * 8)));
    store16(o, _mm_andnot_si128(codes, v));
    return (twos & lanes) == lanes ? OneByteBlocks::goes_on : OneByteBlocks::ends;
}

// ---------------------------------------------------------------- SSE2 ---

// Decodes the blocks that follow the code byte *p (1..254) while they lie in
// whole 16-byte windows of input: the scheme of detail::decode_run8, with
// the window's zero test and its table of hops done in vector registers.
// Lane i of the table holds 8 * (i + min(in[i], 16)), the bit offset in the
// window of the next code byte, exact while below 128 (inside the window);
// a hop shifts the table's low or high half by it. Returns with p at a code
// byte whose block is left to the general path and w where its data goes.
TAVO_SSE2 TAVO_INLINE void decode_run16(const std::uint8_t*& p, std::uint8_t*& w,
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

TAVO_SSE2 std::size_t encode_sse2(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    EncodeState s = {out, out + 1, true};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    while (end - p >= 16) p += encode_step16(p, s);
    detail::encode_bytes(p, static_cast<std::size_t>(end - p), s);
    return detail::encode_finish(out, s);
}

TAVO_SSE2 DecodeResult decode_sse2(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    if (n == 0) return {0, DecodeStatus::ok};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    std::uint8_t* w = out;
    // Blocks in a row of at most one data byte; a message that opens with
    // one goes to the window loop at once.
    unsigned streak = in[0] <= 2 ? 3 : 0;
    for (;;) {
        // A run of tiny blocks goes to the window loop; the test is rarely
        // true on other data, so the branch predicts well either way.
        if (streak >= 3 && static_cast<unsigned>(*p) - 1 < 16 && end - p > 16) {
            decode_run16(p, w, end);
            streak = 0;
        }
        if (end - p <= 16) return detail::decode_tail(in, p, end, out, w);
        const unsigned code = *p;
        if (code == 0) return detail::decode_error(in, p, DecodeStatus::zero_byte);
        // The length test comes before any data byte of the block is read.
        const std::size_t k = code - 1;
        const std::uint8_t* const d = p + 1;
        if (k > static_cast<std::size_t>(end - d))
            return detail::decode_error(in, p, DecodeStatus::short_input);
        if (const std::uint8_t* z = copy_block16(d, k, w))
            return detail::decode_error(in, z, DecodeStatus::zero_byte);
        p = d + k;
        w += k;
        if (p == end) return {static_cast<std::size_t>(w - out), DecodeStatus::ok};
        if (code != kMaxCode) *w++ = 0;
        streak = k < 2 ? streak + 1 : 0;
    }
}

// --------------------------------------------------------------- SSSE3 ---

#if defined(__GNUC__)  // per-function targets; MSVC builds get SSE2 only

// Decodes a run of short blocks starting at the code byte *p (1..16), with
// at least 17 input bytes left. Returns with p and w at a code byte and the
// output position just after the zero its code stands for; the block there
// is left to the general path, which tests its length.
//
// Past the first code byte, while every block is short, the output is the
// input moved one byte to the left with each code byte turned into a zero.
// So the input is taken in fixed 16-byte windows and only the code
// positions have to be found: they form a chain, lane i leading to
// lane i + in[i], which shuffles follow at one cycle a hop. The chain's
// way out of one window is its way into the next.
TAVO_SSSE3 TAVO_INLINE void decode_short_run(const std::uint8_t*& p, std::uint8_t*& w,
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

TAVO_SSSE3 DecodeResult decode_ssse3(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    if (n == 0) return {0, DecodeStatus::ok};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    std::uint8_t* w = out;
    for (;;) {
        if (static_cast<unsigned>(*p) - 1 < 16 && end - p > 16) decode_short_run(p, w, end);
        if (end - p <= 16) return detail::decode_tail(in, p, end, out, w);
        const unsigned code = *p;
        if (code == 0) return detail::decode_error(in, p, DecodeStatus::zero_byte);
        // The length test comes before any data byte of the block is read.
        const std::size_t k = code - 1;
        const std::uint8_t* const d = p + 1;
        if (k > static_cast<std::size_t>(end - d))
            return detail::decode_error(in, p, DecodeStatus::short_input);
        if (const std::uint8_t* z = copy_block16(d, k, w))
            return detail::decode_error(in, z, DecodeStatus::zero_byte);
        p = d + k;
        w += k;
        if (p == end) return {static_cast<std::size_t>(w - out), DecodeStatus::ok};
        if (code != kMaxCode) *w++ = 0;
    }
}

// ---------------------------------------------------------------- AVX2 ---

TAVO_AVX2 TAVO_INLINE __m256i load32(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

TAVO_AVX2 TAVO_INLINE void store32(std::uint8_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

TAVO_AVX2 TAVO_INLINE unsigned zero_mask32(__m256i v) {
    return static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
}

// copy_block16 with 32-byte chunks for blocks longer than 32 bytes.
TAVO_AVX2 TAVO_INLINE const std::uint8_t* copy_block32(const std::uint8_t* d, std::size_t k,
                                                         std::uint8_t* w) {
    if (k <= 32) return copy_block16(d, k, w);
    std::size_t off = 0;
    for (; k - off > 32; off += 32) {
        const __m256i x = load32(d + off);
        if (const unsigned m = zero_mask32(x)) return d + off + detail::lowest_bit(m);
        store32(w + off, x);
    }
    off = k - 32;
    const __m256i x = load32(d + off);
    if (const unsigned m = zero_mask32(x)) return d + off + detail::lowest_bit(m);
    store32(w + off, x);
    return nullptr;
}

TAVO_AVX2 std::size_t encode_avx2(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
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
        // Many zeros: two 16-byte steps, unless the first closed a maximal block.
        const std::size_t used = encode_step16(p, s);
        p += used;
        if (used == 16) p += encode_step16(p, s);
    }
    while (end - p >= 16) p += encode_step16(p, s);
    detail::encode_bytes(p, static_cast<std::size_t>(end - p), s);
    return detail::encode_finish(out, s);
}

TAVO_AVX2 DecodeResult decode_avx2(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    if (n == 0) return {0, DecodeStatus::ok};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    std::uint8_t* w = out;
    for (;;) {
        if (static_cast<unsigned>(*p) - 1 < 16 && end - p > 16) decode_short_run(p, w, end);
        if (end - p <= 16) return detail::decode_tail(in, p, end, out, w);
        const unsigned code = *p;
        if (code == 0) return detail::decode_error(in, p, DecodeStatus::zero_byte);
        // The length test comes before any data byte of the block is read.
        const std::size_t k = code - 1;
        const std::uint8_t* const d = p + 1;
        if (k > static_cast<std::size_t>(end - d))
            return detail::decode_error(in, p, DecodeStatus::short_input);
        if (const std::uint8_t* z = copy_block32(d, k, w))
            return detail::decode_error(in, z, DecodeStatus::zero_byte);
        p = d + k;
        w += k;
        if (p == end) return {static_cast<std::size_t>(w - out), DecodeStatus::ok};
        if (code != kMaxCode) *w++ = 0;
    }
}

#endif  // __GNUC__

}  // namespace

bool x86_has_sse2() noexcept {
#if defined(__x86_64__) || defined(_M_X64) || defined(__SSE2__)
    return true;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2");
#endif
}

bool x86_has_ssse3() noexcept {
#if defined(__GNUC__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
#else
    return false;
#endif
}

bool x86_has_avx2() noexcept {
#if defined(__GNUC__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;  // MSVC: SSE2 only
#endif
}

const Kernel kSse2Kernel = {"sse2", encode_sse2, decode_sse2};
#if defined(__GNUC__)
const Kernel kSsse3Kernel = {"ssse3", encode_sse2, decode_ssse3};
const Kernel kAvx2Kernel = {"avx2", encode_avx2, decode_avx2};
#endif

}  // namespace tavo

#endif
