/*
 * quarn_support.h: what the tests of the quarn program share: running it,
 * the typed fixture database (every data type, a repeating field, shared,
 * named and damaged containers) with the values its outputs must hold, and
 * readers of the outputs: SQLite through its API, JSON through YAJL's
 * tree parser, CSV by RFC 4180 (written here), XLSX through unzip and the
 * sheet XML.
 */
#ifndef QUARN_TEST_QUARN_SUPPORT_H
#define QUARN_TEST_QUARN_SUPPORT_H

#include "process.h"
#include "quarn.h"
#include "writer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <yajl/yajl_tree.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <cstring>
#include <string>
#include <vector>

namespace qq {

using qw::Bytes;
using qw::Generation;

inline qt::RunResult quarn(const std::vector<std::string> &args) { return qt::run(qt::tool_path("quarn"), args); }

inline std::string extension(Generation generation) {
    switch (generation) {
    case Generation::early: return ".fp5";
    case Generation::v7: return ".fp7";
    case Generation::v12: return ".fmp12";
    }
    return "";
}

inline const char *generation_name(Generation generation) {
    switch (generation) {
    case Generation::early: return "Early";
    case Generation::v7: return "V7";
    case Generation::v12: return "V12";
    }
    return "";
}

/* The bytes of the fixture's containers. */
inline Bytes picture_bytes() {
    Bytes bytes = {0xFF, 0xD8, 0xFF, 0xE0};
    for (int i = 0; i < 2500; i++) bytes.push_back(static_cast<uint8_t>(i * 31 + 7));
    return bytes;
}
inline Bytes document_bytes() { return Bytes(300, 0x3C); }

inline qw::Column typed_column(const char *name, int type, int number = 0, int repetitions = 1) {
    qw::Column column;
    column.name = name;
    column.number = number;
    column.definition = qw::Definition{type, 1, false, repetitions};
    return column;
}

/* A field with global storage, one value for the whole table. */
inline qw::Column global_column(const char *name, int type, int repetitions = 1) {
    qw::Column column = typed_column(name, type, 0, repetitions);
    column.definition->global = true;
    return column;
}

inline qw::Value value(int column, std::string text, int repetition = 1) {
    qw::Value v;
    v.column = column;
    v.text = std::move(text);
    v.repetition = repetition;
    return v;
}

inline qw::Value container(int column, uint8_t key) {
    qw::Value v;
    v.column = column;
    v.container = Bytes{key};
    return v;
}

/*
 * The typed fixture: table "Things" (early files: named after the file,
 * which the tests call Things.fp5) with the fields
 *   1 Name (text)  2 Amount (number)  3 Day (date)  4 Clock (time)
 *   5 Tags (text, 4 repetitions declared, 3 used)  6 Picture (container)
 *   7 Stamp (timestamp; generation 7 and later only)  9 Note (text; the
 *   numbering skips 8)
 * and four records. "14/10/1999" tells the file's day/month order.
 * Containers: key 1 a JPEG that rows 1 and 3 share, key 2 a FILE with
 * FNAM "notes.txt" (row 2), key 3 a damaged PNG (row 4).
 */
inline qw::Database typed_database(Generation generation) {
    const bool v7 = qw::is_v7(generation);
    qw::Database db;
    db.header.generation = generation;
    qw::Table t;
    t.name = "Things";
    t.columns = {typed_column("Name", QUARN_TYPE_TEXT),          typed_column("Amount", QUARN_TYPE_NUMBER),
                 typed_column("Day", QUARN_TYPE_DATE),           typed_column("Clock", QUARN_TYPE_TIME),
                 typed_column("Tags", QUARN_TYPE_TEXT, 5, 4),    typed_column("Picture", QUARN_TYPE_CONTAINER, 6)};
    if (v7) t.columns.push_back(typed_column("Stamp", QUARN_TYPE_TIMESTAMP, 7));
    t.columns.push_back(typed_column("Note", QUARN_TYPE_TEXT, 9));

    qw::Record r1, r2, r3, r4;
    r1.values = {value(1, "Ada, \"the\" first\nsecond line"), value(2, "12.5"), value(3, "14/10/1999"),
                 value(4, "10:45:06 AM"), value(5, "a"), value(5, "c", 3), container(6, 1)};
    if (v7) r1.values.push_back(value(7, "14/10/1999 12:55"));
    r1.values.push_back(value(9, "n1"));
    r2.values = {value(1, "Björn"), value(2, "007"), value(3, "5/7/2003"), value(4, "12:00:00 AM"), value(5, "x"),
                 container(6, 2)};
    if (v7) r2.values.push_back(value(7, "1/2/2000 3:04:05 PM"));
    r3.values = {value(1, "Chloé"), value(2, "-3"), value(4, "23:59:59"), container(6, 1)};
    r4.values = {value(1, "Dmitri"), value(2, "n/a"), container(6, 3), value(9, "n4")};
    t.records = {r1, r2, r3, r4};

    qw::Container jpeg;
    jpeg.key = {0x01};
    qw::Stream picture;
    picture.tag = "JPEG";
    picture.data = picture_bytes();
    jpeg.streams = {picture};
    if (v7) {
        qw::Stream size;
        size.tag = "SIZE";
        size.data = {0, 0, 1, 0};
        size.form = qw::Stream::Form::inline_field;
        jpeg.streams.insert(jpeg.streams.begin(), size);
    }
    qw::Container file;
    file.key = {0x02};
    qw::Stream body;
    body.tag = "FILE";
    body.data = document_bytes();
    file.streams = {qw::name_stream("notes.txt", generation), body};
    qw::Container damaged;
    damaged.key = {0x03};
    qw::Stream cut;
    cut.tag = "PNGf";
    cut.data = Bytes(200, 0x50);
    cut.declared_length = 400;
    damaged.streams = {cut};
    t.containers = {jpeg, file, damaged};
    db.tables.push_back(t);
    return db;
}

/* Writes the database as DIR/STEM + the generation's extension. */
inline std::string write_input(const qt::TempDir &dir, const std::string &stem, const qw::Database &database) {
    const std::string path = dir.file(stem + extension(database.header.generation));
    qw::write_file(path, qw::build_database(database));
    return path;
}

/* Table "G": a text field and three globals (a number, a container, a
 * text of two repetitions), two records; table "Empty": no records, one
 * global text. */
inline std::string globals_file(const qt::TempDir &dir) {
    qw::Database db;
    db.header.generation = Generation::v12;
    qw::Table g;
    g.name = "G";
    g.columns = {typed_column("Name", QUARN_TYPE_TEXT), global_column("Rate", QUARN_TYPE_NUMBER),
                 global_column("Logo", QUARN_TYPE_CONTAINER), global_column("Code", QUARN_TYPE_TEXT, 2)};
    g.globals = {value(2, ".5"), container(3, 5), value(4, "c1"), value(4, "c2", 2)};
    g.records = {{0, {value(1, "one")}}, {0, {value(1, "two")}}};
    qw::Container logo;
    logo.key = {0x05};
    qw::Stream picture;
    picture.data = picture_bytes();
    logo.streams = {picture};
    g.containers = {logo};
    qw::Table empty;
    empty.name = "Empty";
    empty.columns = {global_column("Note", QUARN_TYPE_TEXT)};
    empty.globals = {value(1, "n\rline")};
    db.tables = {g, empty};
    return write_input(dir, "globals", db);
}

inline std::string bytes_text(const Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

/* ---- SQLite ------------------------------------------------------- */

/* A cell as SQLite gives it back: its storage class and its bytes. */
struct SqlCell {
    int type = SQLITE_NULL;
    std::string bytes;
    bool operator==(const SqlCell &) const = default;
};
using SqlRow = std::vector<SqlCell>;

inline std::vector<SqlRow> sql_query(const std::string &path, const std::string &sql) {
    std::vector<SqlRow> rows;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << path;
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot prepare " << sql << ": " << sqlite3_errmsg(db);
        sqlite3_close(db);
        return rows;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
        SqlRow row;
        for (int c = 0; c < sqlite3_column_count(statement); c++) {
            SqlCell cell;
            cell.type = sqlite3_column_type(statement, c);
            const void *blob = sqlite3_column_blob(statement, c);
            cell.bytes.assign(static_cast<const char *>(blob ? blob : ""),
                              static_cast<size_t>(sqlite3_column_bytes(statement, c)));
            row.push_back(cell);
        }
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

inline SqlCell text_cell(std::string text) { return {SQLITE_TEXT, std::move(text)}; }
inline SqlCell int_cell(std::string text) { return {SQLITE_INTEGER, std::move(text)}; }
inline SqlCell real_cell(std::string text) { return {SQLITE_FLOAT, std::move(text)}; }
inline SqlCell blob_cell(const Bytes &bytes) { return {SQLITE_BLOB, bytes_text(bytes)}; }
inline SqlCell null_cell() { return {SQLITE_NULL, ""}; }

inline std::string integrity(const std::string &path) {
    const auto rows = sql_query(path, "PRAGMA integrity_check");
    return rows.size() == 1 ? rows[0][0].bytes : "no answer";
}

/* ---- JSON --------------------------------------------------------- */

struct JsonFree {
    void operator()(yajl_val value) const { yajl_tree_free(value); }
};
using Json = std::unique_ptr<std::remove_pointer_t<yajl_val>, JsonFree>;

inline Json parse_json(const std::string &text) {
    char error[512] = "";
    Json json(yajl_tree_parse(text.c_str(), error, sizeof error));
    if (!json) ADD_FAILURE() << "not JSON: " << error << "\n" << text.substr(0, 400);
    return json;
}

/* The member name of an object; nullptr when absent (or not an object). */
inline yajl_val member(yajl_val object, const std::string &name) {
    if (!object || !YAJL_IS_OBJECT(object)) return nullptr;
    for (size_t i = 0; i < YAJL_GET_OBJECT(object)->len; i++)
        if (name == YAJL_GET_OBJECT(object)->keys[i]) return YAJL_GET_OBJECT(object)->values[i];
    return nullptr;
}

inline yajl_val item(yajl_val array, size_t index) {
    if (!array || !YAJL_IS_ARRAY(array) || index >= YAJL_GET_ARRAY(array)->len) return nullptr;
    return YAJL_GET_ARRAY(array)->values[index];
}

inline size_t length(yajl_val array) { return array && YAJL_IS_ARRAY(array) ? YAJL_GET_ARRAY(array)->len : 0; }

inline std::string string_of(yajl_val value) {
    return value && YAJL_IS_STRING(value) ? YAJL_GET_STRING(value) : "(not a string)";
}

/* The member names of an object in order. */
inline std::vector<std::string> keys(yajl_val object) {
    std::vector<std::string> out;
    if (!object || !YAJL_IS_OBJECT(object)) return out;
    for (size_t i = 0; i < YAJL_GET_OBJECT(object)->len; i++) out.push_back(YAJL_GET_OBJECT(object)->keys[i]);
    return out;
}

/* ---- CSV by RFC 4180 ---------------------------------------------- */

using CsvRows = std::vector<std::vector<std::string>>;

/* Reads text by RFC 4180: rows end in CRLF (the last one too), fields are
 * separated by commas, a field in double quotes may hold commas, CR, LF
 * and doubled quotes. nullopt, with a failure, when text breaks the rules. */
inline std::optional<CsvRows> read_csv(const std::string &text) {
    CsvRows rows;
    std::vector<std::string> row;
    std::string field;
    size_t i = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        ADD_FAILURE() << "a byte-order mark";
        return std::nullopt;
    }
    while (i < text.size()) {
        if (text[i] == '"') {
            i++;
            for (;;) {
                if (i >= text.size()) {
                    ADD_FAILURE() << "a quoted field never ends";
                    return std::nullopt;
                }
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    i++;
                    break;
                }
                field += text[i++];
            }
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n') {
                if (text[i] == '"') {
                    ADD_FAILURE() << "a quote inside an unquoted field at byte " << i;
                    return std::nullopt;
                }
                field += text[i++];
            }
        }
        if (i < text.size() && text[i] == ',') {
            row.push_back(field);
            field.clear();
            i++;
            continue;
        }
        if (i + 1 >= text.size() || text[i] != '\r' || text[i + 1] != '\n') {
            ADD_FAILURE() << "a row that does not end in CRLF at byte " << i;
            return std::nullopt;
        }
        i += 2;
        row.push_back(field);
        field.clear();
        rows.push_back(row);
        row.clear();
    }
    return rows;
}

/* ---- XLSX ---------------------------------------------------------- */

inline std::optional<std::string> zip_part(const std::string &xlsx, const std::string &name) {
    const qt::RunResult r = qt::run("/usr/bin/unzip", {"-p", xlsx, name});
    if (r.status != 0) return std::nullopt;
    return r.out;
}

inline std::string xml_unescape(std::string text) {
    const std::pair<const char *, const char *> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (const auto &[entity, character] : entities) {
        size_t at = 0;
        while ((at = text.find(entity, at)) != std::string::npos) {
            text.replace(at, strlen(entity), character);
            at += strlen(character);
        }
    }
    return text;
}

/* One cell of a sheet: its style index, type attribute and content. */
struct XlsxCell {
    std::string style, type, value; /* value: <v> or the inline string */
};

/* The value of attribute name in a tag's attribute text; "" when absent. */
inline std::string attribute(const std::string &tag, const std::string &name) {
    const std::string key = " " + name + "=\"";
    const size_t at = tag.find(key);
    if (at == std::string::npos) return "";
    const size_t start = at + key.size();
    return tag.substr(start, tag.find('"', start) - start);
}

/* The cells of a sheet by reference ("A1"). */
inline std::map<std::string, XlsxCell> sheet_cells(const std::string &xml) {
    std::map<std::string, XlsxCell> cells;
    size_t at = 0;
    while ((at = xml.find("<c r=\"", at)) != std::string::npos) {
        const size_t tag_end = xml.find('>', at);
        if (tag_end == std::string::npos) break;
        const std::string tag = xml.substr(at, tag_end - at);
        XlsxCell cell;
        cell.style = attribute(tag, "s");
        cell.type = attribute(tag, "t");
        const std::string ref = attribute(tag, "r");
        if (xml[tag_end - 1] != '/') {
            const size_t end = xml.find("</c>", tag_end);
            const std::string content = xml.substr(tag_end + 1, end - tag_end - 1);
            size_t v = content.find("<v>");
            if (v != std::string::npos) {
                cell.value = xml_unescape(content.substr(v + 3, content.find("</v>") - v - 3));
            } else if ((v = content.find("<t")) != std::string::npos) {
                const size_t open = content.find('>', v) + 1;
                cell.value = xml_unescape(content.substr(open, content.find("</t>") - open));
            }
            at = end;
        } else {
            at = tag_end;
        }
        cells[ref] = cell;
    }
    return cells;
}

/* The links of a sheet: cell reference -> target, from the sheet's
 * <hyperlink> elements and the relationships they name. */
inline std::map<std::string, std::string> sheet_links(const std::string &sheet_xml, const std::string &rels_xml) {
    std::map<std::string, std::string> targets, links;
    size_t at = 0;
    while ((at = rels_xml.find("<Relationship ", at)) != std::string::npos) {
        const size_t end = rels_xml.find('>', at);
        const std::string tag = rels_xml.substr(at, end - at);
        if (attribute(tag, "TargetMode") == "External") targets[attribute(tag, "Id")] = xml_unescape(attribute(tag, "Target"));
        at = end;
    }
    at = 0;
    while ((at = sheet_xml.find("<hyperlink ", at)) != std::string::npos) {
        const size_t end = sheet_xml.find('>', at);
        const std::string tag = sheet_xml.substr(at, end - at);
        const auto target = targets.find(attribute(tag, "r:id"));
        if (target != targets.end()) links[attribute(tag, "ref")] = target->second;
        at = end;
    }
    return links;
}

/* The sheet names of a workbook in order. */
inline std::vector<std::string> sheet_names(const std::string &workbook_xml) {
    std::vector<std::string> names;
    size_t at = 0;
    while ((at = workbook_xml.find("<sheet ", at)) != std::string::npos) {
        const size_t end = workbook_xml.find('>', at);
        names.push_back(xml_unescape(attribute(workbook_xml.substr(at, end - at), "name")));
        at = end;
    }
    return names;
}

} // namespace qq

#endif
