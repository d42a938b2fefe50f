/*
 * fuzz_convert: stored text through both decoders. The first byte picks the
 * decoder and the mask, the second the output buffer's size; the rest is
 * the stored text. The output must be NUL-terminated inside the buffer and
 * well-formed UTF-8, and the stored bytes must not change.
 */
#include "fuzz_common.h"
#include "quarn_internal.h"

#include <iconv.h>

static iconv_t mac_roman;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    mac_roman = iconv_open("UTF-8", "MACINTOSH");
    return mac_roman == reinterpret_cast<iconv_t>(-1) ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const size_t n = size - 2;
    /* sizes from 0 up to the value buffer's 4 * n + 1, plus the name field */
    size_t out_size;
    switch (data[1] % 4) {
    case 0: out_size = 64; break;
    case 1: out_size = 4 * n + 1; break;
    default: out_size = data[1] % 40; break;
    }
    std::vector<uint8_t> stored(data + 2, data + size); /* exact size: overreads show */
    const std::vector<uint8_t> before = stored;
    std::vector<char> out(out_size + 1, '\x7F');
    convert((mode & 1) ? mac_roman : nullptr, (mode & 2) ? 0x5A : 0, out.data(), out_size,
            stored.data(), stored.size());
    if (stored != before) abort();
    if (out[out_size] != '\x7F') abort(); /* nothing past the buffer */
    if (out_size > 0) fuzz::check_field(out.data(), out_size);
    return 0;
}
