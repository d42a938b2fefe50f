/*
 * core.cpp: opening a database file, the block walk with its path stack,
 * path keys and the conversion of stored text to UTF-8.
 *
 * Opening reads the whole file once through a stdio stream: the header fixes
 * the format profile of the file's generation, and every sector is checked
 * and becomes a block record (ids and payload length); no payload is kept.
 * After that every query is a walk over the block chain (process_blocks),
 * which reads each block's sector again when it comes to it into one buffer
 * (read_block_payload: from the file through a read-ahead window of up to
 * 256 KB, or a copy from the image kept for a buffer), and leans on
 * block.cpp to decode it into chunks. The memory a handle holds is one
 * 40-byte record per sector, the window and what one block needs, whatever
 * the file's size; a buffer's sectors are the one exception (the caller's
 * buffer cannot be read again).
 *
 * Allocation failures surface as exceptions inside the library (std::bad_alloc,
 * or std::length_error for a size no container can hold); every exported
 * function catches them and reports QUARN_ERROR_MALLOC, so no exception ever
 * crosses the C interface.
 */
#include "quarn_internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <libgen.h>
#include <sys/mman.h>
#include <unistd.h>
#include <exception>
#include <new>
#include <string>

namespace {

const uint8_t kMagic[15] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01,
                            0x00, 0x05, 0x00, 0x02, 0x00, 0x02, 0xC0};

constexpr size_t kHeaderSize = 1024;
constexpr size_t kGenerationByte = 521;
constexpr size_t kDateOffset = 531;
constexpr size_t kDateLength = 7;
constexpr size_t kVersionLengthOffset = 541;
constexpr size_t kVersionOffset = 542;
constexpr size_t kVersionMax = 9;
constexpr uint64_t kInitialPathCapacity = 16;
/* The most a walk reads ahead of the sector it needs. */
constexpr uint64_t kReadAheadBytes = 256 * 1024;

/* The handle holds one block record per sector: 40 bytes are under 1 % of a
 * generation-7 sector. */
static_assert(sizeof(quarn_block_t) <= 40, "block records grow with the file");

void set_error(quarn_error_t *error, quarn_error_t value) {
    if (error) *error = value;
}

/* Length of the UTF-8 sequence that a lead byte starts; 0 for a byte that
 * cannot start one. */
size_t utf8_sequence_length(uint8_t lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

/* Shortens text[0, length) so that it does not end inside a UTF-8 sequence
 * and returns the new length. Only the tail is looked at. */
size_t utf8_whole_prefix(const char *text, size_t length) {
    size_t start = length;
    /* step back over at most three continuation bytes to the lead byte */
    while (start > 0 && length - start < 3 &&
           (static_cast<uint8_t>(text[start - 1]) & 0xC0) == 0x80)
        start--;
    if (start == 0) return length;
    size_t lead = start - 1;
    size_t need = utf8_sequence_length(static_cast<uint8_t>(text[lead]));
    if (need > 1 && length - lead < need) return lead;
    return length;
}

} // namespace

quarn_file::~quarn_file() {
    stream.reset();
    if (converter) iconv_close(converter);
}

void debug(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

/* ------------------------------------------------------------------ */
/* Opening                                                             */
/* ------------------------------------------------------------------ */

quarn_error_t read_header(quarn_file_t *file) {
    uint8_t header[kHeaderSize];
    FILE *stream = file->stream.get();
    rewind(stream);
    if (fread(header, 1, kHeaderSize, stream) != kHeaderSize) return QUARN_ERROR_READ;
    if (memcmp(header, kMagic, sizeof kMagic) != 0) return QUARN_ERROR_BAD_MAGIC;

    if (memcmp(header + 15, "HBAM7", 5) == 0) {
        file->generation = header[kGenerationByte] == 0x1E ? 12 : 7;
        file->sector_size = 4096;
        file->sector_header_size = 20;
        file->prev_id_offset = 4;
        file->next_id_offset = 8;
        file->length_offset = -1;
        file->text_mask = 0x5A;
        file->converter = nullptr;
    } else {
        file->generation = 0;
        file->sector_size = 1024;
        file->sector_header_size = 14;
        file->prev_id_offset = 2;
        file->next_id_offset = 6;
        file->length_offset = 12;
        file->text_mask = 0;
        iconv_t cd = iconv_open("UTF-8", "MACINTOSH");
        if (cd == reinterpret_cast<iconv_t>(-1)) return QUARN_ERROR_ICONV;
        file->converter = cd;
    }

    memcpy(file->release_date_text, header + kDateOffset, kDateLength);
    file->release_date_text[kDateLength] = '\0';
    const char *end = strptime(file->release_date_text, "%d%b%y", &file->release_date);
    file->release_date_parsed = end != nullptr;

    size_t version_length = header[kVersionLengthOffset];
    if (version_length > kVersionMax) version_length = kVersionMax;
    memcpy(file->version_string, header + kVersionOffset, version_length);
    file->version_string[version_length] = '\0';

    /* Earlier files keep a second 1024-byte header sector before block 1.
     * A failed seek shows up as a short read of the index sector. */
    file->first_sector_offset = file->sector_size == 1024 ? 2048 : file->sector_size;
    fseeko(stream, static_cast<off_t>(file->first_sector_offset), SEEK_SET);
    return QUARN_OK;
}

/* Memory for the sectors of a whole buffer. Large images are aligned to
 * 2 MiB and asked for in huge pages: filling a gigabyte of fresh memory page
 * by page costs more than reading it. Nothing is zero-filled: every byte is
 * copied in before it is read. */
static uint8_t *allocate_image(size_t size) {
    constexpr size_t kHugePage = size_t(2) << 20;
    void *memory;
    if (size >= kHugePage) {
        const size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
        memory = aligned_alloc(kHugePage, rounded);
        if (memory) madvise(memory, rounded, MADV_HUGEPAGE);
    } else {
        memory = malloc(size ? size : 1);
    }
    if (!memory) throw std::bad_alloc();
    return static_cast<uint8_t *>(memory);
}

/* Reads and checks every sector from the index sector on, keeping each
 * block's record; a stream without a descriptor leaves its sectors in the
 * image as well, since it cannot be read again later. */
static quarn_error_t load_blocks(quarn_file_t *file) {
    const uint64_t sector_size = file->sector_size;
    FILE *stream = file->stream.get();
    std::vector<uint8_t> sector(sector_size);

    if (fread(sector.data(), 1, sector_size, stream) != sector_size) return QUARN_ERROR_READ;
    quarn_block_t index_block;
    if (new_block_from_sector(file, sector.data(), &index_block, nullptr) != QUARN_OK)
        return QUARN_ERROR_BAD_BLOCK;

    /* The index block's next id is the number of blocks, itself included. */
    const uint64_t count = static_cast<uint32_t>(index_block.next_id);
    const uint64_t extra_sectors = file->generation == 0 ? 2 : 1;
    if (count == 0) return QUARN_ERROR_BAD_SECTOR_COUNT;
    if (file->file_size < 0 ||
        static_cast<uint64_t>(file->file_size) != (count + extra_sectors) * sector_size)
        return QUARN_ERROR_BAD_SECTOR_COUNT;

    file->blocks.resize(count);
    file->sector_buffer.resize(sector_size);
    file->descriptor = fileno(stream);
    uint8_t *image = nullptr;
    if (file->descriptor < 0) {
        file->image.reset(allocate_image(count * sector_size));
        image = file->image.get();
        memcpy(image, sector.data(), sector_size);
    }
    file->block_count = count;
    file->blocks[0] = index_block;

    /* the rest in batches of sectors: one fread (and read) a sector would
     * cost more than checking it. The batch is the read-ahead window of the
     * walks to come, empty after the open: one buffer for the handle's life
     * (freeing it would raise glibc's mmap threshold, and with it the
     * memory later large blocks take from the heap) */
    const uint64_t batch_sectors = std::max<uint64_t>(1, kReadAheadBytes / sector_size);
    std::vector<uint8_t> &batch = file->window;
    batch.resize(static_cast<size_t>(std::min(batch_sectors, count) * sector_size));
    uint64_t loaded = 1;
    while (loaded < count) {
        const uint64_t wanted = std::min(batch_sectors, count - loaded);
        const size_t got = fread(batch.data(), sector_size, wanted, stream);
        for (size_t i = 0; i < got; i++, loaded++) {
            const uint8_t *at = batch.data() + i * sector_size;
            quarn_error_t rc = new_block_from_sector(file, at, &file->blocks[loaded], nullptr);
            if (rc != QUARN_OK) return rc;
            if (image) memcpy(image + loaded * sector_size, at, sector_size);
        }
        if (got < wanted) break;
    }
    if (loaded != count) return QUARN_ERROR_BAD_SECTOR_COUNT;
    return QUARN_OK;
}

quarn_file_t *quarn_file_from_stream(FILE *stream, const char *name, quarn_error_t *error) {
    std::unique_ptr<FILE, FileCloser> owned(stream);
    try {
        std::unique_ptr<quarn_file_t> file(new quarn_file_t);
        file->stream = std::move(owned);
        if (fseeko(stream, 0, SEEK_END) != 0) {
            set_error(error, QUARN_ERROR_SEEK);
            return nullptr;
        }
        file->path_keys.assign(kInitialPathCapacity, quarn_span_t{});
        file->path_entries.assign(kInitialPathCapacity, nullptr);
        file->path_key_copies.resize(kInitialPathCapacity);
        file->file_size = ftello(stream);
        rewind(stream);
        if (name) {
            size_t length = strnlen(name, sizeof file->filename - 1);
            length = utf8_whole_prefix(name, length);
            memcpy(file->filename, name, length);
            file->filename[length] = '\0';
        }
        quarn_error_t rc = read_header(file.get());
        if (rc == QUARN_OK) rc = load_blocks(file.get());
        if (rc != QUARN_OK) {
            set_error(error, rc);
            return nullptr;
        }
        /* a stream without a descriptor is not read again: its sectors are
         * in the image, and whatever it reads from is left alone */
        if (file->descriptor < 0) file->stream.reset();
        return file.release();
    } catch (const std::exception &) {
        set_error(error, QUARN_ERROR_MALLOC);
        return nullptr;
    }
}

extern "C" quarn_file_t *quarn_open_file(const char *path, quarn_error_t *error) {
    FILE *stream = path ? fopen(path, "r") : nullptr;
    if (!stream) {
        set_error(error, QUARN_ERROR_OPEN);
        return nullptr;
    }
    try {
        /* basename may change its argument: work on a copy */
        std::string copy(path);
        return quarn_file_from_stream(stream, basename(copy.data()), error);
    } catch (const std::exception &) {
        fclose(stream);
        set_error(error, QUARN_ERROR_MALLOC);
        return nullptr;
    }
}

extern "C" quarn_file_t *quarn_open_buffer(const void *buffer, size_t size,
                                           quarn_error_t *error) {
    /* fmemopen refuses a zero size; such a buffer is too short for a
     * header, which the read reports. */
    static const char empty = 0;
    FILE *stream = size == 0 ? fmemopen(const_cast<char *>(&empty), 1, "r")
                             : fmemopen(const_cast<void *>(buffer), size, "r");
    if (!stream) {
        set_error(error, QUARN_ERROR_OPEN);
        return nullptr;
    }
    if (size == 0) {
        fclose(stream);
        set_error(error, QUARN_ERROR_READ);
        return nullptr;
    }
    return quarn_file_from_stream(stream, nullptr, error);
}

extern "C" void quarn_close_file(quarn_file_t *file) {
    delete file;
}

/* ------------------------------------------------------------------ */
/* Reading a block again                                               */
/* ------------------------------------------------------------------ */

/* Sets position i of the path to a copy of size bytes at key, in the
 * handle's own storage for that position. */
static void set_path_copy(quarn_file_t *file, size_t i, const uint8_t *key, uint64_t size) {
    std::vector<uint8_t> &copy = file->path_key_copies[i];
    copy.assign(key, key + size);
    file->path_keys[i] = quarn_span_t{size, copy.data()};
    file->path_entries[i] = &file->path_keys[i];
}

/* Copies every key of the path that may point into the payload read last
 * into the handle's own storage, so that it outlives that payload. */
static void keep_path_keys(quarn_file_t *file) {
    const uint64_t end = std::min<uint64_t>(file->path_loaded_depth, file->path_entries.size());
    for (uint64_t i = 0; i < end; i++) {
        if (!file->path_entries[i]) continue;
        const quarn_span_t key = file->path_keys[i];
        if (key.start != file->path_key_copies[i].data() || key.size != file->path_key_copies[i].size())
            set_path_copy(file, i, key.start, key.size);
    }
    file->path_loaded_depth = 0;
}

/* Reads up to size bytes at offset of the descriptor; what it got before
 * the end of the file or an error. */
static size_t read_some(int descriptor, uint8_t *out, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(descriptor, out + done, size - done,
                                static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

/* How many sectors from slot on the window takes when the walk needs slot
 * and it is not there. The walk goes on along the chain the open recorded,
 * so the window reaches as far as the blocks linked from this one stay
 * ahead of it and within kReadAheadBytes, and as long as a quarter of the
 * sectors read are theirs: a chain in sector order is read 256 KB at a
 * time, and a chain that jumps about a sector at a time, as before. */
static uint64_t window_span(const quarn_file_t *file, uint64_t slot) {
    const uint64_t most = std::max<uint64_t>(1, kReadAheadBytes / file->sector_size);
    const uint64_t limit = std::min<uint64_t>(slot + most, file->blocks.size());
    uint64_t end = slot + 1, linked = 1, at = slot;
    for (uint64_t step = 1; step < most; step++) {
        const int64_t next = file->blocks[at].next_id;
        if (next < 1 || static_cast<uint64_t>(next) > limit) break;
        const uint64_t next_slot = static_cast<uint64_t>(next) - 1;
        if (next_slot < slot) break;
        linked++;
        const uint64_t reach = std::max(end, next_slot + 1);
        if (reach - slot > 4 * linked) break;
        end = reach;
        at = next_slot;
    }
    return end - slot;
}

/* Copies the sector of slot into out, from the read-ahead window, which is
 * filled from the descriptor when the sector lies outside it: a pread for
 * each sector costs more than decoding it (the 1 KB sectors of earlier
 * files above all). Sectors past the file's present end, or that fail to
 * read, only shorten the window; false when the sector itself is not
 * there. */
static bool read_sector(quarn_file_t *file, uint64_t slot, uint8_t *out) {
    const uint64_t size = file->sector_size;
    if (slot < file->window_first || slot - file->window_first >= file->window_count) {
        const uint64_t count = window_span(file, slot);
        if (file->window.size() < count * size) file->window.resize(count * size);
        const size_t got = read_some(file->descriptor, file->window.data(), count * size,
                                     file->first_sector_offset + slot * size);
        file->window_first = slot;
        file->window_count = got / size;
        if (file->window_count == 0) return false;
    }
    memcpy(out, file->window.data() + (slot - file->window_first) * size, size);
    return true;
}

quarn_error_t read_block_payload(quarn_file_t *file, quarn_block_t *block) {
    if (block == file->loaded_block && block->payload) return QUARN_OK;
    keep_path_keys(file);
    if (file->loaded_block) file->loaded_block->payload = nullptr;
    file->loaded_block = nullptr;
    block->payload = nullptr;

    const uint64_t slot = static_cast<uint64_t>(block - file->blocks.data());
    const uint64_t size = file->sector_size;
    uint8_t *sector = file->sector_buffer.data();
    if (file->image) {
        memcpy(sector, file->image.get() + slot * size, size);
    } else if (!read_sector(file, slot, sector)) {
        return QUARN_ERROR_READ;
    }
    /* a sector that no longer reads as it did at the open belongs to some
     * other file now: its payload is not taken for the block's */
    quarn_block_t now;
    if (new_block_from_sector(file, sector, &now, nullptr) != QUARN_OK ||
        now.prev_id != block->prev_id || now.next_id != block->next_id ||
        now.payload_length != block->payload_length)
        return QUARN_ERROR_READ;
    block->payload = sector + file->sector_header_size;
    file->loaded_block = block;
    return QUARN_OK;
}

/* ------------------------------------------------------------------ */
/* The walk                                                            */
/* ------------------------------------------------------------------ */

/* Doubles the path storage. Entries that held a key point at its new place;
 * the others stay null. The copies of keys keep their bytes where they are. */
static void grow_path(quarn_file_t *file) {
    const size_t capacity = file->path_entries.size() * 2;
    file->path_keys.resize(capacity);
    file->path_entries.resize(capacity, nullptr);
    file->path_key_copies.resize(capacity);
    for (size_t i = 0; i < capacity; i++)
        if (file->path_entries[i]) file->path_entries[i] = &file->path_keys[i];
}

int process_chunk(quarn_file_t *file, quarn_chunk_t *chunk, quarn_chunk_handler handler,
                  void *ctx) {
    const uint64_t depth = file->path_depth;
    /* path_level has eight bits: a chunk nested deeper than 255 levels is
     * shown as standing at level 255, whose entries are all in force. */
    chunk->path_level = depth > 255 ? 255 : static_cast<uint8_t>(depth);
    chunk->generation = static_cast<uint8_t>(file->generation);

    if (chunk->type == QUARN_CHUNK_POP) {
        if (file->path_depth > 0) file->path_depth--;
    } else if (chunk->type == QUARN_CHUNK_PUSH) {
        if (depth + 1 > file->path_entries.size()) grow_path(file);
        file->path_keys[depth] = chunk->data;
        file->path_entries[depth] = &file->path_keys[depth];
        file->path_depth = depth + 1;
        if (depth + 1 > file->path_loaded_depth) file->path_loaded_depth = depth + 1;
    }
    chunk->path = file->path_entries.data();
    return handler(chunk, ctx);
}

int process_chunk_chain(quarn_file_t *file, quarn_chunk_t *first, quarn_chunk_handler handler,
                        void *ctx) {
    file->path_depth = 0;
    for (quarn_chunk_t *chunk = first; chunk; chunk = chunk->next) {
        int status = process_chunk(file, chunk, handler, ctx);
        if (status == QUARN_HANDLER_STOP) return QUARN_OK;
        if (status == QUARN_HANDLER_ABORT) return QUARN_ERROR_USER_ABORTED;
        /* any other answer goes on, as for a value handler */
    }
    return QUARN_OK;
}

/* Learns the values entry 0 of the path takes for the block's chunks, as
 * process_chunk_chain would set it. Only a block whose first chunk pushes
 * at level 0 is summed up: the chunks of any other block may read a key
 * left by an earlier block. The summary is shared with the block learnt
 * just before when they agree, as the blocks of one table mostly do. */
static void learn_outer_keys(quarn_file_t *file, quarn_block_t *block) {
    block->outer_keys = kOuterKeysNone;
    const quarn_chunk_t *first = block->chunks;
    if (!first || first->type != QUARN_CHUNK_PUSH) return;
    quarn_chunk_t probe{};
    probe.generation = static_cast<uint8_t>(file->generation);
    uint64_t depth = 0, min = UINT64_MAX, max = 0, key = 0;
    quarn_span_t first_key = {}, last_key = {};
    for (const quarn_chunk_t *chunk = first; chunk; chunk = chunk->next) {
        if (chunk->type == QUARN_CHUNK_POP) {
            if (depth > 0) depth--;
        } else if (chunk->type == QUARN_CHUNK_PUSH) {
            if (depth == 0) {
                key = path_value(&probe, &chunk->data);
                if (chunk == first) first_key = chunk->data;
                last_key = chunk->data;
            }
            depth++;
        }
        if (key < min) min = key;
        if (key > max) max = key;
    }

    std::vector<outer_keys_summary> &summaries = file->outer_summaries;
    std::vector<uint8_t> &bytes = file->outer_key_bytes;
    if (!summaries.empty()) {
        const outer_keys_summary &last = summaries.back();
        const uint8_t *kept = bytes.data() + last.key_at;
        if (last.min == min && last.max == max && last.first_size == first_key.size &&
            last.last_size == last_key.size &&
            std::equal(first_key.start, first_key.start + first_key.size, kept) &&
            std::equal(last_key.start, last_key.start + last_key.size, kept + last.first_size)) {
            block->outer_keys = static_cast<uint32_t>(summaries.size() - 1 + kOuterKeysFirstSummary);
            return;
        }
    }
    /* past four billion summaries a block is simply never passed over */
    if (summaries.size() >= UINT32_MAX - kOuterKeysFirstSummary) return;
    outer_keys_summary summary;
    summary.min = min;
    summary.max = max;
    summary.key_at = bytes.size();
    summary.first_size = static_cast<uint32_t>(first_key.size);
    summary.last_size = static_cast<uint32_t>(last_key.size);
    bytes.insert(bytes.end(), first_key.start, first_key.start + first_key.size);
    bytes.insert(bytes.end(), last_key.start, last_key.start + last_key.size);
    summaries.push_back(summary);
    block->outer_keys = static_cast<uint32_t>(summaries.size() - 1 + kOuterKeysFirstSummary);
}

/* The shared walk; table_key is negative for a walk that passes no block
 * over. */
static int walk_blocks(quarn_file_t *file, int64_t table_key, quarn_block_handler block_handler,
                       quarn_chunk_handler chunk_handler, void *ctx) {
    const uint64_t count = file->block_count;
    int64_t id = QUARN_FIRST_BLOCK_ID;
    if (id < 1 || static_cast<uint64_t>(id) > count) return QUARN_OK;

    std::vector<bool> visited(count, false);
    /* read-ahead starts afresh: the walk reads the file as it is now */
    file->window_count = 0;
    for (;;) {
        quarn_block_t *block = &file->blocks[id - 1];
        int result = QUARN_OK;
        const uint64_t key = static_cast<uint64_t>(table_key);
        const outer_keys_summary *outer =
            table_key >= 0 && block->outer_keys >= kOuterKeysFirstSummary
                ? &file->outer_summaries[block->outer_keys - kOuterKeysFirstSummary]
                : nullptr;
        if (outer && (outer->max < key || outer->min > key)) {
            /* Every chunk would be passed over (all keys below), or the first
             * one would end the block (all above): only the key left at
             * position 0 of the path shows that the block was walked. The
             * block is not read. */
            visited[id - 1] = true;
            block->this_id = static_cast<int32_t>(id);
            const uint8_t *kept = file->outer_key_bytes.data() + outer->key_at;
            if (outer->max < key)
                set_path_copy(file, 0, kept + outer->first_size, outer->last_size);
            else
                set_path_copy(file, 0, kept, outer->first_size);
        } else {
            int rc = process_block(file, block);
            visited[id - 1] = true;
            if (rc != QUARN_OK) {
                file->failed_block_id = static_cast<int32_t>(id);
                return rc;
            }
            block->this_id = static_cast<int32_t>(id);
            if (block->outer_keys == kOuterKeysUnknown && block->chunk_end != kChunkEndUnknown)
                learn_outer_keys(file, block);

            if (block_handler && !block_handler(block, ctx))
                result = QUARN_OK;
            else
                result = process_chunk_chain(file, block->chunks, chunk_handler, ctx);
        }

        const int64_t next = block->next_id;
        if (result != QUARN_OK || next <= 0 || static_cast<uint64_t>(next) > count ||
            visited[next - 1])
            return result;
        id = next;
    }
}

int process_blocks(quarn_file_t *file, quarn_block_handler block_handler,
                   quarn_chunk_handler chunk_handler, void *ctx) {
    return walk_blocks(file, -1, block_handler, chunk_handler, ctx);
}

int process_table_blocks(quarn_file_t *file, int64_t table_key,
                         quarn_chunk_handler chunk_handler, void *ctx) {
    return walk_blocks(file, table_key < 0 ? -1 : table_key, nullptr, chunk_handler, ctx);
}

void free_chunk_chain(quarn_block_t *block) {
    block->chunks = nullptr;
    block->chunk_end = kChunkEndUnknown;
}

/* ------------------------------------------------------------------ */
/* Path keys                                                           */
/* ------------------------------------------------------------------ */

uint64_t path_value(const quarn_chunk_t *chunk, const quarn_span_t *key) {
    if (!key) return 0;
    const uint8_t *b = key->start;
    switch (key->size) {
    case 1:
        return b[0];
    case 2:
        return (uint64_t(b[0] & 0x7F) << 8) + b[1] + 128;
    case 3:
        if (chunk->generation >= 7) return (uint64_t(b[1]) << 8) + b[2] + 128;
        return (uint64_t(b[0] & 0x3F) << 16) + (uint64_t(b[1]) << 8) + b[2] + 0xC000;
    default:
        return 0;
    }
}

bool record_key_value(const quarn_chunk_t *chunk, const quarn_span_t *key, uint64_t *value) {
    if (!key) return false;
    const uint8_t *b = key->start;
    if (chunk->generation < 7 || key->size == 1 || key->size == 2) {
        *value = path_value(chunk, key);
        return chunk->generation < 7 || key->size != 0;
    }
    if (key->size == 3 && (b[0] & 0xE0) == 0xC0) {
        *value = 16512 + (uint64_t(b[0] & 0x1F) << 16) + (uint64_t(b[1]) << 8) + b[2];
        return true;
    }
    return false;
}

int path_is(const quarn_chunk_t *chunk, const quarn_span_t *key, uint64_t value) {
    return path_value(chunk, key) == value;
}

int table_path_depth(const quarn_chunk_t *chunk) {
    return chunk->generation >= 7 ? int(chunk->path_level) - 1 : int(chunk->path_level);
}

/* In files of generation 7 and later, entry 0 of a table's path is the
 * table's key: a number of 128 or more. */
static int has_table_key(const quarn_chunk_t *chunk) {
    if (chunk->generation < 7) return 1;
    const quarn_span_t *key = chunk->path[0];
    if (!key) return 0;
    if (key->size == 1) return key->start[0] >= 0x80;
    return key->size == 2 || key->size == 3;
}

static int table_entry_is(const quarn_chunk_t *chunk, int position, int value) {
    const int offset = chunk->generation >= 7 ? 1 : 0;
    return path_value(chunk, chunk->path[position + offset]) ==
           static_cast<uint64_t>(static_cast<int64_t>(value));
}

int table_path_match_start1(const quarn_chunk_t *chunk, int depth, int value) {
    /* below depth 1 the compared entry would lie outside the path in force */
    if (depth < 1 || table_path_depth(chunk) != depth) return 0;
    return has_table_key(chunk) && table_entry_is(chunk, 0, value);
}

int table_path_match_start2(const quarn_chunk_t *chunk, int depth, int value1, int value2) {
    if (depth < 2 || table_path_depth(chunk) != depth) return 0;
    return has_table_key(chunk) && table_entry_is(chunk, 0, value1) &&
           table_entry_is(chunk, 1, value2);
}

/* ------------------------------------------------------------------ */
/* Text                                                                */
/* ------------------------------------------------------------------ */

/* The upper half of MacRoman as iconv converts it, byte by byte, found
 * once. Bytes below 0x80 are ASCII (iconv converts them to themselves);
 * with this table, a text is converted exactly as iconv would convert it,
 * without a call into iconv for every value. A byte that iconv does not
 * convert to one short character has length 0, and a text holding one goes
 * through iconv itself. */
struct mac_roman_table {
    uint8_t length[128];
    char utf8[128][4];
};

static const mac_roman_table &mac_roman() {
    static const mac_roman_table table = [] {
        mac_roman_table t{};
        iconv_t cd = iconv_open("UTF-8", "MACINTOSH");
        if (cd == reinterpret_cast<iconv_t>(-1)) return t;
        for (int b = 0x80; b < 0x100; b++) {
            char in = static_cast<char>(b);
            char out[8];
            char *pin = &in, *pout = out;
            size_t in_left = 1, out_left = sizeof out;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            const size_t rc = iconv(cd, &pin, &in_left, &pout, &out_left);
            const size_t n = static_cast<size_t>(pout - out);
            if (rc != static_cast<size_t>(-1) && in_left == 0 && n >= 1 && n <= 4) {
                t.length[b - 0x80] = static_cast<uint8_t>(n);
                memcpy(t.utf8[b - 0x80], out, n);
            }
        }
        iconv_close(cd);
        return t;
    }();
    return table;
}

/* Converts MacRoman text by the table, whole characters while they fit, as
 * iconv does; false, having written nothing, when a byte of the text is not
 * in the table. */
static bool convert_mac_roman(const uint8_t *text, size_t length, char **cursor, size_t *room) {
    const mac_roman_table &table = mac_roman();
    for (size_t i = 0; i < length; i++)
        if (text[i] >= 0x80 && table.length[text[i] - 0x80] == 0) return false;
    char *out = *cursor;
    size_t left = *room;
    for (size_t i = 0; i < length; i++) {
        const uint8_t b = text[i];
        if (b < 0x80) {
            if (left < 1) break;
            *out++ = static_cast<char>(b);
            left--;
        } else {
            const size_t n = table.length[b - 0x80];
            if (left < n) break;
            memcpy(out, table.utf8[b - 0x80], n);
            out += n;
            left -= n;
        }
    }
    *cursor = out;
    *room = left;
    return true;
}

void convert(iconv_t converter, int mask, char *out, size_t out_size, const uint8_t *stored,
             size_t stored_length) {
    /* the mask is removed on a scratch copy: stored bytes never change;
     * short texts, nearly all of them, need no allocation for it */
    uint8_t small[256];
    std::vector<uint8_t> large;
    const uint8_t *text = stored;
    if (mask != 0) {
        uint8_t *scratch = small;
        if (stored_length > sizeof small) {
            large.resize(stored_length);
            scratch = large.data();
        }
        for (size_t i = 0; i < stored_length; i++)
            scratch[i] = stored[i] ^ static_cast<uint8_t>(mask);
        text = scratch;
    }
    size_t left = stored_length;
    while (left > 0 && *text == 0x20) {
        text++;
        left--;
    }

    char *in = reinterpret_cast<char *>(const_cast<uint8_t *>(text));
    char *cursor = out;
    size_t room = out_size;
    if (converter && convert_mac_roman(text, left, &cursor, &room)) {
        /* converted by the table */
    } else if (converter) {
        iconv(converter, nullptr, nullptr, nullptr, nullptr); /* initial state */
        iconv(converter, &in, &left, &cursor, &room);
    } else {
        const char *cin = in;
        convert_scsu_to_utf8(&cin, &left, &cursor, &room);
    }

    if (room > 0) {
        *cursor = '\0';
    } else if (out_size > 0) {
        /* the buffer is full: the terminator takes the last byte, and a
         * character cut by it goes whole */
        size_t length = utf8_whole_prefix(out, out_size - 1);
        out[length] = '\0';
    }
}

/* ------------------------------------------------------------------ */
/* Header facts                                                        */
/* ------------------------------------------------------------------ */

extern "C" int32_t quarn_failed_block(const quarn_file_t *file) { return file->failed_block_id; }

extern "C" void quarn_get_file_info(const quarn_file_t *file, quarn_file_info_t *info) {
    *info = quarn_file_info_t{};
    info->generation = file->generation;
    snprintf(info->version, sizeof info->version, "%s", file->version_string);
    snprintf(info->release_date_text, sizeof info->release_date_text, "%s",
             file->release_date_text);
    if (file->release_date_parsed) {
        info->release_year = file->release_date.tm_year + 1900;
        info->release_month = file->release_date.tm_mon + 1;
        info->release_day = file->release_date.tm_mday;
    }
    snprintf(info->name, sizeof info->name, "%s", file->filename);
    info->size = file->file_size > 0 ? static_cast<uint64_t>(file->file_size) : 0;
}
