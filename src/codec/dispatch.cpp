// Codec room: the table of kernels and the choice among them, the one place
// that lists them. Each candidate comes with the CPU test it needs; the
// table keeps those this CPU passes, in the candidates' order, slowest
// first, so the last entry is the fastest. It is built once, on first use;
// C++11 makes that thread-safe.
#include <array>
#include <tuple>

#include "cpu_x86.hpp"
#include "isa.hpp"

namespace tavo {

namespace {

bool any_cpu() noexcept { return true; }

struct Candidate {
    Kernel kernel;
    bool (*runs_here)() noexcept;
};

// The size follows from the entries, so no entry can overflow the table.
const std::array kCandidates{
    Candidate{{"scalar", encode_scalar, decode_scalar}, any_cpu},
#if TAVO_HAVE_WORD_KERNEL
    Candidate{kWordKernel, any_cpu},
#endif
#if TAVO_HAVE_SSE2
    Candidate{kSse2Kernel, x86_has_sse2},
#endif
#if TAVO_HAVE_SSSE3
    Candidate{kSsse3Kernel, x86_has_ssse3},
#endif
#if TAVO_HAVE_AVX2
    Candidate{kAvx2Kernel, x86_has_avx2},
#endif
#if TAVO_HAVE_AVX512
    Candidate{kAvx512Kernel, x86_has_avx512_vbmi2},
#endif
};

constexpr std::size_t kMostKernels = std::tuple_size<decltype(kCandidates)>::value;

struct Table {
    std::array<Kernel, kMostKernels> kernels{};
    std::size_t count = 0;

    Table() {
        for (const Candidate& c : kCandidates)
            if (c.runs_here()) kernels[count++] = c.kernel;
    }
};

const Table& table() noexcept {
    static const Table t;
    return t;
}

// What the CPU tests behind the choice found, each test this build knows
// on this architecture, whether or not a kernel of this build needs it.
struct Features {
    std::array<CpuFeature, TAVO_X86 ? 4 : 1> list{};
    std::size_t count = 0;

    Features() {
#if TAVO_X86
        list = {{{"sse2", x86_has_sse2()},
                 {"ssse3", x86_has_ssse3()},
                 {"avx2", x86_has_avx2()},
                 {"avx512vbmi2", x86_has_avx512_vbmi2()}}};
        count = list.size();
#endif
    }
};

}  // namespace

const Kernel* available_kernels(std::size_t* count) noexcept {
    const Table& t = table();
    *count = t.count;
    return t.kernels.data();
}

const Kernel& best_kernel() noexcept {
    const Table& t = table();
    return t.kernels[t.count - 1];
}

const CpuFeature* cpu_features(std::size_t* count) noexcept {
    static const Features f;
    *count = f.count;
    return f.list.data();
}

}  // namespace tavo
