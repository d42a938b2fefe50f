/*
 * make_seeds.cpp: lays out the fuzz targets' seed corpora with the
 * test-only writer:
 *   DIR/db/    database files of every generation: tables, columns, short
 *              and long values, several blocks, blocks that use every
 *              chunk code of both code tables, typed fields with
 *              repetitions and containers, and container stores whose
 *              streams take every form;
 *   DIR/text/  inputs of fuzz_convert: a mode byte, a size byte, then
 *              stored text (masked SCSU with every tag, Mac Roman).
 */
#include "quarn.h"
#include "writer.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

using qw::Bytes;
using qw::Generation;

qw::Database sample(Generation generation, size_t payload_limit) {
    qw::Database db;
    db.header.generation = generation;
    db.payload_limit = payload_limit;
    qw::Table people;
    people.name = "People Ünïcode";
    people.columns = {{"Name", 1, 1, 3}, {"Age", 2, 2, 0}, {"Notes", 5, 1, 99}};
    for (int i = 1; i <= 12; i++) {
        qw::Record r;
        r.values.push_back({1, "Person " + std::to_string(i) + " Müller"});
        if (i % 3) r.values.push_back({2, std::to_string(20 + i)});
        qw::Value notes{5, std::string(300 + i * 20, 'x') + " é"};
        notes.long_value = (i % 2) == 0;
        r.values.push_back(notes);
        people.records.push_back(r);
    }
    db.tables.push_back(people);
    if (generation != Generation::early) {
        qw::Table other;
        other.name = "Other";
        other.number = 3;
        other.columns = {{"Key"}, {"Value"}};
        other.records = {{0, {{1, "a"}, {2, "日本語"}}}, {0, {{1, "b"}}}};
        db.tables.push_back(other);
    }
    return db;
}

/* Fields of every data type with their definitions, a repeating field,
 * and a container store with a picture and a named file. */
qw::Database typed(Generation generation, size_t payload_limit) {
    const bool v7 = qw::is_v7(generation);
    qw::Database db;
    db.header.generation = generation;
    db.payload_limit = payload_limit;
    qw::Table t;
    t.name = "Typed";
    auto column = [](const char *name, int type, int repetitions = 1) {
        qw::Column c;
        c.name = name;
        c.definition = qw::Definition{type, 1, false, repetitions};
        return c;
    };
    t.columns = {column("Text", QUARN_TYPE_TEXT, 3), column("Number", QUARN_TYPE_NUMBER),
                 column("Date", QUARN_TYPE_DATE), column("Time", QUARN_TYPE_TIME),
                 column("Picture", QUARN_TYPE_CONTAINER, 2)};
    if (v7) t.columns.push_back(column("Stamp", QUARN_TYPE_TIMESTAMP));
    for (int i = 1; i <= 6; i++) {
        qw::Record r;
        r.values.push_back({1, "line " + std::to_string(i) + ", \"quoted\""});
        qw::Value second{1, "second " + std::to_string(i)};
        second.repetition = 2;
        if (i % 2) r.values.push_back(second);
        r.values.push_back({2, i % 3 ? std::to_string(i * 7) + ".5" : "n/a"});
        r.values.push_back({3, std::to_string(i) + "/" + std::to_string(10 + i) + "/2003"});
        r.values.push_back({4, std::to_string(i) + ":05:0" + std::to_string(i) + " PM"});
        qw::Value picture{5, ""};
        picture.container = qw::Bytes{static_cast<uint8_t>(i % 3 + 1)};
        r.values.push_back(picture);
        if (v7) r.values.push_back({6, "14/10/1999 12:5" + std::to_string(i)});
        t.records.push_back(r);
    }
    qw::Container jpeg;
    jpeg.key = {0x01};
    qw::Stream picture;
    picture.tag = "JPEG";
    for (int b = 0; b < 2500; b++) picture.data.push_back(static_cast<uint8_t>(b * 7));
    jpeg.streams = {picture};
    qw::Container file;
    file.key = {0x02};
    qw::Stream body;
    body.tag = "FILE";
    body.data = qw::Bytes(300, 0x3C);
    file.streams = {body, qw::name_stream("notes.svg", generation)};
    qw::Container broken;
    broken.key = {0x03};
    qw::Stream cut;
    cut.tag = "PNGf";
    cut.data = qw::Bytes(200, 0x50);
    cut.declared_length = 400;
    broken.streams = {cut};
    t.containers = {jpeg, file, broken};
    db.tables.push_back(t);
    return db;
}

/* One block holding every code of the generation 7 table, in a sequence
 * that decodes without error. */
Bytes every_v7_code() {
    using namespace qw::v7;
    Bytes p;
    push_code(p, 0x20, {0x81});
    push_code(p, 0x28, {0x00, 0x03});
    push_code(p, 0x30, {0x00, 0x00, 0x05});
    push_code(p, 0xE0, {0x07});
    push_code(p, 0x20, Bytes(8, 0x11));
    push_code(p, 0x38, {1, 2, 3, 4, 5});
    /* fixed data lengths of the runs 0x01-0x05 and 0x09-0x0D */
    const size_t field_length[] = {1, 2, 4, 6, 8};
    for (uint8_t i = 0; i < 5; i++) field_code(p, 0x01 + i, 7, Bytes(field_length[i], 0x2A));
    field_code(p, 0x06, 16, qw::stored_text("name", Generation::v7));
    for (uint8_t i = 0; i < 5; i++) field_code(p, 0x09 + i, 300, Bytes(field_length[i], 0x41));
    field_code(p, 0x0E, 300, {1, 2, 3});
    segment_code(p, 0x07, 1, Bytes(20, 0x33));
    segment_code(p, 0x0F, 400, Bytes(20, 0x34));
    const struct { uint8_t code; size_t length; } bare[] = {
        {0x08, 2}, {0x10, 3}, {0x11, 4}, {0x12, 5}, {0x13, 7}, {0x14, 9}, {0x15, 11}, {0x23, 9}};
    for (const auto &b : bare) data_code(p, b.code, Bytes(b.length, 0x42));
    data_code(p, 0x00, {0x41});
    data_code(p, 0x0E, {0xFF, 1, 2, 3, 4, 5});
    for (uint8_t code : {0x19, 0x1A, 0x1B, 0x1C, 0x1D}) data_code(p, code, {1, 2, 3});
    long_field_code(p, 0x16, {1, 2, 3}, {4, 5});
    long_field_code(p, 0x17, {1, 2, 3}, Bytes(300, 6));
    long_field_code(p, 0x1E, {1, 2}, {7});
    long_field_code(p, 0x1F, {1, 2, 3, 4}, Bytes(260, 8));
    filler(p, 3);
    for (int i = 0; i < 5; i++) pop(p, i % 2 ? 0x3D : 0x40);
    end(p);
    return p;
}

Bytes every_early_code() {
    using namespace qw::early;
    Bytes p;
    push(p, {0x03});
    push(p, {0x00, 0x05});
    push(p, {0xC1, 0x00, 0x00});
    field_code(p, 0x00, 0, {1, 2});
    field_code(p, 0x01, 7, {});
    field_code(p, 0x45, 5, {0x41});
    long_field(p, {1, 2, 3}, {0x41, 0x42});
    wide_field_code(p, 0x01, 9, Bytes(300, 0x43));
    wide_field_code(p, 0x80, 64, {0x44});
    wide_long_field(p, {1, 2}, Bytes(256, 0x45));
    data(p, {1, 2, 3});
    data(p, {});
    skip(p);
    pop(p);
    pop(p);
    pop(p);
    return p;
}

/* A table with field definitions, repeating fields and containers whose
 * streams take every form of the generation, spread over several blocks. */
qw::Database with_containers(Generation generation) {
    const bool v7 = qw::is_v7(generation);
    qw::Database db;
    db.header.generation = generation;
    db.payload_limit = 1500;
    qw::Table t;
    t.name = "Media";
    qw::Column title{"Title", 1};
    title.definition = qw::Definition{1, 1, false, 4};
    qw::Column picture{"Picture", 2};
    picture.definition = qw::Definition{6, 1, false, 1};
    qw::Column when{"When", 3};
    when.definition = qw::Definition{v7 ? 5 : 3, 1, false, 1};
    qw::Column count{"Count", 4};
    count.definition = qw::Definition{2, 2, true, 1};
    t.columns = {title, picture, when, count};
    for (int i = 1; i <= 4; i++) {
        qw::Record r;
        r.values.push_back({1, "title " + std::to_string(i)});
        for (int rep = 2; rep <= i; rep++) {
            qw::Value v{1, "repetition " + std::to_string(rep)};
            v.repetition = rep;
            r.values.push_back(v);
        }
        qw::Value reference{2, ""};
        reference.container = Bytes{uint8_t(i)};
        if (v7 && i == 2) reference.reference_suffix = "\xEE\x80\x80";
        r.values.push_back(reference);
        r.values.push_back({3, "5/7/2003 13:19:34"});
        r.values.push_back({4, std::to_string(i * 7)});
        t.records.push_back(r);
    }
    for (int i = 1; i <= 4; i++) {
        qw::Container c;
        c.key = {uint8_t(i)};
        qw::Stream picture_stream;
        picture_stream.tag = i % 2 ? "JPEG" : "PNGf";
        for (int b = 0; b < 700 * i; b++) picture_stream.data.push_back(uint8_t(b * 7 + i));
        picture_stream.piece_size = v7 ? 400 : 300;
        picture_stream.last_piece_as_field = i == 3;
        if (i == 4) picture_stream.piece_order = {1, 3, 2};
        c.streams.push_back(picture_stream);
        if (v7) {
            c.streams.push_back(qw::name_stream("picture " + std::to_string(i) + ".jpg", generation));
            qw::Stream size;
            size.tag = "SIZE";
            size.form = qw::Stream::Form::bare;
            size.data = {0, 0, 1, uint8_t(i)};
            c.streams.push_back(size);
        }
        t.containers.push_back(c);
    }
    db.tables.push_back(t);
    return db;
}

Bytes block_file(Generation generation, const Bytes &payload) {
    qw::FileLayout layout;
    layout.header.generation = generation;
    layout.blocks.resize(1);
    layout.blocks[0].payload = payload;
    qw::chain(layout.blocks);
    return qw::build_file(layout);
}

/* Names in long form (later files), global values of every form, a
 * record without values and records keyed past 16,511 (three-byte keys in
 * the later files). */
qw::Database long_forms_and_globals(Generation generation, size_t payload_limit) {
    const bool v7 = qw::is_v7(generation);
    qw::Database db;
    db.header.generation = generation;
    db.payload_limit = payload_limit;
    qw::Table t;
    t.name = v7 ? "顧客" : "Kunden";
    t.long_name = v7;
    t.columns = {{v7 ? "名前" : "Name", 1}, {"Notes", 2}, {"Picture", 3}, {"Reps", 4}};
    for (qw::Column &c : t.columns) c.long_name = v7 && c.number == 1;
    t.columns[0].definition = qw::Definition{QUARN_TYPE_TEXT, QUARN_KIND_NORMAL, true, 1};
    t.columns[1].definition = qw::Definition{QUARN_TYPE_TEXT, QUARN_KIND_NORMAL, true, 1};
    t.columns[2].definition = qw::Definition{QUARN_TYPE_CONTAINER, QUARN_KIND_NORMAL, true, 1};
    t.columns[3].definition = qw::Definition{QUARN_TYPE_NUMBER, QUARN_KIND_NORMAL, false, 3};
    qw::Value notes{2, std::string(400, 'g') + " ü"};
    notes.long_value = true;
    qw::Value picture{3, ""};
    picture.container = Bytes{0x02};
    qw::Value second{4, "7"};
    second.repetition = 2;
    t.globals = {{1, "Quark"}, notes, picture};
    t.records = {{1, {{4, "1"}, second}}, {2, {}}, {v7 ? 16511u : 2000u, {{4, "16511"}}},
                 {v7 ? 16512u : 50000u, {{4, "16512"}}}, {v7 ? 70000u : 60000u, {{1, "not global"}}}};
    qw::Container c;
    c.key = {0x02};
    c.streams = {qw::Stream{"PNGf", Bytes(300, 0x89)}, qw::name_stream("hagaki.png", generation)};
    t.containers = {c};
    db.tables.push_back(t);
    return db;
}

void save(const std::string &path, const Bytes &bytes) { qw::write_file(path, bytes); }

Bytes text_seed(uint8_t mode, uint8_t size_byte, const Bytes &stored) {
    Bytes seed{mode, size_byte};
    seed.insert(seed.end(), stored.begin(), stored.end());
    return seed;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "Usage: %s DIR\n", argv[0]);
        return 1;
    }
    const std::string dir = argv[1];
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/db").c_str(), 0755);
    mkdir((dir + "/text").c_str(), 0755);
    try {
        save(dir + "/db/v12.fmp12", qw::build_database(sample(Generation::v12, 0)));
        save(dir + "/db/v7-blocks.fp7", qw::build_database(sample(Generation::v7, 1200)));
        save(dir + "/db/early.fp5", qw::build_database(sample(Generation::early, 0)));
        save(dir + "/db/early-blocks.fp5", qw::build_database(sample(Generation::early, 900)));
        save(dir + "/db/typed.fmp12", qw::build_database(typed(Generation::v12, 0)));
        save(dir + "/db/typed-blocks.fp7", qw::build_database(typed(Generation::v7, 1500)));
        save(dir + "/db/typed.fp5", qw::build_database(typed(Generation::early, 0)));
        save(dir + "/db/v7-codes.fp7", block_file(Generation::v7, every_v7_code()));
        save(dir + "/db/early-codes.fp5", block_file(Generation::early, every_early_code()));
        save(dir + "/db/v12-containers.fmp12", qw::build_database(with_containers(Generation::v12)));
        save(dir + "/db/v7-containers.fp7", qw::build_database(with_containers(Generation::v7)));
        save(dir + "/db/early-containers.fp5", qw::build_database(with_containers(Generation::early)));
        save(dir + "/db/v12-long-globals.fmp12", qw::build_database(long_forms_and_globals(Generation::v12, 0)));
        save(dir + "/db/v7-long-globals.fp7", qw::build_database(long_forms_and_globals(Generation::v7, 700)));
        save(dir + "/db/early-globals.fp5", qw::build_database(long_forms_and_globals(Generation::early, 0)));

        const char *samples[] = {"plain ASCII", "  Crème brûlée\tand\r\nlines", "日本語のテキスト",
                                 "emoji 😀 and € and Ж", "Ωmega ünd ß"};
        int i = 0;
        for (const char *s : samples) {
            save(dir + "/text/scsu" + std::to_string(i), text_seed(2, 1, qw::stored_text(s, Generation::v7)));
            save(dir + "/text/scsu-name" + std::to_string(i), text_seed(2, 0, qw::stored_text(s, Generation::v7)));
            save(dir + "/text/plain" + std::to_string(i), text_seed(0, 2, qw::scsu(s)));
            i++;
        }
        save(dir + "/text/tags", text_seed(0, 1, {0x01, 0x41, 0x0B, 0x20, 0x00, 0x80, 0x18, 0xF9, 0x81,
                                                    0x0E, 0x30, 0x42, 0x0F, 0xD8, 0x3D, 0xDE, 0x00,
                                                    0xF0, 0xE0, 0x01, 0xE8, 0x10, 0x81, 0xF1, 0x20,
                                                    0x00, 0xF2, 0x34, 0xE0, 0x41}));
        save(dir + "/text/macroman", text_seed(1, 1, {0x20, 0x8E, 0xA5, 0xDB, 0x41, 0xFF, 0xF0}));
    } catch (const std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
