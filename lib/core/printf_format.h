#pragma once

// Format checking for the printf-style functions. They format with the C library's vsnprintf,
// which on mingw-w64 is its own C99 implementation (selected by __USE_MINGW_ANSI_STDIO, which the
// C++ library turns on), so %zu, %lld and %f give the same text as glibc. GCC calls that dialect
// gnu_printf there; plain printf would check against the Microsoft runtime's.
#if defined(__MINGW32__)
#define TESSEL_PRINTF_FORMAT(text, first) __attribute__((format(gnu_printf, text, first)))
#else
#define TESSEL_PRINTF_FORMAT(text, first) __attribute__((format(printf, text, first)))
#endif
