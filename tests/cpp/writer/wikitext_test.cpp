// Wikitext in, Markdown out: the wikitext reader and the writer together over
// the cases in cases/wikitext_to_markdown.txt. Each case is a line
// "%%% <name>", the wikitext, a line "%%% markdown", the exact Markdown
// expected, and a line "%%% end". Keeping them in a file keeps line edges,
// blank lines and HTML fragments readable as they are written.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "builders.hpp"
#include "tavrel/chunk.hpp"
#include "tavrel/wikitext.hpp"

namespace {

struct Case {
    std::string name;
    std::string wikitext;
    std::string markdown;
};

std::vector<Case> load_cases() {
    std::string path = std::string(CW_TEST_CPP_DIR) + "/writer/cases/wikitext_to_markdown.txt";
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << path;
    std::vector<Case> cases;
    std::string line;
    enum { None, Wiki, Md } part = None;
    while (std::getline(in, line)) {
        if (line == "%%% markdown") {
            part = Md;
        } else if (line == "%%% end") {
            part = None;
        } else if (line.rfind("%%% ", 0) == 0) {
            cases.push_back({line.substr(4), "", ""});
            part = Wiki;
        } else if (part == Wiki) {
            cases.back().wikitext += line + "\n";
        } else if (part == Md) {
            cases.back().markdown += line + "\n";
        }
    }
    return cases;
}

}  // namespace

TEST(WikitextToMarkdown, Cases) {
    std::vector<Case> cases = load_cases();
    ASSERT_GE(cases.size(), 10u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tavrel::ast::Document doc = tavrel::wikitext::document::parse(c.wikitext);
        EXPECT_EQ(tavrel::write_md::render_md(doc), c.markdown);
    }
}

TEST(WikitextToMarkdown, ChunksOfAPageWithoutFootnotesTileItsMarkdown) {
    std::string page = "Lead paragraph with ''emphasis '' and [[Link|a link]].\n";
    for (int s = 0; s < 8; ++s) {
        page += "== Section " + std::to_string(s) + " ==\n";
        for (int p = 0; p < 3; ++p) {
            page += "Paragraph " + std::to_string(p) + " of caf\xC3\xA9 text";
            for (int w = 0; w < 40; ++w) page += " w\xC3\xB6rd";
            page += ".\n\n";
        }
        page += "=== Sub ===\n* item one\n* item two\n{|\n! h\n|-\n| a<br>b\n|}\n";
    }
    tavrel::ast::Document doc = tavrel::wikitext::document::parse(page);
    ASSERT_TRUE(doc.footnotes.empty());
    std::string text = tavrel::write_md::render_md(doc);
    auto result = tavrel::chunk::document_chunk_ranges_structural(doc, 100);
    ASSERT_TRUE(result.ok());
    const auto& rs = result.value();
    ASSERT_GT(rs.size(), 4u);
    EXPECT_EQ(rs.front().start, 0u);
    EXPECT_EQ(rs.back().end, text.size());
    std::string joined;
    for (const auto& r : rs) {
        ASSERT_LE(r.start, r.end);
        EXPECT_NE(static_cast<unsigned char>(text[r.start]) & 0xC0, 0x80u);
        if (r.end < text.size()) EXPECT_NE(static_cast<unsigned char>(text[r.end]) & 0xC0, 0x80u);
        joined += text.substr(r.start, r.end - r.start);
        if (&r == &rs.front()) continue;
        if (!r.start_kind.body && r.start_kind.level == 2) {
            EXPECT_EQ(r.prefix, "");
        } else {
            EXPECT_EQ(r.prefix.rfind("## Section ", 0), 0u) << r.prefix;
        }
    }
    EXPECT_EQ(joined, text);
}
