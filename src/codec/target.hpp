// Codec room: a region of a source file compiled for one instruction set.
//
//   TAVO_TARGET_BEGIN("avx2")
//   ... every function defined here may use AVX2 ...
//   TAVO_TARGET_END
//
// A region, not a target attribute on each function: templates and inline
// helpers defined inside it get the same target, so they inline into each
// other. (A function with a narrower target than its caller inlines too;
// one with a wider target fails with "target specific option mismatch".)
// Headers that define such helpers are included inside the region, after
// every standard and intrinsics header, which are included before it.
// MSVC compiles any intrinsic without flags and needs no region.
#ifndef TAVO_CODEC_TARGET_HPP
#define TAVO_CODEC_TARGET_HPP

#define TAVO_PRAGMA(x) _Pragma(#x)

#if defined(__clang__)
#define TAVO_TARGET_BEGIN(isa) \
    TAVO_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define TAVO_TARGET_END TAVO_PRAGMA(clang attribute pop)
#elif defined(__GNUC__)
#define TAVO_TARGET_BEGIN(isa) TAVO_PRAGMA(GCC push_options) TAVO_PRAGMA(GCC target(isa))
#define TAVO_TARGET_END TAVO_PRAGMA(GCC pop_options)
#else
#define TAVO_TARGET_BEGIN(isa)
#define TAVO_TARGET_END
#endif

#endif
