/*
 * test_convert.cpp: turning stored text into NUL-terminated UTF-8: the text
 * mask, leading spaces, the choice between Mac Roman (through iconv) and
 * SCSU, and the terminator in name fields and value buffers.
 */
#include <gtest/gtest.h>

#include "quarn_internal.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kMask = 0x5A;
constexpr char kUntouched = static_cast<char>(0xA5);

Bytes bytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes repeat(const Bytes &unit, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; i++) out = out + unit;
    return out;
}

std::string repeat(const std::string &unit, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; i++) out += unit;
    return out;
}

/* Stores text as a file of generation 7 and later does: XORed with 0x5A. */
Bytes masked(const Bytes &text) {
    Bytes out(text);
    for (uint8_t &b : out) b ^= kMask;
    return out;
}

/* Runs convert into a buffer of size bytes and returns the text up to the
 * terminator. Checks that the terminator lies inside the buffer and that
 * nothing past the buffer was written. */
std::string run_convert(iconv_t converter, int mask, const Bytes &stored, size_t size) {
    std::vector<char> buffer(size + 8, kUntouched);
    convert(converter, mask, buffer.data(), size, stored.data(), stored.size());
    for (size_t i = size; i < buffer.size(); i++)
        EXPECT_EQ(buffer[i], kUntouched) << "byte " << i << " past the buffer changed";
    if (size == 0) return {};
    const void *nul = memchr(buffer.data(), '\0', size);
    EXPECT_NE(nul, nullptr) << "no terminator inside the buffer";
    if (!nul) return {};
    return std::string(buffer.data(), static_cast<size_t>(static_cast<const char *>(nul) - buffer.data()));
}

size_t value_buffer_size(const Bytes &stored) { return 4 * stored.size() + 1; }

/* The converter that files before generation 7 get when they are opened. */
class ConvertMacRoman : public ::testing::Test {
protected:
    void SetUp() override {
        converter_ = iconv_open("UTF-8", "MACINTOSH");
        ASSERT_NE(converter_, reinterpret_cast<iconv_t>(-1)) << "no Mac Roman converter";
    }
    void TearDown() override {
        if (converter_ != reinterpret_cast<iconv_t>(-1)) iconv_close(converter_);
    }
    iconv_t converter_ = reinterpret_cast<iconv_t>(-1);
};

struct TextCase {
    const char *name;
    Bytes stored;
    std::string expected;
};

/* ---- SCSU, the text of generation 7 and later ------------------------ */

struct ScsuTextCase {
    const char *name;
    int mask;    /* 0x5A: text is stored XORed with it, as in the files */
    Bytes text;  /* the text before masking */
    std::string expected;
};

TEST(ConvertScsu, TextCases) {
    const ScsuTextCase cases[] = {
        {"plain ascii", 0, bytes("Name"), "Name"},
        {"masked ascii", kMask, bytes("Name"), "Name"},
        {"plain empty", 0, {}, ""},
        {"masked empty", kMask, {}, ""},
        /* stored as 0x7A bytes */
        {"masked leading spaces dropped", kMask, bytes("  ab"), "ab"},
        {"masked leading dropped, trailing kept", kMask, bytes(" a "), "a "},
        {"masked inner spaces kept", kMask, bytes(" a  b"), "a  b"},
        {"masked all spaces", kMask, bytes("    "), ""},
        /* the stored byte 0x20 is 'z' under the mask, not a space */
        {"masked stored 0x20", kMask, bytes("za"), "za"},
        /* a TAB is not dropped as a leading space, it decodes to one */
        {"masked tab after spaces", kMask, bytes(" \tA"), " A"},
        {"masked window character", kMask, {0x20, 0xE9}, "\xC3\xA9"},
        {"masked tag", kMask, {0x12, 0x81}, "\xD0\x81"},
        /* 0x20 as an operand byte is not a leading space */
        {"masked SQU with 0x20 operand", kMask, {0x0E, 0x20, 0xAC}, "\xE2\x82\xAC"},
        {"masked CR LF", kMask, bytes("a\r\nb"), "a\nb"},
        {"masked NUL byte", kMask, {0x41, 0x00, 0x42}, "A\xEF\xBF\xBD" "B"},
        /* an error ends the text where it occurs */
        {"masked cut operand", kMask, {0x61, 0x62, 0x0E, 0x41}, "ab"},
        {"masked high surrogate at end", kMask, {0x41, 0x0E, 0xD8, 0x3D}, "A\xEF\xBF\xBD"},
        {"plain leading dropped, trailing kept", 0, bytes("  a "), "a "},
        {"plain all spaces", 0, bytes("   "), ""},
        {"plain window character", 0, {0x20, 0xE9}, "\xC3\xA9"},
    };
    for (const ScsuTextCase &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes stored = c.mask ? masked(c.text) : c.text;
        EXPECT_EQ(run_convert(nullptr, c.mask, stored, value_buffer_size(stored)), c.expected);
    }
}

TEST(ConvertScsu, StoredBytesUnchanged) {
    const Bytes stored = masked(bytes("  Caf") + Bytes{0xE9, 0x20});
    const Bytes copy = stored;
    EXPECT_EQ(run_convert(nullptr, kMask, stored, 64), "Caf\xC3\xA9 ");
    EXPECT_EQ(stored, copy);
}

/* ---- Mac Roman, the text of earlier files ---------------------------- */

TEST_F(ConvertMacRoman, TextCases) {
    const TextCase cases[] = {
        {"ascii", bytes("Name"), "Name"},
        {"e acute", {0x8E}, "\xC3\xA9"},
        {"bullet", {0xA5}, "\xE2\x80\xA2"},
        {"euro", {0xDB}, "\xE2\x82\xAC"},
        {"word", bytes("Caf") + Bytes{0x8E}, "Caf\xC3\xA9"},
        {"leading dropped, trailing kept", bytes("  x "), "x "},
        {"all spaces", bytes("   "), ""},
        {"empty", {}, ""},
        /* 0xCA is a no-break space, not a space: it stays */
        {"no-break space kept", {0xCA, 0x41}, "\xC2\xA0" "A"},
        /* CR and TAB pass through: the SCSU departures do not apply */
        {"CR and TAB unchanged", bytes("a\r\n\tb"), "a\r\n\tb"},
        /* plain ASCII is copied, not converted: it must read the same */
        {"controls and DEL unchanged", {0x01, 0x1F, 0x7F, 0x41}, "\x01\x1F\x7F" "A"},
        {"long ascii", bytes("abcdefghijklmnopq"), "abcdefghijklmnopq"},
    };
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_convert(converter_, 0, c.stored, value_buffer_size(c.stored)), c.expected);
    }
}

/* One byte above 0x7F anywhere in an otherwise plain text is converted. */
TEST_F(ConvertMacRoman, HighByteAtEveryPosition) {
    const std::string letters = "abcdefghijklmnopqrs";
    for (size_t at = 0; at <= letters.size(); at++) {
        SCOPED_TRACE("at " + std::to_string(at));
        Bytes stored = bytes(letters);
        stored.insert(stored.begin() + static_cast<long>(at), 0x8E);
        const std::string expected = letters.substr(0, at) + "\xC3\xA9" + letters.substr(at);
        EXPECT_EQ(run_convert(converter_, 0, stored, value_buffer_size(stored)), expected);
    }
}

/* The mask comes off before the leading spaces and before iconv. */
TEST_F(ConvertMacRoman, MaskComesOffFirst) {
    const Bytes stored = masked(bytes("  Caf") + Bytes{0x8E});
    const Bytes copy = stored;
    EXPECT_EQ(run_convert(converter_, kMask, stored, value_buffer_size(stored)), "Caf\xC3\xA9");
    EXPECT_EQ(stored, copy);
}

/* ---- names: 64-byte fields, at most 63 bytes of text ----------------- */

const std::string a59 = repeat("a", 59);
const std::string a60 = repeat("a", 60);
const std::string a61 = repeat("a", 61);
const std::string a62 = repeat("a", 62);
const std::string a63 = repeat("a", 63);

TEST(ConvertScsu, NamesCutAt63Bytes) {
    const Bytes euro = {0x0E, 0x20, 0xAC};               /* U+20AC, 3 bytes */
    const Bytes grin = {0x0F, 0xD8, 0x3D, 0xDE, 0x00};   /* U+1F600, 4 bytes */
    const TextCase cases[] = {
        {"63 bytes fit", bytes(a63), a63},
        {"64 bytes: last dropped", bytes(a63 + "b"), a63},
        {"70 bytes", bytes(repeat("a", 70)), a63},
        {"two-byte character fits", bytes(a61) + Bytes{0xE9}, a61 + "\xC3\xA9"},
        /* fills the field exactly: the character cut by the terminator
         * goes whole, no lead byte is left behind */
        {"two-byte character cut", bytes(a62) + Bytes{0xE9}, a62},
        {"three-byte character cut", bytes(a61) + euro, a61},
        {"three-byte character cut, input left", bytes(a61) + euro + bytes("b"), a61},
        {"four-byte character cut", bytes(a60) + grin, a60},
        {"31 two-byte characters and one cut", repeat(Bytes{0xE9}, 32),
         repeat("\xC3\xA9", 31)},
        /* the next character does not fit the room left */
        {"two-byte character, room 1", bytes(a63) + Bytes{0xE9}, a63},
        {"three-byte character, room 2", bytes(a62) + euro, a62},
        {"four-byte character, room 3", bytes(a61) + grin, a61},
        {"three-byte character fits", bytes(a60) + euro, a60 + "\xE2\x82\xAC"},
        {"four-byte character fits", bytes(a59) + grin, a59 + "\xF0\x9F\x98\x80"},
    };
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_convert(nullptr, kMask, masked(c.stored), 64), c.expected);
    }
}

TEST_F(ConvertMacRoman, NamesCutAt63Bytes) {
    const TextCase cases[] = {
        {"64 bytes: last dropped", bytes(a63 + "b"), a63},
        {"two-byte character cut", bytes(a62) + Bytes{0x8E}, a62},
        {"three-byte character cut", bytes(a61) + Bytes{0xA5}, a61},
        {"two-byte character, room 1", bytes(a63) + Bytes{0x8E}, a63},
        {"three-byte character, room 2", bytes(a62) + Bytes{0xA5}, a62},
        {"21 bullets and a letter", repeat(Bytes{0xA5}, 21) + bytes("x"),
         repeat("\xE2\x80\xA2", 21)},
        {"32 two-byte characters", repeat(Bytes{0x8E}, 32), repeat("\xC3\xA9", 31)},
    };
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_convert(converter_, 0, c.stored, 64), c.expected);
    }
}

/* ---- values: 4 x stored length + 1 bytes never cut anything ---------- */

TEST(ConvertScsu, ValueBuffersHoldEverything) {
    const TextCase cases[] = {
        /* one stored byte, four UTF-8 bytes: an extended window */
        {"extended window", Bytes{0x0B, 0x20, 0x00} + repeat(Bytes{0x80}, 40),
         repeat("\xF0\x90\x80\x80", 40)},
        {"extended window, single byte", Bytes{0x0B, 0x20, 0x00, 0x80}, "\xF0\x90\x80\x80"},
        {"replacements", repeat(Bytes{0x00}, 50), repeat("\xEF\xBF\xBD", 50)},
        {"one replacement", Bytes{0x0C}, "\xEF\xBF\xBD"},
        {"two-byte window characters", repeat(Bytes{0xE9}, 64), repeat("\xC3\xA9", 64)},
        {"surrogate pairs", Bytes{0x0F} + repeat(Bytes{0xD8, 0x3D, 0xDE, 0x00}, 20),
         repeat("\xF0\x9F\x98\x80", 20)},
        {"long ascii", bytes(repeat("abc", 100)), repeat("abc", 100)},
    };
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes stored = masked(c.stored);
        EXPECT_EQ(run_convert(nullptr, kMask, stored, value_buffer_size(stored)), c.expected);
    }
}

TEST_F(ConvertMacRoman, ValueBuffersHoldEverything) {
    const TextCase cases[] = {
        {"bullets", repeat(Bytes{0xA5}, 40), repeat("\xE2\x80\xA2", 40)},
        {"one euro", Bytes{0xDB}, "\xE2\x82\xAC"},
        {"e acutes", repeat(Bytes{0x8E}, 70), repeat("\xC3\xA9", 70)},
    };
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_convert(converter_, 0, c.stored, value_buffer_size(c.stored)), c.expected);
    }
}

/* ---- tiny buffers ----------------------------------------------------- */

TEST(ConvertScsu, TinyBuffers) {
    const Bytes stored = masked(bytes("abc"));
    EXPECT_EQ(run_convert(nullptr, kMask, stored, 0), ""); /* checks nothing was written */
    EXPECT_EQ(run_convert(nullptr, kMask, stored, 1), "");
    EXPECT_EQ(run_convert(nullptr, kMask, stored, 2), "a");
    EXPECT_EQ(run_convert(nullptr, kMask, masked({0xE9}), 2), "");
}

TEST_F(ConvertMacRoman, TinyBuffers) {
    const Bytes stored = bytes("abc");
    EXPECT_EQ(run_convert(converter_, 0, stored, 0), "");
    EXPECT_EQ(run_convert(converter_, 0, stored, 1), "");
    EXPECT_EQ(run_convert(converter_, 0, stored, 2), "a");
    EXPECT_EQ(run_convert(converter_, 0, Bytes{0x8E}, 2), "");
}

/* The converter is reset for every text: a conversion cut short leaves no
 * state behind for the next one. */
TEST_F(ConvertMacRoman, EachTextStartsFresh) {
    EXPECT_EQ(run_convert(converter_, 0, bytes(a63) + Bytes{0xA5, 0x8E}, 64), a63);
    EXPECT_EQ(run_convert(converter_, 0, Bytes{0x8E}, 5), "\xC3\xA9");
}

} // namespace
