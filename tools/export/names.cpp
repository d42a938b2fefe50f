/*
 * names.cpp: valid and unique names for files, folders, sheets and columns
 * (names.h).
 */
#include "names.h"

#include <cctype>

namespace qexport {

std::string cut_bytes(std::string_view text, size_t max_bytes) {
    if (text.size() <= max_bytes) return std::string(text);
    size_t end = max_bytes;
    while (end > 0 && utf8_continuation(static_cast<unsigned char>(text[end]))) end--;
    return std::string(text.substr(0, end));
}

std::string lower_ascii(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

size_t character_count(std::string_view text) {
    size_t count = 0;
    for (char c : text)
        if (!utf8_continuation(static_cast<unsigned char>(c))) count++;
    return count;
}

std::string cut_characters(std::string_view text, size_t max_chars) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if (utf8_continuation(static_cast<unsigned char>(text[i]))) continue;
        if (count == max_chars) return std::string(text.substr(0, i));
        count++;
    }
    return std::string(text);
}

std::string safe_file_name(std::string_view text, std::string_view fallback) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const bool refused = c < 0x20 || c == 0x7F || ch == '/' || ch == '\\' || ch == ':' ||
                             ch == '*' || ch == '?' || ch == '"' || ch == '<' || ch == '>' || ch == '|';
        out += refused ? '_' : ch;
    }
    size_t begin = 0, end = out.size();
    while (begin < end && (out[begin] == ' ' || out[begin] == '.')) begin++;
    while (end > begin && (out[end - 1] == ' ' || out[end - 1] == '.')) end--;
    out = cut_bytes(std::string_view(out).substr(begin, end - begin), 200);
    if (out.empty()) return std::string(fallback);
    return out;
}

std::string sheet_name(std::string_view text, std::string_view fallback) {
    std::string out;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const bool refused = ch == '[' || ch == ']' || ch == ':' || ch == '*' || ch == '?' ||
                             ch == '/' || ch == '\\' || c < 0x20;
        out += refused ? '_' : ch;
    }
    out = cut_characters(out, 31);
    while (!out.empty() && out.front() == '\'') out.erase(0, 1);
    while (!out.empty() && out.back() == '\'') out.pop_back();
    if (out.empty()) return std::string(fallback);
    return out;
}

void UniqueNames::reserve(const std::string &name) { taken_.insert(lower_ascii(name)); }

std::string UniqueNames::take(const std::string &name, const std::string &extension) {
    std::string candidate = name + extension;
    for (unsigned n = 2; taken_.count(lower_ascii(candidate)) != 0; n++) {
        const std::string suffix = separator_ + std::to_string(n) + closer_;
        std::string stem = name;
        if (max_chars_ != 0) {
            const size_t room = max_chars_ - std::min(max_chars_, character_count(suffix + extension));
            stem = cut_characters(stem, room);
        }
        candidate = stem + suffix + extension;
    }
    taken_.insert(lower_ascii(candidate));
    return candidate;
}

} // namespace qexport
