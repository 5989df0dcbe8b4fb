// Image descriptions, of which the writer keeps the plain text: where an
// inline in one would be written with tags, the plain text is written instead.
#include <algorithm>
#include <optional>
#include <string>
#include <type_traits>

#include "canon.hpp"
#include "tavrel/render.hpp"
#include "tavrel/text.hpp"

namespace tavrel::write_md::canon {

using namespace tavrel::ast;

namespace {

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
                } else if constexpr (std::is_same_v<T, Superscript> || std::is_same_v<T, Subscript> ||
                                     std::is_same_v<T, Code> || std::is_same_v<T, Autolink>) {
                    text.append(n.text);
                } else if constexpr (std::is_same_v<T, Math>) {
                    text.append(n.tex);
                } else if constexpr (requires { n.content; }) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>)
                        plain_into(n.content, lines, text, out, tags_run, spread);
                }
            },
            x);
    }
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
    if (tags_in(alt) == 0) return;
    std::string plain = render::plain(alt);
    std::replace_if(plain.begin(), plain.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    written.clear();
    if (!plain.empty()) written.push_back(Text{std::move(plain)});
}

}  // namespace tavrel::write_md::canon
