// The canonical Markdown writer: any document tree as text in the system's
// one Markdown dialect (attribute blocks, footnotes, pipe tables, math, fenced
// divs, and HTML fragments where the dialect cannot express a node).
//
// Every Markdown text the system hands out is made here, and the dataset's
// chunk stage reads it back with the Markdown reader and requires that writing
// the re-read tree gives the same bytes. So the writer writes one canonical
// form, the one the reader gives back:
// - inline runs lose white space at line edges, blank lines and breaks at
//   their ends; emphasis has white space moved outside its delimiters (one
//   of white space alone with attributes keeps it, as its element's content,
//   or as character references where the element would lose a key or a line
//   end, or stand among raw tags of emphasis-like elements written in the
//   same run), and emphasis the reader would not pair is written as its HTML
//   element; a strong without attributes filled by an emphasis ("***x***")
//   reads back as an emphasis filled by a strong, the same to a reader of
//   the HTML;
// - text is escaped where it would otherwise read as something else: an "&"
//   starting a character reference, bare URLs and e-mail addresses, ":" and
//   "{:" at a line start, "1." opening a later paragraph line, "{" after a
//   node that takes attributes, "!" before a link's bracket, "<" before
//   white space and an address (as "&lt;"); "[" stays bare (a "\[" would
//   open display math);
// - nodes the reader cannot give back in their literal form are written in
//   the form it can: a table whose cells a pipe row cannot hold as HTML, a
//   script text with spaces as its element, a reference to an undefined
//   footnote, a template call, a code span or math with line ends as text,
//   an item number past nine digits as the largest of nine, again;
// - blocks and spans that would read back as nothing, or as bracketed text,
//   are left out (empty paragraphs and containers, attribute-less spans, a
//   term of nothing, whose definitions then belong to the term line before
//   them or, with none, are written as text opened by an escaped ":");
//   a term of white space alone is written as its character references;
// - what the dialect has one form for is written in that form, and reads
//   back so: inline notes as footnotes ("[^__note1]"), an ordered or bullet
//   list's tightness as its written lines give it, inline nodes the reader
//   would not pair or place as their HTML elements ("<em>", "<a href>", "<span
//   class=\"math inline\">"; beside raw tags of the same name in the text
//   they read back as raw tags alike, the same HTML, and which one closes
//   which is the HTML reader's to say; there a link's "title" pair is its
//   title, a double quote in its target "%22", and line ends in a
//   superscript or subscript spaces; an image's description where a node
//   in it would take its element form is its plain text, with its raw tags
//   and breaks where they read back so), inline math
//   without its display flag, line ends in code spans and math as spaces,
//   white space in link targets as "%20", "%09", "%0A" and "%0D", and a
//   "<" opening one as "%3C",
//   a code block's language as its first class (words after it in an info
//   are dropped), raw HTML opening a paragraph as a raw inline of format
//   html (its tabs and line ends spaces, as in any code span), an address
//   inside a link's text as text, a div without attributes
//   as its content where nothing depends on its fence; white space before a
//   raw HTML block's tag that would take it into the list item before it is
//   not written, nor is an empty id ("id=''", which HTML does not allow: a
//   term that only it kept is then a term of nothing, and an ordered list
//   that only it kept a list is written as the text of its numbered lines),
//   nor are the reader's diagnostics; an ordered list after one whose last
//   item leaves raw HTML open, which only a definition kept apart in the
//   text, is written on as the first list's items, as nothing else the
//   dialect has ends that list and reads as nothing (but where that HTML is
//   a container's tag alone, it is written as the container's tag, which
//   the reader closes with the item, and the lists stay apart).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tavrel/ast.hpp"

namespace tavrel::block {
struct Numbering;
}

namespace tavrel::markdown {

// Appends `text` with Markdown punctuation escaped: a backslash before each
// of "#$*+<=>]^_`|~" and the backslash itself, before a hyphen that would
// start a list item or a rule, before an "&" that would start a decoded
// character reference, and before the characters listed in the file comment
// that would start a block or an autolink. "[" is written bare: "\[" would
// open display math before any later "\]". Reads the text already in `out`
// to know whether a character stands at a line start.
void escape_markdown(std::string_view text, std::string& out);

// A link destination made safe inside the parentheses of a link.
std::string escape_target(std::string_view url);

// The attribute body: "#id", ".class" and key="value" words joined by single
// spaces. Parts the reader could not give back (see `writable_attr`) are left
// out; the body is empty exactly when `writes_attrs` is false. With `braces`,
// the braces of values are escaped; with `links`, the marks of bare
// addresses, brackets, "<" and backticks in words and values. With
// `scanned`, the body is of a block that the reader scans as text before it
// takes it as attributes (after a closing delimiter run): whatever would
// start a construct there is escaped as well, and an id or class holding
// "[" takes the pair form, where a reference stands for the "[".
// With `line`, the block stands on a line of its own, whose last "}" the
// reader ends it at: a key may hold a "}" there, and white space after a
// backslash.
std::string attrs_body(const ast::Attr& attr, char quote = '"', bool braces = false, bool links = false,
                       bool scanned = false, bool line = false);

// Whether a pair with this key reads back with the same key (`scanned` and
// `line` as for `attrs_body`).
bool attr_key_writable(std::string_view key, bool scanned = false, bool line = false);
// Whether every part of `attr` reads back as written.
bool attr_writable(const ast::Attr& attr);
bool attr_writable(const ast::Attr& attr, bool scanned);
// Whether any part of `attr` is written. (Most nodes have none: that is
// asked in place, the parts only of attributes that have some.)
bool writes_some_attrs(const ast::Attr& attr);
bool writes_some_attrs(const ast::Attr& attr, bool scanned);
inline bool writes_attrs(const ast::Attr& attr) { return !attr.empty() && writes_some_attrs(attr); }
inline bool writes_attrs(const ast::Attr& attr, bool scanned) {
    return !attr.empty() && writes_some_attrs(attr, scanned);
}
// Whether any part of `attr` is written on an attribute line, a block's
// line of its own (see `attrs_body`'s `line`): every block written with one
// asks this, not `writes_attrs`, where its layout hangs on that line.
bool writes_some_line_attrs(const ast::Attr& attr);
[[gnu::always_inline]] inline bool writes_line_attrs(const ast::Attr& attr) {
    return !attr.empty() && writes_some_line_attrs(attr);
}
// `attr` without the parts that are not written: an empty id, an id or class
// holding a line end, and pairs whose key `attr_key_writable` refuses (with
// `scanned`, also a class holding both "[" and white space).
ast::Attr writable_attr(const ast::Attr& attr);
ast::Attr writable_attr(const ast::Attr& attr, bool scanned);

// One attribute word with backslash, braces and space escaped.
std::string escape_attr_word(std::string_view word);

// Appends `text` as a code span fenced by one more backtick than its longest
// backtick run.
void code_span(std::string_view text, std::string& out);

// The length of the longest run of backticks in `text` (0 when none).
std::size_t longest_run(std::string_view text);

// Appends a fenced block: fence (at least three backticks, longer than any
// run in the body), info, the body, a closing fence and a blank line.
void fenced_block(std::string_view info, std::string_view body, std::string& out);

}  // namespace tavrel::markdown

namespace tavrel::write_md {

// The whole document as canonical Markdown: front matter, blocks, the
// document's footnotes, then the definitions of the inline notes met. Never
// fails; reads the document only; safe to call from any number of threads.
std::string render_md(const ast::Document& doc);

// `render_md`'s text, and where each top-level block's text begins in it:
// `starts` holds one offset per block, then the text's length. The offsets
// never decrease. The footnote section belongs to the block before it (the
// last block, or raw HTML left open written after the section), and a block
// that writes nothing begins where the next one does. The chunker cuts the
// text at these offsets.
struct WrittenBlocks {
    std::string md;
    std::vector<std::size_t> starts;
};
WrittenBlocks render_md_blocks(const ast::Document& doc);

// The Markdown of one block written alone: exactly `render_md` of a document
// holding a copy of that block and nothing else (no footnotes, no metadata),
// without making the copy, except that references to the footnotes of
// `labels_from` (when given) are written as in that document. The chunker
// writes each top-level block this way, so that a block's bytes are the same
// as in the whole document's text.
std::string render_block_md(const ast::Block& block, const ast::Document* labels_from = nullptr);

// Whether a table is written as a pipe table: one head row with at least one
// cell and no attributes, one alignment per head cell, body rows of exactly
// as many cells, no foot and no interludes, and no cell holding what a pipe
// row cannot carry (a line break, or a "|" the cell splitter would take).
bool simple_table(const ast::Table& table);

// The name as a template-call label: trimmed of white space; nothing when
// that is empty or holds a line break, "{{" or "}}".
std::optional<std::string> usable_name(std::string_view name);

// The lengths of the lines of colons alone (three or more) in a text, as
// sorted runs of lengths: a div's fence is made none of them.
class ColonLines {
public:
    void add(std::size_t first, std::size_t last);
    void add(const ColonLines& other);
    // The least length from three on that no line has.
    std::size_t first_free() const;

private:
    std::vector<std::pair<std::size_t, std::size_t>> runs_;  // apart, neither touching
};

// The writer's state for one call of `render_md`; not shared, not kept.
class Renderer {
public:
    // Stands for white space, a line end or nothing beside a delimiter. It
    // is no character: U+0000 in the text is an ordinary one to the reader's
    // flanking rules, like a letter.
    static constexpr char32_t kBlank = 0x110000;
    // `labels_from` (default: `doc`) names the footnotes that references
    // may point to.
    explicit Renderer(const ast::Document& doc, const ast::Document* labels_from = nullptr)
        : footnote_labels_(written_labels(labels_from ? *labels_from : doc)), doc_(doc) {}

    // Each footnote label with the label it is written under: itself when
    // the reader can read it in "[^label]"; else (white space or brackets,
    // common in wikitext reference names) the label with each such
    // character made "_", and "_2", "_3", ... added while that names another
    // footnote.
    static std::unordered_map<std::string, std::string> written_labels(const ast::Document& doc);

    // The Markdown of one block written as `render_block_md` writes it (the
    // definitions of its inline notes after it, numbered from 1), leaving
    // this writer's text and notes as they were. Lets one writer, with its
    // footnote labels gathered once, write many blocks alone.
    std::string block_alone(const ast::Block& block);
    // Appends each block in order (the first `count`), each ending with its
    // own blank line.
    void blocks(const ast::Blocks& blocks, std::size_t count = static_cast<std::size_t>(-1));
    void block(const ast::Block& block);
    // Appends a run of inlines written as the reader reads them back: line
    // edges trimmed, no empty line, emphasis edges free of white space.
    void inlines(const ast::Inlines& inlines);
    // Appends one footnote definition.
    void footnote(const ast::Footnote& footnote);
    // Appends the inline notes' definitions, including notes met while
    // writing notes, until none is left.
    void flush_notes();
    // The label of the inline note at `index` (from 0) in the order met.
    std::string note_label(std::size_t index);
    // "{: BODY}\n" or nothing.
    void ial(const ast::Attr& attr);
    // "{BODY}" or nothing.
    void trailing_attrs(const ast::Attr& attr, char quote = '"', bool braces = false, bool links = false);
    void target_and_attrs(const std::string& url, const std::optional<std::string>& title, const ast::Attr& attr);
    // One pipe-table row.
    void table_row(const std::vector<ast::TableCell>& cells);

    // Makes the next call of `blocks` (not those nested in it) append to
    // `starts` where each block it writes begins, then where it ends.
    void record_block_starts(std::vector<std::size_t>* starts) { block_starts_ = starts; }
    // Makes the next raw HTML block written keep the white space before
    // its tag (see `blocks`).
    void keep_html_indent() { html_indent_kept_ = true; }
    std::string take() { return std::move(out_); }
    std::string& out() { return out_; }
    bool has_notes() const { return !notes_.empty(); }
    // Whether a div outside all divs was written as its content.
    bool wrote_bare_div() const { return bare_div_; }
    // Where the last block that `blocks` wrote something for starts in the
    // text.
    std::size_t last_block_at() const { return last_block_at_; }
    // The block that `blocks` wrote last, past divs written as their content
    // (the block written last in their blocks), and where it starts.
    const ast::Block* last_leaf() const { return last_leaf_; }
    std::size_t last_leaf_at() const { return last_leaf_at_; }
    // How many lines the fences of the divs written were chosen by reading.
    std::size_t fence_lines_read() const { return fence_lines_read_; }

private:
    // With `trim_last`, the run's last node is a text written without the
    // white space at its end.
    void raw_inlines(const ast::Inlines& inlines, bool trim_last = false);
    // Text, escaped so that it reads back as itself where it stands.
    void write_text(std::string_view text);
    // The "[" of a link or span, never read as part of an image's "![".
    void open_bracket();
    void append_element_open(std::string_view tag, const ast::Attr& attr);
    [[gnu::noinline, gnu::cold]] bool underscores_fit(const ast::Attr& attr, const ast::Inlines& content,
                                                      std::string_view tag, std::size_t cstart, std::size_t cend,
                                                      char32_t p, bool p_escaped, char32_t next);
    // See `span_kept_bracketed`: whether "_" runs stand for the emphasis or
    // strong written from `cstart` to `cend` in a span's try with them.
    [[gnu::noinline, gnu::cold]] bool underscores_in_span_try(const ast::Attr& attr, std::size_t cstart,
                                                              std::size_t cend, char32_t p, bool p_escaped,
                                                              char32_t next) const;
    [[gnu::noinline, gnu::cold]] bool bare_www(const ast::Autolink& link, char32_t opened);
    [[gnu::noinline, gnu::cold]] bool angle_as_name();
    [[gnu::noinline, gnu::cold]] bool reference_before_www();
    [[gnu::noinline, gnu::cold]] bool bare_after_bracket(std::string_view text, const ast::Attr& attr,
                                                         char32_t opened);
    // Takes back what was written from `start` on, to write it otherwise:
    // the notes, line and footnote state as they were there, and the marks
    // of what ended after it.
    [[gnu::noinline, gnu::cold]] void rewind(std::size_t start, std::size_t notes_mark, std::size_t first_line_start,
                                             int footnote_line);
    // The content of a link, image or span, between its brackets.
    void bracketed(const ast::Inlines& inlines);
    void bracketed_content(const ast::Inlines& inlines);
    // Alike, inside a node in its delimiter form: with the counts of those
    // outside the brackets (see `outside_brackets_`).
    [[gnu::noinline, gnu::cold]] void bracketed_in_delimited(const ast::Inlines& inlines);
    // An image's description, between its brackets: as its plain text
    // where an inline in it would take its element form.
    void image_description(const ast::Inlines& alt);
    void inline_node(const ast::Inline& node);
    // A span as its HTML element (a link inside would leave its "[" as
    // text). Kept out of `inline_node`, whose frame every nesting level of
    // spans adds to the stack.
    void span_element(const ast::Span& span);
    [[gnu::noinline, gnu::cold]] bool span_kept_bracketed(const ast::Span& span);
    [[gnu::noinline, gnu::cold]] bool bracketed_reads_back(const ast::Span& span, std::size_t mark,
                                                           std::size_t notes_mark, bool exact);
    // (Whether it kept a backslash or took one from before a "*".)
    [[gnu::noinline, gnu::cold]] bool unescape_after_www(const std::vector<std::size_t>& ends);
    // See `span_kept_bracketed`: a character after an address, from
    // `from` on, that the reader would take into it, as its named reference
    // (ASCII punctuation with `punctuation`; whether there is any such is
    // returned).
    [[gnu::noinline, gnu::cold]] bool names_after_www(std::vector<std::size_t>& ends, std::size_t from,
                                                      bool punctuation);
    void single_line(const ast::Inlines& inlines);
    // A definition's or caption's line; one of no-break spaces alone,
    // which would write nothing, as their references (as such a paragraph).
    void single_line_shown(const ast::Inlines& inlines);
    // Rewrites the line written from `mark` on, white space written as
    // references, as the run it reads back as (a term's line when `term`).
    [[gnu::noinline, gnu::cold]] void shown_as_read_back(std::size_t mark, bool term);
    // See `blocks`: a paragraph written at `at`, under a heading of level
    // `heading`, before a list that would number on from it (`state`: the
    // reader's numbering before it, when known).
    struct NumberingStops;
    [[gnu::noinline]] void escape_numbered_on(const std::vector<ast::Block>& blocks, std::size_t i, unsigned heading,
                                              NumberingStops& stops, std::size_t at, const block::Numbering* state);
    // Both of the above: a fresh run, put into canonical shape first.
    void run_in_canonical_shape(const ast::Inlines& inlines, bool one_line);
    // A heading's or definition term's line, which the reader ends by
    // taking a final attribute block as the line's own attributes `own`.
    // The line, then `sep` and its attribute block when it has attributes.
    // With `closable` (a heading's), the line may end in a closing sequence.
    void line_before_attrs(const ast::Inlines& inlines, const ast::Attr& own, std::string_view sep,
                           bool closable = false);
    // See `line_before_attrs`: where `own` holds a key with "{" (which the
    // reader's search for the line's last "{" would take) or one only an
    // attribute line keeps, a heading is written with that line after it
    // and a term without its brace keys; false where neither applies.
    [[gnu::cold, gnu::noinline]] bool line_before_line_keys(const ast::Inlines& inlines, const ast::Attr& own,
                                                            std::string_view sep, bool closable);
    // See `line_before_attrs`: a heading's or term's line ending in an
    // image, or in an inline whose element form would lose something; where
    // the line ends in a block, a closing sequence follows (`closable`) or
    // a block that gives nothing.
    [[gnu::noinline, gnu::cold]] void closed_line(const ast::Inlines& line, bool closable);
    // Emphasis, strong emphasis, strikeout or highlight: between delimiters
    // when the reader would pair them back (flanking, no merging with a
    // neighbouring run of the same character), else as its HTML element.
    void delimited(std::string_view delim, std::string_view tag, const ast::Attr& attr,
                   const ast::Inlines& content, bool first_of_same);
    // `delimited` tried again with the text's last character, `before`,
    // written as a character reference (see `delimited`).
    [[gnu::noinline, gnu::cold]] void delimited_after_reference(std::string_view delim, std::string_view tag,
                                                                const ast::Attr& attr, const ast::Inlines& content,
                                                                bool first_of_same, char32_t before);
    // The content of a delimited node's element form, as `raw_inlines`
    // writes it, but for the delimited nodes in it whose delimiter form
    // is sure not to be taken: `element_form_settled` writes those in
    // their element form without trying the other first (see
    // element_first.cpp), and is false, having written nothing, where it
    // is not sure.
    [[gnu::noinline, gnu::cold]] void element_content(const ast::Inlines& content);
    // A delimited node's element form: its tag, its content as
    // `element_content` writes it (white space it holds alone as the
    // characters), its closing tag.
    [[gnu::noinline, gnu::cold]] void element_form(std::string_view tag, const ast::Attr& attr,
                                                   const ast::Inlines& content);
    [[gnu::noinline, gnu::cold]] bool element_form_settled(std::string_view delim, std::string_view tag,
                                                           const ast::Attr& attr, const ast::Inlines& content,
                                                           bool first_of_same);
    // `delimited` of an emphasis (`delim_len` 1) or strong (2) whose element
    // form would lose a key, outside all delimited nodes, written at the end
    // of the text, tried again after an attribute block giving nothing to the
    // node whose "*" closer its opener would meet (see reference_opener.cpp);
    // false, with nothing written, where it would still take its element
    // form. `after` and `after_closer` are as `delimited` found them.
    [[gnu::noinline, gnu::cold]] bool delimited_after_empty_block(std::size_t delim_len, const ast::Attr& attr,
                                                                  const ast::Inlines& content, char32_t after,
                                                                  bool after_closer);
    // A node of its kind inside a delimited node's delimiter form took its
    // element form and lost a key no tag can hold (see
    // `keys_lost_in_runs_`): noted by `note_key_lost_in_runs`, and
    // `delimiters_kept_over_lost_key` says whether the enclosing node keeps
    // its delimiter form all the same: the nodes lost were inside others
    // of their kind, or its own element form would lose a key too.
    [[gnu::noinline, gnu::cold]] void note_key_lost_in_runs(const ast::Attr& attr, int slot);
    [[gnu::noinline, gnu::cold]] bool delimiters_kept_over_lost_key(const ast::Attr& attr, int slot);
    // The first character a node writes, as far as a delimiter run before it
    // needs to know (0 for white space or nothing).
    char32_t lead_char(const ast::Inline& node) const;
    void operation(const ast::Operation& op);
    void block_quote(const ast::BlockQuote& quote);
    // For the ordered list blocks[i] before a list, numbered from
    // `numbered_from` (its last item with the number before `last_number`
    // where that is not 0): where the reader would read that list on as its
    // items, the raw HTML block its last item ends in, a container's tag
    // alone, is to be written as the container's tag (see
    // `probe::opener_ending`, and `blocks`).
    [[gnu::noinline, gnu::cold]] void keep_opener_before_list(const ast::Blocks& blocks, std::size_t i,
                                                              std::size_t count, std::uint64_t last_number,
                                                              std::uint64_t numbered_from);
    // Whether `opener`, a container's tag written last in its blocks, is
    // that one, which stays the container's tag (and ends the container for
    // a closing tag after it); then it is recorded as written so.
    [[gnu::noinline, gnu::cold]] bool opener_kept_at_end(const ast::HtmlBlock& opener);
    // Whether the last item of `l`, the list written last or the one before
    // it, ends in such a tag written so. (False where the lists after `l`
    // wrote more such tags since: the reader is asked then.)
    [[gnu::noinline, gnu::cold]] bool kept_opener_ended(const ast::List& l) const;
    void list(const ast::List& list);
    // `list` for an ordered list that the reader may keep a list only by
    // the lines of the paragraphs of white space in its items (see
    // `probe::blanks_keep_list`): those are written as character references.
    [[gnu::noinline, gnu::cold]] void list_keeping_blanks(const ast::List& list);
    // Whether a paragraph of white space alone with attributes `attr` is
    // written as its character references: where its attribute line needs
    // it, or in such a list's items.
    [[gnu::noinline, gnu::cold]] bool writes_blank(const ast::Attr& attr) const;
    // Whether `written`, a list written from `mark` on, reads back as one
    // paragraph after the blocks written from `chain` on (the lists the
    // reader numbers it on from), under the heading over them.
    bool reads_as_paragraph_after(std::size_t chain, std::size_t mark, std::string_view written) const;
    // Where the reader is asked about the blocks written from a chain's
    // start on (see `blocks`): from the last of them known to begin a
    // segment of its own, with the numbering state there.
    struct NumberingCut;
    // Whether the ordered list written last, after the ordered list `prev`
    // written from `prev_at` on that leaves raw HTML open, reads back as a
    // paragraph of its own (`chain_at` and `chain_heading` as for
    // `item_after_open_html`), read on from `cut`, which it moves on.
    [[gnu::noinline, gnu::cold]] bool reads_as_text_after(const ast::List& prev, std::size_t prev_at,
                                                          std::size_t chain_at, unsigned chain_heading,
                                                          NumberingCut& cut) const;
    // Whether the paragraph written from `start` on reads otherwise after
    // the blocks written from `chain_at` on (under a heading of level
    // `chain_heading`) than alone; moves `cut` on to it when it can.
    bool numbered_on(NumberingCut& cut, std::size_t chain_at, unsigned chain_heading, std::size_t start);
    // The last number of the lists the reader numbers on before the block
    // written next, from the blocks written from `chain_at` on (read on from
    // `cut`, as `numbered_on` does); 0 where it numbers none on.
    std::uint64_t chain_last(NumberingCut& cut, std::size_t chain_at, unsigned chain_heading);
    // For the ordered list blocks[i], written next after the blocks from
    // `list_chain_at_` on (the reader's numbering read from `cut`): the
    // number after the one its last item is written with so that the lists
    // after it read back as lists (see `blocks`).
    [[gnu::noinline, gnu::cold]] std::uint64_t last_number_for_lists(const ast::Blocks& blocks, std::size_t i,
                                                                    std::size_t count, unsigned heading,
                                                                    NumberingCut& cut);
    // The items of a list, then its attribute line and blank line.
    void items(const ast::List& list);
    // For the blocks of a div without attributes, inside which a div
    // without attributes opening an item is written as its content: records
    // those divs, at any depth, whose ordered lists are lists only by them,
    // as keeping their fences (`keeps` judges an item with other blocks than
    // its own). Each outermost such div is walked once.
    [[gnu::cold, gnu::noinline]] void fence_item_divs(const ast::Blocks& blocks,
                                                      bool (*keeps)(const ast::ListItem&, const ast::Blocks&));
    // Whether the div `d` is one of those.
    [[gnu::cold, gnu::noinline]] bool fences_item(const ast::Div& d) const;
    void definition_list(const ast::DefinitionList& list);
    // A backslash before the "." of an item number ("12.") that begins the
    // line written from `line_start` on.
    void escape_item_number(std::size_t line_start);
    // Escapes the item number of the paragraph written from `start` on when
    // the block `prev` written from `prev_at` on would take it as its next
    // item, or the list written last (`prev_list`) is an ordered list that
    // leaves raw HTML open, or the blocks written from `chain_at` on (from
    // one that began with "1.", under a heading of level `chain_heading`, or
    // none when above 6) would number it on as a list of other text.
    void item_after_open_html(const ast::Block* prev, const ast::List* prev_list, std::size_t prev_at,
                              std::size_t chain_at, unsigned chain_heading, NumberingCut& cut, std::size_t start);
    void write_math(std::string_view tex);
    // Whether `tex` written between "$$" after the current line reads back
    // as that math, and not as part of an e-mail address.
    bool dollars_read_as_math(std::string_view tex) const;
    // Writes the "[" opening the paragraph written from `start` on (after
    // any item numbers) as a reference when the reader would take the
    // paragraph's start for a link reference definition ("[a`]: b`" from
    // text and a code span); tells whether it did.
    bool hide_link_definition(std::size_t start) {
        // (Only a paragraph opening with "[" or an item number may be one:
        // most are passed without a call.)
        if (start >= out_.size()) return false;
        const char c = out_[start];
        return (c == '[' || (c >= '0' && c <= '9')) && hide_link_definition_at(start);
    }
    [[gnu::noinline]] bool hide_link_definition_at(std::size_t start);
    // Writes the "[" opening the line written from `start` on as a
    // reference when the reader would take the line for a footnote
    // definition ("[^a]" and a code span holding "]:"); tells whether it
    // did.
    bool hide_footnote_definition(std::size_t start);
    // Whether the line written from `start` on opens a footnote definition.
    bool opens_footnote_line(std::size_t start) const {
        // (Only one opening with "[^" or an item number may: most lines are
        // passed without a call.)
        if (start + 1 >= out_.size()) return false;
        const char c = out_[start];
        if (c == '[' ? out_[start + 1] != '^' : (c < '0' || c > '9')) return false;
        return footnote_definition_at(start);
    }
    [[gnu::noinline]] bool footnote_definition_at(std::size_t start) const;
    // `content`, written from `mark` on (its notes from `notes_mark` on),
    // with the reference that begins its first line as the text "[^label]";
    // the notes written are dropped again, the demoted one's kept.
    ast::Inlines demote_line_reference(const ast::Inlines& content, std::size_t mark, std::size_t notes_mark);
    // Whether the first line being written (`first_line_start_`) begins
    // with "[^", after any item numbers.
    [[gnu::noinline]] bool footnote_line();
    // Writes the start of `s` up to its last ":" after a "]", each such ":"
    // escaped, and leaves the rest in `s` (see `footnote_line`).
    [[gnu::noinline, gnu::cold]] void escape_label_ends(std::string_view& s);
    void code_block(const ast::CodeBlock& code);
    void code_block_as_word(const std::string& lang, std::string_view code, ast::Attr written);
    // A code block with a pair whose key only an attribute line keeps,
    // written with its pairs on that line where the reader gives it one;
    // false where it does not.
    [[gnu::cold, gnu::noinline]] bool code_block_with_line(const ast::CodeBlock& code);
    void fenced_code(std::string_view text, std::string_view info);
    void pipe_table(const ast::Table& table);
    void html_fallback(const ast::Block& block);
    // A div written in `out_` from `begin` to `end` (after its closing
    // fence's blank line), fenced with `fence` colons, or (`fence` 0) the
    // lines of a quote or list item written inside a div, with the lengths
    // of their lines of colons alone: the div around them looks past them
    // for those.
    struct WrittenDiv {
        std::size_t begin, end, fence;
        ColonLines colons;
    };
    std::string nested(const ast::Blocks& blocks);
    // The text of a div's `blocks` written alone; `divs` is told the divs
    // written in it as their text stands there.
    std::string div_content(const ast::Blocks& blocks, std::vector<WrittenDiv>& divs);
    // Moves the divs written in `out_` to `divs` (when given) and leaves
    // the list as it was before `out_` was set aside.
    [[gnu::cold, gnu::noinline]] void take_divs(std::vector<WrittenDiv>* divs);
    // Forgets the divs written in `out_` that end past `at`, where the text
    // is taken back or moved.
    [[gnu::noinline]] void forget_divs_after(std::size_t at);
    // The lengths of the lines of colons alone in `text`, written with
    // `divs` in it; without its first line with `later`.
    ColonLines colon_lines(std::string_view text, std::span<const WrittenDiv> divs, bool later = false);
    // The text of the blocks of a list item or quote (see `Lines`).
    struct Lines;
    Lines nested_lines(const ast::Blocks& blocks);
    // Those of the lines a quote or item with `text` wrote from `begin` on
    // in `out_` (without the first with `later`).
    ColonLines written_colons(const Lines& text, std::size_t begin, bool later);
    // Inside a div, keeps those for the div around them (see `colon_lines`).
    void written_lines(const Lines& text, std::size_t begin);
    // An item's task marker and escapes on its first line; whether its
    // text starts on a line after the marker's. Sets `body` to the text.
    // `padded`: the marker is padded for raw HTML after the list.
    bool prepare_item(const ast::List& list, const ast::ListItem& item, Lines& text, std::string_view& body,
                      bool padded = false);
    // One item with its text, prepared, then its attribute line.
    void item(const ast::ListItem& item, std::string_view marker, Lines& text, std::string_view body, bool own_line);
    // A quote with the text of its blocks, then its attribute line.
    void quote(const ast::BlockQuote& quote, Lines& text);
    // Split text, each line after its leads: `first_lead` on the first,
    // `lead` on later lines with text, `empty_lead` on empty ones.
    void split_lines(const Lines& text, std::string_view first_lead, std::string_view lead, std::string_view empty_lead);

    std::string out_;
    // The divs written in `out_`, in order, from `divs_from_` on (see
    // `WrittenDiv`); those before it were written in the texts that nested
    // writing set aside. Text written elsewhere and moved into `out_` (a
    // quote's lines) brings none: the div around it reads its lines again.
    std::vector<WrittenDiv> written_divs_;
    std::size_t divs_from_ = 0;
    std::size_t fence_lines_read_ = 0;  // see `fence_lines_read`
    // Inline notes met while writing, in order, each with its label
    // "__note{n}" and a copy of its content.
    std::vector<std::pair<std::string, ast::Inlines>> notes_;
    // Whether a footnote of the document is written under a label
    // "__note{n}" (looked for with the first note met: -1 until then).
    signed char note_labels_taken_ = -1;
    // How many link, image or span brackets enclose the text being written.
    int bracket_depth_ = 0;
    // How many image descriptions enclose the text being written, and
    // whether an element form was written in the innermost.
    int description_depth_ = 0;
    bool element_in_description_ = false;
    // How many nodes delimited by "*", "=" and "~" (in that order) enclose
    // the text being written in their delimiter form.
    int same_depth_[3] = {0, 0, 0};
    // Those of them outside the innermost link, image or span brackets: the
    // reader pairs the runs inside the brackets among themselves once it
    // finds their end, and an opener there closes no node outside. (Only
    // a node whose element form would lose a key is judged by them: the
    // others keep the form they had.)
    int outside_brackets_[3] = {0, 0, 0};
    static int delimiter_slot(char32_t c) { return c == '*' ? 0 : c == '=' ? 1 : 2; }
    // How many list items and footnotes enclose the block being written:
    // there the reader reads a line of white space as empty, also inside
    // code and math.
    int blank_lines_empty_ = 0;
    // How many divs enclose the block being written.
    int div_depth_ = 0;
    // How many containers the reader opens around the block being written
    // (a list and its item count two; markdown containers are counted
    // apart in `container_names_`).
    unsigned depth_ = 0;

    bool bare_div_ = false;  // see `wrote_bare_div`
    // Whether the innermost div around the block being written has no
    // attributes, and so a fence of three colons.
    bool in_bare_div_ = false;
    // Set for a div without attributes that must keep a fence of its own
    // where it would otherwise be written as its content (see `blocks`).
    bool fence_bare_div_ = false;
    // Set for a span's try with its brackets whose emphasis and strong
    // inside are written between "_" runs wherever those may pair (see
    // `span_kept_bracketed`).
    bool underscores_wanted_ = false;
    // The divs without attributes opening list items that keep a fence of
    // their own inside a div without attributes, as their lists are lists
    // by them (see `fence_item_divs`).
    std::unique_ptr<std::unordered_set<const ast::Div*>> fenced_item_divs_;
    // Whether the next bullet list is written with "*" (see `blocks`).
    bool alt_bullet_ = false;
    // Set before `blocks` writes a footnote's blocks: that call records the
    // first of them that writes more than white space in `first_shown_`.
    bool find_first_shown_ = false;
    const ast::Block* first_shown_ = nullptr;
    std::size_t last_block_at_ = 0;
    const ast::Block* last_leaf_ = nullptr;  // see `last_leaf`
    std::size_t last_leaf_at_ = 0;
    // The div written as its content last (see `last_leaf`).
    bool ends_in_leaf(const ast::Block& b) const {
        return content_div_ && b.as<ast::Div>() == content_div_ && last_leaf_;
    }
    const ast::Div* content_div_ = nullptr;
    std::vector<std::size_t>* block_starts_ = nullptr;
    // The names of the tags written as markdown containers' and not yet
    // closed; their blocks may stand in a div written as its content.
    std::vector<std::string> container_names_;
    // The raw HTML block, the end of an ordered list's last item, to be
    // written as a markdown container's tag though nothing follows it there
    // (see `keep_opener_before_list`), and the last two written so (that of
    // a list, and of the list after it).
    const ast::HtmlBlock* kept_opener_ = nullptr;
    const ast::HtmlBlock* written_kept_openers_[2] = {nullptr, nullptr};
    // Set when `list` wrote a list as the paragraph the reader reads it as.
    bool wrote_text_ = false;
    // Set while the items of an ordered list that the reader keeps a list
    // by the lines of their paragraphs of white space are written: those
    // are written as character references.
    bool keep_blanks_ = false;
    // For the list `blocks` writes next: where the blocks the reader numbers
    // it on from begin (npos: none), and the level of the heading over them.
    std::size_t list_chain_at_ = static_cast<std::size_t>(-1);
    unsigned list_chain_heading_ = 255;
    // Whether the run being written may go on over lines: a paragraph's
    // (see `inlines`), not a heading's, a cell's or a caption's.
    bool lines_allowed_ = false;
    // When not 0, the number the next ordered list's items start from.
    std::uint64_t continue_at_ = 0;
    // When not 0, the number after the one of the last item of the ordered
    // list written next (see `last_number_for_next`).
    std::uint64_t last_number_ = 0;
    // The delimiter length of the nearest node being written in its
    // delimiter form (0 outside any).
    std::size_t enclosing_delim_len_ = 0;
    // The character after that node's closing delimiter (kBlank: white space
    // or the end).
    char32_t enclosing_after_ = kBlank;
    // Whether that node's closer shares its run with its own parent's.
    bool enclosing_closer_shared_ = false;
    // Whether the nearest enclosing node written with delimiters is a strong
    // emphasis without attributes (element forms in between do not count):
    // the reader merges a plain strong written there into it.
    bool in_plain_strong_ = false;
    // The character that follows the inline being written (kBlank: white
    // space or the end), and whether it is the closer of a delimited parent.
    char32_t after_ = kBlank;
    bool after_is_closer_ = false;
    // The delimiter character of a parent whose opener was just written;
    // seen by its first child only.
    char32_t opened_by_ = 0;
    // Set while `span_kept_bracketed` tries a span with its brackets (to
    // the try's list of where each address it writes bare ends in `out_`):
    // a "www." address, or one with a scheme (see `probe::bare_www_fits`),
    // is written bare wherever the reader keeps it whole, and spans inside
    // are judged by that rule and not tried again. Set
    // also while a span it tried takes its element form instead, so that
    // no part of the text is tried more than once.
    std::vector<std::size_t>* www_kept_ = nullptr;
    bool span_tried_ = false;
    // Which nodes tried in their delimiter form hold a node of their kind
    // that took its element form and lost a key no tag can hold: by slot
    // (see `same_depth_`), a bit for how many of its kind enclose the node
    // in their delimiter form, it too (the 16th and deeper take none); and
    // whether any does. The runs of the node inside would have met the
    // enclosing node's: "==" first in a highlight merges with its opener,
    // "~~" after punctuation and before a "[" would close the strikeout
    // around it. The enclosing node then takes its element form, after
    // whose tag the node inside pairs its delimiters.
    bool any_key_lost_in_runs_ = false;
    std::uint16_t keys_lost_in_runs_[3] = {0, 0, 0};
    // Where the last node written whose form may end in a character of its
    // own, neither white space nor punctuation, ended in `out_`: raw HTML,
    // a template's token, a "www." address written bare.
    std::size_t own_end_ = std::string::npos;
    // Set while `delimited_after_reference` tries its node.
    bool reference_tried_ = false;
    // Set while `delimited_after_empty_block` tries its node.
    bool empty_block_tried_ = false;
    // Whether the raw HTML block written next keeps the white space before
    // its tag: where it starts a line of its own after a block that no
    // indented line goes on.
    bool html_indent_kept_ = false;
    // Set for the call of `blocks` that writes a quote's blocks: a raw HTML
    // block first in it keeps the white space before its tag, which follows
    // the quote's marker and its space.
    bool quote_blocks_ = false;
    // Alike for a footnote's blocks, whose first raw HTML block goes on
    // the line after the label, indented four columns.
    bool footnote_blocks_ = false;
    // Alike for a list item's blocks, whose first raw HTML block then goes
    // on the line after the marker (see `prepare_item`).
    bool item_blocks_ = false;
    // The column where the last item of the list `items` writes next starts
    // its content, when further in than its marker puts it (see `blocks`).
    std::size_t last_item_column_ = 0;
    // Whether a pipe table's cell is being written: the reader splits its
    // row at every "|" not escaped, code spans too, and drops the
    // backslash of an escaped one before it reads the cell's inlines.
    bool in_cell_ = false;
    // Labels of the footnotes that "[^label]" may refer to, each with the
    // label it is written under.
    std::unordered_map<std::string, std::string> footnote_labels_;
    // The labels written, sorted; made when first asked for.
    std::vector<std::string_view> sorted_labels_;
    // Where the last node that takes trailing attributes ended in `out_`.
    std::size_t attr_target_end_ = std::string::npos;
    // Where the last footnote reference ended in `out_`.
    std::size_t ref_end_ = std::string::npos;
    // Where the first line of the paragraph or term being written starts in
    // `out_`, until that line ends (npos outside one): a line beginning
    // with "[^" there opens a footnote definition at its first "]:".
    std::size_t first_line_start_ = std::string::npos;
    // Whether that line begins with "[^" after any item numbers: -1 while
    // not yet settled, else 0 or 1 (see `footnote_line`).
    int footnote_line_ = -1;
    const ast::Document& doc_;
};

}  // namespace tavrel::write_md
