// Codec room: frame encoding and decoding around the fastest kernel.
#include "framing.hpp"

#include "kernels.hpp"

namespace tavo {

void xor_bytes(const std::uint8_t* in, std::size_t n, std::uint8_t key,
               std::uint8_t* out) noexcept {
    // A plain loop: compilers vectorise it at -O3.
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(in[i] ^ key);
}

bool frame_bound(std::size_t n, std::size_t limit, std::size_t* out) noexcept {
    std::size_t bound;
    if (limit == 0 || !encoded_bound(n, limit - 1, &bound)) return false;
    *out = bound + 1;
    return true;
}

std::size_t encode_frame(const std::uint8_t* in, std::size_t n, std::uint8_t delimiter,
                         std::uint8_t* out) noexcept {
    const std::size_t written = best_kernel().encode(in, n, out);
    // The encoding is still in cache: the XOR costs little beside it.
    if (delimiter != 0) xor_bytes(out, written, delimiter, out);
    out[written] = delimiter;
    return written + 1;
}

}  // namespace tavo
