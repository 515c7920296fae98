// Codec room: the AVX-512 kernel (F, BW, VBMI, VBMI2), 64 bytes a step.
//
// Encode: within a 64-byte chunk every zero but the last becomes the lane
// distance to the next zero. vpcompressb packs the lane numbers of the zeros
// after the first, vpexpandb puts them back onto the zero lanes (so each
// zero lane holds the lane of the next zero), and one subtraction of the
// lane number leaves the codes: a fixed cost whatever the number of zeros.
// The open block's code and the chunk's last zero (the new open block) are
// scalar stores. In dense data, from a chunk with three zeros on, the last
// zero's code is the distance to the next chunk's first zero instead, the
// lane the compress fills in, so each chunk is one store once the next has
// been read. Only a chunk in which the open block may fill up to a maximal
// block takes a different path, and that is one store too: 63 input bytes
// and the new code slot, which takes its code as one more zero. Messages
// under 64 bytes go to the avx2 encoder (under 32, the sse2 one), whose
// steps start sooner. From 128 KiB on, sparse stretches (random bytes) go
// by 4 KiB segments instead: their zeros listed first, then their blocks
// written one a step, with no branch on the data (see encode_segments).
//
// Decode: a window of 64 input bytes holding only short blocks is the output
// moved one byte left with each code byte turned into a zero. The code
// lanes form a chain, lane i leading to lane i + in[i]. vpermb doubles the
// chain's hops (1, 2, 4 ... 64) into tables, which give each lane's chain
// end, and so where a chain entering the window at any lane enters the next
// one: one lookup links windows, whatever they hold. The code lanes of the
// chain actually entered are then found by binary lifting over the tables;
// four doublings and four lifting rounds (up to 15 hops) mostly do, for
// short random blocks.
// Long blocks, maximal blocks and windows with a zero byte go back to the
// shared block loop (decode_driver.hpp), whose exact fall-back finds the
// first error; the last 64 input bytes take the avx2 kernel's steps. Far
// from the end, that loop copies every block as the same four vectors,
// whatever its length, with no branch on the block (kFarFlat): random
// data's block lengths follow no pattern, and branches on them cost over
// a quarter of the time on 1 MiB.
//
// Bounds as in the other x86 kernels: a full 64-byte load or store is only
// of bytes inside the input and the matching output, which lags the input;
// the encoder's last partial chunk uses a masked load and store.
#include "isa.hpp"

#if TAVO_HAVE_AVX512

#include <immintrin.h>

#include "simd_common.hpp"
#include "target.hpp"

TAVO_TARGET_BEGIN("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,avx2,bmi,bmi2,lzcnt,popcnt")

#include "decode_driver.hpp"
#include "x86_short_run.hpp"
#include "x86_vec16.hpp"

namespace tavo {
namespace {

using detail::EncodeState;

TAVO_INLINE __m512i load64v(const std::uint8_t* p) { return _mm512_loadu_si512(p); }

TAVO_INLINE void store64v(std::uint8_t* p, __m512i v) { _mm512_storeu_si512(p, v); }

// The lanes below r, for 0 <= r <= 64.
TAVO_INLINE std::uint64_t lanes_below(std::size_t r) {
    return r >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << r) - 1;
}

TAVO_INLINE unsigned lowest64(std::uint64_t x) { return static_cast<unsigned>(__builtin_ctzll(x)); }

TAVO_INLINE unsigned highest64(std::uint64_t x) {
    return 63u - static_cast<unsigned>(__builtin_clzll(x));
}

TAVO_INLINE __m512i iota64() {
    return _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46,
                           45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28,
                           27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10,
                           9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
}

// The chunk v (its zero lanes in z, at least one) with each zero but the
// last replaced by the distance to the next zero. The compress and expand
// merge into a register cleared first: written with a zeroing mask they
// wait for the register's previous value on some CPUs.
// (The empty asm keeps compilers from turning the merge back into a
// zeroing mask.)
TAVO_INLINE __m512i cleared() {
    __m512i x = _mm512_setzero_si512();
    __asm__("" : "+v"(x));
    return x;
}

// The last zero's lane takes the lane in `fill`: 64 plus the next chunk's
// first zero where that is known, anything where the code is stored later.
TAVO_INLINE __m512i with_codes(__m512i v, __mmask64 zk, std::uint64_t z, __m512i iota,
                               __m512i fill) {
    const __m512i later = _mm512_mask_compress_epi8(fill, _cvtu64_mask64(z & (z - 1)), iota);
    const __m512i next = _mm512_mask_expand_epi8(cleared(), zk, later);
    return _mm512_mask_sub_epi8(v, zk, next, iota);
}

TAVO_INLINE __m512i with_codes(__m512i v, __mmask64 zk, std::uint64_t z, __m512i iota) {
    return with_codes(v, zk, z, iota, cleared());
}

// Encodes the chunk v at p (zero lanes zk, at least one, the first inside
// the open block's room) and the whole chunks after it while each holds a
// zero; returns where it stopped, with s as after close_blocks. Every open
// block here starts in the chunk before, so none can fill up. A chunk is
// stored once the next one's first zero is known, its last zero's code
// included: one vector store a chunk, where a scalar store of that code
// into the line just written would cost more than the chunk's other work.
TAVO_INLINE const std::uint8_t* encode_dense(const std::uint8_t* p, const std::uint8_t* end,
                                             __m512i v, __mmask64 zk, EncodeState& s,
                                             __m512i iota) {
    std::uint8_t* w = s.w;
    std::uint64_t z = _cvtmask64_u64(zk);
    *s.slot = static_cast<std::uint8_t>(w + lowest64(z) - s.slot);
    auto link = [&](std::uint64_t next_zeros) {
        return _mm512_set1_epi8(static_cast<char>(64 + lowest64(next_zeros)));
    };
    // Two chunks a step while both hold a zero, then one.
    for (; end - p >= 192; p += 128, w += 128) {
        const __m512i v1 = load64v(p + 64);
        const __m512i v2 = load64v(p + 128);
        const __mmask64 zk1 = _mm512_testn_epi8_mask(v1, v1);
        const __mmask64 zk2 = _mm512_testn_epi8_mask(v2, v2);
        const std::uint64_t z1 = _cvtmask64_u64(zk1);
        const std::uint64_t z2 = _cvtmask64_u64(zk2);
        if ((z1 == 0) | (z2 == 0)) break;
        store64v(w, with_codes(v, zk, z, iota, link(z1)));
        store64v(w + 64, with_codes(v1, zk1, z1, iota, link(z2)));
        v = v2;
        zk = zk2;
        z = z2;
    }
    for (; end - p >= 128; p += 64, w += 64) {
        const __m512i v1 = load64v(p + 64);
        const __mmask64 zk1 = _mm512_testn_epi8_mask(v1, v1);
        const std::uint64_t z1 = _cvtmask64_u64(zk1);
        if (z1 == 0) break;
        store64v(w, with_codes(v, zk, z, iota, link(z1)));
        v = v1;
        zk = zk1;
        z = z1;
    }
    store64v(w, with_codes(v, zk, z, iota));
    s.slot = w + highest64(z);
    s.w = w + 64;
    s.need_final = true;
    return p + 64;
}

// Back-fills the open block's code at the chunk's first zero and opens the
// block of its last zero; z is not zero.
TAVO_INLINE void close_blocks(EncodeState& s, std::uint64_t z) {
    *s.slot = static_cast<std::uint8_t>(s.w + lowest64(z) - s.slot);
    s.slot = s.w + highest64(z);
    s.need_final = true;
}

// Encodes the r (1..64) bytes at p, all inside the input, from state s;
// returns how many it consumed: r, or fewer when the open block had to close
// maximal first. Full chunks take plain loads and stores, the last partial
// one masked ones.
template <bool kFull>
TAVO_INLINE std::size_t encode_step64(const std::uint8_t* p, std::size_t r,
                                      const std::uint8_t* end, EncodeState& s, __m512i iota) {
    const std::uint64_t valid = kFull ? ~std::uint64_t{0} : lanes_below(r);
    const __m512i v = kFull ? load64v(p) : _mm512_maskz_loadu_epi8(_cvtu64_mask64(valid), p);
    const __mmask64 zk = _mm512_testn_epi8_mask(v, v);
    const std::uint64_t z = _cvtmask64_u64(zk) & valid;
    auto put = [&](std::uint8_t* at, __m512i x) {
        if (kFull)
            store64v(at, x);
        else
            _mm512_mask_storeu_epi8(at, _cvtu64_mask64(valid), x);
    };
    const std::size_t room = detail::room(s);
    // (Laid out for random data, whose chunks mostly hold no zero.)
    if (__builtin_expect(room < r && (z & lanes_below(room)) == 0, 0)) {
        // The open block fills up before any zero. A full chunk's first 63
        // bytes make 64 bytes of output, the new code slot expanded in at
        // lane room: one store, and the output moves on by a whole chunk,
        // keeping its 64-byte alignment. Zeros after the block get their
        // codes as in any chunk, the slot taken as one more zero lane.
        // (The last chunk's 64th byte goes too, where there is no zero,
        // rather than leave a step of one byte.)
        if (kFull) {
            const std::uint64_t slot_lane = std::uint64_t{1} << room;
            const __m512i x = _mm512_mask_expand_epi8(v, _cvtu64_mask64(~slot_lane), v);
            *s.slot = static_cast<std::uint8_t>(kMaxCode);
            if ((z & lanes_below(63)) != 0) {
                const std::uint64_t zx = _cvtmask64_u64(_mm512_testn_epi8_mask(x, x)) | slot_lane;
                store64v(s.w, with_codes(x, _cvtu64_mask64(zx), zx, iota));
                s.slot = s.w + highest64(zx);
                s.need_final = true;
                s.w += 64;
                return 63;
            }
            store64v(s.w, x);
            s.slot = s.w + room;
            s.need_final = false;
            if (end - p == 64 && z == 0) {
                s.w[64] = p[63];
                s.w += 65;
                return 64;
            }
            s.w += 64;
            return 63;
        }
        put(s.w, v);
        s.w += room;
        detail::close_maximal(s);
        return room;
    }
    if (__builtin_expect(z == 0, 1)) {
        put(s.w, v);
        s.w += r;
        return r;
    }
    // Three zeros or more start a dense run, of four chunks or more; random
    // data seldom has them, so it does not pay for runs that end at once.
    // Before a long run, the bytes up to the next 64-byte edge of the output
    // go as a partial step: the run's stores then fill whole cache lines,
    // some 7% faster, for the cost of one step.
    const std::uint64_t z2 = z & (z - 1);
    if (kFull && end - p >= 256 && __builtin_expect((z2 & (z2 - 1)) != 0, 0)) {
        const std::size_t lag = reinterpret_cast<std::uintptr_t>(s.w) & 63;
        if (lag != 0 && end - p >= 2048) return encode_step64<false>(p, 64 - lag, end, s, iota);
        return static_cast<std::size_t>(encode_dense(p, end, v, zk, s, iota) - p);
    }
    put(s.w, with_codes(v, zk, z, iota));
    close_blocks(s, z);
    s.w += r;
    return r;
}

// Encodes the chunks from p on, from state s, and closes the encoding.
TAVO_INLINE std::size_t encode_chunks(const std::uint8_t* p, const std::uint8_t* end,
                                      std::uint8_t* out, EncodeState s, __m512i iota) {
    while (end - p >= 64) p += encode_step64<true>(p, 64, end, s, iota);
    while (p != end) p += encode_step64<false>(p, static_cast<std::size_t>(end - p), end, s, iota);
    return detail::encode_finish(out, s);
}

constexpr std::size_t kPrefetchFrom = 32768;
constexpr std::ptrdiff_t kPrefetchAhead = 1024;

// Encodes whole chunks from p while p is before stop (and for a dense run,
// past it); returns where it stopped. It asks for the input and output
// lines a kilobyte ahead: beyond the first-level cache the
// hardware prefetchers do not keep up (the output's lines most: its
// prefetch alone gave most of the gain on zero-free data, the input's most
// of it on random bytes, whose mispredicts discard the loads past them).
// That made zero-free data 1.3x as fast from 48 KiB on, random bytes 1.1x;
// below 32 KiB it cost up to 12%. Dense runs have their own loop and gain
// nothing from it. The caller keeps 64 bytes of input after stop.
// zero_closed gains one for each step after which the last block closed
// was closed by a zero.
TAVO_INLINE const std::uint8_t* encode_chunks_to(const std::uint8_t* p, const std::uint8_t* stop,
                                                 const std::uint8_t* end, EncodeState& s,
                                                 __m512i iota, std::size_t& zero_closed) {
    std::size_t n = zero_closed;
    for (; p < stop; n += s.need_final) {
        _mm_prefetch(reinterpret_cast<const char*>(p + kPrefetchAhead), _MM_HINT_T0);
        __builtin_prefetch(s.w + kPrefetchAhead, 1, 3);
        p += encode_step64<true>(p, 64, end, s, iota);
    }
    zero_closed = n;
    return p;
}

// ---- Sparse data: a segment's zeros listed first, then its blocks ----
//
// The chunk encoder mispredicts on every chunk of random bytes that holds a
// zero or closes a maximal block, about three in eight; the predictor
// cannot learn a message it sees once. Here each 4 KiB segment is read
// twice: once to list its zeros, a chunk a step with a branch only on
// chunks of two zeros or more (one in forty of random bytes), and once,
// from the first-level cache, to write its blocks, a block a step with no
// branch on the data. Random bytes of 128 KiB to 1 MiB encode some
// 1.2-1.3x as fast. Below 128 KiB, where the input comes from nearer
// caches, the two passes gained nothing or lost; from 4 MiB, where memory
// sets the pace, they neither gain nor lose.
constexpr std::size_t kSparseFrom = 131072;
constexpr std::ptrdiff_t kSegment = 4096;
// Zero-free or dense data takes the chunk encoder this far before the
// path is chosen again.
constexpr std::ptrdiff_t kChunkSpan = 16384;
// A segment whose chunks of two zeros or more hold more zeros than this is
// dense: the rest of it goes to the chunk encoder, whose dense runs store
// a chunk a step.
constexpr std::size_t kDenseZeros = 64;
// The list: the zeros of the last 255 bytes of the segment before (not
// reached yet), a segment's zeros (one per chunk, and up to kDenseZeros +
// 64 more in chunks of several), one entry written past them, and the three
// ends after them.
constexpr std::size_t kListCap = 255 + kSegment / 64 + kDenseZeros + 64 + 1 + 3;
// Input left after the last segment or span: the chunk encoder's steps
// want a whole chunk, and the rest is to spare. (The block copies stop 256
// bytes before the end of a segment on their own.)
constexpr std::ptrdiff_t kSegmentSlack = 512;

// Lists the zeros of the whole chunks from q to stop at zl and counts them
// in cnt; returns where it stopped: stop, or sooner when the segment
// proves dense. It also asks for the output line `shift` bytes past each
// chunk, where the blocks will write that chunk.
TAVO_INLINE const std::uint8_t* list_zeros(const std::uint8_t* q, const std::uint8_t* stop,
                                           const std::uint8_t** zl, std::size_t& cnt,
                                           std::ptrdiff_t shift) {
    std::size_t c = 0;
    std::size_t many = 0;
    for (; q != stop; q += 64) {
        _mm_prefetch(reinterpret_cast<const char*>(q + kPrefetchAhead), _MM_HINT_T0);
        __builtin_prefetch(q + shift, 1, 3);
        const __m512i v = load64v(q);
        std::uint64_t m = _cvtmask64_u64(_mm512_testn_epi8_mask(v, v));
        const std::size_t k = static_cast<std::size_t>(__builtin_popcountll(m));
        // (Counted only if there is one; the top bit stands in for none.)
        zl[c] = q + lowest64(m | std::uint64_t{1} << 63);
        if (__builtin_expect(k > 1, 0)) {
            if (many > kDenseZeros) break;
            many += k;
            std::size_t j = c + 1;
            m &= m - 1;
            do {
                zl[j++] = q + lowest64(m);
                m &= m - 1;
            } while (m != 0);
        }
        c += k;
    }
    cnt = c;
    return q;
}

// Encodes block after block, from the block whose data starts at a (code
// slot at o), while 256 input bytes are left before stop; zl[i] on are the
// zeros from a up to stop, then stop three times. Each block is copied as
// four 64-byte vectors whatever its length: the next block's code and data
// overwrite the bytes past it, and the output left to write after a block
// is at least as long as the input left (over 256 bytes), plus one. A step
// takes the block's end as the next zero or, if that is 254 bytes or more
// away, the end of a maximal block, with masks, not branches. The next two
// zeros ride in registers, so a step waits on no load of the list.
TAVO_INLINE void list_blocks(const std::uint8_t*& a, std::uint8_t*& o, bool& need_final,
                             const std::uint8_t* const* zl, std::size_t& i,
                             const std::uint8_t* stop) {
    const std::uint8_t* from = a;
    std::uint8_t* slot = o;
    std::size_t k = i;
    bool zero = need_final;
    const std::uint8_t* z0 = zl[k];
    const std::uint8_t* z1 = zl[k + 1];
    while (stop - from >= 256) {
        const std::uint8_t* z2 = zl[k + 2];
        const std::uint8_t* full = from + kMaxBlockData;
        zero = z0 < full;
        const std::uint8_t* e = zero ? z0 : full;
        const std::size_t code = static_cast<std::size_t>(e - from) + 1;
        const __m512i x0 = load64v(from), x1 = load64v(from + 64), x2 = load64v(from + 128),
                      x3 = load64v(from + 192);
        store64v(slot + 1, x0);
        store64v(slot + 65, x1);
        store64v(slot + 129, x2);
        store64v(slot + 193, x3);
        *slot = static_cast<std::uint8_t>(code);
        slot += code;
        from = e + zero;
        k += zero;
        // (Masks, not selects: g++ makes branches of those.)
        std::uintptr_t take = 0 - static_cast<std::uintptr_t>(zero);
        __asm__("" : "+r"(take));
        const auto u0 = reinterpret_cast<std::uintptr_t>(z0);
        const auto u1 = reinterpret_cast<std::uintptr_t>(z1);
        const auto u2 = reinterpret_cast<std::uintptr_t>(z2);
        z0 = reinterpret_cast<const std::uint8_t*>(u0 ^ ((u0 ^ u1) & take));
        z1 = reinterpret_cast<const std::uint8_t*>(u1 ^ ((u1 ^ u2) & take));
    }
    a = from;
    o = slot;
    need_final = zero;
    i = k;
}

// Encodes from p, state s, sparse stretches by segments and zero-free or
// dense ones through the chunk encoder, while kSegment + kSegmentSlack
// bytes are left; returns where it stopped, with s there.
TAVO_INLINE const std::uint8_t* encode_segments(const std::uint8_t* p, const std::uint8_t* end,
                                                EncodeState& s, __m512i iota) {
    const std::uint8_t* zl[kListCap];
    bool sparse = false;
    while (end - p >= kSegment + kSegmentSlack) {
        if (sparse) {
            // The open block's bytes so far are copied again, from its start.
            const std::uint8_t* a = p - (s.w - s.slot - 1);
            std::uint8_t* o = s.slot;
            bool need_final = s.need_final;
            std::size_t cnt = 0, i = 0;
            const std::uint8_t* q = p;
            while (end - q >= kSegment + kSegmentSlack) {
                std::memmove(zl, zl + i, (cnt - i) * sizeof zl[0]);
                cnt -= i;
                i = 0;
                std::size_t more = 0;
                const std::uint8_t* const stop = q + kSegment;
                q = list_zeros(q, stop, zl + cnt, more, o + 1 - a);
                cnt += more;
                zl[cnt] = zl[cnt + 1] = zl[cnt + 2] = q;
                list_blocks(a, o, need_final, zl, i, q);
                if (q != stop || more == 0) break;  // dense, or zero-free
            }
            s = EncodeState{o, o + 1, need_final};
            p = a;
        }
        // The chunk encoder, for a span; what it closed then chooses the
        // next path. Sparse data closed some blocks maximal (the output
        // gained bytes on the input), which dense data never does, and
        // after over a quarter of the steps its last block had closed at a
        // zero, which zero-free data's never does. (Reading back the bytes
        // just encoded instead waited behind the stores to the same
        // offsets in the page, and cost 9% on zero-free data.)
        const std::ptrdiff_t left = end - p - kSegmentSlack;
        if (left <= 0) break;
        const std::uint8_t* const p0 = p;
        const std::uint8_t* const w0 = s.w;
        std::size_t zero_closed = 0;
        p = encode_chunks_to(p, p + (left < kChunkSpan ? left : kChunkSpan), end, s, iota,
                             zero_closed);
        const std::size_t steps = static_cast<std::size_t>(p - p0) / 64;
        sparse = (s.w - w0) > (p - p0) && zero_closed > steps / 4;
    }
    return p;
}

// A long message first takes the bytes up to the output's next 64-byte
// edge, so that its full chunks are stored line by line. Zeros never shift
// the output against the input, and a maximal block closed in a full chunk
// keeps the edge too; only one in the last, partial chunk or in a partial
// step before a dense run moves it. Returns where the full chunks start.
TAVO_INLINE const std::uint8_t* align_output(const std::uint8_t* in, const std::uint8_t* end,
                                             EncodeState& s, __m512i iota) {
    const std::size_t lag = reinterpret_cast<std::uintptr_t>(s.w) & 63;
    return in + (lag == 0 ? 0 : encode_step64<false>(in, 64 - lag, end, s, iota));
}

// (Out of line: inlined, the first step slowed every short message's loop.)
TAVO_NOINLINE std::size_t encode_long(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    EncodeState s = {out, out + 1, true};
    const __m512i iota = iota64();
    const std::uint8_t* const end = in + n;
    const std::uint8_t* p = align_output(in, end, s, iota);
    // (The last kilobyte goes without prefetches.)
    std::size_t unused = 0;
    if (n >= kPrefetchFrom && end - p >= 64 + kPrefetchAhead)
        p = encode_chunks_to(p, end - kPrefetchAhead - 63, end, s, iota, unused);
    return encode_chunks(p, end, out, s, iota);
}

// Messages of kSparseFrom bytes or more. (A function of its own: with the
// segments in encode_long, its loop ran 3-7% slower on random bytes from
// 16 to 64 KiB, where they never run.)
TAVO_NOINLINE std::size_t encode_huge(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    EncodeState s = {out, out + 1, true};
    const __m512i iota = iota64();
    const std::uint8_t* const end = in + n;
    const std::uint8_t* p = encode_segments(align_output(in, end, s, iota), end, s, iota);
    std::size_t unused = 0;
    p = encode_chunks_to(p, end - kPrefetchAhead - 63, end, s, iota, unused);
    return encode_chunks(p, end, out, s, iota);
}

std::size_t encode_avx512(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    // A short message: the compress and expand take longer to start than
    // the narrower kernels' steps need to finish. (Direct jumps, not
    // through the kernel table.)
    if (n < 32) return encode_sse2(in, n, out);
    if (n < 64) return encode_avx2(in, n, out);
    if (n >= kSparseFrom) return encode_huge(in, n, out);
    if (n >= 2048) return encode_long(in, n, out);
    return encode_chunks(in, in + n, out, EncodeState{out, out + 1, true}, iota64());
}

// Blocks shorter than this start the window loop.
constexpr unsigned kWindowEntry = 32;

// ------------------------------------------------------------- decode ---

// table[index[i]] in each lane i. (Through the zeroing form with every lane
// set: g++ 12 warns about the plain one's undefined merge source.)
TAVO_INLINE __m512i perm(__m512i index, __m512i table) {
    return _mm512_maskz_permutexvar_epi8(_cvtu64_mask64(~std::uint64_t{0}), index, table);
}

// Windows of 01 codes, and of 02 codes at every other lane, as in runs of
// zeros and of alternating bytes and zeros: decodes such windows from the
// window v at q (zero-free, entered at lane e) on, while they go on, and
// returns whether there was one; p and w as in decode_windows, q and o
// move on to the next window and e to its entry lane (64 or more: a long
// block). The last code of a window of 02 codes may be any that leaves the
// window, as the final 01 of a message. One branch on the window and e
// together comes first, so that data which never matches them does not
// mispredict on e, which the chain decides.
TAVO_INLINE bool one_byte_windows(const std::uint8_t*& p, std::uint8_t*& w, const std::uint8_t*& q,
                                  std::uint8_t*& o, const std::uint8_t* end, unsigned& e,
                                  __m512i v) {
    const __m512i ones = _mm512_set1_epi8(1);
    const __m512i twos = _mm512_set1_epi8(2);
    const std::uint64_t alt = 0x5555555555555555ULL << (e & 1);
    const std::uint64_t small = _cvtmask64_u64(_mm512_cmple_epu8_mask(v, twos));
    if (!(((small & alt) == alt) & (e < 2))) return false;
    auto ones_only = [&](__m512i x) {
        return _cvtmask64_u64(_mm512_cmpeq_epi8_mask(x, ones)) == ~std::uint64_t{0};
    };
    if (small == ~std::uint64_t{0} && e == 0 && ones_only(v)) {
        do {
            store64v(o, _mm512_setzero_si512());  // 64 empty blocks
            p = q + 63;
            w = o + 64;
            q += 64;
            o += 64;
        } while (end - q >= 64 && ones_only(load64v(q)));
        return true;
    }
    // Blocks of one data byte each: the code lanes are every other one, and
    // the chain goes on at lane e of the next window, or from the last code
    // lane's own code.
    const std::uint64_t inner = alt & ~(std::uint64_t{1} << (62 + e));
    auto alternate = [&](__m512i x) {
        return _cvtmask64_u64(_mm512_testn_epi8_mask(x, x)) == 0 &&
               (_cvtmask64_u64(_mm512_cmpeq_epi8_mask(x, twos)) & inner) == inner &&
               q[62 + e] + e >= 2;
    };
    if (!alternate(v)) return false;
    for (;;) {
        store64v(o, _mm512_maskz_mov_epi8(_cvtu64_mask64(~alt), v));
        p = q + 62 + e;
        w = o + 63 + e;
        q += 64;
        o += 64;
        if (*p != 2) {
            e = e + *p - 2;
            return true;
        }
        if (end - q < 64) return true;
        v = load64v(q);
        if (!alternate(v)) return true;
    }
}

// Decodes the blocks that follow the code byte *p (1..64) while they are
// short and lie in whole 64-byte windows of input. Returns with p at a code
// byte whose block is left to the caller (it may be long, maximal, run past
// the end or hold a zero) and w where that block's data go.
//
// Window lane i is input q[i] and becomes output o[i]; the code lanes, where
// the output has the zero closing the block before, form a chain entered at
// lane e. Example, e = 1:  q = 61 03 62 63 02 64 ...  lanes 1 and 4 are
// code lanes (1 + 3 = 4, 4 + 2 = 6, ...), o = 61 00 62 63 00 64 ....
// Table a[k] takes each lane 2^k hops along its chain, staying put at the
// last lane of the window the chain reaches. A chain of short random blocks
// makes about one hop in 8 lanes, so a window first takes four rounds: a[4]
// (16 hops) and binary lifting over a[3..0], which finds the entered chain's
// code lanes up to 15 hops from e. If the last of them leaves the window,
// that was the whole chain, and a[4][e] is its end; else (and straight
// away after a window of many blocks, or in a run that opens with a block of
// at most one byte) the window takes all six rounds, a[6] being every lane's
// chain end. `exit` maps each lane to where its chain goes on
// in the next window: one lookup links windows, whatever they hold. On each
// step p is the latest code byte and w = o + (p - q) + 1.
TAVO_NOINLINE void decode_windows(const std::uint8_t*& p, std::uint8_t*& w,
                                  const std::uint8_t* end, __m512i iota) {
    const __m512i lanes = _mm512_set1_epi8(64);
    const std::uint8_t* q = p + 1;
    std::uint8_t* o = w;
    unsigned e = static_cast<unsigned>(*p) - 1;
    __m512i entry = _mm512_set1_epi8(static_cast<char>(e));
    // The last window held more blocks than four rounds follow; a run that
    // opens with a block of one byte or none likely goes on so.
    bool dense = e < 2;
    while (end - q >= 64) {
        const __m512i v = load64v(q);
        if (_cvtmask64_u64(_mm512_testn_epi8_mask(v, v)) != 0) break;  // the caller finds it in order
        if (one_byte_windows(p, w, q, o, end, e, v)) {
            if (e >= 64) break;
            entry = _mm512_set1_epi8(static_cast<char>(e));
            continue;
        }
        const __m512i next = _mm512_adds_epu8(iota, v);
        const __mmask64 inside = _mm512_cmplt_epu8_mask(next, lanes);
        // The lanes whose block goes on past the window: the chain ends.
        const std::uint64_t leaves = ~_cvtmask64_u64(inside);
        __m512i a[7];
        a[0] = _mm512_mask_mov_epi8(iota, inside, next);
        for (int k = 0; k < 4; ++k) a[k + 1] = perm(a[k], a[k]);
        // Binary lifting over a[top..0]: pos moves to the furthest chain lane
        // at or before each lane, up to 2^(top+1) - 1 hops from e; the lanes
        // it reaches exactly are the code lanes.
        // (The last round's move is left out: pos ends on lane i exactly
        // when it stood there already or its last hop lands there.)
        auto lift = [&](int top) {
            __m512i pos = entry;
            for (int k = top; k >= 1; --k) {
                const __m512i to = perm(pos, a[k]);
                pos = _mm512_mask_mov_epi8(pos, _mm512_cmple_epu8_mask(to, iota), to);
            }
            const __m512i to = perm(pos, a[0]);
            return _cvtmask64_u64(_mm512_cmpeq_epi8_mask(pos, iota)) |
                   _cvtmask64_u64(_mm512_cmpeq_epi8_mask(to, iota));
        };
        std::uint64_t codes = 0;
        __m512i ends = a[4];
        if (!dense) codes = lift(3);
        if (dense || ((leaves >> highest64(codes)) & 1) == 0) {
            a[5] = perm(a[4], a[4]);
            a[6] = perm(a[5], a[5]);
            codes = lift(5);
            ends = a[6];
        }
        const __m512i exit = _mm512_sub_epi8(perm(ends, next), lanes);
        store64v(o, _mm512_maskz_mov_epi8(_cvtu64_mask64(~codes), v));
        const unsigned last = highest64(codes);
        p = q + last;
        w = o + last + 1;
        entry = perm(entry, exit);
        // (Lane 0 through a zeroing extract: g++ 12 warns about the plain
        // one's and the casts' undefined parts inside a target region.)
        const __m128i low = _mm512_maskz_extracti32x4_epi32(static_cast<__mmask8>(1), entry, 0);
        e = static_cast<unsigned>(_mm_cvtsi128_si32(low)) & 0xFF;
        const unsigned blocks = static_cast<unsigned>(__builtin_popcountll(codes));
        dense = blocks > 13;
        // A long block next, or blocks too few for the tables to pay.
        if (e >= 64 || blocks < 3) break;
        q += 64;
        o += 64;
    }
}

// The avx2 kernel's block copy: 16- and 32-byte chunks, for the last 64
// input bytes, where a 64-byte load could pass the end.
TAVO_INLINE bool copy_block32(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
    if (k <= 32) return copy_block16(d, k, w);
    std::size_t off = 0;
    for (; k - off > 32; off += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + off));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256()))) return false;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(w + off), v);
    }
    off = k - 32;
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + off));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256()))) return false;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(w + off), v);
    return true;
}

// Decodes the last 18..64 input bytes from the code byte p as the avx2
// kernel does (its 16-byte window loop, block copy and tail): there a
// 64-byte window costs more than it saves.
TAVO_INLINE DecodeResult decode_last(const std::uint8_t* in, const std::uint8_t* p,
                                     const std::uint8_t* end, std::uint8_t* out, std::uint8_t* w) {
    for (;;) {
        if (short_run_pays(p, end)) decode_short_run(p, w, end);
        if (end - p <= kTailBytes) return decode_tail(in, p, end, out, w);
        const std::size_t k = static_cast<std::size_t>(*p) - 1;
        const std::uint8_t* const d = p + 1;
        if (k > static_cast<std::size_t>(end - d) || !copy_block32(d, k, w))
            return decode_exact(in, p, end, out, w);
        p = d + k;
        w += k;
        if (p == end) return {static_cast<std::size_t>(w - out), DecodeStatus::ok};
        if (k != kMaxBlockData) *w++ = 0;
    }
}

// Copies the k data bytes of one block from d to w, with at least 64 input
// bytes from d on; false if one of them is zero.
TAVO_INLINE bool copy_block64(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
    if (k <= 64) {
        const __m512i v = load64v(d);
        if (_cvtmask64_u64(_mm512_testn_epi8_mask(v, v)) & lanes_below(k)) return false;
        store64v(w, v);
        return true;
    }
    std::size_t off = 0;
    for (; k - off > 64; off += 64) {
        const __m512i v = load64v(d + off);
        if (_cvtmask64_u64(_mm512_testn_epi8_mask(v, v))) return false;
        store64v(w + off, v);
    }
    off = k - 64;
    const __m512i v = load64v(d + off);
    if (_cvtmask64_u64(_mm512_testn_epi8_mask(v, v))) return false;
    store64v(w + off, v);
    return true;
}

// The window step for the shared block loop: the window loop at codes
// 1..kRunCodes with more than 64 input bytes left, the last 64 bytes or
// fewer in one piece, and block copies that may load 64 bytes from d.
struct Avx512Decode {
    static constexpr unsigned kRunCodes = kWindowEntry;
    static constexpr std::size_t kRunMin = 64;
    static constexpr unsigned kStreak = 0;
    static constexpr std::size_t kLastBytes = 64;

    static TAVO_INLINE void run(const std::uint8_t*& p, std::uint8_t*& w, const std::uint8_t* end) {
        // Two short blocks in a row; one alone, as random data has often,
        // costs the window loop more than it saves.
        if (static_cast<unsigned>(p[*p]) - 1 >= kWindowEntry) return;
        // Windows of 01 and 02 codes are taken here first: in a short
        // message of them the window loop's call and setup would cost
        // more than the windows.
        if (*p <= 2) {
            const std::uint8_t* q = p + 1;
            std::uint8_t* o = w;
            unsigned e = static_cast<unsigned>(*p) - 1;
            const __m512i v = load64v(q);
            if (_cvtmask64_u64(_mm512_testn_epi8_mask(v, v)) == 0 &&
                one_byte_windows(p, w, q, o, end, e, v))
                return;
        }
        // Through copies: the caller's own p and w, their addresses never
        // taken, stay in registers all through the block loop.
        const std::uint8_t* rp = p;
        std::uint8_t* rw = w;
        decode_windows(rp, rw, end, iota64());
        p = rp;
        w = rw;
    }
    static TAVO_INLINE bool copy_block(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
        return copy_block64(d, k, w);
    }
    // The first 192 bytes from d and the 64 up to d + k (the third 64
    // again, for a block that fits in 192): inside the 256 from d. The
    // next blocks write over the bytes past this one.
    static constexpr std::size_t kFarBytes = 256;
    static constexpr bool kFarFlat = true;
    static TAVO_INLINE bool copy_far(const std::uint8_t* d, std::size_t k, std::uint8_t* w) {
        const std::size_t t = (k > 192 ? k : 192) - 64;
        const __m512i a = load64v(d), b = load64v(d + 64);
        const __m512i c = load64v(d + 128), e = load64v(d + t);
        store64v(w, a);
        store64v(w + 64, b);
        store64v(w + 128, c);
        store64v(w + t, e);
        const __m512i m = _mm512_min_epu8(_mm512_min_epu8(a, b), _mm512_min_epu8(c, e));
        return _cvtmask64_u64(_mm512_testn_epi8_mask(m, m)) == 0;
    }
    static TAVO_INLINE DecodeResult last(const std::uint8_t* in, const std::uint8_t* p,
                                         const std::uint8_t* end, std::uint8_t* out,
                                         std::uint8_t* w) {
        return decode_last(in, p, end, out, w);
    }
};

DecodeResult decode_avx512(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    return decode_blocks<Avx512Decode>(in, n, out);
}

}  // namespace

const Kernel kAvx512Kernel = {"avx512", encode_avx512, decode_avx512};

}  // namespace tavo

TAVO_TARGET_END

#endif
