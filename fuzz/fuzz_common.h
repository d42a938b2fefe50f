/*
 * fuzz_common.h: what the fuzz targets share: a file image whose block count
 * agrees with its size (so that mutations reach the decoders and the
 * queries instead of stopping at the open), and a check that text handed
 * out is well-formed UTF-8.
 */
#ifndef QUARN_FUZZ_COMMON_H
#define QUARN_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

/* The input, cut to whole sectors, with the index block's count patched to
 * the number of sectors. Inputs too short for a header come back as they
 * are. The sector size follows the header's "HBAM7" mark. */
inline std::vector<uint8_t> consistent_image(const uint8_t *data, size_t size) {
    std::vector<uint8_t> image(data, data + size);
    if (size < 1024) return image;
    const bool v7 = memcmp(data + 15, "HBAM7", 5) == 0;
    const size_t sector = v7 ? 4096 : 1024;
    const size_t first = v7 ? 4096 : 2048;
    const size_t next_offset = v7 ? 8 : 6;
    if (size < first + sector) return image;
    const size_t sectors = (size - first) / sector;
    image.resize(first + sectors * sector);
    const uint32_t count = static_cast<uint32_t>(sectors);
    uint8_t *p = image.data() + first + next_offset;
    p[0] = count >> 24;
    p[1] = count >> 16;
    p[2] = count >> 8;
    p[3] = count;
    return image;
}

/* Aborts unless text[0, length) is well-formed UTF-8 (no overlong forms,
 * no surrogates, nothing above U+10FFFF, no cut sequence). */
inline void check_utf8(const char *text, size_t length) {
    const auto *s = reinterpret_cast<const uint8_t *>(text);
    size_t i = 0;
    while (i < length) {
        const uint8_t b = s[i];
        size_t n;
        uint32_t cp;
        if (b < 0x80) { i++; continue; }
        if (b >= 0xC2 && b <= 0xDF) { n = 2; cp = b & 0x1F; }
        else if (b >= 0xE0 && b <= 0xEF) { n = 3; cp = b & 0x0F; }
        else if (b >= 0xF0 && b <= 0xF4) { n = 4; cp = b & 0x07; }
        else abort();
        if (i + n > length) abort();
        for (size_t k = 1; k < n; k++) {
            if ((s[i + k] & 0xC0) != 0x80) abort();
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) abort();
        if (cp >= 0xD800 && cp <= 0xDFFF) abort();
        i += n;
    }
}

/* check_utf8 over a NUL-terminated field of size bytes. */
inline void check_field(const char *field, size_t size) {
    const void *nul = memchr(field, 0, size);
    if (!nul) abort();
    check_utf8(field, static_cast<const char *>(nul) - field);
}

} // namespace fuzz

#endif
