/* Status codes of the kernel library: 0 success, negative codes in families
 * of one hundred by component (and the statistics kernels' positive 1). The
 * codes, their names and their messages are the rows of status.def; each
 * kernel's comment lists the codes it returns. */
#ifndef CORVANE_STATUS_H
#define CORVANE_STATUS_H

#include "crv_api.h"

/* The named codes, of type int as integer literals are. */
#ifdef __cplusplus
#define CRV_STATUS(name, code, message) inline constexpr int name = (code);
#include "status.def"
#undef CRV_STATUS
#else
enum {
#define CRV_STATUS(name, code, message) name = (code),
#include "status.def"
#undef CRV_STATUS
};
#endif

/* The message of a status code (static text); "unknown status" for a code
 * the library does not return. */
CRV_API const char *crv_status_message(int64_t status);

#endif
