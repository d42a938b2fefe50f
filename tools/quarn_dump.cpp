/*
 * quarn-dump: prints the internal structure of one or more database files,
 * one after the other (dump_files.h).
 */
#include "dump_files.h"

#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 2) {
        printf("Usage: %s [file]\n", argv[0]);
        return 1;
    }
    return converter::dump_files(argc - 1, argv + 1);
}
