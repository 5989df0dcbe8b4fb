// A strikeout inside a strikeout and a highlight inside a highlight. The
// reader pairs "~~" and "==" only as runs of exactly two, so delimiters of
// the inner node written against the outer node's ("~~~~a~~~~") would read
// back as text, and at a line start four tildes open a code fence that takes
// the rest of the container. Every such nesting must read back and write
// again to the same text.
#include <gtest/gtest.h>

#include "builders.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"

using namespace wt;

namespace {

Inline Del(Inlines c, Attr a = {}) { return Strikeout{std::move(a), std::move(c)}; }
Inline Mark(Inlines c, Attr a = {}) { return Highlight{std::move(a), std::move(c)}; }
// Attributes with a key no tag can hold: an element form would lose it.
Attr Key(std::string key) {
    Attr a;
    a.pairs.emplace_back(std::move(key), "");
    return a;
}

// Whether `written` reads back with a node holding the pair `key`="".
bool keeps(const std::string& written, const std::string& key) {
    const Document again = tavrel::block::parse_source(written, tavrel::Options::dataset());
    return tavrel::ast::debug_string(again).find("{\"" + key + "\"=\"\"}") != std::string::npos;
}

// The written text of `doc`; fails when it reads back as a code block or
// does not write again to itself.
std::string stable(const Document& doc) {
    const std::string first = md(doc);
    const Document again = tavrel::block::parse_source(first, tavrel::Options::dataset());
    EXPECT_EQ(md(again), first) << first;
    for (const auto& b : again.blocks) EXPECT_FALSE(b.is<CodeBlock>()) << first;
    return first;
}

}  // namespace

TEST(SameDelimiterNesting, StrikeoutInStrikeout) {
    // At a paragraph's start: no fence, and the outer node keeps its form.
    std::string out = stable(Doc({P({Del({Del({T("a")})})}), P({T("after")})}));
    EXPECT_EQ(out, "~~<del>a</del>~~\n\nafter\n\n");
    // The inner node first or last with text beside it, or in the middle.
    EXPECT_EQ(stable(Doc({P({Del({Del({T("a")}), T(" b")})})})), "~~<del>a</del> b~~\n\n");
    EXPECT_EQ(stable(Doc({P({Del({T("b "), Del({T("a")})})})})), "~~b <del>a</del>~~\n\n");
    EXPECT_EQ(stable(Doc({P({Del({T("b "), Del({T("a")}), T(" c")})})})), "~~b ~~a~~ c~~\n\n");
    // Three deep, and at the start of a paragraph's later line.
    out = stable(Doc({P({T("x"), SB(), Del({Del({Del({T("a")})})})})}));
    EXPECT_EQ(out.find("~~~"), std::string::npos) << out;
    // In a list item, where a fence would take the items after it.
    out = stable(Doc({Bullets({Item({P({Del({Del({T("a")})})})}), Item({P({T("b")})})})}));
    EXPECT_EQ(out, "- ~~<del>a</del>~~\n- b\n\n");
    // An inner node with attributes ends in its attribute block.
    stable(Doc({P({Del({Del({T("a")}, Cls("c"))})})}));
    // An inner node whose element form would lose a key, whose opener would
    // close the outer node (after punctuation, before punctuation) or merge
    // with its opener: the outer node takes its element form.
    out = stable(Doc({P({Del({T(">"), Del({T("[a")}, Key("-"))})})}));
    EXPECT_EQ(out, "<del>\\>~~[a~~{-=\"\"}</del>\n\n");
    EXPECT_TRUE(keeps(out, "-")) << out;
    out = stable(Doc({P({Del({Del({T("a")}, Key("\xC3"))})})}));
    EXPECT_TRUE(keeps(out, "\xC3")) << out;
}

TEST(SameDelimiterNesting, HighlightInHighlight) {
    EXPECT_EQ(stable(Doc({P({Mark({Mark({T("a")})})})})), "==<mark>a</mark>==\n\n");
    EXPECT_EQ(stable(Doc({P({T("x "), Mark({Mark({T("a")}), T(" b")}), T(" y")})})), "x ==<mark>a</mark> b== y\n\n");
    std::string out = stable(Doc({P({Mark({Mark({Mark({T("a")})})})})}));
    EXPECT_EQ(out.find("==="), std::string::npos) << out;
    stable(Doc({P({Mark({Mark({T("a")}, Cls("c"))})})}));
    out = stable(Doc({P({Mark({Mark({T("[")}, Key("-"))})})}));
    EXPECT_EQ(out, "<mark>==[=={-=\"\"}</mark>\n\n");
    EXPECT_TRUE(keeps(out, "-")) << out;
}

TEST(SameDelimiterNesting, MixedKindsStillShareNoRun) {
    // Different kinds side by side are no run of one character.
    EXPECT_EQ(stable(Doc({P({Del({Mark({T("a")})})})})), "~~==a==~~\n\n");
    EXPECT_EQ(stable(Doc({P({Mark({Del({Del({T("a")})})})})})).find("~~~~"), std::string::npos);
}

// Nodes nested many deep that each take their element form, as trees a
// caller builds may hold: each is written once, in the form its delimiters
// would be given up for, and the text is the one the first levels show
// (a ">" or "[" before each inner node, a key or none).
TEST(SameDelimiterNesting, DeepNestingTakesEachElementFormOnce) {
    struct Row {
        bool highlight;
        const char* before;
        bool keyed;
        const char* expected_start;  // then "<tag>" and `before`, 39 times
        const char* expected_end;    // after "a" and 39 "</tag>"
    };
    const Row rows[] = {
        {false, ">", false, "~~\\>", "~~"},
        {false, ">", true, "~~\\>", "~~{-=\"\"}"},
        {false, "[", false, "~~[", "~~"},
        {true, "[", true, "==[", "=={-=\"\"}"},
        {true, ">", false, "==\\>", "=="},
    };
    for (const Row& row : rows) {
        const std::string tag = row.highlight ? "mark" : "del";
        Inlines inner{T("a")};
        for (int i = 0; i < 40; ++i) {
            Inlines content{T(row.before)};
            for (auto& n : inner) content.push_back(std::move(n));
            Attr attr = row.keyed ? Key("-") : Attr{};
            inner = Inlines{row.highlight ? Mark(std::move(content), attr) : Del(std::move(content), attr)};
        }
        std::string expected = row.expected_start;
        const std::string escaped = std::string(row.before) == ">" ? "\\>" : row.before;
        for (int i = 0; i < 39; ++i) expected += "<" + tag + ">" + escaped;
        expected += "a";
        for (int i = 0; i < 39; ++i) expected += "</" + tag + ">";
        expected += row.expected_end;
        expected += "\n\n";
        EXPECT_EQ(md(Doc({P(std::move(inner))})), expected) << tag << " " << row.before << " " << row.keyed;
    }
    // Two kinds in turn, each level after a ">".
    Inlines inner{T("a")};
    for (int i = 0; i < 40; ++i) {
        Inlines content{T(">")};
        for (auto& n : inner) content.push_back(std::move(n));
        inner = Inlines{i % 2 ? Mark(std::move(content)) : Del(std::move(content))};
    }
    const std::string out = stable(Doc({P(std::move(inner))}));
    EXPECT_TRUE(out.starts_with("==\\>~~\\><mark>\\><del>\\>")) << out;
}
