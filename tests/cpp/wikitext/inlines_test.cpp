// The inline pass: text and entities, formatting, links, template calls,
// references, math, nowiki and HTML elements.
#include <gtest/gtest.h>

#include "wikitext_helpers.hpp"

using namespace tavrel;
namespace document = tavrel::wikitext::document;
using wt_test::inl;
using wt_test::page;

TEST(WikitextText, EntitiesAndLineFeeds) {
    EXPECT_EQ(inl("a&amp;b"), "Text \"a&b\"\n");
    EXPECT_EQ(inl("a\nb"), "Text \"a\"\nSoftBreak\nText \"b\"\n");
    EXPECT_EQ(inl("a\n"), "Text \"a\"\nSoftBreak\n");
    // Decoding comes before the split, so a decoded line feed breaks too.
    EXPECT_EQ(inl("a&#10;b"), "Text \"a\"\nSoftBreak\nText \"b\"\n");
    EXPECT_EQ(inl(""), "");
    // Stop characters that start nothing stay in one text node.
    EXPECT_EQ(inl("a [b] {c} x|y ]] }}"), "Text \"a [b] {c} x|y ]] }}\"\n");
}

TEST(WikitextFormatting, ApostropheRuns) {
    EXPECT_EQ(inl("'''a"), "Text \"'''a\"\n");
    EXPECT_EQ(inl("''a''"), "Emph\n  Text \"a\"\n");
    EXPECT_EQ(inl("'''a'''"), "Strong\n  Text \"a\"\n");
    EXPECT_EQ(inl("'''''a'''''"), "Strong\n  Emph\n    Text \"a\"\n");
    EXPECT_EQ(inl("it's"), "Text \"it's\"\n");
    // Four apostrophes: a bold opener and an apostrophe of text.
    EXPECT_EQ(inl("''''a'''"), "Strong\n  Text \"'a\"\n");
    // Bold holding italic reads as written.
    EXPECT_EQ(inl("'''a ''b'' c'''"), "Strong\n  Text \"a \"\n  Emph\n    Text \"b\"\n  Text \" c\"\n");
}

TEST(WikitextFormatting, NestedRunsReadAsWritten) {
    // Italic holding bold: the italic's closer is not taken from the bold.
    EXPECT_EQ(inl("''a '''b''' c''"), "Emph\n  Text \"a \"\n  Strong\n    Text \"b\"\n  Text \" c\"\n");
    // Both closing in one run of five, in either order.
    EXPECT_EQ(inl("''a '''b'''''"), "Emph\n  Text \"a \"\n  Strong\n    Text \"b\"\n");
    EXPECT_EQ(inl("'''a ''b'''''"), "Strong\n  Text \"a \"\n  Emph\n    Text \"b\"\n");
    // Opened together in a run of five, closed apart.
    EXPECT_EQ(inl("'''''a''' b''"), "Emph\n  Strong\n    Text \"a\"\n  Text \" b\"\n");
    EXPECT_EQ(inl("'''''a'' b'''"), "Strong\n  Emph\n    Text \"a\"\n  Text \" b\"\n");
    // Improper nesting keeps the first "''" as the closer.
    EXPECT_EQ(inl("''a '''b'' c'''"), "Emph\n  Text \"a \"\nText \"'b\"\nEmph\n  Text \" c\"\nText \"'\"\n");
    // An italic that never closes around a closed bold is text.
    EXPECT_EQ(inl("''a '''b'''"), "Text \"''a \"\nStrong\n  Text \"b\"\n");
}

TEST(WikitextFormatting, RunsLongerThanFiveWithoutACloserAreText) {
    // With no run of five to close them, the apostrophes of a longer run are
    // read one by one as text; the opener's own tail is never its closer.
    EXPECT_EQ(inl("'''''''}}"), "Text \"'''''''}}\"\n");
    EXPECT_EQ(inl("a''''''''"), "Text \"a''''''''\"\n");
    EXPECT_EQ(inl("'''''''''x"), "Text \"'''''''''x\"\n");
    // The last five of a longer run still open bold and italic together.
    EXPECT_EQ(inl("'''''''a''' b''"), "Text \"''\"\nEmph\n  Strong\n    Text \"a\"\n  Text \" b\"\n");
    // A longer run closes as its first three, two or five apostrophes do.
    EXPECT_EQ(inl("'''a'''''''' b"), "Strong\n  Text \"a\"\nText \"''''' b\"\n");
    EXPECT_EQ(inl("'''''a'''''''''"), "Strong\n  Emph\n    Text \"a\"\nText \"''''\"\n");
    EXPECT_EQ(inl("''a '''b'''''''' c''"), "Emph\n  Text \"a \"\nText \"'b''''''\"\nEmph\n  Text \" c\"\n");
}

TEST(WikitextFormatting, ElementsAreAtomicForTheQuotesAroundThem) {
    // Comments and reference, nowiki and math elements are read whole, so a
    // closing run is never taken from inside one.
    EXPECT_EQ(inl("''a <ref>b''</ref> c''"), "Emph\n  Text \"a \"\n  Note\n    Text \"b''\"\n  Text \" c\"\n");
    EXPECT_EQ(inl("x ''[[N]]'''s.<ref>''[[N]]'''s</ref>"),
              "Text \"x \"\nEmph\n  Link url=\"./N\"\n    Text \"N\"\nText \"'s.\"\nNote\n  Emph\n    Link url=\"./N\"\n"
              "      Text \"N\"\n  Text \"'s\"\n");
    EXPECT_EQ(inl("''a <math>f''(x)</math> b''"),
              "Emph\n  Text \"a \"\n  Math inline tex=\"f''(x)\"\n  Text \" b\"\n");
    EXPECT_EQ(inl("''a <nowiki>''</nowiki> b''"), "Emph\n  Text \"a '' b\"\n");
    EXPECT_EQ(inl("''a <!-- '' --> b''"), "Emph\n  Text \"a  b\"\n");
    EXPECT_EQ(inl("''a <ref name=x/> b''"), "Emph\n  Text \"a \"\n  FootnoteRef label=\"x\"\n  Text \" b\"\n");
    // An element left open runs to the end of the text: no closer after it.
    EXPECT_EQ(inl("''a <ref>b'' c"), "Text \"''a \"\nRawInline format=\"wikitext\" text=\"<ref>b'' c\"\n");
}

TEST(WikitextLinks, InternalLinks) {
    EXPECT_EQ(inl("[[Foo bar (baz)|x]]"), "Link url=\"./Foo_bar_%28baz%29\"\n  Text \"x\"\n");
    EXPECT_EQ(inl("[[Foo]]"), "Link url=\"./Foo\"\n  Text \"Foo\"\n");
    EXPECT_EQ(inl("[[#Section]]"), "Link url=\"#Section\"\n  Text \"#Section\"\n");
    EXPECT_EQ(inl("[[|x]]"), "Link url=\"./\"\n  Text \"x\"\n");
    // The label is the last part; nested links and templates do not split.
    EXPECT_EQ(inl("[[a|{{t|b}}|c [[d]]]]"), "Link url=\"./a\"\n  Text \"c \"\n  Link url=\"./d\"\n    Text \"d\"\n");
}

TEST(WikitextLinks, LinksAreAtomicForTheQuotesAroundThem) {
    // The quotes around a link pair up around it; the label's own quotes
    // are read apart.
    EXPECT_EQ(inl("''[[Republic (Plato)|''Republic'']]''"),
              "Emph\n  Link url=\"./Republic_%28Plato%29\"\n    Emph\n      Text \"Republic\"\n");
    EXPECT_EQ(inl("'''[[A|'''b''']]''' c"), "Strong\n  Link url=\"./A\"\n    Strong\n      Text \"b\"\nText \" c\"\n");
    EXPECT_EQ(inl("'''''[[A|''b'']]''''' c"),
              "Strong\n  Emph\n    Link url=\"./A\"\n      Emph\n        Text \"b\"\nText \" c\"\n");
    // A quote inside a label never closes one outside it, nor opens one.
    EXPECT_EQ(inl("''a [[B|b'' c]] d''"),
              "Emph\n  Text \"a \"\n  Link url=\"./B\"\n    Text \"b'' c\"\n  Text \" d\"\n");
    EXPECT_EQ(inl("[[A|''b'']]'' c''"), "Link url=\"./A\"\n  Emph\n    Text \"b\"\nEmph\n  Text \" c\"\n");
    // Files and bracketed external links too.
    EXPECT_EQ(inl("''x [http://e.org ''y''] z''"),
              "Emph\n  Text \"x \"\n  Link url=\"http://e.org\"\n    Emph\n      Text \"y\"\n  Text \" z\"\n");
    EXPECT_EQ(inl("''[[File:a.jpg|''c'']]''"),
              "Emph\n  Image {\"data-mediawiki-source\"=\"[[File:a.jpg|''c'']]\"} url=\"./File:a.jpg\"\n"
              "    Emph\n      Text \"c\"\n");
    // An unclosed link is no link: its brackets are text to the quotes.
    EXPECT_EQ(inl("''a [[b'' c"), "Emph\n  Text \"a \"\n  RawInline format=\"wikitext\" text=\"[[b\"\nText \" c\"\n");
}

TEST(WikitextLinks, CategoriesAndFiles) {
    EXPECT_EQ(inl("[[Category:Foo|Bar]]"),
              "Link {\"data-mediawiki-category\"=\"Bar\"} url=\"./Category:Foo\"\n");
    EXPECT_EQ(inl("[[category:Foo]]"), "Link {\"data-mediawiki-category\"=\"\"} url=\"./category:Foo\"\n");
    EXPECT_EQ(inl("[[File:A b.jpg|thumb|Cap]]"),
              "Image {\"data-mediawiki-source\"=\"[[File:A b.jpg|thumb|Cap]]\"} url=\"./File:A_b.jpg\"\n"
              "  Text \"Cap\"\n");
    EXPECT_EQ(inl("[[Image:x.png]]"), "Image {\"data-mediawiki-source\"=\"[[Image:x.png]]\"} url=\"./Image:x.png\"\n");
    // Only these namespaces are special; a leading ":" is part of the target.
    EXPECT_EQ(inl("[[:Category:Foo]]"), "Link url=\"./:Category:Foo\"\n  Text \":Category:Foo\"\n");
}

TEST(WikitextLinks, ExternalLinks) {
    EXPECT_EQ(inl("[http://x.org/a]"), "Autolink url=\"http://x.org/a\" text=\"http://x.org/a\"\n");
    EXPECT_EQ(inl("[http://x.org/a X (y)]"), "Link url=\"http://x.org/a\"\n  Text \"X (y)\"\n");
    EXPECT_EQ(inl("[mailto:a@b.c]"), "Autolink url=\"mailto:a@b.c\" text=\"mailto:a@b.c\" email\n");
    EXPECT_EQ(inl("[http://x.org"), "Text \"[http://x.org\"\n");
    EXPECT_EQ(inl("[ftp://x.org y]"), "Text \"[ftp://x.org y]\"\n");
    // A label equal to the url is no label.
    EXPECT_EQ(inl("[http://a http://a]"), "Autolink url=\"http://a\" text=\"http://a\"\n");
    EXPECT_EQ(inl("[https://a ''b'']"), "Link url=\"https://a\"\n  Emph\n    Text \"b\"\n");
}

TEST(WikitextTemplates, PipeTemplatesAndParameters) {
    EXPECT_EQ(inl("{{!}}"), "RawInline format=\"wikitext\" text=\"{{!}}\"\n");
    EXPECT_EQ(inl("{{PIPE}}"), "RawInline format=\"wikitext\" text=\"{{PIPE}}\"\n");
    EXPECT_EQ(inl("{{!-}}"), "RawInline format=\"wikitext\" text=\"{{!-}}\"\n");
    EXPECT_EQ(inl("{{{!}}}"), "Operation system=\"mediawiki\" kind=\"parameter\" name=\"!\"\n");
    EXPECT_EQ(inl("{{{1|default}}}"),
              "Operation system=\"mediawiki\" kind=\"parameter\" name=\"1\"\n  Arg\n    Text \"default\"\n");
}

TEST(WikitextTemplates, CallsAndArguments) {
    EXPECT_EQ(inl("{{Foo <!-- note --> | a | b = c }}"),
              "Operation system=\"mediawiki\" kind=\"transclude\" name=\"Foo\"\n"
              "  Arg\n    Text \"a\"\n  Arg name=\"b\"\n    Text \"c\"\n");
    EXPECT_EQ(inl("{{#invoke:Mod|fn|x=1}}"),
              "Operation system=\"mediawiki\" kind=\"invoke\" name=\"Mod\"\n"
              "  Arg\n    Text \"fn\"\n  Arg name=\"x\"\n    Text \"1\"\n");
    EXPECT_EQ(inl("{{#if:|a}}"), "Operation system=\"mediawiki\" kind=\"function\" name=\"if\"\n  Arg\n    Text \"a\"\n");
    EXPECT_EQ(inl("{{#tag}}"), "Operation system=\"mediawiki\" kind=\"function\" name=\"tag\"\n");
    EXPECT_EQ(inl("{{#if: a=b | c}}"),
              "Operation system=\"mediawiki\" kind=\"function\" name=\"if\"\n"
              "  Arg name=\"a\"\n    Text \"b\"\n  Arg\n    Text \"c\"\n");
    EXPECT_EQ(inl("{{x|{{y|a=b}}=c}}"),
              "Operation system=\"mediawiki\" kind=\"transclude\" name=\"x\"\n"
              "  Arg name=\"{{y|a=b}}\"\n    Text \"c\"\n");
    // "=" with nothing before it is positional, the whole text the value.
    EXPECT_EQ(inl("{{x|=c}}"), "Operation system=\"mediawiki\" kind=\"transclude\" name=\"x\"\n  Arg\n    Text \"=c\"\n");
    // An unclosed comment in the name drops the rest of the name.
    EXPECT_EQ(inl("{{Foo<!-- x}}"), "Operation system=\"mediawiki\" kind=\"transclude\" name=\"Foo\"\n");
}

TEST(WikitextTemplates, ACallWhoseNameIsNoTitleIsText) {
    struct Case {
        std::string_view text;
        bool call;
    };
    const Case cases[] = {
        {"{{a|k=1}}", true},
        {"{{cite web |k=1}}", true},
        {"{{a b c d e f g h i j k l m}}", true},
        {"{{a b c d e f g h i j k l m\nn}}", false},
        {"{{\na\n| k = 1}}", true},  // white space only around the name
        {"{{ a \n}}", true},
        {"{{a\nb|k=1}}", false},  // a line break between non-blank text
        {"{{a\n\nb}}", false},
        {"{{a\tb}}", false},  // or a character no title holds
        {"{{a\x7f" "b}}", false},
        {"{{a\x01" "b}}", false},
        {"{{a<b>}}", false},
        {"{{a [b]}}", false},
        {"{{a}b}}", false},
        {"{{a{b}}", false},
        {"{{a [[b|c]]}}", false},
        {"{{a\xef\xbf\xbd" "b}}", false},
        {"{{a#b}}", true},
        {"{{a_b c}}", true},
        {"{{a\xc2\xa0" "b}}", true},
        {"{{\xc3\xa9t\xc3\xa9 (x), y!}}", true},
        {"{{#if:a\n\nb|c}}", true},  // a parser function takes any argument,
        {"{{ #tag:ref|<b>x</b>}}", true},
        {"{{DISPLAYTITLE:<i>t</i>}}", true},  // and so does a magic word after its colon,
        {"{{DEFAULTSORT:\nName}}", true},
        {"{{lc:a:[[b|c]]}}", true},
        {"{{lc:a\nb}}", false},  // but a line break inside that is no title either
        {"{{a\n:b}}", false},
        {"{{:a\n\nb}}", false},
        {"{{a {{b}}\nc}}", true},  // a nested call may expand to anything
        {"{{a\n{{{b|}}}}}", true},
        {"{{a <!-- c\n\n-->}}", true},
        {"{{{a\nb}}}", true},  // a parameter's name need not be a title
        {"{{}}", true},
    };
    for (const Case& c : cases) {
        // Alone, and with text after it: a short name is looked at sixteen
        // bytes at a time where the text has them.
        for (std::string text : {std::string(c.text), std::string(c.text) + " and the sentence goes on."}) {
            std::string out = inl(text);
            EXPECT_EQ(out.starts_with("Operation"), c.call) << text << "\n" << out;
            if (!c.call) {
                EXPECT_TRUE(out.starts_with("Text \"{{")) << text << "\n" << out;
            }
        }
    }
    // What stands between the braces is read as ordinary text.
    EXPECT_EQ(inl("x {{a [[b|c]] {{d}} ''e''}} y"),
              "Text \"x {{a \"\nLink url=\"./b\"\n  Text \"c\"\nText \" \"\n"
              "Operation system=\"mediawiki\" kind=\"transclude\" name=\"d\"\nText \" \"\nEmph\n  Text \"e\"\n"
              "Text \"}} y\"\n");
    // Calls read as text inside each other, thousands deep, stay linear.
    std::string deep;
    for (int k = 0; k < 20000; ++k) deep += "{{ a [b] ";
    deep += "{{c}}";
    for (int k = 0; k < 20000; ++k) deep += " }}";
    std::string out = inl(deep);
    EXPECT_TRUE(out.starts_with("Text \"{{ a [b] {{ a [b]")) << out.substr(0, 80);
    EXPECT_NE(out.find("Operation system=\"mediawiki\" kind=\"transclude\" name=\"c\""), std::string::npos);
}

TEST(WikitextTemplates, UnclosedConstructsKeepTheRest) {
    EXPECT_EQ(inl("x {{foo"), "Text \"x \"\nRawInline format=\"wikitext\" text=\"{{foo\"\n");
    EXPECT_EQ(inl("x {{foo}} [[a ''b''"), "Text \"x \"\nOperation system=\"mediawiki\" kind=\"transclude\" name=\"foo\"\n"
                                          "Text \" \"\nRawInline format=\"wikitext\" text=\"[[a ''b''\"\n");
    // A three-brace opener without its closer does not retry as two braces.
    EXPECT_EQ(inl("{{{a}} b"), "RawInline format=\"wikitext\" text=\"{{{a}} b\"\n");
}

TEST(WikitextSwitches, BehaviourSwitches) {
    EXPECT_EQ(inl("__NOTOC__"), "Span {\"data-mediawiki-behavior\"=\"NOTOC\"}\n");
    EXPECT_EQ(inl("x __NOTOC__"), "Text \"x __NOTOC__\"\n");
    EXPECT_EQ(inl("____"), "Span {\"data-mediawiki-behavior\"=\"\"}\n");
    EXPECT_EQ(inl("__toc__"), "Text \"__toc__\"\n");
    EXPECT_EQ(inl("[[a]]__NOEDITSECTION__"),
              "Link url=\"./a\"\n  Text \"a\"\nSpan {\"data-mediawiki-behavior\"=\"NOEDITSECTION\"}\n");
}

TEST(WikitextReferences, NotesAndFootnotes) {
    EXPECT_EQ(page("<ref>x</ref>"), "Paragraph\n  Note\n    Text \"x\"\n");
    EXPECT_EQ(page("a<ref name=\"a\">x</ref> b<ref name=a/> c<ref name=a>y</ref>"),
              "Paragraph\n  Text \"a\"\n  FootnoteRef label=\"a\"\n  Text \" b\"\n  FootnoteRef label=\"a\"\n"
              "  Text \" c\"\n  FootnoteRef label=\"a\"\n"
              "Footnote \"a\"\n  Paragraph\n    Text \"x\"\n");
    EXPECT_EQ(page("<ref group=n>x</ref>"), "Paragraph\n  RawInline format=\"wikitext\" text=\"<ref group=n>x</ref>\"\n");
    EXPECT_EQ(page("<ref/>"), "Paragraph\n  RawInline format=\"wikitext\" text=\"<ref/>\"\n");
    EXPECT_EQ(page("<ref name=a name=b>x</ref>"),
              "Paragraph\n  RawInline format=\"wikitext\" text=\"<ref name=a name=b>x</ref>\"\n");
    EXPECT_EQ(page("<REF Name='q w'>x</Ref>"),
              "Paragraph\n  FootnoteRef label=\"q w\"\nFootnote \"q w\"\n  Paragraph\n    Text \"x\"\n");
    // An unclosed reference keeps the rest as one wikitext node.
    EXPECT_EQ(inl("a<ref>x ''y''"), "Text \"a\"\nRawInline format=\"wikitext\" text=\"<ref>x ''y''\"\n");
}

TEST(WikitextReferences, InsideElements) {
    // Inside a span the footnote registers once.
    EXPECT_EQ(page("<span><ref name=a>x</ref></span>"),
              "Paragraph\n  Span\n    FootnoteRef label=\"a\"\nFootnote \"a\"\n  Paragraph\n    Text \"x\"\n");
    // A sup whose content is not plain text falls back; its content is read
    // again as text, and the footnote still registers exactly once.
    EXPECT_EQ(page("<sup><ref name=a>x</ref></sup>"),
              "Paragraph\n  RawInline format=\"html\" text=\"<sup>\"\n  FootnoteRef label=\"a\"\n"
              "  RawInline format=\"html\" text=\"</sup>\"\nFootnote \"a\"\n  Paragraph\n    Text \"x\"\n");
}

TEST(WikitextElements, MathAndNowiki) {
    EXPECT_EQ(inl("<math>x^2</math>"), "Math inline tex=\"x^2\"\n");
    EXPECT_EQ(inl("<math display=block>x</math>"), "Math display tex=\"x\"\n");
    EXPECT_EQ(inl("<MATH Display='block'>x</MATH>"), "Math display tex=\"x\"\n");
    EXPECT_EQ(inl("<math display = block>x</math>"), "Math inline tex=\"x\"\n");
    EXPECT_EQ(inl("<math> a &amp; b </math>"), "Math inline tex=\" a &amp; b \"\n");
    EXPECT_EQ(inl("<math>x"), "RawInline format=\"wikitext\" text=\"<math>x\"\n");
    EXPECT_EQ(inl("<nowiki>''x'' &lt;</nowiki>"), "Text \"''x'' <\"\n");
    EXPECT_EQ(inl("<nowiki>x"), "RawInline format=\"wikitext\" text=\"<nowiki>x\"\n");
    EXPECT_EQ(inl("<!-- c -->x"), "Text \"x\"\n");
    EXPECT_EQ(inl("<!-->x"), "Text \"x\"\n");
    EXPECT_EQ(inl("<!-- c"), "");
}

TEST(WikitextElements, SelfClosingMathAndNowikiAreEmpty) {
    // An empty element: nothing for nowiki, an empty formula for math; the
    // rest of the text is read on.
    EXPECT_EQ(inl("a<nowiki/>b ''c''"), "Text \"ab \"\nEmph\n  Text \"c\"\n");
    EXPECT_EQ(inl("a<NOWIKI />b"), "Text \"ab\"\n");
    EXPECT_EQ(inl("a <math/> b [[c]]"),
              "Text \"a \"\nMath inline tex=\"\"\nText \" b \"\nLink url=\"./c\"\n  Text \"c\"\n");
    EXPECT_EQ(inl("<math display=block />"), "Math display tex=\"\"\n");
    // A later closing tag belongs to a later element, not to the empty one.
    EXPECT_EQ(inl("<math/> a <math>x</math>"), "Math inline tex=\"\"\nText \" a \"\nMath inline tex=\"x\"\n");
    // Not a tag delimiter after the name: not these elements.
    EXPECT_EQ(inl("<nowikis/>"), "RawInline format=\"html\" text=\"<nowikis/>\"\n");
}

TEST(WikitextElements, HtmlTags) {
    for (const char* s : {"a<br>b", "a<br/>b", "a<BR />b"}) EXPECT_EQ(inl(s), "Text \"a\"\nHardBreak\nText \"b\"\n") << s;
    EXPECT_EQ(inl("<sup>2</sup>"), "Superscript \"2\"\n");
    EXPECT_EQ(inl("<sub class=c>''i''</sub>"), "Subscript {.\"c\"} \"i\"\n");
    EXPECT_EQ(inl("<sup>[[x]]</sup>"),
              "RawInline format=\"html\" text=\"<sup>\"\nLink url=\"./x\"\n  Text \"x\"\n"
              "RawInline format=\"html\" text=\"</sup>\"\n");
    EXPECT_EQ(inl("<small>x</small>"), "Span {.\"small\"}\n  Text \"x\"\n");
    EXPECT_EQ(inl("<span>a<span>b</span>c</span>"), "Span\n  Text \"a\"\n  Span\n    Text \"b\"\n  Text \"c\"\n");
    EXPECT_EQ(inl("<span>open"), "RawInline format=\"html\" text=\"<span>\"\nText \"open\"\n");
    EXPECT_EQ(inl("<span id=\"k\" title='a&amp;b'>x</span>"),
              "Span {#\"k\" \"title\"=\"a&b\"}\n  Text \"x\"\n");
    EXPECT_EQ(inl("<div>x"), "RawInline format=\"html\" text=\"<div>\"\nText \"x\"\n");
    EXPECT_EQ(inl("a < b"), "Text \"a < b\"\n");
    EXPECT_EQ(inl("a <b"), "Text \"a <b\"\n");
    EXPECT_EQ(inl("<span/>x"), "RawInline format=\"html\" text=\"<span/>\"\nText \"x\"\n");
}

TEST(WikitextInlineText, PlainTextOfRuns) {
    using document::inline_text;
    std::vector<ast::Footnote> notes;
    EXPECT_EQ(inline_text(document::inlines("a ''b'' '''c'''\nd", notes)), "a b c d");
    EXPECT_EQ(inline_text({}), "");
    EXPECT_FALSE(inline_text(document::inlines("a<br>b", notes)));
    EXPECT_FALSE(inline_text(document::inlines("''[[x]]''", notes)));
}
