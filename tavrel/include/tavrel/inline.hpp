// The inline half of the Markdown reader: turns the raw inline text of one
// block into `ast::Inline` nodes.
//
// One left-to-right scan with a small state (`InlineScanner`): plain
// characters gather in a pending buffer, each recognised construct becomes a
// node of a flat list, delimiter runs and opening brackets wait on two
// stacks, and the tree is built at each closing bracket and at the end by
// delimiter processing and link resolution. Nodes are never removed while
// scanning; liveness flags stand in for removal so that the indices held by
// delimiters and brackets stay valid.
//
// The parser never fails: text that forms no construct stays literal text.
// Hostile input is bounded: inline nesting stops at `max_inline_depth`
// (deeper constructs stay literal text) and unmatched openers of every kind
// cost amortised constant time, so a call is linear in the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/options.hpp"

namespace tavrel::inline_ {

// Deepest nesting of inline containers the parser builds. Far above real
// text; it keeps recursive walks of the tree (coalescing, writing) within a
// worker thread's stack.
inline constexpr std::uint32_t max_inline_depth = 256;

// Entry: the inlines of one block's raw inline text. Safe to call from any
// number of threads with the same context.
ast::Inlines parse_inner(std::string_view text, const InlineContext& context);

// Appends `inline`, merging it into the last element when both are Text.
void push_coalesced(ast::Inlines& list, ast::Inline&& inline_);

// The list rebuilt with adjacent Text merged, recursively; attribute-free
// Strong directly inside attribute-free Strong collapses into one level.
ast::Inlines coalesce(ast::Inlines list);

// Raw text with its character references decoded, except that the "&" at
// each of `escaped_amps` (ascending offsets) is an escaped one, kept as it
// is and never the start of a reference.
std::string decode_text(std::string_view raw, const std::vector<std::size_t>& escaped_amps);

// The same for a list whose containers are already coalesced: adjacent Text
// merged at this level only, and, when `parent_is_plain_strong`, the
// attribute-free Strong children replaced by their children. The parser
// coalesces every container as it builds it, so that no content is walked
// again at each enclosing level.
ast::Inlines coalesce_level(ast::Inlines list, bool parent_is_plain_strong);

// ---------------------------------------------------------------------------
// Scanner state, shared by the scan, delimiter processing and link resolution.

// One entry of the scanner's node list. Its inline is held compactly: a
// Text (most nodes) as its string, any other kind boxed, so that the list
// of a long hostile run stays a small multiple of the text's size.
struct Node {
    std::string text;                    // the Text's text, when `other` is empty
    std::unique_ptr<ast::Inline> other;  // any other kind
    // For a Text node of plain scanned text: the input bytes it was read
    // from (SIZE_MAX when it holds marker characters such as "[" or a run).
    std::size_t raw_start = SIZE_MAX;
    std::size_t raw_end = SIZE_MAX;
    std::uint32_t depth = 0;  // container nesting below and including this node
    bool alive = true;

    bool is_text() const { return !other; }
    void set(ast::Inline in) {
        if (auto* t = in.as<ast::Text>()) {
            text = std::move(t->text);
            other.reset();
        } else {
            other = std::make_unique<ast::Inline>(std::move(in));
        }
    }
    // Moves the inline out, leaving the node empty.
    ast::Inline take() {
        if (other) {
            ast::Inline in = std::move(*other);
            other.reset();
            return in;
        }
        return ast::Text{std::move(text)};
    }
};

struct Delimiter {
    std::uint64_t node = 0;   // index of the Text node holding the run
    std::uint64_t pos = 0;    // byte offset of the first unused character
    std::uint64_t count = 0;  // characters not yet used
    char32_t ch = 0;          // '*', '_', '~' or '='
    bool can_open = false;
    bool can_close = false;
    bool active = true;
};

// An attribute block and the bytes it takes.
struct TrailingAttr {
    ast::Attr attr;
    std::size_t len = 0;
};

enum class BracketKind : std::uint8_t { Link = 0, Image = 1, Note = 2 };

struct Bracket {
    std::uint64_t node = 0;  // index of the Text node "[", "![" or "^["
    std::uint64_t pos = 0;   // byte offset just after the opener
    BracketKind kind = BracketKind::Link;
    bool active = true;
};

class InlineScanner {
public:
    InlineScanner(std::string_view text, const InlineContext& context);

    // Raw literal text since the last node (references not yet decoded; the
    // "&"s that escapes made are listed in `escaped_amps_`).
    std::string pending;
    std::string_view text;
    const InlineContext& context;
    std::vector<Node> nodes;
    std::vector<Delimiter> delimiters;
    std::vector<Bracket> brackets;

    // Pushes the pending text, decoded, as a Text node (nothing when empty).
    void flush_text();
    // Flushes, then pushes the bracket's Text node and the bracket.
    void push_bracket(BracketKind kind, std::size_t pos);
    // Attaches the attribute blocks at `pos` to `inline_` (when its kind takes
    // attributes) and pushes it; returns the position after them.
    std::size_t push_with_attrs(ast::Inline inline_, std::size_t pos);
    // The same for node `index`, also honouring a "ref" key.
    std::size_t apply_trailing_attrs(std::size_t index, std::size_t pos);
    // Nodes the "ref" values of trailing blocks reached so far (for tests of
    // the bound).
    std::size_t ref_steps() const { return ref_steps_; }

    // Pushes an alive node of the given nesting depth; returns its index.
    std::size_t push_node(ast::Inline inline_, std::uint32_t depth = 0);
    void kill(std::size_t index);
    // First alive node at or after `index` (nodes.size() when none).
    std::size_t next_alive(std::size_t index);
    // Whether a node at the depth cap lies in [first, last).
    bool holds_capped(std::size_t first, std::size_t last) const;
    // Moves the alive nodes of [first, last) out and kills them, except the
    // first when `keep_first` (its slot then receives the new node through
    // `place`); `depth` receives their greatest depth.
    ast::Inlines take_range(std::size_t first, std::size_t last, std::uint32_t& depth, bool keep_first = false);
    // Stores a built node in an alive slot.
    void place(std::size_t index, ast::Inline inline_, std::uint32_t depth);
    // Index of the first delimiter whose node is at or after `node`.
    std::size_t first_delimiter_at(std::size_t node) const;
    // The attribute block ("{...}" or "{:...}") at `pos`, as `trailing_attr`
    // reads it, with the closing brace found through remembered walks, so
    // that many unclosed "{" cost linear time in all.
    std::optional<TrailingAttr> attr_block(std::size_t pos);

    // The ")" closing the "(" at `open` of an inline link destination, or
    // nothing (none, or nesting deeper than the options allow). Every "(" of
    // the text from the first one asked about is matched in one walk;
    // callers ask at increasing offsets.
    std::optional<std::size_t> paren_close(std::size_t open);

    ast::Inlines run();

private:
    bool fast_path() const;
    std::size_t step(std::size_t pos);
    std::size_t code_span(std::size_t pos);
    std::optional<std::size_t> math(std::size_t pos);
    std::size_t delimiter_run(std::size_t pos);
    std::optional<std::size_t> angle(std::size_t pos);
    std::optional<std::size_t> bare_autolink(std::size_t pos);
    std::size_t close_bracket(std::size_t pos);
    bool bracket_active(std::size_t index) const;
    void pop_bracket();
    std::size_t line_break(std::size_t pos);
    bool has_byte_between(std::vector<std::size_t>& positions, std::size_t from, std::size_t to);
    void build_byte_tables();
    std::optional<std::size_t> brace_close(std::size_t open);
    std::size_t word_stop(std::size_t from);

    std::size_t scan_pos_ = 0;       // position of the construct being read
    std::size_t ref_steps_ = 0;      // see `ref_steps`
    std::size_t pending_start_ = 0;  // input offset where the pending text began

    // For every 64th offset and each state of the attribute-block walk
    // (quote none/double/single times escape pending): the offset of the "}"
    // a walk standing there would end at, UINT32_MAX for none, or unknown.
    std::vector<std::uint32_t> brace_checkpoints_;
    std::vector<std::size_t> brace_visited_;  // scratch of one walk
    // For every 64th offset: the first "=" or white space at or after it.
    std::vector<std::uint32_t> word_checkpoints_;

    std::vector<std::size_t> alive_link_;  // union-find: next alive node at or after an index
    std::vector<std::size_t> capped_;      // nodes at the depth cap, sorted
    std::size_t link_floor_ = 0;           // link brackets below this stack index are inactive
    std::size_t escaped_backslash_end_ = SIZE_MAX;  // pending length right after an escaped "\"
    // Offsets in `pending` of the "&"s that an escape ("\&") made: they
    // start no character reference. Kept beside the text rather than as a
    // mark in it, so that no byte of the input can be taken for one.
    std::vector<std::size_t> escaped_amps_;

    // Remembered failed closer searches: "\]", "\)", "$$" and single "$".
    struct Failed {
        bool set = false;
        std::size_t from = 0;
    };
    Failed failed_[4];

    // Backtick runs after the first code span opener: start offsets by run
    // length, built once so that every closer search is a lookup.
    bool runs_built_ = false;
    std::unordered_map<std::size_t, std::vector<std::size_t>> runs_;

    // Matching ")" of every unescaped "(" from the first inline-link attempt
    // on, with the nesting height inside, built in one walk.
    struct Paren {
        std::size_t open;
        std::size_t close;  // SIZE_MAX when unmatched
        std::size_t height;
    };
    bool parens_built_ = false;
    std::vector<Paren> parens_;

    // The end of the last bare URL candidate measured, and where the
    // measuring began: every later start up to that end shares it.
    std::size_t url_end_from_ = SIZE_MAX;
    std::size_t url_end_ = 0;

    bool any_at_ = true;  // the text holds an "@" (cross-references and e-mail need one)
    // Sorted offsets of "@" and ";" (cross-reference and e-mail prefilters).
    bool bytes_built_ = false;
    std::vector<std::size_t> at_pos_;
    std::vector<std::size_t> semi_pos_;
};

// Delimiter processing over the delimiters whose node lies in [bottom, top).
void process_delimiters_range(InlineScanner& scanner, std::size_t bottom, std::size_t top);

// ASCII punctuation or a Unicode punctuation category (Pc Pd Ps Pe Pi Pf Po);
// symbols are not punctuation here.
bool is_flanking_punct(char32_t c);

// Position of the closing "^" or "~" of a one-word script span whose content
// starts at `start`, or nothing.
std::optional<std::size_t> script_end(std::string_view text, std::size_t start, char marker);

// ---------------------------------------------------------------------------
// Links, images, footnote references and cross-references.

struct XrefSeg {
    std::string key;
    std::optional<std::string> prefix;
    bool bare = false;
    ast::Attr attr;
};

// Spaces, tabs, line feeds and carriage returns trimmed from both ends.
std::string_view trim_link_space(std::string_view text);

struct DestinationTitle {
    std::string destination;
    std::optional<std::string> title;
};
// The destination and optional title written between the parentheses of an
// inline link, decoded; nothing when they are malformed.
std::optional<DestinationTitle> parse_link_destination_title(std::string_view inner, std::uint64_t max_depth);

// A Link (or Image) carrying the definition's destination, title and
// attributes, with empty content.
ast::Inline link_or_image_shell(bool image, const LinkRef& def);

// "[^label]" at `pos` naming a defined footnote: the label and the position
// after the "]".
struct FootnoteMatch {
    std::string label;
    std::size_t end = 0;
};
std::optional<FootnoteMatch> footnote_ref(std::string_view text, std::size_t pos, const FootnoteLabels& labels);

// One ";"-separated item of a cross-reference list; `single` is true when the
// list has exactly one item (only then may a prefix stand before the key).
std::optional<XrefSeg> ref_item(std::string_view item, bool single);

// Applies the value of a trailing "ref" attribute to a node.
void apply_ref_variant(ast::Inline& node, std::string_view value);
// Applies the "ref" values of several blocks, in their order, at once, as
// applying each in turn would: `joined` holds the non-empty ones separated by
// one space (what appending each to a "data-ref" value adds), `last` the last
// one (what setting each leaves). Returns the nodes it reached, the children
// of cross-reference lists included.
std::size_t apply_ref_values(ast::Inline& node, std::string_view joined, std::string_view last);
// The same, `attr` adding to the node's own attributes (a run of blocks
// after one node adds through one builder).
void apply_ref_variant(ast::Inline& node, ast::AttrBuilder& attr, std::string_view value);

// An attribute block ("{...}" or "{:...}") at the start of the text.
std::optional<TrailingAttr> trailing_attr(std::string_view text);

}  // namespace tavrel::inline_
