// Every kernel against the scalar reference, on buffers of exactly the
// documented sizes (so AddressSanitizer sees any read past the input or any
// write past encoded_bound / decoded_capacity). Exits non-zero on the first
// disagreement, after printing it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "kernels.hpp"

namespace {

using tavo::DecodeResult;
using tavo::DecodeStatus;
using tavo::Kernel;
using Bytes = std::vector<std::uint8_t>;

int g_failures = 0;
long g_checks = 0;

void fail(const char* kernel, const char* what, const Bytes& data) {
    if (++g_failures > 10) return;
    std::printf("FAIL %s %s, input of %zu bytes:", kernel, what, data.size());
    for (std::size_t i = 0; i < data.size() && i < 64; ++i) std::printf(" %02x", data[i]);
    std::printf("%s\n", data.size() > 64 ? " ..." : "");
}

// A heap copy of exactly data.size() bytes, so a read past it is caught.
std::unique_ptr<std::uint8_t[]> exact(const Bytes& data) {
    std::unique_ptr<std::uint8_t[]> p(new std::uint8_t[data.size()]);
    if (!data.empty()) std::memcpy(p.get(), data.data(), data.size());
    return p;
}

Bytes run_encode(const Kernel& k, const Bytes& data) {
    std::size_t bound = 0;
    if (!tavo::encoded_bound(data.size(), static_cast<std::size_t>(-1), &bound)) std::abort();
    auto in = exact(data);
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[bound]);
    const std::size_t len = k.encode(in.get(), data.size(), out.get());
    if (len > bound) std::abort();
    return Bytes(out.get(), out.get() + len);
}

struct Decoded {
    DecodeStatus status;
    std::size_t length;  // bytes written, or the offset of the offending byte
    Bytes bytes;
    bool operator==(const Decoded& o) const {
        return status == o.status && length == o.length &&
               (status != DecodeStatus::ok || bytes == o.bytes);
    }
};

Decoded run_decode(const Kernel& k, const Bytes& data) {
    const std::size_t cap = tavo::decoded_capacity(data.size());
    auto in = exact(data);
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[cap]);
    const DecodeResult r = k.decode(in.get(), data.size(), out.get());
    Decoded d{r.status, r.length, {}};
    if (r.status == DecodeStatus::ok) {
        if (r.length > cap) std::abort();
        d.bytes.assign(out.get(), out.get() + r.length);
    }
    return d;
}

void check_decode(const Kernel* all, std::size_t count, const Bytes& encoded) {
    const Decoded want = run_decode(all[0], encoded);
    for (std::size_t i = 1; i < count; ++i) {
        ++g_checks;
        if (!(run_decode(all[i], encoded) == want)) fail(all[i].name, "decode", encoded);
    }
}

// Encodes with every kernel, then decodes the encoding with every kernel.
void check(const Kernel* all, std::size_t count, const Bytes& data) {
    const Bytes want = run_encode(all[0], data);
    for (std::size_t i = 1; i < count; ++i) {
        ++g_checks;
        if (run_encode(all[i], data) != want) fail(all[i].name, "encode", data);
    }
    check_decode(all, count, want);
    const Decoded back = run_decode(all[0], want);
    if (back.status != DecodeStatus::ok || back.bytes != data) fail("scalar", "round trip", data);
}

// Fixed encodings, checked for every kernel the reference included: on a CPU
// where the reference runs alone (big-endian ones) agreement says nothing.
void check_known_answers(const Kernel* all, std::size_t count) {
    struct Case {
        Bytes data, encoded;
    };
    Bytes run253(253, 0x5A), run254(254, 0xA5), run255(255, 0x11);
    Bytes enc253{0xFE}, enc254{0xFF}, enc255{0xFF};
    enc253.insert(enc253.end(), run253.begin(), run253.end());
    enc254.insert(enc254.end(), run254.begin(), run254.end());
    enc255.insert(enc255.end(), run255.begin(), run255.end() - 1);
    enc255.push_back(0x02);
    enc255.push_back(0x11);
    Bytes then_zero = run254, enc_then_zero = enc254;
    then_zero.push_back(0);
    enc_then_zero.push_back(0x01);
    enc_then_zero.push_back(0x01);
    const Case cases[] = {
        {{}, {0x01}},
        {{0x00}, {0x01, 0x01}},
        {{0x00, 0x00}, {0x01, 0x01, 0x01}},
        {{0x61}, {0x02, 0x61}},
        {{0x61, 0x00}, {0x02, 0x61, 0x01}},
        {{0x00, 0x61}, {0x01, 0x02, 0x61}},
        {{0x61, 0x62, 0x00, 0x63, 0x64}, {0x03, 0x61, 0x62, 0x03, 0x63, 0x64}},
        {run253, enc253},
        {run254, enc254},
        {run255, enc255},
        {then_zero, enc_then_zero},
    };
    for (const Case& c : cases) {
        for (std::size_t i = 0; i < count; ++i) {
            ++g_checks;
            if (run_encode(all[i], c.data) != c.encoded) fail(all[i].name, "known encoding", c.data);
            const Decoded back = run_decode(all[i], c.encoded);
            if (back.status != DecodeStatus::ok || back.bytes != c.data)
                fail(all[i].name, "known decoding", c.encoded);
        }
    }
    // Each error at its offset: a zero code, a zero inside a block, a block
    // longer than the input.
    const struct {
        Bytes encoded;
        DecodeStatus status;
        std::size_t offset;
    } bad[] = {
        {{0x02, 0x61, 0x00}, DecodeStatus::zero_byte, 2},
        {{0x03, 0x61, 0x00, 0x62}, DecodeStatus::zero_byte, 2},
        {{0x05, 0x61}, DecodeStatus::short_input, 0},
        {{0x02, 0x61, 0x04, 0x62}, DecodeStatus::short_input, 2},
    };
    for (const auto& b : bad) {
        for (std::size_t i = 0; i < count; ++i) {
            ++g_checks;
            const Decoded got = run_decode(all[i], b.encoded);
            if (got.status != b.status || got.length != b.offset)
                fail(all[i].name, "known error", b.encoded);
        }
    }
}

Bytes pattern(std::size_t n, std::mt19937& rng, int kind) {
    Bytes d(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t nz = static_cast<std::uint8_t>(rng() % 255 + 1);
        switch (kind) {
            case 0: d[i] = 0; break;
            case 1: d[i] = nz; break;
            case 2: d[i] = (i % 2) ? 0 : nz; break;
            case 3: d[i] = (rng() % 8 == 0) ? 0 : nz; break;
            case 4: d[i] = static_cast<std::uint8_t>(rng()); break;
            case 5: d[i] = (i % 16 == 15 || i % 32 == 16) ? 0 : nz; break;  // lane edges
            default: d[i] = (i % 254 == 253) ? 0 : nz; break;               // block edges
        }
    }
    return d;
}

// 64-byte chunks and windows: the avx512 kernel encodes a chunk at a time
// and decodes runs of short blocks a window at a time, with a masked last
// piece of up to 64 bytes.
void check_wide_windows(const Kernel* all, std::size_t count, std::mt19937& rng) {
    auto nonzero = [&rng] { return static_cast<std::uint8_t>(rng() % 255 + 1); };
    // Dense zeros (every byte, every 2nd, every 3rd, about 1 in 8) after a
    // zero-free lead of every length to 64, so each pattern meets the chunk
    // and window edges at every alignment; lengths end at every tail size.
    for (unsigned period : {1u, 2u, 3u, 8u}) {
        for (std::size_t lead = 0; lead <= 64; ++lead) {
            Bytes d(lead);
            for (auto& b : d) b = nonzero();
            const std::size_t n = 130 + (lead * 7) % 70;
            for (std::size_t i = 0; i < n; ++i) {
                const bool zero = period == 8 ? rng() % 8 == 0 : i % period == 0;
                d.push_back(zero ? 0 : nonzero());
            }
            check(all, count, d);
        }
    }
    // Maximal blocks of every phase against the chunks, between dense
    // runs, and runs of 253..256 zero-free bytes ending at each chunk lane.
    for (std::size_t lead = 0; lead < 70; ++lead) {
        for (std::size_t run : {253u, 254u, 255u, 508u, 509u}) {
            Bytes d;
            for (std::size_t i = 0; i < lead; ++i) d.push_back(i % 2 ? 0 : nonzero());
            for (std::size_t i = 0; i < run; ++i) d.push_back(nonzero());
            for (std::size_t i = 0; i < 70; ++i) d.push_back(i % 3 ? nonzero() : 0);
            check(all, count, d);
        }
    }
    // Short blocks whose chain leaves a window from every lane: blocks of
    // 1..40 bytes in a rotating order, then each encoding damaged around the
    // window edges (lanes 60..70 and 124..132 after the first code) and in
    // its last 70 bytes: a zero, codes that end their block just short of,
    // at and past the next window or the input's end, and a maximal code.
    for (std::size_t start = 1; start <= 40; ++start) {
        Bytes d;
        for (std::size_t b = 0; d.size() < 300; ++b) {
            const std::size_t len = (start + b * 7) % 40;
            for (std::size_t i = 0; i < len; ++i) d.push_back(nonzero());
            d.push_back(0);
        }
        check(all, count, d);
        const Bytes enc = run_encode(all[0], d);
        std::vector<std::size_t> spots;
        for (std::size_t at = 60; at <= 70; ++at) spots.push_back(at);
        for (std::size_t at = 124; at <= 132; ++at) spots.push_back(at);
        for (std::size_t at = enc.size() > 70 ? enc.size() - 70 : 0; at < enc.size(); ++at)
            spots.push_back(at);
        for (std::size_t at : spots) {
            if (at >= enc.size()) continue;
            const std::size_t to_window = 64 - (at - 1) % 64, to_end = enc.size() - at;
            for (std::size_t v : {std::size_t{0}, to_window - 1, to_window, to_window + 1, to_end,
                                  to_end + 1, std::size_t{255}}) {
                Bytes bad = enc;
                bad[at] = static_cast<std::uint8_t>(v);
                check_decode(all, count, bad);
            }
        }
    }
    // Runs of 01 codes and of alternating 02 codes (matched a window at a
    // time), broken at every position of a 200-byte stretch by a longer
    // block or a zero.
    for (int kind = 0; kind < 2; ++kind) {
        Bytes enc;
        for (std::size_t i = 0; i < 260; ++i)
            enc.push_back(kind == 0 ? 1 : (i % 2 == 0 ? 2 : nonzero()));
        check_decode(all, count, enc);
        for (std::size_t at = 0; at < 200; ++at) {
            for (std::uint8_t v : {0, 3, 66}) {
                Bytes bad = enc;
                bad[at] = v;
                check_decode(all, count, bad);
            }
        }
    }
}

// Decodes enc with every kernel, then again with enc[at] set to each of:
// zero, a code whose block ends just short of, at or just past the next
// 64-byte (wide window) or 32-byte (avx2 window) edge after it, a code
// that ends the block at or past the end, and a maximal code.
void check_damaged_at(const Kernel* all, std::size_t count, const Bytes& enc, std::size_t at) {
    if (at >= enc.size()) return;
    const std::size_t to32 = 32 - (at - 1) % 32, to64 = 64 - (at - 1) % 64, to_end = enc.size() - at;
    for (std::size_t v : {std::size_t{0}, to32 - 1, to32, to32 + 1, to32 + 16, to64 - 1, to64,
                          to64 + 1, to_end, to_end + 1, std::size_t{255}}) {
        Bytes bad = enc;
        bad[at] = static_cast<std::uint8_t>(v);
        check_decode(all, count, bad);
    }
}

// Window loops at the limits of their fixed rounds: 64-byte stretches of
// input with from 3 to 64 zeros (the avx512 loop follows a chain of up to
// 15 hops in four rounds, more in six, and after a window of many blocks
// starts with six), next to one another in every order and alignment; and
// short blocks around blocks longer than a 16-byte half or a whole 32-byte
// window, which the avx2 loop copies on, and longer than its 64-lane reach
// and maximal ones, where it stops. Each encoding is damaged at window edges,
// inside and just after the long blocks and in its last bytes.
void check_window_limits(const Kernel* all, std::size_t count, std::mt19937& rng) {
    auto nonzero = [&rng] { return static_cast<std::uint8_t>(rng() % 255 + 1); };
    const unsigned zeros[] = {8, 14, 15, 16, 17, 8, 13, 20, 3, 16, 15, 64, 16, 32, 15, 8};
    for (std::size_t lead = 0; lead < 64; lead += 3) {
        Bytes d(lead);
        for (auto& b : d) b = nonzero();
        for (std::size_t i = 0; i < 16; ++i) {
            std::vector<std::uint8_t> stretch(64);
            for (auto& b : stretch) b = nonzero();
            for (unsigned z = 0; z < zeros[(i + lead) % 16]; ++z) stretch[z] = 0;
            std::shuffle(stretch.begin(), stretch.end(), rng);
            d.insert(d.end(), stretch.begin(), stretch.end());
        }
        d.resize(d.size() - lead % 7);
        check(all, count, d);
        const Bytes enc = run_encode(all[0], d);
        for (std::size_t at = 1 + lead % 5; at < enc.size(); at += 23) check_damaged_at(all, count, enc, at);
        for (std::size_t at = enc.size() > 40 ? enc.size() - 40 : 0; at < enc.size(); ++at)
            check_damaged_at(all, count, enc, at);
    }
    for (std::size_t lead = 0; lead < 40; ++lead) {
        for (std::size_t len : {15u, 16u, 17u, 31u, 32u, 33u, 47u, 48u, 49u, 63u, 64u, 65u, 80u,
                                140u, 254u, 300u}) {
            Bytes d(lead);
            for (auto& b : d) b = nonzero();
            d.push_back(0);
            std::vector<std::size_t> long_at;  // where each long block's data start
            for (int round = 0; round < 3; ++round) {
                for (int b = 0; b < 6; ++b) {
                    for (std::size_t i = rng() % 4; i > 0; --i) d.push_back(nonzero());
                    d.push_back(0);
                }
                long_at.push_back(d.size());
                for (std::size_t i = 0; i < len + static_cast<std::size_t>(round); ++i)
                    d.push_back(nonzero());
                d.push_back(0);
            }
            for (int b = 0; b < 12; ++b) {
                d.push_back(nonzero());
                d.push_back(0);
            }
            check(all, count, d);
            const Bytes enc = run_encode(all[0], d);
            // Encoded offsets drift from the input's by the code bytes of
            // maximal blocks only, one in 254; the spots need not be exact.
            for (std::size_t start : long_at) {
                for (std::size_t at : {start, start + 1, start + len / 2, start + len - 1, start + len,
                                       start + len + 1, start + len + 2})
                    check_damaged_at(all, count, enc, at);
            }
            for (std::size_t at = enc.size() > 34 ? enc.size() - 34 : 0; at < enc.size(); ++at)
                check_damaged_at(all, count, enc, at);
        }
    }
    // A run of alternating bytes and zeros (windows of 02 codes) after
    // short random blocks, ending at every lane of a window in a block of
    // no data byte (an 01 code), of 2, 3 or 40 bytes, a maximal one, or the
    // end of the message, whose code is then the last code of such a window.
    for (std::size_t lead = 40; lead < 104; ++lead) {
        for (std::size_t next : {0u, 2u, 3u, 40u, 300u, 9999u}) {
            Bytes d;
            while (d.size() < lead) d.push_back(rng() % 8 == 0 ? 0 : nonzero());
            for (std::size_t i = 0; i < 200; ++i) d.push_back(i % 2 ? 0 : nonzero());
            if (next != 9999) {
                for (std::size_t i = 0; i < next; ++i) d.push_back(nonzero());
                d.push_back(0);
                for (std::size_t i = 0; i < 100; ++i) d.push_back(rng() % 8 == 0 ? 0 : nonzero());
            }
            check(all, count, d);
            if (lead % 8 == 0) {
                const Bytes enc = run_encode(all[0], d);
                for (std::size_t at = lead + 190; at < lead + 206; ++at) check_damaged_at(all, count, enc, at);
            }
        }
    }
}

// Encoding of runs of 64-byte chunks that each hold zeros, where the avx512
// encoder stores each chunk only once the next chunk's first zero is known:
// runs of every length from one chunk, starting after any chunk and ending
// before a chunk with no zero, with one or two zeros only, or at the end of
// the input at every distance from a chunk's edge; first and last zeros on
// the chunk's first and last lanes; runs entered while the open block is
// near maximal, after leads of every length around 190 and 254; and runs
// of over 2 KiB, which begin with a partial step to a 64-byte edge of the
// output, from leads that leave it at different distances from that edge.
void check_dense_runs(const Kernel* all, std::size_t count, std::mt19937& rng) {
    auto nonzero = [&rng] { return static_cast<std::uint8_t>(rng() % 255 + 1); };
    auto chunk = [&](int kind) {
        Bytes c(64);
        for (auto& b : c) b = nonzero();
        switch (kind) {
            case 0: break;                                      // no zero
            case 1: c[rng() % 64] = 0; break;                   // one
            case 2: c[rng() % 32] = 0; c[32 + rng() % 32] = 0; break;
            case 3: c[0] = 0; c[1 + rng() % 62] = 0; c[63] = 0; break;
            case 4: std::fill(c.begin(), c.end(), 0); break;
            case 5: c[63] = 0; c[62] = 0; c[rng() % 62] = 0; break;  // late zeros
            case 6: c[0] = 0; c[1] = 0; c[2] = 0; break;             // early zeros
            default:
                for (auto& b : c)
                    if (rng() % 8 == 0) b = 0;
                c[rng() % 64] = 0;
                c[rng() % 64] = 0;
                c[rng() % 64] = 0;
        }
        return c;
    };
    for (std::size_t lead : {0u, 1u, 63u, 64u, 189u, 190u, 191u, 192u, 250u, 253u, 254u, 255u}) {
        for (int round = 0; round < 60; ++round) {
            Bytes d(lead);
            for (auto& b : d) b = nonzero();
            const bool long_run = round % 6 == 1;
            const std::size_t chunks = long_run ? 33 + rng() % 4 : 1 + rng() % 7;
            for (std::size_t i = 0; i < chunks; ++i) {
                const Bytes c = chunk(static_cast<int>(long_run ? 2 + rng() % 6 : rng() % 8));
                d.insert(d.end(), c.begin(), c.end());
            }
            // Cut inside the last chunks, or add a tail of up to two more.
            const std::size_t tail = rng() % 192;
            if (round % 3 == 0 && tail < d.size() - lead) {
                d.resize(d.size() - tail);
            } else {
                for (std::size_t i = 0; i < tail; ++i) d.push_back(rng() % 4 ? nonzero() : 0);
            }
            check(all, count, d);
        }
    }
}

// Messages of up to 40 bytes, whose last 17 encoded bytes or fewer (the
// whole encoding up to 16 bytes of message) are decoded in one piece: made
// of pieces that end such a tail early (zero-free stretches, runs of zeros,
// alternating bytes and zeros) in every mix and length, each encoding then
// damaged at every byte: a zero, a 01 or 02 code, and codes that end the
// block just short of, at and just past the end.
void check_short_messages(const Kernel* all, std::size_t count, std::mt19937& rng) {
    for (std::size_t n = 0; n <= 40; ++n) {
        for (int round = 0; round < 120; ++round) {
            Bytes d;
            while (d.size() < n) {
                const std::size_t piece = 1 + rng() % 12;
                const unsigned kind = rng() % 4;
                for (std::size_t i = 0; i < piece && d.size() < n; ++i) {
                    const std::uint8_t nz = static_cast<std::uint8_t>(rng() % 255 + 1);
                    d.push_back(kind == 0 ? nz : kind == 1 ? 0 : kind == 2 ? (i % 2 ? 0 : nz)
                                                                         : (i % 2 ? nz : 0));
                }
            }
            check(all, count, d);
            const Bytes enc = run_encode(all[0], d);
            for (std::size_t at = 0; at < enc.size(); ++at) {
                const std::size_t to_end = enc.size() - at;
                for (std::size_t v : {std::size_t{0}, std::size_t{1}, std::size_t{2}, to_end - 1,
                                      to_end, to_end + 1}) {
                    Bytes bad = enc;
                    bad[at] = static_cast<std::uint8_t>(v);
                    check_decode(all, count, bad);
                }
            }
        }
    }
}

// Blocks copied far from the input's end, where a kernel may copy a block
// as one chunk or as two 128-byte halves, reading and writing past it:
// blocks of every length from 0 to 254 in runs of 9, rising and falling
// (so each length meets its neighbours' copies), with more than 254 input
// bytes after each. Each encoding is damaged where such a copy reads: in
// the block's own first, middle and last bytes, at the next code, and at
// distances after the block's end around the chunk sizes and the halves,
// four of those spots for each block in turn. (A smaller test than every
// spot of every block: on 32-bit x86, AddressSanitizer's quarantine, kept
// per allocation size, runs out of address space.) Then messages whose
// first block is followed by 240..270 bytes, about the distance from the
// end where that copy stops. Then short blocks alone and in pairs between
// long and maximal ones, where a kernel may stay in its long-block loop
// for one short block and store the zero after a maximal block for the
// next block to write over; damaged there too.
void check_far_blocks(const Kernel* all, std::size_t count, std::mt19937& rng) {
    auto nonzero = [&](Bytes& d, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) d.push_back(static_cast<std::uint8_t>(rng() % 255 + 1));
    };
    std::size_t turn = 0;
    for (int falling = 0; falling < 2; ++falling) {
        for (std::size_t first = 0; first <= 254; first += 9) {
            Bytes d;
            for (std::size_t i = first; i < first + 9 && i <= 254; ++i) {
                nonzero(d, falling ? 254 - i : i);
                d.push_back(0);
            }
            nonzero(d, 300);
            check(all, count, d);
            const Bytes enc = run_encode(all[0], d);
            for (std::size_t c = 0; c < enc.size() && enc[c] != 0; c += enc[c]) {
                const std::size_t k = enc[c] - 1u;
                const std::size_t spots[] = {1,      1 + k / 2, k,       k + 1,   k + 2,
                                             k + 17, k + 33,    k + 65,  k + 128, k + 129,
                                             k + 130, k + 200,  192,     255,     256};
                for (std::size_t j = 0; j < 4; ++j) {
                    const std::size_t at = spots[(turn++) % 15];
                    if (c + at >= enc.size()) continue;
                    Bytes bad = enc;
                    bad[c + at] = 0;
                    check_decode(all, count, bad);
                }
            }
        }
    }
    for (std::size_t lead : {0u, 1u, 16u, 17u, 33u, 100u, 129u, 200u, 253u, 254u}) {
        for (std::size_t rest = 240; rest <= 270; ++rest) {
            Bytes d;
            nonzero(d, lead);
            d.push_back(0);
            nonzero(d, rest);
            check(all, count, d);
        }
    }
    // Long (l), maximal (m) and short (s, 0..40 data bytes) blocks.
    for (const char* order : {"lslsl", "mslsm", "mssl", "lssl", "msssm", "mmsm", "lsmsl"}) {
        for (std::size_t small = 0; small <= 40; small += 3) {
            Bytes d;
            for (const char* b = order; *b; ++b) {
                if (*b == 'm') {
                    nonzero(d, 254 + rng() % 3 * 254);  // the block after it may be empty
                } else {
                    nonzero(d, *b == 's' ? small : 64 + rng() % 191);
                    d.push_back(0);
                }
            }
            nonzero(d, 300);
            check(all, count, d);
            const Bytes enc = run_encode(all[0], d);
            for (std::size_t c = 0; c < enc.size() && enc[c] != 0; c += enc[c]) {
                for (std::size_t at : {std::size_t{0}, std::size_t{enc[c]}, std::size_t{255}}) {
                    if (c + at >= enc.size()) continue;
                    Bytes bad = enc;
                    bad[c + at] = static_cast<std::uint8_t>(turn++ % 2 ? 0 : 0xFF);
                    check_decode(all, count, bad);
                }
            }
        }
    }
}

// Messages long enough for an encoder's prefetching loop, which hands over
// to the plain chunk loop a kilobyte before the end: every kind at sizes
// around where that loop starts, and random bytes with a dense run, a
// maximal block or a lone zero placed across the hand-over.
void check_long_messages(const Kernel* all, std::size_t count, std::mt19937& rng) {
    for (std::size_t n : {32767u, 32768u, 32769u, 40000u, 70001u})
        for (int kind = 0; kind < 7; ++kind) check(all, count, pattern(n, rng, kind));
    for (std::size_t n : {32768u, 33000u, 50000u}) {
        for (std::size_t back = 1000; back <= 1160; back += 8) {
            Bytes d = pattern(n, rng, 4);
            const std::size_t at = n - back;
            switch (back % 3) {
                case 0: std::fill(d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(at + 300), 0); break;
                case 1: {
                    const Bytes run = pattern(600, rng, 1);
                    std::copy(run.begin(), run.end(), d.begin() + static_cast<long>(at - 300));
                    break;
                }
                default: d[at] = 0; break;
            }
            check(all, count, d);
        }
    }
}

// Messages of 128 KiB and more, as runs of several kinds: the avx512
// encoder lists a 4 KiB segment's zeros before it writes the blocks, moves
// to its chunk loop for zero-free and dense data and back, and carries the
// zeros and the open block from one segment to the next.
void check_segmented_messages(const Kernel* all, std::size_t count, std::mt19937& rng) {
    auto nonzero = [&rng] { return static_cast<std::uint8_t>(rng() % 255 + 1); };
    auto run = [&](int kind, std::size_t len) {
        Bytes d(len);
        for (std::size_t i = 0; i < len; ++i) {
            switch (kind) {
                case 0: d[i] = static_cast<std::uint8_t>(rng()); break;  // random
                case 1: d[i] = nonzero(); break;                          // zero-free
                case 2: d[i] = rng() % 8 == 0 ? 0 : nonzero(); break;     // dense
                case 3: d[i] = 0; break;
                case 4: d[i] = rng() % 450 == 0 ? 0 : nonzero(); break;  // gaps of 254 and more
                case 5: d[i] = (rng() % 200 == 0 || (i > 0 && d[i - 1] == 0 && rng() % 2)) ? 0 : nonzero(); break;  // pairs
                default: d[i] = (i % 254 == 253) ? 0 : nonzero(); break;  // blocks of 253 bytes
            }
        }
        return d;
    };
    for (std::size_t n : {131071u, 131072u, 131073u, 200003u})
        check(all, count, run(0, n));
    check(all, count, run(4, 140000));
    check(all, count, run(5, 140000));
    for (int round = 0; round < 30; ++round) {
        Bytes d;
        const std::size_t n = 131072 + rng() % 100000;
        while (d.size() < n) {
            const Bytes part = run(static_cast<int>(rng() % 7), 1 + rng() % 12000);
            d.insert(d.end(), part.begin(), part.end());
        }
        check(all, count, d);
    }
}

}  // namespace

int main() {
    std::size_t count = 0;
    const Kernel* all = tavo::available_kernels(&count);
    if (count == 0 || std::strcmp(all[0].name, "scalar") != 0) {
        std::printf("FAIL the reference kernel must come first\n");
        return 1;
    }
    if (std::strcmp(tavo::best_kernel().name, all[count - 1].name) != 0) {
        std::printf("FAIL best_kernel is not the last available kernel\n");
        return 1;
    }
    std::printf("kernels:");
    for (std::size_t i = 0; i < count; ++i) std::printf(" %s", all[i].name);
    std::printf("\n");
    std::mt19937 rng(20240601);
    check_known_answers(all, count);
    check_long_messages(all, count, rng);
    check_segmented_messages(all, count, rng);

    // Every length up to 300 for each pattern: every tail within a vector.
    for (int kind = 0; kind < 7; ++kind)
        for (std::size_t n = 0; n <= 300; ++n) check(all, count, pattern(n, rng, kind));

    // A single zero at every position around block and lane edges.
    for (std::size_t n : {253u, 254u, 255u, 256u, 508u, 509u, 540u}) {
        Bytes base = pattern(n, rng, 1);
        check(all, count, base);
        for (std::size_t at = 0; at < n; ++at) {
            Bytes d = base;
            d[at] = 0;
            check(all, count, d);
        }
    }

    // Long and mixed inputs.
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = rng() % 3000;
        check(all, count, pattern(n, rng, static_cast<int>(rng() % 7)));
    }

    // Damaged encodings: each byte zeroed or given another code, truncated
    // at every length, and arbitrary bytes.
    for (int kind = 0; kind < 7; ++kind) {
        const Bytes enc = run_encode(all[0], pattern(90 + kind * 40, rng, kind));
        for (std::size_t at = 0; at < enc.size(); ++at) {
            for (std::uint8_t v : {0, 1, 2, 16, 17, 32, 200, 255}) {
                Bytes bad = enc;
                bad[at] = v;
                check_decode(all, count, bad);
            }
            check_decode(all, count, Bytes(enc.begin(), enc.begin() + static_cast<long>(at)));
        }
    }
    for (int round = 0; round < 20000; ++round) {
        Bytes d(rng() % 70);
        const unsigned top = (round % 3 == 0) ? 256 : (round % 3 == 1 ? 20 : 4);
        for (auto& b : d) b = static_cast<std::uint8_t>(rng() % top);
        check_decode(all, count, d);
    }

    // Every pattern of zero lanes in an 8-byte chunk, at each distance from
    // the point where the open block must close as a maximal block.
    for (unsigned mask = 0; mask < 256; ++mask) {
        for (std::size_t lead : {0u, 3u, 240u, 245u, 246u, 247u, 250u, 253u, 254u}) {
            Bytes d = pattern(lead, rng, 1);
            for (unsigned i = 0; i < 8; ++i)
                d.push_back((mask >> i) & 1 ? 0 : static_cast<std::uint8_t>(rng() % 255 + 1));
            const Bytes tail = pattern(rng() % 12, rng, 3);
            d.insert(d.end(), tail.begin(), tail.end());
            check(all, count, d);
        }
    }

    // Streaks of tiny blocks (which switch decoders to their window loop)
    // broken by blocks of every length around the window sizes, then cut at
    // every length and damaged at every position.
    for (std::size_t len = 1; len <= 40; ++len) {
        for (std::size_t run : {2u, 3u, 5u, 17u, 40u}) {
            Bytes d;
            for (std::size_t i = 0; i < run; ++i) {
                d.push_back(static_cast<std::uint8_t>(i % 3 ? 0x41 : 0));
                d.push_back(0);
            }
            Bytes mid = pattern(len, rng, 1);
            d.insert(d.end(), mid.begin(), mid.end());
            for (std::size_t i = 0; i < run; ++i) {
                d.push_back(0x42);
                d.push_back(0);
            }
            mid = pattern(len % 3 ? 300 : len, rng, 1);  // maximal blocks too
            d.insert(d.end(), mid.begin(), mid.end());
            check(all, count, d);
            const Bytes enc = run_encode(all[0], d);
            for (std::size_t cut = 0; cut < enc.size(); cut += (len % 4) + 1)
                check_decode(all, count, Bytes(enc.begin(), enc.begin() + static_cast<long>(cut)));
            for (std::size_t at = 0; at < enc.size(); ++at) {
                Bytes bad = enc;
                bad[at] = at % 2 ? 0 : static_cast<std::uint8_t>(bad[at] + 1 + rng() % 20);
                check_decode(all, count, bad);
            }
        }
    }

    // Alternating bytes and zeros (windows of 1-byte blocks), the rhythm
    // broken once at every position by a longer block, a zero run or a
    // missing zero, and each encoding damaged at every position.
    for (std::size_t n : {9u, 16u, 17u, 33u, 64u}) {
        for (std::size_t at = 0; at < n; ++at) {
            for (int brk = 0; brk < 3; ++brk) {
                Bytes d;
                for (std::size_t i = 0; i < n; ++i) {
                    d.push_back(static_cast<std::uint8_t>(0x30 + i % 7));
                    d.push_back(0);
                }
                if (brk == 0) d[2 * at + 1] = 0x55;                   // a 3-byte block
                if (brk == 1) d[2 * at] = 0;                          // two zeros
                if (brk == 2) d.insert(d.begin() + 2 * at, 3, 0x66);  // a 4-byte block
                check(all, count, d);
                const Bytes enc = run_encode(all[0], d);
                for (std::size_t i = at; i < enc.size() && i < at + 20; ++i) {
                    Bytes bad = enc;
                    bad[i] = i % 2 ? 0 : 1;
                    check_decode(all, count, bad);
                }
            }
        }
    }

    // The last 17 bytes of encodings of every length to 40, each replaced
    // by zero, by codes that end a block just short of, at, or past the end
    // of the input, and by a run of 01 codes.
    for (std::size_t n = 0; n <= 40; ++n) {
        for (int kind : {0, 2, 3, 5}) {
            const Bytes enc = run_encode(all[0], pattern(n, rng, kind));
            const std::size_t from = enc.size() > 17 ? enc.size() - 17 : 0;
            for (std::size_t at = from; at < enc.size(); ++at) {
                const std::size_t left = enc.size() - at;
                for (std::size_t v : {std::size_t{0}, std::size_t{1}, std::size_t{2}, left - 1,
                                      left, left + 1, std::size_t{255}}) {
                    Bytes bad = enc;
                    bad[at] = static_cast<std::uint8_t>(v);
                    check_decode(all, count, bad);
                }
                Bytes zeros_run = enc;
                std::fill(zeros_run.begin() + static_cast<long>(at), zeros_run.end(), 1);
                check_decode(all, count, zeros_run);
            }
        }
    }

    check_wide_windows(all, count, rng);
    check_window_limits(all, count, rng);
    check_dense_runs(all, count, rng);
    check_short_messages(all, count, rng);
    check_far_blocks(all, count, rng);

    std::printf("%ld comparisons, %d failures\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
