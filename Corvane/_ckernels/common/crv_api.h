/* Conventions shared by every kernel header: export marker, integer types and
 * the arena-size pair returned by the *_arena_size functions. */
#ifndef CORVANE_CRV_API_H
#define CORVANE_CRV_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define CRV_EXTERN_C extern "C"
#else
#define CRV_EXTERN_C
#endif

/* Exported kernel: C linkage, default visibility. Everything else is hidden. */
#define CRV_API CRV_EXTERN_C __attribute__((visibility("default")))

/* Compile-time layout checks of the records, valid in C and C++. */
#ifdef __cplusplus
#define CRV_LAYOUT_CHECK(cond, what) static_assert(cond, what)
#else
#define CRV_LAYOUT_CHECK(cond, what) _Static_assert(cond, what)
#endif

/* Scratch requirement of a kernel: doubles in the double region, 64-bit slots
 * in the integer region. Returned by value. */
typedef struct crv_arena_size_t {
    int64_t doubles;
    int64_t slots;
} crv_arena_size_t;

CRV_LAYOUT_CHECK(sizeof(crv_arena_size_t) == 16, "crv_arena_size_t layout");

#endif
