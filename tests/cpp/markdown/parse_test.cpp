// Whole documents through `parse_source`: the top-level pass, container
// parsing, leaf placement, paragraphs and link definitions, finalisation and
// diagnostics.
#include <gtest/gtest.h>

#include "tavrel/block.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/wikitext.hpp"
#include "tavrel/write_md.hpp"

using namespace tavrel;
using tavrel::block::parse_source;

namespace {

ast::Document parse(std::string_view md) { return parse_source(md, Options::dataset()); }

// The plain text of a block's inlines (Text and soft breaks only).
std::string text_of(const ast::Inlines& in) {
    std::string out;
    for (const auto& i : in) {
        if (const auto* t = i.as<ast::Text>()) out += t->text;
        else if (i.is<ast::SoftBreak>()) out += '\n';
        else out += '?';
    }
    return out;
}

std::string para(const ast::Block& b) {
    const auto* p = b.as<ast::Paragraph>();
    return p ? text_of(p->content) : "<" + std::string(ast::kind_name(b.kind())) + ">";
}

std::vector<std::string> messages(const ast::Document& d) {
    std::vector<std::string> out;
    for (const auto& x : d.diagnostics) {
        const auto* loc = std::get_if<diagnostic::LineLocation>(&x.location);
        out.push_back(std::to_string(loc ? loc->line : 0) + ": " + x.message);
    }
    return out;
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(Entry, LineEndingsAndEmptyText) {
    auto d = parse("a\r\nb\rc");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "a\nb\nc");
    auto e = parse("");
    EXPECT_TRUE(e.blocks.empty());
    EXPECT_TRUE(e.footnotes.empty());
    EXPECT_TRUE(e.diagnostics.empty());
}

TEST(Entry, AttributeLinesBetweenBlocks) {
    auto d = parse("```\nx\n```\n{: #code}\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].attr()->id, "code");

    // A blank line: the attribute line waits, then finds nothing and is text.
    d = parse("para\n\n{: #p}\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_FALSE(d.blocks[0].attr()->id);
    EXPECT_EQ(para(d.blocks[1]), "{: #p}");

    d = parse("{: .c}\n# Head\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].attr()->classes, Strings{"c"});

    d = parse("{: .c}\n\n# Head\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_EQ(para(d.blocks[0]), "{: .c}");

    d = parse("{: .c}\n<div>\n</div>\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_EQ(para(d.blocks[0]), "{: .c}");
    EXPECT_TRUE(d.blocks[1].is<ast::HtmlBlock>());
}

// An attribute line whose body holds a word that is no attribute is text:
// the attributes it would give could not carry that word.
TEST(LostText, AttributeLineWithAWordThatIsNoAttributeStaysText) {
    auto d = parse("para\n{: nope}\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "para\n{: nope}");
    EXPECT_TRUE(d.blocks[0].attr()->empty());

    // Under a heading: a paragraph of its own.
    d = parse("# h\n{: nope}\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_TRUE(d.blocks[0].attr()->empty());
    EXPECT_EQ(para(d.blocks[1]), "{: nope}");

    // Under a table: a body row.
    d = parse("| a |\n|---|\n| b |\n{: nope}\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    const auto* t = d.blocks[0].as<ast::Table>();
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->attr.empty());
    ASSERT_EQ(t->body.size(), 2u);
    ASSERT_EQ(t->body[1].cells.size(), 1u);
    EXPECT_EQ(text_of(t->body[1].cells[0].content), "{: nope}");

    // Under a definition list.
    d = parse("t\n: d\n{: nope}\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_TRUE(d.blocks[0].attr()->empty());
    EXPECT_EQ(para(d.blocks[1]), "{: nope}");

    // Between blocks, and when only one word of several is no attribute.
    d = parse("```\nx\n```\n{: .a nope}\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_TRUE(d.blocks[0].attr()->empty());
    EXPECT_EQ(para(d.blocks[1]), "{: .a nope}");

    for (std::string body : {"nope", ".a nope", "#", ".a.", "=v", "k=\"open", "k=\"a\"b", "k=a\"b", "a\"b\"=c", ":x"}) {
        d = parse("para\n{: " + body + "}\n");
        ASSERT_EQ(d.blocks.size(), 1u) << body;
        EXPECT_TRUE(d.blocks[0].attr()->empty()) << body;
        EXPECT_EQ(para(d.blocks[0]), "para\n{: " + body + "}") << body;
    }

    // Every attribute form the dialect has still reads as attributes.
    d = parse("para\n{: #i .c.d k=v q=\"x y\" s='z' e= \\#n=1}\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "para");
    const auto* a = d.blocks[0].attr();
    EXPECT_EQ(a->id, "i");
    EXPECT_EQ(a->classes, (Strings{"c", "d"}));
    ASSERT_EQ(a->pairs.size(), 5u);
    EXPECT_EQ(a->pairs[1], (std::pair<std::string, std::string>{"q", "x y"}));
}

// The same for an attribute block at the end of a heading, a term, a table
// caption or after an inline: the block stays text.
TEST(LostText, TrailingAttributeBlockWithAWordThatIsNoAttributeStaysText) {
    auto d = parse("# h {: nope}\n");
    const auto* h = d.blocks[0].as<ast::Heading>();
    ASSERT_TRUE(h);
    EXPECT_EQ(text_of(h->content), "h {: nope}");
    EXPECT_TRUE(h->attr.empty());

    d = parse("# h {#a nope}\n");
    h = d.blocks[0].as<ast::Heading>();
    ASSERT_TRUE(h);
    EXPECT_EQ(text_of(h->content), "h {#a nope}");
    EXPECT_FALSE(h->attr.id);

    d = parse("term {: nope}\n: d\n");
    const auto* dl = d.blocks[0].as<ast::DefinitionList>();
    ASSERT_TRUE(dl);
    EXPECT_EQ(text_of(dl->items[0].terms[0].content), "term {: nope}");

    d = parse("| a |\n|---|\n| b |\n: cap {.c nope}\n");
    const auto* t = d.blocks[0].as<ast::Table>();
    ASSERT_TRUE(t);
    EXPECT_EQ(text_of(t->caption), "cap {.c nope}");
    EXPECT_TRUE(t->attr.empty());

    for (std::string block : {"{: nope}", "{#a nope}", "{.c k=\"open}"}) {
        d = parse("*x*" + block + " y\n");
        const auto* p = d.blocks[0].as<ast::Paragraph>();
        ASSERT_TRUE(p);
        ASSERT_EQ(p->content.size(), 2u) << block;
        EXPECT_TRUE(p->content[0].as<ast::Emph>()->attr.empty()) << block;
        EXPECT_EQ(p->content[1].as<ast::Text>()->text, block + " y");
    }

    // Valid blocks are still attributes.
    d = parse("# h {#a .b k=\"v\"}\n");
    h = d.blocks[0].as<ast::Heading>();
    EXPECT_EQ(text_of(h->content), "h");
    EXPECT_EQ(h->attr.id, "a");
    d = parse("*x*{: #a .b} y\n");
    EXPECT_EQ(d.blocks[0].as<ast::Paragraph>()->content[0].as<ast::Emph>()->attr.id, "a");
}

TEST(Entry, EndMarkerSeparatesBlocks) {
    auto d = parse("```\nx\n```\n^\n- a\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    d = parse("text\n^\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "text\n^");
}

TEST(Entry, AdjacentDefinitionListsWithEqualAttributesMerge) {
    auto d = parse("a\n: one\n{: .x}\nb\n: two\n{: .x}\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    const auto* dl = d.blocks[0].as<ast::DefinitionList>();
    ASSERT_TRUE(dl);
    EXPECT_EQ(dl->items.size(), 2u);
}

TEST(Entry, UnclosedConstructsBecomeSortedDiagnostics) {
    auto d = parse("para\n\n```\ncode\n");
    EXPECT_EQ(messages(d), Strings{"3: unclosed fenced code block (expected '```')"});
    EXPECT_EQ(d.diagnostics[0].code, "unclosed");

    d = parse("::: {.a}\n\\[\nx\n");
    EXPECT_EQ(messages(d), (Strings{"1: unclosed fenced div (expected ':::')", "2: unclosed math block (expected '\\]')"}));

    // The block is open, and so is a comment that began inside it.
    d = parse("<div>\n<!-- x\n");
    EXPECT_EQ(messages(d), (Strings{"1: unclosed raw HTML block (expected '</div>')",
                                     "2: unclosed comment (expected '-->')"}));

    d = parse("<!-- open\n");
    EXPECT_EQ(messages(d), Strings{"1: unclosed raw HTML block (expected '-->')"});
}

TEST(Containers, FencesAndMathClosers) {
    auto d = parse("```\na\n````\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].as<ast::CodeBlock>()->text, "a\n````\n");
    EXPECT_EQ(d.diagnostics.size(), 1u);

    d = parse("$$\nx $$ y\n$$\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].as<ast::MathBlock>()->tex, "x $$ y");
}

TEST(Containers, NestedDivFences) {
    auto d = parse("::::: {.outer}\n::: {.inner}\nx\n:::::::\n:::\n:::::\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    const auto* outer = d.blocks[0].as<ast::Div>();
    ASSERT_TRUE(outer);
    ASSERT_EQ(outer->blocks.size(), 1u);
    const auto* inner = outer->blocks[0].as<ast::Div>();
    ASSERT_TRUE(inner);
    ASSERT_EQ(inner->blocks.size(), 2u);
    EXPECT_EQ(para(inner->blocks[1]), ":::::::");
    EXPECT_TRUE(d.diagnostics.empty());
}

TEST(Containers, OrderedListNumbering) {
    // "3." neither continues the list nor may interrupt the item's open
    // paragraph, so it continues that paragraph: the text reads back as one
    // paragraph of both lines, as the writer wrote it.
    auto d = parse("1. a\n3. b\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "1. a\n3. b");

    // An empty item cannot take the next line either.
    d = parse("1.\ntext\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "1.\ntext");

    // A term that begins like an ordered item.
    d = parse("2. -\n: def\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    ASSERT_TRUE(d.blocks[0].is<ast::DefinitionList>());

    d = parse("1. a\n2. b\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].as<ast::List>()->items.size(), 2u);

    // The writer numbers items one by one: numbers that do not follow on
    // were paragraph text, which the writer writes as it stood.
    d = parse("1. a\n1. b\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "1. a\n1. b");
    d = parse("1. a\n2. b\n2. c\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "1. a\n2. b\n2. c");

    d = parse("- a\n* b\n");
    ASSERT_EQ(d.blocks.size(), 2u);
}

// A one-item list not numbered from 1 is text whenever the list the writer
// makes of its item would read as text: however its line is spelt (content
// below the marker, an escape the writer leaves out after a number, a block
// written as nothing), and stays a list only where the written list does.
TEST(Containers, OneItemListNotNumberedFromOne) {
    const std::pair<const char*, const char*> text[] = {
        {"3.\n   a\n", "3.\na"},
        {"4. \\{\n", "4. {"},
        {"4. \\-x\n", "4. -x"},
        {"4. \\--\n", "4. --"},
        {"9. >\n", "9. >"},
        {"9. > >\n", "9. > >"},
        {"3.\n   a\nb\n", "3.\na\nb"},
        // Lines whose line ends are not written: a code span, an inline note.
        {"3. a `b\n   c`\n", "3. a ?"},
        {"3. a ^[b\n   c]\n", "3. a ?"},
        // Lines that only defined a footnote or a link, or an empty quote.
        {"9. -\n   [^b]: x\n", "9. -"},
        {"0. >[n]:\n   /u\n", "0. >?:"},  // "[n]" now a link to what it defined
        // A thematic break, written "- - -" whatever its marks.
        {"3. * * *\n", "3. * * *"},
        {"3.\n   * * *\n", "3.\n* * *"},
    };
    for (const auto& [md, lines] : text) {
        auto d = parse(md);
        ASSERT_EQ(d.blocks.size(), 1u) << md;
        EXPECT_EQ(para(d.blocks[0]), lines) << md;
    }
    const char* lists[] = {"3.\n   a\n   b\n", "3. a\n   b\n", "3.\n   > q\n", "4. \\- x\n", "4. \\-\n",
                           "4. \\---\n",       "4. \\{: x}\n", "4. \\:\n",        "9. > q\n",
                           "1.\n   1. [x] y\n", "1.  <div\n",    "1.  > q\n",      "1. - [x] y\n",
                           "1.  - [x] y\n"};
    for (const char* md : lists) {
        auto d = parse(md);
        ASSERT_EQ(d.blocks.size(), 1u) << md;
        EXPECT_TRUE(d.blocks[0].is<ast::List>()) << md;
    }
}

TEST(Containers, ThematicBreakUnderItemsAndLaziness) {
    auto d = parse("- a\n- b\n---\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_TRUE(d.blocks[1].is<ast::ThematicBreak>());

    d = parse("> a\nb\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    const auto* q = d.blocks[0].as<ast::BlockQuote>();
    ASSERT_TRUE(q);
    EXPECT_EQ(para(q->blocks[0]), "a\nb");
}

TEST(Containers, NestingLimitKeepsDeeperMarkersAsText) {
    std::string md(129, '>');
    md += " x\n";
    auto d = parse(md);
    const ast::Blocks* level = &d.blocks;
    int quotes = 0;
    while (level->size() == 1 && (*level)[0].is<ast::BlockQuote>()) {
        level = &(*level)[0].as<ast::BlockQuote>()->blocks;
        ++quotes;
    }
    EXPECT_EQ(quotes, 128);
    ASSERT_EQ(level->size(), 1u);
    EXPECT_TRUE((*level)[0].is<ast::Paragraph>());

    // Lists and items count too: 100 nested items are 200 containers.
    std::string lists;
    for (int i = 0; i < 100; ++i) lists += std::string(static_cast<std::size_t>(i) * 2, ' ') + "- x\n";
    auto deep = parse(lists);  // must not overflow; the limit applies
    EXPECT_EQ(deep.blocks.size(), 1u);
}

TEST(Leaves, Headings) {
    auto d = parse("####### seven\n");
    EXPECT_TRUE(d.blocks[0].is<ast::Paragraph>());
    d = parse("#hash\n");
    EXPECT_TRUE(d.blocks[0].is<ast::Paragraph>());
    d = parse("#\n");
    ASSERT_TRUE(d.blocks[0].is<ast::Heading>());
    EXPECT_TRUE(d.blocks[0].as<ast::Heading>()->content.empty());
    d = parse("## a ##\n");
    EXPECT_EQ(text_of(d.blocks[0].as<ast::Heading>()->content), "a");
    d = parse("## a#\n");
    EXPECT_EQ(text_of(d.blocks[0].as<ast::Heading>()->content), "a#");
    d = parse("## ###\n");
    EXPECT_TRUE(d.blocks[0].as<ast::Heading>()->content.empty());
    d = parse("## Intro {.x}\n");
    EXPECT_EQ(d.blocks[0].as<ast::Heading>()->attr.classes, Strings{"x"});
}

TEST(Leaves, ThematicBreaksAndSetextLookalikes) {
    EXPECT_TRUE(parse("---\n").blocks[0].is<ast::ThematicBreak>());
    EXPECT_TRUE(parse(" ---\n").blocks[0].is<ast::Paragraph>());
    EXPECT_TRUE(parse("***\n").blocks[0].is<ast::Paragraph>());
    auto d = parse("text\n---\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_TRUE(d.blocks[1].is<ast::ThematicBreak>());
    d = parse("text\n===\n");
    ASSERT_EQ(d.blocks.size(), 1u);
}

TEST(Leaves, ParagraphInterruptions) {
    auto d = parse("a\n#b\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    d = parse("a\n2) b\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    d = parse("a\n# b\nc\n");
    ASSERT_EQ(d.blocks.size(), 3u);
    d = parse("a\n2. b\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "a\n2. b");
}

TEST(Leaves, FencesAndIndentedCode) {
    auto d = parse("````\nx\n````\n");
    EXPECT_EQ(d.blocks[0].as<ast::CodeBlock>()->text, "x\n");
    d = parse("``` a`b\n");
    EXPECT_TRUE(d.blocks[0].is<ast::Paragraph>());
    d = parse("~~~ a`b\nx\n~~~\n");
    EXPECT_EQ(d.blocks[0].as<ast::CodeBlock>()->info_text, "a`b");
    d = parse("    $$\n");
    EXPECT_TRUE(d.blocks[0].is<ast::MathBlock>());
    Options low;
    low.math = 1;
    EXPECT_TRUE(parse_source("    $$\n", low).blocks[0].is<ast::CodeBlock>());
}

TEST(Leaves, DefinitionListsAndFootnotes) {
    auto d = parse("term\nother\n: one\n: two\n");
    const auto* dl = d.blocks[0].as<ast::DefinitionList>();
    ASSERT_TRUE(dl);
    ASSERT_EQ(dl->items.size(), 1u);
    EXPECT_EQ(dl->items[0].terms.size(), 2u);
    EXPECT_EQ(dl->items[0].definitions.size(), 2u);

    d = parse("[^a b]: x\n");
    EXPECT_TRUE(d.footnotes.empty());
    d = parse("[^a]:\n");
    ASSERT_EQ(d.footnotes.size(), 1u);
    EXPECT_TRUE(d.footnotes[0].blocks.empty());
    d = parse("[^n]: x\n    \n    y\n");
    ASSERT_EQ(d.footnotes.size(), 1u);
    EXPECT_EQ(d.footnotes[0].blocks.size(), 2u);
    EXPECT_TRUE(d.blocks.empty());
}

TEST(Leaves, Divs) {
    auto d = parse("::: note\nx\n:::\n");
    EXPECT_EQ(d.blocks[0].as<ast::Div>()->attr.classes, Strings{"note"});
    d = parse("::: {#i .c}\nx\n:::\n");
    EXPECT_EQ(d.blocks[0].as<ast::Div>()->attr.id, "i");
    // A bare fence that closes nothing opens a div without attributes (the
    // writer's form for such a div).
    d = parse(":::\nx\n:::\n");
    ASSERT_TRUE(d.blocks[0].is<ast::Div>());
    EXPECT_TRUE(d.blocks[0].as<ast::Div>()->attr.empty());
}

TEST(LinkDefinitions, TopLevelAndInParagraphs) {
    auto d = parse("[a]: /x\n[A]: /y\n\n[a] and [b]\n\n[b]:\n/z \"T\" {.c}\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    const auto& content = d.blocks[0].as<ast::Paragraph>()->content;
    ASSERT_FALSE(content.empty());
    const auto* link = content[0].as<ast::Link>();
    ASSERT_TRUE(link);
    EXPECT_EQ(link->url, "/x");
    const auto* second = content.back().as<ast::Link>();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->url, "/z");
    EXPECT_EQ(second->title, "T");
    EXPECT_EQ(second->attr.classes, Strings{"c"});

    // A pair whose key holds a bare quote, which no block after a link
    // could hold, is dropped from the definition like a word that is no
    // attribute; the rest of the definition stands.
    struct QuotedKey {
        const char* text;
        std::size_t pairs;
        std::size_t classes;
    };
    for (const QuotedKey& row : {QuotedKey{"[a]: /x {\"=\"}\n\n[a]\n", 0, 0},
                                 QuotedKey{"[a]: /x \"t\" {: .c a'b'=1}\n\n[a]\n", 0, 1},
                                 QuotedKey{"[a]:\n/x {k=\"v\" 'q'=1}\n\n[a]\n", 1, 0}}) {
        d = parse(row.text);
        ASSERT_EQ(d.blocks.size(), 1u) << row.text;
        const auto* quoted = d.blocks[0].as<ast::Paragraph>()->content[0].as<ast::Link>();
        ASSERT_TRUE(quoted) << row.text;
        EXPECT_EQ(quoted->url, "/x") << row.text;
        EXPECT_EQ(quoted->attr.pairs.size(), row.pairs) << row.text;
        EXPECT_EQ(quoted->attr.classes.size(), row.classes) << row.text;
    }

    // Inside a container the paragraph finisher takes definitions off.
    d = parse("> [q]: /q\n> text [q]\n");
    const auto* q = d.blocks[0].as<ast::BlockQuote>();
    ASSERT_EQ(q->blocks.size(), 1u);
    EXPECT_EQ(q->blocks[0].as<ast::Paragraph>()->content.back().as<ast::Link>()->url, "/q");

    // A failed definition stays text.
    d = parse("[a]: (unbalanced\n");
    EXPECT_TRUE(d.blocks[0].is<ast::Paragraph>());
    d = parse("[a]: /x \"t\" junk\n");
    EXPECT_TRUE(d.blocks[0].is<ast::Paragraph>());
    d = parse("[a]: /x\n\"never closed\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "\"never closed");
}

TEST(LinkDefinitions, MultiLineTitleAndLabel) {
    auto d = parse("[a]: /x \"one\ntwo\"\n\n[a]\n");
    const auto* link = d.blocks[0].as<ast::Paragraph>()->content[0].as<ast::Link>();
    ASSERT_TRUE(link);
    EXPECT_EQ(link->title, "one\ntwo");
    EXPECT_EQ(block::scan_link_ref_destination("<a b> c")->first, "a b");
    EXPECT_EQ(block::scan_link_ref_destination("a b")->first, "a");
    EXPECT_FALSE(block::scan_link_ref_destination("a(b"));
}

TEST(Finalise, FiguresAndFencedBlockKinds) {
    Options fig;
    fig.figures = true;
    auto d = parse_source("![alt](i.png){#c .wide}\n", fig);
    const auto* f = d.blocks[0].as<ast::Figure>();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->attr.id, "c");
    EXPECT_EQ(f->attr.classes, Strings{"wide"});
    EXPECT_TRUE(f->image.as<ast::Image>()->attr.classes.empty());
    EXPECT_FALSE(f->image.as<ast::Image>()->attr.id);
    EXPECT_TRUE(parse("![alt](i.png)\n").blocks[0].is<ast::Paragraph>());

    EXPECT_TRUE(parse("```{=html}\n<b>\n```\n").blocks[0].is<ast::RawBlock>());
    auto fb = parse("```{tex2}\nx\n```\n");
    ASSERT_TRUE(fb.blocks[0].is<ast::FormatBlock>());
    EXPECT_EQ(fb.blocks[0].as<ast::FormatBlock>()->format, "tex2");
    EXPECT_TRUE(parse("```{a-b}\nx\n```\n").blocks[0].is<ast::CodeBlock>());
    EXPECT_TRUE(parse("```{}\nx\n```\n").blocks[0].is<ast::CodeBlock>());
    EXPECT_TRUE(parse("```{=html} more\nx\n```\n").blocks[0].is<ast::CodeBlock>());
}

TEST(Finalise, TablesCaptionsAndTerms) {
    auto d = parse("| a | b |\n|--- |:-: |\n| c | d |\n: The caption {#t}\n{: .x}\n| e | f |\n");
    const auto* t = d.blocks[0].as<ast::Table>();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->attr.id, "t");
    EXPECT_EQ(t->attr.classes, Strings{"x"});
    EXPECT_EQ(text_of(t->caption), "The caption");
    EXPECT_EQ(t->body.size(), 2u);

    d = parse("term {.k}\n: def\n");
    const auto& term = d.blocks[0].as<ast::DefinitionList>()->items[0].terms[0];
    EXPECT_EQ(term.attr.classes, Strings{"k"});
    EXPECT_EQ(text_of(term.content), "term");
}

TEST(Finalise, ListsTightLooseAndTasks) {
    auto d = parse("- a\n- b\n");
    EXPECT_TRUE(d.blocks[0].as<ast::List>()->tight);
    // A blank line inside an item makes the list loose; an empty line
    // between items ends the list (the writer separates lists so).
    d = parse("- a\n  \n  b\n- c\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_FALSE(d.blocks[0].as<ast::List>()->tight);
    EXPECT_EQ(parse("- a\n\n- b\n").blocks.size(), 2u);
    d = parse("- [x] done\n- [ ] open\n- plain\n");
    const auto* l = d.blocks[0].as<ast::List>();
    EXPECT_EQ(l->items[0].task, true);
    EXPECT_EQ(l->items[1].task, false);
    EXPECT_FALSE(l->items[2].task);
}

TEST(Entry, AttributeLineAfterFootnoteOrRawHtmlAttachesToNothing) {
    // Unindented, the line ends the footnote, which takes no attributes, so
    // the line stays text.
    auto d = parse("[^a]: note\n{: #x}\n");
    ASSERT_EQ(d.footnotes.size(), 1u);
    EXPECT_FALSE(d.footnotes[0].blocks[0].attr()->id);
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(para(d.blocks[0]), "{: #x}");

    // Directly after a raw HTML block the line is more HTML (the writer
    // never separates one HTML block's lines); after a blank line it is text.
    d = parse("<div>\n</div>\n{: #x}\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].as<ast::HtmlBlock>()->html, "<div>\n</div>\n{: #x}\n");
    d = parse("<div>\n</div>\n\n{: #x}\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_EQ(para(d.blocks[1]), "{: #x}");
}

TEST(Containers, ListsInsideQuotesAndItems) {
    auto d = parse("> - a\n>   \n>   b\n> - c\n");
    const auto* q = d.blocks[0].as<ast::BlockQuote>();
    ASSERT_TRUE(q);
    const auto* l = q->blocks[0].as<ast::List>();
    ASSERT_TRUE(l);
    ASSERT_EQ(l->items.size(), 2u);
    EXPECT_EQ(l->items[0].blocks.size(), 2u);

    // A list's attribute line, and an item's paragraph attributes.
    d = parse("- a\n  {: .p}\n- b\n{: .l}\n");
    l = d.blocks[0].as<ast::List>();
    ASSERT_TRUE(l);
    EXPECT_EQ(l->attr.classes, Strings{"l"});
    EXPECT_EQ(l->items[0].blocks[0].attr()->classes, Strings{"p"});

    // Tabs inside nested code survive.
    d = parse("- ```\n  \tx\n  ```\n");
    l = d.blocks[0].as<ast::List>();
    EXPECT_EQ(l->items[0].blocks[0].as<ast::CodeBlock>()->text, "\tx\n");
}

TEST(RawHtml, FallbackAndItsFootnoteSectionStayOneBlock) {
    auto d = parse("<table>\n<tr><td>x</td></tr>\n</table>\n<section class=\"footnotes\">\n<ol>\n</ol>\n</section>\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_TRUE(d.blocks[0].is<ast::HtmlBlock>());

    d = parse("<div>\n\n</div>\n\ntext\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_EQ(d.blocks[0].as<ast::HtmlBlock>()->html, "<div>\n\n</div>\n");
}

// ---------------------------------------------------------------------------
// The paragraph finisher, on a paragraph's lines directly.

namespace {

struct Finisher {
    block::Parser parser{"", Options::dataset()};
    block::ContainerBuilder builder{parser.options};
    block::DraftBlocks run(std::vector<std::string> lines) { return builder.finish_paragraph(lines, 0, parser); }
};

}  // namespace

TEST(ParagraphFinisher, DefinitionsAtTheStartOnly) {
    Finisher f;
    EXPECT_TRUE(f.run({"[a]: /x"}).empty());
    ASSERT_EQ(f.parser.link_defs.count("a"), 1u);
    EXPECT_EQ(f.parser.link_defs.at("a").destination, "/x");

    auto out = f.run({"[b]: /y", "text"});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].as<block::DraftParagraph>()->text, "text");

    out = f.run({"text", "[c]: /z"});
    EXPECT_EQ(out[0].as<block::DraftParagraph>()->text, "text\n[c]: /z");
    EXPECT_EQ(f.parser.link_defs.count("c"), 0u);

    EXPECT_TRUE(f.run({"[d]:", "/w"}).empty());
    EXPECT_EQ(f.parser.link_defs.at("d").destination, "/w");

    // First definition of a label wins.
    f.run({"[A]: /other"});
    EXPECT_EQ(f.parser.link_defs.at("a").destination, "/x");

    out = f.run({"[^n]: not a link definition"});
    ASSERT_EQ(out.size(), 1u);
}

TEST(ParagraphFinisher, Titles) {
    Finisher f;
    EXPECT_TRUE(f.run({"[t]: /x \"two", "lines\""}).empty());
    EXPECT_EQ(f.parser.link_defs.at("t").title, "two\nlines");

    EXPECT_TRUE(f.run({"[u]: /x", "'next line'"}).empty());
    EXPECT_EQ(f.parser.link_defs.at("u").title, "next line");

    auto out = f.run({"[v]: /x", "\"never closed", "text"});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].as<block::DraftParagraph>()->text, "\"never closed\ntext");
    EXPECT_FALSE(f.parser.link_defs.at("v").title);
}

TEST(ParagraphFinisher, TrailingAttributeLines) {
    Finisher f;
    auto out = f.run({"text", "{: .c}", "{: #i .d}"});
    ASSERT_EQ(out.size(), 1u);
    const auto* p = out[0].as<block::DraftParagraph>();
    EXPECT_EQ(p->text, "text");
    EXPECT_EQ(p->attr.classes, (Strings{"c", "d"}));
    EXPECT_EQ(p->attr.id, "i");

    // A lone attribute line stays text here.
    out = f.run({"{: .c}"});
    EXPECT_EQ(out[0].as<block::DraftParagraph>()->text, "{: .c}");
}

TEST(ParagraphFinisher, TemplateTokenParagraph) {
    Options o;
    o.template_delimiters.push_back(TemplateDelimiter{"t", "{{", "}}", std::nullopt, std::nullopt, 0});
    block::Parser parser("", o);
    block::ContainerBuilder b(parser.options);
    std::vector<std::string> lines{"  {{ name }}  "};
    auto out = b.finish_paragraph(lines, 0, parser);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_TRUE(out[0].is<block::DraftTemplateToken>());
    EXPECT_EQ(out[0].as<block::DraftTemplateToken>()->token.name, "name");
}

TEST(RawHtml, OneLineBlockFollowedByMoreHtml) {
    auto d = parse("<table><tr><td>x</td></tr></table>\n<section class=\"footnotes\"><ol></ol></section>\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].as<ast::HtmlBlock>()->html,
              "<table><tr><td>x</td></tr></table>\n<section class=\"footnotes\"><ol></ol></section>\n");
}

TEST(RawHtml, UnclosedBlocksEndAtDivFencesAndDropTrailingBlankLines) {
    auto d = parse("::: {.d}\n<div>\nopen\n:::\n\nafter\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    const auto* div = d.blocks[0].as<ast::Div>();
    ASSERT_TRUE(div);
    EXPECT_EQ(div->blocks[0].as<ast::HtmlBlock>()->html, "<div>\nopen\n");
    EXPECT_EQ(messages(d), Strings{"2: unclosed raw HTML block (expected '</div>')"});

    d = parse("<div>\nx\n\n\n");
    EXPECT_EQ(d.blocks[0].as<ast::HtmlBlock>()->html, "<div>\nx\n");
}

TEST(Containers, EmptyItemThenBlankLineEndsTheList) {
    auto d = parse("-\n\n-\n");
    EXPECT_EQ(d.blocks.size(), 2u);
}

TEST(Leaves, DivsAndFootnotesStopAtTheNestingLimit) {
    Options o;
    o.max_block_depth = 1;
    auto d = parse_source("> ::: note\n> x\n", o);
    const auto* q = d.blocks[0].as<ast::BlockQuote>();
    ASSERT_TRUE(q);
    ASSERT_EQ(q->blocks.size(), 1u);
    EXPECT_EQ(para(q->blocks[0]), "::: note\nx");

    d = parse_source("> [^a]: x\n", o);
    EXPECT_TRUE(d.footnotes.empty());

    // A list item counts as well: no quote opens inside one at the limit.
    o.max_block_depth = 2;
    d = parse_source("- > x\n", o);
    const auto* l = d.blocks[0].as<ast::List>();
    ASSERT_TRUE(l);
    EXPECT_TRUE(l->items[0].blocks[0].is<ast::Paragraph>());
}

TEST(RawHtml, MarkdownContainers) {
    auto d = parse("<div class=\"n\" markdown=\"1\">\n*x*\n</div>\n");
    ASSERT_EQ(d.blocks.size(), 3u);
    EXPECT_EQ(d.blocks[0].as<ast::HtmlBlock>()->html, "<div class=\"n\">\n");
    EXPECT_TRUE(d.blocks[1].as<ast::Paragraph>()->content[0].is<ast::Emph>());
    EXPECT_EQ(d.blocks[2].as<ast::HtmlBlock>()->html, "</div>\n");

    d = parse("<div markdown=\"1\">\ntext\n");
    EXPECT_EQ(messages(d), Strings{"1: unclosed markdown container (expected '</div>')"});

    // Opened at the end of a line of a raw block: the block keeps the tag,
    // the content is Markdown, and the raw block goes on after the closer.
    d = parse("<section>\n<div markdown=\"1\">\n*y*\n</div>\n</section>\n");
    ASSERT_EQ(d.blocks.size(), 3u);
    EXPECT_EQ(d.blocks[0].as<ast::HtmlBlock>()->html, "<section>\n<div markdown=\"1\">\n");
    EXPECT_TRUE(d.blocks[1].is<ast::Paragraph>());
    EXPECT_EQ(d.blocks[2].as<ast::HtmlBlock>()->html, "</div>\n</section>\n");
    EXPECT_TRUE(d.diagnostics.empty());
}

// Closing tags of markdown containers match in any letter case, like their
// openers; an upper-case closer once left the container open to the end.
TEST(RawHtml, MarkdownContainerClosersMatchInAnyCase) {
    for (std::string closer : {"</DIV>", "</Div>", "</div>"}) {
        auto d = parse("<DIV markdown=\"1\">\n*x*\n" + closer + "\n\nafter\n");
        EXPECT_TRUE(d.diagnostics.empty()) << closer;
        ASSERT_EQ(d.blocks.size(), 4u) << closer;
        EXPECT_EQ(d.blocks[0].as<ast::HtmlBlock>()->html, "<DIV>\n");
        EXPECT_TRUE(d.blocks[1].as<ast::Paragraph>()->content[0].is<ast::Emph>());
        EXPECT_EQ(d.blocks[2].as<ast::HtmlBlock>()->html, "</div>\n");
        EXPECT_EQ(para(d.blocks[3]), "after");
        std::string canonical = write_md::render_md(d);
        EXPECT_EQ(write_md::render_md(parse(canonical)), canonical) << closer;
    }

    // Inside a raw block the container's closer hands back to the block.
    auto d = parse("<section>\n<div markdown=\"1\">\n*y*\n</DIV>\n</section>\n");
    EXPECT_TRUE(d.diagnostics.empty());
    ASSERT_EQ(d.blocks.size(), 3u);
    EXPECT_EQ(d.blocks[2].as<ast::HtmlBlock>()->html, "</DIV>\n</section>\n");

    // Another element's closer still does not close it.
    d = parse("<div markdown=\"1\">\nx\n</DIVX>\n");
    EXPECT_EQ(messages(d), Strings{"1: unclosed markdown container (expected '</div>')"});
}

// A markdown container opens under the same nesting limit whether its tag
// stands on a line of its own or ends a line of a balanced raw block; the
// second once counted the root as well and opened one level less.
TEST(RawHtml, MarkdownContainersShareOneNestingLimit) {
    // Whether the div's content came out as Markdown (an emphasis).
    auto opened = [](const ast::Document& d) {
        const auto* div = d.blocks.empty() ? nullptr : d.blocks[0].as<ast::Div>();
        if (!div) return false;
        for (const auto& b : div->blocks)
            if (const auto* p = b.as<ast::Paragraph>(); p && !p->content.empty() && p->content[0].is<ast::Emph>())
                return true;
        return false;
    };
    const std::string own_line = "::: d\n<div markdown=\"1\">\n*x*\n</div>\n:::\n";
    const std::string line_end = "::: d\n<section>\n<p>a</p><div markdown=\"1\">\n*x*\n</div>\n</section>\n:::\n";
    Options o = Options::dataset();
    o.max_block_depth = 2;  // the div and one container
    EXPECT_TRUE(opened(parse_source(own_line, o)));
    EXPECT_TRUE(opened(parse_source(line_end, o)));
    o.max_block_depth = 1;  // the div alone
    EXPECT_FALSE(opened(parse_source(own_line, o)));
    EXPECT_FALSE(opened(parse_source(line_end, o)));
}

// Footnote definitions nested on one line: each takes the rest of the line
// as its content, down to the nesting limit, where the rest is text.
TEST(Leaves, FootnoteDefinitionsNestedOnOneLine) {
    Options o = Options::dataset();
    o.max_block_depth = 3;
    auto d = parse_source("[^a]: [^b]:  [^c]: [^d]: x  \n", o);
    EXPECT_TRUE(d.blocks.empty());
    ASSERT_EQ(d.footnotes.size(), 3u);
    // Finished innermost first.
    EXPECT_EQ(d.footnotes[0].label, "c");
    ASSERT_EQ(d.footnotes[0].blocks.size(), 1u);
    EXPECT_EQ(para(d.footnotes[0].blocks[0]), "[^d]: x");
    EXPECT_EQ(d.footnotes[1].label, "b");
    EXPECT_EQ(d.footnotes[2].label, "a");
}

// Under an ordered item that is only its marker ("1."), a line whose marker
// neither goes on with the list nor may interrupt a paragraph is the next
// line of the paragraph the writer wrote: it once started a list of its own,
// and the paragraph came back as two.
TEST(Containers, MarkerUnderAnEmptyItemThatCannotGoOnIsText) {
    for (std::string second : {"0. x", "3. x", "12. x"}) {
        auto d = parse("1.\n" + second + "\n");
        ASSERT_EQ(d.blocks.size(), 1u) << second;
        EXPECT_EQ(para(d.blocks[0]), "1.\n" + second);
    }
    // A marker that goes on with the list, or a bullet, still makes items.
    auto d = parse("1.\n2. x\n");
    ASSERT_EQ(d.blocks.size(), 1u);
    ASSERT_TRUE(d.blocks[0].is<ast::List>());
    EXPECT_EQ(d.blocks[0].as<ast::List>()->items.size(), 2u);
    d = parse("1.\n- x\n");
    ASSERT_EQ(d.blocks.size(), 2u);
    EXPECT_TRUE(d.blocks[1].is<ast::List>());

    // The page the wikitext fuzz target found: written, read and written
    // again, the same text.
    std::string md = write_md::render_md(wikitext::document::parse("=e* otwo\nne\n* twoe\n1.\n0. =.*= Ti\n* ovt "));
    EXPECT_EQ(write_md::render_md(parse(md)), md);
}

TEST(ParseSource, OutlineIsTheBlocksRead) {
    // The outline a writer asks for names the top-level blocks that the full
    // read gives, with each paragraph's text before inline parsing.
    for (const char* text : {"a\n\n- b\n\n1. c\n", "1. a\n", "1. a\n2. b\n", "x\n: y\n\n<div>\n\n| a |\n|---|\n",
                             "[^f]: n\n\n*p*\n{: .c}\n", "3. a\n4. b\n\n> q\n", "```\nc\n```\n\n---\n"}) {
        const ast::Document doc = parse(text);
        const block::DocumentOutline outline = block::outline_blocks(text, Options::dataset());
        ASSERT_EQ(outline.blocks.size(), doc.blocks.size()) << text;
        EXPECT_EQ(outline.footnotes, doc.footnotes.size()) << text;
        for (std::size_t i = 0; i < doc.blocks.size(); ++i) {
            // "BlockQuote" is "block_quote".
            std::string snake;
            for (char c : ast::kind_name(doc.blocks[i].kind())) {
                if (c >= 'A' && c <= 'Z') {
                    if (!snake.empty()) snake.push_back('_');
                    c = static_cast<char>(c - 'A' + 'a');
                }
                snake.push_back(c);
            }
            EXPECT_EQ(outline.blocks[i].kind, snake) << text;
        }
    }
    EXPECT_EQ(block::outline_blocks("1. *a*\n", Options::dataset()).blocks.at(0).text, "1. *a*");

    // Read on from the numbering state its head leaves at a segment's start,
    // a text's tail reads as the same blocks as in the whole; the head reads
    // as in the whole too unless a list of one item pending at its end (text
    // read alone) was numbered on from by the tail.
    const auto same = [](const block::BlockOutline& a, const block::BlockOutline& b) {
        return a.kind == b.kind && a.text == b.text;
    };
    for (const char* text : {"1. a\n\n> q\n\n2. b\n\n# h\n\n1. c\n\n3. d\n\n- e\n\n1. f\n\n1. g\n",
                             "1\\. x\n\n1.\n\n1\\. x\n\n1.\n\n2. y\n3. z\n\n5. w\n",
                             "## h\n\n1. a\n2. b\n\n### k\n\n3. c\n\n## l\n\n2. d\n\n1.  e\n\n1. f\n"}) {
        block::Numbering fresh;
        const block::DocumentOutline whole = block::outline_blocks(text, Options::dataset(), &fresh);
        ASSERT_GT(whole.segment_lines.size(), 4u) << text;
        const std::string_view all(text);
        for (std::size_t line : whole.segment_lines) {
            std::size_t at = 0;
            for (std::size_t k = 0; k < line; ++k) at = all.find('\n', at) + 1;
            block::Numbering state;
            const auto head = block::outline_blocks(all.substr(0, at), Options::dataset(), &state).blocks;
            const bool pending_one = state.stage == block::Numbering::Stage::Pending && state.single;
            const auto tail = block::outline_blocks(all.substr(at), Options::dataset(), &state).blocks;
            ASSERT_LE(tail.size(), whole.blocks.size()) << text << line;
            EXPECT_TRUE(std::equal(tail.begin(), tail.end(), whole.blocks.end() - tail.size(), same)) << text << line;
            const bool head_same = head.size() + tail.size() == whole.blocks.size() &&
                                   std::equal(head.begin(), head.end(), whole.blocks.begin(), same);
            EXPECT_EQ(head_same, !pending_one || state.earlier_ended) << text << line;
        }
    }
}
