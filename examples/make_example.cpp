/*
 * make_example.cpp: writes the bundled example database, examples/demo.fmp12,
 * a small generation-12 file: a customer list with non-ASCII names and up
 * to three phone numbers each (a repeating field), their orders with
 * numbers, times and timestamps, a product catalogue with a picture of each
 * product and leaflets kept as files (containers), notes with long texts,
 * and an empty table. Every field has its definition (data type,
 * repetitions). The content is fixed (a seeded generator), so the file
 * comes out the same each time:
 *
 *     build/examples/quarn-make-example examples/demo.fmp12
 */
#include "quarn.h"
#include "writer.h"

#include <cstdio>
#include <cstdint>
#include <string>

namespace {

/* A small fixed pseudo-random sequence, so the file never changes. */
struct Sequence {
    uint32_t state;
    uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    template <size_t N> const char *pick(const char *const (&items)[N]) { return items[next() % N]; }
};

const char *const kFirstNames[] = {"Ada", "Björn", "Chloé", "Dmitri", "Émile", "Farah", "Günther",
                                   "Hana", "Ίρις", "José", "Kenji", "Łucja", "Mårten", "Nuño",
                                   "Oğuz", "Priya", "Quentin", "Renée", "Søren", "Tomás",
                                   "陽子", "Юлия", "Zoë"};
const char *const kLastNames[] = {"Andersson", "Brontë", "Castañeda", "Dvořák", "Eriksen",
                                  "Fontaine", "García", "Håkansson", "Ibáñez", "Jørgensen",
                                  "Kowalczyk", "Lefèvre", "Müller", "Nakamura", "O'Brien",
                                  "Petrović", "Quiñones", "Rossi", "Schäfer", "田中"};
const char *const kCities[] = {"Zürich", "Malmö", "København", "São Paulo", "Kraków",
                               "Reykjavík", "Montréal", "東京", "Москва", "Ljubljana", "Oslo"};
const char *const kProducts[] = {"Crème brûlée kit", "Espresso cup", "Tea towel", "Notebook A5",
                                 "Fountain pen", "Café au lait bowl", "Smørrebrød board",
                                 "Paella pan", "Matcha whisk 茶筅", "Snow globe ❄",
                                 "Bento box 弁当", "Pretzel salt"};

std::string money(uint32_t cents) {
    char text[32];
    snprintf(text, sizeof text, "%u.%02u", cents / 100, cents % 100);
    return text;
}

std::string date(uint32_t day) {
    char text[16];
    snprintf(text, sizeof text, "%02u/%02u/20%02u", 1 + day % 12, 1 + day % 28, 18 + day % 7);
    return text;
}

std::string clock_time(uint32_t minutes) {
    char text[16];
    const uint32_t hour = minutes / 60 % 24;
    snprintf(text, sizeof text, "%u:%02u %s", hour % 12 == 0 ? 12 : hour % 12, minutes % 60, hour < 12 ? "AM" : "PM");
    return text;
}

std::string timestamp(uint32_t day, uint32_t seconds) {
    char text[16];
    const uint32_t hour = seconds / 3600 % 24;
    snprintf(text, sizeof text, " %u:%02u:%02u %s", hour % 12 == 0 ? 12 : hour % 12, seconds / 60 % 60,
             seconds % 60, hour < 12 ? "AM" : "PM");
    return date(day) + text;
}

/* A column with its definition record. */
qw::Column field(const char *name, int type, int number = 0, int repetitions = 1) {
    qw::Column column;
    column.name = name;
    column.number = number;
    column.definition = qw::Definition{type, QUARN_KIND_NORMAL, false, repetitions};
    return column;
}

qw::Value repetition(int column, std::string text, int repetition) {
    qw::Value value{column, std::move(text)};
    value.repetition = repetition;
    return value;
}

qw::Value container(int column, uint8_t key) {
    qw::Value value{column, ""};
    value.container = qw::Bytes{key};
    return value;
}

void put16(qw::Bytes &out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(qw::Bytes &out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

/* A 32 x 32 picture as a 24-bit BMP file: a gradient in the product's own
 * colour with a diagonal stripe. */
qw::Bytes picture(uint32_t seed) {
    const uint32_t side = 32, row = side * 3, size = 54 + row * side;
    qw::Bytes out = {'B', 'M'};
    put32(out, size);
    put32(out, 0);
    put32(out, 54);
    put32(out, 40);
    put32(out, side);
    put32(out, side);
    put16(out, 1);
    put16(out, 24);
    put32(out, 0);
    put32(out, row * side);
    put32(out, 2835);
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    const uint8_t r = static_cast<uint8_t>(seed * 73), g = static_cast<uint8_t>(seed * 151), b = static_cast<uint8_t>(seed * 29);
    for (uint32_t y = 0; y < side; y++)
        for (uint32_t x = 0; x < side; x++) {
            const bool stripe = (x + y) % 11 < 2;
            out.push_back(stripe ? 255 : static_cast<uint8_t>(b + x * 4));
            out.push_back(stripe ? 255 : static_cast<uint8_t>(g + y * 4));
            out.push_back(stripe ? 255 : r);
        }
    return out;
}

qw::Container picture_container(uint8_t key, uint32_t seed) {
    qw::Container c;
    c.key = {key};
    qw::Stream stream;
    stream.tag = "BMPf";
    stream.data = picture(seed);
    c.streams = {stream};
    return c;
}

qw::Container leaflet(uint8_t key, const char *product) {
    qw::Container c;
    c.key = {key};
    qw::Stream stream;
    stream.tag = "FILE";
    const std::string text = std::string("Care instructions for the ") + product +
                             ".\r\nRinse in warm water; do not put in the dishwasher.\r\n";
    stream.data.assign(text.begin(), text.end());
    std::string name = std::string("leaflet-") + std::to_string(key) + ".txt";
    c.streams = {qw::name_stream(name, qw::Generation::v12), stream};
    return c;
}

qw::Table customers(Sequence &seq) {
    qw::Table t;
    t.name = "Customers";
    t.columns = {field("Customer ID", QUARN_TYPE_TEXT), field("First Name", QUARN_TYPE_TEXT),
                 field("Last Name", QUARN_TYPE_TEXT),   field("City", QUARN_TYPE_TEXT),
                 field("Email", QUARN_TYPE_TEXT),       field("Since", QUARN_TYPE_DATE),
                 field("Phone", QUARN_TYPE_TEXT, 7, 3)};
    for (int i = 1; i <= 240; i++) {
        qw::Record r;
        std::string first = seq.pick(kFirstNames), last = seq.pick(kLastNames);
        r.values.push_back({1, "C" + std::to_string(1000 + i)});
        r.values.push_back({2, first});
        r.values.push_back({3, last});
        r.values.push_back({4, seq.pick(kCities)});
        /* every seventh customer left no e-mail address */
        if (i % 7 != 0) r.values.push_back({5, "customer" + std::to_string(i) + "@example.org"});
        r.values.push_back({6, date(seq.next())});
        /* up to three phone numbers, in the repetitions of one field */
        const uint32_t phones = seq.next() % 4;
        for (uint32_t p = 1; p <= phones; p++)
            r.values.push_back(repetition(7, "+41 44 " + std::to_string(200 + seq.next() % 800) + " " +
                                                 std::to_string(1000 + seq.next() % 9000),
                                          static_cast<int>(p)));
        t.records.push_back(r);
    }
    return t;
}

qw::Table orders(Sequence &seq) {
    qw::Table t;
    t.name = "Orders";
    /* column 4 was deleted in the database's history: numbers skip it */
    t.columns = {field("Order ID", QUARN_TYPE_TEXT, 1),       field("Customer ID", QUARN_TYPE_TEXT, 2),
                 field("Product", QUARN_TYPE_TEXT, 3),        field("Quantity", QUARN_TYPE_NUMBER, 5),
                 field("Total", QUARN_TYPE_NUMBER, 6),        field("Ordered At", QUARN_TYPE_TIMESTAMP, 7),
                 field("Pickup Time", QUARN_TYPE_TIME, 8)};
    for (int i = 1; i <= 400; i++) {
        qw::Record r;
        uint32_t quantity = 1 + seq.next() % 5;
        r.values.push_back({1, "O" + std::to_string(5000 + i)});
        r.values.push_back({2, "C" + std::to_string(1001 + seq.next() % 240)});
        r.values.push_back({3, seq.pick(kProducts)});
        r.values.push_back({5, std::to_string(quantity)});
        r.values.push_back({6, money(quantity * (150 + seq.next() % 4000))});
        r.values.push_back({7, timestamp(seq.next(), seq.next() % 86400)});
        if (i % 3 == 0) r.values.push_back({8, clock_time(8 * 60 + seq.next() % 600)});
        t.records.push_back(r);
    }
    return t;
}

qw::Table products() {
    qw::Table t;
    t.name = "Products";
    t.columns = {field("SKU", QUARN_TYPE_TEXT), field("Name", QUARN_TYPE_TEXT), field("Price", QUARN_TYPE_NUMBER),
                 field("Photo", QUARN_TYPE_CONTAINER), field("Leaflet", QUARN_TYPE_CONTAINER)};
    int i = 0;
    for (const char *name : kProducts) {
        i++;
        qw::Record r;
        r.values = {{1, "SKU-" + std::to_string(100 + i)}, {2, name}, {3, money(150 + 275 * i)}};
        const uint8_t photo = static_cast<uint8_t>(i);
        r.values.push_back(container(4, photo));
        t.containers.push_back(picture_container(photo, static_cast<uint32_t>(i)));
        /* the first three products have a leaflet, kept as a file */
        if (i <= 3) {
            const uint8_t key = static_cast<uint8_t>(100 + i);
            r.values.push_back(container(5, key));
            t.containers.push_back(leaflet(key, name));
        }
        t.records.push_back(r);
    }
    return t;
}

qw::Table notes(Sequence &seq) {
    qw::Table t;
    t.name = "Notes";
    t.columns = {field("Note ID", QUARN_TYPE_TEXT), field("Subject", QUARN_TYPE_TEXT), field("Body", QUARN_TYPE_TEXT)};
    const char *const sentences[] = {
        "The customer asked for the crème brûlée kit to be gift-wrapped. ",
        "Delivery to Malmö was delayed by snow; we apologised and refunded the shipping. ",
        "Tabs\tand line breaks\nare kept in long texts.\n",
        "Ordered again after the café reopened — “the best cups in town”. ",
        "お客様から丁寧なお礼のメールが届きました。",
        "Zahlung per Überweisung, Rechnung folgt. ",
    };
    for (int i = 1; i <= 30; i++) {
        qw::Record r;
        std::string body;
        /* long enough to be stored in pieces */
        size_t target = 600 + seq.next() % 3000;
        while (body.size() < target) body += seq.pick(sentences);
        r.values.push_back({1, "N" + std::to_string(i)});
        r.values.push_back({2, std::string("Note about order O") + std::to_string(5000 + i * 11)});
        qw::Value long_body{3, body};
        long_body.long_value = true;
        r.values.push_back(long_body);
        t.records.push_back(r);
    }
    return t;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "Usage: %s output.fmp12\n", argv[0]);
        return 1;
    }
    Sequence seq{20261210};
    qw::Database db;
    db.header.generation = qw::Generation::v12;
    db.header.version = "Pro 12.0";
    db.header.date = "14Nov12";
    db.tables.push_back(customers(seq));
    db.tables.push_back(orders(seq));
    db.tables.push_back(products());
    db.tables.push_back(notes(seq));
    qw::Table archive;
    archive.name = "Archive";
    archive.columns = {field("Archived ID", QUARN_TYPE_TEXT), field("Reason", QUARN_TYPE_TEXT)};
    db.tables.push_back(archive); /* no records */
    try {
        qw::write_database_file(argv[1], db);
    } catch (const std::exception &e) {
        fprintf(stderr, "%s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
