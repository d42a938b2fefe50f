/*
 * format_csv.cpp: the CSV format of quarn export: a folder with one file
 * per table, named after the table (made safe and unique), written by RFC
 * 4180: a header row of column names, CRLF after every row, a field that
 * holds a comma, a double quote, CR or LF enclosed in double quotes with
 * its quotes doubled, UTF-8 without a byte-order mark. A repeating field
 * is one column per used repetition, a container its file's path. The
 * global values of all tables follow in a file _globals.csv.
 *
 * The writer is the few lines below: Debian's CSV library quotes every
 * field, where this format quotes only the fields that need it.
 */
#include "format.h"
#include "names.h"
#include "text_file.h"

namespace qexport {

namespace {

class CsvFormat : public Format {
  public:
    explicit CsvFormat(const FormatSettings &settings) : settings_(settings) {}

    bool begin_table(const TablePlan &plan, Failure *failure) override {
        plan_ = &plan;
        std::vector<std::string> overflowed;
        flat_columns(plan, 0, &columns_, &overflowed);
        const std::string name =
            names_.take(safe_file_name(plan.table.name, "table " + std::to_string(plan.table.index)), ".csv");
        if (!file_.open(settings_.work_path + "/" + name, settings_.output_path + "/" + name, failure)) return false;
        for (size_t c = 0; c < columns_.size(); c++) {
            if (c > 0) file_.put(',');
            field(columns_[c].name);
        }
        file_.write("\r\n");
        return file_.ok(failure);
    }

    bool write_record(const Record &record, Failure *failure) override {
        for (size_t c = 0; c < columns_.size(); c++) {
            if (c > 0) file_.put(',');
            const FlatColumn &column = columns_[c];
            if (column.field < 0) {
                file_.write(std::to_string(record.record_id));
                continue;
            }
            const auto &cells = record.fields[static_cast<size_t>(column.field)];
            if (column.overflow) {
                field(overflow_json(cells, column.repetition));
                continue;
            }
            field(value_text(cells[static_cast<size_t>(column.repetition) - 1]));
        }
        file_.write("\r\n");
        return file_.ok(failure);
    }

    bool write_globals(const Record &globals, Failure *) override {
        global_rows(*plan_, globals, &globals_);
        return true;
    }

    bool end_table(Failure *failure) override { return file_.close(failure); }

    /* the global values of every table, one per row, in a file of their
     * own named after none of the tables */
    bool finish(Failure *failure) override {
        if (globals_.empty()) return true;
        const std::string name = names_.take("_globals", ".csv");
        if (!file_.open(settings_.work_path + "/" + name, settings_.output_path + "/" + name, failure)) return false;
        file_.write("table,field,repetition,value\r\n");
        for (const GlobalRow &row : globals_) {
            field(row.table);
            file_.put(',');
            field(row.field);
            file_.put(',');
            file_.write(std::to_string(row.repetition));
            file_.put(',');
            field(value_text(row.cell));
            file_.write("\r\n");
        }
        return file_.close(failure);
    }
    void abandon() override { file_.drop(); }

  private:
    /* a container and a text written to a file by their paths */
    static const std::string &value_text(const Cell &cell) {
        if (cell.type == CellType::container) return cell.container.path;
        return cell.file.empty() ? cell.text : cell.file;
    }

    void field(std::string_view text) {
        if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
            file_.write(text);
            return;
        }
        file_.put('"');
        size_t start = 0, quote;
        while ((quote = text.find('"', start)) != std::string_view::npos) {
            file_.write(text.substr(start, quote + 1 - start));
            file_.put('"');
            start = quote + 1;
        }
        file_.write(text.substr(start));
        file_.put('"');
    }

    FormatSettings settings_;
    const TablePlan *plan_ = nullptr;
    std::vector<FlatColumn> columns_;
    std::vector<GlobalRow> globals_;
    UniqueNames names_;
    TextFile file_;
};

} // namespace

std::unique_ptr<Format> create_csv_format(const FormatSettings &settings) {
    return std::make_unique<CsvFormat>(settings);
}

} // namespace qexport
