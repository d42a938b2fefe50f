/*
 * fuzz_dump: opens the input as a database file (as it is: the open's own
 * checks are under test too) and, when it opens, dumps its structure.
 */
#include "quarn.h"

#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    /* the dump's text is not looked at */
    if (!freopen("/dev/null", "w", stdout)) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quarn_error_t error = QUARN_OK;
    quarn_file_t *file = quarn_open_buffer(data, size, &error);
    if (!file) return 0;
    quarn_dump_file(file);
    quarn_dump_file(file); /* a second walk reuses the decoded chunks */
    quarn_close_file(file);
    return 0;
}
