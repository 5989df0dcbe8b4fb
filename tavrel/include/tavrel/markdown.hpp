// The Markdown reader's entry: text in the system's dialect (what the
// canonical writer produces, and hand-written Markdown close to it) becomes
// a document tree with its footnotes and the reader's diagnostics.
//
// The reader never fails: what does not qualify as a construct is read as
// something else, and constructs left open at the end are reported as
// diagnostics "unclosed {} (expected '{}')", sorted by line. Safe to call
// from many threads at once, each with its own text; the options are only
// read.
#pragma once

#include <string_view>

#include "tavrel/ast.hpp"
#include "tavrel/options.hpp"

namespace tavrel::block {

// Reads a Markdown text. The document's metadata stays empty: front matter
// is split off by the caller.
ast::Document parse_source(std::string_view text, const Options& options);

}  // namespace tavrel::block
