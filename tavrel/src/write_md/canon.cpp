// Canonical inline runs: see canon.hpp for the rules and why they exist.
//
// The rebuild runs in two passes over a copy. The first fixes the structure
// (line feeds in texts, merged texts, white space moved out of emphasis); the
// second walks the run in writing order with one flag, "the current line holds
// nothing yet", shared across nesting, and trims the line edges. The check
// mirrors both passes without copying.
#include "canon.hpp"

#include <algorithm>
#include <string>
#include <type_traits>
#include <variant>

#include "tavrel/render.hpp"
#include "tavrel/text.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md::canon {

using namespace tavrel::ast;

namespace {

bool starts_white(std::string_view s) { return !s.empty() && text::is_white_space(text::decode_utf8(s, 0).cp); }
bool ends_white(std::string_view s) {
    return !s.empty() && text::is_white_space(text::decode_utf8_before(s, s.size()).cp);
}
bool is_break(const Inline& n) { return n.is<SoftBreak>() || n.is<HardBreak>(); }

// One pass over the bytes (a set given to find_first_of costs a search of the
// set per byte).
bool has_line_end(std::string_view s) {
    for (char c : s) {
        // (Most bytes are past both line ends: one comparison passes them.)
        if (static_cast<unsigned char>(c) <= '\r' && (c == '\n' || c == '\r')) return true;
    }
    return false;
}
bool has_bar_or_line_end(std::string_view s) {
    for (char c : s) {
        if (c == '\n' || c == '\r' || c == '|') return true;
    }
    return false;
}

// The delimiter-written kinds: their delimiters cannot stand next to white
// space on the inner side.
template <class T>
constexpr bool kDelimited =
    std::is_same_v<T, Emph> || std::is_same_v<T, Strong> || std::is_same_v<T, Strikeout> || std::is_same_v<T, Highlight>;

// Appends a node, merging a text into a text before it and dropping an empty
// text.
void push(Inlines& out, Inline node) {
    if (auto* t = node.as<Text>()) {
        if (t->text.empty()) return;
        if (!out.empty()) {
            if (auto* last = out.back().as<Text>()) {
                last->text += t->text;
                return;
            }
        }
    }
    out.push_back(std::move(node));
}

// ---------------------------------------------------------------------------
// Pass 1: structure.

void restructure(const Inlines& in, Inlines& out, bool single_line, bool in_link = false,
                 bool in_plain_strong = false);


void split_text(std::string_view s, Inlines& out, bool single_line) {
    std::size_t start = 0;
    // The text before the line end at `i`, and what that line end becomes.
    const auto cut = [&](std::size_t i) {
        push(out, Text{std::string(s.substr(start, i - start))});
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
        if (single_line) {
            push(out, Text{" "});
        } else {
            out.push_back(SoftBreak{});
        }
        start = i + 1;
    };
    if (s.size() < 32) {
        for (std::size_t i = 0; i < s.size(); ++i) {
            // (Most bytes are past both line ends: one comparison passes them.)
            if (static_cast<unsigned char>(s[i]) > '\r' || (s[i] != '\n' && s[i] != '\r')) continue;
            cut(i);
            i = start - 1;
        }
    } else {
        // (In a longer text the next line end of each kind is searched for:
        // most hold none.)
        std::size_t next_lf = s.find('\n'), next_cr = s.find('\r');
        for (std::size_t i; (i = std::min(next_lf, next_cr)) != std::string_view::npos;) {
            cut(i);
            if (next_lf < start) next_lf = s.find('\n', start);
            if (next_cr < start) next_cr = s.find('\r', start);
        }
    }
    push(out, Text{std::string(s.substr(start))});
}

// Moves the white space and breaks at both ends of `content` into `lead` and
// `trail` (in writing order).
void peel(Inlines& content, Inlines& lead, Inlines& trail) {
    std::size_t first = 0;
    while (first < content.size()) {
        Inline& n = content[first];
        if (is_break(n)) {
            push(lead, std::move(n));
            ++first;
            continue;
        }
        if (auto* t = n.as<Text>()) {
            std::string_view rest = text::trim_start(t->text);
            push(lead, Text{t->text.substr(0, t->text.size() - rest.size())});
            if (rest.empty()) {
                ++first;
                continue;
            }
            t->text = std::string(rest);
        }
        break;
    }
    content.erase(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(first));
    Inlines reversed;
    while (!content.empty()) {
        Inline& n = content.back();
        if (is_break(n)) {
            reversed.push_back(std::move(n));
            content.pop_back();
            continue;
        }
        if (auto* t = n.as<Text>()) {
            std::string_view kept = text::trim_end(t->text);
            std::string white = t->text.substr(kept.size());
            if (!white.empty()) reversed.push_back(Text{std::move(white)});
            if (kept.empty()) {
                content.pop_back();
                continue;
            }
            t->text.resize(kept.size());
        }
        break;
    }
    for (auto it = reversed.rbegin(); it != reversed.rend(); ++it) push(trail, std::move(*it));
}

// A node whose attributes cannot all be written is rebuilt from a copy
// without them, so that every later decision sees what is written.
bool has_unwritable_attr(const Inline& node) {
    return visit(
        [](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            if constexpr (requires { n.attr; }) {
                // A delimited node's block is scanned as text first.
                if constexpr (kDelimited<T>) {
                    return !markdown::attr_writable(n.attr, true);
                } else {
                    return !markdown::attr_writable(n.attr);
                }
            } else {
                return false;
            }
        },
        node);
}

// Set where `white_alone` wrote an element form, which `canonical` looks at
// once for the run; and, while it shapes the run again, that none is to be
// written (see `canonical`).
thread_local bool white_tags_made = false;
thread_local bool white_tags_refused = false;

// A delimited node that `peel` left without content but with attributes
// written, the white space in `lead` and `trail` its content: no delimiters
// pair around white space, and the attributes need a node. It is put in
// `out` as its element around the white space, or, where that would lose a
// key no tag can hold or hold a line end (which between the tags would be
// trimmed with the white space before it, or leave a tag alone on a line,
// where it opens a block), as the node around the white space written as
// character references: a reference is no white space to the reader's
// flanking rules, and reads back as the character (so too in a run that
// holds raw tags of emphasis-like elements: see `canonical`). A hard break,
// which no
// reference writes, moves outside as breaks at the edges of other content
// do. False when it holds nothing else: the node is dropped.
template <class T>
[[gnu::noinline, gnu::cold]] bool white_alone(const Attr& attr, const Inlines& lead, const Inlines& trail,
                                              Inlines& out) {
    constexpr std::string_view tag = std::is_same_v<T, Emph>        ? "em"
                                     : std::is_same_v<T, Strong>    ? "strong"
                                     : std::is_same_v<T, Strikeout> ? "del"
                                                                    : "mark";
    const auto hard = [](const Inline& x) { return x.is<HardBreak>(); };
    if (std::all_of(lead.begin(), lead.end(), hard) && std::all_of(trail.begin(), trail.end(), hard)) return false;
    std::string space, refs;
    bool texts = true;
    for (const Inlines* part : {&lead, &trail}) {
        for (const Inline& x : *part) {
            if (x.is<HardBreak>()) continue;
            const auto* t = x.as<Text>();
            texts = texts && t;
            if (t) {
                space += t->text;
                for (std::size_t i = 0; i < t->text.size();) {
                    const text::Decoded d = text::decode_utf8(t->text, i);
                    refs += "&#" + std::to_string(static_cast<std::uint32_t>(d.cp)) + ";";
                    i += d.len;
                }
            } else {
                refs += "&#10;";
            }
        }
    }
    if (refs.empty()) return false;
    for (const auto& x : lead) {
        if (x.is<HardBreak>()) out.push_back(HardBreak{});
    }
    const bool tag_holds_all = std::all_of(attr.pairs.begin(), attr.pairs.end(),
                                           [](const auto& kv) { return html_attr_name(kv.first); });
    if (texts && tag_holds_all && !white_tags_refused) {
        white_tags_made = true;
        out.push_back(RawHtml{element_open(tag, attr)});
        out.push_back(Text{std::move(space)});
        out.push_back(RawHtml{"</" + std::string(tag) + ">"});
    } else {
        Inlines kept;
        kept.push_back(RawHtml{std::move(refs)});
        out.push_back(T{attr, std::move(kept)});
    }
    for (const auto& x : trail) {
        if (x.is<HardBreak>()) out.push_back(HardBreak{});
    }
    return true;
}

void restructure(const Inlines& in, Inlines& out, bool single_line, bool in_link, bool in_plain_strong) {
    for (const Inline& node : in) {
        if (has_unwritable_attr(node)) {
            Inlines one;
            one.push_back(node);
            visit(
                [](auto& n) {
                    using T = std::decay_t<decltype(n)>;
                    if constexpr (kDelimited<T>) {
                        n.attr = markdown::writable_attr(n.attr, true);
                    } else if constexpr (requires { n.attr; }) {
                        n.attr = markdown::writable_attr(n.attr);
                    }
                },
                one.back());
            restructure(one, out, single_line, in_link, in_plain_strong);
            continue;
        }
        visit(
            [&](const auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<T, Text>) {
                    split_text(n.text, out, single_line);
                } else if constexpr (std::is_same_v<T, SoftBreak> || std::is_same_v<T, HardBreak>) {
                    if (single_line) {
                        push(out, Text{" "});
                    } else {
                        out.push_back(n);
                    }
                } else if constexpr (kDelimited<T>) {
                    if constexpr (std::is_same_v<T, Strong>) {
                        // The reader merges a plain strong right inside a
                        // plain strong into it.
                        if (in_plain_strong && n.attr.empty()) {
                            restructure(n.content, out, single_line, in_link, true);
                            return;
                        }
                    }
                    Inlines content, lead, trail;
                    restructure(n.content, content, single_line, in_link,
                                std::is_same_v<T, Strong> && n.attr.empty());
                    peel(content, lead, trail);
                    if constexpr (std::is_same_v<T, Emph>) {
                        // "**x**" would read back as a strong: an emphasis
                        // that is all of an emphasis is written as its
                        // element inside it ("*<em>x</em>*").
                        if (content.size() == 1) {
                            if (auto* inner = content.front().template as<Emph>(); inner && inner->attr.empty()) {
                                Inlines inside;
                                inside.push_back(RawHtml{"<em>"});
                                for (auto& x : inner->content) inside.push_back(std::move(x));
                                inside.push_back(RawHtml{"</em>"});
                                content = std::move(inside);
                            }
                        }
                    }
                    if (content.empty() && markdown::writes_attrs(n.attr) && white_alone<T>(n.attr, lead, trail, out))
                        return;
                    for (auto& x : lead) push(out, std::move(x));
                    if (!content.empty()) out.push_back(T{n.attr, std::move(content)});
                    for (auto& x : trail) push(out, std::move(x));
                } else if constexpr (std::is_same_v<T, Span>) {
                    if (n.attr.empty()) {
                        // "[x]" without attributes reads back as bracketed
                        // text: a span without attributes is its content.
                        restructure(n.content, out, single_line, in_link);
                        return;
                    }
                    Span copy{n.attr, {}};
                    restructure(n.content, copy.content, single_line, in_link);
                    out.push_back(std::move(copy));
                } else if constexpr (std::is_same_v<T, Link>) {
                    if (in_link) {
                        // Link text holds no link: the reader would take the
                        // inner one and leave the outer brackets as text.
                        restructure(n.content, out, single_line, true);
                        return;
                    }
                    T copy{};
                    copy.attr = n.attr;
                    copy.url = n.url;
                    copy.title = n.title;
                    restructure(n.content, copy.content, single_line, true);
                    out.push_back(std::move(copy));
                } else if constexpr (std::is_same_v<T, Image>) {
                    Image copy{n.attr, {}, n.url, n.title};
                    restructure(n.alt, copy.alt, single_line, in_link);
                    out.push_back(std::move(copy));
                    plain_where_tags_added(n.alt, out.back().template as<Image>()->alt, single_line);
                } else if constexpr (std::is_same_v<T, Operation>) {
                    Operation copy{n.system, n.kind, n.name, {}};
                    for (const auto& arg : n.args) {
                        OperationArg a{{}, arg.name};
                        restructure(arg.value, a.value, single_line, in_link);
                        copy.args.push_back(std::move(a));
                    }
                    out.push_back(std::move(copy));
                } else if constexpr (std::is_same_v<T, Autolink>) {
                    if (in_link) {
                        push(out, Text{n.text});
                    } else {
                        out.push_back(n);
                    }
                } else {
                    out.push_back(n);
                }
            },
            node);
    }
}

// ---------------------------------------------------------------------------
// Pass 2: line edges.

// Cuts white space off the texts that end `v`; drops texts left empty.
void strip_trailing(Inlines& v) {
    while (!v.empty()) {
        auto* t = v.back().as<Text>();
        if (!t) return;
        t->text.resize(text::trim_end(t->text).size());
        if (!t->text.empty()) return;
        v.pop_back();
    }
}

template <class T>
Inlines* content_of(T& n) {
    if constexpr (kDelimited<T> || std::is_same_v<T, Link> || std::is_same_v<T, Span>) {
        return &n.content;
    } else if constexpr (std::is_same_v<T, Image>) {
        return &n.alt;
    } else {
        return nullptr;
    }
}

void trim_lines(Inlines& v, bool& line_empty, bool top) {
    Inlines res;
    res.reserve(v.size());
    for (Inline& node : v) {
        if (auto* t = node.as<Text>()) {
            if (line_empty) {
                std::string_view rest = text::trim_start(t->text);
                if (rest.empty()) continue;
                t->text = std::string(rest);
            }
            line_empty = false;
            push(res, std::move(node));
            continue;
        }
        if (node.is<SoftBreak>()) {
            if (line_empty) continue;
            strip_trailing(res);
            res.push_back(std::move(node));
            line_empty = true;
            continue;
        }
        if (node.is<HardBreak>()) {
            if (line_empty) continue;
            res.push_back(std::move(node));
            line_empty = true;
            continue;
        }
        visit(
            [&](auto& n) {
                if (Inlines* c = content_of(n)) {
                    bool inner = false;  // the opening delimiter is on the line
                    trim_lines(*c, inner, false);
                }
                if constexpr (std::is_same_v<std::decay_t<decltype(n)>, Operation>) {
                    // Arguments are written inline between the call's tags or
                    // labels: their lines are the paragraph's lines. A break
                    // ending an argument of the element form would put
                    // "</div>" at a line start, where it opens an HTML block.
                    for (auto& arg : n.args) {
                        bool inner = false;
                        trim_lines(arg.value, inner, false);
                        while (n.args.size() >= 2 && !arg.value.empty() && is_break(arg.value.back()))
                            arg.value.pop_back();
                    }
                }
            },
            node);
        line_empty = false;
        res.push_back(std::move(node));
    }
    if (top) {
        for (;;) {
            strip_trailing(res);
            if (!res.empty() && is_break(res.back())) {
                res.pop_back();
                continue;
            }
            break;
        }
    }
    v = std::move(res);
}

// ---------------------------------------------------------------------------
// The check, mirroring both passes.

bool check(const Inlines& v, bool& line_empty, bool single_line, bool in_link = false,
           bool in_plain_strong = false) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        const Inline& node = v[i];
        if (const auto* t = node.as<Text>()) {
            const std::string& s = t->text;
            if (s.empty() || has_line_end(s)) return false;
            if (i > 0 && v[i - 1].is<Text>()) return false;
            if (line_empty && starts_white(s)) return false;
            if (i + 1 < v.size() && v[i + 1].is<SoftBreak>() && ends_white(s)) return false;
            line_empty = false;
            continue;
        }
        if (is_break(node)) {
            if (single_line || line_empty) return false;
            line_empty = true;
            continue;
        }
        if (has_unwritable_attr(node)) return false;
        if (i > 0 && node.is<Code>() && v[i - 1].is<Code>() && !markdown::writes_attrs(v[i - 1].as<Code>()->attr))
            return false;
        bool ok = visit(
            [&](const auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (kDelimited<T>) {
                    const Inlines& c = n.content;
                    if (c.empty()) return false;
                    const Inline& f = c.front();
                    const Inline& l = c.back();
                    if (is_break(f) || is_break(l)) return false;
                    if (const auto* ft = f.as<Text>(); ft && starts_white(ft->text)) return false;
                    if (const auto* lt = l.as<Text>(); lt && ends_white(lt->text)) return false;
                }
                if constexpr (std::is_same_v<T, Span>) {
                    if (n.attr.empty()) return false;
                }
                if constexpr (std::is_same_v<T, Link> || std::is_same_v<T, Autolink>) {
                    if (in_link) return false;
                }
                if constexpr (std::is_same_v<T, Strong>) {
                    if (in_plain_strong && n.attr.empty()) return false;
                }
                if constexpr (std::is_same_v<T, Emph>) {
                    if (n.content.size() == 1) {
                        const auto* inner = n.content.front().template as<Emph>();
                        if (inner && inner->attr.empty()) return false;
                    }
                }
                if constexpr (std::is_same_v<T, Operation>) {
                    for (const auto& arg : n.args) {
                        bool inner = false;
                        if (!check(arg.value, inner, single_line, in_link)) return false;
                        if (n.args.size() >= 2 && !arg.value.empty() && is_break(arg.value.back())) return false;
                    }
                    return true;
                } else {
                    const Inlines* c = nullptr;
                    if constexpr (kDelimited<T> || std::is_same_v<T, Link> || std::is_same_v<T, Span>) {
                        c = &n.content;
                    } else if constexpr (std::is_same_v<T, Image>) {
                        c = &n.alt;
                    }
                    if (!c) return true;
                    bool inner = false;
                    bool plain_strong = false;
                    if constexpr (std::is_same_v<T, Strong>) plain_strong = n.attr.empty();
                    return check(*c, inner, single_line, in_link || std::is_same_v<T, Link>, plain_strong);
                }
            },
            node);
        if (!ok) return false;
        line_empty = false;
    }
    return true;
}



// Whether `s`, written as it is in a cell, stays on the row's line and can
// have each "|" escaped for the row's split: not one follows an odd run of
// backslashes, which would take the escape as its own.
[[gnu::noinline]] bool writable_in_row(std::string_view s) {
    if (has_line_end(s)) return false;
    for (std::size_t bar = s.find('|'); bar != std::string_view::npos; bar = s.find('|', bar + 1)) {
        std::size_t k = bar;
        while (k > 0 && s[k - 1] == '\\') --k;
        if ((bar - k) % 2 == 1) return false;
    }
    return true;
}

// Attributes in a block or in an element's tag, each "|" escaped.
bool attr_fits(const Attr& a) {
    if (a.id && !writable_in_row(*a.id)) return false;
    for (const auto& c : a.classes) {
        if (!writable_in_row(c)) return false;
    }
    for (const auto& [k, v] : a.pairs) {
        if (!writable_in_row(k) || !writable_in_row(v)) return false;
    }
    return true;
}

bool node_fits(const Inline& node);

bool run_fits(const Inlines& run) {
    for (const auto& n : run) {
        if (!node_fits(n)) return false;
    }
    return true;
}

bool node_fits(const Inline& node) {
    return visit(
        [&](const auto& n) -> bool {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, Text>) {
                return !has_line_end(n.text);  // "|" in text is escaped
            } else if constexpr (std::is_same_v<T, SoftBreak> || std::is_same_v<T, HardBreak>) {
                return false;
            } else if constexpr (kDelimited<T> || std::is_same_v<T, Span>) {
                return attr_fits(n.attr) && run_fits(n.content);
            } else if constexpr (std::is_same_v<T, Superscript> || std::is_same_v<T, Subscript>) {
                // A "|" is escaped in either form: the bare one takes no
                // backslash.
                return attr_fits(n.attr) && !has_line_end(n.text);
            } else if constexpr (std::is_same_v<T, Code>) {
                // A "|" is written escaped, which the row's split reads
                // back as "|"; a backslash before it cannot be written so.
                return attr_fits(n.attr) && !has_line_end(n.text) && n.text.find("\\|") == std::string::npos;
            } else if constexpr (std::is_same_v<T, Link>) {
                // A target or title is written with each backslash doubled.
                return attr_fits(n.attr) && run_fits(n.content) && !has_line_end(n.url) &&
                       !(n.title && has_line_end(*n.title));
            } else if constexpr (std::is_same_v<T, Image>) {
                return attr_fits(n.attr) && run_fits(n.alt) && !has_line_end(n.url) &&
                       !(n.title && has_line_end(*n.title));
            } else if constexpr (std::is_same_v<T, Autolink>) {
                // The text between angle brackets as it is.
                return !has_line_end(n.url) && writable_in_row(n.text);
            } else if constexpr (std::is_same_v<T, RawHtml>) {
                return writable_in_row(n.html);
            } else if constexpr (std::is_same_v<T, Operation>) {
                if (n.args.size() >= 2) {
                    // The template element: its attribute values and the
                    // arguments' Markdown.
                    if (has_bar_or_line_end(n.system) || has_bar_or_line_end(n.kind) || has_bar_or_line_end(n.name)) {
                        return false;
                    }
                    for (const auto& arg : n.args) {
                        if ((arg.name && has_bar_or_line_end(*arg.name)) || !run_fits(arg.value)) return false;
                    }
                    return true;
                }
                auto label = usable_name(n.name);
                if (!label) label = usable_name(n.kind);
                if (label && has_bar_or_line_end(*label)) return false;
                return n.args.empty() || run_fits(n.args[0].value);
            } else if constexpr (std::is_same_v<T, TemplateTokenInline>) {
                return !has_bar_or_line_end(n.token.source);
            } else if constexpr (std::is_same_v<T, Math>) {
                return attr_fits(n.attr) && writable_in_row(n.tex);
            } else if constexpr (std::is_same_v<T, FootnoteRef>) {
                return !has_bar_or_line_end(n.label);
            } else if constexpr (std::is_same_v<T, Note>) {
                return true;  // its content is written after the document
            } else if constexpr (std::is_same_v<T, RawInline>) {
                // The text as a code span's above.
                return !has_line_end(n.text) && n.text.find("\\|") == std::string::npos &&
                       !has_bar_or_line_end(n.format);
            } else {
                return true;
            }
        },
        node);
}

}  // namespace

Shape shape_of(const Inlines& run, bool single_line) {
    bool line_empty = true;
    if (!check(run, line_empty, single_line)) return Shape::Other;
    // A run ending in a break, or ending in white space, is trimmed.
    if (!run.empty() && line_empty) return Shape::Other;
    if (!run.empty()) {
        if (const auto* t = run.back().as<Text>(); t && ends_white(t->text)) {
            return text::trim_end(t->text).empty() ? Shape::Other : Shape::TrailingSpace;
        }
    }
    return Shape::Canonical;
}


bool is_canonical(const Inlines& run, bool single_line) { return shape_of(run, single_line) == Shape::Canonical; }

namespace {

// A run holding raw tags of emphasis-like elements written by hand ("<em>",
// "</strong>", "<del>", "</mark>") is shaped again without the element forms
// of white space alone: their tags would stand among those and pair with
// them as the HTML reader says ("<em a=''> </em>" before "*<em>x_</em>_*",
// read back as raw tags, no node), where the node around its character
// references keeps its own. Rare: such a node is.
[[gnu::noinline, gnu::cold]] void refuse_white_tags(const Inlines& run, Inlines& out, bool single_line) {
    white_tags_made = false;
    if (!raw_emphasis_tag_in(run)) return;
    out.clear();
    white_tags_refused = true;
    restructure(run, out, single_line);
    white_tags_refused = false;
}

}  // namespace

Inlines canonical(const Inlines& run, bool single_line) {
    Inlines out;
    out.reserve(run.size());
    restructure(run, out, single_line);
    if (white_tags_made) [[unlikely]] refuse_white_tags(run, out, single_line);
    bool line_empty = true;
    trim_lines(out, line_empty, true);
    return out;
}

bool fits_pipe_cell(const Inlines& run) { return run_fits(run); }

std::string element_open(std::string_view tag, const Attr& attr, std::string_view lead, std::string_view end,
                         std::string_view taken) {
    std::string inner(lead);
    render::attrs_html(attr, inner, taken);
    if (inner.size() + tag.size() > 900) inner.resize(lead.size());
    std::string open = "<";
    open.append(tag);
    for (char ch : inner) {
        if (ch == '\n' || ch == '\r') {
            open.append(ch == '\n' ? "&#10;" : "&#13;");
        } else {
            open.push_back(ch);
        }
    }
    open.append(end);
    return open;
}

}  // namespace tavrel::write_md::canon
