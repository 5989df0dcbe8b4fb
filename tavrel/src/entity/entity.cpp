// Character-reference decoding in the two passes readers rely on. Pass 1
// decodes short numeric references, controls included; pass 2 is an HTML5
// decoder that reads pass 1's output, which is why a reference producing "&"
// can combine with the text after it. Both passes copy text without "&"
// unchanged and reserve once.
#include "tavrel/entity.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "tavrel/text.hpp"

namespace tavrel::entity {
namespace {

struct NamedRef {
    std::string_view name;
    std::string_view value;
};

constexpr NamedRef kNamed[] = {
#include "html5_entities.inc"
};

// Where the names beginning with each ASCII byte stand in the table, so
// that a lookup searches only those.
struct NameRange {
    std::uint16_t lo = 0, hi = 0;
};
constexpr std::array<NameRange, 128> kByFirst = [] {
    std::array<NameRange, 128> t{};
    for (std::size_t i = 0; i < std::size(kNamed); ++i) {
        NameRange& r = t[static_cast<unsigned char>(kNamed[i].name[0])];
        if (r.hi == 0) r.lo = static_cast<std::uint16_t>(i);
        r.hi = static_cast<std::uint16_t>(i + 1);
    }
    return t;
}();

// Whether `a` sorts before `b` bytewise, as the table does, compared here
// byte by byte: most names differ within their first bytes.
bool name_before(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}
bool is_scalar(std::uint64_t v) { return v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF); }

struct Numeric {
    std::uint64_t value;  // saturated at 2^32 when it overflows 32 bits
    std::size_t len;      // bytes from "&" through ";"
};

// A numeric reference at `pos` ("&#" digits ";" or "&#x" hex ";") with at
// most `max_dec` / `max_hex` digits; nothing when the shape does not match.
std::optional<Numeric> numeric_at(std::string_view s, std::size_t pos, std::size_t max_dec, std::size_t max_hex) {
    std::size_t i = pos + 2;
    if (i > s.size() || s[pos + 1] != '#') return std::nullopt;
    bool hex = i < s.size() && (s[i] == 'x' || s[i] == 'X');
    if (hex) ++i;
    std::size_t digits_start = i;
    std::uint64_t v = 0;
    const std::uint64_t cap = std::uint64_t{1} << 32;
    while (i < s.size() && (hex ? is_hex(s[i]) : is_digit(s[i]))) {
        v = v * (hex ? 16 : 10) + static_cast<std::uint64_t>(hex ? hex_value(s[i]) : s[i] - '0');
        if (v >= cap) v = cap;
        ++i;
    }
    std::size_t ndigits = i - digits_start;
    if (ndigits == 0 || ndigits > (hex ? max_hex : max_dec)) return std::nullopt;
    if (i >= s.size() || s[i] != ';') return std::nullopt;
    return Numeric{v, i + 1 - pos};
}

std::string pass1(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t amp = s.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(s.substr(i));
            break;
        }
        out.append(s.substr(i, amp - i));
        i = amp;
        if (s.substr(i, 5) == "&ngE;") {
            out += "\u2267\u0338";
            i += 5;
            continue;
        }
        if (i + 1 < s.size() && s[i + 1] == '#') {
            if (auto num = numeric_at(s, i, 7, 6)) {
                if (num->value == 0) {
                    out += "\uFFFD";
                    i += num->len;
                    continue;
                }
                if (is_scalar(num->value)) {
                    text::append_utf8(out, static_cast<char32_t>(num->value));
                    i += num->len;
                    continue;
                }
            }
        }
        out.push_back('&');
        ++i;
    }
    return out;
}

std::string pass2(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t amp = s.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(s.substr(i));
            break;
        }
        out.append(s.substr(i, amp - i));
        i = amp;
        if (i + 1 < s.size() && s[i + 1] == '#') {
            if (auto num = numeric_at(s, i, SIZE_MAX, SIZE_MAX)) {
                std::uint64_t v = num->value;
                bool allowed = v >= 32 || v == '\t' || v == '\n' || v == '\f' || v == '\r';
                if (v < (std::uint64_t{1} << 32) && is_scalar(v) && allowed) {
                    text::append_utf8(out, static_cast<char32_t>(v));
                    i += num->len;
                    continue;
                }
            }
        } else {
            std::size_t j = i + 1;
            while (j < s.size() && ((s[j] >= 'a' && s[j] <= 'z') || (s[j] >= 'A' && s[j] <= 'Z') || is_digit(s[j]))) {
                ++j;
            }
            if (j > i + 1 && j < s.size() && s[j] == ';') {
                if (auto value = lookup_named(s.substr(i + 1, j - i - 1))) {
                    out.append(*value);
                    i = j + 1;
                    continue;
                }
            }
        }
        out.push_back('&');
        ++i;
    }
    return out;
}

}  // namespace

std::optional<std::string_view> lookup_named(std::string_view name) {
    if (name.empty() || static_cast<unsigned char>(name[0]) >= 0x80) return std::nullopt;
    const NameRange r = kByFirst[static_cast<unsigned char>(name[0])];
    const NamedRef* end = std::begin(kNamed) + r.hi;
    const NamedRef* it = std::lower_bound(std::begin(kNamed) + r.lo, end, name,
                                          [](const NamedRef& ref, std::string_view key) { return name_before(ref.name, key); });
    if (it == end || it->name != name) return std::nullopt;
    return it->value;
}

std::optional<std::string_view> name_for(std::string_view chars) {
    std::optional<std::string_view> best;
    for (const NamedRef& ref : kNamed) {
        if (ref.value == chars && (!best || ref.name.size() < best->size())) best = ref.name;
    }
    return best;
}

std::string decode_entities(std::string_view text) {
    if (text.find('&') == std::string_view::npos) return std::string(text);
    std::string first = pass1(text);
    if (first.find('&') == std::string::npos) return first;
    return pass2(first);
}

bool decodes_reference(std::string_view ref) {
    if (ref.size() < 3) return false;
    if (ref[1] == '#') {
        // Either pass decodes it whole, or neither changes it.
        const auto num = numeric_at(ref, 0, SIZE_MAX, SIZE_MAX);
        if (!num || num->len != ref.size()) return false;
        const std::uint64_t v = num->value;
        const std::size_t digits = ref.size() - 3 - ((ref[2] == 'x' || ref[2] == 'X') ? 1 : 0);
        const bool first = digits <= ((ref[2] == 'x' || ref[2] == 'X') ? 6 : 7) && (v == 0 || is_scalar(v));
        const bool allowed = v >= 32 || v == '\t' || v == '\n' || v == '\f' || v == '\r';
        return first || (v < (std::uint64_t{1} << 32) && is_scalar(v) && allowed);
    }
    // The first pass's one named form is also in the table.
    const std::string_view name = ref.substr(1, ref.size() - 2);
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c))) return false;
    }
    return lookup_named(name).has_value();
}

std::string unescape_backslash_punctuation(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out.push_back(c);
            ++i;
            continue;
        }
        unsigned char next = static_cast<unsigned char>(text[i + 1]);
        if (text::is_ascii_punctuation(next)) {
            out.push_back(static_cast<char>(next));
            i += 2;
        } else {
            // Keep the backslash and the whole next character, so that it
            // never starts an escape of its own.
            std::size_t len = text::decode_utf8(text, i + 1).len;
            out.append(text.substr(i, 1 + len));
            i += 1 + len;
        }
    }
    return out;
}

}  // namespace tavrel::entity
