// The round trip the chunk stage relies on, over whole documents: wikitext
// read, written as Markdown, read back by the Markdown reader with the
// dataset's options and written again gives the same text. The pages are
// random arrangements of wikitext lines and pieces chosen to stress the
// writer's canonical forms: line starts that open blocks, escaping, emphasis
// flanking, footnote references and notes, pipe tables and their HTML
// fallback with its footnote section, headings ending in attribute blocks.
#include <gtest/gtest.h>

#include <random>

#include "builders.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/wikitext.hpp"

using namespace wt;

namespace {

void expect_round_trip(const std::string& wikitext) {
    static const tavrel::Options dataset;  // the dataset stage's values
    Document doc = tavrel::wikitext::document::parse(wikitext);
    std::string first = md(doc);
    Document back = tavrel::block::parse_source(first, dataset);
    EXPECT_EQ(md(back), first) << wikitext;
}

}  // namespace

TEST(DocumentRoundTrip, RandomLinesOfWikitext) {
    // Lines that begin a term or an item with an item number ("; 1.  x",
    // "# 1. 1. x") are in: the reader turns the nested list such a line
    // opens back into text as it was written.
    const std::vector<std::string> pieces = {
        "plain", "''it ''", "'''bo'''", "[[L|l]]", "<ref>r</ref>", "<ref name=\"n\">named</ref>", "<ref name=\"n\"/>",
        "&amp;lt;", "a*b", "x_y", "<sup>2</sup>", "<sub>i j</sub>", "R&D", "#", "- ", "caf\xC3\xA9", "''a'' b",
        "'''''x'''''", "<math>x^2</math>", "{{t}}", "{{t|a}}", "{{t|a|b}}", "[http://example.com x]",
        "[http://example.com]", "http://bare.com", "www.x.com", "a@b.com", "&nbsp;", "<br>",
        "<span class=\"x\">s</span>", "~~", "==", "<nowiki>*</nowiki>", "(", ")", "[", "]", "''", "\\", "`", "<",
        ">", "{", "}", ":", "!", "^", "~", "[[File:X.png|thumb|cap]]", "[[Category:C]]", "__NOTOC__", "*", "_",
        "--", "...", "'", "{{{p}}}", "|", "||", "!!"};
    const std::vector<std::string> starts = {"",    "",     "",      "* ",    "** ",  "# ",  "#* ",
                                             ": ",  ":: ",  "; ",    "== ",   "=== ", " ",   "----",
                                             "{|\n! ", "|-\n| ", "|}\n", "<blockquote>", "</blockquote>\n", "\n",
                                             "; 1. ",  "; 1.  ", "# 1. ", "# 1.  1. ", "* 1.  ", "1.  ", "1. 1. "};
    for (unsigned seed = 0; seed < 1200; ++seed) {
        std::mt19937 rng(seed);
        std::string page;
        for (int l = 0; l < 8; ++l) {
            const std::string& start = starts[rng() % starts.size()];
            std::string line = start;
            for (int w = 0; w < 6; ++w) {
                line += pieces[rng() % pieces.size()];
                line += (rng() % 7 == 0) ? "" : " ";
            }
            if (start == "== ") line += " ==";
            if (start == "=== ") line += " ===";
            page += line + "\n";
        }
        expect_round_trip(page);
    }
}

TEST(DocumentRoundTrip, TablesWithFootnotesAndFallbacks) {
    const std::vector<std::string> cells = {
        "a", "b c", "x<br>y", "<ref>n</ref>", "<ref name=\"k\">K</ref>", "<ref name=\"k\"/>", "''i''", "'''b'''",
        "[[L]]", "a | b", "{{t|a|b}}", "{{t}}", "<math>x</math>", "&amp;lt;", "1. x", "- y", "", " ",
        "<sup>a b</sup>", "[http://e.com e]", "caf\xC3\xA9", "a\\b", "`c`", "<span class=\"s\">s</span>"};
    for (unsigned seed = 0; seed < 400; ++seed) {
        std::mt19937 rng(seed);
        std::string page = "Intro<ref name=\"k\">K def</ref> text.\n";
        for (int t = 0, tables = 1 + rng() % 3; t < tables; ++t) {
            int cols = 1 + rng() % 3, rows = 1 + rng() % 3;
            page += (rng() % 2) ? "{| class=\"wikitable\"\n" : "{|\n";
            for (int c = 0; c < cols; ++c) page += (c ? " !! " : "! ") + cells[rng() % cells.size()];
            page += "\n";
            for (int r = 0; r < rows; ++r) {
                page += "|-\n";
                int n = cols + ((rng() % 8 == 0) ? 1 : 0);
                for (int c = 0; c < n; ++c) page += (c ? " || " : "| ") + cells[rng() % cells.size()];
                page += "\n";
            }
            page += "|}\n* item " + cells[rng() % cells.size()] + "\n** sub " + cells[rng() % cells.size()] + "\n";
            page += ": quote " + cells[rng() % cells.size()] + "\n\n";
        }
        expect_round_trip(page);
    }
}
