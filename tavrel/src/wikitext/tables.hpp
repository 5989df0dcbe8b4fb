// The readers the block dispatcher calls for wiki tables, HTML block quotes,
// HTML containers ("<div", "<center", "<table") and lines of HTML list items.
// Each takes the logical lines and the index of the line that opens the
// construct, appends its block and reports the last line it used.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "reader.hpp"

namespace tavrel::wikitext::detail {

// Lines first..last as one slice of the normalised text (they are joined by
// single line feeds there).
std::string_view join_lines(std::string_view text, const std::vector<std::string_view>& lines, std::size_t first,
                            std::size_t last);

// A "{|" table from line `i`: appends a Table, or the paragraph it falls back
// to, and returns the index of its "|}" line; nothing when no later line
// closes it (the caller keeps the rest of the page verbatim).
std::optional<std::size_t> read_table(std::string_view text, const std::vector<std::string_view>& lines,
                                      std::size_t i, Context& cx, ast::Blocks& out);

struct QuoteEnd {
    std::size_t last;       // index of the line holding "</blockquote>"
    std::string_view tail;  // text after the closing tag on that line
};

// A quote opened on line `i` by a "<blockquote" tag; `after_tag` is the text
// after the tag on that line. Nothing when the quote is never closed.
std::optional<QuoteEnd> read_blockquote(const std::vector<std::string_view>& lines, std::size_t i,
                                        std::string_view after_tag, ast::Attr attrs, Context& cx,
                                        ast::Blocks& out);

// An HTML container named `name` from line `i`, kept verbatim; returns its
// last line.
std::size_t read_container(std::string_view text, const std::vector<std::string_view>& lines, std::size_t i,
                           std::string_view name, ast::Blocks& out);

// The run of "<li" lines from `i` as one bullet list; returns its last line.
std::size_t read_html_list(const std::vector<std::string_view>& lines, std::size_t i, Context& cx,
                           ast::Blocks& out);

// Cuts the normalised text into logical lines.
std::vector<std::string_view> cut_lines(std::string_view text);

}  // namespace tavrel::wikitext::detail
