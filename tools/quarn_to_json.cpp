/*
 * quarn_to_json.cpp: quarn-to-json, which writes a whole database file as one
 * JSON document: an array of tables, each with its name, its columns (name,
 * type, collation) and its rows as objects keyed by column name. Every key
 * and value is a string.
 *
 * The document is built in memory with YAJL's generator and written out only
 * after every table has been read, so a failed read leaves no output at all.
 * The write itself is checked to the end (every byte written, the stream
 * closed or flushed); a failed write removes a file that this run created or
 * truncated and ends with status 1.
 *
 * The conversion is the function quarn_to_json (converters.h); main, left
 * out of the fuzz build by QUARN_CONVERTER_NO_MAIN, only checks the
 * arguments and calls it.
 */
#include "converter.h"
#include "converters.h"

#include <yajl/yajl_gen.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

namespace {

/* Field kinds 1 to 8 as earlier files store them; 0 means none. */
constexpr int kTypeCount = 9;
constexpr char type_names[kTypeCount][10] = {
    "", "text", "number", "date", "time", "container", "calc", "summary", "global",
};

/* Collation bytes 1 to 101 with a language code; every other code has an
 * empty entry. Codes 98 to 101 repeat the languages of 17, 7, 3 and 8. */
constexpr int kCollationCount = 102;
using collation_table_t = std::array<std::array<char, 3>, kCollationCount>;

constexpr collation_table_t make_collation_table() {
    struct entry_t {
        int code;
        char text[3];
    };
    constexpr entry_t entries[] = {
        {1, "fr"},  {3, "de"},  {4, "it"},  {5, "nl"},  {7, "sv"},   {8, "es"},
        {9, "da"},  {10, "pt"}, {12, "no"}, {17, "fi"}, {20, "el"},  {21, "is"},
        {24, "tr"}, {39, "ro"}, {42, "pl"}, {43, "hu"}, {49, "ru"},  {56, "cs"},
        {62, "uk"}, {66, "hr"}, {73, "ca"}, {98, "fi"}, {99, "sv"},  {100, "de"},
        {101, "es"},
    };
    collation_table_t table{};
    for (const entry_t &e : entries) table[e.code] = {e.text[0], e.text[1], '\0'};
    return table;
}

constexpr collation_table_t collation_codes = make_collation_table();

/* The writer context handed to json_add_value. */
struct json_ctx {
    yajl_gen gen;
    int last_row; /* row number of the row object now open; 0: none */
};

struct GenFreer {
    void operator()(yajl_gen gen) const { yajl_gen_free(gen); }
};
using GenPtr = std::unique_ptr<std::remove_pointer_t<yajl_gen>, GenFreer>;

const char *gen_status_text(yajl_gen_status status) {
    switch (status) {
    case yajl_gen_status_ok: return "no error";
    case yajl_gen_keys_must_be_strings: return "a map key is not a string";
    case yajl_max_depth_exceeded: return "nesting too deep";
    case yajl_gen_in_error_state: return "generator in error state";
    case yajl_gen_generation_complete: return "document already complete";
    case yajl_gen_invalid_number: return "invalid number";
    case yajl_gen_no_buf: return "no output buffer";
    case yajl_gen_invalid_string: return "invalid UTF-8 string";
    }
    return "unknown generator status";
}

yajl_gen_status gen_string(yajl_gen gen, std::string_view text) {
    return yajl_gen_string(gen, reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

/* The document's own generator calls (everything but the values, which
 * json_add_value adds). A call is made only while every call before it
 * succeeded, and the first failure is kept: report() prints it, and the run
 * checks it before every step that can be seen from outside (a query of the
 * file, the write), so a failure ends the run before anything else is
 * printed or written, leaving the document cut short and unwritten. */
struct json_document {
    yajl_gen gen;
    yajl_gen_status status = yajl_gen_status_ok;

    void map_open() { if (status == yajl_gen_status_ok) status = yajl_gen_map_open(gen); }
    void map_close() { if (status == yajl_gen_status_ok) status = yajl_gen_map_close(gen); }
    void array_open() { if (status == yajl_gen_status_ok) status = yajl_gen_array_open(gen); }
    void array_close() { if (status == yajl_gen_status_ok) status = yajl_gen_array_close(gen); }
    void string(std::string_view text) {
        if (status == yajl_gen_status_ok) status = gen_string(gen, text);
    }

    /* True when every call so far succeeded; otherwise prints the failure. */
    bool report() const {
        if (status == yajl_gen_status_ok) return true;
        fflush(stdout);
        fprintf(stderr, "Error generating JSON: %s\n", gen_status_text(status));
        return false;
    }
};

/* Writes the object of one column: its name, then its type and collation
 * when the tables above name them. */
void write_column(json_document &doc, const quarn_column_t &column) {
    doc.map_open();
    doc.string("name");
    doc.string(column.name);
    if (column.type >= 1 && column.type < kTypeCount) {
        doc.string("type");
        doc.string(type_names[column.type]);
    }
    if (column.collation >= 1 && column.collation < kCollationCount &&
        collation_codes[column.collation][0] != '\0') {
        doc.string("collation");
        doc.string(std::string_view(collation_codes[column.collation].data(), 2));
    }
    doc.map_close();
}

/* Value handler: opens a new row object whenever the row number changes and
 * adds the value under its column's name. A generator failure aborts the
 * read, which quarn_to_json then reports with the read's error code. */
int json_add_value(int row, const quarn_column_t *column, const char *value, void *user_ctx) {
    json_ctx *ctx = static_cast<json_ctx *>(user_ctx);
    yajl_gen_status status = yajl_gen_status_ok;
    if (row != ctx->last_row) {
        if (ctx->last_row != 0) status = yajl_gen_map_close(ctx->gen);
        if (status == yajl_gen_status_ok) status = yajl_gen_map_open(ctx->gen);
    }
    if (status == yajl_gen_status_ok) status = gen_string(ctx->gen, column->name);
    if (status == yajl_gen_status_ok) status = gen_string(ctx->gen, value);
    if (status != yajl_gen_status_ok) {
        fprintf(stderr, "Error generating JSON: %s\n", gen_status_text(status));
        return QUARN_HANDLER_ABORT;
    }
    ctx->last_row = row;
    return QUARN_HANDLER_CONTINUE;
}

/* Reports a failed write of the document, removing the output when guard
 * says it is ours; returns 1, the run's status. */
int report_write_error(const converter::OutputGuard *guard, const char *path, int error) {
    fprintf(stderr, "Error writing JSON to %s: %s\n", path, strerror(error));
    if (guard) guard->discard();
    return 1;
}

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

/* Writes the finished document to standard output ("-") or to the file at
 * path, checking the write and the close; on failure the output is removed
 * when it is a regular file this run created or truncated. Returns the
 * run's status. */
int write_document(const char *path, const unsigned char *text, size_t length) {
    if (strcmp(path, "-") == 0) {
        errno = 0;
        const bool written = fwrite(text, 1, length, stdout) == length;
        if (!written || fflush(stdout) != 0 || ferror(stdout))
            return report_write_error(nullptr, "standard output", errno ? errno : EIO);
        return 0;
    }

    /* the guard looks at the path before fopen creates or truncates it */
    const converter::OutputGuard guard(path);
    FilePtr out(fopen(path, "w"));
    if (!out) {
        fprintf(stderr, "Couldn't open file for writing: %s\n", path);
        return 1;
    }
    errno = 0;
    if (fwrite(text, 1, length, out.get()) != length) {
        const int error = errno ? errno : EIO;
        out.reset();
        return report_write_error(&guard, path, error);
    }
    errno = 0;
    if (fclose(out.release()) != 0) return report_write_error(&guard, path, errno ? errno : EIO);
    return 0;
}

} // namespace

namespace converter {

int quarn_to_json(const char *input_path, const char *output_path) {
    GenPtr gen(yajl_gen_alloc(nullptr));
    if (!gen) {
        fprintf(stderr, "Error generating JSON: out of memory\n");
        return 1;
    }

    std::optional<Input> input = open_input(input_path);
    if (!input) return 1;

    yajl_gen_config(gen.get(), yajl_gen_beautify, 1);
    json_document doc{gen.get()};
    doc.array_open();

    json_ctx ctx{gen.get(), 0};
    for (uint64_t i = 0; i < input->tables->count; i++) {
        const quarn_table_t *table = &input->tables->tables[i];
        doc.map_open();
        doc.string("name");
        doc.string(table->name);

        doc.string("columns");
        doc.array_open();
        if (!doc.report()) return 1;
        {
            const quarn::ColumnsPtr columns = list_columns(input->file.get(), table);
            if (!columns) return 1;
            for (uint64_t c = 0; c < columns->count; c++) write_column(doc, columns->columns[c]);
        }
        doc.array_close();

        doc.string("values");
        doc.array_open();
        if (!doc.report()) return 1;
        ctx.last_row = 0;
        const quarn_error_t result = quarn_read_values(input->file.get(), table, json_add_value, &ctx);
        if (result != QUARN_OK) return report_error_code(result);
        if (ctx.last_row != 0) doc.map_close();
        doc.array_close();
        doc.map_close();
    }
    doc.array_close();
    input.reset();

    const unsigned char *text = nullptr;
    size_t length = 0;
    if (doc.status == yajl_gen_status_ok) doc.status = yajl_gen_get_buf(gen.get(), &text, &length);
    if (!doc.report()) return 1;
    return write_document(output_path, text, length);
}

} // namespace converter

#ifndef QUARN_CONVERTER_NO_MAIN
int main(int argc, char **argv) {
    converter::check_arguments(argc, argv);
    return converter::quarn_to_json(argv[1], argv[2]);
}
#endif
