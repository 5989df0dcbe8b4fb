// The canonical form of hand-written Markdown: whatever text the reader is
// given, writing what it read gives a text that reads back to itself. The
// shapes here once changed on a second write; each is kept as a named case,
// and the random-text property test in roundtrip_test.cpp generates them.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/wikitext.hpp"
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

TEST(CanonicalForm, FootnoteLineHoldingALaterLabelEnd) {
    // The reader ends a footnote label at the first "]:" of a line that
    // begins with "[^", escaped bracket or not: a line the writer begins
    // with a reference must hold no such "]:" before white space.
    EXPECT_EQ(canonical("1. [^f]:]:\n"), "1. [^f]\\:\\]\\:\n\n[^f]: \\]:\n\n");
    EXPECT_EQ(canonical("^[]]:\n"), "[^__note1]\\]\\:\n\n[^__note1]:\n\n");
    // The first term of a definition list is such a line too.
    EXPECT_EQ(canonical("[^f]x\\]\\:y\n: d\n\n[^f]: n\n"), "[^f]x\\]\\:y\n: d\n\n[^f]: n\n\n");
    // The "]:" of a code span, raw HTML or an address cannot be escaped:
    // the reference is written as the text it would read back as, and a
    // note keeps its definition. (The bracket then opens what reads as a
    // link definition, and is written as a reference.)
    ast::Document doc;
    doc.blocks.push_back(ast::Paragraph{{}, {ast::FootnoteRef{"f"}, ast::Code{{}, "]:"}}});
    doc.footnotes.push_back(ast::Footnote{"f", {ast::Paragraph{{}, {ast::Text{"x"}}}}});
    EXPECT_EQ(canonical(write_md::render_md(doc)), "&#91;\\^f\\]`]:`\n\n[^f]: x\n\n");
    EXPECT_EQ(canonical("^[n]<!--]:-->\n"), "&#91;\\^\\_\\_note1\\]<!--]:-->\n\n[^__note1]: n\n\n");
    canonical("2. [^a]:http://]:d\n");
    // Also in a strong written in its element form after its delimiter form,
    // given up, had ended the line.
    EXPECT_EQ(canonical("^[] ***]:\ni***"), "[^__note1] *<strong>\\]\\:\ni</strong>*\n\n[^__note1]:\n\n");
    // So is a term's reference, on the list's first line.
    EXPECT_EQ(canonical("^[]`]:`\n:"), "&#91;\\^\\_\\_note1\\]`]:`\n: \n\n[^__note1]:\n\n");
    // White space before the "]:" already keeps the line a paragraph; the
    // escape on the rest of the line changes nothing read.
    EXPECT_EQ(canonical("[^f] x]:\n\n[^f]: n\n"), "[^f] x\\]\\:\n\n[^f]: n\n\n");
    // A superscript right after a bare "[" would make a reference of it.
    canonical("# \\[^f]^\n[^f]:\n");
    canonical("[^a^](u)\n");
}

TEST(CanonicalForm, NotesPassOverTheLabelsOfTheFootnotes) {
    // A note takes the next number whose label no footnote of the text is
    // written under: the reader would take two definitions of one label
    // for one.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[^__note1]: x\n\ny^[n] [^__note1]", "y[^__note2] [^__note1]\n\n[^__note1]: x\n\n[^__note2]: n\n\n"},
        {"6. [^__note1]:$^[]",
         "6. [^__note1]\\:\\$[^__note2]\n\n[^__note1]: \\$[^__note3]\n\n[^__note2]:\n\n[^__note3]:\n\n"},
        {"a^[p] b^[q] c^[r] [^__note2] [^__note4]\n\n[^__note2]: x\n\n[^__note4]: y",
         "a[^__note1] b[^__note3] c[^__note5] [^__note2] [^__note4]\n\n[^__note2]: x\n\n[^__note4]: y\n\n"
         "[^__note1]: p\n\n[^__note3]: q\n\n[^__note5]: r\n\n"},
        // Notes inside notes too; "__note01" is another label.
        {"^[n^[m]] [^__note2] [^__note01]\n\n[^__note2]: x\n\n[^__note01]: y",
         "[^__note1] [^__note2] [^__note01]\n\n[^__note2]: x\n\n[^__note01]: y\n\n[^__note1]: n[^__note3]\n\n"
         "[^__note3]: m\n\n"},
        // A note whose reference, opening a line that reads as a
        // definition, is written as its text keeps its definition.
        {"^[n]<!--]:--> [^__note1]\n\n[^__note1]: x",
         "[\\^\\_\\_note2\\]<!--]:--> [^__note1]\n\n[^__note1]: x\n\n[^__note2]: n\n\n"},
    };
    for (const auto& [text, written] : cases) EXPECT_EQ(canonical(text), written) << text;
}

TEST(CanonicalForm, OneItemListBeforeAnIndentedComment) {
    // The comment is not in the item (its indent is short of the item's
    // content), but written after the list with its indent kept it would
    // be: the item's content starts a column further in.
    EXPECT_EQ(canonical(" - t\n  <!--\n"), "-  t\n\n  <!--\n-->\n\n");
    // So for an item opening with raw HTML, whose padded marker the reader
    // takes for the writer's.
    EXPECT_EQ(canonical(" 1. <DIV\n   <div"), "1.  <DIV\n\n   <div\n\n");
    canonical("- a\n\n   <!-- c -->\n");
    canonical("1. a\n   <!-- c\n  -->\n");
}

TEST(CanonicalForm, UnclosedMarkdownContainers) {
    // A markdown container's tag is written as one again: written bare, the
    // tag would open a raw HTML block that takes the content into itself and
    // escapes its "<".
    EXPECT_EQ(canonical("<div markdown=\"1\">\n<d\n"), "<div markdown=\"1\">\n\n\\<d\n\n");
    EXPECT_EQ(canonical("<section markdown=\"1\">\n`<d`\n</section>\n\nx\n"),
              "<section markdown=\"1\">\n\n`<d`\n\n</section>\n\nx\n\n");
    canonical("<div markdown=\"1\">\n<div markdown=\"1\">\n*a* <b\n</div>\n");
    // Footnotes written before raw HTML left open at the end stand inside
    // the container, where the reader still takes them as footnotes.
    canonical("[^f]\n<section markdown=\"1\">\n[^f]:\n<div>\n");
    // A container whose content writes nothing is its tag alone.
    EXPECT_EQ(canonical("<div markdown=\"1\">\n>\n"), "<div>\n\n");
}

TEST(CanonicalForm, RawHtmlThatWouldOpenABlock) {
    // An inline note's text is a paragraph of the note's definition: HTML
    // beginning it would open an HTML block there, which the reader cleans.
    EXPECT_EQ(canonical("^[<div><!]\n"), "[^__note1]\n\n[^__note1]: `<div>`{=html}\\<!\n\n");
    canonical("^[<!-->]\n");
    // A code span reads a tab as a space, as it does a line end: written
    // with its tab, the HTML would read back otherwise.
    EXPECT_EQ(canonical("^[<!--\t-->]\n"), "[^__note1]\n\n[^__note1]: `<!-- -->`{=html}\n\n");
    EXPECT_EQ(canonical("^[<div\tclass=a>x]\n"), "[^__note1]\n\n[^__note1]: `<div class=a>`{=html}x\n\n");
    canonical("^[<div>]\n");
    // HTML going on over a line end: the later line would start a block.
    EXPECT_EQ(canonical(":<!--\n\t<!-->\n"), "\\:<!--\n    <!-->\n\n");
    canonical("$<!--\n    #-->\n");
    canonical("t<!--\n\t<div>-->\n");
    canonical(":<!--\n    :\n-->\n");
    canonical("a<!--\n|---|\n-->\n");
    canonical("g<!--\n{:.c}\n-->\n");
}

TEST(CanonicalForm, ContainerTagsInsideComments) {
    // A markdown container's tag inside a comment is comment text.
    EXPECT_EQ(canonical("<div>\n<!--<div markdown=\"1\">\n"), "<div>\n<!--<div markdown=\"1\">\n-->\n\n");
    canonical("<div><!--\n<div markdown=\"1\">\n");
    canonical("<section><!-- a -->\n<div markdown=\"1\">\nx\n</div>\n</section>\n");
    // A cell's tag before a line feed of its text, in a table written as
    // HTML, would end the line and open a container: the line feed is a
    // reference.
    EXPECT_EQ(canonical("*<div markdown=\"1\">&#10;|||\n-|-|-"),
              "<table>\n<thead>\n<tr><th>*<div markdown=\"1\">&#10;</th><th></th><th></th></tr>\n</thead>\n</table>\n\n");
    canonical("a&#10;<section markdown=\"1\"> &#10;|b\n-|-\n<p markdown=\"1\">&#10;&#10;|c");
    // After the comment closes, a tag ending a line opens a container again.
    const ast::Document doc = read("<div><!--\n-->\n<div markdown=\"1\">\n*x*\n</div>\n</div>\n");
    bool emphasis = false;
    for (const auto& b : doc.blocks) {
        if (const auto* p = b.as<ast::Paragraph>()) emphasis = !p->content.empty() && p->content.front().is<ast::Emph>();
    }
    EXPECT_TRUE(emphasis) << ast::debug_string(doc);
}

TEST(CanonicalForm, ContainerShapedTreesReadBackWhole) {
    // A tree made of a container's tags around blocks reads back as that tree.
    for (const char* text : {"<div markdown=\"1\">\n*x*\n</div>\n", "<div class=\"c\" markdown=\"1\">\n- a\n</div>\n",
                             "<div markdown=\"1\">\n<d\n"}) {
        const ast::Document doc = read(text);
        const std::string written = write_md::render_md(doc);
        EXPECT_EQ(read(written).blocks, doc.blocks) << written;
    }
}

TEST(CanonicalForm, StrongWithAttributesAsTheOnlyContentOfAStrong) {
    // The inner closer's attribute block stands between the two closing
    // runs: they are no shared run, and the opening run of four cannot pair
    // with the inner closer by the rule of three.
    canonical("x*********2:**{#d}***\n");
    canonical("Tex*****\x16\x16****2:*-****{#id}****\n");
}

TEST(CanonicalForm, EscapesDoNotOutliveAnEmphasisFormGivenUp) {
    // An emphasis written as its element after its delimiter form was
    // tried: a "{" opening its text follows no attribute target.
    const std::string page = "<brb'h'''{|''h''bot'''[mailto: '%n+iner'T s'\ncl\x07!\x07!! {";
    const std::string md = write_md::render_md(wikitext::document::parse(page));
    EXPECT_EQ(write_md::render_md(read(md)), md);
    EXPECT_NE(md.find("<strong>{"), std::string::npos) << md;
}

TEST(CanonicalForm, TermEndingInABlockTheReaderFindsInsideQuotes) {
    // An apostrophe opens a stretch the reader searches on its own for the
    // line's final "{": the "{" inside it starts a block, escaped "{" or not.
    EXPECT_EQ(canonical("{'^{v=^{}\n:\n"), "{'^{v=^\\{\\}\n: \n\n");
    canonical("# {'^{v=^{}\n");
}

TEST(CanonicalForm, AttributeValuesWithBracesAfterAnOpenQuote) {
    // The term's own block follows a stretch a quote opened: a brace in a
    // value would move the "{" the reader takes as the block's.
    EXPECT_EQ(canonical("\"{k=\\{}\n:\n"), "\"{k='\\{'}\n: \n\n");
    EXPECT_EQ(canonical("'x {v=\"k\\{\"}\n: d\n"), "'x{v=\"k\\{\"}\n: d\n\n");
    canonical("# \"a {k='}' .c}\n");
}

TEST(CanonicalForm, ParagraphWhoseLinesWouldReadAsItems) {
    // A page's paragraph whose lines, written as they are, would read as a
    // list of items ("2. :::" holding a div): its first number is escaped,
    // and it reads back as one paragraph.
    for (const auto& [page, expected] : std::vector<std::pair<std::string, std::string>>{
             {"1.\n2. y", "1\\.\n2. y\n\n"}, {"1. a\n2. :::", "1\\. a\n2. :::\n\n"}}) {
        const std::string md = write_md::render_md(wikitext::document::parse(page));
        EXPECT_EQ(md, expected);
        const ast::Document doc = read(md);
        ASSERT_EQ(doc.blocks.size(), 1u) << md;
        EXPECT_TRUE(doc.blocks.front().is<ast::Paragraph>()) << md;
        EXPECT_EQ(canonical(md), md);
    }
    // Lines that read back as text keep their numbers bare.
    EXPECT_EQ(canonical("1. a\n2.  b\n"), "1. a\n2.  b\n\n");
}

TEST(CanonicalForm, CodeSpansSideBySide) {
    // Attributes the writer cannot write leave nothing between two code
    // spans; written side by side they would read as one span holding the
    // backticks between them. The first takes its element form, which
    // keeps the texts apart.
    EXPECT_EQ(canonical("`e`{id=''}`}`\n"), "<code>e</code>`}`\n\n");
    EXPECT_EQ(canonical("`a`{id=''}`b`{.c}\n"), "<code>a</code>`b`{.c}\n\n");
    EXPECT_EQ(canonical("`a`{id=''}`b`{id=''}`c`\n"), "<code>a</code><code>b</code>`c`\n\n");
    // So do spans that a strong merged into the one around it made
    // neighbours.
    EXPECT_EQ(canonical("**`|`__``b``__**"), "**<code>\\|</code>`b`**\n\n");
    // A written attribute block keeps them apart.
    EXPECT_EQ(canonical("`a`{.c}`b`\n"), "`a`{.c}`b`\n\n");
}

TEST(CanonicalForm, CodeSpanBeforeARawSpan) {
    // No attribute block ends the code span before the raw span: the code
    // takes its element form.
    EXPECT_EQ(canonical("`a*b`{id=''}`<b>`{=html}\n"), "<code>a\\*b</code>`<b>`{=html}\n\n");
    EXPECT_EQ(canonical("`a`{.c}`<b>`{=html}\n"), "`a`{.c}`<b>`{=html}\n\n");
}

TEST(CanonicalForm, TermsAfterADefinitionStartAParagraph) {
    // A term line after a definition line is read as the first line of a
    // paragraph: a lone "-" or an item number there would open a list.
    EXPECT_EQ(canonical("$\n:\n\f-\r.\n:\n"), "\\$\n: \n\\-\n.\n: \n\n");
    EXPECT_EQ(canonical("a\n: b\n2. x\n: c\n"), "a\n: b\n2\\. x\n: c\n\n");
}

TEST(CanonicalForm, ItemLineEndingInWhiteSpace) {
    // White space after an item's text is gone once the list is text again:
    // whether the list was text is judged without it, or the text written
    // could read as the list.
    canonical("1.\n\n2. ::: ");
    canonical("1.\n2. ::: ");
    canonical("1.\n\n2.  \n");
    canonical("1. a\n\n2. \xC2\xA0\n");
    EXPECT_EQ(read("1.\n\n2. ::: ").blocks, read("1.\n\n2. :::\n").blocks);
}

TEST(CanonicalForm, AddressInAnAttributeValueAfterADelimiter) {
    // The block after a closing delimiter is taken once the text is
    // scanned: a bare address in a quoted value would be a link by then.
    EXPECT_EQ(canonical("_t_{k=http://}\n"), "*t*{k=\"http\\://\"}\n\n");
    canonical("**t**{k=http://a.b/}\n");
    canonical("~~t~~{k=www.a.b}\n");
    canonical("^t^{k=a@b.c}\n");
}

TEST(CanonicalForm, BracketInAnAttributeBlockAfterADelimiter) {
    // A bare bracket in the block would open a link in the same scan, and
    // "\\[" would open display math before any later "\\]": an id or class
    // holding "[" takes the pair form, where a reference stands for it.
    EXPECT_EQ(canonical("*h*{#\\[}\n"), "*h*{id=\"&#91;\"}\n\n");
    canonical("*h*{.a\\]b k=\"[x]\"}\n");
    EXPECT_EQ(canonical("*h*{#\\[}]"), "*h*{id=\"&#91;\"}\\]\n\n");
    EXPECT_EQ(canonical("*>*{#\\[}]"), "*\\>*{id=\"&#91;\"}\\]\n\n");
    EXPECT_EQ(canonical("*a*{.x\\[y}]"), "*a*{class=\"x&#91;y\"}\\]\n\n");
    EXPECT_EQ(canonical("*a*{k=\"\\[\"}]"), "*a*{k=\"&#91;\"}\\]\n\n");
    EXPECT_EQ(canonical("_]_{k=\\[}]"), "*\\]*{k=\"&#91;\"}\\]\n\n");
    // A class holding white space too cannot take the pair form (its value
    // is split into classes): it is not written.
    EXPECT_EQ(canonical("*a*{.x\\[\\ y .z}"), "*a*{.z}\n\n");
}

TEST(CanonicalForm, ConstructMarkInAnAttributeBlockAfterADelimiter) {
    // The block after a closing delimiter run is taken as attributes only
    // when the scan read it as plain text: a mark that would start a
    // delimiter run, a script, math or an address there is escaped, in a
    // word and in a value alike.
    EXPECT_EQ(canonical("*a*{#\\_}"), "*a*{#\\_}\n\n");
    EXPECT_EQ(canonical("*a*{k=\"\\*\"}"), "*a*{k=\"\\*\"}\n\n");
    EXPECT_EQ(canonical("*:*{k=\"\\*\"}"), "*:*{k=\"\\*\"}\n\n");
    EXPECT_EQ(canonical("**a**{.b\\~c\\~ k=\"x\\^y\\^ \\$$ \\=\\=\"}"),
              "**a**{.b\\~c\\~ k=\"x\\^y\\^ \\$\\$ \\=\\=\"}\n\n");
    EXPECT_EQ(canonical("~~a~~{#x\\@b\\.org}"), "~~a~~{#x\\@b\\.org}\n\n");
    // A key cannot be escaped: a pair whose key holds such a mark is not
    // written.
    EXPECT_EQ(canonical("==a=={k\\_x=1 j=2}"), "==a=={j=\"2\"}\n\n");
    EXPECT_EQ(canonical("==a=={k\\_x=1}"), "==a==\n\n");
}

TEST(CanonicalForm, TagOrBacktickInAnAttributeBlockAfterADelimiter) {
    // A bare "<" or backtick in the block would open raw HTML or a code
    // span in the same scan, after which a brace of the value is no longer
    // inside its quotes.
    EXPECT_EQ(canonical("**a**{k=\"v\\<b>d\\{\"}\n"), "**a**{k=\"v\\<b>d{\"}\n\n");
    EXPECT_EQ(canonical("**a**{#v\\<b>d\\{}\n"), "**a**{#v\\<b>d\\{}\n\n");
    EXPECT_EQ(canonical("**a**{k=\"v\\`d\\{\"} x`y\n"), "**a**{k=\"v\\`d{\"} x\\`y\n\n");
    canonical("*x\n* ]{-__]__p:/oa.__{k=v\\</div>div>{}]____+_on^");
}

TEST(CanonicalForm, DefinitionListsApartInAMarkdownContainer) {
    // A blank line ends a definition list inside a markdown container as it
    // does at the top level: the container's blocks stand in the document's
    // list, and two lists there are still two lists.
    const ast::Document doc = read("<div markdown=\"1\">\na\n: x\n\nb\n: y\n</div>\n");
    ASSERT_EQ(doc.blocks.size(), 4u) << ast::debug_string(doc);
    EXPECT_TRUE(doc.blocks[1].is<ast::DefinitionList>());
    EXPECT_TRUE(doc.blocks[2].is<ast::DefinitionList>());
    // Lines right under a list still add items to it.
    EXPECT_EQ(read("<div markdown=\"1\">\na\n: x\nb\n: y\n</div>\n").blocks.size(), 3u);
    // A container's lists a blank line apart are written as two.
    EXPECT_EQ(canonical("<div markdown=\"1\">\n\n-\n:\n\n2\n:"), "<div markdown=\"1\">\n\n\\-\n: \n\n2\n: \n\n");
    // A broken opening tag ends at the blank line after it: the lists are
    // the document's, and the tag is written bare.
    EXPECT_EQ(canonical("<div {>\n\n-\n:\n\n2\n:"), "<div {>\n\n\\-\n: \n\n2\n: \n\n");
}

TEST(CanonicalForm, ItemNumberBeforeRawHtml) {
    // A one-line paragraph "0. <div>" reads as an item holding a raw HTML
    // block, which the reader keeps as a list: the writer would write that
    // item the same way. The paragraph's number is escaped.
    EXPECT_EQ(canonical("0\\. <!-->\n"), "0\\. <!-->\n\n");
    EXPECT_EQ(canonical("1\\. <div><d\n"), "1\\. <div>\\<d\n\n");
    EXPECT_EQ(canonical("0\\. <div markdown=\"1\">\n"), "0\\. <div markdown=\"1\">\n\n");
    canonical("[^g]:0. <div><!\n");
    canonical("^[3. <div markdown=\"1\">]\n");
}

TEST(CanonicalForm, ItemNumberEndingADivWrittenAsItsContentBeforeIndentedRawHtml) {
    // Written as its content, the div ends in its last block, which the
    // line after it follows: the paragraph's number is escaped as after a
    // paragraph, else the indented line would go into the item it reads as,
    // the line after it (the comment's closer) not.
    EXPECT_EQ(canonical(":::\n::: {.}\nx\n\n1\\. b\n:::\n   <div>\n:::"), ":::\nx\n\n1\\. b\n\n   <div>\n\n:::\n\n");
    EXPECT_EQ(canonical(":::\n> ::: {.}\n> x\n>\n> 1\\. b\n> :::\n>    <!--\n"),
              ":::\n> x\n>\n> 1\\. b\n>\n>    <!--\n> -->\n\n:::\n\n");
    canonical(":::\n> > :::\n> > ::::\n> >\n> > 1. -\n> >    :::\n> >    <!--");
    canonical(":::\n   1. :::\n          <\n      1. b\n         :::\n         <div");
    // The white space before the tag is kept, where it was dropped.
    EXPECT_EQ(canonical(":::\n::: {.}\n1\\. b\n:::\n   <!--\n"), ":::\n1\\. b\n\n   <!--\n-->\n\n:::\n\n");
    // After a div written with its fence the line follows that fence.
    EXPECT_EQ(canonical(":::\n- a\n:::\n  <div>"), ":::\n- a\n\n:::\n\n  <div>\n\n");
}

TEST(CanonicalForm, ItemNumberAfterRawHtmlLeftOpenInAnItem) {
    // Raw HTML left open in an item takes the blank line after the list, and
    // a paragraph beginning with an item number would be the next item.
    EXPECT_EQ(canonical("1.\n   <div>\n1\\.\n"), "1. <div>\n\n1\\.\n\n");
    EXPECT_EQ(canonical("1. 1\n   <div>\n1\\.\n{\n"), "1. 1\n   \n   <div>\n\n1\\.\n{\n\n");
    // A paragraph whose line reads as such an item escapes its own number.
    EXPECT_EQ(canonical("1\\.  <div>\n>\n1.\n"), "1\\.  <div>\n\n1.\n\n");
    // A list written on as the one before it: the number after both is
    // judged with both.
    canonical("2. <div>\n1. <\n   <div>\n0.\n");
    // Its last item not padded for raw HTML after it, it is still written on.
    EXPECT_EQ(canonical("1. <div>a\n\n[^f]: x\n\n1.\n\n   <p>x</p>\n"), "1. <div>a\n2.\n\n   <p>x</p>\n\n[^f]: x\n\n");
    // Not after a container's tag alone, written as the container's, which
    // the reader closes with the item.
    EXPECT_EQ(canonical("1. <div>\n\n[^f]: x\n\n1.\n\n   <p>x</p>\n"),
              "1. <div markdown=\"1\">\n\n1.\n\n   <p>x</p>\n\n[^f]: x\n\n");
}

TEST(CanonicalForm, ClosingTagInsideABlockOfAContainer) {
    // Footnotes written after a markdown container left open stand inside
    // it: a closing tag in a footnote is the footnote's, not the container's.
    EXPECT_EQ(canonical("[^f]:</div>\n<div markdown=\"1\">\n(\n"), "<div markdown=\"1\">\n\n(\n\n[^f]:\n    </div>\n\n");
    canonical("<div markdown=\"1\">\n1. [^f]:</div>\n");
    canonical("[^g]: </section>\n<section markdown=\"1\">\n\n1\n");
    // So is one on a line that goes on with an item or a quote; the
    // container's own closer stands among the container's blocks.
    const ast::Document doc = read("<div markdown=\"1\">\n- a\n\n  </div>\n\n> b\n> </div>\n</div>\nx\n");
    ASSERT_EQ(doc.blocks.size(), 5u) << ast::debug_string(doc);
    const auto* list = doc.blocks[1].as<ast::List>();
    ASSERT_TRUE(list) << ast::debug_string(doc);
    EXPECT_EQ(list->items.at(0).blocks.size(), 2u) << ast::debug_string(doc);
    const auto* quote = doc.blocks[2].as<ast::BlockQuote>();
    ASSERT_TRUE(quote) << ast::debug_string(doc);
    EXPECT_EQ(quote->blocks.size(), 2u) << ast::debug_string(doc);
    EXPECT_TRUE(doc.blocks[4].is<ast::Paragraph>()) << ast::debug_string(doc);
    // A line left to the list closes it.
    EXPECT_EQ(read("<div markdown=\"1\">\n- a\n</div>\nx\n").blocks.size(), 4u);
}

TEST(CanonicalForm, ItemWhoseRawHtmlTakesAnIndentedLine) {
    // An item number with raw HTML, and a line indented to the item's
    // content that goes on with the HTML: the list is not the text of its
    // first line, which would lose the second.
    const ast::Document doc = read("1.  <div>\n    <DIV>\n");
    ASSERT_EQ(doc.blocks.size(), 1u) << ast::debug_string(doc);
    const auto* list = doc.blocks[0].as<ast::List>();
    ASSERT_TRUE(list) << ast::debug_string(doc);
    ASSERT_EQ(list->items.size(), 1u);
    ASSERT_EQ(list->items[0].blocks.size(), 1u);
    const auto* html = list->items[0].blocks[0].as<ast::HtmlBlock>();
    ASSERT_TRUE(html) << ast::debug_string(doc);
    EXPECT_EQ(html->html, "<div>\n<DIV>\n");
    // A paragraph of those lines keeps its number escaped.
    EXPECT_EQ(canonical("1\\.  <div>\n    <DIV>\n"), "1\\.  <div>\n    <DIV>\n\n");
    canonical("1\\.\t<div>\n    <div>\n");
    canonical("  1.\t<DIV>\n    <section>\n");
}

TEST(CanonicalForm, FormFeedAfterAnItemNumberOnALaterLine) {
    // A form feed after the full stop spaces an item number as a space
    // does: bare on a later line of a paragraph or of a list's terms, the
    // number would open a list there.
    EXPECT_EQ(canonical("a\n\t1.\fx\n: d\n"), "a\n1\\.\fx\n: d\n\n");
    EXPECT_EQ(canonical("a\n\t1.\fx\n"), "a\n1\\.\fx\n\n");
    canonical("<div markdown=\"1\">\n`b \r\n\xE2\x80\xA8\n: \f\n |\f\n\t1.\f#\n: \n: \v[^f]");
    // Form feeds and carriage returns elsewhere in terms read back as
    // written: at a term's start or end, alone, in items and quotes.
    for (const char* term : {"\fa", "a\f", "\f", "\r", "a\rb", "\f\r", "\f-", "\f#", "\f1. x", "\f:", "a\f{.c}",
                             "\f[^x]", "\f|a|"}) {
        for (const char* frame : {"%s\n: d\n", "- %s\n  :\f\n", "> %s\n> : d\n", "1. %s\n   : \f\n", "a\n%s\n: d\n"}) {
            std::string text = frame;
            text.replace(text.find("%s"), 2, term);
            canonical(text);
        }
    }
}

TEST(CanonicalForm, FootnoteOpeningWithABlockThatWritesNothing) {
    // An empty quote before a paragraph writes nothing and is not read
    // back: the paragraph starts on the definition's line, as it will once
    // read again.
    EXPECT_EQ(canonical("[^f]:\n    >\n    a\n"), "[^f]: a\n\n");
    canonical("[^f]: \r\n    >\n    : \f");
}

TEST(CanonicalForm, WhiteSpaceParagraphBesideABlockThatWritesNothing) {
    // A paragraph of white space alone is written in an ordered item only
    // where the reader keeps the list by the item's lines: beside another
    // block written, not one written as nothing (an empty quote, its
    // footnote gone to the end), which leaves it alone in the item.
    EXPECT_EQ(canonical("1. >[^1]:\n   &#10;\n\n2."), "1.\n\n2.\n\n[^1]:\n\n");
    EXPECT_EQ(canonical("1. &#10;\n   >[^a]:\n\n2."), "1.\n\n2.\n\n[^a]:\n\n");
    EXPECT_EQ(canonical(">1.\n>\n>1. &#10;\n>    >"), "> 1.\n>\n> 1.\n\n");
    // Alone in a quote it is that quote's only line.
    EXPECT_EQ(canonical("1. > &#10;"), "1. > &#10;\n\n");
}

TEST(CanonicalForm, RawHtmlLineThatWouldOpenAnItem) {
    // A later line of raw HTML beginning with "1." opens an item, which the
    // reader turns back into the paragraph's line only when nothing keeps
    // the list: an attribute line after it, or a block from a later line.
    EXPECT_EQ(canonical(":<!--\n{:.c}\n1. -->\n"), "\\:<!--\n    1. -->\n{: .c}\n\n");
    EXPECT_EQ(canonical("*<!--\n  1. -->\n    <div>\n"), "\\*<!--\n    1. -->\n    <div>\n\n");
    EXPECT_EQ(canonical(".<!--\n    1. 1.\n-->\n"), ".<!--\n    1. 1.\n-->\n\n");
}

TEST(CanonicalForm, ItemLinesEndingInWhiteSpace) {
    // Items turned back into text lose the white space ending their lines,
    // which raw HTML going on over the line end keeps: such a paragraph
    // keeps its number escaped.
    EXPECT_EQ(canonical(">1. {<!-- \n2. -->\n^\n"), "> 1\\. {<!-- \n> 2. -->\n> \\^\n\n");
    EXPECT_EQ(canonical("1\\. <b \nx>\n2. c\n"), "1\\. <b \nx>\n2. c\n\n");
}

TEST(CanonicalForm, ClosingFenceAtAnItemsContentColumn) {
    // A div's closing fence, or a markdown container's closing tag, that
    // goes on with an item is one of its lines: the item is no text of its
    // first line alone, which would lose the closer.
    const ast::Document doc = read("1. ::: c\n   :::\n");
    ASSERT_EQ(doc.blocks.size(), 1u) << ast::debug_string(doc);
    // Left open below a number alone, the fence is text, as it is on the
    // number's line.
    EXPECT_EQ(canonical("1.\n   ::: c\n"), "1.\n\\::: c\n\n");
    EXPECT_TRUE(doc.blocks[0].is<ast::List>()) << ast::debug_string(doc);
    EXPECT_TRUE(read("1. <div markdown=\"1\">\n   </div>\n").blocks.at(0).is<ast::List>());
    canonical("1.     \n    :::~~~\xC2\xA0<http://x>\n- ~~~{#i}|\n    \n  [^f]:\n$x$|---|---|::: c\n\n");
}

TEST(CanonicalForm, RawHtmlAfterWhiteSpaceBeyondSpaces) {
    // The reader finds a raw HTML block's tag past any white space of its
    // line, a form feed too; written with it after a list, the block would
    // go into the list's last item, whose content starts further in then.
    // Opening an item, it keeps it below the marker.
    EXPECT_EQ(canonical("-  a\n  \f<div>\n"), "-  a\n\n  \f<div>\n\n");
    EXPECT_EQ(canonical("- \n\t\f<!--\n"), "-\n    \f<!--\n  -->\n\n");
    canonical("-  [-\n  \f<div>|\nb c$$<!--\n[^f]: ~~~b c`c`---\n");
}

TEST(CanonicalForm, OneItemListWhoseParagraphEscapesItsNumber) {
    // A list of one item reads as the text of its line: the item's number,
    // then its paragraph with that paragraph's own number escaped. The same
    // text, written as a paragraph, escapes its last number alike.
    EXPECT_EQ(canonical("1.\n   1\\. <div>\n"), "1. 1\\. <div>\n\n");
    // A break alone on the item's line would not be written there, and the
    // item's text would take one line: the list was the text of its lines.
    EXPECT_EQ(canonical("1. \\\n   2. <div>\n"), "1\\. \\\n2. <div>\n\n");
    // Where that would still read as a list, the first number is escaped.
    EXPECT_EQ(canonical("1\\. 1. x\n{: .c}\n"), "1\\. 1. x\n{: .c}\n\n");
}

TEST(CanonicalForm, ItemNumberLeavingRawHtmlOpenBeforeAList) {
    // A paragraph read as an item holding raw HTML left open takes the
    // blank line after it; a list numbered on from it would join that item
    // and both would read as one paragraph.
    EXPECT_EQ(canonical("1\\.  <div>\n1. >\n"), "1.  <div>\n1\\. \\>\n\n");
}

TEST(CanonicalForm, FootnoteOpeningWithAListThatReadsAsText) {
    // A list the reader turns back into text starts on the definition's own
    // line, as the paragraph it reads back as does.
    EXPECT_EQ(canonical("[^g]:\n    2. >\n"), "[^g]: 2. \\>\n\n");
    EXPECT_EQ(canonical("[^\\]:\n\t1. >\n"), "[^\\]: 1. \\>\n\n");
    // A list that stays one starts on the next line.
    EXPECT_EQ(canonical("[^g]:\n    1. a\n    2. b\n"), "[^g]:\n    1. a\n    2. b\n\n");
    // So does a paragraph read as an item "1." that a later list numbers
    // on from: on the definition's line it would be text, and that list a
    // list of one item read as text.
    EXPECT_EQ(canonical("[^1]:1.\n    1. 1\\."), "[^1]:\n    1.\n    \n    1. 1.\n\n");
    EXPECT_EQ(canonical("[^a]:1.\n\n    2. 1\\."), "[^a]:\n    1.\n    \n    2. 1.\n\n");
    // Where none does, the paragraph stays on the definition's line.
    EXPECT_EQ(canonical("[^1]: 1\\.\n\n    1. a"), "[^1]: 1.\n    \n    1\\. a\n\n");
}

TEST(CanonicalForm, RawHtmlOverLinesOpeningAParagraph) {
    // A break on an empty line is dropped, which leaves the HTML at the
    // paragraph's start, where it would open a block: it is a raw inline,
    // on one line.
    EXPECT_EQ(canonical("\\\n    <!--\n--><r\n"), "`<!-- -->`{=html}\\<r\n\n");
}

TEST(CanonicalForm, LonePipesMakeNoTable) {
    // A line of one "|" holds no cell: two such lines are no table head and
    // delimiter row.
    EXPECT_EQ(canonical(">b<!--\n|\n|\n-->\n"), "> b<!--\n> |\n> |\n> -->\n\n");
    const ast::Document doc = read("a\n|\n|\n");
    ASSERT_EQ(doc.blocks.size(), 1u) << ast::debug_string(doc);
    EXPECT_TRUE(doc.blocks[0].is<ast::Paragraph>()) << ast::debug_string(doc);
    EXPECT_TRUE(read("|\n|\n").blocks.at(0).is<ast::Paragraph>());
    // One cell between pipes is a table.
    EXPECT_TRUE(read("| a |\n|---|\n").blocks.at(0).is<ast::Table>());
}

TEST(CanonicalForm, FenceLanguageHoldingALineEnd) {
    // A character reference gives the language a line end, which cannot
    // stand on the fence's line, nor in a class: it is written as a word of
    // character references.
    EXPECT_EQ(canonical("```&#10;\nx\n```\n"), "```&#10;\nx\n```\n\n");
    canonical("~~~&#10;");
    // Beside other attributes, which follow the word in braces.
    EXPECT_EQ(canonical("```&ensp; {.x}\n```"), "```&#8194; {.x}\n```\n\n");
    EXPECT_EQ(canonical("```&#10; {#k .x a=1}"), "```&#10; {#k .x a=\"1\"}\n```\n\n");
}

TEST(CanonicalForm, BulletListsAfterListsEndingInOpenHtml) {
    // Each list after one whose last item holds raw HTML left open takes the
    // other bullet than the list before it, not always the same one.
    EXPECT_EQ(canonical("- <div>\n* <div>\n-"), "- <div>\n\n* <div>\n\n-\n\n");
    canonical("* <pre>\n+ <section>\n*");
    // So does one after a list whose last item ends in a list whose last
    // item opens a markdown container: its closing tag goes on with the
    // raw HTML before the container's tag, left open.
    EXPECT_EQ(canonical("-\n  - <div>\n    <section markdown=\"1\">\n    </section>\n*"),
              "- - <div>\n    <section markdown=\"1\">\n    \n    </section>\n\n*\n\n");
    canonical("[^1]:\n    +\n      - <section>\n        <div markdown=\"1\">\n        </div>\n    -");
}

TEST(CanonicalForm, FootnoteLineAfterBulletsAndWhiteSpace) {
    // The reader looks for a footnote definition past bullets after item
    // numbers and past any white space, a vertical tab or a no-break space
    // too: such a line's label ends are escaped.
    EXPECT_EQ(canonical("1. - ^[]]:"), "1. - [^__note1]\\]\\:\n\n[^__note1]:\n\n");
    EXPECT_EQ(canonical("2. \v[^g]:]:"), "2. \v[^g]\\:\\]\\:\n\n[^g]: \\]:\n\n");
    canonical("1. \xC2\xA0^[]]:");
    // The element form of a superscript holds such text too.
    EXPECT_EQ(canonical("^[] [^]:^"), "[^__note1] [<sup>\\]\\:</sup>\n\n[^__note1]:\n\n");
    // A later line the reader takes for an item's may open a definition.
    EXPECT_EQ(canonical("2.\n2. ^[]]:"), "2\\.\n2. [^__note1]\\]:\n\n[^__note1]:\n\n");
}

TEST(CanonicalForm, RawHtmlLeftOpenBeforeBlocksThatWriteNothing) {
    // An empty quote after a container's tag writes nothing: the tag is
    // still the last thing written, left open, and the footnotes go before
    // it.
    EXPECT_EQ(canonical("^[]\n<section markdown=\"1\">\n>"), "[^__note1]\n\n[^__note1]:\n\n<section>\n\n");
    // So does a paragraph of white space alone: the footnote stays one.
    EXPECT_EQ(canonical("[^\xA9]:{\n<div markdown=\"1\">\n&#10;"), "[^\xA9]: {\n\n<div>\n\n");
    EXPECT_EQ(read(canonical("[^a]:b\n<div markdown=\"1\">\n&#32;\n\n&#9;")).footnotes.size(), 1u);
}

TEST(CanonicalForm, ListNumberedFromZero) {
    // Numbered from 0, a list's second item is "1.", which paragraph text
    // writes escaped: the list is no text, and stays a list.
    EXPECT_TRUE(read("0.\n1. n\n").blocks.at(0).is<ast::List>());
    // Numbered "0." twice it was text, its lines as they stood.
    EXPECT_EQ(canonical("0.\n0.\n\tn"), "0.\n0.\nn\n\n");
    EXPECT_EQ(canonical("0. a\n1. b\n"), "0. a\n1. b\n\n");
    // Whatever follows the "1.", more item numbers too.
    EXPECT_EQ(canonical("0.\n1.  1."), "0.\n1. 1.\n\n");
    // Escaped, it is text.
    EXPECT_EQ(canonical("0.\n1\\. n\n"), "0.\n1\\. n\n\n");
    // Other numbers than 1 never interrupt a paragraph: text as before.
    EXPECT_TRUE(read("3.\n4. n\n").blocks.at(0).is<ast::Paragraph>());
}

TEST(CanonicalForm, ItemNumberInADivAfterAListLeavingRawHtmlOpen) {
    // The div's fence ends the HTML; the paragraph opening the div stays
    // text.
    EXPECT_EQ(canonical("1. <div>\n:::\n2.\n```\n:::"), "1. <div>\n\n:::\n2.\n\n```\n:::\n```\n\n:::\n\n");
}

TEST(CanonicalForm, ItemNumberAfterAnOrderedListLeavingRawHtmlOpen) {
    // Paragraphs "1." after such a list would read as lists, and a list
    // there is written on as the list before it: the first one's number is
    // escaped.
    EXPECT_EQ(canonical("3.\n   <div>\n1.\n\n1\\.\n"), "3. <div>\n\n1\\.\n\n1.\n\n");
    EXPECT_EQ(canonical("2.\n   <div>\n\\\n1.\n1. >\n"), "2. <div>\n\n1\\.\n1\\. \\>\n\n");
    // So is a list "1." alone there, which reads back as that text.
    EXPECT_EQ(canonical("1.\n1. <div>\n\n[^f]:\n1."), "1.\n2. <div>\n\n1\\.\n\n[^f]:\n\n");
    // One written on as its items is numbered as the last of them where a
    // list after it reads as a list only numbered on from it.
    EXPECT_EQ(canonical("1. <div>a\n\n[^f]:\n\n1. a\n2. b\n\n2. x"), "1. <div>a\n1. a\n1. b\n\n2. x\n\n[^f]:\n\n");
    // (After a container's tag alone, written as the container's, it is a
    // list of its own.)
    EXPECT_EQ(canonical("1. <div>\n\n[^f]:\n\n1. a\n2. b\n\n2. x"),
              "1. <div markdown=\"1\">\n\n1. a\n2. b\n\n2. x\n\n[^f]:\n\n");
    // After a bullet list a list of one item starts a list of its own,
    // read back as the paragraph it is written as.
    EXPECT_EQ(canonical("- <div>\n1. >\n"), "- <div>\n\n1. \\>\n\n");
    EXPECT_EQ(canonical("- <div>\n1.\n   d\n"), "- <div>\n\n1.\nd\n\n");
}

TEST(CanonicalForm, ListsWrittenOnAfterListsWrittenOn) {
    // A list written on as the one before it is numbered on from that list
    // as written, not as it stood in the tree.
    // One numbered neither as the last item of that list nor as the next
    // is a list of its own, as the reader reads it.
    EXPECT_EQ(canonical("1. g\n   <table>\n0.\n   <div>\n2.\n"), "1. g\n   \n   <table>\n\n0. <div>\n\n2.\n\n");
    EXPECT_EQ(canonical("0. <div>\n\n3.\n   <div>\n1.\n   .\n"), "0. <div>\n\n3. <div>\n\n1\\.\n.\n\n");
}

TEST(CanonicalForm, FootnoteReferenceAfterABreakOnAnEmptyLine) {
    // A break before anything is written is dropped: the reference after it
    // still opens the line whose "]:" would make it a definition.
    EXPECT_EQ(canonical("\\\n[^f]<!--]:-->\n\n[^f]:\n"), "&#91;\\^f\\]<!--]:-->\n\n[^f]:\n\n");
}

TEST(CanonicalForm, AttributeWordsEndingInWhiteSpace) {
    // The reader trims the inside of braces, escaped white space at its end
    // too: a class ending in white space is never written last, an empty
    // "class" pair comes after it where nothing else would. A language is
    // written as a word, its white space as character references, before
    // the braces of the other attributes.
    EXPECT_EQ(canonical("```&nbsp;"), "```&#160;\n```\n\n");
    EXPECT_EQ(canonical("```a&nbsp;\nx\n```\n"), "```a&#160;\nx\n```\n\n");
    EXPECT_EQ(canonical("```a&nbsp; {#i}\nx\n```\n"), "```a&#160; {#i}\nx\n```\n\n");
    EXPECT_EQ(canonical("[x]{.a\\  .b}\n"), "[x]{.a\\  .b}\n\n");
    EXPECT_EQ(canonical("[x]{.b .a\\  #i}\n"), "[x]{#i .b .a\\  class=\"\"}\n\n");
    canonical("~~~&nbsp;\xC2\xA0");
}

TEST(CanonicalForm, EmphasisOfAHardBreakAndWhiteSpaceWithAttributes) {
    // A hard break moves outside as at the edges of other content; the white
    // space stays the node's, its attributes needing one.
    EXPECT_EQ(canonical("**_\\\n&nbsp;_**{#a}`"), "<strong id=\"a\">\xC2\xA0</strong>\\`\n\n");
    EXPECT_EQ(canonical("~~\\\n&#10;~~{a=}>"), "~~&#10;~~{a=\"\"}\\>\n\n");
    EXPECT_EQ(canonical("x ==\\\n&#32;=={#a} y"), "x \\\n<mark id=\"a\"> </mark> y\n\n");
    EXPECT_EQ(canonical("x *\\\n&#32;*{-=} y"), "x \\\n*&#32;*{-=\"\"} y\n\n");
    // Of a hard break alone nothing is kept for the attributes.
    EXPECT_EQ(canonical("x ~~\\\n~~{a=} y"), "x \\~\\~\\\n\\~\\~{a\\=} y\n\n");
}

TEST(CanonicalForm, RawHtmlWhoseCleaningMakesAContainerTag) {
    // The cleaning writes the "<" of a broken tag as "&lt;", after which
    // the first line is a markdown container's opening tag: written so, it
    // would open the container. It is written as a raw block of HTML.
    EXPECT_EQ(canonical("<div '=<D markdown=\"1\">\n>"), "```{=html}\n<div '=&lt;D markdown=\"1\">\n>\n```\n\n");
    // A tag ending the line after other HTML stays the container's.
    EXPECT_EQ(canonical("<table><td markdown=\"1\">\n*x*\n</td></table>\n"),
              "<table><td markdown=\"1\">\n*x*\n</td></table>\n\n");
}

TEST(CanonicalForm, AttributesOfTheInlineEndingATableCaption) {
    // An attribute block ending a caption is the table's: an inline's own
    // there ("{#{}" reads as no table's) is written in its element's tag.
    EXPECT_EQ(canonical("a|\n-|\n: *a*{#{}"), "| a |\n|--- |\n: <em id=\"{\">a</em>\n\n");
    EXPECT_EQ(canonical("a|\n-|\n: *a*{.x}"), "| a |\n|--- |\n: *a*\n{: .x}\n\n");
}

TEST(CanonicalForm, QuoteInAValueAfterAQuoteOfTheLine) {
    // After a quote the line opened, a quote in an attribute value would end
    // or open the stretch the reader passes over looking for the block's
    // "{": it is written as a reference.
    EXPECT_EQ(canonical("'{v=\\'}\n:"), "'{v=\"&#39;\"}\n: \n\n");
    EXPECT_TRUE(read("'{v=\"&#39;\"}\n: \n").blocks.at(0).is<ast::DefinitionList>());
    canonical("# a\"{v='x\"'}");
}

TEST(CanonicalForm, FootnoteFirstLineEndingInAFormFeed) {
    // The reader cuts any white space ending the definition's first line,
    // a form feed in a comment too: the note starts on the next line.
    EXPECT_EQ(canonical("[^1]:\n    ^<!--\x0C\n-->"), "[^1]:\n    \\^<!--\x0C\n    -->\n\n");
}

TEST(CanonicalForm, TermAndDefinitionThatReadAsALinkDefinition) {
    // A term line is read as a paragraph's line first: with the definitions
    // after it, it could make a link definition, whose "[" is hidden.
    EXPECT_EQ(canonical("    \\\n[\n: http://]:t\n"), "```\n\\\n```\n\n&#91;\n: <http://]:t>\n\n");
    EXPECT_EQ(canonical("\\[``]:``\n:\n"), "&#91;`]:`\n: \n\n");
    canonical("a\n: b\n\n[\n: http://]:t\n");
    // A link opening a line hidden as a footnote definition's, too.
    EXPECT_EQ(canonical("[^`\n]:`]()"), "&#91;\\^`  ]: `\\]()\n\n");
    // A span opening the line loses its "[" so: the paragraph is written as
    // the text it reads back as.
    EXPECT_EQ(canonical("[<!--]:-->]{.a }"), "&#91;<!--]:-->\\]{.a}\n\n");
    EXPECT_EQ(canonical("[`]:`]{.a }\nmore"), "&#91;`]:`\\]{.a}\nmore\n\n");
    // With the list's attribute line too.
    EXPECT_EQ(canonical("[^\n:\n{:.]:}"), "&#91;\\^\n: \n{: .]:}\n\n");
}

TEST(CanonicalForm, FootnoteFirstLineEndingInWhiteSpace) {
    // The reader cuts the white space ending a definition's own line; raw
    // HTML going on over that line end keeps it on the lines below.
    EXPECT_EQ(canonical("^[^<!-- \n-->]\n"), "[^__note1]\n\n[^__note1]:\n    \\^<!-- \n    -->\n\n");
}

TEST(CanonicalForm, AttributeLineReadWithALinkDefinition) {
    // A paragraph's attribute line is among the lines the reader reads a
    // link definition from: "[\^" and "{: .]:}" make one.
    EXPECT_EQ(canonical("[^\n{:.]:}\n"), "&#91;\\^\n{: .]:}\n\n");
}

TEST(CanonicalForm, FirstTermThatReadsAsALinkDefinition) {
    // A definition list's first line is read as a link definition before
    // anything marks it as a term: its "[" is written as a reference then.
    EXPECT_EQ(canonical("[]\\[]:\\]\n:"), "&#91;\\]\\(]:\\)\n: \n\n");
    canonical("[a]: b\n: c\n");
}

TEST(CanonicalForm, FootnotesBeforeHtmlAContainerLeftOpen) {
    // A container's closing tag goes on with the raw HTML that the
    // container's tag ended, left open: the footnotes go before that tag.
    EXPECT_EQ(canonical("<table>\n<section markdown=\"1\">\n^[]\n</section>"),
              "<table>\n<section markdown=\"1\">\n\n[^__note1]\n\n[^__note1]:\n\n</section>\n\n");
    canonical("^[]\n<pre>\n<section markdown=\"1\">\n</section>");
}

TEST(CanonicalForm, FootnoteSectionOfATableWrittenAsHtml) {
    // The section after a table written as HTML holds the footnote's blocks
    // as HTML: raw HTML they leave open would keep the section open past
    // its closing tag, and the text after it would read as raw HTML. Such
    // content is written as text; closed content stays markup.
    EXPECT_EQ(canonical("[^1]:<section>\n&#10;|\n-|\n[^1]\n\n</"),
              "<table>\n<thead>\n<tr><th>\n</th></tr>\n</thead>\n<tbody>\n<tr><td><sup id=\"fnref-1\"><a href=\"#fn-1\" "
              "class=\"footnote-ref\" role=\"doc-noteref\">1</a></sup></td></tr>\n</tbody>\n</table>\n\n<section "
              "class=\"footnotes\" role=\"doc-endnotes\">\n<ol>\n<li id=\"fn-1\">\n&lt;section&gt;\n<a href=\"#fnref-1\" "
              "class=\"footnote-backref\" role=\"doc-backlink\">\u21A9</a>\n</li>\n</ol>\n</section>\n\n\\</\n\n"
              "[^1]:\n    <section>\n\n");
    for (const char* x : {"[^1]:<div\n    <div markdown=\"1\">\n&#10;|[^1]||\n-|-", "[^n]:<!\n    <section \"\">\na|[^n]\n-|-\n&#10;",
                          "* [^1]|&#10;\n  -|-\n[^1]:]<div markdown=\"1\">\n[", "[^n]:a|[^n]|<\n    -|-|-\n    &#10;\n    <pre><div markdown=\"1\">"})
        canonical(x);
    EXPECT_NE(canonical("&#10;|\n-|\n[^1]\n\n[^1]: <div>a</div>\n").find("<li id=\"fn-1\">\n<div>a</div>\n<a"),
              std::string::npos);
    // A line of white space alone in the HTML, which a footnote's reader
    // keeps as an empty line, begins with a character reference.
    EXPECT_NE(canonical("[^n]::\n&nbsp;\na\n||[^n]|&#10;\n    -|-|-").find("\n    <p>:\n    &#160;\n    a</p>\n"),
              std::string::npos);
}

TEST(CanonicalForm, ScriptLineAfterAnEscapedLineEndOpeningABlock) {
    // A script's text holds no escapes: a line after its escaped line end
    // that would open a block, with the closing marker after it on the
    // last line (a div's fence ":::~", a heading), takes the element form.
    EXPECT_EQ(canonical("~\\\n    :::~"), "<sub>\\\\ :::</sub>\n\n");
    EXPECT_EQ(canonical("^a\\\n    :::^"), "<sup>a\\\\ :::</sup>\n\n");
    EXPECT_EQ(canonical("~\\\n    #~"), "<sub>\\\\ \\#</sub>\n\n");
    EXPECT_EQ(canonical("~a\\\nb~"), "~a\\\nb~\n\n");
}

TEST(CanonicalForm, FormFeedAfterAnItemNumberOnAFirstLine) {
    // A first line whose item number a form feed spaces is escaped where a
    // space-spaced number would be: the lines would read as items.
    EXPECT_EQ(canonical(">2.\f*\n    <div>"), "> 2\\.\f\\*\n>     <div>\n\n");
    EXPECT_EQ(canonical("- 2.\f-\n2. <td>"), "- 2\\.\f-\n  2. <td>\n\n");
}

TEST(CanonicalForm, ParagraphsOfItemNumbersInARow) {
    // Each would read as a list of one item that the next one numbers on:
    // the later numbers are escaped, and the paragraphs read back as
    // paragraphs. A number after a paragraph is judged by raw HTML the
    // paragraph leaves open too, none here.
    EXPECT_EQ(canonical("1.\n\n1\\. http://\\\n\n1\\.\n"), "1.\n\n1\\. <http://\\>\n\n1\\.\n\n");
}

TEST(CanonicalForm, ParagraphNumberedOnFromTheBlockBefore) {
    // Text alone, the paragraph reads as a list numbered on from the list
    // (or paragraph read as one) before it. As an item its text would be
    // written otherwise (a hard break before the lazy line becomes a
    // backslash): its number is escaped.
    EXPECT_EQ(canonical("1. a\n\n2\\. b \\\n3."), "1. a\n\n2\\. b \\\n3.\n\n");
    EXPECT_EQ(canonical("\f1.\n\n2. \\\n3."), "1.\n\n2\\. \\\n3.\n\n");
    EXPECT_EQ(canonical("- 1.\n\n  2. \\\n3."), "- 1.\n  \n  2\\. \\\n  3.\n\n");
    // So is it where the lists would write the same text: read back as a
    // list, the paragraph would be one.
    EXPECT_EQ(canonical("1. a\n\n2\\. b\n\n3\\. c\n"), "1. a\n\n2\\. b\n\n3. c\n\n");
    // The reader numbers on past other blocks, from the last list begun
    // with "1." on.
    EXPECT_EQ(canonical("1.\n\na\n\n2\\. \\\n3."), "1.\n\na\n\n2\\. \\\n3.\n\n");
    EXPECT_EQ(canonical("1.\n>a\n\n2\\. \\\n3."), "1.\n\n> a\n\n2\\. \\\n3.\n\n");
    EXPECT_EQ(canonical("1\\. a\n\n2\\. b\n\nc\n\n3\\. d \\\n4."), "1. a\n\n2\\. b\n\nc\n\n3. d \\\n4.\n\n");
    canonical("- 1.\n\n  3\n\n  2. \\\n3.");
    canonical("1.\n<div\n\n2\\. \\\n3.");
    // A bullet list between ends the numbering.
    EXPECT_EQ(canonical("1.\n\n- a\n\n2\\. \\\n3."), "1.\n\n- a\n\n2. \\\n3.\n\n");
}

TEST(CanonicalForm, ClosingTagIndentedByFour) {
    // A line of raw HTML going on with a paragraph is indented by four where
    // it would start a block; a closing tag so indented closes no container,
    // as a div's closing fence so indented closes no div.
    EXPECT_EQ(canonical("><div markdown=\"1\">\n>[\n    </div>\n"), "> <div markdown=\"1\">\n>\n> [\n>     </div>\n\n");
    const ast::Document doc = read("<div markdown=\"1\">\nx\n    </div>\n</div>\ny\n");
    ASSERT_EQ(doc.blocks.size(), 4u) << ast::debug_string(doc);
    EXPECT_TRUE(doc.blocks[1].is<ast::Paragraph>()) << ast::debug_string(doc);
    EXPECT_TRUE(doc.blocks[3].is<ast::Paragraph>()) << ast::debug_string(doc);
    // Up to three columns it closes.
    EXPECT_EQ(read("<div markdown=\"1\">\nx\n\n   </div>\ny\n").blocks.size(), 4u);
}

TEST(CanonicalForm, ItemLineOpeningABlockBeforeANumberedParagraph) {
    // "1. :::" alone reads back as text; with "2." after it both are lists
    // numbered on, and the first is written as a list holding a div. Such a
    // line keeps its number escaped.
    EXPECT_EQ(canonical("1\\. :::\n\n2.\n"), "1\\. :::\n\n2.\n\n");
    EXPECT_EQ(canonical("1\\. <div>\n\n2.\n"), "1\\. <div>\n\n2.\n\n");
    // A line that opens nothing is left bare, and the paragraph after it
    // escapes its number instead.
    EXPECT_EQ(canonical("1\\. a\n\n2.\n"), "1. a\n\n2\\.\n\n");
}

TEST(CanonicalForm, NumberAfterAListWrittenOnWithAttributes) {
    // A list written on as the one before it leaves no raw HTML open when
    // its own items end it: the paragraph after it is judged by that list.
    EXPECT_EQ(canonical("1.\n   <table>a\n[g]:*\n1. x\n{:#i}\n3.\n"), "1. <table>a\n2. x\n{: #i}\n\n3\\.\n\n");
    // (After a container's tag alone, written as the container's, it is a
    // list of its own, as is the paragraph after it.)
    EXPECT_EQ(canonical("1.\n   <table>\n[g]:*\n1. x\n{:#i}\n3.\n"), "1. <table markdown=\"1\">\n\n1. x\n{: #i}\n\n3.\n\n");
}

TEST(CanonicalForm, DollarMathThatWouldReadAsAnAddress) {
    // The reader finds e-mail addresses before math: "$$" right before or
    // after the local part of one ("!$$@b.c", "a$$a@b.c") would make the
    // formula part of the address. Another form is taken.
    EXPECT_EQ(canonical("!\\[@b.c\\)\\]"), "!\\[@b.c\\)\\]\n\n");
    EXPECT_EQ(canonical("a\\[a@b.c\\)\\]\n"), "a\\[a@b.c\\)\\]\n\n");
    // With no other form, the "$$" form when it reads back as the formula.
    EXPECT_EQ(canonical("$$@\\)\\]$$"), "$$@\\)\\]$$\n\n");
    // Whether it reads back is asked of the formula's line read as a
    // paragraph line: a heading's "#" or a tag opening the line ("<div>",
    // which would open an HTML block) says nothing about the formula.
    EXPECT_EQ(canonical("# $$@\\)\\]$$"), "# $$@\\)\\]$$\n\n");
    EXPECT_EQ(canonical("!\n\t<div>$$@\\)\\]$$"), "!\n    <div>$$@\\)\\]$$\n\n");
    EXPECT_EQ(canonical("| a |\n|--- |\n| $$@\\)\\]$$ |\n"), "| a |\n|--- |\n| $$@\\)\\]$$ |\n\n");
    // Only the characters an address could take in are asked with it: a
    // footnote reference before it, read alone, would be text whose "^"
    // opens a superscript over the "$$".
    EXPECT_EQ(canonical("^[]$$^@\\)\\]$$"), "[^__note1]$$^@\\)\\]$$\n\n[^__note1]:\n\n");
    EXPECT_EQ(canonical("[^a] $$^@\\)\\]$$\n\n[^a]: b"), "[^a] $$^@\\)\\]$$\n\n[^a]: b\n\n");
    // A formula no form holds (each closer before its end) is its text.
    ast::Document doc;
    doc.blocks.push_back(ast::Paragraph{{}, {ast::Math{{}, "a\\)$$@b.c\\]d", false}}});
    const std::string written = write_md::render_md(doc);
    EXPECT_EQ(written, "a\\\\)\\$\\$\\@b.c\\\\\\]d\n\n");
    EXPECT_EQ(canonical(written), written);
}

TEST(CanonicalForm, ItemLineOfAThematicBreak) {
    // An item holding a thematic break is written as the line "10. ---",
    // the text it reads back as: that text stays bare. Below a number
    // alone, the break is the text's next line.
    EXPECT_EQ(canonical("10.\n\t---\n"), "10.\n\\---\n\n");
    EXPECT_EQ(canonical("1\\. ---\n\n2.\n"), "1. ---\n\n2\\.\n\n");
}

TEST(CanonicalForm, ListEndingInRawHtmlBeforeBlocksThatWriteNothing) {
    // An empty quote after the raw HTML of the last item writes nothing: the
    // HTML is still the last thing written, left open, and a number after
    // the list is escaped as after HTML that ends the item.
    EXPECT_EQ(canonical("0. <div markdown=\"1\">\n   >\n3.\n"), "0. <div>\n\n3\\.\n\n");
    // So does a paragraph of white space alone, left out: the list after
    // takes the other bullet, raw HTML after the list keeps its indentation
    // outside the last item.
    EXPECT_EQ(canonical("* - <div>\n  &#10;\n- x"), "- - <div>\n\n* x\n\n");
    EXPECT_EQ(canonical("+ <section\n&#10;\n  <div>"), "-  <section\n\n  <div>\n\n");
    EXPECT_EQ(canonical("+ a\n\n&#10;\n  <div>"), "-  a\n\n  <div>\n\n");
    canonical("- <div markdown=\"1\">\n  &#10;\n\n+");
    canonical("1. &#10;\n   - 1.  a\n]\n2.");
}

TEST(CanonicalForm, UpperCaseCloserOfATagWrittenAsAContainer) {
    // A tag written as a markdown container's is closed by its closing tag
    // in any letter case, which the reader gives back in lower case: the
    // closer is written so.
    EXPECT_EQ(canonical("<section markdown=\"1\">\n\n</SECTION>"), "<section markdown=\"1\">\n\n</section>\n\n");
    canonical("<td ->\n\n</TD>");
    // Inside a div the closer is not the container's: it is the div's block.
    EXPECT_EQ(canonical("<div markdown=\"1\">\n:::\n:::c\n:::\n</DIV>"),
              "<div markdown=\"1\">\n\n:::\n::: {.c}\n:::\n\n</div>\n\n:::\n\n");
    // A closer of no container written keeps its case.
    EXPECT_EQ(canonical("</SECTION>\n"), "</SECTION>\n\n");
}

TEST(CanonicalForm, ColonLineThatClosesNoDiv) {
    // A line of colons indented by four, or in code, closes no div, so the
    // div keeps its fence: written as its content, a container's closing
    // tag in it would close the container, a list in it join the one
    // before, raw HTML left open in it take the footnotes.
    EXPECT_EQ(canonical("<td markdown=\"1\">\n:::\n</TD>\n    :::"), "<td markdown=\"1\">\n\n:::\n</TD>\n    :::\n\n:::\n\n");
    EXPECT_EQ(canonical(":::\n```\nx\n    :::\n```\n:::\n"), ":::\n```\nx\n    :::\n```\n\n:::\n\n");
    EXPECT_EQ(canonical(":::\n```\n:::\n```\n:::\n"), ":::\n```\n:::\n```\n\n:::\n\n");
    EXPECT_EQ(canonical("1. <div>\n:::\n2. ~~~\n```\n:::"), "1. <div>\n\n:::\n2. ```\n   ```\n\n```\n:::\n```\n\n:::\n\n");
    EXPECT_EQ(canonical("^[]\n:::\n```\n:::\n```\n<div>"), "[^__note1]\n\n:::\n```\n:::\n```\n\n<div>\n\n:::\n\n[^__note1]:\n\n");
    // Indented in an item, the line closes the div.
    canonical("::::\\\n1.\n   <!--\n    :::");
    canonical("::::|\n3. <div\n    :::");
    canonical(":::\n```\n\t:::\n```\n:::\n");
    canonical("> :::\n> ```\n> \t:::\n> ```\n> :::\n");
}

TEST(CanonicalForm, ColonLineInAQuoteOrItemInADiv) {
    // The reader closes a div at a line of its fence in a quote or an item
    // inside it: the fence is made longer than such a line too.
    EXPECT_EQ(canonical("::::>\n>`\n>:::"), ":::: {.>}\n> \\`\n>\n> :::\n> :::\n\n::::\n\n");
    canonical("::: {.a}\n- :::\n  x\n  :::\n:::\n");
    canonical("::: {.a}\n1. > :::\n   > x\n   > :::\n:::\n");
}

TEST(CanonicalForm, FootnotesAfterRawHtmlLeftOpenInADiv) {
    // The div's closing fence ends the HTML: the footnotes after it stay
    // footnotes, also with blocks after the div.
    EXPECT_EQ(canonical(":::\n^[]\n~~~\n:::\n~~~\n<section>"),
              ":::\n[^__note1]\n\n```\n:::\n```\n\n<section>\n\n:::\n\n[^__note1]:\n\n");
    EXPECT_EQ(canonical("^[]\n:::\n    :::\n<table>\n:::\nb"),
              "[^__note1]\n\n:::\n```\n:::\n```\n\n<table>\n\n:::\n\nb\n\n[^__note1]:\n\n");
    EXPECT_EQ(canonical(":::\n^[]\n<table>\n    :::"), ":::\n[^__note1]\n\n<table>\n    :::\n\n:::\n\n[^__note1]:\n\n");
    canonical("[^f]\n:::\n::::\n:::\n<!--\n\n[^f]: x\n");
}

TEST(CanonicalForm, DivWithoutAttributesInADivLeavingRawHtmlOpen) {
    // Written as its content, the inner div would leave its HTML open, to
    // take the blocks after it. In a div with attributes it keeps its
    // fence, and the outer one takes a longer one.
    EXPECT_EQ(canonical("::::[\n:::\n<div>\n:::\n<!"), ":::: {.[}\n:::\n<div>\n\n:::\n\n\\<!\n\n::::\n\n");
    canonical("::::-\n<div markdown=\"1\">\n:::\n</div>\n>");
    // Only HTML the reader leaves open counts: the inner div is written as
    // its content, and the outer one's fence closes its own HTML.
    EXPECT_EQ(canonical(":::\n::: : :\n<TD\n:::\n<table>\n:::\n<t"), ":::\n<TD\n\n<table>\n\n:::\n\n\\<t\n\n");
    canonical(":::\n::: : \\\n<table\n:::\n1. <div>\n:::\n5.");
    // In one without, it keeps a fence of its own, opened with an empty
    // attribute block, which a bare fence would close.
    EXPECT_EQ(canonical(":::\n::: : \\\n<table>\n:::\n<t"), ":::\n::: {.}\n<table>\n\n:::\n\n\\<t\n\n:::\n\n");
    EXPECT_EQ(canonical(":::\n::: : \\\n<table>\n:::\n<table>\n:::\n<t"),
              ":::\n::: {.}\n<table>\n\n:::\n\n<table>\n\n:::\n\n\\<t\n\n");
    canonical(":::\n::: : \\\n<table>\n:::\n1. <div>\n:::\n2. ```");
    canonical(":::\n::: : \\\n<table>\n:::\n<t\n<div>");
    // The outer one's blocks stay its own: a container's closing tag there
    // closes nothing.
    canonical("<td markdown=\"1\">\n:::\n</TD>\n:\n\n::: : \\\n<table>\n:::\nt");
    // A bare fence further out closes at a bare ":::" in a div with a longer
    // fence too.
    EXPECT_EQ(canonical("<td markdown=\"1\">\n:::\n</TD>\n:\n\n:::<\n::: : \\"),
              "<td markdown=\"1\">\n\n:::\n</TD>\n:\n\n::: {.<}\n:::\n\n:::\n\n");
    // One opening with a list right after a list leaving HTML open keeps
    // its fence: written as its content, its list would go on with that one.
    EXPECT_EQ(canonical(":::: : \\\n1. <div>\n:::\n2. ```"),
              ":::\n1. <div>\n\n::: {.}\n2. ```\n   ```\n\n:::\n\n:::\n\n");
    // So does one ending in such a list before other blocks.
    EXPECT_EQ(canonical(":::\n::: : \\\n1. <div>\n:::\n2. ```"),
              ":::\n::: {.}\n1. <div>\n\n:::\n\n2. ```\n   ```\n\n:::\n\n");
    EXPECT_EQ(canonical(":::\n::: : d\n1. <div>\n:::\n0."), ":::\n::: {.}\n1. <div>\n\n:::\n\n0.\n\n:::\n\n");
    // So does one holding the closing tag of a container open around it.
    EXPECT_EQ(canonical(":::: : :\n<td markdown=\"1\">\n:::\n</TD>\n:"),
              ":::\n<td markdown=\"1\">\n\n::: {.}\n</TD>\n:\n\n:::\n\n:::\n\n");
    // So does one opening a markdown container it leaves open, which its
    // fence closes: written as its content, the container would go on past
    // it, and the closing tag after it, raw HTML there, would close it.
    EXPECT_EQ(canonical(":::\n> :::\n> <div markdown=\"1\">\n> # h\n> :::\n> </div>\n> ::::"),
              ":::\n> ::: {.}\n> <div markdown=\"1\">\n>\n> # h\n>\n> :::\n>\n> </div>\n> ::::\n\n:::\n\n");
    canonical(":::\n> > :::\n> > <div markdown=\"1\">\n> > # h\n> > :::\n> > </div>\n> > ::::");
    canonical(":::\n> :::\n> <section markdown=\"1\">\n> h\n> :::\n> </SECTION>\n> b\n");
    // A div written as its content has its bare divs judged where they then
    // stand.
    EXPECT_EQ(canonical(":::: : t\n:::\n<table>\n:::\n<div\n:::"), ":::\n<table>\n\n:::\n\n<div\n:::\n\n");
    // So does one holding paragraphs where the reader numbers lists on:
    // written as its content, they would be numbered with the blocks
    // before it.
    EXPECT_EQ(canonical(":::\n1.\n::: : \\\n.\n\n2. \\\n3."), ":::\n1.\n\n::: {.}\n.\n\n2. \\\n3.\n\n:::\n\n:::\n\n");
    // HTML left open in a list's item ends with the item.
    EXPECT_EQ(canonical(":::\n::: : \\\n0. <div>\n\n3.\n   ."), ":::\n0. <div>\n\n3\\.\n.\n\n:::\n\n");
    canonical(":::\n::: : >\n3.\n   <div>\n1.\n   .");
    // Such a div holding nothing of the kind is still written as its content.
    EXPECT_EQ(canonical(":::\n::: : \\\nx\n:::\ny\n:::\n"), ":::\nx\n\ny\n\n:::\n\n");
}

TEST(CanonicalForm, CommentLeftOpenBeforeAContainerTag) {
    // A "<!--" in a tag's quoted value opens no comment for the cleaning,
    // but "<!-->" does; the container's tag ending the line was read as
    // no comment's text. The comment is closed before that tag: closed
    // after it, on a line of its own, it would be read back as the
    // container's first paragraph.
    const ast::Document doc = read("<div><a title='<!--'><!-->\n<div markdown=\"1\">\n*y*\n</div>\n</div>\n");
    ASSERT_EQ(doc.blocks.size(), 3u) << ast::debug_string(doc);
    ASSERT_TRUE(doc.blocks[0].is<ast::HtmlBlock>());
    EXPECT_EQ(doc.blocks[0].as<ast::HtmlBlock>()->html, "<div><a title='<!--'><!-->\n--><div markdown=\"1\">\n");
    EXPECT_TRUE(doc.blocks[1].is<ast::Paragraph>());
    EXPECT_EQ(canonical("<div><a'<!--'><!-->\n<div markdown=\"1\">"), "<div><a'<!--'><!-->\n--><div markdown=\"1\">\n\n");
    canonical("<pre><div\"<!--\"><!-->\n<div markdown=\"1\">");
    canonical("<div n=\"\"><s\"<!--\"\n><!--><div markdown=\"1\">");
}

TEST(CanonicalForm, TaskItemOpeningAnOrderedItem) {
    // "1. 1. [x]" reads as text, in which "[x]" is written escaped: a list
    // whose first item is a task starts on the line after the number.
    EXPECT_EQ(canonical("1.\n   1. [x]"), "1.\n   1. [x]\n\n");
    EXPECT_EQ(canonical("0.\n   - [ ]"), "0.\n   - [ ]\n\n");
    EXPECT_EQ(canonical("0.\n   - - [ ]"), "0.\n   - - [ ]\n\n");
    // Also after a block that writes nothing.
    EXPECT_EQ(canonical("1. >\n   1. [x]"), "1.\n   1. [x]\n\n");
    // Other items stay on the number's line.
    EXPECT_EQ(canonical("- 1. [x]"), "- 1. [x]\n\n");
    EXPECT_EQ(canonical("1.\n   - [x] a\n   - b"), "1.\n   - [x] a\n   - b\n\n");
    EXPECT_EQ(canonical("1.\n   - a\n   - b"), "1. - a\n   - b\n\n");
}

TEST(CanonicalForm, TagEndedAtTheBlankLineAfterIt) {
    // An opening tag whose attribute quote is left open ends at the blank
    // line after it and takes nothing into itself. Written as a container's
    // tag, it would make a later closing tag the container's, which the
    // reader ends at its own line; written bare, the closing tag goes on
    // with the lines after it as it did.
    EXPECT_EQ(canonical("<div \">\n\n</div>\n~"), "<div \">\n\n</div>\n~\n\n");
    EXPECT_EQ(canonical("<section \">\n\n</section>\n:"), "<section \">\n\n</section>\n:\n\n");
    EXPECT_EQ(canonical("<div \">\n\n</div> "), "<div \">\n\n</div> \n\n");
    EXPECT_EQ(canonical("<td \">\n\n</TD>\n:"), "<td \">\n\n</TD>\n:\n\n");
    canonical("[^f]:<div \">\n\n    </div>\n    `");
    // A closer in another case keeps it.
    EXPECT_EQ(canonical("<section \">\n\n</SECTION>"), "<section \">\n\n</SECTION>\n\n");
}

TEST(CanonicalForm, ContainerTagAfterWhiteSpaceBeyondSpaces) {
    // Whether a raw HTML block's tag is written as a container's is judged
    // past the white space before it, a vertical tab too; a raw HTML block
    // opening the document keeps that white space.
    EXPECT_EQ(canonical("\v<div markdown=\"1\">\n\n."), "<div markdown=\"1\">\n\n.\n\n");
    EXPECT_EQ(canonical("\v<div {>\n\n."), "\v<div {>\n\n.\n\n");
}

TEST(CanonicalForm, RawHtmlLineThatReadsAsADelimiterRow) {
    // A later line of raw HTML going on over lines stays as it is, but
    // under a line holding a "|" (escaped or not) one of dashes, colons
    // and as many cells reads as a table's delimiter row, indented or not:
    // the HTML is written on one line, each line end a space.
    EXPECT_EQ(canonical(">|<!--\n-|\n-->"), "> \\|<!-- -| -->\n\n");
    EXPECT_EQ(canonical(">x|<a href=\"\n:-|\n\">"), "> x\\|<a href=\" :-| \">\n\n");
    canonical(">x|y<!--\n|-|\n-->");
    canonical(">x|<!--\n| :-: |\n-->");
    // More columns, pipes from code and from the HTML itself.
    canonical(">`|`<!--\n-|-|\n-->");
    canonical("> a <!--|x\n--|--\n-->");
    canonical("> a <!--|\n-|\n-->");
    canonical(">x<!--\na|\n-|\n-->");
    canonical(">x<!--\na|b\n--|--\n-->");
    // In items, footnotes and quotes in them.
    canonical("- x|<!--\n-|\n-->");
    canonical("- a\n\n  x|<!--\n  -|\n  -->");
    canonical("> - x|<!--\n-|\n-->");
    canonical("[^f]\n\n[^f]: x|<!--\n-|\n-->");
    // A line between them, or too few cells, leaves the HTML on its lines.
    EXPECT_EQ(canonical(">x|<!--\na\n-|\n-->"), "> x\\|<!--\n> a\n> -|\n> -->\n\n");
    EXPECT_EQ(canonical(">x|<!--\n-|-|\n-->"), "> x\\|<!--\n> -|-|\n> -->\n\n");
}

TEST(CanonicalForm, ParenthesisAfterANumberIsNoItemMarker) {
    // "2)" numbers no item: after an item number it is the item's text, and
    // the lone line stays bare as its one-item list writes it.
    EXPECT_EQ(canonical("10. <div markdown=\"1\">\n-|\n\n1. \n\t2\\) </div>*a\n"),
              "10. <div markdown=\"1\">\n-\\|\n\n1.\n2) </div>\\*a\n\n");
    EXPECT_EQ(canonical("1. 2) <div>\n"), "1. 2) <div>\n\n");
}

TEST(CanonicalForm, EscapedItemNumberAtAnItemsStart) {
    // An item whose text begins with an escaped item number ("2. 1\. x")
    // is no paragraph text: there the number after "2. " is not escaped. It
    // stays a list, even one numbered from 2.
    EXPECT_TRUE(read("2. 1\\. x\n3.\n").blocks.at(0).is<ast::List>());
    // Below a number alone, text the writer would put after it is text.
    EXPECT_EQ(canonical("2.\n   1.  <b>x\n2."), "2.\n1\\.  <b>x\n2.\n\n");
    EXPECT_TRUE(read("2. 1. x\n3.\n").blocks.at(0).is<ast::Paragraph>());
}

TEST(CanonicalForm, ItemTextOpeningWithNumbersSpacedOtherwise) {
    // An ordered item's text that opens with item numbers spaced otherwise
    // than the writer spaces items ("1.  x") would make the reader take the
    // whole list for the text of its lines, escaped as the items' text and
    // not as that one paragraph's: the text's first number is escaped, and
    // the list reads back as itself.
    EXPECT_EQ(canonical("1. 1.  1. <DIV>\n1. >"), "1. 1.  1. <DIV>\n1\\. \\>\n\n");
    EXPECT_EQ(canonical("1. 1\\.  1. <DIV>\n2. y\n"), "1. 1\\.  1. <DIV>\n2. y\n\n");
    EXPECT_EQ(canonical("3. 1\\.  x\n4. y\n"), "3. 1\\.  x\n4. y\n\n");
    EXPECT_EQ(canonical("1. 01\\. x\n2. y\n"), "1. 01\\. x\n2. y\n\n");
    // Also a number before text the writer escapes at an item's start.
    EXPECT_EQ(canonical("1. 1\\. :\n2. ^[]]:"), "1. 1\\. :\n2. [^__note1]\\]\\:\n\n[^__note1]:\n\n");
    canonical("1. 1\\. {: x}\n2. ^[]]:");
    // Also a number with a leading zero that ends the line.
    EXPECT_EQ(canonical("1. 01\\.\n2. ^[]]:"), "1. 01\\.\n2. [^__note1]\\]\\:\n\n[^__note1]:\n\n");
    EXPECT_TRUE(read("3. 1\\.  x\n4. y\n").blocks.at(0).is<ast::List>());
    // The markers of lists opening the item come before its text; a number
    // of the text after other numbers ("1. 1.  x") ends the text's run.
    EXPECT_EQ(canonical("1. - 1\\.  x\n2. b\n"), "1. - 1\\.  x\n2. b\n\n");
    EXPECT_EQ(canonical("1. 1. 1.  1. x\n    -|y\n"), "1. 1\\. 1.  1. x\n   -\\|y\n\n");
    EXPECT_EQ(canonical("1. 1\\.\tx\n2. y\n"), "1. 1\\.\tx\n2. y\n\n");
    // So do those of lists opening a div written as its content (one
    // without attributes in a bare div) that opens the item, and of lists
    // after such a div of nothing, which writes nothing: the fence of a div
    // opening their item is no text, and a number after them is.
    EXPECT_EQ(canonical(":::\n1. :::\n   1. :::: x\n      :::: x"),
              ":::\n1. 1. :::: {.x}\n      ::: {.x}\n      :::\n      \n      ::::\n\n:::\n\n");
    canonical("> :::\n> 1. :::\n>    1. :::: x\n>       :::: x");
    canonical(":::\n1. - :::\n     :::\n     1. :::: x\n        ::: y\n        :::\n        ::::");
    EXPECT_EQ(canonical("> :::\n> 1. :::\n>    - 1.     c\n>    x"),
              "> :::\n> 1. - 1\\.     c\n>    \n>    x\n>\n> :::\n\n");
    // A paragraph of white space alone before those lists writes nothing:
    // their markers open the item's line all the same.
    EXPECT_EQ(canonical("1.     a\n2. &#10;\n   - 1.  2"), "1. ```\n   a\n   ```\n2. - 1\\.  2\n\n");
    EXPECT_EQ(canonical("1. &#10;\n   - 1.  a\n]\n2."), "1. - 1\\.  a\n     \\]\n2.\n\n");
}

TEST(CanonicalForm, ContainerTagWithWhiteSpaceBeforeItsEnd) {
    // The reader keeps the white space before the ">" in the container's
    // tag: the attribute is written back before it, so that the tag reads
    // as the container's again and not as raw HTML taking the lines after.
    EXPECT_EQ(canonical("<div markdown=\"1\" >\n<d"), "<div markdown=\"1\" >\n\n\\<d\n\n");
    EXPECT_EQ(canonical("<section markdown=\"1\"\t>\n<x"), "<section markdown=\"1\"\t>\n\n\\<x\n\n");
    EXPECT_EQ(canonical("<div markdown=\"1\"\t>\n</"), "<div markdown=\"1\"\t>\n\n\\</\n\n");
    EXPECT_EQ(canonical("<td markdown=\"1\"\t>\n<t"), "<td markdown=\"1\"\t>\n\n\\<t\n\n");
    EXPECT_EQ(canonical("<div class=\"a\" markdown=\"1\" >\nx\n</div>\n"),
              "<div class=\"a\" markdown=\"1\" >\n\nx\n\n</div>\n\n");
    canonical("[^f]\n<section markdown=\"1\"\t>\n[^f]:\n<");
}

TEST(CanonicalForm, ContainerTagThatReadsAsTextBare) {
    // Only the container's tag takes an attribute such as "]": written bare
    // the tag is no raw HTML but text, so it stays the container's tag even
    // with nothing after it.
    EXPECT_EQ(canonical("<i- ] markdown=\"1\">"), "<i- ] markdown=\"1\">\n\n");
    EXPECT_EQ(canonical("<i- ] markdown=\"1\">\na\n</i->\nb"), "<i- ] markdown=\"1\">\n\na\n\n</i->\n\nb\n\n");
    // Nor does one that keeps the attribute, given twice: bare, it is a
    // container's tag that reads back without it.
    EXPECT_EQ(canonical("<div markdown=\"1\" markdown=\"1\">"), "<div markdown=\"1\" markdown=\"1\">\n\n");
    EXPECT_EQ(canonical("<s- markdown=\"1\" markdown=\"1\">\n>"), "<s- markdown=\"1\" markdown=\"1\">\n\n");
    EXPECT_EQ(canonical("<div markdown=\"1\" markdown=\"1\">\nx\n</div>\n"),
              "<div markdown=\"1\" markdown=\"1\">\n\nx\n\n</div>\n\n");
}

TEST(CanonicalForm, ItemNumberBeforeACustomElement) {
    // A custom element's tag interrupts no paragraph but opens raw HTML at
    // an item's start: a paragraph's number before one is escaped.
    EXPECT_EQ(canonical("1\\. <v-><d"), "1\\. <v->\\<d\n\n");
    EXPECT_EQ(canonical("1\\. <i->\n1. >"), "1. <i->\n1\\. \\>\n\n");
    EXPECT_EQ(canonical("[^g]:0. <d-><!"), "[^g]: 0\\. <d->\\<!\n\n");
    EXPECT_EQ(canonical("^[3. <v- markdown=\"1\">]"), "[^__note1]\n\n[^__note1]: 3\\. <v- markdown=\"1\">\n\n");
    canonical("1\\. <i-><d");
}

TEST(CanonicalForm, ParagraphNumberedOnFromAnEarlierBlock) {
    // The reader numbers a list on from one that began further back, past
    // blocks that are no lists: a paragraph whose lines read as such items
    // ("3. :::" holding a div) has its number escaped, judged from there.
    EXPECT_EQ(canonical("1.\n\n\\\n\n\\\n2.\n3. :::"), "1.\n\n\\\\\n\n2\\.\n3. :::\n\n");
    EXPECT_EQ(canonical("1.\n\nx\n\n2\\.\n3. :::"), "1.\n\nx\n\n2\\.\n3. :::\n\n");
    EXPECT_EQ(canonical("1. a\n2. b\n\nx\n\n3\\. c\n4. :::"), "1. a\n2. b\n\nx\n\n3\\. c\n4. :::\n\n");
    // Also past a paragraph numbered otherwise, which reads as text.
    EXPECT_EQ(canonical("1.\n\nx\n\n5\\. a\n\n2\\.\n3. :::"), "1.\n\nx\n\n5. a\n\n2\\.\n3. :::\n\n");
    // A bullet list or a heading between them ends the numbering: the
    // lines are text, and stay bare.
    EXPECT_EQ(canonical("1.\n\n- b\n\n2\\.\n3. :::"), "1.\n\n- b\n\n2.\n3. :::\n\n");
    EXPECT_EQ(canonical("1.\n\n## h\n\n2\\.\n3. :::"), "1.\n\n## h\n\n2.\n3. :::\n\n");
    // Only a heading no deeper than the one over the list begun with "1."
    // ends it: under "# A", "## B" does not.
    EXPECT_EQ(canonical("# A\n\n1.\n\n## B\n\n2\\.\n3. :::"), "# A\n\n1.\n\n## B\n\n2\\.\n3. :::\n\n");
    EXPECT_EQ(canonical("## A\n\n1.\n\n### B\n\n2\\.\n3. :::"), "## A\n\n1.\n\n### B\n\n2\\.\n3. :::\n\n");
    EXPECT_EQ(canonical("## A\n\n1.\n\n### B\n\n## C\n\n2\\.\n3. :::"),
              "## A\n\n1.\n\n### B\n\n## C\n\n2.\n3. :::\n\n");
    EXPECT_EQ(canonical("# A\n\n1.\n\n# B\n\n2\\.\n3. :::"), "# A\n\n1.\n\n# B\n\n2.\n3. :::\n\n");
}

TEST(CanonicalForm, RawHtmlOverALineEndAfterOtherWhiteSpace) {
    // A footnote definition's own line and the lines of an item turned back
    // into text lose any white space ending them, a form feed, a vertical
    // tab or a no-break space as much as a space: a comment going on over
    // such a line end keeps it only on a line of its own.
    EXPECT_EQ(canonical("[^1]:\n    ^<!--\x0C\n-->"), "[^1]:\n    \\^<!--\x0C\n    -->\n\n");
    EXPECT_EQ(canonical("^[^<!--\x0C\n-->]"), "[^__note1]\n\n[^__note1]:\n    \\^<!--\x0C\n    -->\n\n");
    canonical("[^1]:\n    ^<!--\xC2\xA0\n-->");
    canonical("[^1]:\n    ^<!--\v\n-->");
    EXPECT_EQ(canonical("1\\. {<!--\x0C\n2. -->\n{"), "1\\. {<!--\x0C\n2. -->\n{\n\n");
    canonical("1\\. {<!--\xC2\xA0\n2. -->\n{");
}

TEST(CanonicalForm, ListWrittenOnAsTheOneBeforeItStartsNoNumbering) {
    // A list written on as the one before it (whose raw HTML takes the
    // blank line between) is part of that list: a paragraph numbered 1
    // after it is judged from where that list begins, not from inside the
    // number written on ("11." read as "1.").
    EXPECT_EQ(canonical("10.\n    <div>\n2.\n   b\n|\n1. !"), "10. <div>\n\n2\\.\nb\n\\|\n\n1. !\n\n");
    EXPECT_EQ(canonical("10.\n    <div>\n2.\n   b\n   c\n\n1\\. x"), "10. <div>\n\n2. b\n   c\n\n1. x\n\n");
}

TEST(CanonicalForm, ItemNumbersWithALeadingZeroBeforeRawHtml) {
    // "01. 1\. <div>" reads as a list whose item holds the escaped number,
    // and that list is written "1. ": with a number led by a zero, the
    // paragraph's first number is escaped instead of its last.
    EXPECT_EQ(canonical("01\\. 1. <DIV>"), "01\\. 1. <DIV>\n\n");
    EXPECT_EQ(canonical("1\\. 01. 1. <DIV>"), "1\\. 01. 1. <DIV>\n\n");
    EXPECT_EQ(canonical("~~~\n~~~\n[^g]:01. 0. <div>"), "```\n```\n\n[^g]: 01\\. 0. <div>\n\n");
    // Without one too: "10. 1\. <DIV>" reads as a list whose item holds
    // the escaped number.
    EXPECT_EQ(canonical("10\\. 1. <DIV>"), "10\\. 1. <DIV>\n\n");
}

TEST(CanonicalForm, ListNotNumberedFromOneWrittenAsItsText) {
    // A list not numbered from 1 reads back as the paragraph of its lines,
    // whose later lines are escaped otherwise than an item's first line
    // ("[^f]\]\:" as an item's, "[^f]\]:" as a later line): it is written as
    // that paragraph.
    EXPECT_EQ(canonical("3. 1\\.\n4. [^f]]\\:\n\n[^f]:"), "3\\. 1.\n4. [^f]\\]:\n\n[^f]:\n\n");
    EXPECT_EQ(canonical("1. a\n2. b\n\nx\n\n5. c\n6. [^f]]\\:\n\n[^f]:"),
              "1. a\n2. b\n\nx\n\n5\\. c\n6. [^f]\\]:\n\n[^f]:\n\n");
    // Numbered on from a list before it, it stays a list, also under a
    // deeper heading.
    EXPECT_EQ(canonical("1. a\n2. b\n\nx\n\n3. c\n4. [^f]]\\:\n\n[^f]:"),
              "1. a\n2. b\n\nx\n\n3. c\n4. [^f]\\]\\:\n\n[^f]:\n\n");
    EXPECT_TRUE(read("1. a\n2. b\n\nx\n\n3. c\n4. [^f]\\]\\:\n\n[^f]:\n").blocks.at(2).is<ast::List>());
    EXPECT_EQ(canonical("# A\n\n1. a\n2. b\n\n## x\n\n3. c\n4. [^f]]\\:\n\n[^f]:"),
              "# A\n\n1. a\n2. b\n\n## x\n\n3. c\n4. [^f]\\]\\:\n\n[^f]:\n\n");
    // Items opening lists on their first lines are read back as the lines
    // written: the paragraph of those lines is written, its notes and
    // references kept.
    EXPECT_EQ(canonical("2. 2. >\n2. ^[]]:"), "2\\. 2. \\>\n2. [^__note1]\\]:\n\n[^__note1]:\n\n");
    EXPECT_EQ(canonical("2.\n   -\n2. ^[]]:"), "2.\n-\n2. [^__note1]\\]:\n\n[^__note1]:\n\n");
    // (Not one from 0 that only its numbers keep a list: it is numbered so
    // that they do.)
    EXPECT_EQ(canonical("0.\n0.\n1. - [^__note1]]\\:\n\n[^__note1]:"), "0.\n0.\n1. - [^__note1]\\]\\:\n\n[^__note1]:\n\n");
    EXPECT_EQ(canonical("2. - [^f]\n3. x\n\n[^f]: n"), "2. - [^f]\n3. x\n\n[^f]: n\n\n");
    // An item's blocks that write nothing (an empty quote) are not read
    // back: the item is its paragraph alone.
    EXPECT_EQ(canonical("2.\n2. ^[]]:\n   >"), "2\\.\n2. [^__note1]\\]:\n\n[^__note1]:\n\n");
    // Where both forms write the same text, the list is written as a list.
    EXPECT_EQ(canonical("3. a\n4. b"), "3. a\n4. b\n\n");
}

TEST(CanonicalForm, CaptionEndingInACrossReference) {
    // The block ending a caption is the table's: a cross-reference list
    // without attributes of its own is written without a block.
    EXPECT_EQ(canonical("| a |\n|---|\n: [@k]\n"), "| a |\n|--- |\n: [@k]\n\n");
    // Its last inline, whose element form would lose a pair, keeps its
    // block, and one that gives the table nothing follows.
    EXPECT_EQ(canonical("| a |\n|---|\n: c [y]{k\x01=1} {class=\"\"}\n"),
              "| a |\n|--- |\n: c [y]{k\x01=\"1\"} {class=\"\"}\n\n");
    // Elsewhere too: a list is written as one, its links' "ref" value in
    // its block.
    EXPECT_EQ(canonical("x [-@k; @j]{ref=v .c}"), "x [-@k; @j]{.c ref=\"v\"}\n\n");
    canonical("| a |\n|---|\n: see [@k; @j]\n");
    canonical("| a |\n|---|\n: see [[x]{.d}]{.c}\n");
    canonical("| a |\n|---|\n: [*x*{.d}]{#s}\n");
    // White space after the inline is cut at the line's end.
    EXPECT_EQ(canonical("p|\n|-\n: ~~a~~{.y}&ensp;\n"), "| p |\n|--- |\n: <del class=\"y\">a</del>\n\n");
    // So is an empty span, which leaves the inline before it last.
    canonical("||\n|-\n: ~~a~~{.1}[]{#n}{.e}&nbsp;\n");
}

TEST(CanonicalForm, RefPairBeforeOtherPairs) {
    // A reference definition keeps its pairs in order; after a link or an
    // image the reader puts "ref" after the other pairs of its block, so it
    // is written in a block of its own, between the pairs before and after
    // it. A span keeps its order.
    EXPECT_EQ(canonical("[a] ![b] [c]{ref=x e=f}\n\n[a]: u {ref=x g=y}\n[b]: v {.k t=\"\" ref= w=z}\n"),
              "[a](u){ref=\"x\"}{g=\"y\"} ![b](v){.k t=\"\"}{ref=\"\"}{w=\"z\"} [c]{ref=\"x\" e=\"f\"}\n\n");
}

TEST(CanonicalForm, IndentedContainerTagInAQuote) {
    // A tag alone whose indentation is kept is written as the raw HTML it
    // is, with the line of white space after it, which in a quote is the
    // HTML's own.
    EXPECT_EQ(canonical(">  <div>\n>  \n"), ">  <div>\n>  \n\n");
    EXPECT_EQ(canonical(">  <div>\n"), ">  <div>\n\n");
}

TEST(CanonicalForm, FormsTheReaderWouldTakeOtherwise) {
    // A line end in a description's math is a break of the plain text
    // written, and the white space beside it the math's own: a space.
    EXPECT_EQ(canonical("![^2^ $$\n$$]()"), "![2  ]()\n\n");
    EXPECT_EQ(canonical("![^a^ $$x \n y$$]()"), "![a x  y]()\n\n");
    // A "<" of text before white space and a "www." address is its
    // reference, after which the reader finds the address, and a span
    // around keeps its brackets.
    EXPECT_EQ(canonical("[&lt; www.g b]{.a}"), "[&lt; www.g b]{.a}\n\n");
    EXPECT_EQ(canonical("x &lt;\twww.g"), "x &lt;\twww.g\n\n");
    // No item number is longer than nine digits: past the largest, the
    // items take it again, as the reader takes them into the same list.
    EXPECT_EQ(canonical("999999999.\n999999999. #"), "999999999.\n999999999. #\n\n");
    EXPECT_EQ(canonical("999999998. #\n999999999. #\n999999999. #"), "999999998. #\n999999999. #\n999999999. #\n\n");
    // A plain strong in a plain strong, an element form between them, is
    // merged into it between "_" runs as between "*" runs.
    EXPECT_EQ(canonical("__***<strong>***__"), "**<em><strong><strong></strong></em>**\n\n");
}

TEST(CanonicalForm, ReferenceBeforeAnOpenerOnlyWhereTheOpenerNeedsIt) {
    // A highlight with a key no tag can hold after a letter, whose first
    // node inside, an emphasis with such a key, would write the letter
    // before it as a reference, which leaves the highlight's opener
    // unpaired: the highlight pairs after the letter as it is, the
    // emphasis inside in its element form, as the text read back has it.
    EXPECT_EQ(canonical("b==a***x1***{-=1}=={-=1}"), "b==a<em>**x1**</em>=={-=\"1\"}\n\n");
    // A try taken back leaves no element form written in a description,
    // which is then written as it is, not as its plain text.
    canonical("![g***ab$$\n$$***{\xC3=}[[\n1. 1. ]{\xC3=}]{<=}](u){.c}");
}
