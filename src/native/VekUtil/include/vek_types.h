/* Types and compiler helpers shared by every VekUtil header. */
#ifndef VEK_TYPES_H
#define VEK_TYPES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Unsigned 64-bit count (sizes, free space). All bits set means "unknown". */
typedef uint64_t vek_uint64_t;
#define VEK_UINT64_UNKNOWN ((vek_uint64_t) ~(vek_uint64_t)0)

/* Every build of the library has a 64-bit time_t (the 32-bit Linux build
 * with _TIME_BITS=64 and _FILE_OFFSET_BITS=64, which its installed package
 * hands on), and its records carry time_t: a program compiled with a 32-bit
 * time_t would read them wrongly, so it does not compile. */
#if defined(__cplusplus) && __cplusplus >= 201103L
static_assert(sizeof(time_t) == 8, "VekUtil needs a 64-bit time_t: define _FILE_OFFSET_BITS=64 and _TIME_BITS=64");
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(time_t) == 8, "VekUtil needs a 64-bit time_t: define _FILE_OFFSET_BITS=64 and _TIME_BITS=64");
#endif

/* Size of the library's path buffers, terminator included. Longer text is
 * cut to VEK_PATH_MAX - 1 characters. */
#ifdef _WIN32
#define VEK_PATH_MAX 260
#else
#define VEK_PATH_MAX 4096
#endif

/* printf conversions for 64-bit numbers in log formats. Windows formats are
 * checked as the Microsoft C runtime reads them: use these macros for 64-bit
 * values and casts to long/unsigned long for size_t (no %zu). */
#ifdef _WIN32
#define VEK_PRId64 "I64d"
#define VEK_PRIu64 "I64u"
#else
#define VEK_PRId64 "lld"
#define VEK_PRIu64 "llu"
#endif

/* Lets the compiler check every printf-style format against its arguments. */
#if defined(__MINGW32__)
#define VEK_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(ms_printf, fmt_index, first_arg)))
#elif defined(__GNUC__)
#define VEK_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define VEK_PRINTF_FORMAT(fmt_index, first_arg)
#endif

#ifdef __cplusplus
}
#endif

#endif /* VEK_TYPES_H */
