// The writer's questions to the reader: what would the reader make of these
// lines? The writer chooses between forms of a node (bare or escaped, the
// delimiter form or the HTML element, a list or the paragraph of its lines)
// by how each form reads back, so that the text it writes reads back as the
// tree it was written from. Most questions are answered from the reader's
// rules restated for one shape (item markers, a closing fence line, a
// script's text); where only the reader's own rules can answer (raw HTML,
// lists turned back into text) it is asked, on a small probe text read with
// the options the written text is read back with. The few asked about every
// inline or line are defined here, where the writer's pass can inline them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/block.hpp"
#include "tavrel/text.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md::probe {

// Calls f(line) for each line of `s`: a line feed ends a line, a carriage
// return right before it goes with it, and no empty line follows a final
// line feed.
template <class F>
void for_each_line(std::string_view s, F&& f) {
    std::size_t start = 0;
    while (start < s.size()) {
        std::size_t nl = s.find('\n', start);
        if (nl == std::string_view::npos) {
            f(s.substr(start));
            return;
        }
        std::size_t end = nl;
        if (end > start && s[end - 1] == '\r') --end;
        f(s.substr(start, end - start));
        start = nl + 1;
    }
}

// The reader takes the text between "^" or "~" markers verbatim, backslashes
// included, and ends the search at white space. So a script text is written
// bare between its markers when that reads back as itself: not empty, no white
// space, no backslash, no marker character, and (for "^") no "[" first, which
// would open an inline note instead. Any other text is written as the HTML
// element around escaped text, which reads back as the same bytes.
inline bool script_text_fits(std::string_view text, char marker) {
    if (text.empty() || (marker == '^' && text.front() == '[')) return false;
    for (std::size_t i = 0; i < text.size();) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            if (b == '\\' || b == static_cast<unsigned char>(marker) || text::is_white_space(b)) return false;
            ++i;
            continue;
        }
        text::Decoded d = text::decode_utf8(text, i);
        if (text::is_white_space(d.cp)) return false;
        i += d.len;
    }
    return true;
}

// The same for a text holding backslashes, which the reader's end search
// passes with the character after each, white space and markers too ("a\\ b"
// is one text), or "~~" in a subscript's, which the search passes as
// content: no white space or marker stands unescaped (a "~" beside another
// may, away from either end), no line end in it, and no backslash last.
bool script_escaped_text_fits(std::string_view text, char marker);

// Whether the content of a strikeout written from `start` of `out` opens
// with a subscript's element form, taken as the reader opens no subscript
// right after "~~", that loses a key no tag can hold, while the
// strikeout's own element form would lose none (line breaks first are not
// written).
bool subscript_first_loses_key(const std::string& out, std::size_t start, const ast::Inlines& content,
                               const ast::Attr& strikeout);

// Whether "<text>" reads back as this autolink: the address is its own
// text, begins with a scheme (a letter, then letters, digits, "+", "." or
// "-", 2 to 32 in all, and ":"), holds no control, white space or angle
// bracket, and is short enough for the reader's look-ahead for ">"; or the
// text is an e-mail address and the address "mailto:" and it.
bool angled_autolink(const ast::Autolink& link);

// Whether the text of a "www." autolink, written bare after a boundary
// character and before white space, reads back as this autolink: its
// address is "http://" and it, and it holds only characters the reader
// keeps in the address and the writer writes unescaped, none of which the
// reader trims from its end.
// With `kept`, it may hold any character the reader keeps in the address
// (none of white space and "<"), and an address the reader finds by its
// scheme ("http://", "https://", "ftp://", "xmpp:"), its own text, fits as
// well: the caller reads what it wrote back.
bool bare_www_fits(const ast::Autolink& link, bool kept = false);

// A label the reader takes in "[^label]": not empty, no white space, no
// bracket.
bool valid_reference_label(std::string_view label);

// Whether the reader, searching `tex` followed by `closer` for the closer
// (a backslash hides the character after it), finds the written one.
bool closer_found_at_end(std::string_view tex, std::string_view closer);

// Whether a line of `text` is `closer` with white space around it: the
// reader ends an open math block at such a line.
bool has_closing_line(std::string_view text, std::string_view closer);

// Whether the reader takes "{=format}" as a raw block's info, and "{format}"
// as a format block's: other names leave the info as a code block's.
bool readable_raw_format(std::string_view format);
bool readable_block_format(std::string_view format);

// The white space that may follow a list marker: a form feed spaces it as
// a space does.
inline bool is_marker_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// Where the White_Space from `pos` on ends, short of a line end: the reader
// looks past it for what a line or an item holds.
std::size_t past_white_space_in_line(std::string_view s, std::size_t pos);

// How many bytes of white space open `html` that are indentation to the
// reader, which keeps it in a raw HTML block's first line: a block written
// after a list with it would go into the list's last item, so it is written
// from past it. Other white space (U+3000) indents nothing and stays.
inline std::size_t html_indent(std::string_view html) {
    std::size_t i = 0;
    while (i < html.size() && (html[i] == ' ' || html[i] == '\t' || html[i] == '\f' || html[i] == '\v')) ++i;
    return i;
}

// How many bytes of `line` the list markers ("1. ", and bullets after them,
// "1. - ") at its start take: text that begins with an item number reads
// back as a list item, whose content starts after them, and after any white
// space the reader looks past for what the item holds. ("2)" is text to the
// reader: it numbers items with a full stop only.) `after_marker` when the
// line follows an item's marker, where a bullet may come first.
std::size_t item_markers_length(std::string_view line, bool after_marker = false);

// Whether the reader takes `line` (a block's first line) for the opening
// line of a footnote definition: "[^", then a label without white space up
// to the first "]:", also as the content of items the line opens.
bool opens_footnote_definition(std::string_view line);

// Adds to `lengths` the length of each line of `text` that is colons alone
// (white space around them aside), which may close a div fenced with as
// many colons. Past quote marks and item markers too: the reader closes the
// div at such a line in a quote or item inside it. Returns how many lines
// it read.
std::size_t add_colon_lines(std::string_view text, ColonLines& lengths);

// Whether `inner` between bare fences reads back as one div.
bool reads_as_one_div(std::string_view inner);

// What a run's text, as the writer writes it, reads back as, standing alone
// with the definitions of the footnotes it refers to: inline notes as
// references to the footnotes written for them (`notes`, from `next` on, in
// the order written), references to footnotes by the labels written for
// them (`labels`; each kept in `refs` to be defined), math without its
// display flag.
struct ReadBack {
    const std::vector<std::pair<std::string, ast::Inlines>>& notes;
    const std::unordered_map<std::string, std::string>& labels;
    std::size_t next;
    std::vector<std::string> refs;
    void run(ast::Inlines& inlines);
};

// Whether a run holds a link outside brackets of its own: such a link
// leaves the "[" of an enclosing span as text.
// A "www." autolink between white space, or opening the run where
// `first_bare` says the opener before it lets it be written bare, is none;
// with `www_kept`, one after any text, a line end or another node, whatever
// follows it (the caller writes the character before it as one the reader
// finds an address after, and reads back what it wrote).
bool holds_link(const ast::Inlines& run, bool first_bare = false, bool www_kept = false);

// Whether a run holds a raw tag that pairs with one outside it: a closing
// tag before which the run opens no tag of its name, or an opening tag
// (not an empty element's) that the run does not close. An element form
// around the run would cross it, and the reader of the HTML would pair the
// tags otherwise. Looks at the run's own nodes only.
[[gnu::cold]] bool crosses_raw_tag(const ast::Inlines& run);

// A span as the cross-reference list the reader makes it of, without its
// "[": the list's items ("see @a", "@a; -@b"), "]" and its attribute block,
// where a "ref" pair gives the value of the links' "data-ref" pairs, and
// which stands also where nothing else is written but the character after
// it, `after`, would make the list a link ("(") or a definition (":").
// Nothing when no list reads back as the span: one whose first pair is not
// "data-refs" or that has a "ref" pair, or whose links carry more than a
// key, a "data-ref" pair and a prefix that the reader takes as written.
// A span with a key no tag can hold, whose element form would lose it, is
// also a list with any prefix of one line that reads back alone as it.
std::optional<std::string> cross_reference(const ast::Span& span, char32_t after);
// A span of one link whose prefix runs over lines, its texts (each
// without white space at its ends) between the reader's soft breaks, with
// the prefix as one text holding the line ends; else nothing.
[[gnu::cold, gnu::noinline]] std::optional<ast::Span> prefix_lines_joined(const ast::Span& span);
// Whether emphasis (strong: strong) with `attr` around the content
// `written`, which holds a bare "_", reads back between "_" runs, the
// opening run after punctuation where `after_punct` (else at a line's
// start, as after white space).
[[gnu::cold, gnu::noinline]] bool underscores_read_back(std::string_view written, bool strong,
                                                        const ast::Attr& attr, bool after_punct);

// How many top-level blocks the reader, with the options the written text is
// read back with, makes of `probe`: the writer asks it where only the
// reader's own rules for raw HTML can answer.
std::size_t blocks_read(const std::string& probe);

// Whether a line ends in white space (a form feed or a no-break space too),
// which the reader cuts where it trims a line's end.
bool ends_in_white_space(std::string_view line);

// Whether the reader's outline of a text begins with a paragraph.
inline bool paragraph_first(const block::DocumentOutline& outline) {
    return !outline.blocks.empty() && outline.blocks.front().kind == "paragraph";
}

// Whether a line beginning with `html` would interrupt a paragraph as a raw
// HTML block.
bool opens_html_block(std::string_view html);

// Whether a paragraph's first line (the first line of `text`), at the start
// of a block, reads back as the start of a paragraph. The writer escapes
// what would open a block, but raw HTML and item numbers stay as they are.
bool starts_paragraph(std::string_view text);

// Whether the blocks written as `text` read back beginning with a paragraph.
bool reads_as_paragraph_first(std::string_view text);

// How a line beginning with item numbers could read back as a list (of one
// item, or items on its line) rather than turn back into the line.
enum class ItemLine {
    Text,     // it is text again
    Spacing,  // white space after a marker the writer would not write
    Opens,    // the items' text opens a block the writer would have written
              // so as an item ("1. - <div>", "1. [ ] x", "1. \- x") or a
              // footnote definition
};

ItemLine item_line_kind(std::string_view line);

// Whether a paragraph written as `text`, its first line beginning with an
// item number, reads back as that paragraph. Such lines read as a list that
// the reader turns back into text by the spacing and numbers of the lines as
// written, which the paragraph's text need not keep (white space ending a
// line is gone), and only when the item's line opened nothing the writer
// would have written as an item ("1. <div>" holding raw HTML): the reader is
// asked.
bool item_lines_read_as_text(std::string_view text);

// Where the "." of the last item number stands in the run of item numbers
// that opens `line` ("1. 2. x"), as the reader's list markers take them;
// npos when none opens it.
std::size_t last_item_dot(std::string_view line);

// Whether the reader, reading `line` as the text after an ordered item's
// marker, would find an item number there that the writer never writes as
// an item's: numbered with a leading zero ("01.") or spaced otherwise than
// "1. x" ("1.  x", "1.\tx"), in the run of markers that opens the line
// ("2. 1.  x"). Such a line makes the reader take the whole list for the
// text of its lines, which need not be written as the items were.
bool unwritten_item_number(std::string_view line);

// Whether a number of the item numbers `chain` ("1. 2. ") has a leading
// zero ("01."): the reader numbers that item all the same, and a list read
// there is written without it.
bool zero_led_number(std::string_view chain);

// Whether a later line of a paragraph, written as `line`, would end the
// paragraph or make it another block (a definition, a table head).
bool interrupts_paragraph_at(std::string_view line);

// Whether the reader, having read `html` as a raw HTML block, would take the
// blocks written after it into the same block.
bool html_left_open(std::string_view html);

// Whether `list` (written) and raw HTML `html` after it read back as a list
// and that HTML, its indentation kept.
[[gnu::cold]] bool list_reads_back_before(std::string_view list, std::string_view html);

// The last number of the lists the reader numbers on after reading `text`
// on from the numbering state `state`, with an ordered list from that
// number or the next numbered on from them; 0 where none is. The text from
// `at` on is read; `at` and `state` move on to the last top-level segment
// the text begins, with the state there, so that the next question reads
// on from there.
[[gnu::cold]] std::uint64_t numbered_last(std::string_view text, std::size_t& at, block::Numbering& state);

// `html` as the opening tag of a markdown container ("<div>" as
// "<div markdown=\"1\">"), when it is one opening tag alone that the reader
// reads back so as that container's own tag; nothing otherwise. Such a tag
// comes from a container the reader read: written bare it would open a raw
// HTML block taking the container's content and closing tag into itself.
struct ContainerOpener {
    std::string tag;
    // Whether the tag written bare reads as something else: text, or a
    // container's tag again ("<div markdown=\"1\">" kept from one holding
    // the attribute twice).
    bool bare_reads_otherwise = false;
};

std::optional<ContainerOpener> as_container_opener(std::string_view html);

// Whether a block surely writes nothing at all: a paragraph without
// content, a list without items, a quote of such blocks without attributes,
// a definition list of terms alone that show nothing on their line.
bool writes_nothing(const ast::Block& block);

// Whether `block` is a paragraph of spaces, tabs and line ends alone
// without an attribute line: the writer trims it to nothing and leaves it
// out.
[[gnu::cold]] bool blank_paragraph(const ast::Block& block);

// Whether the ordered list `l` may be kept a list by the reader only for
// the lines of paragraphs of white space in its items (see
// `blank_paragraph`), in quotes and lists there too, beside other blocks:
// not numbered from 1 with two items or more, nor with an attribute line.
// The writer would leave them out, and the list could read back as text:
// they are then written as character references, every such paragraph
// in its items.
[[gnu::noinline]] bool blanks_keep_list(const ast::List& l);

// The end of `blocks[0, last)` past the blank paragraphs that end it (see
// `blank_paragraph`), where raw HTML the reader leaves open stands before
// them; else `last`.
[[gnu::cold, gnu::noinline]] std::size_t open_html_before_blanks(const ast::Blocks& blocks, std::size_t last);

// Whether `block` could leave raw HTML open past a blank line after it, the
// HTML standing in the last item of a list: an HTML block there (or in a
// div, which may be written as its content).
bool may_leave_html_open(const ast::Block& block);

// Whether the last of `blocks` that writes something is raw HTML the
// reader leaves open, or a div ending so: it would take the blocks after
// it. (HTML left open in a list's item ends with the item.)
bool ends_in_html_left_open(const ast::Blocks& blocks);

// Whether `blocks` open a markdown container (see `as_container_opener`)
// that none of them closes. The reader closes it at the fence of a div
// holding them: written without that fence, the container would take the
// blocks after the div, its closing tag too.
[[gnu::cold]] bool leaves_container_open(const ast::Blocks& blocks);

// Whether `text` begins with the item number 1 ("1. ", "01."), which starts
// the reader's numbering of lists.
bool starts_with_item_one(std::string_view text);

// Whether a list's last item ends in raw HTML the reader leaves open: the
// blank line after the list then belongs to the HTML, and a list right after
// it would continue this one.
bool ends_in_open_html(const ast::List& l);

// Whether an item of `l` opens with a definition list or a div, which it
// holds as a block of its own on lines of their own (a term's and a
// definition's, a fence's), or with a list one of whose items does: the
// reader keeps such a list a list wherever it stands, as it keeps one whose
// item holds more blocks than one.
[[gnu::cold]] bool item_opens_with_lines_block(const ast::List& l);

// The div without attributes an item opens with (its first block that
// writes something), which inside a div without attributes is written as
// its content; else null.
[[gnu::cold]] const ast::Div* bare_div_opening(const ast::ListItem& item);

// For an ordered list inside a div without attributes, where a div without
// attributes opening an item is written as its content: whether the list
// then no longer stays a list alone, no item keeping it one as `keeps`
// judges it with such a div's blocks in the div's place, while the div,
// written with its fence, keeps it one ("1. :::" and "   [" is a list,
// "1. [" text). Each item is judged once, with its own blocks.
[[gnu::cold]] bool item_divs_keep_list(const ast::List& l, bool (*keeps)(const ast::ListItem&, const ast::Blocks&));

// The raw HTML block the last item of `l` ends in, as `ends_in_open_html`
// finds it, where it is left open and a markdown container's tag alone
// (see `as_container_opener`); else null. Written bare, the tag takes the
// blank line after the list, and an ordered list right after it, numbered
// on from it, would read on as its items; written as the container's tag,
// which the reader closes with the item, it reads back as the same block
// and leaves the blank line to end the list.
[[gnu::cold]] const ast::HtmlBlock* opener_ending(const ast::List& l);

// A heading of level `heading` to put before a text that the reader's
// numbering must judge as under such a heading; nothing above level 6.
std::string under_heading(unsigned heading);
// Whether the last block of `text`, under a heading of level `heading`
// (none when above 6), reads back as a paragraph after other blocks.
[[gnu::cold]] bool last_reads_as_paragraph(std::string_view text, unsigned heading);

// Whether raw HTML in a list's last item (or in the last item of a list
// ending it) ends in a markdown container's opening tag, which the reader
// opens inside the item: a list of the same bullet after the list is read
// on as its items.
bool opens_container_in_last_item(const ast::List& l);

// The paragraph an item's blocks that write something begin with, if any.
const ast::Paragraph* first_paragraph_shown(const ast::ListItem& item);

// Whether the reader may take an ordered list of two or more items, not
// numbered from 1, for the text of its lines (see `Renderer::list`): each
// item at most one paragraph, nothing of it written as attributes or a task.
// With `nested`, whether some item opens lists on its first line instead,
// each item otherwise as above.
bool may_read_as_text(const ast::List& l, bool nested = false);

// The quote state the reader's search for a line's final attribute block is
// in after `line`: 0 outside quotes, '"' or '\'' inside a stretch that quote
// opened. A backslash hides the character after it.
char quote_state_after(std::string_view line);

// Punctuation as the reader's flanking rules count it.
inline bool flank_punct(char32_t c) {
    return c != Renderer::kBlank && (text::is_ascii_punctuation(c) || text::is_unicode_punctuation(c));
}
inline bool flank_space(char32_t c) { return c == Renderer::kBlank || text::is_white_space(c); }

}  // namespace tavrel::write_md::probe
