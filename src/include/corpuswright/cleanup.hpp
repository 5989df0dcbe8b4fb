// The clean-up of a parsed wiki page: the passes that rewrite the document
// tree before it is written as Markdown.
//
// `clean_blocks` and `clean_inlines` walk the tree once, dropping what a
// reader of the text does not need (images, categories, comments, footnote
// references, behaviour switches, image-map leftovers), unlinking links to
// wiki pages, and handing every template call to `operation`, which decides
// by the template's name, role and arguments whether the call disappears,
// becomes its own arguments, a fixed text, a computed value (numbers with
// units, fractions, conversions) or math, or stays as it is. A call that no
// rule understands is kept unexpanded rather than guessed at, so the Markdown
// writer shows it and the dataset audit counts it.
//
// Every function here is pure with respect to its inputs other than the list
// it rewrites, reads the shared `TemplateRoles` only, never fails, and is
// safe to call from many threads at once.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corpuswright/roles.hpp"
#include "tavrel/ast.hpp"

namespace corpuswright::cleanup {

using tavrel::ast::Blocks;
using tavrel::ast::Inlines;

// --- plain text -------------------------------------------------------------

// The plain text of an inline list as the clean-up rules see it: texts,
// code and script texts, TeX of math, link and emphasis contents, image alt
// text, raw HTML and raw inlines verbatim, the argument values of a call (not
// its name), a token's inner text, a note's content; one space per line
// break; nothing for a footnote reference. No trimming or collapsing.
std::string plain(const Inlines& inlines);

// Appends to `out` the start of `plain(inlines)`: whole pieces of it until at
// least `min_bytes` are held (so never a broken character). Returns true when
// that is the whole plain text.
bool plain_prefix(const Inlines& inlines, std::size_t min_bytes, std::string& out);

// The number of Unicode scalar values in the plain text of the paragraphs of
// `blocks`, descending into block quotes, divisions and list items; all
// other block kinds count 0.
std::size_t paragraph_chars(const Blocks& blocks);

// Whether `paragraph_chars(blocks)` is at least `limit`, counting no further
// than needed to know.
bool paragraph_chars_reach(const Blocks& blocks, std::size_t limit);

// --- the clean-up passes ------------------------------------------------------

// Rewrites `blocks` in place: cleans the inlines of every block, drops
// figures and the paragraphs that the paragraph tests refuse (image-map and
// gallery leftovers, paragraphs left without text), recurses into
// containers.
void clean_blocks(Blocks& blocks, const roles::TemplateRoles& roles);

// Rewrites `inlines` in place: see the file comment. Soft breaks at the start
// and the end of every list it returns are removed.
void clean_inlines(Inlines& inlines, const roles::TemplateRoles& roles);

// Drops back-matter sections from top-level blocks: a level-1 or level-2
// heading whose lower-cased plain text contains "references", "further
// reading", "external links", "see also", "sources", "citations",
// "bibliography", "notes", "works cited" or "related pages", and everything
// after it up to the next heading of the same or a higher rank that is not
// itself back matter.
void cut_back_matter(Blocks& blocks);

// --- template call arguments ----------------------------------------------------

// A call's arguments sorted out: `positional[i]` is the argument at position
// i + 1 (null where a numbered argument left a gap); `by_name` holds the
// other arguments under their trimmed, lower-cased keys, each key once, in
// the order first written. The values are borrowed from the call's argument
// list, which must outlive the Args: sorting out the arguments of a large
// navigation box that is then removed copies nothing.
struct Args {
    std::vector<const Inlines*> positional;
    std::vector<std::pair<std::string, const Inlines*>> by_name;

    // The value under exactly `key`, or null.
    const Inlines* find(std::string_view key) const;
};

// Sorts a call's arguments; absent when they are inconsistent: a position
// given twice, a position 0 or past the number of arguments, a key given
// twice (after trimming and lower-casing).
std::optional<Args> args(const std::vector<tavrel::ast::OperationArg>& arguments);

// The plain text of every positional entry, trimmed; absent when any entry is
// absent. No entries give an empty list.
std::optional<std::vector<std::string>> values(const std::vector<const Inlines*>& positional);

// The plain text of the named argument `key`, trimmed; absent when there is
// no such key.
std::optional<std::string> named(const Args& args, std::string_view key);

// True when every key of `args.by_name` equals `key` (true when there are
// none).
bool only_named(const Args& args, std::string_view key);

// One `Text` holding `s`; one inline `Math` (not display) holding the TeX `s`.
Inlines text(std::string s);
Inlines math(std::string s);

// {{anchor|...}}: one empty span per value with the value's words joined by
// "_" as its id; absent for named arguments, no value, a gap, or an empty
// value.
std::optional<Inlines> anchors(const Args& args);

// The small text templates (cx, ill, angbr, gph, circa, ipaslink, ipac-en,
// coord, lang, langx, transliteration, tlit, nbsp) by their key; absent when
// a positional entry is absent or the key is none of these.
std::optional<Inlines> handler(std::string_view key, const std::vector<const Inlines*>& positional);

// What a template call becomes: the inlines that replace it (possibly none),
// or a one-element list holding the call itself when it is kept. `call`'s
// arguments must already be cleaned.
Inlines operation(tavrel::ast::Operation call, const roles::TemplateRoles& roles);

// --- built-in number, unit and fraction templates -------------------------------

// An optional sign ("+", "-" or U+2212), then one or more ASCII digits,
// commas and dots with at least one digit and at most one dot.
bool number(std::string_view s);

// {{val}}: a value with uncertainty, exponent and unit, as text or TeX.
std::optional<Inlines> val(const Args& args);
// {{convert}} / {{cvt}}: the quantity as written, with its unit after a
// narrow no-break space; a range joined by an en dash.
std::optional<Inlines> convert(const Args& args);
// {{frac}} / {{sfrac}}: "1/d", "n/d" or "w n/d" as text.
std::optional<Inlines> frac(const Args& args);

}  // namespace corpuswright::cleanup
