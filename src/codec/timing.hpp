// Codec room: the benchmark's timing loop. Header-only, so that it is built
// into the private kernels extension and the native tests, never into the
// codec that _tavoext ships.
#ifndef TAVO_CODEC_TIMING_HPP
#define TAVO_CODEC_TIMING_HPP

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "format.hpp"
#include "kernels.hpp"

namespace tavo {

// `loops` runs of one kernel over consecutive messages: sizes[0..count) cut
// in[0..sum) into them, and each run takes every message in turn.
//
// With `unseen`, the kernel meets the messages first in the timed runs (see
// time_job). A branch predictor learns even a large message of random bytes
// from a run or two over it; the next run then goes faster than any run over
// a message never seen before, which is what a real stream gives.
struct TimingJob {
    const Kernel* kernel;  // null: a plain memcpy of each message instead
    bool encode;           // else decode
    const std::uint8_t* in;
    const std::size_t* sizes;
    std::size_t count;
    std::size_t loops;
    bool unseen;
};

enum class TimingStatus { ok, no_memory, bad_input };

struct TimingResult {
    TimingStatus status;
    double seconds;     // of the timed runs; 0 unless ok
    DecodeResult error;  // bad_input: the first error, its offset in the whole input
};

// Output lies this far from the input modulo 4 KiB, so that no timing depends
// on whether loads falsely alias earlier stores (half a page is the farthest).
constexpr std::size_t kOutputApart = 2048;
constexpr std::size_t kPage = 4096;

// Where the output goes in an area of capacity + kPage bytes.
inline std::uint8_t* output_in(std::uint8_t* area, const std::uint8_t* in) {
    const std::size_t now =
        (reinterpret_cast<std::uintptr_t>(area) - reinterpret_cast<std::uintptr_t>(in)) %
        kPage;
    return area + (kOutputApart + kPage - now) % kPage;
}

// Bytes of output that the largest message can need; false if more than fits.
inline bool timing_capacity(const TimingJob& job, std::size_t* capacity) {
    std::size_t largest = 0;
    for (std::size_t i = 0; i < job.count; ++i)
        if (largest < job.sizes[i]) largest = job.sizes[i];
    if (job.kernel == nullptr || !job.encode) {
        *capacity = job.kernel == nullptr ? largest : decoded_capacity(largest);
        return true;
    }
    return encoded_bound(largest, static_cast<std::size_t>(-1) - kPage, capacity);
}

namespace timing_detail {

// The checking pass of an unseen decode job.
inline constexpr Kernel kReference = {"scalar", encode_scalar, decode_scalar};

inline DecodeResult run_once(const TimingJob& job, std::size_t at, std::size_t i,
                             std::uint8_t* out) {
    const DecodeResult ok = {0, DecodeStatus::ok};
    if (job.kernel == nullptr) {
        std::memcpy(out, job.in + at, job.sizes[i]);
    } else if (job.encode) {
        job.kernel->encode(job.in + at, job.sizes[i], out);
    } else {
        return job.kernel->decode(job.in + at, job.sizes[i], out);
    }
    return ok;
}

}  // namespace timing_detail

// Runs the job and times it; needs no interpreter, so the caller may drop
// any lock it holds. One untimed pass goes first: it checks every decode
// input, and it touches the output so that no page fault is timed. For an
// unseen job that pass runs the scalar reference instead (which finds the
// same first error), or nothing for encode, and then writes the whole output
// area and reads the input: the caches end as the kernel's own pass would
// leave them, and the kernel's branches have learnt nothing of the messages.
// The clock is a parameter so that tests can count what is timed.
template <class Clock = std::chrono::steady_clock>
TimingResult time_job(const TimingJob& job) {
    TimingResult result = {TimingStatus::ok, 0.0, {0, DecodeStatus::ok}};
    std::size_t capacity = 0;
    std::uint8_t* area = nullptr;
    if (!timing_capacity(job, &capacity) ||
        (area = static_cast<std::uint8_t*>(std::malloc(capacity + kPage))) == nullptr) {
        result.status = TimingStatus::no_memory;
        return result;
    }
    // One output area serves every message.
    std::uint8_t* const out = output_in(area, job.in);
    const bool unseen = job.unseen && job.kernel != nullptr;  // memcpy has nothing to learn
    TimingJob check = job;
    if (unseen) {
        check.kernel = &timing_detail::kReference;
        if (job.encode) check.count = 0;  // nothing to check
    }
    for (std::size_t i = 0, at = 0; i < check.count; at += job.sizes[i++]) {
        const DecodeResult r = timing_detail::run_once(check, at, i, out);
        if (r.status != DecodeStatus::ok) {
            result.status = TimingStatus::bad_input;
            result.error = {at + r.length, r.status};
            std::free(area);
            return result;
        }
    }
    if (unseen) {
        // Caches as a run of the kernel leaves them: output written, input read.
        std::memset(out, 0, capacity);
        std::size_t total = 0;
        for (std::size_t i = 0; i < job.count; ++i) total += job.sizes[i];
        const volatile std::uint8_t* const in = job.in;
        for (std::size_t at = 0; at < total; at += 64) static_cast<void>(in[at]);
    }
    const auto start = Clock::now();
    for (std::size_t loop = 0; loop < job.loops; ++loop) {
        for (std::size_t i = 0, at = 0; i < job.count; at += job.sizes[i++]) {
            timing_detail::run_once(job, at, i, out);
            // Keep the compiler from dropping or merging the runs.
#if defined(__GNUC__)
            __asm__ __volatile__("" : : "r"(out) : "memory");
#endif
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::free(area);
    return result;
}

}  // namespace tavo

#endif
