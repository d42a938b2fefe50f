/*
 * format.h: what the reading side of quarn export hands to an output
 * format, and the few entry points every format implements. The reading
 * side (source.h) plans each table and walks its records; a format gets
 * begin_table with the plan, write_record once per record, the bytes of the
 * table's containers when it stores them itself, end_table, and at the end
 * finish (the output is complete in its temporary place) or abandon.
 * Formats call nothing of the library (they see its records only as the
 * plan carries them); the reading side knows nothing of formats.
 */
#ifndef QUARN_EXPORT_FORMAT_H
#define QUARN_EXPORT_FORMAT_H

#include "quarn.h"
#include "values.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qexport {

/* What a value turned into. */
enum class CellType { null, text, number, date, time, timestamp, container };

/* A container as its cell shows it. */
struct ContainerCell {
    quarn_container_key_t key{};
    std::string tag;  /* the main stream's tag, trailing spaces kept ("PDF ") */
    uint64_t size = 0; /* the main stream's length */
    std::string name; /* the stored file name; empty when none */
    /* Where its file is, relative to the output's folder; empty when no
     * file is written (SQLite without --containers). */
    std::string path;
};

/* One value of one repetition of a field. */
struct Cell {
    CellType type = CellType::null;
    /* text, number (in canonical_number's form), the ISO text of a date,
     * time or timestamp; empty for null and container */
    std::string text;
    DateTime moment;      /* date, time, timestamp */
    ContainerCell container; /* container */
    /* A text longer than the format's cells hold (FormatInfo::
     * cell_characters): the path of the file that holds it whole, relative
     * to the output's folder as a container's path is; text is then
     * empty. Empty otherwise. */
    std::string file;
};

/* A field as the export writes it. */
struct FieldPlan {
    quarn_field_t field{};
    /* The field's name made unique within the table (regardless of case):
     * the JSON key and the base of its column names. */
    std::string name;
    /* The highest repetition holding a value anywhere in the table, at
     * least 1: the number of cells the field has in every record. */
    int used_repetitions = 1;
    /* How its values are written: text (as stored), number (numbers
     * become numbers, other texts stay text), date, time, timestamp
     * (every value converted to ISO 8601), container. */
    CellType type = CellType::text;
};

struct TablePlan {
    quarn_table_t table{};
    std::vector<FieldPlan> fields;
    bool record_id = false; /* a first column or key "record_id" */
    /* The name of the record id column, unique among the fields' names */
    std::string record_id_name = "record_id";
    uint64_t records = 0;    /* when known from a scan; else 0 */
    /* The table holds global values (one per global field, outside the
     * records): they come once through write_globals, and in every record. */
    bool globals = false;
};

/* A record: per field of the plan, its used_repetitions cells. */
struct Record {
    int32_t row = 0;
    uint64_t record_id = 0;
    std::vector<std::vector<Cell>> fields;
};

/* One column of a flat table (SQLite, CSV, XLSX). */
struct FlatColumn {
    std::string name;       /* "Name", "Name[2]", "Name[k…]", "record_id" */
    int field = -1;         /* index into TablePlan::fields; -1: the record id */
    int repetition = 1;     /* which repetition; the first of an overflow */
    bool overflow = false;  /* a JSON array of repetition.. used_repetitions */
    CellType type = CellType::text;
};

/* The columns of a flat format with at most column_limit columns (0: no
 * limit): each field's repetitions in turn, and when they would take the
 * table past the limit, the rest in one overflow column. Returns false when
 * even one column per field does not fit. overflowed receives the names of
 * the fields that got an overflow column. */
bool flat_columns(const TablePlan &plan, size_t column_limit, std::vector<FlatColumn> *columns,
                  std::vector<std::string> *overflowed);

/* The JSON array text of repetitions first.. of a field's cells in a
 * record, for an overflow column: strings, numbers, null. */
std::string overflow_json(const std::vector<Cell> &cells, int first);

/* One global value as the formats write them once, in their _globals
 * table: the table's and field's names, the repetition, the cell. */
struct GlobalRow {
    std::string table;
    std::string field;
    int repetition = 1;
    Cell cell;
};

/* The rows of write_globals' record: one per global cell that holds a
 * value, in field and repetition order, appended to rows. */
void global_rows(const TablePlan &plan, const Record &globals, std::vector<GlobalRow> *rows);

/* The columns of a _globals table. */
inline const char *const kGlobalColumns[] = {"table", "field", "repetition", "value"};

/* What a format hands back from a failed entry point: the message that
 * follows "quarn: ". */
struct Failure {
    std::string message;
};

/* The facts of the file the export reads, for formats that write them. */
struct FileFacts {
    std::string name;
    quarn_file_info_t info{};
};

/* The output format's entry points. A false return ends the export: the
 * format has set *failure, and abandon() follows. */
class Format {
  public:
    virtual ~Format() = default;
    virtual bool begin_table(const TablePlan &plan, Failure *failure) = 0;
    virtual bool write_record(const Record &record, Failure *failure) = 0;
    /* The table's global values, once, after begin_table and before the
     * first record, when plan.globals: a Record of row 0 whose global
     * fields hold their values (a container as its cell, whose bytes
     * follow with the table's other containers) and whose other fields
     * are null. The same cells are in every record, except a global
     * container's where the format keeps container bytes (SQLite,
     * PostgreSQL): there it is null in the records, so that its bytes are
     * stored once. */
    virtual bool write_globals(const Record &, Failure *) { return true; }
    /* Formats that keep container bytes themselves (SQLite) answer true
     * and get each referenced container's main stream between
     * write_record and end_table: begin_container, its pieces in order,
     * end_container. */
    virtual bool stores_containers() const { return false; }
    virtual bool begin_container(const quarn_container_key_t &, uint64_t, Failure *) { return true; }
    virtual bool container_piece(uint64_t, std::span<const uint8_t>, Failure *) { return true; }
    virtual bool end_container(Failure *) { return true; }
    virtual bool end_table(Failure *failure) = 0;
    /* Called once before the tables are planned: a format that writes
     * somewhere it must reach first (a database server) checks it here, so
     * that a wrong target fails before the long read. */
    virtual bool prepare(Failure *) { return true; }
    /* Completes the output in its temporary place. */
    virtual bool finish(Failure *failure) = 0;
    /* Releases everything after a failure; the temporary output is removed
     * by its StagedOutput. */
    virtual void abandon() = 0;
};

/* What a format is created with. */
struct FormatSettings {
    std::string work_path;   /* the file or folder to write (temporary) */
    std::string output_path; /* the final path, for messages */
    std::string input_name;  /* the input as messages name it */
    FileFacts facts;
    /* prints one warning line (the text after "quarn: ") */
    std::function<void(const std::string &)> warn;
    /* PostgreSQL: the schema the tables go into, whether an existing one
     * is replaced (--force), and whether output_path is a connection
     * (URI or key=value string) rather than the script file to write */
    std::string schema;
    bool force = false;
    bool to_server = false;
};

/* The formats. */
enum class FormatId { sqlite, csv, json, jsonl, xlsx, postgres };

struct FormatInfo {
    FormatId id;
    const char *name;      /* as --to takes it */
    bool folder;           /* writes a folder of files, one per table */
    bool container_files;  /* writes containers as files by default */
    size_t column_limit;   /* 0: none */
    /* The longest text a cell holds, in characters; 0: no limit. A longer
     * one goes whole into a file of the files folder (Cell::file). */
    size_t cell_characters;
    std::unique_ptr<Format> (*create)(const FormatSettings &settings);
};

/* The table of formats, and a lookup by --to name (nullptr when unknown). */
const std::vector<FormatInfo> &formats();
const FormatInfo *find_format(std::string_view name);
const FormatInfo &format_info(FormatId id);

/* Each format's constructor, one per file format_*.cpp. */
std::unique_ptr<Format> create_sqlite_format(const FormatSettings &settings);
std::unique_ptr<Format> create_csv_format(const FormatSettings &settings);
std::unique_ptr<Format> create_json_format(const FormatSettings &settings);
std::unique_ptr<Format> create_jsonl_format(const FormatSettings &settings);
std::unique_ptr<Format> create_xlsx_format(const FormatSettings &settings);
std::unique_ptr<Format> create_postgres_format(const FormatSettings &settings);

} // namespace qexport

#endif
