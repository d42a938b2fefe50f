/*
 * format_sqlite.cpp: the SQLite format of quarn export: one SQL table per
 * table, written as quarn-to-sqlite writes it (every identifier quoted, the
 * CREATE TABLE run as exactly one statement, rows through one prepared
 * INSERT in transactions of kRowsPerTransaction rows, journal off), with
 * declared types: NUMERIC for number fields (their values go in as text,
 * numbers in canonical_number's form, and the column's affinity makes
 * numbers of those; the rest stay text), BLOB for containers, TEXT for
 * everything else (dates, times and timestamps as ISO 8601 text),
 * INTEGER for record_id.
 *
 * A container cell is inserted as a zero-filled blob of its main stream's
 * length; the reading side then hands over the bytes, which go into the
 * blob piece by piece through SQLite's incremental blob I/O, so a
 * container's size never counts in memory. A container that several rows
 * reference is written once and copied into the others.
 *
 * The global values of every table go into one more table _globals
 * (table, field, repetition, value), a global container's bytes there as
 * a BLOB; the records' cells of a global container field stay NULL, so
 * that its bytes are kept once and not in every row.
 */
#include "format_sqlite.h"

#include "names.h"
#include "sql_text.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

namespace qexport {

namespace {

using converter::quoted_identifier;
using converter::run_single_statement;

constexpr uint64_t kRowsPerTransaction = 50000;

const char *declared_type(CellType type, bool overflow) {
    if (overflow) return "TEXT";
    switch (type) {
    case CellType::number: return "NUMERIC";
    case CellType::container: return "BLOB";
    default: return "TEXT";
    }
}

std::string sql_table_name(UniqueNames &names, const TablePlan &plan) {
    std::string name = plan.table.name;
    if (name.empty()) name = "table " + std::to_string(plan.table.index);
    std::string lower = name.substr(0, 7);
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (lower == "sqlite_") name = "_" + name;
    return names.take(name);
}

struct DatabaseCloser {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
struct BlobCloser {
    void operator()(sqlite3_blob *blob) const { sqlite3_blob_close(blob); }
};
using DatabasePtr = std::unique_ptr<sqlite3, DatabaseCloser>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;
using BlobPtr = std::unique_ptr<sqlite3_blob, BlobCloser>;

class SqliteFormat : public Format {
  public:
    explicit SqliteFormat(const FormatSettings &settings) : settings_(settings) {}
    /* statements and blobs go before the database */
    ~SqliteFormat() override { abandon(); }

    bool begin_table(const TablePlan &plan, Failure *failure) override {
        if (!db_ && !open(failure)) return false;
        plan_ = &plan;
        table_name_ = sql_table_name(table_names_, plan);
        std::string sql;
        std::vector<std::string> overflowed;
        if (!sqlite_create_table(plan, table_name_, &sql, &columns_, &column_names_, &overflowed, failure))
            return false;
        for (const std::string &field : overflowed)
            settings_.warn(settings_.input_name + ": table \"" + plan.table.name + "\", field \"" + field +
                           "\": repetitions past SQLite's column limit went into one column as a JSON array");
        std::string message;
        if (!run_single_statement(db_.get(), sql, &message)) return fail(failure, message);
        std::string insert = "INSERT INTO " + quoted_identifier(table_name_) + " (";
        std::string values;
        for (size_t c = 0; c < columns_.size(); c++) {
            if (c > 0) insert += ", ", values += ", ";
            insert += quoted_identifier(column_names_[c]);
            values += "?" + std::to_string(c + 1);
        }
        insert += ") VALUES (" + values + ");";
        sqlite3_stmt *prepared = nullptr;
        if (sqlite3_prepare_v2(db_.get(), insert.c_str(), -1, &prepared, nullptr) != SQLITE_OK) return fail(failure);
        insert_.reset(prepared);
        blobs_.clear();
        return true;
    }

    bool write_record(const Record &record, Failure *failure) override {
        sqlite3_stmt *statement = insert_.get();
        for (size_t c = 0; c < columns_.size(); c++) {
            const int at = static_cast<int>(c + 1);
            const FlatColumn &column = columns_[c];
            int rc;
            if (column.field < 0) {
                rc = sqlite3_bind_int64(statement, at, static_cast<sqlite3_int64>(record.record_id));
            } else if (column.overflow) {
                const std::string json = overflow_json(record.fields[static_cast<size_t>(column.field)], column.repetition);
                rc = sqlite3_bind_text(statement, at, json.data(), static_cast<int>(json.size()), SQLITE_TRANSIENT);
            } else {
                const Cell &cell = record.fields[static_cast<size_t>(column.field)][static_cast<size_t>(column.repetition) - 1];
                switch (cell.type) {
                case CellType::null: rc = sqlite3_bind_null(statement, at); break;
                case CellType::container:
                    rc = sqlite3_bind_zeroblob64(statement, at, cell.container.size);
                    break;
                default:
                    rc = sqlite3_bind_text(statement, at, cell.text.data(), static_cast<int>(cell.text.size()),
                                           SQLITE_STATIC);
                    break;
                }
            }
            if (rc != SQLITE_OK) return fail(failure);
        }
        if (sqlite3_step(statement) != SQLITE_DONE) {
            sqlite3_reset(statement);
            return fail(failure);
        }
        sqlite3_reset(statement);
        const sqlite3_int64 rowid = sqlite3_last_insert_rowid(db_.get());
        for (size_t c = 0; c < columns_.size(); c++) {
            const FlatColumn &column = columns_[c];
            if (column.field < 0 || column.overflow) continue;
            const Cell &cell = record.fields[static_cast<size_t>(column.field)][static_cast<size_t>(column.repetition) - 1];
            if (cell.type == CellType::container && cell.container.size > 0)
                blobs_[key_string(cell.container.key)].push_back({rowid, c});
        }
        if (++uncommitted_ >= kRowsPerTransaction) {
            uncommitted_ = 0;
            if (!exec("COMMIT", failure) || !exec("BEGIN", failure)) return false;
        }
        return true;
    }

    /* The global values go into one table for all tables, made under a
     * name no table can have (table names are at most 63 bytes and a
     * suffix) and renamed at the end to "_globals", made unique against
     * the tables' names; a container's bytes go into its value as the
     * records' containers go into theirs. */
    bool write_globals(const Record &globals, Failure *failure) override {
        std::vector<GlobalRow> rows;
        global_rows(*plan_, globals, &rows);
        if (!globals_insert_) {
            const std::string create = "CREATE TABLE " + quoted_identifier(kGlobalsWork) +
                                       " (\"table\" TEXT, \"field\" TEXT, \"repetition\" INTEGER, \"value\")";
            std::string message;
            if (!run_single_statement(db_.get(), create, &message)) return fail(failure, message);
            sqlite3_stmt *prepared = nullptr;
            const std::string insert = "INSERT INTO " + quoted_identifier(kGlobalsWork) +
                                       " (\"table\", \"field\", \"repetition\", \"value\") VALUES (?1, ?2, ?3, ?4);";
            if (sqlite3_prepare_v2(db_.get(), insert.c_str(), -1, &prepared, nullptr) != SQLITE_OK)
                return fail(failure);
            globals_insert_.reset(prepared);
        }
        sqlite3_stmt *statement = globals_insert_.get();
        for (const GlobalRow &row : rows) {
            sqlite3_bind_text(statement, 1, row.table.data(), static_cast<int>(row.table.size()), SQLITE_STATIC);
            sqlite3_bind_text(statement, 2, row.field.data(), static_cast<int>(row.field.size()), SQLITE_STATIC);
            sqlite3_bind_int(statement, 3, row.repetition);
            if (row.cell.type == CellType::container)
                sqlite3_bind_zeroblob64(statement, 4, row.cell.container.size);
            else
                sqlite3_bind_text(statement, 4, row.cell.text.data(), static_cast<int>(row.cell.text.size()),
                                  SQLITE_STATIC);
            const int rc = sqlite3_step(statement);
            sqlite3_reset(statement);
            if (rc != SQLITE_DONE) return fail(failure);
            if (row.cell.type == CellType::container && row.cell.container.size > 0)
                blobs_[key_string(row.cell.container.key)].push_back(
                    {sqlite3_last_insert_rowid(db_.get()), kGlobalValue});
        }
        return true;
    }

    bool stores_containers() const override { return true; }

    bool begin_container(const quarn_container_key_t &key, uint64_t size, Failure *failure) override {
        const auto found = blobs_.find(key_string(key));
        current_ = found == blobs_.end() ? nullptr : &found->second;
        size_ = size;
        if (!current_ || current_->empty()) return true;
        const Place &first = current_->front();
        sqlite3_blob *blob = nullptr;
        if (sqlite3_blob_open(db_.get(), "main", place_table(first).c_str(), place_column(first).c_str(), first.rowid,
                              1, &blob) != SQLITE_OK) {
            sqlite3_blob_close(blob);
            return fail(failure);
        }
        blob_.reset(blob);
        return true;
    }

    bool container_piece(uint64_t offset, std::span<const uint8_t> bytes, Failure *failure) override {
        if (!blob_) return true;
        /* the blob was made as long as the stream table declares; pieces of
         * a sound stream add up to that */
        if (offset > size_ || bytes.size() > size_ - offset) return true;
        if (sqlite3_blob_write(blob_.get(), bytes.data(), static_cast<int>(bytes.size()), static_cast<int>(offset)) !=
            SQLITE_OK)
            return fail(failure);
        return true;
    }

    bool end_container(Failure *failure) override {
        if (!blob_) return true;
        if (sqlite3_blob_close(blob_.release()) != SQLITE_OK) return fail(failure);
        const Place first = current_->front();
        for (size_t i = 1; i < current_->size(); i++) {
            const Place &other = (*current_)[i];
            const std::string sql = "UPDATE " + quoted_identifier(place_table(other)) + " SET " +
                                    quoted_identifier(place_column(other)) + " = (SELECT " +
                                    quoted_identifier(place_column(first)) + " FROM " +
                                    quoted_identifier(place_table(first)) + " WHERE rowid = ?1) WHERE rowid = ?2;";
            sqlite3_stmt *prepared = nullptr;
            if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &prepared, nullptr) != SQLITE_OK) return fail(failure);
            const StatementPtr update(prepared);
            sqlite3_bind_int64(prepared, 1, first.rowid);
            sqlite3_bind_int64(prepared, 2, other.rowid);
            if (sqlite3_step(prepared) != SQLITE_DONE) return fail(failure);
        }
        current_ = nullptr;
        return true;
    }

    bool end_table(Failure *) override {
        insert_.reset();
        blobs_.clear();
        return true;
    }

    bool finish(Failure *failure) override {
        if (!db_ && !open(failure)) return false;
        if (globals_insert_) {
            globals_insert_.reset();
            std::string message;
            if (!run_single_statement(db_.get(),
                                      "ALTER TABLE " + quoted_identifier(kGlobalsWork) + " RENAME TO " +
                                          quoted_identifier(table_names_.take("_globals")),
                                      &message))
                return fail(failure, message);
        }
        if (!exec("COMMIT", failure)) return false;
        insert_.reset();
        if (sqlite3_close(db_.get()) != SQLITE_OK) return fail(failure);
        (void)db_.release();
        return true;
    }

    void abandon() override {
        blob_.reset();
        insert_.reset();
        globals_insert_.reset();
        db_.reset();
    }

  private:
    struct Place {
        sqlite3_int64 rowid;
        size_t column; /* kGlobalValue: the value of a row of the globals */
    };
    static constexpr size_t kGlobalValue = SIZE_MAX;
    inline static const std::string kGlobalsWork =
        "quarn: the global values of every table, renamed to _globals when the export is complete";

    const std::string &place_table(const Place &place) const {
        return place.column == kGlobalValue ? kGlobalsWork : table_name_;
    }
    std::string place_column(const Place &place) const {
        return place.column == kGlobalValue ? "value" : column_names_[place.column];
    }

    static std::string key_string(const quarn_container_key_t &key) {
        return std::string(reinterpret_cast<const char *>(key.bytes), std::min<uint32_t>(key.size, QUARN_CONTAINER_KEY_MAX));
    }

    bool open(Failure *failure) {
        sqlite3 *opened = nullptr;
        const int rc = sqlite3_open_v2(settings_.work_path.c_str(), &opened, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                       nullptr);
        db_.reset(opened);
        if (rc != SQLITE_OK) return fail(failure);
        sqlite3_extended_result_codes(db_.get(), 1);
        return exec("PRAGMA journal_mode = OFF", failure) && exec("PRAGMA synchronous = 0", failure) &&
               exec("BEGIN", failure);
    }

    bool exec(const char *sql, Failure *failure) {
        if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) return fail(failure);
        return true;
    }

    /* "cannot write OUT: reason": the system's words when SQLite met a
     * system error (a full disk), SQLite's otherwise. */
    bool fail(Failure *failure, const std::string &message = "") {
        std::string reason = message;
        if (reason.empty() && db_) {
            const int system = sqlite3_system_errno(db_.get());
            const int code = sqlite3_errcode(db_.get()) & 0xFF;
            if (code == SQLITE_FULL) reason = strerror(ENOSPC);
            else if (system != 0 && (code == SQLITE_IOERR || code == SQLITE_CANTOPEN)) reason = strerror(system);
            else reason = sqlite3_errmsg(db_.get());
        }
        if (reason.empty()) reason = "out of memory";
        failure->message = "cannot write " + settings_.output_path + ": " + reason;
        return false;
    }

    FormatSettings settings_;
    DatabasePtr db_;
    StatementPtr insert_;
    StatementPtr globals_insert_;
    const TablePlan *plan_ = nullptr;
    BlobPtr blob_;
    std::string table_name_;
    UniqueNames table_names_{"_", ""};
    std::vector<FlatColumn> columns_;
    std::vector<std::string> column_names_;
    std::map<std::string, std::vector<Place>> blobs_;
    std::vector<Place> *current_ = nullptr;
    uint64_t size_ = 0;
    uint64_t uncommitted_ = 0;
};

} // namespace

std::vector<std::string> sqlite_table_names(const std::vector<TablePlan> &plans) {
    UniqueNames names("_", "");
    std::vector<std::string> out;
    for (const TablePlan &plan : plans) out.push_back(sql_table_name(names, plan));
    return out;
}

bool sqlite_create_table(const TablePlan &plan, const std::string &table_name, std::string *sql,
                         std::vector<FlatColumn> *columns, std::vector<std::string> *column_names,
                         std::vector<std::string> *overflowed, Failure *failure) {
    if (!flat_columns(plan, format_info(FormatId::sqlite).column_limit, columns, overflowed)) {
        failure->message = "table \"" + std::string(plan.table.name) + "\" has more fields than an SQLite table can hold";
        return false;
    }
    /* SQLite has no table without columns: a table without fields keeps
     * its records' ids */
    if (columns->empty()) columns->push_back({plan.record_id_name, -1, 1, false, CellType::number});
    UniqueNames names("_", "");
    column_names->clear();
    *sql = "CREATE TABLE " + quoted_identifier(table_name) + " (";
    for (size_t c = 0; c < columns->size(); c++) {
        const FlatColumn &column = (*columns)[c];
        std::string name = column.name;
        for (char &ch : name)
            if (ch == ' ') ch = '_';
        name = names.take(name);
        column_names->push_back(name);
        if (c > 0) *sql += ", ";
        *sql += quoted_identifier(name) + " " + (column.field < 0 ? "INTEGER" : declared_type(column.type, column.overflow));
    }
    *sql += ");";
    return true;
}

std::unique_ptr<Format> create_sqlite_format(const FormatSettings &settings) {
    return std::make_unique<SqliteFormat>(settings);
}

} // namespace qexport
