// Fuzz target: the Markdown reader with the dataset's options and the round
// trip through the writer. Any text the reader takes (it takes every text) is
// written once; that canonical Markdown read again must write the very same
// bytes, or the stored articles would drift each time they are reread.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/write_md.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const tavrel::Options dataset = tavrel::Options::dataset();
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const tavrel::ast::Document doc = tavrel::block::parse_source(text, dataset);
    const std::string first = tavrel::write_md::render_md(doc);
    // Stored articles are text; the fixed point is only promised for text.
    if (!fuzz::check_properties() || !fuzz::is_text(text)) return 0;
    const std::string second = tavrel::write_md::render_md(tavrel::block::parse_source(first, dataset));
    if (second != first) fuzz::fail("Markdown written, read again and rewritten differs", first, second);
    return 0;
}
