// Codec room: the table of kernels and the choice among them.
// The table is built once, on first use, from what this CPU can run; the
// last entry is the fastest. C++11 guarantees the one-time build is
// thread-safe.
#include "avx512.hpp"
#include "kernels.hpp"
#include "word.hpp"
#include "x86.hpp"

namespace tavo {

namespace {

struct Table {
    Kernel kernels[6];
    std::size_t count;

    Table() : kernels(), count(0) {
        add({"scalar", encode_scalar, decode_scalar});
#if TAVO_HAVE_WORD_KERNEL
        add(kWordKernel);
#endif
#if TAVO_HAVE_X86_KERNELS
        if (x86_has_sse2()) add(kSse2Kernel);
#if defined(__GNUC__)
        if (x86_has_ssse3()) add(kSsse3Kernel);
        if (x86_has_avx2()) add(kAvx2Kernel);
#endif
#endif
#if TAVO_HAVE_AVX512_KERNEL
        if (x86_has_avx2() && x86_has_avx512_vbmi2())
            add({"avx512", encode_avx512, decode_avx512});
#endif
    }
    void add(const Kernel& k) { kernels[count++] = k; }
};

const Table& table() noexcept {
    static const Table t;
    return t;
}

}  // namespace

const Kernel* available_kernels(std::size_t* count) noexcept {
    const Table& t = table();
    *count = t.count;
    return t.kernels;
}

const Kernel& best_kernel() noexcept {
    const Table& t = table();
    return t.kernels[t.count - 1];
}

}  // namespace tavo
