// Helpers shared by the writer's text functions and its block writer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrel::write_md::detail {

// True when the "&" at `pos` of `s` starts a character reference that the
// reader's decoder would replace.
bool starts_decoded_reference(std::string_view s, std::size_t pos);

// Appends the "&" at `pos` of `s`: as "&amp;" when it would start a decoded
// reference, else as itself. For destinations, titles and attribute values,
// where the reader removes backslash escapes before decoding references.
void append_amp_safe(std::string_view s, std::size_t pos, std::string& out);

// Appends text with Markdown punctuation escaped, as `escape_markdown` does,
// and "[" written bare, or as "&#91;" when `in_brackets` (inside the
// brackets of a link, image or span). With `line_continues`, something other
// than white space or a break follows the text on its last line.
void escape_text(std::string_view text, std::string& out, bool in_brackets, bool line_continues = false);

// Whether `out` ends with a line end that continues a block's lines: the
// line before holds something and is not a div's opening fence, after which
// a block begins (text never begins a line with ":").
bool at_continued_line(const std::string& out);

// Whether a line that raw HTML going on over lines reaches, written on as a
// later line of the paragraph whose current line ends `out`, would read as
// a delimiter row under the line before it. No indent keeps it from being
// one.
bool html_lines_read_as_table(const std::string& out, std::string_view html);

// Appends `value` in double quotes with each backslash doubled, each double
// quote escaped and each reference-starting "&" written as "&amp;".
// With `parens`, "(" and ")" are escaped too: a link's closing parenthesis is
// found before its title is read.
// `quote` is the quote character written around the value (a double
// quote inside it is escaped either way). With `braces`, "{" and "}" are
// escaped too; with `links`, the marks of a bare address ("http://",
// "www.", "@"), brackets, "<" and backticks; with `scanned` (see
// `attrs_body`), every character that would start a construct in text, "["
// written as a reference.
void append_quoted(std::string_view value, std::string& out, bool parens = false, char quote = '"',
                   bool braces = false, bool links = false, bool scanned = false);

// Appends the text of a verbatim block (code, raw, format, math) with each
// carriage return, alone or before a line feed, written as one line feed:
// the reader reads either as a line end, so the text written is the text it
// reads back. With `blank_lines_empty` (inside a list item or a footnote,
// where the reader reads a line of white space as empty) such lines are
// written empty.
void append_verbatim(std::string_view text, std::string& out, bool blank_lines_empty = false);

// A fenced block as `tavrel::markdown::fenced_block` writes it, its body
// written by `append_verbatim`.
void fenced_block(std::string_view info, std::string_view body, std::string& out, bool blank_lines_empty);

}  // namespace tavrel::write_md::detail
