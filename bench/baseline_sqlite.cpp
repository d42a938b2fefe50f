/*
 * baseline_sqlite.cpp: the floor for quarn-to-sqlite. Writes the rows of the
 * benchmark data set (rows.h) straight into SQLite, without reading any
 * database file: the same schema shape (one TEXT column per column, names
 * with spaces turned into "_", placeholders numbered by column), the same
 * pragmas, one prepared INSERT per table, and all of it inside one
 * transaction. Values are bound as SQLITE_TRANSIENT, as a converter must
 * (its value text lives only for the handler call).
 *
 *     baseline_sqlite --layout gen12 --size-mb 1024 --seed 1 OUT.sqlite
 */
#include "rows.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

sqlite3 *db = nullptr;

[[noreturn]] void fail(const char *what, const std::string &sql = "") {
    std::fprintf(stderr, "%s: %s\n", what, db ? sqlite3_errmsg(db) : "no database");
    if (!sql.empty()) std::fprintf(stderr, "Statement was: %s\n", sql.c_str());
    std::exit(1);
}

void exec(const std::string &sql) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail("exec", sql);
}

std::string sql_name(const std::string &name) {
    std::string out = name;
    for (char &c : out)
        if (c == ' ') c = '_';
    return out;
}

} // namespace

int main(int argc, char **argv) {
    const bench::Arguments args = bench::parse_arguments(argc, argv);
    const bench::Dataset &data = args.dataset;
    if (sqlite3_open_v2(args.output.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK)
        fail("open");
    exec("PRAGMA journal_mode = OFF;");
    exec("PRAGMA synchronous = 0;");
    exec("BEGIN;");

    bench::Totals totals;
    bench::Row row;
    for (const bench::TableSpec &table : data.tables) {
        const auto &columns = bench::schema_columns(table.schema, data.layout);
        std::string create = "CREATE TABLE \"" + table.name + "\" (";
        std::string insert = "INSERT INTO \"" + table.name + "\" (";
        std::string params;
        for (size_t c = 0; c < columns.size(); c++) {
            const std::string name = sql_name(columns[c].name);
            if (c > 0) {
                create += ", ";
                insert += ", ";
                params += ", ";
            }
            create.append("\"").append(name).append("\" TEXT");
            insert.append("\"").append(name).append("\"");
            params.append("?").append(std::to_string(columns[c].number));
        }
        create += ");";
        insert += ") VALUES (" + params + ");";
        exec(create);
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, insert.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            fail("prepare", insert);

        for (uint64_t i = 0; i < table.records; i++) {
            bench::make_row(data, table, i, row);
            for (size_t v = 0; v < row.count; v++) {
                const bench::Cell &cell = row.cells[v];
                if (sqlite3_bind_text(statement, cell.column, cell.text.data(),
                                      int(cell.text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
                    fail("bind");
                totals.bytes += cell.text.size();
            }
            totals.values += row.count;
            if (sqlite3_step(statement) != SQLITE_DONE) fail("insert");
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
        }
        totals.rows += table.records;
        sqlite3_finalize(statement);
    }
    exec("COMMIT;");
    if (sqlite3_close(db) != SQLITE_OK) fail("close");
    totals.tables = data.tables.size();
    bench::print_totals(totals);
    return 0;
}
