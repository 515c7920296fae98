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
//
// TAVO_AB_NEW_EVERY=n in the environment moves on to a new set of messages
// every n rounds (as many sets as fit 256 MiB, made beforehand), and writes
// the output and reads the input before every timed run, so that each run
// starts from the same caches. With n = 1 no kernel meets a message twice:
// a branch predictor learns even 1 MiB of random bytes from a run or two
// over it, which no real stream allows.
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
    std::vector<std::uint8_t> scratch(size + size / 254 + 2);
    const char* every = std::getenv("TAVO_AB_NEW_EVERY");
    const int new_every = every ? std::max(1, std::atoi(every)) : 0;
    // Each set at the same place in a page, so that the output's distance
    // from the input stays the same.
    const std::size_t stride = (count * scratch.size() + 4095) / 4096 * 4096;
    const std::size_t sets =
        new_every == 0 ? 1
                       : std::max<std::size_t>(1, std::min<std::size_t>(200 / new_every + 1,
                                                                        (std::size_t{256} << 20) / stride));
    std::vector<std::uint8_t> pool(sets * stride + 4096);
    std::uint8_t* const base =
        pool.data() + (4096 - reinterpret_cast<std::uintptr_t>(pool.data()) % 4096) % 4096;
    std::vector<std::vector<std::size_t>> set_sizes(sets);
    std::vector<std::size_t> set_bytes(sets, 0);
    for (std::size_t set = 0; set < sets; ++set) {
        std::uint8_t* at = base + set * stride;
        for (std::size_t i = 0; i < count; ++i) {
            const auto m = make(shape, size, rng);
            std::size_t n = size;
            if (encode) {
                std::memcpy(at, m.data(), size);
            } else {
                n = tavo_r0::encode_scalar(m.data(), size, scratch.data());
                std::memcpy(at, scratch.data(), n);
            }
            set_sizes[set].push_back(n);
            set_bytes[set] += n;
            at += n;
        }
    }
    // Output half a page from the input modulo 4 KiB, as the benchmark has it.
    std::vector<std::uint8_t> area(scratch.size() + 8192);
    const std::size_t apart =
        (reinterpret_cast<std::uintptr_t>(area.data()) - reinterpret_cast<std::uintptr_t>(base)) % 4096;
    std::uint8_t* const out = area.data() + (2048 + 4096 - apart) % 4096;
    const std::size_t loops = std::max<std::size_t>(1, 200000 / (count * (size + 8)));
    std::vector<double> best(kernels.size(), 1e30);
    for (int round = 0; round < 200; ++round) {
        const std::size_t set = new_every == 0 ? 0 : static_cast<std::size_t>(round / new_every) % sets;
        const std::uint8_t* const data = base + set * stride;
        const std::vector<std::size_t>& sizes = set_sizes[set];
        for (std::size_t j = 0; j < kernels.size(); ++j) {
            const AbKernel* k = kernels[j];
            if (new_every != 0) {
                std::memset(out, 1, scratch.size());
                const volatile std::uint8_t* const in = data;
                for (std::size_t i = 0; i < set_bytes[set]; i += 64) static_cast<void>(in[i]);
            }
            const auto start = std::chrono::steady_clock::now();
            for (std::size_t loop = 0; loop < loops; ++loop) {
                for (std::size_t i = 0, at = 0; i < count; at += sizes[i++]) {
                    if (encode)
                        k->encode(data + at, sizes[i], out);
                    else
                        k->decode(data + at, sizes[i], out);
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
