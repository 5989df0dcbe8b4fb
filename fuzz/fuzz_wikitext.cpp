// Fuzz target: any page text through the wikitext reader, the page
// conversion and the Markdown writer. Nothing may crash or trip a sanitizer,
// and on valid UTF-8 the written Markdown must read back through the Markdown
// reader (with the dataset's options) and write identically, both for the
// plain reading of the page and for the converted document: the chunk stage
// and every later reader of the dataset rely on that fixed point.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "corpuswright/convert.hpp"
#include "corpuswright/roles.hpp"
#include "fuzz_common.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/wikitext.hpp"
#include "tavrel/write_md.hpp"

namespace {

void round_trip(const tavrel::ast::Document& doc, const char* what) {
    static const tavrel::Options dataset = tavrel::Options::dataset();
    const std::string first = tavrel::write_md::render_md(doc);
    if (!fuzz::check_properties()) return;
    const tavrel::ast::Document back = tavrel::block::parse_source(first, dataset);
    const std::string second = tavrel::write_md::render_md(back);
    if (second != first) fuzz::fail(what, first, second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const corpuswright::roles::TemplateRoles roles;  // no metadata: every template is kept
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // Page texts come out of the XML reader as text; other bytes must still
    // be survived, but the round trip is only promised for text.
    const bool is_text = fuzz::is_text(text);

    const tavrel::ast::Document doc = tavrel::wikitext::document::parse(text);
    if (is_text) {
        round_trip(doc, "wikitext page: Markdown does not read back to the same text");
    } else {
        (void)tavrel::write_md::render_md(doc);
    }

    auto converted = corpuswright::convert_document(text, roles);
    if (converted) {
        if (is_text) {
            round_trip(converted->document, "converted page: Markdown does not read back to the same text");
        } else {
            (void)tavrel::write_md::render_md(converted->document);
        }
    }
    return 0;
}
