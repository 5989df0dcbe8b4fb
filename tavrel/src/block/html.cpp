// Raw HTML blocks and markdown containers of the Markdown reader.
//
// HTML written at block level is kept verbatim as an `HtmlBlock`: the
// canonical writer falls back on HTML fragments wherever Markdown cannot
// express a node, and those fragments must come back byte for byte. A line
// opens a block of one of three kinds (a balanced container element tracked
// by its nesting depth, a comment, or a block-level tag that runs to the next
// blank line); `draft_raw` cleans the collected text (unknown tags are
// escaped so that they stay text) and finds template tokens in it. A block
// element carrying markdown="1" instead opens a markdown container, whose
// content is read as Markdown between raw opening and closing tags.
#include <algorithm>
#include <array>
#include <string>

#include "tavrel/block.hpp"
#include "tavrel/text.hpp"

namespace tavrel::block {

namespace {

bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_alnum(char c) { return is_ascii_alpha(c) || (c >= '0' && c <= '9'); }
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

bool istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

// Length of the White_Space character at `i`, or 0.
std::size_t ws_at(std::string_view s, std::size_t i) {
    if (i >= s.size()) return 0;
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return (c == ' ' || (c >= '\t' && c <= '\r')) ? 1 : 0;
    auto d = text::decode_utf8(s, i);
    return text::is_white_space(d.cp) ? d.len : 0;
}

// The first ">" at or after `from` outside single- or double-quoted stretches.
std::optional<std::size_t> tag_close(std::string_view s, std::size_t from) {
    char quote = 0;
    for (std::size_t i = from; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::nullopt;
}

// Whether the tag text before its ">" ends with "/" (trailing space aside).
bool self_closing(std::string_view tag_before_gt) {
    std::string_view t = text::trim_end(tag_before_gt);
    return !t.empty() && t.back() == '/';
}

bool in_set(std::string_view name, std::initializer_list<std::string_view> set) {
    return std::find(set.begin(), set.end(), name) != set.end();
}

// Tag names of the opening tags that put a template token in row context,
// and of the closing tags that do.
bool row_context_open(std::string_view name) { return in_set(name, {"table", "thead", "tbody", "tfoot"}); }
bool row_context_close(std::string_view name) { return in_set(name, {"tr", "thead", "tbody", "tfoot"}); }

// The name at `pos` up to the first character that is not an ASCII letter or
// digit, lower-cased.
std::string alnum_name(std::string_view s, std::size_t pos) {
    std::size_t e = pos;
    while (e < s.size() && is_ascii_alnum(s[e])) ++e;
    return lower(s.substr(pos, e - pos));
}

// In the cleaning pass, a name counts as HTML when the reader knows it; the
// writer's own raw-data fallbacks are "script" elements, so that name counts
// too (and its content is copied untouched, like any raw-text element).
bool cleaning_knows(std::string_view name) { return name == "script" || is_md_html_tag(name); }

// The position of the next "</name" (ASCII case-insensitive) followed by a
// character that is not an ASCII letter or digit, or by the end.
std::size_t find_raw_text_end(std::string_view s, std::size_t from, std::string_view name) {
    for (std::size_t i = s.find("</", from); i != std::string_view::npos; i = s.find("</", i + 1)) {
        std::size_t e = i + 2 + name.size();
        if (e <= s.size() && iequals(s.substr(i + 2, name.size()), name) &&
            (e == s.size() || !is_ascii_alnum(s[e])))
            return i;
    }
    return s.size();
}

}  // namespace

// ---------------------------------------------------------------------------
// Names and sets.

std::optional<std::size_t> tag_name_end(std::string_view text) {
    if (text.empty() || !is_ascii_alpha(text[0])) return std::nullopt;
    std::size_t i = 1;
    while (i < text.size() && (is_ascii_alnum(text[i]) || text[i] == '-')) ++i;
    return i;
}

std::optional<std::string> html_tag_name(std::string_view text) {
    std::size_t start;
    if (text.starts_with("</")) {
        start = 2;
    } else if (text.starts_with("<")) {
        start = 1;
    } else {
        return std::nullopt;
    }
    if (start >= text.size()) return std::nullopt;
    char c = text[start];
    if (c == '!' || c == '/' || c == '?') return std::nullopt;
    auto end = tag_name_end(text.substr(start));
    if (!end) return std::nullopt;
    std::size_t after = start + *end;
    if (after < text.size() && text[after] != '/' && text[after] != '>' && ws_at(text, after) == 0)
        return std::nullopt;
    return lower(text.substr(start, *end));
}

bool is_void_html_tag(std::string_view name) {
    return in_set(name, {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "param",
                         "source", "track", "wbr"});
}

bool is_balanced_html_container_tag(std::string_view name) {
    if (name.find('-') != std::string_view::npos) return true;
    return in_set(name, {"dd", "dl", "dt", "li", "ol", "td", "th", "tr", "ul", "div", "pre", "table", "tbody",
                         "tfoot", "thead", "figure", "caption", "section", "blockquote", "figcaption"});
}

bool is_raw_text_html_tag(std::string_view name) {
    return in_set(name,
                  {"script", "style", "textarea", "title", "xmp", "iframe", "noembed", "noframes", "plaintext"});
}

bool is_md_block_html_tag(std::string_view name) {
    return in_set(name, {"p",     "dd",    "dl",    "dt",     "h1",      "h2",      "h3",
                         "h4",    "h5",    "h6",    "hr",     "li",      "ol",      "td",
                         "th",    "tr",    "ul",    "div",    "pre",     "table",   "tbody",
                         "tfoot", "thead", "figure", "caption", "section", "blockquote", "figcaption"});
}

bool is_md_html_tag(std::string_view name) {
    if (name.find('-') != std::string_view::npos || is_md_block_html_tag(name)) return true;
    return in_set(name, {"a", "b", "i", "s", "u", "br", "em", "del", "img", "ins", "kbd", "sub", "sup", "abbr",
                         "code", "mark", "span", "input", "strong", "template"});
}

// ---------------------------------------------------------------------------
// Attributes of opening tags.

std::optional<std::size_t> parse_html_attr_value(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return std::nullopt;
    char q = text[pos];
    if (q == '"' || q == '\'') {
        auto close = text.find(q, pos + 1);
        if (close == std::string_view::npos) return std::nullopt;
        return close + 1;
    }
    std::size_t i = pos;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"' || c == '\'' || c == '`' || c == '<' || c == '=' || c == '>' || ws_at(text, i)) break;
        ++i;
    }
    if (i == pos) return std::nullopt;
    return i;
}

std::optional<std::string_view> valid_open_tag_attrs(std::string_view attrs) {
    std::size_t i = 0;
    while (true) {
        std::size_t skipped = 0;
        while (std::size_t w = ws_at(attrs, i)) {
            i += w;
            skipped += w;
        }
        if (i >= attrs.size()) return text::trim(attrs);
        if (attrs[i] == '/') {
            if (i + 1 == attrs.size()) return text::trim(attrs);
            return std::nullopt;
        }
        if (skipped == 0) return std::nullopt;
        char c = attrs[i];
        if (!(is_ascii_alpha(c) || c == '_' || c == ':')) return std::nullopt;
        ++i;
        while (i < attrs.size() && (is_ascii_alnum(attrs[i]) || attrs[i] == '_' || attrs[i] == '.' ||
                                    attrs[i] == ':' || attrs[i] == '-'))
            ++i;
        std::size_t j = i;
        while (std::size_t w = ws_at(attrs, j)) j += w;
        if (j < attrs.size() && attrs[j] == '=') {
            ++j;
            while (std::size_t w = ws_at(attrs, j)) j += w;
            auto end = parse_html_attr_value(attrs, j);
            if (!end) return std::nullopt;
            i = *end;
        }
    }
}

// ---------------------------------------------------------------------------
// Markdown containers.

std::optional<MarkdownOpenTag> markdown_open_tag(std::string_view text) {
    if (text.size() < 2 || text[0] != '<') return std::nullopt;
    char c1 = text[1];
    if (c1 == '!' || c1 == '/' || c1 == '?') return std::nullopt;
    auto name_end = tag_name_end(text.substr(1));
    if (!name_end) return std::nullopt;
    std::string name = lower(text.substr(1, *name_end));
    if (!is_balanced_html_container_tag(name) || is_void_html_tag(name)) return std::nullopt;

    std::size_t i = 1 + *name_end;
    std::size_t item_end = i;  // end of the previous item (name or attribute)
    std::optional<std::pair<std::size_t, std::size_t>> span;
    while (true) {
        std::size_t skipped = 0;
        while (std::size_t w = ws_at(text, i)) {
            i += w;
            skipped += w;
        }
        if (i >= text.size()) return std::nullopt;
        if (text[i] == '/') return std::nullopt;
        if (text[i] == '>') {
            if (i + 1 != text.size()) return std::nullopt;
            break;
        }
        if (skipped == 0) return std::nullopt;
        std::size_t name_start = i;
        while (i < text.size() && !ws_at(text, i) && text[i] != '/' && text[i] != '=' && text[i] != '>') ++i;
        std::string attr_name = lower(text.substr(name_start, i - name_start));
        std::string_view value;
        bool has_value = false;
        if (i < text.size() && text[i] == '=') {
            auto end = parse_html_attr_value(text, i + 1);
            if (!end) return std::nullopt;
            value = text.substr(i + 1, *end - i - 1);
            if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'')) value = value.substr(1, value.size() - 2);
            has_value = true;
            i = *end;
        }
        if (!span && attr_name == "markdown" && has_value && value == "1") span = {item_end, i};
        item_end = i;
    }
    if (!span) return std::nullopt;
    MarkdownOpenTag out;
    out.name = std::move(name);
    out.open_tag = std::string(text.substr(0, span->first));
    out.open_tag.append(text.substr(span->second));
    return out;
}

bool html_comment_open_after(std::string_view text, bool open) {
    std::size_t pos = 0;
    while (true) {
        if (open) {
            std::size_t close = text.find("-->", pos);
            if (close == std::string_view::npos) return true;
            pos = close + 3;
            open = false;
        }
        std::size_t start = text.find("<!--", pos);
        if (start == std::string_view::npos) return false;
        pos = start + 4;
        open = true;
    }
}

void update_html_tag_depth(std::string_view text, std::string_view name, std::size_t& depth) {
    std::size_t i = 0;
    while ((i = text.find('<', i)) != std::string_view::npos) {
        if (text.substr(i).starts_with("<!--")) {
            auto close = text.find("-->", i + 4);
            if (close == std::string_view::npos) return;
            i = close + 3;
            continue;
        }
        bool closing = i + 1 < text.size() && text[i + 1] == '/';
        std::size_t name_start = i + (closing ? 2 : 1);
        auto end = tag_name_end(text.substr(std::min(name_start, text.size())));
        if (!end) {
            ++i;
            continue;
        }
        std::size_t after = name_start + *end;
        if (after < text.size() && !ws_at(text, after) && text[after] != '>' && text[after] != '/') {
            ++i;
            continue;
        }
        std::string tag = lower(text.substr(name_start, *end));
        if (!is_md_html_tag(tag)) {
            ++i;
            continue;
        }
        auto gt = tag_close(text, i + 1);
        if (!gt) return;
        if (tag == lower(name)) {
            if (closing) {
                if (depth > 0) --depth;
            } else if (!self_closing(text.substr(i, *gt - i)) && !is_void_html_tag(tag)) {
                ++depth;
            }
        }
        i = *gt + 1;
    }
}

// ---------------------------------------------------------------------------
// Tag ends.

std::optional<std::size_t> TagEnds::scan(std::size_t from) {
    std::optional<std::size_t> end = tag_close(text_, from);
    steps_ += (end ? *end + 1 : std::max(text_.size(), from)) - from;
    return end;
}

// For every "<" at or after `from`, the ">" that a scan starting after it
// finds: walking backwards, `next` is that answer for the position after the
// current byte, and a quote's answer is the one after its closing quote.
void TagEnds::build(std::size_t from) {
    constexpr std::size_t none = std::string_view::npos;
    table_ = true;
    base_ = from;
    std::size_t next = none;
    std::size_t after_double = none, after_single = none;  // answers after the next closing quote
    bool seen_double = false, seen_single = false;
    for (std::size_t i = text_.size(); i-- > from;) {
        ++steps_;
        char c = text_[i];
        if (c == '<') ends_.emplace_back(i, next);
        std::size_t here = next;
        if (c == '>') {
            here = i;
        } else if (c == '"') {
            here = seen_double ? after_double : none;
            after_double = next;
            seen_double = true;
        } else if (c == '\'') {
            here = seen_single ? after_single : none;
            after_single = next;
            seen_single = true;
        }
        next = here;
    }
    std::reverse(ends_.begin(), ends_.end());
}

std::optional<std::size_t> TagEnds::at(std::size_t lt) {
    if (table_ && lt >= base_) {
        auto it = std::lower_bound(ends_.begin(), ends_.end(), std::make_pair(lt, std::size_t{0}));
        ++steps_;
        if (it != ends_.end() && it->first == lt) {
            if (it->second == std::string_view::npos) return std::nullopt;
            return it->second;
        }
    }
    // Tags that end are passed over by the caller, so their scans add up to
    // the text's length; the first that does not end makes the table.
    auto gt = scan(lt + 1);
    if (!gt && !table_) build(lt);
    return gt;
}

// ---------------------------------------------------------------------------
// Opening blocks and containers.

bool ContainerBuilder::open_html_block(std::string_view line) {
    std::string_view t = text::trim_start(line);
    if (t.empty() || t[0] != '<') return false;

    node::HtmlBlock block;
    block.text.assign(line);
    block.text.push_back('\n');

    // 1. A balanced container element.
    bool balanced = false;
    if (t.size() > 1 && t[1] != '!' && t[1] != '/' && t[1] != '?') {
        auto end = tag_name_end(t.substr(1));
        if (end) {
            std::size_t after = 1 + *end;
            if (after >= t.size() || ws_at(t, after) || t[after] == '>' || t[after] == '/') {
                std::string name = lower(t.substr(1, *end));
                auto gt = tag_close(t, 1);
                if (gt && !self_closing(t.substr(0, *gt)) && valid_open_tag_attrs(t.substr(after, *gt - after)) &&
                    !is_void_html_tag(name) && is_balanced_html_container_tag(name)) {
                    std::size_t depth = 0;
                    update_html_tag_depth(line, name, depth);
                    block.closed = depth == 0;
                    block.end = HtmlEndBalanced{std::move(name), depth};
                    balanced = true;
                }
            }
        }
    }
    if (!balanced) {
        if (istarts_with(t, "<!--")) {
            // 2. A comment.
            block.end = HtmlEndComment{};
            block.closed = line.find("-->") != std::string_view::npos;
        } else if (auto name = html_tag_name(t); name && is_md_block_html_tag(*name)) {
            // 3. A block-level tag, to the next blank line.
            block.end = HtmlEndBlankLine{};
            block.closed = false;
        } else {
            return false;
        }
    }
    open_node(std::move(block));
    leaf_open = true;
    return true;
}

bool ContainerBuilder::open_html_container(std::string_view line) {
    if (depth() >= options.max_block_depth) return false;
    auto tag = markdown_open_tag(text::trim(line));
    if (!tag) return false;
    node::HtmlContainer c;
    c.name = std::move(tag->name);
    c.open_tag = std::move(tag->open_tag);
    std::size_t index = open_node(std::move(c));
    open.push_back(index);
    leaf_open = false;
    return true;
}

// ---------------------------------------------------------------------------
// Drafting a raw block.

DraftHtmlBlock ContainerBuilder::draft_raw(std::string_view html, std::size_t first_line, Trace& trace,
                                           std::size_t container_tag) const {
    // Pass 1: clean. Known tags and comments are copied; any other "<" that
    // would start markup is escaped so that it reads as text.
    std::string out;
    out.reserve(html.size() + 8);
    TagEnds tag_ends(html);
    std::size_t line_no = first_line;
    bool unclosed_comment = false;
    auto copy = [&](std::size_t from, std::size_t to) {
        std::string_view piece = html.substr(from, to - from);
        line_no += static_cast<std::size_t>(std::count(piece.begin(), piece.end(), '\n'));
        out.append(piece);
    };
    std::size_t i = 0;
    while (i < html.size()) {
        std::size_t lt = html.find('<', i);
        if (lt == std::string_view::npos) {
            copy(i, html.size());
            break;
        }
        copy(i, lt);
        i = lt;
        std::string_view rest = html.substr(i);
        if (rest.starts_with("<!--")) {
            auto close = html.find("-->", i + 4);
            if (close == std::string_view::npos && i < container_tag && container_tag < html.size()) {
                // The block's reading took the markdown container's tag
                // that ends it for no comment's text: the comment closes
                // before that tag, which a closer after it would leave in.
                if (i != 0) trace.events.push_back(Event{"-->", "comment", line_no});
                copy(i, container_tag);
                out += "-->";
                i = container_tag;
            } else if (close == std::string_view::npos) {
                unclosed_comment = true;
                if (i != 0) trace.events.push_back(Event{"-->", "comment", line_no});
                copy(i, html.size());
                i = html.size();
            } else {
                copy(i, close + 3);
                i = close + 3;
            }
            continue;
        }
        if (rest.size() > 1 && (rest[1] == '!' || rest[1] == '?')) {
            out += "&lt;";
            ++i;
            continue;
        }
        if (rest.starts_with("</")) {
            auto end = tag_name_end(rest.substr(2));
            if (end && cleaning_knows(lower(rest.substr(2, *end)))) {
                auto gt = html.find('>', i);
                std::size_t stop = gt == std::string_view::npos ? html.size() : gt + 1;
                copy(i, stop);
                i = stop;
            } else {
                out += "&lt;";
                ++i;
            }
            continue;
        }
        auto end = tag_name_end(rest.substr(1));
        if (!end) {
            out.push_back('<');
            ++i;
            continue;
        }
        std::string name = lower(rest.substr(1, *end));
        if (!cleaning_knows(name)) {
            out += "&lt;";
            ++i;
            continue;
        }
        auto gt = tag_ends.at(i);
        if (!gt) {
            out.push_back('<');
            ++i;
            continue;
        }
        std::size_t stop = *gt + 1;
        if (name == "script" && !self_closing(html.substr(i, *gt - i))) stop = find_raw_text_end(html, stop, name);
        copy(i, stop);
        i = stop;
    }
    if (unclosed_comment) out += "-->\n";

    DraftHtmlBlock draft;
    // Pass 2: template tokens outside markup.
    const auto& rules = options.template_delimiters;
    if (!rules.empty() && !out.empty()) {
        std::string_view s = out;
        bool row_context = false;
        std::size_t p = 0;
        while (p < s.size()) {
            if (s[p] == '<') {
                std::string_view rest = s.substr(p);
                if (rest.starts_with("<!--")) {
                    auto close = s.find("-->", p + 4);
                    p = close == std::string_view::npos ? s.size() : close + 3;
                    continue;
                }
                if (rest.starts_with("<![CDATA[")) {
                    auto close = s.find("]]>", p + 9);
                    p = close == std::string_view::npos ? s.size() : close + 3;
                    continue;
                }
                char c = rest.size() > 1 ? rest[1] : '\0';
                if (is_ascii_alpha(c) || c == '!' || c == '/' || c == '?') {
                    bool closing = c == '/';
                    bool named = is_ascii_alpha(c) || (closing && rest.size() > 2 && is_ascii_alpha(rest[2]));
                    std::string name = named ? alnum_name(s, p + (closing ? 2 : 1)) : std::string();
                    if (named) row_context = closing ? row_context_close(name) : row_context_open(name);
                    auto gt = s.find('>', p);
                    p = gt == std::string_view::npos ? s.size() : gt + 1;
                    if (named && !closing && is_raw_text_html_tag(name)) p = find_raw_text_end(s, p, name);
                    continue;
                }
                ++p;
                continue;
            }
            if (auto m = template_::token_at(s, p, rules, false)) {
                ast::HtmlToken tok;
                tok.syntax = std::move(m->token.syntax);
                tok.inner = std::move(m->token.inner);
                tok.name = std::move(m->token.name);
                tok.start = p;
                tok.end = m->end;
                tok.table_context = row_context;
                tok.kind = m->token.kind;
                draft.tokens.push_back(std::move(tok));
                p = m->end;
                continue;
            }
            p += text::decode_utf8(s, p).len;
        }
    }
    // Pass 3.
    draft.html = std::move(out);
    return draft;
}

}  // namespace tavrel::block
