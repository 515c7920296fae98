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
using detail::load64;
using detail::store64;

// What the zero lanes of a chunk do, indexed by an 8-bit mask of them: each
// zero but the last becomes the code of the block it opens (the distance to
// the next zero); the first closes the block already open and the last
// opens one that stays open. A table instead of a loop over the zeros, whose
// varying trip count the branch predictor cannot follow.
struct ZeroLanes {
    std::uint64_t codes;  // to OR into the chunk
    std::uint8_t first;   // 8 when there is no zero
    std::uint8_t last;
};

struct ZeroLaneTable {
    ZeroLanes of[256];
};

constexpr ZeroLaneTable make_zero_lane_table() {
    ZeroLaneTable t{};
    for (unsigned m = 0; m < 256; ++m) {
        ZeroLanes e{0, 8, 0};
        unsigned prev = 8;
        for (unsigned i = 0; i < 8; ++i) {
            if (((m >> i) & 1) == 0) continue;
            if (prev == 8)
                e.first = static_cast<std::uint8_t>(i);
            else
                e.codes |= static_cast<std::uint64_t>(i - prev) << (8 * prev);
            prev = i;
        }
        e.last = static_cast<std::uint8_t>(prev == 8 ? 0 : prev);
        t.of[m] = e;
    }
    return t;
}

constexpr ZeroLaneTable kZeroLanes = make_zero_lane_table();

// Encodes the 8 bytes at p; returns how many input bytes it consumed.
TAVO_INLINE std::size_t encode_step8(const std::uint8_t* p, EncodeState& s) {
    const std::uint64_t x = load64(p);
    const std::uint64_t z = detail::zero_bytes64(x);
    const std::size_t room = detail::room(s);
    if (room < 8 && (z & ((std::uint64_t{1} << (8 * room)) - 1)) == 0) {
        store64(s.w, x);
        s.w += room;
        detail::close_maximal(s);
        return room;
    }
    // Gathers the 0x80 flags of the zero lanes into one byte: each product
    // term lands on a bit of its own, so no carries mix them.
    const unsigned mask = static_cast<unsigned>(((z >> 7) * 0x0102040810204080ULL) >> 56);
    const ZeroLanes& e = kZeroLanes.of[mask];
    store64(s.w, x | e.codes);
    // Without a zero this stores a value that the block's close overwrites.
    *s.slot = static_cast<std::uint8_t>(s.w + e.first - s.slot);
    s.slot = mask ? s.w + e.last : s.slot;
    s.need_final = s.need_final || mask != 0;
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

// Copies the 16 bytes at s to o unless one is zero; returns false then.
TAVO_INLINE bool copy_pair(const std::uint8_t* s, std::uint8_t* o) {
    const std::uint64_t x0 = load64(s);
    const std::uint64_t x1 = load64(s + 8);
    if (detail::any_zero(x0, x1)) return false;
    store64(o, x0);
    store64(o + 8, x1);
    return true;
}

// Copies the k (> 16) data bytes at d to w in pairs of words, the last pair
// ending with the block. Returns the first zero among them, or null.
TAVO_INLINE const std::uint8_t* copy_long(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
    // Bytes before off were searched already, so a pair's first zero is
    // the block's.
    std::size_t off = 0;
    for (; k - off > 16; off += 16)
        if (!copy_pair(d + off, w + off)) return detail::first_zero(d + off, 16);
    off = k - 16;
    return copy_pair(d + off, w + off) ? nullptr : detail::first_zero(d + off, 16);
}

DecodeResult decode_word(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
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
        if (streak >= 3 && static_cast<unsigned>(*p) - 1 < 8 && end - p > 8) {
            detail::decode_run8(p, w, end);
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
        if (k <= 16) {
            // A short block: a pair of whole words, stored without a test
            // of k. Valid input holds no zero at all, so only a pair with
            // one is searched, and only within the block.
            const std::uint64_t x0 = load64(d);
            const std::uint64_t x1 = load64(d + 8);
            if (detail::any_zero(x0, x1)) {
                if (const std::uint8_t* z = detail::first_zero(d, k))
                    return detail::decode_error(in, z, DecodeStatus::zero_byte);
            }
            store64(w, x0);
            store64(w + 8, x1);
        } else if (const std::uint8_t* z = copy_long(d, k, w)) {
            return detail::decode_error(in, z, DecodeStatus::zero_byte);
        }
        p = d + k;
        w += k;
        if (p == end) return {static_cast<std::size_t>(w - out), DecodeStatus::ok};
        if (code != kMaxCode) *w++ = 0;
        streak = k < 2 ? streak + 1 : 0;
    }
}

}  // namespace

const Kernel kWordKernel = {"word", encode_word, decode_word};

}  // namespace tavo

#endif
