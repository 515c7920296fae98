/* Included first by scripts/check-windows-compilers: mingw-w64's headers
   assume MSVC itself when __GNUC__ is absent; give back what clang reads. */
#include <_mingw.h>
#undef __attribute__
#undef __MINGW_ATTRIB_NORETURN
#define __MINGW_ATTRIB_NORETURN __attribute__((__noreturn__))
#undef __MINGW_ATTRIB_MALLOC
#define __MINGW_ATTRIB_MALLOC
#undef __MINGW_NOTHROW
#define __MINGW_NOTHROW
#undef __MINGW_ATTRIB_DEPRECATED
#define __MINGW_ATTRIB_DEPRECATED
