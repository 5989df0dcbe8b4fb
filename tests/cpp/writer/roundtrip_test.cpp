// The round trip at the inline level: a paragraph written by the writer, read
// back by the inline reader and written again gives the same text. This is
// the property the chunk stage checks on whole articles; here it runs over
// the inline runs that break it when written literally (edge spaces, emphasis
// ending in a space, character references, script texts) and over every
// paragraph of parsed synthetic wiki pages.
#include <gtest/gtest.h>

#include <random>

#include "builders.hpp"
#include "tavrel/inline.hpp"
#include "tavrel/options.hpp"
#include "tavrel/wikitext.hpp"

using namespace wt;

namespace {

// The paragraph's text as the block reader hands it to the inline reader:
// the written block without its final line end and blank line.
// Read back, the notes are footnotes "__note1", "__note2", ... of the text
// (`read_back`); written first, they are not, and take those labels.
std::string paragraph_text(const Inlines& run, bool read_back) {
    // The footnotes the reader is told about below.
    static const Document labels = [] {
        Document d;
        for (const char* l : {"n", "q", "a", "c"}) d.footnotes.push_back(Footnote{l, {}});
        return d;
    }();
    static const Document labels_and_notes = [] {
        Document d = labels;
        for (int i = 1; i <= 200; ++i) d.footnotes.push_back(Footnote{"__note" + std::to_string(i), {}});
        return d;
    }();
    static const Document empty;
    tavrel::write_md::Renderer r(empty, read_back ? &labels_and_notes : &labels);
    r.block(P(run));  // the notes' definitions are not part of the paragraph
    std::string s = r.take();
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

// Writes, reads back and writes again; returns both texts.
std::pair<std::string, std::string> round_trip(const Inlines& run) {
    static const tavrel::Options options;
    static const tavrel::inline_::LinkDefs defs;
    static const tavrel::inline_::FootnoteLabels labels = [] {
        tavrel::inline_::FootnoteLabels l{"n", "q", "a", "c"};
        for (int i = 1; i <= 200; ++i) l.insert("__note" + std::to_string(i));
        return l;
    }();
    tavrel::inline_::InlineContext ctx{options, defs, labels};
    std::string first = paragraph_text(run, false);
    Inlines back = tavrel::inline_::parse_inner(first, ctx);
    std::string second = paragraph_text(back, true);
    return {first, second};
}

void expect_round_trip(const Inlines& run) {
    auto [first, second] = round_trip(run);
    EXPECT_EQ(second, first) << debug_string(run);
}

}  // namespace

TEST(RoundTrip, MendedRunsReadBackAsWritten) {
    expect_round_trip({T("Sentence. ")});
    expect_round_trip({T("a "), SB(), T(" b")});
    expect_round_trip({T("a"), SB(), SB(), T("b"), HB()});
    expect_round_trip({T("say "), Em({T("word ")}), T("next")});
    expect_round_trip({St({T(" lead")}), T(" x")});
    expect_round_trip({T("a &lt; b &amp; &#38;lt; R&D")});
    expect_round_trip({Link{Attr{}, {T("x")}, "/w?a=1&lt;2 (b)", std::string("t &amp; \"q\"")}});
    expect_round_trip({T("x"), Superscript{Attr{}, "2"}, T(" "), Superscript{Attr{}, "a b"}, Subscript{Attr{}, "*i*"}});
    expect_round_trip({T("- item * _ # > + = ^ ~ ` | \\ [ ] < $")});
    expect_round_trip({T("[sic] and [x](y) and [^n]: z")});
    expect_round_trip({T("a ["), Link{Attr{}, {T("in [b] c")}, "u", std::nullopt}, T("] [")});
    expect_round_trip({Span{Cls("c"), {T("[x]")}}, T("["), Code{Attr{}, "\\]"}});
    expect_round_trip({T("a"), Note{{T("note")}}, FootnoteRef{"n"}});
}

TEST(RoundTrip, ParagraphsOfParsedWikiPages) {
    // Random sentences of wikitext pieces that stress escaping, emphasis
    // flanking, brackets, autolinks, references and template calls.
    const std::vector<std::string> pieces = {
        "plain", "''it ''", "'''bo'''", "[[L|l]]", "<ref>r</ref>", "&amp;lt;", "a*b", "x_y", "<sup>2</sup>",
        "<sub>i j</sub>", "R&D", "#", "- ", "1.", "caf\xC3\xA9", "''' s'''", "''a'' b", "'''''x'''''",
        "<math>x^2</math>", "{{t}}", "{{t|a}}", "{{t|a|b}}", "[http://example.com x]", "[http://example.com]",
        "http://bare.com", "www.x.com", "a@b.com", "&nbsp;", "<br>", "<span class=\"x\">s</span>", "~~", "==",
        "<nowiki>*</nowiki>", "(", ")", "[", "]", "''", "'''", "\\", "`", "<", ">", "{", "}", ":", "!", "^", "~",
        "<b>b</b>", "[[File:X.png|thumb|cap]]", "[[Category:C]]", "__NOTOC__", "&#91;", "*", "_", "--", "...",
        "\"q\"", "'", "''b'''", "'''c''", "[[a]]b", "{{{p}}}", "<s>strike</s>"};
    int paragraphs = 0;
    for (unsigned seed = 0; seed < 1500; ++seed) {
        std::mt19937 rng(seed);
        std::string page;
        for (int w = 0; w < 10; ++w) {
            page += pieces[rng() % pieces.size()];
            page += (rng() % 7 == 0) ? "" : " ";
        }
        Document doc = tavrel::wikitext::document::parse(page);
        for (const Block& b : doc.blocks) {
            if (const auto* p = b.as<Paragraph>()) {
                SCOPED_TRACE(page);
                expect_round_trip(p->content);
                ++paragraphs;
            }
        }
    }
    EXPECT_GT(paragraphs, 1000);
}
