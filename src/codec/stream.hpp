// Codec room: incremental encoder and decoder, and the caller-buffer entry
// points. Thin state machines around a kernel: whole blocks go through the
// kernel in one call, only the block cut by a chunk boundary is handled here.
// Nothing allocates; every function writes into the caller's buffer.
#ifndef TAVO_CODEC_STREAM_HPP
#define TAVO_CODEC_STREAM_HPP

#include <cstddef>
#include <cstdint>

#include "format.hpp"
#include "kernels.hpp"

namespace tavo {

// The largest encoding of n bytes, n + n / 254 + 1; false if it would
// exceed `limit`.
inline bool max_encoded_length(std::size_t n, std::size_t limit, std::size_t* out) noexcept {
    return encoded_bound(n, limit, out);
}

// The largest decoding of n encoded bytes: every block spends a code byte.
constexpr std::size_t max_decoded_length(std::size_t n) noexcept { return n > 0 ? n - 1 : 0; }

// Decodes in[0..n) into out, which needs only max_decoded_length(n) bytes
// (the kernels ask one byte more for n <= 1, which is handled here).
DecodeResult decode_exact(const Kernel& kernel, const std::uint8_t* in, std::size_t n,
                          std::uint8_t* out) noexcept;

// Incremental encoder. Holds the open block: the data bytes seen since the
// last block closed (fewer than 254), and whether the block closed before
// it was maximal, which decides whether an empty open block is emitted at
// the end. Output is byte-identical to one encode of the concatenated input.
class StreamEncoder {
public:
    // Room encode() needs for n more input bytes, whatever is held; false
    // if over `limit`.
    static bool encode_bound(std::size_t n, std::size_t limit, std::size_t* out) noexcept;
    // Writes every block that in[0..n) completes; returns the length written.
    std::size_t encode(const Kernel& kernel, const std::uint8_t* in, std::size_t n,
                       std::uint8_t* out) noexcept;
    // Room finish() needs.
    static constexpr std::size_t kFinishBound = kMaxBlockData + 1;
    // Writes the last block (if any) and starts over; returns the length.
    std::size_t finish(std::uint8_t* out) noexcept;

    std::size_t held() const noexcept { return open_len_; }

private:
    std::uint8_t open_[kMaxBlockData] = {};
    std::size_t open_len_ = 0;
    bool after_maximal_ = false;  // the last closed block was a maximal one
};

// What the incremental decoder reports. On failure, `length` is still the
// number of good bytes written by this call (the whole blocks before the bad
// one), and `offset` the stream offset of the first offending byte: a zero,
// or the code byte of a block cut off by the end of the stream.
struct StreamDecodeResult {
    std::size_t length;
    DecodeStatus status;
    std::uint64_t offset;
};

// Incremental decoder for one encoding cut anywhere. Emits a block only when
// it is whole, and the zero that follows a non-maximal block only when the
// next block is whole, so nothing at or after a bad byte is ever emitted and
// the errors (message and offset) are those of one decode of the whole
// stream. An error is sticky: every later call reports it again.
class StreamDecoder {
public:
    // Room decode() needs for n more input bytes; false if over `limit`.
    static bool decode_bound(std::size_t n, std::size_t limit, std::size_t* out) noexcept;
    StreamDecodeResult decode(const Kernel& kernel, const std::uint8_t* in, std::size_t n,
                              std::uint8_t* out) noexcept;
    // Ends the stream: fails if a block is cut off; writes nothing. On
    // success the decoder starts over.
    StreamDecodeResult finish() noexcept;

    std::uint64_t consumed() const noexcept { return consumed_; }
    std::size_t held() const noexcept { return held_; }

private:
    StreamDecodeResult fail(DecodeStatus status, std::uint64_t offset,
                            std::size_t written) noexcept;
    // Decodes the whole blocks in[0..end) at out (after a pending zero).
    std::size_t emit_blocks(const Kernel& kernel, const std::uint8_t* in, std::size_t end,
                            unsigned last_code, std::uint8_t* out) noexcept;

    std::uint8_t block_[kMaxBlockData] = {};
    std::size_t held_ = 0;          // data bytes of the open block held so far
    unsigned code_ = 0;             // code byte of the open block; 0: none open
    bool zero_owed_ = false;        // the last whole block stands for a zero after it
    std::uint64_t consumed_ = 0;    // stream bytes before the current chunk
    std::uint64_t block_offset_ = 0;  // stream offset of the open block's code byte
    DecodeStatus error_ = DecodeStatus::ok;
    std::uint64_t error_offset_ = 0;
};

}  // namespace tavo

#endif
