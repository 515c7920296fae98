// Shared by the libFuzzer targets: the kernels under test, exact-size heap
// buffers that ASan guards on both sides, and a deliberately plain reference
// codec written straight from the format's rules, independent of the kernels
// in src/codec/.
#ifndef TAVO_FUZZ_HARNESS_HPP
#define TAVO_FUZZ_HARNESS_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../src/codec/format.hpp"
#include "../src/codec/kernels.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define TAVO_FUZZ_ASAN 1
#endif
#endif
#ifndef TAVO_FUZZ_ASAN
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace fuzz {

// A check that holds in every build mode: prints what broke and aborts, so
// libFuzzer saves the input as a crash artifact.
#define FUZZ_CHECK(cond, ...)                                              \
    do {                                                                   \
        if (!(cond)) {                                                     \
            std::fprintf(stderr, "\nFUZZ CHECK FAILED: %s\n  at %s:%d\n  ", \
                         #cond, __FILE__, __LINE__);                       \
            std::fprintf(stderr, __VA_ARGS__);                             \
            std::fprintf(stderr, "\n");                                    \
            std::abort();                                                  \
        }                                                                  \
    } while (0)

// ---------------------------------------------------------------------------
// Kernels under test: every entry of tavo::available_kernels(), each called
// explicitly through its own function pointers. TAVO_FUZZ_KERNEL=name
// narrows a run to one kernel (the run fails if this CPU lacks it).

struct Kernels {
    std::vector<const tavo::Kernel*> list;
    const tavo::Kernel* scalar = nullptr;
};

inline const Kernels& kernels() {
    static const Kernels k = [] {
        Kernels out;
        std::size_t count = 0;
        const tavo::Kernel* all = tavo::available_kernels(&count);
        const char* only = std::getenv("TAVO_FUZZ_KERNEL");
        if (only != nullptr && *only == '\0') only = nullptr;
        for (std::size_t i = 0; i < count; ++i) {
            if (std::strcmp(all[i].name, "scalar") == 0) out.scalar = &all[i];
            if (only == nullptr || std::strcmp(all[i].name, only) == 0) out.list.push_back(&all[i]);
        }
        if (out.scalar == nullptr || out.list.empty()) {
            std::fprintf(stderr, "fuzz: no %s kernel among the %zu available\n",
                         only ? only : "scalar", count);
            std::abort();
        }
        std::fprintf(stderr, "fuzz: kernels under test:");
        for (const tavo::Kernel* kernel : out.list) std::fprintf(stderr, " %s", kernel->name);
        std::fprintf(stderr, " (of %zu available)\n", count);
        return out;
    }();
    return k;
}

// ---------------------------------------------------------------------------
// Exact-size buffers. The usable region ends exactly where the heap block
// ends, so ASan reports the first byte read or written past it; a manually
// poisoned prefix of `shift` bytes puts the region at any alignment and
// still catches a read or write before its start.

class GuardedBuffer {
public:
    GuardedBuffer(std::size_t size, std::size_t shift) : size_(size), shift_(shift) {
        base_ = static_cast<std::uint8_t*>(std::malloc(shift + size == 0 ? 0 : shift + size));
        if (base_ == nullptr && shift + size != 0) std::abort();
        if (shift != 0) ASAN_POISON_MEMORY_REGION(base_, shift);
    }
    ~GuardedBuffer() {
        if (shift_ != 0) ASAN_UNPOISON_MEMORY_REGION(base_, shift_);
        std::free(base_);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    std::uint8_t* data() { return base_ + shift_; }
    std::size_t size() const { return size_; }

private:
    std::uint8_t* base_;
    std::size_t size_;
    std::size_t shift_;
};

// Deterministic (so a saved input reproduces exactly), content-dependent
// misalignment for the input and output buffers: 0..63 bytes off a 64-byte
// boundary covers every SIMD width's head and tail handling.
inline std::uint32_t mix(const std::uint8_t* data, std::size_t n) {
    std::uint32_t h = 2166136261u ^ static_cast<std::uint32_t>(n);
    for (std::size_t i = 0; i < n && i < 16; ++i) h = (h ^ data[i]) * 16777619u;
    if (n > 16) h = (h ^ data[n - 1]) * 16777619u;
    return h;
}

// ---------------------------------------------------------------------------
// Reference codec: the format's rules written out literally, block by block,
// with growable vectors instead of a preallocated buffer.

struct RefDecode {
    tavo::DecodeStatus status;
    std::size_t offset;             // on failure: input offset of the offending byte
    std::vector<std::uint8_t> out;  // on success
};

inline RefDecode reference_decode(const std::uint8_t* in, std::size_t n) {
    RefDecode r{tavo::DecodeStatus::ok, 0, {}};
    r.out.reserve(n);
    std::size_t pos = 0;  // position of the current block's code byte
    while (pos < n) {
        const std::size_t code = in[pos];
        if (code == 0) return {tavo::DecodeStatus::zero_byte, pos, {}};
        const std::size_t data_bytes = code - 1;
        const std::size_t remaining = n - pos - 1;
        if (data_bytes > remaining) return {tavo::DecodeStatus::short_input, pos, {}};
        for (std::size_t j = 1; j <= data_bytes; ++j) {
            if (in[pos + j] == 0) return {tavo::DecodeStatus::zero_byte, pos + j, {}};
            r.out.push_back(in[pos + j]);
        }
        pos += 1 + data_bytes;
        const bool final_block = pos == n;
        if (!final_block && code != 255) r.out.push_back(0);
    }
    return r;
}

// Canonical encoding: the input is split at its zero bytes into pieces; each
// piece becomes maximal blocks of 254 bytes plus one shorter block, except
// that a last piece which is not empty and ends exactly on a maximal block
// gets no final block.
inline std::vector<std::uint8_t> reference_encode(const std::uint8_t* in, std::size_t n) {
    std::vector<std::uint8_t> out;
    out.reserve(n + n / 254 + 1);
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;  // the piece is in[start, end)
        while (end < n && in[end] != 0) ++end;
        const bool last = end == n;
        std::size_t at = start;
        while (end - at >= 254) {
            out.push_back(255);
            out.insert(out.end(), in + at, in + at + 254);
            at += 254;
        }
        const bool ended_on_maximal = at == end && at > start;
        if (!(last && ended_on_maximal)) {
            out.push_back(static_cast<std::uint8_t>(end - at + 1));
            out.insert(out.end(), in + at, in + end);
        }
        if (last) return out;
        start = end + 1;  // step over the zero byte
    }
}

inline std::size_t bound(std::size_t n) { return n + n / 254 + 1; }

inline const char* status_name(tavo::DecodeStatus s) {
    return s == tavo::DecodeStatus::ok ? "ok"
           : s == tavo::DecodeStatus::zero_byte ? "zero_byte"
           : s == tavo::DecodeStatus::short_input ? "short_input"
                                                  : "?";
}

}  // namespace fuzz

#endif
