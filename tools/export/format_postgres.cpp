/*
 * format_postgres.cpp: the PostgreSQL format of quarn export. One schema
 * per input, one table per table, a column per field typed from the plan
 * (text, numeric, date, time, timestamp, bytea for containers; an array of
 * them for a repeating field, as long as its highest used repetition), and
 * the rows loaded by COPY in its text form. Everything happens in one
 * transaction: loaded straight into a server through libpq, a failure
 * anywhere (a value the server refuses, a lost connection, an interrupt)
 * ends the connection without COMMIT, which rolls all of it back; written
 * as a psql script, the same statements and the same COPY data go into a
 * file between BEGIN and COMMIT.
 *
 * The reading side hands over container bytes only after the records of
 * their table (see source.h), and COPY cannot come back to a row. A table
 * with container fields therefore goes through two temporary tables: its
 * rows, the containers' keys in place of their bytes, into
 * pg_temp.quarn_rows; each container's main stream, hex-encoded piece by
 * piece as it arrives, into pg_temp.quarn_containers; then one INSERT ...
 * SELECT puts the rows into the real table with the bytes joined in by key.
 * Neither a table nor a container is ever held in memory: COPY data goes
 * out in buffers of kBufferBytes.
 *
 * The global values of every table go, at the end, into one table
 * _globals (table, field, repetition, value text, data bytea): a global
 * container's bytes are copied from the table's container table into
 * pg_temp.quarn_global_data before it goes, and its cells in the records
 * stay NULL, so that they are stored once.
 */
#include "format_postgres.h"

#include "format.h"
#include "names.h"
#include "sql_text.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <span>
#include <vector>

namespace qexport {

namespace {

using converter::quoted_identifier;

constexpr size_t kBufferBytes = 1 << 20;

/* Identifiers unique regardless of ASCII case and at most 63 bytes: a
 * longer name is cut at a character boundary, and a name taken already
 * (cut or not) gets "_2", "_3", ... within the 63 bytes, so that two long
 * names never become one. */
class IdentifierNames {
  public:
    std::string take(const std::string &name) {
        std::string candidate = cut_bytes(name, kPostgresIdentifierBytes);
        for (unsigned n = 2; taken_.count(lower_ascii(candidate)) != 0; n++) {
            const std::string suffix = "_" + std::to_string(n);
            candidate = cut_bytes(name, kPostgresIdentifierBytes - suffix.size()) + suffix;
        }
        taken_.insert(lower_ascii(candidate));
        return candidate;
    }

  private:
    std::set<std::string> taken_;
};

const char *sql_type(CellType type) {
    switch (type) {
    case CellType::number: return "numeric";
    case CellType::date: return "date";
    case CellType::time: return "time";
    case CellType::timestamp: return "timestamp";
    case CellType::container: return "bytea";
    default: return "text";
    }
}

/* text as a value of COPY's text form: backslash, tab, newline and
 * carriage return escaped with a backslash, everything else as it is. */
void append_copy_text(std::string &out, std::string_view text) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        const char *escaped = c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
        if (!escaped) continue;
        out.append(text.substr(start, i - start));
        out += escaped;
        start = i + 1;
    }
    out.append(text.substr(start));
}

void append_hex(std::string &out, std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    const size_t at = out.size();
    out.resize(at + 2 * bytes.size());
    char *p = out.data() + at;
    for (uint8_t b : bytes) {
        *p++ = digits[b >> 4];
        *p++ = digits[b & 15];
    }
}

std::string key_hex(const quarn_container_key_t &key) {
    std::string out;
    append_hex(out, std::span<const uint8_t>(key.bytes, std::min<uint32_t>(key.size, QUARN_CONTAINER_KEY_MAX)));
    return out;
}

/* One column of a table. */
struct Column {
    std::string name;  /* the SQL name */
    int field = -1;    /* index into TablePlan::fields; -1: the record id */
    bool array = false;
    CellType type = CellType::text;
};

/* What the server said of a failed statement: its message and, for a COPY,
 * the line of the data it refused (0: none). */
struct ServerError {
    std::string message;
    uint64_t line = 0;
};

/* Where the statements and COPY data go: a connection, or a script file.
 * Both get exactly the same text. */
class Sink {
  public:
    virtual ~Sink() = default;
    virtual bool statement(const std::string &sql, ServerError *error) = 0;
    /* relation: the name COPY names in the server's messages */
    virtual bool copy_begin(const std::string &sql, const std::string &relation, ServerError *error) = 0;
    virtual bool copy_data(std::string_view data, ServerError *error) = 0;
    virtual bool copy_end(ServerError *error) = 0;
    virtual void close() = 0;
};

struct ConnectionCloser {
    void operator()(PGconn *connection) const { PQfinish(connection); }
};
struct ResultClearer {
    void operator()(PGresult *result) const { PQclear(result); }
};
using ConnectionPtr = std::unique_ptr<PGconn, ConnectionCloser>;
using ResultPtr = std::unique_ptr<PGresult, ResultClearer>;

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

/* The server's words: its primary message, or libpq's when the server
 * said nothing (a lost connection). */
std::string result_message(const PGresult *result, PGconn *connection) {
    const char *primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (primary && *primary) return primary;
    std::string text = trimmed(result ? PQresultErrorMessage(result) : "");
    if (text.empty()) text = trimmed(PQerrorMessage(connection));
    if (text.compare(0, 7, "ERROR: ") == 0) text = trimmed(text.substr(7));
    while (!text.empty() && text.front() == ' ') text.erase(0, 1);
    return text.empty() ? "the server gave no reason" : text;
}

/* The line COPY names in its context ("COPY name, line 3, column x: ..."). */
uint64_t copy_line(const PGresult *result, const std::string &relation) {
    const char *context = result ? PQresultErrorField(result, PG_DIAG_CONTEXT) : nullptr;
    if (!context) return 0;
    const std::string text = context;
    const std::string prefix = "COPY " + relation + ", line ";
    const size_t at = text.find(prefix);
    if (at == std::string::npos) return 0;
    return std::strtoull(text.c_str() + at + prefix.size(), nullptr, 10);
}

/* Straight into a server through libpq. */
class ServerSink : public Sink {
  public:
    /* Connects (libpq reads the PG* environment and ~/.pgpass as psql
     * does); on failure *error holds libpq's reason. */
    bool connect(const std::string &target, const std::function<void(const std::string &)> &warn, std::string *error) {
        warn_ = warn;
        connection_.reset(PQconnectdb(target.c_str()));
        if (!connection_) {
            *error = "out of memory";
            return false;
        }
        if (PQstatus(connection_.get()) != CONNECTION_OK) {
            *error = trimmed(PQerrorMessage(connection_.get()));
            return false;
        }
        PQsetNoticeReceiver(connection_.get(), notice, this);
        if (PQsetClientEncoding(connection_.get(), "UTF8") != 0) {
            *error = trimmed(PQerrorMessage(connection_.get()));
            return false;
        }
        return true;
    }

    PGconn *connection() const { return connection_.get(); }

    bool schema_exists(const std::string &schema, bool *exists, ServerError *error) {
        const char *values[] = {schema.c_str()};
        const ResultPtr result(PQexecParams(connection_.get(), "SELECT 1 FROM pg_catalog.pg_namespace WHERE nspname = $1",
                                            1, nullptr, values, nullptr, nullptr, 0));
        if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
            error->message = result_message(result.get(), connection_.get());
            return false;
        }
        *exists = PQntuples(result.get()) > 0;
        return true;
    }

    bool statement(const std::string &sql, ServerError *error) override {
        const ResultPtr result(PQexec(connection_.get(), sql.c_str()));
        const ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return true;
        error->message = result_message(result.get(), connection_.get());
        return false;
    }

    bool copy_begin(const std::string &sql, const std::string &relation, ServerError *error) override {
        relation_ = relation;
        const ResultPtr result(PQexec(connection_.get(), sql.c_str()));
        if (PQresultStatus(result.get()) == PGRES_COPY_IN) return true;
        error->message = result_message(result.get(), connection_.get());
        return false;
    }

    bool copy_data(std::string_view data, ServerError *error) override {
        if (PQputCopyData(connection_.get(), data.data(), static_cast<int>(data.size())) == 1) return true;
        /* the server ended the COPY (an error) or the connection is gone */
        return copy_result(error);
    }

    bool copy_end(ServerError *error) override {
        if (PQputCopyEnd(connection_.get(), nullptr) != 1) {
            error->message = trimmed(PQerrorMessage(connection_.get()));
            copy_result(error);
            return false;
        }
        return copy_result(error);
    }

    /* Without COMMIT the server rolls the transaction back. */
    void close() override { connection_.reset(); }

  private:
    /* Collects the outcome of the COPY: true only when it succeeded. */
    bool copy_result(ServerError *error) {
        bool ok = true, seen = false;
        while (PGresult *raw = PQgetResult(connection_.get())) {
            const ResultPtr result(raw);
            seen = true;
            if (PQresultStatus(raw) == PGRES_COPY_IN) {
                /* still copying: the data was refused by libpq itself */
                PQputCopyEnd(connection_.get(), "quarn: the data could not be sent");
                continue;
            }
            if (PQresultStatus(raw) != PGRES_COMMAND_OK && ok) {
                ok = false;
                error->message = result_message(raw, connection_.get());
                error->line = copy_line(raw, relation_);
            }
        }
        if (!seen && PQstatus(connection_.get()) != CONNECTION_OK) {
            error->message = trimmed(PQerrorMessage(connection_.get()));
            return false;
        }
        return ok;
    }

    /* The server's warnings become warning lines; notices (such as what
     * DROP SCHEMA ... CASCADE removed) are not shown. */
    static void notice(void *self, const PGresult *result) {
        const char *severity = PQresultErrorField(result, PG_DIAG_SEVERITY_NONLOCALIZED);
        const char *message = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
        auto *sink = static_cast<ServerSink *>(self);
        if (severity && strcmp(severity, "WARNING") == 0 && message && sink->warn_)
            sink->warn_(std::string("the server warns: ") + message);
    }

    ConnectionPtr connection_;
    std::string relation_;
    std::function<void(const std::string &)> warn_;
};

/* A psql script: statements end in ";" and a line break, COPY data
 * follows its COPY ... FROM stdin and ends with a line "\.". */
class ScriptSink : public Sink {
  public:
    bool open(const std::string &path, std::string *error) {
        file_ = fopen(path.c_str(), "wb");
        if (!file_) *error = strerror(errno);
        return file_ != nullptr;
    }

    bool statement(const std::string &sql, ServerError *error) override { return write(sql + ";\n", error); }
    bool copy_begin(const std::string &sql, const std::string &, ServerError *error) override {
        return write(sql + ";\n", error);
    }
    bool copy_data(std::string_view data, ServerError *error) override { return write(data, error); }
    bool copy_end(ServerError *error) override { return write("\\.\n", error); }

    /* Flushes and closes the file; false with the reason when that failed. */
    bool finish(ServerError *error) {
        FILE *file = file_;
        file_ = nullptr;
        if (!file) return true;
        const bool ok = fflush(file) == 0 && !ferror(file);
        const int why = errno;
        if (fclose(file) != 0 || !ok) {
            error->message = strerror(ok ? errno : why);
            return false;
        }
        return true;
    }

    void close() override {
        if (file_) fclose(file_);
        file_ = nullptr;
    }
    ~ScriptSink() override { close(); }

    bool write(std::string_view text, ServerError *error) {
        if (fwrite(text.data(), 1, text.size(), file_) == text.size()) return true;
        error->message = strerror(errno);
        return false;
    }

  private:
    FILE *file_ = nullptr;
};

class PostgresFormat : public Format {
  public:
    explicit PostgresFormat(const FormatSettings &settings)
        : settings_(settings), display_(settings.to_server ? postgres_display(settings.output_path)
                                                           : settings.output_path),
          schema_(quoted_identifier(settings.schema)) {}
    ~PostgresFormat() override { abandon(); }

    bool prepare(Failure *failure) override {
        ServerError error;
        if (settings_.to_server) {
            auto server = std::make_unique<ServerSink>();
            std::string why;
            if (!server->connect(settings_.output_path, settings_.warn, &why)) {
                failure->message = "cannot connect to " + display_ + ": " + why;
                return false;
            }
            bool exists = false;
            if (!server->schema_exists(settings_.schema, &exists, &error)) return fail(failure, error);
            if (exists && !settings_.force) {
                failure->message = display_ + ": schema \"" + settings_.schema + "\" already exists (--force replaces it)";
                return false;
            }
            sink_ = std::move(server);
        } else {
            auto script = std::make_unique<ScriptSink>();
            std::string why;
            if (!script->open(settings_.work_path, &why)) {
                failure->message = "cannot write " + display_ + ": " + why;
                return false;
            }
            /* psql stops at the first error, so that the transaction is
             * rolled back rather than committed half done */
            std::string name = settings_.facts.name;
            for (char &c : name)
                if (static_cast<unsigned char>(c) < 0x20) c = '?'; /* the comment is one line */
            const std::string head = "-- " + name +
                                     " by quarn export: load with psql -v ON_ERROR_STOP=1 -f FILE\n"
                                     "\\set ON_ERROR_STOP on\n";
            if (!script->write(head, &error) || !script->statement("SET client_encoding = 'UTF8'", &error))
                return fail(failure, error);
            sink_ = std::move(script);
        }
        if (!sink_->statement("BEGIN", &error)) return fail(failure, error);
        if (settings_.force && !sink_->statement("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE", &error))
            return fail(failure, error);
        if (!sink_->statement("CREATE SCHEMA " + schema_, &error)) return fail(failure, error);
        return true;
    }

    bool begin_table(const TablePlan &plan, Failure *failure) override {
        plan_ = &plan;
        table_global_keys_.clear();
        table_ = plan.table.name;
        std::string name = plan.table.name;
        if (name.empty()) name = "table " + std::to_string(plan.table.index);
        relation_ = table_names_.take(name);
        const std::string target = schema_ + "." + quoted_identifier(relation_);

        columns_.clear();
        IdentifierNames names;
        if (plan.record_id) columns_.push_back({names.take(plan.record_id_name), -1, false, CellType::number});
        for (size_t f = 0; f < plan.fields.size(); f++) {
            const FieldPlan &field = plan.fields[f];
            std::string column = field.name;
            for (char &c : column)
                if (c == ' ') c = '_';
            const bool array = field.field.repetitions > 1 || field.used_repetitions > 1;
            columns_.push_back({names.take(column), static_cast<int>(f), array, field.type});
        }
        if (columns_.size() > format_info(FormatId::postgres).column_limit) {
            failure->message = "table \"" + table_ + "\" has more fields than a PostgreSQL table can hold";
            return false;
        }
        staged_ = false;
        std::string create = "CREATE TABLE " + target + " (", staging = "CREATE TABLE " + kRows +
                                                                        " (\"quarn line\" bigint GENERATED ALWAYS AS IDENTITY";
        std::string list;
        for (size_t c = 0; c < columns_.size(); c++) {
            const Column &column = columns_[c];
            const std::string type = column.field < 0 ? "bigint" : std::string(sql_type(column.type)) + (column.array ? "[]" : "");
            const std::string staged_type = column.type == CellType::container ? (column.array ? "text[]" : "text") : type;
            staged_ = staged_ || column.type == CellType::container;
            if (c > 0) create += ", ", list += ", ";
            create += quoted_identifier(column.name) + " " + type + (column.field < 0 ? " PRIMARY KEY" : "");
            staging += ", " + quoted_identifier(column.name) + " " + staged_type;
            list += quoted_identifier(column.name);
        }
        create += ")";
        staging += ")";
        ServerError error;
        if (!sink_->statement(create, &error)) return fail(failure, error);
        if (staged_ && (!sink_->statement(staging, &error) ||
                        !sink_->statement("CREATE TABLE " + kContainers + " (key text PRIMARY KEY, bytes bytea)", &error)))
            return fail(failure, error);
        column_list_ = list;
        target_ = target;
        rows_.clear();
        copying_ = Copying::none;
        if (columns_.empty()) return true;
        if (!sink_->copy_begin("COPY " + (staged_ ? kRows : target) + " (" + list + ") FROM stdin",
                               staged_ ? "quarn_rows" : relation_, &error))
            return fail(failure, error);
        copying_ = Copying::rows;
        return true;
    }

    bool write_record(const Record &record, Failure *failure) override {
        if (copying_ != Copying::rows) return true;
        for (size_t c = 0; c < columns_.size(); c++) {
            const Column &column = columns_[c];
            if (c > 0) buffer_ += '\t';
            if (column.field < 0) {
                buffer_ += std::to_string(record.record_id);
                continue;
            }
            const std::vector<Cell> &cells = record.fields[static_cast<size_t>(column.field)];
            if (!column.array) {
                append_cell(cells.front(), column);
                continue;
            }
            std::string literal = "{";
            for (size_t r = 0; r < cells.size(); r++) {
                if (r > 0) literal += ',';
                append_element(literal, cells[r], column);
            }
            literal += '}';
            append_copy_text(buffer_, literal);
        }
        buffer_ += '\n';
        rows_.push_back(record.row);
        return buffer_.size() < kBufferBytes || flush(failure);
    }

    /* The global values wait for finish, which writes them into one
     * table _globals; a container's bytes are kept from the table's
     * container table under the table's number and the key. */
    bool write_globals(const Record &globals, Failure *) override {
        std::vector<GlobalRow> rows;
        global_rows(*plan_, globals, &rows);
        for (GlobalRow &row : rows) {
            std::string data_key;
            if (row.cell.type == CellType::container) {
                table_global_keys_.push_back(key_hex(row.cell.container.key));
                data_key = std::to_string(plan_->table.index) + ":" + table_global_keys_.back();
            }
            globals_.push_back({std::move(row), std::move(data_key)});
        }
        return true;
    }

    bool stores_containers() const override { return true; }

    bool begin_container(const quarn_container_key_t &key, uint64_t size, Failure *failure) override {
        if (!staged_) return true;
        if (copying_ == Copying::rows && !end_copy(failure)) return false;
        if (copying_ == Copying::none) {
            ServerError error;
            if (!sink_->copy_begin("COPY " + kContainers + " (\"key\", \"bytes\") FROM stdin", "quarn_containers", &error))
                return fail(failure, error);
            copying_ = Copying::containers;
        }
        buffer_ += key_hex(key);
        buffer_ += "\t\\\\x";
        size_ = size;
        written_ = 0;
        return true;
    }

    bool container_piece(uint64_t offset, std::span<const uint8_t> bytes, Failure *failure) override {
        if (copying_ != Copying::containers) return true;
        /* As the SQLite format's blob: the stream as long as its table
         * declares, pieces in their places, a gap left zero, a piece that
         * would run past the end left out (a sound stream has none of
         * these). A stream is written front to back, so a piece that goes
         * back over written bytes is left out too. */
        if (offset > size_ || bytes.size() > size_ - offset || offset < written_) return true;
        if (!pad(offset, failure)) return false;
        for (size_t at = 0; at < bytes.size();) {
            const size_t step = std::min<size_t>(bytes.size() - at, kBufferBytes / 2);
            append_hex(buffer_, bytes.subspan(at, step));
            at += step;
            if (buffer_.size() >= kBufferBytes && !flush(failure)) return false;
        }
        written_ = offset + bytes.size();
        return true;
    }

    bool end_container(Failure *failure) override {
        if (copying_ != Copying::containers) return true;
        if (!pad(size_, failure)) return false;
        buffer_ += '\n';
        return buffer_.size() < kBufferBytes || flush(failure);
    }

    bool end_table(Failure *failure) override {
        if (copying_ != Copying::none && !end_copy(failure)) return false;
        if (!staged_) return true;
        /* the rows in the order they came, each container's bytes joined
         * in by its key */
        std::string select;
        for (size_t c = 0; c < columns_.size(); c++) {
            const Column &column = columns_[c];
            const std::string value = "s." + quoted_identifier(column.name);
            if (c > 0) select += ", ";
            if (column.type != CellType::container)
                select += value;
            else if (!column.array)
                select += "(SELECT c.bytes FROM " + kContainers + " c WHERE c.key = " + value + ")";
            else
                select += "ARRAY(SELECT c.bytes FROM unnest(" + value + ") WITH ORDINALITY AS u(key, n) LEFT JOIN " +
                          kContainers + " c ON c.key = u.key ORDER BY u.n)";
        }
        ServerError error;
        if (!table_global_keys_.empty()) {
            std::string keys;
            for (const std::string &key : table_global_keys_) keys += (keys.empty() ? "'" : ", '") + key + "'";
            if (!sink_->statement("CREATE TABLE IF NOT EXISTS " + kGlobalData + " (key text PRIMARY KEY, bytes bytea)",
                                  &error) ||
                !sink_->statement("INSERT INTO " + kGlobalData + " SELECT '" + std::to_string(plan_->table.index) +
                                      ":' || key, bytes FROM " + kContainers + " WHERE key IN (" + keys +
                                      ") ON CONFLICT DO NOTHING",
                                  &error))
                return fail(failure, error);
            table_global_keys_.clear();
        }
        if (!sink_->statement("INSERT INTO " + target_ + " (" + column_list_ + ") SELECT " + select + " FROM " +
                                  kRows + " s ORDER BY s.\"quarn line\"",
                              &error) ||
            !sink_->statement("DROP TABLE " + kRows + ", " + kContainers, &error))
            return fail(failure, error);
        return true;
    }

    bool finish(Failure *failure) override {
        if (!sink_ && !prepare(failure)) return false;
        ServerError error;
        table_.clear();
        if (!globals_.empty() && !write_global_table(failure)) return false;
        if (!sink_->statement("COMMIT", &error)) return fail(failure, error);
        if (!settings_.to_server && !static_cast<ScriptSink *>(sink_.get())->finish(&error)) return fail(failure, error);
        sink_->close();
        sink_.reset();
        return true;
    }

    void abandon() override {
        if (sink_) sink_->close();
        sink_.reset();
        buffer_.clear();
    }

  private:
    enum class Copying { none, rows, containers };

    struct Global {
        GlobalRow row;
        std::string data_key; /* a container: table number and key */
    };

    /* A text as an SQL string literal (standard_conforming_strings, on
     * since PostgreSQL 9.1: only quotes are doubled). */
    static std::string literal(std::string_view text) {
        std::string out = "'";
        for (char c : text) {
            if (c == '\'') out += '\'';
            out += c;
        }
        return out + "'";
    }

    /* _globals: table, field, repetition, value (the text, the number, a
     * container's path when files are written), data (a container's main
     * stream). */
    bool write_global_table(Failure *failure) {
        const std::string target = schema_ + "." + quoted_identifier(table_names_.take("_globals"));
        ServerError error;
        if (!sink_->statement("CREATE TABLE " + target +
                                  " (\"table\" text, \"field\" text, \"repetition\" integer, \"value\" text, "
                                  "\"data\" bytea)",
                              &error))
            return fail(failure, error);
        for (const Global &global : globals_) {
            const Cell &cell = global.row.cell;
            const bool container = cell.type == CellType::container;
            const std::string &text = container ? cell.container.path : cell.text;
            const std::string data =
                container ? "(SELECT bytes FROM " + kGlobalData + " WHERE key = " + literal(global.data_key) + ")"
                          : "NULL";
            if (!sink_->statement("INSERT INTO " + target + " VALUES (" + literal(global.row.table) + ", " +
                                      literal(global.row.field) + ", " + std::to_string(global.row.repetition) + ", " +
                                      (text.empty() && container ? "NULL" : literal(text)) + ", " + data + ")",
                                  &error))
                return fail(failure, error);
        }
        return true;
    }

    /* the temporary tables of a table with containers */
    inline static const std::string kRows = "pg_temp.quarn_rows";
    inline static const std::string kContainers = "pg_temp.quarn_containers";
    /* the bytes of global containers, until _globals is written */
    inline static const std::string kGlobalData = "pg_temp.quarn_global_data";

    void append_cell(const Cell &cell, const Column &column) {
        if (column.type == CellType::container) {
            if (cell.type == CellType::container) buffer_ += key_hex(cell.container.key);
            else buffer_ += "\\N";
            return;
        }
        if (cell.type == CellType::null) buffer_ += "\\N";
        else append_copy_text(buffer_, cell.text);
    }

    /* One element of an array literal: NULL, or the value in double quotes
     * with its quotes and backslashes escaped. */
    static void append_element(std::string &literal, const Cell &cell, const Column &column) {
        const bool present = column.type == CellType::container ? cell.type == CellType::container
                                                                 : cell.type != CellType::null;
        if (!present) {
            literal += "NULL";
            return;
        }
        literal += '"';
        const std::string text = column.type == CellType::container ? key_hex(cell.container.key) : cell.text;
        for (char c : text) {
            if (c == '"' || c == '\\') literal += '\\';
            literal += c;
        }
        literal += '"';
    }

    /* Zero bytes up to offset of the current stream. */
    bool pad(uint64_t offset, Failure *failure) {
        static const uint8_t zeros[4096] = {};
        while (written_ < offset) {
            const size_t step = static_cast<size_t>(std::min<uint64_t>(offset - written_, sizeof zeros));
            append_hex(buffer_, std::span<const uint8_t>(zeros, step));
            written_ += step;
            if (buffer_.size() >= kBufferBytes && !flush(failure)) return false;
        }
        return true;
    }

    bool flush(Failure *failure) {
        ServerError error;
        const bool ok = buffer_.empty() || sink_->copy_data(buffer_, &error);
        buffer_.clear();
        if (!ok) copying_ = Copying::none;
        return ok || fail(failure, error);
    }

    bool end_copy(Failure *failure) {
        if (!flush(failure)) return false;
        copying_ = Copying::none;
        ServerError error;
        if (!sink_->copy_end(&error)) return fail(failure, error);
        return true;
    }

    /* "cannot load into TARGET: table "T", row N: the server's message"
     * for a server, "cannot write FILE: reason" for a script. */
    bool fail(Failure *failure, const ServerError &error) {
        if (!settings_.to_server) {
            failure->message = "cannot write " + display_ + ": " + error.message;
            return false;
        }
        std::string where;
        if (!table_.empty()) {
            where = "table \"" + table_ + "\"";
            if (error.line > 0 && error.line <= rows_.size())
                where += ", row " + std::to_string(rows_[static_cast<size_t>(error.line - 1)]);
            where += ": ";
        }
        failure->message = "cannot load into " + display_ + ": " + where + error.message + "; nothing was loaded";
        return false;
    }

    FormatSettings settings_;
    const TablePlan *plan_ = nullptr;
    std::vector<Global> globals_;
    std::vector<std::string> table_global_keys_; /* hex, of this table's global containers */
    std::string display_;
    std::string schema_; /* quoted */
    std::unique_ptr<Sink> sink_;
    IdentifierNames table_names_;
    std::string table_;    /* the table's name in the file, for messages */
    std::string relation_; /* its SQL name */
    std::string target_;   /* schema and name, quoted */
    std::string column_list_;
    std::vector<Column> columns_;
    bool staged_ = false;
    Copying copying_ = Copying::none;
    std::string buffer_;
    std::vector<int32_t> rows_; /* per COPY line of the rows: its row */
    uint64_t size_ = 0, written_ = 0;
};

} // namespace

bool postgres_uri(std::string_view output) {
    return output.starts_with("postgresql://") || output.starts_with("postgres://");
}

bool postgres_connection(const std::string &output) {
    if (postgres_uri(output)) return true;
    if (output.find('=') == std::string::npos) return false;
    /* libpq's own reading: every key one it knows */
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(output.c_str(), &error);
    PQfreemem(error);
    if (!options) return false;
    PQconninfoFree(options);
    return true;
}

std::string postgres_schema_name(std::string_view file_name) {
    std::string_view stem = file_name;
    const size_t slash = stem.rfind('/');
    if (slash != std::string_view::npos) stem = stem.substr(slash + 1);
    const size_t dot = stem.rfind('.');
    if (dot != std::string_view::npos && dot > 0) stem = stem.substr(0, dot);
    std::string name;
    for (size_t i = 0; i < stem.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(stem[i]);
        if (utf8_continuation(c)) continue; /* a character beyond ASCII is one "_" */
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
        name += (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '_' ? lower : '_';
    }
    if (name.empty()) return "quarn";
    if ((name[0] >= '0' && name[0] <= '9') || name.starts_with("pg_")) name = "_" + name;
    return name.substr(0, kPostgresIdentifierBytes);
}

std::string postgres_display(const std::string &connection) {
    if (postgres_uri(connection)) {
        std::string uri = connection;
        const size_t authority = uri.find("://") + 3;
        const size_t end = std::min(uri.find_first_of("/?", authority), uri.size());
        const size_t at = uri.rfind('@', end);
        if (at != std::string::npos && at >= authority) {
            const size_t colon = uri.find(':', authority);
            if (colon < at) uri.erase(colon, at - colon);
        }
        /* a password= parameter, wherever it is among the others */
        const size_t query = uri.find('?');
        if (query == std::string::npos) return uri;
        std::string kept;
        size_t start = query + 1;
        while (start <= uri.size()) {
            const size_t amp = std::min(uri.find('&', start), uri.size());
            const std::string parameter = uri.substr(start, amp - start);
            if (!parameter.empty() && !parameter.starts_with("password="))
                kept += (kept.empty() ? "" : "&") + parameter;
            start = amp + 1;
        }
        return uri.substr(0, query) + (kept.empty() ? "" : "?" + kept);
    }
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(connection.c_str(), &error);
    PQfreemem(error);
    if (!options) return "the database";
    std::string shown;
    for (PQconninfoOption *option = options; option->keyword; option++) {
        if (!option->val || strcmp(option->keyword, "password") == 0) continue;
        if (!shown.empty()) shown += ' ';
        shown += std::string(option->keyword) + "=" + option->val;
    }
    PQconninfoFree(options);
    return shown;
}

std::unique_ptr<Format> create_postgres_format(const FormatSettings &settings) {
    return std::make_unique<PostgresFormat>(settings);
}

} // namespace qexport
