// The incremental codecs and decode_exact, with every kernel, against the
// scalar kernel's one-shot results, for every single cut of many inputs and
// for random multi-cuts. Every output buffer is a heap block of exactly the
// size the call documents, so AddressSanitizer sees a write past it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "kernels.hpp"
#include "stream.hpp"

namespace {

using tavo::DecodeStatus;
using tavo::Kernel;
using Bytes = std::vector<std::uint8_t>;

int g_failures = 0;
long g_checks = 0;

void fail(const char* kernel, const char* what, const Bytes& data,
          const std::vector<std::size_t>& cuts) {
    ++g_failures;
    if (g_failures > 10) return;
    std::printf("FAIL %s %s, %zu bytes cut at", kernel, what, data.size());
    for (std::size_t c : cuts) std::printf(" %zu", c);
    std::printf(":");
    for (std::size_t i = 0; i < data.size() && i < 48; ++i) std::printf(" %02x", data[i]);
    std::printf("%s\n", data.size() > 48 ? " ..." : "");
}

std::unique_ptr<std::uint8_t[]> exact(const std::uint8_t* data, std::size_t n) {
    std::unique_ptr<std::uint8_t[]> p(new std::uint8_t[n]);
    if (n != 0) std::memcpy(p.get(), data, n);
    return p;
}

struct OneShot {
    DecodeStatus status;
    std::size_t offset;  // of the bad byte
    Bytes bytes;         // the decoding, or the whole blocks before the bad one
};

Bytes scalar_encode(const Bytes& data) {
    std::size_t bound = 0;
    tavo::encoded_bound(data.size(), static_cast<std::size_t>(-1), &bound);
    Bytes out(bound);
    out.resize(tavo::encode_scalar(data.data(), data.size(), out.data()));
    return out;
}

OneShot scalar_decode(const Bytes& data) {
    Bytes out(tavo::decoded_capacity(data.size()));
    const tavo::DecodeResult r = tavo::decode_scalar(data.data(), data.size(), out.data());
    if (r.status == DecodeStatus::ok) {
        out.resize(r.length);
        return {r.status, 0, out};
    }
    // The good part: the whole blocks before the one that holds the bad byte.
    std::size_t p = 0;
    while (p < r.length && data[p] != 0 && p + data[p] <= r.length) p += data[p];
    Bytes before(tavo::decoded_capacity(p));
    before.resize(tavo::decode_scalar(data.data(), p, before.data()).length);
    return {r.status, r.length, before};
}

std::vector<Bytes> split(const Bytes& data, const std::vector<std::size_t>& cuts) {
    std::vector<Bytes> parts;
    std::size_t at = 0;
    for (std::size_t c : cuts) {
        parts.emplace_back(data.begin() + at, data.begin() + c);
        at = c;
    }
    parts.emplace_back(data.begin() + at, data.end());
    return parts;
}

Bytes stream_encode(const Kernel& k, tavo::StreamEncoder& enc, const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        std::size_t room = 0;
        if (!tavo::StreamEncoder::encode_bound(part.size(), static_cast<std::size_t>(-1), &room))
            std::abort();
        auto in = exact(part.data(), part.size());
        std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[room]);
        const std::size_t n = enc.encode(k, in.get(), part.size(), buf.get());
        if (n > room || enc.held() >= tavo::kMaxBlockData) std::abort();
        out.insert(out.end(), buf.get(), buf.get() + n);
    }
    std::unique_ptr<std::uint8_t[]> last(new std::uint8_t[tavo::StreamEncoder::kFinishBound]);
    const std::size_t n = enc.finish(last.get());
    out.insert(out.end(), last.get(), last.get() + n);
    return out;
}

OneShot stream_decode(const Kernel& k, tavo::StreamDecoder& dec, const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        std::size_t room = 0;
        if (!tavo::StreamDecoder::decode_bound(part.size(), static_cast<std::size_t>(-1), &room))
            std::abort();
        auto in = exact(part.data(), part.size());
        std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[room]);
        const tavo::StreamDecodeResult r = dec.decode(k, in.get(), part.size(), buf.get());
        if (r.length > room) std::abort();
        out.insert(out.end(), buf.get(), buf.get() + r.length);
        if (r.status != DecodeStatus::ok) return {r.status, static_cast<std::size_t>(r.offset), out};
    }
    const tavo::StreamDecodeResult r = dec.finish();
    return {r.status, static_cast<std::size_t>(r.offset), out};
}

bool same(const OneShot& a, const OneShot& b) {
    return a.status == b.status && a.offset == b.offset && a.bytes == b.bytes;
}

void check_encode(const Kernel& k, const Bytes& data, const std::vector<std::size_t>& cuts,
                  const Bytes& want) {
    ++g_checks;
    tavo::StreamEncoder enc;
    if (stream_encode(k, enc, split(data, cuts)) != want) fail(k.name, "stream encode", data, cuts);
    // The same object, after finish, encodes the next message from scratch.
    if (stream_encode(k, enc, split(data, cuts)) != want) fail(k.name, "encode reuse", data, cuts);
}

void check_decode(const Kernel& k, const Bytes& data, const std::vector<std::size_t>& cuts,
                  const OneShot& want) {
    ++g_checks;
    tavo::StreamDecoder dec;
    if (!same(stream_decode(k, dec, split(data, cuts)), want))
        fail(k.name, "stream decode", data, cuts);
    if (want.status == DecodeStatus::ok) {
        if (!same(stream_decode(k, dec, split(data, cuts)), want))
            fail(k.name, "decode reuse", data, cuts);
    } else if (dec.finish().status != want.status) {
        fail(k.name, "error not sticky", data, cuts);
    }
}

void check_exact(const Kernel& k, const Bytes& data, const OneShot& want) {
    ++g_checks;
    const std::size_t room = tavo::max_decoded_length(data.size());
    auto in = exact(data.data(), data.size());
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[room]);
    const tavo::DecodeResult r = tavo::decode_exact(k, in.get(), data.size(), out.get());
    const bool ok = r.status == want.status &&
                    (r.status == DecodeStatus::ok
                         ? Bytes(out.get(), out.get() + r.length) == want.bytes
                         : r.length == want.offset);
    if (!ok) fail(k.name, "decode_exact", data, {});
}

Bytes random_bytes(std::mt19937& rng, std::size_t n, double zeros) {
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    std::uniform_int_distribution<int> byte(1, 255);
    Bytes out(n);
    for (auto& b : out) b = coin(rng) < zeros ? 0 : static_cast<std::uint8_t>(byte(rng));
    return out;
}

std::vector<Bytes> inputs(std::mt19937& rng) {
    std::vector<Bytes> all = {{}, {0}, {0, 0}, {1}, {1, 0}, {0, 1}, {'a', 'b', 0, 'c', 'd'}};
    for (std::size_t n : {1, 15, 16, 17, 252, 253, 254, 255, 256, 507, 508, 509}) {
        Bytes body = random_bytes(rng, n, 0.0);
        all.push_back(body);
        Bytes z = body;
        z.push_back(0);
        all.push_back(z);
        z.insert(z.begin(), 0);
        all.push_back(z);
    }
    for (double zeros : {0.004, 0.1, 0.5, 1.0}) all.push_back(random_bytes(rng, 700, zeros));
    return all;
}

void damage(std::mt19937& rng, Bytes& raw) {
    if (raw.empty()) return;
    static const std::uint8_t values[] = {0, 1, 2, 254, 255};
    raw[rng() % raw.size()] = values[rng() % 5];
    if (rng() % 3 == 0) raw.resize(rng() % (raw.size() + 1));
}

}  // namespace

int main() {
    std::size_t count = 0;
    const Kernel* kernels = tavo::available_kernels(&count);
    std::mt19937 rng(77);
    const std::vector<Bytes> all = inputs(rng);
    for (std::size_t ki = 0; ki < count; ++ki) {
        const Kernel& k = kernels[ki];
        for (const Bytes& data : all) {
            const Bytes encoded = scalar_encode(data);
            Bytes damaged = encoded;
            damage(rng, damaged);
            const OneShot good = scalar_decode(encoded), bad = scalar_decode(damaged);
            for (std::size_t c = 0; c <= data.size(); ++c) check_encode(k, data, {c}, encoded);
            for (std::size_t c = 0; c <= encoded.size(); ++c) check_decode(k, encoded, {c}, good);
            for (std::size_t c = 0; c <= damaged.size(); ++c) check_decode(k, damaged, {c}, bad);
            check_exact(k, encoded, good);
            check_exact(k, damaged, bad);
            for (int round = 0; round < 20; ++round) {
                std::vector<std::size_t> cuts;
                const std::size_t m = encoded.size();
                for (int i = rng() % 6; i > 0; --i) cuts.push_back(rng() % (m + 1));
                std::sort(cuts.begin(), cuts.end());
                check_decode(k, encoded, cuts, good);
                std::vector<std::size_t> data_cuts;
                for (std::size_t c : cuts) data_cuts.push_back(c * data.size() / (m ? m : 1));
                check_encode(k, data, data_cuts, encoded);
                for (auto& c : cuts) c = c * damaged.size() / (m ? m : 1);
                check_decode(k, damaged, cuts, bad);
            }
        }
        for (std::size_t n = 0; n < 3; ++n) {
            const Bytes tiny(n, static_cast<std::uint8_t>(n));  // 01.., 02 02: n <= 1 is by hand
            check_exact(k, tiny, scalar_decode(tiny));
        }
    }
    std::printf("%ld checks over %zu kernels, %d failures\n", g_checks, count, g_failures);
    return g_failures == 0 ? 0 : 1;
}
