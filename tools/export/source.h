/*
 * source.h: the reading side of quarn export. It opens the database file,
 * plans each table (its fields, how many repetitions each really uses, how
 * its values are typed, the file's date order), and walks the records and
 * the container store, handing records and container bytes to a Format.
 * It knows the library and nothing of output formats.
 *
 * The work per table: a scan of the records only where the plan needs one
 * (a field declared with repetitions, or date, time and timestamp fields
 * whose conversion is decided for the whole field before anything is
 * written), one look at the container store where the table has container
 * fields (each container's streams and name, no bytes), the table's
 * global values (read in the plan and again before the records, which
 * each get them), the records walk, and a second walk of the container
 * store that hands over the bytes of the referenced containers. Memory holds one record, the container index
 * and the references of one table: never a value's worth of bytes beyond
 * what the library hands out.
 */
#ifndef QUARN_EXPORT_SOURCE_H
#define QUARN_EXPORT_SOURCE_H

#include "format.h"
#include "names.h"
#include "quarn.hpp"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qexport {

/* Where messages go: warnings (one line each, without "quarn: ") and the
 * progress display. */
struct Reporter {
    /* a loss or a demotion, which --strict makes the export's failure */
    std::function<void(const std::string &)> warn;
    /* what the export did that loses nothing (a text written whole to a
     * file), shown as the warnings are; null: warn takes it */
    std::function<void(const std::string &)> note;
    /* polled during the walks; true ends them as a failure "interrupted" */
    bool (*stopped)() = nullptr;
    /* table name, records done so far, bytes of values handed over */
    std::function<void(const char *, uint64_t, uint64_t)> progress;
};

/* Receives the bytes of each referenced container's main stream: the files
 * written beside the output. */
class ContainerFileSink {
  public:
    virtual ~ContainerFileSink() = default;
    /* paths: relative to the files folder, one per reference */
    virtual bool begin(const std::vector<std::string> &paths, Failure *failure) = 0;
    virtual bool piece(std::span<const uint8_t> bytes, Failure *failure) = 0;
    virtual bool end(Failure *failure) = 0;
};

struct SourceOptions {
    bool text = false;      /* no conversions: values as the library hands them */
    bool record_id = false; /* a first column record_id */
    /* A number field becomes numbers only when every value of it is a
     * number (canonical_number); one other value keeps the whole field as
     * text, with a warning (for formats whose columns have one type:
     * PostgreSQL). Otherwise each value that is no number stays text, and
     * one warning per field counts them. */
    bool numbers_by_field = false;
    /* Container cells get a path: the files folder as seen from the
     * output's folder ("out.json_files", "files"); empty: no files. */
    std::optional<std::string> files_prefix;
    /* Texts longer than this many characters (0: no limit) are written
     * whole into the files folder as TABLE/FIELD/ROW.txt (ROW-r.txt for
     * repetition r), beside the container files, and the cell gets the
     * file's path (Cell::file), with one warning per field counting them.
     * Needs files_prefix. */
    size_t cell_characters = 0;
};

/* What the library's error numbers mean to a user: "not a FileMaker
 * database file", "is damaged: block 812 ends inside a chunk", ... (the
 * text after "quarn: NAME"; it starts with ": " or " "). block is where a
 * walk failed (quarn_failed_block), 0 for a failure of the open, which
 * names no block. */
std::string describe_error(quarn_error_t error, int32_t block = 0);

/* The main stream of a container: the first present of FILE, PDF, PNGf,
 * JPEG, GIFf, BMPf, SVG, PICT, then any other, never SIZE, FNAM, DPI_ or
 * FRM#. -1 when there is none. */
int main_stream(const quarn_container_t &container);

/* The file name extension for a stream tag ("jpg" for JPEG, ...). */
std::string tag_extension(std::string_view tag);

/* A stream tag without its trailing spaces ("PDF "  -> "PDF"). */
std::string tag_text(std::string_view tag);

class Source {
  public:
    /* Opens the file; on failure *error holds the message after "quarn: ". */
    bool open(const std::string &path, std::string *error);

    const std::string &display_name() const { return display_; }
    const FileFacts &facts() const { return facts_; }
    const quarn_table_array_t &tables() const { return *tables_; }

    /* Plans the tables: fields, used repetitions, date order, field types.
     * Prints a warning for every table without a name in the file (the
     * library lists it as "table_" and its key) and every field that
     * keeps its text. Needs a pass over the records of some tables (see above);
     * all_tables are looked at for the date order when the selected tables
     * do not decide it. */
    bool plan(const std::vector<const quarn_table_t *> &selected, const SourceOptions &options,
              const Reporter &reporter, std::vector<TablePlan> *plans, Failure *failure);

    /* The file's date order found by plan. */
    DateOrder date_order() const { return order_; }

    /* Walks one planned table into format (begin_table .. end_table),
     * writing container files through files when given. */
    bool export_table(const TablePlan &plan, Format &format, ContainerFileSink *files,
                      const Reporter &reporter, Failure *failure);

    /* Counts the records (every one the file holds, by quarn_count_records)
     * and containers of a table (for quarn info). */
    bool count(const quarn_table_t &table, uint64_t *records, uint64_t *containers, Failure *failure);

    /* The fields of a table. */
    quarn::FieldsPtr fields(const quarn_table_t &table, Failure *failure);

  private:
    struct ContainerEntry {
        int main = -1;     /* index of the main stream; -1: none */
        std::string tag;
        uint64_t size = 0;
        std::string name;
        bool damaged = false; /* the main stream is damaged */
        bool warned = false;
    };
    using KeyBytes = std::string;
    static KeyBytes key_bytes(const quarn_container_key_t &key);
    bool index_containers(const quarn_table_t &table, std::map<KeyBytes, ContainerEntry> *index,
                          Failure *failure);
    Failure read_failure(quarn_error_t error) const;

    std::string display_;
    quarn::FilePtr file_;
    quarn::TablesPtr tables_;
    FileFacts facts_;
    SourceOptions options_;
    DateOrder order_ = DateOrder::unknown;
    UniqueNames table_folders_{"~", ""};
};

} // namespace qexport

#endif
