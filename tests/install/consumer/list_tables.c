/*
 * list_tables.c: a C program that uses an installed libquarntools as any
 * program outside this project would. It opens the database file named on
 * the command line and prints each table as "number name", one per line.
 * The install tests build it against installed copies of the library, by
 * pkg-config and by find_package, linked shared and static; the file is
 * compiled as strict C, so a header that leaks C++ breaks the build.
 */
#include <quarn.h>

#include <inttypes.h>
#include <stdio.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s file\n", argv[0]);
        return 2;
    }
    quarn_error_t error = QUARN_OK;
    quarn_file_t *file = quarn_open_file(argv[1], &error);
    if (!file) {
        fprintf(stderr, "%s: cannot open, error %d\n", argv[1], (int)error);
        return 1;
    }
    quarn_table_array_t *tables = quarn_list_tables(file, &error);
    if (!tables) {
        fprintf(stderr, "%s: cannot list tables, error %d\n", argv[1], (int)error);
        quarn_close_file(file);
        return 1;
    }
    for (uint64_t i = 0; i < tables->count; i++)
        printf("%" PRId32 " %s\n", tables->tables[i].index, tables->tables[i].name);
    quarn_free_tables(tables);
    quarn_close_file(file);
    return 0;
}
