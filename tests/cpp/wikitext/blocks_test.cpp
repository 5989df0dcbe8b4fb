// The block pass: line endings, logical lines, paragraphs, headings, rules,
// indented code, wiki lists (including lines that skip depths), definition
// lists, display math and extension elements.
#include <gtest/gtest.h>

#include "wikitext_helpers.hpp"

using namespace tavrel;
using wt_test::page;
namespace wikitext = tavrel::wikitext;

TEST(WikitextPage, EmptyAndBlankPages) {
    for (const char* s : {"", "\n", "\n  \n\t\n", "\r\n\r\n"}) {
        auto doc = wikitext::document::parse(s);
        EXPECT_TRUE(doc.blocks.empty()) << s;
        EXPECT_TRUE(doc.footnotes.empty());
        EXPECT_TRUE(doc.diagnostics.empty());
        EXPECT_TRUE(doc.metadata.empty());
    }
}

TEST(WikitextPage, LineEndingsAndParagraphs) {
    EXPECT_EQ(page("a\r\nb\rc"), "Paragraph\n  Text \"a\"\n  SoftBreak\n  Text \"b\"\n  SoftBreak\n  Text \"c\"\n");
    EXPECT_EQ(page("a\n\nb"), "Paragraph\n  Text \"a\"\nParagraph\n  Text \"b\"\n");
    // Paragraph lines are kept untrimmed.
    EXPECT_EQ(page("a  \nb"), "Paragraph\n  Text \"a  \"\n  SoftBreak\n  Text \"b\"\n");
}

TEST(WikitextPage, LogicalLines) {
    // A template call spanning lines keeps them in one line, so the "*" of
    // its second line starts no list.
    EXPECT_EQ(page("x {{t|a\n*b}} y"),
              "Paragraph\n  Text \"x \"\n  Operation system=\"mediawiki\" kind=\"transclude\" name=\"t\"\n"
              "    Arg\n      Text \"a\"\n      SoftBreak\n      Text \"*b\"\n  Text \" y\"\n");
    // A call whose name is no title joins nothing either: what stands
    // between its braces is read as paragraphs, headings and lists.
    EXPECT_EQ(page("Start {{ stray\n\nSecond {{t|x}} alpha.\n\n== Heading beta ==\n* item\n\nThird gamma }} end."),
              "Paragraph\n  Text \"Start \"\n  RawInline format=\"wikitext\" text=\"{{ stray\"\n"
              "Paragraph\n  Text \"Second \"\n  Operation system=\"mediawiki\" kind=\"transclude\" name=\"t\"\n"
              "    Arg\n      Text \"x\"\n  Text \" alpha.\"\nHeading level=2\n  Text \"Heading beta\"\n"
              "List bullet tight\n  Item\n    Paragraph\n      Text \"item\"\n"
              "Paragraph\n  Text \"Third gamma }} end.\"\n");
    EXPECT_EQ(page("{{\nInfobox\n| a = 1\n}}"),
              "Paragraph\n  Operation system=\"mediawiki\" kind=\"transclude\" name=\"Infobox\"\n"
              "    Arg name=\"a\"\n      Text \"1\"\n");
    // Unclosed, it joins nothing: the second line is a list.
    EXPECT_EQ(page("x {{t|a\n*b"),
              "Paragraph\n  Text \"x \"\n  RawInline format=\"wikitext\" text=\"{{t|a\"\n"
              "List bullet tight\n  Item\n    Paragraph\n      Text \"b\"\n");
    // A reference closed two lines later is one line with its text.
    EXPECT_EQ(page("a<ref>x\n\n== h ==</ref>\n== b =="),
              "Paragraph\n  Text \"a\"\n  Note\n    Text \"x\"\n    SoftBreak\n    SoftBreak\n    Text \"== h ==\"\n"
              "Heading level=2\n  Text \"b\"\n");
    // A self-closing reference ends at its own ">".
    EXPECT_EQ(page("a<ref name=a/>\n== b =="), "Paragraph\n  Text \"a\"\n  FootnoteRef label=\"a\"\nHeading level=2\n  Text \"b\"\n");
    // Comments, math and nowiki may span lines too.
    EXPECT_EQ(page("a<!--\n\n-->b"), "Paragraph\n  Text \"ab\"\n");
    EXPECT_EQ(page("<math>a\n\nb</math>"), "Paragraph\n  Math inline tex=\"a\\n\\nb\"\n");
}

TEST(WikitextPage, Headings) {
    EXPECT_EQ(page("== A =="), "Heading level=2\n  Text \"A\"\n");
    EXPECT_EQ(page(" == A ''b'' == "), "Heading level=2\n  Text \"A \"\n  Emph\n    Text \"b\"\n");
    EXPECT_EQ(page("=x="), "Heading level=1\n  Text \"x\"\n");
    EXPECT_EQ(page("====== A ======"), "Heading level=6\n  Text \"A\"\n");
    for (const char* s : {"=== A ==", "==", "=======A=======", "===="})
        EXPECT_EQ(page(s), "Paragraph\n  Text \"" + std::string(s) + "\"\n") << s;
}

TEST(WikitextPage, RulesAndCode) {
    EXPECT_EQ(page("----"), "ThematicBreak\n");
    EXPECT_EQ(page("a\n------\nb"), "Paragraph\n  Text \"a\"\nThematicBreak\nParagraph\n  Text \"b\"\n");
    EXPECT_EQ(page("---"), "Paragraph\n  Text \"---\"\n");
    EXPECT_EQ(page("- - - -"), "Paragraph\n  Text \"- - - -\"\n");
    EXPECT_EQ(page(" code"), "CodeBlock info=\"\" text=\"code\"\n");
    EXPECT_EQ(page("  two"), "CodeBlock info=\"\" text=\" two\"\n");
    // A whitespace-only line inside stays; an empty line ends the block.
    EXPECT_EQ(page(" a\n  \n b\n\n c"), "CodeBlock info=\"\" text=\"a\\n \\nb\"\nCodeBlock info=\"\" text=\"c\"\n");
}

TEST(WikitextLists, BulletsNumbersAndNesting) {
    EXPECT_EQ(page("#a\n#b"),
              "List ordered start=1 tight\n  Item\n    Paragraph\n      Text \"a\"\n  Item\n    Paragraph\n      Text \"b\"\n");
    EXPECT_EQ(page("*a\n**b\n*c"),
              "List bullet tight\n  Item\n    Paragraph\n      Text \"a\"\n    List bullet tight\n      Item\n"
              "        Paragraph\n          Text \"b\"\n  Item\n    Paragraph\n      Text \"c\"\n");
    // A change of marker at the same depth starts a new list.
    EXPECT_EQ(page("*a\n#b"),
              "List bullet tight\n  Item\n    Paragraph\n      Text \"a\"\n"
              "List ordered start=1 tight\n  Item\n    Paragraph\n      Text \"b\"\n");
    // A line not starting with a marker ends the run.
    EXPECT_EQ(page("*a\nb"), "List bullet tight\n  Item\n    Paragraph\n      Text \"a\"\nParagraph\n  Text \"b\"\n");
}

TEST(WikitextLists, LinesThatSkipDepthsLoseNoText) {
    // A run opening two levels deep: an item at the depth it can reach.
    EXPECT_EQ(page("**x"), "List bullet tight\n  Item\n    Paragraph\n      Text \"x\"\n");
    // Lines of the same length after it are its siblings.
    EXPECT_EQ(page("**x\n**y"),
              "List bullet tight\n  Item\n    Paragraph\n      Text \"x\"\n  Item\n    Paragraph\n      Text \"y\"\n");
    // "*a" then "***b": b nests one level under a; its siblings follow it,
    // and a line back at depth one continues the outer list.
    EXPECT_EQ(page("*a\n***b\n***c\n*d"),
              "List bullet tight\n"
              "  Item\n    Paragraph\n      Text \"a\"\n"
              "    List bullet tight\n"
              "      Item\n        Paragraph\n          Text \"b\"\n"
              "      Item\n        Paragraph\n          Text \"c\"\n"
              "  Item\n    Paragraph\n      Text \"d\"\n");
    // Deep first line, then a shallower one: both are read.
    EXPECT_EQ(page("***a\n**b\n***c"),
              "List bullet tight\n"
              "  Item\n    Paragraph\n      Text \"a\"\n"
              "  Item\n    Paragraph\n      Text \"b\"\n"
              "    List bullet tight\n      Item\n        Paragraph\n          Text \"c\"\n");
    // Every word of a long messy run survives.
    auto doc = wikitext::document::parse("##a\n*b\n****c\n#:d\n;e\n::f\n***g");
    std::string dump = ast::debug_string(doc);
    for (const char* w : {"a", "b", "c", "d", "e", "f", "g"})
        EXPECT_NE(dump.find("Text \"" + std::string(w) + "\""), std::string::npos) << w << "\n" << dump;
}

TEST(WikitextLists, IndentsAndDefinitions) {
    EXPECT_EQ(page(":x"), "BlockQuote\n  Paragraph\n    Text \"x\"\n");
    EXPECT_EQ(page(":a\n::b"),
              "BlockQuote\n  Paragraph\n    Text \"a\"\n  BlockQuote\n    Paragraph\n      Text \"b\"\n");
    EXPECT_EQ(page(";t\n:d"),
              "DefinitionList\n  DefinitionItem\n    Term\n      Text \"t\"\n    Definition\n      Text \"d\"\n");
    EXPECT_EQ(page("; t : d"), "DefinitionList\n  DefinitionItem\n    Term\n      Text \"t : d\"\n");
    EXPECT_EQ(page(";t\n:d1\n:d2"),
              "DefinitionList\n  DefinitionItem\n    Term\n      Text \"t\"\n"
              "    Definition\n      Text \"d1\"\n    Definition\n      Text \"d2\"\n");
}

TEST(WikitextLists, DisplayMath) {
    EXPECT_EQ(page(":<math>x^2</math>."), "MathBlock display tex=\"x^2.\"\n");
    EXPECT_EQ(page(":<MATH>x</MATH> ,"), "MathBlock display tex=\"x ,\"\n");
    EXPECT_EQ(page(":<math>x</math> and more"),
              "BlockQuote\n  Paragraph\n    Math inline tex=\"x\"\n    Text \" and more\"\n");
    // A paragraph that is one display formula becomes a math block.
    EXPECT_EQ(page("<math display=\"block\">y</math>"), "MathBlock display tex=\"y\"\n");
    EXPECT_EQ(page("a <math display=block>y</math>"), "Paragraph\n  Text \"a \"\n  Math display tex=\"y\"\n");
}

TEST(WikitextPage, ExtensionElements) {
    EXPECT_EQ(page("<gallery>\nA.jpg\n</gallery>\nx"),
              "RawBlock format=\"wikitext\" text=\"<gallery>\\nA.jpg\\n</gallery>\"\nParagraph\n  Text \"x\"\n");
    EXPECT_EQ(page("<Gallery mode=x>\nA.jpg\n</gallery>"),
              "RawBlock format=\"wikitext\" text=\"<Gallery mode=x>\\nA.jpg\\n</gallery>\"\n");
    EXPECT_EQ(page("<source lang=c>int x;</source>\ny"),
              "RawBlock format=\"wikitext\" text=\"<source lang=c>int x;</source>\"\nParagraph\n  Text \"y\"\n");
    // Unclosed: to the last line.
    EXPECT_EQ(page("<timeline>\na\n\nb"), "RawBlock format=\"wikitext\" text=\"<timeline>\\na\\n\\nb\"\n");
}

TEST(WikitextPage, SelfClosingExtensionTagsAreEmptyElements) {
    // Each is its own line's block; the heading and text after it are read.
    for (std::string_view tag : {"<gallery />", "<gallery/>", "<syntaxhighlight lang=c/>", "<source lang=\"c\" />",
                                 "<imagemap/>", "<timeline  / >", "<GALLERY/>"}) {
        std::string esc;
        for (char c : tag) {
            if (c == '"') esc += '\\';
            esc += c;
        }
        EXPECT_EQ(page("a\n" + std::string(tag) + "\n== H ==\nb\n</gallery>"),
                  "Paragraph\n  Text \"a\"\nRawBlock format=\"wikitext\" text=\"" + esc +
                      "\"\nHeading level=2\n  Text \"H\"\nParagraph\n  Text \"b\"\n  SoftBreak\n  RawInline format=\"html\" "
                      "text=\"</gallery>\"\n")
            << tag;
    }
    // A "/" inside the opening tag's attributes is not a self-closing tag.
    EXPECT_EQ(page("<gallery caption=a/b>\nA.jpg\n</gallery>\nx"),
              "RawBlock format=\"wikitext\" text=\"<gallery caption=a/b>\\nA.jpg\\n</gallery>\"\nParagraph\n  Text \"x\"\n");
}

TEST(WikitextScan, SplitTopAndBalanced) {
    using wikitext::split_top;
    std::vector<std::string_view> want = {"a", "[[b|c]]", "{{d|e}}"};
    EXPECT_EQ(split_top("a|[[b|c]]|{{d|e}}", "|"), want);
    EXPECT_EQ(split_top("", "|"), std::vector<std::string_view>{""});
    EXPECT_EQ(split_top("a|", "|"), (std::vector<std::string_view>{"a", ""}));
    EXPECT_EQ(split_top("a!!b!!!c", "!!"), (std::vector<std::string_view>{"a", "b", "!c"}));
    EXPECT_EQ(wikitext::balanced("{{a}}}}", 0, "}}"), 5u);
    EXPECT_EQ(wikitext::balanced("{{a}}}}", 2, "}}"), 3u);
    // "}}" does not close a "{{{"; "{{" always opens.
    EXPECT_EQ(wikitext::balanced("{{{x}}}}}", 0, "}}"), 7u);
    EXPECT_EQ(wikitext::balanced("]] [[a]] ]]", 3, "]]"), 9u);
    EXPECT_FALSE(wikitext::balanced("{{a", 0, "}}"));
    wikitext::Nesting n;
    EXPECT_EQ(n.advance("{{{"), 3u);
    EXPECT_EQ(n.advance("}}x"), 1u);  // two braces do not close a width of three
    EXPECT_EQ(n.advance("}}}"), 3u);
    EXPECT_TRUE(n.at_top());
    EXPECT_EQ(n.advance("]]"), 1u);  // no link open
    EXPECT_EQ(n.advance("é"), 2u);
    EXPECT_FALSE(n.advance(""));
}

TEST(WikitextScan, TagsRefsAndTargets) {
    using wikitext::document::html_attrs;
    using wikitext::document::html_open;
    auto br = html_open("<br>");
    ASSERT_TRUE(br);
    EXPECT_TRUE(br->is_void);
    EXPECT_EQ(br->end, 4u);
    EXPECT_FALSE(html_open("<a href='x>"));
    EXPECT_FALSE(html_open("<!-- c -->"));
    EXPECT_FALSE(html_open("</a>"));
    EXPECT_FALSE(html_open("<a-b>"));
    EXPECT_FALSE(html_open("< />"));
    auto div = html_open("<DIV class=\"a b\" ID=x data-k = 'v' nowrap />rest");
    ASSERT_TRUE(div);
    EXPECT_EQ(div->name, "div");
    EXPECT_TRUE(div->is_void);
    EXPECT_EQ(ast::debug_string(ast::Inlines{ast::Span{div->attrs, {}}}),
              "Span {#\"x\" .\"a\" .\"b\" \"data-k\"=\"v\" \"nowrap\"=\"\"}\n");
    EXPECT_FALSE(html_attrs("=x"));
    EXPECT_FALSE(html_attrs("a=\"x"));
    EXPECT_EQ(wikitext::ref_len("<ref name=a/>tail"), 13u);
    EXPECT_EQ(wikitext::ref_len("<ref>x</REF>tail"), 12u);
    EXPECT_EQ(wikitext::ref_len("<ref>x"), 6u);
    EXPECT_EQ(wikitext::link_target("Foo bar (baz)"), "./Foo_bar_%28baz%29");
    EXPECT_EQ(wikitext::link_target("http://a/b c"), "http://a/b%20c");
    EXPECT_EQ(wikitext::link_target(""), "./");
    // Targets without parentheses take a shorter way; the "://" may follow
    // an earlier colon or end the target.
    for (auto [target, url] : std::initializer_list<std::pair<std::string_view, std::string_view>>{
             {"Foo bar", "./Foo_bar"},
             {"Help:x y", "./Help:x_y"},
             {"ab:", "./ab:"},
             {"x:/", "./x:/"},
             {"a:b://c d", "a:b://c%20d"},
             {"a:b://", "a:b://"},
             {"http://a/b", "http://a/b"},
             {"mailto:x y", "mailto:x%20y"},
             {"#sec x", "#sec%20x"},
             {" (", "./_%28"}})
        EXPECT_EQ(wikitext::link_target(target), url) << target;
    EXPECT_EQ(wikitext::html_list_item(" <li>one</li> "), "one");
    EXPECT_EQ(wikitext::html_list_item("<LI class=x>two<li>"), "two");
    EXPECT_EQ(wikitext::html_list_item("<link>"), "");
    EXPECT_FALSE(wikitext::html_list_item("<ul>"));
}

TEST(WikitextScan, EntryPointsUsedByOtherReaders) {
    std::vector<ast::Footnote> notes;
    EXPECT_EQ(ast::debug_string(ast::Inlines{wikitext::document::operation("template", "!", "{{!}}", notes)}),
              "RawInline format=\"wikitext\" text=\"{{!}}\"\n");
    // A parameter named like a pipe template is still a parameter.
    EXPECT_EQ(ast::debug_string(ast::Inlines{wikitext::document::operation("parameter", "pipe", "{{{pipe}}}", notes)}),
              "Operation system=\"mediawiki\" kind=\"parameter\" name=\"pipe\"\n");
    std::vector<std::string_view> lines = {"x", "<syntaxhighlight lang=c>", "int a;", "</SYNTAXHIGHLIGHT> y", "z"};
    auto [end, text] = wikitext::extension_block(lines, 1);
    EXPECT_EQ(end, 3u);
    EXPECT_EQ(text, "<syntaxhighlight lang=c>\nint a;\n</SYNTAXHIGHLIGHT> y");
    ast::Inlines out;
    wikitext::document::push_text(out, "a");
    wikitext::document::push_text(out, "&lt;b\n\nc\n");
    EXPECT_EQ(ast::debug_string(out), "Text \"a<b\"\nSoftBreak\nSoftBreak\nText \"c\"\nSoftBreak\n");
    // A footnote list handed in is respected: its labels are not defined again.
    std::vector<ast::Footnote> given = {{"a", {}}};
    auto refs = wikitext::document::inlines("<ref name=a>x</ref><ref name=b>y</ref>", given);
    EXPECT_EQ(refs.size(), 2u);
    ASSERT_EQ(given.size(), 2u);
    EXPECT_EQ(given[1].label, "b");
}
