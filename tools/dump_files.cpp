/*
 * dump_files.cpp: the structure dump of one or more files (dump_files.h).
 * All the printing is quarn_dump_file's; this walks the paths and reports
 * the first failure.
 */
#include "dump_files.h"

#include "quarn.h"

#include <cstdio>

namespace converter {

int dump_files(int count, char *const *paths) {
    quarn_error_t error = QUARN_OK;
    for (int i = 0; i < count; i++) {
        quarn_file_t *file = quarn_open_file(paths[i], &error);
        if (!file) {
            fflush(stdout);
            fprintf(stderr, "Error code: %d\n", error);
            return 1;
        }
        quarn_error_t rc = quarn_dump_file(file);
        quarn_close_file(file);
        if (rc != QUARN_OK) {
            fflush(stdout);
            fprintf(stderr, "Error code: %d\n", rc);
            return 1;
        }
    }
    return 0;
}

} // namespace converter
