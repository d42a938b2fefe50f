/*
 * make_example.cpp: writes the bundled example database, examples/demo.fmp12,
 * a small generation-12 file: a customer list with non-ASCII names, their
 * orders, a product catalogue, notes with long texts, and an empty table.
 * The content is fixed (a seeded generator), so the file comes out the same
 * each time:
 *
 *     build/examples/quarn-make-example examples/demo.fmp12
 */
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

qw::Table customers(Sequence &seq) {
    qw::Table t;
    t.name = "Customers";
    t.columns = {{"Customer ID"}, {"First Name"}, {"Last Name"}, {"City"}, {"Email"}, {"Since"}};
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
        t.records.push_back(r);
    }
    return t;
}

qw::Table orders(Sequence &seq) {
    qw::Table t;
    t.name = "Orders";
    /* column 4 was deleted in the database's history: numbers skip it */
    t.columns = {{"Order ID", 1}, {"Customer ID", 2}, {"Product", 3}, {"Quantity", 5},
                 {"Total", 6}};
    for (int i = 1; i <= 400; i++) {
        qw::Record r;
        uint32_t quantity = 1 + seq.next() % 5;
        r.values.push_back({1, "O" + std::to_string(5000 + i)});
        r.values.push_back({2, "C" + std::to_string(1001 + seq.next() % 240)});
        r.values.push_back({3, seq.pick(kProducts)});
        r.values.push_back({5, std::to_string(quantity)});
        r.values.push_back({6, money(quantity * (150 + seq.next() % 4000))});
        t.records.push_back(r);
    }
    return t;
}

qw::Table products() {
    qw::Table t;
    t.name = "Products";
    t.columns = {{"SKU"}, {"Name"}, {"Price"}};
    int i = 0;
    for (const char *name : kProducts) {
        i++;
        qw::Record r;
        r.values = {{1, "SKU-" + std::to_string(100 + i)}, {2, name}, {3, money(150 + 275 * i)}};
        t.records.push_back(r);
    }
    return t;
}

qw::Table notes(Sequence &seq) {
    qw::Table t;
    t.name = "Notes";
    t.columns = {{"Note ID"}, {"Subject"}, {"Body"}};
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
    archive.columns = {{"Archived ID"}, {"Reason"}};
    db.tables.push_back(archive); /* no records */
    try {
        qw::write_database_file(argv[1], db);
    } catch (const std::exception &e) {
        fprintf(stderr, "%s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
