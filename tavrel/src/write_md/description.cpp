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

// `piece` into `text`, a line end in it, which reads back as a break,
// ending `text` into `out` and following it there as one; white space at
// its start dropped where `after_break`, as the reader does. False where a
// line end has white space beside it, which the reader drops in some
// blocks and keeps in others.
bool append_lines(std::string_view piece, bool after_break, std::string& text, Inlines& out) {
    if (after_break) {
        while (white_at_start(piece)) piece.remove_prefix(text::decode_utf8(piece, 0).len);
    }
    while (true) {
        const std::size_t end = piece.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            text.append(piece);
            return true;
        }
        const std::string_view line = piece.substr(0, end);
        const std::size_t next = piece[end] == '\r' && end + 1 < piece.size() && piece[end + 1] == '\n' ? end + 2 : end + 1;
        if (white_at_end(line) || white_at_start(piece.substr(next))) return false;
        text.append(line);
        if (!text.empty()) out.push_back(Text{std::move(text)});
        text.clear();
        out.push_back(SoftBreak{});
        piece.remove_prefix(next);
    }
}

// The plain text of `run` into `text` (see `render::plain`, breaks kept
// apart in `out`), but for the raw tags that pair in their run and image
// tags, which end `text` into `out` and follow it there as raw HTML: all
// else raw is text. False where the run holds raw HTML no plain text keeps
// as it reads (a reference the canonical shape made, HTML in a raw inline).
bool text_into(const Inlines& run, std::string& text, Inlines& out) {
    std::vector<bool> paired;
    bool any_tag = false;
    for (const auto& x : run) any_tag = any_tag || html_of(x) != nullptr;
    if (any_tag) mark_pairs(run, paired);
    // Where the last text of this run ends in `text` (white space before a
    // break in the run is the reader's to drop, not what comes before).
    std::size_t text_from = std::string::npos;
    for (std::size_t i = 0; i < run.size(); ++i) {
        const bool after_break = i > 0 && (run[i - 1].is<SoftBreak>() || run[i - 1].is<HardBreak>());
        const bool ok = visit(
            [&](const auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<T, Text>) {
                    text_from = text.size();
                    return append_lines(n.text, after_break, text, out);
                } else if constexpr (std::is_same_v<T, RawHtml>) {
                    if (!n.html.starts_with('<')) return false;
                    if (!paired[i] && !n.html.starts_with("<img") && !n.html.starts_with("<IMG")) {
                        text.append(n.html);
                        return true;
                    }
                    if (!text.empty()) out.push_back(Text{std::move(text)});
                    text.clear();
                    out.push_back(n);
                } else if constexpr (std::is_same_v<T, SoftBreak> || std::is_same_v<T, HardBreak>) {
                    if (i > 0 && run[i - 1].is<Text>() && text_from <= text.size()) {
                        while (text.size() > text_from && white_at_end(text))
                            text.resize(text.size() - text::decode_utf8_before(text, text.size()).len);
                    }
                    if (!text.empty()) out.push_back(Text{std::move(text)});
                    text.clear();
                    out.push_back(n);
                } else if constexpr (kLeafText<T>) {
                    append_leaf_text(n, text);
                } else if constexpr (std::is_same_v<T, FootnoteRef>) {
                    // Read back, the text of the note it names.
                    return false;
                } else if constexpr (std::is_same_v<T, Note>) {
                    // A note is written as a reference to a block, whose
                    // text drops white space at its ends and beside its
                    // breaks and tags: a note of text alone.
                    std::string note;
                    Inlines kept;
                    if (!text_into(n.content, note, kept) || !kept.empty() || white_at_start(note) ||
                        white_at_end(note))
                        return false;
                    text.append(note);
                } else if constexpr (std::is_same_v<T, TemplateTokenInline>) {
                    text.append(n.token.source);
                } else if constexpr (std::is_same_v<T, RawInline>) {
                    // No plain text; HTML, which is raw HTML that the
                    // plain text leaves out, as it is, but for a tag
                    // pairing with none, which would pair where written.
                    if (n.format != "html") return true;
                    bool closing = false;
                    if (!paired[i] && element_tag(n.text, closing) >= 0) return false;
                    if (!text.empty()) out.push_back(Text{std::move(text)});
                    text.clear();
                    out.push_back(n);
                } else if constexpr (std::is_same_v<T, Image>) {
                    return text_into(n.alt, text, out);
                } else if constexpr (std::is_same_v<T, Operation>) {
                    for (const auto& arg : n.args)
                        if (!text_into(arg.value, text, out)) return false;
                } else if constexpr (requires { n.content; }) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>)
                        return text_into(n.content, text, out);
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
    Inlines run;
    std::string text;
    if (!text_into(alt, text, run)) return false;
    if (!text.empty()) run.push_back(Text{std::move(text)});
    // A break may be all that makes the block around it more than one
    // line: it is kept where lines are, and else a space, as the plain text
    // gives. The reader drops white space beside a break, and two breaks
    // are a blank line: none there, which texts of other nodes than the
    // break's bring.
    out.clear();
    for (std::size_t i = 0; i < run.size(); ++i) {
        if (run[i].is<SoftBreak>() || run[i].is<HardBreak>()) {
            if (lines) {
                if (!out.empty() && (out.back().is<SoftBreak>() || out.back().is<HardBreak>())) return false;
                const Text* before = !out.empty() ? out.back().as<Text>() : nullptr;
                const Text* after = i + 1 < run.size() ? run[i + 1].as<Text>() : nullptr;
                if ((before && white_at_end(before->text)) || (after && white_at_start(after->text))) return false;
                out.push_back(std::move(run[i]));
                continue;
            }
            run[i] = Text{" "};
        }
        if (const Text* t = run[i].as<Text>(); t && !out.empty() && out.back().is<Text>()) {
            out.back().as<Text>()->text.append(t->text);
            continue;
        }
        out.push_back(std::move(run[i]));
    }
    return true;
}

}  // namespace tavrel::write_md::canon
