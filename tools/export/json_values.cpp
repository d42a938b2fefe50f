/*
 * json_values.cpp: records and cells as JSON through YAJL (json_values.h).
 */
#include "json_values.h"

#include "source.h"

namespace qexport {

namespace {

void print_to_file(void *ctx, const char *text, size_t length) {
    static_cast<TextFile *>(ctx)->write(std::string_view(text, length));
}

} // namespace

GenPtr json_generator(TextFile &out, bool beautify) {
    GenPtr gen(yajl_gen_alloc(nullptr));
    if (!gen) return gen;
    yajl_gen_config(gen.get(), yajl_gen_print_callback, print_to_file, &out);
    /* text is checked as UTF-8 by the generator: the library hands over
     * valid UTF-8, and anything else is refused rather than written */
    yajl_gen_config(gen.get(), yajl_gen_validate_utf8, 1);
    if (beautify) {
        yajl_gen_config(gen.get(), yajl_gen_beautify, 1);
        yajl_gen_config(gen.get(), yajl_gen_indent_string, "  ");
    }
    return gen;
}

void JsonWriter::string(std::string_view text) {
    check(yajl_gen_string(gen_, reinterpret_cast<const unsigned char *>(text.data()), text.size()));
}

void JsonWriter::cell(const Cell &cell) {
    switch (cell.type) {
    case CellType::null: null(); break;
    case CellType::number: number(cell.text); break;
    case CellType::container:
        map_open();
        string("path");
        if (cell.container.path.empty()) null();
        else string(cell.container.path);
        string("type");
        string(tag_text(cell.container.tag));
        string("size");
        integer(static_cast<long long>(cell.container.size));
        if (!cell.container.name.empty()) {
            string("name");
            string(cell.container.name);
        }
        map_close();
        break;
    default: string(cell.text); break;
    }
}

void JsonWriter::record(const TablePlan &plan, const Record &record) {
    map_open();
    if (plan.record_id) {
        string(plan.record_id_name);
        integer(static_cast<long long>(record.record_id));
    }
    for (size_t f = 0; f < plan.fields.size(); f++) {
        const FieldPlan &field = plan.fields[f];
        string(field.name);
        const auto &cells = record.fields[f];
        if (field.used_repetitions <= 1) {
            cell(cells.front());
            continue;
        }
        array_open();
        for (const Cell &c : cells) cell(c);
        array_close();
    }
    map_close();
}

const char *type_name(int data_type) {
    switch (data_type) {
    case QUARN_TYPE_TEXT: return "text";
    case QUARN_TYPE_NUMBER: return "number";
    case QUARN_TYPE_DATE: return "date";
    case QUARN_TYPE_TIME: return "time";
    case QUARN_TYPE_TIMESTAMP: return "timestamp";
    case QUARN_TYPE_CONTAINER: return "container";
    default: return "unknown";
    }
}

const char *kind_name(int kind) {
    switch (kind) {
    case QUARN_KIND_NORMAL: return "normal";
    case QUARN_KIND_CALCULATION: return "calculation";
    case QUARN_KIND_SUMMARY: return "summary";
    default: return "unknown";
    }
}

void JsonWriter::fields(const TablePlan &plan) {
    array_open();
    for (const FieldPlan &field : plan.fields) {
        map_open();
        string("name");
        string(field.name);
        string("type");
        string(type_name(field.field.data_type));
        string("kind");
        string(kind_name(field.field.kind));
        string("global");
        boolean(field.field.global != 0);
        string("repetitions");
        integer(field.field.repetitions);
        string("used_repetitions");
        integer(field.used_repetitions);
        map_close();
    }
    array_close();
}

bool JsonWriter::ok(Failure *failure) const {
    if (status_ == yajl_gen_status_ok) return true;
    failure->message = status_ == yajl_gen_invalid_string ? "a text is not valid UTF-8" : "the JSON generator failed";
    return false;
}

} // namespace qexport
