// The chunk stage's check over converted pages full of Markdown hazards:
// random wikitext that mixes every construct the wikitext reader knows with
// words that are Markdown marks, broken template calls and raw spans goes
// through page conversion, is written, read back with the dataset's options
// and written again; the text must not change. Conversion leaves shapes the
// readers never build (terms and definitions emptied by a removed template,
// paragraphs beginning with an item number), which is why this runs on
// converted trees. The converted tree and the tree read back must also be
// cut into the same chunks, as the combined and the staged run cut them.
// Each failure reports its wikitext and both texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../../bench/markdown/hazard_pages.hpp"
#include "corpuswright/convert.hpp"
#include "tavrel/chunk.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/write_md.hpp"

namespace corpuswright {
namespace {

// The ranges the chunker cuts from a tree, as comparable numbers.
std::vector<std::size_t> cut(const tavrel::ast::Document& doc, std::uint64_t target) {
    std::vector<std::size_t> out;
    auto ranges = tavrel::chunk::document_chunk_ranges_structural(doc, target);
    if (!ranges.ok()) return {0};
    for (const auto& r : ranges.value()) {
        out.push_back(r.start);
        out.push_back(r.end);
        out.push_back(r.prefix.size());
    }
    return out;
}

TEST(HazardRoundTrip, ConvertedPagesWithEveryInlineHazard) {
    // Every other page has its block templates removed, as roles do: lines
    // and items left with nothing to write.
    roles::TemplateRoles none;
    roles::TemplateRoles removing;
    for (const char* t : {"Infobox", "Cite", "Lang"}) removing.remove.insert(t);
    int checked = 0, failed = 0, cut_apart = 0;
    for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
        synthetic::HazardPages gen(seed, true);
        std::string page = gen.page();
        auto r = convert_document(page, seed % 2 ? none : removing);
        if (!r) continue;
        ++checked;
        std::string md = tavrel::write_md::render_md(r->document);
        tavrel::ast::Document read = tavrel::block::parse_source(md, tavrel::Options::dataset());
        std::string again = tavrel::write_md::render_md(read);
        if (again != md && ++failed <= 3) {
            ADD_FAILURE() << "seed " << seed << "\n--- wikitext\n" << page << "\n--- written\n" << md << "\n--- again\n" << again;
        }
        // The combined run chunks the converted tree, the staged run the
        // tree read back: the same cuts, block by block (1) and merged (9).
        for (std::uint64_t target : {1, 9}) {
            if (cut(r->document, target) != cut(read, target) && ++cut_apart <= 3) {
                ADD_FAILURE() << "seed " << seed << " target " << target << "\n--- wikitext\n" << page << "\n--- written\n" << md;
            }
        }
    }
    EXPECT_GT(checked, 1500);
    EXPECT_EQ(failed, 0) << "of " << checked << " pages";
    EXPECT_EQ(cut_apart, 0) << "of " << checked << " pages";
}

}  // namespace
}  // namespace corpuswright
