/*
 * writer.h: the test-only database writer. It lays out database files byte
 * for byte, for the tests, the example database generator, fuzz seed corpora
 * and benchmarks. The library itself never writes a database file; this
 * writer lives beside the tests and may be as strict as it likes: misuse
 * (a key that no encoding can hold, a chunk too big for a block) throws
 * std::invalid_argument or std::length_error.
 *
 * Three levels, each usable on its own:
 *
 *  1. Bytes of the format: key(), the chunk encoders of both generations
 *     (namespaces v7 and early) and the text encoders scsu(), mask(),
 *     mac_roman() and stored_text().
 *  2. Files from blocks: header() and sector() lay out one header area or one
 *     sector; build_file() a whole file from a FileLayout (the header, the
 *     generated index block id 1, then the given blocks from id 2 on), with
 *     knobs for broken files (block count, truncation, trailing bytes).
 *  3. Files from a description: build_database() turns a Database (tables,
 *     columns, records) into a file of either generation, with everything
 *     where the library's readers look for it; write_database() streams the
 *     same file to a FILE* without holding it in memory.
 *
 * Layout facts the writer relies on:
 *  - Header: magic (15 bytes) at 0, "HBAM7" at 15 (generation 7 and later),
 *    generation byte at 521 (0x1E for 12), 7-byte date text at 531, version
 *    length at 541, version text at 542. Block 1 starts at 4096 (generation 7
 *    and later: one 4096-byte sector holds the header) or at 2048 (earlier:
 *    the 1024-byte header and a second 1024-byte sector).
 *  - Sectors, numbers big-endian. Generation 7 and later: 4096 bytes, prev id
 *    at 4..7, next id at 8..11, payload area 20..4095 (4076 bytes).
 *    Earlier: 1024 bytes, prev id at 2..5, next id at 6..9, payload length
 *    (16 bits) at 12..13, payload area 14..1023 (1010 bytes).
 *  - The index block (id 1) holds the block count, itself included, in its
 *    next id.
 */
#ifndef QUARN_TEST_WRITER_H
#define QUARN_TEST_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qw {

using Bytes = std::vector<uint8_t>;

/* The file format generation; the numbers are those the library reports. */
enum class Generation { early = 0, v7 = 7, v12 = 12 };

/* True for generation 7 and later. */
bool is_v7(Generation generation);

/* "Early", "V7" or "V12": names for parameterised tests. */
const char *generation_label(Generation generation);

/* Appends bytes to out (for hand-made chunks and payload tails). */
void append(Bytes &out, const Bytes &bytes);

/* ------------------------------------------------------------------ */
/* Path keys                                                           */
/* ------------------------------------------------------------------ */

/* The key of number n as files of the generation write it.
 * Generation 7 and later, the prefix form of numbered things (records,
 * tables, fields):
 *  - 0 to 127: one byte, the number itself;
 *  - 128 to 16,511: two bytes 10xxxxxx xxxxxxxx, 14 bits of n - 128;
 *  - 16,512 to 2,113,663: three bytes 110xxxxx then 16 more bits, 21 bits
 *    of n - 16,512.
 * Earlier files, the key whose path value is n:
 *  - 0 to 255: one byte, the number itself;
 *  - 256 to 32,895: two bytes, (n - 128) big-endian (first byte below 0x80);
 *  - 49,152 to 4,243,455: three bytes, (n - 0xC000) big-endian in 22 bits.
 * Other numbers have no key (throws std::invalid_argument): above 2,113,663
 * in generation 7 and later, 32,896 to 49,151 and above 4,243,455 in
 * earlier files. The library's path value reads one- and two-byte keys of
 * both generations as their number; of a three-byte generation-7 key it
 * takes only the last two bytes (+ 128), so it gives n for keys below
 * 16,512 only. */
Bytes key(uint64_t n, Generation generation);

/* True when key() can make a key of value n for the generation. */
bool key_exists(uint64_t n, Generation generation);

/* The key generation 7 and later files were written with before the prefix
 * form, for tests of how the library reads those bytes (path values, the
 * dump's numbers):
 *  - 0 to 255: one byte;
 *  - 256 to 32,895: two bytes, (n - 128) big-endian, first byte below 0x80;
 *  - 32,896 to 65,663: three bytes 0x00 then (n - 128) big-endian.
 * Its path value is n throughout. Earlier files: the same as key(). Other
 * numbers throw std::invalid_argument. */
Bytes legacy_key(uint64_t n, Generation generation);

/* True when legacy_key() can make a key of value n for the generation. */
bool legacy_key_exists(uint64_t n, Generation generation);

/* ------------------------------------------------------------------ */
/* Chunks of generation 7 and later                                    */
/* ------------------------------------------------------------------ */
/* Each function appends one chunk to out. The plain names pick the
 * shortest fitting code; the *_code forms write the code asked for and
 * throw when the data or key does not fit it, so that every row of the code
 * table can be produced. Numeric refs of the K form (codes 0x09 to 0x0F)
 * are written in the two-byte prefix form, 0x80 | (ref - 128) >> 8 and the
 * low byte, so they run from 128 to 16,511: the top bit set is what tells
 * them from the column, repetition key bytes of a 0x0E field (see
 * Value::repetition). */
namespace v7 {

/* PUSH: 0x20 k for one-byte keys (not 0xFE), 0x28 for two bytes, 0x30 for
 * three, 0x20 0xFE for eight, otherwise 0x38 with a length byte. */
void push(Bytes &out, const Bytes &key);
/* PUSH with code 0x20, 0xE0 (one-byte or eight-byte key; eight bytes get
 * the 0xFE marker), 0x28 (two bytes), 0x30 (three) or 0x38 (0 to 255). */
void push_code(Bytes &out, uint8_t code, const Bytes &key);
/* POP: 0x40, or 0x3D when asked. */
void pop(Bytes &out, uint8_t code = 0x40);

/* FIELD_SIMPLE_KEY with numeric key ref and up to 255 bytes of data:
 * refs 0 to 255 take 0x01 to 0x05 for data of 1, 2, 4, 6 or 8 bytes and
 * 0x06 otherwise; larger refs take 0x09 to 0x0D or 0x0E. */
void field(Bytes &out, unsigned ref, const Bytes &data);
/* FIELD_SIMPLE_KEY with code 0x01 to 0x06 (ref 0 to 255) or 0x09 to 0x0E
 * (ref 128 to 16,511); fixed-length codes need data of their length. */
void field_code(Bytes &out, uint8_t code, unsigned ref, const Bytes &data);

/* FIELD_LONG_KEY: a three-byte key takes 0x16 (data up to 255) or 0x17,
 * any other key up to 255 bytes 0x1E or 0x1F. */
void long_field(Bytes &out, const Bytes &key, const Bytes &data);
/* FIELD_LONG_KEY with code 0x16, 0x17 (three-byte key), 0x1E or 0x1F. */
void long_field_code(Bytes &out, uint8_t code, const Bytes &key, const Bytes &data);

/* SEGMENT numbered index with up to 65,535 bytes: 0x07 for index 0 to 255,
 * 0x0F (K form) for 256 to 16,511. */
void segment(Bytes &out, unsigned index, const Bytes &data);
/* SEGMENT with code 0x07 (index 0 to 255) or 0x0F (index 128 to 16,511). */
void segment_code(Bytes &out, uint8_t code, unsigned index, const Bytes &data);

/* DATA_SIMPLE: the fixed-length codes where they fit (0x00 b for one
 * nonzero byte, 0x08, 0x10 to 0x15, 0x0E 0xFF for six bytes starting with
 * 0xFF), otherwise 0x23 with a length byte (up to 255). */
void data(Bytes &out, const Bytes &data);
/* DATA_SIMPLE with the code asked for: 0x00 (one nonzero byte), 0x08, 0x0E
 * (six bytes, the first 0xFF), 0x10 to 0x15, 0x23, or 0x19 to 0x1D, which
 * step over 1, 2, 4, 6 or 8 trailing bytes after the data: those are
 * written as trail (0x00 by default). */
void data_code(Bytes &out, uint8_t code, const Bytes &data, uint8_t trail = 0x00);

/* DATA_SIMPLE with code 0x19 to 0x1D whose stepped-over bytes are trail
 * (1, 2, 4, 6 or 8 of them, by the code). */
void data_with_trail(Bytes &out, uint8_t code, const Bytes &data, const Bytes &trail);

/* FIELD_SIMPLE_KEY of code 0x09 to 0x0E with the two stored key bytes
 * given as they are, top bit and all (fixed-length codes need data of
 * their length). */
void field_key_bytes(Bytes &out, uint8_t code, const Bytes &key, const Bytes &data);

/* The end marker 0x00 0x00: decoding stops there. */
void end(Bytes &out);
/* count filler bytes 0x80, which make no chunk. */
void filler(Bytes &out, size_t count = 1);

} // namespace v7

/* ------------------------------------------------------------------ */
/* Chunks of earlier generations                                       */
/* ------------------------------------------------------------------ */
namespace early {

/* PUSH: 0xC0 + key length, key of 1 to 62 bytes. */
void push(Bytes &out, const Bytes &key);
/* POP: 0xC0. */
void pop(Bytes &out);

/* FIELD_SIMPLE_KEY with numeric key ref 0 to 255, shortest form:
 *  - data up to 255 bytes: 0x40 + ref (ref up to 63), else 0x01 ref len
 *    (ref 255 with five bytes of data, which would read as the 8-byte skip
 *    0x01 0xFF 0x05, takes 0xFF 0x01 instead);
 *  - longer data (up to 65,535): the escapes 0xFF 0x40 + ref (ref up to 64)
 *    or 0xFF 0x01 ref, with a 16-bit length. */
void field(Bytes &out, unsigned ref, const Bytes &data);
/* FIELD_SIMPLE_KEY with a one-byte length and first byte code: 0x00
 * (ref 0), 0x01 (any ref; a ref of 0xFF with 5 bytes is refused) or
 * 0x40 to 0x7F (ref code - 0x40). */
void field_code(Bytes &out, uint8_t code, unsigned ref, const Bytes &data);
/* FIELD_SIMPLE_KEY through the 0xFF escape with a 16-bit length; second is
 * 0x01 (ref byte follows) or 0x40 to 0x80 (ref second - 0x40). */
void wide_field_code(Bytes &out, uint8_t second, unsigned ref, const Bytes &data);

/* FIELD_LONG_KEY: a key of 2 to 63 bytes with data up to 255 bytes takes
 * code n (the key's length); a key of 2 to 4 bytes with longer data the
 * escape 0xFF n and a 16-bit length. */
void long_field(Bytes &out, const Bytes &key, const Bytes &data);
/* FIELD_LONG_KEY through the escape 0xFF n (n = key length, 2 to 4). */
void wide_long_field(Bytes &out, const Bytes &key, const Bytes &data);

/* DATA_SIMPLE: 0x80 + length, up to 63 bytes. */
void data(Bytes &out, const Bytes &data);
/* The 8-byte skip 0x01 0xFF 0x05 and five bytes (rest, five bytes). */
void skip(Bytes &out, const Bytes &rest = Bytes(5, 0));

} // namespace early

/* ------------------------------------------------------------------ */
/* Text                                                                */
/* ------------------------------------------------------------------ */

/* UTF-8 to SCSU as the library decodes it, starting in single-byte mode
 * with window 0 (U+0080) active:
 *  - U+0020 to U+007F and U+0080 to U+00FF are single bytes;
 *  - other characters below U+0020 (TAB, LF, CR, NUL... which single-byte
 *    mode gives other meanings) are quoted from static window 0 (SQ0 b);
 *  - everything else switches to Unicode mode (SCU) and is written as
 *    UTF-16BE code units, a unit whose high byte is 0xE0 to 0xF2 quoted
 *    with UQU; UC0 returns to single-byte mode for the next Latin-1 text.
 * U+0000 decodes to nothing. Invalid UTF-8 throws std::invalid_argument. */
Bytes scsu(std::string_view utf8);

/* XOR of every byte with key (generation 7 and later store text masked). */
Bytes mask(Bytes bytes, uint8_t key = 0x5A);

/* UTF-8 to Mac Roman through iconv; characters Mac Roman lacks throw
 * std::invalid_argument. */
Bytes mac_roman(std::string_view utf8);

/* Text as a file of the generation stores it: masked SCSU for generation 7
 * and later, Mac Roman for earlier files. */
Bytes stored_text(std::string_view utf8, Generation generation);

/* ------------------------------------------------------------------ */
/* Files from blocks                                                   */
/* ------------------------------------------------------------------ */

struct HeaderOptions {
    Generation generation = Generation::v7;
    /* Version text at 542; unset: "Pro 5.0", "Pro 7.0" or "Pro 12.0" by
     * generation. Written as bytes, no mask. */
    std::optional<std::string> version = std::nullopt;
    /* Release date text at 531: the first 7 bytes, NUL-padded. */
    std::string date = "01Jan20";
    /* Byte 541; -1: the version's length. */
    int version_length = -1;
    /* Changes the last magic byte (0xC0 to 0xC1) so the magic is wrong;
     * "HBAM7" is still written for generation 7 and later. */
    bool bad_magic = false;
    /* Byte 521; unset: 0x1E for generation 12, 0x00 otherwise. */
    std::optional<uint8_t> generation_byte = std::nullopt;
};

/* Everything before block 1: 4096 bytes for generation 7 and later (the
 * header and the rest of its sector, zero), 2048 for earlier files (the
 * header and a second, zero, 1024-byte sector). */
Bytes header(const HeaderOptions &options);

/* Bytes before block 1, and bytes per sector, by generation. */
size_t header_area_size(Generation generation);
size_t sector_size(Generation generation);
/* Room for a payload: 4076 or 1010 bytes. */
size_t payload_area_size(Generation generation);

struct Sector {
    int32_t prev_id = 0;
    int32_t next_id = 0;
    /* At most the payload area. Generation 7 and later store no length:
     * the rest of the area is filled with padding, and the default 0x00
     * ends the chunks there (0x00 0x00, or a lone 0x00 as the last byte,
     * is the end marker); 0x80 fills with filler codes instead. */
    Bytes payload = {};
    uint8_t padding = 0x00;
    /* Earlier files only: the 16-bit payload length to store instead of
     * the payload's size (e.g. 1011, which no sector can hold). */
    std::optional<int> stored_length = std::nullopt;
};

/* One sector of the generation, sector_size() bytes. */
Bytes sector(const Sector &sector, Generation generation);

struct FileLayout {
    HeaderOptions header = {};
    /* Blocks from id 2 on, in id order, their ids as given (chain() below
     * links them 2 -> 3 -> ... -> 0). */
    std::vector<Sector> blocks = {};
    /* Next id of the index block; unset: blocks.size() + 1. */
    std::optional<int64_t> block_count = std::nullopt;
    /* Payload of the index block (id 1), which is normally empty. */
    Bytes index_payload = {};
    /* Keep only the first n bytes of the file. */
    std::optional<size_t> truncate = std::nullopt;
    /* Bytes added after the last sector. */
    Bytes trailing = {};
};

/* Sets prev and next ids of blocks (ids 2, 3, ...) to one chain in id
 * order: block 2 has prev 0, the last block next 0. */
void chain(std::vector<Sector> &blocks);

/* The whole file: header area, index block, blocks, then the changes the
 * layout asks for. */
Bytes build_file(const FileLayout &layout);

/* A file of the generation whose blocks 2, 3, ... hold the payloads, in
 * one chain in id order, with the default header. */
Bytes file_of_payloads(Generation generation, const std::vector<Bytes> &payloads);

/* ------------------------------------------------------------------ */
/* Files from a description                                            */
/* ------------------------------------------------------------------ */

/* What a field's definition record says, by the numbers of quarn.h
 * (QUARN_TYPE_*, QUARN_KIND_*). */
struct Definition {
    int data_type = 1; /* text */
    int kind = 1;      /* normal */
    bool global = false;
    int repetitions = 1;
};

/* The definition record (key 2) of the generation: 26 bytes for generation
 * 7 and later (kind at 0, type at 1, global in bit 0 of byte 9,
 * repetitions at 24..25), 12 for earlier files (kind at 0, 5 for a global
 * field; type at 1, a container 5; collation at 3; repetitions at 10..11).
 * Earlier files have no timestamp type (throws). */
Bytes definition_record(const Definition &definition, Generation generation, int collation = 0);

struct Column {
    std::string name = {};
    int number = 0;    /* 0: position in the table + 1 */
    int type = 0;      /* earlier files only: stored at offset 1 of ref 2 */
    int collation = 0; /* earlier files only: stored at offset 3 of ref 2 */
    /* A definition record (key 2) beside the name: made from definition,
     * or these bytes as they are. Without either, generation 7 and later
     * store none, earlier files the four bytes 0, type, 0, collation. In
     * earlier files a definition's type code replaces type. */
    std::optional<Definition> definition = std::nullopt;
    std::optional<Bytes> definition_bytes = std::nullopt;
    /* Generation 7 and later: the name in long form, a directory pushed
     * under key 16 instead of the field with ref 16 (see Table::long_name).
     * Earlier files have no long form (throws). */
    bool long_name = false;
};

struct Value {
    int column = 0; /* the column number */
    std::string text = {};
    /* Long values are stored as pieces under their own key (see below) and
     * joined by the reader; short values are one field. */
    bool long_value = false;
    /* Bytes per piece of a long value; 0: 1000 (generation 7 and later) or
     * 250 (earlier). Pieces cut the stored bytes, so a piece may end inside
     * a character. */
    size_t piece_size = 0;
    /* Stored bytes to write instead of stored_text(text). */
    std::optional<Bytes> stored = std::nullopt;
    /* Repetition 2 and up of a repeating field, a short value beside the
     * record's others: generation 7 and later a field of code 0x0E whose
     * key bytes are the column (1 to 127) and the repetition (up to 255),
     * earlier files a field with the two-byte key column, repetition. */
    int repetition = 1;
    /* The two key bytes of a generation 7 or later short value, written as
     * they are with code 0x0E, instead of the column's own key. */
    std::optional<Bytes> key_bytes = std::nullopt;
    /* A container field's reference to the storage key given: generation 7
     * and later a directory of the value's own with an 8-byte field (key 0)
     * and the key in hexadecimal digits as masked text (key 1), followed by
     * reference_suffix; earlier files a short binary value (a length byte,
     * then the key). */
    std::optional<Bytes> container = std::nullopt;
    std::string reference_suffix = {};
};

struct Record {
    /* Row key, written by key(); 0: the previous record's key + 1 (the
     * first is 1), skipping numbers that have no key in the generation
     * (generation 7 and later count to 2,113,663). */
    uint64_t key = 0;
    /* Written in this order; the value reader expects ascending column
     * numbers within a record. */
    std::vector<Value> values = {};
};

/* One stream of a container: its tag and bytes, and how they are laid out. */
struct Stream {
    std::string tag = "JPEG"; /* four bytes */
    Bytes data = {};
    enum class Form {
        pushed, /* under a push of the tag: a length field (key 0) and pieces 1, 2, ... */
        inline_field, /* a field whose byte-string key is the tag (up to 65,535 bytes) */
        bare, /* bare data holding the tag, the stream in its stepped-over bytes
                 (generation 7 and later; 1, 2, 4, 6 or 8 bytes) */
    } form = Form::pushed;
    /* Bytes per piece of a pushed stream; 0: 1000 (generation 7 and
     * later) or 491 (earlier). */
    size_t piece_size = 0;
    /* Generation 7 and later: the last piece, when it is at most 255
     * bytes, as a field keyed with its number instead of a segment. */
    bool last_piece_as_field = false;
    /* The order in which the pieces are written, by number from 1 (a piece
     * may be left out or written twice); empty: 1, 2, 3, ... */
    std::vector<unsigned> piece_order = {};
    /* The length the stream table declares; unset: data's size. */
    std::optional<uint64_t> declared_length = std::nullopt;
    /* Leave the stream out of the stream table (or descriptor). */
    bool unlisted = false;
};

/* A container of a table's store, under its storage key. Generation 7 and
 * later: T, 31, 5, key with the stream table (key 2: count, then tag and
 * length per listed stream) and a 16-byte digest (key 4); earlier files:
 * 31, 5, key with a descriptor (key 1) of 17 bytes, then the first listed
 * stream's tag and length. Then the streams in order. */
struct Container {
    Bytes key = {0x01};
    std::vector<Stream> streams = {};
    /* Stream table bytes to write instead of the ones made from streams
     * (earlier files: the descriptor). */
    std::optional<Bytes> table_bytes = std::nullopt;
};

/* The stream of an FNAM tag that names a file: four bytes 00 00 00 01, a
 * length byte and the masked word "file", 0x00, a length byte and the
 * masked name (text as the generation stores it). */
Stream name_stream(std::string_view file_name, Generation generation);

/* Makes record i (0-based, after the listed ones) of a generated table;
 * the record comes in cleared. build_database calls it once per record,
 * write_database twice (its first pass counts the blocks), so the same i
 * must give the same record. */
using RecordMaker = std::function<void(size_t index, Record &record)>;

struct Table {
    /* Generation 7 and later: stored in the catalogue. Earlier files have no
     * stored table name (the reader names the table after the file). */
    std::string name = {};
    int number = 0; /* 0: position in the database + 1 */
    std::vector<Column> columns = {};
    std::vector<Record> records = {};
    /* Records made on demand after the listed ones, for big files. */
    size_t generated_records = 0;
    RecordMaker make_record = nullptr;
    /* The table's container store, after its records (earlier files: at
     * 31, after 5), in this order. */
    std::vector<Container> containers = {};
    /* Generation 7 and later: the name in long form, the directory
     * [3][16][5][T][16] holding field 0, 8 raw bytes (the stored text's
     * length in bytes, then its length in characters, 32-bit big-endian
     * each), and the masked SCSU text as field 1, or as segments 1, 2, ...
     * of 1000 bytes when it is over 255 bytes. Earlier files store no table
     * name (throws). */
    bool long_name = false;
    /* The values of the table's global fields, stored once outside the
     * records, in this order (ascending columns, as within a record), in
     * the forms of record values: short values, long values (generation 7
     * and later with the long-form header as field 0 before the pieces),
     * repetitions 2 and up, container references. */
    std::vector<Value> globals = {};
};

struct Database {
    HeaderOptions header = {};
    /* Earlier files hold exactly one table. */
    std::vector<Table> tables = {};
    /* Fill each block's payload only up to this many bytes (0: the whole
     * area), to spread small content over many blocks. */
    size_t payload_limit = 0;
    /* Link the blocks in a chain whose order differs from id order (block 2
     * still comes first); otherwise the chain runs 2 -> 3 -> ... -> 0. */
    bool shuffle_blocks = false;
    uint32_t shuffle_seed = 1; /* picks the shuffled order, repeatably */
};

/*
 * Where the content lies (T = table number + 128; all keys by key()):
 *
 * Generation 7 and later:
 *   [3][16][5][T]      field ref 16: the table's name (masked SCSU)
 *   [3][16][5][T][16]  a table name in long form: field 0 (8 bytes: length
 *                      in bytes, in characters), field 1 or segments 1,
 *                      2, ... the text
 *   [T][3][5][c]       field ref 16: the name of column c
 *   [T][3][5][c][16]   a column name in long form, as a table's
 *   [T][8]             global values: one field per short value, ref =
 *                      column number; repetition r' of column c: 0x0E with
 *                      key bytes c, r'
 *   [T][8][c]          a long global value: field 0 (8 bytes: length in
 *                      bytes, in characters), SEGMENT chunks 1, 2, 3...; a
 *                      container reference as in a record
 *   [T][5][r]          one field per short value, ref = column number; a
 *                      short value over 255 bytes is a SEGMENT numbered
 *                      with the column instead
 *   [T][5][r][c]       a long value: SEGMENT chunks 1, 2, 3... of the raw
 *                      stored bytes; a container reference: field 0 (8
 *                      bytes) and field 1 (the key's digits, masked)
 *   [T][5][r]          repetition r' of column c: 0x0E with key bytes c, r'
 *   [T][31][5][k]      container k: stream table (2), digest (4), streams:
 *   [T][31][5][k][tag] a pushed stream: length (0), pieces 1, 2, ...
 * Earlier files (one table):
 *   [3][5][c]          field ref 1: the column's name (Mac Roman), field
 *                      ref 2: 4 bytes 0, type, 0, collation
 *   [3][8]             global values, as a record's values are stored:
 *                      fields ref = column number, repetitions by long key
 *                      c, r', container references as short binary values
 *   [3][8][c]          a long global value: fields ref 1, 2, 3...
 *   [5][r]             one field per short value, ref = column number
 *                      (1 to 255)
 *   [5][r][c]          a long value: fields ref 1, 2, 3... with the pieces
 *   [5][r]             repetition r' of column c: long key c, r'
 *   [31][5][k]         container k: descriptor (1), streams:
 *   [31][5][k][tag]    a pushed stream: fields 1, 2, ... with the pieces
 *
 * Content comes in ascending order of the outermost key (the catalogue 3,
 * then the tables by number; earlier files 3, then 5), because the readers
 * leave a block at the first chunk whose outermost key passes the one they
 * look for. Within a table come the column definitions, the globals, the
 * records and the container store, in the order listed (generation 7 and
 * later: [T][3], [T][8], [T][5], [T][31]; earlier files [3][5], [3][8],
 * [5], [31]), so that the globals precede the records they belong to. A block starts with an empty path, so whenever the content
 * moves on to a new block the writer pushes the path in force again before
 * the next chunk. Gen 7 payloads shorter than the area end in the 0x00
 * padding (the end marker). Blocks from id 2 form one chain.
 */

/* The blocks and header of the database's file, for tests that want to
 * change a block before build_file(). */
FileLayout database_layout(const Database &database);

/* The whole file in memory. */
Bytes build_database(const Database &database);

/* The same file written to stream sector by sector, without holding it in
 * memory: a first pass only counts the blocks (generated records are made
 * twice), the second writes them. Without shuffle_blocks the stream is
 * written front to back; with it, it must be seekable. Throws
 * std::runtime_error when a write fails. */
void write_database(const Database &database, std::FILE *stream);

/* write_database() into a new file at path (replaced if it exists). */
void write_database_file(const std::string &path, const Database &database);

/* Writes bytes to a new file at path (replaced if it exists); throws
 * std::runtime_error on failure. */
void write_file(const std::string &path, const Bytes &bytes);

} // namespace qw

#endif /* QUARN_TEST_WRITER_H */
