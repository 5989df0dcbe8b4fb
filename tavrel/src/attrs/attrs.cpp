// Braced attribute blocks, raw markers and link labels.
//
// The walks here share one shape: an escape flag (a backslash hides the next
// character) and, for attribute text, a quote state (a quote character opens
// a quoted stretch that only the same character closes). Positions step by
// whole UTF-8 characters so that every slice stays on a character boundary.
#include "tavrel/attrs.hpp"

#include <unicode/ustring.h>

#include "tavrel/entity.hpp"
#include "tavrel/text.hpp"

namespace tavrel::attrs {
namespace {

using text::decode_utf8;
using text::Decoded;

bool is_quote(char c) { return c == '"' || c == '\''; }

// Full lower-case mapping of one character, appended to `out`. Each
// character is mapped alone, so no context rule (such as a final sigma)
// applies.
void append_lower(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp + 32 : cp));
        return;
    }
    UChar src[2];
    int32_t src_len = 0;
    U16_APPEND_UNSAFE(src, src_len, static_cast<UChar32>(cp));
    UChar dst[8];
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = u_strToLower(dst, 8, src, src_len, "", &status);
    if (U_FAILURE(status) || n > 8) {
        text::append_utf8(out, cp);
        return;
    }
    for (int32_t i = 0; i < n;) {
        UChar32 c;
        U16_NEXT(dst, i, n, c);
        text::append_utf8(out, static_cast<char32_t>(c));
    }
}

}  // namespace

std::optional<BracedAttr> parse_braced_attr(std::string_view s) {
    if (s.empty() || s[0] != '{') return std::nullopt;
    bool escaped = false;
    char quote = 0;
    std::size_t close = std::string_view::npos;
    for (std::size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (escaped) {
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (quote) {
            if (c == quote) quote = 0;
        } else if (is_quote(c)) {
            quote = c;
        } else if (c == '}') {
            close = i;
            break;
        }
    }
    // Bytes other than the ASCII ones tested never equal them in UTF-8, so a
    // byte walk is a character walk for this purpose.
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view body = s.substr(1, close - 1);
    bool colon = !body.empty() && body[0] == ':';
    if (colon) body.remove_prefix(1);
    body = text::trim(body);
    if (!looks_like_attrs(body, colon)) return std::nullopt;
    return BracedAttr{parse_attrs_body(body), close + 1};
}

bool looks_like_attrs(std::string_view body, bool colon_form) {
    if (body.empty()) return false;
    if (colon_form) return true;
    if (body[0] == '#' || body[0] == '.') return true;
    // First white-space-separated word.
    std::size_t end = 0;
    while (end < body.size()) {
        Decoded d = decode_utf8(body, end);
        if (text::is_white_space(d.cp)) break;
        end += d.len;
    }
    // "=" anywhere after the first character (a word "=a=b" qualifies).
    std::size_t first = decode_utf8(body, 0).len;
    return first < end && body.substr(first, end - first).find('=') != std::string_view::npos;
}

std::string unescape_attr(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            ++i;  // the escaped character (its continuation bytes follow as-is)
        }
        out.push_back(s[i]);
    }
    return out;
}

namespace {

// Applies one shorthand word (".a.b#c") to the attributes built.
void apply_shorthand(ast::Attr& attr, ast::AttrBuilder& builder, std::string_view word) {
    char intro = 0;
    std::size_t start = 0;
    auto emit = [&](std::size_t end) {
        if (intro && end > start) {
            std::string piece = unescape_attr(word.substr(start, end - start));
            if (!piece.empty()) {
                if (intro == '#')
                    attr.id = std::move(piece);
                else
                    builder.push_class(std::move(piece));
            }
        }
    };
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        if (c == '\\') {
            ++i;
            continue;
        }
        if (c == '#' || c == '.') {
            emit(i);
            intro = c;
            start = i + 1;
        }
    }
    emit(word.size());
}

// Whether `key` holds a quote character that no backslash escapes.
bool bare_quote_in(std::string_view key) {
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (key[i] == '\\')
            ++i;
        else if (is_quote(key[i]))
            return true;
    }
    return false;
}

void apply_pair(ast::AttrBuilder& builder, std::string_view word) {
    std::size_t eq = word.find('=');
    if (eq == std::string_view::npos) return;
    std::string_view key = text::trim(word.substr(0, eq));
    // A key holding a bare quote is no key: a block after an inline holding
    // one is text, so a link or image could never carry it written out. Where
    // a block is read whatever its words (a link definition's, a fence's),
    // the word is dropped like any other that is no attribute.
    if (key.empty() || bare_quote_in(key)) return;
    std::string_view value = text::trim(word.substr(eq + 1));
    if (value.size() > 1 && is_quote(value.front()) && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    builder.set_pair(key, entity::decode_entities(unescape_attr(value)));
}

}  // namespace

namespace {

// Calls `word` for each white-space-separated word of a body; white space
// inside quotes or after a backslash does not separate. Returns whether the
// body ended outside quotes.
template <class F>
bool for_each_attr_word(std::string_view body, F&& word) {
    bool escaped = false;
    char quote = 0;
    std::size_t start = 0;
    bool in_word = false;
    auto finish = [&](std::size_t end) {
        if (!in_word) return;
        in_word = false;
        if (end > start) word(body.substr(start, end - start));
    };
    std::size_t i = 0;
    while (i < body.size()) {
        Decoded d = decode_utf8(body, i);
        bool boundary = false;
        if (escaped) {
            escaped = false;
        } else if (d.cp == '\\') {
            escaped = true;
        } else if (quote) {
            if (d.cp == static_cast<unsigned char>(quote)) quote = 0;
        } else if (d.cp == '"' || d.cp == '\'') {
            quote = static_cast<char>(d.cp);
        } else if (text::is_white_space(d.cp)) {
            boundary = true;
        }
        if (boundary) {
            finish(i);
        } else if (!in_word) {
            in_word = true;
            start = i;
        }
        i += d.len;
    }
    finish(body.size());
    return quote == 0;
}

// The position of the first unescaped quote character in `s` at or after
// `from`, or npos.
std::size_t find_unescaped_quote(std::string_view s, std::size_t from, char which) {
    for (std::size_t i = from; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (which ? s[i] == which : is_quote(s[i])) {
            return i;
        }
    }
    return std::string_view::npos;
}

// "#id", ".class" or several of them run together, none empty.
bool valid_shorthand(std::string_view word) {
    if (find_unescaped_quote(word, 0, 0) != std::string_view::npos) return false;
    bool empty_piece = false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        if (c == '\\') {
            ++i;
            empty_piece = false;
        } else if (c == '#' || c == '.') {
            if (empty_piece) return false;
            empty_piece = true;
        } else {
            empty_piece = false;
        }
    }
    return !empty_piece;
}

// "key=value": a key without quotes, then a value wholly in one pair of
// quotes or bare (no quote at all).
bool valid_pair(std::string_view word) {
    std::size_t eq = word.find('=');
    if (eq == 0 || eq == std::string_view::npos) return false;
    std::string_view key = word.substr(0, eq);
    if (find_unescaped_quote(key, 0, 0) != std::string_view::npos) return false;
    std::string_view value = word.substr(eq + 1);
    if (!value.empty() && is_quote(value[0]))
        return find_unescaped_quote(value, 1, value[0]) == value.size() - 1;
    return find_unescaped_quote(value, 0, 0) == std::string_view::npos;
}

}  // namespace

ast::Attr parse_attrs_body(std::string_view body) {
    ast::Attr attr;
    ast::AttrBuilder builder(attr);
    for_each_attr_word(body, [&](std::string_view word) {
        if (word[0] == '#' || word[0] == '.')
            apply_shorthand(attr, builder, word);
        else
            apply_pair(builder, word);
    });
    return attr;
}

bool attrs_body_valid(std::string_view body) {
    bool ok = true;
    bool any = false;
    bool closed = for_each_attr_word(body, [&](std::string_view word) {
        any = true;
        if (!(word[0] == '#' || word[0] == '.' ? valid_shorthand(word) : valid_pair(word))) ok = false;
    });
    return any && ok && closed;
}

std::optional<RawMarker> raw_attr(std::string_view s) {
    if (s.size() < 3 || s[0] != '{' || s[1] != '=') return std::nullopt;
    std::size_t close = s.find('}', 2);
    if (close == std::string_view::npos || close == 2) return std::nullopt;
    std::string_view name = s.substr(2, close - 2);
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) return std::nullopt;
    }
    return RawMarker{name, name.size() + 3};
}

std::optional<LinkLabel> scan_link_label(std::string_view s) {
    if (s.empty() || s[0] != '[') return std::nullopt;
    bool escaped = false;
    std::size_t chars = 0;
    std::size_t i = 1;
    while (i < s.size()) {
        Decoded d = decode_utf8(s, i);
        if (escaped) {
            escaped = false;
        } else if (d.cp == ']') {
            return LinkLabel{s.substr(1, i - 1), i + 1};
        } else if (d.cp == '[') {
            return std::nullopt;
        } else if (d.cp == '\\') {
            escaped = true;
        }
        if (++chars > max_label_chars) return std::nullopt;
        i += d.len;
    }
    return std::nullopt;
}

bool valid_link_label(std::string_view label, bool allow_blank) {
    bool escaped = false;
    bool content = false;
    std::size_t chars = 0;
    std::size_t i = 0;
    while (i < label.size()) {
        Decoded d = decode_utf8(label, i);
        if (++chars > max_label_chars) return false;
        if (escaped) {
            escaped = false;
            if (!text::is_white_space(d.cp)) content = true;
        } else if (d.cp == '[' || d.cp == ']') {
            return false;
        } else if (d.cp == '\\') {
            escaped = true;
            content = true;
        } else if (!text::is_white_space(d.cp)) {
            content = true;
        }
        i += d.len;
    }
    return content || allow_blank;
}

std::string normalize_label(std::string_view label) {
    std::string out;
    out.reserve(label.size());
    text::for_each_white_space_piece(label, [&](std::string_view piece) {
        if (!out.empty()) out.push_back(' ');
        std::size_t i = 0;
        while (i < piece.size()) {
            Decoded d = decode_utf8(piece, i);
            append_lower(out, d.cp);
            i += d.len;
        }
    });
    return out;
}

}  // namespace tavrel::attrs
