// Codec room: the x86 CPU tests, one code path for every compiler: CPUID
// through <cpuid.h> or MSVC's __cpuidex, XCR0 through XGETBV.
#include "cpu_x86.hpp"

#if TAVO_X86

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#elif defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

namespace tavo {
namespace {

struct Regs {
    std::uint32_t eax, ebx, ecx, edx;
};

Regs cpuid(unsigned leaf, unsigned sub) {
#if defined(_MSC_VER)
    int r[4];
    __cpuidex(r, static_cast<int>(leaf), static_cast<int>(sub));
    return {static_cast<std::uint32_t>(r[0]), static_cast<std::uint32_t>(r[1]),
            static_cast<std::uint32_t>(r[2]), static_cast<std::uint32_t>(r[3])};
#else
    Regs r = {0, 0, 0, 0};
    __cpuid_count(leaf, sub, r.eax, r.ebx, r.ecx, r.edx);
    return r;
#endif
}

// The highest basic CPUID leaf; 0 when a 32-bit CPU has no CPUID at all.
unsigned max_leaf() {
#if defined(_MSC_VER)
    return cpuid(0, 0).eax;  // every CPU that runs Windows has CPUID
#else
    return __get_cpuid_max(0, nullptr);
#endif
}

// XCR0: which register states the OS saves. Valid only with OSXSAVE set.
std::uint64_t xcr0() {
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    std::uint32_t lo, hi;
    __asm__ __volatile__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
#endif
}

constexpr bool bit(std::uint32_t reg, unsigned i) { return (reg >> i) & 1; }

// XCR0 bits: SSE (1) and AVX (2) state for YMM; opmask (5), the upper
// halves of ZMM0-15 (6) and ZMM16-31 (7) for AVX-512.
constexpr std::uint64_t kYmmState = 0x06;
constexpr std::uint64_t kZmmState = 0xE6;

struct Features {
    bool sse2 = false, ssse3 = false, avx2 = false, avx512_vbmi2 = false;

    Features() {
        const unsigned top = max_leaf();
        if (top < 1) return;
        const Regs one = cpuid(1, 0);
        sse2 = bit(one.edx, 26);
        ssse3 = bit(one.ecx, 9);
        const bool osxsave = bit(one.ecx, 27), avx = bit(one.ecx, 28);
        if (top < 7 || !osxsave || !avx) return;
        const std::uint64_t saved = xcr0();
        const Regs seven = cpuid(7, 0);
        avx2 = (saved & kYmmState) == kYmmState && bit(seven.ebx, 5);
        avx512_vbmi2 = avx2 && (saved & kZmmState) == kZmmState && bit(seven.ebx, 16) &&
                       bit(seven.ebx, 30) && bit(seven.ecx, 1) && bit(seven.ecx, 6);
    }
};

const Features& features() noexcept {
    static const Features f;  // C++11: built once, thread-safe
    return f;
}

}  // namespace

bool x86_has_sse2() noexcept { return features().sse2; }
bool x86_has_ssse3() noexcept { return features().ssse3; }
bool x86_has_avx2() noexcept { return features().avx2; }
bool x86_has_avx512_vbmi2() noexcept { return features().avx512_vbmi2; }

}  // namespace tavo

#endif
