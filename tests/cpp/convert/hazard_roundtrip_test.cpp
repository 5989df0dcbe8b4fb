// The chunk stage's check over converted pages full of Markdown hazards:
// random wikitext that mixes every construct the wikitext reader knows with
// words that are Markdown marks, broken template calls and raw spans goes
// through page conversion, is written, read back with the dataset's options
// and written again; the text must not change. Conversion leaves shapes the
// readers never build (terms and definitions emptied by a removed template,
// paragraphs beginning with an item number), which is why this runs on
// converted trees. Each failure reports its wikitext and both texts.
#include <gtest/gtest.h>

#include <string>

#include "../../../bench/markdown/hazard_pages.hpp"
#include "corpuswright/convert.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/write_md.hpp"

namespace corpuswright {
namespace {

TEST(HazardRoundTrip, ConvertedPagesWithEveryInlineHazard) {
    roles::TemplateRoles roles;
    int checked = 0, failed = 0;
    for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
        synthetic::HazardPages gen(seed, true);
        std::string page = gen.page();
        auto r = convert_document(page, roles);
        if (!r) continue;
        ++checked;
        std::string md = tavrel::write_md::render_md(r->document);
        std::string again = tavrel::write_md::render_md(tavrel::block::parse_source(md, tavrel::Options::dataset()));
        if (again != md && ++failed <= 3) {
            ADD_FAILURE() << "seed " << seed << "\n--- wikitext\n" << page << "\n--- written\n" << md << "\n--- again\n" << again;
        }
    }
    EXPECT_GT(checked, 1500);
    EXPECT_EQ(failed, 0) << "of " << checked << " pages";
}

}  // namespace
}  // namespace corpuswright
