// What the library asks of the compiler beyond standard C++17, behind macros
// that come to nothing where a compiler has no such thing (MSVC), so that
// the sources build with GCC, Clang and MSVC alike.
#pragma once

#if defined(__MINGW32__)
#include <stdio.h>  // __MINGW_PRINTF_FORMAT: the printf that the C runtime in use has
#define ZEV_PRINTF_FORMAT(format_index, first_index) \
    __attribute__((format(__MINGW_PRINTF_FORMAT, format_index, first_index)))
#elif defined(__GNUC__) || defined(__clang__)
// printf-style checking of a format argument against the arguments after it
// (first_index = 0 for a va_list).
#define ZEV_PRINTF_FORMAT(format_index, first_index) \
    __attribute__((format(printf, format_index, first_index)))
#endif

#if defined(__GNUC__) || defined(__clang__)
// A branch the caller expects to be taken almost never.
#define ZEV_UNLIKELY(condition) __builtin_expect(!!(condition), 0)
// A function on an error path: kept out of the hot code.
#define ZEV_COLD __attribute__((cold))
#else
#define ZEV_UNLIKELY(condition) (condition)
#define ZEV_COLD
#endif

#ifndef ZEV_PRINTF_FORMAT
#define ZEV_PRINTF_FORMAT(format_index, first_index)
#endif
