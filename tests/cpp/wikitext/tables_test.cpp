// Wiki tables and their fallback, HTML block quotes (including quotes that
// open and close on one line), HTML containers and HTML list items.
#include <gtest/gtest.h>

#include "wikitext_helpers.hpp"

using namespace tavrel;
using wt_test::page;

namespace {

const char* kSimpleBody = "\n! A !! B\n|-\n| 1 || 2\n|}";

const char* kSimpleTable =
    "Table aligns=[default,default]\n"
    "  Head\n    Cell align=default\n      Text \"A\"\n    Cell align=default\n      Text \"B\"\n"
    "  Body\n    Cell align=default\n      Text \"1\"\n    Cell align=default\n      Text \"2\"\n";

std::string table(const std::string& opener) { return page(opener + kSimpleBody); }

bool falls_back(const std::string& text) {
    auto doc = wikitext::document::parse(text);
    return doc.blocks.size() == 1 && doc.blocks[0].is<ast::Paragraph>();
}

}  // namespace

TEST(WikitextTables, SimpleTables) {
    EXPECT_EQ(table("{|"), kSimpleTable);
    std::string classed = std::string("Table {.\"wikitable\"}") + (kSimpleTable + 5);
    EXPECT_EQ(table("{| class=wikitable"), classed);
    EXPECT_EQ(table("  {| class=\"wikitable\" "), classed);
    // Rows may continue on further lines of the same kind; a caption and
    // leading white space are fine; text after "|}" is dropped.
    EXPECT_EQ(page("{|\n|+ ''Cap''\n! A\n! B\n|-\n| [[x]]\n| {{t}}\n|-\n|}} tail"),
              "Table aligns=[default,default]\n  Caption\n    Emph\n      Text \"Cap\"\n"
              "  Head\n    Cell align=default\n      Text \"A\"\n    Cell align=default\n      Text \"B\"\n"
              "  Body\n    Cell align=default\n      Link url=\"./x\"\n        Text \"x\"\n"
              "    Cell align=default\n      Operation system=\"mediawiki\" kind=\"transclude\" name=\"t\"\n");
    // A bar inside a cell that carries no "=" before it is content.
    EXPECT_EQ(page("{|\n! h\n|-\n| a | b\n|}"),
              "Table aligns=[default]\n  Head\n    Cell align=default\n      Text \"h\"\n"
              "  Body\n    Cell align=default\n      Text \"a | b\"\n");
    // Reading goes on after the table.
    EXPECT_EQ(page("{|\n! h\n|}\nafter"), "Table aligns=[default]\n  Head\n    Cell align=default\n      Text \"h\"\n"
                                         "Paragraph\n  Text \"after\"\n");
}

TEST(WikitextTables, FallBackToAParagraph) {
    for (const char* opener : {"{| class=\"wikitable sortable\"", "{| class=Wikitable", "{| style=\"x\""})
        EXPECT_TRUE(falls_back(std::string(opener) + kSimpleBody)) << opener;
    EXPECT_TRUE(falls_back("{|\n| a\n|-\n| b\n|}"));               // first row is data
    EXPECT_TRUE(falls_back("{|\n! a !! b\n|-\n| 1 || 2 || 3\n|}"));  // uneven rows
    EXPECT_TRUE(falls_back("{|\n! a\n|- style=x\n| 1\n|}"));        // row attributes
    EXPECT_TRUE(falls_back("{|\n! a\n\n| 1\n|}"));                  // blank line
    EXPECT_TRUE(falls_back("{|\n! a\n|-\n| style=x | 1\n|}"));      // cell attributes
    EXPECT_TRUE(falls_back("{|\n! a\n|-\n| x {{!}} y\n|}"));        // pipe template
    EXPECT_TRUE(falls_back("{|\n! a\n|-\n| x {{pipe}} y\n|}"));
    EXPECT_TRUE(falls_back("{|\n! a\n| b\n|}"));                    // header and data mixed in one row
    EXPECT_TRUE(falls_back("{|\n! a\n|-\nmore text\n|}"));          // continuation line
    EXPECT_TRUE(falls_back("{|\n|+ a\n|+ b\n! h\n|}"));             // two captions
    EXPECT_TRUE(falls_back("{|\n|}"));                               // no rows
    // The fallback is the table's text read as inline wikitext.
    EXPECT_EQ(page("{| style=x\n! ''a''\n|}"),
              "Paragraph\n  Text \"{| style=x\"\n  SoftBreak\n  Text \"! \"\n  Emph\n    Text \"a\"\n"
              "  SoftBreak\n  Text \"|}\"\n");
}

TEST(WikitextTables, UnclosedTableKeepsTheRest) {
    EXPECT_EQ(page("a\n\n{|\n! h\n\n== x =="),
              "Paragraph\n  Text \"a\"\nRawBlock format=\"wikitext\" text=\"{|\\n! h\\n\\n== x ==\"\n");
}

TEST(WikitextTables, NamedReferenceRegistersOnce) {
    auto check = [](const std::string& text, ast::BlockKind kind) {
        auto doc = wikitext::document::parse(text);
        ASSERT_EQ(doc.blocks.size(), 1u) << text;
        EXPECT_EQ(doc.blocks[0].kind(), kind) << text;
        ASSERT_EQ(doc.footnotes.size(), 1u) << text;
        EXPECT_EQ(ast::debug_string(doc.footnotes[0].blocks), "Paragraph\n  Text \"note\"\n");
    };
    // Accepted table.
    check("{|\n! A<ref name=r>note</ref>\n|-\n| 1<ref name=r/>\n|}", ast::BlockKind::Table);
    // A table that falls back after its cells were read.
    check("{|\n! A<ref name=r>note</ref>\n|-\n| 1 || 2\n|}", ast::BlockKind::Paragraph);
    check("{|\n|+ <ref name=r>note</ref>\n! A\n|-\n| 1 || 2\n|}", ast::BlockKind::Paragraph);
    // Order across tables is the order of first appearance.
    auto doc = wikitext::document::parse(
        "x<ref name=a>1</ref>\n{| style=y\n! <ref name=b>2</ref><ref name=a>3</ref>\n|}\n<ref name=c>4</ref>");
    ASSERT_EQ(doc.footnotes.size(), 3u);
    EXPECT_EQ(doc.footnotes[0].label, "a");
    EXPECT_EQ(doc.footnotes[1].label, "b");
    EXPECT_EQ(doc.footnotes[2].label, "c");
}

TEST(WikitextQuotes, MultiLineQuotes) {
    EXPECT_EQ(page("<blockquote>\nA\n\nB\n</blockquote>"),
              "BlockQuote\n  Paragraph\n    Text \"A\"\n  Paragraph\n    Text \"B\"\n");
    EXPECT_EQ(page("<blockquote class=q>\n a\nb\n</BLOCKQUOTE>\nafter"),
              "BlockQuote {.\"q\"}\n  Paragraph\n    Text \"a\"\n    SoftBreak\n    Text \"b\"\n"
              "Paragraph\n  Text \"after\"\n");
    // Lines inside are paragraph text, not blocks.
    EXPECT_EQ(page("<blockquote>\n== h ==\n</blockquote>"), "BlockQuote\n  Paragraph\n    Text \"== h ==\"\n");
}

TEST(WikitextQuotes, QuotesOnOneLine) {
    EXPECT_EQ(page("<blockquote>A</blockquote>\n\nB"),
              "BlockQuote\n  Paragraph\n    Text \"A\"\nParagraph\n  Text \"B\"\n");
    // Text after the opening tag and before the closing tag belongs to it.
    EXPECT_EQ(page("<blockquote>A\nB</blockquote>"),
              "BlockQuote\n  Paragraph\n    Text \"A\"\n    SoftBreak\n    Text \"B\"\n");
    // Text after the closing tag is read on as a paragraph.
    EXPECT_EQ(page("<blockquote>''q''</blockquote> said x\ny"),
              "BlockQuote\n  Paragraph\n    Emph\n      Text \"q\"\nParagraph\n  Text \" said x\"\n  SoftBreak\n"
              "  Text \"y\"\n");
    // Only a quote that never closes keeps the rest verbatim.
    EXPECT_EQ(page("x\n<blockquote>A\n\nB"),
              "Paragraph\n  Text \"x\"\nRawBlock format=\"wikitext\" text=\"<blockquote>A\\n\\nB\"\n");
    // A self-closing tag opens no quote.
    EXPECT_EQ(page("<blockquote/>"), "Paragraph\n  RawInline format=\"html\" text=\"<blockquote/>\"\n");
}

TEST(WikitextContainers, DivCenterTable) {
    EXPECT_EQ(page("<div>\n<div>\nx\n</div>\n</div>\ny"),
              "RawBlock format=\"wikitext\" text=\"<div>\\n<div>\\nx\\n</div>\\n</div>\"\nParagraph\n  Text \"y\"\n");
    EXPECT_EQ(page("<CENTER>x</center>\ny"),
              "RawBlock format=\"wikitext\" text=\"<CENTER>x</center>\"\nParagraph\n  Text \"y\"\n");
    EXPECT_EQ(page("<table class=x>\n<tr><td>1</td></tr>"),
              "RawBlock format=\"wikitext\" text=\"<table class=x>\\n<tr><td>1</td></tr>\"\n");
    // "<divx" is not a container opener.
    EXPECT_EQ(page("<divx>"), "Paragraph\n  RawInline format=\"html\" text=\"<divx>\"\n");
}

TEST(WikitextContainers, HtmlListItems) {
    EXPECT_EQ(page("<ul>\n<li>one</li>\n<li>two\n</ul>"),
              "Paragraph\n  RawInline format=\"html\" text=\"<ul>\"\n"
              "List bullet tight\n  Item\n    Paragraph\n      Text \"one\"\n  Item\n    Paragraph\n      Text \"two\"\n"
              "Paragraph\n  RawInline format=\"html\" text=\"</ul>\"\n");
}
