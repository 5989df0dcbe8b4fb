// The HTML fragment renderer: document-tree nodes written as HTML text.
//
// The Markdown writer falls back on it for the nodes its dialect cannot
// express (tables that are not simple pipe tables, figures without an image,
// template calls with two or more arguments) and then appends a footnote
// section built from what this renderer recorded. So the renderer is not only
// a set of append-only writers: a `Renderer` also keeps, for one fragment, the
// footnote labels referenced (in order of first reference), their numbers,
// their reference counts and the inline notes it met. Output is deterministic:
// the same nodes always give the same bytes, and nothing is validated.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/template.hpp"

namespace tavrel::render {

// The state of one rendering. Made empty by its user, kept for one fragment,
// read afterwards by the user to build the fragment's footnote section. Not
// shared between threads.
struct Renderer {
    // (Ended out of line, so that the code of its maps is not inlined where
    // the Markdown writer makes one.)
    ~Renderer();

    // Every footnote label referenced, in the order of its first reference.
    std::vector<std::string> footnote_order;
    // The label's number: its 1-based position in `footnote_order`.
    std::unordered_map<std::string, std::uint64_t> footnote_numbers;
    // How many references to the label were written so far.
    std::unordered_map<std::string, std::uint64_t> footnote_ref_counts;
    // The content of every inline note met, under the label given to it
    // ("__note1", "__note2", ... in the order met, passing over the labels
    // of `pass_over_labels`).
    std::unordered_map<std::string, ast::Inlines> notes;

    // Makes the notes met pass over the labels of `footnotes` (the
    // document's own), as the Markdown writer numbers its notes: a note
    // labelled as a footnote would share its anchor, and the footnote
    // section could give only one of them. Called before rendering;
    // `footnotes` is read while notes are met, so must outlive that.
    void pass_over_labels(const std::vector<ast::Footnote>& footnotes) { footnotes_ = &footnotes; }
    void pass_over_labels(const std::vector<ast::Footnote>&& footnotes) = delete;

    // Appends one block as HTML to `out`.
    void block(const ast::Block& block, std::string& out);
    // Appends a run of inlines, in order, with nothing between them.
    void inlines(const ast::Inlines& inlines, std::string& out);
    // Appends one inline.
    void inline_node(const ast::Inline& node, std::string& out);
    // Appends one footnote reference, numbering the label on its first
    // reference and counting every reference.
    void footnote_ref(std::string_view label, std::string& out);
    // Appends one table row; `tag` is "th" or "td". A cell with `Default`
    // alignment takes its column's entry of `aligns`.
    void table_row(const ast::TableRow& row, const std::vector<ast::Align>& aligns, std::string_view tag,
                   std::string& out);

private:
    // The label of the next note met.
    std::string note_label();

    // The footnotes of `pass_over_labels` (none when null).
    const std::vector<ast::Footnote>* footnotes_ = nullptr;
    // Their labels that a note could be given ("__note" and digits), looked
    // for with the first note met; null when there are none, as nearly
    // always.
    std::unique_ptr<std::unordered_set<std::string>> note_labels_taken_;
    // The number of the last note's label (0 before the first).
    std::uint64_t last_note_ = 0;

    void list(const ast::List& list, std::string& out);
    void table(const ast::Table& table, std::string& out);
};

// The plain text of a run of inlines: texts, code and math sources, link
// contents and the like concatenated with nothing between them; breaks become
// one space; raw inlines contribute nothing. No escaping is done.
std::string plain(const ast::Inlines& inlines);

// "&", "<", ">" as character references; quotes are copied.
void escape_text(std::string_view text, std::string& out);
// As `escape_text`, and a double quote as "&quot;".
void escape_attr(std::string_view text, std::string& out);
// As `escape_attr`, and a line feed as "&#10;": for a tag written into
// Markdown, where a line end inside it would let the next line open a block.
void escape_attr_one_line(std::string_view text, std::string& out);
// A URL for an href or src value: the characters that break an attribute or
// a URL percent-encoded, "&" as "&amp;", controls and non-ASCII encoded.
void escape_url_attr(std::string_view url, std::string& out);
// Each byte of the character's UTF-8 form as "%" and two upper-case hex digits.
void percent_encode_char(char32_t c, std::string& out);
// A fragment identifier: ASCII letters, digits and "()-./_~" kept, every
// other character percent-encoded.
std::string escape_fragment(std::string_view text);

// The attributes of an opening tag: id, classes, then the pairs (skipping the
// keys "id" and "class" and those no tag can hold, `html_attr_name`), each
// with a leading space. Nothing for an empty Attr. A pair whose key, read
// without regard to ASCII case, is the id or class written, one of `taken`
// (the names, separated by single spaces, that the tag holds besides) or an
// earlier pair's is left out too: an HTML parser would keep the first.
void attrs_html(const ast::Attr& attr, std::string& out, std::string_view taken = {});

// Whether a pair with this key can stand in a tag ("a", "_b", "c:d-e.f"): an
// ASCII letter, "_" or ":", then letters, digits, "_", ".", ":" or "-". Any
// other key could end the name, the tag or the value ("a><img", "a=b",
// a"b, white space), or make the Markdown reader take the tag for
// text; such a pair is written into no tag.
bool html_attr_name(std::string_view key);

// A template token as a template element naming its rule and kind.
void template_html(std::string_view syntax, std::string_view inner, template_::TemplateTokenKind kind,
                   std::string_view name, std::string& out);

// The opening tag of the script element that keeps raw content verbatim.
void raw_data_open(std::string_view format, std::string_view body, std::string& out);
// True when the body could end the script element early or open a comment
// inside it ("<!--", "<script", "</script", the latter two ASCII
// case-insensitive); such bodies are written escaped and marked so.
bool raw_data_needs_encoding(std::string_view body);

// "<pre" attrs "><code" [ class="language-…"] ">".
std::string code_block_open(const ast::Attr& attr, const std::optional<std::string>& language);

}  // namespace tavrel::render
