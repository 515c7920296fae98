// Codec room: the AVX-512 kernel (F, BW, VBMI, VBMI2), 64 bytes a step.
//
// Encode: within a 64-byte chunk every zero but the last becomes the lane
// distance to the next zero. vpcompressb packs the lane numbers of the zeros
// after the first, vpexpandb puts them back onto the zero lanes (so each
// zero lane holds the lane of the next zero), and one subtraction of the
// lane number leaves the codes: a fixed cost whatever the number of zeros.
// The open block's code and the chunk's last zero (the new open block) are
// scalar stores. Only a chunk in which the open block may fill up to a
// maximal block takes a different path.
//
// Decode: a window of 64 input bytes holding only short blocks is the output
// moved one byte left with each code byte turned into a zero. The code
// lanes form a chain, lane i leading to lane i + in[i]. vpermb doubles the
// chain's hops (1, 2, 4 ... 64) into tables, which give each lane's chain
// end, and so where a chain entering the window at any lane enters the next
// one: one lookup links windows, whatever they hold. The code lanes of the
// chain actually entered are then found by binary lifting over the tables.
// Long blocks, maximal blocks and windows with a zero byte go to the exact
// block-at-a-time path.
//
// Bounds as in the other x86 kernels: a full 64-byte load or store is only
// of bytes inside the input and the matching output, which lags the input;
// the last partial chunk or window uses masked loads and stores.
#include "avx512.hpp"

#if TAVO_HAVE_AVX512_KERNEL

#include <immintrin.h>

#include "simd_common.hpp"

// One target region for the whole file: per-function target attributes do
// not let the intrinsics' inline wrappers inline into templates.
#if defined(__clang__)
#pragma clang attribute push(                                                          \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,avx2,bmi,bmi2," \
                          "lzcnt,popcnt"))),                                           \
    apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,avx2,bmi,bmi2,lzcnt,popcnt")
#endif

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

TAVO_INLINE __m512i with_codes(__m512i v, __mmask64 zk, std::uint64_t z, __m512i iota) {
    const __m512i later = _mm512_mask_compress_epi8(cleared(), _cvtu64_mask64(z & (z - 1)), iota);
    const __m512i next = _mm512_mask_expand_epi8(cleared(), zk, later);
    return _mm512_mask_sub_epi8(v, zk, next, iota);
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
TAVO_INLINE std::size_t encode_step64(const std::uint8_t* p, std::size_t r, EncodeState& s,
                                      __m512i iota) {
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
    if (room < r && (z & lanes_below(room)) == 0) {
        // The open block fills up before any zero. With no zero after it
        // either, the rest of a full chunk follows the new code slot at
        // once; otherwise the next step takes it.
        put(s.w, v);
        if (kFull && (z >> room) == 0) {
            _mm512_mask_storeu_epi8(s.w + 1, _cvtu64_mask64(~lanes_below(room)), v);
            *s.slot = static_cast<std::uint8_t>(kMaxCode);
            s.slot = s.w + room;
            s.need_final = false;
            s.w += 65;
            return 64;
        }
        s.w += room;
        detail::close_maximal(s);
        return room;
    }
    if (z == 0) {
        put(s.w, v);
        s.w += r;
        return r;
    }
    put(s.w, with_codes(v, zk, z, iota));
    close_blocks(s, z);
    s.w += r;
    return r;
}

}  // namespace

std::size_t encode_avx512(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    EncodeState s = {out, out + 1, true};
    const __m512i iota = iota64();
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    while (end - p >= 64) p += encode_step64<true>(p, 64, s, iota);
    while (p != end) p += encode_step64<false>(p, static_cast<std::size_t>(end - p), s, iota);
    return detail::encode_finish(out, s);
}

bool x86_has_avx512_vbmi2() noexcept {
    __builtin_cpu_init();
    // The CPU tests also check that the OS saves the ZMM state.
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
}

}  // namespace tavo

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
