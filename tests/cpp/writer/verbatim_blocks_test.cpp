// Blocks whose text the writer copies verbatim between an opening and a
// closing line: display math, fenced code, raw and format blocks. The reader
// ends such a block at the first line that closes it, so a text holding that
// line must be written in a form that reads back whole; otherwise the chunk
// stage, which reads every article back, stops on text the article stage
// wrote. Each hazard is tried at the top level and inside every container
// that re-shapes its children's lines.
#include <gtest/gtest.h>

#include "builders.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"

using namespace wt;

namespace {

Document read(const std::string& text) { return tavrel::block::parse_source(text, tavrel::Options::dataset()); }

// The block as it stands alone, inside a list item, a block quote, a div
// and a footnote.
std::vector<Document> placements(const Block& b) {
    std::vector<Document> out;
    out.push_back(Doc({P({T("before")}), b, P({T("after")})}));
    out.push_back(Doc({Bullets({Item({b}), Item({P({T("next")})})}), P({T("after")})}));
    out.push_back(Doc({BlockQuote{Attr{}, {P({T("q")}), b}}, P({T("after")})}));
    out.push_back(Doc({Div{Cls("d"), {b}}, P({T("after")})}));
    Document fn = Doc({P({T("x"), FootnoteRef{"n"}})});
    fn.footnotes.push_back(Footnote{"n", {b, P({T("more")})}});
    out.push_back(fn);
    return out;
}

// The text a verbatim block holds, with its kind and format or formula
// attributes: what must read back unchanged.
std::string verbatim(const Block& b) {
    if (const auto* m = b.as<MathBlock>()) return "math " + tavrel::markdown::attrs_body(m->attr) + "\n" + m->tex;
    if (const auto* c = b.as<CodeBlock>()) return "code " + c->lang.value_or("") + "\n" + c->text;
    if (const auto* r = b.as<RawBlock>()) return "raw " + r->format + "\n" + r->text;
    if (const auto* f = b.as<FormatBlock>()) return "format " + f->format + "\n" + f->text;
    return "other";
}

// Every placement of `b` is written, read back and written again to the same
// text, and the block alone reads back as `expected`.
void reads_back_as(const Block& b, const Block& expected) {
    for (const Document& doc : placements(b)) {
        const std::string first = md(doc);
        const Document again = read(first);
        EXPECT_EQ(md(again), first) << first;
        EXPECT_EQ(again.diagnostics.size(), 0u) << first;
    }
    const std::string alone = md(Doc({b}));
    const Document again = read(alone);
    ASSERT_EQ(again.blocks.size(), 1u) << alone;
    EXPECT_EQ(verbatim(again.blocks.front()), verbatim(expected)) << alone;
}

// ... as the block it was written from.
void reads_back_whole(const Block& b) { reads_back_as(b, b); }

Block DisplayMath(std::string tex) { return MathBlock{Attr{}, std::move(tex), true}; }

}  // namespace

TEST(VerbatimBlocks, MathHoldingItsOwnCloser) {
    // The wikitext <math display="block">a\n\]\nb</math>.
    reads_back_whole(DisplayMath("a\n\\]\nb"));
    EXPECT_EQ(md(Doc({DisplayMath("a\n\\]\nb")})), "$$\na\n\\]\nb\n$$\n\n");
    // White space around the line does not hide it from the reader.
    reads_back_whole(DisplayMath("a\n  \\]\t\nb"));
    reads_back_whole(DisplayMath("\\]"));
    // Text that merely holds the closer is no hazard: the usual form stays.
    EXPECT_EQ(md(Doc({DisplayMath("x \\] y")})), "\\[\nx \\] y\n\\]\n\n");
    reads_back_whole(DisplayMath("x \\] y"));
}

TEST(VerbatimBlocks, MathHoldingBothClosers) {
    // A "$$" line alone is no hazard for the usual form.
    reads_back_whole(DisplayMath("$$"));
    reads_back_whole(DisplayMath("a\n$$\nb"));
    EXPECT_EQ(md(Doc({DisplayMath("a\n$$\nb")})), "\\[\na\n$$\nb\n\\]\n\n");
    // With both closers neither form holds the formula as it is: each "\]"
    // line gets a TeX comment sign, which changes nothing of the formula.
    EXPECT_EQ(md(Doc({DisplayMath("a\n\\]\nb\n $$ \nc")})), "\\[\na\n\\]%\nb\n $$ \nc\n\\]\n\n");
    reads_back_as(DisplayMath("a\n\\]\nb\n $$ \nc"), DisplayMath("a\n\\]%\nb\n $$ \nc"));
    reads_back_as(DisplayMath("\\]\n$$"), DisplayMath("\\]%\n$$"));
    reads_back_as(DisplayMath("$$\n \\] \n\n"), DisplayMath("$$\n \\] %\n\n"));
}

TEST(VerbatimBlocks, LineEndsAndTabsInsideContainers) {
    // The reader reads a carriage return, alone or before a line feed, as a
    // line end: the text is written with line feeds. Inside a list item or
    // a footnote a line of white space reads back empty: it is written so.
    // Tabs after a container's prefix are read by their columns.
    const std::pair<std::string, std::string> texts[] = {
        {"a\r\nb\n", "a\nb\n"}, {"a\rb\r", "a\nb\n"}, {"\tx\n", "\tx\n"},
        {" \ty\n\t\tz\n", " \ty\n\t\tz\n"}, {"x\n\t\n \n", "x\n\t\n \n"}};
    for (auto [text, read] : texts) {
        reads_back_as(CodeBlock{Attr{}, "", std::nullopt, text}, CodeBlock{Attr{}, "", std::nullopt, read});
        reads_back_as(RawBlock{"html", text}, RawBlock{"html", read});
        reads_back_as(FormatBlock{"latex", text}, FormatBlock{"latex", read});
        text.pop_back();
        read.pop_back();
        reads_back_as(DisplayMath(text), DisplayMath(read));
    }
}

TEST(VerbatimBlocks, MathWithAttributes) {
    reads_back_whole(MathBlock{Id("eq"), "a\n\\]\nb", true});
    reads_back_as(MathBlock{Id("eq"), "a\n\\]\n$$\nb", true}, MathBlock{Id("eq"), "a\n\\]%\n$$\nb", true});
}

TEST(VerbatimBlocks, CodeHoldingFenceLines) {
    for (std::string text : {"```\n", "a\n```\nb\n", "~~~\n```\n", "   ````\n", "``` x\n", "\n\n```\n\n"}) {
        reads_back_whole(CodeBlock{Attr{}, "", std::nullopt, text});
        reads_back_whole(CodeBlock{Attr{}, "", "py", text});
    }
    // A language holding a backtick takes a tilde fence; its text may hold
    // tilde fences too.
    reads_back_whole(CodeBlock{Attr{}, "", "a`b", "~~~\nx\n~~~~\n"});
}

TEST(VerbatimBlocks, RawAndFormatBlocksHoldingFenceLines) {
    for (std::string text : {"```\n", "a\n````\nb\n", "``` {=html}\n", "\n\n"}) {
        reads_back_whole(RawBlock{"html", text});
        reads_back_whole(FormatBlock{"latex", text});
    }
}

TEST(VerbatimBlocks, RawAndFormatBlocksWhoseFormatTheReaderRefuses) {
    // A format the reader takes as no format leaves the info as a code
    // block's: the block is written as that code block, whose text reads
    // back whole.
    for (std::string format : {"", "a b", "x}y", "a`b", "a\nb", "{"}) {
        for (const Block& b : {Block{RawBlock{format, "t\n```\n"}}, Block{FormatBlock{format, "t\n"}}}) {
            for (const Document& doc : placements(b)) {
                const std::string first = md(doc);
                EXPECT_EQ(md(read(first)), first) << first;
            }
        }
    }
    // The text itself is kept.
    const Document again = read(md(Doc({RawBlock{"a b", "t\n```\n"}})));
    ASSERT_EQ(again.blocks.size(), 1u);
    const auto* code = again.blocks.front().as<CodeBlock>();
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->text, "t\n```\n");
}
