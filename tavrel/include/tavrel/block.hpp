// The block pass of the Markdown reader: the tree of block nodes built line
// by line (`ContainerBuilder`), the line-prefix helpers, the list, table and
// raw HTML recognisers, and the draft blocks that the pass hands to
// finalisation.
//
// The pass works in two steps so that no inline parsing happens before the
// whole document is known (a reference link may precede its definition):
// lines become builder nodes in an arena, nodes become `DraftBlock`s holding
// raw texts, and only then do drafts become `tavrel::ast::Block`s. Nodes
// refer to each other by index; the open containers are a stack of indices.
// The nesting of containers is bounded by `Options::max_block_depth`, so the
// recursive passes over nodes and drafts never run deeper than that.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/options.hpp"
#include "tavrel/template.hpp"

namespace tavrel::line {

// Columns of leading indentation (space 1, tab to the next multiple of 4)
// and the bytes they take.
struct Indent {
    std::size_t columns = 0;
    std::size_t bytes = 0;
};
Indent indentation(std::string_view line);

// True when the text holds nothing but White_Space.
bool is_blank(std::string_view text);

// Replaces each leading tab by spaces up to the next multiple of 4, counted
// from `column`; leading spaces are kept; the rest is copied.
std::string expand_leading_indent(std::string_view text, std::size_t column);

struct Line {
    // Reads `text` from byte `start`, where the reading column is `column`,
    // removing spaces and tabs until the column reaches `target`; a tab that
    // passes `target` leaves as many spaces as it reaches past it. The rest is
    // returned through `expand_leading_indent`; a text that is all white space
    // before `target` gives an empty result. With `expand` false the rest is
    // kept as written (content lines of nested code keep their tabs).
    static std::string strip_from(std::string_view text, std::size_t start, std::size_t column,
                                  std::size_t target, bool expand = true);
};

}  // namespace tavrel::line

namespace tavrel::attrs {

// What the info text after a code fence means: the text as written (braced
// form: through the closing brace), the language and the attributes.
struct FenceInfo {
    std::string info_text;
    std::optional<std::string> lang;
    ast::Attr attr;
};

// Reads a fence info in the braced form ("{.py #x}"), the shorthand form
// (".py{#x}") or the language form ("py {.x}"). Never fails.
FenceInfo parse_fence_info(std::string_view info);

// The Attr of an attribute text written without braces (".cls#id"), or
// nothing when the braced text is not entirely one attribute block.
std::optional<ast::Attr> parse_synthetic_attrs(std::string_view text);

// Byte position of the "{" of an attribute block that ends the line, and the
// end of the line with trailing white space removed; nothing when the line
// ends in no block that looks like attributes.
struct AttrSpan {
    std::size_t start = 0;
    std::size_t end = 0;
};
std::optional<AttrSpan> trailing_attr_span(std::string_view line);

// The text without its trailing attribute block (trailing white space
// removed) and the block's attributes; without a block, the trimmed text and
// an empty Attr.
std::pair<std::string, ast::Attr> strip_trailing_attr(std::string_view text);

}  // namespace tavrel::attrs

namespace tavrel::block {

using ast::Attr;
using TextRow = ast::TableRowData<std::string>;
using TextCell = ast::TableCellData<std::string>;

// ---------------------------------------------------------------------------
// Lines that continued list items' paragraphs lazily.

// A line that continued the paragraph of every open item from stack index
// `from` on. Items nested on one line all take each such line: kept once
// for all of them, a line costs the same at any nesting depth.
struct LazyLine {
    std::string_view text;
    std::size_t from = 0;
};

// The lazy lines of one item: the entries of the parse's log from the
// item's opening to its closing that reached its stack index.
struct LazyLines {
    const std::vector<LazyLine>* log = nullptr;
    std::size_t begin = 0;
    std::size_t end = std::string_view::npos;  // npos while the item is open
    std::size_t index = 0;                     // the item's index in the open stack

    template <class F>
    void each(F&& f) const {
        if (!log) return;
        std::size_t last = std::min(end, log->size());
        for (std::size_t i = begin; i < last; ++i)
            if ((*log)[i].from <= index) f((*log)[i].text);
    }
};

// ---------------------------------------------------------------------------
// Draft blocks: blocks after the block pass, texts still raw.

struct DraftBlock;
using DraftBlocks = std::vector<DraftBlock>;

struct DraftParagraph {
    Attr attr;
    std::string text;
};
struct DraftHeading {
    Attr attr;
    std::string text;
    std::uint8_t level = 1;
};
struct DraftBlockQuote {
    Attr attr;
    DraftBlocks blocks;
};
struct DraftListItem {
    Attr attr;
    DraftBlocks blocks;
    std::optional<bool> task;
    std::uint64_t number = 1;    // as written in the item's marker
    // The item's first line, marker included. Like `raw_lines`, a view into
    // the text being read (or the parser's kept lines): items nested on one
    // line share that line instead of each holding the rest of it.
    std::string_view first_line;
    std::size_t start_line = 0;  // 0-based input line of the marker
    // A line after the first reached the item's content column (rather than
    // continuing its paragraph lazily), so its text is no longer the text of
    // the lines as they stood.
    bool indented_lines = false;
    // The marker stood alone on its line and the item's content began on
    // the next ("3.\n   a"): the writer puts that line after the marker
    // (unless it opens a list item with a task box, which after item
    // numbers would be text), so it counts as the item's first line;
    // `raw_lines` holds it second.
    bool content_below = false;
    // A line continued the item's paragraph lazily (without the indentation
    // the writer gives an item's lines): the item was text, not a list.
    bool lazy_lines = false;
    // Where in the first line nesting stopped at the deepest containers:
    // the item markers from there on are the text of the innermost item,
    // not items (0 when nothing stopped it: the item's own marker is one).
    std::uint32_t markers_end = 0;
    // The item's lines as written (its first line with the marker, and the
    // line below a marker alone), when the block pass recorded them; then
    // come the lines that continued it lazily, `lazy`.
    std::vector<std::string_view> raw_lines;
    LazyLines lazy;
};
struct DraftList {
    Attr attr;
    std::vector<DraftListItem> items;
    std::uint64_t start = 1;
    bool ordered = false;
    bool tight = true;
    // The list began directly under a paragraph line of the same container.
    bool interrupts_paragraph = false;
};
struct DraftDefinitionItem {
    std::vector<std::string> terms;        // one per term line, trimmed
    std::vector<std::string> definitions;  // one per ":" line
};
struct DraftDefinitionList {
    Attr attr;
    std::vector<DraftDefinitionItem> items;
};
struct DraftCodeBlock {
    Attr attr;
    std::string info_text;
    std::optional<std::string> lang;
    std::string text;
};
using DraftHtmlBlock = ast::HtmlBlock;
struct DraftThematicBreak {
    Attr attr;
};
struct DraftTable {
    Attr attr;
    std::vector<ast::Align> aligns;
    std::vector<TextRow> head, body, foot;
    std::optional<std::string> caption;
    std::vector<std::pair<std::size_t, template_::TemplateToken>> interludes;
};
struct DraftDiv {
    Attr attr;
    DraftBlocks blocks;
};
struct DraftMathBlock {
    Attr attr;
    std::string tex;
    bool display = true;
};
struct DraftRawBlock {
    std::string format;
    std::string text;
};
struct DraftTemplateToken {
    template_::TemplateToken token;
};
struct DraftFormatBlock {
    std::string format;
    std::string text;
};

// Drafts of tables, code blocks and template tokens, large and rare, are
// kept behind a pointer, as in the document tree: a page of one-line items
// holds a draft per line.
template <class T>
using DraftSlot = std::conditional_t<(sizeof(T) > sizeof(DraftList)), ast::Boxed<T>, T>;

struct DraftBlock {
    using Node = std::variant<DraftSlot<DraftParagraph>, DraftSlot<DraftHeading>, DraftSlot<DraftBlockQuote>,
                              DraftSlot<DraftList>, DraftSlot<DraftDefinitionList>, DraftSlot<DraftCodeBlock>,
                              DraftSlot<DraftHtmlBlock>, DraftSlot<DraftThematicBreak>, DraftSlot<DraftTable>,
                              DraftSlot<DraftDiv>, DraftSlot<DraftMathBlock>, DraftSlot<DraftRawBlock>,
                              DraftSlot<DraftTemplateToken>, DraftSlot<DraftFormatBlock>>;

    template <class T>
        requires(!std::is_same_v<std::remove_cvref_t<T>, DraftBlock> &&
                 std::is_constructible_v<Node, std::in_place_type_t<DraftSlot<std::remove_cvref_t<T>>>, T &&>)
    DraftBlock(T&& value)  // NOLINT: implicit by design
        : node(std::in_place_type<DraftSlot<std::remove_cvref_t<T>>>, std::forward<T>(value)) {}

    template <class T>
    bool is() const {
        return std::holds_alternative<DraftSlot<T>>(node);
    }
    template <class T>
    T* as() {
        return ast::detail::get_unboxed<DraftSlot<T>>(node);
    }
    template <class T>
    const T* as() const {
        return ast::detail::get_unboxed<DraftSlot<T>>(node);
    }
    // `std::visit` over the draft's kind, the visitor seeing the kind itself.
    template <class F>
    friend decltype(auto) visit(F&& f, DraftBlock& b) {
        return ast::detail::visit_unboxed(std::forward<F>(f), b.node);
    }
    // The attributes of the kinds that take them, else null.
    Attr* attr();
    // The trace name of the kind ("paragraph", "list", ...).
    std::string_view kind_name() const;

private:
    Node node;
};

struct DraftFootnote {
    std::string label;
    DraftBlocks blocks;
};

// ---------------------------------------------------------------------------
// The trace: unclosed constructs, turned into diagnostics by the entry.

struct Event {
    std::string closer;     // the text that would have closed the construct
    std::string kind;       // "fenced code block", "raw HTML block", ...
    std::size_t line = 0;   // 0-based first line of the construct
};
struct Trace {
    std::vector<Event> events;
    std::uint8_t level = 0;  // block spans are recorded only above 0; never set
};

// ---------------------------------------------------------------------------
// Builder nodes.

struct DraftDefinitionItem;

// How a raw HTML block ends.
struct HtmlEndBlankLine {};
struct HtmlEndComment {};
struct HtmlEndBalanced {
    std::string name;  // lower case
    std::size_t depth = 0;
    // Whether a comment opened in the block's text up to `comment_scanned`
    // bytes is still open there: a markdown container's opening tag inside
    // it is comment text. Brought up to date only when such a tag ends a
    // line, so a long block is scanned once in all.
    bool in_comment = false;
    std::size_t comment_scanned = 0;
};
using HtmlBlockEnd = std::variant<HtmlEndBlankLine, HtmlEndComment, HtmlEndBalanced>;

namespace node {
struct HtmlContainer {
    std::string name;      // element name, lower case
    std::string open_tag;  // the opening tag without its markdown attribute
    // Set when the tag ended a line of a balanced raw HTML block: that
    // block's element name and depth after the line.
    std::optional<std::pair<std::string, std::size_t>> enclosing;
    bool closed = false;
};
struct Root {};
struct BlockQuote {
    Attr attr;
};
struct List {
    Attr attr;
    char marker_char = '-';  // '*', '+', '-', or '.' for ordered
    bool ordered = false;
    std::uint64_t start = 1;
    std::uint64_t last_number = 1;
    bool interrupts_paragraph = false;
};
struct ListItem {
    Attr attr;
    std::size_t content_width = 0;  // columns a continuation line must reach
    std::uint64_t number = 1;
    std::string_view first_line;  // as in `DraftListItem`
    std::optional<bool> task;
    bool has_content = false;  // a non-blank line went into the item
    bool indented_lines = false;  // a later line reached the content column
    bool content_below = false;   // as in `DraftListItem`
    bool lazy_lines = false;      // a later line continued its paragraph lazily
    std::vector<std::string_view> raw_lines;  // first line (and the line below), as written
    LazyLines lazy;                           // then its lazy lines
    bool saw_blank = false;    // a blank line followed the item's content
    // The last line was blank short of the content column: the writer
    // separates blocks inside an item with lines indented to it, so such a
    // line ends the list for the next item marker.
    bool short_blank = false;
    bool loose = false;
    std::uint32_t markers_end = 0;  // as in `DraftListItem`
};
struct FootnoteDef {
    std::string label;
};
struct DefinitionList {
    Attr attr;
    std::vector<DraftDefinitionItem> items;
};
struct Div {
    Attr attr;
    std::size_t fence_len = 3;
};
struct FencedCode {
    std::string info;  // after the fence run, as written
    std::string text;
    std::size_t fence_len = 3;
    std::size_t indent = 0;
    char fence_char = '`';
    bool closed = false;
};
struct MathBlock {
    Attr attr;
    std::string text;
    std::string closer;  // "$$" or "\\]"
    bool closed = false;
};
struct Paragraph {
    std::vector<std::string> lines;
};
struct Heading {
    Attr attr;
    std::string text;
    std::uint8_t level = 1;
};
struct ThematicBreak {
    Attr attr;
};
struct IndentedCode {
    std::string text;
};
struct HtmlBlock {
    std::string text;
    HtmlBlockEnd end;
    bool closed = false;
    // Where the opening tag of the markdown container that ended the block
    // begins in `text`, when one did.
    std::size_t container_tag = std::string::npos;
};
struct Table {
    Attr attr;
    std::vector<ast::Align> aligns;
    std::vector<TextRow> head, body, foot;
    std::vector<std::pair<std::size_t, template_::TemplateToken>> interludes;
    std::optional<std::string> caption;
    bool leading_pipe = false;
};
}  // namespace node

// A table, large and rare, is kept behind a pointer: a page of one-line
// items holds two nodes per line. Visit a node's kind with
// `BuildNode::visit_kind`, which sees the table itself.
using BuildKind = std::variant<node::HtmlContainer, node::Root, node::BlockQuote, node::List, node::ListItem,
                               node::FootnoteDef, node::DefinitionList, node::Div, node::FencedCode,
                               node::MathBlock, node::Paragraph, node::Heading, node::ThematicBreak,
                               node::IndentedCode, node::HtmlBlock, ast::Boxed<node::Table>>;

// The trace name of a node kind ("html_container", "paragraph", ...).
std::string_view build_kind_name(const BuildKind& kind);

struct BuildNode {
    std::vector<std::size_t> children;
    BuildKind kind;
    std::size_t start_line = 0;

    template <class T>
    using Slot = std::conditional_t<std::is_same_v<T, node::Table>, ast::Boxed<T>, T>;

    template <class T>
    T* as() {
        return ast::detail::get_unboxed<Slot<T>>(kind);
    }
    template <class T>
    const T* as() const {
        return ast::detail::get_unboxed<Slot<T>>(kind);
    }
    template <class T>
    bool is() const {
        return std::holds_alternative<Slot<T>>(kind);
    }
    template <class F>
    decltype(auto) visit_kind(F&& f) {
        return ast::detail::visit_unboxed(std::forward<F>(f), kind);
    }
    template <class F>
    decltype(auto) visit_kind(F&& f) const {
        return ast::detail::visit_unboxed(std::forward<F>(f), kind);
    }
};

class Parser;

// The tree of one segment of the document being read. Not shared between
// threads; lives for one call of the main line loop.
class ContainerBuilder {
public:
    explicit ContainerBuilder(const Options& options);

    std::vector<BuildNode> nodes;  // node 0 is the root
    std::vector<std::size_t> open;  // open containers, root at the bottom
    const Options& options;
    std::size_t line = 0;         // 0-based index of the current input line
    std::size_t line_offset = 0;  // bytes of stripped container prefixes
    bool leaf_open = false;       // the innermost container's last child takes continuations
    bool tracing = false;         // never set by the system's own parses

    BuildNode& top() { return nodes[open.back()]; }
    // Open containers below the root.
    std::size_t depth() const { return open.size() - 1; }
    // The last child of the innermost open container, or null.
    BuildNode* last_child();

    // Adds a node as the last child of the innermost open container and
    // returns its index; does not push it on the stack.
    std::size_t open_node(BuildKind kind);
    // Clears `leaf_open` unless the innermost container's last child is a leaf
    // that can still take lines; never sets it.
    void refresh_leaf_open();

    // Leaf placement: adds one non-blank line (container prefixes removed).
    void append_leaf_inner(std::string line, std::size_t depth);
    bool open_atx_heading(std::string_view line);
    // Whether a line continues the innermost open paragraph although not all
    // open containers matched it: it must start nothing else.
    bool continues_paragraph_lazily(std::string_view line) const;
    // Merges a standalone attribute line into the block before it, when that
    // block's kind takes attributes.
    bool attach_attrs(BuildNode& target, const Attr& attr, const std::string& line);

    // Pipe tables: the header/delimiter step and the body-row step.
    bool convert_paragraph_to_table(std::string_view line);
    void append_table_row(std::string_view line);

    // Raw HTML: opens a raw HTML block or a markdown container for the line.
    bool open_html_block(std::string_view line);
    bool open_html_container(std::string_view line);
    // Turns raw HTML text into its draft block (cleaning, template tokens);
    // appends unclosed-comment events to `trace`.
    DraftHtmlBlock draft_raw(std::string_view html, std::size_t first_line, Trace& trace,
                             std::size_t container_tag = std::string_view::npos) const;

    // Paragraph finishing: link reference definitions taken off the start,
    // attribute lines off the end; a template-token paragraph becomes a token.
    DraftBlocks finish_paragraph(const std::vector<std::string>& lines, std::size_t first_line, Parser& parser);
    // Drafts of a node's children, in order; footnote definitions go to the
    // parser's footnote list. `depth` bounds the recursion.
    DraftBlocks finish_children(std::size_t index, Parser& parser, std::size_t depth);
    void finish_node(std::size_t index, Parser& parser, std::size_t depth, DraftBlocks& out);

private:
    // A paragraph opened directly under an open definition list: its lines
    // may be the terms of the list's next item.
    std::optional<std::size_t> term_after_list_;
};

// ---------------------------------------------------------------------------
// Line-prefix, list and definition markers.

// A line whose first non-space character within 3 columns is ">" with the
// indentation, the ">" and one following column removed; other lines as they
// are.
std::string strip_quote_marker(std::string_view line, bool expand = true);

struct ListMarker {
    std::uint64_t start = 1;        // the item number; 1 for a bullet
    std::size_t marker_end = 0;     // byte after the marker
    std::size_t marker_column = 0;  // column after the marker
    std::size_t content_column = 0;
    char marker_char = '-';  // '*', '+', '-', or '.' for an ordered item
    bool ordered = false;
};
std::optional<ListMarker> list_marker(std::string_view line);
std::size_t list_content_indent(std::string_view line, std::size_t position, std::size_t column);
// The definition text of a ":" line.
std::optional<std::string> def_marker(std::string_view line);
// Whether a list item may start directly under a paragraph line.
bool list_interrupts_paragraph(std::string_view line);
// Whether a paragraph's run, in the shape the reader gives back, is written
// on more than one line: a break with something written before it and
// after it, outside inline notes. Which keeps an item "1." alone a list; the
// writer asks the same of the runs it writes.
bool written_on_lines(const ast::Inlines& run);

// One reverted list: the start lines of the paragraphs that replaced it.
struct RevertedList {
    std::vector<std::size_t> lines;
};
// Where the numbering rule stands between two top-level blocks: what a text
// read on from there is judged by (see `outline_blocks`).
struct Numbering {
    enum class Stage : unsigned char { None, Pending, Continued };
    Stage stage = Stage::None;
    // Pending on a list of one item, which is text unless a list numbers on
    // from it.
    bool single = false;
    std::uint64_t last = 0;  // the last item number of the lists numbered on
    unsigned heading_at_record = 255;
    unsigned heading = 255;  // the level of the last heading (255 before any)
    // Read on from such a state: whether the pending list of one item before
    // the text was ended unnumbered on (text, where it can be).
    bool earlier_ended = false;
};
// Reverts every ordered list that breaks the numbering rule into paragraph
// text, in place; descends into quotes, divs and list items.
// With `context` (the document's link definitions and footnote labels), an
// item whose later lines reached its content column is judged by the lines
// its text is written on.
void enforce_ordered_lists(DraftBlocks& blocks, std::vector<RevertedList>* reverted = nullptr,
                           const inline_::InlineContext* context = nullptr);
// The same with the top-level blocks judged on from `numbering`, which is
// left as it stands after the last block (before the end of the text ends
// a pending list).
void enforce_ordered_lists(DraftBlocks& blocks, const inline_::InlineContext* context, Numbering& numbering);
// The blocks that replace a reverted list, each with its item's start line.
std::vector<std::pair<DraftBlock, std::size_t>> revert_list(DraftList list);

// ---------------------------------------------------------------------------
// Pipe tables.

std::vector<std::string> raw_table_cells(std::string_view line);
std::optional<std::vector<std::string>> split_table_row(std::string_view line);
TextRow draft_inline_table_row(std::vector<std::string> cells, const std::vector<ast::Align>& aligns,
                               std::size_t columns);
std::vector<std::size_t> table_pipe_offsets(std::string_view line);
// The alignment of one delimiter cell, or nothing when it is not one.
std::optional<ast::Align> delimiter_align(std::string_view cell);

// ---------------------------------------------------------------------------
// Raw HTML.

std::optional<std::size_t> tag_name_end(std::string_view text);
std::optional<std::string> html_tag_name(std::string_view text);
std::optional<std::string_view> valid_open_tag_attrs(std::string_view attrs);
std::optional<std::size_t> parse_html_attr_value(std::string_view text, std::size_t pos);
bool is_void_html_tag(std::string_view name);
bool is_balanced_html_container_tag(std::string_view name);
bool is_raw_text_html_tag(std::string_view name);
bool is_md_block_html_tag(std::string_view name);
bool is_md_html_tag(std::string_view name);

struct MarkdownOpenTag {
    std::string name;      // lower case
    std::string open_tag;  // the tag without the markdown attribute
};
// The markdown-container opening tag that makes up the whole text.
std::optional<MarkdownOpenTag> markdown_open_tag(std::string_view text);
// Adds 1 per opening and subtracts 1 per closing tag of `name` in `text`.
void update_html_tag_depth(std::string_view text, std::string_view name, std::size_t& depth);
// Whether an HTML comment is open after `text`, given whether one was open
// before it.
bool html_comment_open_after(std::string_view text, bool open);

// The ends of the tags of one raw HTML text: for a "<", the first ">" after
// it that stands outside quotes. Cleaning asks for every known tag, and a
// text full of "<b " with no ">" would rescan to its end for each of them;
// after the first tag without an end, the answers for all later "<" come
// from one backward pass, so the work stays linear in the text.
class TagEnds {
public:
    explicit TagEnds(std::string_view text) : text_(text) {}
    // The ">" that ends the tag whose "<" is at `lt`, or nothing.
    std::optional<std::size_t> at(std::size_t lt);
    // Bytes and table entries examined so far (for tests of the bound).
    std::size_t steps() const { return steps_; }

private:
    std::string_view text_;
    std::size_t steps_ = 0;
    bool table_ = false;
    std::size_t base_ = 0;  // the table holds every "<" at or after this
    std::vector<std::pair<std::size_t, std::size_t>> ends_;  // ("<", its ">" or npos)
    std::optional<std::size_t> scan(std::size_t from);
    void build(std::size_t from);
};

// ---------------------------------------------------------------------------
// Block-start tests of the leaf placement.

bool starts_block(std::string_view line);
struct FenceStart {
    std::size_t run = 0;
    std::size_t indent = 0;
    char fence_char = '`';
    std::string info;
};
std::optional<FenceStart> fence_start(std::string_view line, char fence_char);

// The attributes of a standalone attribute line ("{:" body "}").
std::optional<Attr> attribute_line(std::string_view line);

// Whether a standalone attribute line may attach to a block of this kind.
bool span_kind_accepts_attrs(std::string_view kind_name);

// ---------------------------------------------------------------------------
// Link reference definitions.

// A destination in angle brackets or bare at the start of the text: the
// destination (escapes removed, references decoded) and the bytes taken.
std::optional<std::pair<std::string, std::size_t>> scan_link_ref_destination(std::string_view text);
// Whether the text, leading white space aside, begins with '"', "'" or "(".
bool starts_definition_title(std::string_view text);
// Whether a title opener is followed by its unescaped closer.
bool has_closing_definition_title(std::string_view text);
// The title (escapes of punctuation removed) and the bytes through its closer.
std::optional<std::pair<std::string, std::size_t>> scan_link_ref_title(std::string_view text);
// Empty text gives empty attributes; one braced block alone gives its own.
std::optional<Attr> parse_link_ref_attrs(std::string_view text);

struct LinkDefMatch {
    std::string label;
    inline_::LinkRef def;
    std::size_t next = 0;  // the first line after the definition
};
// A definition that starts at `lines[index]` and may run over the lines
// after it; nothing when none stands there.
std::optional<LinkDefMatch> scan_link_ref_def(const std::vector<std::string_view>& lines, std::size_t index);

// ---------------------------------------------------------------------------
// One top-level block of a text as the block pass reads it, numbered lists
// judged: the trace name of its kind ("paragraph", "list", ...) and, for a
// paragraph, its text before inline parsing.
struct BlockOutline {
    std::string_view kind;
    std::string text;
};
// What `parse_source` makes of a text's top-level blocks, and how many
// footnote definitions it finds, without the inline parsing: for a writer
// that asks how a text it wrote reads back.
struct DocumentOutline {
    std::vector<BlockOutline> blocks;
    std::size_t footnotes = 0;
    // With a numbering state given: the lines the top-level segments start on.
    std::vector<std::size_t> segment_lines;
};
// With `numbering`, the text is read as going on from blocks that left the
// numbering rule so (and the state is left as the text leaves it).
DocumentOutline outline_blocks(std::string_view text, const Options& options, Numbering* numbering = nullptr);

// The parser of one document.

class Parser {
public:
    // Splits the text into lines ("\r\n" and "\r" normalised to "\n").
    Parser(std::string_view text, const Options& options);
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    std::string normalised;               // the text when line endings were rewritten
    std::vector<std::string_view> lines;  // into the input or `normalised`
    // Line texts that list items record but that are no part of an input
    // line (a tab split into spaces before a lazy line), kept for the parse.
    std::deque<std::string> kept;
    // Every line that continued list items lazily, once (see `LazyLines`).
    std::vector<LazyLine> lazy_lines;
    // A view of `text` that lives as long as the parser: into `line` when
    // the text is its end, else into a copy in `kept`.
    std::string_view keep(std::string_view text, std::string_view line);
    Options options;
    std::vector<DraftFootnote> footnotes;
    Trace trace;
    inline_::LinkDefs link_defs;
    std::size_t pos = 0;  // next line to read
    // A line at which the previous segment ended because a list began right
    // under a paragraph at the top level.
    std::optional<std::size_t> interrupted_at;
    // For a text read on from a numbering state (see `outline_blocks`): that
    // state, and the lines the top-level segments start on.
    Numbering* numbering = nullptr;
    std::vector<std::size_t>* segment_lines = nullptr;

    // First definition of a normalised label wins.
    void add_link_def(std::string_view label, inline_::LinkRef def);
    // The block pass over one segment, from `pos` on.
    DraftBlocks container_block();
};

// Drafts become blocks; every inline text goes through the inline parser.
ast::Blocks finalize_blocks(DraftBlocks drafts, const inline_::InlineContext& context);
std::vector<ast::TableRow> finalize_table_rows(std::vector<TextRow> rows, const inline_::InlineContext& context);

}  // namespace tavrel::block
