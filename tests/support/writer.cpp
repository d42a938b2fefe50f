/*
 * writer.cpp: the test-only database writer (see writer.h). Byte-level
 * encoders for keys, chunks and text, the sector and header layout, and the
 * packer that cuts a database's chunk stream into blocks, pushing the path
 * in force again at the start of every block.
 */
#include "writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <random>
#include <stdexcept>

namespace qw {

namespace {

[[noreturn]] void refuse(const std::string &what) { throw std::invalid_argument("qw: " + what); }

void put_be16(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void put_be32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void push_be16(Bytes &out, uint32_t v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

/* Numbers past which generation 7 and later have no key. */
constexpr uint64_t kLargestKey = 2113663;

/* The K form of a numeric key, 128 to 16,511: the two-byte prefix form,
 * 0x80 | (n - 128) >> 8 and the low byte. The top bit is what tells such a
 * key from the column, repetition pair of a 0x0E field. */
void push_k(Bytes &out, unsigned n) {
    if (n < 128 || n > 16511) refuse("K-form number out of 128..16511: " + std::to_string(n));
    push_be16(out, 0x8000 | (n - 128));
}

void need_length(const Bytes &data, size_t length, uint8_t code) {
    if (data.size() != length)
        refuse("code " + std::to_string(code) + " needs " + std::to_string(length) +
               " bytes of data, got " + std::to_string(data.size()));
}

void need_at_most(size_t size, size_t most, const char *what) {
    if (size > most)
        refuse(std::string(what) + " of " + std::to_string(size) + " bytes, at most " +
               std::to_string(most));
}

/* Fixed data lengths of FIELD_SIMPLE_KEY codes 0x01..0x05 (and 0x09..0x0D). */
constexpr size_t kFieldLengths[5] = {1, 2, 4, 6, 8};

} // namespace

bool is_v7(Generation generation) { return generation != Generation::early; }

const char *generation_label(Generation generation) {
    return generation == Generation::early ? "Early" : generation == Generation::v7 ? "V7" : "V12";
}

void append(Bytes &out, const Bytes &bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

/* ------------------------------------------------------------------ */
/* Path keys                                                           */
/* ------------------------------------------------------------------ */

bool legacy_key_exists(uint64_t n, Generation generation) {
    if (n <= 32895) return true;
    if (is_v7(generation)) return n <= 65663;
    return n >= 0xC000 && n <= 4243455;
}

Bytes legacy_key(uint64_t n, Generation generation) {
    if (n <= 255) return {uint8_t(n)};
    if (n <= 32895) {
        uint64_t v = n - 128;
        return {uint8_t(v >> 8), uint8_t(v)};
    }
    if (!legacy_key_exists(n, generation)) refuse("no key has the value " + std::to_string(n));
    if (is_v7(generation)) {
        uint64_t v = n - 128;
        return {0x00, uint8_t(v >> 8), uint8_t(v)};
    }
    uint64_t v = n - 0xC000;
    return {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

bool key_exists(uint64_t n, Generation generation) {
    if (!is_v7(generation)) return legacy_key_exists(n, generation);
    return n <= kLargestKey;
}

Bytes key(uint64_t n, Generation generation) {
    if (!is_v7(generation)) return legacy_key(n, generation);
    if (n <= 127) return {uint8_t(n)};
    if (n <= 16511) {
        const uint64_t v = n - 128;
        return {uint8_t(0x80 | (v >> 8)), uint8_t(v)};
    }
    if (n > kLargestKey) refuse("no key has the value " + std::to_string(n));
    const uint64_t v = n - 16512;
    return {uint8_t(0xC0 | (v >> 16)), uint8_t(v >> 8), uint8_t(v)};
}

/* ------------------------------------------------------------------ */
/* Chunks of generation 7 and later                                    */
/* ------------------------------------------------------------------ */

namespace v7 {

void push(Bytes &out, const Bytes &k) {
    switch (k.size()) {
    case 1:
        if (k[0] != 0xFE) return push_code(out, 0x20, k);
        break;
    case 2: return push_code(out, 0x28, k);
    case 3: return push_code(out, 0x30, k);
    case 8: return push_code(out, 0x20, k);
    }
    push_code(out, 0x38, k);
}

void push_code(Bytes &out, uint8_t code, const Bytes &k) {
    switch (code) {
    case 0x20:
    case 0xE0:
        out.push_back(code);
        if (k.size() == 8) {
            out.push_back(0xFE);
        } else if (k.size() != 1 || k[0] == 0xFE) {
            refuse("push 0x20/0xE0 takes a one-byte key other than 0xFE, or eight bytes");
        }
        break;
    case 0x28:
    case 0x30:
        if (k.size() != (code == 0x28 ? 2u : 3u)) refuse("push key size does not match its code");
        out.push_back(code);
        break;
    case 0x38:
        need_at_most(k.size(), 255, "push key");
        out.push_back(code);
        out.push_back(uint8_t(k.size()));
        break;
    default: refuse("not a push code");
    }
    append(out, k);
}

void pop(Bytes &out, uint8_t code) {
    if (code != 0x40 && code != 0x3D) refuse("not a pop code");
    out.push_back(code);
}

void field(Bytes &out, unsigned ref, const Bytes &d) {
    need_at_most(d.size(), 255, "field data");
    const uint8_t base = ref <= 255 ? 0x01 : 0x09;
    for (size_t i = 0; i < 5; i++)
        if (d.size() == kFieldLengths[i]) return field_code(out, uint8_t(base + i), ref, d);
    field_code(out, uint8_t(base + 5), ref, d);
}

void field_code(Bytes &out, uint8_t code, unsigned ref, const Bytes &d) {
    if (code >= 0x01 && code <= 0x06) {
        if (ref > 255) refuse("codes 0x01..0x06 take refs up to 255");
        out.push_back(code);
        out.push_back(uint8_t(ref));
        if (code == 0x06) {
            need_at_most(d.size(), 255, "field data");
            out.push_back(uint8_t(d.size()));
        } else {
            need_length(d, kFieldLengths[code - 0x01], code);
        }
    } else if (code >= 0x09 && code <= 0x0E) {
        out.push_back(code);
        push_k(out, ref);
        if (code == 0x0E) {
            need_at_most(d.size(), 255, "field data");
            out.push_back(uint8_t(d.size()));
        } else {
            need_length(d, kFieldLengths[code - 0x09], code);
        }
    } else {
        refuse("not a FIELD_SIMPLE_KEY code");
    }
    append(out, d);
}

void long_field(Bytes &out, const Bytes &k, const Bytes &d) {
    const bool wide = d.size() > 255;
    if (k.size() == 3) return long_field_code(out, wide ? 0x17 : 0x16, k, d);
    long_field_code(out, wide ? 0x1F : 0x1E, k, d);
}

void long_field_code(Bytes &out, uint8_t code, const Bytes &k, const Bytes &d) {
    const bool wide = code == 0x17 || code == 0x1F;
    if (code == 0x16 || code == 0x17) {
        if (k.size() != 3) refuse("codes 0x16/0x17 take a three-byte key");
        out.push_back(code);
    } else if (code == 0x1E || code == 0x1F) {
        need_at_most(k.size(), 255, "long key");
        out.push_back(code);
        out.push_back(uint8_t(k.size()));
    } else {
        refuse("not a FIELD_LONG_KEY code");
    }
    append(out, k);
    need_at_most(d.size(), wide ? 65535 : 255, "long field data");
    if (wide)
        push_be16(out, uint32_t(d.size()));
    else
        out.push_back(uint8_t(d.size()));
    append(out, d);
}

void segment(Bytes &out, unsigned index, const Bytes &d) {
    segment_code(out, index <= 255 ? 0x07 : 0x0F, index, d);
}

void segment_code(Bytes &out, uint8_t code, unsigned index, const Bytes &d) {
    need_at_most(d.size(), 65535, "segment data");
    if (code == 0x07) {
        if (index > 255) refuse("code 0x07 takes segment numbers up to 255");
        out.push_back(code);
        out.push_back(uint8_t(index));
    } else if (code == 0x0F) {
        out.push_back(code);
        push_k(out, index);
    } else {
        refuse("not a SEGMENT code");
    }
    push_be16(out, uint32_t(d.size()));
    append(out, d);
}

void data(Bytes &out, const Bytes &d) {
    switch (d.size()) {
    case 1:
        if (d[0] != 0) return data_code(out, 0x00, d);
        break;
    case 2: return data_code(out, 0x08, d);
    case 3: return data_code(out, 0x10, d);
    case 4: return data_code(out, 0x11, d);
    case 5: return data_code(out, 0x12, d);
    case 6:
        if (d[0] == 0xFF) return data_code(out, 0x0E, d);
        break;
    case 7: return data_code(out, 0x13, d);
    case 9: return data_code(out, 0x14, d);
    case 11: return data_code(out, 0x15, d);
    }
    data_code(out, 0x23, d);
}

void data_code(Bytes &out, uint8_t code, const Bytes &d, uint8_t trail) {
    switch (code) {
    case 0x00:
        need_length(d, 1, code);
        if (d[0] == 0) refuse("0x00 data must not be 0x00 (that is the end marker)");
        out.push_back(code);
        break;
    case 0x08: need_length(d, 2, code); out.push_back(code); break;
    case 0x0E:
        need_length(d, 6, code);
        if (d[0] != 0xFF) refuse("0x0E data must start with 0xFF");
        out.push_back(code); /* the 0xFF is the data's first byte */
        break;
    case 0x10: need_length(d, 3, code); out.push_back(code); break;
    case 0x11: need_length(d, 4, code); out.push_back(code); break;
    case 0x12: need_length(d, 5, code); out.push_back(code); break;
    case 0x13: need_length(d, 7, code); out.push_back(code); break;
    case 0x14: need_length(d, 9, code); out.push_back(code); break;
    case 0x15: need_length(d, 11, code); out.push_back(code); break;
    case 0x19: case 0x1A: case 0x1B: case 0x1C: case 0x1D: {
        static constexpr size_t kTrail[5] = {1, 2, 4, 6, 8};
        need_at_most(d.size(), 255, "data");
        out.push_back(code);
        out.push_back(uint8_t(d.size()));
        append(out, d);
        out.insert(out.end(), kTrail[code - 0x19], trail);
        return;
    }
    case 0x23:
        need_at_most(d.size(), 255, "data");
        out.push_back(code);
        out.push_back(uint8_t(d.size()));
        break;
    default: refuse("not a DATA_SIMPLE code");
    }
    append(out, d);
}

void data_with_trail(Bytes &out, uint8_t code, const Bytes &d, const Bytes &trail) {
    static constexpr size_t kTrail[5] = {1, 2, 4, 6, 8};
    if (code < 0x19 || code > 0x1D) refuse("codes 0x19..0x1D step over trailing bytes");
    need_length(trail, kTrail[code - 0x19], code);
    need_at_most(d.size(), 255, "data");
    out.push_back(code);
    out.push_back(uint8_t(d.size()));
    append(out, d);
    append(out, trail);
}

void field_key_bytes(Bytes &out, uint8_t code, const Bytes &k, const Bytes &d) {
    if (code < 0x09 || code > 0x0E) refuse("two-byte field keys take codes 0x09..0x0E");
    if (k.size() != 2) refuse("a two-byte field key holds two bytes");
    out.push_back(code);
    append(out, k);
    if (code == 0x0E) {
        need_at_most(d.size(), 255, "field data");
        out.push_back(uint8_t(d.size()));
    } else {
        need_length(d, kFieldLengths[code - 0x09], code);
    }
    append(out, d);
}

void end(Bytes &out) {
    out.push_back(0x00);
    out.push_back(0x00);
}

void filler(Bytes &out, size_t count) { out.insert(out.end(), count, 0x80); }

} // namespace v7

/* ------------------------------------------------------------------ */
/* Chunks of earlier generations                                       */
/* ------------------------------------------------------------------ */

namespace early {

void push(Bytes &out, const Bytes &k) {
    if (k.empty() || k.size() > 62) refuse("early push keys hold 1 to 62 bytes");
    out.push_back(uint8_t(0xC0 + k.size()));
    append(out, k);
}

void pop(Bytes &out) { out.push_back(0xC0); }

void field(Bytes &out, unsigned ref, const Bytes &d) {
    if (ref > 255) refuse("early field refs run from 0 to 255");
    if (d.size() <= 255) {
        if (ref <= 63) return field_code(out, uint8_t(0x40 + ref), ref, d);
        if (!(ref == 0xFF && d.size() == 5)) return field_code(out, 0x01, ref, d);
        return wide_field_code(out, 0x01, ref, d);
    }
    if (ref <= 64) return wide_field_code(out, uint8_t(0x40 + ref), ref, d);
    wide_field_code(out, 0x01, ref, d);
}

void field_code(Bytes &out, uint8_t code, unsigned ref, const Bytes &d) {
    need_at_most(d.size(), 255, "early field data");
    if (code == 0x00) {
        if (ref != 0) refuse("code 0x00 has ref 0");
        out.push_back(code);
    } else if (code == 0x01) {
        if (ref > 255) refuse("code 0x01 takes refs up to 255");
        if (ref == 0xFF && d.size() == 5) refuse("0x01 0xFF 0x05 would read as the 8-byte skip");
        out.push_back(code);
        out.push_back(uint8_t(ref));
    } else if (code >= 0x40 && code <= 0x7F) {
        if (ref != unsigned(code - 0x40)) refuse("code 0x40 + ref must carry the ref");
        out.push_back(code);
    } else {
        refuse("not an early FIELD_SIMPLE_KEY code");
    }
    out.push_back(uint8_t(d.size()));
    append(out, d);
}

void wide_field_code(Bytes &out, uint8_t second, unsigned ref, const Bytes &d) {
    need_at_most(d.size(), 65535, "early field data");
    out.push_back(0xFF);
    out.push_back(second);
    if (second == 0x01) {
        if (ref > 255) refuse("escape 0xFF 0x01 takes refs up to 255");
        out.push_back(uint8_t(ref));
    } else if (second >= 0x40 && second <= 0x80) {
        if (ref != unsigned(second - 0x40)) refuse("escape 0xFF 0x40 + ref must carry the ref");
    } else {
        refuse("not a numeric escape");
    }
    push_be16(out, uint32_t(d.size()));
    append(out, d);
}

void long_field(Bytes &out, const Bytes &k, const Bytes &d) {
    if (d.size() > 255) return wide_long_field(out, k, d);
    if (k.size() < 2 || k.size() > 63) refuse("early long keys hold 2 to 63 bytes");
    out.push_back(uint8_t(k.size()));
    append(out, k);
    out.push_back(uint8_t(d.size()));
    append(out, d);
}

void wide_long_field(Bytes &out, const Bytes &k, const Bytes &d) {
    if (k.size() < 2 || k.size() > 4) refuse("escaped early long keys hold 2 to 4 bytes");
    need_at_most(d.size(), 65535, "early long field data");
    out.push_back(0xFF);
    out.push_back(uint8_t(k.size()));
    append(out, k);
    push_be16(out, uint32_t(d.size()));
    append(out, d);
}

void data(Bytes &out, const Bytes &d) {
    need_at_most(d.size(), 63, "early data");
    out.push_back(uint8_t(0x80 + d.size()));
    append(out, d);
}

void skip(Bytes &out, const Bytes &rest) {
    if (rest.size() != 5) refuse("the 8-byte skip carries five more bytes");
    out.push_back(0x01);
    out.push_back(0xFF);
    out.push_back(0x05);
    append(out, rest);
}

} // namespace early

/* ------------------------------------------------------------------ */
/* Text                                                                */
/* ------------------------------------------------------------------ */

namespace {

std::vector<uint32_t> code_points(std::string_view utf8) {
    std::vector<uint32_t> out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const uint8_t lead = uint8_t(utf8[i]);
        size_t n;
        uint32_t cp;
        if (lead < 0x80) { n = 1; cp = lead; }
        else if ((lead & 0xE0) == 0xC0) { n = 2; cp = lead & 0x1F; }
        else if ((lead & 0xF0) == 0xE0) { n = 3; cp = lead & 0x0F; }
        else if ((lead & 0xF8) == 0xF0) { n = 4; cp = lead & 0x07; }
        else refuse("invalid UTF-8 lead byte");
        if (i + n > utf8.size()) refuse("UTF-8 sequence cut short");
        for (size_t j = 1; j < n; j++) {
            const uint8_t c = uint8_t(utf8[i + j]);
            if ((c & 0xC0) != 0x80) refuse("invalid UTF-8 continuation byte");
            cp = (cp << 6) | (c & 0x3F);
        }
        static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            refuse("invalid UTF-8 sequence");
        out.push_back(cp);
        i += n;
    }
    return out;
}

/* SCSU tags used by the encoder. */
constexpr uint8_t kSQ0 = 0x01, kSCU = 0x0F, kUC0 = 0xE0, kUQU = 0xF0;

void put_unit(Bytes &out, uint32_t unit) {
    const uint8_t high = uint8_t(unit >> 8);
    /* in Unicode mode these high bytes are tags */
    if (high >= 0xE0 && high <= 0xF2) out.push_back(kUQU);
    push_be16(out, unit);
}

} // namespace

Bytes scsu(std::string_view utf8) {
    Bytes out;
    out.reserve(utf8.size() + 8);
    bool unicode = false;
    for (uint32_t cp : code_points(utf8)) {
        const bool latin1 = cp >= 0x20 && cp <= 0xFF;
        if (!unicode) {
            if (latin1) {
                out.push_back(uint8_t(cp)); /* window 0 starts at U+0080 */
                continue;
            }
            if (cp < 0x20) {
                out.push_back(kSQ0); /* static window 0 starts at U+0000 */
                out.push_back(uint8_t(cp));
                continue;
            }
            out.push_back(kSCU);
            unicode = true;
        } else if (latin1) {
            out.push_back(kUC0);
            unicode = false;
            out.push_back(uint8_t(cp));
            continue;
        }
        if (cp >= 0x10000) {
            const uint32_t v = cp - 0x10000;
            put_unit(out, 0xD800 + (v >> 10));
            put_unit(out, 0xDC00 + (v & 0x3FF));
        } else {
            put_unit(out, cp);
        }
    }
    return out;
}

Bytes mask(Bytes bytes, uint8_t key) {
    for (uint8_t &b : bytes) b ^= key;
    return bytes;
}

Bytes mac_roman(std::string_view utf8) {
    iconv_t cd = iconv_open("MACINTOSH", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("qw: no UTF-8 to MACINTOSH converter");
    Bytes out(utf8.size() + 1);
    char *in = const_cast<char *>(utf8.data());
    size_t in_left = utf8.size();
    char *cursor = reinterpret_cast<char *>(out.data());
    size_t room = out.size();
    const size_t rc = iconv(cd, &in, &in_left, &cursor, &room);
    iconv_close(cd);
    if (rc == size_t(-1) || in_left != 0) refuse("text has no Mac Roman form");
    out.resize(out.size() - room);
    return out;
}

Bytes stored_text(std::string_view utf8, Generation generation) {
    if (is_v7(generation)) return mask(scsu(utf8));
    return mac_roman(utf8);
}

/* ------------------------------------------------------------------ */
/* Field definitions and containers                                    */
/* ------------------------------------------------------------------ */

Bytes definition_record(const Definition &d, Generation generation, int collation) {
    if (d.repetitions < 0 || d.repetitions > 65535) refuse("repetitions take 16 bits");
    if (is_v7(generation)) {
        Bytes record(26, 0);
        record[0] = uint8_t(d.kind);
        record[1] = uint8_t(d.data_type);
        record[9] = d.global ? 0x01 : 0x00;
        put_be16(record.data() + 24, uint32_t(d.repetitions));
        return record;
    }
    if (d.data_type == 5) refuse("earlier files have no timestamp type");
    Bytes record(12, 0);
    record[0] = d.global ? 5 : uint8_t(d.kind);
    record[1] = d.data_type == 6 ? 5 : uint8_t(d.data_type);
    record[3] = uint8_t(collation);
    put_be16(record.data() + 10, uint32_t(d.repetitions));
    return record;
}

Stream name_stream(std::string_view file_name, Generation generation) {
    const Bytes word = stored_text("file", generation);
    const Bytes name = stored_text(file_name, generation);
    need_at_most(name.size(), 255, "stored file name");
    Stream stream;
    stream.tag = "FNAM";
    stream.form = Stream::Form::inline_field;
    stream.data = {0x00, 0x00, 0x00, 0x01, uint8_t(word.size())};
    append(stream.data, word);
    stream.data.push_back(0x00);
    stream.data.push_back(uint8_t(name.size()));
    append(stream.data, name);
    return stream;
}

/* ------------------------------------------------------------------ */
/* Files from blocks                                                   */
/* ------------------------------------------------------------------ */

namespace {

const uint8_t kMagic[15] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01,
                            0x00, 0x05, 0x00, 0x02, 0x00, 0x02, 0xC0};

std::string default_version(Generation generation) {
    switch (generation) {
    case Generation::early: return "Pro 5.0";
    case Generation::v7: return "Pro 7.0";
    case Generation::v12: return "Pro 12.0";
    }
    return "";
}

} // namespace

size_t header_area_size(Generation generation) { return is_v7(generation) ? 4096 : 2048; }
size_t sector_size(Generation generation) { return is_v7(generation) ? 4096 : 1024; }
size_t payload_area_size(Generation generation) { return is_v7(generation) ? 4076 : 1010; }

Bytes header(const HeaderOptions &options) {
    Bytes out(header_area_size(options.generation), 0);
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    if (options.bad_magic) out[14] = 0xC1;
    if (is_v7(options.generation)) std::memcpy(out.data() + 15, "HBAM7", 5);
    out[521] = options.generation_byte.value_or(options.generation == Generation::v12 ? 0x1E : 0x00);

    std::memcpy(out.data() + 531, options.date.data(), std::min<size_t>(options.date.size(), 7));

    const std::string version = options.version.value_or(default_version(options.generation));
    need_at_most(version.size(), 1024 - 542, "version text");
    out[541] = uint8_t(options.version_length >= 0 ? options.version_length : int(version.size()));
    std::memcpy(out.data() + 542, version.data(), version.size());
    return out;
}

Bytes sector(const Sector &s, Generation generation) {
    const size_t area = payload_area_size(generation);
    need_at_most(s.payload.size(), area, "payload");
    Bytes out(sector_size(generation), 0);
    if (is_v7(generation)) {
        put_be32(out.data() + 4, uint32_t(s.prev_id));
        put_be32(out.data() + 8, uint32_t(s.next_id));
        if (!s.payload.empty()) std::copy(s.payload.begin(), s.payload.end(), out.begin() + 20);
        std::fill(out.begin() + 20 + s.payload.size(), out.end(), s.padding);
    } else {
        put_be32(out.data() + 2, uint32_t(s.prev_id));
        put_be32(out.data() + 6, uint32_t(s.next_id));
        put_be16(out.data() + 12, uint32_t(s.stored_length.value_or(int(s.payload.size()))));
        if (!s.payload.empty()) std::copy(s.payload.begin(), s.payload.end(), out.begin() + 14);
    }
    return out;
}

void chain(std::vector<Sector> &blocks) {
    for (size_t i = 0; i < blocks.size(); i++) {
        blocks[i].prev_id = i == 0 ? 0 : int32_t(i + 1);
        blocks[i].next_id = i + 1 < blocks.size() ? int32_t(i + 3) : 0;
    }
}

Bytes file_of_payloads(Generation generation, const std::vector<Bytes> &payloads) {
    FileLayout layout;
    layout.header.generation = generation;
    for (const Bytes &payload : payloads) {
        Sector sector;
        sector.payload = payload;
        layout.blocks.push_back(sector);
    }
    chain(layout.blocks);
    return build_file(layout);
}

Bytes build_file(const FileLayout &layout) {
    const Generation g = layout.header.generation;
    Bytes out = header(layout.header);
    out.reserve(out.size() + (layout.blocks.size() + 1) * sector_size(g) + layout.trailing.size());
    Sector index;
    index.next_id = int32_t(layout.block_count.value_or(int64_t(layout.blocks.size()) + 1));
    index.payload = layout.index_payload;
    append(out, sector(index, g));
    for (const Sector &s : layout.blocks) append(out, sector(s, g));
    if (layout.truncate && *layout.truncate < out.size()) out.resize(*layout.truncate);
    append(out, layout.trailing);
    return out;
}

/* ------------------------------------------------------------------ */
/* Files from a description                                            */
/* ------------------------------------------------------------------ */

namespace {

/* Cuts a stream of chunks into block payloads. The path is tracked so that
 * a new block can push it again: a block always starts at the root. Pushes
 * are made again only when the next chunk needs them, so pops that fall on
 * a block boundary cost nothing. */
struct Packer {
    Generation generation;
    size_t limit;
    std::function<void(const Bytes &payload)> on_block;

    Bytes payload;
    std::vector<Bytes> path;
    size_t in_block = 0; /* leading path entries pushed in the current block */
    Bytes scratch;

    Packer(Generation g, size_t payload_limit, std::function<void(const Bytes &)> sink)
        : generation(g), limit(payload_limit), on_block(std::move(sink)) {
        const size_t area = payload_area_size(g);
        if (limit == 0 || limit > area) limit = area;
        payload.reserve(limit);
    }

    void push_chunk(Bytes &out, const Bytes &k) const {
        if (is_v7(generation))
            v7::push(out, k);
        else
            early::push(out, k);
    }

    size_t repush_size(size_t from) const {
        size_t size = 0;
        for (size_t i = from; i < path.size(); i++) {
            size += path[i].size() + 1;
            if (is_v7(generation) && (path[i].size() != 1 || path[i][0] == 0xFE) &&
                path[i].size() != 2 && path[i].size() != 3)
                size += 1;
        }
        return size;
    }

    void flush() {
        if (payload.empty()) return;
        on_block(payload);
        payload.clear();
        in_block = 0;
    }

    /* Appends a chunk other than a pop under the whole path in force. */
    void put(const Bytes &chunk) {
        if (payload.size() + repush_size(in_block) + chunk.size() > limit) {
            flush();
            if (repush_size(0) + chunk.size() > limit)
                throw std::length_error("qw: a chunk of " + std::to_string(chunk.size()) +
                                        " bytes does not fit a block of " +
                                        std::to_string(limit) + " under its path");
        }
        for (; in_block < path.size(); in_block++) push_chunk(payload, path[in_block]);
        append(payload, chunk);
    }

    void push(Bytes k) {
        scratch.clear();
        push_chunk(scratch, k);
        put(scratch);
        path.push_back(std::move(k));
        in_block = path.size();
    }

    void pop() {
        path.pop_back();
        if (in_block <= path.size()) return; /* never pushed in this block */
        in_block = path.size();
        if (payload.size() + 1 > limit) {
            flush(); /* the next block starts at the root anyway */
            return;
        }
        if (is_v7(generation))
            v7::pop(payload);
        else
            early::pop(payload);
    }

    void field(unsigned ref, const Bytes &d) {
        scratch.clear();
        if (is_v7(generation))
            v7::field(scratch, ref, d);
        else
            early::field(scratch, ref, d);
        put(scratch);
    }

    void segment(unsigned index, const Bytes &d) {
        scratch.clear();
        v7::segment(scratch, index, d);
        put(scratch);
    }

    void long_field(const Bytes &k, const Bytes &d) {
        scratch.clear();
        if (is_v7(generation))
            v7::long_field(scratch, k, d);
        else
            early::long_field(scratch, k, d);
        put(scratch);
    }

    /* A chunk made by the caller, under the path in force. */
    void chunk(const Bytes &bytes) { put(bytes); }

    void finish() { flush(); }
};

int number_or_position(int number, size_t position) {
    return number != 0 ? number : int(position + 1);
}

/* Field 0 of a text in long form: its stored length in bytes, then its
 * length in characters (code points), 32 bits big-endian each. */
Bytes long_form_header(size_t bytes, std::string_view utf8) {
    Bytes header(8);
    put_be32(header.data(), uint32_t(bytes));
    put_be32(header.data() + 4, uint32_t(code_points(utf8).size()));
    return header;
}

/* The pieces of a long value under the path in force: segments
 * (generation 7 and later) or fields (earlier files) numbered from 1. */
void write_pieces(Packer &packer, const Bytes &stored, size_t piece, Generation g) {
    unsigned number = 1;
    size_t at = 0;
    do {
        const size_t n = std::min(piece, stored.size() - at);
        const Bytes bytes(stored.begin() + long(at), stored.begin() + long(at + n));
        if (is_v7(g))
            packer.segment(number, bytes);
        else
            packer.field(number, bytes);
        number++;
        at += n;
    } while (at < stored.size());
}

/* A name in long form (generation 7 and later): the directory pushed under
 * ref with the header (field 0) and the text as field 1, or as segments 1,
 * 2, ... when no field holds it. */
void write_long_name(Packer &packer, unsigned ref, std::string_view name, Generation g) {
    const Bytes stored = stored_text(name, g);
    packer.push(key(ref, g));
    packer.field(0, long_form_header(stored.size(), name));
    if (stored.size() <= 255)
        packer.field(1, stored);
    else
        write_pieces(packer, stored, 1000, g);
    packer.pop();
}

/* The key's bytes as hexadecimal digits, upper case. */
std::string hex_digits(const Bytes &key) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : key) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

/* A container field's reference to the storage key. */
void write_reference(Packer &packer, const Value &value, Generation g) {
    const unsigned column = unsigned(value.column);
    const Bytes &k = *value.container;
    if (!is_v7(g)) {
        if (k.empty() || k.size() > 254) refuse("an early reference holds 1 to 254 key bytes");
        Bytes reference{uint8_t(k.size())};
        append(reference, k);
        packer.field(column, reference);
        return;
    }
    packer.push(key(column, g));
    packer.field(0, Bytes{0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x03});
    packer.field(1, stored_text(hex_digits(k) + value.reference_suffix, g));
    packer.pop();
}

/* Repetition 2 and up of a column, beside the record's short values. */
void write_repetition(Packer &packer, const Value &value, const Bytes &stored, Generation g) {
    if (value.column > 127 || value.repetition > 255)
        refuse("repetitions are written for columns 1 to 127 and repetitions up to 255");
    const Bytes k{uint8_t(value.column), uint8_t(value.repetition)};
    Bytes chunk;
    if (is_v7(g))
        v7::field_key_bytes(chunk, 0x0E, k, stored);
    else
        early::long_field(chunk, k, stored);
    packer.chunk(chunk);
}

/* One value under the path in force: a record's directory, or the table's
 * globals. A long global of generation 7 and later carries the long-form
 * header (field 0) before its pieces. */
void write_value(Packer &packer, const Value &value, Generation g, bool global = false) {
    if (value.column <= 0) refuse("value without a column number");
    const unsigned column = unsigned(value.column);
    if (value.container) return write_reference(packer, value, g);
    const Bytes stored = value.stored ? *value.stored : stored_text(value.text, g);
    if (value.repetition > 1) return write_repetition(packer, value, stored, g);
    if (value.key_bytes) {
        if (!is_v7(g)) refuse("key bytes are written in generation 7 and later");
        Bytes chunk;
        v7::field_key_bytes(chunk, 0x0E, *value.key_bytes, stored);
        packer.chunk(chunk);
        return;
    }
    if (!value.long_value) {
        if (is_v7(g) && stored.size() > 255)
            packer.segment(column, stored); /* no field code holds more than 255 bytes */
        else
            packer.field(column, stored);
        return;
    }
    const size_t piece = value.piece_size ? value.piece_size : (is_v7(g) ? 1000 : 250);
    packer.push(key(column, g));
    if (global && is_v7(g)) packer.field(0, long_form_header(stored.size(), value.text));
    write_pieces(packer, stored, piece, g);
    packer.pop();
}

/* Pieces of a pushed stream, by number from 1. */
std::vector<Bytes> pieces_of(const Stream &stream, Generation g) {
    const size_t size = stream.piece_size ? stream.piece_size : (is_v7(g) ? 1000 : 491);
    std::vector<Bytes> pieces;
    for (size_t at = 0; at < stream.data.size(); at += size) {
        const size_t n = std::min(size, stream.data.size() - at);
        pieces.emplace_back(stream.data.begin() + long(at), stream.data.begin() + long(at + n));
    }
    return pieces;
}

Bytes tag_bytes(const Stream &stream) {
    if (stream.tag.size() != 4) refuse("a stream tag has four bytes");
    return Bytes(stream.tag.begin(), stream.tag.end());
}

/* The stream table (generation 7 and later) or descriptor (earlier files)
 * of a container. */
Bytes stream_table(const Container &container, Generation g) {
    if (container.table_bytes) return *container.table_bytes;
    std::vector<const Stream *> listed;
    for (const Stream &stream : container.streams)
        if (!stream.unlisted) listed.push_back(&stream);
    const auto entry = [](Bytes &out, const Stream &stream) {
        append(out, tag_bytes(stream));
        const uint64_t length = stream.declared_length.value_or(stream.data.size());
        out.resize(out.size() + 4);
        put_be32(out.data() + out.size() - 4, uint32_t(length));
    };
    if (!is_v7(g)) {
        Bytes descriptor{0x00, 0x00, 0x07, 0x97, 0xB8, 0x00, 0x00, 0x00, 0x01,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
        if (!listed.empty()) entry(descriptor, *listed[0]);
        return descriptor;
    }
    Bytes table;
    push_be16(table, uint32_t(listed.size()));
    for (const Stream *stream : listed) entry(table, *stream);
    return table;
}

void write_stream(Packer &packer, const Stream &stream, Generation g) {
    const Bytes tag = tag_bytes(stream);
    switch (stream.form) {
    case Stream::Form::inline_field:
        packer.long_field(tag, stream.data);
        return;
    case Stream::Form::bare: {
        static constexpr uint8_t kCodes[9] = {0, 0x19, 0x1A, 0, 0x1B, 0, 0x1C, 0, 0x1D};
        if (!is_v7(g) || stream.data.size() > 8 || kCodes[stream.data.size()] == 0)
            refuse("bare streams hold 1, 2, 4, 6 or 8 bytes, in generation 7 and later");
        Bytes chunk;
        v7::data_with_trail(chunk, kCodes[stream.data.size()], tag, stream.data);
        packer.chunk(chunk);
        return;
    }
    case Stream::Form::pushed:
        break;
    }
    const std::vector<Bytes> pieces = pieces_of(stream, g);
    std::vector<unsigned> order = stream.piece_order;
    if (order.empty())
        for (unsigned n = 1; n <= pieces.size(); n++) order.push_back(n);
    packer.push(tag);
    if (is_v7(g)) {
        Bytes length(4);
        put_be32(length.data(), uint32_t(stream.data.size()));
        packer.field(0, length);
    }
    for (unsigned n : order) {
        if (n == 0 || n > pieces.size()) refuse("no piece numbered " + std::to_string(n));
        const Bytes &piece = pieces[n - 1];
        if (!is_v7(g))
            packer.field(n, piece);
        else if (stream.last_piece_as_field && n == pieces.size() && piece.size() <= 255)
            packer.field(n, piece);
        else
            packer.segment(n, piece);
    }
    packer.pop();
}

/* Lays out a table's container store under the path in force ([T] or the
 * root). */
void write_containers(Packer &packer, const Table &table, Generation g) {
    if (table.containers.empty()) return;
    packer.push(key(31, g));
    packer.push(key(5, g));
    for (const Container &container : table.containers) {
        packer.push(container.key);
        if (is_v7(g)) {
            packer.field(2, stream_table(container, g));
            packer.field(4, Bytes(16, 0xA5));
        } else {
            packer.field(1, stream_table(container, g));
        }
        for (const Stream &stream : container.streams) write_stream(packer, stream, g);
        packer.pop();
    }
    packer.pop();
    packer.pop();
}

/* The fields of a column's definition path: its definition record, when
 * it has one, and its name. */
void write_column(Packer &packer, const Column &column, Generation g) {
    std::optional<Bytes> record = column.definition_bytes;
    if (!record && column.definition) record = definition_record(*column.definition, g, column.collation);
    if (is_v7(g)) {
        if (record) packer.field(2, *record);
        if (column.long_name)
            write_long_name(packer, 16, column.name, g);
        else
            packer.field(16, stored_text(column.name, g));
        return;
    }
    if (column.long_name) refuse("earlier files have no names in long form");
    packer.field(1, stored_text(column.name, g));
    packer.field(2, record ? *record
                           : Bytes{0x00, uint8_t(column.type), 0x00, uint8_t(column.collation)});
}

/* The definitions of a table's columns under the path in force ([T][3] or
 * [3]): [5][c] for each. */
void write_columns(Packer &packer, const Table &table, Generation g) {
    packer.push(key(5, g));
    for (size_t i = 0; i < table.columns.size(); i++) {
        const Column &column = table.columns[i];
        packer.push(key(uint64_t(number_or_position(column.number, i)), g));
        write_column(packer, column, g);
        packer.pop();
    }
    packer.pop();
}

/* A table's global values under the path in force ([T] or [3]): [8]. */
void write_globals(Packer &packer, const Table &table, Generation g) {
    packer.push(key(8, g));
    for (const Value &value : table.globals) write_value(packer, value, g, true);
    packer.pop();
}

/* Lays out the records of one table under the path in force ([T][5] or [5]). */
void write_records(Packer &packer, const Table &table, Generation g) {
    uint64_t last_key = 0;
    Record made;
    auto write_record = [&](const Record &record) {
        uint64_t k = record.key;
        if (k == 0) {
            k = last_key + 1;
            while (!key_exists(k, g)) {
                if (!is_v7(g) && k < 0xC000) k = 0xC000; /* over the gap of early keys */
                else refuse("no more record keys in this generation");
            }
        }
        last_key = k;
        packer.push(key(k, g));
        for (const Value &value : record.values) write_value(packer, value, g);
        packer.pop();
    };
    for (const Record &record : table.records) write_record(record);
    for (size_t i = 0; i < table.generated_records; i++) {
        made = Record();
        table.make_record(i, made);
        write_record(made);
    }
}

bool has_records(const Table &table) {
    return !table.records.empty() || table.generated_records > 0;
}

void pack_database(const Database &db, Packer &packer) {
    const Generation g = db.header.generation;
    for (const Table &table : db.tables)
        if (table.generated_records > 0 && !table.make_record)
            refuse("generated_records without make_record");

    if (!is_v7(g)) {
        if (db.tables.size() != 1) refuse("an early file holds exactly one table");
        const Table &table = db.tables[0];
        if (table.long_name) refuse("earlier files have no names in long form");
        if (!table.columns.empty() || !table.globals.empty()) {
            packer.push(key(3, g));
            if (!table.columns.empty()) write_columns(packer, table, g);
            if (!table.globals.empty()) write_globals(packer, table, g);
            packer.pop();
        }
        if (has_records(table)) {
            packer.push(key(5, g));
            write_records(packer, table, g);
            packer.pop();
        }
        write_containers(packer, table, g);
        packer.finish();
        return;
    }

    /* tables in ascending number: their keys ascend too */
    std::vector<std::pair<int, const Table *>> tables;
    for (size_t i = 0; i < db.tables.size(); i++) {
        const int n = number_or_position(db.tables[i].number, i);
        if (n < 1) refuse("table numbers start at 1");
        tables.emplace_back(n, &db.tables[i]);
    }
    std::stable_sort(tables.begin(), tables.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });

    if (!tables.empty()) {
        packer.push(key(3, g));
        packer.push(key(16, g));
        packer.push(key(5, g));
        for (const auto &[n, table] : tables) {
            packer.push(key(uint64_t(n) + 128, g));
            if (table->long_name)
                write_long_name(packer, 16, table->name, g);
            else
                packer.field(16, stored_text(table->name, g));
            packer.pop();
        }
        packer.pop();
        packer.pop();
        packer.pop();
    }
    for (const auto &[n, table] : tables) {
        packer.push(key(uint64_t(n) + 128, g));
        if (!table->columns.empty()) {
            packer.push(key(3, g));
            write_columns(packer, *table, g);
            packer.pop();
        }
        if (!table->globals.empty()) write_globals(packer, *table, g);
        if (has_records(*table)) {
            packer.push(key(5, g));
            write_records(packer, *table, g);
            packer.pop();
        }
        write_containers(packer, *table, g);
        packer.pop();
    }
    packer.finish();
}

/* Ids of the blocks in chain order: 2 first, then 3, 4... or, shuffled, the
 * same ids in an order that differs from id order whenever it can. */
std::vector<int32_t> chain_ids(size_t count, bool shuffle, uint32_t seed) {
    std::vector<int32_t> ids(count);
    for (size_t i = 0; i < count; i++) ids[i] = int32_t(i + 2);
    if (shuffle && count >= 3) {
        std::mt19937 rng(seed);
        for (size_t i = count - 1; i > 1; i--) std::swap(ids[i], ids[1 + rng() % i]);
        if (std::is_sorted(ids.begin(), ids.end())) std::reverse(ids.begin() + 1, ids.end());
    }
    return ids;
}

Sector chained_sector(const std::vector<int32_t> &ids, size_t position, const Bytes &payload) {
    Sector s;
    s.prev_id = position == 0 ? 0 : ids[position - 1];
    s.next_id = position + 1 < ids.size() ? ids[position + 1] : 0;
    s.payload = payload;
    return s;
}

void write_all(std::FILE *stream, const Bytes &bytes) {
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size())
        throw std::runtime_error(std::string("qw: write failed: ") + std::strerror(errno));
}

} // namespace

FileLayout database_layout(const Database &db) {
    const Generation g = db.header.generation;
    std::vector<Bytes> payloads;
    Packer packer(g, db.payload_limit, [&](const Bytes &p) { payloads.push_back(p); });
    pack_database(db, packer);

    const std::vector<int32_t> ids = chain_ids(payloads.size(), db.shuffle_blocks, db.shuffle_seed);
    FileLayout layout;
    layout.header = db.header;
    layout.blocks.resize(payloads.size());
    for (size_t i = 0; i < payloads.size(); i++)
        layout.blocks[size_t(ids[i] - 2)] = chained_sector(ids, i, payloads[i]);
    return layout;
}

Bytes build_database(const Database &database) { return build_file(database_layout(database)); }

void write_database(const Database &db, std::FILE *stream) {
    const Generation g = db.header.generation;
    size_t count = 0;
    {
        Packer counter(g, db.payload_limit, [&](const Bytes &) { count++; });
        pack_database(db, counter);
    }
    const std::vector<int32_t> ids = chain_ids(count, db.shuffle_blocks, db.shuffle_seed);

    write_all(stream, header(db.header));
    Sector index;
    index.next_id = int32_t(count + 1);
    write_all(stream, sector(index, g));

    size_t position = 0;
    Packer writer(g, db.payload_limit, [&](const Bytes &payload) {
        if (position >= count) throw std::logic_error("qw: the second pass made more blocks");
        if (db.shuffle_blocks) {
            const off_t offset = off_t(header_area_size(g) + size_t(ids[position] - 1) * sector_size(g));
            if (fseeko(stream, offset, SEEK_SET) != 0)
                throw std::runtime_error("qw: shuffled blocks need a seekable stream");
        }
        write_all(stream, sector(chained_sector(ids, position, payload), g));
        position++;
    });
    pack_database(db, writer);
    if (position != count) throw std::logic_error("qw: the second pass made fewer blocks");
    if (std::fflush(stream) != 0) throw std::runtime_error("qw: flush failed");
}

void write_database_file(const std::string &path, const Database &database) {
    std::FILE *stream = std::fopen(path.c_str(), "wb");
    if (!stream) throw std::runtime_error("qw: cannot create " + path);
    try {
        write_database(database, stream);
    } catch (...) {
        std::fclose(stream);
        throw;
    }
    if (std::fclose(stream) != 0) throw std::runtime_error("qw: cannot close " + path);
}

void write_file(const std::string &path, const Bytes &bytes) {
    std::FILE *stream = std::fopen(path.c_str(), "wb");
    if (!stream) throw std::runtime_error("qw: cannot create " + path);
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
    if (std::fclose(stream) != 0 || !ok) throw std::runtime_error("qw: cannot write " + path);
}

} // namespace qw
