/*
 * make_database.cpp: writes a generation-12 database file for the install
 * tests with the test-only writer: one table per name given, in that order
 * (numbers 1, 2, ...), each with two columns and three records.
 *
 *     quarn-test-make-database out.fmp12 Customers Orders "Café Crème"
 */
#include "writer.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s output table-name...\n", argv[0]);
        return 2;
    }
    qw::Database database;
    database.header.generation = qw::Generation::v12;
    for (int i = 2; i < argc; i++) {
        qw::Table table;
        table.name = argv[i];
        table.columns = {{"Name"}, {"Note"}};
        for (int r = 1; r <= 3; r++)
            table.records.push_back({0, {{1, table.name + " " + std::to_string(r)},
                                         {2, "note " + std::to_string(r)}}});
        database.tables.push_back(table);
    }
    try {
        qw::write_database_file(argv[1], database);
    } catch (const std::exception &e) {
        fprintf(stderr, "%s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
