// The block pass of the wikitext reader: line endings are normalised, the
// page is cut into logical lines (a comment, reference, math or nowiki
// element, template call or internal link may span line feeds and then keeps
// its lines together; a call whose name cannot be a page title is text and
// keeps nothing together), and each logical line is dispatched to a block kind:
// paragraphs, headings, lists, indented code, rules and extension elements
// here; tables, quotes, HTML containers and HTML lists in tables.cpp.
//
// Logical lines are views into the normalised text, and consecutive lines
// are separated there by exactly one line feed, so a paragraph's lines
// "joined with LF" are simply the slice from its first line to its last:
// paragraph text is never copied before the inline pass reads it.
#include <algorithm>
#include <array>
#include <cstring>

#include "reader.hpp"
#include "tables.hpp"
#include "tavrel/text.hpp"

namespace tavrel::wikitext {

using namespace tavrel::ast;
using detail::Context;
using detail::NextFinder;
using detail::find_ci;
using detail::starts_with_ci;
static constexpr std::size_t npos = std::string_view::npos;

namespace detail {

std::string_view join_lines(std::string_view text, const std::vector<std::string_view>& lines, std::size_t first,
                            std::size_t last) {
    const char* b = lines[first].data();
    const char* e = lines[last].data() + lines[last].size();
    return text.substr(static_cast<std::size_t>(b - text.data()), static_cast<std::size_t>(e - b));
}

namespace {


bool tag_delimiter(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '/' || c == '>'; }

}  // namespace

// Cuts the normalised text into logical lines. Every closer search that can
// fail is remembered, so that a page full of unclosed openers is still read
// in linear time, and a construct joins its lines whatever stands before it.
std::vector<std::string_view> cut_lines(std::string_view t) {
    std::vector<std::string_view> lines;
    lines.reserve(t.size() / 64 + 1);
    const std::size_t n = t.size();
    NextFinder comment_end, gt, ref_end, math_end, nowiki_end;
    Closers closers(t);
    std::size_t s = 0, p = 0;
    while (p < n) {
        p = find_any<'\n', '<', '{', '['>(t.data(), p, n);
        if (p >= n) break;
        char c = t[p];
        if (c == '\n') {
            lines.push_back(t.substr(s, p - s));
            s = ++p;
            continue;
        }
        if (c == '<') {
            if (t.compare(p, 4, "<!--") == 0) {
                std::size_t close = comment_end.find(p, [&](std::size_t q) { return t.find("-->", q); });
                if (close != npos) {
                    p = close + 3;
                    continue;
                }
            } else if (starts_with_ci(t, p, "<ref") && p + 4 < n && tag_delimiter(t[p + 4])) {
                std::size_t g = gt.find(p, [&](std::size_t q) { return t.find('>', q); });
                if (g == npos) {
                    p = n;
                } else if (t[g - 1] == '/') {
                    p = g + 1;
                } else {
                    std::size_t close = ref_end.find(p, [&](std::size_t q) { return find_ci(t, "</ref>", q); });
                    p = close == npos ? n : close + 6;
                }
                continue;
            } else {
                bool math = starts_with_ci(t, p, "<math") && p + 5 < n && tag_delimiter(t[p + 5]);
                bool nowiki = !math && starts_with_ci(t, p, "<nowiki") && p + 7 < n && tag_delimiter(t[p + 7]);
                if (math || nowiki) {
                    std::size_t g = gt.find(p + 1, [&](std::size_t q) { return t.find('>', q); });
                    if (g != npos) {
                        if (t[g - 1] == '/') {
                            p = g + 1;
                            continue;
                        }
                        std::size_t close =
                            math ? math_end.find(g + 1, [&](std::size_t q) { return find_ci(t, "</math>", q); })
                                 : nowiki_end.find(g + 1, [&](std::size_t q) { return find_ci(t, "</nowiki>", q); });
                        if (close != npos) {
                            p = close + (math ? 7 : 9);
                            continue;
                        }
                    }
                }
            }
        } else if (p + 1 < n && t[p + 1] == c && c != '<') {
            // "{{{", "{{" or "[["
            std::size_t w = 2;
            Closers::Kind kind = c == '[' ? Closers::kLinks : Closers::kBraces2;
            if (c == '{' && p + 2 < n && t[p + 2] == '{') {
                w = 3;
                kind = Closers::kBraces3;
            }
            std::size_t k = closers.find(p + w, kind);
            if (k != npos) {
                // A call on one line has no line break to keep or cut:
                // its name is left to the inline reader.
                if (w != 2 || c != '{' || !std::memchr(t.data() + p + w, '\n', k - p - w) ||
                    call_name_may_be_title(t, p + w, k)) {
                    p = k + w;
                    continue;
                }
                // A call whose name is no title is text: its braces are
                // ordinary characters and the constructs inside it are
                // searched next, from nested openers.
                closers.remember();
            }
        }
        ++p;  // an ordinary character
    }
    if (s < n) lines.push_back(t.substr(s));
    return lines;
}

}  // namespace detail

std::pair<std::size_t, std::string> extension_block(const std::vector<std::string_view>& lines, std::size_t start) {
    std::string_view first = detail::trim_start(lines[start]);
    std::size_t k = first.empty() ? 0 : text::decode_utf8(first, 0).len;
    std::size_t name_start = k;
    while (k < first.size() && first[k] != '>') {
        auto dc = text::decode_utf8(first, k);
        if (text::is_white_space(dc.cp)) break;
        k += dc.len;
    }
    std::string closing = "</" + detail::ascii_lower(first.substr(name_start, k - name_start)) + ">";
    std::size_t end = lines.size() - 1;
    // A self-closing tag ("<gallery />", "<syntaxhighlight lang=c/>") is an
    // empty element: it ends on its own line.
    std::size_t gt = first.find('>');
    bool self_closing = gt != npos && detail::trim_end(first.substr(0, gt)).ends_with('/');
    for (std::size_t j = start; !self_closing && j < lines.size(); ++j) {
        if (find_ci(lines[j], closing, 0) != npos) {
            end = j;
            break;
        }
    }
    if (self_closing) end = start;
    std::string joined;
    for (std::size_t j = start; j <= end; ++j) {
        if (j != start) joined.push_back('\n');
        joined.append(lines[j]);
    }
    return {end, std::move(joined)};
}

namespace document {
namespace {

struct ListLine {
    std::string_view markers;
    std::string_view content;
};

bool is_marker(char c) { return c == '*' || c == '#' || c == ':' || c == ';'; }

// ":<math>…</math>" followed by nothing but ASCII punctuation: the display
// formula (and its trailing punctuation) as TeX.
std::optional<std::string> display_math_line(std::string_view content) {
    if (!starts_with_ci(content, 0, "<math")) return std::nullopt;
    std::size_t gt = content.find('>');
    if (gt == npos) return std::nullopt;
    std::size_t close = find_ci(content, "</math>", gt + 1);
    if (close == npos) return std::nullopt;
    std::string_view after = content.substr(close + 7);
    for (char c : detail::trim(after))
        if (!text::is_ascii_punctuation(static_cast<unsigned char>(c))) return std::nullopt;
    std::string tex(content.substr(gt + 1, close - gt - 1));
    tex.append(after);
    return tex;
}

Paragraph para(std::string_view text, Context& cx) { return Paragraph{Attr{}, detail::read_inlines(text, cx)}; }

}  // namespace

// Reads list lines from `idx` at nesting depth `level`. A line whose marker
// run skips depths (a run that starts with "**x", or "*a" then "***b") is an
// item at the deepest depth its list can reach, and lines of the same run
// length after it are its siblings, so no line of a list run is dropped.
Blocks list_level(const std::vector<ListLine>& run, std::size_t& idx, std::size_t level, Context& cx) {
    Blocks out;
    while (idx < run.size() && run[idx].markers.size() > level) {
        const ListLine& line = run[idx];
        char c = line.markers[level];
        if (c == ':') {
            if (auto tex = display_math_line(line.content)) {
                out.emplace_back(MathBlock{Attr{}, std::move(*tex), true});
                ++idx;
                continue;
            }
            BlockQuote bq;
            while (idx < run.size() && run[idx].markers.size() > level && run[idx].markers[level] == ':') {
                bq.blocks.emplace_back(para(run[idx].content, cx));
                ++idx;
                if (idx < run.size() && run[idx].markers.size() > level + 1) {
                    Blocks nested = list_level(run, idx, level + 1, cx);
                    for (auto& b : nested) bq.blocks.push_back(std::move(b));
                }
            }
            out.emplace_back(std::move(bq));
            continue;
        }
        if (c == ';') {
            DefinitionItem item;
            item.terms.push_back(DefinitionTerm{Attr{}, detail::read_inlines(line.content, cx)});
            ++idx;
            while (idx < run.size() && run[idx].markers.size() == level + 1 && run[idx].markers.back() == ':') {
                item.definitions.push_back(detail::read_inlines(run[idx].content, cx));
                ++idx;
            }
            DefinitionList dl;
            dl.items.push_back(std::move(item));
            out.emplace_back(std::move(dl));
            continue;
        }
        List list;
        list.ordered = c == '#';
        list.tight = true;
        list.start = 1;
        // `width` is the marker count of the item just read; a later line is
        // a sibling when its count lies between level + 1 and that width (for
        // well-formed lists: exactly level + 1), and nests when it is longer.
        std::size_t width = line.markers.size();
        bool first = true;
        while (idx < run.size()) {
            const ListLine& cur = run[idx];
            std::size_t m = cur.markers.size();
            if (!first && !(m >= level + 1 && m <= width && cur.markers[level] == c)) break;
            first = false;
            width = m;
            ListItem item;
            item.blocks.emplace_back(para(cur.content, cx));
            ++idx;
            if (idx < run.size() && run[idx].markers.size() > width) {
                Blocks nested = list_level(run, idx, width, cx);
                for (auto& b : nested) item.blocks.push_back(std::move(b));
            }
            list.items.push_back(std::move(item));
        }
        out.emplace_back(std::move(list));
    }
    return out;
}

namespace {

class BlockReader {
public:
    BlockReader(std::string_view text, const std::vector<std::string_view>& lines, Context& cx, Blocks& out)
        : text_(text), lines_(lines), cx_(cx), out_(out) {}

    void run() {
        const std::size_t count = lines_.size();
        std::size_t i = 0;
        while (i < count) {
            std::string_view line = lines_[i];
            std::string_view lead = detail::trim_start(line);
            std::string_view trimmed = detail::trim_end(lead);
            if (trimmed.empty()) {
                flush();
                ++i;
                continue;
            }
            if (lead.starts_with("{|")) {
                flush();
                auto last = detail::read_table(text_, lines_, i, cx_, out_);
                if (!last) return rest_raw(i);
                i = *last + 1;
                continue;
            }
            if (trimmed[0] == '<') {
                if (auto tag = html_open(trimmed); tag && tag->name == "blockquote" && !tag->is_void) {
                    flush();
                    auto quote = detail::read_blockquote(lines_, i, trimmed.substr(tag->end), std::move(tag->attrs),
                                                         cx_, out_);
                    if (!quote) return rest_raw(i);
                    i = quote->last + 1;
                    if (!detail::trim(quote->tail).empty()) add_pending(quote->tail);
                    continue;
                }
                if (auto name = container_name(lead)) {
                    flush();
                    i = detail::read_container(text_, lines_, i, *name, out_) + 1;
                    continue;
                }
            }
            if (std::uint8_t level = heading_level(trimmed)) {
                flush();
                std::string_view inner = detail::trim(trimmed.substr(level, trimmed.size() - 2 * level));
                out_.emplace_back(Heading{Attr{}, detail::read_inlines(inner, cx_), level});
                ++i;
                continue;
            }
            if (trimmed[0] == '<' && html_list_item(line)) {
                flush();
                i = detail::read_html_list(lines_, i, cx_, out_) + 1;
                continue;
            }
            if (line[0] == ' ') {
                flush();
                i = code_block(i);
                continue;
            }
            if (is_marker(line[0])) {
                flush();
                i = list_run(i);
                continue;
            }
            if (trimmed.size() >= 4 && trimmed.find_first_not_of('-') == npos) {
                flush();
                out_.emplace_back(ThematicBreak{});
                ++i;
                continue;
            }
            if (lead[0] == '<' && is_extension(lead)) {
                flush();
                auto [end, joined] = extension_block(lines_, i);
                out_.emplace_back(RawBlock{"wikitext", std::move(joined)});
                i = end + 1;
                continue;
            }
            add_pending(line);
            ++i;
        }
        flush();
    }

private:
    std::string_view text_;
    const std::vector<std::string_view>& lines_;
    Context& cx_;
    Blocks& out_;
    const char* pend_begin_ = nullptr;  // pending paragraph: a slice of text_
    const char* pend_end_ = nullptr;

    void add_pending(std::string_view piece) {
        if (!pend_begin_) pend_begin_ = piece.data();
        pend_end_ = piece.data() + piece.size();
    }

    void flush() {
        if (!pend_begin_) return;
        std::string_view slice(pend_begin_, static_cast<std::size_t>(pend_end_ - pend_begin_));
        pend_begin_ = pend_end_ = nullptr;
        Inlines content = detail::read_inlines(slice, cx_);
        if (content.size() == 1) {
            if (auto* m = content[0].as<Math>(); m && m->display) {
                out_.emplace_back(MathBlock{std::move(m->attr), std::move(m->tex), true});
                return;
            }
        }
        out_.emplace_back(Paragraph{Attr{}, std::move(content)});
    }

    // An unclosed table or quote: the rest of the page, verbatim.
    void rest_raw(std::size_t i) {
        out_.push_back(raw(detail::join_lines(text_, lines_, i, lines_.size() - 1)));
    }

    static std::optional<std::string_view> container_name(std::string_view lead) {
        for (std::string_view name : {std::string_view("div"), std::string_view("center"), std::string_view("table")}) {
            if (lead.size() > name.size() + 1 && starts_with_ci(lead, 1, name)) {
                char c = lead[name.size() + 1];
                if (c == '\t' || c == ' ' || c == '/' || c == '>') return name;
            }
        }
        return std::nullopt;
    }

    static bool is_extension(std::string_view lead) {
        return starts_with_ci(lead, 0, "<gallery") || starts_with_ci(lead, 0, "<imagemap") ||
               starts_with_ci(lead, 0, "<timeline") || starts_with_ci(lead, 0, "<syntaxhighlight") ||
               starts_with_ci(lead, 0, "<source");
    }

    // 1 to 6 for "== A ==" forms, 0 otherwise.
    static std::uint8_t heading_level(std::string_view t) {
        if (t[0] != '=') return 0;
        std::size_t n = 0, m = 0;
        while (n < t.size() && t[n] == '=') ++n;
        while (m < t.size() && t[t.size() - 1 - m] == '=') ++m;
        if (n < 1 || n > 6 || n != m || t.size() <= 2 * n) return 0;
        return static_cast<std::uint8_t>(n);
    }

    std::size_t code_block(std::size_t i) {
        CodeBlock code;
        std::size_t j = i;
        while (j < lines_.size() && !lines_[j].empty() && lines_[j][0] == ' ') {
            if (j != i) code.text.push_back('\n');
            code.text.append(lines_[j].substr(1));
            ++j;
        }
        out_.emplace_back(std::move(code));
        return j;
    }

    std::size_t list_run(std::size_t i) {
        std::vector<ListLine> run;
        std::size_t j = i;
        while (j < lines_.size() && !lines_[j].empty() && is_marker(lines_[j][0])) {
            std::string_view l = lines_[j];
            std::size_t k = 0;
            // Markers past the depth limit are kept as text of the item.
            while (k < l.size() && k < detail::kMaxListDepth && is_marker(l[k])) ++k;
            run.push_back(ListLine{l.substr(0, k), detail::trim_start(l.substr(k))});
            ++j;
        }
        std::size_t idx = 0;
        while (idx < run.size()) {
            Blocks blocks = list_level(run, idx, 0, cx_);
            for (auto& b : blocks) out_.push_back(std::move(b));
        }
        return j;
    }
};

}  // namespace

Document parse(std::string_view input) {
    Document doc;
    std::string normalised;
    std::string_view text = input;
    if (input.find('\r') != npos) {
        normalised.reserve(input.size());
        for (std::size_t k = 0; k < input.size(); ++k) {
            if (input[k] == '\r') {
                normalised.push_back('\n');
                if (k + 1 < input.size() && input[k + 1] == '\n') ++k;
            } else {
                normalised.push_back(input[k]);
            }
        }
        text = normalised;
    }
    Context cx(doc.footnotes);
    std::vector<std::string_view> lines = detail::cut_lines(text);
    // Blocks are large and a page has about one per two lines; growing the
    // list by doubling would move every block several times. The cap keeps a
    // page of thousands of list lines (one block) from holding idle room.
    doc.blocks.reserve(std::min<std::size_t>(lines.size() / 2 + 1, 512));
    BlockReader(text, lines, cx, doc.blocks).run();
    return doc;
}

}  // namespace document
}  // namespace tavrel::wikitext
