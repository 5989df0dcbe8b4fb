// Fence info and trailing attribute blocks.
//
// The canonical writer puts a code block's language and attributes into one
// braced block after the fence ("{.py #main}") and a heading's attributes at
// the end of its line ("## Intro {.x}"). Hand-written Markdown also uses a
// bare language word, optionally followed by a braced block. These parsers
// accept an attribute block only when its inside looks like attributes, so
// ordinary text that happens to end in braces stays text.
#include <string>
#include <utility>

#include "tavrel/attrs.hpp"
#include "tavrel/block.hpp"
#include "tavrel/entity.hpp"
#include "tavrel/text.hpp"

namespace tavrel::attrs {

namespace {

// The first class of an Attr as the language, if any.
std::optional<std::string> first_class(const ast::Attr& a) {
    if (a.classes.empty()) return std::nullopt;
    return a.classes.front();
}

// Splits at the first White_Space run: (first word, rest trimmed).
std::pair<std::string_view, std::string_view> split_first_word(std::string_view t) {
    std::size_t i = 0;
    while (i < t.size()) {
        auto d = text::decode_utf8(t, i);
        if (text::is_white_space(d.cp)) break;
        i += d.len;
    }
    return {t.substr(0, i), text::trim(t.substr(i))};
}

}  // namespace

std::optional<ast::Attr> parse_synthetic_attrs(std::string_view text) {
    std::string braced;
    braced.reserve(text.size() + 2);
    braced.push_back('{');
    braced.append(text);
    braced.push_back('}');
    auto b = parse_braced_attr(braced);
    if (!b || b->len != braced.size()) return std::nullopt;
    return std::move(b->attr);
}

FenceInfo parse_fence_info(std::string_view info) {
    FenceInfo out;
    std::string_view t = text::trim(info);
    if (t.empty()) return out;

    // Braced form: everything after the block is dropped.
    if (auto b = parse_braced_attr(t)) {
        out.lang = first_class(b->attr);
        out.attr = std::move(b->attr);
        out.info_text = std::string(text::trim(t.substr(0, b->len)));
        return out;
    }

    auto [first, rest] = split_first_word(t);
    std::string_view w = text::trim(first);
    while (!w.empty() && w.front() == '`') w.remove_prefix(1);
    while (!w.empty() && w.back() == '`') w.remove_suffix(1);

    // Shorthand form: ".py", "#x", ".py{#x}", optionally followed by a block.
    if (!w.empty() && (w.front() == '.' || w.front() == '#')) {
        ast::Attr a;
        bool ok = true;
        auto brace = w.find('{');
        if (brace != std::string_view::npos) {
            if (auto s = parse_synthetic_attrs(w.substr(0, brace))) a.merge(*s);
            auto b = parse_braced_attr(w.substr(brace));
            if (b && text::trim(w.substr(brace + b->len)).empty()) {
                a.merge(b->attr);
            } else {
                ok = false;
            }
        } else if (auto s = parse_synthetic_attrs(w)) {
            a.merge(*s);
        } else {
            ok = false;
        }
        if (ok) {
            std::string_view r = rest;
            if (auto b = parse_braced_attr(r)) {
                a.merge(b->attr);
                r = text::trim(r.substr(b->len));
            }
            if (r.empty()) {
                out.info_text = std::string(t);
                out.lang = first_class(a);
                out.attr = std::move(a);
                return out;
            }
        }
    }

    // Language form: a word, optionally followed by a braced block.
    std::string lang = entity::decode_entities(entity::unescape_backslash_punctuation(w));
    if (!lang.empty()) out.lang = lang;
    if (auto b = parse_braced_attr(rest)) {
        if (out.lang) out.attr.push_class(*out.lang);
        out.attr.merge(b->attr);
    }
    out.info_text = std::string(t);
    return out;
}

std::optional<AttrSpan> trailing_attr_span(std::string_view line) {
    std::string_view t = text::trim_end(line);
    if (t.empty() || t.back() != '}') return std::nullopt;
    std::size_t final_close = t.size() - 1;

    // Three states, each with its own candidate "{" and open mark: outside
    // quotes, inside a double-quoted and inside a single-quoted stretch. A
    // quote character switches between the outside state and its own, so
    // braces in a quoted value do not disturb the outside state, and an
    // apostrophe in ordinary text ("Don't {.x}") does not hide the block.
    struct State {
        std::optional<std::size_t> candidate;
        bool open = false;
    };
    State states[3];
    int cur = 0;  // 0 outside, 1 double quote, 2 single quote
    std::optional<std::size_t> accepted;
    for (std::size_t i = 0; i < t.size(); ++i) {
        char c = t[i];
        if (c == '\\') {
            ++i;
            continue;
        }
        if (c == '"' && cur != 2) {
            cur = cur == 1 ? 0 : 1;
            if (cur == 1) states[cur] = State{};
        } else if (c == '\'' && cur != 1) {
            cur = cur == 2 ? 0 : 2;
            if (cur == 2) states[cur] = State{};
        } else if (c == '{') {
            states[cur].candidate = i;
            states[cur].open = true;
        } else if (c == '}') {
            if (i == final_close) {
                if (states[cur].open && states[cur].candidate) accepted = states[cur].candidate;
            } else {
                states[cur] = State{};
            }
        }
    }
    if (!accepted) return std::nullopt;
    std::string_view inside = t.substr(*accepted + 1, final_close - *accepted - 1);
    bool colon = !inside.empty() && inside.front() == ':';
    if (colon) inside.remove_prefix(1);
    if (!looks_like_attrs(text::trim(inside), colon)) return std::nullopt;
    // A block with a word that is no attribute stays text: its attributes
    // could not carry that word.
    if (!attrs_body_valid(text::trim(inside))) return std::nullopt;
    return AttrSpan{*accepted, t.size()};
}

std::pair<std::string, ast::Attr> strip_trailing_attr(std::string_view text) {
    auto span = trailing_attr_span(text);
    if (!span) return {std::string(text::trim(text)), ast::Attr{}};
    std::string_view inside = text.substr(span->start + 1, span->end - span->start - 2);
    if (!inside.empty() && inside.front() == ':') inside.remove_prefix(1);
    return {std::string(text::trim_end(text.substr(0, span->start))), parse_attrs_body(text::trim(inside))};
}

}  // namespace tavrel::attrs
