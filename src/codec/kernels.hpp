// Codec room: the encode/decode kernels and how one is chosen.
// Kernels take pointers and lengths, write into a caller's buffer and never
// allocate. Every kernel gives byte-identical output and the same first error
// as the scalar reference.
#ifndef TAVO_CODEC_KERNELS_HPP
#define TAVO_CODEC_KERNELS_HPP

#include <cstddef>
#include <cstdint>

#include "format.hpp"

namespace tavo {

// Writes the canonical encoding of in[0..n) to out, which must hold
// encoded_bound(n) bytes; returns the length written.
using EncodeFn = std::size_t (*)(const std::uint8_t* in, std::size_t n, std::uint8_t* out);

// Decodes in[0..n) into out, which must hold decoded_capacity(n) bytes.
using DecodeFn = DecodeResult (*)(const std::uint8_t* in, std::size_t n, std::uint8_t* out);

struct Kernel {
    const char* name;
    EncodeFn encode;
    DecodeFn decode;
};

// The byte-at-a-time reference: the format's rules written out literally.
std::size_t encode_scalar(const std::uint8_t* in, std::size_t n, std::uint8_t* out);
DecodeResult decode_scalar(const std::uint8_t* in, std::size_t n, std::uint8_t* out);

// The kernels this CPU can run, reference first; *count receives how many.
const Kernel* available_kernels(std::size_t* count) noexcept;

// The fastest kernel this CPU can run. Chosen on first use; thread-safe.
const Kernel& best_kernel() noexcept;

// A CPU feature that the choice of kernel tests, and whether this CPU (and
// its OS, for the wide registers) has it.
struct CpuFeature {
    const char* name;
    bool present;
};

// Every feature the choice tests on this CPU's architecture, none off x86;
// *count receives how many.
const CpuFeature* cpu_features(std::size_t* count) noexcept;

}  // namespace tavo

#endif
