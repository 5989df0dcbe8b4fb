// The entry points of a page conversion: parse the wikitext, then run the
// shared post-parse steps; and the Markdown title heading of a chunk, made by
// the writer itself so it is escaped exactly as any heading is.
#include <utility>

#include "corpuswright/convert.hpp"
#include "tavrel/wikitext.hpp"
#include "tavrel/write_md.hpp"

namespace corpuswright {

std::optional<ConvertedDocument> convert_document(std::string_view source, const roles::TemplateRoles& roles) {
    return convert_tree(tavrel::wikitext::document::parse(source), roles);
}

std::string title_prefix(std::string_view title) {
    tavrel::ast::Heading h;
    h.level = 1;
    h.content.emplace_back(tavrel::ast::Text{std::string(title)});
    tavrel::ast::Document doc;
    doc.blocks.emplace_back(std::move(h));
    return tavrel::write_md::render_md(doc);
}

}  // namespace corpuswright
