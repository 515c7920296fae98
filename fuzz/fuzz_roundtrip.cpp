// libFuzzer target: encode arbitrary bytes with every kernel, then decode.
//
// For each kernel: the encoding is written into exactly encoded_bound(n)
// bytes (ASan catches any write past it, and any read outside the input);
// it holds no zero byte, is byte-identical to the scalar kernel's canonical
// form (which must in turn equal the reference encoder's), and decoding it,
// into exactly decoded_capacity(m) bytes, gives back the input.
#include "harness.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::kernels();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t n) {
    const fuzz::Kernels& k = fuzz::kernels();
    const std::uint32_t h = fuzz::mix(data, n);

    std::size_t bound = 0;
    FUZZ_CHECK(tavo::encoded_bound(n, static_cast<std::size_t>(-1), &bound), "bound refused");
    FUZZ_CHECK(bound == fuzz::bound(n), "encoded_bound(%zu) = %zu", n, bound);

    // The canonical form: scalar's output, checked against the reference.
    std::vector<std::uint8_t> canonical;
    {
        fuzz::GuardedBuffer in(n, 0);
        if (n != 0) std::memcpy(in.data(), data, n);
        fuzz::GuardedBuffer out(bound, 0);
        const std::size_t m = k.scalar->encode(in.data(), n, out.data());
        FUZZ_CHECK(m <= bound, "scalar wrote %zu > bound %zu", m, bound);
        canonical.assign(out.data(), out.data() + m);
        const std::vector<std::uint8_t> want = fuzz::reference_encode(data, n);
        FUZZ_CHECK(canonical == want, "scalar encoding (%zu bytes) differs from the reference "
                   "(%zu bytes) for n=%zu", canonical.size(), want.size(), n);
    }
    const std::size_t m = canonical.size();
    FUZZ_CHECK(m >= n + 1 && m <= bound, "canonical length %zu for n=%zu", m, n);
    FUZZ_CHECK(std::memchr(canonical.data(), 0, m) == nullptr, "zero byte in scalar encoding");

    for (const tavo::Kernel* kernel : k.list) {
        fuzz::GuardedBuffer in(n, h % 64);
        if (n != 0) std::memcpy(in.data(), data, n);
        fuzz::GuardedBuffer enc(bound, (h >> 6) % 64);
        const std::size_t got = kernel->encode(in.data(), n, enc.data());
        FUZZ_CHECK(n == 0 || std::memcmp(in.data(), data, n) == 0,
                   "kernel %s changed its input (n=%zu)", kernel->name, n);
        FUZZ_CHECK(got <= bound, "kernel %s: encoded %zu bytes > bound %zu", kernel->name, got,
                   bound);
        FUZZ_CHECK(std::memchr(enc.data(), 0, got) == nullptr,
                   "kernel %s: zero byte in encoding (n=%zu)", kernel->name, n);
        FUZZ_CHECK(got == m && std::memcmp(enc.data(), canonical.data(), m) == 0,
                   "kernel %s: encoding (%zu bytes) differs from canonical (%zu bytes), n=%zu",
                   kernel->name, got, m, n);

        // Decode the encoding from an exact-size buffer of its own.
        fuzz::GuardedBuffer encoded(got, (h >> 12) % 64);
        std::memcpy(encoded.data(), enc.data(), got);
        fuzz::GuardedBuffer dec(tavo::decoded_capacity(got), (h >> 18) % 64);
        const tavo::DecodeResult r = kernel->decode(encoded.data(), got, dec.data());
        FUZZ_CHECK(r.status == tavo::DecodeStatus::ok,
                   "kernel %s: own encoding fails to decode (%s at %zu), n=%zu", kernel->name,
                   fuzz::status_name(r.status), r.length, n);
        FUZZ_CHECK(r.length == n && (n == 0 || std::memcmp(dec.data(), data, n) == 0),
                   "kernel %s: round trip gives %zu bytes for %zu, or different bytes",
                   kernel->name, r.length, n);
    }
    return 0;
}
