// The steps of a page conversion that follow parsing: diagnostics become
// warnings, the prose test, clean-up, the back-matter cut, and footnotes
// dropped. Kept apart from the parse so that any tree, however it was
// built, goes through exactly the same rules.
#include <string>
#include <utility>
#include <variant>

#include "corpuswright/cleanup.hpp"
#include "corpuswright/convert.hpp"

namespace corpuswright {
namespace {

std::string warning_text(const tavrel::diagnostic::Diagnostic& d) {
    if (const auto* at = std::get_if<tavrel::diagnostic::LineLocation>(&d.location)) {
        return "line " + std::to_string(at->line) + ": " + d.message;
    }
    return d.message;
}

}  // namespace

std::optional<ConvertedDocument> convert_tree(tavrel::ast::Document doc, const roles::TemplateRoles& roles) {
    ConvertedDocument out;
    out.warnings.reserve(doc.diagnostics.size());
    for (const auto& d : doc.diagnostics) out.warnings.push_back(warning_text(d));
    doc.diagnostics.clear();

    if (doc.blocks.empty()) return std::nullopt;
    if (!cleanup::paragraph_chars_reach(doc.blocks, kMinProseChars)) return std::nullopt;

    cleanup::clean_blocks(doc.blocks, roles);
    cleanup::cut_back_matter(doc.blocks);
    // Every footnote reference and inline note went with the clean-up; the
    // definitions they pointed to go too.
    doc.footnotes.clear();
    if (doc.blocks.empty()) return std::nullopt;

    out.document = std::move(doc);
    return out;
}

}  // namespace corpuswright
