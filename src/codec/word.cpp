// Codec room: the portable word-at-a-time kernel, for CPUs without a SIMD
// kernel of their own. Eight bytes at a time in a 64-bit integer, with the
// same shifted-copy scheme as the x86 kernels (see x86_vec16.hpp): a chunk
// is stored whole and its few code positions are patched.
#include "isa.hpp"

#if TAVO_HAVE_WORD_KERNEL

#include "decode_driver.hpp"
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

// Encodes one chunk x that fits in the open block whole.
TAVO_INLINE void encode_chunk8(std::uint64_t x, EncodeState& s) {
    const std::uint64_t z = detail::zero_bytes64(x);
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
}

// Encodes the 8 bytes at p; returns how many input bytes it consumed.
TAVO_INLINE std::size_t encode_step8(const std::uint8_t* p, EncodeState& s) {
    const std::uint64_t x = load64(p);
    const std::size_t room = detail::room(s);
    if (room < 8 && (detail::zero_bytes64(x) & ((std::uint64_t{1} << (8 * room)) - 1)) == 0) {
        store64(s.w, x);
        s.w += room;
        detail::close_maximal(s);
        return room;
    }
    encode_chunk8(x, s);
    return 8;
}

std::size_t encode_word(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    EncodeState s = {out, out + 1, true};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    // Two chunks a step while the open block has room for both: one test of
    // the room and of the end for 16 bytes. Dense data, whose every chunk
    // holds a zero, gains most; it is bound by instructions, not branches.
    while (end - p >= 16) {
        if (detail::room(s) < 16) {
            p += encode_step8(p, s);
            continue;
        }
        // A zero in the first chunk only moves the open block forward, so
        // room for 16 before it leaves room for 8 after it.
        encode_chunk8(load64(p), s);
        encode_chunk8(load64(p + 8), s);
        p += 16;
    }
    while (end - p >= 8) p += encode_step8(p, s);
    // (Messages of whole chunks, as small structs often are, have no tail.)
    if (p != end) detail::encode_bytes(p, static_cast<std::size_t>(end - p), s);
    return detail::encode_finish(out, s);
}

// The word kernel's window loop, a chain-follower: decodes the blocks that
// follow the code byte *p (1..254) while they lie in whole 8-byte windows
// of input. Away from maximal blocks the output is the input moved one
// byte to the left with each code byte turned into a zero, so each window
// is stored whole with its code bytes cleared. The code bytes form a
// chain, lane i leading to lane i + q[i], which a shift per hop follows
// inside a register; the windows' loads never wait for it, so a run of
// short blocks costs a few cycles a block instead of a load's latency. The
// hops gather the code lanes into a mask that one AND applies, so the
// store waits for no hop. `next` counts in bits, 8 * the lane from the
// current window's start of the next code byte (64 or more: past it), as
// the shifts need. Little-endian lane order.
//
// A window entered from the code 02 (next = 8, lane 1):
//
//   lane   0  1  2  3  4  5  6  7
//   q      a 03  b  c 01 02  d 04
//   o      a 00  b  c 00 00  d 00
//
// the hops go 8 -> 32 -> 40 -> 56 -> 88 (lanes 1, 4, 5, 7, then lane 3 of
// the next window, next = 88 - 64 = 24). Had the loop stopped here (one
// block in the window, a code of 16 or more, a zero in the next window),
// it would return with p = q + 7, the code 04 whose block is left to the
// block loop, and w = o + 8, where that block's data go: the invariant of
// every window loop (decode_driver.hpp). It stops where blocks grow to a
// few bytes, which the block loop copies faster.
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
        if (detail::zero_bytes64(x) != 0) break;  // the general path finds it in order
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

// Copies the 16 bytes at s to o unless one is zero; returns false then.
TAVO_INLINE bool copy_pair(const std::uint8_t* s, std::uint8_t* o) {
    const std::uint64_t x0 = load64(s);
    const std::uint64_t x1 = load64(s + 8);
    if (detail::any_zero(x0, x1)) return false;
    store64(o, x0);
    store64(o + 8, x1);
    return true;
}

struct WordDecode {
    static constexpr unsigned kRunCodes = 8, kRunMin = 8, kStreak = 3;
    static TAVO_INLINE void run(const std::uint8_t*& p, std::uint8_t*& w,
                                const std::uint8_t* end) {
        decode_run8(p, w, end);
    }
    // A short block is a pair of whole words, stored without a test of k.
    // Valid input holds no zero at all, so only a pair with one is
    // searched, and only within the block. A long block is pairs of words,
    // the last pair ending with the block.
    static TAVO_INLINE bool copy_block(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
        if (k <= 16) {
            const std::uint64_t x0 = load64(d);
            const std::uint64_t x1 = load64(d + 8);
            if (detail::any_zero(x0, x1) && detail::first_zero(d, k)) return false;
            store64(w, x0);
            store64(w + 8, x1);
            return true;
        }
        std::size_t off = 0;
        for (; k - off > 16; off += 16)
            if (!copy_pair(d + off, w + off)) return false;
        return copy_pair(d + k - 16, w + k - 16);
    }
};

DecodeResult decode_word(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    return decode_blocks<WordDecode>(in, n, out);
}

}  // namespace

const Kernel kWordKernel = {"word", encode_word, decode_word};

}  // namespace tavo

#endif
