// Link reference definitions: "[label]: destination "title" {attrs}", over
// one or several lines.
//
// The writer never writes definitions (every link is written inline), but
// the reader accepts them for hand-written text. One scanner serves both
// places that read them: the top-level pass over the source lines and the
// paragraph finisher over a paragraph's lines. A definition that fails at
// any step consumes nothing and its lines stay ordinary text.
#include <string>
#include <utility>

#include "tavrel/attrs.hpp"
#include "tavrel/block.hpp"
#include "tavrel/entity.hpp"
#include "tavrel/text.hpp"

namespace tavrel::block {

namespace {

bool is_ws_at(std::string_view s, std::size_t i) {
    return i < s.size() && text::is_white_space(text::decode_utf8(s, i).cp);
}

char closer_of(char opener) { return opener == '(' ? ')' : opener; }

// The title over as many lines as it needs: (title, text after the closer,
// next unused line).
struct TitleMatch {
    std::string title;
    std::string rest;
    std::size_t next;
};
// Whether `text` holds `close` not escaped by a backslash.
bool has_unescaped(std::string_view text, char close) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == close) {
            return true;
        }
    }
    return false;
}

std::optional<TitleMatch> scan_title_lines(std::string_view first, const std::vector<std::string_view>& lines,
                                           std::size_t index) {
    std::string s(first);
    if (!has_closing_definition_title(s)) {
        // Only the lines added can hold the closer: look at each once, so a
        // title that never closes costs one pass over its lines.
        char close = closer_of(text::trim_start(first).empty() ? '"' : text::trim_start(first)[0]);
        while (true) {
            if (index >= lines.size() || line::is_blank(lines[index])) return std::nullopt;
            std::string_view added = text::trim_end(lines[index]);
            s.push_back('\n');
            s.append(added);
            ++index;
            if (has_unescaped(added, close)) break;
        }
    }
    auto t = scan_link_ref_title(s);
    if (!t) return std::nullopt;
    return TitleMatch{entity::decode_entities(t->first), s.substr(t->second), index};
}

}  // namespace

bool starts_definition_title(std::string_view text) {
    std::string_view t = text::trim_start(text);
    return !t.empty() && (t[0] == '"' || t[0] == '\'' || t[0] == '(');
}

bool has_closing_definition_title(std::string_view text) {
    std::string_view t = text::trim_start(text);
    if (t.empty() || !(t[0] == '"' || t[0] == '\'' || t[0] == '(')) return false;
    char close = closer_of(t[0]);
    for (std::size_t i = 1; i < t.size(); ++i) {
        if (t[i] == '\\') {
            ++i;
        } else if (t[i] == close) {
            return true;
        }
    }
    return false;
}

std::optional<std::pair<std::string, std::size_t>> scan_link_ref_title(std::string_view text) {
    std::string_view t = text::trim_start(text);
    std::size_t lead = text.size() - t.size();
    if (t.size() < 2 || !(t[0] == '"' || t[0] == '\'' || t[0] == '(')) return std::nullopt;
    char close = closer_of(t[0]);
    std::string title;
    for (std::size_t i = 1; i < t.size(); ++i) {
        char c = t[i];
        if (c == '\\' && i + 1 < t.size()) {
            if (!text::is_ascii_punctuation(static_cast<unsigned char>(t[i + 1]))) title.push_back('\\');
            title.push_back(t[i + 1]);
            ++i;
        } else if (c == close) {
            return std::make_pair(std::move(title), lead + i + 1);
        } else {
            title.push_back(c);
        }
    }
    return std::nullopt;
}

std::optional<std::pair<std::string, std::size_t>> scan_link_ref_destination(std::string_view text) {
    if (text.empty()) return std::nullopt;
    if (text[0] == '<') {
        for (std::size_t i = 1; i < text.size(); ++i) {
            char c = text[i];
            if (c == '\\' && i + 1 < text.size()) {
                ++i;
            } else if (c == '\n') {
                return std::nullopt;
            } else if (c == '>') {
                std::string_view inner = text.substr(1, i - 1);
                return std::make_pair(entity::decode_entities(entity::unescape_backslash_punctuation(inner)), i + 1);
            }
        }
        return std::nullopt;
    }
    std::size_t depth = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            i += 2;
            continue;
        }
        if (is_ws_at(text, i)) break;
        if (c == '<') return std::nullopt;
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (depth == 0) break;
            --depth;
        }
        ++i;
    }
    if (i == 0 || depth != 0) return std::nullopt;
    std::string_view raw = text.substr(0, i);
    return std::make_pair(entity::decode_entities(entity::unescape_backslash_punctuation(raw)), i);
}

std::optional<Attr> parse_link_ref_attrs(std::string_view text) {
    std::string_view t = text::trim(text);
    if (t.empty()) return Attr{};
    auto b = attrs::parse_braced_attr(t);
    if (!b || b->len != t.size()) return std::nullopt;
    return std::move(b->attr);
}

std::optional<LinkDefMatch> scan_link_ref_def(const std::vector<std::string_view>& lines, std::size_t index) {
    if (index >= lines.size()) return std::nullopt;
    std::string_view first = lines[index];
    if (line::indentation(first).columns > 3) return std::nullopt;
    std::string_view cur = text::trim_start(first);
    if (!cur.starts_with('[') || cur.starts_with("[^")) return std::nullopt;

    // The label, possibly over several lines.
    std::string label;
    std::size_t label_chars = 0;
    std::size_t at = index;
    std::size_t i = 1;
    while (true) {
        if (i >= cur.size()) {
            if (at + 1 >= lines.size() || line::is_blank(lines[at + 1])) return std::nullopt;
            label.push_back('\n');
            ++label_chars;
            ++at;
            cur = text::trim_start(lines[at]);
            i = 0;
            continue;
        }
        char c = cur[i];
        if (c == '[') return std::nullopt;
        if (c == ']') {
            if (i + 1 >= cur.size() || cur[i + 1] != ':') return std::nullopt;
            i += 2;
            break;
        }
        std::size_t len = (c == '\\' && i + 1 < cur.size()) ? 2 : text::decode_utf8(cur, i).len;
        label.append(cur.substr(i, len));
        i += len;
        // The partial label stays valid while it is short enough: brackets
        // were refused above, so only its length can break it.
        label_chars += (len == 2 && c == '\\') ? 2 : 1;
        if (label_chars > attrs::max_label_chars) return std::nullopt;
    }
    if (!attrs::valid_link_label(label, false) || text::trim(label).empty()) return std::nullopt;

    // The destination, on this line or the next.
    std::string_view dest_text = text::trim_start(cur.substr(i));
    if (dest_text.empty()) {
        if (at + 1 >= lines.size() || line::is_blank(lines[at + 1])) return std::nullopt;
        ++at;
        dest_text = text::trim_start(lines[at]);
    }
    auto dest = scan_link_ref_destination(dest_text);
    if (!dest) return std::nullopt;
    std::string_view rest = dest_text.substr(dest->second);
    if (!rest.empty() && !is_ws_at(rest, 0)) return std::nullopt;
    std::string_view r = text::trim_start(rest);

    LinkDefMatch m;
    m.label = std::move(label);
    m.def.destination = std::move(dest->first);
    if (!r.empty()) {
        if (starts_definition_title(r)) {
            auto title = scan_title_lines(r, lines, at + 1);
            if (!title) return std::nullopt;
            auto a = parse_link_ref_attrs(title->rest);
            if (!a) return std::nullopt;
            m.def.title = std::move(title->title);
            m.def.attrs = std::move(*a);
            m.next = title->next;
            return m;
        }
        auto a = parse_link_ref_attrs(r);
        if (!a) return std::nullopt;
        m.def.attrs = std::move(*a);
        m.next = at + 1;
        return m;
    }
    m.next = at + 1;
    if (at + 1 < lines.size() && !line::is_blank(lines[at + 1]) && starts_definition_title(lines[at + 1])) {
        auto title = scan_title_lines(text::trim_start(lines[at + 1]), lines, at + 2);
        if (title) {
            if (auto a = parse_link_ref_attrs(title->rest)) {
                m.def.title = std::move(title->title);
                m.def.attrs = std::move(*a);
                m.next = title->next;
            }
        }
    }
    return m;
}

void Parser::add_link_def(std::string_view label, inline_::LinkRef def) {
    link_defs.try_emplace(attrs::normalize_label(label), std::move(def));
}

DraftBlocks ContainerBuilder::finish_paragraph(const std::vector<std::string>& lines, std::size_t first_line,
                                               Parser& parser) {
    (void)first_line;
    std::vector<std::string_view> views(lines.begin(), lines.end());
    std::size_t start = 0;
    while (start < views.size()) {
        auto m = scan_link_ref_def(views, start);
        if (!m) break;
        parser.add_link_def(m->label, std::move(m->def));
        start = m->next;
    }
    DraftBlocks out;
    if (start >= views.size()) return out;

    // Attribute lines at the end, while a content line stays above them.
    std::size_t end = views.size();
    std::vector<Attr> found;
    while (end - start > 1) {
        auto a = attribute_line(views[end - 1]);
        if (!a) break;
        found.push_back(std::move(*a));
        --end;
    }
    Attr attr;
    if (!found.empty()) {
        ast::AttrBuilder builder(attr);
        for (auto it = found.rbegin(); it != found.rend(); ++it) builder.merge(*it);
    }

    std::string text;
    for (std::size_t i = start; i < end; ++i) {
        if (i > start) text.push_back('\n');
        text.append(text::trim_start(views[i]));
    }
    text.resize(text::trim_end(text).size());
    if (found.empty()) {
        if (auto tok = template_::line_token(text, options.template_delimiters)) {
            out.push_back(DraftTemplateToken{std::move(*tok)});
            return out;
        }
    }
    out.push_back(DraftParagraph{std::move(attr), std::move(text)});
    return out;
}

}  // namespace tavrel::block
