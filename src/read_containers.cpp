/*
 * read_containers.cpp: the container reader. A container field's value is a
 * key (read_records.cpp); the bytes live in the table's container store, one
 * storage directory per key:
 *
 *   generation 7 and later   T, 31, 5, k
 *   earlier files            31, 5, k
 *
 * In the directory of key k (raw bytes, not masked unless said):
 *  - generation 7 and later: the field with key 2 is the stream table, a
 *    16-bit big-endian count and per stream a 4-byte tag and a 32-bit
 *    big-endian length; earlier files: the field with key 1 is a descriptor
 *    that ends with the one stream's tag and 32-bit length;
 *  - a stream's bytes either stand inline, as a field whose byte-string key
 *    is the tag, or as bare data whose data is the tag and whose stepped-over
 *    bytes are the stream (codes 0x19 to 0x1D), or under a push of the tag:
 *    there the field with key 0 holds the stream's length (32 bits) and the
 *    pieces, numbered from 1, are segments with that number or fields with
 *    that key. The pieces joined in number order are the stream;
 *  - the FNAM stream keeps the file name: four bytes, a length byte and a
 *    masked word ("file", "image"), a 0x00, a length byte and the masked
 *    name.
 * A directory goes on across blocks: each block pushes its path again.
 *
 * Two walks over the table's blocks: the first takes the measure of every
 * container (its streams, what their pieces add up to, its name), so that
 * the caller learns all of that before the first byte; the second hands the
 * pieces over as they lie in the payloads, so that memory does not grow
 * with a container's size. Both follow the pieces by the same rules
 * (scan_chunk), so they accept the same ones: a piece is taken when it is
 * the next one of its stream; one out of order, or a stream's second
 * directory after another container's, is left out and makes the stream or
 * container damaged.
 */
#include "quarn_internal.h"

#include <array>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

namespace {

using tag_t = std::array<uint8_t, 4>;

/* FNAM bytes gathered for the name; a longer stream names no file. */
constexpr size_t kNameStreamMax = 4096;
const tag_t kNameTag = {'F', 'N', 'A', 'M'};

uint32_t read_be32(const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

tag_t tag_of(const uint8_t *bytes) { return {bytes[0], bytes[1], bytes[2], bytes[3]}; }

/* One stream as a walk follows its pieces. */
struct stream_scan {
    tag_t tag{};
    bool listed = false;    /* the stream table names it */
    uint64_t declared = 0;  /* its length there */
    bool has_length_field = false;
    uint64_t length_field = 0; /* the length under the tag's push */
    uint64_t next_piece = 1;   /* the piece expected next; 0: the stream stood whole */
    uint64_t stored = 0;       /* bytes taken so far */
    uint64_t taken = 0;        /* pieces taken so far */
    /* The second walk takes no more pieces than the first: after a failed
     * first walk it may see chunks the first never reached. */
    uint64_t limit = UINT64_MAX;
    bool disorder = false;     /* a piece was out of order */
};

/* One container: what the first walk learns and the second hands over. */
struct container_scan {
    quarn_container_key_t key{};
    bool ended = false;      /* its directory was left */
    bool table_cut = false;  /* the stream table ends inside an entry */
    bool second_run = false; /* a directory came again after another's */
    std::vector<stream_scan> streams;
    std::vector<uint8_t> name_stream;
    bool name_stream_whole = true;
    /* made after the first walk */
    std::vector<quarn_stream_t> listed;
    std::string name;
    bool has_name = false;
    quarn_container_t record{};
};

struct read_containers_ctx {
    quarn_file_t *file = nullptr;
    int64_t table_index = 0;
    bool delivering = false; /* the second walk */
    quarn_container_handler handler = nullptr;
    void *user_ctx = nullptr;
    /* containers by key bytes */
    std::map<std::vector<uint8_t>, container_scan> containers;
    container_scan *current = nullptr;
    bool skipping = false; /* the handler asked for no more of current's bytes */
};

std::vector<uint8_t> key_bytes(const quarn_container_key_t &key) {
    return std::vector<uint8_t>(key.bytes, key.bytes + key.size);
}

stream_scan &stream_named(container_scan &container, const tag_t &tag) {
    for (stream_scan &stream : container.streams)
        if (stream.tag == tag) return stream;
    container.streams.emplace_back();
    container.streams.back().tag = tag;
    return container.streams.back();
}

void list_stream(container_scan &container, const uint8_t *entry) {
    stream_scan &stream = stream_named(container, tag_of(entry));
    if (stream.listed) return; /* a tag listed twice: the first entry counts */
    stream.listed = true;
    stream.declared = read_be32(entry + 4);
}

/* The stream table of a later file's directory (key 2). */
void read_stream_table(container_scan &container, const quarn_span_t &table) {
    if (table.size < 2) {
        container.table_cut = true;
        return;
    }
    const uint64_t count = (uint64_t(table.start[0]) << 8) | table.start[1];
    const uint64_t whole = (table.size - 2) / 8;
    if (whole < count) container.table_cut = true;
    for (uint64_t i = 0; i < count && i < whole; i++) list_stream(container, table.start + 2 + 8 * i);
}

/* The descriptor of an earlier file's directory (key 1): its last eight
 * bytes are the tag and the length. */
void read_descriptor(container_scan &container, const quarn_span_t &descriptor) {
    if (descriptor.size < 8) {
        container.table_cut = true;
        return;
    }
    list_stream(container, descriptor.start + descriptor.size - 8);
}

/* The file name in gathered FNAM bytes, or nothing. */
bool read_name(const quarn_file_t *file, const std::vector<uint8_t> &bytes, std::string *name) {
    size_t at = 4;
    if (bytes.size() < at + 1) return false;
    at += 1 + size_t(bytes[at]); /* the word "file" or "image" */
    if (at + 2 > bytes.size() || bytes[at] != 0x00) return false;
    const size_t length = bytes[at + 1];
    at += 2;
    if (length == 0 || at + length > bytes.size()) return false;
    std::vector<char> text(4 * length + 1);
    convert(file->converter, file->text_mask, text.data(), text.size(), bytes.data() + at, length);
    *name = text.data();
    return !name->empty();
}

/* After the first walk: the records the handler will see. */
void sum_up(const quarn_file_t *file, container_scan &container) {
    bool damaged = container.table_cut || container.second_run;
    container.listed.clear();
    for (const stream_scan &stream : container.streams) {
        quarn_stream_t out{};
        memcpy(out.tag, stream.tag.data(), 4);
        out.tag[4] = '\0';
        out.length = stream.listed ? stream.declared : stream.stored;
        out.stored = stream.stored;
        out.damaged = stream.disorder || stream.stored != out.length ||
                      (stream.has_length_field && stream.length_field != stream.stored);
        damaged = damaged || out.damaged;
        container.listed.push_back(out);
    }
    container.has_name = container.name_stream_whole && !container.name_stream.empty() &&
                         read_name(file, container.name_stream, &container.name);
    container.record.key = container.key;
    container.record.stream_count = static_cast<uint32_t>(container.listed.size());
    container.record.streams = container.listed.data();
    container.record.name = container.has_name ? container.name.c_str() : nullptr;
    container.record.damaged = damaged ? 1 : 0;

    /* the second walk follows the pieces afresh */
    container.ended = false;
    for (stream_scan &stream : container.streams) {
        stream.next_piece = 1;
        stream.stored = 0;
        stream.limit = stream.taken;
        stream.taken = 0;
    }
}

int send(read_containers_ctx *ctx, quarn_container_event_t &event) {
    if (!ctx->handler) return QUARN_HANDLER_CONTINUE;
    return ctx->handler(&event, ctx->user_ctx);
}

/* Leaves the current container's directory: the second walk hands over
 * its END. */
int end_current(read_containers_ctx *ctx) {
    container_scan *container = ctx->current;
    if (!container) return QUARN_HANDLER_CONTINUE;
    container->ended = true;
    ctx->current = nullptr;
    ctx->skipping = false;
    if (!ctx->delivering) return QUARN_HANDLER_CONTINUE;
    quarn_container_event_t event{};
    event.type = QUARN_CONTAINER_END;
    event.container = &container->record;
    return send(ctx, event) == QUARN_HANDLER_ABORT ? QUARN_HANDLER_ABORT : QUARN_HANDLER_CONTINUE;
}

/* The stream of that tag, or null when the second walk meets a tag the
 * first did not (it has no place in the container's record). */
stream_scan *stream_for(read_containers_ctx *ctx, const tag_t &tag) {
    container_scan &container = *ctx->current;
    if (!ctx->delivering) return &stream_named(container, tag);
    for (stream_scan &stream : container.streams)
        if (stream.tag == tag) return &stream;
    return nullptr;
}

/* Takes the next piece of tag's stream: piece number (1 and up), or the
 * whole stream when whole is set. */
int take_piece(read_containers_ctx *ctx, const tag_t &tag, bool whole, uint64_t number,
               const quarn_span_t &bytes) {
    container_scan &container = *ctx->current;
    stream_scan *stream = stream_for(ctx, tag);
    if (!stream) return QUARN_HANDLER_CONTINUE;
    const bool in_order = whole ? stream->next_piece == 1
                                : stream->next_piece != 0 && number == stream->next_piece;
    if (!in_order) {
        stream->disorder = true;
        return QUARN_HANDLER_CONTINUE;
    }
    if (stream->taken == stream->limit) return QUARN_HANDLER_CONTINUE;
    stream->next_piece = whole ? 0 : stream->next_piece + 1;
    stream->taken++;
    const uint64_t offset = stream->stored;
    stream->stored += bytes.size;

    if (!ctx->delivering) {
        if (tag == kNameTag) {
            if (container.name_stream.size() + bytes.size > kNameStreamMax)
                container.name_stream_whole = false;
            else
                container.name_stream.insert(container.name_stream.end(), bytes.start,
                                             bytes.start + bytes.size);
        }
        return QUARN_HANDLER_CONTINUE;
    }
    if (ctx->skipping || bytes.size == 0) return QUARN_HANDLER_CONTINUE;
    quarn_container_event_t event{};
    event.type = QUARN_CONTAINER_DATA;
    event.container = &container.record;
    event.stream = static_cast<uint32_t>(stream - container.streams.data());
    event.offset = offset;
    event.bytes = bytes;
    const int status = send(ctx, event);
    if (status == QUARN_HANDLER_STOP) ctx->skipping = true;
    return status == QUARN_HANDLER_ABORT ? QUARN_HANDLER_ABORT : QUARN_HANDLER_CONTINUE;
}

/* A chunk in the directory of the current container; rest is the number of
 * path entries below the container's key. */
int scan_chunk(read_containers_ctx *ctx, const quarn_chunk_t *chunk, int key_at, int rest) {
    container_scan &container = *ctx->current;
    const bool v7 = chunk->generation >= 7;
    if (rest == 0) {
        if (chunk->type == QUARN_CHUNK_FIELD_SIMPLE_KEY) {
            if (!ctx->delivering && v7 && chunk->ref_simple == 2)
                read_stream_table(container, chunk->data);
            else if (!ctx->delivering && !v7 && chunk->ref_simple == 1)
                read_descriptor(container, chunk->data);
            return QUARN_HANDLER_CONTINUE;
        }
        if (chunk->type == QUARN_CHUNK_FIELD_LONG_KEY && chunk->ref_long.size == 4)
            return take_piece(ctx, tag_of(chunk->ref_long.start), true, 0, chunk->data);
        const quarn_span_t trailing = chunk_trailing_bytes(chunk);
        if (trailing.size != 0 && chunk->data.size == 4)
            return take_piece(ctx, tag_of(chunk->data.start), true, 0, trailing);
        return QUARN_HANDLER_CONTINUE;
    }
    const quarn_span_t *tag_key = chunk->path[key_at + 1];
    if (rest != 1 || !tag_key || tag_key->size != 4) return QUARN_HANDLER_CONTINUE;
    const tag_t tag = tag_of(tag_key->start);
    /* a segment numbered 0 is out of order like any other wrong number */
    if (chunk->type == QUARN_CHUNK_SEGMENT)
        return take_piece(ctx, tag, false, chunk->segment_index, chunk->data);
    if (chunk->type != QUARN_CHUNK_FIELD_SIMPLE_KEY) return QUARN_HANDLER_CONTINUE;
    if (chunk->ref_simple != 0) return take_piece(ctx, tag, false, chunk->ref_simple, chunk->data);
    if (!ctx->delivering && chunk->data.size == 4) {
        stream_scan &stream = stream_named(container, tag);
        stream.has_length_field = true;
        stream.length_field = read_be32(chunk->data.start);
    }
    return QUARN_HANDLER_CONTINUE;
}

/* Enters the directory of the container with this key. */
int enter(read_containers_ctx *ctx, const quarn_span_t &key) {
    quarn_container_key_t wanted{};
    wanted.size = static_cast<uint32_t>(key.size);
    memcpy(wanted.bytes, key.start, key.size);
    const std::vector<uint8_t> bytes = key_bytes(wanted);

    container_scan *container;
    if (ctx->delivering) {
        auto it = ctx->containers.find(bytes);
        if (it == ctx->containers.end()) return QUARN_HANDLER_CONTINUE; /* cannot happen */
        container = &it->second;
    } else {
        auto [it, added] = ctx->containers.try_emplace(bytes);
        container = &it->second;
        if (added) container->key = wanted;
    }
    if (container->ended) {
        /* a second directory of an ended container: its chunks are left out */
        if (!ctx->delivering) container->second_run = true;
        return QUARN_HANDLER_CONTINUE;
    }
    ctx->current = container;
    ctx->skipping = false;
    if (!ctx->delivering) return QUARN_HANDLER_CONTINUE;
    quarn_container_event_t event{};
    event.type = QUARN_CONTAINER_BEGIN;
    event.container = &container->record;
    const int status = send(ctx, event);
    if (status == QUARN_HANDLER_STOP) ctx->skipping = true;
    return status == QUARN_HANDLER_ABORT ? QUARN_HANDLER_ABORT : QUARN_HANDLER_CONTINUE;
}

bool same_key(const quarn_container_key_t &key, const quarn_span_t &span) {
    return key.size == span.size && memcmp(key.bytes, span.start, span.size) == 0;
}

int handle_chunk_read_containers(quarn_chunk_t *chunk, void *vctx) {
    auto *ctx = static_cast<read_containers_ctx *>(vctx);
    quarn_span_t **path = chunk->path;
    const uint64_t outer = path_value(chunk, path[0]);
    const bool v7 = chunk->generation >= 7;
    const int store_at = v7 ? 1 : 0; /* where 31, 5 begin */
    if (v7) {
        const int64_t table_key = ctx->table_index + 128;
        if (static_cast<int64_t>(outer) > table_key) return QUARN_HANDLER_STOP;
        if (static_cast<int64_t>(outer) < table_key) return QUARN_HANDLER_CONTINUE;
    } else if (outer > 31) {
        return QUARN_HANDLER_STOP;
    }
    /* pushes and pops only move the path; the chunks under it decide */
    if (chunk->type == QUARN_CHUNK_PUSH || chunk->type == QUARN_CHUNK_POP)
        return QUARN_HANDLER_CONTINUE;

    const int key_at = store_at + 2;
    const bool in_store = chunk->path_level > key_at && path_is(chunk, path[store_at], 31) &&
                          path_is(chunk, path[store_at + 1], 5) && path[key_at] &&
                          path[key_at]->size >= 1 &&
                          path[key_at]->size <= QUARN_CONTAINER_KEY_MAX;
    if (!in_store) return end_current(ctx);
    if (ctx->current && !same_key(ctx->current->key, *path[key_at]) &&
        end_current(ctx) == QUARN_HANDLER_ABORT)
        return QUARN_HANDLER_ABORT;
    if (!ctx->current) {
        if (enter(ctx, *path[key_at]) == QUARN_HANDLER_ABORT) return QUARN_HANDLER_ABORT;
        if (!ctx->current) return QUARN_HANDLER_CONTINUE;
    }
    return scan_chunk(ctx, chunk, key_at, int(chunk->path_level) - key_at - 1);
}

int walk(read_containers_ctx *ctx) {
    quarn_file_t *file = ctx->file;
    ctx->current = nullptr;
    ctx->skipping = false;
    int rc = file->generation >= 7 ? process_table_blocks(file, ctx->table_index + 128,
                                                          handle_chunk_read_containers, ctx)
                                   : process_blocks(file, nullptr, handle_chunk_read_containers, ctx);
    if (rc != QUARN_ERROR_USER_ABORTED && end_current(ctx) == QUARN_HANDLER_ABORT)
        rc = QUARN_ERROR_USER_ABORTED;
    return rc;
}

} // namespace

extern "C" quarn_error_t quarn_read_containers(quarn_file_t *file, const quarn_table_t *table,
                                               quarn_container_handler handler, void *user_ctx) {
    try {
        read_containers_ctx ctx;
        ctx.file = file;
        ctx.table_index = table->index;
        ctx.handler = handler;
        ctx.user_ctx = user_ctx;

        const int measured = walk(&ctx);
        for (auto &entry : ctx.containers) sum_up(file, entry.second);
        /* After a failed first walk the second hands over what lies before
         * the fault (a block that failed part way is taken from then on as
         * its chunks before the fault), and the failure is reported. */
        ctx.delivering = true;
        const int delivered = walk(&ctx);
        return static_cast<quarn_error_t>(delivered != QUARN_OK ? delivered : measured);
    } catch (const std::exception &) {
        return QUARN_ERROR_MALLOC;
    }
}
