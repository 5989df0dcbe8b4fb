// Full Unicode case mapping through ICU, with an ASCII fast path.
#include "case.hpp"

#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <vector>

#include "tavrel/text.hpp"

namespace corpuswright::casemap {
namespace {

bool is_ascii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// UTF-8 to UTF-16, invalid sequences as U+FFFD (the decoder's choice).
std::u16string to_utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        tavrel::text::Decoded d = tavrel::text::decode_utf8(s, i);
        if (d.cp < 0x10000) {
            out.push_back(static_cast<char16_t>(d.cp));
        } else {
            out.push_back(static_cast<char16_t>(U16_LEAD(d.cp)));
            out.push_back(static_cast<char16_t>(U16_TRAIL(d.cp)));
        }
        i += d.len;
    }
    return out;
}

void append_utf16(std::string& out, const char16_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        char32_t cp;
        U16_NEXT(p, i, n, cp);
        tavrel::text::append_utf8(out, cp);
    }
}

// Runs an ICU full case mapping (u_strToLower or u_strToUpper) over `src`
// with the root locale, growing the buffer once when the mapping lengthens
// the text beyond the first guess.
template <class Map>
std::u16string map_case(const std::u16string& src, Map map) {
    std::u16string dst(src.size() + 8, u'\0');
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = map(reinterpret_cast<UChar*>(dst.data()), static_cast<int32_t>(dst.size()),
                    reinterpret_cast<const UChar*>(src.data()), static_cast<int32_t>(src.size()), "", &err);
    if (err == U_BUFFER_OVERFLOW_ERROR) {
        dst.assign(static_cast<std::size_t>(n), u'\0');
        err = U_ZERO_ERROR;
        n = map(reinterpret_cast<UChar*>(dst.data()), static_cast<int32_t>(dst.size()),
                reinterpret_cast<const UChar*>(src.data()), static_cast<int32_t>(src.size()), "", &err);
    }
    if (U_FAILURE(err)) return src;  // cannot happen for well-formed UTF-16; keep the text as it is
    dst.resize(static_cast<std::size_t>(n));
    return dst;
}

}  // namespace

std::string lower(std::string_view s) {
    std::string out;
    if (is_ascii(s)) {
        out.resize(s.size());
        for (std::size_t i = 0; i < s.size(); ++i) out[i] = ascii_lower(s[i]);
        return out;
    }
    std::u16string mapped = map_case(to_utf16(s), u_strToLower);
    out.reserve(s.size());
    append_utf16(out, mapped.data(), mapped.size());
    return out;
}

void append_upper(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back((cp >= 'a' && cp <= 'z') ? static_cast<char>(cp - 'a' + 'A') : static_cast<char>(cp));
        return;
    }
    std::string one;
    tavrel::text::append_utf8(one, cp);
    std::u16string mapped = map_case(to_utf16(one), u_strToUpper);
    append_utf16(out, mapped.data(), mapped.size());
}

bool starts_with_ascii_ci(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (ascii_lower(s[i]) != prefix[i]) return false;
    return true;
}

bool equals_ascii_ci(std::string_view s, std::string_view word) {
    return s.size() == word.size() && starts_with_ascii_ci(s, word);
}

}  // namespace corpuswright::casemap
