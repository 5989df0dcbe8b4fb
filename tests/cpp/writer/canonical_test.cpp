// The canonical shape: the places where writing a tree literally would give
// text that the Markdown reader reads back as a different tree. Each case is
// one such fault, written the way it reads back the same.
#include <gtest/gtest.h>

#include "builders.hpp"

using namespace wt;

namespace {
std::string para(Inlines run) { return md({P(std::move(run))}); }
}  // namespace

TEST(CanonicalLines, WhiteSpaceAtParagraphEdgesIsDropped) {
    EXPECT_EQ(para({T("Sentence. ")}), "Sentence.\n\n");
    EXPECT_EQ(para({T(" \t\u00A0lead")}), "lead\n\n");
    EXPECT_EQ(para({T("a "), SB(), T("  b")}), "a\nb\n\n");
    EXPECT_EQ(para({T("a \n b")}), "a\nb\n\n");
    EXPECT_EQ(para({T("a\r\nb\rc")}), "a\nb\nc\n\n");
    // A space before a hard break is not at the line's edge: the backslash is.
    EXPECT_EQ(para({T("a "), HB(), T("b")}), "a \\\nb\n\n");
}

TEST(CanonicalLines, NoBlankLineAndNoBreakAtTheEdges) {
    EXPECT_EQ(para({SB(), T("a"), SB()}), "a\n\n");
    EXPECT_EQ(para({T("a"), HB()}), "a\n\n");
    EXPECT_EQ(para({HB(), T("a")}), "a\n\n");
    EXPECT_EQ(para({T("a"), SB(), SB(), T("b")}), "a\nb\n\n");
    EXPECT_EQ(para({T("a"), SB(), T("   "), SB(), T("b")}), "a\nb\n\n");
    EXPECT_EQ(para({T("a"), HB(), SB(), T("b")}), "a\\\nb\n\n");
    EXPECT_EQ(para({T("a\n\n\nb")}), "a\nb\n\n");
}

TEST(CanonicalLines, ParagraphOfOnlyWhiteSpaceIsNotWritten) {
    Block blank = P({T("  "), SB(), T(" ")});
    EXPECT_EQ(md({blank, P({T("x")})}), "x\n\n");
    EXPECT_EQ(md({P({})}), "");
    // One with attributes is written as character references, which keep
    // it and its attribute line.
    blank.as<Paragraph>()->attr = Id("kept");
    EXPECT_EQ(md({blank, P({T("x")})}), "&#32;&#32;\n&#32;\n{: #kept}\n\nx\n\n");
}

TEST(CanonicalLines, LineEdgesInsideLinksAndSpans) {
    EXPECT_EQ(para({Link{Attr{}, {T("a "), SB(), T(" b")}, "u", std::nullopt}}), "[a\nb](u)\n\n");
    // The bracket is on the line, so the space after it is not at an edge.
    EXPECT_EQ(para({Span{Cls("c"), {T(" a ")}}}), "[ a ]{.c}\n\n");
}

TEST(CanonicalEmphasis, WhiteSpaceMovesOutsideTheDelimiters) {
    EXPECT_EQ(para({Em({T("word ")}), T("next")}), "*word* next\n\n");
    EXPECT_EQ(para({T("a"), Em({T(" b")})}), "a *b*\n\n");
    EXPECT_EQ(para({T("x"), St({T(" both ")}), T("y")}), "x **both** y\n\n");
    EXPECT_EQ(para({Strikeout{Attr{}, {T("s ")}}, T("t")}), "~~s~~ t\n\n");
    EXPECT_EQ(para({Highlight{Cls("h"), {T("m ")}}, T("t")}), "==m=={.h} t\n\n");
    EXPECT_EQ(para({St({Em({T("x ")})}), T("y")}), "***x*** y\n\n");
    EXPECT_EQ(para({T("a"), Em({T("b"), SB()}), T("c")}), "a*b*\nc\n\n");
    // At the end of the paragraph the moved space is trimmed too.
    EXPECT_EQ(para({T("say "), Em({T("word ")})}), "say *word*\n\n");
}

TEST(CanonicalEmphasis, EmptyEmphasisIsDropped) {
    EXPECT_EQ(para({T("a"), Em({T(" ")}), T("b")}), "a b\n\n");
    EXPECT_EQ(para({T("a"), St({}), T("b")}), "ab\n\n");
}

TEST(CanonicalSingleLine, HeadingsTermsAndCaptionsStayOnOneLine) {
    EXPECT_EQ(md({H(2, {T(" A "), HB(), T("B ")})}), "## A  B\n\n");
    EXPECT_EQ(md({H(1, {T("a\nb")}, Cls("x"))}), "# a b {.x}\n\n");
    DefinitionList dl{Attr{}, {DefinitionItem{{{Attr{}, {T(" t"), SB(), T("u ")}}}, {{T(" d "), HB(), T("e")}}}}};
    EXPECT_EQ(md({Block{dl}}), "t u\n: d  e\n\n");
}

TEST(CanonicalNotes, NoteContentIsWrittenInItsCanonicalShape) {
    EXPECT_EQ(para({T("a"), Note{{T(" n "), SB()}}}), "a[^__note1]\n\n[^__note1]: n\n\n");
}

namespace {
Table table_with_cell(Inlines cell) {
    Table t;
    t.aligns = {Align::Default, Align::Default};
    t.head = {Row({Cell({T("h")}), Cell({T("i")})})};
    t.body = {Row({Cell(std::move(cell)), Cell({T("d")})})};
    return t;
}
bool is_html(const std::string& s) { return s.rfind("<table>", 0) == 0; }
}  // namespace

TEST(CanonicalTables, CellsAPipeRowCannotHoldSendTheTableToHtml) {
    EXPECT_TRUE(is_html(md({table_with_cell({T("a"), HB(), T("b")})})));
    EXPECT_TRUE(is_html(md({table_with_cell({T("a"), SB(), T("b")})})));
    EXPECT_TRUE(is_html(md({table_with_cell({T("a\nb")})})));
    // A "|" after a backslash cannot be escaped: the row's split reads "\\|" as "\\" and a bar.
    EXPECT_TRUE(is_html(md({table_with_cell({Code{Attr{}, "a\\|b"}})})));
    EXPECT_TRUE(is_html(md({table_with_cell({RawInline{"tex", "a\\|b"}})})));
    EXPECT_TRUE(is_html(md({table_with_cell({Math{Attr{}, "\\|x", false}})})));
    EXPECT_TRUE(is_html(md({table_with_cell({RawHtml{"<span title=\"\\|\">"}})})));
    EXPECT_TRUE(is_html(md({table_with_cell({Autolink{"a:\\|", "a:\\|"}})})));
    EXPECT_TRUE(is_html(md({table_with_cell({Em({Span{Id("a\\|b"), {T("x")}}})})})));
    EXPECT_TRUE(is_html(md({table_with_cell({Em({T("x"), HB(), T("y")})})})));
    // A two-argument template call's element: a "|" in an attribute value
    // stands bare, one in an argument's text is escaped.
    Operation op{"mediawiki", "transclude", "a|b", {OperationArg{{T("x")}, std::nullopt}, OperationArg{{T("c")}, std::nullopt}}};
    EXPECT_TRUE(is_html(md({table_with_cell({op})})));
    op.name = "t";
    op.args[0].value = {T("a|b")};
    EXPECT_FALSE(is_html(md({table_with_cell({op})})));
    // A one-alignment table with two head cells has no delimiter row to match.
    Table mismatch = table_with_cell({T("c")});
    mismatch.aligns = {Align::Default};
    EXPECT_TRUE(is_html(md({mismatch})));
}

TEST(CanonicalTables, WhatACellCanHoldStaysAPipeTable) {
    EXPECT_EQ(md({table_with_cell({T(" a|b "), Em({T("e ")}), Note{{T("n"), SB(), T("m")}}})}),
              "| h | i |\n|--- |--- |\n| a\\|b *e* [^__note1] | d |\n\n[^__note1]: n\n    m\n\n");
    EXPECT_EQ(md({table_with_cell({})}), "| h | i |\n|--- |--- |\n|  | d |\n\n");
    EXPECT_EQ(md({table_with_cell({Code{Attr{}, "a|b"}, T(" "), Code{Cls("c"), "|"}})}),
              "| h | i |\n|--- |--- |\n| `a\\|b` `\\|`{.c} | d |\n\n");
    EXPECT_EQ(md({table_with_cell({RawInline{"wikitext", "{{a|b}}"}})}),
              "| h | i |\n|--- |--- |\n| `{{a\\|b}}`{=wikitext} | d |\n\n");
    // Bars outside text and code are escaped alike.
    EXPECT_EQ(md({table_with_cell({Math{Attr{}, "|x|", false}, T(" "), RawHtml{"<span title=\"|\">"},
                                   Link{Attr{}, {T("l")}, "a|b", std::nullopt}})}),
              "| h | i |\n|--- |--- |\n| \\(\\|x\\|\\) <span title=\"\\|\">[l](a\\|b) | d |\n\n");
    Table cap = table_with_cell({T("c")});
    cap.caption = {T("  ")};
    EXPECT_EQ(md({cap}), "| h | i |\n|--- |--- |\n| c | d |\n\n");
}

TEST(CanonicalAmpersand, ReferencesInTextDestinationsAndAttributesReadBackAsWritten) {
    // A text "&lt;" (from wikitext "&amp;lt;") must not read back as "<".
    EXPECT_EQ(para({T("a &lt; b & c")}), "a \\&lt; b & c\n\n");
    EXPECT_EQ(para({Link{Attr{}, {T("x")}, "/p?a=1&copy;", std::nullopt}}), "[x](/p?a=1&amp;copy;)\n\n");
    Attr a;
    a.set_pair("alt", "&#38;");
    EXPECT_EQ(para({Span{a, {T("s")}}}), "[s]{alt=\"&amp;#38;\"}\n\n");
}

TEST(CanonicalLineStarts, TextThatWouldStartABlockIsEscaped) {
    // ":" would mark a definition or open a fenced div, "{:" an attribute
    // line; "1." on a later line would interrupt the paragraph with a list.
    EXPECT_EQ(para({T(": a"), SB(), T(":::"), SB(), T("{: .x}")}), "\\: a\n\\:::\n\\{: .x}\n\n");
    EXPECT_EQ(para({T("1. first line stays"), SB(), T("1. second"), HB(), T("01. third 2. mid")}),
              "1. first line stays\n1\\. second\\\n01\\. third 2. mid\n\n");
    EXPECT_EQ(para({T("a"), SB(), T("2. b 1.")}), "a\n2. b 1.\n\n");
}

TEST(CanonicalLineEnds, HeadingsAndTermsKeepTheirOwnAttributeBlock) {
    // A final attribute block would become the heading's: without
    // attributes of its own the heading writes the last inline's in its
    // element form, or, for an image, whose element form keeps only its
    // description's text, ends in a closing sequence.
    Inlines with_img{T("Map "), Image{Cls("thumb"), {T("m")}, "m.png", std::nullopt}};
    EXPECT_EQ(md({H(2, with_img)}), "## Map ![m](m.png){.thumb} #\n\n");
    EXPECT_EQ(md({H(2, with_img, Id("h"))}), "## Map ![m](m.png){.thumb} {#h}\n\n");
    EXPECT_EQ(md({H(2, {T("a "), Span{Cls("s"), {T("x")}}})}), "## a <span class=\"s\">x</span>\n\n");
    // Text that looks like an attribute block keeps its last brace escaped.
    EXPECT_EQ(md({H(3, {T("set {.x}")})}), "### set {.x\\}\n\n");
    EXPECT_EQ(md({H(3, {T("set {two words}")})}), "### set {two words}\n\n");
    DefinitionList dl{Attr{}, {DefinitionItem{{{Attr{}, {T("k {.i} {#j}")}}}, {{T("v")}}}}};
    EXPECT_EQ(md({Block{dl}}), "k {.i} {\\#j}\n: v\n\n");
    dl.items[0].terms[0].content = {T("k {key=v}")};
    EXPECT_EQ(md({Block{dl}}), "k {key\\=v\\}\n: v\n\n");
    // So in a caption, where an address in a link's element form is text.
    Table cap = table_with_cell({T("c")});
    cap.caption = {Link{Cls("y"), {Autolink{"mailto:a@b.c", "a@b.c", true}}, "/u", std::nullopt}};
    EXPECT_EQ(md({cap}), "| h | i |\n|--- |--- |\n| c | d |\n: <a href=\"/u\" class=\"y\">a\\@b.c</a>\n\n");
}
