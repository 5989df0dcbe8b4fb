// The MediaWiki wikitext reader: one page of wikitext in, one document tree
// out. Templates are never expanded; they stay in the tree as `Operation`
// nodes for the conversion layer to rewrite. Constructs the tree does not
// model stay as `RawInline`/`RawBlock` of format "wikitext" (or "html" for
// tags), so no text is lost except comments.
//
// The reader never fails. It is linear in practice: every search for a
// closer that can fail is remembered, so that it costs once however many
// openers ask it, and the recursive readers stop nesting at fixed depths far
// above what real pages use (a construct met past the limit is kept
// verbatim). How a paragraph is read never depends on what stands before it.
//
// All functions are pure: they read their arguments only, so different pages
// may be read on different threads at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavrel/ast.hpp"

namespace tavrel::wikitext {

// The brace and link tracker shared by every scan that must skip nested
// "{{…}}", "{{{…}}}" and "[[…]]". It is at top level when nothing is open.
struct Nesting {
    std::vector<std::uint8_t> stack;  // widths of open braces: 3 or 2
    std::size_t link_depth = 0;       // open "[[" not yet closed

    bool at_top() const { return stack.empty() && link_depth == 0; }

    // One step over the text that begins at the current position: openers
    // before closers ("{{" always opens; "}}" never closes a "{{{"). Returns
    // the bytes stepped, or nothing when `rest` is empty.
    std::optional<std::size_t> advance(std::string_view rest);
};

// The first position at or after `start` where a fresh tracker is at top
// level and `text` continues with `closer`; nothing when there is none.
std::optional<std::size_t> balanced(std::string_view text, std::size_t start, std::string_view closer);

// The pieces of `text` between top-level occurrences of `separator` (always
// at least one piece). The pieces are views into `text`.
std::vector<std::string_view> split_top(std::string_view text, std::string_view separator);

// Byte length of the "<ref" element that begins `text`: through its ">"
// when self-closing, else through the first "</ref>" (ASCII case-insensitive),
// else the whole text.
std::size_t ref_len(std::string_view text);

// The URL of an internal or bracketed link ("Foo bar (baz)" gives
// "./Foo_bar_%28baz%29"; "#s", "mailto:" and "…://…" targets stay as written).
std::string link_target(std::string_view target);

// The content of an HTML list item line ("<li>one</li>" gives "one"), or
// nothing when the line is not one.
std::optional<std::string_view> html_list_item(std::string_view line);

// For an extension element ("<gallery", "<source", …) opening on line
// `start`: the index of its last line and the lines start..end joined by LF.
std::pair<std::size_t, std::string> extension_block(const std::vector<std::string_view>& lines, std::size_t start);

namespace document {

// An opening HTML tag read by `html_open`.
struct OpenTag {
    std::string name;       // ASCII lower case, letters and digits only
    ast::Attr attrs;
    std::size_t end = 0;    // just past the tag's ">"
    bool is_void = false;   // self-closing, or "br"
};

// Reads one page. Never fails: every text gives a document (no diagnostics,
// no metadata; named references become footnotes labelled by their names).
ast::Document parse(std::string_view text);

// Reads the text of one paragraph, heading, item or cell into inlines.
// Named references append their footnote to `footnotes` (first definition
// of a name wins).
ast::Inlines inlines(std::string_view text, std::vector<ast::Footnote>& footnotes);

// Appends text with character references decoded; LF becomes SoftBreak and
// adjacent text merges into the last Text node.
void push_text(ast::Inlines& out, std::string_view text);

// Plain text of a run (Text, SoftBreak as a space, and the content of Emph,
// Strong and Span), or nothing when the run holds any other node.
std::optional<std::string> inline_text(const ast::Inlines& inlines);

// The node of one template call ("template", for "{{…}}") or parameter
// ("parameter", for "{{{…}}}"): an Operation, or a RawInline for the pipe
// templates. `inner` is the text between the braces, `source` the whole call.
ast::Inline operation(std::string_view mode, std::string_view inner, std::string_view source,
                      std::vector<ast::Footnote>& footnotes);

// Reads the opening tag that begins `text`; nothing for comments, closing
// tags, malformed names or attributes.
std::optional<OpenTag> html_open(std::string_view text);

// Reads HTML attributes ("class", "id" and other pairs, values decoded);
// nothing when malformed (unclosed quote, a name starting with "=").
std::optional<ast::Attr> html_attrs(std::string_view text);

// A RawBlock of format "wikitext" holding a copy of the text.
ast::Block raw(std::string_view text);

}  // namespace document
}  // namespace tavrel::wikitext
