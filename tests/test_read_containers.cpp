/*
 * test_read_containers.cpp: quarn_read_containers. A table's container
 * store (T, 31, 5, key in generation 7 and later; 31, 5, key in earlier
 * files) holds one directory per container: the stream table (earlier
 * files: a descriptor), then each stream pushed under its tag (a length
 * field and numbered pieces), inline as a field keyed by the tag, or as
 * bare data behind the tag. Files come from the test writer's container
 * description; every event is collected and checked for its order, its
 * offsets and the bytes it hands over. The last suite reads the shared
 * real files.
 */
#include <gtest/gtest.h>

#include "files.h"
#include "process.h"
#include "quarn.h"
#include "quarn.hpp"
#include "writer.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using qt::open_bytes;
using qw::Bytes;
using qw::Generation;

struct Stream {
    std::string tag;
    uint64_t length;
    uint64_t stored;
    int damaged;
    Bytes bytes = {}; /* what the DATA events handed over */
};

/* One container as its events told it. */
struct Seen {
    Bytes key;
    std::optional<std::string> name;
    int damaged = 0;
    std::vector<Stream> streams;
    size_t pieces = 0;
    size_t largest_piece = 0;
    bool ended = false;
};

struct Collector {
    std::vector<Seen> seen;
    bool open = false;
    std::vector<std::string> problems;
    /* answer to BEGIN number i (from 0) and to DATA events */
    std::function<int(size_t)> on_begin = [](size_t) { return QUARN_HANDLER_CONTINUE; };
    std::function<int(size_t)> on_data = [](size_t) { return QUARN_HANDLER_CONTINUE; };
    size_t data_events = 0;

    static int handle(const quarn_container_event_t *event, void *ctx) {
        auto *c = static_cast<Collector *>(ctx);
        const quarn_container_t *k = event->container;
        switch (event->type) {
        case QUARN_CONTAINER_BEGIN: {
            if (c->open) c->problems.push_back("BEGIN inside a container");
            c->open = true;
            Seen s;
            s.key.assign(k->key.bytes, k->key.bytes + k->key.size);
            if (k->name) s.name = k->name;
            s.damaged = k->damaged;
            for (uint32_t i = 0; i < k->stream_count; i++) {
                const quarn_stream_t &st = k->streams[i];
                s.streams.push_back({st.tag, st.length, st.stored, st.damaged});
            }
            c->seen.push_back(s);
            return c->on_begin(c->seen.size() - 1);
        }
        case QUARN_CONTAINER_DATA: {
            if (!c->open) {
                c->problems.push_back("DATA outside a container");
                return QUARN_HANDLER_ABORT;
            }
            Seen &s = c->seen.back();
            if (event->stream >= s.streams.size()) {
                c->problems.push_back("DATA of stream " + std::to_string(event->stream));
                return QUARN_HANDLER_ABORT;
            }
            Stream &st = s.streams[event->stream];
            if (event->offset != st.bytes.size()) c->problems.push_back("DATA at a wrong offset");
            st.bytes.insert(st.bytes.end(), event->bytes.start, event->bytes.start + event->bytes.size);
            s.pieces++;
            s.largest_piece = std::max<size_t>(s.largest_piece, event->bytes.size);
            return c->on_data(c->data_events++);
        }
        case QUARN_CONTAINER_END:
            if (!c->open) c->problems.push_back("END outside a container");
            c->open = false;
            c->seen.back().ended = true;
            return QUARN_HANDLER_CONTINUE;
        }
        c->problems.push_back("unknown event");
        return QUARN_HANDLER_ABORT;
    }
};

Collector read_containers(quarn_file_t *file, int table, quarn_error_t expected = QUARN_OK,
                          Collector collector = {}) {
    quarn_table_t t{};
    t.index = table;
    EXPECT_EQ(quarn_read_containers(file, &t, Collector::handle, &collector), expected);
    EXPECT_EQ(collector.problems, std::vector<std::string>{});
    return collector;
}

Bytes pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; i++) b[i] = uint8_t(i * 31 + seed + (i >> 8));
    return b;
}

qw::Stream pushed(const std::string &tag, const Bytes &data, size_t piece = 0) {
    qw::Stream s;
    s.tag = tag;
    s.data = data;
    s.piece_size = piece;
    return s;
}

qw::Database with_store(Generation g, std::vector<qw::Container> containers, size_t payload_limit = 0) {
    qw::Database db;
    db.header.generation = g;
    db.payload_limit = payload_limit;
    qw::Table t;
    t.name = "Pictures";
    t.number = 1;
    qw::Column picture{"picture", 1};
    picture.definition = qw::Definition{QUARN_TYPE_CONTAINER, QUARN_KIND_NORMAL, false, 1};
    t.columns = {picture};
    qw::Value reference{1, ""};
    reference.container = Bytes{0x01};
    t.records = {{1, {reference}}};
    t.containers = std::move(containers);
    db.tables.push_back(t);
    return db;
}

class ReadContainers : public testing::TestWithParam<Generation> {};

/* Every form of stream the generation keeps comes out whole and in order,
 * its container told first with its key, streams and name; pieces are
 * handed out as they lie, never gathered. */
TEST_P(ReadContainers, EveryStreamComesOutWhole) {
    const Generation g = GetParam();
    const bool v7 = qw::is_v7(g);
    qw::Container photo;
    photo.key = {0x01};
    photo.streams.push_back(pushed("JPEG", pattern(3500, 1), v7 ? 1000 : 491));
    qw::Stream pict = pushed("PICT", pattern(700, 2), 300);
    pict.last_piece_as_field = true; /* 300, 300, then a field of 100 bytes */
    photo.streams.push_back(pict);
    qw::Container document;
    document.key = {0x80, 0x7C};
    document.streams.push_back(pushed("FILE", pattern(12000, 3)));
    if (v7) {
        photo.streams.push_back([] {
            qw::Stream size;
            size.tag = "SIZE";
            size.form = qw::Stream::Form::bare;
            size.data = {0x00, 0x4B, 0x00, 0x27};
            return size;
        }());
        document.streams.push_back(qw::name_stream("Quittung März.pdf", g));
        qw::Stream inline_pdf = pushed("PDF ", pattern(40, 4));
        inline_pdf.form = qw::Stream::Form::inline_field;
        document.streams.push_back(inline_pdf);
    }
    const quarn::FilePtr file = open_bytes(qw::build_database(with_store(g, {photo, document}, 1800)));
    ASSERT_NE(file, nullptr);
    const Collector c = read_containers(file.get(), 1);
    ASSERT_EQ(c.seen.size(), 2u);

    const qw::Container *written[] = {&photo, &document};
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        const Seen &s = c.seen[i];
        EXPECT_EQ(s.key, written[i]->key);
        EXPECT_EQ(s.damaged, 0);
        EXPECT_TRUE(s.ended);
        /* earlier files list their first stream in the descriptor; the
         * others are found under their tags, as long as they hold */
        ASSERT_EQ(s.streams.size(), written[i]->streams.size());
        for (size_t k = 0; k < s.streams.size(); k++) {
            SCOPED_TRACE(written[i]->streams[k].tag);
            EXPECT_EQ(s.streams[k].tag, written[i]->streams[k].tag);
            EXPECT_EQ(s.streams[k].length, written[i]->streams[k].data.size());
            EXPECT_EQ(s.streams[k].stored, written[i]->streams[k].data.size());
            EXPECT_EQ(s.streams[k].damaged, 0);
            EXPECT_EQ(s.streams[k].bytes, written[i]->streams[k].data);
        }
        EXPECT_LE(s.largest_piece, 1000u);
    }
    EXPECT_EQ(c.seen[0].name, std::nullopt);
    if (v7) {
        EXPECT_EQ(c.seen[1].name, std::optional<std::string>("Quittung März.pdf"));
    }
}

/* Pieces that do not add up to the declared length, that come out of
 * order or are missing, or a directory that comes again after another's:
 * the container is flagged, the pieces that came in order are handed over,
 * and the containers after it read as if nothing happened. */
TEST_P(ReadContainers, DamagedStreamsAreFlaggedAndReadingGoesOn) {
    const Generation g = GetParam();
    const size_t piece = qw::is_v7(g) ? 1000 : 491;
    qw::Container short_stream;
    short_stream.key = {0x01};
    short_stream.streams.push_back(pushed("JPEG", pattern(2000, 5)));
    short_stream.streams[0].declared_length = 5000;
    qw::Container disorder;
    disorder.key = {0x02};
    disorder.streams.push_back(pushed("GIFf", pattern(3 * piece, 6)));
    disorder.streams[0].piece_order = {1, 3, 2};
    qw::Container missing;
    missing.key = {0x03};
    missing.streams.push_back(pushed("PNGf", pattern(3 * piece, 7)));
    missing.streams[0].piece_order = {1, 2};
    qw::Container good;
    good.key = {0x04};
    good.streams.push_back(pushed("BMPf", pattern(2500, 8)));
    qw::Container again = good;
    again.key = {0x02}; /* a second directory of container 2 */

    const quarn::FilePtr file =
        open_bytes(qw::build_database(with_store(g, {short_stream, disorder, missing, good, again})));
    ASSERT_NE(file, nullptr);
    const Collector c = read_containers(file.get(), 1);
    ASSERT_EQ(c.seen.size(), 4u);

    const Bytes first = pattern(2000, 5);
    EXPECT_EQ(c.seen[0].damaged, 1);
    EXPECT_EQ(c.seen[0].streams[0].length, 5000u);
    EXPECT_EQ(c.seen[0].streams[0].stored, 2000u);
    EXPECT_EQ(c.seen[0].streams[0].damaged, 1);
    EXPECT_EQ(c.seen[0].streams[0].bytes, first);

    /* pieces 1 and 2 came in order; 3, which came before 2, is left out */
    const Bytes gif = pattern(3 * piece, 6);
    EXPECT_EQ(c.seen[1].damaged, 1);
    EXPECT_EQ(c.seen[1].streams[0].damaged, 1);
    EXPECT_EQ(c.seen[1].streams[0].stored, 2 * piece);
    EXPECT_EQ(c.seen[1].streams[0].bytes, Bytes(gif.begin(), gif.begin() + long(2 * piece)));

    EXPECT_EQ(c.seen[2].damaged, 1);
    EXPECT_EQ(c.seen[2].streams[0].stored, 2 * piece);

    EXPECT_EQ(c.seen[3].key, Bytes{0x04});
    EXPECT_EQ(c.seen[3].damaged, 0);
    EXPECT_EQ(c.seen[3].streams[0].bytes, pattern(2500, 8));
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, ReadContainers,
                         testing::Values(Generation::early, Generation::v7, Generation::v12),
                         [](const auto &info) { return qw::generation_label(info.param); });

/* A stream table cut inside an entry keeps the entries before the cut and
 * flags the container; a stream that the table does not list is still
 * handed over, its length being what its pieces hold. */
TEST(ReadContainersTable, CutTableAndUnlistedStream) {
    const Generation g = Generation::v12;
    qw::Container cut;
    cut.key = {0x01};
    cut.streams = {pushed("JPEG", pattern(1500, 1)), pushed("PICT", pattern(300, 2))};
    cut.table_bytes = Bytes{0x00, 0x02, 'J', 'P', 'E', 'G', 0x00, 0x00, 0x05, 0xDC, 'P', 'I', 'C'};
    qw::Container unlisted;
    unlisted.key = {0x02};
    unlisted.streams = {pushed("FILE", pattern(100, 3)), pushed("DPI_", pattern(4, 4))};
    unlisted.streams[1].unlisted = true;
    const quarn::FilePtr file = open_bytes(qw::build_database(with_store(g, {cut, unlisted})));
    ASSERT_NE(file, nullptr);
    const Collector c = read_containers(file.get(), 1);
    ASSERT_EQ(c.seen.size(), 2u);
    EXPECT_EQ(c.seen[0].damaged, 1);
    ASSERT_EQ(c.seen[0].streams.size(), 2u);
    EXPECT_EQ(c.seen[0].streams[0].damaged, 0);
    EXPECT_EQ(c.seen[0].streams[0].bytes, pattern(1500, 1));
    EXPECT_EQ(c.seen[0].streams[1].tag, "PICT");
    EXPECT_EQ(c.seen[0].streams[1].length, 300u);

    EXPECT_EQ(c.seen[1].damaged, 0);
    ASSERT_EQ(c.seen[1].streams.size(), 2u);
    EXPECT_EQ(c.seen[1].streams[1].tag, "DPI_");
    EXPECT_EQ(c.seen[1].streams[1].length, 4u);
    EXPECT_EQ(c.seen[1].streams[1].bytes, pattern(4, 4));
}

/* A container of many megabytes comes out in pieces no larger than it
 * keeps them, however many blocks they take. */
TEST(ReadContainersSize, LargeContainerIsHandedOutPieceByPiece) {
    const Generation g = Generation::v12;
    qw::Container big;
    big.key = {0x00, 0x81}; /* a two-byte key */
    const Bytes data = pattern(6 * 1024 * 1024 + 123, 9);
    big.streams = {pushed("FILE", data)};
    const quarn::FilePtr file = open_bytes(qw::build_database(with_store(g, {big})));
    ASSERT_NE(file, nullptr);
    const Collector c = read_containers(file.get(), 1);
    ASSERT_EQ(c.seen.size(), 1u);
    EXPECT_EQ(c.seen[0].damaged, 0);
    EXPECT_EQ(c.seen[0].pieces, (data.size() + 999) / 1000);
    EXPECT_EQ(c.seen[0].largest_piece, 1000u);
    EXPECT_TRUE(c.seen[0].streams[0].bytes == data);
}

/* STOP at a BEGIN skips that container's bytes (its END still comes);
 * STOP at a DATA skips the rest; ABORT ends the read with 13. */
TEST(ReadContainersHandler, StopSkipsAndAbortEnds) {
    const Generation g = Generation::v7;
    std::vector<qw::Container> store;
    for (uint8_t k = 1; k <= 3; k++) {
        qw::Container c;
        c.key = {k};
        c.streams = {pushed("JPEG", pattern(3000, k))};
        store.push_back(c);
    }
    const quarn::FilePtr file = open_bytes(qw::build_database(with_store(g, store)));
    ASSERT_NE(file, nullptr);

    Collector skip;
    skip.on_begin = [](size_t i) { return i == 0 ? QUARN_HANDLER_STOP : QUARN_HANDLER_CONTINUE; };
    skip.on_data = [](size_t i) { return i == 0 ? QUARN_HANDLER_STOP : QUARN_HANDLER_CONTINUE; };
    const Collector skipped = read_containers(file.get(), 1, QUARN_OK, skip);
    ASSERT_EQ(skipped.seen.size(), 3u);
    EXPECT_EQ(skipped.seen[0].pieces, 0u);
    EXPECT_TRUE(skipped.seen[0].ended);
    EXPECT_EQ(skipped.seen[1].pieces, 1u); /* stopped after its first piece */
    EXPECT_EQ(skipped.seen[2].streams[0].bytes, pattern(3000, 3));

    Collector abort_early;
    abort_early.on_begin = [](size_t i) { return i == 1 ? QUARN_HANDLER_ABORT : QUARN_HANDLER_CONTINUE; };
    const Collector aborted = read_containers(file.get(), 1, QUARN_ERROR_USER_ABORTED, abort_early);
    ASSERT_EQ(aborted.seen.size(), 2u);
    EXPECT_TRUE(aborted.seen[0].ended);
    EXPECT_FALSE(aborted.seen[1].ended);

    quarn_table_t table{};
    table.index = 1;
    EXPECT_EQ(quarn_read_containers(file.get(), &table, nullptr, nullptr), QUARN_OK);
}

/* A walk that fails after the store hands over what lies before the fault
 * and reports the failure (once: a block that failed part way is taken
 * from then on as its chunks before the fault); another table's store is
 * not this table's. */
TEST(ReadContainersWalk, FailureAfterTheStoreAndOtherTables) {
    const Generation g = Generation::v12;
    qw::Container c;
    c.key = {0x07};
    c.streams = {pushed("GIFf", pattern(1200, 1))};
    qw::Database db = with_store(g, {c});
    qw::Table second = db.tables[0];
    second.name = "Second";
    second.number = 2;
    second.containers[0].key = {0x08};
    db.tables.push_back(second);
    qw::FileLayout layout = qw::database_layout(db);
    Bytes broken;
    qw::v7::push(broken, qw::key(130, g));
    broken.push_back(0x50); /* no such code */
    layout.blocks.push_back({});
    layout.blocks.back().payload = broken;
    qw::chain(layout.blocks);
    const quarn::FilePtr file = open_bytes(qw::build_file(layout));
    ASSERT_NE(file, nullptr);

    const Collector second_table = read_containers(file.get(), 2, QUARN_ERROR_UNRECOGNIZED_CODE);
    ASSERT_EQ(second_table.seen.size(), 1u);
    EXPECT_EQ(second_table.seen[0].key, Bytes{0x08});
    EXPECT_EQ(second_table.seen[0].streams[0].bytes, pattern(1200, 1));

    const Collector first_table = read_containers(file.get(), 1);
    ASSERT_EQ(first_table.seen.size(), 1u);
    EXPECT_EQ(first_table.seen[0].key, Bytes{0x07});
}

/* ------------------------------------------------------------------ */
/* Real files                                                          */
/* ------------------------------------------------------------------ */

/* The bytes of every container of a file's table, by key. */
std::map<Bytes, Seen> containers_of(const std::string &path, int table) {
    quarn_error_t error = QUARN_OK;
    const quarn::FilePtr file(quarn_open_file(path.c_str(), &error));
    EXPECT_NE(file, nullptr) << path << ": " << error;
    std::map<Bytes, Seen> by_key;
    if (!file) return by_key;
    for (Seen &s : read_containers(file.get(), table).seen) by_key[s.key] = s;
    return by_key;
}

/* The same three JPEGs come out of the book list saved by all three
 * generations, byte for byte. */
TEST(ReadContainersCorpus, BookListJpegsAgreeAcrossGenerations) {
    const std::string dir = qt::corpus_dir();
    if (dir.empty()) GTEST_SKIP() << "no shared corpus folder: real files not read";
    const std::map<Bytes, size_t> sizes = {{{0x04}, 3803}, {{0x06}, 4262}, {{0x07}, 10656}};
    std::vector<std::map<Bytes, Seen>> files;
    for (const char *name : {"book_list.fp5", "book_list.fp7", "book_list.fmp12"}) {
        SCOPED_TRACE(name);
        const std::string path = dir + "/" + name;
        if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";
        files.push_back(containers_of(path, 1));
        ASSERT_EQ(files.back().size(), 3u);
        for (const auto &[key, size] : sizes) {
            const Seen &s = files.back()[key];
            ASSERT_GE(s.streams.size(), 1u);
            EXPECT_EQ(s.damaged, 0);
            EXPECT_EQ(s.streams[0].tag, "JPEG");
            const Bytes &jpeg = s.streams[0].bytes;
            ASSERT_EQ(jpeg.size(), size);
            EXPECT_EQ(Bytes(jpeg.begin(), jpeg.begin() + 3), (Bytes{0xFF, 0xD8, 0xFF}));
            EXPECT_EQ(Bytes(jpeg.end() - 2, jpeg.end()), (Bytes{0xFF, 0xD9}));
        }
    }
    for (const auto &[key, size] : sizes) {
        EXPECT_TRUE(files[0][key].streams[0].bytes == files[1][key].streams[0].bytes);
        EXPECT_TRUE(files[1][key].streams[0].bytes == files[2][key].streams[0].bytes);
    }
}

/* fm_Ooe.fmp12 keeps an SVG document as a file, with its name. */
TEST(ReadContainersCorpus, SvgFileWithItsName) {
    const std::string dir = qt::corpus_dir();
    if (dir.empty()) GTEST_SKIP() << "no shared corpus folder: real files not read";
    const std::string path = dir + "/fm_Ooe.fmp12";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";
    std::map<Bytes, Seen> store = containers_of(path, 1);
    ASSERT_EQ(store.count(Bytes{0x04}), 1u);
    const Seen &svg = store[Bytes{0x04}];
    EXPECT_EQ(svg.name, std::optional<std::string>("image.svg"));
    EXPECT_EQ(svg.damaged, 0);
    ASSERT_GE(svg.streams.size(), 1u);
    EXPECT_EQ(svg.streams[0].tag, "FILE");
    const std::string text(svg.streams[0].bytes.begin(), svg.streams[0].bytes.end());
    EXPECT_EQ(text.size(), 4982u);
    EXPECT_EQ(text.rfind("<?xml", 0), 0u);
    EXPECT_NE(text.find("<svg"), std::string::npos);
    EXPECT_NE(text.find("</svg>"), std::string::npos);
}

/* Every real file: every table's fields are its columns, its records and
 * containers read without error, and each reference names a container of
 * the table's store. */
TEST(ReadContainersCorpus, EveryReferenceFindsItsContainer) {
    const std::vector<std::string> files = qt::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no shared corpus folder: real files not read";
    size_t references = 0;
    for (const std::string &path : files) {
        SCOPED_TRACE(path);
        quarn_error_t error = QUARN_OK;
        const quarn::FilePtr file(quarn_open_file(path.c_str(), &error));
        ASSERT_NE(file, nullptr) << error;
        const quarn::TablesPtr tables(quarn_list_tables(file.get(), &error));
        ASSERT_NE(tables, nullptr);
        for (uint64_t t = 0; t < tables->count; t++) {
            const quarn_table_t &table = tables->tables[t];
            const quarn::FieldsPtr fields(quarn_list_fields(file.get(), &table, &error));
            ASSERT_NE(fields, nullptr);
            EXPECT_EQ(error, QUARN_OK);
            const quarn::ColumnsPtr columns(quarn_list_columns(file.get(), &table, &error));
            ASSERT_NE(columns, nullptr);
            EXPECT_EQ(fields->count, columns->count);

            std::vector<Bytes> keys;
            EXPECT_EQ(quarn_read_records(file.get(), &table,
                                         [](const quarn_value_t *v, void *ctx) {
                                             if (!v->text)
                                                 static_cast<std::vector<Bytes> *>(ctx)->emplace_back(
                                                     v->container_key.bytes,
                                                     v->container_key.bytes + v->container_key.size);
                                             return 0;
                                         },
                                         &keys),
                      QUARN_OK);
            std::map<Bytes, Seen> store;
            for (Seen &s : read_containers(file.get(), table.index).seen) {
                EXPECT_EQ(s.damaged, 0);
                store[s.key] = s;
            }
            for (const Bytes &key : keys) EXPECT_EQ(store.count(key), 1u);
            references += keys.size();
        }
    }
    EXPECT_GT(references, 0u);
}

} // namespace
