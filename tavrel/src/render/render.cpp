// The HTML fragment renderer. One switch over block kinds and one over inline
// kinds, each appending to a caller-owned string; the escapers below are the
// only places where bytes are changed on the way out. Raw content (raw inlines
// and raw blocks) travels in script elements so that a reader can take it back
// verbatim; a body that could close the element early is escaped and marked.
#include "tavrel/render.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_set>

#include "tavrel/text.hpp"

namespace tavrel::render {

using namespace tavrel::ast;

namespace {

constexpr std::string_view kRawType = "application/vnd.tavrel.raw";

std::string_view align_name(Align a) {
    switch (a) {
        case Align::Left: return "left";
        case Align::Center: return "center";
        case Align::Right: return "right";
        case Align::Default: break;
    }
    return {};
}

bool contains_ascii_ci(std::string_view hay, std::string_view needle) {
    if (needle.size() > hay.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        bool match = true;
        for (std::size_t k = 0; k < needle.size(); ++k) {
            char c = hay[i + k];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != needle[k]) {
                match = false;
                break;
            }
        }
        if (match) return true;
    }
    return false;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether two attribute names are one name to an HTML parser, which reads
// them without regard to ASCII case.
bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

// Whether `names` (separated by single spaces) holds `key` as one name.
bool names_hold(std::string_view names, std::string_view key) {
    while (!names.empty()) {
        std::size_t end = std::min(names.find(' '), names.size());
        if (same_name(names.substr(0, end), key)) return true;
        names.remove_prefix(std::min(end + 1, names.size()));
    }
    return false;
}

// Raw text written escaped exactly when the opening tag says so.
void raw_body(std::string_view body, std::string& out) {
    if (raw_data_needs_encoding(body)) {
        escape_text(body, out);
    } else {
        out.append(body);
    }
}

void append_number(std::uint64_t n, std::string& out) { out.append(std::to_string(n)); }

void plain_into(const Inlines& inlines, std::string& out);

void plain_node(const Inline& node, std::string& out) {
    visit(
        [&](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, Text>) {
                out.append(n.text);
            } else if constexpr (std::is_same_v<T, RawHtml>) {
                out.append(n.html);
            } else if constexpr (std::is_same_v<T, SoftBreak> || std::is_same_v<T, HardBreak>) {
                out.push_back(' ');
            } else if constexpr (std::is_same_v<T, Emph> || std::is_same_v<T, Strong> ||
                                 std::is_same_v<T, Strikeout> || std::is_same_v<T, Highlight> ||
                                 std::is_same_v<T, Span> || std::is_same_v<T, Link> || std::is_same_v<T, Note>) {
                plain_into(n.content, out);
            } else if constexpr (std::is_same_v<T, Superscript> || std::is_same_v<T, Subscript> ||
                                 std::is_same_v<T, Code>) {
                out.append(n.text);
            } else if constexpr (std::is_same_v<T, Math>) {
                out.append(n.tex);
            } else if constexpr (std::is_same_v<T, Image>) {
                plain_into(n.alt, out);
            } else if constexpr (std::is_same_v<T, Autolink>) {
                out.append(n.text);
            } else if constexpr (std::is_same_v<T, Operation>) {
                for (const auto& arg : n.args) plain_into(arg.value, out);
            } else if constexpr (std::is_same_v<T, TemplateTokenInline>) {
                out.append(n.token.source);
            } else if constexpr (std::is_same_v<T, FootnoteRef>) {
                out.append(n.label);
            }
            // RawInline contributes nothing.
        },
        node);
}

void plain_into(const Inlines& inlines, std::string& out) {
    for (const auto& node : inlines) plain_node(node, out);
}

}  // namespace

// ---------------------------------------------------------------------------
// Escapers

void escape_text(std::string_view text, std::string& out) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // (Every byte escaped here is below "?": most pass on one comparison.)
        if (static_cast<unsigned char>(text[i]) > '>') continue;
        const char* rep = nullptr;
        switch (text[i]) {
            case '&': rep = "&amp;"; break;
            case '<': rep = "&lt;"; break;
            case '>': rep = "&gt;"; break;
            // A Markdown reader takes a carriage return for a line end.
            case '\r': rep = "&#13;"; break;
            default: continue;
        }
        out.append(text.substr(run, i - run));
        out.append(rep);
        run = i + 1;
    }
    out.append(text.substr(run));
}

namespace {

template <bool one_line>
void escape_attr_as(std::string_view text, std::string& out) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // (Every byte escaped here is below "?": most pass on one comparison.)
        if (static_cast<unsigned char>(text[i]) > '>') continue;
        const char* rep = nullptr;
        switch (text[i]) {
            case '&': rep = "&amp;"; break;
            case '<': rep = "&lt;"; break;
            case '>': rep = "&gt;"; break;
            case '"': rep = "&quot;"; break;
            case '\r': rep = "&#13;"; break;
            case '\n':
                if (!one_line) continue;
                rep = "&#10;";
                break;
            default: continue;
        }
        out.append(text.substr(run, i - run));
        out.append(rep);
        run = i + 1;
    }
    out.append(text.substr(run));
}

}  // namespace

void escape_attr(std::string_view text, std::string& out) { escape_attr_as<false>(text, out); }

void escape_attr_one_line(std::string_view text, std::string& out) { escape_attr_as<true>(text, out); }

namespace {
void percent_encode_bytes(std::string_view bytes, std::string& out) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (unsigned char b : bytes) {
        out.push_back('%');
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0xF]);
    }
}
}  // namespace

void percent_encode_char(char32_t c, std::string& out) {
    std::string bytes;
    text::append_utf8(bytes, c);
    percent_encode_bytes(bytes, out);
}

void escape_url_attr(std::string_view url, std::string& out) {
    for (std::size_t i = 0; i < url.size();) {
        unsigned char b = static_cast<unsigned char>(url[i]);
        if (b < 0x80) {
            switch (b) {
                case ' ': out.append("%20"); break;
                case '"': out.append("%22"); break;
                case '<': out.append("%3C"); break;
                case '>': out.append("%3E"); break;
                case '[': out.append("%5B"); break;
                case '\\': out.append("%5C"); break;
                case ']': out.append("%5D"); break;
                case '`': out.append("%60"); break;
                case '&': out.append("&amp;"); break;
                default:
                    if (b >= 0x21 && b <= 0x7E) {
                        out.push_back(static_cast<char>(b));
                    } else {
                        percent_encode_bytes(url.substr(i, 1), out);
                    }
            }
            ++i;
            continue;
        }
        // Non-ASCII (C1 controls included): the character's own bytes, so an
        // invalid byte is encoded as itself rather than as U+FFFD.
        text::Decoded d = text::decode_utf8(url, i);
        percent_encode_bytes(url.substr(i, d.len), out);
        i += d.len;
    }
}

std::string escape_fragment(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        bool keep = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '(' ||
                    b == ')' || b == '-' || b == '.' || b == '/' || b == '_' || b == '~';
        if (keep) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        std::size_t len = b < 0x80 ? 1 : text::decode_utf8(text, i).len;
        percent_encode_bytes(text.substr(i, len), out);
        i += len;
    }
    return out;
}

void attrs_html(const Attr& attr, std::string& out, std::string_view taken) {
    if (attr.id) {
        out.append(" id=\"");
        escape_attr(*attr.id, out);
        out.push_back('"');
    }
    if (!attr.classes.empty()) {
        out.append(" class=\"");
        for (std::size_t i = 0; i < attr.classes.size(); ++i) {
            if (i) out.push_back(' ');
            escape_attr(attr.classes[i], out);
        }
        out.push_back('"');
    }
    if (attr.pairs.empty()) return;
    // An HTML parser keeps the first attribute of a name and drops the
    // others, names read without regard to ASCII case: a pair whose key so
    // read is a name the tag holds already (its id, its classes, one the
    // element writes itself, an earlier pair) is left out, so that the tag
    // holds what the parser will read. The earlier keys are compared one by
    // one while they are few, then through a set of their lower-case forms.
    constexpr std::size_t kFew = 8;
    std::string_view few[kFew];
    std::size_t written = 0;
    std::unique_ptr<std::unordered_set<std::string>> many;
    const auto lower = [](std::string_view key) {
        std::string s(key);
        for (char& c : s) c = ascii_lower(c);
        return s;
    };
    for (const auto& kv : attr.pairs) {
        const std::string& key = kv.first;
        if (key == "id" || key == "class" || !html_attr_name(key)) continue;
        if ((attr.id && same_name(key, "id")) || (!attr.classes.empty() && same_name(key, "class")) ||
            names_hold(taken, key))
            continue;
        if (many) {
            if (!many->insert(lower(key)).second) continue;
        } else if (std::any_of(few, few + written, [&](std::string_view k) { return same_name(k, key); })) {
            continue;
        } else if (written < kFew) {
            few[written++] = key;
        } else {
            many = std::make_unique<std::unordered_set<std::string>>();
            for (std::string_view k : few) many->insert(lower(k));
            many->insert(lower(key));
        }
        out.push_back(' ');
        out.append(key);
        out.append("=\"");
        escape_attr(kv.second, out);
        out.push_back('"');
    }
}

bool html_attr_name(std::string_view key) {
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (key.empty() || !(alpha(key[0]) || key[0] == '_' || key[0] == ':')) return false;
    for (char c : key.substr(1)) {
        if (!(alpha(c) || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == ':' || c == '-')) return false;
    }
    return true;
}

void template_html(std::string_view syntax, std::string_view inner, template_::TemplateTokenKind kind,
                   std::string_view name, std::string& out) {
    out.append("<template data-op=\"");
    escape_attr(syntax, out);
    out.push_back(':');
    out.append(template_::kind_name(kind));
    out.append("\">");
    escape_text(kind == template_::TemplateTokenKind::Unknown ? text::trim(inner) : name, out);
    out.append("</template>");
}

bool raw_data_needs_encoding(std::string_view body) {
    return body.find("<!--") != std::string_view::npos || contains_ascii_ci(body, "<script") ||
           contains_ascii_ci(body, "</script");
}

void raw_data_open(std::string_view format, std::string_view body, std::string& out) {
    out.append("<script type=\"");
    out.append(kRawType);
    out.append("\" data-format=\"");
    escape_attr(format, out);
    out.push_back('"');
    if (raw_data_needs_encoding(body)) out.append(" data-encoding=\"html\"");
    out.push_back('>');
}

std::string code_block_open(const Attr& attr, const std::optional<std::string>& language) {
    std::string out = "<pre";
    attrs_html(attr, out);
    out.append("><code");
    if (language) {
        out.append(" class=\"language-");
        escape_attr(*language, out);
        out.push_back('"');
    }
    out.push_back('>');
    return out;
}

std::string plain(const Inlines& inlines) {
    std::string out;
    plain_into(inlines, out);
    return out;
}

// ---------------------------------------------------------------------------
// Blocks

void Renderer::block(const Block& block, std::string& out) {
    visit(
        [&](const auto& b) {
            using T = std::decay_t<decltype(b)>;
            if constexpr (std::is_same_v<T, Paragraph>) {
                out.append("<p");
                attrs_html(b.attr, out);
                out.push_back('>');
                inlines(b.content, out);
                out.append("</p>\n");
            } else if constexpr (std::is_same_v<T, Heading>) {
                out.append("<h");
                append_number(b.level, out);
                attrs_html(b.attr, out);
                out.push_back('>');
                inlines(b.content, out);
                out.append("</h");
                append_number(b.level, out);
                out.append(">\n");
            } else if constexpr (std::is_same_v<T, BlockQuote>) {
                out.append("<blockquote");
                attrs_html(b.attr, out);
                out.append(">\n");
                for (const auto& child : b.blocks) this->block(child, out);
                out.append("</blockquote>\n");
            } else if constexpr (std::is_same_v<T, List>) {
                list(b, out);
            } else if constexpr (std::is_same_v<T, DefinitionList>) {
                out.append("<dl");
                attrs_html(b.attr, out);
                out.append(">\n");
                for (const auto& item : b.items) {
                    for (const auto& term : item.terms) {
                        out.append("<dt");
                        attrs_html(term.attr, out);
                        out.push_back('>');
                        inlines(term.content, out);
                        out.append("</dt>\n");
                    }
                    for (const auto& def : item.definitions) {
                        out.append("<dd>");
                        inlines(def, out);
                        out.append("</dd>\n");
                    }
                }
                out.append("</dl>\n");
            } else if constexpr (std::is_same_v<T, CodeBlock>) {
                out.append(code_block_open(b.attr, b.lang));
                escape_text(b.text, out);
                out.append("</code></pre>\n");
            } else if constexpr (std::is_same_v<T, HtmlBlock>) {
                // Tokens lie in ascending, non-overlapping order on character
                // boundaries of `html` (a tree invariant).
                std::size_t at = 0;
                for (const auto& tok : b.tokens) {
                    out.append(std::string_view(b.html).substr(at, tok.start - at));
                    template_html(tok.syntax, tok.inner, tok.kind, tok.name, out);
                    at = tok.end;
                }
                out.append(std::string_view(b.html).substr(at));
            } else if constexpr (std::is_same_v<T, ThematicBreak>) {
                out.append("<hr");
                attrs_html(b.attr, out);
                out.append(" />\n");
            } else if constexpr (std::is_same_v<T, Table>) {
                table(b, out);
            } else if constexpr (std::is_same_v<T, Div>) {
                out.append("<div");
                attrs_html(b.attr, out);
                out.append(">\n");
                for (const auto& child : b.blocks) this->block(child, out);
                out.append("</div>\n");
            } else if constexpr (std::is_same_v<T, MathBlock>) {
                Attr a = b.attr;
                a.push_class(std::string_view("math"));
                a.push_class(std::string_view("display"));
                out.append("<div");
                attrs_html(a, out);
                out.push_back('>');
                escape_text(b.tex, out);
                out.append("</div>\n");
            } else if constexpr (std::is_same_v<T, Figure>) {
                out.append("<figure");
                attrs_html(b.attr, out);
                out.append(">\n");
                if (const auto* img = b.image.template as<Image>()) {
                    Image bare = *img;
                    bare.alt.clear();
                    inline_node(Inline(std::move(bare)), out);
                } else {
                    inline_node(b.image, out);
                }
                if (!b.caption.empty()) {
                    out.append("\n<figcaption>");
                    inlines(b.caption, out);
                    out.append("</figcaption>");
                }
                out.append("\n</figure>\n");
            } else if constexpr (std::is_same_v<T, TemplateTokenBlock>) {
                template_html(b.token.syntax, b.token.inner, b.token.kind, b.token.name, out);
                out.push_back('\n');
            } else if constexpr (std::is_same_v<T, RawBlock>) {
                raw_data_open(b.format, b.text, out);
                raw_body(b.text, out);
                out.append("</script>\n");
            } else if constexpr (std::is_same_v<T, FormatBlock>) {
                out.append("<script type=\"text/");
                escape_attr(b.format, out);
                out.append("-block\"");
                if (raw_data_needs_encoding(b.text)) out.append(" data-encoding=\"html\"");
                out.append(">\n");
                raw_body(b.text, out);
                out.append("</script>\n");
            }
        },
        block);
}

void Renderer::list(const List& l, std::string& out) {
    Attr a = l.attr;
    for (const auto& item : l.items) {
        if (item.task) {
            a.push_class(std::string_view("task-list"));
            break;
        }
    }
    out.append(l.ordered ? "<ol" : "<ul");
    attrs_html(a, out, l.ordered && l.start != 1 ? "start" : "");
    if (l.ordered && l.start != 1) {
        out.append(" start=\"");
        append_number(l.start, out);
        out.push_back('"');
    }
    out.append(">\n");
    for (const auto& item : l.items) {
        out.append("<li");
        attrs_html(item.attr, out);
        out.push_back('>');
        if (item.task) {
            out.append("<input type=\"checkbox\" disabled=\"disabled\"");
            if (*item.task) out.append(" checked=\"checked\"");
            out.append(" /> ");
        }
        if (l.tight) {
            for (const auto& child : item.blocks) {
                if (const auto* p = child.as<Paragraph>()) {
                    inlines(p->content, out);
                } else {
                    out.push_back('\n');
                    block(child, out);
                }
            }
        } else {
            out.push_back('\n');
            for (const auto& child : item.blocks) block(child, out);
        }
        out.append("</li>\n");
    }
    out.append(l.ordered ? "</ol>\n" : "</ul>\n");
}

void Renderer::table(const Table& t, std::string& out) {
    out.append("<table");
    attrs_html(t.attr, out);
    out.append(">\n");
    if (!t.caption.empty()) {
        out.append("<caption>");
        inlines(t.caption, out);
        out.append("</caption>\n");
    }
    if (!t.head.empty()) {
        out.append("<thead>\n");
        for (const auto& row : t.head) table_row(row, t.aligns, "th", out);
        out.append("</thead>\n");
    }
    if (!t.body.empty() || !t.interludes.empty()) {
        out.append("<tbody>\n");
        auto interludes_at = [&](std::size_t index) {
            for (const auto& [at, node] : t.interludes) {
                if (at != index) continue;
                inline_node(node, out);
                out.push_back('\n');
            }
        };
        for (std::size_t i = 0; i < t.body.size(); ++i) {
            interludes_at(i);
            table_row(t.body[i], t.aligns, "td", out);
        }
        interludes_at(t.body.size());
        out.append("</tbody>\n");
    }
    if (!t.foot.empty()) {
        out.append("<tfoot>\n");
        for (const auto& row : t.foot) table_row(row, t.aligns, "td", out);
        out.append("</tfoot>\n");
    }
    out.append("</table>\n");
}

void Renderer::table_row(const TableRow& row, const std::vector<Align>& aligns, std::string_view tag,
                         std::string& out) {
    out.append("<tr");
    attrs_html(row.attr, out);
    out.push_back('>');
    for (std::size_t i = 0; i < row.cells.size(); ++i) {
        const auto& cell = row.cells[i];
        out.push_back('<');
        out.append(tag);
        Align align = cell.align;
        if (align == Align::Default && i < aligns.size()) align = aligns[i];
        attrs_html(cell.attr, out, align != Align::Default ? "align" : "");
        if (align != Align::Default) {
            out.append(" align=\"");
            out.append(align_name(align));
            out.push_back('"');
        }
        out.push_back('>');
        inlines(cell.content, out);
        out.append("</");
        out.append(tag);
        out.push_back('>');
    }
    out.append("</tr>\n");
}

// ---------------------------------------------------------------------------
// Inlines

void Renderer::inlines(const Inlines& run, std::string& out) {
    for (const auto& node : run) inline_node(node, out);
}

void Renderer::footnote_ref(std::string_view label, std::string& out) {
    std::string key(label);
    std::uint64_t number;
    if (auto it = footnote_numbers.find(key); it != footnote_numbers.end()) {
        number = it->second;
    } else {
        footnote_order.push_back(key);
        number = footnote_order.size();
        footnote_numbers.emplace(key, number);
    }
    std::uint64_t k = footnote_ref_counts[key]++;
    std::string f = escape_fragment(label);
    std::string ref_id = "fnref-" + f;
    if (k > 0) {
        ref_id.push_back('-');
        ref_id.append(std::to_string(k + 1));
    }
    out.append("<sup id=\"");
    escape_attr(ref_id, out);
    out.append("\"><a href=\"#");
    escape_attr("fn-" + f, out);
    out.append("\" class=\"footnote-ref\" role=\"doc-noteref\">");
    append_number(number, out);
    out.append("</a></sup>");
}

Renderer::~Renderer() = default;

// Each note takes the number after the note before it, passing over the
// labels taken; where none is (nearly always), the n-th note met is
// "__note{n}".
std::string Renderer::note_label() {
    if (footnotes_ != nullptr) {
        for (const auto& fn : *footnotes_) {
            const std::string_view label = fn.label;
            if (label.size() > 6 && label.starts_with("__note") &&
                label.find_first_not_of("0123456789", 6) == std::string_view::npos) {
                if (!note_labels_taken_) note_labels_taken_ = std::make_unique<std::unordered_set<std::string>>();
                note_labels_taken_->insert(fn.label);
            }
        }
        footnotes_ = nullptr;  // (looked at once)
    }
    for (;;) {
        std::string label = "__note" + std::to_string(++last_note_);
        if (!note_labels_taken_ || !note_labels_taken_->contains(label)) return label;
    }
}

void Renderer::inline_node(const Inline& node, std::string& out) {
    auto tagged = [&](std::string_view tag, const Attr& attr, const Inlines& content) {
        out.push_back('<');
        out.append(tag);
        attrs_html(attr, out);
        out.push_back('>');
        inlines(content, out);
        out.append("</");
        out.append(tag);
        out.push_back('>');
    };
    auto tagged_text = [&](std::string_view tag, const Attr& attr, std::string_view text) {
        out.push_back('<');
        out.append(tag);
        attrs_html(attr, out);
        out.push_back('>');
        escape_text(text, out);
        out.append("</");
        out.append(tag);
        out.push_back('>');
    };
    auto title_attr = [&](const std::optional<std::string>& title) {
        if (!title) return;
        out.append(" title=\"");
        escape_attr(*title, out);
        out.push_back('"');
    };
    visit(
        [&](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, Text>) {
                escape_text(n.text, out);
            } else if constexpr (std::is_same_v<T, SoftBreak>) {
                out.push_back('\n');
            } else if constexpr (std::is_same_v<T, HardBreak>) {
                out.append("<br />\n");
            } else if constexpr (std::is_same_v<T, Emph>) {
                tagged("em", n.attr, n.content);
            } else if constexpr (std::is_same_v<T, Strong>) {
                tagged("strong", n.attr, n.content);
            } else if constexpr (std::is_same_v<T, Strikeout>) {
                tagged("del", n.attr, n.content);
            } else if constexpr (std::is_same_v<T, Highlight>) {
                tagged("mark", n.attr, n.content);
            } else if constexpr (std::is_same_v<T, Span>) {
                tagged("span", n.attr, n.content);
            } else if constexpr (std::is_same_v<T, Superscript>) {
                tagged_text("sup", n.attr, n.text);
            } else if constexpr (std::is_same_v<T, Subscript>) {
                tagged_text("sub", n.attr, n.text);
            } else if constexpr (std::is_same_v<T, Code>) {
                tagged_text("code", n.attr, n.text);
            } else if constexpr (std::is_same_v<T, Link>) {
                out.append("<a href=\"");
                escape_url_attr(n.url, out);
                out.push_back('"');
                title_attr(n.title);
                attrs_html(n.attr, out, n.title ? "href title" : "href");
                out.push_back('>');
                inlines(n.content, out);
                out.append("</a>");
            } else if constexpr (std::is_same_v<T, Image>) {
                out.append("<img src=\"");
                escape_url_attr(n.url, out);
                out.append("\" alt=\"");
                escape_attr(plain(n.alt), out);
                out.push_back('"');
                title_attr(n.title);
                attrs_html(n.attr, out, n.title ? "src alt title" : "src alt");
                out.append(" />");
            } else if constexpr (std::is_same_v<T, Autolink>) {
                out.append("<a href=\"");
                escape_url_attr(n.url, out);
                out.append("\">");
                escape_text(n.text, out);
                out.append("</a>");
            } else if constexpr (std::is_same_v<T, RawHtml>) {
                out.append(n.html);
            } else if constexpr (std::is_same_v<T, Operation>) {
                out.append("<template data-op=\"");
                escape_attr(n.system, out);
                out.push_back(':');
                escape_attr(n.kind, out);
                out.append("\" data-name=\"");
                escape_attr(n.name, out);
                out.append("\">");
                for (const auto& arg : n.args) {
                    out.append("<div data-arg");
                    if (arg.name) {
                        out.append(" data-name=\"");
                        escape_attr(*arg.name, out);
                        out.push_back('"');
                    }
                    out.push_back('>');
                    inlines(arg.value, out);
                    out.append("</div>");
                }
                out.append("</template>");
            } else if constexpr (std::is_same_v<T, TemplateTokenInline>) {
                template_html(n.token.syntax, n.token.inner, n.token.kind, n.token.name, out);
            } else if constexpr (std::is_same_v<T, Math>) {
                Attr a = n.attr;
                a.push_class(std::string_view("math"));
                a.push_class(std::string_view(n.display ? "display" : "inline"));
                out.append("<span");
                attrs_html(a, out);
                out.push_back('>');
                escape_text(n.tex, out);
                out.append("</span>");
            } else if constexpr (std::is_same_v<T, FootnoteRef>) {
                footnote_ref(n.label, out);
            } else if constexpr (std::is_same_v<T, Note>) {
                std::string label = note_label();
                notes.emplace(label, n.content);
                footnote_ref(label, out);
            } else if constexpr (std::is_same_v<T, RawInline>) {
                raw_data_open(n.format, n.text, out);
                raw_body(n.text, out);
                out.append("</script>");
            }
        },
        node);
}

}  // namespace tavrel::render
