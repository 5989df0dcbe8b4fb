// Image descriptions, of which the writer keeps the plain text: where an
// inline in one would be written with tags, the plain text is written instead.
#include <algorithm>
#include <string>
#include <type_traits>

#include "canon.hpp"
#include "tavrel/render.hpp"

namespace tavrel::write_md::canon {

using namespace tavrel::ast;

namespace {

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

}  // namespace

std::size_t tags_in(const Inlines& run) {
    std::size_t tags = 0;
    return count_tags(run, tags) ? tags : 0;
}

void plain_where_tags_added(const Inlines& alt, Inlines& written) {
    const std::size_t tags = tags_in(alt);
    if (tags == 0 || tags_in(written) == tags) return;
    std::string plain = render::plain(alt);
    std::replace_if(plain.begin(), plain.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    written.clear();
    if (!plain.empty()) written.push_back(Text{std::move(plain)});
}

}  // namespace tavrel::write_md::canon
