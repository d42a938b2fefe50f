/*
 * quarn_internal.h: the records and functions shared by the library's
 * modules: the file handle with its format profile and block table, the
 * blocks, the walk with its handlers, path keys and text conversion.
 * Nothing here is exported; tests include it to check the internals.
 */
#ifndef QUARN_INTERNAL_H
#define QUARN_INTERNAL_H

#include "quarn.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iconv.h>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <vector>

/* A block's chunk_end before it has yielded any chunk. */
constexpr uint32_t kChunkEndUnknown = UINT32_MAX;

/* What quarn_block_t::outer_keys says: nothing learnt yet; learnt, but the
 * block is never passed over (its first chunk is no push at level 0, so its
 * chunks may read a key left by an earlier block); from
 * kOuterKeysFirstSummary on, summary number outer_keys -
 * kOuterKeysFirstSummary of the handle's outer_summaries. */
enum : uint32_t { kOuterKeysUnknown = 0, kOuterKeysNone = 1, kOuterKeysFirstSummary = 2 };

/* One sector's block, kept for the life of the handle: its ids and payload
 * length as the open read them, and what walks learn of it. The payload is
 * not kept: a walk reads the block's sector again when it comes to the
 * block, into the handle's sector buffer, and payload points there until
 * another block is read (a block made outside the handle's table brings
 * its own payload). The chunk records are made afresh each time the block
 * is decoded, in the handle's chunk buffer, linked through their next
 * pointers, the first one in chunks; they last until another block is
 * decoded. The handle holds one record per sector, so the fields are laid
 * out in 40 bytes: under 1 % of a 4096-byte sector. */
typedef struct quarn_block {
    int32_t next_id = 0;
    int32_t prev_id = 0;
    int32_t this_id = 0; /* set by the walk at each visit */
    uint32_t payload_length = 0;
    quarn_chunk_t *chunks = nullptr;
    const uint8_t *payload = nullptr;
    /* Where decoding stops once the block has yielded chunks: the payload's
     * length, or where the first decoding met a fault after some chunks. */
    uint32_t chunk_end = kChunkEndUnknown;
    /* What a walk learnt of the block's outermost keys the first time it
     * walked the block's chunks, for process_table_blocks (see above). */
    uint32_t outer_keys = kOuterKeysUnknown;
} quarn_block_t;

/* The outermost keys of a block whose first chunk opens level 0 itself, so
 * that none of its chunks depends on an earlier block: the least and the
 * greatest value that entry 0 of the path takes for its chunks, and the
 * first and last keys pushed at level 0, whose bytes lie in the handle's
 * outer_key_bytes from key_at (first_size bytes, then last_size bytes).
 * Consecutive blocks that learn the same keys share one summary. */
struct outer_keys_summary {
    uint64_t min = 0;
    uint64_t max = 0;
    uint64_t key_at = 0;
    uint32_t first_size = 0;
    uint32_t last_size = 0;
};

/* Why the latest decoding of a block stopped short, for the dump to print:
 * an unknown code of generation 7 and later at a payload offset, or an
 * escape of an earlier file with a form byte it does not know. */
struct decode_fault {
    enum kind_t : uint8_t { none, unrecognized_code, bad_escape } kind = none;
    uint8_t code = 0;
    uint64_t position = 0;
};

struct FileCloser {
    void operator()(FILE *f) const { if (f) fclose(f); }
};

struct MemoryFreer {
    void operator()(void *p) const { free(p); }
};

struct quarn_file {
    std::unique_ptr<FILE, FileCloser> stream;
    char version_string[10] = {};
    char release_date_text[8] = {};
    struct tm release_date = {};
    bool release_date_parsed = false; /* strptime took the whole date text */
    char filename[64] = {};
    int32_t generation = 0;
    int64_t file_size = 0;

    /* Format profile, set once by read_header. */
    uint64_t sector_size = 0;
    uint64_t sector_header_size = 0;
    uint64_t prev_id_offset = 0;
    uint64_t next_id_offset = 0;
    int64_t length_offset = -1; /* -1: the sector stores no payload length */
    iconv_t converter = nullptr; /* Mac Roman to UTF-8, earlier files only */
    uint8_t text_mask = 0;

    /* Path stack of the walk. path_entries[i] points at path_keys[i], the
     * key last pushed at position i, or is null while nothing has been
     * pushed there. A key pushed by the block being walked points into that
     * block's payload; before another sector is read over it, every such
     * key is copied into path_key_copies[i] (handle-owned bytes) and its
     * span pointed there, so entries read the same bytes however long they
     * outlive their block. Positions below path_loaded_depth may point into
     * the payload. The three vectors' size is the capacity; it only grows,
     * by doubling from 16. */
    uint64_t path_depth = 0;
    std::vector<quarn_span_t> path_keys;
    std::vector<quarn_span_t *> path_entries;
    std::vector<std::vector<uint8_t>> path_key_copies;
    uint64_t path_loaded_depth = 0;

    /* The chunk records of the block decoded last, and that block. */
    std::vector<quarn_chunk_t> chunk_buffer;
    quarn_block_t *decoded_block = nullptr;
    /* The id of the block at which a walk last failed, or 0. */
    int32_t failed_block_id = 0;
    /* What stopped the latest decoding of a block; kind none when it ran
     * to the end (or stopped for a reason the dump does not print). */
    decode_fault last_fault;

    uint64_t block_count = 0;
    std::vector<quarn_block_t> blocks;  /* slot k - 1 holds block id k */
    /* Where block 1's sector starts: sector k - 1 after it holds block k. */
    uint64_t first_sector_offset = 0;
    /* Where walks read sectors again: the stream's descriptor (a file
     * opened by path), or, for a stream without one (a buffer), image: the
     * sectors from block 1 on, copied while the open read them. */
    int descriptor = -1;
    std::unique_ptr<uint8_t, MemoryFreer> image;
    /* The sector read last, and the block it holds (its payload points in). */
    std::vector<uint8_t> sector_buffer;
    quarn_block_t *loaded_block = nullptr;
    /* Sectors read ahead from the descriptor for a walk, as far as the
     * chain from the block it needs stays close ahead: window holds
     * window_count sectors from slot window_first. Every walk starts with
     * an empty window, so it reads the file as it is now (but for the
     * block read last, which stays loaded). */
    std::vector<uint8_t> window;
    uint64_t window_first = 0;
    uint64_t window_count = 0;

    /* The outermost keys learnt for process_table_blocks. */
    std::vector<outer_keys_summary> outer_summaries;
    std::vector<uint8_t> outer_key_bytes;

    ~quarn_file();
};

/* Decimal ids of the two fixed blocks. */
enum { QUARN_INDEX_BLOCK_ID = 1, QUARN_FIRST_BLOCK_ID = 2 };

/* Handlers of the walk. A chunk handler answers a quarn_handler_status_t;
 * a block handler answers nonzero to have the block's chunks walked. */
typedef int (*quarn_chunk_handler)(quarn_chunk_t *chunk, void *ctx);
typedef int (*quarn_block_handler)(quarn_block_t *block, void *ctx);

/* ---- core: opening ---- */

/* printf-style output of the dump on standard output. */
void debug(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Reads and checks the 1024-byte header from the stream's start, sets the
 * format profile and header facts, and leaves the stream at the first
 * sector. Returns 0, 2 (short read), 6 (bad magic) or 12 (no converter). */
quarn_error_t read_header(quarn_file_t *file);

/* Opens a file from a stream, which it owns in every outcome: reads and
 * checks the header and every sector, and keeps each block's ids and
 * payload length. A stream with a descriptor stays open on the handle and
 * walks read its sectors again; the sectors of a stream without one are
 * copied into the handle's image as they are read. name is the file name to
 * record, or null. Returns the handle, or null with the error number stored
 * through error when that is not null. */
quarn_file_t *quarn_file_from_stream(FILE *stream, const char *name,
                                     quarn_error_t *error);

/* ---- block: sectors and chunks ---- */

/* Fills block from one sector's bytes under the file's profile: ids and
 * payload length. When payload_store is not null the payload is copied
 * there (room for sector_size - sector_header_size bytes) and payload
 * points at it; otherwise payload is left null. Returns 0, or 7 when the
 * stored payload length exceeds the room. */
quarn_error_t new_block_from_sector(const quarn_file_t *file,
                                    const uint8_t *sector,
                                    quarn_block_t *block,
                                    uint8_t *payload_store);

/* Decodes the block's payload into its chunk list, in the handle's chunk
 * buffer; a block of the handle's table is first read from the file
 * (read_block_payload) unless its payload is the one read last. Returns 0,
 * 2 (the block's sector cannot be read again as it was at the open), 7 (no
 * block; a malformed early block), 9 (a chunk cut off by the payload's end)
 * or 11 (an unknown code in a generation 7 or later block). The chunks
 * decoded before a failure stay on the block. Throws std::bad_alloc when
 * memory runs out. */
int process_block(quarn_file_t *file, quarn_block_t *block);

/* ---- core: reading a block again ---- */

/* Reads the sector of block, which lies in the handle's table, into the
 * sector buffer and points block->payload at its payload; the block read
 * before loses its payload (and keys of the path that point into it are
 * copied first). Nothing is read when block is the block read last.
 * Returns 0, or 2 when the sector cannot be read whole or no longer holds
 * the ids and payload length the open found there; block->payload is then
 * null. */
quarn_error_t read_block_payload(quarn_file_t *file, quarn_block_t *block);

/* ---- core: the walk ---- */

/* Walks the chain from block id 2: reads and decodes each block, offers
 * it to block_handler (may be null) and hands each chunk to chunk_handler
 * with the path in force. Ends at id 0, an id outside the table or a block
 * already visited. Returns 0, the error of process_block, or 13 when a handler
 * aborted. Allocation failures propagate as std::bad_alloc; the exported
 * function that started the walk reports them. */
int process_blocks(quarn_file_t *file, quarn_block_handler block_handler,
                   quarn_chunk_handler chunk_handler, void *ctx);

/* process_blocks for a query that looks only at the chunks whose outermost
 * key (the value of entry 0 of their path) equals table_key, answers
 * QUARN_HANDLER_CONTINUE without effect while it is below and
 * QUARN_HANDLER_STOP once it is above: blocks whose chunks are known to lie
 * all below or all above the key are passed over without being decoded,
 * with the same result and the same key left at position 0 of the path as
 * if walked. A negative key passes no block over. */
int process_table_blocks(quarn_file_t *file, int64_t table_key,
                         quarn_chunk_handler chunk_handler, void *ctx);

/* Walks one block's chunks from first (may be null) with the path starting
 * empty. Returns 0, or 13 when the handler aborted. */
int process_chunk_chain(quarn_file_t *file, quarn_chunk_t *first,
                        quarn_chunk_handler handler, void *ctx);

/* One step of process_chunk_chain without the reset of the depth; returns
 * the handler's status unchanged. A push's key is entered in the path as
 * the span into the payload; read_block_payload copies it before the
 * payload goes. */
int process_chunk(quarn_file_t *file, quarn_chunk_t *chunk,
                  quarn_chunk_handler handler, void *ctx);

/* Drops the block's chunk list and what its first decoding learnt, so that
 * the next visit decodes it as new. */
void free_chunk_chain(quarn_block_t *block);

/* ---- core: path keys ---- */

uint64_t path_value(const quarn_chunk_t *chunk, const quarn_span_t *key);
/* A record's key as generation 7 and later files number things: one byte
 * 0-127, two bytes 10xxxxxx (128 + 14 bits), three bytes 110xxxxx (16,512
 * + 21 bits). A one-byte key from 0x80 and a two-byte key of another first
 * byte read as path_value reads them; earlier files keep their own rule
 * (path_value), whatever the key. False, leaving *value alone, for a later
 * file's key of any other form: none, four bytes and more, three bytes of
 * another first byte. */
bool record_key_value(const quarn_chunk_t *chunk, const quarn_span_t *key, uint64_t *value);
int path_is(const quarn_chunk_t *chunk, const quarn_span_t *key, uint64_t value);
int table_path_depth(const quarn_chunk_t *chunk);
int table_path_match_start1(const quarn_chunk_t *chunk, int depth, int value);
int table_path_match_start2(const quarn_chunk_t *chunk, int depth, int value1,
                            int value2);

/* ---- text ---- */

/* Turns stored text into NUL-terminated UTF-8 in out (out_size bytes,
 * terminator included): XORs mask over a scratch copy, drops leading spaces,
 * decodes Mac Roman when converter (iconv from MACINTOSH) is not null and
 * SCSU otherwise; Mac Roman goes by a table of what iconv gives for each
 * byte, and through converter itself for a byte outside the table. The
 * text never ends inside a UTF-8 sequence. Nothing is reported; a bad
 * sequence or a full buffer ends the text there. */
void convert(iconv_t converter, int mask, char *out, size_t out_size,
             const uint8_t *stored, size_t stored_length);

/* SCSU to UTF-8 with iconv's four-pointer shape. Returns 0, or (size_t)-1
 * with errno E2BIG (the next character does not fit the room left) or
 * EINVAL (the input ends inside a tag's operands or a code unit). Ends
 * without error when the input or the room is used up. Writes no NUL. */
size_t convert_scsu_to_utf8(const char **input, size_t *input_left,
                            char **output, size_t *output_left);

/* ---- block: raw keys ---- */

/* The two stored key bytes of a FIELD_SIMPLE_KEY chunk of generation 7 and
 * later whose code carries a two-byte key (0x09 to 0x0E), or an empty span
 * for every other chunk. The chunk's ref_simple drops the first byte's top
 * bit; these bytes keep it. They lie in the same payload as the chunk's
 * data and are valid as long as it is. */
quarn_span_t chunk_key_bytes(const quarn_chunk_t *chunk);

/* The bytes that a DATA_SIMPLE chunk of codes 0x19 to 0x1D steps over after
 * its data (1, 2, 4, 6 or 8 of them), or an empty span for every other
 * chunk. They belong to no field for the value reader; a container's store
 * keeps a short stream there, behind its tag. */
quarn_span_t chunk_trailing_bytes(const quarn_chunk_t *chunk);

/* ---- the record value reader (read_values.cpp) ---- */

/* A value as the record value reader takes it up: the stored bytes of one
 * short value, or of a long value's pieces joined, still masked and
 * encoded, valid during the call that hands it over. */
struct taken_value {
    uint64_t column = 0;     /* the column number */
    int32_t repetition = 1;  /* 1, or 2 and up */
    uint64_t record_key = 0; /* the row key of the value's record */
    bool joined = false;     /* joined from the pieces of a long value */
    const uint8_t *bytes = nullptr;
    size_t size = 0;
};

/* Where the reader's walk sends what it finds. */
struct value_reader_sink {
    /* Take up every value: repetitions 2 and up of repeating fields (their
     * values lie beside the record's short values, under keys that pair the
     * column with the repetition), and a long value that starts a new
     * record at a column at or after the last one, which quarn_read_values
     * passes over. */
    bool every_value = false;
    /* Called once per value with the current row and the reader's column
     * record; answers a quarn_handler_status_t. Null: nothing is handed
     * over. */
    int (*value)(void *ctx, int row, const quarn_column_t &column, const taken_value &value) =
        nullptr;
    /* Take up the table's global values (T, 8 or 3, 8) instead of its
     * records, with row 0 and record key 0; with every_value. */
    bool globals = false;
    /* Called for every field chunk of a column definition path, and of a
     * long-form name's directory (long_name), with the column number; may
     * be null. */
    void (*definition)(void *ctx, const quarn_chunk_t *chunk, uint64_t c, bool long_name) = nullptr;
    void *ctx = nullptr;
};

/* The walk of quarn_read_values over table table_index: builds the column
 * records, numbers the rows and joins long values as that function does,
 * and hands each value to the sink. Returns the walk's result (0, 7, 9, 11,
 * 13 when the sink aborted, 14 for a record key of an unknown form in the
 * record reader). Throws std::bad_alloc. */
int read_table_values(quarn_file_t *file, int64_t table_index, const value_reader_sink &sink);

/* ---- long_text: texts in long form (long_text.cpp) ---- */

/* The most stored bytes, and pieces, of one long-form name that are kept:
 * far more than the 63 bytes of UTF-8 a name record holds. (A name is
 * converted anew as each piece comes, so they also bound that work.) */
constexpr size_t kLongTextMax = 4096;
constexpr size_t kLongTextPiecesMax = 256;

/* The number of the piece that chunk is, when it stands in the directory of
 * a long-form text: a field's ref or a segment's number, from 1 on. 0 for
 * ref 0 (the lengths) and for every other chunk. */
uint32_t long_text_piece(const quarn_chunk_t *chunk);

/* The pieces of one long-form text as a walk meets them, in number order.
 * At most kLongTextMax bytes in kLongTextPiecesMax pieces are kept. */
struct long_text {
    std::map<uint32_t, std::vector<uint8_t>> pieces;
    size_t size = 0;
    /* Keeps a piece; number 0 and a number met before change nothing. */
    void add(uint32_t number, const quarn_span_t &data);
    /* The pieces joined and converted, as a short text is. */
    void convert_into(const quarn_file_t *file, char *out, size_t out_size) const;
};

/* Records of a catalogue (quarn_table_t, quarn_column_t, quarn_field_t) by
 * number, named in either form: the short field names a record whenever it
 * comes; a long-form name names one that has no short name. A record gets
 * its number (index) with its name. */
template <class Record>
struct named_slots {
    std::map<uint64_t, Record> slots;
    std::map<uint64_t, long_text> long_names;
    std::set<uint64_t> short_named;

    /* The record of number n, made zero-filled (a field with one
     * repetition) when it is not there yet. */
    Record &slot(uint64_t n) {
        const auto found = slots.try_emplace(n);
        Record &record = found.first->second;
        if constexpr (requires { record.repetitions; })
            if (found.second) record.repetitions = 1;
        return record;
    }
    void take_short_name(const quarn_file_t *file, const quarn_chunk_t *chunk, uint64_t n) {
        Record &record = slot(n);
        convert(file->converter, file->text_mask, record.name, sizeof record.name, chunk->data.start,
                chunk->data.size);
        record.index = static_cast<int32_t>(n);
        short_named.insert(n);
    }
    /* chunk: a chunk of the name's directory; only its pieces count */
    void take_long_name(const quarn_file_t *file, const quarn_chunk_t *chunk, uint64_t n) {
        const uint32_t piece = long_text_piece(chunk);
        if (piece == 0) return;
        long_text &text = long_names[n];
        text.add(piece, chunk->data);
        if (short_named.count(n) != 0) return;
        Record &record = slot(n);
        text.convert_into(file, record.name, sizeof record.name);
        record.index = static_cast<int32_t>(n);
    }
};

/* ---- catalogues ---- */

/* The column whose definition the chunk belongs to: c for a chunk of the
 * definition path (T, 3, 5, c in generation 7 and later, 3, 5, c earlier)
 * and, in generation 7 and later, for a chunk of the long-form name's
 * directory below it (T, 3, 5, c, 16); 0 for every other chunk. long_name
 * receives which of the two it is. */
uint64_t definition_column(const quarn_chunk_t *chunk, bool *long_name);

/* Takes one chunk of column c's definition into its field record: the name
 * (key 16 in generation 7 and later, key 1 earlier; or the pieces of the
 * long-form name when long_name) names the field, the definition record
 * (key 2) gives its type, kind, global flag and repetitions. Other chunks
 * and c = 0 change nothing. */
void take_field_definition(const quarn_file_t *file, const quarn_chunk_t *chunk, uint64_t c,
                           bool long_name, named_slots<quarn_field_t> &fields);

/* The records of the slots that hold a name (index not 0), in ascending
 * number, as one new[] array that the catalogues hand out; count receives
 * their number. Null when there are none. */
template <class Record>
Record *named_records(const std::map<uint64_t, Record> &slots, uint64_t *count) {
    size_t named = 0;
    for (const auto &entry : slots)
        if (entry.second.index != 0) named++;
    *count = named;
    if (named == 0) return nullptr;
    Record *records = new Record[named]();
    size_t i = 0;
    for (const auto &entry : slots)
        if (entry.second.index != 0) records[i++] = entry.second;
    return records;
}

#endif /* QUARN_INTERNAL_H */
