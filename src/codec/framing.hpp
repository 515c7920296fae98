// Codec room: frames on a stream. A frame is the encoding of one message,
// every byte XORed with a delimiter byte, followed by that delimiter; since an
// encoding holds no zero, the delimiter appears only between frames. With the
// delimiter 0 the XOR is the identity and a frame is the plain encoding.
#ifndef TAVO_CODEC_FRAMING_HPP
#define TAVO_CODEC_FRAMING_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format.hpp"
#include "kernels.hpp"

namespace tavo {

// First occurrence of `delimiter` in [p, end), or end. Inline: it runs once
// per frame, and frames are often short.
inline const std::uint8_t* find_delimiter(const std::uint8_t* p, const std::uint8_t* end,
                                          std::uint8_t delimiter) noexcept {
    if (p >= end) return end;
    const void* hit = std::memchr(p, delimiter, static_cast<std::size_t>(end - p));
    return hit ? static_cast<const std::uint8_t*>(hit) : end;
}

// out[i] = in[i] ^ key for i < n. out may equal in.
void xor_bytes(const std::uint8_t* in, std::size_t n, std::uint8_t key,
               std::uint8_t* out) noexcept;

// Room encode_frame needs for an n-byte message: the encoded bound plus the
// delimiter. False when that would exceed `limit`.
bool frame_bound(std::size_t n, std::size_t limit, std::size_t* out) noexcept;

// Writes the frame of in[0..n) (encoding, XORed, then the delimiter) to out,
// which holds frame_bound(n) bytes; returns the length written.
std::size_t encode_frame(const std::uint8_t* in, std::size_t n, std::uint8_t delimiter,
                         std::uint8_t* out) noexcept;

// Decodes one raw frame in[0..n) (without its delimiter) with `kernel` into
// out, which holds decoded_capacity(n) bytes. With a non-zero delimiter the
// frame is first un-XORed into scratch (n bytes); in is never written. On
// failure, length is the offset in the frame of the first byte rejected.
inline DecodeResult decode_frame(const Kernel& kernel, const std::uint8_t* in, std::size_t n,
                                 std::uint8_t delimiter, std::uint8_t* scratch,
                                 std::uint8_t* out) noexcept {
    if (delimiter != 0) {
        xor_bytes(in, n, delimiter, scratch);
        in = scratch;
    }
    return kernel.decode(in, n, out);
}

// Whether a raw frame in[0..n), cut out of its stream at zero delimiters, is
// one block that fills it: its message is then the frame's bytes after the
// first, as they are. (Cut at zeros, the frame holds no zero, the one thing
// the decoder would still have to look for. A frame XORed with another
// delimiter would first have to be un-XORed: that is left to decode_frame.)
inline bool is_whole_block(const std::uint8_t* in, std::size_t n) noexcept {
    return n != 0 && static_cast<std::size_t>(in[0]) == n;
}

// Raw length of the longest frame whose message has at most max_size bytes:
// no longer frame can be good, so a receiver need never hold more.
constexpr std::size_t max_raw_frame(std::size_t max_size) noexcept {
    return max_size + max_size / kMaxBlockData + 1;
}

}  // namespace tavo

#endif
