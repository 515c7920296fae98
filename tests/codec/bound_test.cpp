// The output bound must be exact where it fits and refuse where it doesn't,
// for 32-bit and 64-bit size types alike, without overflowing on the way.
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>

#include "codec/format.hpp"

namespace {

int passed = 0, failed = 0;

void check(bool ok, const char* what, unsigned long long n, unsigned long long limit) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAIL %s: n=%llu limit=%llu\n", what, n, limit);
    }
}

// Compares encoded_bound<Size> with the same formula in a wider type.
template <class Size, class Wide>
void check_against_wide(Size n, Size limit) {
    const Wide exact = static_cast<Wide>(n) + static_cast<Wide>(n) / 254 + 1;
    Size got = 0;
    const bool fits = tavo::encoded_bound<Size>(n, limit, &got);
    if (exact <= static_cast<Wide>(limit))
        check(fits && static_cast<Wide>(got) == exact, "bound value", n, limit);
    else
        check(!fits, "bound must refuse", n, limit);
}

// The largest n whose bound fits `limit`, found by the formula rather than
// by the code under test.
template <class Size, class Wide>
Size largest_fitting(Size limit) {
    Wide lo = 0, hi = limit;
    while (lo < hi) {
        const Wide mid = lo + (hi - lo + 1) / 2;
        if (mid + mid / 254 + 1 <= static_cast<Wide>(limit)) lo = mid; else hi = mid - 1;
    }
    return static_cast<Size>(lo);
}

template <class Size, class Wide>
void check_limit(Size limit) {
    const Size edge = largest_fitting<Size, Wide>(limit);
    for (Size d = 0; d < 600; ++d) {
        if (edge >= d) check_against_wide<Size, Wide>(edge - d, limit);
        if (edge <= std::numeric_limits<Size>::max() - d) check_against_wide<Size, Wide>(edge + d, limit);
    }
    for (Size d = 0; d < 600; ++d) {
        check_against_wide<Size, Wide>(std::numeric_limits<Size>::max() - d, limit);
        check_against_wide<Size, Wide>(d, limit);
    }
    std::mt19937_64 rng(42);
    for (int i = 0; i < 100000; ++i) check_against_wide<Size, Wide>(static_cast<Size>(rng()), limit);
}

}  // namespace

// The worked sizes of the format hold at compile time.
constexpr std::size_t bound_of(std::size_t n) {
    std::size_t out = 0;
    return tavo::encoded_bound<std::size_t>(n, std::numeric_limits<std::size_t>::max(), &out) ? out : 0;
}
static_assert(bound_of(0) == 1 && bound_of(253) == 254 && bound_of(254) == 256 && bound_of(255) == 257,
              "bound of small inputs");
static_assert(tavo::decoded_capacity<std::size_t>(0) == 1 && tavo::decoded_capacity<std::size_t>(1) == 1 &&
                  tavo::decoded_capacity<std::size_t>(6) == 5,
              "decode capacity");

int main() {
    // A 32-bit host: the bound must fit a signed 32-bit length.
    check_limit<std::uint32_t, std::uint64_t>(0x7FFFFFFFu);
    check_limit<std::uint32_t, std::uint64_t>(0xFFFFFFFFu);
#if defined(__SIZEOF_INT128__)  // the wider type the 64-bit check needs
    check_limit<std::uint64_t, unsigned __int128>(0x7FFFFFFFFFFFFFFFull);
    check_limit<std::uint64_t, unsigned __int128>(0xFFFFFFFFFFFFFFFFull);
#endif
    // The first input too long for a 32-bit host, as the module will see it.
    std::uint32_t out = 0;
    check(tavo::encoded_bound<std::uint32_t>(2139062142u, 0x7FFFFFFFu, &out) && out == 0x7FFFFFFFu,
          "largest 32-bit input", 2139062142u, 0x7FFFFFFFu);
    check(!tavo::encoded_bound<std::uint32_t>(2139062143u, 0x7FFFFFFFu, &out),
          "first 32-bit overflow", 2139062143u, 0x7FFFFFFFu);
    check(!tavo::encoded_bound<std::uint32_t>(1, 0, &out), "zero limit", 1, 0);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
