// The canonical Markdown writer: one pass over the tree appending to one
// string, one switch over block kinds and one over inline kinds.
//
// Each block writes its complete form ending with its own blank line, so a
// block's text does not depend on its neighbours (the chunker relies on this
// to cut the document into byte ranges). Nested content (quotes, list items,
// footnotes) is written into a fresh buffer and then re-shaped line by line.
// Inline runs go through the canonical shape of canon.hpp first, so that the
// text reads back as the run it was written from. Nodes the dialect cannot
// express are written as HTML by the fragment renderer, followed by the
// footnote section of what that fragment referenced.
//
// Which form a node takes is settled by how the reader would take it back:
// those questions ("does this line read as an item?", "does this tag leave
// raw HTML open?") live in reader_probes.hpp.
#include "tavrel/write_md.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <variant>

#include "canon.hpp"
#include "escape_internal.hpp"
#include "reader_probes.hpp"
#include "tavrel/autolink.hpp"
#include "tavrel/block.hpp"
#include "tavrel/inline.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/render.hpp"
#include "tavrel/text.hpp"

namespace tavrel::write_md {

using namespace tavrel::ast;
using namespace probe;
using namespace std::string_view_literals;
using canon::element_open;
using markdown::attrs_body;
using markdown::code_span;
using markdown::escape_target;

namespace {

// After the target written from `target` on: an empty one is written "<>",
// as the reader would take the title for the target.
void append_title(const std::optional<std::string>& title, std::string& out, std::size_t target) {
    if (!title) return;
    if (out.size() == target) out.append("<>"sv);
    out.push_back(' ');
    detail::append_quoted(*title, out, true);
}

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The footnote section after an HTML fallback: every label the fragment's
// renderer referenced, with its content and back-references.
void footnote_section(render::Renderer& r, const Document& doc, std::string& out) {
    std::map<std::string_view, const Footnote*> by_label;
    for (const auto& fn : doc.footnotes) by_label[fn.label] = &fn;
    // Each item's content and back-references, as the renderer gives them
    // at its turn (content met later adds references of its own).
    std::vector<std::pair<std::string, std::string>> items;
    // Content may reference further labels; they join the list and are
    // written in their turn.
    for (std::size_t i = 0; i < r.footnote_order.size(); ++i) {
        std::string label = r.footnote_order[i];
        std::string content;
        if (auto it = by_label.find(label); it != by_label.end()) {
            for (const auto& b : it->second->blocks) r.block(b, content);
        } else if (auto nt = r.notes.find(label); nt != r.notes.end()) {
            Inlines note = nt->second;
            content.append("<p>"sv);
            r.inlines(note, content);
            content.append("</p>\n"sv);
        }
        std::uint64_t count = 1;
        if (auto c = r.footnote_ref_counts.find(label); c != r.footnote_ref_counts.end()) count = c->second;
        std::string backrefs;
        const std::string f = render::escape_fragment(label);
        for (std::uint64_t k = 1; k <= count; ++k) {
            if (k > 1) backrefs.push_back(' ');
            std::string id = "fnref-" + f;
            if (k > 1) {
                id.push_back('-');
                id.append(std::to_string(k));
            }
            backrefs.append("<a href=\"#"sv);
            render::escape_attr(id, backrefs);
            backrefs.append("\" class=\"footnote-backref\" role=\"doc-backlink\">\u21A9"sv);
            if (k > 1) {
                backrefs.append("<sup>"sv);
                backrefs.append(std::to_string(k));
                backrefs.append("</sup>"sv);
            }
            backrefs.append("</a>"sv);
        }
        items.emplace_back(std::move(content), std::move(backrefs));
    }
    const std::size_t start = out.size();
    auto section = [&](bool as_text) {
        out.append("<section class=\"footnotes\" role=\"doc-endnotes\">\n<ol>\n"sv);
        for (std::size_t i = 0; i < items.size(); ++i) {
            std::string text;
            if (as_text) render::escape_text(items[i].first, text);
            const std::string& content = as_text ? text : items[i].first;
            out.append("<li id=\""sv);
            render::escape_attr("fn-" + render::escape_fragment(r.footnote_order[i]), out);
            out.append("\">\n"sv);
            if (content.size() >= 5 && ends_with(content, "</p>\n")) {
                out.append(std::string_view(content).substr(0, content.size() - 5));
                out.push_back(' ');
                out.append(items[i].second);
                out.append("</p>\n</li>\n"sv);
            } else {
                out.append(content);
                out.append(items[i].second);
                out.append("\n</li>\n"sv);
            }
        }
        out.append("</ol>\n</section>\n"sv);
    };
    section(false);
    // The reader must end the section at its closing tag, as one raw HTML
    // block. Raw HTML a footnote leaves open (a "<section>" of its own, a
    // line ending in a markdown container's tag) keeps it open and takes
    // the text after the fragment into itself, which then reads back as
    // raw HTML: such content is written as text.
    static const Options options = Options::dataset();
    const Blocks probe = block::parse_source(out.substr(start) + "\nx\n", options).blocks;
    if (probe.size() != 2 || !probe.front().is<HtmlBlock>() || !probe.back().is<Paragraph>()) {
        out.resize(start);
        section(true);
    }
}

// Text from `start` to the end of `out` that ends the line of a heading,
// term or caption: when the reader would take its end as the line's
// attribute block, the block's final "}" is escaped so that it stays text.
// The reader's own search decides, quotes and all.
void escape_final_attr_block(std::string& out, std::size_t start) {
    auto span = attrs::trailing_attr_span(std::string_view(out).substr(start));
    if (span) out.insert(start + span->end - 1, 1, '\\');
}

// Inline TeX on one line: a line end inside a paragraph would let the next
// line lose its indentation or start a block, so line ends (with the white
// space that follows them) are written as one space.
void append_flat(std::string_view tex, std::string& out) {
    for (std::size_t i = 0; i < tex.size(); ++i) {
        char c = tex[i];
        if (c != '\n' && c != '\r') {
            out.push_back(c);
            continue;
        }
        while (i + 1 < tex.size() && (tex[i + 1] == '\n' || tex[i + 1] == '\r' || tex[i + 1] == ' ' || tex[i + 1] == '\t')) ++i;
        out.push_back(' ');
    }
}

// Display math between lines "\[" and "\]". TeX holding a "\]" line, which
// would close the block early, takes the "$$" form; TeX holding a "$$" line
// too keeps the first form, each "\]" line ended by a "%", a TeX comment
// that changes nothing of the formula and hides the line from the reader.
void write_math_block(std::string_view tex, std::string& out, bool blank_lines_empty) {
    std::string normalised;
    if (blank_lines_empty || tex.find('\r') != std::string_view::npos) {
        detail::append_verbatim(tex, normalised, blank_lines_empty);
        tex = normalised;
    }
    std::string_view open = "\\[", close = "\\]";
    std::string hidden;
    if (has_closing_line(tex, close)) {
        if (!has_closing_line(tex, "$$")) {
            open = close = "$$";
        } else {
            for (std::size_t start = 0; start <= tex.size();) {
                std::size_t nl = std::min(tex.find('\n', start), tex.size());
                std::string_view line = tex.substr(start, nl - start);
                hidden.append(line);
                if (text::trim(line) == close) hidden.push_back('%');
                if (nl < tex.size()) hidden.push_back('\n');
                start = nl + 1;
            }
            tex = hidden;
        }
    }
    out.append(open);
    out.push_back('\n');
    out.append(tex);
    // An empty formula writes no line of its own: a blank line there would
    // end a list item the block stands in.
    if (!tex.empty()) out.push_back('\n');
    out.append(close);
    out.push_back('\n');
}


// A node carrying attributes as raw HTML around its content, when its tag
// reads back as HTML: the element form of a node whose attribute block the
// reader would take for the line's own (at the end of a heading).
std::optional<Inlines> element_nodes(const Inline& node) {
    std::optional<Inlines> out;
    const auto around = [&](std::string open, std::string_view tag, Inlines content) {
        if (open.size() > 1000) return;
        out.emplace();
        out->push_back(Inline{RawHtml{std::move(open)}});
        for (auto& n : content) out->push_back(std::move(n));
        out->push_back(Inline{RawHtml{"</" + std::string(tag) + ">"}});
    };
    const auto text_content = [](std::string_view text) {
        std::string flat(text);
        std::replace(flat.begin(), flat.end(), '\n', ' ');
        std::replace(flat.begin(), flat.end(), '\r', ' ');
        Inlines content;
        if (!flat.empty()) content.push_back(Inline{Text{std::move(flat)}});
        return content;
    };
    const auto title_attr = [](const std::optional<std::string>& title, std::string& lead) {
        if (!title) return;
        lead.append(" title=\""sv);
        render::escape_attr(*title, lead);
        lead.push_back('"');
    };
    visit(
        [&](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            if constexpr (requires { n.attr; }) {
                if (!markdown::writes_attrs(n.attr)) return;
            }
            if constexpr (std::is_same_v<T, Emph> || std::is_same_v<T, Strong> || std::is_same_v<T, Strikeout> ||
                          std::is_same_v<T, Highlight> || std::is_same_v<T, Span>) {
                const std::string_view tag = std::is_same_v<T, Emph>        ? "em"
                                             : std::is_same_v<T, Strong>    ? "strong"
                                             : std::is_same_v<T, Strikeout> ? "del"
                                             : std::is_same_v<T, Highlight> ? "mark"
                                                                            : "span";
                around(element_open(tag, n.attr), tag, canon::element_content(n.content));
            } else if constexpr (std::is_same_v<T, Superscript> || std::is_same_v<T, Subscript> ||
                                 std::is_same_v<T, Code>) {
                const std::string_view tag = std::is_same_v<T, Superscript> ? "sup"
                                             : std::is_same_v<T, Subscript> ? "sub"
                                                                            : "code";
                around(element_open(tag, n.attr), tag, text_content(n.text));
            } else if constexpr (std::is_same_v<T, Math>) {
                Attr a = n.attr;
                a.push_class(std::string_view("math"));
                a.push_class(std::string_view(n.display ? "display" : "inline"));
                around(element_open("span", a), "span", text_content(n.tex));
            } else if constexpr (std::is_same_v<T, Link>) {
                std::string lead = " href=\"";
                render::escape_url_attr(n.url, lead);
                lead.push_back('"');
                title_attr(n.title, lead);
                around(element_open("a", n.attr, lead, ">", n.title ? "href title" : "href"), "a", n.content);
            } else if constexpr (std::is_same_v<T, Image>) {
                std::string lead = " src=\"";
                render::escape_url_attr(n.url, lead);
                lead.append("\" alt=\""sv);
                render::escape_attr(render::plain(n.alt), lead);
                lead.push_back('"');
                title_attr(n.title, lead);
                std::string tag = element_open("img", n.attr, lead, " />", n.title ? "src alt title" : "src alt");
                if (tag.size() <= 1000) out = Inlines{Inline{RawHtml{std::move(tag)}}};
            }
        },
        node);
    return out;
}

// Whether `attr` has a pair whose key can stand in no tag: an element
// form would lose it.
bool has_key_no_tag_holds(const Attr& attr) {
    return std::any_of(attr.pairs.begin(), attr.pairs.end(),
                       [](const auto& kv) { return !canon::html_attr_name(kv.first); });
}

// Whether a superscript or subscript is written between bare markers: its
// text as the reader takes it there, or, where the element form would lose
// a pair whose key no tag can hold, a text the reader takes with its
// escapes or, in a subscript, its "~~" runs (in a cell, one without a bar
// beside a backslash, whose escape the cell's would meet).
[[gnu::noinline, gnu::cold]] bool script_bare_escaped(std::string_view text, char marker, const Attr& attr,
                                                      bool in_cell) {
    const bool escapes = text.find('\\') != std::string_view::npos;
    if (!escapes && (marker != '~' || text.find('~') == std::string_view::npos)) return false;
    if (escapes && in_cell && text.find('|') != std::string_view::npos) return false;
    return has_key_no_tag_holds(attr) && probe::script_escaped_text_fits(text, marker);
}

// Whether a superscript or subscript holding "@", whose element form would
// lose a key no tag can hold, is written between bare markers after a word
// all the same: the reader finds an e-mail address reaching back over the
// marker only where the text before its "@" could go on a local part and a
// domain follows it, which the closing marker ends. The word before is one
// letter here, as any word of a local part's characters gives the same
// answer, and a word of others none ("a^@.^" and "a^(@b.c^" hold none).
[[gnu::noinline, gnu::cold]] bool script_holds_no_address(std::string_view text, char marker, const Attr& attr) {
    if (!has_key_no_tag_holds(attr)) return false;
    if (text.find('@') == std::string_view::npos) return true;
    std::string word = "a";
    word.push_back(marker);
    word.append(text);
    word.push_back(marker);
    return !autolink::bare_email_prefix(word);
}

// Whether the element form of a node with `attr` would lose a key no tag
// can hold (one its attribute block writes).
[[gnu::noinline, gnu::cold]] bool loses_key(const Attr& attr) {
    return markdown::writes_attrs(attr, true) && has_key_no_tag_holds(attr);
}

inline bool script_bare(std::string_view text, char marker, const Attr& attr, bool in_cell) {
    return script_text_fits(text, marker) || (!attr.pairs.empty() && script_bare_escaped(text, marker, attr, in_cell));
}

// An item's marker: its number, at most nine digits, and ". ". The reader
// takes no longer number for one, and takes an item numbered as the item
// before it into that item's list: so numbering stops at the largest number
// a marker holds, and the items past it repeat that number.
std::string item_marker(std::uint64_t number) {
    std::string marker = std::to_string(std::min<std::uint64_t>(number, 999'999'999));
    marker.append(". "sv);
    return marker;
}

// An attribute block that gives nothing ("class" holding no class): after
// a line whose end the reader would take for the line's own block, where no
// closing sequence can follow, it is the line's block instead.
constexpr std::string_view kEmptyBlock = " {class=\"\"}";

// `kEmptyBlock` to follow the line from `start` to the end of `out`: inside
// a stretch a double quote opened, its quotes would end that stretch and
// hide its "{" from the reader's search, so its value takes single quotes.
std::string_view empty_block_after(const std::string& out, std::size_t start) {
    return quote_state_after(std::string_view(out).substr(start)) == '"' ? " {class=''}" : kEmptyBlock;
}

// Whether raw HTML `html` opens or closes a `tag` element (a lower-case
// name), in any case of its letters.
bool names_tag(std::string_view html, std::string_view tag) {
    const std::size_t at = html.starts_with("</") ? 2 : 1;
    if (html.size() <= at + tag.size()) return false;
    for (std::size_t i = 0; i < tag.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(html[at + i])) != tag[i]) return false;
    }
    const char next = html[at + tag.size()];
    return !std::isalnum(static_cast<unsigned char>(next)) && next != '-';
}

// Whether `run` holds raw HTML opening or closing a `tag` element: inside
// that element's form, the tag would pair with its own.
bool holds_tag(const Inlines& run, std::string_view tag) {
    for (const auto& n : run) {
        if (const auto* h = n.as<RawHtml>()) {
            if (names_tag(h->html, tag)) return true;
            continue;
        }
        bool held = false;
        visit(
            [&](const auto& x) {
                // (a note's content is written apart)
                if constexpr (requires { x.content; } && !std::is_same_v<std::decay_t<decltype(x)>, Note>)
                    held = holds_tag(x.content, tag);
            },
            n);
        if (held) return true;
    }
    return false;
}

// Whether `run` holds raw HTML opening or closing a `tag` element that no
// other tag in it closes or opens: in that element's form, it would pair
// with one of the element's own tags ("<em>" in "*<em>*" written as
// "<em><em></em>"). `depth` counts the tags opened and not yet closed.
bool holds_lone_tag(const Inlines& run, std::string_view tag, long& depth) {
    for (const auto& n : run) {
        if (const auto* h = n.as<RawHtml>()) {
            const std::string_view html = h->html;
            if (!names_tag(html, tag) || html.ends_with("/>")) continue;
            if (!html.starts_with("</")) {
                ++depth;
            } else if (--depth < 0) {
                return true;
            }
            continue;
        }
        bool lone = false;
        visit(
            [&](const auto& x) {
                // (a note's content is written apart)
                if constexpr (requires { x.content; } && !std::is_same_v<std::decay_t<decltype(x)>, Note>)
                    lone = holds_lone_tag(x.content, tag, depth);
            },
            n);
        if (lone) return true;
    }
    return false;
}

bool holds_lone_tag(const Inlines& run, std::string_view tag) {
    long depth = 0;
    return holds_lone_tag(run, tag, depth) || depth != 0;
}

// The same of a content as written (`written`): its nodes written in their
// element forms read back as raw tags around their contents, which pair
// those the tree had lone in them ("</em> x <em>" in an emphasis written
// "<em></em> x <em></em>"). The tree's lone tags are the written text's but
// for those, so this is asked only where the tree has some.
[[gnu::cold, gnu::noinline]] bool written_holds_lone_tag(std::string_view written, std::string_view tag) {
    static const Options options = Options::dataset();
    static const inline_::LinkDefs no_definitions;
    static const inline_::FootnoteLabels no_labels;
    return holds_lone_tag(inline_::parse_inner(written, {options, no_definitions, no_labels}), tag);
}

// Whether the attribute block of `node` (`attr`) writes a pair whose key no
// tag can hold.
[[gnu::cold, gnu::noinline]] bool written_key_no_tag_holds(const Inline& node, const Attr& attr) {
    const bool scanned = node.is<Emph>() || node.is<Strong>() || node.is<Strikeout>() || node.is<Highlight>();
    return std::any_of(attr.pairs.begin(), attr.pairs.end(), [&](const auto& kv) {
        return !canon::html_attr_name(kv.first) && markdown::attr_key_writable(kv.first, scanned);
    });
}

// Whether an inline's element form keeps all it has: not with a pair whose
// key can stand in no tag, a link's or image's "title" pair after its title
// (HTML keeps the first), a target the tag's address escapes beyond its
// spaces and double quotes, or where `line` (the line it ends, itself with
// it) holds a tag of its own element, which would pair with the element's.
// With `block_written`, only the pairs its attribute block writes count: one
// that the block cannot hold either is lost in both forms.
[[gnu::noinline]] bool element_keeps_all(const Inline& node, const Inlines& line, bool block_written = false) {
    const Attr* attr = nullptr;
    const std::string* url = nullptr;
    bool titled = false;
    visit(
        [&](const auto& n) {
            if constexpr (requires { n.attr; }) attr = &n.attr;
            if constexpr (requires { n.title; }) titled = n.title.has_value();
            if constexpr (requires { n.url; }) url = &n.url;
        },
        node);
    if (attr != nullptr) {
        if (!block_written ? has_key_no_tag_holds(*attr) : written_key_no_tag_holds(node, *attr)) return false;
        for (const auto& kv : attr->pairs) {
            if (titled && kv.first == "title") return false;
        }
    }
    if (url != nullptr) {
        for (char c : *url) {
            const auto b = static_cast<unsigned char>(c);
            if ((b < 0x21 && b != ' ') || b > 0x7E || std::string_view("<>[]\\`").find(c) != std::string_view::npos)
                return false;
        }
    }
    std::string_view tag;
    visit(
        [&](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            tag = std::is_same_v<T, Link>        ? "a"
                  : std::is_same_v<T, Emph>      ? "em"
                  : std::is_same_v<T, Strong>    ? "strong"
                  : std::is_same_v<T, Strikeout> ? "del"
                  : std::is_same_v<T, Highlight> ? "mark"
                  : std::is_same_v<T, Span>      ? "span"
                                                 : "";
        },
        node);
    return tag.empty() || !holds_tag(line, tag);
}

// The inline whose attributes `last_written_attr` finds.
const Inline* last_attributed(const Inlines& run) {
    for (auto it = run.rbegin(); it != run.rend(); ++it) {
        const Attr* attr = nullptr;
        visit(
            [&](const auto& n) {
                if constexpr (requires { n.attr; }) attr = &n.attr;
            },
            *it);
        if (attr != nullptr && markdown::writes_attrs(*attr)) return &*it;
        if (const auto* span = it->as<Span>()) {
            if (const Inline* inner = last_attributed(span->content)) return inner;
        }
    }
    return nullptr;
}

// The attributes written last in `run`, as far as they can end a line:
// texts after them (white space the line's end cuts) and inlines without
// attributes are passed over, and a span without them is written as its
// content, which is searched first.
Attr* last_written_attr(Inlines& run) {
    for (auto it = run.rbegin(); it != run.rend(); ++it) {
        Attr* attr = nullptr;
        visit(
            [&](auto& n) {
                if constexpr (requires { n.attr; }) attr = &n.attr;
            },
            *it);
        if (attr != nullptr && markdown::writes_attrs(*attr)) return attr;
        if (auto* span = it->as<Span>()) {
            if (Attr* inner = last_written_attr(span->content)) return inner;
        }
    }
    return nullptr;
}

// The inline whose attributes `last_written_attr` finds replaced by its
// element form, whose tag holds them; false where it has none.
bool last_written_as_element(Inlines& run) {
    for (auto it = run.rbegin(); it != run.rend(); ++it) {
        const Attr* attr = nullptr;
        visit(
            [&](const auto& n) {
                if constexpr (requires { n.attr; }) attr = &n.attr;
            },
            *it);
        if (attr != nullptr && markdown::writes_attrs(*attr)) {
            auto element = element_nodes(*it);
            if (!element) return false;
            const auto at = run.erase(std::next(it).base());
            run.insert(at, std::make_move_iterator(element->begin()), std::make_move_iterator(element->end()));
            return true;
        }
        if (auto* span = it->as<Span>()) {
            if (last_written_attr(span->content)) return last_written_as_element(span->content);
        }
    }
    return false;
}

// The reader puts a "ref" pair of a link's or image's attribute block after
// the block's other pairs (see `attrs_around_ref`).
bool ref_before_others(const Attr& attr) {
    for (std::size_t i = 0; i + 1 < attr.pairs.size(); ++i) {
        if (attr.pairs[i].first == "ref") return true;
    }
    return false;
}

// The attribute blocks of a link or image whose "ref" pair stands before
// others: the pairs before it, the pair alone and the pairs after it, each in
// a block of its own, which the reader merges in turn and so reads back in
// that order. After a "data-ref" pair the reader would add its value to that
// pair's: there it is written last, where it reads back.
[[gnu::noinline, gnu::cold]] std::string attrs_around_ref(const Attr& attr) {
    const auto at = std::find_if(attr.pairs.begin(), attr.pairs.end(), [](const auto& kv) { return kv.first == "ref"; });
    Attr before = attr;
    before.pairs.assign(attr.pairs.begin(), at);
    Attr ref;
    ref.pairs.push_back(*at);
    Attr after;
    after.pairs.assign(at + 1, attr.pairs.end());
    if (before.get("data-ref")) {
        before.pairs.insert(before.pairs.end(), after.pairs.begin(), after.pairs.end());
        before.pairs.push_back(*at);
        return "{" + markdown::attrs_body(before) + "}";
    }
    std::string out;
    for (const Attr* part : {&before, &ref, &after}) {
        if (!markdown::writes_attrs(*part)) continue;
        out.push_back('{');
        out.append(markdown::attrs_body(*part));
        out.push_back('}');
    }
    return out;
}

// In a pipe table's cell, each "|" written from `from` on escaped: the row's
// split reads "\|" back as the bar, and the inline read sees the text as it
// was written. No such "|" follows an odd run of backslashes, which would
// take the escape as its own (see `fits_pipe_cell`).
[[gnu::noinline, gnu::cold]] void escape_bars_from(std::string& out, std::size_t from) {
    const std::size_t first = out.find('|', from);
    if (first == std::string::npos) return;
    std::string tail = out.substr(first);
    out.resize(first);
    for (char c : tail) {
        if (c == '|') out.push_back('\\');
        out.push_back(c);
    }
}

[[gnu::noinline, gnu::cold]] void append_in_row(std::string_view text, std::string& out) {
    const std::size_t at = out.size();
    out.append(text);
    escape_bars_from(out, at);
}

// A code span in a pipe table's cell, with each "|" escaped.
[[gnu::noinline]] void code_span_in_row(std::string_view text, std::string& out) {
    const std::size_t at = out.size();
    code_span(text, out);
    escape_bars_from(out, at);
}

// Writes raw HTML going on over lines on one line, each line end a space,
// as HTML reads it; `at_start` when it begins a paragraph. Where it would
// open an HTML block, it is written as a raw inline of format html.
[[gnu::noinline, gnu::cold]] void html_on_one_line(std::string_view html, std::string& out, bool at_start) {
    std::string flat(html);
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    if (at_start && !starts_paragraph(flat)) {
        code_span(flat, out);
        out.append("{=html}"sv);
        return;
    }
    // At the start of a later line a tag could open an HTML block; indented
    // by four it cannot, and the reader drops the indent of a continued line.
    if (!at_start && detail::at_continued_line(out) && opens_html_block(flat)) out.append("    "sv);
    out.append(flat);
}

// How a raw HTML block is written: from its tag on (see `block`), ending in
// a line end and a blank line.
// Whether a tab stands in the indentation that opens `html` (before any
// white space that is no indentation, a form feed): it would indent by
// another width where the line is written.
bool tab_indents(std::string_view html) {
    const std::size_t lead = html.find_first_not_of(' ');
    return lead < html.size() && html[lead] == '\t';
}

void append_html_block(std::string& out, std::string_view html, bool indent_kept) {
    const std::size_t tag = past_white_space_in_line(html, 0);
    const std::size_t indent = html_indent(html);
    if (indent_kept && !tab_indents(html)) {
    } else if (tag > 0 && tag < html.size() && html[tag] == '<') {
        html.remove_prefix(indent);
    }
    out.append(html);
    if (html.empty() || html.back() != '\n') out.push_back('\n');
    out.push_back('\n');
}

// Whether raw HTML whose first line is indented can be written with its
// indentation after `prev` (written as `written`, numbered on to `next` when
// an ordered list) and read back with it: no tab indenting it (see
// `tab_indents`), fewer than four spaces first (code),
// and, after a list, fewer than the columns where its last item's content
// starts (the line would go on that item). Text written beginning with an item number may read back
// as an item that the line goes on (the reader may keep such text a
// paragraph for what follows it): the two are read to know.
[[gnu::cold]] bool indent_stays_after(const Block& prev, std::uint64_t next, std::string_view written,
                                      std::string_view html) {
    const std::size_t indent = std::min(html.find_first_not_of(' '), html.size());  // columns
    if (indent > 3 || tab_indents(html)) return false;
    if (const std::size_t digits = written.find_first_not_of("0123456789");
        digits > 0 && digits != std::string_view::npos && written[digits] == '.' && !prev.is<List>() &&
        indent >= digits + 2) {
        static const Options options = Options::dataset();
        std::string probe(written);
        probe.append(html.substr(0, html.find('\n'))).push_back('\n');
        const Blocks read = block::parse_source(probe, options).blocks;
        const auto* h = read.size() == 2 ? read.back().as<HtmlBlock>() : nullptr;
        return h && html.starts_with(h->html.substr(0, indent + 1));
    }
    // (A div here is written with its fence, which ends it: one written as
    // its content is passed as the block it ends in.)
    const auto* l = prev.as<List>();
    if (!l || l->items.empty()) return true;
    // (After an item that writes nothing a blank line ends it.)
    if (std::all_of(l->items.back().blocks.begin(), l->items.back().blocks.end(), writes_nothing) &&
        !l->items.back().task && !markdown::writes_attrs(l->items.back().attr))
        return true;
    if (!l->ordered) return indent < 2;
    // (Numbered on or not, the last number is at least this.)
    const std::uint64_t number = next > 0 ? next - 1 : l->start + (l->items.empty() ? 0 : l->items.size() - 1);
    return indent < item_marker(number).size();
}

// The column where a list's last item must start its content so that raw
// HTML written next, from `blocks[from]` on, keeps its indentation outside
// it; 0 when its marker puts it there already.
[[gnu::cold, gnu::noinline]] std::size_t column_for_html_after(const Blocks& blocks, std::size_t from,
                                                               std::size_t count) {
    for (std::size_t j = from; j < count; ++j) {
        if (writes_nothing(blocks[j])) continue;
        const auto* h = blocks[j].as<HtmlBlock>();
        const std::size_t indent = h ? std::min(h->html.find_first_not_of(' '), h->html.size()) : 0;
        return indent >= 2 && indent_stays_after(Block{Paragraph{}}, 0, "", h->html) ? indent + 1 : 0;
    }
    return 0;
}

// Whether the last of `blocks` that writes something is raw HTML, or a
// container ending in it: white space ending its last line is kept by the
// reader (a no-break space, a space), so it is kept by the writer too.
bool ends_in_raw_html(const Blocks& blocks) {
    auto it = std::find_if(blocks.rbegin(), blocks.rend(), [](const Block& b) { return !writes_nothing(b); });
    if (it == blocks.rend()) return false;
    if (it->is<HtmlBlock>()) return true;
    if (const auto* q = it->as<BlockQuote>()) return ends_in_raw_html(q->blocks);
    if (const auto* d = it->as<Div>()) return ends_in_raw_html(d->blocks);
    if (const auto* l = it->as<List>()) return ends_in_raw_html(l->items.back().blocks);
    return false;
}

// The text of nested blocks without the white space that ends it; after
// raw HTML (see `ends_in_raw_html`) only the line ends and lines of spaces,
// and in a quote (`quoted`), where a line of spaces is no blank line but
// the HTML's, the line ends alone.
std::string_view trim_nested_end(std::string_view text, const Blocks& blocks, bool quoted = false) {
    // Mostly the text ends in line ends after a character that is no white
    // space: those are all there is to cut.
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
    if (end > 0 && static_cast<unsigned char>(text[end - 1]) > ' ' && static_cast<unsigned char>(text[end - 1]) < 0x80)
        return text.substr(0, end);
    const std::string_view trimmed = text::trim_end(text);
    // (Line ends alone are cut either way.)
    std::size_t cut = trimmed.size();
    while (cut < text.size() && (text[cut] == '\n' || text[cut] == '\r')) ++cut;
    if (cut == text.size() || !ends_in_raw_html(blocks)) return trimmed;
    if (quoted) return text.substr(0, text.find_last_not_of("\r\n") + 1);
    for (;;) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        const std::size_t line = text.find_last_of('\n') + 1;  // 0 when there is none
        if (text.find_first_not_of(" \t", line) != std::string_view::npos) return text;
        if (line == 0) return {};
        text.remove_suffix(text.size() - line);
    }
}

// `run` with each white space character other than a space, tab or line
// end (a no-break space) as raw text of its character reference
// ("&#160;"), which the reader decodes after it trims the line; nothing
// when the run holds none. For a paragraph of such white space alone,
// which would write nothing otherwise. With `ascii`, spaces, tabs and line
// ends too: a term must write something to stay a term, where a paragraph
// of them alone may be left out.
template <bool ascii = false>
std::optional<Inlines> white_space_as_references(const Inlines& run) {
    bool found = false;
    Inlines out;
    for (const Inline& node : run) {
        const auto* t = node.as<Text>();
        if (!t) {
            Inline copy = node;
            visit(
                [&](auto& n) {
                    if constexpr (requires { n.content; }) {
                        if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>) {
                            if (auto inner = white_space_as_references<ascii>(n.content)) {
                                n.content = std::move(*inner);
                                found = true;
                            }
                        }
                    }
                },
                copy);
            out.push_back(std::move(copy));
            continue;
        }
        std::size_t from = 0;
        for (std::size_t i = 0; i < t->text.size();) {
            const text::Decoded d = text::decode_utf8(t->text, i);
            if ((d.cp >= 0x80 || ascii) && text::is_white_space(d.cp)) {
                if (i > from) out.push_back(Inline{Text{t->text.substr(from, i - from)}});
                out.push_back(Inline{RawHtml{"&#" + std::to_string(static_cast<std::uint32_t>(d.cp)) + ";"}});
                from = i + d.len;
                found = true;
            }
            i += d.len;
        }
        if (from < t->text.size()) out.push_back(Inline{Text{t->text.substr(from)}});
    }
    if (!found) return std::nullopt;
    return out;
}

// A term's run with each break the space it is on the term's line: as
// references, a break written bare between them would read back as one
// more space to write as its reference.
[[gnu::cold, gnu::noinline]] Inlines breaks_as_spaces(const Inlines& run) {
    Inlines out;
    out.reserve(run.size());
    for (const Inline& node : run) {
        if (node.is<SoftBreak>() || node.is<HardBreak>()) {
            out.push_back(Inline{Text{" "}});
            continue;
        }
        Inline copy = node;
        visit(
            [](auto& n) {
                if constexpr (requires { n.content; }) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>)
                        n.content = breaks_as_spaces(n.content);
                }
            },
            copy);
        out.push_back(std::move(copy));
    }
    return out;
}

// The run a line of inlines written alone reads back as, when it reads as
// one paragraph.
std::optional<Inlines> read_back_run(std::string_view written) {
    static const Options options = Options::dataset();
    Document again = block::parse_source(written, options);
    auto* p = again.blocks.size() == 1 ? again.blocks.front().as<Paragraph>() : nullptr;
    if (!p) return std::nullopt;
    return std::move(p->content);
}

// How many of `blocks` write something (an empty quote does not).
std::size_t shown_count(const Blocks& blocks) {
    return static_cast<std::size_t>(
        std::count_if(blocks.begin(), blocks.end(), [](const Block& b) { return !writes_nothing(b); }));
}

// Whether the blocks of an item keep its list a list however it is
// numbered: more than one written, or one opening with a mark the writer
// escapes in text ("\[", "```", "#", ">", raw HTML's "<", a table's "|",
// or its element form's "<": a table in that form reads back as raw HTML,
// which must number the lists around it as the table did), or a div, whose
// fence and closing line the reader never takes for text (inside a bare
// div, where it may be written as its content, it keeps its fence where
// the list depends on it: see `Renderer::fence_item_divs`).
bool item_blocks_keep_list(const Blocks& blocks) {
    if (shown_count(blocks) > 1) return true;
    const auto first = std::find_if(blocks.begin(), blocks.end(), [](const Block& b) { return !writes_nothing(b); });
    if (first == blocks.end()) return false;
    const auto* html = first->as<HtmlBlock>();
    return first->is<MathBlock>() || first->is<CodeBlock>() || first->is<Heading>() || first->is<BlockQuote>() ||
           first->is<Table>() || first->is<Div>() || (html && html->html.starts_with('<'));
}

bool blocks_keep_list(const ListItem& item) { return item_blocks_keep_list(item.blocks); }

// Whether a break stands in `run` at any depth outside notes. (A line end
// in a text, which the canonical shape makes a break, is not looked for:
// the readers give a break for each.)
bool break_in(const Inlines& run) {
    for (const Inline& n : run) {
        const Inlines* inner = nullptr;
        switch (n.kind()) {
            case InlineKind::Text: continue;
            case InlineKind::SoftBreak:
            case InlineKind::HardBreak: return true;
            case InlineKind::Emph: inner = &n.as<Emph>()->content; break;
            case InlineKind::Strong: inner = &n.as<Strong>()->content; break;
            case InlineKind::Strikeout: inner = &n.as<Strikeout>()->content; break;
            case InlineKind::Highlight: inner = &n.as<Highlight>()->content; break;
            case InlineKind::Link: inner = &n.as<Link>()->content; break;
            case InlineKind::Span: inner = &n.as<Span>()->content; break;
            case InlineKind::Image: inner = &n.as<Image>()->alt; break;
            default: continue;
        }
        if (break_in(*inner)) return true;
    }
    return false;
}

bool item_keeps_list(const ListItem& item);

// Whether an item keeps its list a list however it is numbered: its blocks
// do (see `blocks_keep_list`), or a task box, or an attribute line of the
// item or of its paragraph, or that paragraph written on more than one
// line; or a list alone in it written so (on more lines than one, "1. - a"
// and "   - b", or with an attribute line or an item that keeps it).
// (With `blocks` in place of its own: see `probe::item_divs_keep_list`.)
bool item_with_blocks_keeps_list(const ListItem& item, const Blocks& blocks) {
    if (item_blocks_keep_list(blocks) || item.task) return true;
    const auto first = std::find_if(blocks.begin(), blocks.end(), [](const Block& b) { return !writes_nothing(b); });
    if (first == blocks.end()) return markdown::writes_attrs(item.attr);
    const Paragraph* p = first->as<Paragraph>();
    if (markdown::writes_attrs(item.attr) || (p && markdown::writes_line_attrs(p->attr))) return true;
    if (!p) {
        const auto* inner = first->as<List>();
        return inner && !inner->items.empty() &&
               (inner->items.size() > 1 || markdown::writes_line_attrs(inner->attr) ||
                item_keeps_list(inner->items[0]));
    }
    // The lines are those of the run in the shape it is written in, which
    // drops breaks at its edges and moves those at an emphasis's edges
    // outside it, judged as the reader judges the item it reads back.
    // (Only a run holding a break anywhere is looked at further.)
    return break_in(p->content) &&
           block::written_on_lines(canon::is_canonical(p->content, false) ? p->content
                                                                          : canon::canonical(p->content, false));
}

bool item_keeps_list(const ListItem& item) { return item_with_blocks_keeps_list(item, item.blocks); }

// Whether an ordered list reads back as a list wherever it stands: two
// items or more from 1, an attribute line after it, or an item written on
// more than one line, which the reader never takes for text; or, from 0,
// an item after the first that shows something, which is written "1."
// after one "0." (see `numbered_from_zeros`).
bool stays_list_alone(const List& l) {
    if ((l.start == 1 && l.items.size() >= 2) || markdown::writes_line_attrs(l.attr)) return true;
    if (l.start == 0 && std::any_of(l.items.begin() + (l.items.empty() ? 0 : 1), l.items.end(),
                                    [](const ListItem& item) { return shown_count(item.blocks) != 0; }))
        return true;
    return std::any_of(l.items.begin(), l.items.end(), item_keeps_list);
}

// For an ordered list from 0 that nothing but its numbers keeps a list,
// whose second item shows nothing: the number after its last item's when
// the items before the first later one that shows something are numbered
// 0, that one 1 and the rest on one by one, as the reader keeps a list
// where an item "1." showing something follows one "0." ("0.", "0.", then
// "1. a"; numbered on one by one it reads as text); 0 where no item shows
// anything.
std::uint64_t numbered_from_zeros(const List& l) {
    const std::size_t n = l.items.size();
    if (n < 3 || markdown::writes_line_attrs(l.attr) || shown_count(l.items[1].blocks) != 0 ||
        std::any_of(l.items.begin(), l.items.end(), item_keeps_list))
        return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (shown_count(l.items[k].blocks) != 0) return n - k + 1;
    return 0;
}

// The heading or list after blocks[from - 1] that bears on an item "1."
// the reader's numbering is pending on, under a heading of level
// `heading`: a heading no deeper, a bullet list, or an ordered list from 1
// or 2, which numbers on from the item. Other blocks, and ordered lists
// from other numbers, which leave the numbering as it was, are passed; the
// end when there is none.
std::size_t next_numbering_block(const Blocks& blocks, std::size_t from, unsigned heading) {
    for (; from < blocks.size(); ++from) {
        if (const auto* h = blocks[from].as<Heading>(); h && h->level <= heading) break;
        const auto* l = blocks[from].as<List>();
        if (l && !l->items.empty() && (!l->ordered || l->start == 1 || l->start == 2)) break;
    }
    return from;
}

// Whether the ordered list blocks[i], one item "1." that may read as text,
// is a list as the next list the reader numbers on from it does so (see
// `next_numbering_block`: one from 1 or 2, under a heading of level
// `heading`).
[[gnu::noinline, gnu::cold]] bool numbered_on_later(const Blocks& blocks, std::size_t i, unsigned heading) {
    const auto* l = blocks[i].as<List>();
    if (l->items.size() != 1 || l->start != 1) return false;
    const std::size_t k = next_numbering_block(blocks, i + 1, heading);
    const auto* next = k < blocks.size() ? blocks[k].as<List>() : nullptr;
    return next && next->ordered;
}

// Where `numbered_on_after` searched last, from which the search goes on:
// the block found for the heading level `heading`, and the one after it.
// (Only `stop` is set before: a search is made first.)
struct Stops {
    std::size_t stop = 0, after;
    unsigned heading;
};

// For the paragraph blocks[i], under a heading of level `heading`: the
// number of an ordered list after it (see `next_numbering_block`) that may
// number on from an item its first line reads as, where that list still
// reads as one with the paragraph read as text; or 0. `state` is where the
// reader's numbering stands before the paragraph, when known. A list
// between them that numbers on from the lists before the paragraph no
// longer would after such an item: then 1, as for a list from 1 that
// numbers on from the item.
std::uint64_t numbered_on_after(const Blocks& blocks, std::size_t i, unsigned heading,
                                Stops& stops, const block::Numbering* state) {
    if (stops.stop <= i || stops.heading != heading) {
        stops.stop = next_numbering_block(blocks, i + 1, heading);
        stops.after = 0;
        stops.heading = heading;
    }
    const std::size_t stop = stops.stop;
    const bool numbering = state && state->stage != block::Numbering::Stage::None;
    if (numbering) {
        // (Looked for among the next few blocks only: the writing of many
        // such paragraphs before many other blocks stays linear.)
        for (std::size_t k = i + 1; k < stop && k <= i + 32; ++k) {
            const auto* l = blocks[k].as<List>();
            if (l && !l->items.empty() && (l->start == state->last || l->start == state->last + 1)) return 1;
        }
    }
    const auto* next = stop < blocks.size() ? blocks[stop].as<List>() : nullptr;
    if (!next || !next->ordered) return 0;
    // (A definition list or a div first in an item keeps it too, where it
    // is written so; where it is not, the number escaped reads back the
    // same.)
    if (stays_list_alone(*next) || item_opens_with_lines_block(*next)) return next->start;
    // One that may read as text is a list only numbered on: from the lists
    // before the paragraph, or, from 1, by the next list after it. Else it
    // is text either way, and the paragraph is left as it reads back.
    if (!state) return 0;
    if (numbering && (next->start == state->last || next->start == state->last + 1)) return next->start;
    if (next->start != 1) return 0;
    if (stops.after <= stop) stops.after = next_numbering_block(blocks, stop + 1, heading);
    const auto* later = stops.after < blocks.size() ? blocks[stops.after].as<List>() : nullptr;
    const std::uint64_t end = next->items.size();
    return later && later->ordered && (later->start == end || later->start == end + 1) ? 1 : 0;
}

// Whether the ordered lists after blocks[i], from blocks[j] on, can each
// read back as a list where the reader's numbering stands on after a list
// of more items than one whose last number is `last`, under a heading of
// level `heading`: none that may read as text is left unnumbered on, each
// numbered on one by one, except that a list kept by an item may have its
// last number anywhere its items numbered up to it reach (see
// `last_number_for_lists`, which numbers it so when it is written). Judged
// up to where the numbering begins anew, after which nothing depends on
// that number. (Only the next few lists are judged: the writing of many
// lists stays linear.)
[[gnu::noinline, gnu::cold]] bool lists_kept_after(const Blocks& blocks, std::size_t j, std::size_t count,
                                                   unsigned heading, std::uint64_t last) {
    // Whether the numbering stands on a list "1." of one item that may read
    // as text, which the lists before did not number on, and the level of
    // the heading over the list it stands on; the numbers its last may be.
    bool single = false;
    unsigned recorded = heading;
    std::uint64_t low = last, high = last;
    for (int lists = 0; j < count && lists < 32; ++j) {
        if (const auto* h = blocks[j].as<Heading>()) {
            if (h->level <= recorded) return !single;
            heading = h->level;
            continue;
        }
        const auto* m = blocks[j].as<List>();
        if (!m || m->items.empty()) continue;
        ++lists;
        if (!m->ordered) return !single;
        const std::uint64_t end = m->start + m->items.size() - 1;
        if (m->start >= low && m->start <= high + 1) {
            single = false;
            const bool renumbered =
                m->items.size() >= 2 && std::any_of(m->items.begin(), m->items.end(), item_keeps_list);
            low = renumbered ? m->start : end;
            high = end;
        } else if (m->start == 1) {
            // Numbered anew: from a list that stays one, nothing after
            // depends on the number.
            if (single || stays_list_alone(*m)) return !single;
            single = true;
            low = high = end;
            recorded = heading;
        } else if (!stays_list_alone(*m)) {
            return false;
        }
    }
    return !(j == count && single);
}

// For the ordered list blocks[i], under a heading of level `heading`: the
// number after the one its last item is written with so that the next
// list, one that reads as a list only numbered on (from that item), does;
// or 0 for numbering its items on (a last item may be numbered 0). Only a
// list that the reader keeps however its items are numbered (by an item of
// more blocks than one, or opening with a mark the writer escapes in text,
// or by its own attribute line) may be numbered so: its first item with its
// number, the items between with that number again, as the reader read it.
// `standing`, when not 0: the last number of the lists the reader numbers
// on before this one, which it does not number on, so that a list after it
// from that number or the next reads back as one read apart.
[[gnu::noinline]] std::uint64_t last_number_for_next(const Blocks& blocks, std::size_t i, std::size_t count,
                                                    unsigned heading, std::uint64_t on, bool& kept,
                                                    bool numbered, std::uint64_t standing) {
    const auto* l = blocks[i].as<List>();
    const std::size_t n = l->items.size();
    // (An attribute line keeps only a list written on its own: written on
    // as the list before it, the line is not the list's. The line ends the
    // list: no list after it is read on as its items, even where its last
    // item leaves raw HTML open.)
    const bool line_kept = markdown::writes_line_attrs(l->attr);
    if (!l->ordered || (line_kept && on != 0)) return 0;
    // (One written on as the list before it, from `on`, is kept by that
    // list, its items numbered as its last.)
    // (So may one the numbering goes on from, `numbered`, with an item on
    // more lines than one or with an attribute line.)
    // (One from 0 that only its numbers keep is numbered so that they do.)
    if (on == 0 && (n < 2 || !(line_kept || std::any_of(l->items.begin(), l->items.end(),
                                                        numbered ? item_keeps_list : blocks_keep_list))))
        return l->start == 0 ? numbered_from_zeros(*l) : 0;
    kept = on == 0;
    const auto open_html = [&] { return !line_kept && ends_in_open_html(*l); };
    const std::uint64_t first = on != 0 ? on - 1 : l->start;
    std::size_t j = i + 1;
    // (Past headings deeper than the one over the list, which leave the
    // reader's numbering as it was.)
    for (; j < count && !(blocks[j].is<List>() && !blocks[j].as<List>()->items.empty()); ++j)
        if (const auto* h = blocks[j].as<Heading>(); h && h->level <= heading) break;
    const auto* next = j < count ? blocks[j].as<List>() : nullptr;
    const std::uint64_t last = (on != 0 ? on : l->start) + n - 1;  // numbered on one by one
    if (next && next->ordered &&
        (stays_list_alone(*next) || (standing != 0 && (next->start == standing || next->start == standing + 1))) &&
        open_html() &&
        std::all_of(blocks.begin() + i + 1, blocks.begin() + j, writes_nothing) &&
        (next->start == last || next->start == last + 1)) {
        // Right after it, a list numbered as its last item or the next is
        // read on as its items. One the reader read apart, which items
        // numbered on one by one would reach ("1.", "1. <div>", then "3."),
        // is kept apart by numbering them as the reader read them, where
        // that does not reach it. (One they do not reach is passed below.)
        // (Read apart, one stays a list alone, or one the reader numbers on
        // from the lists before this one: "1.", then "0." of two blocks,
        // "0. <div>", then "2.".)
        for (const std::uint64_t target : {first, first + 1})
            if (next->start != target && next->start != target + 1) return target + 1;
        return 0;
    }
    // Past lists that leave the numbering as it was however the items are
    // numbered: lists kept as they stand, from a number that neither their
    // last number one by one nor any they may be numbered with goes on to
    // ("1. ```", "1.", then "4. > a", then "1."), after one the numbering
    // goes on from. (Only the next few: the writing of many such lists
    // stays linear.)
    for (int passed = 0; passed < 32 && on == 0 && numbered && next && next->ordered && next->start > 1 &&
                         next->start != last && next->start != last + 1 &&
                         (next->start < first || next->start > first + n) && stays_list_alone(*next);
         ++passed) {
        for (++j; j < count && !(blocks[j].is<List>() && !blocks[j].as<List>()->items.empty()); ++j)
            if (const auto* h = blocks[j].as<Heading>(); h && h->level <= heading) break;
        next = j < count ? blocks[j].as<List>() : nullptr;
    }
    if (!next || !next->ordered || next->start == 0 || stays_list_alone(*next)) return 0;
    // (Right after one leaving raw HTML open, a list numbered on from it is
    // written on as its items.)
    if (open_html() && std::all_of(blocks.begin() + i + 1, blocks.begin() + j, writes_nothing)) return 0;
    if (next->start == last || next->start == last + 1) return 0;
    if (next->start == 1) {
        // One from 1 that the list after it numbers on from is a list as it
        // stands (see `numbered_on_after`).
        const std::size_t k = next_numbering_block(blocks, j + 1, heading);
        const auto* later = k < blocks.size() ? blocks[k].as<List>() : nullptr;
        const std::uint64_t end = next->items.size();
        if (later && later->ordered && (later->start == end || later->start == end + 1)) return 0;
    }
    // An item goes on with the list only at the number before it or the one
    // after: the last can be numbered no further than one past the first
    // for each item after the first (the items before it numbered up to it
    // one by one, "1.", "1.", "1. ```", "2.", "3.").
    const auto fits = [&](std::uint64_t target) { return target != 0 && target - first < n; };
    if (fits(next->start - 1)) return next->start;
    return fits(next->start) ? next->start + 1 : 0;
}

// Whether `written` reads back as one list from `start` of the items of
// `before` (a list `l` is written on as, or none) and of `l`, each with as
// many blocks as it writes (an empty quote in an item is not written, and
// the list written again must be judged the same).
[[gnu::cold, gnu::noinline]] bool reads_as_items_of(std::string_view written, const List* before, const List& l,
                                                    std::uint64_t start) {
    static const Options options = Options::dataset();
    const Document doc = block::parse_source(written, options);
    const auto* read = doc.blocks.size() == 1 ? doc.blocks.front().as<List>() : nullptr;
    const std::size_t from = before ? before->items.size() : 0;
    if (!read || read->start != start || read->items.size() != from + l.items.size()) return false;
    for (std::size_t k = 0; k < read->items.size(); ++k) {
        const ListItem& item = k < from ? before->items[k] : l.items[k - from];
        if (read->items[k].blocks.size() != shown_count(item.blocks)) return false;
    }
    return true;
}

// Whether the lines of a paragraph, which read alone as text, read as a
// list that an ordered list numbered from `start` after them numbers on.
bool numbered_on_by(std::string_view lines, std::uint64_t start) {
    static const Options options = Options::dataset();
    std::string probe(lines);
    probe.append("\n\n"sv);
    probe.append(item_marker(start));
    probe.append("x\n"sv);
    const auto outline = block::outline_blocks(probe, options);
    return outline.blocks.empty() || outline.blocks.front().kind != "paragraph";
}

// Whether a script text holding escaped line ends ("a\\\nb", which the
// reader takes as content) is written bare between its markers, over
// lines: it fits as a text without them would, each backslash is one
// before a line end, and each line after one opens nothing there: no
// raw HTML, table or footnote, and no block the reader lets interrupt a
// paragraph (a fence, a div's, a heading, a quote, an item).
[[gnu::cold, gnu::noinline]] bool script_lines_fit(std::string_view text, char marker) {
    if (text.empty() || (marker == '^' && text.front() == '[')) return false;
    bool any = false;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '\\') {
            if (i + 2 >= text.size() || text[i + 1] != '\n') return false;
            const char next = text[i + 2];
            if (std::string_view("\\<|[").find(next) != std::string_view::npos) return false;
            // (The last line goes on with the closing marker.)
            const std::size_t nl = text.find('\n', i + 2);
            std::string line(text.substr(i + 2, nl == std::string_view::npos ? nl : nl - i - 2));
            if (nl == std::string_view::npos) line.push_back(marker);
            if (interrupts_paragraph_at(line)) return false;
            any = true;
            i += 2;
            continue;
        }
        if (b < 0x80) {
            if (b == static_cast<unsigned char>(marker) || text::is_white_space(b)) return false;
            ++i;
            continue;
        }
        const text::Decoded d = text::decode_utf8(text, i);
        if (text::is_white_space(d.cp)) return false;
        i += d.len;
    }
    return any;
}

// The character after the run of unescaped "*" opening out[from, to), or
// `fallback` where the run fills it; the character before the run ending
// it, or `fallback`, in `star_run_before`.
[[gnu::cold, gnu::noinline]] char32_t star_run_after(std::string_view out, std::size_t from, std::size_t to,
                                                    char32_t fallback) {
    std::size_t i = from;
    while (i < to && out[i] == '*') ++i;
    return i < to ? text::decode_utf8(out, i).cp : fallback;
}

[[gnu::cold, gnu::noinline]] char32_t star_run_before(std::string_view out, std::size_t from, std::size_t to,
                                                     char32_t fallback) {
    std::size_t i = to;
    while (i > from && out[i - 1] == '*') --i;
    std::size_t slashes = 0;
    while (i - slashes > from && out[i - 1 - slashes] == '\\') ++slashes;
    if (slashes % 2 == 1) ++i;  // that "*" is escaped: text, not the run's
    return i > from && i < to ? text::decode_utf8_before(out, i).cp : fallback;
}

const Document& empty_document() {
    static const Document doc;
    return doc;
}

}  // namespace

// ---------------------------------------------------------------------------
// Document

namespace {

// The document's text; with `starts`, where each top-level block's text
// begins in it, then the text's length (see `render_md_blocks`).
std::string write_document(const Document& doc, std::vector<std::size_t>* starts) {
    Renderer r(doc);
    r.record_block_starts(starts);
    std::string& out = r.out();
    if (!doc.metadata.empty()) {
        out.append("---\n"sv);
        for (const auto& [key, value] : doc.metadata) {
            out.append(key);
            out.append(": "sv);
            out.append(value);
            out.push_back('\n');
        }
        out.append("---\n\n"sv);
    }
    // Raw HTML that the reader leaves open at the end of the document (an
    // unclosed "<div>" or comment from hand-written Markdown) would take
    // the footnote section into itself: the section goes before it.
    // Blocks after it that write nothing (an empty quote, a paragraph of
    // white space) leave it last.
    std::size_t last = doc.blocks.size();
    while (last > 0 && writes_nothing(doc.blocks[last - 1])) --last;
    // (Asked only where a paragraph follows raw HTML or another paragraph.)
    if (last >= 2 && doc.blocks[last - 1].is<Paragraph>() &&
        (doc.blocks[last - 2].is<HtmlBlock>() || doc.blocks[last - 2].is<Paragraph>()))
        last = probe::open_html_before_blanks(doc.blocks, last);
    const HtmlBlock* open_end = nullptr;
    if (last > 0) {
        if (const auto* h = doc.blocks[last - 1].as<HtmlBlock>(); h && html_left_open(h->html)) open_end = h;
    }
    const std::size_t head = out.size();
    r.blocks(doc.blocks, open_end ? last - 1 : doc.blocks.size());
    std::size_t moved_at = std::string::npos;  // where text moved after the footnotes began
    // A block that goes on with raw HTML a markdown container's tag ended
    // ("<table>" before "<section markdown=1>", then "</section>")
    // leaves that HTML open too. Only then is the reader asked.
    std::string tail;
    if (!open_end && last > 0 && doc.blocks[last - 1].is<HtmlBlock>() && (!doc.footnotes.empty() || r.has_notes()) &&
        std::any_of(doc.blocks.begin(), doc.blocks.begin() + static_cast<std::ptrdiff_t>(last), [](const Block& b) {
            const auto* h = b.as<HtmlBlock>();
            return h && h->html.find("markdown") != std::string::npos;
        })) {
        static const Options options = Options::dataset();
        const Blocks probe = block::parse_source(out + "x\n", options).blocks;
        if (probe.empty() || !probe.back().is<Paragraph>()) {
            moved_at = r.last_block_at();
            tail = out.substr(moved_at);
            out.resize(moved_at);
        }
    }
    // So does raw HTML left open in a div written as its content, which
    // takes the blocks after the div into itself as well: the HTML the
    // reader ends in goes after the footnotes.
    if (!open_end && tail.empty() && last > 0 && (!doc.footnotes.empty() || r.has_notes()) && r.wrote_bare_div() &&
        std::any_of(doc.blocks.begin(), doc.blocks.begin() + static_cast<std::ptrdiff_t>(last), [](const Block& b) {
            const auto* d = b.as<Div>();
            return d && !markdown::writes_attrs(d->attr) && may_leave_html_open(b);
        })) {
        static const Options options = Options::dataset();
        const std::string probe_text = out + "x\n";
        const Blocks probe = block::parse_source(probe_text, options).blocks;
        const auto* h = probe.empty() ? nullptr : probe.back().as<HtmlBlock>();
        if (h && probe_text.ends_with(h->html) && h->html.size() > 2) {
            moved_at = probe_text.size() - h->html.size();
            tail = out.substr(moved_at);
            out.resize(moved_at);
        }
    }
    const std::size_t notes_at = out.size();
    for (const auto& fn : doc.footnotes) r.footnote(fn);
    r.flush_notes();
    if (open_end) {
        // Written first, its indentation is kept; after footnotes, whose
        // content starts four columns in, as after a paragraph; else as
        // after the block before it (a list may have padded its last marker
        // for it: see `blocks`).
        static const Block paragraph{Paragraph{}};
        const bool after_block = out.size() == notes_at && r.last_leaf();
        const Block* prev = after_block ? r.last_leaf() : &paragraph;
        const std::string_view written = after_block ? std::string_view(out).substr(r.last_leaf_at()) : "";
        if (out.size() == head ||
            (after_block && prev->is<List>() && probe::list_reads_back_before(written, open_end->html)) ||
            indent_stays_after(*prev, 0, written, open_end->html))
            r.keep_html_indent();
        r.block(doc.blocks[last - 1]);
    }
    r.out().append(tail);
    if (starts) {
        // The pass gave where each block it wrote begins, then where it
        // ended. The footnotes begin there, or where the text moved after
        // them began: the block before them takes them into its range, and
        // so does a block held back for after them (the blocks after it
        // write nothing).
        const std::size_t notes_at = std::min(starts->back(), moved_at);
        starts->pop_back();
        const std::size_t written = starts->size(), n = doc.blocks.size(), size = out.size();
        for (std::size_t& at : *starts) at = std::min(at, notes_at);
        for (std::size_t i = written; i < n; ++i) starts->push_back(i == written ? notes_at : size);
        starts->push_back(size);
        // A list written on as the one before it begins before the blocks
        // between them that wrote nothing.
        for (std::size_t i = n; i-- > 0;) (*starts)[i] = std::min((*starts)[i], (*starts)[i + 1]);
    }
    return r.take();
}

}  // namespace

std::string render_md(const Document& doc) { return write_document(doc, nullptr); }

WrittenBlocks render_md_blocks(const Document& doc) {
    WrittenBlocks written;
    written.md = write_document(doc, &written.starts);
    return written;
}

std::string render_block_md(const Block& block, const Document* labels_from) {
    Renderer r(empty_document(), labels_from);
    return r.block_alone(block);
}

std::string Renderer::block_alone(const Block& block) {
    std::string saved_out;
    saved_out.swap(out_);
    std::vector<std::pair<std::string, Inlines>> saved_notes;
    saved_notes.swap(notes_);
    const std::size_t divs_from = std::exchange(divs_from_, written_divs_.size());
    this->block(block);
    flush_notes();
    std::string text;
    text.swap(out_);
    out_.swap(saved_out);
    notes_.swap(saved_notes);
    if (written_divs_.size() != divs_from_) [[unlikely]] take_divs(nullptr);
    divs_from_ = divs_from;
    return text;
}

bool simple_table(const Table& t) {
    if (t.head.size() != 1 || !t.foot.empty() || !t.interludes.empty()) return false;
    const TableRow& head = t.head.front();
    if (head.cells.empty() || !head.attr.empty()) return false;
    // The reader takes a delimiter row only with one cell per head cell.
    if (t.aligns.size() != head.cells.size()) return false;
    for (const auto& cell : head.cells) {
        if (!cell.attr.empty() || !canon::fits_pipe_cell(cell.content)) return false;
    }
    for (const auto& row : t.body) {
        if (!row.attr.empty() || row.cells.size() != head.cells.size()) return false;
        for (const auto& cell : row.cells) {
            if (!cell.attr.empty() || !canon::fits_pipe_cell(cell.content)) return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Renderer: frame pieces

void Renderer::ial(const Attr& attr) {
    if (!markdown::writes_line_attrs(attr)) return;
    out_.append("{: "sv);
    // On its own line a key may hold a "}" or white space after a
    // backslash; the block's layout around the line asks the same of it
    // (`writes_line_attrs`).
    out_.append(attrs_body(attr, '"', false, false, false, true));
    out_.append("}\n"sv);
}

void Renderer::trailing_attrs(const Attr& attr, char quote, bool braces, bool links) {
    if (!markdown::writes_attrs(attr)) return;
    out_.push_back('{');
    const std::string body = attrs_body(attr, quote, braces, links);
    out_.append(body);
    out_.push_back('}');
    if (in_cell_) [[unlikely]] escape_bars_from(out_, out_.size() - body.size() - 2);
}

std::string Renderer::nested(const Blocks& blocks) {
    std::string saved;
    saved.swap(out_);
    this->blocks(blocks);
    saved.swap(out_);
    return saved;
}

std::string Renderer::div_content(const Blocks& blocks, std::vector<WrittenDiv>& divs) {
    std::string saved;
    saved.swap(out_);
    const std::size_t divs_from = std::exchange(divs_from_, written_divs_.size());
    this->blocks(blocks);
    saved.swap(out_);
    if (written_divs_.size() != divs_from_) take_divs(&divs);
    divs_from_ = divs_from;
    return saved;
}

void Renderer::forget_divs_after(std::size_t at) {
    while (written_divs_.size() > divs_from_ && written_divs_.back().end > at) written_divs_.pop_back();
}

void Renderer::take_divs(std::vector<WrittenDiv>* divs) {
    const auto written = written_divs_.begin() + static_cast<std::ptrdiff_t>(divs_from_);
    if (divs) divs->assign(std::make_move_iterator(written), std::make_move_iterator(written_divs_.end()));
    written_divs_.erase(written, written_divs_.end());
}

void ColonLines::add(std::size_t first, std::size_t last) {
    // The runs from the first that ends at most one before `first`, up to
    // the last that starts at most one after `last`, become one.
    auto from = std::lower_bound(runs_.begin(), runs_.end(), first,
                                 [](const auto& run, std::size_t n) { return run.second + 1 < n; });
    auto to = from;
    for (; to != runs_.end() && to->first <= last + 1; ++to) {
        first = std::min(first, to->first);
        last = std::max(last, to->second);
    }
    runs_.insert(runs_.erase(from, to), {first, last});
}

void ColonLines::add(const ColonLines& other) {
    for (const auto& [first, last] : other.runs_) add(first, last);
}

std::size_t ColonLines::first_free() const {
    return !runs_.empty() && runs_.front().first <= 3 ? runs_.front().second + 1 : 3;
}

// Each div written in the text is looked past, its lines taken from what it
// found: a div's lines are read once, not again by every div around it,
// which under divs nested deep took their depth times the text for each
// length of fence tried. So are the lines of quotes and items written in a
// div, which hold their content's lines behind their markers: a line of
// colons alone is one with them or without. What no longer stands where
// it was written (the text moved on or rewound over it) is read as text.
ColonLines Renderer::colon_lines(std::string_view text, std::span<const WrittenDiv> divs, bool later) {
    const auto stands = [&](const WrittenDiv& d, std::size_t from) {
        if (d.begin < from || d.end > text.size() || d.end <= d.begin) return false;
        if (d.begin > 0 && text[d.begin - 1] != '\n') return false;
        if (d.fence == 0) return text[d.end - 1] == '\n';
        const std::size_t closer = d.fence + 2;
        if (d.end - d.begin < 2 * d.fence + 3) return false;
        const std::string_view open = text.substr(d.begin, d.fence + 1), close = text.substr(d.end - closer - 1);
        return open.find_first_not_of(':') == d.fence && (open.back() == ' ' || open.back() == '\n') &&
               close[0] == '\n' && close.find_first_not_of(':', 1) == closer - 1 && close.substr(closer - 1) == "\n\n";
    };
    // (A div's lines are the same without its first: a bare fence's length
    // is its closing fence's too.)
    const std::size_t skip = later ? std::min(text.find('\n'), text.size()) : 0;
    ColonLines lines;
    std::size_t from = 0;
    for (const auto& d : divs) {
        if (!stands(d, from)) continue;
        if (d.begin > skip && d.begin > from)
            fence_lines_read_ += probe::add_colon_lines(text.substr(std::max(from, skip), d.begin - std::max(from, skip)), lines);
        lines.add(d.colons);
        from = d.end;
    }
    if (text.size() > std::max(from, skip))
        fence_lines_read_ += probe::add_colon_lines(text.substr(std::max(from, skip)), lines);
    return lines;
}


// The text of the blocks of a list item or quote. Text that ends in a
// character that is no white space (most does) is kept split: its first
// line with the markers written before it, its later lines as written
// innermost and what goes before each of them. A container holding one
// such container alone ("- - a", "- > a") adds its marker and indentation
// to those, so that the lines are written once, after all of them:
// re-indenting the finished text at every level would take time and
// memory growing with the depth times the text (lazy lines under deep
// items). Else it is the text as written.
struct Renderer::Lines {
    std::string buf;  // the text as written, or the innermost text when split
    bool split = false;
    // Split: the lines are `buf` from `at` to `end` (offsets: the text
    // moves with the string), the first after `head`, the markers written
    // before it; with `whole_head`, `head` is the whole first line and
    // those are the later lines.
    std::string head;
    bool whole_head = false;
    std::size_t at = 0, end = 0;
    // Before each later line with text; before an empty one the same, but
    // for the space after the innermost quote's marker, when a quote wrote
    // the last of it.
    std::string prefix;
    bool prefix_ends_in_quote = false;
    // Inside a div: the lengths of the lines of colons alone in the text
    // after its first line (see `colon_lines`).
    bool colons_known = false;
    ColonLines later_colons;
    std::string_view empty_prefix() const {
        return std::string_view(prefix).substr(0, prefix.size() - (prefix_ends_in_quote ? 1 : 0));
    }
    std::string_view body() const { return std::string_view(buf).substr(at, end - at); }
    char front() const { return !head.empty() ? head[0] : at < end ? buf[at] : '\0'; }
    bool first_empty() const {
        return head.empty() && (whole_head || buf[at] == '\n' || (buf[at] == '\r' && buf[at + 1] == '\n'));
    }
};

Renderer::Lines Renderer::nested_lines(const Blocks& blocks) {
    const bool quote_blocks = std::exchange(quote_blocks_, false);
    const bool item_blocks = std::exchange(item_blocks_, false);
    Lines text;
    const auto* l = blocks.size() == 1 ? blocks.front().as<List>() : nullptr;
    const auto* q = blocks.size() == 1 ? blocks.front().as<BlockQuote>() : nullptr;
    if ((l && l->items.size() == 1 && !markdown::writes_line_attrs(l->attr)) ||
        (q && !markdown::writes_line_attrs(q->attr))) {
        // What `blocks` writes for the one block: a one-item list never
        // reads as text, and is written as its item (see `list`).
        if (l) {
            const ListItem& it = l->items.front();
            const bool keep_blanks = keep_blanks_;
            if (l->ordered && !keep_blanks && blanks_keep_list(*l)) [[unlikely]]
                keep_blanks_ = true;
            ++blank_lines_empty_;
            item_blocks_ = true;
            depth_ += 2;
            text = nested_lines(it.blocks);
            depth_ -= 2;
            keep_blanks_ = keep_blanks;
            --blank_lines_empty_;
            const std::string marker = l->ordered ? item_marker(l->start) : "- ";
            std::string_view body;
            const bool own_line = prepare_item(*l, it, text, body);
            if (text.split && !own_line && !markdown::writes_attrs(it.attr)) {
                text.head.insert(0, marker);
                text.prefix.insert(0, marker.size(), ' ');
            } else {
                std::string saved;
                saved.swap(out_);
                item(it, marker, text, body, own_line);
                ial(l->attr);
                out_.push_back('\n');
                ColonLines later;
                if (text.colons_known) [[unlikely]] later = written_colons(text, 0, true);
                saved.swap(out_);
                const bool known = text.colons_known;
                text = Lines{};
                text.buf = std::move(saved);
                text.colons_known = known;
                text.later_colons = std::move(later);
            }
        } else {
            const int blank_lines_empty = std::exchange(blank_lines_empty_, 0);
            quote_blocks_ = true;
            ++depth_;
            text = nested_lines(q->blocks);
            --depth_;
            blank_lines_empty_ = blank_lines_empty;
            if (text.split) {
                text.head.insert(0, text.first_empty() ? ">" : "> ");
                if (text.prefix.empty()) text.prefix_ends_in_quote = true;
                text.prefix.insert(0, "> ");
            } else {
                std::string saved;
                saved.swap(out_);
                quote(*q, text);
                ColonLines later;
                if (text.colons_known) [[unlikely]] later = written_colons(text, 0, true);
                saved.swap(out_);
                const bool known = text.colons_known;
                text = Lines{};
                text.buf = std::move(saved);
                text.colons_known = known;
                text.later_colons = std::move(later);
            }
        }
        // (As `blocks` leaves them.)
        alt_bullet_ = false;
        continue_at_ = 0;
        wrote_text_ = false;
        if (text.split || !text.buf.empty()) last_block_at_ = 0;
        return text;
    }
    text.buf.swap(out_);
    // (Only a div reads the list: outside all, what is written in it stays
    // unread. The footnotes, which `nested` writes, stand outside all.)
    const std::size_t divs_from = div_depth_ > 0 ? std::exchange(divs_from_, written_divs_.size()) : divs_from_;
    quote_blocks_ = quote_blocks;
    item_blocks_ = item_blocks;
    this->blocks(blocks);
    text.buf.swap(out_);
    if (div_depth_ > 0) [[unlikely]] {
        text.later_colons = colon_lines(text.buf, std::span(written_divs_).subspan(divs_from_), true);
        text.colons_known = true;
        if (written_divs_.size() != divs_from_) take_divs(nullptr);
        divs_from_ = divs_from;
    }
    // The end `trim_nested_end` cuts is the line ends alone.
    std::size_t end = text.buf.size();
    while (end > 0 && (text.buf[end - 1] == '\n' || text.buf[end - 1] == '\r')) --end;
    if (end > 0 && static_cast<unsigned char>(text.buf[end - 1]) > ' ' &&
        static_cast<unsigned char>(text.buf[end - 1]) < 0x80) {
        text.split = true;
        text.end = end;
    }
    return text;
}

ColonLines Renderer::written_colons(const Lines& text, std::size_t begin, bool later) {
    // The content's first line may be written otherwise (after its
    // markers, escaped, after a task's box), on the first line or the
    // second (after a marker alone): those two are read as written.
    ColonLines lines = text.later_colons;
    const std::string_view written = std::string_view(out_).substr(begin);
    const std::size_t first = std::min(written.find('\n'), written.size());
    const std::size_t second = first < written.size() ? std::min(written.find('\n', first + 1), written.size()) : first;
    const std::size_t from = later ? std::min(first + 1, written.size()) : 0;
    fence_lines_read_ += probe::add_colon_lines(written.substr(from, second - from), lines);
    return lines;
}

void Renderer::split_lines(const Lines& text, std::string_view first_lead, std::string_view lead,
                           std::string_view empty_lead) {
    std::string_view rest = text.body();
    out_.append(first_lead);
    if (!text.head.empty()) out_.append(text.head);
    if (!text.whole_head) {
        // (See `for_each_line`.)
        const std::size_t nl = rest.find('\n');
        std::string_view line(rest.data(), std::min(nl, rest.size()));
        if (nl != std::string_view::npos && nl > 0 && line.back() == '\r') line.remove_suffix(1);
        out_.append(line);
        rest = nl == std::string_view::npos ? std::string_view() : std::string_view(rest.data() + nl + 1, rest.size() - nl - 1);
    }
    out_.push_back('\n');
    if (text.prefix.empty()) {
        // (Text written where it stands, as most is.)
        for_each_line(rest, [&](std::string_view line) {
            out_.append(line.empty() ? empty_lead : lead);
            out_.append(line);
            out_.push_back('\n');
        });
        return;
    }
    std::string full(lead), empty_full(empty_lead);
    full.append(text.prefix);
    empty_full.append(text.empty_prefix());
    const std::size_t lines = static_cast<std::size_t>(std::count(rest.begin(), rest.end(), '\n')) + 1;
    out_.reserve(out_.size() + rest.size() + lines * (1 + std::max(full.size(), empty_full.size())));
    for_each_line(rest, [&](std::string_view line) {
        out_.append(line.empty() ? empty_full : full);
        out_.append(line);
        out_.push_back('\n');
    });
}

namespace {

// Whether the reader takes `label` back from a definition line "[^label]:",
// which ends the label at the first "]:" and holds no white space in it.
[[gnu::cold]] bool definition_label(std::string_view label) {
    if (label.empty() || label.find("]:") != std::string_view::npos) return false;
    for (std::size_t i = 0; i < label.size();) {
        const text::Decoded d = text::decode_utf8(label, i);
        if (text::is_white_space(d.cp)) return false;
        i += d.len;
    }
    return true;
}

// The inlines an emphasis, link, note or span holds; null for other kinds.
const Inlines* inline_content(const Inline& in) {
    if (const auto* n = in.as<Emph>()) return &n->content;
    if (const auto* n = in.as<Strong>()) return &n->content;
    if (const auto* n = in.as<Strikeout>()) return &n->content;
    if (const auto* n = in.as<Highlight>()) return &n->content;
    if (const auto* n = in.as<Link>()) return &n->content;
    if (const auto* n = in.as<Note>()) return &n->content;
    if (const auto* n = in.as<Span>()) return &n->content;
    return nullptr;
}

// The labels the document's references name, in its blocks and its
// footnotes, inside any inline. (Walked with work lists: pages nest deep.)
[[gnu::cold]] [[gnu::noinline]] std::unordered_set<std::string_view> referenced_labels(const Document& doc) {
    std::unordered_set<std::string_view> out;
    std::vector<const Blocks*> lists{&doc.blocks};
    for (const auto& fn : doc.footnotes) lists.push_back(&fn.blocks);
    std::vector<const Inlines*> runs;
    const auto rows = [&runs](const std::vector<TableRow>& part) {
        for (const auto& row : part)
            for (const auto& cell : row.cells) runs.push_back(&cell.content);
    };
    while (!lists.empty() || !runs.empty()) {
        if (!runs.empty()) {
            const Inlines* run = runs.back();
            runs.pop_back();
            for (const Inline& in : *run) {
                if (const auto* ref = in.as<FootnoteRef>()) {
                    out.insert(ref->label);
                } else if (const auto* op = in.as<Operation>()) {
                    for (const auto& arg : op->args) runs.push_back(&arg.value);
                } else if (const auto* image = in.as<Image>()) {
                    runs.push_back(&image->alt);
                } else if (const Inlines* content = inline_content(in)) {
                    runs.push_back(content);
                }
            }
            continue;
        }
        const Blocks* blocks = lists.back();
        lists.pop_back();
        for (const Block& b : *blocks) {
            if (const auto* p = b.as<Paragraph>()) {
                runs.push_back(&p->content);
            } else if (const auto* h = b.as<Heading>()) {
                runs.push_back(&h->content);
            } else if (const auto* q = b.as<BlockQuote>()) {
                lists.push_back(&q->blocks);
            } else if (const auto* d = b.as<Div>()) {
                lists.push_back(&d->blocks);
            } else if (const auto* l = b.as<List>()) {
                for (const auto& item : l->items) lists.push_back(&item.blocks);
            } else if (const auto* dl = b.as<DefinitionList>()) {
                for (const auto& item : dl->items) {
                    for (const auto& term : item.terms) runs.push_back(&term.content);
                    for (const auto& def : item.definitions) runs.push_back(&def);
                }
            } else if (const auto* t = b.as<Table>()) {
                rows(t->head);
                rows(t->body);
                rows(t->foot);
                runs.push_back(&t->caption);
            } else if (const auto* f = b.as<Figure>()) {
                runs.push_back(&f->caption);
                if (const auto* image = f->image.as<Image>()) runs.push_back(&image->alt);
            }
        }
    }
    return out;
}

// A footnote no reference names keeps its label where the definition line
// reads it back ("[^[]:"); the others are given labels that both read back
// (see `written_labels`: those have no bracket, so the two never meet).
[[gnu::cold]] [[gnu::noinline]] void keep_unnamed_labels(const Document& doc,
                                                         std::unordered_map<std::string, std::string>& out) {
    std::unordered_set<std::string_view> referenced;
    bool walked = false;
    for (const auto& fn : doc.footnotes) {
        if (out.count(fn.label) || !definition_label(fn.label)) continue;
        if (!std::exchange(walked, true)) referenced = referenced_labels(doc);
        if (!referenced.count(fn.label)) out.try_emplace(fn.label, fn.label);
    }
}

}  // namespace

std::unordered_map<std::string, std::string> Renderer::written_labels(const Document& doc) {
    std::unordered_map<std::string, std::string> out;
    std::unordered_set<std::string> taken;
    bool unnamed = false;  // a label no reference can name
    for (const auto& fn : doc.footnotes) {
        if (valid_reference_label(fn.label)) {
            out.emplace(fn.label, fn.label);
            taken.insert(fn.label);
        } else {
            unnamed = true;
        }
    }
    if (unnamed) keep_unnamed_labels(doc, out);
    for (const auto& fn : doc.footnotes) {
        if (out.count(fn.label)) continue;
        std::string base;
        for (std::size_t i = 0; i < fn.label.size();) {
            text::Decoded d = text::decode_utf8(fn.label, i);
            if (text::is_white_space(d.cp) || d.cp == '[' || d.cp == ']') {
                base.push_back('_');
            } else {
                base.append(fn.label, i, d.len);
            }
            i += d.len;
        }
        if (base.empty()) base = "_";
        std::string label = base;
        for (int n = 2; taken.count(label); ++n) label = base + "_" + std::to_string(n);
        taken.insert(label);
        out.emplace(fn.label, std::move(label));
    }
    return out;
}

void Renderer::footnote(const Footnote& fn) {
    ++blank_lines_empty_;
    find_first_shown_ = true;
    first_shown_ = nullptr;
    footnote_blocks_ = true;
    ++depth_;
    std::string buf = nested(fn.blocks);
    --depth_;
    footnote_blocks_ = false;
    --blank_lines_empty_;
    std::string_view body = trim_nested_end(buf, fn.blocks);
    // Raw HTML first keeps the white space before its tag (see `blocks`).
    body = first_shown_ != nullptr && first_shown_->is<HtmlBlock>()
               ? body.substr(std::min(body.find_first_not_of("\r\n"), body.size()))
               : text::trim_start(body);
    out_.append("[^"sv);
    auto written = footnote_labels_.find(fn.label);
    out_.append(written != footnote_labels_.end() ? std::string_view(written->second) : std::string_view(fn.label));
    out_.append("]:"sv);
    // Only a paragraph starts on the definition's own line: the reader opens
    // no quote, list or other container there. A paragraph whose first line
    // reads as another block (raw HTML, an item number) is such a block.
    // Blocks that write nothing before it (an empty quote) are not read
    // back, so they do not count.
    // A list that reads back as text ("2." alone) is such a paragraph: what
    // the body reads back as at a line start decides, as the body was
    // written for one. So does a paragraph whose first line is an item
    // number: at a line start the reader's numbering goes on from it, and
    // a list after it that numbers on ("1." then "1. a") is read as one
    // only there.
    // White space ending the first line would be cut there.
    const std::size_t first_end = body.find('\n');
    const bool ends_in_space = first_end != std::string_view::npos && first_end > 0 &&
                               text::is_white_space(text::decode_utf8_before(body, first_end).cp);
    bool first = true;
    if (!body.empty() && (!first_shown_ || ends_in_space || !starts_paragraph(body) ||
                          ((!first_shown_->is<Paragraph>() ||
                            (body[0] >= '0' && body[0] <= '9' && item_markers_length(body.substr(0, first_end)) != 0)) &&
                           !reads_as_paragraph_first(body)))) {
        out_.push_back('\n');
        first = false;
    }
    for_each_line(body, [&](std::string_view line) {
        if (first) {
            out_.push_back(' ');
            out_.append(line);
            out_.push_back('\n');
            first = false;
        } else {
            out_.append("    "sv);
            out_.append(line);
            out_.push_back('\n');
        }
    });
    if (first) out_.push_back('\n');
    out_.push_back('\n');
}

// What follows a link's or an image's bracketed text: "(", its target and
// title, ")", and its attributes.
// (Inline: it stands on the common path of every link and image.)
[[gnu::always_inline]] inline void Renderer::target_and_attrs(const std::string& url,
                                                              const std::optional<std::string>& title,
                                                              const Attr& attr) {
    out_.append("]("sv);
    const std::size_t target = out_.size();
    out_.append(escape_target(url));
    append_title(title, out_, target);
    if (in_cell_) [[unlikely]] escape_bars_from(out_, target);
    out_.push_back(')');
    if (attr.pairs.size() > 1 && ref_before_others(attr)) [[unlikely]] {
        const std::size_t at = out_.size();
        out_.append(attrs_around_ref(attr));
        if (in_cell_) [[unlikely]] escape_bars_from(out_, at);
    } else {
        trailing_attrs(attr);
    }
    attr_target_end_ = out_.size();
}

// Notes are numbered in the order met, "__note1" on. A label one of the
// document's footnotes is written under is passed over: the reader would
// take the two definitions for one and drop the other. Where none is
// (nearly always), the note at `index` is "__note" and index + 1.
// (A label "__note" and digits is written as itself: see `written_labels`.)
std::string Renderer::note_label(std::size_t index) {
    auto number_label = [](std::size_t number) {
        char digits[24];
        char* end = std::to_chars(digits, digits + sizeof digits, number).ptr;
        std::string label = "__note";
        label.append(digits, static_cast<std::size_t>(end - digits));
        return label;
    };
    if (note_labels_taken_ < 0) [[unlikely]] {
        note_labels_taken_ = 0;
        for (const auto& kv : footnote_labels_) {
            const std::string_view label = kv.second;
            if (label.size() > 6 && label[0] == '_' && label[1] == '_' && label[2] == 'n' && label[3] == 'o' &&
                label[4] == 't' && label[5] == 'e' && label.find_first_not_of("0123456789", 6) == std::string_view::npos) {
                note_labels_taken_ = 1;
                break;
            }
        }
    }
    if (note_labels_taken_ == 0) [[likely]] return number_label(index + 1);
    // Each note takes the next number after the note before it whose label
    // no footnote is written under, so that many notes and footnotes stay
    // linear. (The notes before it are in `notes_`.)
    std::size_t number = 1;
    if (index > 0) {
        const std::string& before = notes_[index - 1].first;
        std::from_chars(before.data() + 6, before.data() + before.size(), number);
        ++number;
    }
    for (;; ++number) {
        std::string label = number_label(number);
        const auto it = footnote_labels_.find(label);
        if (it == footnote_labels_.end() || it->second != label) return label;
    }
}

void Renderer::flush_notes() {
    for (std::size_t i = 0; i < notes_.size(); ++i) {
        // Copied out: writing the note may add further notes to the list.
        Footnote fn{notes_[i].first, {}};
        fn.blocks.push_back(Paragraph{Attr{}, notes_[i].second});
        footnote(fn);
    }
}

// ---------------------------------------------------------------------------
// Renderer: blocks

namespace {

// How deep the reader nests containers.
const std::size_t kMaxDepth = Options::dataset().max_block_depth;

// `text` with its ASCII letters in lower case, as the reader gives back
// the closing tag of a markdown container.
std::string ascii_lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower;
}

}  // namespace

struct Renderer::NumberingStops : Stops {};

struct Renderer::NumberingCut {
    // (Only `chain` is set for every call of `blocks`: most write no
    // paragraph asked about.)
    NumberingCut() {}
    std::size_t chain = std::string::npos;  // the chain's start it was found for
    std::size_t at;
    union {
        block::Numbering state;
    };
    // The same for `reads_as_text_after`, which reads on to the blocks
    // after its list, not to a paragraph's start.
    std::size_t text_chain = std::string::npos;
    std::size_t text_at;
    union {
        block::Numbering text_state;
    };
};

namespace {

// Where the reader's numbering stands before the block written at `at`, as
// far as known: nowhere before a list from 1 is written (no chain), else as
// found for the chain, when its cut (`cut_chain`, `cut_at`, `state`) stands
// there.
const block::Numbering* numbering_before(std::size_t chain_at, std::size_t cut_chain, std::size_t cut_at,
                                         const block::Numbering& state, std::size_t at) {
    static const block::Numbering none;
    if (chain_at == std::string::npos) return &none;
    return cut_chain == chain_at && cut_at == at ? &state : nullptr;
}

}  // namespace

void Renderer::blocks(const Blocks& blocks, std::size_t count) {
    count = std::min(count, blocks.size());
    // Only this call looks for the first block shown, not those of the
    // blocks nested in it.
    const bool find_first_shown = std::exchange(find_first_shown_, false);
    const bool in_quote = std::exchange(quote_blocks_, false);
    const bool in_footnote = std::exchange(footnote_blocks_, false);
    const bool in_item = std::exchange(item_blocks_, false);
    std::vector<std::size_t>* const starts = std::exchange(block_starts_, nullptr);  // the document's blocks only
    const List* prev = nullptr;  // the last block written, when a list
    bool prev_alt = false;       // whether `prev` was written with "*"
    // The last container tag written (see below) and where it starts and
    // ends in `out_`: with nothing written after it, it is written bare.
    const HtmlBlock* opener = nullptr;
    const Block* opener_block = nullptr;
    std::size_t opener_at = 0, opener_end = 0;
    bool opener_kept = false;
    std::size_t prev_at = std::string::npos;  // where the last block written starts
    const Block* prev_block = nullptr;        // and that block
    const List* padded_list = nullptr;        // see below
    // The number after the last item of that block, when an ordered list,
    // as written: a list written on as the one before it is numbered on.
    std::uint64_t prev_next = 0;
    std::size_t chain_at = std::string::npos;  // see below
    NumberingCut cut;                          // for that chain (see `numbered_on`)
    // The level of the last heading written (255 before any) and that
    // level when `chain_at` was set.
    unsigned heading_level = 255, chain_heading = 255;
    NumberingStops stops;  // see `escape_numbered_on`
    for (std::size_t i = 0; i < count; ++i) {
        const auto* l = blocks[i].as<List>();
        std::size_t before = out_.size();
        bool alt_here = false;
        if (l && prev && !l->ordered && !prev->ordered &&
            (ends_in_open_html(*prev) || opens_container_in_last_item(*prev))) {
            // A bullet list right after such a list takes the other bullet,
            // which starts a list of its own: the other one than that list's.
            alt_here = !prev_alt;
            alt_bullet_ = alt_here;
        } else if (l && prev && l->ordered && prev->ordered && ends_in_open_html(*prev) && !l->items.empty() &&
                   out_.ends_with("\n\n") && !markdown::writes_line_attrs(prev->attr) &&
                   (l->start == prev_next || l->start + 1 == prev_next) && !kept_opener_ended(*prev)) {
            // An ordered list has no other marker: it is written on as the
            // items the reader will read it as, numbered on from the first.
            // (One numbered otherwise, neither as the last item nor the
            // next, starts a list of its own.)
            out_.pop_back();
            continue_at_ = prev_next;
        }
        if (starts) starts->push_back(out_.size());
        if (const auto* h = blocks[i].as<HtmlBlock>()) {
            // The reader keeps the indentation of a raw HTML block's first
            // line. At the start of the document, a quote or a footnote it
            // is kept; after other blocks only one column of it, which goes
            // into no list item (their content starts two columns in at the
            // least); at an item's start the marker's spacing would take it.
            // Right after a container's tag no item is open to take it.
            // Elsewhere the block is written from its tag on.
            // The line follows the block written last, also where a div
            // written as its content ends in it.
            const bool past_div = prev_block && ends_in_leaf(*prev_block);
            const Block* const prev_leaf = past_div ? last_leaf_ : prev_block;
            const std::size_t leaf_at = past_div ? last_leaf_at_ : prev_at;
            html_indent_kept_ =
                (prev_block == nullptr && (in_quote || in_footnote || opener || &blocks == &doc_.blocks)) ||
                (prev_block == nullptr && in_item && indent_stays_after(Block{Paragraph{}}, 0, "", h->html)) ||
                (prev_block != nullptr && prev_block->as<List>() == padded_list && padded_list) ||
                (prev_block != nullptr && indent_stays_after(*prev_leaf, past_div ? 0 : prev_next,
                                                             std::string_view(out_).substr(leaf_at), h->html)) ||
                (opener && out_.size() == opener_end && indent_stays_after(Block{Paragraph{}}, 0, "", h->html));
            // After a paragraph written beginning with an item number that
            // would read back as an item taking the line, the number is
            // escaped; no list is numbered on from it then.
            if (!html_indent_kept_ && prev_block && prev_leaf->is<Paragraph>() &&
                indent_stays_after(Block{Paragraph{}}, 0, "", h->html)) {
                const std::size_t digits = out_.find_first_not_of("0123456789", leaf_at);
                if (digits > leaf_at && digits < out_.size() && out_[digits] == '.') {
                    out_.insert(digits, 1, '\\');
                    ++before;
                    if (starts) ++starts->back();
                    if (chain_at == leaf_at) chain_at = std::string::npos;
                    html_indent_kept_ = true;
                }
            }
        }
        // (Blocks held back for after the footnotes count as following.)
        // (The last block is such a tag too when it reads otherwise bare.)
        // (A tag whose indentation is kept is written as the raw HTML it is.)
        // (Nested as deep as the reader nests, a tag opens no container.)
        if (const auto* h = blocks[i].as<HtmlBlock>();
            h && (i + 1 < blocks.size() || count == blocks.size()) && !(html_indent_kept_ && html_indent(h->html) > 0) &&
            depth_ + container_names_.size() < kMaxDepth) {
            if (auto tag = as_container_opener(h->html)) {
                html_indent_kept_ = false;
                if (auto open = block::markdown_open_tag(tag->tag)) container_names_.push_back(open->name);
                opener = h;
                opener_block = &blocks[i];
                opener_kept = tag->bare_reads_otherwise;
                opener_at = out_.size();
                out_.append(tag->tag);
                out_.append("\n\n"sv);
                opener_end = out_.size();
                prev = nullptr;
                if (find_first_shown && !first_shown_) first_shown_ = &blocks[i];
                continue;
            }
        }
        const bool continuing = continue_at_ != 0;
        std::uint64_t last_number = 0;  // see `last_number_for_next`
        const std::uint64_t numbered_from = continuing ? continue_at_ : (l ? l->start : 0);
        wrote_text_ = false;
        if (const auto* h = blocks[i].as<HtmlBlock>(); h && !container_names_.empty()) {
            // The closing tag of a container written as one: the reader
            // gives it back in lower case, so it is written so.
            std::string_view t = text::trim(h->html);
            const std::string lower = ascii_lower(t);
            if (lower == "</" + container_names_.back() + ">") {
                container_names_.pop_back();
                if (lower != t) {
                    HtmlBlock closer = *h;
                    closer.html = lower + "\n";
                    block(Block{std::move(closer)});
                } else {
                    block(blocks[i]);
                }
            } else {
                block(blocks[i]);
            }
        } else {
            // A div that would be written as its content, opening with a
            // list after such a list or ending in such a list before other
            // blocks, keeps a fence of its own.
            // So does one holding a paragraph or an ordered list where the
            // reader numbers lists on: its blocks are numbered apart.
            if (const auto* d = blocks[i].as<Div>(); d && !d->blocks.empty()) {
                const auto* last = d->blocks.back().as<List>();
                fence_bare_div_ = (prev && ends_in_open_html(*prev) && d->blocks.front().is<List>()) ||
                                  (last && ends_in_open_html(*last) && i + 1 < count) ||
                                  (chain_at != std::string::npos &&
                                   std::any_of(d->blocks.begin(), d->blocks.end(), [](const Block& c) {
                                       const auto* cl = c.as<List>();
                                       return c.is<Paragraph>() || (cl && cl->ordered);
                                   }));
            }
            if (l) {
                list_chain_at_ = chain_at;
                list_chain_heading_ = chain_heading;
                if (l->ordered && (l->items.size() > 1 || continue_at_ != 0))
                    last_number = last_number_for_lists(blocks, i, count, heading_level, cut);
                // (A list right after it that the reader would read on as
                // its items keeps apart by a tag ending the last item.)
                if (l->ordered && i + 1 < count && blocks[i + 1].is<List>()) [[unlikely]]
                    keep_opener_before_list(blocks, i, count, last_number, numbered_from);
                // Raw HTML after the list whose indentation would take it
                // into the last item: that item's content starts further in.
                // (Raw HTML held back for after the footnotes counts too.)
                padded_list = nullptr;
                if (i + 1 < blocks.size() && (blocks[i + 1].is<HtmlBlock>() || writes_nothing(blocks[i + 1]))) {
                    last_item_column_ = column_for_html_after(blocks, i + 1, blocks.size());
                    if (last_item_column_ > 0) padded_list = l;
                }
            }
            const std::size_t notes_mark = notes_.size(), mark = out_.size();
            last_number_ = last_number;
            block(blocks[i]);
            if (last_number != 0 &&
                !(continuing && prev ? reads_as_items_of(std::string_view(out_).substr(prev_at), prev, *l, prev->start)
                                     : !continuing && reads_as_items_of(std::string_view(out_).substr(mark), nullptr, *l, l->start))) {
                // (Numbered so, an item may read as a line of the one before.)
                forget_divs_after(mark);
                out_.resize(mark);
                notes_.resize(notes_mark);
                last_number = 0;
                continue_at_ = continuing ? numbered_from : 0;
                list_chain_at_ = chain_at;
                list_chain_heading_ = chain_heading;
                block(blocks[i]);
            }
            last_item_column_ = 0;
            if (padded_list && padded_list == l) {
                // Only where the list reads back so (an item opening with
                // raw HTML further in may read as text): else unpadded.
                const HtmlBlock* next = nullptr;
                for (std::size_t j = i + 1; j < blocks.size() && !next; ++j)
                    if (!writes_nothing(blocks[j])) next = blocks[j].as<HtmlBlock>();
                // (Written on as the list before it, with that list.)
                if (!probe::list_reads_back_before(std::string_view(out_).substr(continuing ? prev_at : mark),
                                                   next->html)) {
                    forget_divs_after(mark);
                    out_.resize(mark);
                    notes_.resize(notes_mark);
                    padded_list = nullptr;
                    list_chain_at_ = chain_at;
                    list_chain_heading_ = chain_heading;
                    last_number_ = last_number;
                    block(blocks[i]);
                }
            }
            list_chain_at_ = std::string::npos;
            fence_bare_div_ = false;
        }
        alt_bullet_ = false;
        continue_at_ = 0;
        // (A div without attributes may be written as its content.)
        const auto* div = blocks[i].as<Div>();
        // (A list may be written as the paragraph it reads back as. One
        // numbered from 1 after an ordered list leaving raw HTML open may
        // read back as text too, "1." alone: it is then written as that
        // text, escaped below.)
        const bool para = blocks[i].is<Paragraph>() || std::exchange(wrote_text_, false) ||
                          (div && !markdown::writes_attrs(div->attr) && !div->blocks.empty() &&
                           div->blocks.front().is<Paragraph>()) ||
                          (l && prev && !continuing && l->ordered && prev->ordered &&
                           reads_as_text_after(*prev, prev_at, chain_at, chain_heading, cut) &&
                           !numbered_on_later(blocks, i, heading_level));
        // (Only a paragraph written beginning with a digit may be an item. A
        // list written on as the one before it, which is no chain's start,
        // begins before `before`.)
        const bool digit_first = out_.size() != before && out_[before] >= '0' && out_[before] <= '9';
        if (para && digit_first) item_after_open_html(prev_block, prev, prev_at, chain_at, chain_heading, cut, before);
        // (Only "1." counts: a number led by zeros, which the writer never
        // writes as an item's, makes the text no item to number on from.)
        if (para && digit_first && out_[before] == '1' && out_[before + 1] == '.' && blocks[i].is<Paragraph>())
            escape_numbered_on(blocks, i, heading_level, stops, before,
                               numbering_before(chain_at, cut.chain, cut.at, cut.state, before));
        // The reader numbers lists on from the last list that began with
        // "1.", past other blocks; a bullet list ends that, and so does a
        // heading no deeper than the one over that list.
        if (out_.size() != before) {
            if (l && !l->ordered) {
                chain_at = std::string::npos;
            } else if (const auto* h = blocks[i].as<Heading>(); h && h->level >= 1 && h->level <= 6) {
                if (h->level <= chain_heading) chain_at = std::string::npos;
                heading_level = h->level;
            } else if (chain_at == std::string::npos && digit_first && !continuing &&
                       starts_with_item_one(std::string_view(out_).substr(before))) {
                chain_at = before;
                chain_heading = heading_level;
            }
        }
        // A list written on as the one before it reads as part of it.
        if (out_.size() != before) {
            if (!continuing) prev_at = before;
            prev_block = &blocks[i];
            prev = l;
            if (l) prev_next = last_number != 0 ? last_number : numbered_from + l->items.size();
            prev_alt = alt_here;
        }
        if (out_.size() != before) last_block_at_ = std::min(before, out_.size());
        // What came before this block was white space alone.
        if (find_first_shown && !first_shown_ && out_.size() > before &&
            !text::trim_start(std::string_view(out_).substr(before)).empty())
            first_shown_ = &blocks[i];
    }
    if (opener && out_.size() == opener_end && count == blocks.size() && !opener_kept && !opener_kept_at_end(*opener)) {
        forget_divs_after(opener_at);
        out_.resize(opener_at);
        // Written bare, the tag opens no container for a closing tag later.
        if (!container_names_.empty()) container_names_.pop_back();
        block(Block{*opener});
        last_block_at_ = opener_at;
        prev_block = opener_block;
    }
    // (A div written as its content leaves what its blocks ended in.)
    if (prev_block && !ends_in_leaf(*prev_block)) {
        last_leaf_ = prev_block;
        last_leaf_at_ = last_block_at_;
    }
    if (starts) starts->push_back(out_.size());
}

void Renderer::block(const Block& block) {
    visit(
        [&](const auto& b) {
            using T = std::decay_t<decltype(b)>;
            if constexpr (std::is_same_v<T, Paragraph>) {
                // A paragraph that writes nothing would leave a bare blank
                // line (and any attribute line adrift): it is not written.
                std::size_t mark = out_.size();
                const std::size_t notes_mark = notes_.size();
                first_line_start_ = mark;
                footnote_line_ = -1;
                inlines(b.content);
                if (out_.size() == mark) {
                    auto shown = white_space_as_references(b.content);
                    // One with attributes writes something to keep them:
                    // its spaces, tabs and line ends too.
                    if (!shown && writes_blank(b.attr)) [[unlikely]]
                        shown = white_space_as_references<true>(b.content);
                    if (shown) {
                        inlines(*shown);
                        // Where that reads back as a run written otherwise
                        // (a reference between the tags of an element
                        // form), that run is written: the text must write
                        // again as itself.
                        static const Options options = Options::dataset();
                        const Document again = block::parse_source(out_.substr(mark), options);
                        const auto* p = again.blocks.size() == 1 ? again.blocks.front().as<Paragraph>() : nullptr;
                        if (p) {
                            const std::string shown_text = out_.substr(mark);
                            out_.resize(mark);
                            notes_.resize(notes_mark);
                            inlines(p->content);
                            if (out_.size() == mark) out_.append(shown_text);
                        }
                    }
                }
                first_line_start_ = std::string::npos;
                if (out_.size() == mark) return;
                // A "]:" that is not text's (in code, raw HTML, an address)
                // still makes the line a footnote definition: the reference
                // opening it is written as the text it would read back as.
                if (opens_footnote_line(mark)) {
                    inlines(demote_line_reference(b.content, mark, notes_mark));
                    first_line_start_ = std::string::npos;
                    hide_footnote_definition(mark);
                }
                // An attribute line would attach to the list such a first
                // line opens, and keep it from turning back into this text.
                // So would a later line that the reader keeps as another item.
                if (markdown::writes_line_attrs(b.attr)) {
                    escape_item_number(mark);
                } else if (!item_lines_read_as_text(std::string_view(out_).substr(mark))) {
                    // A list of one item reads as the text of its line, and
                    // is written as its number and the item's paragraph,
                    // whose own number is escaped: where escaping the last of
                    // the numbers reads back as this paragraph, the two are
                    // written alike.
                    const std::string_view text = std::string_view(out_).substr(mark);
                    const std::size_t dot = last_item_dot(text.substr(0, text.find('\n')));
                    std::string last;
                    if (dot != std::string_view::npos && text.find('.') < dot && !zero_led_number(text.substr(0, dot))) {
                        last.assign(text.substr(0, dot));
                        last.push_back('\\');
                        last.append(text.substr(dot));
                    }
                    if (!last.empty() && item_lines_read_as_text(last)) {
                        out_.insert(mark + dot, 1, '\\');
                    } else {
                        escape_item_number(mark);
                    }
                }
                const bool hid_note = hide_footnote_definition(mark);
                out_.push_back('\n');
                ial(b.attr);
                // The attribute line is read with the lines before it when
                // the reader looks for link definitions.
                const bool hid = hide_link_definition(mark) || hid_note;
                const auto bracketed_first = [](const Inline& node) { return node.is<Span>() || node.is<Link>(); };
                if (hid && bracketed_first(b.content.front()) && notes_.size() == notes_mark) {
                    // The "[" of a span or link opening the line is then
                    // text, and so is the rest of its form: the paragraph is
                    // written as the reader reads it back.
                    static const Options options = Options::dataset();
                    ast::Document again = block::parse_source(std::string_view(out_).substr(mark), options);
                    const auto* p = again.blocks.size() == 1 ? again.blocks.front().template as<Paragraph>() : nullptr;
                    if (p && !p->content.empty() && !bracketed_first(p->content.front())) {
                        out_.resize(mark);
                        this->block(again.blocks.front());
                        return;
                    }
                }
                out_.push_back('\n');
            } else if constexpr (std::is_same_v<T, Heading>) {
                out_.append(b.level, '#');
                out_.push_back(' ');
                line_before_attrs(b.content, b.attr, " ", true);
                out_.append("\n\n"sv);
            } else if constexpr (std::is_same_v<T, BlockQuote>) {
                block_quote(b);
            } else if constexpr (std::is_same_v<T, List>) {
                list(b);
            } else if constexpr (std::is_same_v<T, DefinitionList>) {
                definition_list(b);
            } else if constexpr (std::is_same_v<T, CodeBlock>) {
                code_block(b);
            } else if constexpr (std::is_same_v<T, HtmlBlock>) {
                // The reader keeps the indentation of a raw HTML block's
                // first line; written after a list, it would put the block
                // into the list's last item. The block is written from its
                // tag on, past all the white space the reader looks past
                // for the tag (a form feed after spaces, too).
                // A first line that is a markdown container's opening tag
                // alone (the cleaning of "<" in a broken tag can make one)
                // would open the container: such HTML is written as a raw
                // block of format html, which reads back as that text.
                // (Nested as deep as the reader nests, it opens nothing.)
                const bool indent_kept = std::exchange(html_indent_kept_, false);
                const std::string_view html = b.html;
                const std::size_t tag = past_white_space_in_line(html, 0);
                const std::string_view first =
                    text::trim_end(html.substr(tag, html.find('\n', tag) == std::string_view::npos
                                                        ? std::string_view::npos
                                                        : html.find('\n', tag) - tag));
                if (first.find("markdown") != std::string_view::npos && depth_ + container_names_.size() < kMaxDepth &&
                    block::markdown_open_tag(first)) {
                    std::size_t longest = 0, run = 0;
                    for (char ch : html) {
                        run = ch == '`' ? run + 1 : 0;
                        longest = std::max(longest, run);
                    }
                    const std::size_t fence = std::max<std::size_t>(longest, 2) + 1;
                    out_.append(fence, '`');
                    out_.append("{=html}\n"sv);
                    const std::size_t at = out_.size();
                    detail::append_verbatim(html, out_, blank_lines_empty_ > 0);
                    if (out_.size() == at || out_.back() != '\n') out_.push_back('\n');
                    out_.append(fence, '`');
                    out_.append("\n\n"sv);
                    return;
                }
                append_html_block(out_, b.html, indent_kept);
            } else if constexpr (std::is_same_v<T, ThematicBreak>) {
                out_.append("---\n"sv);
                ial(b.attr);
                out_.push_back('\n');
            } else if constexpr (std::is_same_v<T, Table>) {
                if (simple_table(b)) {
                    pipe_table(b);
                } else {
                    html_fallback(block);
                }
            } else if constexpr (std::is_same_v<T, Div>) {
                bool attrs = markdown::writes_attrs(b.attr);
                // Inside a div fenced with ":::" a bare ":::" closes it: a
                // div without attributes there is written as its content.
                // A div with attributes takes a longer fence instead (see
                // below), inside which the bare div keeps its own, and with
                // it any raw HTML it leaves open closes where it did.
                // Where that HTML would take the blocks after it, the div
                // keeps a fence of its own, opened with an empty attribute
                // block ("{.}"), which the reader reads as none.
                // So does one opening with a list right after a list that
                // leaves raw HTML open (see `blocks`), which would go on with
                // that list.
                bool empty_attrs = false;
                const bool keep_fence = std::exchange(fence_bare_div_, false);
                // And so does one holding the closing tag of a container
                // open around it, which would close the container there.
                const auto holds_closer = [&] {
                    for (const auto& c : b.blocks) {
                        const auto* h = c.template as<HtmlBlock>();
                        if (!h) continue;
                        const std::string first =
                            ascii_lower(text::trim(std::string_view(h->html).substr(0, h->html.find('\n'))));
                        for (const auto& name : container_names_)
                            if (first == "</" + name + ">") return true;
                    }
                    return false;
                };
                // And so does one opening an item whose list it keeps a list
                // (see `fence_item_divs`), and one opening a markdown
                // container it does not close, which its fence closes.
                if (!attrs && div_depth_ > 0 && in_bare_div_) {
                    if (!keep_fence && !ends_in_html_left_open(b.blocks) && !holds_closer() && !fences_item(b) &&
                        !probe::leaves_container_open(b.blocks)) {
                        blocks(b.blocks);
                        content_div_ = &b;
                        return;
                    }
                    empty_attrs = attrs = true;
                }
                ++div_depth_;
                // (A bare fence further out closes at any ":::", however
                // long the fences inside it.)
                const bool was_in_bare_div = std::exchange(in_bare_div_, in_bare_div_ || !attrs);
                if (!was_in_bare_div && !attrs) [[unlikely]] fence_item_divs(b.blocks, item_with_blocks_keeps_list);
                quote_blocks_ = true;  // (after the fence line, as in a quote)
                ++depth_;
                std::vector<WrittenDiv> divs;
                std::string inner = div_content(b.blocks, divs);
                --depth_;
                in_bare_div_ = was_in_bare_div;
                --div_depth_;
                // The reader closes the div at the first line of its fence
                // alone, also one inside raw HTML: the fence is made longer
                // than any such line. Only a fence with attributes may be
                // longer than three; without, the div is its content.
                ColonLines colons = colon_lines(inner, divs);
                std::size_t fence = colons.first_free();
                // Such a line may close nothing after all (indented in the
                // div, or in code an item holds): the reader is asked.
                if (fence > 3 && !attrs && reads_as_one_div(inner)) fence = 3;
                if (fence > 3 && !attrs) {
                    if (div_depth_ == 0) bare_div_ = true;
                    // Its blocks stand where the div stood, and bare divs
                    // among them are judged there, as they are read back.
                    blocks(b.blocks);
                    content_div_ = &b;
                    return;
                }
                const std::size_t begin = out_.size();
                out_.append(fence, ':');
                if (empty_attrs) {
                    out_.append(" {.}"sv);
                } else if (attrs) {
                    out_.push_back(' ');
                    trailing_attrs(b.attr);
                }
                out_.push_back('\n');
                out_.append(inner);
                out_.append(fence, ':');
                out_.append("\n\n"sv);
                // (Divs after a rewind to before this one were taken back.)
                forget_divs_after(begin);
                colons.add(fence, fence);
                written_divs_.push_back({begin, out_.size(), fence, std::move(colons)});
            } else if constexpr (std::is_same_v<T, MathBlock>) {
                write_math_block(b.tex, out_, blank_lines_empty_ > 0);
                ial(b.attr);
                out_.push_back('\n');
            } else if constexpr (std::is_same_v<T, Figure>) {
                const auto* img = b.image.template as<Image>();
                if (!img) {
                    html_fallback(block);
                    return;
                }
                out_.append("!["sv);
                bracketed(b.caption.empty() ? img->alt : b.caption);
                out_.append("]("sv);
                const std::size_t target = out_.size();
                out_.append(escape_target(img->url));
                append_title(img->title, out_, target);
                out_.append(")\n"sv);
                ial(b.attr);
                out_.push_back('\n');
            } else if constexpr (std::is_same_v<T, TemplateTokenBlock>) {
                out_.append(b.token.source);
                out_.append("\n\n"sv);
            } else if constexpr (std::is_same_v<T, RawBlock>) {
                // A format the reader cannot read back would leave its info
                // to a code block, which does not write it: the block is
                // written as that code block, its text kept.
                detail::fenced_block(readable_raw_format(b.format) ? "{=" + b.format + "}" : "", b.text, out_,
                                     blank_lines_empty_ > 0);
            } else if constexpr (std::is_same_v<T, FormatBlock>) {
                detail::fenced_block(readable_block_format(b.format) ? "{" + b.format + "}" : "", b.text, out_,
                                     blank_lines_empty_ > 0);
            }
        },
        block);
}

// A block quote, list or definition list with no content would leave a bare
// blank line (or an attribute line with nothing to attach to), which the
// reader reads as nothing at all; such a container is not written.
void Renderer::block_quote(const BlockQuote& q) {
    // A line of white space in a quote is no blank line to the reader, even
    // in an item: verbatim text keeps it.
    const int blank_lines_empty = std::exchange(blank_lines_empty_, 0);
    quote_blocks_ = true;
    ++depth_;
    Lines text = nested_lines(q.blocks);
    --depth_;
    blank_lines_empty_ = blank_lines_empty;
    const std::size_t begin = out_.size();
    quote(q, text);
    if (text.colons_known) [[unlikely]] written_lines(text, begin);
}

void Renderer::written_lines(const Lines& text, std::size_t begin) {
    if (out_.size() == begin) return;
    ColonLines colons = written_colons(text, begin, false);
    forget_divs_after(begin);
    written_divs_.push_back({begin, out_.size(), 0, std::move(colons)});
}

void Renderer::quote(const BlockQuote& q, Lines& text) {
    if (text.split) {
        split_lines(text, text.first_empty() ? ">" : "> ", "> ", text.prefix.empty() ? ">" : "> ");
        ial(q.attr);
        out_.push_back('\n');
        return;
    }
    std::string_view body = trim_nested_end(text.buf, q.blocks, true);
    if (body.empty()) {
        // An empty quote with attributes is one marker line and its
        // attribute line.
        if (!markdown::writes_line_attrs(q.attr)) return;
        out_.append(">\n"sv);
        ial(q.attr);
        out_.push_back('\n');
        return;
    }
    for_each_line(body, [&](std::string_view line) {
        out_.push_back('>');
        if (!line.empty()) {
            out_.push_back(' ');
            out_.append(line);
        }
        out_.push_back('\n');
    });
    ial(q.attr);
    out_.push_back('\n');
}

// A term that writes nothing is left out: as a blank line it would end the
// list. Definitions then belong to the term line written before them, which
// reads back the same; definitions before any term line have none to belong
// to and are written as a paragraph of "\\:" lines, which reads back as the
// text it shows. Terms after the last definition are read as a paragraph:
// they are written as that paragraph.
// Inline math on one line, between "\\(" and "\\)" unless its text holds a
// "\\)" the reader would stop at; then "$$" or "\\[" delimiters, which read
// back as the same text.
bool Renderer::dollars_read_as_math(std::string_view tex) const {
    // An address can take in the "$$" only from the characters of a local
    // part right before it: the probe holds those (and the backslashes
    // before them, which may escape the first), read as a paragraph's later
    // line. The rest of the line is not asked: read alone it may say
    // otherwise than where it stands (a footnote reference whose
    // definition the probe lacks reads as text, its "^" a superscript's).
    std::size_t from = out_.size();
    while (from > 0 && autolink::is_email_local_char(static_cast<unsigned char>(out_[from - 1]))) --from;
    while (from > 0 && out_[from - 1] == '\\') --from;
    std::string probe = "x ";
    probe.append(out_, from);
    probe.append("$$"sv);
    probe.append(tex);
    probe.append("$$\n"sv);
    static const Options options = Options::dataset();
    const Document doc = block::parse_source(probe, options);
    if (doc.blocks.size() != 1) return false;
    const auto* p = doc.blocks.front().as<Paragraph>();
    if (!p || p->content.empty()) return false;
    const auto* m = p->content.back().as<Math>();
    return m && m->tex == tex;
}

void Renderer::write_math(std::string_view tex) {
    std::string flat;
    append_flat(tex, flat);
    static constexpr std::pair<std::string_view, std::string_view> kForms[] = {
        {"\\(", "\\)"}, {"$$", "$$"}, {"\\[", "\\]"}};
    // A formula ending in an odd run of backslashes would hide any closer:
    // a space after it keeps the closer visible (and the formula readable).
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (const auto& f : kForms) {
            // "$$" may be read as part of an e-mail address ("a$$a@b.c"),
            // which the reader finds before math: then it is asked.
            if (f.first == "$$" && flat.find('@') != std::string::npos && !dollars_read_as_math(flat)) continue;
            if (closer_found_at_end(flat, f.second)) {
                out_.append(f.first);
                out_.append(flat);
                out_.append(f.second);
                return;
            }
        }
        flat.push_back(' ');
    }
    // A formula holding every closer before its end (and "$$" taken into
    // an address) has no form that reads back as it: its text is written.
    flat.resize(flat.size() - 2);
    write_text(flat);
}

// Item numbers before the "[" open a list item, which reads the definition
// as its content just the same.
bool Renderer::hide_link_definition_at(std::size_t start) {
    if (out_[start] >= '0' && out_[start] <= '9')
        start += item_markers_length(std::string_view(out_).substr(start));
    if (out_.compare(start, 1, "[") != 0) return false;
    std::vector<std::string_view> lines;
    for_each_line(std::string_view(out_).substr(start), [&](std::string_view line) { lines.push_back(line); });
    if (!block::scan_link_ref_def(lines, 0)) return false;
    out_.replace(start, 1, "&#91;");
    return true;
}

bool Renderer::footnote_line() {
    if (footnote_line_ >= 0) return footnote_line_ == 1;
    // (Asked only with the first line begun: `first_line_start_` is within
    // `out_`.)
    const std::string_view line(out_.data() + first_line_start_, out_.size() - first_line_start_);
    const char c = line[0];
    if (c != '[' && (c < '0' || c > '9')) {
        footnote_line_ = 0;
        return false;
    }
    if (c == '[' && line.size() >= 2) {
        footnote_line_ = line[1] == '^' ? 1 : 0;
        return footnote_line_ == 1;
    }
    // Settled once the two characters after any item numbers are written.
    const std::size_t markers = item_markers_length(line);
    if (line.size() < markers + 2) return false;
    footnote_line_ = line[markers] == '[' && line[markers + 1] == '^' ? 1 : 0;
    return footnote_line_ == 1;
}

bool Renderer::footnote_definition_at(std::size_t start) const {
    const std::string_view rest = std::string_view(out_).substr(start);
    if (!rest.substr(item_markers_length(rest)).starts_with("[^")) return false;
    std::size_t nl = out_.find('\n', start);
    return opens_footnote_definition(std::string_view(out_).substr(start, nl == std::string::npos ? nl : nl - start));
}

bool Renderer::hide_footnote_definition(std::size_t start) {
    if (!opens_footnote_line(start)) return false;
    const std::string_view rest = std::string_view(out_).substr(start);
    out_.replace(start + item_markers_length(rest), 1, "&#91;");
    return true;
}

Inlines Renderer::demote_line_reference(const Inlines& content, std::size_t mark, std::size_t notes_mark) {
    Inlines demoted = content;
    std::optional<std::pair<std::string, Inlines>> note;
    // Breaks before anything but white space end no line: they are dropped.
    bool shown = false;
    for (auto& node : demoted) {
        if (node.is<SoftBreak>() || node.is<HardBreak>()) {
            if (shown) break;
            continue;
        }
        if (const auto* t = node.as<Text>(); t && text::trim(t->text).empty()) continue;
        shown = true;
        if (const auto* ref = node.as<FootnoteRef>()) {
            auto it = footnote_labels_.find(ref->label);
            std::string label = it != footnote_labels_.end() ? it->second : ref->label;
            node = Text{"[^" + label + "]"};
            break;
        }
        if (const auto* n = node.as<Note>()) {
            // The note keeps its definition and its number.
            std::string label = note_label(notes_mark);
            note.emplace(label, n->content);
            node = Text{"[^" + label + "]"};
            break;
        }
    }
    out_.resize(mark);
    notes_.resize(notes_mark);
    if (note) notes_.push_back(std::move(*note));
    first_line_start_ = mark;
    footnote_line_ = -1;
    return demoted;
}

namespace {

// Whether `text` reads otherwise than its part before `at` and its part
// from `at` on (the paragraph) apart: by the count of blocks and by those
// read from the paragraph, given the parts' outlines.
bool read_together(const std::vector<block::BlockOutline>& before, const std::vector<block::BlockOutline>& alone,
                   const std::vector<block::BlockOutline>& both) {
    const auto same = [](const block::BlockOutline& a, const block::BlockOutline& b) {
        return a.kind == b.kind && a.text == b.text;
    };
    return both.size() != before.size() + alone.size() ||
           !std::equal(alone.begin(), alone.end(), both.end() - alone.size(), same);
}

bool read_together(std::string_view text, std::size_t at) {
    static const Options options = Options::dataset();
    return read_together(block::outline_blocks(text.substr(0, at), options).blocks,
                         block::outline_blocks(text.substr(at), options).blocks,
                         block::outline_blocks(text, options).blocks);
}

}  // namespace

bool Renderer::numbered_on(NumberingCut& cut, std::size_t chain_at, unsigned chain_heading, std::size_t start) {
    static const Options options = Options::dataset();
    // The numbering rule is a pass over the top-level blocks in order: what
    // stood before a segment the reader begins at a paragraph's start bears
    // on what follows through the state it left alone. Each paragraph asked
    // about is read on from the last one such, which keeps the writing of
    // many of them linear.
    if (cut.chain != chain_at) {
        cut.chain = cut.at = chain_at;
        cut.state = block::Numbering{};
        if (chain_heading <= 6) cut.state.heading = chain_heading;
    }
    const std::string_view text = std::string_view(out_).substr(cut.at);
    const std::size_t at = start - cut.at;
    block::Numbering before_state = cut.state, both_state = cut.state;
    const auto before = block::outline_blocks(text.substr(0, at), options, &before_state);
    const auto both = block::outline_blocks(text, options, &both_state);
    const auto line = static_cast<std::size_t>(std::count(text.begin(), text.begin() + at, '\n'));
    const bool segment = std::binary_search(both.segment_lines.begin(), both.segment_lines.end(), line);
    bool together = false;
    if (segment && before_state.stage == block::Numbering::Stage::None) {
        // Nothing numbered on before a segment of its own: the paragraph
        // reads as alone, and leaves the blocks before it as they were.
    } else if (const auto alone = block::outline_blocks(text.substr(at), options).blocks;
               before_state.earlier_ended == both_state.earlier_ended && alone.size() <= both.blocks.size()) {
        together = read_together(before.blocks, alone, both.blocks);
    } else {
        // A list of one item before the cut, which is text read alone, is
        // numbered on from by the paragraph (or the paragraph alone reads as
        // more blocks than those from the cut on): read from the chain's
        // start.
        std::string all = probe::under_heading(chain_heading);
        all.append(out_, chain_at);
        together = read_together(all, all.size() - (out_.size() - start));
    }
    if (segment) {
        cut.at = start;
        cut.state = before_state;
    }
    return together;
}

// `last_number_for_next`, and where it numbers the items on one by one
// though the lists after it would not all read back as lists so, the first
// number of those the last may be numbered with under which they do ("1.",
// "1. > a", then "3. > 1. a" and "1.", which numbers on from "1." only).
std::uint64_t Renderer::last_number_for_lists(const Blocks& blocks, std::size_t i, std::size_t count, unsigned heading,
                                              NumberingCut& cut) {
    const auto* l = blocks[i].as<List>();
    const std::size_t n = l->items.size();
    const std::uint64_t on = continue_at_;
    // Whether the reader's numbering goes on from the list: from one from 1
    // whatever stood before it, and from one it numbers on to from the
    // lists before it ("1.", then "2." and "2. a" on two lines, which the
    // reader read numbered so, then "2.", which numbers on from it). (The
    // lists before are read back only for one not from 1 after a block
    // begun with "1.".)
    const std::uint64_t before = l->start != 1 && on == 0 && list_chain_at_ != std::string::npos
                                     ? chain_last(cut, list_chain_at_, list_chain_heading_)
                                     : 0;
    const bool numbered = l->start == 1 || (before != 0 && (l->start == before || l->start == before + 1));
    bool kept = false;  // whether an item keeps it a list, not written on
    const std::uint64_t found =
        last_number_for_next(blocks, i, count, heading, on, kept, numbered, numbered ? 0 : before);
    if (found != 0 || !kept || !numbered || lists_kept_after(blocks, i + 1, count, heading, l->start + n - 1))
        return found;
    // (Right after one leaving raw HTML open, a list numbered as its last
    // item or the next would be read on as its items.)
    const List* right_after = nullptr;
    if (ends_in_open_html(*l) && !markdown::writes_line_attrs(l->attr)) {
        std::size_t j = i + 1;
        while (j < count && writes_nothing(blocks[j])) ++j;
        right_after = j < count ? blocks[j].as<List>() : nullptr;
        if (right_after && (!right_after->ordered || right_after->items.empty())) right_after = nullptr;
    }
    // (Any number from the first to one before the last; only the first
    // few are tried.)
    for (std::uint64_t target = l->start; target < l->start + n - 1 && target <= l->start + 64; ++target)
        if (target != 0 && !(right_after && (right_after->start == target || right_after->start == target + 1)) &&
            lists_kept_after(blocks, i + 1, count, heading, target))
            return target + 1;
    return 0;
}

std::uint64_t Renderer::chain_last(NumberingCut& cut, std::size_t chain_at, unsigned chain_heading) {
    if (cut.chain != chain_at) {
        cut.chain = cut.at = chain_at;
        cut.state = block::Numbering{};
        if (chain_heading <= 6) cut.state.heading = chain_heading;
    }
    return probe::numbered_last(out_, cut.at, cut.state);
}

void Renderer::item_after_open_html(const Block* prev, const List* prev_list, std::size_t prev_at, std::size_t chain_at,
                                    unsigned chain_heading, NumberingCut& cut, std::size_t start) {
    // Raw HTML that the reader reads into an item and leaves open takes the
    // blank line after it, so that a paragraph beginning with an item number
    // is the list's next item ("1. <div>", a blank line, "1."). Only a block
    // holding a "<" can leave HTML open; the reader is asked about those.
    // After an ordered list whose last item leaves HTML open the number is
    // escaped whatever it is: a list read from it would be written on as
    // that list.
    //
    // A paragraph read as text alone may still be read as a list numbered
    // on from the lists (or paragraphs read as lists) written before it,
    // from the last block that began with "1." on ("1. a", then "2. b" and
    // "3."): the reader is asked about those too.
    if (start >= out_.size() || out_[start] < '0' || out_[start] > '9') return;
    const std::string_view written(out_);
    const std::string_view line = written.substr(start, written.find('\n', start) - start);
    if (item_markers_length(line) == 0) return;
    if (prev_at != std::string::npos && written.substr(prev_at, start - prev_at).find('<') != std::string_view::npos) {
        if (prev_list && prev_list->ordered && !markdown::writes_line_attrs(prev_list->attr) &&
            ends_in_open_html(*prev_list)) {
            escape_item_number(start);
            return;
        }
        // Only raw HTML of a block reaches past the blank line: in the last
        // item of a list (or of a div written as its content). (A paragraph
        // that would read as such an item escapes its own number.)
        if (prev && may_leave_html_open(*prev) && read_together(written.substr(prev_at), start - prev_at)) {
            escape_item_number(start);
            return;
        }
    }
    if (chain_at == std::string::npos || chain_at >= start) return;
    // A heading no deeper than the one over the list begun with "1." ends
    // the numbering: the reader is asked under a heading of that level.
    // Read as a list numbered on, the paragraph would be a list: its
    // number is escaped.
    if (numbered_on(cut, chain_at, chain_heading, start)) escape_item_number(start);
}

void Renderer::escape_item_number(std::size_t line_start) {
    std::size_t i = line_start;
    while (i < out_.size() && i - line_start < 10 && out_[i] >= '0' && out_[i] <= '9') ++i;
    if (i == line_start || i - line_start > 9 || i >= out_.size() || out_[i] != '.') return;
    if (i + 1 < out_.size() && !is_marker_space(out_[i + 1])) return;
    forget_divs_after(i);
    out_.insert(i, 1, '\\');
}

void Renderer::definition_list(const DefinitionList& dl) {
    const std::size_t start = out_.size();
    std::size_t mark = out_.size();
    std::size_t defs_end = 0;  // items from here on hold no definition
    for (std::size_t i = 0; i < dl.items.size(); ++i) {
        if (!dl.items[i].definitions.empty()) defs_end = i + 1;
    }
    bool term_written = false;
    bool after_definition = false;  // the line written last is a definition
    std::vector<std::size_t> paragraph_starts;  // of the term lines below
    for (std::size_t i = 0; i < defs_end; ++i) {
        const auto& item = dl.items[i];
        for (const auto& term : item.terms) {
            std::size_t before = out_.size();
            // The list's first line, and a term right after a definition,
            // are read as a paragraph's first line before anything marks
            // them as terms: an item number there ("2. x") or a lone "-"
            // would open a list, a footnote reference and a "]:" a footnote
            // definition.
            const bool starts_paragraph_line = !term_written || after_definition;
            const std::size_t notes_mark = notes_.size();
            if (starts_paragraph_line) {
                first_line_start_ = before;
                footnote_line_ = -1;
            }
            // A term of no-break spaces alone would write nothing but its
            // attributes, and leave its definitions without a term: as in a
            // paragraph, they are written as references.
            std::optional<Inlines> shown;
            // Where the references read back as a run written otherwise (one
            // between the tags of an element form), that run is written, as
            // for a term without attributes (see `shown_as_read_back`); the
            // attributes, which would be the run's read alone, after it.
            if (markdown::writes_attrs(term.attr) && canon::canonical(term.content, true).empty() &&
                (shown = white_space_as_references(term.content))) {
                line_before_attrs(*shown, Attr{}, "");
                auto again = read_back_run(std::string_view(out_).substr(before));
                out_.resize(before);
                if (again && !canon::canonical(*again, true).empty()) shown = std::move(again);
            }
            line_before_attrs(shown ? *shown : term.content, term.attr, "");
            if (out_.size() == before && (shown = white_space_as_references<true>(breaks_as_spaces(term.content)))) {
                line_before_attrs(*shown, term.attr, "");
                // (a line with attributes of its own is kept as written)
                if (!markdown::writes_attrs(term.attr)) shown_as_read_back(before, true);
            }
            // As in a paragraph's first line, a reference before a "]:"
            // that is not text's is written as the text it reads back as.
            if (starts_paragraph_line && opens_footnote_line(before))
                line_before_attrs(demote_line_reference(term.content, before, notes_mark), term.attr, "");
            first_line_start_ = std::string::npos;
            if (out_.size() == before) continue;
            if (starts_paragraph_line) {
                escape_item_number(before);
                hide_footnote_definition(before);
                // The list's first line is read as a link definition
                // before anything marks it as a term.
                if (!term_written) hide_link_definition(before);
                if (std::string_view(out_).substr(before) == "-") out_.insert(before, 1, '\\');
                paragraph_starts.push_back(before);
            }
            out_.push_back('\n');
            term_written = true;
            after_definition = false;
        }
        for (const auto& def : item.definitions) {
            if (term_written) {
                out_.append(": "sv);
                single_line_shown(def);
                out_.push_back('\n');
                after_definition = true;
                continue;
            }
            out_.append("\\:"sv);
            std::size_t before = out_.size();
            out_.push_back(' ');
            single_line_shown(def);
            if (out_.size() == before + 1) out_.pop_back();  // no space at the line's end
            out_.push_back('\n');
        }
        if (!term_written && out_.size() > mark) {
            // The term lines that follow start a list of their own.
            out_.push_back('\n');
            mark = out_.size();
        }
    }
    if (out_.size() != mark) ial(dl.attr);
    // Read as a paragraph's lines, the terms and definitions from such a
    // line on could make a link definition ("[" and ": <http://]:t>"), the
    // attribute line after them too ("[\\^", ": ", "{: .]:}").
    for (auto it = paragraph_starts.rbegin(); it != paragraph_starts.rend(); ++it) hide_link_definition(*it);
    if (out_.size() != mark) out_.push_back('\n');
    Paragraph rest;
    for (std::size_t i = defs_end; i < dl.items.size(); ++i) {
        for (const auto& term : dl.items[i].terms) {
            // Each term one line, as a term line is written.
            Inlines line = canon::canonical(term.content, true);
            if (line.empty()) continue;
            if (!rest.content.empty()) rest.content.push_back(SoftBreak{});
            rest.content.insert(rest.content.end(), line.begin(), line.end());
        }
    }
    if (rest.content.empty()) return;
    // Terms alone are a paragraph: what stands around it numbers it, and
    // escapes its number, as any paragraph's (see `blocks`).
    const bool text_alone = out_.size() == start;
    block(Block{std::move(rest)});
    wrote_text_ = text_alone;
}

namespace {

// An ordered item's first line goes on with the markers of the lists that
// open its blocks ("1. - 2. x"), then with its text. Where the text opens
// with item numbers the writer would not write as an item's ("1.  x",
// "01. x", also after others: "1. 1.  x"), the reader takes the list for
// text (see `unwritten_item_number`): the first number of the text is
// escaped, and the list reads back as itself.
void escape_unwritten_items(const ListItem& item, std::string& buf) {
    if (item.task) return;
    // The markers before the text: those of the first items of the lists
    // that open the item, one in another, also inside a div opening one
    // that is written as its content (a div without attributes in a bare
    // div), which the line shows: written with its fence, the div goes on
    // with that. (Written as its content, a div of blocks that write
    // nothing writes nothing, and the blocks after it open the line.)
    const std::string_view line = std::string_view(buf).substr(0, buf.find('\n'));
    std::size_t pos = 0;
    const auto opening = [&](auto& self, const Blocks& blocks) -> const Block* {
        for (const Block& b : blocks) {
            if (writes_nothing(b)) continue;
            const auto* d = b.as<Div>();
            if (!d || line.substr(pos).starts_with(':')) return &b;
            if (const Block* in = self(self, d->blocks)) return in;
        }
        return nullptr;
    };
    for (const Block* first = opening(opening, item.blocks); first;) {
        const auto* inner = first->as<List>();
        if (!inner) break;
        const ListItem& it = inner->items.front();
        if (it.task) return;
        std::size_t i = pos;
        if (i < line.size() && (line[i] == '-' || line[i] == '*' || line[i] == '+')) {
            ++i;
        } else {
            while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
            if (i == pos || i >= line.size() || line[i] != '.') return;
            ++i;
        }
        if (i >= line.size() || line[i] != ' ') return;
        pos = i + 1;
        first = opening(opening, it.blocks);
    }
    const std::string_view text = line.substr(pos);
    if (text.empty() || text[0] < '0' || text[0] > '9' || !unwritten_item_number(text)) return;
    const std::size_t dot = text.find_first_not_of("0123456789");
    if (dot == std::string_view::npos || text[dot] != '.') return;
    buf.insert(pos + dot, 1, '\\');
}

}  // namespace

bool Renderer::reads_as_text_after(const List& prev, std::size_t prev_at, std::size_t chain_at,
                                   unsigned chain_heading, NumberingCut& cut) const {
    if (prev_at >= out_.size() || !ends_in_open_html(prev) || kept_opener_ended(prev)) return false;
    // From the blocks the reader numbers it on from, under the heading over
    // them, as in `item_after_open_html`.
    if (chain_at >= prev_at) return last_reads_as_paragraph(std::string_view(out_).substr(prev_at), 255);
    // Reading from the chain's start each time made a long chain of such
    // lists quadratic: read on from the last segment the reader began
    // before `prev`, with the numbering state there, as `numbered_on` does.
    if (cut.text_chain != chain_at || cut.text_at > prev_at) {
        cut.text_chain = cut.text_at = chain_at;
        cut.text_state = block::Numbering{};
        if (chain_heading <= 6) cut.text_state.heading = chain_heading;
    }
    static const Options options = Options::dataset();
    if (prev_at > cut.text_at) {
        const std::string_view upto = std::string_view(out_).substr(cut.text_at, prev_at - cut.text_at);
        block::Numbering state = cut.text_state;
        const auto read = block::outline_blocks(upto, options, &state);
        if (!read.segment_lines.empty() && read.segment_lines.back() > 0) {
            std::size_t off = 0;
            for (std::size_t line = 0; line < read.segment_lines.back(); ++line) off = upto.find('\n', off) + 1;
            block::Numbering at_segment = cut.text_state;
            block::outline_blocks(upto.substr(0, off), options, &at_segment);
            cut.text_at += off;
            cut.text_state = at_segment;
        }
    }
    if (cut.text_at == chain_at)
        return last_reads_as_paragraph(std::string_view(out_).substr(chain_at), chain_heading);
    block::Numbering from_cut = cut.text_state;
    const auto outline = block::outline_blocks(std::string_view(out_).substr(cut.text_at), options, &from_cut);
    // (The blocks before the cut count as those the list reads back after.)
    return !outline.blocks.empty() && outline.blocks.back().kind == "paragraph";
}

bool Renderer::reads_as_paragraph_after(std::size_t chain, std::size_t mark, std::string_view written) const {
    static const Options options = Options::dataset();
    std::string probe;
    std::size_t before = 0;  // blocks read before the list
    if (chain < mark) {
        // Under the heading over those blocks, as in `item_after_open_html`.
        probe = probe::under_heading(list_chain_heading_);
        probe.append(out_, chain, mark - chain);
        before = block::outline_blocks(probe, options).blocks.size();
    }
    probe.append(written);
    const auto outline = block::outline_blocks(probe, options);
    return outline.blocks.size() == before + 1 && outline.blocks.back().kind == "paragraph";
}

// A paragraph whose first line reads as one item "1." alone is text, but
// an ordered list from 1 or 2 after it, past blocks other than lists and
// headings, numbers on from that item, and both are lists (see
// `numbered_on_after`): then its number, written at `at`, is escaped.
void Renderer::escape_numbered_on(const Blocks& blocks, std::size_t i, unsigned heading, NumberingStops& stops,
                                  std::size_t at, const block::Numbering* state) {
    const std::string_view text = std::string_view(out_).substr(at);
    if (!starts_with_item_one(text)) return;
    const std::uint64_t start = numbered_on_after(blocks, i, heading, stops, state);
    if (start != 0 && numbered_on_by(text, start)) escape_item_number(at);
}

void Renderer::list(const List& l) {
    if (l.items.empty()) return;  // see `block_quote`
    // (A list of one item of one paragraph holds none beside another; one
    // of two items or more from 1 is a list anyway.)
    if (const Blocks& first = l.items.front().blocks;
        l.ordered && (first.size() != 1 || !first.front().is<Paragraph>() || (l.start != 1 && l.items.size() > 1)) &&
        !keep_blanks_ && blanks_keep_list(l)) [[unlikely]]
        return list_keeping_blanks(l);
    // A list not numbered from 1 reads back as the paragraph of its lines
    // where nothing numbers it on, and its items' text as that paragraph's
    // later lines, which the writer escapes otherwise than an item's first
    // line ("4. [^f]\]\:" and "[^f]\]:"). Where the two forms differ and
    // the list reads back as text, after the blocks the reader numbers it
    // on from (see `blocks`), it is written as that paragraph.
    const std::size_t chain = std::exchange(list_chain_at_, std::string::npos);
    if (continue_at_ == 0 && may_read_as_text(l)) {
        const std::size_t mark = out_.size(), notes_mark = notes_.size();
        items(l);
        std::string as_list = out_.substr(mark);
        std::vector<std::pair<std::string, Inlines>> list_notes(
            std::make_move_iterator(notes_.begin() + static_cast<std::ptrdiff_t>(notes_mark)),
            std::make_move_iterator(notes_.end()));
        notes_.resize(notes_mark);
        forget_divs_after(mark);
        out_.resize(mark);
        Paragraph text;
        std::uint64_t counter = l.start;
        for (const auto& item : l.items) {
            if (!text.content.empty()) text.content.push_back(SoftBreak{});
            const Paragraph* p = first_paragraph_shown(item);
            const bool empty = !p || p->content.empty();
            text.content.push_back(Text{std::to_string(counter++) + (empty ? "." : ". ")});
            if (!empty) text.content.insert(text.content.end(), p->content.begin(), p->content.end());
        }
        block(Block{std::move(text)});
        if (std::string_view(out_).substr(mark) == as_list) return;
        if (reads_as_paragraph_after(chain, mark, as_list)) {
            wrote_text_ = true;
            return;
        }
        forget_divs_after(mark);
        out_.resize(mark);
        out_.append(as_list);
        notes_.resize(notes_mark);
        std::move(list_notes.begin(), list_notes.end(), std::back_inserter(notes_));
        return;
    }
    // Such a list whose items open lists on their first lines ("2. 2. x")
    // reads back as the paragraph of the lines written: where the reader
    // takes it so, that paragraph is written.
    if (continue_at_ == 0 && may_read_as_text(l, true)) {
        const std::size_t mark = out_.size(), notes_mark = notes_.size();
        items(l);
        static const Options options = Options::dataset();
        if (!reads_as_paragraph_after(chain, mark, std::string_view(out_).substr(mark))) return;
        // (With the notes' definitions, so that their references read back.)
        std::string text = out_.substr(mark);
        for (std::size_t k = notes_mark; k < notes_.size(); ++k) text += "\n\n[^" + notes_[k].first + "]: x\n";
        for (const auto& [label, written] : footnote_labels_) text += "\n\n[^" + written + "]: x\n";
        ast::Document again = block::parse_source(text, options);
        const auto* p = again.blocks.size() == 1 ? again.blocks.front().as<Paragraph>() : nullptr;
        if (!p || !p->attr.empty()) return;
        // The notes the items wrote are notes of the paragraph again.
        Paragraph para = *p;
        std::vector<std::pair<std::string, Inlines>> list_notes(
            std::make_move_iterator(notes_.begin() + static_cast<std::ptrdiff_t>(notes_mark)),
            std::make_move_iterator(notes_.end()));
        const auto restore_notes = [&](auto& self, Inlines& run) -> void {
            for (auto& node : run) {
                if (const auto* ref = node.as<FootnoteRef>()) {
                    bool note = false;
                    for (auto& [label, content] : list_notes)
                        if (label == ref->label) {
                            node = Note{content};
                            note = true;
                            break;
                        }
                    if (!note)
                        for (const auto& [label, written] : footnote_labels_)
                            if (written == node.as<FootnoteRef>()->label) {
                                node = FootnoteRef{label};
                                break;
                            }
                    continue;
                }
                visit(
                    [&](auto& n) {
                        if constexpr (requires { n.content; }) {
                            if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>) self(self, n.content);
                        }
                    },
                    node);
            }
        };
        restore_notes(restore_notes, para.content);
        notes_.resize(notes_mark);
        forget_divs_after(mark);
        out_.resize(mark);
        block(Block{std::move(para)});
        wrote_text_ = true;
        return;
    }
    items(l);
}

void Renderer::items(const List& l) {
    const bool alt = alt_bullet_;
    alt_bullet_ = false;
    std::uint64_t counter = continue_at_ ? continue_at_ : l.start;
    const std::uint64_t between = continue_at_ ? continue_at_ - 1 : l.start;
    continue_at_ = 0;
    const std::uint64_t last_number = std::exchange(last_number_, 0);  // see `last_number_for_next`
    const std::size_t last_column = std::exchange(last_item_column_, 0);
    for (const auto& it : l.items) {
        std::string marker;
        if (l.ordered && last_number != 0) {
            // (The items before the last numbered up to it one by one; the
            // last with the number before `last_number`.)
            const auto after = static_cast<std::uint64_t>(&l.items.back() - &it) + 1;
            marker = item_marker(last_number - between > after ? last_number - after : between);
        } else if (l.ordered) {
            marker = item_marker(counter++);
        } else {
            marker = alt ? "* " : "- ";
        }
        const bool padded = &it == &l.items.back() && marker.size() < last_column;
        if (padded) marker.append(last_column - marker.size(), ' ');
        ++blank_lines_empty_;
        item_blocks_ = true;
        depth_ += 2;
        Lines text = nested_lines(it.blocks);
        depth_ -= 2;
        --blank_lines_empty_;
        std::string_view body;
        const bool own_line = prepare_item(l, it, text, body, padded);
        const std::size_t begin = out_.size();
        item(it, marker, text, body, own_line);
        if (text.colons_known) [[unlikely]] written_lines(text, begin);
    }
    ial(l.attr);
    out_.push_back('\n');
}

bool Renderer::prepare_item(const List& l, const ListItem& item, Lines& text, std::string_view& body, bool padded) {
    const auto opens_item = [](char c) { return (c >= '0' && c <= '9') || c == '-' || c == '*' || c == '+'; };
    // Raw HTML opening the item keeps the white space before its tag (see
    // `blocks`), which the marker's spacing would take: the item starts on
    // the line after its marker.
    if (const char first = text.split ? text.front() : text.buf.empty() ? '\0' : text.buf[0];
        !item.task && (first == ' ' || first == '\f' || first == '\v')) {
        body = text.split ? std::string_view{} : trim_nested_end(text.buf, item.blocks);
        return true;
    }
    if (text.split) {
        if (item.task) text.head.insert(0, *item.task ? "[x] " : "[ ] ");
        if (!l.ordered || !opens_item(text.front())) return false;
        // The first line whole, with what follows below done to it.
        if (!text.whole_head) {
            const std::string_view lines = text.body();
            const std::size_t nl = lines.find('\n');
            std::string_view line = lines.substr(0, nl);
            if (nl != std::string_view::npos && nl > 0 && line.back() == '\r') line.remove_suffix(1);
            text.head.append(line);
            text.whole_head = true;
            text.at = nl == std::string_view::npos ? text.end : text.at + nl + 1;
        }
        escape_unwritten_items(item, text.head);
        body = text.head;
    } else {
        if (item.task) text.buf.insert(0, *item.task ? "[x] " : "[ ] ");
        if (l.ordered && !text.buf.empty() && opens_item(text.buf[0])) escape_unwritten_items(item, text.buf);
        body = trim_nested_end(text.buf, item.blocks);
    }
    // A line of item numbers reads as text, and so would a task's
    // marker after them ("1. - [x]"), which as text is written escaped:
    // a list opening an ordered item with a task starts on the next line.
    // (Only a body opening with a number or a bullet goes on with them.)
    // Not after a padded marker, whose content column a marker alone would
    // not keep: there the task box keeps the list one (as text its "]" is
    // written escaped).
    if (l.ordered && !item.task && !padded && !body.empty() && opens_item(body[0])) {
        const std::string_view line = body.substr(0, body.find('\n'));
        const std::size_t markers = item_markers_length(line, true);
        const std::string_view rest = line.substr(markers);
        // (A box is followed by a space or ends the line: "[ ]{.c}" and
        // "[x](u)" are a span's and a link's brackets, text after numbers.)
        return markers > 0 && (rest.starts_with("[ ]") || rest.starts_with("[x]") || rest.starts_with("[X]")) &&
               (rest.size() == 3 || rest[3] == ' ');
    }
    return false;
}

void Renderer::item(const ListItem& item, std::string_view marker, Lines& text, std::string_view body,
                    bool own_line) {
    // (An item number has at most 20 digits: the marker at most 22 bytes.)
    static const std::string spaces(32, ' ');
    const std::string_view indent = std::string_view(spaces).substr(0, marker.size());
    // (Split text ends in a character that is no white space.)
    const bool blank = !text.split && text::trim_start(body).empty();
    if (blank || own_line) {
        out_.append(text::trim_end(marker));
        out_.push_back('\n');
    }
    if (text.split) {
        split_lines(text, own_line ? indent : marker, indent, indent);
    } else if (own_line) {
        for_each_line(body, [&](std::string_view line) {
            out_.append(indent);
            out_.append(line);
            out_.push_back('\n');
        });
    } else if (!blank) {
        bool first = true;
        for_each_line(body, [&](std::string_view line) {
            out_.append(first ? marker : indent);
            out_.append(line);
            out_.push_back('\n');
            first = false;
        });
    }
    if (markdown::writes_attrs(item.attr)) {
        out_.append(indent);
        out_.append("{: "sv);
        out_.append(attrs_body(item.attr));
        out_.append("}\n"sv);
    }
}

// A backtick fence takes no backtick in its info: such an info gets a tilde
// fence. An empty language or id writes nothing (a bare "." or "#" reads
// back as no attribute at all). Without a language the info as it was typed
// is not written: inside the braces it would read back as a different info
// ("{#}" gives the info "{#}", written "{{#}}"), and what it said beyond the
// attributes names nothing the tree keeps.
void Renderer::code_block(const CodeBlock& c) {
    Attr written = markdown::writable_attr(c.attr);
    if (written.pairs.size() != c.attr.pairs.size() && code_block_with_line(c)) [[unlikely]]
        return;
    // The reader takes the first class of the braces as the language, so
    // that class is written first.
    std::optional<std::string> lang = c.lang;
    if (!lang && !written.classes.empty()) lang = written.classes.front();
    // A language holding a line end or ending in white space (read from a
    // character reference) cannot be written as the first class (one ending
    // in white space would end the braces, whose inside the reader trims):
    // it is written as the word it was read from, before the other
    // attributes.
    if (lang && (lang->find_first_of("\n\r") != std::string::npos ||
                 (!lang->empty() && text::is_white_space(text::decode_utf8_before(*lang, lang->size()).cp))))
        return code_block_as_word(*lang, c.text, written);
    if (lang) std::erase(written.classes, *lang);
    std::string info;
    if (lang || !written.empty()) {
        bool before = false;
        if (lang && !lang->empty()) {
            info.push_back('.');
            info.append(markdown::escape_attr_word(*lang));
            before = true;
        }
        std::string body = attrs_body(written);
        if (!body.empty()) {
            if (before) info.push_back(' ');
            info.append(body);
        }
        if (!info.empty()) info = "{" + info + "}";
    }
    fenced_code(c.text, info);
}

// A language that is no class, written in the word form of a fence's info:
// each character that is white space, a line end or ASCII punctuation as a
// character reference, which the reader decodes (and no escape, quote,
// brace or leading "." or "#" is read as anything else). The braces after
// the word hold the other attributes, the language's class being one the
// reader adds itself.
[[gnu::cold, gnu::noinline]] void Renderer::code_block_as_word(const std::string& lang, std::string_view code,
                                                               Attr written) {
    std::string info;
    for (std::size_t i = 0; i < lang.size();) {
        const text::Decoded d = text::decode_utf8(lang, i);
        if (text::is_white_space(d.cp) || (d.cp < 0x80 && text::is_ascii_punctuation(d.cp))) {
            info.append("&#"sv);
            info.append(std::to_string(static_cast<std::uint32_t>(d.cp)));
            info.push_back(';');
        } else {
            info.append(lang, i, d.len);
        }
        i += d.len;
    }
    std::erase(written.classes, lang);
    if (std::string body = attrs_body(written); !body.empty()) info.append(" {"sv).append(body).push_back('}');
    fenced_code(code, info);
}

void Renderer::fenced_code(std::string_view text, std::string_view info) {
    char fence_char = info.find('`') == std::string::npos ? '`' : '~';
    std::size_t longest = 0, run = 0;
    for (char ch : text) {
        run = ch == fence_char ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    std::size_t fence = std::max<std::size_t>(longest, 2) + 1;
    out_.append(fence, fence_char);
    out_.append(info);
    out_.push_back('\n');
    const std::size_t start = out_.size();
    detail::append_verbatim(text, out_, blank_lines_empty_ > 0);
    // An empty text has no line between the fences: an empty one reads
    // as a line end.
    if (!text.empty() && (out_.size() == start || out_.back() != '\n')) out_.push_back('\n');
    out_.append(fence, fence_char);
    out_.append("\n\n"sv);
}

void Renderer::table_row(const std::vector<TableCell>& cells) {
    out_.push_back('|');
    for (const auto& cell : cells) {
        out_.push_back(' ');
        in_cell_ = true;
        single_line(cell.content);
        in_cell_ = false;
        out_.append(" |"sv);
    }
    out_.push_back('\n');
}

void Renderer::pipe_table(const Table& t) {
    table_row(t.head.front().cells);
    out_.push_back('|');
    for (Align a : t.aligns) {
        switch (a) {
            case Align::Left: out_.append(":--- |"sv); break;
            case Align::Center: out_.append(":---: |"sv); break;
            case Align::Right: out_.append("---: |"sv); break;
            case Align::Default: out_.append("--- |"sv); break;
        }
    }
    out_.push_back('\n');
    for (const auto& row : t.body) table_row(row.cells);
    if (!t.caption.empty()) {
        // The reader takes ": " only with some text after it as a caption.
        std::size_t mark = out_.size();
        out_.append(": "sv);
        // An attribute block ending the caption is the table's: when the
        // last inline's own attributes would end the line in such a block,
        // they are written in its element form, as on a heading's line, or
        // left out where it has none, and so on down a span written as its
        // content. Attributes written in an element's tag stay.
        const std::size_t notes_mark = notes_.size();
        single_line_shown(t.caption);
        auto ends_in_block = [&] { return attrs::trailing_attr_span(std::string_view(out_).substr(mark + 2)).has_value(); };
        bool empty_block = false;
        if (ends_in_block()) {
            // (An image, or one whose element form would lose something,
            // keeps its block, and a block follows that gives the table
            // nothing.)
            const Inline* last = last_attributed(t.caption);
            empty_block = last != nullptr && (last->is<Image>() || !element_keeps_all(*last, t.caption, true));
            if (empty_block) [[unlikely]]
                out_.append(empty_block_after(out_, mark + 2));
        }
        if (!empty_block && ends_in_block()) {
            // In its canonical shape: a link's element form leaves its text
            // outside any link, where an address in it would read as a link.
            Inlines caption = canon::canonical(t.caption, true);
            while (ends_in_block()) {
                if (!last_written_as_element(caption)) {
                    Attr* attr = last_written_attr(caption);
                    if (attr == nullptr) break;
                    *attr = Attr{};
                }
                // (written again, its notes are met again)
                out_.resize(mark + 2);
                notes_.resize(notes_mark);
                single_line(caption);
            }
        }
        if (out_.size() == mark + 2) {
            out_.resize(mark);
        } else {
            // A caption ending in what reads as an attribute block would give
            // it to the table: its final "}" is escaped.
            if (!empty_block) escape_final_attr_block(out_, mark + 2);
            out_.push_back('\n');
        }
    }
    ial(t.attr);
    out_.push_back('\n');
}

[[gnu::cold]] void Renderer::html_fallback(const Block& block) {
    render::Renderer r;
    r.pass_over_labels(doc_.footnotes);
    std::string html;
    r.block(block, html);
    // A line of the fragment ending in a markdown container's opening tag
    // (a cell's raw HTML before a line feed of its text) would open that
    // container when read: the line feed is written as the reference an
    // HTML parser reads as it.
    // (Only a fragment naming the markdown attribute, in any case, is asked
    // about; the search goes from one "k" to the next, which the fragments
    // of tables hold few of, as a case-blind search over every byte cost
    // more than the rest of the table's writing.)
    const auto names_markdown = [&html] {
        constexpr std::string_view kAttr = "markdown";
        for (const char k : {'k', 'K'}) {
            for (std::size_t at = html.find(k, 3); at != std::string::npos; at = html.find(k, at + 1)) {
                if (at + 5 > html.size()) break;
                bool same = true;
                for (std::size_t i = 0; i < kAttr.size() && same; ++i) same = (html[at - 3 + i] | 0x20) == kAttr[i];
                if (same) return true;
            }
        }
        return false;
    };
    const bool named = names_markdown();
    for (std::size_t nl = named ? html.find('\n') : std::string::npos, start = 0; nl != std::string::npos;
         nl = html.find('\n', nl + 1)) {
        const std::string_view line = text::trim_end(std::string_view(html).substr(start, nl - start));
        const std::size_t lt = line.rfind('<');
        if (lt != std::string_view::npos && block::markdown_open_tag(line.substr(lt))) {
            html.replace(nl, 1, "&#10;"sv);
            continue;
        }
        start = nl + 1;
    }
    if (!r.footnote_order.empty()) {
        // A blank line between the fragment and its footnote section: the
        // reader takes them as two HTML blocks, which are written back
        // with exactly this blank line between them.
        if (html.empty() || html.back() != '\n') html.push_back('\n');
        html.push_back('\n');
        footnote_section(r, doc_, html);
    }
    // A line of white space alone ("&nbsp;" in a paragraph) is blank to the
    // reader, which in a footnote or an item keeps it as an empty line: its
    // first character is written as a character reference, which HTML reads
    // as that character.
    for (std::size_t at = 0; at < html.size();) {
        std::size_t end = html.find('\n', at);
        if (end == std::string::npos) end = html.size();
        if (end > at && line::is_blank(std::string_view(html).substr(at, end - at))) [[unlikely]] {
            const text::Decoded d = text::decode_utf8(html, at);
            char ref[16];
            const int n = std::snprintf(ref, sizeof ref, "&#%u;", static_cast<unsigned>(d.cp));
            html.replace(at, d.len, ref, static_cast<std::size_t>(n));
            end += static_cast<std::size_t>(n) - d.len;
        }
        at = end + 1;
    }
    out_.append(html);
    if (html.empty() || html.back() != '\n') out_.push_back('\n');
    out_.push_back('\n');
}

// ---------------------------------------------------------------------------
// Renderer: inlines

void Renderer::inlines(const Inlines& run) {
    lines_allowed_ = true;  // (no run is written inside another)
    run_in_canonical_shape(run, false);
    lines_allowed_ = false;
}

void Renderer::single_line(const Inlines& run) { run_in_canonical_shape(run, true); }

void Renderer::single_line_shown(const Inlines& run) {
    const std::size_t mark = out_.size();
    single_line(run);
    if (out_.size() == mark) {
        if (auto shown = white_space_as_references(run)) {
            single_line(*shown);
            shown_as_read_back(mark, false);
        }
    }
}

void Renderer::shown_as_read_back(std::size_t mark, bool term) {
    // As for a paragraph (see `blocks`): where the references read back as
    // a run written otherwise (one between the tags of an element form),
    // that run is written, so that the text writes again as itself.
    auto again = read_back_run(std::string_view(out_).substr(mark));
    if (!again) return;
    const std::string shown_text = out_.substr(mark);
    out_.resize(mark);
    if (term) {
        line_before_attrs(*again, Attr{}, "");
    } else {
        single_line(*again);
    }
    if (out_.size() == mark) out_.append(shown_text);
}

void Renderer::run_in_canonical_shape(const Inlines& run, bool one_line) {
    after_ = kBlank;
    after_is_closer_ = false;
    opened_by_ = 0;
    attr_target_end_ = std::string::npos;
    ref_end_ = std::string::npos;
    switch (canon::shape_of(run, one_line)) {
        case canon::Shape::Canonical: raw_inlines(run); break;
        case canon::Shape::TrailingSpace: raw_inlines(run, true); break;
        case canon::Shape::Other: raw_inlines(canon::canonical(run, one_line)); break;
    }
}

// An image's element form keeps only the plain text of its description: at
// the end of a heading's or term's line the image keeps its delimiter form,
// and when the reader would take its attribute block for the line's, a
// closing sequence follows, which the reader cuts after it has looked for
// that block. So does an inline whose element form would lose something (see
// `element_keeps_all`); at the end of a term, which takes no closing
// sequence, a block that gives the term nothing follows instead.
void Renderer::closed_line(const Inlines& line, bool closable) {
    const std::size_t start = out_.size();
    raw_inlines(line);
    if (attrs::trailing_attr_span(std::string_view(out_).substr(start)))
        out_.append(closable ? std::string_view(" #") : empty_block_after(out_, start));
}

void Renderer::line_before_attrs(const Inlines& run, const Attr& own, std::string_view sep, bool closable) {
    if (!own.pairs.empty() && line_before_line_keys(run, own, sep, closable)) [[unlikely]]
        return;
    after_ = kBlank;
    after_is_closer_ = false;
    opened_by_ = 0;
    attr_target_end_ = std::string::npos;
    ref_end_ = std::string::npos;
    Inlines line = canon::is_canonical(run, true) ? run : canon::canonical(run, true);
    // The reader takes an attribute block that ends the line as the line's
    // own: without attributes of its own, the last inline's are written in
    // its element form, or not at all where it has none.
    const bool own_written = markdown::writes_attrs(own);
    if (!own_written) {
        bool changed = false;
        while (!line.empty()) {
            // Its attributes go into its element form, where it has one.
            if (auto element = element_nodes(line.back())) {
                if (line.back().is<Image>() || !element_keeps_all(line.back(), line)) [[unlikely]] {
                    closed_line(changed ? canon::canonical(line, true) : line, closable);
                    return;
                }
                line.pop_back();
                for (auto& n : *element) line.push_back(std::move(n));
                changed = true;
                break;
            }
            if (const auto* span = line.back().as<Span>()) {
                Inlines content = span->content;  // a bare "[x]" would be text
                line.pop_back();
                for (auto& n : content) line.push_back(std::move(n));
                changed = true;
                continue;
            }
            visit(
                [](auto& n) {
                    if constexpr (requires { n.attr; }) n.attr = Attr{};
                },
                line.back());
            break;
        }
        if (changed) line = canon::canonical(line, true);
    }
    const std::size_t start = out_.size();
    raw_inlines(line);
    // Text that ends the line in what looks like an attribute block keeps
    // its final "}" escaped, so that the block stays text.
    if (!own_written) {
        escape_final_attr_block(out_, start);
        return;
    }
    out_.append(sep);
    // Inside a stretch a double quote opened, the block's double-quoted
    // values would close it and open another, hiding the block's "{":
    // the values take single quotes there. Inside a quoted stretch the
    // reader's search for the block's "{" passes over the other quote, so
    // a brace in a value would move or drop that "{": it is escaped.
    const char state = quote_state_after(std::string_view(out_).substr(start));
    trailing_attrs(own, state == '"' ? '\'' : '"', state != 0);
}

void Renderer::raw_inlines(const Inlines& run, bool trim_last) {
    const char32_t inherited = after_;
    const bool inherited_closer = after_is_closer_;
    for (std::size_t i = 0; i < run.size(); ++i) {
        bool last = i + 1 == run.size();
        after_ = last ? inherited : lead_char(run[i + 1]);
        after_is_closer_ = last && inherited_closer;
        if (last && trim_last) {
            write_text(text::trim_end(run[i].as<Text>()->text));
        } else {
            inline_node(run[i]);
        }
    }
    after_ = inherited;
    after_is_closer_ = inherited_closer;
}

char32_t Renderer::lead_char(const Inline& node) const {
    return visit(
        [&](const auto& n) -> char32_t {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, Text>) {
                if (n.text.empty()) return kBlank;
                char c = n.text[0];
                if (c == '#' || c == '$' || c == '*' || c == '+' || c == '<' || c == '=' || c == '>' || c == '\\' ||
                    c == ']' || c == '^' || c == '_' || c == '`' || c == '|' || c == '~' || c == '@' ||
                    (c == '&' && detail::starts_decoded_reference(n.text, 0))) {
                    return '\\';
                }
                if (c == '[' && bracket_depth_ > 0) return '&';
                // (An ASCII character is its own code point, and white space
                // among them is what the reader takes for it.)
                if (const auto b = static_cast<unsigned char>(c); b < 0x80)
                    return b == ' ' || (b >= 0x09 && b <= 0x0D) ? kBlank : char32_t{b};
                char32_t cp = text::decode_utf8(n.text, 0).cp;
                return text::is_white_space(cp) ? kBlank : cp;
            } else if constexpr (std::is_same_v<T, SoftBreak>) {
                return kBlank;
            } else if constexpr (std::is_same_v<T, HardBreak> || std::is_same_v<T, Math>) {
                return '\\';
            } else if constexpr (std::is_same_v<T, Emph> || std::is_same_v<T, Strong> || std::is_same_v<T, Strikeout> ||
                                 std::is_same_v<T, Highlight>) {
                // Right after a closer of its own character an emphasis node
                // takes its element form; after any other closer either form
                // starts with punctuation, which is all a closer asks.
                return '<';
            } else if constexpr (std::is_same_v<T, Superscript>) {
                return script_bare(n.text, '^', n.attr, in_cell_) ? U'^' : U'<';
            } else if constexpr (std::is_same_v<T, Subscript>) {
                return script_bare(n.text, '~', n.attr, in_cell_) ? U'~' : U'<';
            } else if constexpr (std::is_same_v<T, Code> || std::is_same_v<T, RawInline>) {
                return '`';
            } else if constexpr (std::is_same_v<T, Image>) {
                return '!';
            } else if constexpr (std::is_same_v<T, Autolink>) {
                return angled_autolink(n) ? U'<' : U'[';
            } else if constexpr (std::is_same_v<T, RawHtml>) {
                return n.html.empty() ? kBlank : text::decode_utf8(n.html, 0).cp;
            } else if constexpr (std::is_same_v<T, Operation>) {
                return n.args.size() >= 2 ? U'<' : U'{';
            } else if constexpr (std::is_same_v<T, TemplateTokenInline>) {
                return n.token.source.empty() ? kBlank : text::decode_utf8(n.token.source, 0).cp;
            } else {
                return '[';  // Link, Span, FootnoteRef, Note
            }
        },
        node);
}

void Renderer::delimited(std::string_view delim, std::string_view tag, const Attr& attr, const Inlines& content,
                         bool first_of_same) {
    const char32_t c = static_cast<unsigned char>(delim[0]);
    const char32_t x = attr.empty() ? after_ : U'{';
    // An attribute block after the closer keeps it out of the parent's
    // closing run.
    const bool last_of_same = after_is_closer_ && after_ == c && attr.empty();
    const std::size_t start = out_.size();
    const std::size_t own_end = own_end_;
    const std::size_t notes_mark = notes_.size();
    // Where the first line starts and what it was found to be, as the form
    // given up (see below) may have ended the line.
    const std::size_t first_line_start = first_line_start_;
    const int footnote_line = footnote_line_;
    // The character before the opener; kBlank at a line start. An escaped
    // one is not part of the opener's run.
    char32_t p = kBlank;
    bool p_escaped = false;
    if (start > 0 && out_.back() != '\n') {
        p = text::decode_utf8_before(out_, start).cp;
        std::size_t k = start - text::decode_utf8_before(out_, start).len, slashes = 0;
        while (k > 0 && out_[k - 1] == '\\') {
            --k;
            ++slashes;
        }
        p_escaped = slashes % 2 == 1;
    }
    const char32_t saved_after = after_;
    const bool saved_closer = after_is_closer_;

    // Try the delimiter form: write the content, then look at its edges.
    const bool plain_strong = c == '*' && delim.size() == 2 && attr.empty();
    const bool saved_in_plain_strong = in_plain_strong_;
    out_.append(delim);
    const std::size_t cstart = out_.size();
    after_ = c;
    after_is_closer_ = true;
    opened_by_ = c;
    ++same_depth_[delimiter_slot(c)];
    // "***x***" from an emphasis filling a plain strong reads back as a
    // strong inside an emphasis: the content then sits in the strong.
    const bool fills_strong = c == '*' && delim.size() == 1 && first_of_same && last_of_same && saved_in_plain_strong;
    in_plain_strong_ = plain_strong || fills_strong;
    const std::size_t parent_delim_len = enclosing_delim_len_;
    const char32_t parent_after = enclosing_after_;
    const bool parent_closer_shared = enclosing_closer_shared_;
    enclosing_delim_len_ = delim.size();
    enclosing_after_ = x;
    enclosing_closer_shared_ = last_of_same;
    raw_inlines(content);
    enclosing_delim_len_ = parent_delim_len;
    enclosing_after_ = parent_after;
    enclosing_closer_shared_ = parent_closer_shared;
    in_plain_strong_ = saved_in_plain_strong;
    --same_depth_[delimiter_slot(c)];
    opened_by_ = 0;
    const std::size_t cend = out_.size();
    // A plain strong whose nearest delimited ancestor is a plain strong
    // would be merged into it, between "*" runs or "_" runs alike (an
    // element form between them is raw HTML to the reader, no node).
    const bool merged_into_strong = plain_strong && saved_in_plain_strong;
    bool ok = cend > cstart;
    if (ok) {
        char32_t f = text::decode_utf8(out_, cstart).cp;
        char32_t l = text::decode_utf8_before(out_, cend).cp;
        bool left_flanking = !flank_space(f) && (!flank_punct(f) || flank_space(p) || flank_punct(p));
        bool right_flanking = !flank_space(l) && (!flank_punct(l) || flank_space(x) || flank_punct(x));
        // "~~" and "==" pair only runs of exactly two: sharing a run with
        // the enclosing node's ("~~~~a~~~~") leaves both as text, and such a
        // run at a line start would open a code fence.
        const bool exact_runs = c != '*';
        bool merges_before = p == c && !p_escaped && (!first_of_same || exact_runs);
        bool merges_after = x == c && (!last_of_same || exact_runs);
        // Inside an enclosing node of the same delimiter an opener that
        // could also close ("x*y", "*b*==\*==") would close the enclosing
        // node instead.
        bool opener_closes = same_depth_[delimiter_slot(c)] > 0 && !flank_space(p) &&
                             (!flank_punct(p) || flank_space(f) || flank_punct(f));
        if (opener_closes && !attr.pairs.empty() &&
            same_depth_[delimiter_slot(c)] == outside_brackets_[delimiter_slot(c)]) [[unlikely]]
            opener_closes = !loses_key(attr);
        // An emphasis filling a strong with attributes would take them:
        // "***x***{.c}" reads back as the emphasis with them around a strong.
        bool fills_strong_with_attrs = last_of_same && first_of_same && parent_delim_len == 2 && delim.size() == 1 &&
                                       !saved_in_plain_strong;
        ok = left_flanking && right_flanking && !merges_before && !merges_after && !opener_closes &&
             !merged_into_strong && !fills_strong_with_attrs;
        // A delimiter sharing its run with the parent's ("**c*k*", "*a **b***"):
        // the reader refuses to pair runs whose lengths add up to a multiple
        // of three when either could also do the other job, unless both
        // lengths are.
        const bool shares_opener = first_of_same && p == c && !p_escaped;
        if (ok && c == '*' && (shares_opener || last_of_same)) {
            std::size_t k = cstart, open_len = 0;
            while (k > 0 && out_[k - 1] == '*') {
                --k;
                ++open_len;
            }
            std::size_t slashes = 0;
            while (k > slashes && out_[k - 1 - slashes] == '\\') ++slashes;
            if (slashes % 2 == 1) --open_len;  // the run's first "*" is escaped
            if (!shares_opener) {
                k = cstart - delim.size();
                open_len = delim.size();
            }
            char32_t before_run = kBlank;
            if (k > 0 && out_[k - 1] != '\n') before_run = text::decode_utf8_before(out_, k).cp;
            const std::size_t close_len = delim.size() + (last_of_same ? parent_delim_len : 0);
            // The runs also hold the delimiters of children at the content's
            // edges ("***w****"): what flanks a run is outside all of them.
            const char32_t f_run = f == '*' ? star_run_after(out_, cstart, cend, f) : f;
            const char32_t l_run = l == '*' ? star_run_before(out_, cstart, cend, l) : l;
            const bool opener_can_close =
                !flank_space(before_run) && (!flank_punct(before_run) || flank_space(f_run) || flank_punct(f_run));
            // A shared closing run ends where the parent's does.
            const char32_t after_run = last_of_same ? parent_after : x;
            const bool closer_can_open =
                !flank_space(after_run) && (!flank_punct(after_run) || flank_space(l_run) || flank_punct(l_run));
            if ((opener_can_close || closer_can_open) && (open_len + close_len) % 3 == 0 &&
                !(open_len % 3 == 0 && close_len % 3 == 0))
                ok = false;
            // A closing run shared over three levels or more ("*x ***a.****")
            // is paired two at a time wherever both runs hold two, and the
            // sums of what is left may then refuse the pairs further out:
            // the innermost node leaves the run to the others.
            if (last_of_same && parent_closer_shared) ok = false;
        }
    }
    // A subscript first in a strikeout stands right after its "~~", where
    // the reader opens none: where its element form would lose a key no tag
    // can hold, the strikeout takes its element form instead, after whose
    // tag the subscript's markers stand bare.
    if (ok && c == '~') [[unlikely]]
        ok = !probe::subscript_first_loses_key(out_, cstart, content, attr);
    if (any_key_lost_in_runs_) [[unlikely]]
        ok = delimiters_kept_over_lost_key(attr, delimiter_slot(c)) && ok;
    // (White space alone, whose element form would change it, and a node
    // whose element form would lose a key are tried after an escaped
    // character too: that is punctuation, before which "_" opens.)
    if (!ok && c == '*' && cend > cstart && !merged_into_strong) [[unlikely]] {
        if (underscores_fit(attr, content, tag, cstart, cend, p, p_escaped, saved_after)) {
            out_.replace(start, delim.size(), delim.size(), '_');
            delim = delim.size() == 1 ? "_" : "__";
            ok = true;
        }
    }
    // A node whose element form would lose a key, right after a letter or
    // other character the reader's flanking rules count as neither white
    // space nor punctuation ("&copy;**_a_**{-=}"), is tried with that
    // character written as a character reference: the reader judges the
    // opener by the reference's ";". Such a character ends a text: every
    // other node the writer writes ends in punctuation, but for those that
    // may end in a character of their own (see `own_end_`).
    if (!ok && !attr.pairs.empty() && cend > cstart && own_end != start &&
        !p_escaped && !reference_tried_ && !flank_space(p) && !flank_punct(p) && markdown::writes_attrs(attr, true) &&
        has_key_no_tag_holds(attr)) [[unlikely]] {
        rewind(start, notes_mark, first_line_start, footnote_line);
        after_ = saved_after;
        after_is_closer_ = saved_closer;
        delimited_after_reference(delim, tag, attr, content, first_of_same, p);
        return;
    }
    if (ok) {
        out_.append(delim);
    } else {
        // The element form reads back as raw HTML around the same content.
        if (!attr.pairs.empty()) [[unlikely]]
            note_key_lost_in_runs(attr, delimiter_slot(c));
        rewind(start, notes_mark, first_line_start, footnote_line);
        if (!attr.pairs.empty() && delimited_after_empty_block(delim.size(), attr, content, saved_after, saved_closer))
            [[unlikely]] return;
        element_form(tag, attr, content);
    }
    after_ = saved_after;
    after_is_closer_ = saved_closer;
    // The element form reads back as raw HTML, which takes no attribute
    // block after it: its attributes are in its tag. The block after a
    // closing delimiter is looked for once the text is scanned: it must
    // have been read as plain text.
    if (ok) {
        if (markdown::writes_attrs(attr, true)) {
            const std::size_t at = out_.size();
            out_.push_back('{');
            out_.append(attrs_body(attr, '"', false, true, true));
            out_.push_back('}');
            if (in_cell_) [[unlikely]] escape_bars_from(out_, at);
        }
        attr_target_end_ = out_.size();
    }
}

// An emphasis or strong whose "*" runs would merge with those beside it
// ("*.***;**{k=1}") and whose element form would lose a key no tag can hold,
// or pair its tags with raw HTML of its own element in its content
// ("***<em>*}**", whose "<em>" the element's "</em>" would close; see
// `holds_lone_tag`), or change the white space it holds alone (a line end
// there is a space), is written between "_" runs where those pair just as written: after white
// space or punctuation other than "_", around a content holding no "_" and
// not starting or ending with white space, before its attribute block or,
// without one, before white space, the end or punctuation other than "_"
// and "*" (`next`, kBlank for the first two), or, for a lone tag, before
// the closer of a plain strong around it (`in_plain_strong_`): a
// closing run of "*" shared with the nodes around it is judged by those
// nodes as written. Where the element form would lose a key, a character
// escaped before the opener (`p_escaped`), "_" too, and an escaped "_" in
// the content are in no run, and a bare "_" in the content is where the
// runs read back around it (`underscores_read_back`). An escaped "_" is in
// no run for a lone tag either, where the nearest node around in its
// delimiter form is a plain strong, which takes no "_" runs of its own, or
// where there is none (a node with a key there would find these in its
// content).
bool Renderer::underscores_fit(const Attr& attr, const Inlines& content, std::string_view tag, std::size_t cstart,
                               std::size_t cend, char32_t p, bool p_escaped, char32_t next) {
    if (underscores_wanted_) return underscores_in_span_try(attr, cstart, cend, p, p_escaped, next);
    const bool attrs_written = markdown::writes_attrs(attr, true);
    const bool key_kept = attrs_written && has_key_no_tag_holds(attr);
    const bool refs = canon::white_refs(content) != nullptr;
    if (!key_kept && !refs &&
        (p_escaped || !holds_lone_tag(content, tag) ||
         !written_holds_lone_tag(std::string_view(out_).substr(cstart, cend - cstart), tag)))
        return false;
    // Before the closer of a plain strong around it ("**_<em>_**"), whose
    // own form then takes no "_" runs that these would stand in, the runs
    // pair as well: taken there for a lone tag, which would pair with the
    // element's. (No other node the writer writes starts with a bare "*".)
    const bool lone_before_closer = next == '*' && in_plain_strong_ && !key_kept && !refs;
    if (!attrs_written && (next == '_' || (next == '*' && !lone_before_closer) ||
                           (!flank_space(next) && !flank_punct(next))))
        return false;
    if ((p == '_' && !(p_escaped && key_kept)) || (!flank_space(p) && !flank_punct(p))) return false;
    const std::string_view written = std::string_view(out_).substr(cstart, cend - cstart);
    bool bare = false;
    for (std::size_t i = written.find('_'); i != std::string_view::npos && !bare; i = written.find('_', i + 1)) {
        std::size_t slashes = 0;
        while (slashes < i && written[i - 1 - slashes] == '\\') ++slashes;
        bare = slashes % 2 == 0;
        if (!key_kept && (bare || !(in_plain_strong_ || enclosing_delim_len_ == 0))) return false;
    }
    const char32_t f = text::decode_utf8(out_, cstart).cp;
    const char32_t l = text::decode_utf8_before(out_, cend).cp;
    if (flank_space(f) || flank_space(l)) return false;
    return !bare || underscores_read_back(written, tag == "strong"sv, attr, p != kBlank);
}

void Renderer::escape_label_ends(std::string_view& s) {
    // On a first line beginning with "[^" the reader ends a footnote label
    // at the first "]:": a ":" of the text after a "]" is escaped.
    std::size_t from = 0;
    for (std::size_t i = s.find(':'); i != std::string_view::npos; i = s.find(':', i + 1)) {
        bool after_bracket = i > from ? s[i - 1] == ']' : (!out_.empty() && out_.back() == ']');
        if (!after_bracket) continue;
        detail::escape_text(s.substr(from, i - from), out_, bracket_depth_ > 0, true);
        out_.append("\\:"sv);
        from = i + 1;
    }
    s.remove_prefix(from);
}

void Renderer::write_text(std::string_view s) {
    if (!s.empty() && s.front() == '{' && out_.size() == attr_target_end_) {
        // Right after a node that takes trailing attributes a "{" could be
        // read as its attribute block.
        out_.append("\\{"sv);
        s.remove_prefix(1);
    } else if (!s.empty() && s.front() == ':' && out_.size() == ref_end_) {
        // "[^label]:" at a line start would open a footnote definition.
        out_.append("\\:"sv);
        s.remove_prefix(1);
    }
    if (footnote_line_ != 0 && first_line_start_ < out_.size() && footnote_line()) escape_label_ends(s);
    detail::escape_text(s, out_, bracket_depth_ > 0, after_ != kBlank);
    // A "-" that ends the text at the start of a block's first line, with
    // white space, a break or nothing after it, would open a list item.
    // (On a later line an empty item cannot interrupt the paragraph, and a
    // text after it would have been merged into this one.)
    if (after_ == kBlank && !s.empty() && s.back() == '-' && out_.back() == '-') {
        std::size_t k = out_.size() - 1;
        std::size_t spaces = 0;
        while (k > 0 && out_[k - 1] == ' ' && spaces < 4) {
            --k;
            ++spaces;
        }
        bool first_line = k == 0 || (out_[k - 1] == '\n' && (k < 2 || out_[k - 2] == '\n'));
        if (spaces <= 3 && first_line) out_.insert(out_.size() - 1, 1, '\\');
    }
}

// A superscript right after a "[": written bare it could make "[^" a
// footnote reference's opener, and its element form would lose the keys no
// tag can hold. Where it would, a "[" of text is written as a character
// reference, which reads back as the same text and opens nothing. A link's
// or span's "[" stays: the superscript is written bare where the label the
// reader walks from "[^" (to "]", stopping at white space or "[") names no
// footnote this text defines, whatever the content after it; in a cell
// too, where a bar the cell escapes would stand in the label read, so a
// text or block holding one takes the element form. Text holding an
// e-mail address's "@" takes the element form all the same (see
// `inline_node`), which leaves the "[" as it is: written as a reference
// there, it would read back as a "[" that the text written again keeps bare
// ("[^a@b.c^{-=}").
bool Renderer::bare_after_bracket(std::string_view text, const Attr& attr, char32_t opened) {
    if (!script_holds_no_address(text, '^', attr)) return false;
    if (opened != '[') {
        out_.pop_back();
        out_.append("&#91;"sv);
        return true;
    }
    std::string written(text);
    written.append("^{"sv);
    written.append(attrs_body(attr, '"', false, true));
    written.push_back('}');
    if (in_cell_ && written.find('|') != std::string::npos) return false;
    if (sorted_labels_.empty() && !footnote_labels_.empty()) {
        for (const auto& kv : footnote_labels_) sorted_labels_.push_back(kv.second);
        std::sort(sorted_labels_.begin(), sorted_labels_.end());
    }
    // Whether a label written is `label` (`whole`) or begins with it.
    auto defined = [&](std::string_view label, bool whole) {
        // Notes take labels "__note" and a number.
        if (label.starts_with("__note") || (!whole && std::string_view("__note").starts_with(label))) return true;
        const auto it = std::lower_bound(sorted_labels_.begin(), sorted_labels_.end(), label);
        return it != sorted_labels_.end() && (whole ? *it == label : it->starts_with(label));
    };
    for (std::size_t i = 0; i < written.size();) {
        const text::Decoded d = text::decode_utf8(written, i);
        if (d.cp == ']') return i == 0 || !defined(std::string_view(written).substr(0, i), true);
        if (d.cp == '[' || text::is_white_space(d.cp)) return true;
        i += d.len;
    }
    return !defined(written, false);
}

// A "www." address the reader finds again where it is written bare:
// between white space, or right after the "[" of a span or link (no "!"
// before it, no "<" before that), where the reader looks for one. A span
// holding one keeps its brackets (see holds_link). Where a span is tried
// with its addresses bare, one may stand before anything that ends it (a
// ")" the reader trims, a "<"): the try reads back what it wrote.
bool Renderer::bare_www(const Autolink& link, char32_t opened) {
    if ((after_ != kBlank && !www_kept_) || !probe::bare_www_fits(link, www_kept_ != nullptr)) return false;
    if (out_.empty()) return true;
    const char b = out_.back();
    if (b == ' ' || b == '\t' || b == '\n') return !autolink::preceded_by_angle_opener(out_, out_.size()) || angle_as_name();
    // Where addresses are kept bare, after any character the reader looks
    // for one after, escaped or not ("[[www.a ]]", "\\*www.a").
    bool found_after = (opened == '[' && b == '[') ||
                       (www_kept_ && autolink::is_boundary(text::decode_utf8_before(out_, out_.size()).cp));
    if (!found_after && www_kept_) found_after = reference_before_www();
    return found_after && !out_.ends_with("![") && !autolink::preceded_by_angle_opener(out_, out_.size());
}

// The reader finds no address after a "<" and white space, where an
// address holding the "<" in angle brackets could begin: a "<" of text
// there, escaped, is written as its named reference instead, after which
// it finds one. False where the "<" is not text.
bool Renderer::angle_as_name() {
    std::size_t at = out_.size();
    while (at > 0) {
        const text::Decoded d = text::decode_utf8_before(out_, at);
        if (!text::is_white_space(d.cp)) break;
        at -= d.len;
    }
    if (at < 2) return false;
    std::size_t slashes = 0;
    while (at - 1 > slashes && out_[at - 2 - slashes] == '\\') ++slashes;
    if (slashes % 2 == 0) return false;
    out_.replace(at - 2, 2, "&lt;"sv);
    // (What was written after it moved on by two bytes.)
    for (std::size_t* p : {&own_end_, &attr_target_end_, &ref_end_, &first_line_start_})
        if (*p != std::string::npos && *p >= at) *p += 2;
    return true;
}

// An element's opening tag; in a cell, its bars as the cell's.
void Renderer::append_element_open(std::string_view tag, const Attr& attr) {
    if (description_depth_ > 0) [[unlikely]] element_in_description_ = true;
    const std::size_t at = out_.size();
    out_.append(element_open(tag, attr));
    if (in_cell_) [[unlikely]] escape_bars_from(out_, at);
}

void Renderer::open_bracket() {
    // A "!" written just before would make the bracket an image's. It is
    // escaped when it is not already (an even run of backslashes before it).
    if (!out_.empty() && out_.back() == '!') {
        std::size_t k = out_.size() - 1, slashes = 0;
        while (k > 0 && out_[k - 1] == '\\') {
            --k;
            ++slashes;
        }
        if (slashes % 2 == 0) out_.insert(out_.size() - 1, 1, '\\');
    }
    out_.push_back('[');
}

void Renderer::image_description(const Inlines& alt) {
    const std::size_t start = out_.size();
    const std::size_t notes_mark = notes_.size();
    const std::size_t first_line_start = first_line_start_;
    const int footnote_line = footnote_line_;
    const bool saved_element = element_in_description_;
    element_in_description_ = false;
    ++description_depth_;
    bracketed(alt);
    --description_depth_;
    if (element_in_description_ && canon::plain_description_reads_back(alt)) [[unlikely]] {
        // An element's tags read back as raw HTML, which the reader may
        // pair with raw tags in the description or around the image, and
        // which an unpaired one leaves in the plain text: only the plain
        // text is kept, so it is written instead, where it reads back so.
        rewind(start, notes_mark, first_line_start, footnote_line);
        Inlines text;
        if (!canon::plain_description(alt, text)) {
            // Raw tags that open no element, where their texts and breaks
            // would not read back around them: the plain text alone, the
            // tags in it text. (A line end there would be one in the text:
            // spaces, as the plain text gives a break.)
            std::string plain = render::plain(alt);
            std::replace_if(plain.begin(), plain.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
            text.push_back(Text{std::move(plain)});
        }
        bracketed(text);
    } else if (element_in_description_) [[unlikely]] {
        // Else its tags, breaks, notes and nested images are written so
        // that they read back as that text, where they can be.
        Inlines text;
        if (canon::text_description(alt, true, text)) {
            rewind(start, notes_mark, first_line_start, footnote_line);
            bracketed(text);
        }
    }
    element_in_description_ = saved_element;
}

void Renderer::rewind(std::size_t start, std::size_t notes_mark, std::size_t first_line_start, int footnote_line) {
    out_.resize(start);
    notes_.resize(notes_mark);
    first_line_start_ = first_line_start;
    footnote_line_ = footnote_line;
    if (attr_target_end_ != std::string::npos && attr_target_end_ > start) attr_target_end_ = std::string::npos;
    if (ref_end_ != std::string::npos && ref_end_ > start) ref_end_ = std::string::npos;
    if (own_end_ != std::string::npos && own_end_ > start) own_end_ = std::string::npos;
    // (Nor does an address taken back end anywhere: the text written again
    // in its place would be judged as what follows it.)
    if (www_kept_) [[unlikely]]
        while (!www_kept_->empty() && www_kept_->back() > start) www_kept_->pop_back();
}

void Renderer::bracketed(const Inlines& run) {
    // Inside a node in its delimiter form (only there: outside all, no
    // count is above 0 and those outside the brackets stay 0).
    if (enclosing_delim_len_ != 0) [[unlikely]] {
        bracketed_in_delimited(run);
        return;
    }
    bracketed_content(run);
}

void Renderer::bracketed_content(const Inlines& run) {
    const char32_t saved_after = after_;
    const bool saved_closer = after_is_closer_;
    const bool saved_in_plain_strong = in_plain_strong_;
    after_ = ']';
    after_is_closer_ = false;
    in_plain_strong_ = false;
    ++bracket_depth_;
    opened_by_ = '[';
    raw_inlines(run);
    opened_by_ = 0;
    --bracket_depth_;
    in_plain_strong_ = saved_in_plain_strong;
    after_ = saved_after;
    after_is_closer_ = saved_closer;
}

void Renderer::bracketed_in_delimited(const Inlines& run) {
    int saved_outside[3];
    std::memcpy(saved_outside, outside_brackets_, sizeof saved_outside);
    std::memcpy(outside_brackets_, same_depth_, sizeof outside_brackets_);
    bracketed_content(run);
    std::memcpy(outside_brackets_, saved_outside, sizeof saved_outside);
}

void Renderer::operation(const Operation& op) {
    std::optional<std::string> label = usable_name(op.name);
    if (!label) label = usable_name(op.kind);
    if (!label) label = "empty";
    // Without template-token rules (the dataset's reader options) the reader
    // takes these forms as text, so they are written as escaped text is.
    auto text = [&](std::string_view s) { write_text(s); };
    if (op.args.empty()) {
        text("{{" + *label + "}}");
    } else if (op.args.size() == 1) {
        text("{{#" + *label + "}}");
        const char32_t saved_after = after_;
        const bool saved_closer = after_is_closer_;
        after_ = '{';
        after_is_closer_ = false;
        raw_inlines(op.args.front().value);
        after_ = saved_after;
        after_is_closer_ = saved_closer;
        text("{{/" + *label + "}}");
    } else {
        // The template element of the HTML renderer, with its tags as they
        // stand and each argument's value written as Markdown: the reader
        // takes the tags as raw HTML and the text between them as Markdown,
        // so HTML-escaped text there would not read back as itself.
        // The reader looks for a tag's ">" within 1024 bytes of its "<": a
        // longer tag reads back as text, so it is written as escaped text.
        // (Each tag is written in place, and taken back to be written as
        // text when it is that long.)
        auto tag_from = [&](std::size_t mark) {
            if (out_.size() - mark > 1000) {
                const std::string t = out_.substr(mark);
                out_.resize(mark);
                write_text(t);
            }
        };
        const std::size_t open = out_.size();
        out_.append("<template data-op=\""sv);
        render::escape_attr_one_line(op.system, out_);
        out_.push_back(':');
        render::escape_attr_one_line(op.kind, out_);
        out_.append("\" data-name=\""sv);
        render::escape_attr_one_line(op.name, out_);
        out_.append("\">"sv);
        tag_from(open);
        const char32_t saved_after = after_;
        const bool saved_closer = after_is_closer_;
        for (const auto& arg : op.args) {
            const std::size_t div = out_.size();
            out_.append("<div data-arg"sv);
            if (arg.name) {
                out_.append(" data-name=\""sv);
                render::escape_attr_one_line(*arg.name, out_);
                out_.push_back('"');
            }
            out_.push_back('>');
            tag_from(div);
            after_ = '<';
            after_is_closer_ = false;
            raw_inlines(arg.value);
            out_.append("</div>"sv);
        }
        after_ = saved_after;
        after_is_closer_ = saved_closer;
        out_.append("</template>"sv);
    }
}

[[gnu::noinline]] void Renderer::span_element(const Span& n) {
    // A cross-reference list is written as one, whose attribute block keeps
    // every key (a tag keeps HTML attribute names only).
    if (markdown::attr_writable(n.attr)) {
        if (auto list = probe::cross_reference(n, after_)) {
            open_bracket();
            const std::size_t at = out_.size() - 1;
            out_.append(*list);
            if (in_cell_) [[unlikely]] escape_bars_from(out_, at);
            attr_target_end_ = out_.size();
            return;
        }
    }
    const bool tried = span_tried_;
    // Its element form would lose a key no tag can hold, or cross a raw tag
    // inside that pairs with one outside ("<em>[www.a</em>]{.c}"): the span
    // is tried with its brackets (not where a link inside leaves its "["
    // as text all the same).
    if (!www_kept_ && !span_tried_ &&
        (has_key_no_tag_holds(n.attr) ||
         (!probe::holds_link(n.content, true, true) && probe::crosses_raw_tag(n.content))) &&
        span_kept_bracketed(n))
        return;
    // A link inside would leave the span's "[" as text: the span takes its
    // element form, read back as raw HTML around the same content.
    append_element_open("span", n.attr);
    const char32_t saved_after = after_;
    const bool saved_closer = after_is_closer_;
    after_ = '<';
    after_is_closer_ = false;
    raw_inlines(n.content);
    after_ = saved_after;
    after_is_closer_ = saved_closer;
    out_.append("</span>"sv);
    span_tried_ = tried;
}

void Renderer::inline_node(const Inline& node) {
    // Only the first node of a delimited content sees its parent's opener.
    const char32_t opened = opened_by_;
    opened_by_ = 0;
    auto wrapped = [&](std::string_view delim, std::string_view tag, const Attr& attr, const Inlines& content) {
        delimited(delim, tag, attr, content, opened == static_cast<unsigned char>(delim[0]));
    };
    auto script = [&](char marker, std::string_view tag, const Attr& attr, std::string_view text) {
        bool bare = script_text_fits(text, marker);
        if (!bare && !attr.pairs.empty()) [[unlikely]]
            bare = script_bare_escaped(text, marker, attr, in_cell_);
        if (!bare && lines_allowed_ && std::memchr(text.data(), '\n', text.size())) bare = script_lines_fit(text, marker);
        // Two "~" markers side by side ("~a~~b~") read as a strikeout run:
        // a subscript touching another "~" takes the element form.
        // An escaped "\~" before the marker counts as well: the reader opens
        // no subscript right after a "~" of any kind.
        if (bare && marker == '~') {
            bool touches = after_ == U'~' && attr.empty();
            bare = !touches && (out_.empty() || out_.back() != '~');
        }
        // The reader finds e-mail addresses before scripts, with the local
        // part reaching back over the marker into the word before it
        // ("x~a@b.org~"): after a non-space such text takes the element form,
        // whose "@" is escaped.
        // "^" right after a "[" written bare would make "[^" the opener of
        // a footnote reference or an inline note.
        if (bare && marker == '^' && !out_.empty() && out_.back() == '[') {
            std::size_t k = out_.size() - 1, slashes = 0;
            while (k > 0 && out_[k - 1] == '\\') {
                --k;
                ++slashes;
            }
            bare = slashes % 2 == 1 || bare_after_bracket(text, attr, opened);
        }
        if (bare && !out_.empty() && std::memchr(text.data(), '@', text.size())) {
            char32_t before = text::decode_utf8_before(out_, out_.size()).cp;
            bare = text::is_white_space(before) || (!attr.pairs.empty() && script_holds_no_address(text, marker, attr));
        }
        if (bare) {
            out_.push_back(marker);
            out_.append(text);
            out_.push_back(marker);
            if (in_cell_) [[unlikely]] escape_bars_from(out_, out_.size() - text.size() - 1);
        } else {
            append_element_open(tag, attr);
            std::string flat(text);
            for (char& c : flat) {
                if (c == '\n' || c == '\r') c = ' ';
            }
            // Read back as text between raw HTML, and written as such text.
            write_text(flat);
            out_.append("</"sv);
            out_.append(tag);
            out_.push_back('>');
        }
        // The element form reads back as raw HTML, which takes no attribute
        // block after it: its attributes are in its tag.
        if (bare) {
            trailing_attrs(attr, '"', false, true);
            attr_target_end_ = out_.size();
        }
    };
    visit(
        [&](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, Text>) {
                write_text(n.text);
            } else if constexpr (std::is_same_v<T, SoftBreak>) {
                out_.push_back('\n');
                first_line_start_ = std::string::npos;
            } else if constexpr (std::is_same_v<T, HardBreak>) {
                out_.append("\\\n"sv);
                first_line_start_ = std::string::npos;
            } else if constexpr (std::is_same_v<T, Emph>) {
                wrapped("*", "em", n.attr, n.content);
            } else if constexpr (std::is_same_v<T, Strong>) {
                wrapped("**", "strong", n.attr, n.content);
            } else if constexpr (std::is_same_v<T, Strikeout>) {
                wrapped("~~", "del", n.attr, n.content);
            } else if constexpr (std::is_same_v<T, Highlight>) {
                wrapped("==", "mark", n.attr, n.content);
            } else if constexpr (std::is_same_v<T, Superscript>) {
                script('^', "sup", n.attr, n.text);
            } else if constexpr (std::is_same_v<T, Subscript>) {
                script('~', "sub", n.attr, n.text);
            } else if constexpr (std::is_same_v<T, Code>) {
                if (after_ == '`' && !markdown::writes_attrs(n.attr)) {
                    // Nothing would end the span before the raw span that
                    // follows it ("`a``<b>`{=html}" is one raw span): it
                    // takes its element form, which reads back as raw HTML
                    // around its text.
                    out_.append("<code>"sv);
                    std::string flat(n.text);
                    for (char& c : flat) {
                        if (c == '\n' || c == '\r') c = ' ';
                    }
                    write_text(flat);
                    out_.append("</code>"sv);
                    return;
                }
                if (in_cell_) [[unlikely]] {
                    code_span_in_row(n.text, out_);
                } else {
                    code_span(n.text, out_);
                }
                trailing_attrs(n.attr);
                attr_target_end_ = out_.size();
            } else if constexpr (std::is_same_v<T, Link>) {
                open_bracket();
                bracketed(n.content);
                target_and_attrs(n.url, n.title, n.attr);
            } else if constexpr (std::is_same_v<T, Image>) {
                out_.append("!["sv);
                image_description(n.alt);
                target_and_attrs(n.url, n.title, n.attr);
            } else if constexpr (std::is_same_v<T, Autolink>) {
                if (angled_autolink(n)) {
                    const std::size_t at = out_.size();
                    out_.push_back('<');
                    out_.append(n.text);
                    out_.push_back('>');
                    if (in_cell_) [[unlikely]] escape_bars_from(out_, at);
                } else if (bare_www(n, opened)) [[unlikely]] {
                    const std::size_t at = out_.size();
                    out_.append(n.text);
                    if (in_cell_) [[unlikely]] escape_bars_from(out_, at);
                    if (www_kept_) www_kept_->push_back(out_.size());
                    own_end_ = out_.size();
                } else {
                    // Read back as a link, whose text is written escaped and
                    // which would take a "{" after it as its attributes.
                    open_bracket();
                    bracketed(Inlines{Text{n.text}});
                    out_.append("]("sv);
                    const std::size_t target = out_.size();
                    out_.append(escape_target(n.url));
                    if (in_cell_) [[unlikely]] escape_bars_from(out_, target);
                    out_.push_back(')');
                    attr_target_end_ = out_.size();
                }
            } else if constexpr (std::is_same_v<T, RawHtml>) {
                if (in_cell_) [[unlikely]] {
                    // On one line (see `fits_pipe_cell`), after the row's
                    // "|": it opens no block.
                    append_in_row(n.html, out_);
                    own_end_ = out_.size();
                    return;
                }
                // A later line of HTML going on over lines could read as a
                // table's delimiter row under the line before it, whatever
                // its indent: such HTML is written on one line.
                std::string_view html = n.html;
                std::size_t nl = html.find('\n');
                if (nl != std::string_view::npos && detail::html_lines_read_as_table(out_, html)) {
                    html_on_one_line(html, out_, out_.size() == first_line_start_);
                    own_end_ = out_.size();
                    return;
                }
                // At a paragraph's start a tag or comment could open an HTML
                // block, which the reader cleans and ends by its own rules:
                // such HTML is written as a raw inline of format html.
                // A raw inline holds no line end: HTML going on over lines is
                // written on one, each line end a space, as HTML reads it.
                if (out_.size() == first_line_start_ && !starts_paragraph(n.html)) {
                    if (nl == std::string_view::npos) {
                        code_span(n.html, out_);
                    } else {
                        std::string flat = n.html;
                        std::replace(flat.begin(), flat.end(), '\n', ' ');
                        code_span(flat, out_);
                    }
                    out_.append("{=html}"sv);
                    return;
                }
                // At the start of a paragraph's later line a tag could open
                // an HTML block; indented by four it cannot, and the reader
                // drops the indent of a continued line.
                if (detail::at_continued_line(out_) && opens_html_block(n.html)) out_.append("    "sv);
                // Each line the HTML goes on to is a later line of the
                // paragraph, read without its indentation: one that would
                // start a block is indented by four.
                for (; nl != std::string_view::npos; nl = html.find('\n')) {
                    out_.append(html.substr(0, nl + 1));
                    html.remove_prefix(nl + 1);
                    std::size_t lead = html.find_first_not_of(" \t");
                    html.remove_prefix(lead == std::string_view::npos ? html.size() : lead);
                    std::string_view line = html.substr(0, html.find('\n'));
                    // (An item the line would open can be turned back into
                    // text by the reader, but not with an attribute line
                    // after it, nor holding a block from a later line.)
                    if (!line.empty() && (block::list_interrupts_paragraph(line) || interrupts_paragraph_at(line)))
                        out_.append("    "sv);
                }
                out_.append(html);
                own_end_ = out_.size();
            } else if constexpr (std::is_same_v<T, Operation>) {
                operation(n);
            } else if constexpr (std::is_same_v<T, TemplateTokenInline>) {
                out_.append(n.token.source);
                own_end_ = out_.size();
            } else if constexpr (std::is_same_v<T, Math>) {
                const std::size_t at = out_.size();
                write_math(n.tex);
                if (in_cell_) [[unlikely]] escape_bars_from(out_, at);
                trailing_attrs(n.attr);
                attr_target_end_ = out_.size();
            } else if constexpr (std::is_same_v<T, FootnoteRef>) {
                if (auto it = footnote_labels_.find(n.label); it != footnote_labels_.end()) {
                    out_.append("[^"sv);
                    out_.append(it->second);
                    out_.push_back(']');
                    ref_end_ = out_.size();
                } else {
                    // The reader takes "[^label]" as a reference only to a
                    // defined footnote whose label it can read; anything else
                    // reads back as text, so it is written as that text.
                    // A line end in the label would end the paragraph line
                    // (with the white space around it trimmed, or a blank
                    // line ending the paragraph): the text stays on one line.
                    std::string shown = "[^";
                    for (std::size_t i = 0; i < n.label.size();) {
                        std::size_t ws = i;
                        bool line_end = false;
                        while (ws < n.label.size()) {
                            text::Decoded d = text::decode_utf8(n.label, ws);
                            if (!text::is_white_space(d.cp)) break;
                            line_end |= d.cp == '\n' || d.cp == '\r';
                            ws += d.len;
                        }
                        if (line_end) {
                            shown.push_back(' ');
                            i = ws;
                        } else if (ws > i) {
                            shown.append(n.label, i, ws - i);
                            i = ws;
                        } else {
                            std::size_t len = text::decode_utf8(n.label, i).len;
                            shown.append(n.label, i, len);
                            i += len;
                        }
                    }
                    shown.push_back(']');
                    write_text(shown);
                }
            } else if constexpr (std::is_same_v<T, Note>) {
                std::string label = note_label(notes_.size());
                notes_.emplace_back(label, n.content);
                out_.append("[^"sv);
                out_.append(label);
                out_.push_back(']');
                ref_end_ = out_.size();
            } else if constexpr (std::is_same_v<T, Span>) {
                if (holds_link(n.content, out_.empty() || out_.back() != '!', www_kept_ != nullptr)) {
                    span_element(n);
                    return;
                }
                open_bracket();
                bracketed(n.content);
                out_.push_back(']');
                trailing_attrs(n.attr);
                attr_target_end_ = out_.size();
            } else if constexpr (std::is_same_v<T, RawInline>) {
                if (in_cell_) [[unlikely]] {
                    code_span_in_row(n.text, out_);
                } else {
                    code_span(n.text, out_);
                }
                out_.append("{="sv);
                out_.append(n.format);
                out_.push_back('}');
            }
        },
        node);
}

}  // namespace tavrel::write_md
