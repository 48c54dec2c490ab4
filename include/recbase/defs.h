/* recbase: common definitions of the exported interface.
 *
 * RBCALL is the calling convention of every exported function: the standard
 * Windows convention (callee pops its arguments) when building for 32-bit
 * Windows, the platform's ordinary convention everywhere else.
 *
 * RBAPI marks what the library exports. The library is built with hidden
 * symbol visibility, so only declarations carrying RBAPI are visible to
 * programs that link it (on ELF systems a version script also keeps out
 * the standard library's template code). Define RECBASE_STATIC when
 * linking the static build on Windows.
 */
#ifndef RECBASE_DEFS_H
#define RECBASE_DEFS_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define RBCALL __stdcall
#else
#define RBCALL
#endif

#if defined(_WIN32)
#if defined(RECBASE_BUILD)
#define RBAPI __declspec(dllexport)
#elif defined(RECBASE_STATIC)
#define RBAPI
#else
#define RBAPI __declspec(dllimport)
#endif
#else
#define RBAPI __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define RB_EXTERN_C_BEGIN extern "C" {
#define RB_EXTERN_C_END }
#else
#define RB_EXTERN_C_BEGIN
#define RB_EXTERN_C_END
#endif

RB_EXTERN_C_BEGIN

/* Compares two keys: exactly -1 when a sorts before b, 0 when they are equal,
 * 1 when a sorts after b. Called with the searched-for key as a and a stored
 * key as b. */
typedef int32_t(RBCALL *CbCompare)(const void *a, int32_t alen, const void *b,
                                   int32_t blen);

/* Receives every text the library prints (a zero-terminated string with no
 * added newline). Returns 1 when the whole text was written, else -1. */
typedef int32_t(RBCALL *RbPrint)(const char *text);

/* Receives the running count of records processed by a long operation. */
typedef void(RBCALL *IsamProgress)(int32_t count);

RB_EXTERN_C_END

#endif /* RECBASE_DEFS_H */
