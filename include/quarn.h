/*
 * quarn.h: public interface of libquarntools.
 *
 * The library reads database files written by FileMaker Pro, of generation 7
 * and later (.fp7, .fmp12) and of the earlier generation (.fp5, .fp3), and
 * hands their tables, columns and record values to the caller as UTF-8 text.
 * It never writes a database file.
 *
 * Ownership follows one pattern: whatever a function returns belongs to the
 * caller, who releases it with the matching quarn_free_* or quarn_close_file;
 * whatever the library passes to a value handler belongs to the library and
 * lives only for that call. Table and column arrays hold copies and may
 * outlive the file handle.
 *
 * The library keeps no global state. A handle is changed by every query, so
 * one handle serves one thread at a time; separate handles are independent.
 * It writes nothing to standard output or standard error, but for the dump
 * of quarn_dump_file: what goes wrong comes back as an error number.
 */
#ifndef QUARN_H
#define QUARN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && !defined(QUARN_STATIC_BUILD)
#define QUARN_EXPORT __attribute__((visibility("default")))
#else
#define QUARN_EXPORT
#endif

/* Error numbers. The numbers are the interface: the tools print them as
 * "Error code: %d". 5 and 10 are not used. */
typedef enum {
    QUARN_OK = 0,
    QUARN_ERROR_OPEN = 1,              /* path or memory stream cannot be opened */
    QUARN_ERROR_READ = 2,              /* header or first sector read short;
                                          in a walk: a sector no longer reads
                                          as it did at the open */
    QUARN_ERROR_SEEK = 3,              /* cannot seek to the end to measure */
    QUARN_ERROR_MALLOC = 4,            /* out of memory */
    QUARN_ERROR_BAD_MAGIC = 6,         /* not a database file */
    QUARN_ERROR_BAD_BLOCK = 7,         /* a malformed block */
    QUARN_ERROR_BAD_SECTOR_COUNT = 8,  /* block count disagrees with the file */
    QUARN_ERROR_INCOMPLETE_CHUNK = 9,  /* a chunk cut off by its payload's end */
    QUARN_ERROR_UNRECOGNIZED_CODE = 11,/* unknown chunk code (generation 7+) */
    QUARN_ERROR_ICONV = 12,            /* no Mac Roman to UTF-8 converter */
    QUARN_ERROR_USER_ABORTED = 13,     /* a handler asked to abort */
    QUARN_ERROR_RECORD_KEY = 14        /* a record keyed in a form the library
                                          does not read (generation 7 and
                                          later: four bytes and more, or
                                          three not starting with 110) */
} quarn_error_t;

/* What a handler answers. To a value handler only ABORT has a meaning:
 * it ends quarn_read_values, which then returns QUARN_ERROR_USER_ABORTED. */
typedef enum {
    QUARN_HANDLER_CONTINUE = 0,
    QUARN_HANDLER_STOP = 1,
    QUARN_HANDLER_ABORT = 2
} quarn_handler_status_t;

/* Bytes that some other record owns. */
typedef struct {
    uint64_t size;
    const uint8_t *start;
} quarn_span_t;

typedef enum {
    QUARN_CHUNK_PUSH = 0,             /* opens a level; data is the key */
    QUARN_CHUNK_POP = 1,              /* closes the innermost level */
    QUARN_CHUNK_DATA_SIMPLE = 2,      /* bare data */
    QUARN_CHUNK_FIELD_SIMPLE_KEY = 3, /* numeric key ref_simple, value data */
    QUARN_CHUNK_FIELD_LONG_KEY = 4,   /* byte-string key ref_long, value data */
    QUARN_CHUNK_SEGMENT = 5           /* piece segment_index of a long value */
} quarn_chunk_type_t;

/* One decoded chunk of a block's payload. Spans point into the payload of the
 * block that holds the chunk. path, path_level and generation are set by the
 * walk just before the chunk is handed to a handler and are valid only during
 * that call. Internal to the library; declared here so the records are
 * complete, callers of the public functions never see one. */
typedef struct quarn_chunk {
    struct quarn_chunk *next;
    quarn_span_t ref_long;
    quarn_span_t data;
    quarn_chunk_type_t type;
    quarn_span_t **path;
    uint8_t path_level;
    uint8_t generation;
    uint8_t code;
    uint16_t segment_index;
    uint16_t ref_simple;
    uint8_t extended;
} quarn_chunk_t;

/* A table of the file: its number (1-based) and NUL-terminated UTF-8 name of
 * at most 63 bytes. */
typedef struct {
    int32_t index;
    char name[64];
} quarn_table_t;

typedef struct {
    uint64_t count;
    quarn_table_t *tables; /* count records in ascending index order */
} quarn_table_array_t;

/* A column of a table: its number within the table (1-based), the field kind
 * 1 to 8 as stored or 0 (earlier files only), the collation byte or 0 (earlier
 * files only), and its NUL-terminated UTF-8 name of at most 63 bytes. */
typedef struct {
    int32_t index;
    int32_t type;
    int32_t collation;
    char name[64];
} quarn_column_t;

typedef struct {
    uint64_t count;
    quarn_column_t *columns; /* count records in ascending index order */
} quarn_column_array_t;

/* Called by quarn_read_values once per value: the row number (1 for the first
 * record met, one more for each new record), the value's column record and
 * the value as NUL-terminated UTF-8. Both pointers belong to the library and
 * are valid only during the call. Return QUARN_HANDLER_ABORT to end the read;
 * any other value lets it go on. */
typedef int (*quarn_value_handler)(int row, const quarn_column_t *column,
                                   const char *value, void *user_ctx);

/* Opaque file handle. */
typedef struct quarn_file quarn_file_t;

/* Opens a database file by path. Returns a new handle, which the caller
 * releases with quarn_close_file, or NULL on failure; then the error number
 * (1, 2, 3, 4, 6, 7, 8 or 12) is stored through error when it is not NULL.
 * On success *error is left as it was.
 *
 * The whole file is read and every sector checked here, but no payload is
 * kept: the handle holds the file open, with a few dozen bytes per sector,
 * and each later query or dump reads the sectors of the blocks it comes to
 * again, one at a time. So the file must stay as it was while the handle is
 * open. When it has shrunk, cannot be read, or a sector no longer holds the
 * block ids and payload length it held at the open, the query or dump that
 * meets that sector ends with QUARN_ERROR_READ (2) (what it handed out
 * before came from the file as it was), and reads it again when it is
 * back; other changes to the bytes of a payload are read as they now are,
 * and what a walk learns from them stays with the handle. Removing or
 * renaming the file's path changes nothing: the handle reads what it
 * opened. */
QUARN_EXPORT quarn_file_t *quarn_open_file(const char *path, quarn_error_t *error);

/* As quarn_open_file, over size bytes at buffer. The buffer stays the
 * caller's; the library never writes or frees it and does not use it after
 * the open returns: the handle keeps its own copy of the sectors (as much
 * memory as the buffer), which queries read from, so they never meet error
 * 2. The handle has an empty file name. */
QUARN_EXPORT quarn_file_t *quarn_open_buffer(const void *buffer, size_t size,
                                             quarn_error_t *error);

/* Releases a handle returned by one of the opens, with everything it holds. */
QUARN_EXPORT void quarn_close_file(quarn_file_t *file);

/* Lists the file's tables. Returns a new array (free it with
 * quarn_free_tables), or NULL on failure. When error is not NULL it always
 * receives the result: 0, or the walk's error (7, 9, 11; 4 when memory runs
 * out; 2 when the file changed after the open, see quarn_open_file). A file
 * of the earlier generation has one table, number 1, named after the file
 * without its extension.
 *
 * In later files a name is stored in either of two forms, a short field or
 * a long-form text (a directory of pieces, the form long values take);
 * both are read. A table that holds records but has no name in the
 * catalogue is listed too, under the made-up name "table_" and its key
 * (its number plus 128, as the file numbers it): "table_131" for table 3.
 * So the function walks the whole file. */
QUARN_EXPORT quarn_table_array_t *quarn_list_tables(quarn_file_t *file,
                                                    quarn_error_t *error);

/* Frees an array from quarn_list_tables; NULL is ignored. */
QUARN_EXPORT void quarn_free_tables(quarn_table_array_t *tables);

/* Lists the columns of one table (only table->index is read), named in
 * either form a name takes (see quarn_list_tables). Returns a new
 * array also when the walk fails: it then holds the columns found before the
 * failure, and error (when not NULL) receives the number. error always
 * receives the result. NULL only when memory runs out. Free the array with
 * quarn_free_columns. */
QUARN_EXPORT quarn_column_array_t *quarn_list_columns(quarn_file_t *file,
                                                      const quarn_table_t *table,
                                                      quarn_error_t *error);

/* Frees an array from quarn_list_columns; NULL is ignored. */
QUARN_EXPORT void quarn_free_columns(quarn_column_array_t *columns);

/* Hands every value of one table (only table->index is read) to handler, in
 * file order, with its row number and column (a column named in long form
 * is a column like any other). handler may be NULL. Returns 0,
 * the walk's error (7, 9, 11; 4 when memory runs out; 2 when the file
 * changed after the open, see quarn_open_file), or 13 when the handler
 * aborted. */
QUARN_EXPORT quarn_error_t quarn_read_values(quarn_file_t *file,
                                             const quarn_table_t *table,
                                             quarn_value_handler handler,
                                             void *user_ctx);

/* ------------------------------------------------------------------ */
/* The file, its fields, records and containers                        */
/* ------------------------------------------------------------------ */

/* What the header of an open file says. */
typedef struct {
    int32_t generation;        /* 0 for earlier files, 7 or 12 */
    char version[10];          /* the version text, NUL-terminated */
    char release_date_text[8]; /* the release date as stored ("25Jan11") */
    /* The release date, when its text reads as one: year (e.g. 2011),
     * month 1 to 12 and day 1 to 31; all three 0 otherwise. */
    int32_t release_year;
    int32_t release_month;
    int32_t release_day;
    char name[64];             /* the file name as the open recorded it */
    uint64_t size;             /* the file's size in bytes */
} quarn_file_info_t;

/* Fills info with the facts of the file's header. Never fails. */
QUARN_EXPORT void quarn_get_file_info(const quarn_file_t *file, quarn_file_info_t *info);

/* The id of the block at which the latest failure of a query on this
 * handle lay: the block that could not be read again (2) or decoded (7, 9,
 * 11). 0 while no query has failed so. Meant to be asked right after a
 * function returned one of those numbers, to say where a file is damaged;
 * a query that succeeds later leaves it as it was. */
QUARN_EXPORT int32_t quarn_failed_block(const quarn_file_t *file);

/* A field's data type: the same numbers for every generation (an earlier
 * file's container is 6, and earlier files have no timestamps). */
typedef enum {
    QUARN_TYPE_UNKNOWN = 0,
    QUARN_TYPE_TEXT = 1,
    QUARN_TYPE_NUMBER = 2,
    QUARN_TYPE_DATE = 3,
    QUARN_TYPE_TIME = 4,
    QUARN_TYPE_TIMESTAMP = 5,
    QUARN_TYPE_CONTAINER = 6
} quarn_data_type_t;

/* How a field gets its values. */
typedef enum {
    QUARN_KIND_UNKNOWN = 0,
    QUARN_KIND_NORMAL = 1,      /* entered */
    QUARN_KIND_CALCULATION = 2, /* values only where the result is stored */
    QUARN_KIND_SUMMARY = 3
} quarn_field_kind_t;

/* A field of a table: its number and name as quarn_column_t has them, with
 * what its definition record says. A field whose definition record is
 * missing or too short has data_type and kind 0 (unknown), global 0 and
 * repetitions 1. */
typedef struct {
    int32_t index;
    int32_t data_type;   /* a quarn_data_type_t */
    int32_t kind;        /* a quarn_field_kind_t */
    int32_t global;      /* 1: global storage, one value for the whole table */
    int32_t repetitions; /* repetitions declared, 1 or more (1: not repeating) */
    char name[64];
} quarn_field_t;

typedef struct {
    uint64_t count;
    quarn_field_t *fields; /* count records in ascending index order */
} quarn_field_array_t;

/* Lists the fields of one table (only table->index is read): the same
 * fields, in the same order, as quarn_list_columns lists. Returns a new
 * array also when the walk fails: it then holds the fields found before the
 * failure, and error (when not NULL) receives the number. error always
 * receives the result (0, 7, 9 or 11). NULL only when memory runs out.
 * Free the array with quarn_free_fields. */
QUARN_EXPORT quarn_field_array_t *quarn_list_fields(quarn_file_t *file,
                                                    const quarn_table_t *table,
                                                    quarn_error_t *error);

/* Frees an array from quarn_list_fields; NULL is ignored. */
QUARN_EXPORT void quarn_free_fields(quarn_field_array_t *fields);

/* The longest storage key the library hands out. */
#define QUARN_CONTAINER_KEY_MAX 16

/* The key under which a container's bytes are stored in the file: the
 * bytes of its storage directory's key. Two keys name the same container
 * when their sizes and bytes are equal. size 0: no key. */
typedef struct {
    uint32_t size;
    uint8_t bytes[QUARN_CONTAINER_KEY_MAX];
} quarn_container_key_t;

/* One value of one repetition of one field of a record, as
 * quarn_read_records hands it over. */
typedef struct {
    /* The row number, as quarn_read_values numbers the rows: 1 for the
     * first record met, one more for each new record. That function never
     * sees some records: one holding nothing but repetitions 2 and up, and
     * one whose only values are long values (or container references) of
     * fields at or after the previous record's last field, which it passes
     * over. Here such a record has a row of its own, and the rows after it
     * are one higher than quarn_read_values numbers them. */
    int32_t row;
    /* 1 for the value quarn_read_values delivers, 2 and up for the other
     * repetitions of a repeating field. */
    int32_t repetition;
    /* The record's own key in the file, which stays the same for the life
     * of the record: fit for a primary key. */
    uint64_t record_id;
    /* The field, as its definition describes it. Definitions come before
     * the records in the file, so this is the field that quarn_list_fields
     * lists. Owned by the library, valid during the call. */
    const quarn_field_t *field;
    /* The value as NUL-terminated UTF-8, owned by the library and valid
     * during the call; NULL when the value is a container reference. */
    const char *text;
    /* A container field's reference: the storage key of the container that
     * quarn_read_containers hands over for it. A copy: the caller may keep
     * it. size is 0 for every value whose text is not NULL. */
    quarn_container_key_t container_key;
} quarn_value_t;

/* Called by quarn_read_records (and quarn_read_globals) once per value.
 * Return QUARN_HANDLER_ABORT to end the read; any other value lets it go
 * on. */
typedef int (*quarn_record_handler)(const quarn_value_t *value, void *user_ctx);

/* Hands every value of every repetition of one table's records (only
 * table->index is read) to handler, in file order, in one walk: what
 * quarn_read_values delivers, with the same texts and rows (see
 * quarn_value_t for the records it misses), together with the other
 * repetitions of repeating fields and the long values it passes over, and
 * container fields as references (container_key) instead of text. handler
 * may be NULL.
 *
 * Every record the file holds is handed over, also one that holds no value
 * of any field (its fields are empty, global or unstored calculations):
 * such a record comes once, as a value with its own row and record_id
 * whose field has index 0 (no field of the table: empty name, data type
 * and kind unknown), repetition 1 and the empty text "".
 *
 * record_id reads the record's key as generation 7 and later files number
 * things (one byte 0-127; two bytes 10xxxxxx: 128 + 14 bits; three bytes
 * 110xxxxx: 16,512 + 21 bits); a record keyed in another form ends the
 * read with 14 rather than give a wrong id.
 * Returns 0, the walk's error (7, 9, 11; 4 when memory runs out; 14), or
 * 13 when the handler aborted. */
QUARN_EXPORT quarn_error_t quarn_read_records(quarn_file_t *file,
                                              const quarn_table_t *table,
                                              quarn_record_handler handler,
                                              void *user_ctx);

/* Counts the records of one table (only table->index is read) into
 * *records: every record quarn_read_records hands over, those without
 * values included, without converting any text. Returns what
 * quarn_read_records would return with a handler that never aborts. */
QUARN_EXPORT quarn_error_t quarn_count_records(quarn_file_t *file,
                                               const quarn_table_t *table,
                                               uint64_t *records);

/* Hands the values of one table's global fields (only table->index is
 * read) to handler: a global field has one value for the whole table,
 * stored once outside the records. The values come as quarn_read_records
 * hands record values over (every repetition, long values joined,
 * containers as references to the table's store, which
 * quarn_read_containers reads), with row 0 and record_id 0. A table
 * without global values makes no call. handler may be NULL. Returns 0,
 * the walk's error (7, 9, 11; 4 when memory runs out), or 13 when the
 * handler aborted. */
QUARN_EXPORT quarn_error_t quarn_read_globals(quarn_file_t *file,
                                              const quarn_table_t *table,
                                              quarn_record_handler handler,
                                              void *user_ctx);

/* One stream of a container: a picture in one format, a file, its name. */
typedef struct {
    char tag[5];      /* the four tag bytes as stored ("JPEG", "PDF "), NUL after */
    uint64_t length;  /* the length the container's stream table declares */
    uint64_t stored;  /* the bytes its pieces hold, in order */
    int32_t damaged;  /* 1: the pieces do not add up to length (stored differs),
                         or some are missing or out of order */
} quarn_stream_t;

/* A container of a table's store. */
typedef struct {
    quarn_container_key_t key;
    uint32_t stream_count;
    const quarn_stream_t *streams; /* in the stream table's order */
    /* The file name kept in the FNAM stream, NUL-terminated UTF-8; NULL when
     * the container has none. */
    const char *name;
    int32_t damaged; /* 1 when any stream is damaged */
} quarn_container_t;

typedef enum {
    QUARN_CONTAINER_BEGIN = 0, /* a container, before any of its bytes */
    QUARN_CONTAINER_DATA = 1,  /* the next piece of one of its streams */
    QUARN_CONTAINER_END = 2    /* after its last piece */
} quarn_container_event_type_t;

/* What quarn_read_containers hands to its handler. Everything the event
 * points at belongs to the library and is valid only during the call. */
typedef struct {
    int32_t type;                       /* a quarn_container_event_type_t */
    const quarn_container_t *container; /* every event */
    uint32_t stream;                    /* DATA: index into container->streams */
    uint64_t offset;                    /* DATA: where the piece starts in its stream */
    quarn_span_t bytes;                 /* DATA: the piece */
} quarn_container_event_t;

/* Answer QUARN_HANDLER_STOP to skip the rest of the container's bytes (its
 * END still comes), QUARN_HANDLER_ABORT to end the read. */
typedef int (*quarn_container_handler)(const quarn_container_event_t *event,
                                       void *user_ctx);

/* Hands every container of one table's store (only table->index is read)
 * to handler: a BEGIN with its key, streams and name, the pieces of each
 * stream in order as DATA (the pieces of one stream come in order; those of
 * different streams may interleave), then an END. The pieces of a damaged
 * stream that come in order are handed over; the flag tells the caller not
 * to trust them. Memory stays bounded by a few pieces whatever a
 * container's size: bytes are handed out as they lie in the file, never
 * gathered. handler may be NULL. Returns 0, the walk's error (7, 9, 11; 4
 * when memory runs out), or 13 when the handler aborted. */
QUARN_EXPORT quarn_error_t quarn_read_containers(quarn_file_t *file,
                                                 const quarn_table_t *table,
                                                 quarn_container_handler handler,
                                                 void *user_ctx);

/* Prints the structure of the file on standard output: header facts, every
 * block of the chain and every chunk with its path. Returns 0 or the walk's
 * error (7, 9, 11; 2 when the file changed after the open). */
QUARN_EXPORT quarn_error_t quarn_dump_file(quarn_file_t *file);

#ifdef __cplusplus
}
#endif

#endif /* QUARN_H */
