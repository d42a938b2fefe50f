/*
 * names.h: names for what an export makes out of names found in the file:
 * file and folder names, worksheet names, and column or key names, each
 * made valid for where it goes and unique among its neighbours. Names in a
 * FileMaker file may hold anything (slashes, control characters, a name
 * twice), so no name taken from the file is used as it is.
 */
#ifndef QUARN_EXPORT_NAMES_H
#define QUARN_EXPORT_NAMES_H

#include <set>
#include <string>
#include <string_view>

namespace qexport {

/* A file or folder name for text: "/", "\", NUL and the other control
 * characters, and ":*?\"<>|" (which other file systems refuse) become "_";
 * leading and trailing spaces and dots are dropped; at most 200 bytes (cut
 * at a character boundary); an empty result, "." or ".." becomes
 * fallback. */
std::string safe_file_name(std::string_view text, std::string_view fallback);

/* A worksheet name for text: none of []:*?/\ (each becomes "_"), no
 * apostrophe at either end, at most 31 characters, not empty (fallback). */
std::string sheet_name(std::string_view text, std::string_view fallback);

/* Hands out names unique regardless of ASCII case: a name already handed
 * out gets " (2)", " (3)", ... (or the separator given) before its
 * extension, within max_chars characters when max_chars is not 0. */
class UniqueNames {
  public:
    explicit UniqueNames(std::string separator = " (", std::string closer = ")", size_t max_chars = 0)
        : separator_(std::move(separator)), closer_(std::move(closer)), max_chars_(max_chars) {}
    /* name (with extension, which stays at the end) made unique. */
    std::string take(const std::string &name, const std::string &extension = "");
    /* Marks a name as taken without handing it out. */
    void reserve(const std::string &name);

  private:
    std::string separator_, closer_;
    size_t max_chars_;
    std::set<std::string> taken_; /* lower-cased */
};

/* Whether c continues a UTF-8 character rather than starting one. */
inline bool utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

/* text cut to at most max_bytes bytes at a character boundary. */
std::string cut_bytes(std::string_view text, size_t max_bytes);

/* text with A to Z lower-cased, nothing else changed. */
std::string lower_ascii(std::string_view text);

/* text cut to at most max_chars UTF-8 characters. */
std::string cut_characters(std::string_view text, size_t max_chars);

/* Number of UTF-8 characters in text. */
size_t character_count(std::string_view text);

} // namespace qexport

#endif
