/* The layout of the library's records, as the compiler lays them out: one
 * row per record (field null, size = sizeof) followed by one row per field
 * (offset and size), for every record the module carries. Bindings in other
 * languages check their mirrors of the records against it. */
#ifndef CORVANE_RECORD_LAYOUT_H
#define CORVANE_RECORD_LAYOUT_H

#include "crv_api.h"

typedef struct crv_record_field {
    const char *record;
    const char *field;  /* null on the record's own row */
    int64_t offset;
    int64_t size;
} crv_record_field;

/* The rows of this module's records; *n_rows receives their count. The
 * table is static and never changes. */
CRV_API const crv_record_field *crv_record_layout(int64_t *n_rows);

CRV_LAYOUT_CHECK(sizeof(crv_record_field) == 32 && offsetof(crv_record_field, size) == 24,
                 "crv_record_field layout");

#endif
