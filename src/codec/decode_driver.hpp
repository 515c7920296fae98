// Codec room: the one decode loop of every fast kernel. Each kernel's file
// instantiates decode_blocks with its own steps, inside its target region
// (target.hpp); the loop, the last bytes and the search for the first error
// are written here once.
//
// How a fast decoder runs:
// * the block loop takes one block at a time: one test of its code and its
//   length together, then the kernel's copy_block, which copies the data in
//   whole chunks and tells whether it held a zero;
// * at a code byte that opens a short block, the kernel's window loop
//   (`run`, a chain-follower) decodes whole fixed-size windows of input
//   while the blocks stay short, and returns at a code byte again;
// * the last kTailBytes input bytes or fewer go to decode_tail in one
//   piece, and so does a whole message that short;
// * at the first thing that is not valid, all of it stops and decode_exact
//   decodes again from the code byte the loop stands on, with the scalar
//   reference itself, which finds the first error and its offset. Every
//   byte before that code byte was valid, so its error is the message's.
//
// A kernel's Step type gives:
//   kRunCodes  the window loop is entered at codes 1..kRunCodes
//   kRunMin    and with more than kRunMin input bytes from the code byte
//   kStreak    and only after kStreak blocks in a row of at most one data
//              byte (0: at every such code byte)
//   run(p, w, end)          the window loop; on return p is a code byte
//                           inside the input and w where its block's data go
//   copy_block(d, k, w)     copies the k data bytes at d to w and returns
//                           false if one is zero; it may store up to 16 (or
//                           a chunk's size) bytes past w + k and read as far
//                           past d + k, while inside the input; it runs only
//                           with more than kTailBytes input bytes from p
// and may give (see copy_far_halves):
//   kFarBytes, copy_far(d, k, w)   copy_block where more than kFarBytes input
//                           bytes follow d, with k at most kMaxBlockData: it
//                           may read and store kFarBytes bytes from d and w,
//                           whatever k is
//   kFarFlat                copy_far takes no branch on k, and decode_far
//                           then takes none on the block either (see there)
//
// Bounds: the output position never reaches the input position (a block of
// k data bytes takes k + 1 input bytes and gives at most k + 1), so a store
// of bytes just loaded from inside the input stays inside the caller's
// decoded_capacity(n) bytes.
//
// Each kernel's file gets its own copy of everything here (the unnamed
// namespace), compiled for its own target; the linker never merges an AVX2
// copy with one that an older CPU runs.
#ifndef TAVO_CODEC_DECODE_DRIVER_HPP
#define TAVO_CODEC_DECODE_DRIVER_HPP

#include "kernels.hpp"
#include "simd_common.hpp"

namespace tavo {
namespace {

// Decodes from the code byte *p on, to w, by the reference's rules; the
// result counts from the start of the input and output.
inline DecodeResult decode_exact(const std::uint8_t* in, const std::uint8_t* p,
                                 const std::uint8_t* end, std::uint8_t* out, std::uint8_t* w) {
    const DecodeResult r = decode_scalar(p, static_cast<std::size_t>(end - p), w);
    if (r.status == DecodeStatus::ok)
        return {static_cast<std::size_t>(w - out) + r.length, DecodeStatus::ok};
    return {static_cast<std::size_t>(p - in) + r.length, r.status};
}

// The most input bytes, from a code byte on, that decode_tail takes: the
// code and two 8-byte words.
constexpr std::ptrdiff_t kTailBytes = 17;

// Decodes the last blocks, from the code byte *p with at most 16 bytes
// after it, to w. Valid input takes one copy of all those bytes, the zero
// test of the copy, and a walk along the code bytes that turns each into a
// zero of the output: one branch on the length and one loop instead of a
// copy and an end test per block. Anything else (a zero, a block that
// runs past the end) goes to decode_exact.
TAVO_INLINE DecodeResult decode_tail(const std::uint8_t* in, const std::uint8_t* p,
                                     const std::uint8_t* end, std::uint8_t* out,
                                     std::uint8_t* w) {
    const std::uint8_t* const d = p + 1;
    const std::size_t r = static_cast<std::size_t>(end - d);  // 0..16
    bool clean;
    if (r >= 8) {
        const std::uint64_t a = detail::load64(d);
        const std::uint64_t b = detail::load64(end - 8);
        const std::uint64_t ones = 0x0101010101010101ULL;
        const std::size_t code = *p;
        // The commonest tails end at once: a run of zeros to the end, one
        // block to the end (a short message with no zero), or blocks of one
        // byte each to the end, as in alternating bytes and zeros.
        if (a == ones && b == ones && code == 1) {
            detail::store64(w, 0);
            detail::store64(w + r - 8, 0);
            return {static_cast<std::size_t>(w + r - out), DecodeStatus::ok};
        }
        clean = !detail::any_zero(a, b);
        if (clean && code == r + 1) {
            detail::store64(w, a);
            detail::store64(w + r - 8, b);
            return {static_cast<std::size_t>(w + r - out), DecodeStatus::ok};
        }
        if (clean && code == 2) {
            // 02 codes at every other byte, the last 01 or 02 so that the
            // chain ends at the end; their walk would take a turn per pair.
            // (With r = 8, a is b, whose last lane is the last code.)
            const std::uint64_t odd = 0xFF00FF00FF00FF00ULL;
            const std::uint64_t a_codes = r == 8 ? odd >> 16 : odd;
            const std::uint64_t b_codes = r % 2 ? ~odd : odd;
            const std::uint64_t b_want = r % 2 ? 0x0002000200020002ULL : 0x0100020002000200ULL;
            if ((a & a_codes) == (0x0200020002000200ULL & a_codes) && (b & b_codes) == b_want) {
                detail::store64(w, a & ~odd);
                detail::store64(w + r - 8, b & ~b_codes);
                return {static_cast<std::size_t>(w + r - out), DecodeStatus::ok};
            }
        }
        detail::store64(w, a);
        detail::store64(w + r - 8, b);
    } else if (r >= 4) {
        const std::uint32_t a = detail::load32(d);
        const std::uint32_t b = detail::load32(end - 4);
        clean = !detail::any_zero(a | 0xFFFFFFFF00000000ULL, b | 0xFFFFFFFF00000000ULL);
        detail::store32(w, a);
        detail::store32(w + r - 4, b);
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
    return decode_exact(in, p, end, out, w);
}

template <unsigned streak_needed>
TAVO_INLINE bool streak_done(unsigned streak) {
    if constexpr (streak_needed == 0) {
        static_cast<void>(streak);
        return true;
    } else {
        return streak >= streak_needed;
    }
}

// A Step may also give kLastBytes (above kTailBytes) and last(in, p, end,
// out, w), which then decodes the last kLastBytes input bytes or fewer from
// the code byte p, in place of the block loop down to decode_tail.
template <class Step>
constexpr std::size_t last_bytes(decltype(Step::kLastBytes)*) {
    return Step::kLastBytes;
}
template <class Step>
constexpr std::size_t last_bytes(...) {
    return kTailBytes;
}

template <class Step>
constexpr bool far_flat(decltype(Step::kFarFlat)*) {
    return Step::kFarFlat;
}
template <class Step>
constexpr bool far_flat(...) {
    return false;
}

template <class Step>
constexpr std::size_t far_bytes(decltype(Step::kFarBytes)*) {
    return Step::kFarBytes;
}
template <class Step>
constexpr std::size_t far_bytes(...) {
    return 0;
}

// A copy_far for a kernel whose Ops give kChunk (its vector's size, at most
// 128), copy_chunk(d, w) and copy128(d, w), which copy that many bytes and
// 128 and return false if one is zero, and kFarBytes = kMaxBlockData.
//
// A block copy that loops over the block's chunks takes a different number
// of turns from block to block; on random data its exit mispredicts at
// nearly every block. Here a block of one chunk is that chunk, and any
// longer one is the 128 bytes from d on and the 128 up to d + k (the first
// 128 again, for a block that fits in them), whatever its length. The bytes
// past the block are input all the same, which may hold no zero either,
// and the next blocks write over their copies. With kWholeMaximal, maximal
// blocks (which come in runs, so that branch predicts) take copy_block
// instead, whose loop then always runs the same: data with no zero runs
// faster that way with 16- and 32-byte chunks, not with 64-byte ones.
template <class Ops>
TAVO_INLINE bool copy_far_halves(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
    if constexpr (Ops::kWholeMaximal) {
        if (k == kMaxBlockData) return Ops::copy_block(d, k, w);
    }
    if (k <= Ops::kChunk) return Ops::copy_chunk(d, w);
    const std::size_t h = (k > 128 ? k : 128) - 128;
    const bool first = Ops::copy128(d, w);
    const bool second = Ops::copy128(d + h, w + h);
    return first && second;
}

// decode_long's inner loop for a kernel with copy_far, from the code byte p
// of a long block (kRunCodes data bytes or more) with more than kFarBytes
// input bytes after it: long blocks while they stay that far from the end.
// Returns true with p at the next code byte and w where its data go, or
// false with them at a block that is not valid (or copy_far found a zero
// after it). Short blocks stay with decode_long, which counts them for the
// window loop.
//
// With kFarFlat the loop takes no branch on the block itself: random data's
// blocks, maximal or not, long or short, come in no order a predictor can
// learn, and a branch on any of that mispredicts often. So the zero after
// a block is stored whatever the block (after a maximal one, the next
// block's copy writes over it), and one short block stays in the loop,
// copied as a long one; the loop leaves at two short ones in a row, which
// random data seldom has and where a window loop may pay.
template <class Step>
TAVO_INLINE bool decode_far(const std::uint8_t*& p, std::uint8_t*& w, const std::uint8_t* end) {
    constexpr std::ptrdiff_t far = static_cast<std::ptrdiff_t>(Step::kFarBytes);
    for (;;) {
        const std::size_t k = static_cast<std::size_t>(*p) - 1;
        const std::uint8_t* const d = p + 1;
        // No block reaches the end from here, and copy_far's stores end
        // below w + kFarBytes <= out + (d - in) - 1 + kFarBytes, inside
        // decoded_capacity(n) (see Bounds above).
        if (k > kMaxBlockData || !Step::copy_far(d, k, w)) return false;
        p = d + k;
        if constexpr (far_flat<Step>(nullptr)) {
            w[k] = 0;
            w += k + (k != kMaxBlockData);
        } else {
            w += k;
            if (k != kMaxBlockData) *w++ = 0;
        }
        if (end - p <= far + 1) return true;
        if constexpr (far_flat<Step>(nullptr)) {
            // The block just copied and the next one both short, in one
            // test (kRunCodes is a power of two). A zero code is no short
            // one: the next turn's code test finds it.
            static_assert((Step::kRunCodes & (Step::kRunCodes - 1)) == 0, "");
            const unsigned c = static_cast<unsigned>(*p) - 1;
            if ((c | static_cast<unsigned>(k)) < Step::kRunCodes) return true;
        } else if (static_cast<unsigned>(*p) - 1 < Step::kRunCodes) {
            return true;
        }
    }
}

// Messages longer than kTailBytes.
template <class Step>
TAVO_NOINLINE DecodeResult decode_long(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    std::uint8_t* w = out;
    // Blocks in a row of at most one data byte; a message that opens with
    // one goes to the window loop at once.
    unsigned streak = in[0] <= 2 ? Step::kStreak : 0;
    for (;;) {
        // Where a streak is asked for, the test is rarely true on other
        // data, so the branch predicts well either way.
        if (streak_done<Step::kStreak>(streak) && static_cast<unsigned>(*p) - 1 < Step::kRunCodes &&
            end - p > static_cast<std::ptrdiff_t>(Step::kRunMin)) {
            Step::run(p, w, end);
            streak = 0;
        }
        if constexpr (last_bytes<Step>(nullptr) > kTailBytes) {
            if (end - p <= static_cast<std::ptrdiff_t>(last_bytes<Step>(nullptr)))
                return end - p <= kTailBytes ? decode_tail(in, p, end, out, w)
                                             : Step::last(in, p, end, out, w);
        } else if (end - p <= kTailBytes) {
            return decode_tail(in, p, end, out, w);
        }
        // One test for both faults of a code byte: a zero code wraps to the
        // largest size, longer than any input. The length test comes before
        // any data byte of the block is read.
        const std::size_t k = static_cast<std::size_t>(*p) - 1;
        const std::uint8_t* const d = p + 1;
        if constexpr (far_bytes<Step>(nullptr) != 0) {
            if (k >= Step::kRunCodes && end - d > static_cast<std::ptrdiff_t>(Step::kFarBytes)) {
                if (!decode_far<Step>(p, w, end)) return decode_exact(in, p, end, out, w);
                if constexpr (Step::kStreak > 0) streak = 0;
                continue;
            }
        }
        if (k > static_cast<std::size_t>(end - d) || !Step::copy_block(d, k, w))
            return decode_exact(in, p, end, out, w);
        p = d + k;
        w += k;
        if (p == end) return {static_cast<std::size_t>(w - out), DecodeStatus::ok};
        if (k != kMaxBlockData) *w++ = 0;
        if constexpr (Step::kStreak > 0) streak = k < 2 ? streak + 1 : 0;
    }
}

// Encodings of up to 17 bytes (messages of up to 16, the commonest) go
// straight to the tail: no window loop's test or block copy first, whose
// branches such a message takes once and so seldom predicts, and none of
// the long loop's saving of registers.
TAVO_NOINLINE DecodeResult decode_short(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    if (n == 0) return {0, DecodeStatus::ok};
    return decode_tail(in, in, in + n, out, out);
}

template <class Step>
TAVO_INLINE DecodeResult decode_blocks(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    return n <= static_cast<std::size_t>(kTailBytes) ? decode_short(in, n, out)
                                                     : decode_long<Step>(in, n, out);
}

}  // namespace
}  // namespace tavo

#endif
