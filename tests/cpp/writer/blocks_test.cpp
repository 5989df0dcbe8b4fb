// The Markdown writer's document frame and block forms: front matter, lists
// and their indentation, quotes, code fences, pipe tables and their HTML
// fallback, footnotes and inline notes numbered through the document.
#include <gtest/gtest.h>

#include <algorithm>

#include "builders.hpp"
#include "tavrel/markdown.hpp"

using namespace wt;

TEST(WriteFrame, FrontMatterAndEmptyDocuments) {
    Document d = Doc({P({T("x")})});
    d.metadata = {{"title", "A: b"}};
    EXPECT_EQ(md(d), "---\ntitle: A: b\n---\n\nx\n\n");
    EXPECT_EQ(md(Document{}), "");
    Document meta_only;
    meta_only.metadata = {{"k", "v"}};
    EXPECT_EQ(md(meta_only), "---\nk: v\n---\n\n");
}

TEST(WriteBlocks, ParagraphAndHeadingAttributes) {
    Block p = P({T("x")});
    p.as<Paragraph>()->attr = Id("p");
    EXPECT_EQ(md({p}), "x\n{: #p}\n\n");
    EXPECT_EQ(md({H(2, {T("Intro")}, Cls("x"))}), "## Intro {.x}\n\n");
    Attr a = Id("a b");
    a.push_class(std::string_view("c"));
    a.set_pair("k", "v\"w\\");
    EXPECT_EQ(md({H(3, {T("T")}, a)}), "### T {#a\\ b .c k=\"v\\\"w\\\\\"}\n\n");
}

TEST(WriteBlocks, ListsAndIndentation) {
    EXPECT_EQ(md({Bullets({Item({P({T("a")})}), Item({P({T("b")})})})}), "- a\n- b\n\n");
    EXPECT_EQ(md({Ordered(9, {Item({P({T("a")})}), Item({P({T("b")})})})}), "9. a\n10. b\n\n");
    EXPECT_EQ(md({Bullets({Item({P({T("a")}), P({T("b")})})})}), "- a\n  \n  b\n\n");
    EXPECT_EQ(md({Bullets({Item({})})}), "-\n\n");
    EXPECT_EQ(md({Ordered(1, {Item({})})}), "1.\n\n");
    List task{Attr{}, {ListItem{Attr{}, {P({T("done")})}, true}, ListItem{Attr{}, {P({T("todo")})}, false}}, 1, false,
              true};
    EXPECT_EQ(md({Block{task}}), "- [x] done\n- [ ] todo\n\n");
    // A nested list sits at the marker width of its item, the ordered one at
    // the width of "10. ".
    Block nested = Ordered(10, {Item({P({T("a")}), Bullets({Item({P({T("b")})}), Item({P({T("c")})})})})});
    EXPECT_EQ(md({nested}), "10. a\n    \n    - b\n    - c\n\n");
    ListItem with_attr = Item({P({T("x")})});
    with_attr.attr = Cls("k");
    List l{Cls("outer"), {with_attr}, 1, false, true};
    EXPECT_EQ(md({Block{l}}), "- x\n  {: .k}\n{: .outer}\n\n");
}

// Items and quotes that hold one item or quote alone are written on one
// line, each later line after all their indentation and markers.
TEST(WriteBlocks, ContainersNestedOnOneLine) {
    const auto quote = [](Blocks b) { return Block{BlockQuote{Attr{}, std::move(b)}}; };
    ListItem task = Item({P({T("t")})});
    task.task = true;
    ListItem with_attr = Item({P({T("x")})});
    with_attr.attr = Cls("k");
    const Block ab = P({T("a"), SB(), T("b")});
    const struct {
        Block tree;
        std::string_view md;
    } rows[] = {
        {Bullets({Item({Bullets({Item({Bullets({Item({ab})})})})})}), "- - - a\n      b\n\n"},
        {Ordered(1, {Item({Ordered(1, {Item({Ordered(1, {Item({ab})})})})})}), "1. 1. 1. a\n         b\n\n"},
        {Bullets({Item({quote({Bullets({Item({P({T("a")}), P({T("b")})})})})})}), "- > - a\n  >   \n  >   b\n\n"},
        {Bullets({Item({quote({P({T("a")}), P({T("b")})})})}), "- > a\n  >\n  > b\n\n"},
        {quote({Bullets({Item({quote({ab})})})}), "> - > a\n>   > b\n\n"},
        // An item with attributes or one whose list starts on the next line
        // ends the run of markers.
        {Bullets({Item({Bullets({with_attr})})}), "- - x\n    {: .k}\n\n"},
        {Bullets({Item({Ordered(1, {Item({Bullets({task})})})})}), "- 1.\n     - [x] t\n\n"},
        {Bullets({Item({Bullets({task})})}), "- - [x] t\n\n"},
    };
    for (const auto& row : rows) EXPECT_EQ(md({row.tree}), row.md);
}

TEST(WriteBlocks, QuotesAndEmptyContainers) {
    EXPECT_EQ(md({BlockQuote{Attr{}, {P({T("a")}), P({T("b")})}}}), "> a\n>\n> b\n\n");
    EXPECT_EQ(md({BlockQuote{Attr{}, {BlockQuote{Attr{}, {P({T("q")})}}}}}), "> > q\n\n");
    // Quotes in quotes are written with all their markers on each line,
    // attribute lines after the lines of their own quote.
    EXPECT_EQ(md({BlockQuote{Id("o"), {BlockQuote{Attr{}, {BlockQuote{Attr{}, {P({T("a")}), P({T("b")})}}}}}}}),
              "> > > a\n> > >\n> > > b\n{: #o}\n\n");
    EXPECT_EQ(md({BlockQuote{Attr{}, {BlockQuote{Id("i"), {P({T("a")})}}}}}), "> > a\n> {: #i}\n\n");
    EXPECT_EQ(md({BlockQuote{Attr{}, {BlockQuote{Attr{}, {}}}}, P({T("x")})}), "x\n\n");
    // A container without content is not written: a lone blank line or
    // attribute line would read back as nothing. A quote with attributes
    // is a marker line and its attribute line.
    EXPECT_EQ(md({BlockQuote{Attr{}, {}}, P({T("x")})}), "x\n\n");
    EXPECT_EQ(md({BlockQuote{Id("q"), {P({T(" ")})}}}), ">\n{: #q}\n\n");
    EXPECT_EQ(md({List{Cls("l"), {}, 1, false, true}}), "");
    EXPECT_EQ(md({DefinitionList{Attr{}, {DefinitionItem{}}}}), "");
}

TEST(WriteBlocks, DefinitionListDivAndMath) {
    DefinitionTerm term{Cls("t"), {T("Term")}};
    DefinitionList dl{Attr{}, {DefinitionItem{{term}, {{T("one")}, {T("two")}}}, DefinitionItem{{{Attr{}, {T("U")}}}, {}}}};
    // A term after the last definition is set apart: read right under the
    // definitions it would be a paragraph line of its own.
    EXPECT_EQ(md({Block{dl}}), "Term{.t}\n: one\n: two\n\nU\n\n");
    EXPECT_EQ(md({Div{Cls("note"), {P({T("in")})}}}), "::: {.note}\nin\n\n:::\n\n");
    EXPECT_EQ(md({Div{Attr{}, {}}}), ":::\n:::\n\n");
    EXPECT_EQ(md({MathBlock{Id("m"), "a+b", false}}), "\\[\na+b\n\\]\n{: #m}\n\n");
    EXPECT_EQ(md({ThematicBreak{}}), "---\n\n");
}

// A div's fence is chosen from the lines of colons alone in its text,
// each line read once: the divs around the one that holds it take what
// that one found, where each read its whole text again for each length
// tried; and so do the lines of quotes and items holding divs. Nested deep
// around 1,000 lines, with a paragraph, a line of colons in code or a bare
// div beside each, each in the one before or in a quote or an item in it,
// and the written text reads back as the tree.
TEST(WriteBlocks, DivFencesReadEachLineOnce) {
    Inlines lines{T("b")};
    for (int i = 0; i < 999; ++i) lines.insert(lines.end(), {SB(), T("b")});
    const struct {
        const char* beside;  // "": nothing; else a paragraph, code or a bare div of it
        char kind;
        char around;  // what holds each div but the outermost: a div, a quote or an item
        int depth;    // divs (the reader nests 128 containers)
        std::size_t outer_fence;
    } rows[] = {{"", 'p', 'd', 100, 102}, {"x", 'p', 'd', 100, 102}, {"::::", 'c', 'd', 100, 103},
                {"y", 'd', 'd', 100, 103}, {"", 'p', 'q', 60, 62},      {"::::", 'c', 'q', 60, 63},
                {"x", 'p', 'i', 40, 42},   {"y", 'd', 'i', 40, 43}};
    for (const auto& row : rows) {
        Block inner = P(lines);
        for (int i = 0; i < row.depth; ++i) {
            Blocks blocks;
            if (*row.beside) {
                if (row.kind == 'p') blocks.push_back(P({T(row.beside)}));
                if (row.kind == 'c') blocks.push_back(CodeBlock{Attr{}, "", std::nullopt, row.beside});
                if (row.kind == 'd') blocks.push_back(Div{Attr{}, {P({T(row.beside)})}});
            }
            blocks.push_back(std::move(inner));
            inner = Div{Cls("c"), std::move(blocks)};
            if (i == row.depth - 1) break;
            if (row.around == 'q') inner = BlockQuote{Attr{}, {std::move(inner)}};
            if (row.around == 'i') inner = Bullets({Item({std::move(inner)})});
        }
        const Document d = Doc({std::move(inner)});
        tavrel::write_md::Renderer r(d);
        r.blocks(d.blocks);
        const std::string out = r.take();
        EXPECT_EQ(out.find(' '), row.outer_fence) << row.beside << row.around;
        EXPECT_LE(r.fence_lines_read(), 2 * static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')))
            << row.beside << row.around;
        EXPECT_TRUE(md(tavrel::block::parse_source(out, tavrel::Options::dataset())) == out) << row.beside << row.around;
    }
}

TEST(WriteBlocks, CodeFencesAndRawBlocks) {
    EXPECT_EQ(md({CodeBlock{Attr{}, "", std::nullopt, "a ``` b\n"}}), "````\na ``` b\n````\n\n");
    Attr cls;
    cls.push_class(std::string_view("py"));
    cls.push_class(std::string_view("x"));
    EXPECT_EQ(md({CodeBlock{cls, "py", std::string("py"), "x"}}), "```{.py .x}\nx\n```\n\n");
    // An empty text has no line between the fences, which would read as a line end.
    EXPECT_EQ(md({CodeBlock{Attr{}, "", std::nullopt, ""}}), "```\n```\n\n");
    EXPECT_EQ(md({CodeBlock{Attr{}, "", std::nullopt, "\n"}}), "```\n\n```\n\n");
    // "{#}" would read back as no attribute at all: an empty id is not written.
    EXPECT_EQ(md({CodeBlock{Id(""), "", std::nullopt, "a"}}), "```\na\n```\n\n");
    // Without a language the info as typed is not written (it would read
    // back as another info); a first class is written where the language
    // goes, since the reader takes it as one.
    EXPECT_EQ(md({CodeBlock{Id("i"), "raw info", std::nullopt, "a"}}), "```{#i}\na\n```\n\n");
    Attr classes = Id("i");
    classes.push_class(std::string("b"));
    classes.push_class(std::string("c"));
    EXPECT_EQ(md({CodeBlock{classes, "{#i .b .c}", std::nullopt, "a"}}), "```{.b #i .c}\na\n```\n\n");
    EXPECT_EQ(md({RawBlock{"html", "<b>x</b>"}}), "```{=html}\n<b>x</b>\n```\n\n");
    EXPECT_EQ(md({FormatBlock{"dot", "a\n"}}), "```{dot}\na\n```\n\n");
    EXPECT_EQ(md({HtmlBlock{"<div>x</div>", {}}}), "<div>x</div>\n\n");
    EXPECT_EQ(md({HtmlBlock{"", {}}}), "\n\n");
}

TEST(WriteBlocks, FigureTakesAltWhenCaptionIsEmpty) {
    Figure f{Attr{}, {}, Inline(Image{Cls("img"), {T("alt")}, "a b.png", std::string("say \"hi\"")})};
    EXPECT_EQ(md({Block{f}}), "![alt](a%20b.png \"say \\\"hi\\\"\")\n\n");
    f.caption = {T("cap")};
    f.attr = Id("f");
    EXPECT_EQ(md({Block{f}}), "![cap](a%20b.png \"say \\\"hi\\\"\")\n{: #f}\n\n");
    Figure bad{Attr{}, {T("c")}, Inline(T("not an image"))};
    EXPECT_EQ(md({Block{bad}}), "<figure>\nnot an image\n<figcaption>c</figcaption>\n</figure>\n\n");
}

namespace {
Table two_by_two() {
    Table t;
    t.aligns = {Align::Left, Align::Right};
    t.head = {Row({Cell({T("a")}), Cell({T("b")})})};
    t.body = {Row({Cell({T("c")}), Cell({T("d")})})};
    return t;
}
}  // namespace

TEST(WriteTables, PipeTableAndItsCaption) {
    EXPECT_EQ(md({two_by_two()}), "| a | b |\n|:--- |---: |\n| c | d |\n\n");
    Table t = two_by_two();
    t.caption = {T("Cap")};
    t.attr = Cls("wikitable");
    t.aligns = {Align::Center, Align::Default};
    EXPECT_EQ(md({t}), "| a | b |\n|:---: |--- |\n| c | d |\n: Cap\n{: .wikitable}\n\n");
}

TEST(WriteTables, ShapesAPipeTableCannotHoldFallBackToHtml) {
    Table wide = two_by_two();
    wide.body[0].cells.push_back(Cell({T("e")}));
    Table foot = two_by_two();
    foot.foot = {Row({Cell({T("f")}), Cell({T("g")})})};
    Table interlude = two_by_two();
    interlude.interludes = {{0, Inline(T("i"))}};
    for (const Table& t : {wide, foot, interlude}) {
        std::string out = md({t});
        EXPECT_EQ(out.rfind("<table>\n", 0), 0u) << out;
        EXPECT_EQ(out.substr(out.size() - 10), "</table>\n\n");
    }
}

TEST(WriteFootnotes, DefinitionsAndNotesNumberedThroughTheDocument) {
    Document d = Doc({P({T("a"), Note{{T("first")}}, FootnoteRef{"n"}}),
                      BlockQuote{Attr{}, {P({T("b"), Note{{T("second"), Note{{T("inner")}}}}})}}});
    d.footnotes = {Footnote{"n", {P({T("x")}), P({T("y")})}}, Footnote{"empty", {}}};
    EXPECT_EQ(md(d),
              "a[^__note1][^n]\n\n"
              "> b[^__note2]\n\n"
              "[^n]: x\n    \n    y\n\n"
              "[^empty]:\n\n"
              "[^__note1]: first\n\n"
              "[^__note2]: second[^__note3]\n\n"
              "[^__note3]: inner\n\n");
}

TEST(WriteFootnotes, HtmlFallbackCarriesItsFootnoteSection) {
    Table t = two_by_two();
    t.foot = {Row({Cell({FootnoteRef{"r"}, FootnoteRef{"r"}}), Cell({Note{{T("nb")}}})})};
    Document d = Doc({t});
    d.footnotes = {Footnote{"r", {P({T("ref text")})}}};
    std::string out = md(d);
    std::string section =
        "\n<section class=\"footnotes\" role=\"doc-endnotes\">\n<ol>\n"
        "<li id=\"fn-r\">\n<p>ref text <a href=\"#fnref-r\" class=\"footnote-backref\" role=\"doc-backlink\">\u21A9</a> "
        "<a href=\"#fnref-r-2\" class=\"footnote-backref\" role=\"doc-backlink\">\u21A9<sup>2</sup></a></p>\n</li>\n"
        "<li id=\"fn-__note1\">\n<p>nb <a href=\"#fnref-__note1\" class=\"footnote-backref\" "
        "role=\"doc-backlink\">\u21A9</a></p>\n</li>\n"
        "</ol>\n</section>\n\n";
    std::size_t table_end = out.find("</table>\n");
    ASSERT_NE(table_end, std::string::npos);
    EXPECT_EQ(out.substr(table_end + 9, section.size()), section) << out;
    // The fallback's note stays with the fragment: the document writes the
    // footnote "r" once and no "[^__note1]" definition.
    EXPECT_EQ(out.find("[^__note1]"), std::string::npos);
    EXPECT_NE(out.find("[^r]: ref text\n\n"), std::string::npos);
}
