// Image descriptions, of which the writer keeps the plain text: where an
// inline in one would be written with tags, the plain text is written instead.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "canon.hpp"
#include "tavrel/render.hpp"
#include "tavrel/text.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md::canon {

using namespace tavrel::ast;

namespace {

// The nodes whose plain text is a string of theirs, as `render::plain`
// takes it: scripts, code and addresses their text, math its source.
template <class T>
constexpr bool kLeafText = std::is_same_v<T, Superscript> || std::is_same_v<T, Subscript> ||
                           std::is_same_v<T, Code> || std::is_same_v<T, Autolink> || std::is_same_v<T, Math>;

template <class T>
void append_leaf_text(const T& n, std::string& text) {
    if constexpr (std::is_same_v<T, Math>) {
        text.append(n.tex);
    } else {
        text.append(n.text);
    }
}

// How many raw tags the run holds in it and in the contents of its nodes
// (not in an image's description, which is a run of its own).
std::size_t raw_tags(const Inlines& run) {
    std::size_t tags = 0;
    for (const auto& x : run) {
        visit(
            [&](const auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<T, RawHtml>) {
                    tags += n.html.starts_with('<');
                } else if constexpr (requires { n.content; }) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>)
                        tags += raw_tags(n.content);
                }
            },
            x);
    }
    return tags;
}

// False where the run holds a node other than texts, breaks, raw HTML
// other than closing and image tags, and delimited nodes of these; else
// `tags` counts its raw tags.
bool count_tags(const Inlines& run, std::size_t& tags) {
    for (const auto& x : run) {
        const bool plain = visit(
            [&](const auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<T, RawHtml>) {
                    // A closing tag pairs with an opening one, which then
                    // is no text; an image tag is an image.
                    if (n.html.starts_with("</") || n.html.starts_with("<img") || n.html.starts_with("<IMG"))
                        return false;
                    tags += n.html.starts_with('<');
                    return true;
                } else if constexpr (std::is_same_v<T, Emph> || std::is_same_v<T, Strong> ||
                                     std::is_same_v<T, Strikeout> || std::is_same_v<T, Highlight>) {
                    return count_tags(n.content, tags);
                } else {
                    return std::is_same_v<T, Text> || std::is_same_v<T, SoftBreak> || std::is_same_v<T, HardBreak>;
                }
            },
            x);
        if (!plain) return false;
    }
    return true;
}

// The plain text of `run` (see `render::plain`) into `text`; raw HTML and
// a break, where lines are kept, end `text` into `out` and follow it there.
// `tags_run` is the run the raw HTML met so far is in, `spread` whether
// some is in another.
void plain_into(const Inlines& run, bool lines, std::string& text, Inlines& out, const Inlines*& tags_run,
                bool& spread) {
    for (const auto& x : run) {
        visit(
            [&](const auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<T, Text>) {
                    text.append(n.text);
                } else if constexpr (std::is_same_v<T, SoftBreak> || std::is_same_v<T, HardBreak> ||
                                     std::is_same_v<T, RawHtml>) {
                    if constexpr (std::is_same_v<T, RawHtml>) {
                        if (tags_run && tags_run != &run) spread = true;
                        tags_run = &run;
                    } else if (!lines) {
                        text.push_back(' ');
                        return;
                    }
                    if (!text.empty()) out.push_back(Text{std::move(text)});
                    text.clear();
                    out.push_back(n);
                } else if constexpr (kLeafText<T>) {
                    append_leaf_text(n, text);
                } else if constexpr (requires { n.content; }) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>)
                        plain_into(n.content, lines, text, out, tags_run, spread);
                }
            },
            x);
    }
}

// Which of the tags of element forms ("em", "strong", "del", "mark",
// "sup", "sub", "span", "a", "code") `html` is, opening or closing as
// `closing` tells; -1 for any other raw HTML.
int element_tag(std::string_view html, bool& closing) {
    static constexpr std::string_view kElements[] = {"em", "strong", "del", "mark", "sup", "sub", "span", "a", "code"};
    closing = html.size() > 1 && html[1] == '/';
    const std::size_t from = closing ? 2 : 1;
    std::size_t to = from;
    while (to < html.size() && std::isalnum(static_cast<unsigned char>(html[to]))) ++to;
    if (to == from || !html.starts_with('<') || !html.ends_with('>')) return -1;
    if (!closing && html.size() > 2 && html[html.size() - 2] == '/') return -1;
    const std::string_view name = html.substr(from, to - from);
    for (int e = 0; e < 9; ++e) {
        const std::string_view element = kElements[e];
        if (name.size() == element.size() &&
            std::equal(name.begin(), name.end(), element.begin(),
                       [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
            return e;
    }
    return -1;
}

// The HTML of raw HTML or of a raw inline of HTML, which is the same
// HTML; null for any other node.
const std::string* html_of(const Inline& x) {
    if (const RawHtml* h = x.as<RawHtml>()) return &h->html;
    if (const RawInline* r = x.as<RawInline>(); r && r->format == "html") return &r->text;
    return nullptr;
}

// Marks in `paired` the raw tags of `run` that open an element form and
// the tags closing them in the same run, which stand for that element
// wherever they are written, as they do nested in the one run: a closing
// tag closes the last one of its name left open.
void mark_pairs(const Inlines& run, std::vector<bool>& paired) {
    paired.assign(run.size(), false);
    std::vector<std::size_t> open[9];
    for (std::size_t i = 0; i < run.size(); ++i) {
        const std::string* h = html_of(run[i]);
        bool closing = false;
        const int e = h ? element_tag(*h, closing) : -1;
        if (e < 0) continue;
        if (!closing) {
            open[e].push_back(i);
        } else if (!open[e].empty()) {
            paired[open[e].back()] = paired[i] = true;
            open[e].pop_back();
        }
    }
}

bool white_at_end(std::string_view s) {
    return !s.empty() && text::is_white_space(text::decode_utf8_before(s, s.size()).cp);
}

bool white_at_start(std::string_view s) { return !s.empty() && text::is_white_space(text::decode_utf8(s, 0).cp); }

bool all_white(std::string_view s) {
    while (white_at_start(s)) s.remove_prefix(text::decode_utf8(s, 0).len);
    return s.empty();
}

// A description's text as it is flattened: the texts, breaks and raw HTML
// kept (`out`) and the text met since the last of them (`text`). White
// space beside a break is the reader's to drop where nothing but the edges
// of emphases and links stood between them; where another node did (code
// ending in it, a cross-reference of no text), it is the text's own, kept.
// `at.first` and `at.last` are where the first and the last such node's
// edge stood in `text` (`edges`, the same for each text of `out`).
struct Flat {
    struct Edges {
        std::size_t first = std::string::npos;
        std::size_t last = 0;
    };
    Inlines out;
    std::vector<Edges> edges;
    std::string text;
    Edges at;

    void node_edge() {
        if (at.first == std::string::npos) at.first = text.size();
        at.last = text.size();
    }
    // Ends `text` into `out`.
    void end_text() {
        if (!text.empty()) {
            out.push_back(Text{std::move(text)});
            edges.push_back(at);
        }
        text.clear();
        at = {};
    }
    void push(Inline x) {
        end_text();
        out.push_back(std::move(x));
        edges.emplace_back();
    }
};

// `piece` into `f`, a line end in it, which reads back as a break, one.
void append_lines(std::string_view piece, Flat& f) {
    while (true) {
        const std::size_t end = piece.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            f.text.append(piece);
            return;
        }
        const std::size_t next = piece[end] == '\r' && end + 1 < piece.size() && piece[end + 1] == '\n' ? end + 2 : end + 1;
        f.text.append(piece.substr(0, end));
        f.push(SoftBreak{});
        piece.remove_prefix(next);
    }
}

// The text of a node's own (a script's, code's, an address's, math's, a
// template token's) into `f`: its line ends read back as breaks too, and
// no white space in it is the reader's to drop, beside them neither.
void append_own(std::string_view piece, Flat& f) {
    f.node_edge();
    while (true) {
        const std::size_t end = piece.find_first_of("\r\n");
        f.text.append(piece.substr(0, end));
        f.node_edge();
        if (end == std::string_view::npos) return;
        const std::size_t next = piece[end] == '\r' && end + 1 < piece.size() && piece[end + 1] == '\n' ? end + 2 : end + 1;
        f.push(SoftBreak{});
        f.node_edge();
        piece.remove_prefix(next);
    }
}

// The plain text of `run` into `f` (see `render::plain`, breaks kept
// apart), but for the raw tags that pair in their run and image tags,
// which are kept as raw HTML: all else raw is text. False where the run
// holds raw HTML no plain text keeps as it reads (a reference the
// canonical shape made, HTML in a raw inline).
bool text_into(const Inlines& run, Flat& f) {
    std::vector<bool> paired;
    bool any_tag = false;
    for (const auto& x : run) any_tag = any_tag || html_of(x) != nullptr;
    if (any_tag) mark_pairs(run, paired);
    for (std::size_t i = 0; i < run.size(); ++i) {
        const bool ok = visit(
            [&](const auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<T, Text>) {
                    append_lines(n.text, f);
                } else if constexpr (std::is_same_v<T, RawHtml>) {
                    if (!n.html.starts_with('<')) return false;
                    if (!paired[i] && !n.html.starts_with("<img") && !n.html.starts_with("<IMG")) {
                        f.node_edge();
                        f.text.append(n.html);
                        f.node_edge();
                        return true;
                    }
                    f.push(n);
                } else if constexpr (std::is_same_v<T, SoftBreak> || std::is_same_v<T, HardBreak>) {
                    f.push(n);
                } else if constexpr (kLeafText<T>) {
                    if constexpr (std::is_same_v<T, Math>) {
                        append_own(n.tex, f);
                    } else {
                        append_own(n.text, f);
                    }
                } else if constexpr (std::is_same_v<T, FootnoteRef>) {
                    // Read back, the text of the note it names.
                    return false;
                } else if constexpr (std::is_same_v<T, Note>) {
                    // A note is written as a reference to a block, whose
                    // text drops white space at its ends and beside its
                    // breaks and tags: a note of text alone.
                    Flat note;
                    if (!text_into(n.content, note) || !note.out.empty() || white_at_start(note.text) ||
                        white_at_end(note.text))
                        return false;
                    f.node_edge();
                    f.text.append(note.text);
                    f.node_edge();
                } else if constexpr (std::is_same_v<T, TemplateTokenInline>) {
                    append_own(n.token.source, f);
                } else if constexpr (std::is_same_v<T, RawInline>) {
                    // No plain text; HTML, which is raw HTML that the
                    // plain text leaves out, as it is, but for a tag
                    // pairing with none, which would pair where written.
                    if (n.format != "html") {
                        f.node_edge();
                        return true;
                    }
                    bool closing = false;
                    if (!paired[i] && element_tag(n.text, closing) >= 0) return false;
                    f.push(n);
                } else if constexpr (std::is_same_v<T, Image> || std::is_same_v<T, Operation> ||
                                     std::is_same_v<T, Span>) {
                    f.node_edge();
                    if constexpr (std::is_same_v<T, Image>) {
                        if (!text_into(n.alt, f)) return false;
                    } else if constexpr (std::is_same_v<T, Operation>) {
                        for (const auto& arg : n.args)
                            if (!text_into(arg.value, f)) return false;
                    } else {
                        if (!text_into(n.content, f)) return false;
                    }
                    f.node_edge();
                } else if constexpr (requires { n.content; }) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>) {
                        if (!text_into(n.content, f)) return false;
                        // An emphasis of white space alone with keys keeps
                        // it, and stands after it as a node.
                        if constexpr (!std::is_same_v<T, Link>) {
                            if (markdown::writes_attrs(n.attr) &&
                                std::all_of(n.content.begin(), n.content.end(), [](const Inline& x) {
                                    const Text* t = x.as<Text>();
                                    return t && all_white(t->text);
                                }))
                                f.node_edge();
                        }
                    }
                }
                return true;
            },
            run[i]);
        if (!ok) return false;
    }
    return true;
}

}  // namespace

std::optional<Inlines> plain_run(const Inlines& alt, bool lines) {
    Inlines out;
    std::string text;
    const Inlines* tags_run = nullptr;
    bool spread = false;
    plain_into(alt, lines, text, out, tags_run, spread);
    if (!text.empty()) out.push_back(Text{std::move(text)});
    // The texts the nodes between them gave meet here: white space at a
    // line's end or start, which the reader drops, or two breaks, a blank
    // line, would not read back. A line end in a text (a reference to one)
    // would be a break, and raw HTML other than a tag is a reference the
    // canonical shape made of a text.
    const auto reads_back = [&] {
        // Raw tags in runs of their own would come to stand side by side,
        // where the reader may pair them.
        if (spread) return false;
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (const Text* t = out[i].as<Text>()) {
                if (t->text.find_first_of("\r\n") != std::string::npos) return false;
                continue;
            }
            if (const RawHtml* h = out[i].as<RawHtml>()) {
                if (!h->html.starts_with('<')) return false;
                continue;
            }
            const Text* before = i > 0 ? out[i - 1].as<Text>() : nullptr;
            const Text* after = i + 1 < out.size() ? out[i + 1].as<Text>() : nullptr;
            if (!before || !after ||
                text::is_white_space(text::decode_utf8_before(before->text, before->text.size()).cp) ||
                text::is_white_space(text::decode_utf8(after->text, 0).cp))
                return false;
        }
        return true;
    };
    if (!reads_back()) return std::nullopt;
    return out;
}

std::size_t tags_in(const Inlines& run) {
    std::size_t tags = 0;
    return count_tags(run, tags) ? tags : 0;
}

bool plain_reads_back(const Inlines& run) {
    return std::all_of(run.begin(), run.end(), [](const Inline& x) {
        return visit(
            [](const auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<T, Emph> || std::is_same_v<T, Strong> || std::is_same_v<T, Strikeout> ||
                              std::is_same_v<T, Highlight> || std::is_same_v<T, Span> || std::is_same_v<T, Link>) {
                    return plain_reads_back(n.content);
                } else {
                    return std::is_same_v<T, Text> || std::is_same_v<T, SoftBreak> || std::is_same_v<T, HardBreak> ||
                           std::is_same_v<T, RawHtml> || std::is_same_v<T, Superscript> ||
                           std::is_same_v<T, Subscript> || std::is_same_v<T, Code> || std::is_same_v<T, Math> ||
                           std::is_same_v<T, Autolink>;
                }
            },
            x);
    });
}

bool plain_description_reads_back(const Inlines& alt) {
    return (plain_reads_back(alt) && plain_run(alt, true)) || tags_in(alt) > 0;
}

bool plain_description(const Inlines& alt, Inlines& out) {
    if (!plain_reads_back(alt)) return false;
    auto plain = plain_run(alt, true);
    if (plain) out = std::move(*plain);
    return plain.has_value();
}

void plain_where_tags_added(const Inlines& alt, Inlines& written, bool single_line) {
    if (raw_tags(written) == raw_tags(alt)) return;
    if (plain_reads_back(alt)) {
        if (auto plain = plain_run(alt, !single_line)) {
            written = std::move(*plain);
            return;
        }
    }
    if (tags_in(alt) == 0) {
        Inlines text;
        if (text_description(alt, !single_line, text)) written = std::move(text);
        return;
    }
    std::string plain = render::plain(alt);
    std::replace_if(plain.begin(), plain.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    written.clear();
    if (!plain.empty()) written.push_back(Text{std::move(plain)});
}

bool text_description(const Inlines& alt, bool lines, Inlines& out) {
    Flat f;
    if (!text_into(alt, f)) return false;
    f.end_text();
    Inlines& run = f.out;
    const auto is_break = [](const Inline& x) { return x.is<SoftBreak>() || x.is<HardBreak>(); };
    // A break may be all that makes the block around it more than one
    // line: it is kept where lines are, and else a space, as the plain text
    // gives. White space at a line's edges, before a line end and after a
    // break, is the reader's to drop, and is dropped here where the reader
    // dropped it from the text read (see `Flat`), so that the text written
    // is the text read back; before a hard break's backslash it stays, and
    // is read back. White space of a text's own there would be lost: that
    // break is a space, as in the plain text. Two breaks side by side are a
    // blank line: none there.
    if (lines) {
        // The white space each text has beside a break that the reader
        // dropped, at its start and its end; what is left there is the
        // text's own.
        std::vector<std::size_t> lead(run.size(), 0), trail(run.size(), 0);
        for (std::size_t i = 0; i < run.size(); ++i) {
            if (!is_break(run[i])) continue;
            if (const Text* before = i > 0 ? run[i - 1].as<Text>() : nullptr) {
                const std::string_view t = before->text;
                std::size_t end = t.size();
                while (end > f.edges[i - 1].last && white_at_end(t.substr(0, end)))
                    end -= text::decode_utf8_before(t, end).len;
                trail[i - 1] = t.size() - end;
            }
            if (const Text* after = i + 1 < run.size() ? run[i + 1].as<Text>() : nullptr) {
                const std::string_view t = after->text;
                const std::size_t first = std::min(f.edges[i + 1].first, t.size());
                std::size_t from = 0;
                while (from < first && white_at_start(t.substr(from))) from += text::decode_utf8(t, from).len;
                lead[i + 1] = from;
            }
        }
        const auto own = [&](std::size_t i) {
            const std::string_view t = run[i].as<Text>()->text;
            return lead[i] + trail[i] >= t.size() ? std::string_view() : t.substr(lead[i], t.size() - lead[i] - trail[i]);
        };
        std::vector<bool> spaced(run.size(), false);
        for (std::size_t i = 0; i < run.size(); ++i) {
            if (!is_break(run[i])) continue;
            spaced[i] = (i > 0 && run[i - 1].is<Text>() && white_at_end(own(i - 1))) ||
                        (i + 1 < run.size() && run[i + 1].is<Text>() && white_at_start(own(i + 1)));
        }
        for (std::size_t i = 0; i < run.size(); ++i) {
            if (!run[i].is<Text>()) continue;
            // Before a hard break's backslash, the white space stays.
            const bool keeps_end = i + 1 < run.size() && run[i + 1].is<HardBreak>() && !spaced[i + 1];
            if (keeps_end) trail[i] = 0;
            run[i].as<Text>()->text = std::string(own(i));
        }
        for (std::size_t i = 0; i < run.size(); ++i) {
            if (spaced[i]) run[i] = Text{" "};
        }
    }
    out.clear();
    for (std::size_t i = 0; i < run.size(); ++i) {
        if (is_break(run[i])) {
            if (lines) {
                if (!out.empty() && is_break(out.back())) return false;
                out.push_back(std::move(run[i]));
                continue;
            }
            run[i] = Text{" "};
        }
        if (const Text* t = run[i].as<Text>(); t && t->text.empty()) continue;
        if (const Text* t = run[i].as<Text>(); t && !out.empty() && out.back().is<Text>()) {
            out.back().as<Text>()->text.append(t->text);
            continue;
        }
        out.push_back(std::move(run[i]));
    }
    // A space a break became may come to stand at a line's edge after all:
    // no text there.
    for (std::size_t i = 0; lines && i < out.size(); ++i) {
        if (const Text* t = out[i].as<Text>()) {
            if ((i + 1 < out.size() && out[i + 1].is<SoftBreak>() && white_at_end(t->text)) ||
                (i > 0 && is_break(out[i - 1]) && white_at_start(t->text)))
                return false;
        }
    }
    return true;
}

}  // namespace tavrel::write_md::canon
