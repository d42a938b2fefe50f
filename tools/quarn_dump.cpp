/*
 * quarn-dump: prints the internal structure of one or more database files,
 * one after the other. All the printing is quarn_dump_file's; the program
 * walks its arguments and reports the first failure.
 */
#include "quarn.h"

#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 2) {
        printf("Usage: %s [file]\n", argv[0]);
        return 1;
    }
    quarn_error_t error = QUARN_OK;
    for (int i = 1; i < argc; i++) {
        quarn_file_t *file = quarn_open_file(argv[i], &error);
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
