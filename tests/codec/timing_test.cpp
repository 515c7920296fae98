// The benchmark's timing loop, driven by a recording kernel and a clock that
// only moves when that kernel runs, so that what is timed can be counted
// exactly; then with every real kernel under the sanitizers. Exits non-zero
// after printing each failed check.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kernels.hpp"
#include "timing.hpp"

namespace {

using tavo::DecodeResult;
using tavo::DecodeStatus;
using tavo::TimingJob;
using tavo::TimingResult;
using tavo::TimingStatus;
using Bytes = std::vector<std::uint8_t>;

int g_failures = 0;
int g_checks = 0;

#define CHECK(cond)                                                      \
    do {                                                                 \
        ++g_checks;                                                      \
        if (!(cond)) {                                                   \
            ++g_failures;                                                \
            std::printf("FAIL line %d: %s\n", __LINE__, #cond);          \
        }                                                                \
    } while (0)

// One microsecond passes for each call of the recording kernel, and at no
// other time.
struct TickClock {
    using rep = long long;
    using period = std::micro;
    using duration = std::chrono::duration<rep, period>;
    using time_point = std::chrono::time_point<TickClock>;
    static long long ticks;
    static time_point now() { return time_point(duration(ticks)); }
};
long long TickClock::ticks = 0;

struct Call {
    const std::uint8_t* in;
    std::size_t n;
    std::uint8_t* out;
};
std::vector<Call> g_calls;
std::size_t g_fail_at_call = static_cast<std::size_t>(-1);  // decode fails on this call
std::size_t g_fail_offset = 0;

void record(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    g_calls.push_back({in, n, out});
    ++TickClock::ticks;
}

// Each writes the whole room its caller must provide, so a short output
// area shows under AddressSanitizer.
std::size_t recording_encode(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    record(in, n, out);
    std::size_t bound = 0;
    tavo::encoded_bound(n, static_cast<std::size_t>(-1), &bound);
    std::memset(out, 1, bound);
    return bound;
}

DecodeResult recording_decode(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    record(in, n, out);
    std::memset(out, 1, tavo::decoded_capacity(n));
    if (g_calls.size() - 1 == g_fail_at_call) return {g_fail_offset, DecodeStatus::short_input};
    return {n > 0 ? n - 1 : 0, DecodeStatus::ok};
}

const tavo::Kernel kRecording = {"recording", recording_encode, recording_decode};

void reset() {
    g_calls.clear();
    TickClock::ticks = 0;
    g_fail_at_call = static_cast<std::size_t>(-1);
}

// Messages of sizes 0, 1, 7, 300, 5 cut one input; each run must take them
// all, in order, from where they start, after one untimed checking pass.
void timed_runs_are_counted_exactly() {
    const std::size_t sizes[] = {0, 1, 7, 300, 5};
    const std::size_t count = sizeof sizes / sizeof sizes[0];
    Bytes input(313, 9);
    for (int encode = 0; encode < 2; ++encode) {
        for (std::size_t loops : {1u, 3u, 10u}) {
            reset();
            const TimingJob job = {&kRecording, encode == 1, input.data(), sizes,
                                   count,      loops,       false};
            const TimingResult r = tavo::time_job<TickClock>(job);
            CHECK(r.status == TimingStatus::ok);
            CHECK(g_calls.size() == count * (loops + 1));
            // Only the timed runs count: one tick per message per loop.
            CHECK(std::llround(r.seconds * 1e6) == static_cast<long long>(count * loops));
            for (std::size_t c = 0; c < g_calls.size(); ++c) {
                std::size_t at = 0;
                for (std::size_t i = 0; i < c % count; ++i) at += sizes[i];
                CHECK(g_calls[c].in == input.data() + at);
                CHECK(g_calls[c].n == sizes[c % count]);
                CHECK(g_calls[c].out == g_calls[0].out);
            }
        }
    }
}

// A message that fails to decode stops the checking pass there, and nothing
// is timed; the error's offset counts from the start of the whole input.
void first_bad_message_is_reported_where_it_lies() {
    const std::size_t sizes[] = {4, 10, 6, 8};
    Bytes input(28, 3);
    for (std::size_t bad = 0; bad < 4; ++bad) {
        reset();
        g_fail_at_call = bad;
        g_fail_offset = 2;
        const TimingJob job = {&kRecording, false, input.data(), sizes, 4, 5, false};
        const TimingResult r = tavo::time_job<TickClock>(job);
        std::size_t at = 0;
        for (std::size_t i = 0; i < bad; ++i) at += sizes[i];
        CHECK(r.status == TimingStatus::bad_input);
        CHECK(r.error.status == DecodeStatus::short_input);
        CHECK(r.error.length == at + 2);
        CHECK(g_calls.size() == bad + 1);
        CHECK(r.seconds == 0.0);
    }
}

// An unseen job runs the kernel only in the timed runs. A decode job is
// checked by the reference instead, which reports a damaged message's first
// error where the kernel would have, and then nothing runs at all.
void unseen_jobs_meet_the_kernel_only_when_timed() {
    const std::size_t lengths[] = {0, 1, 7, 300, 5};
    const std::size_t count = sizeof lengths / sizeof lengths[0];
    Bytes raw, encoded;
    std::size_t raw_sizes[count], enc_sizes[count];
    for (std::size_t i = 0; i < count; ++i) {
        Bytes m(lengths[i]);
        for (std::size_t j = 0; j < m.size(); ++j) m[j] = static_cast<std::uint8_t>(j % 3 ? j : 0);
        Bytes e(m.size() + m.size() / 254 + 2);
        e.resize(tavo::encode_scalar(m.data(), m.size(), e.data()));
        raw.insert(raw.end(), m.begin(), m.end());
        encoded.insert(encoded.end(), e.begin(), e.end());
        raw_sizes[i] = m.size();
        enc_sizes[i] = e.size();
    }
    for (int encode = 0; encode < 2; ++encode) {
        for (std::size_t loops : {1u, 4u}) {
            reset();
            const TimingJob job = {&kRecording, encode == 1, encode ? raw.data() : encoded.data(),
                                   encode ? raw_sizes : enc_sizes, count, loops, true};
            const TimingResult r = tavo::time_job<TickClock>(job);
            CHECK(r.status == TimingStatus::ok);
            CHECK(g_calls.size() == count * loops);
            CHECK(std::llround(r.seconds * 1e6) == static_cast<long long>(count * loops));
        }
    }
    Bytes damaged = encoded;
    const std::size_t bad_at = enc_sizes[0] + enc_sizes[1] + enc_sizes[2] + 40;
    damaged[bad_at] = 0;
    reset();
    const TimingJob bad = {&kRecording, false, damaged.data(), enc_sizes, count, 3, true};
    const TimingResult r = tavo::time_job<TickClock>(bad);
    CHECK(r.status == TimingStatus::bad_input);
    CHECK(r.error.status == DecodeStatus::zero_byte);
    CHECK(r.error.length == bad_at);
    CHECK(g_calls.empty());
}

// The output sits half a page from the input modulo 4 KiB, wherever the
// input starts.
void output_lies_half_a_page_from_input() {
    Bytes input(4096 + 600, 5);
    for (std::size_t shift = 0; shift < 4096; shift += 173) {
        const std::size_t sizes[] = {600};
        for (int encode = 0; encode < 2; ++encode) {
            reset();
            const TimingJob job = {&kRecording, encode == 1, input.data() + shift, sizes, 1, 1,
                                   false};
            CHECK(tavo::time_job<TickClock>(job).status == TimingStatus::ok);
            const std::uintptr_t apart = reinterpret_cast<std::uintptr_t>(g_calls[0].out) -
                                         reinterpret_cast<std::uintptr_t>(input.data() + shift);
            CHECK(apart % 4096 == 2048);
        }
    }
}

// A message whose output bound cannot be allocated is refused before any run.
void unallocatable_output_is_refused() {
    reset();
    const std::size_t sizes[] = {static_cast<std::size_t>(-1) - 100};
    const std::uint8_t byte = 1;
    const TimingJob job = {&kRecording, true, &byte, sizes, 1, 1, false};
    CHECK(tavo::time_job<TickClock>(job).status == TimingStatus::no_memory);
    CHECK(g_calls.empty());
}

// Every real kernel, and memcpy, over encodings of messages of many sizes;
// a zero planted in one message is found at its place in the whole input.
void real_kernels_run_and_find_errors() {
    std::vector<Bytes> messages;
    for (std::size_t n : {0u, 1u, 2u, 15u, 16u, 17u, 254u, 255u, 1000u, 3000u}) {
        Bytes m(n);
        for (std::size_t i = 0; i < n; ++i) m[i] = static_cast<std::uint8_t>(i % 5 ? i : 0);
        messages.push_back(m);
    }
    Bytes raw, encoded;
    std::vector<std::size_t> raw_sizes, enc_sizes;
    for (const Bytes& m : messages) {
        std::size_t bound = 0;
        tavo::encoded_bound(m.size(), static_cast<std::size_t>(-1), &bound);
        Bytes e(bound);
        e.resize(tavo::encode_scalar(m.data(), m.size(), e.data()));
        raw.insert(raw.end(), m.begin(), m.end());
        encoded.insert(encoded.end(), e.begin(), e.end());
        raw_sizes.push_back(m.size());
        enc_sizes.push_back(e.size());
    }
    const std::size_t bad_message = 8;
    std::size_t bad_at = 3;
    for (std::size_t i = 0; i < bad_message; ++i) bad_at += enc_sizes[i];
    Bytes damaged = encoded;
    damaged[bad_at] = 0;

    std::size_t count = 0;
    const tavo::Kernel* all = tavo::available_kernels(&count);
    for (std::size_t k = 0; k <= count; ++k) {
        const tavo::Kernel* kernel = k < count ? &all[k] : nullptr;  // last: memcpy
        for (const bool unseen : {false, true}) {
            const TimingJob enc = {kernel, true, raw.data(), raw_sizes.data(), raw_sizes.size(),
                                   2, unseen};
            const TimingJob dec = {kernel, false, encoded.data(), enc_sizes.data(),
                                   enc_sizes.size(), 2, unseen};
            CHECK(tavo::time_job(enc).status == TimingStatus::ok);
            CHECK(tavo::time_job(dec).status == TimingStatus::ok);
            if (kernel == nullptr) continue;
            TimingJob bad = dec;
            bad.in = damaged.data();
            const TimingResult r = tavo::time_job(bad);
            CHECK(r.status == TimingStatus::bad_input);
            CHECK(r.error.status == DecodeStatus::zero_byte);
            CHECK(r.error.length == bad_at);
        }
    }
}

}  // namespace

int main() {
    timed_runs_are_counted_exactly();
    first_bad_message_is_reported_where_it_lies();
    unseen_jobs_meet_the_kernel_only_when_timed();
    output_lies_half_a_page_from_input();
    unallocatable_output_is_refused();
    real_kernels_run_and_find_errors();
    std::printf("%d checks, %d failures\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
