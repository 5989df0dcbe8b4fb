// Options of the Markdown reader, and the read-only context that the block
// pass hands to the inline parser for every inline run.
//
// The options are a plain value: copying it copies the delimiter rules too,
// so a parser can keep its own clone. The dataset stage reads every article
// with one fixed value, which the defaults below are; tests and other callers
// change single fields.
//
// The inline context only refers to data the block pass owns (the options,
// the document's link reference definitions and footnote labels); it is
// built once per document and read by every call of `parse_inner`, from any
// number of threads, without locking.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/template.hpp"

namespace tavrel {

struct Options {
    // Template token rules recognised by the block and inline parsers.
    std::vector<TemplateDelimiter> template_delimiters;
    // A new block container opens only while fewer than this many are open
    // below the document root.
    std::uint64_t max_block_depth = 128;
    // Deepest nesting of unescaped parentheses in an inline link destination;
    // deeper nesting makes the bracket text no inline link.
    std::uint64_t max_link_paren_depth = 32;
    // Recognise bare URLs and e-mail addresses in inline text.
    bool autolinks = true;
    // A paragraph that is one image becomes a Figure block.
    bool figures = false;
    // Only meaningful while block tracing is on, which it never is.
    bool trace_text = false;
    // Carried along; nothing in the reader consults it.
    bool spare_flag = true;
    // Math syntax level 0..3: 2 or more enables "$$"/"\[" blocks and the
    // "\(", "\[", "$$" inline openers; 3 adds single-dollar inline math.
    std::uint8_t math = 2;

    // The one value the dataset stage reads stored articles with.
    static Options dataset() { return Options{}; }

    Options clone() const { return *this; }
};

// `inline` is a C++ keyword, so the inline parser's namespace is `inline_`.
namespace inline_ {

// A link reference definition, kept under its normalised label.
struct LinkRef {
    std::string destination;           // escapes removed, references decoded
    std::optional<std::string> title;  // absent when the definition has none
    ast::Attr attrs;                   // from a trailing attribute block
    bool operator==(const LinkRef&) const = default;
};

// Normalised label (see `attrs::normalize_label`) to definition; the first
// definition of a label is the one kept.
using LinkDefs = std::unordered_map<std::string, LinkRef>;

// Labels of the document's footnote definitions, exactly as written.
using FootnoteLabels = std::unordered_set<std::string>;

// What `parse_inner` reads besides its text. Borrowed: the referenced data
// must outlive every call that uses the context.
struct InlineContext {
    const Options& options;
    const LinkDefs& link_defs;
    const FootnoteLabels& footnote_labels;
};

}  // namespace inline_
}  // namespace tavrel
