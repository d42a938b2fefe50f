/*
 * scsu.cpp: the SCSU decoder for the text of generation 7 and later files.
 *
 * Stored names and values of those files are Unicode text compressed with
 * the Standard Compression Scheme for Unicode (UTS #6). convert() in core.cpp
 * removes the text mask and the leading spaces and then hands the bytes to
 * convert_scsu_to_utf8, which writes UTF-8 straight into the caller's room
 * and leaves the terminator to convert().
 *
 * The decoder follows UTS #6 with these departures, which are how this
 * format's text is read: a TAB becomes a space; a CR byte in single-byte mode
 * becomes LF, and an LF byte right after it is dropped; the bytes 0x00 and
 * 0x0C in single-byte mode give U+FFFD; 0xF2 in Unicode mode is a high byte;
 * the reserved window offset indices give 0xAC00 (index 0x00) or 0 (0xA8 to
 * 0xF8); the code point 0 writes nothing. UTF-16 surrogates are paired; a
 * surrogate that cannot be paired becomes U+FFFD, so that the output is
 * always well-formed UTF-8.
 *
 * Nothing is allocated: the state lives on the stack for one call.
 */
#include "quarn_internal.h"

#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <bit>
#include <cstring>

namespace {

/* Offsets of the static windows, which SQ0 to SQ7 quote bytes below 0x80
 * from. */
constexpr uint32_t kStaticWindowOffsets[8] = {
    0x0000, 0x0080, 0x0100, 0x0300, 0x2000, 0x2080, 0x2100, 0x3000,
};

/* Where the eight dynamic windows stand at the start of every string. */
constexpr uint32_t dynamic_window_offsets[8] = {
    0x0080, 0x00C0, 0x0400, 0x0600, 0x0900, 0x3040, 0x30A0, 0xFF00,
};

/* Offsets named by the window offset indices 0xF9 to 0xFF. */
constexpr uint32_t kPredefinedOffsets[7] = {
    0x00C0, 0x0250, 0x0370, 0x0530, 0x3040, 0x30A0, 0xFF60,
};

constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint32_t kCR = 0x0D;
constexpr uint32_t kLF = 0x0A;

/* Single-byte mode tags. */
constexpr uint8_t kSQ0 = 0x01, kSQ7 = 0x08;
constexpr uint8_t kSDX = 0x0B;
constexpr uint8_t kSQU = 0x0E;
constexpr uint8_t kSCU = 0x0F;
constexpr uint8_t kSC0 = 0x10, kSC7 = 0x17;
constexpr uint8_t kSD0 = 0x18, kSD7 = 0x1F;

/* Unicode mode tags. */
constexpr uint8_t kUC0 = 0xE0, kUC7 = 0xE7;
constexpr uint8_t kUD0 = 0xE8, kUD7 = 0xEF;
constexpr uint8_t kUQU = 0xF0;
constexpr uint8_t kUDX = 0xF1;

enum class scsu_mode { single_byte, unicode };

struct scsu_state {
    scsu_mode mode = scsu_mode::single_byte;
    int active_window = 0;
    uint32_t windows[8];
    int quote = -1;        /* window of a pending quote, or -1 */
    uint32_t last = 0;     /* the code point decoded last */
    uint32_t held_high = 0; /* a high surrogate waiting for its low half, or 0 */
    const char **input;
    size_t *input_left;
    char **output;
    size_t *output_left;
};

bool is_high_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

uint8_t take_byte(scsu_state &s) {
    const uint8_t b = static_cast<uint8_t>(**s.input);
    ++*s.input;
    --*s.input_left;
    return b;
}

/* Takes a big-endian 16-bit value from the next two input bytes. */
uint32_t take_unit(scsu_state &s) {
    const uint32_t high = take_byte(s);
    return (high << 8) | take_byte(s);
}

/* Offset of a window offset index, the operand of SDn and UDn. */
uint32_t window_offset(uint8_t index) {
    if (index == 0x00) return 0xAC00; /* reserved by UTS #6 */
    if (index < 0x68) return index * 0x80u;
    if (index < 0xA8) return index * 0x80u + 0xAC00;
    if (index < 0xF9) return 0; /* reserved by UTS #6 */
    return kPredefinedOffsets[index - 0xF9];
}

/* SDX and UDX: the top three bits of the first operand byte name the
 * window, the other thirteen bits place it above 0x10000 in steps of 0x80. */
void define_extended_window(scsu_state &s, uint32_t operand) {
    const int window = static_cast<int>(operand >> 13);
    s.windows[window] = 0x10000 + 0x80 * (operand & 0x1FFF);
    s.active_window = window;
}

/* The length of c's UTF-8 form. */
size_t utf8_length(uint32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

/* Writes the length bytes of c's UTF-8 form at out. */
[[gnu::always_inline]] inline void put_utf8(char *out, uint32_t c, size_t length) {
    switch (length) {
    case 1:
        out[0] = static_cast<char>(c);
        break;
    case 2:
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        break;
    case 3:
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        break;
    default:
        out[0] = static_cast<char>(0xF0 | (c >> 18));
        out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[3] = static_cast<char>(0x80 | (c & 0x3F));
        break;
    }
}

/* Writes c in UTF-8 when its whole form fits the room; otherwise writes
 * nothing and answers false. */
bool write_utf8(scsu_state &s, uint32_t c) {
    const size_t length = utf8_length(c);
    if (*s.output_left < length) return false;
    put_utf8(*s.output, c, length);
    *s.output += length;
    *s.output_left -= length;
    return true;
}

/* Emits one decoded character: a code point from a window or a quote, or a
 * UTF-16 code unit. A high surrogate is held until the next character; a low
 * surrogate completes it. A surrogate that cannot be paired gives U+FFFD,
 * and the character that broke a pair follows that U+FFFD. Answers false
 * when a character does not fit the room (E2BIG); whatever was written
 * before it stays. */
bool emit(scsu_state &s, uint32_t c) {
    if (s.held_high != 0) {
        const uint32_t high = s.held_high;
        s.held_high = 0;
        if (is_low_surrogate(c)) {
            c = 0x10000 + ((high - 0xD800) << 10) + (c - 0xDC00);
        } else {
            if (!write_utf8(s, kReplacement)) return false;
            s.last = kReplacement;
        }
    } else if (is_low_surrogate(c)) {
        c = kReplacement;
    }

    if (is_high_surrogate(c)) {
        s.held_high = c;
        return true;
    }
    if (c != 0 && !write_utf8(s, c)) return false;
    s.last = c;
    return true;
}

/* How many of the first most bytes at in are 0x20 to 0x7F, eight at a
 * time. In a word whose bytes are all 0x20 or more no byte borrows in
 * x - 0x20..20, so a top bit set in the difference or in x marks a byte out
 * of the range; a byte below 0x20 sets its own top bit in the difference,
 * and only the bytes above it can be touched by its borrow. So the lowest
 * marked byte (the first in memory, on a little-endian machine) is the
 * first one out of the range. */
size_t ascii_run(const uint8_t *in, size_t most) {
    size_t run = 0;
    for (; run + 8 <= most; run += 8) {
        uint64_t x;
        memcpy(&x, in + run, 8);
        const uint64_t marks = ((x - 0x2020202020202020u) | x) & 0x8080808080808080u;
        if (marks != 0) {
            if constexpr (std::endian::native == std::endian::little)
                return run + static_cast<size_t>(std::countr_zero(marks) / 8);
            break;
        }
    }
    while (run < most && static_cast<uint8_t>(in[run] - 0x20) < 0x60) run++;
    return run;
}

/* Writes c at out in UTF-8 and moves out past it, when its whole form fits
 * before end (the code point 0 writes nothing); false, writing nothing,
 * when it does not fit. */
[[gnu::always_inline]] inline bool put_fitting(char *&out, const char *end, uint32_t c) {
    if (c == 0) return true;
    const size_t length = utf8_length(c);
    if (static_cast<size_t>(end - out) < length) return false;
    put_utf8(out, c, length);
    out += length;
    return true;
}

/* Moves the input and output on to where a run stopped. */
void end_run(scsu_state &s, const uint8_t *in, char *out, uint32_t last) {
    const size_t taken = static_cast<size_t>(in - reinterpret_cast<const uint8_t *>(*s.input));
    const size_t written = static_cast<size_t>(out - *s.output);
    *s.input += taken;
    *s.input_left -= taken;
    *s.output = out;
    *s.output_left -= written;
    s.last = last;
}

/* Most stored text is runs of characters that change no state: in
 * single-byte mode with no quote or surrogate pending, a byte 0x20 to 0x7F
 * stands for itself and a byte 0x80 to 0xFF for a character of the active
 * window. The two run helpers below decode such a run straight from the
 * input to the room, as emit() would, and stop before the first byte of any
 * other kind or the first character that does not fit, which the byte-by-
 * byte decoder then takes. No window lies on the surrogates; a character
 * that did would stop the run all the same. */
void take_single_byte_run(scsu_state &s) {
    const auto *in = reinterpret_cast<const uint8_t *>(*s.input);
    const uint8_t *const end = in + *s.input_left;
    char *out = *s.output;
    char *const out_end = out + *s.output_left;
    const uint32_t window = s.windows[s.active_window];
    uint32_t last = s.last;
    while (in < end && out < out_end) {
        const size_t ascii = ascii_run(in, std::min<size_t>(end - in, out_end - out));
        if (ascii > 0) {
            memcpy(out, in, ascii);
            in += ascii;
            out += ascii;
            last = in[-1];
            continue;
        }
        const uint8_t b = *in;
        if (b < 0x80) break; /* a tag or a control */
        const uint32_t c = window + (b - 0x80u);
        if ((c >= 0xD800 && c <= 0xDFFF) || !put_fitting(out, out_end, c)) break;
        last = c;
        in++;
    }
    end_run(s, in, out, last);
}

/* In Unicode mode with no surrogate pending: two bytes a character, the
 * first not a tag (0xE0 to 0xF2), the unit not a surrogate. */
void take_unicode_run(scsu_state &s) {
    const auto *in = reinterpret_cast<const uint8_t *>(*s.input);
    const uint8_t *const end = in + *s.input_left;
    char *out = *s.output;
    char *const out_end = out + *s.output_left;
    uint32_t last = s.last;
    while (end - in >= 2 && out < out_end) {
        const uint8_t high = in[0];
        if ((high >= kUC0 && high <= 0xF2) || (high >= 0xD8 && high <= 0xDF)) break;
        const uint32_t c = (static_cast<uint32_t>(high) << 8) | in[1];
        if (!put_fitting(out, out_end, c)) break;
        last = c;
        in += 2;
    }
    end_run(s, in, out, last);
}

size_t fail(int error) {
    errno = error;
    return static_cast<size_t>(-1);
}

} // namespace

/* Decodes SCSU from *input (*input_left bytes) into UTF-8 at *output
 * (*output_left bytes of room), advancing both pointers and decreasing both
 * counts by what was consumed and written. Sets errno to 0 on entry. Stops
 * without error, before taking the next byte, when the input or the room is
 * used up. Returns 0, or (size_t)-1 with errno E2BIG when a character does
 * not fit the room left (its input is consumed, none of it written) or
 * EINVAL when the input ends inside a tag's operands or a code unit (the tag
 * or first byte is consumed, the bytes after it are not). A partial UTF-8
 * sequence is never written and no terminator is added. */
size_t convert_scsu_to_utf8(const char **input, size_t *input_left, char **output,
                            size_t *output_left) {
    errno = 0;
    scsu_state s{};
    for (int i = 0; i < 8; i++) s.windows[i] = dynamic_window_offsets[i];
    s.input = input;
    s.input_left = input_left;
    s.output = output;
    s.output_left = output_left;

    while (*input_left > 0 && *output_left > 0) {
        if (s.quote < 0 && s.held_high == 0) {
            const size_t before = *input_left;
            if (s.mode == scsu_mode::single_byte)
                take_single_byte_run(s);
            else
                take_unicode_run(s);
            if (*input_left != before) continue;
        }
        const uint8_t b = take_byte(s);

        if (s.quote >= 0) {
            /* a quoted byte is data whatever its value */
            const int n = s.quote;
            s.quote = -1;
            const uint32_t c = b < 0x80 ? kStaticWindowOffsets[n] + b
                                        : s.windows[n] + (b - 0x80u);
            if (!emit(s, c)) return fail(E2BIG);
            continue;
        }

        if (s.mode == scsu_mode::single_byte) {
            if (b >= 0x80) {
                if (!emit(s, s.windows[s.active_window] + (b - 0x80u))) return fail(E2BIG);
            } else if (b >= 0x20) {
                if (!emit(s, b)) return fail(E2BIG);
            } else if (b >= kSQ0 && b <= kSQ7) {
                s.quote = b - kSQ0;
            } else if (b >= kSC0 && b <= kSC7) {
                s.active_window = b - kSC0;
            } else if (b >= kSD0 && b <= kSD7) {
                if (*input_left < 1) return fail(EINVAL);
                s.windows[b - kSD0] = window_offset(take_byte(s));
                s.active_window = b - kSD0;
            } else if (b == kSDX) {
                if (*input_left < 2) return fail(EINVAL);
                define_extended_window(s, take_unit(s));
            } else if (b == kSQU) {
                if (*input_left < 2) return fail(EINVAL);
                if (!emit(s, take_unit(s))) return fail(E2BIG);
            } else if (b == kSCU) {
                s.mode = scsu_mode::unicode;
            } else if (b == 0x09) {
                /* a TAB reads as a space */
                if (!emit(s, 0x20)) return fail(E2BIG);
            } else if (b == 0x0A) {
                /* CR LF is one line break: the LF after a CR is dropped */
                if (s.held_high == 0 && s.last == kCR) {
                    s.last = kLF;
                } else if (!emit(s, kLF)) {
                    return fail(E2BIG);
                }
            } else if (b == 0x0D) {
                if (!emit(s, kLF)) return fail(E2BIG);
                s.last = kCR;
            } else {
                /* 0x00 and the reserved 0x0C */
                if (!emit(s, kReplacement)) return fail(E2BIG);
            }
            continue;
        }

        /* Unicode mode */
        if (b >= kUC0 && b <= kUC7) {
            s.active_window = b - kUC0;
            s.mode = scsu_mode::single_byte;
        } else if (b >= kUD0 && b <= kUD7) {
            if (*input_left < 1) return fail(EINVAL);
            s.windows[b - kUD0] = window_offset(take_byte(s));
            s.active_window = b - kUD0;
            s.mode = scsu_mode::single_byte;
        } else if (b == kUQU) {
            if (*input_left < 2) return fail(EINVAL);
            if (!emit(s, take_unit(s))) return fail(E2BIG);
        } else if (b == kUDX) {
            if (*input_left < 2) return fail(EINVAL);
            define_extended_window(s, take_unit(s));
            s.mode = scsu_mode::single_byte;
        } else {
            /* the high byte of a code unit; the reserved 0xF2 is one too */
            if (*input_left < 1) return fail(EINVAL);
            const uint32_t unit = (static_cast<uint32_t>(b) << 8) | take_byte(s);
            if (!emit(s, unit)) return fail(E2BIG);
        }
    }

    /* The input ended with a high surrogate that found no low half. When
     * decoding stopped on a full room with input left, the text was cut
     * there and the surrogate goes with the rest. */
    if (*input_left == 0 && s.held_high != 0) {
        s.held_high = 0;
        if (!write_utf8(s, kReplacement)) return fail(E2BIG);
    }
    return 0;
}
