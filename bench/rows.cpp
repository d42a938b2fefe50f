/*
 * rows.cpp: the benchmark data set (see rows.h). Every record is made from
 * a generator seeded by (seed, schema, record index), so records can be
 * made in any order and any number of times.
 */
#include "rows.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace bench {

namespace {

/* splitmix64: small, fast, and good enough to pick words. */
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    /* 0 to n - 1 */
    uint32_t below(uint32_t n) { return uint32_t(((next() >> 32) * n) >> 32); }
    /* lo to hi, both included */
    uint32_t between(uint32_t lo, uint32_t hi) { return lo + below(hi - lo + 1); }
    /* true in percent cases out of 100 */
    bool chance(uint32_t percent) { return below(100) < percent; }
};

Rng record_rng(uint64_t seed, int schema, uint64_t record) {
    Rng mix{seed * 0x100000001B3ull + uint64_t(schema) * 0x9E3779B97F4A7C15ull};
    Rng rng{mix.next() ^ (record * 0xD1B54A32D192ED03ull)};
    rng.next();
    return rng;
}

using Pool = std::vector<std::string_view>;

/* Words that Mac Roman can store: the only ones for earlier files. */
const Pool kLatinWords = {
    "the", "order", "was", "shipped", "on", "time", "and", "customer", "asked", "for", "a",
    "refund", "café", "naïve", "déjà", "vu", "über", "straße", "façade", "smörgåsbord",
    "jalapeño", "crème", "brûlée", "fiancée", "résumé", "piñata", "Ærøskøbing", "Göteborg",
    "Zürich", "Malmö", "København", "São", "Paulo", "Ålesund", "garçon", "œuvre", "Noël",
    "señor", "mañana", "müssen", "später", "très", "bientôt", "delivery", "invoice", "paid",
    "with", "thanks", "to", "our", "team", "in", "the", "warehouse", "Rechnung", "folgt",
    "payé", "livré", "demain", "O'Brien", "said", "\"fine\"", "C:\\Temp\\orders", "50%",
    "item", "#42", "(urgent)", "size", "XL", "colour", "blue", "rouge", "grün"};

/* Words only generation 7 and later can store (SCSU): other scripts,
 * characters outside the Basic Multilingual Plane. */
const Pool kWorldWords = {
    "Łódź", "Kraków", "Dvořák", "東京", "注文", "顧客", "日本語", "商品", "配送", "確認",
    "会議", "北京", "上海", "서울", "한국어", "안녕하세요", "привет", "заказ", "Москва",
    "доставка", "καλημέρα", "Αθήνα", "παραγγελία", "😀", "🎉", "📦", "✅", "🚚", "❤️",
    "👍🏽", "🇫🇷", "☕", "€12", "½", "—", "“quoted”", "İstanbul", "Şişli", "ğüşiöç"};

const Pool kFirstNamesLatin = {"Ada", "Björn", "Chloé", "Dmitri", "Émile", "Farah", "Günther",
                               "Hana", "José", "Kenji", "Mårten", "Nuño", "Priya", "Quentin",
                               "Renée", "Søren", "Tomás", "Zoë", "Ægir", "Ødegaard"};
const Pool kFirstNamesWorld = {"Ίρις", "Łucja", "Oğuz", "陽子", "Юлия", "민준", "Ψάπφω", "ሰላም"};
const Pool kLastNamesLatin = {"Andersson", "Brontë", "Castañeda", "Eriksen", "Fontaine",
                              "García", "Håkansson", "Ibáñez", "Jørgensen", "Kowalczyk",
                              "Lefèvre", "Müller", "Nakamura", "O'Brien", "Quiñones", "Rossi",
                              "Schäfer", "Ünal", "Østergaard"};
const Pool kLastNamesWorld = {"Dvořák", "Petrović", "田中", "Иванова", "김", "Παπαδόπουλος"};
const Pool kCitiesLatin = {"Zürich", "Malmö", "København", "São Paulo", "Reykjavík", "Montréal",
                           "Ljubljana", "Oslo", "Göteborg", "Genève", "Besançon", "Córdoba"};
const Pool kCitiesWorld = {"東京", "Москва", "Kraków", "서울", "Αθήνα", "北京", "İzmir",
                           "Łódź", "Πάτρα", "大阪"};
const Pool kStatus = {"open", "shipped", "payé", "annulé", "in Bearbeitung", "zurückgegeben"};
const Pool kStatusWorld = {"発送済み", "доставлен", "已付款", "🚚 on the way"};
const Pool kCategories = {"Küche", "Café & Thé", "Bücher", "Jardin", "Outils", "Spielzeug"};
const Pool kCategoriesWorld = {"文房具", "Посуда", "🎁 Gifts"};
const Pool kProducts = {"Crème brûlée kit", "Espresso cup", "Tea towel", "Notebook A5",
                        "Fountain pen", "Café au lait bowl", "Smørrebrød board", "Paella pan",
                        "Pretzel salt", "Fondue set", "Raclette grill"};
const Pool kProductsWorld = {"Matcha whisk 茶筅", "Snow globe ❄", "Bento box 弁当",
                             "Samovar самовар", "Kimchi pot 김치"};
const Pool kMoods = {"😀", "😐", "😢", "🎉", "😴", "🤔", "❤️", "🌧️", "☀️"};
const Pool kCurrencies = {"EUR", "CHF", "SEK", "DKK", "JPY", "USD"};

std::string_view pick(Rng &rng, const Pool &pool) { return pool[rng.below(uint32_t(pool.size()))]; }

/* From the world pool one time in `percent`, when the layout can store it. */
std::string_view pick2(Rng &rng, const Pool &latin, const Pool &world, bool world_ok,
                       uint32_t percent) {
    if (world_ok && rng.chance(percent)) return pick(rng, world);
    return pick(rng, latin);
}

void append_number(std::string &out, uint64_t n, int width = 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llu", width, static_cast<unsigned long long>(n));
    out += text;
}

void append_date(Rng &rng, std::string &out) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", rng.between(1998, 2025), rng.between(1, 12),
                  rng.between(1, 28));
    out += text;
}

void append_time(Rng &rng, std::string &out) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", rng.below(24), rng.below(60), rng.below(60));
    out += text;
}

void append_decimal(Rng &rng, std::string &out, uint32_t most, int places, bool negative_ok) {
    char text[32];
    const uint32_t scale = places == 3 ? 1000 : 100;
    const uint32_t v = rng.below(most * scale);
    std::snprintf(text, sizeof text, "%s%u.%0*u", negative_ok && rng.chance(20) ? "-" : "",
                  v / scale, places, v % scale);
    out += text;
}

/* Running text of about length bytes (whole words, never more than one word
 * past it): sentences of words, now and then a tab or a line break when
 * breaks is set. */
void append_text(Rng &rng, std::string &out, size_t length, bool world_ok, bool breaks) {
    const size_t start = out.size();
    size_t in_sentence = 0;
    size_t sentence_length = rng.between(5, 14);
    bool capital = true;
    while (out.size() - start < length) {
        std::string_view word = pick2(rng, kLatinWords, kWorldWords, world_ok, 18);
        if (capital && word[0] >= 'a' && word[0] <= 'z') {
            out += char(word[0] - 'a' + 'A');
            out.append(word.substr(1));
        } else {
            out.append(word);
        }
        capital = false;
        if (++in_sentence < sentence_length) {
            out += breaks && rng.chance(2) ? '\t' : ' ';
            continue;
        }
        out += '.';
        in_sentence = 0;
        sentence_length = rng.between(5, 14);
        capital = true;
        if (out.size() - start >= length) break;
        out += breaks && rng.chance(20) ? '\n' : ' ';
    }
}

/* ------------------------------------------------------------------ */
/* Schemas                                                             */
/* ------------------------------------------------------------------ */

const char *const kSchemaNames[kSchemaCount] = {"Customers",  "Orders",       "Products",
                                                "Événements", "Journal 日記", "Measurements"};

/* Relative numbers of records per schema: many orders and readings, few
 * journal entries, which are long. */
constexpr uint64_t kSchemaWeights[kSchemaCount] = {28, 28, 5, 14, 1, 28};

std::vector<ColumnSpec> numbered(std::vector<ColumnSpec> columns) {
    for (size_t i = 0; i < columns.size(); i++)
        if (columns[i].number == 0) columns[i].number = int(i + 1);
    return columns;
}

const std::array<std::vector<ColumnSpec>, kSchemaCount> kSchemas = {
    numbered({{"Customer ID", 0, 2}, {"First Name", 0, 1}, {"Last Name", 0, 1, 3},
              {"E-mail", 0, 1}, {"City", 0, 1}, {"Phone", 0, 1}, {"Since", 0, 3},
              {"Notes", 0, 1}}),
    numbered({{"Order No"}, {"Customer ID"}, {"Date"}, {"Amount"}, {"Currency"}, {"Status"},
              {"Comment"}}),
    numbered({{"SKU"}, {"Name"}, {"Category"}, {"Price"}, {"Stock"}, {"Description"}}),
    numbered({{"Event ID"}, {"Date"}, {"Start"}, {"Titre"}, {"Lieu"}, {"Attendees"},
              {"Résumé"}}),
    numbered({{"Entry ID"}, {"Written"}, {"Author"}, {"Mood"}, {"Text"}}),
    /* column 4 was deleted in the database's history: the numbers skip it */
    {{"Reading ID", 1}, {"Sensor", 2}, {"Time", 3}, {"Value 1", 5}, {"Value 2", 6},
     {"Value 3", 7}, {"Value 4", 8}, {"Value 5", 9}, {"Value 6", 10}, {"Value 7", 11},
     {"Value 8", 12}}};

/* Columns of the earlier file: the customers, with field kinds and a
 * collation, as such files store them. */
const std::vector<ColumnSpec> kEarlyColumns = kSchemas[0];

/* Starts a cell of column number; returns its text, cleared. */
std::string &cell(Row &row, int column, bool long_value = false) {
    if (row.count == row.cells.size()) row.cells.emplace_back();
    Cell &c = row.cells[row.count++];
    c.column = column;
    c.long_value = long_value;
    c.text.clear();
    return c.text;
}

/* A text cell of length bytes, stored in pieces above 1024. */
void text_cell(Rng &rng, Row &row, int column, size_t length, bool world_ok, bool breaks) {
    append_text(rng, cell(row, column), length, world_ok, breaks);
    Cell &c = row.cells[row.count - 1];
    c.long_value = c.text.size() > 1024;
}

void customer(Rng &rng, uint64_t i, bool w, Row &row) {
    std::string_view first = pick2(rng, kFirstNamesLatin, kFirstNamesWorld, w, 15);
    std::string_view last = pick2(rng, kLastNamesLatin, kLastNamesWorld, w, 15);
    std::string &id = cell(row, 1);
    id += 'C';
    append_number(id, i + 1, 8);
    cell(row, 2) = first;
    cell(row, 3) = last;
    if (rng.chance(90)) {
        std::string &mail = cell(row, 4);
        mail += "customer";
        append_number(mail, i + 1);
        mail += rng.chance(50) ? "@example.org" : "@mail.example.com";
    }
    cell(row, 5) = pick2(rng, kCitiesLatin, kCitiesWorld, w, 25);
    std::string &phone = cell(row, 6);
    phone += "+41 ";
    append_number(phone, rng.between(21, 91));
    phone += ' ';
    append_number(phone, rng.below(1000), 3);
    phone += ' ';
    append_number(phone, rng.below(10000), 4);
    append_date(rng, cell(row, 7));
    if (rng.chance(25)) {
        const size_t length = rng.chance(12) ? rng.between(1200, 5000) : rng.between(20, 200);
        text_cell(rng, row, 8, length, w, true);
    }
}

void order(Rng &rng, uint64_t i, bool w, Row &row) {
    std::string &id = cell(row, 1);
    id += 'O';
    append_number(id, i + 1, 9);
    std::string &customer_id = cell(row, 2);
    customer_id += 'C';
    append_number(customer_id, rng.below(1000000) + 1, 8);
    append_date(rng, cell(row, 3));
    append_decimal(rng, cell(row, 4), 5000, 2, false);
    cell(row, 5) = pick(rng, kCurrencies);
    cell(row, 6) = pick2(rng, kStatus, kStatusWorld, w, 20);
    if (rng.chance(40)) text_cell(rng, row, 7, rng.between(10, 120), w, false);
}

void product(Rng &rng, uint64_t i, bool w, Row &row) {
    std::string &sku = cell(row, 1);
    sku += "SKU-";
    append_number(sku, i + 1, 7);
    std::string &name = cell(row, 2);
    name = pick2(rng, kProducts, kProductsWorld, w, 30);
    name += ", ";
    name += pick(rng, kLatinWords);
    cell(row, 3) = pick2(rng, kCategories, kCategoriesWorld, w, 30);
    append_decimal(rng, cell(row, 4), 900, 2, false);
    append_number(cell(row, 5), rng.below(5000));
    const uint32_t shape = rng.below(10);
    if (shape < 5)
        text_cell(rng, row, 6, rng.between(300, 900), w, true);
    else if (shape < 9)
        text_cell(rng, row, 6, rng.between(1100, 6000), w, true);
}

void event(Rng &rng, uint64_t i, bool w, Row &row) {
    std::string &id = cell(row, 1);
    id += "EV";
    append_number(id, i + 1, 8);
    append_date(rng, cell(row, 2));
    append_time(rng, cell(row, 3));
    std::string &title = cell(row, 4);
    append_text(rng, title, rng.between(15, 60), w, false);
    if (w && rng.chance(50)) {
        title += ' ';
        title += pick(rng, kMoods);
    }
    cell(row, 5) = pick2(rng, kCitiesLatin, kCitiesWorld, w, 50);
    append_number(cell(row, 6), rng.below(500) + 1);
    if (rng.chance(60)) text_cell(rng, row, 7, rng.between(80, 700), w, false);
}

void journal(Rng &rng, uint64_t i, bool w, Row &row) {
    std::string &id = cell(row, 1);
    id += 'J';
    append_number(id, i + 1, 7);
    std::string &written = cell(row, 2);
    append_date(rng, written);
    written += ' ';
    append_time(rng, written);
    std::string &author = cell(row, 3);
    author = pick2(rng, kFirstNamesLatin, kFirstNamesWorld, w, 20);
    author += ' ';
    author += pick2(rng, kLastNamesLatin, kLastNamesWorld, w, 20);
    if (w) cell(row, 4) = pick(rng, kMoods);
    text_cell(rng, row, 5, rng.between(1500, 16000), w, true);
}

void measurement(Rng &rng, uint64_t i, bool w, Row &row) {
    std::string &id = cell(row, 1);
    append_number(id, i + 1, 10);
    std::string &sensor = cell(row, 2);
    sensor += "S-";
    append_number(sensor, rng.below(10000), 4);
    sensor += ' ';
    sensor += pick2(rng, kCitiesLatin, kCitiesWorld, w, 20);
    std::string &time = cell(row, 3);
    append_date(rng, time);
    time += 'T';
    append_time(rng, time);
    for (int v = 0; v < 8; v++)
        if (rng.chance(90)) append_decimal(rng, cell(row, 5 + v), 1000, 3, true);
}

void make_schema_row(int schema, uint64_t seed, uint64_t index, bool world_ok, Row &row) {
    Rng rng = record_rng(seed, schema, index);
    row.count = 0;
    switch (schema) {
    case 0: customer(rng, index, world_ok, row); break;
    case 1: order(rng, index, world_ok, row); break;
    case 2: product(rng, index, world_ok, row); break;
    case 3: event(rng, index, world_ok, row); break;
    case 4: journal(rng, index, world_ok, row); break;
    default: measurement(rng, index, world_ok, row); break;
    }
}

/* Bytes a record takes in a file, roughly: text as stored (one byte per
 * Latin-1 character, two per other character of the Basic Multilingual
 * Plane, four beyond it; Mac Roman one per character), a few bytes per
 * field or piece and per record. */
uint64_t stored_estimate(const Row &row, bool early) {
    uint64_t size = 8;
    for (size_t i = 0; i < row.count; i++) {
        const Cell &c = row.cells[i];
        uint64_t text = 0;
        for (size_t at = 0; at < c.text.size();) {
            const uint8_t lead = uint8_t(c.text[at]);
            const size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            if (early || n == 1 || lead < 0xC4) /* lead 0xC2, 0xC3: U+0080 to U+00FF */
                text += 1;
            else
                text += n == 4 ? 4 : 2;
            at += n;
        }
        size += text + 4;
        if (c.long_value) size += 4 + 4 * (text / (early ? 250 : 1000) + 1);
    }
    return size;
}

} // namespace

const std::vector<ColumnSpec> &schema_columns(int schema, Layout layout) {
    if (layout == Layout::early) return kEarlyColumns;
    return kSchemas[size_t(schema)];
}

uint64_t gen12_record_key(uint64_t record) { return record + 1; }

Dataset make_dataset(Layout layout, uint64_t size_mb, uint64_t seed, int tables) {
    Dataset d;
    d.layout = layout;
    d.seed = seed;
    d.target_bytes = size_mb << 20;
    const bool early = layout == Layout::early;

    /* Average stored size per record of each schema, from a sample. Files
     * carry more than their chunks: sector heads, and block ends that a
     * chunk did not fit (long values' 1000-byte pieces leave the most). */
    constexpr uint64_t kSample = 2000;
    uint64_t sample_bytes[kSchemaCount] = {};
    Row row;
    const int schemas = early ? 1 : kSchemaCount;
    for (int s = 0; s < schemas; s++)
        for (uint64_t i = 0; i < kSample; i++) {
            make_schema_row(s, seed, i, !early, row);
            sample_bytes[s] += stored_estimate(row, early);
        }
    const double usable = double(d.target_bytes) / (early ? 1.03 : 1.077);

    if (early) {
        TableSpec t;
        t.name = "Customers";
        t.schema = 0;
        t.records = uint64_t(usable * kSample / double(sample_bytes[0]));
        d.tables.push_back(t);
        return d;
    }

    double weighted = 0; /* stored bytes per unit of weight */
    for (int s = 0; s < kSchemaCount; s++)
        weighted += double(kSchemaWeights[s]) * double(sample_bytes[s]) / kSample;
    uint64_t records[kSchemaCount];
    for (int s = 0; s < kSchemaCount; s++)
        records[s] = uint64_t(usable / weighted * double(kSchemaWeights[s]));

    if (layout == Layout::gen12) {
        for (int s = 0; s < kSchemaCount; s++) d.tables.push_back({kSchemaNames[s], s, 0, records[s]});
        return d;
    }

    /* wide: table t takes a slice of schema t % 6, the slices of a schema
     * in table order */
    if (tables < kSchemaCount) tables = kSchemaCount;
    for (int t = 0; t < tables; t++) {
        const int s = t % kSchemaCount;
        const uint64_t slices = uint64_t((tables - s + kSchemaCount - 1) / kSchemaCount);
        const uint64_t slice = uint64_t(t / kSchemaCount);
        const uint64_t from = records[s] * slice / slices;
        const uint64_t to = records[s] * (slice + 1) / slices;
        char name[64];
        std::snprintf(name, sizeof name, "%s %03d", kSchemaNames[s], t / kSchemaCount + 1);
        d.tables.push_back({name, s, from, to - from});
    }
    return d;
}

void make_row(const Dataset &dataset, const TableSpec &table, uint64_t record, Row &row) {
    make_schema_row(table.schema, dataset.seed, table.first + record,
                    dataset.layout != Layout::early, row);
}

void print_totals(const Totals &t) {
    std::printf("tables=%llu rows=%llu values=%llu bytes=%llu\n",
                static_cast<unsigned long long>(t.tables), static_cast<unsigned long long>(t.rows),
                static_cast<unsigned long long>(t.values),
                static_cast<unsigned long long>(t.bytes));
}

const char *layout_name(Layout layout) {
    switch (layout) {
    case Layout::gen12: return "gen12";
    case Layout::wide: return "wide";
    case Layout::early: return "early";
    }
    return "?";
}

namespace {

[[noreturn]] void usage(const char *program) {
    std::fprintf(stderr,
                 "Usage: %s [--layout gen12|wide|early] [--size-mb N] [--seed N] [--tables N] "
                 "OUTPUT\n",
                 program);
    std::exit(1);
}

uint64_t number_argument(const char *program, const char *text) {
    char *end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') usage(program);
    return n;
}

} // namespace

Arguments parse_arguments(int argc, char **argv) {
    Layout layout = Layout::gen12;
    uint64_t size_mb = 0, seed = 1, tables = 500;
    std::string output;
    for (int i = 1; i < argc; i++) {
        const std::string_view a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--layout" && has_value) {
            const std::string_view v = argv[++i];
            if (v == "gen12") layout = Layout::gen12;
            else if (v == "wide") layout = Layout::wide;
            else if (v == "early") layout = Layout::early;
            else usage(argv[0]);
        } else if (a == "--size-mb" && has_value) {
            size_mb = number_argument(argv[0], argv[++i]);
        } else if (a == "--seed" && has_value) {
            seed = number_argument(argv[0], argv[++i]);
        } else if (a == "--tables" && has_value) {
            tables = number_argument(argv[0], argv[++i]);
        } else if (a.starts_with("--") || !output.empty()) {
            usage(argv[0]);
        } else {
            output = a;
        }
    }
    if (output.empty() || tables > 30000) usage(argv[0]);
    if (size_mb == 0) size_mb = layout == Layout::early ? 200 : 1024;
    return {make_dataset(layout, size_mb, seed, int(tables)), output};
}

} // namespace bench
