// Codec room: the reference kernels, one byte at a time, straight from the
// format's rules. Faster kernels are tested against these.
#include "kernels.hpp"

namespace tavo {

std::size_t encode_scalar(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    // The code byte of the open block is back-filled when the block closes,
    // so the input is read once with no look-ahead.
    std::uint8_t* code_slot = out;
    std::uint8_t* w = out + 1;
    unsigned code = 1;
    bool need_final = true;  // false only right after a maximal block
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = in[i];
        if (b == 0) {
            *code_slot = static_cast<std::uint8_t>(code);
            need_final = true;
            code_slot = w++;
            code = 1;
        } else {
            *w++ = b;
            if (++code == kMaxCode) {
                *code_slot = static_cast<std::uint8_t>(kMaxCode);
                need_final = false;
                code_slot = w++;
                code = 1;
            }
        }
    }
    if (code > 1 || need_final) {
        *code_slot = static_cast<std::uint8_t>(code);
        return static_cast<std::size_t>(w - out);
    }
    // Input ended exactly on a maximal block: it needs no final block.
    return static_cast<std::size_t>(code_slot - out);
}

DecodeResult decode_scalar(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    if (n == 0) return {0, DecodeStatus::ok};
    const std::uint8_t* p = in;
    const std::uint8_t* const end = in + n;
    std::uint8_t* w = out;
    for (;;) {
        const std::uint8_t* const code_at = p;
        const unsigned code = *p++;
        if (code == 0) return {static_cast<std::size_t>(code_at - in), DecodeStatus::zero_byte};
        // The length test comes before any data byte of the block is read.
        const std::size_t k = code - 1;
        if (k > static_cast<std::size_t>(end - p))
            return {static_cast<std::size_t>(code_at - in), DecodeStatus::short_input};
        for (std::size_t j = 0; j < k; ++j) {
            const std::uint8_t b = *p;
            if (b == 0) return {static_cast<std::size_t>(p - in), DecodeStatus::zero_byte};
            *w++ = b;
            ++p;
        }
        if (p == end) return {static_cast<std::size_t>(w - out), DecodeStatus::ok};
        if (code != kMaxCode) *w++ = 0;
    }
}

}  // namespace tavo
