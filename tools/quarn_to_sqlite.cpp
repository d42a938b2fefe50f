/*
 * quarn-to-sqlite: copies every table of a database file into an SQLite
 * database, one SQL table per source table, one TEXT column per source
 * column and one SQL row per source row. The front end (arguments, opening
 * the input, the "Error code" line) is converter.h's; this file holds the
 * SQL side: the statements built from the catalogue and the value handler
 * that binds values and inserts a row whenever the next one starts.
 *
 * Names come from the file and may hold anything, so every identifier is
 * quoted with its double quotes doubled, and the CREATE TABLE text is run
 * as exactly one prepared statement: a name can never end its identifier
 * early or bring statements of its own.
 *
 * Rows go in through transactions of up to kRowsPerTransaction rows: one
 * commit per row would cost a disk sync each. Every way out of the run,
 * failures included, commits what is open (Transaction's destructor), so
 * the database ends as one commit per statement would leave it: the tables
 * and rows written before a failure stay, the row still bound does not.
 *
 * The conversion is the function quarn_to_sqlite (converters.h); main, left
 * out of the fuzz build by QUARN_CONVERTER_NO_MAIN, only checks the
 * arguments and calls it.
 */
#include "converter.h"
#include "converters.h"
#include "sql_text.h"

#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using converter::quoted_identifier;

/* Rows inserted between two commits. */
constexpr uint64_t kRowsPerTransaction = 50000;

/* The open transaction of a run. Whatever is open when it goes out of
 * scope is committed, so no way out of the run can lose what was inserted
 * (closing a database rolls back an open transaction). */
class Transaction {
  public:
    explicit Transaction(sqlite3 *db) : db_(db) {}
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    /* A failure here is already reported; its own, if any, is only printed. */
    ~Transaction() { commit(); }

    /* Starts a transaction; prints the failure and returns false. */
    bool begin() {
        if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
            fprintf(stderr, "Error beginning SQLite transaction: %s\n", sqlite3_errmsg(db_));
            return false;
        }
        open_ = true;
        return true;
    }

    /* Commits the open transaction, if any; prints the failure and returns
     * false. The transaction counts as ended either way. */
    bool commit() {
        if (!open_) return true;
        open_ = false;
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            fprintf(stderr, "Error committing to SQLite file: %s\n", sqlite3_errmsg(db_));
            return false;
        }
        return true;
    }

  private:
    sqlite3 *db_;
    bool open_ = false;
};

/* Writer context handed to sqlite_insert_value. */
struct sqlite_ctx {
    sqlite3 *db;
    sqlite3_stmt *statement; /* the table's prepared INSERT */
    const char *table_name;
    int last_row; /* row number of the values bound so far; 0: none yet */
    Transaction *transaction;
    uint64_t *uncommitted_rows; /* rows inserted since the last commit */
    /* the bound values of the row, by column number: SQLite reads them in
     * place at the step, and the strings keep their room from row to row */
    std::vector<std::string> *values;
};

/* Counts one inserted row; every kRowsPerTransaction rows commits them and
 * starts the next transaction. Prints the failure and returns false. */
bool count_inserted_row(Transaction &transaction, uint64_t &uncommitted_rows) {
    if (++uncommitted_rows < kRowsPerTransaction) return true;
    uncommitted_rows = 0;
    return transaction.commit() && transaction.begin();
}

/* A column's SQL name: its source name with every space turned into "_". */
std::string column_sql_name(const quarn_column_t &column) {
    std::string name = column.name;
    for (char &c : name)
        if (c == ' ') c = '_';
    return name;
}

/* CREATE TABLE "name" ("a" TEXT, "b" TEXT); */
std::string table_definition(const quarn_table_t &table, const quarn_column_array_t &columns) {
    std::string sql = "CREATE TABLE " + quoted_identifier(table.name) + " (";
    for (uint64_t i = 0; i < columns.count; i++) {
        if (i > 0) sql += ", ";
        sql += quoted_identifier(column_sql_name(columns.columns[i])) + " TEXT";
    }
    sql += ");";
    return sql;
}

/* INSERT INTO "name" ("a", "b") VALUES (?1, ?2); each placeholder carries
 * its column's number in the source, so a value binds by its column index
 * even when the numbering has gaps. */
std::string row_statement(const quarn_table_t &table, const quarn_column_array_t &columns) {
    std::string sql = "INSERT INTO " + quoted_identifier(table.name) + " (";
    for (uint64_t i = 0; i < columns.count; i++) {
        if (i > 0) sql += ", ";
        sql += quoted_identifier(column_sql_name(columns.columns[i]));
    }
    sql += ") VALUES (";
    for (uint64_t i = 0; i < columns.count; i++) {
        if (i > 0) sql += ", ";
        sql += "?" + std::to_string(columns.columns[i].index);
    }
    sql += ");";
    return sql;
}

/* Binds each value to its column's placeholder; when a value of a new row
 * arrives the row bound so far is inserted, and the bindings are cleared so
 * that columns without a value in the next row stay NULL. */
int sqlite_insert_value(int row, const quarn_column_t *column, const char *value, void *user_ctx) {
    auto *ctx = static_cast<sqlite_ctx *>(user_ctx);
    if (ctx->last_row > 0 && row != ctx->last_row) {
        if (sqlite3_step(ctx->statement) != SQLITE_DONE) {
            fprintf(stderr, "Error inserting data into SQLite table: %s\n", sqlite3_errmsg(ctx->db));
            return QUARN_HANDLER_ABORT;
        }
        if (sqlite3_reset(ctx->statement) != SQLITE_OK) {
            fprintf(stderr, "Error resetting INSERT statement: %s\n", sqlite3_errmsg(ctx->db));
            return QUARN_HANDLER_ABORT;
        }
        sqlite3_clear_bindings(ctx->statement);
        if (!count_inserted_row(*ctx->transaction, *ctx->uncommitted_rows)) return QUARN_HANDLER_ABORT;
    }
    /* a column number the statement has no placeholder for is bound all
     * the same, so that SQLite refuses it */
    std::vector<std::string> &values = *ctx->values;
    const bool kept = column->index >= 0 && static_cast<size_t>(column->index) < values.size();
    const std::string_view text = kept ? values[column->index].assign(value) : std::string_view(value);
    if (sqlite3_bind_text(ctx->statement, column->index, text.data(), static_cast<int>(text.size()),
                          kept ? SQLITE_STATIC : SQLITE_TRANSIENT) != SQLITE_OK) {
        fprintf(stderr, "Error binding parameter: %s\n", sqlite3_errmsg(ctx->db));
        return QUARN_HANDLER_ABORT;
    }
    ctx->last_row = row;
    return QUARN_HANDLER_CONTINUE;
}

/* Runs one of the constant set-up pragmas; on failure prints message and
 * returns false. */
bool run_pragma(sqlite3 *db, const char *sql, const char *message) {
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        sqlite3_free(error);
        fputs(message, stderr);
        return false;
    }
    return true;
}

struct DatabaseCloser {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
/* Every statement is finalized before its database is closed: a statement
 * handle is always declared after, and so destroyed before, the database's
 * (and the run's Transaction, so that no statement is busy at the commit). */
using DatabasePtr = std::unique_ptr<sqlite3, DatabaseCloser>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

} // namespace

namespace converter {

int quarn_to_sqlite(const char *input_path, const char *output_path) {
    const std::optional<Input> input = open_input(input_path);
    if (!input) return 1;

    /* Created only now that the input is known to be readable; an existing
     * database is opened with its contents. A failed run leaves the
     * database as far as it got: Transaction commits on every way out. */
    sqlite3 *opened = nullptr;
    const int open_rc =
        sqlite3_open_v2(output_path, &opened, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    const DatabasePtr db(opened);
    if (open_rc != SQLITE_OK) {
        fprintf(stderr, "Error opening SQLite file\n");
        return 1;
    }
    if (!run_pragma(db.get(), "PRAGMA journal_mode = OFF;\n", "Error setting journal_mode = OFF\n") ||
        !run_pragma(db.get(), "PRAGMA synchronous = 0;\n", "Error setting synchronous = 0\n"))
        return 1;

    /* declared after the database: commits before it is closed */
    Transaction transaction(db.get());
    if (!transaction.begin()) return 1;
    uint64_t uncommitted_rows = 0;

    for (uint64_t t = 0; t < input->tables->count; t++) {
        const quarn_table_t &table = input->tables->tables[t];
        const quarn::ColumnsPtr columns = list_columns(input->file.get(), &table);
        if (!columns) return 1;

        const std::string definition = table_definition(table, *columns);
        const std::string insert = row_statement(table, *columns);

        fprintf(stderr, "CREATE TABLE \"%s\"\n", table.name);
        std::string message;
        if (!run_single_statement(db.get(), definition, &message)) {
            fprintf(stderr, "Error creating SQL table: %s\n", message.c_str());
            fprintf(stderr, "Statement was: %s\n", definition.c_str());
            return 1;
        }

        sqlite3_stmt *prepared = nullptr;
        const int rc = sqlite3_prepare_v2(db.get(), insert.c_str(), -1, &prepared, nullptr);
        const StatementPtr statement(prepared);
        if (rc != SQLITE_OK) {
            fprintf(stderr, "Error preparing SQL statement: %d\n", rc);
            fprintf(stderr, "Statement was: %s\n", insert.c_str());
            return 1;
        }

        std::vector<std::string> values(static_cast<size_t>(sqlite3_bind_parameter_count(statement.get())) + 1);
        sqlite_ctx ctx = {db.get(), statement.get(), table.name, 0, &transaction, &uncommitted_rows, &values};
        const quarn_error_t error =
            quarn_read_values(input->file.get(), &table, sqlite_insert_value, &ctx);
        if (error != QUARN_OK) return report_error_code(error);

        if (ctx.last_row != 0 && sqlite3_step(statement.get()) != SQLITE_DONE) {
            fprintf(stderr, "Error inserting data into SQLite table: %s\n", sqlite3_errmsg(db.get()));
            return 1;
        }
        if (ctx.last_row != 0 && !count_inserted_row(transaction, uncommitted_rows)) return 1;
    }
    return transaction.commit() ? 0 : 1;
}

} // namespace converter

#ifndef QUARN_CONVERTER_NO_MAIN
int main(int argc, char **argv) {
    converter::sqlite_single_thread();
    converter::check_arguments(argc, argv);
    return converter::quarn_to_sqlite(argv[1], argv[2]);
}
#endif
