// UTF-8 walking and the Unicode properties the readers need. ASCII takes a
// fast path everywhere: most wiki text is ASCII and ICU calls are not free.
#include "tavrel/text.hpp"

#include <unicode/uchar.h>

namespace tavrel::text {

Decoded decode_utf8_sequence(std::string_view s, std::size_t pos) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos;
    std::size_t avail = s.size() - pos;
    unsigned char b0 = p[0];
    auto cont = [&](std::size_t k) { return k < avail && (p[k] & 0xC0) == 0x80; };
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (cont(1)) return {char32_t((b0 & 0x1F) << 6 | (p[1] & 0x3F)), 2};
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (cont(1) && cont(2)) {
            char32_t cp = (b0 & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F);
            if (cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) return {cp, 3};
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (cont(1) && cont(2) && cont(3)) {
            char32_t cp = (b0 & 0x07) << 18 | (p[1] & 0x3F) << 12 | (p[2] & 0x3F) << 6 | (p[3] & 0x3F);
            if (cp >= 0x10000 && cp <= 0x10FFFF) return {cp, 4};
        }
    }
    return {0xFFFD, 1};
}

Decoded decode_utf8_sequence_before(std::string_view s, std::size_t pos) {
    std::size_t start = pos - 1;
    std::size_t lowest = pos >= 4 ? pos - 4 : 0;
    while (start > lowest && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    Decoded d = decode_utf8(s, start);
    if (start + d.len == pos) return d;
    return {0xFFFD, 1};
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::size_t count_chars(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
        } else {
            i += decode_utf8(s, i).len;
        }
        ++n;
    }
    return n;
}

bool is_white_space_beyond_ascii(char32_t cp) {
    return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_WHITE_SPACE);
}

bool is_unicode_punctuation(char32_t cp) {
    if (cp < 0x80) {
        // In ASCII, the P* categories are the punctuation marks that are not
        // symbols ($ + < = > ^ ` | ~ are symbols).
        return is_ascii_punctuation(cp) && cp != '$' && cp != '+' && cp != '<' && cp != '=' && cp != '>' &&
               cp != '^' && cp != '`' && cp != '|' && cp != '~';
    }
    std::int32_t mask = U_GET_GC_MASK(static_cast<UChar32>(cp));
    return (mask & U_GC_P_MASK) != 0;
}

namespace {

// Most text is ASCII: its bytes are judged without decoding.
bool is_ascii_white_space(unsigned char b) { return b == ' ' || (b >= 0x09 && b <= 0x0D); }

}  // namespace

std::string_view trim_start_walk(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        if (const auto b = static_cast<unsigned char>(s[i]); b < 0x80) {
            if (!is_ascii_white_space(b)) break;
            ++i;
            continue;
        }
        Decoded d = decode_utf8(s, i);
        if (!is_white_space(d.cp)) break;
        i += d.len;
    }
    return s.substr(i);
}

std::string_view trim_end_walk(std::string_view s) {
    std::size_t end = s.size();
    while (end > 0) {
        if (const auto b = static_cast<unsigned char>(s[end - 1]); b < 0x80) {
            if (!is_ascii_white_space(b)) break;
            --end;
            continue;
        }
        Decoded d = decode_utf8_before(s, end);
        if (!is_white_space(d.cp)) break;
        end -= d.len;
    }
    return s.substr(0, end);
}

}  // namespace tavrel::text
