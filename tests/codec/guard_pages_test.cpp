// Every kernel with its input and its output each ending right against a
// page that may not be touched: a load past in + n, or a store past
// encoded_bound(n) / decoded_capacity(n), crashes the program instead of
// going unseen, even where no sanitizer runs (-O3, 32-bit, under Wine).
// The results must also be the reference's.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "kernels.hpp"

namespace {

using tavo::DecodeResult;
using tavo::DecodeStatus;
using tavo::Kernel;
using Bytes = std::vector<std::uint8_t>;

int g_failures = 0;
long g_checks = 0;
// What runs now, for the report of a crash.
const char* volatile g_kernel = "";
const char* volatile g_op = "";
volatile std::size_t g_size = 0;

extern "C" void on_crash(int) {
    std::printf("CRASH %s %s of %zu bytes: an access outside its buffers\n", g_kernel, g_op,
                static_cast<std::size_t>(g_size));
    std::fflush(stdout);
    std::_Exit(3);
}

std::size_t page_size() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
}

// Room for `most` bytes followed by one inaccessible page; at(n) gives the
// place where n bytes end exactly at that page.
class Guarded {
public:
    explicit Guarded(std::size_t most) {
        const std::size_t page = page_size();
        room_ = (most + page - 1) / page * page;
#if defined(_WIN32)
        base_ = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, room_ + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        if (base_ == nullptr || !VirtualProtect(base_ + room_, page, PAGE_NOACCESS, &old))
            std::abort();
#else
        void* p = mmap(nullptr, room_ + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (p == MAP_FAILED) std::abort();
        base_ = static_cast<std::uint8_t*>(p);
        if (mprotect(base_ + room_, page, PROT_NONE) != 0) std::abort();
#endif
    }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    std::uint8_t* at(std::size_t n) const {
        if (n > room_) std::abort();
        return base_ + room_ - n;
    }

private:
    std::uint8_t* base_;
    std::size_t room_;
};

// The largest message; its encoding is the largest input and output.
const std::size_t kLargest = 3 * 4096;
const Guarded& input_area() {
    static const Guarded g(kLargest + kLargest / 254 + 1);
    return g;
}
const Guarded& output_area() {
    static const Guarded g(kLargest + kLargest / 254 + 1);
    return g;
}

Bytes encode_with(const Kernel& k, const Bytes& data) {
    std::size_t bound = 0;
    if (!tavo::encoded_bound(data.size(), static_cast<std::size_t>(-1), &bound)) std::abort();
    std::uint8_t* in = input_area().at(data.size());
    if (!data.empty()) std::memcpy(in, data.data(), data.size());
    std::uint8_t* out = output_area().at(bound);
    g_kernel = k.name, g_op = "encode", g_size = data.size();
    const std::size_t len = k.encode(in, data.size(), out);
    if (len > bound) std::abort();
    return Bytes(out, out + len);
}

// The status, the length or error offset, and the bytes if decoded.
struct Decoded {
    DecodeStatus status;
    std::size_t length;
    Bytes bytes;
    bool operator==(const Decoded& o) const {
        return status == o.status && length == o.length && bytes == o.bytes;
    }
};

Decoded decode_with(const Kernel& k, const Bytes& data) {
    const std::size_t cap = tavo::decoded_capacity(data.size());
    std::uint8_t* in = input_area().at(data.size());
    if (!data.empty()) std::memcpy(in, data.data(), data.size());
    std::uint8_t* out = output_area().at(cap);
    g_kernel = k.name, g_op = "decode", g_size = data.size();
    const DecodeResult r = k.decode(in, data.size(), out);
    Decoded d{r.status, r.length, {}};
    if (r.status == DecodeStatus::ok) {
        if (r.length > cap) std::abort();
        d.bytes.assign(out, out + r.length);
    }
    return d;
}

void fail(const char* kernel, const char* what, std::size_t n) {
    if (++g_failures <= 10) std::printf("FAIL %s %s, %zu bytes\n", kernel, what, n);
}

void check_decode(const Kernel* all, std::size_t count, const Bytes& encoded) {
    const Decoded want = decode_with(all[0], encoded);
    for (std::size_t i = 1; i < count; ++i, ++g_checks)
        if (!(decode_with(all[i], encoded) == want)) fail(all[i].name, "decode", encoded.size());
}

// Encodes with every kernel, then decodes that encoding, whole and with its
// last bytes damaged, where a kernel's last window ends.
void check(const Kernel* all, std::size_t count, const Bytes& data) {
    const Bytes want = encode_with(all[0], data);
    for (std::size_t i = 1; i < count; ++i, ++g_checks)
        if (encode_with(all[i], data) != want) fail(all[i].name, "encode", data.size());
    check_decode(all, count, want);
    for (std::size_t back = 1; back <= 3 && back <= want.size(); ++back) {
        Bytes bad = want;
        bad[bad.size() - back] = 0;
        check_decode(all, count, bad);
        bad[bad.size() - back] = static_cast<std::uint8_t>(back + 1);  // ends past the input
        check_decode(all, count, bad);
    }
}

Bytes shaped(std::size_t n, int kind, std::mt19937& rng) {
    Bytes d(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t nz = static_cast<std::uint8_t>(rng() % 255 + 1);
        switch (kind) {
            case 0: d[i] = 0; break;
            case 1: d[i] = nz; break;
            case 2: d[i] = (i % 2) ? 0 : nz; break;
            case 3: d[i] = (rng() % 8 == 0) ? 0 : nz; break;
            default: d[i] = (i % 254 == 253) ? 0 : nz; break;  // maximal blocks and a zero
        }
    }
    return d;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGSEGV, on_crash);
#if defined(SIGBUS)
    std::signal(SIGBUS, on_crash);
#endif
    if (argc > 1 && std::strcmp(argv[1], "--probe") == 0) {
        // Shows that the guard holds: the byte just past a buffer crashes.
        g_kernel = "probe", g_op = "read", g_size = 0;
        const volatile std::uint8_t* past = input_area().at(0);
        std::printf("read %d past the end: no guard\n", *past);
        return 0;
    }
    std::size_t count = 0;
    const Kernel* all = tavo::available_kernels(&count);
    std::mt19937 rng(7);
    // Every length through a few windows of the widest kernel, then lengths
    // around larger windows and pages.
    for (int kind = 0; kind < 5; ++kind) {
        for (std::size_t n = 0; n <= 400; ++n) check(all, count, shaped(n, kind, rng));
        for (std::size_t n : {1000u, 4095u, 4096u, 4097u, 8191u, 12288u})
            check(all, count, shaped(n, kind, rng));
    }
    // Truncated encodings: a block that runs to the guard page.
    const Bytes enc = encode_with(all[0], shaped(700, 1, rng));
    for (std::size_t cut = 0; cut <= enc.size(); ++cut)
        check_decode(all, count, Bytes(enc.begin(), enc.begin() + static_cast<long>(cut)));
    std::printf("%zu kernels against guard pages, %ld comparisons, %d failures\n", count,
                g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
