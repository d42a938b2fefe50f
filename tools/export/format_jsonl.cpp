/*
 * format_jsonl.cpp: the JSON Lines format of quarn export: a folder with
 * one file per table, named after the table (made safe and unique), holding
 * one JSON object per record per line, as json_values.h writes a record,
 * and the global values of all tables in _globals.jsonl, one per line.
 */
#include "format.h"
#include "json_values.h"
#include "names.h"

namespace qexport {

namespace {

class JsonlFormat : public Format {
  public:
    explicit JsonlFormat(const FormatSettings &settings) : settings_(settings) {}

    bool begin_table(const TablePlan &plan, Failure *failure) override {
        plan_ = &plan;
        const std::string name =
            names_.take(safe_file_name(plan.table.name, "table " + std::to_string(plan.table.index)), ".jsonl");
        if (!file_.open(settings_.work_path + "/" + name, settings_.output_path + "/" + name, failure)) return false;
        gen_ = json_generator(file_, false);
        if (!gen_) {
            failure->message = "out of memory";
            return false;
        }
        return true;
    }

    bool write_record(const Record &record, Failure *failure) override {
        JsonWriter json(gen_.get());
        json.record(*plan_, record);
        if (!json.ok(failure)) return false;
        file_.put('\n');
        json.reset();
        return file_.ok(failure);
    }

    bool write_globals(const Record &globals, Failure *) override {
        global_rows(*plan_, globals, &globals_);
        return true;
    }

    bool end_table(Failure *failure) override {
        gen_.reset();
        return file_.close(failure);
    }

    /* the global values of every table, one object per line, in a file of
     * their own named after none of the tables */
    bool finish(Failure *failure) override {
        if (globals_.empty()) return true;
        const std::string name = names_.take("_globals", ".jsonl");
        if (!file_.open(settings_.work_path + "/" + name, settings_.output_path + "/" + name, failure)) return false;
        gen_ = json_generator(file_, false);
        if (!gen_) {
            failure->message = "out of memory";
            return false;
        }
        for (const GlobalRow &row : globals_) {
            JsonWriter json(gen_.get());
            json.map_open();
            json.string("table");
            json.string(row.table);
            json.string("field");
            json.string(row.field);
            json.string("repetition");
            json.integer(row.repetition);
            json.string("value");
            if (row.cell.type == CellType::container) json.string(row.cell.container.path);
            else json.cell(row.cell);
            json.map_close();
            if (!json.ok(failure)) return false;
            file_.put('\n');
            json.reset();
        }
        gen_.reset();
        return file_.close(failure);
    }
    void abandon() override {
        gen_.reset();
        file_.drop();
    }

  private:
    FormatSettings settings_;
    const TablePlan *plan_ = nullptr;
    std::vector<GlobalRow> globals_;
    UniqueNames names_;
    TextFile file_;
    GenPtr gen_;
};

} // namespace

std::unique_ptr<Format> create_jsonl_format(const FormatSettings &settings) {
    return std::make_unique<JsonlFormat>(settings);
}

} // namespace qexport
