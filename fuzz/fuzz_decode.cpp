// libFuzzer target: decode arbitrary bytes with every kernel.
//
// For each kernel: the input sits in an exact-size heap buffer and the output
// in one of exactly decoded_capacity(n) bytes, both at content-chosen
// misalignments, so ASan catches any read outside the input and any write
// past the capacity. The kernel's answer - the decoded bytes, or which error
// at which input offset - must equal the reference decoder's, and the input
// must be left untouched.
#include "harness.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::kernels();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t n) {
    const fuzz::RefDecode want = fuzz::reference_decode(data, n);
    const std::uint32_t h = fuzz::mix(data, n);
    const std::size_t capacity = tavo::decoded_capacity(n);

    for (const tavo::Kernel* kernel : fuzz::kernels().list) {
        fuzz::GuardedBuffer in(n, h % 64);
        if (n != 0) std::memcpy(in.data(), data, n);
        fuzz::GuardedBuffer out(capacity, (h >> 6) % 64);

        const tavo::DecodeResult got = kernel->decode(in.data(), n, out.data());

        FUZZ_CHECK(n == 0 || std::memcmp(in.data(), data, n) == 0,
                   "kernel %s changed its input (n=%zu)", kernel->name, n);
        FUZZ_CHECK(got.status == want.status,
                   "kernel %s: status %s, reference %s (n=%zu)", kernel->name,
                   fuzz::status_name(got.status), fuzz::status_name(want.status), n);
        if (want.status == tavo::DecodeStatus::ok) {
            FUZZ_CHECK(got.length == want.out.size(),
                       "kernel %s: decoded %zu bytes, reference %zu (n=%zu)", kernel->name,
                       got.length, want.out.size(), n);
            FUZZ_CHECK(got.length <= capacity, "kernel %s: %zu bytes > capacity %zu",
                       kernel->name, got.length, capacity);
            FUZZ_CHECK(got.length == 0 || std::memcmp(out.data(), want.out.data(), got.length) == 0,
                       "kernel %s: decoded bytes differ from the reference (n=%zu)",
                       kernel->name, n);
        } else {
            FUZZ_CHECK(got.length == want.offset,
                       "kernel %s: %s at offset %zu, reference at %zu (n=%zu)", kernel->name,
                       fuzz::status_name(got.status), got.length, want.offset, n);
        }
    }
    return 0;
}
