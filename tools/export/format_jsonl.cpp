/*
 * format_jsonl.cpp: the JSON Lines format of quarn export: a folder with
 * one file per table, named after the table (made safe and unique), holding
 * one JSON object per record per line, as json_values.h writes a record.
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

    bool end_table(Failure *failure) override {
        gen_.reset();
        return file_.close(failure);
    }
    bool finish(Failure *) override { return true; }
    void abandon() override {
        gen_.reset();
        file_.drop();
    }

  private:
    FormatSettings settings_;
    const TablePlan *plan_ = nullptr;
    UniqueNames names_;
    TextFile file_;
    GenPtr gen_;
};

} // namespace

std::unique_ptr<Format> create_jsonl_format(const FormatSettings &settings) {
    return std::make_unique<JsonlFormat>(settings);
}

} // namespace qexport
