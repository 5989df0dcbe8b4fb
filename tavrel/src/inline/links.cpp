// The bracket constructs' own grammars: inline destinations and titles,
// reference shells, footnote references, cross-reference items, the
// trailing attribute block and the "ref" variant it can carry.
//
// These are pure functions of their text; the scanner (scanner.cpp) decides
// when each is tried and what happens to the bracketed nodes.
#include <string>

#include "tavrel/attrs.hpp"
#include "tavrel/entity.hpp"
#include "tavrel/inline.hpp"
#include "tavrel/text.hpp"

namespace tavrel::inline_ {
namespace {

std::string* pair_value(ast::Attr& attr, std::string_view key) {
    for (auto& kv : attr.pairs) {
        if (kv.first == key) return &kv.second;
    }
    return nullptr;
}

bool is_link_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Escapes of punctuation removed, then references decoded. (The scanner's
// marker for an escaped "&" only lives in its pending text, never in the
// raw destination and title read here, so nothing else is replaced.)
std::string decode_link_text(std::string_view raw) {
    return entity::decode_entities(entity::unescape_backslash_punctuation(raw));
}

bool is_key_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

}  // namespace

std::string_view trim_link_space(std::string_view s) {
    while (!s.empty() && is_link_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_link_space(s.back())) s.remove_suffix(1);
    return s;
}

std::optional<DestinationTitle> parse_link_destination_title(std::string_view inner, std::uint64_t max_depth) {
    std::string_view s = trim_link_space(inner);
    if (s.empty()) return DestinationTitle{};
    std::size_t i = 0;
    std::string_view dest;
    if (s[0] == '<') {
        i = 1;
        bool escaped = false;
        for (;; ++i) {
            if (i >= s.size()) return std::nullopt;
            char c = s[i];
            if (c == '\n' || c == '\r') return std::nullopt;
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '<') {
                return std::nullopt;
            } else if (c == '>') {
                break;
            }
        }
        dest = s.substr(1, i - 1);
        ++i;
    } else {
        bool escaped = false;
        std::uint64_t depth = 0;
        for (; i < s.size(); ++i) {
            char c = s[i];
            if (escaped) {
                escaped = false;
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') break;
            if (c == '\\') {
                escaped = true;
            } else if (c == '(') {
                if (++depth > max_depth) return std::nullopt;
            } else if (c == ')') {
                if (depth == 0) return std::nullopt;
                --depth;
            }
        }
        if (depth != 0) return std::nullopt;
        dest = s.substr(0, i);
    }
    while (i < s.size() && is_link_space(s[i])) ++i;
    DestinationTitle out;
    out.destination = decode_link_text(dest);
    if (i == s.size()) return out;
    char open = s[i];
    char close;
    if (open == '"' || open == '\'')
        close = open;
    else if (open == '(')
        close = ')';
    else
        return std::nullopt;
    std::size_t t = i + 1;
    bool escaped = false;
    for (;; ++t) {
        if (t >= s.size()) return std::nullopt;
        if (escaped) {
            escaped = false;
        } else if (s[t] == '\\') {
            escaped = true;
        } else if (s[t] == close) {
            break;
        }
    }
    std::string_view title = s.substr(i + 1, t - i - 1);
    for (std::size_t k = t + 1; k < s.size(); ++k)
        if (!is_link_space(s[k])) return std::nullopt;
    out.title = decode_link_text(title);
    return out;
}

ast::Inline link_or_image_shell(bool image, const LinkRef& def) {
    if (image) return ast::Image{def.attrs, {}, def.destination, def.title};
    return ast::Link{def.attrs, {}, def.destination, def.title};
}

std::optional<FootnoteMatch> footnote_ref(std::string_view s, std::size_t pos, const FootnoteLabels& labels) {
    if (s.compare(pos, 2, "[^") != 0) return std::nullopt;
    std::size_t i = pos + 2;
    // The label stops at "]"; white space or "[" before it means no
    // reference, so the walk also stops there (a run of "[^" stays linear).
    while (i < s.size()) {
        text::Decoded d = text::decode_utf8(s, i);
        if (d.cp == ']') break;
        if (d.cp == '[' || text::is_white_space(d.cp)) return std::nullopt;
        i += d.len;
    }
    if (i >= s.size() || i == pos + 2) return std::nullopt;
    std::string label(s.substr(pos + 2, i - pos - 2));
    if (!labels.contains(label)) return std::nullopt;
    return FootnoteMatch{std::move(label), i + 1};
}

std::optional<XrefSeg> ref_item(std::string_view item, bool single) {
    item = text::trim(item);
    std::size_t at = item.find('@');
    if (at == std::string_view::npos) return std::nullopt;
    XrefSeg seg;
    std::size_t prefix_end = at;
    if (at > 0 && item[at - 1] == '-') {
        seg.bare = true;
        prefix_end = at - 1;
    }
    std::string_view key = item.substr(at + 1);
    if (key.empty()) return std::nullopt;
    char k0 = key[0];
    if (!((k0 >= 'a' && k0 <= 'z') || (k0 >= 'A' && k0 <= 'Z') || (k0 >= '0' && k0 <= '9'))) return std::nullopt;
    for (char c : key)
        if (!is_key_char(c)) return std::nullopt;
    std::string_view before = item.substr(0, prefix_end);
    std::string_view prefix = text::trim_end(before);
    if (!prefix.empty()) {
        // The prefix must stand apart from the marker, and only a list of one
        // item may carry one.
        if (prefix.size() == before.size() || !single) return std::nullopt;
        seg.prefix = std::string(prefix);
    }
    seg.key = std::string(key);
    return seg;
}

void apply_ref_variant(ast::Inline& node, ast::AttrBuilder& attr, std::string_view value) {
    if (node.is<ast::Link>()) {
        if (std::string* v = attr.value_of("data-ref")) {
            if (!v->empty() && !value.empty()) v->push_back(' ');
            v->append(value);
            return;
        }
        attr.set_pair("ref", value);
    } else if (node.is<ast::Image>() || node.is<ast::Math>()) {
        attr.set_pair("ref", value);
    } else if (auto* span = node.as<ast::Span>()) {
        if (attr.value_of("data-refs")) {
            for (ast::Inline& child : span->content) apply_ref_values(child, value, value);
        } else {
            attr.set_pair("ref", value);
        }
    }
}

void apply_ref_variant(ast::Inline& node, std::string_view value) { apply_ref_values(node, value, value); }

std::size_t apply_ref_values(ast::Inline& node, std::string_view joined, std::string_view last) {
    ast::Attr* attr = nullptr;
    if (auto* link = node.as<ast::Link>()) {
        if (std::string* v = pair_value(link->attr, "data-ref")) {
            // Each value appended in turn, one space between non-empty ones.
            if (!v->empty() && !joined.empty()) v->push_back(' ');
            v->append(joined);
            return 1;
        }
        attr = &link->attr;
    } else if (auto* image = node.as<ast::Image>()) {
        attr = &image->attr;
    } else if (auto* math = node.as<ast::Math>()) {
        attr = &math->attr;
    } else if (auto* span = node.as<ast::Span>()) {
        if (pair_value(span->attr, "data-refs")) {
            std::size_t nodes = 1;
            for (ast::Inline& child : span->content) nodes += apply_ref_values(child, joined, last);
            return nodes;
        }
        attr = &span->attr;
    }
    // Each value set in turn: the last one stands.
    if (attr) attr->set_pair("ref", last);
    return 1;
}

std::optional<TrailingAttr> trailing_attr(std::string_view s) {
    if (s.size() > 2 && s[0] == '{' && s[1] == ':') {
        bool escaped = false;
        char quote = 0;
        for (std::size_t i = 2; i < s.size(); ++i) {
            char c = s[i];
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '}') {
                std::string_view body = s.substr(2, i - 2);
                // An empty body is no attribute block (as in the braced form).
                if (attrs::looks_like_attrs(text::trim(body), true) && attrs::attrs_body_valid(body))
                    return TrailingAttr{attrs::parse_attrs_body(body), body.size() + 3};
                break;
            }
        }
    }
    if (auto b = attrs::parse_braced_attr(s)) {
        // The body as the block was read: braces, a leading ":" and the
        // surrounding white space off.
        std::string_view body = s.substr(1, b->len - 2);
        if (!body.empty() && body[0] == ':') body.remove_prefix(1);
        if (!attrs::attrs_body_valid(text::trim(body))) return std::nullopt;
        return TrailingAttr{std::move(b->attr), b->len};
    }
    return std::nullopt;
}

}  // namespace tavrel::inline_
