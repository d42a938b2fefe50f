/*
 * format.cpp: what the formats share: the table of formats, the columns of
 * a flat table with the column limit's overflow, and the JSON text of an
 * overflow column (format.h).
 */
#include "format.h"

#include <yajl/yajl_gen.h>

namespace qexport {

bool flat_columns(const TablePlan &plan, size_t column_limit, std::vector<FlatColumn> *columns,
                  std::vector<std::string> *overflowed) {
    columns->clear();
    if (plan.record_id) columns->push_back({plan.record_id_name, -1, 1, false, CellType::number});
    const size_t limit = column_limit == 0 ? SIZE_MAX : column_limit;
    if (columns->size() + plan.fields.size() > limit) return false;
    for (size_t f = 0; f < plan.fields.size(); f++) {
        const FieldPlan &field = plan.fields[f];
        /* every field after this one keeps at least one column */
        const size_t later = plan.fields.size() - f - 1;
        const size_t room = limit - columns->size() - later;
        const size_t wanted = static_cast<size_t>(field.used_repetitions);
        const size_t plain = wanted <= room ? wanted : room - 1;
        for (size_t r = 1; r <= plain; r++) {
            std::string name = field.name;
            if (r > 1) name += "[" + std::to_string(r) + "]";
            columns->push_back({name, static_cast<int>(f), static_cast<int>(r), false, field.type});
        }
        if (plain < wanted) {
            const int first = static_cast<int>(plain + 1);
            columns->push_back({field.name + "[" + std::to_string(first) + "\u2026]", static_cast<int>(f),
                                first, true, CellType::text});
            overflowed->push_back(field.name);
        }
    }
    return true;
}

namespace {

void append_json(void *ctx, const char *text, size_t length) {
    static_cast<std::string *>(ctx)->append(text, length);
}

} // namespace

std::string overflow_json(const std::vector<Cell> &cells, int first) {
    std::string out;
    yajl_gen gen = yajl_gen_alloc(nullptr);
    if (!gen) return "[]";
    yajl_gen_config(gen, yajl_gen_print_callback, append_json, &out);
    yajl_gen_array_open(gen);
    for (size_t r = static_cast<size_t>(first) - 1; r < cells.size(); r++) {
        const Cell &cell = cells[r];
        switch (cell.type) {
        case CellType::null: yajl_gen_null(gen); break;
        case CellType::number: yajl_gen_number(gen, cell.text.data(), cell.text.size()); break;
        case CellType::container: {
            const std::string &path = cell.container.path;
            yajl_gen_string(gen, reinterpret_cast<const unsigned char *>(path.data()), path.size());
            break;
        }
        default: {
            /* a text written to a file: its path */
            const std::string &value = cell.file.empty() ? cell.text : cell.file;
            yajl_gen_string(gen, reinterpret_cast<const unsigned char *>(value.data()), value.size());
            break;
        }
        }
    }
    yajl_gen_array_close(gen);
    yajl_gen_free(gen);
    return out;
}

void global_rows(const TablePlan &plan, const Record &globals, std::vector<GlobalRow> *rows) {
    for (size_t f = 0; f < plan.fields.size() && f < globals.fields.size(); f++)
        for (size_t r = 0; r < globals.fields[f].size(); r++) {
            const Cell &cell = globals.fields[f][r];
            if (cell.type == CellType::null) continue;
            rows->push_back({plan.table.name, plan.fields[f].name, static_cast<int>(r + 1), cell});
        }
}

const std::vector<FormatInfo> &formats() {
    /* SQLite's default limit of columns per table, a sheet's width, and
     * PostgreSQL's limit of columns per table; the longest text of a
     * worksheet's cell */
    static const std::vector<FormatInfo> table = {
        {FormatId::sqlite, "sqlite", false, false, 2000, 0, create_sqlite_format},
        {FormatId::csv, "csv", true, true, 0, 0, create_csv_format},
        {FormatId::json, "json", false, true, 0, 0, create_json_format},
        {FormatId::jsonl, "jsonl", true, true, 0, 0, create_jsonl_format},
        {FormatId::xlsx, "xlsx", false, true, 16384, 32767, create_xlsx_format},
        {FormatId::postgres, "postgres", false, false, 1600, 0, create_postgres_format},
    };
    return table;
}

const FormatInfo *find_format(std::string_view name) {
    for (const FormatInfo &info : formats())
        if (name == info.name) return &info;
    return nullptr;
}

const FormatInfo &format_info(FormatId id) {
    for (const FormatInfo &info : formats())
        if (info.id == id) return info;
    return formats().front();
}

} // namespace qexport
