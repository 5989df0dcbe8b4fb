// The canonical shape of an inline run, as the Markdown reader gives it back.
//
// The reader trims white space at the edges of every paragraph line, reads a
// blank line as the end of a paragraph, cannot close emphasis after white
// space nor open it before, and splits pipe-table rows at every "|" and line
// end. A tree built from wikitext breaks all of these freely ("Sentence. " left
// by a removed template, "''word ''", "<br>" at the end of a cell). These
// helpers decide whether a run already has the shape the reader would give
// back and, when it does not, build that shape; the writer then writes it.
// Most runs already have it, so the check is cheap and the copy rare.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tavrel/ast.hpp"
#include "tavrel/render.hpp"

namespace tavrel::write_md::canon {

// How far a run is from its canonical shape: already there; there but for
// white space at the end of its last node, a text that keeps other
// characters (the commonest fault, written without a copy); or anything
// else. Conservative: may say Other for a run that is already canonical.
enum class Shape { Canonical, TrailingSpace, Other };
Shape shape_of(const ast::Inlines& run, bool single_line);

// True when `canonical(run, single_line)` would give the run unchanged.
bool is_canonical(const ast::Inlines& run, bool single_line);

// The run rebuilt so that writing it reads back as the same run:
// - a line feed or carriage return inside a text becomes a soft break;
// - adjacent texts are merged, empty texts dropped;
// - a code span right after a code span without attributes is merged into
//   it (nothing written could end the first before the second);
// - a span without attributes is replaced by its content (written as "[x]"
//   it would read back as bracketed text);
// - white space and breaks at the start or end of the content of emphasis,
//   strong emphasis, strikeout and highlight move outside the delimiters,
//   and such a node left without content is dropped, unless it has
//   attributes: then it is its element (raw HTML) around the white space,
//   or, where the element would lose a key, the white space holds a line
//   end or the run holds raw tags of emphasis-like elements written by hand
//   (among which the element's would stand), the node around the white
//   space as character references (one raw HTML node, "&#10;" for a soft
//   break), a hard break in it moving outside;
// - white space at the start of every line and at the end of every line that
//   ends in a soft break or the run's end is removed; breaks at the start and
//   end of the run and breaks on a line holding nothing yet are dropped.
// With `single_line` (headings, table cells, definition terms, captions) every
// break, and every line feed inside a text, becomes a space.
ast::Inlines canonical(const ast::Inlines& run, bool single_line);

// True when a pipe-table cell can hold the run: no break and no line feed
// anywhere in what the cell writes, and no "|" in text the writer does not
// escape (code, math, raw content, destinations, labels, attribute values).
bool fits_pipe_cell(const ast::Inlines& run);

// Whether the plain text of a description reads back as the plain text of
// what it holds: no raw inline, which the reader keeps and the plain text
// drops, no note, whose plain text is its label, no node the plain text
// gives as its source, and no image, which would be lost.
bool plain_reads_back(const ast::Inlines& run);

// The plain text of a description for which `plain_reads_back`, as texts,
// its raw tags (written by hand, which pair as they did) and, where
// `lines`, its breaks (else spaces, as a break is in the plain text): a
// break may be all that makes the block around it more than one line.
// Null where that would not read back: a break beside white space or
// another, a line end in a text, a reference the canonical shape made, raw
// tags in runs apart, which would come to stand side by side.
std::optional<ast::Inlines> plain_run(const ast::Inlines& alt, bool lines);

// Whether a description holding an element form is written as its plain
// text: as `plain_description` where that is no null, else as its plain
// text alone where `tags_in` is no 0.
bool plain_description_reads_back(const ast::Inlines& alt);
// `plain_run` of a description, lines kept, into `out`, where
// `plain_reads_back` and that is no null; false where not.
bool plain_description(const ast::Inlines& alt, ast::Inlines& out);

// A description that `plain_description_reads_back` would not write as its
// plain text, as that text all the same (`out`): where `lines`, its breaks
// (else spaces) without the white space at line edges that the reader
// dropped (white space before a hard break stays, and a break beside white
// space of a text's own is a space), its raw tags that pair
// in their run and image tags as they are, all other raw HTML as text, raw
// inlines of HTML as they are and of other formats left out, a nested
// image as its description, a note of text alone as that text. False
// where it holds a note's reference, any other note, raw HTML that would
// not read back as its plain text, a raw inline of a tag that pairs with
// none in its run, or, where `lines`, breaks that nothing but white space
// parts.
bool text_description(const ast::Inlines& alt, bool lines, ast::Inlines& out);

// How many raw tags a run of texts, breaks, raw HTML other than closing and
// image tags, and delimited nodes of these holds, at any depth; 0 for a run
// holding any other node: where it is no 0, the run's plain text reads back
// as the text it is.
std::size_t tags_in(const ast::Inlines& run);

// An image's description `alt` in canonical shape (`written`). Of a
// description only its plain text is kept: where the shape adds tags
// ("*<em>x</em>*"), which read back as raw HTML the reader may pair with
// other raw tags, or leave in the plain text, it is `plain_run` instead,
// or, where that is null and `tags_in` is no 0, the plain text alone, a
// line end in it a space, as a break is, else `text_description`.
void plain_where_tags_added(const ast::Inlines& alt, ast::Inlines& written, bool single_line);

// Whether `run` holds raw HTML opening or closing an emphasis-like element
// ("em", "strong", "del", "mark"), at any depth but in a note's content,
// which is written apart.
bool raw_emphasis_tag_in(const ast::Inlines& run);

// The character references of white space that an emphasis or the like
// holds alone (see `canonical`), or null.
inline const ast::RawHtml* white_refs(const ast::Inlines& content) {
    const auto* refs = content.size() == 1 ? content.front().as<ast::RawHtml>() : nullptr;
    return refs && refs->html.starts_with("&#") ? refs : nullptr;
}

// The content of an emphasis-like node as its element holds it: white space
// alone that the canonical shape made character references (see
// `white_refs`) as the characters, a line end as a space (between the tags
// it would be trimmed with the white space before it, or leave a tag alone
// on a line, where it opens a block); else the content.
ast::Inlines element_content(const ast::Inlines& content);

// Whether a pair with this key can stand in a tag ("a", "_b", "c:d-e.f").
using render::html_attr_name;

// The opening tag of an element form ("<em id=\"k\" class=\"c\">"): the
// tag name, `lead` (attributes of the element's own, a link's address),
// then the attributes as the HTML renderer writes them, kept on one line: a
// line end inside the tag would let the next line open a block and split
// it. The reader looks for a tag's ">" within 1024 bytes of its "<": the
// attributes that would make the tag longer are left out. `taken` names
// the attributes of `lead` (as `render::attrs_html` takes them).
std::string element_open(std::string_view tag, const ast::Attr& attr, std::string_view lead = {},
                         std::string_view end = ">", std::string_view taken = {});

}  // namespace tavrel::write_md::canon
