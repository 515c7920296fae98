// libFuzzer target: the incremental codecs and the exact-size entry points.
//
// The first byte of the input seeds the cuts; the rest is the data. For each
// kernel:
//   - StreamEncoder, fed the data in random pieces, gives the reference
//     encoding; StreamDecoder, fed that encoding in other random pieces,
//     gives the data back;
//   - StreamDecoder, fed the data itself as an encoding, gives the reference
//     decoder's answer: the decoding, or its error at its offset, having
//     emitted exactly the whole blocks before the bad one;
//   - encoding into exactly max_encoded_length(n) bytes and decode_exact into
//     exactly max_decoded_length(n) bytes, as encode_into and decode_into do.
// Every piece and every output sits in an exact-size guarded buffer, each
// call's output sized by the bound that call documents.
#include <algorithm>
#include <random>

#include "../src/codec/stream.hpp"
#include "harness.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Cut points for a message of n bytes: 0 to 7 of them, sorted, repeats
// allowed (an empty piece must change nothing).
std::vector<std::size_t> cuts(std::mt19937& rng, std::size_t n) {
    std::vector<std::size_t> at;
    for (unsigned i = rng() % 8; i > 0; --i) {
        // Half of the cuts near a block edge, where the hand-written code is.
        const std::size_t c = rng() % 2 ? rng() % (n + 1)
                                        : std::min(n, (rng() % 4) * 254 + rng() % 3);
        at.push_back(c);
    }
    std::sort(at.begin(), at.end());
    return at;
}

Bytes stream_encode(const tavo::Kernel& k, const std::uint8_t* data, std::size_t n,
                    const std::vector<std::size_t>& at, std::uint32_t h) {
    tavo::StreamEncoder enc;
    Bytes out;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= at.size(); ++i) {
        const std::size_t to = i < at.size() ? at[i] : n;
        fuzz::GuardedBuffer piece(to - from, (h + i) % 64);
        if (to != from) std::memcpy(piece.data(), data + from, to - from);
        std::size_t room = 0;
        FUZZ_CHECK(tavo::StreamEncoder::encode_bound(to - from, static_cast<std::size_t>(-1),
                                                     &room), "encode_bound refused");
        fuzz::GuardedBuffer buf(room, (h >> 6) % 64);
        const std::size_t got = enc.encode(k, piece.data(), to - from, buf.data());
        FUZZ_CHECK(got <= room && enc.held() < tavo::kMaxBlockData,
                   "kernel %s: stream encode wrote %zu of %zu, holds %zu", k.name, got, room,
                   enc.held());
        out.insert(out.end(), buf.data(), buf.data() + got);
        from = to;
    }
    fuzz::GuardedBuffer last(tavo::StreamEncoder::kFinishBound, (h >> 12) % 64);
    const std::size_t got = enc.finish(last.data());
    out.insert(out.end(), last.data(), last.data() + got);
    return out;
}

struct Outcome {
    tavo::DecodeStatus status;
    std::size_t offset;
    Bytes bytes;
};

Outcome stream_decode(const tavo::Kernel& k, const std::uint8_t* data, std::size_t n,
                      const std::vector<std::size_t>& at, std::uint32_t h) {
    tavo::StreamDecoder dec;
    Bytes out;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= at.size(); ++i) {
        const std::size_t to = i < at.size() ? at[i] : n;
        fuzz::GuardedBuffer piece(to - from, (h + 3 * i) % 64);
        if (to != from) std::memcpy(piece.data(), data + from, to - from);
        std::size_t room = 0;
        FUZZ_CHECK(tavo::StreamDecoder::decode_bound(to - from, static_cast<std::size_t>(-1),
                                                     &room), "decode_bound refused");
        fuzz::GuardedBuffer buf(room, (h >> 18) % 64);
        const tavo::StreamDecodeResult r = dec.decode(k, piece.data(), to - from, buf.data());
        FUZZ_CHECK(r.length <= room, "kernel %s: stream decode wrote %zu of %zu", k.name,
                   r.length, room);
        out.insert(out.end(), buf.data(), buf.data() + r.length);
        if (r.status != tavo::DecodeStatus::ok)
            return {r.status, static_cast<std::size_t>(r.offset), out};
        from = to;
    }
    const tavo::StreamDecodeResult r = dec.finish();
    return {r.status, static_cast<std::size_t>(r.offset), out};
}

// The reference answer for data as one encoding; on an error, the decoding
// of the whole blocks before the block that holds the bad byte.
Outcome reference(const std::uint8_t* data, std::size_t n) {
    const fuzz::RefDecode r = fuzz::reference_decode(data, n);
    if (r.status == tavo::DecodeStatus::ok) return {r.status, 0, r.out};
    std::size_t p = 0;
    while (p < r.offset && data[p] != 0 && p + data[p] <= r.offset) p += data[p];
    return {r.status, r.offset, fuzz::reference_decode(data, p).out};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::kernels();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size == 0) return 0;
    std::mt19937 rng(input[0]);
    const std::uint8_t* data = input + 1;
    const std::size_t n = size - 1;
    const std::uint32_t h = fuzz::mix(data, n);

    const Bytes encoding = fuzz::reference_encode(data, n);
    const Outcome want = reference(data, n);
    std::size_t bound = 0;
    FUZZ_CHECK(tavo::max_encoded_length(n, static_cast<std::size_t>(-1), &bound) &&
                   bound == fuzz::bound(n), "max_encoded_length(%zu)", n);

    for (const tavo::Kernel* kernel : fuzz::kernels().list) {
        const tavo::Kernel& k = *kernel;
        const std::vector<std::size_t> data_cuts = cuts(rng, n);
        FUZZ_CHECK(stream_encode(k, data, n, data_cuts, h) == encoding,
                   "kernel %s: stream encoding differs, n=%zu, %zu cuts", k.name, n,
                   data_cuts.size());

        const Outcome round = stream_decode(k, encoding.data(), encoding.size(),
                                            cuts(rng, encoding.size()), h);
        FUZZ_CHECK(round.status == tavo::DecodeStatus::ok &&
                       round.bytes == Bytes(data, data + n),
                   "kernel %s: stream decode of an encoding gives %s", k.name,
                   fuzz::status_name(round.status));

        const Outcome got = stream_decode(k, data, n, cuts(rng, n), h);
        FUZZ_CHECK(got.status == want.status && got.offset == want.offset &&
                       got.bytes == want.bytes,
                   "kernel %s: stream decode gives %s at %zu (%zu bytes), reference %s at %zu "
                   "(%zu bytes)", k.name, fuzz::status_name(got.status), got.offset,
                   got.bytes.size(), fuzz::status_name(want.status), want.offset,
                   want.bytes.size());

        // Exact-size caller buffers.
        fuzz::GuardedBuffer in(n, h % 64);
        if (n != 0) std::memcpy(in.data(), data, n);
        fuzz::GuardedBuffer enc(bound, (h >> 6) % 64);
        const std::size_t m = k.encode(in.data(), n, enc.data());
        FUZZ_CHECK(m == encoding.size() && std::memcmp(enc.data(), encoding.data(), m) == 0,
                   "kernel %s: encoding into %zu bytes differs", k.name, bound);
        fuzz::GuardedBuffer dec(tavo::max_decoded_length(n), (h >> 12) % 64);
        const tavo::DecodeResult r = tavo::decode_exact(k, in.data(), n, dec.data());
        FUZZ_CHECK(r.status == want.status &&
                       (r.status == tavo::DecodeStatus::ok
                            ? r.length == want.bytes.size() &&
                                  (r.length == 0 ||
                                   std::memcmp(dec.data(), want.bytes.data(), r.length) == 0)
                            : r.length == want.offset),
                   "kernel %s: decode_exact into %zu bytes gives %s at %zu", k.name,
                   tavo::max_decoded_length(n), fuzz::status_name(r.status), r.length);
        fuzz::GuardedBuffer back(tavo::max_decoded_length(m), (h >> 18) % 64);
        const tavo::DecodeResult rb = tavo::decode_exact(k, enc.data(), m, back.data());
        FUZZ_CHECK(rb.status == tavo::DecodeStatus::ok && rb.length == n &&
                       (n == 0 || std::memcmp(back.data(), data, n) == 0),
                   "kernel %s: decode_exact of an encoding into %zu bytes", k.name,
                   tavo::max_decoded_length(m));
    }
    return 0;
}
