// Converting one wiki page: wikitext in, a cleaned document tree out, ready
// for the Markdown writer or the chunker.
//
// Every conversion takes this road: `WikiConverter.quillmd`, the batch
// methods and the dataset stages all call `convert_document`. A page with
// too little prose (under 60 characters of paragraph text, counted on the
// parsed tree before any rewriting, so that a stub made only of templates
// and links is refused however its templates expand) gives no result; so
// does a page whose clean-up leaves nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corpuswright/roles.hpp"
#include "tavrel/ast.hpp"

namespace corpuswright {

// The least paragraph text, in Unicode scalar values, a page must hold.
inline constexpr std::size_t kMinProseChars = 60;

// The result of converting one page. `document.blocks` is never empty;
// `document.footnotes` and `document.diagnostics` are always empty (the
// diagnostics have become `warnings`, in their order).
struct ConvertedDocument {
    tavrel::ast::Document document;
    std::vector<std::string> warnings;
};

// Parses `source` (a page's wikitext) and converts it; absent when the page
// has too little prose or nothing is left after clean-up. Never fails. Reads
// `roles` only; safe from many threads at once.
std::optional<ConvertedDocument> convert_document(std::string_view source, const roles::TemplateRoles& roles);

// The conversion after parsing: warnings from the diagnostics, the prose
// test, clean-up, the back-matter cut and the dropping of footnotes, on a
// tree built by any reader. `convert_document` is parse followed by this.
std::optional<ConvertedDocument> convert_tree(tavrel::ast::Document doc, const roles::TemplateRoles& roles);

// The Markdown title heading of a chunk: what the Markdown writer writes for
// a document holding only a level-1 heading with the title as its one text
// ("# Physics" and a blank line). The title is escaped as any text is.
std::string title_prefix(std::string_view title);

}  // namespace corpuswright
