// Codec room: the encoded format's constants, size rules and error codes.
// Pure C++17; nothing here knows about Python.
#ifndef TAVO_CODEC_FORMAT_HPP
#define TAVO_CODEC_FORMAT_HPP

#include <cstddef>
#include <cstdint>

namespace tavo {

// A block is a code byte (1..255) and code-1 non-zero data bytes.
constexpr unsigned kMaxCode = 0xFF;
constexpr std::size_t kMaxBlockData = 254;

// Worst-case encoded size n + floor(n / 254) + 1, computed without overflow.
// Returns false, leaving *out alone, when the bound would exceed `limit`
// (the caller's largest allocatable size).
template <class Size>
constexpr bool encoded_bound(Size n, Size limit, Size* out) noexcept {
    if (limit == 0 || n > limit - 1) return false;
    const Size extra = n / static_cast<Size>(kMaxBlockData);
    if (extra > limit - 1 - n) return false;
    *out = n + extra + 1;
    return true;
}

// Room needed to decode n input bytes, malformed ones included: at most n-1
// bytes are ever written, and one byte keeps the allocation non-empty.
template <class Size>
constexpr Size decoded_capacity(Size n) noexcept {
    return n > 1 ? n - 1 : 1;
}

enum class DecodeStatus : int {
    ok = 0,
    zero_byte = 1,    // a zero where a code byte or a data byte belongs
    short_input = 2,  // a code byte announces more data than remains
};

// The text users see for each failure; the messages are part of the API.
constexpr const char* message(DecodeStatus status) noexcept {
    return status == DecodeStatus::zero_byte   ? "zero byte found in input"
           : status == DecodeStatus::short_input ? "not enough input bytes for length code"
                                                 : "";
}

// What a decode kernel reports. On success `length` is the number of bytes
// written; on failure it is the input offset of the first offending byte
// (the zero byte, or the code byte whose block runs past the end), and the
// output buffer holds nothing meaningful.
struct DecodeResult {
    std::size_t length;
    DecodeStatus status;
};

}  // namespace tavo

#endif
