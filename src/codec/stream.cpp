// Codec room: incremental codecs and the exact-size decode entry point.
#include "stream.hpp"

#include <cstring>

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#define TAVO_PREFETCH(p) _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0)
#elif defined(__GNUC__) || defined(__clang__)
#define TAVO_PREFETCH(p) __builtin_prefetch(p)
#else
#define TAVO_PREFETCH(p) static_cast<void>(p)
#endif

namespace tavo {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;

inline std::uint64_t load64(const std::uint8_t* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

inline bool has_zero_byte(std::uint64_t w) noexcept {
    return ((w - kOnes) & ~w & (kOnes << 7)) != 0;
}

// One past the last zero byte of in[0..n), or 0 if there is none. Eight
// bytes a step from the end: after the last zero of a chunk often comes a
// long run without one.
std::size_t after_last_zero(const std::uint8_t* in, std::size_t n) noexcept {
    std::size_t i = n;
    while (i >= 8 && !has_zero_byte(load64(in + i - 8))) i -= 8;
    for (; i > 0; --i)
        if (in[i - 1] == 0) return i;
    return 0;
}

inline void copy(std::uint8_t* to, const std::uint8_t* from, std::size_t n) noexcept {
    if (n != 0) std::memcpy(to, from, n);
}

// The walk below reads one code byte a block, each load waiting for the one
// before: a chunk not in cache yet would cost it a full miss a block, more
// than the kernel's whole pass. So the lines this far ahead of it are asked
// for in advance, each once.
constexpr std::size_t kPrefetchAhead = 2048;
constexpr std::size_t kLine = 64;

// The end of the last whole block of in[0..n), which starts at a code byte;
// *last_code receives that block's code. Stops early at a zero code byte.
// Only code bytes are read: the kernel checks the data bytes.
std::size_t whole_blocks(const std::uint8_t* in, std::size_t n, unsigned* last_code) noexcept {
    std::size_t p = 0;
    std::size_t fetched = 0;  // lines below this offset were asked for
    while (p < n) {
        for (; fetched < n && fetched < p + kPrefetchAhead; fetched += kLine)
            TAVO_PREFETCH(in + fetched);
        // A run of one-byte blocks, as zeros in the data give, eight at a step.
        if (n - p >= 8 && load64(in + p) == kOnes) {
            p += 8;
            *last_code = 1;
            continue;
        }
        const unsigned code = in[p];
        if (code == 0 || code > n - p) break;
        *last_code = code;
        p += code;
    }
    return p;
}

}  // namespace

DecodeResult decode_exact(const Kernel& kernel, const std::uint8_t* in, std::size_t n,
                          std::uint8_t* out) noexcept {
    if (n >= 2) return kernel.decode(in, n, out);
    if (n == 0 || in[0] == 1) return {0, DecodeStatus::ok};
    return {0, in[0] == 0 ? DecodeStatus::zero_byte : DecodeStatus::short_input};
}

// ---------------------------------------------------------------------------
// Encoder

bool StreamEncoder::encode_bound(std::size_t n, std::size_t limit, std::size_t* out) noexcept {
    // The block completed from the held bytes (at most 253) costs one byte
    // more than its data, the kernel's part its own bound: at most
    // 253 + n + n / 254 + 2.
    constexpr std::size_t kEdge = kMaxBlockData + 1;
    std::size_t kernel_part;
    if (!encoded_bound(n, limit, &kernel_part) || limit - kernel_part < kEdge) return false;
    *out = kernel_part + kEdge;
    return true;
}

std::size_t StreamEncoder::encode(const Kernel& kernel, const std::uint8_t* in, std::size_t n,
                                  std::uint8_t* out) noexcept {
    std::size_t written = 0;
    if (open_len_ != 0) {
        // Complete the held block from the head of the chunk, by hand.
        const std::size_t room = kMaxBlockData - open_len_;
        const std::size_t look = n < room ? n : room;
        const void* zero = look != 0 ? std::memchr(in, 0, look) : nullptr;
        if (zero == nullptr && n < room) {
            copy(open_ + open_len_, in, n);
            open_len_ += n;
            return 0;
        }
        const std::size_t take =
            zero != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - in)
                            : room;
        out[0] = zero != nullptr ? static_cast<std::uint8_t>(open_len_ + take + 1)
                                 : static_cast<std::uint8_t>(kMaxCode);
        std::memcpy(out + 1, open_, open_len_);
        copy(out + 1 + open_len_, in, take);
        written = 1 + open_len_ + take;
        after_maximal_ = zero == nullptr;
        open_len_ = 0;
        const std::size_t used = take + (zero != nullptr ? 1 : 0);
        in += used;
        n -= used;
    }
    // A block starts at in[0]. Everything up to the last zero, then whole
    // runs of 254 bytes, are closed blocks: one kernel call writes them.
    const std::size_t tail_start = after_last_zero(in, n);
    const std::size_t tail = n - tail_start;
    const std::size_t maximal = tail - tail % kMaxBlockData;
    const std::size_t closed = tail_start + maximal;
    if (closed != 0) {
        std::size_t length = kernel.encode(in, closed, out + written);
        if (maximal == 0) {
            // Input ending in a zero ends in the empty block it opened (01):
            // that block is still open here.
            --length;
            after_maximal_ = false;
        } else {
            // Input ending on a maximal block has no final block.
            after_maximal_ = true;
        }
        written += length;
    }
    copy(open_, in + closed, n - closed);
    open_len_ = n - closed;
    return written;
}

std::size_t StreamEncoder::finish(std::uint8_t* out) noexcept {
    std::size_t written = 0;
    // The open block is the final block, unless it is empty right after a
    // maximal block (or after nothing but maximal blocks).
    if (open_len_ != 0 || !after_maximal_) {
        out[0] = static_cast<std::uint8_t>(open_len_ + 1);
        copy(out + 1, open_, open_len_);
        written = 1 + open_len_;
    }
    open_len_ = 0;
    after_maximal_ = false;
    return written;
}

// ---------------------------------------------------------------------------
// Decoder

bool StreamDecoder::decode_bound(std::size_t n, std::size_t limit, std::size_t* out) noexcept {
    // A held block (254) and the zero before it, another owed zero, then the
    // kernel's capacity for at most n bytes (n - 1, or 1).
    constexpr std::size_t kEdge = kMaxBlockData + 2;
    if (limit < kEdge || n > limit - kEdge) return false;
    *out = n + kEdge;
    return true;
}

StreamDecodeResult StreamDecoder::fail(DecodeStatus status, std::uint64_t offset,
                                       std::size_t written) noexcept {
    error_ = status;
    error_offset_ = offset;
    return {written, status, offset};
}

std::size_t StreamDecoder::emit_blocks(const Kernel& kernel, const std::uint8_t* in,
                                       std::size_t end, unsigned last_code,
                                       std::uint8_t* out) noexcept {
    // Only whole, checked blocks come here, so the kernel cannot fail; its
    // last block is final to it, and the zero after it is owed instead.
    const std::size_t zero = zero_owed_ ? 1 : 0;
    const DecodeResult r = kernel.decode(in, end, out + zero);
    if (zero != 0) out[0] = 0;
    zero_owed_ = last_code != kMaxCode;
    return zero + r.length;
}

StreamDecodeResult StreamDecoder::decode(const Kernel& kernel, const std::uint8_t* in,
                                         std::size_t n, std::uint8_t* out) noexcept {
    if (error_ != DecodeStatus::ok) return {0, error_, error_offset_};
    const std::uint64_t base = consumed_;
    consumed_ += n;
    std::size_t written = 0;
    std::size_t pos = 0;

    if (code_ != 0) {
        // Complete the held block from the head of the chunk, by hand.
        const std::size_t need = code_ - 1 - held_;
        const std::size_t take = n < need ? n : need;
        copy(block_ + held_, in, take);
        held_ += take;
        pos = take;
        if (held_ < code_ - 1) return {0, DecodeStatus::ok, 0};
        // Its zero bytes only count now: had the stream ended first, the
        // block's length would have been the error.
        const void* zero = held_ != 0 ? std::memchr(block_, 0, held_) : nullptr;
        if (zero != nullptr)
            return fail(DecodeStatus::zero_byte,
                        block_offset_ + 1 +
                            static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) -
                                                     block_),
                        0);
        if (zero_owed_) out[written++] = 0;
        copy(out + written, block_, held_);
        written += held_;
        zero_owed_ = code_ != kMaxCode;
        code_ = 0;
        held_ = 0;
    }

    // in[pos..n) starts at a code byte: its whole blocks go to the kernel.
    const std::uint8_t* rest = in + pos;
    const std::size_t m = n - pos;
    unsigned last_code = 0;
    const std::size_t end = whole_blocks(rest, m, &last_code);
    if (end != 0) {
        const std::size_t zero = zero_owed_ ? 1 : 0;
        const DecodeResult r = kernel.decode(rest, end, out + written + zero);
        if (r.status != DecodeStatus::ok) {
            // A zero among the data (the walk saw every code byte). The
            // kernel's output is void now: decode again the blocks before
            // the one that holds it.
            std::size_t start = 0;
            while (rest[start] != 0 && start + rest[start] <= r.length) {
                last_code = rest[start];
                start += rest[start];
            }
            if (start != 0) written += emit_blocks(kernel, rest, start, last_code, out + written);
            return fail(r.status, base + pos + r.length, written);
        }
        if (zero != 0) out[written] = 0;
        written += zero + r.length;
        zero_owed_ = last_code != kMaxCode;
    }
    if (end < m) {
        const unsigned code = rest[end];
        if (code == 0) return fail(DecodeStatus::zero_byte, base + pos + end, written);
        // A block the chunk cuts off: hold its data until the rest arrives.
        code_ = code;
        block_offset_ = base + pos + end;
        held_ = m - end - 1;
        copy(block_, rest + end + 1, held_);
    }
    return {written, DecodeStatus::ok, 0};
}

StreamDecodeResult StreamDecoder::finish() noexcept {
    if (error_ != DecodeStatus::ok) return {0, error_, error_offset_};
    if (code_ != 0) return fail(DecodeStatus::short_input, block_offset_, 0);
    zero_owed_ = false;  // the final block stands for no zero
    consumed_ = 0;
    return {0, DecodeStatus::ok, 0};
}

}  // namespace tavo
