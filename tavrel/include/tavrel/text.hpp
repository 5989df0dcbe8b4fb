// Small UTF-8 and Unicode services shared by every reader and writer of the
// document library. Text is UTF-8 held in std::string; positions are byte
// offsets on character boundaries. Unicode properties come from ICU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrel::text {

struct Decoded {
    char32_t cp;      // the code point, or U+FFFD for an invalid sequence
    std::size_t len;  // bytes consumed (at least 1 unless at the end)
};

// Decodes the character starting at `pos` (which must be < s.size()). An
// invalid or truncated sequence decodes as U+FFFD of length 1. (An ASCII
// character is told inline; a longer sequence is decoded out of line.)
Decoded decode_utf8_sequence(std::string_view s, std::size_t pos);
inline Decoded decode_utf8(std::string_view s, std::size_t pos) {
    const auto b = static_cast<unsigned char>(s[pos]);
    return b < 0x80 ? Decoded{b, 1} : decode_utf8_sequence(s, pos);
}

// The code point that ends just before `pos` (pos > 0), with its length.
Decoded decode_utf8_sequence_before(std::string_view s, std::size_t pos);
inline Decoded decode_utf8_before(std::string_view s, std::size_t pos) {
    const auto b = static_cast<unsigned char>(s[pos - 1]);
    return b < 0x80 ? Decoded{b, 1} : decode_utf8_sequence_before(s, pos);
}

void append_utf8(std::string& out, char32_t cp);

// Unicode scalar values in `s` (invalid bytes count one each).
std::size_t count_chars(std::string_view s);

// The Unicode White_Space property (beyond ASCII looked up out of line).
bool is_white_space_beyond_ascii(char32_t cp);
inline bool is_white_space(char32_t cp) {
    if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D);
    return is_white_space_beyond_ascii(cp);
}

// ASCII punctuation: code points 33-47, 58-64, 91-96, 123-126.
inline bool is_ascii_punctuation(char32_t c) {
    return (c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) || (c >= 123 && c <= 126);
}

// General categories Pc, Pd, Ps, Pe, Pi, Pf, Po.
bool is_unicode_punctuation(char32_t cp);

// White_Space trimmed from the start, the end, or both ends. (Most texts
// neither start nor end with it, which their first or last byte tells when
// an ASCII one: only the others are walked, out of line.)
std::string_view trim_start_walk(std::string_view s);
std::string_view trim_end_walk(std::string_view s);
inline std::string_view trim_start(std::string_view s) {
    if (s.empty()) return s;
    const auto b = static_cast<unsigned char>(s.front());
    return b < 0x80 && b != ' ' && (b < 0x09 || b > 0x0D) ? s : trim_start_walk(s);
}
inline std::string_view trim_end(std::string_view s) {
    if (s.empty()) return s;
    const auto b = static_cast<unsigned char>(s.back());
    return b < 0x80 && b != ' ' && (b < 0x09 || b > 0x0D) ? s : trim_end_walk(s);
}
inline std::string_view trim(std::string_view s) { return trim_end(trim_start(s)); }

// Calls f(piece) for every non-empty run of characters between White_Space.
template <class F>
void for_each_white_space_piece(std::string_view s, F&& f) {
    std::size_t i = 0, start = 0;
    bool in_piece = false;
    while (i < s.size()) {
        Decoded d = decode_utf8(s, i);
        bool ws = is_white_space(d.cp);
        if (ws && in_piece) {
            f(s.substr(start, i - start));
            in_piece = false;
        } else if (!ws && !in_piece) {
            start = i;
            in_piece = true;
        }
        i += d.len;
    }
    if (in_piece) f(s.substr(start));
}

}  // namespace tavrel::text
