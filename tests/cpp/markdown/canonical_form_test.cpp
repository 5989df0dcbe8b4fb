// The canonical form of hand-written Markdown: whatever text the reader is
// given, writing what it read gives a text that reads back to itself. The
// shapes here once changed on a second write; each is kept as a named case,
// and the random-text property test in roundtrip_test.cpp generates them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/write_md.hpp"

using namespace tavrel;

namespace {

ast::Document read(const std::string& text) { return block::parse_source(text, Options::dataset()); }

// The canonical form of `text`; fails the test when it does not read back
// to itself.
std::string canonical(const std::string& text) {
    const std::string first = write_md::render_md(read(text));
    const std::string second = write_md::render_md(read(first));
    EXPECT_EQ(second, first) << "input:\n" << text;
    return first;
}

}  // namespace

TEST(CanonicalForm, ContainerTagsInsideComments) {
    // A markdown container's tag inside a comment is comment text.
    EXPECT_EQ(canonical("<div>\n<!--<div markdown=\"1\">\n"), "<div>\n<!--<div markdown=\"1\">\n-->\n\n");
    canonical("<div><!--\n<div markdown=\"1\">\n");
    canonical("<section><!-- a -->\n<div markdown=\"1\">\nx\n</div>\n</section>\n");
    // After the comment closes, a tag ending a line opens a container again.
    const ast::Document doc = read("<div><!--\n-->\n<div markdown=\"1\">\n*x*\n</div>\n</div>\n");
    bool emphasis = false;
    for (const auto& b : doc.blocks) {
        if (const auto* p = b.as<ast::Paragraph>()) emphasis = !p->content.empty() && p->content.front().is<ast::Emph>();
    }
    EXPECT_TRUE(emphasis) << ast::debug_string(doc);
}
