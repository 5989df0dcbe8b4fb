// Delimiter runs: emphasis, strong emphasis, strikeout, highlight, the
// flanking rules and attributes after a closing run.
#include <gtest/gtest.h>

#include "show.hpp"
#include "tavrel/inline.hpp"

using mdtest::Ctx;

TEST(Emphasis, BasicPairs) {
    Ctx p;
    EXPECT_EQ(p("*a*"), "Emph[\"a\"]");
    EXPECT_EQ(p("**a**"), "Strong[\"a\"]");
    EXPECT_EQ(p("***a***"), "Emph[Strong[\"a\"]]");
    EXPECT_EQ(p("_a_ __b__"), "Emph[\"a\"] \" \" Strong[\"b\"]");
}

TEST(Emphasis, UnevenRuns) {
    Ctx p;
    EXPECT_EQ(p("*a**"), "Emph[\"a\"] \"*\"");
    EXPECT_EQ(p("**a*"), "\"*\" Emph[\"a\"]");
    // Rule of three: the "**" can both open and close, 1 + 2 is a multiple
    // of 3 and not both are, so it does not pair with the first "*".
    EXPECT_EQ(p("*a**b*"), "Emph[\"a**b\"]");
    EXPECT_EQ(p("*a **b***"), "Emph[\"a \" Strong[\"b\"]]");
}

TEST(Emphasis, IntrawordAndWhiteSpace) {
    Ctx p;
    EXPECT_EQ(p("a*b*c"), "\"a\" Emph[\"b\"] \"c\"");
    EXPECT_EQ(p("a_b_c"), "\"a_b_c\"");
    EXPECT_EQ(p("*a *"), "\"*a *\"");
    EXPECT_EQ(p("* a*"), "\"* a*\"");
    EXPECT_EQ(p("**"), "\"**\"");
    EXPECT_EQ(p("*(a)*"), "Emph[\"(a)\"]");
    EXPECT_EQ(p("_(a)_."), "Emph[\"(a)\"] \".\"");
}

TEST(Emphasis, UnicodePunctuationAndSymbols) {
    Ctx p;
    // U+00A9 (a symbol) flanks like a letter: "a*©" cannot open after "a".
    EXPECT_EQ(p("\xC2\xA9*a*\xC2\xA9"), "\"\xC2\xA9\" Emph[\"a\"] \"\xC2\xA9\"");
    EXPECT_EQ(p("a_\xC2\xA9_"), "\"a_\xC2\xA9_\"");
    // U+00AB (Pi) flanks like punctuation: "_" may open after a letter?
    // No: after a letter and before punctuation it is right-flanking only.
    EXPECT_EQ(p("\xC2\xAB_a_\xC2\xBB"), "\"\xC2\xAB\" Emph[\"a\"] \"\xC2\xBB\"");
    EXPECT_TRUE(tavrel::inline_::is_flanking_punct(U'\u00AB'));
    EXPECT_TRUE(tavrel::inline_::is_flanking_punct(U'$'));  // ASCII symbols count
    EXPECT_FALSE(tavrel::inline_::is_flanking_punct(U'\u00A9'));
    EXPECT_FALSE(tavrel::inline_::is_flanking_punct(U'\u20AC'));  // Sc
    EXPECT_TRUE(tavrel::inline_::is_flanking_punct(U'\u2014'));   // Pd
    EXPECT_TRUE(tavrel::inline_::is_flanking_punct(U'\u3002'));   // Po
}

TEST(Strikeout, ExactRuns) {
    Ctx p;
    EXPECT_EQ(p("~~a~~"), "Strike[\"a\"]");
    EXPECT_EQ(p("~~~a~~~"), "\"~~~a~~~\"");
    EXPECT_EQ(p("~~a~"), "\"~~a~\"");
    EXPECT_EQ(p("~~a *b*~~"), "Strike[\"a \" Emph[\"b\"]]");
}

TEST(Highlight, ExactRuns) {
    Ctx p;
    EXPECT_EQ(p("==a=="), "Mark[\"a\"]");
    EXPECT_EQ(p("=a="), "\"=a=\"");
    EXPECT_EQ(p("===a==="), "\"===a===\"");
    EXPECT_EQ(p("a == b"), "\"a == b\"");
}

TEST(Emphasis, TrailingAttributes) {
    Ctx p;
    EXPECT_EQ(p("*a*{.x}"), "Emph[\"a\"]{.x}");
    EXPECT_EQ(p("*a*{.x}{#y} z"), "Emph[\"a\"]{#y .x} \" z\"");
    EXPECT_EQ(p("*a*{"), "Emph[\"a\"] \"{\"");
    EXPECT_EQ(p("~~a~~{k=\"v w\"}"), "Strike[\"a\"]{k=v w}");
    EXPECT_EQ(p("**a**{: .c}"), "Strong[\"a\"]{.c}");
    // A block whose text was split by other constructs stays visible.
    EXPECT_EQ(p("*a*{k=*b*}"), "Emph[\"a\"] \"{k=\" Emph[\"b\"] \"}\"");
    // Inside a bracket the block is matched when the bracket closes.
    EXPECT_EQ(p("[*a*{.x}]{.y}"), "Span[Emph[\"a\"]{.x}]{.y}");
    // A block broken by a line end is not the text after the closer.
    EXPECT_EQ(p("*a*{.x\n.y}"), "Emph[\"a\"] \"{.x\" SB \".y}\"");
    // Escapes and references inside the block are matched as the scan left them.
    EXPECT_EQ(p("*a*{k=x\\&y&amp;z}"), "Emph[\"a\"]{k=x&y&z}");
}

TEST(Emphasis, NotAcrossBrackets) {
    Ctx p;
    EXPECT_EQ(p("*a [b* c](u)"), "\"*a \" Link(u)[\"b* c\"]");
    EXPECT_EQ(p("[*a](u)*"), "Link(u)[\"*a\"] \"*\"");
}
