// Codec room: the ssse3 kernel: the sse2 encoder, and a decoder whose runs
// of short blocks follow their chain with shuffles (x86_short_run.hpp).
#include "isa.hpp"

#if TAVO_HAVE_SSSE3

#include <emmintrin.h>
#include <tmmintrin.h>

#include "simd_common.hpp"
#include "target.hpp"

TAVO_TARGET_BEGIN("ssse3")

#include "decode_driver.hpp"
#include "x86_short_run.hpp"
#include "x86_vec16.hpp"

namespace tavo {
namespace {

struct Ssse3Decode : ShortRunSteps, FarCopy16 {};

DecodeResult decode_ssse3(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    return decode_blocks<Ssse3Decode>(in, n, out);
}

}  // namespace

const Kernel kSsse3Kernel = {"ssse3", encode_sse2, decode_ssse3};

}  // namespace tavo

TAVO_TARGET_END

#endif
