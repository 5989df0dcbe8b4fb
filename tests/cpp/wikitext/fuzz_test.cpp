// Robustness of the reader: seeded random mixes of wikitext syntax, and
// hostile shapes (deep nesting, long runs of unclosed openers) that must
// still give a tree. Speed is measured in bench/wikitext; here the inputs are
// only large enough that a quadratic or exponential path would never finish.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "tavrel/text.hpp"
#include "wikitext_helpers.hpp"

using namespace tavrel;

namespace {

const std::vector<std::string> kPieces = {
    "{{", "}}", "{{{", "}}}", "[[", "]]", "|", "=", "''", "'''", "'''''", "'", "<ref>", "</ref>",
    "<ref name=a>", "<ref name=\"b\">", "<ref name=a/>", "<ref group=x>", "<span>", "</span>", "<sup>",
    "</sup>", "<sub>", "</sub>", "<small>", "</small>", "<math>", "</math>", "<math display=block>",
    "<nowiki>", "</nowiki>", "<!--", "-->", "\n", "\n\n", "*", "#", ":", ";", "==", "=== x ===",
    "{|", "|}", "|-", "|+", "!", "!!", "||", "<blockquote>", "</blockquote>", "<div>", "</div>",
    "<center>", "<li>", "</li>", "<gallery>", "</gallery>", "[http://x.org", "[https://y z]", "]",
    "__NOTOC__", "__", "&amp;", "&#", "&#x41;", "é", "\xe2\x80\x83", " ", "  ", "a", "word", "\r",
    "\r\n", "<br>", "<br/>", "<", ">", "/", "[[File:x.png|", "[[Category:", "{{#if:", "{{#invoke:m|",
    "----", "{{!}}", "{{pipe}}", "<table>", "</table>", "class=wikitable", "style=x", "\t", "\xff",
    "\x80", std::string(1, '\0'), "<!-->", "<ref/>", "<li>", "=x="};

std::string random_page(std::mt19937& rng, std::size_t max_pieces) {
    std::uniform_int_distribution<std::size_t> count(0, max_pieces);
    std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() - 1);
    std::string s;
    std::size_t n = count(rng);
    for (std::size_t k = 0; k < n; ++k) s += kPieces[pick(rng)];
    return s;
}

bool has_visible_text(std::string_view s) { return !text::trim(s).empty(); }

// What every document read from any text must satisfy.
void check_document(const std::string& text) {
    auto doc = wikitext::document::parse(text);
    EXPECT_TRUE(doc.diagnostics.empty());
    EXPECT_TRUE(doc.metadata.empty());
    std::set<std::string> labels;
    for (const auto& fn : doc.footnotes) {
        EXPECT_TRUE(labels.insert(fn.label).second) << "footnote " << fn.label << " twice in:\n" << text;
        ASSERT_EQ(fn.blocks.size(), 1u);
        EXPECT_TRUE(fn.blocks[0].is<ast::Paragraph>());
    }
    // Only comments vanish entirely; any other visible text leaves a block.
    if (has_visible_text(text) && text.find("<!--") == std::string::npos) {
        EXPECT_FALSE(doc.blocks.empty()) << ast::debug_string(ast::Inlines{ast::Text{text}});
    }
    // The tree is complete and the read deterministic.
    EXPECT_EQ(ast::debug_string(doc), ast::debug_string(wikitext::document::parse(text)));
}

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t k = 0; k < n; ++k) out += s;
    return out;
}

}  // namespace

TEST(WikitextFuzz, RandomMixesAlwaysGiveATree) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 4000; ++round) {
        std::string text = random_page(rng, round < 3000 ? 40 : 400);
        check_document(text);
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "round " << round;
            return;
        }
    }
}

TEST(WikitextFuzz, RandomInlineTextsAlwaysGiveInlines) {
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        std::string text = random_page(rng, 60);
        std::vector<ast::Footnote> notes;
        auto out = wikitext::document::inlines(text, notes);
        if (has_visible_text(text) && text.find("<!--") == std::string::npos &&
            text.find("<nowiki></nowiki>") == std::string::npos) {
            EXPECT_FALSE(out.empty()) << text;
        }
    }
}

TEST(WikitextFuzz, HostileShapes) {
    const std::size_t n = 40000;
    std::vector<std::string> inputs = {
        repeat("{{", n),
        repeat("{{{", n),
        repeat("[[", n),
        repeat("{{a|", n) + repeat("}}", n),
        repeat("[[a|", n) + repeat("]]", n),
        repeat("{{a|", n) + "\n" + repeat("x}}\n", n),
        repeat("<span>", n),
        repeat("<span>", n) + "</span>",
        repeat("<span>", n) + repeat("</span>", n),
        repeat("<sup>", 2000) + "x" + repeat("</sup>", 2000),
        repeat("<sub><sup>", 1000) + "x" + repeat("</sup></sub>", 1000),
        repeat("<ref>", n),
        repeat("<ref>x", n) + "</ref>",
        repeat("<math>", n),
        repeat("<nowiki>", n),
        repeat("<!--", n),
        repeat("[http://x ", n),
        repeat("''", n) + "'''",
        repeat("'''a''", n),
        repeat("*", n) + "x",
        repeat(":", n) + "x\n" + repeat("*", n / 2) + "y",
        repeat("*a\n***b\n", n / 4),
        repeat("<blockquote>\n", n / 4),
        repeat("<div>\n", n / 4),
        repeat("{|\n", n / 4),
        repeat("<gallery>\n", n / 4),
        repeat("<a <b ", n) + ">",
        repeat("__A", n),
        repeat("<", n),
    };
    for (const auto& text : inputs) {
        auto doc = wikitext::document::parse(text);
        EXPECT_FALSE(doc.blocks.empty()) << text.substr(0, 40);
    }
    // Past the nesting limit a construct is kept verbatim, not dropped.
    auto doc = wikitext::document::parse(repeat("{{a|", 500) + "deep" + repeat("}}", 500));
    EXPECT_NE(ast::debug_string(doc).find("deep"), std::string::npos);
    auto list = wikitext::document::parse(repeat("*", 500) + "deep");
    EXPECT_NE(ast::debug_string(list).find("deep"), std::string::npos);
}

TEST(WikitextFuzz, StrayOpenersLeaveLaterCallsWhole) {
    // Hundreds of paragraphs, each with an unclosed "{{", on a page of a
    // megabyte: every stray opener asks the line cutter for a search to the
    // end of the page. The calls and links written correctly after them must
    // still be read as calls and links.
    std::string page;
    for (int k = 0; k < 400; ++k) page += "x {{ y " + repeat("word ", 600) + "\n\n";
    page += "end {{t|a}} [[b]]\n";
    auto doc = wikitext::document::parse(page);
    ASSERT_FALSE(doc.blocks.empty());
    EXPECT_EQ(ast::debug_string(ast::Blocks{std::move(doc.blocks.back())}),
              "Paragraph\n  Text \"end \"\n  Operation system=\"mediawiki\" kind=\"transclude\" name=\"t\"\n"
              "    Arg\n      Text \"a\"\n  Text \" \"\n  Link url=\"./b\"\n    Text \"b\"\n");
}
