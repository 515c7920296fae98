// Times the same kernels from several builds of src/codec in one process,
// for scripts/bench-kernels-ab. Each build is compiled into a namespace of its
// own (-Dtavo=tavo_rN, N counting from 0), and the script passes their number
// as TAVO_AB_BUILDS. The builds take turns about every millisecond, so every
// one sees the same machine; on a shared guest two separate processes can
// read 30% apart on code placement and load alone.
//
// Usage: kernels_ab encode|decode SIZE SHAPE N:KERNEL...
// Shapes: random, nozero, in8 (about one zero in 8), alt (every 2nd byte
// zero), zeros. Prints each kernel's best ns per message and its speed
// against the first one named.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

// The kernel table's layout, the same in every build.
struct AbResult {
    std::size_t length;
    int status;
};
struct AbKernel {
    const char* name;
    std::size_t (*encode)(const std::uint8_t*, std::size_t, std::uint8_t*);
    AbResult (*decode)(const std::uint8_t*, std::size_t, std::uint8_t*);
};

#define TAVO_AB_DECLARE(ns)                                                         \
    namespace ns {                                                                  \
    const AbKernel* available_kernels(std::size_t*) noexcept;                       \
    std::size_t encode_scalar(const std::uint8_t*, std::size_t, std::uint8_t*);    \
    }
TAVO_AB_DECLARE(tavo_r0)
#if TAVO_AB_BUILDS > 1
TAVO_AB_DECLARE(tavo_r1)
#endif
#if TAVO_AB_BUILDS > 2
TAVO_AB_DECLARE(tavo_r2)
#endif
#if TAVO_AB_BUILDS > 3
#error "at most three builds"
#endif

namespace {

const AbKernel* table(unsigned build, std::size_t* count) {
    switch (build) {
        case 0: return tavo_r0::available_kernels(count);
#if TAVO_AB_BUILDS > 1
        case 1: return tavo_r1::available_kernels(count);
#endif
#if TAVO_AB_BUILDS > 2
        case 2: return tavo_r2::available_kernels(count);
#endif
        default: return nullptr;
    }
}

// A message of the benchmark's shapes.
std::vector<std::uint8_t> make(const std::string& shape, std::size_t n, std::mt19937& rng) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<std::uint8_t>(rng());
        const std::uint8_t nz = b ? b : 1;
        if (shape == "zeros") v[i] = 0;
        else if (shape == "nozero") v[i] = nz;
        else if (shape == "in8") v[i] = b < 32 ? 0 : b;
        else if (shape == "alt") v[i] = i % 2 ? 0 : nz;
        else v[i] = b;
    }
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s encode|decode SIZE SHAPE N:KERNEL...\n", argv[0]);
        return 2;
    }
    const bool encode = std::strcmp(argv[1], "encode") == 0;
    const std::size_t size = std::strtoul(argv[2], nullptr, 10);
    const std::string shape = argv[3];
    if (size == 0) return 2;
    std::vector<const AbKernel*> kernels;
    for (int a = 4; a < argc; ++a) {
        const char* colon = std::strchr(argv[a], ':');
        std::size_t count = 0;
        const AbKernel* all = colon ? table(static_cast<unsigned>(std::atoi(argv[a])), &count) : nullptr;
        const AbKernel* k = nullptr;
        for (std::size_t i = 0; all && i < count; ++i)
            if (std::strcmp(all[i].name, colon + 1) == 0) k = &all[i];
        if (k == nullptr) {
            std::fprintf(stderr, "no kernel %s\n", argv[a]);
            return 2;
        }
        kernels.push_back(k);
    }
    // The benchmark's message sets: as many different messages as fill 16 KiB,
    // at most 256, so that no branch predictor learns one message.
    const std::size_t count = std::max<std::size_t>(1, std::min<std::size_t>(256, 16384 / size));
    std::mt19937 rng(20261209);
    std::vector<std::uint8_t> data, scratch(size + size / 254 + 2);
    std::vector<std::size_t> sizes;
    for (std::size_t i = 0; i < count; ++i) {
        const auto m = make(shape, size, rng);
        if (encode) {
            data.insert(data.end(), m.begin(), m.end());
            sizes.push_back(size);
        } else {
            const std::size_t n = tavo_r0::encode_scalar(m.data(), size, scratch.data());
            data.insert(data.end(), scratch.begin(), scratch.begin() + static_cast<long>(n));
            sizes.push_back(n);
        }
    }
    // Output half a page from the input modulo 4 KiB, as the benchmark has it.
    std::vector<std::uint8_t> area(scratch.size() + 8192);
    const std::size_t apart =
        (reinterpret_cast<std::uintptr_t>(area.data()) - reinterpret_cast<std::uintptr_t>(data.data())) % 4096;
    std::uint8_t* const out = area.data() + (2048 + 4096 - apart) % 4096;
    const std::size_t loops = std::max<std::size_t>(1, 200000 / (count * (size + 8)));
    std::vector<double> best(kernels.size(), 1e30);
    for (int round = 0; round < 200; ++round) {
        for (std::size_t j = 0; j < kernels.size(); ++j) {
            const AbKernel* k = kernels[j];
            const auto start = std::chrono::steady_clock::now();
            for (std::size_t loop = 0; loop < loops; ++loop) {
                for (std::size_t i = 0, at = 0; i < count; at += sizes[i++]) {
                    if (encode)
                        k->encode(data.data() + at, sizes[i], out);
                    else
                        k->decode(data.data() + at, sizes[i], out);
                    __asm__ __volatile__("" : : "r"(out) : "memory");
                }
            }
            const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            best[j] = std::min(best[j], t / static_cast<double>(loops * count));
        }
    }
    std::printf("%s %zu B %s", argv[1], size, shape.c_str());
    for (std::size_t j = 0; j < kernels.size(); ++j)
        std::printf(" | %s %.2f ns %.2fx", argv[4 + j], best[j] * 1e9, best[0] / best[j]);
    std::printf("\n");
    return 0;
}
