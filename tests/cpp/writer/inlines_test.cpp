// The Markdown writer's inline forms and text functions: escaping of the
// fifteen characters, the line-start hyphen, destinations, attribute bodies,
// code spans and template calls.
#include <gtest/gtest.h>

#include "builders.hpp"

using namespace wt;
namespace markdown = tavrel::markdown;

namespace {
// One paragraph's text without its closing blank line.
std::string para(Inlines run) {
    std::string s = md({P(std::move(run))});
    EXPECT_EQ(s.substr(s.size() - 2), "\n\n");
    return s.substr(0, s.size() - 2);
}
std::string esc(std::string_view text, std::string out = {}) {
    markdown::escape_markdown(text, out);
    return out;
}
}  // namespace

TEST(Escape, TheFifteenCharactersAndNothingElse) {
    EXPECT_EQ(esc("#$*+<=>[\\]^_`|~"), "\\#\\$\\*\\+\\<\\=\\>[\\\\\\]\\^\\_\\`\\|\\~");
    // "[" stays bare: "\\[" would open display math before a later "\\]".
    EXPECT_EQ(esc("[sic] [x](y)"), "[sic\\] [x\\](y)");
    EXPECT_EQ(para({Link{Attr{}, {T("a [b]")}, "u", std::nullopt}, Span{Cls("c"), {T("[")}}}),
              "[a &#91;b\\]](u)[&#91;]{.c}");
    EXPECT_EQ(esc("a*b_c"), "a\\*b\\_c");
    EXPECT_EQ(esc("x & y! : {} . () 1. \"q' \xC3\xA9"), "x & y! : {} . () 1. \"q' \xC3\xA9");
    EXPECT_EQ(esc("1. item"), "1. item");
}

TEST(Escape, HyphenOnlyWhereItWouldStartAListOrRule) {
    EXPECT_EQ(esc("- item"), "\\- item");
    EXPECT_EQ(esc("- item", "text "), "text - item");
    EXPECT_EQ(esc("- item", "para\n   "), "para\n   \\- item");
    EXPECT_EQ(esc("- item", "    "), "    - item");
    EXPECT_EQ(esc("---"), "\\---");
    EXPECT_EQ(esc("----"), "----");
    EXPECT_EQ(esc("end -"), "end -");
    EXPECT_EQ(esc("-"), "-");
    EXPECT_EQ(esc("a\n- b"), "a\n\\- b");
    EXPECT_EQ(esc("a\n---\nb"), "a\n\\---\nb");
    EXPECT_EQ(esc("-\tx"), "\\-\tx");
}

TEST(Escape, AmpersandOnlyWhenItWouldStartADecodedReference) {
    // Kept: no reference, an unknown name, a legacy name without ";".
    EXPECT_EQ(esc("R&D &x; &copy &;"), "R&D &x; &copy &;");
    // Escaped: names and numbers the reader would decode.
    EXPECT_EQ(esc("&lt; &amp; &#38; &#x41; &ngE;"), "\\&lt; \\&amp; \\&\\#38; \\&\\#x41; \\&ngE;");
    EXPECT_EQ(esc("&&lt;"), "&\\&lt;");
    // Out-of-range numbers stay as typed by the reader, so they need nothing.
    EXPECT_EQ(esc("&#1114112;"), "&\\#1114112;");
}

TEST(Escape, TargetsTitlesAndAttributeWords) {
    EXPECT_EQ(markdown::escape_target("a b(c)\\d"), "a%20b\\(c\\)\\\\d");
    EXPECT_EQ(markdown::escape_target("/w?a=1&b=2&lt;"), "/w?a=1&b=2&amp;lt;");
    EXPECT_EQ(markdown::escape_target("<a>\tb\nc\r"), "%3Ca>%09b%0Ac%0D");
    EXPECT_EQ(para({Link{Attr{}, {T("x")}, "a b(c)", std::nullopt}}), "[x](a%20b\\(c\\))");
    EXPECT_EQ(para({Link{Attr{}, {T("x")}, "u", std::string("a \"q\" \\ &amp;")}}),
              "[x](u \"a \\\"q\\\" \\\\ &amp;amp;\")");
    EXPECT_EQ(markdown::escape_attr_word("a b{c}\\"), "a\\ b\\{c\\}\\\\");
    Attr a = Id("");
    a.set_pair("title", "x&lt;y");
    // An empty id reads back as nothing: it is left out.
    EXPECT_EQ(markdown::attrs_body(a), "title=\"x&amp;lt;y\"");
    EXPECT_EQ(markdown::attrs_body(Attr{}), "");
    // Keys are read as they stand up to the "=": one that would not come
    // back is left out, and an Attr left with nothing writes nothing. A ":"
    // comes back but first in the block, where a space goes before it. A "{"
    // comes back (but at the end of a heading's or term's line), and so does
    // a backslash, with the character after it.
    Attr keys;
    for (const char* k : {"data-x", "\"", "a'b", "a\\b", "a}", "{", "#a", ".a", ":a", "a\xC2\xA0" "b", "ok:1", "\\"})
        keys.pairs.emplace_back(k, "v");
    EXPECT_EQ(markdown::attrs_body(keys), "data-x=\"v\" a\\b=\"v\" {=\"v\" :a=\"v\" ok:1=\"v\" \\=\"v\"");
    EXPECT_FALSE(markdown::attr_writable(keys));
    Attr none;
    none.pairs.emplace_back("\"", "");
    none.id = "";
    EXPECT_FALSE(markdown::writes_attrs(none));
    EXPECT_TRUE(markdown::writable_attr(none).empty());
    // Any white space in an id or class is escaped, not only ASCII.
    EXPECT_EQ(markdown::escape_attr_word("a\xC2\xA0" "b"), "a\\\xC2\xA0" "b");
}

TEST(Escape, CodeSpansAndBacktickRuns) {
    auto span = [](std::string_view t) {
        std::string out;
        markdown::code_span(t, out);
        return out;
    };
    EXPECT_EQ(span("a`b"), "``a`b``");
    EXPECT_EQ(span("`a"), "`` `a ``");
    EXPECT_EQ(span("a "), "` a  `");
    EXPECT_EQ(span(""), "``");
    EXPECT_EQ(span("  "), "`  `");
    EXPECT_EQ(markdown::longest_run("a``b```c`"), 3u);
    EXPECT_EQ(markdown::longest_run("abc"), 0u);
}

TEST(WriteInlines, Forms) {
    EXPECT_EQ(para({T("a"), HB(), T("b")}), "a\\\nb");
    EXPECT_EQ(para({Emph{Cls("x"), {T("e")}}, Strong{Attr{}, {T("s")}}, Strikeout{Attr{}, {T("k")}},
                    Highlight{Attr{}, {T("h")}}}),
              "*e*{.x}**s**~~k~~==h==");
    EXPECT_EQ(para({Code{Cls("c"), "x"}, RawInline{"html", "<br>"}}), "`x`{.c}`<br>`{=html}");
    EXPECT_EQ(para({Image{Cls("i"), {T("alt")}, "p.png", std::nullopt}}), "![alt](p.png){.i}");
    // "<...>" only where it reads back as this autolink (a scheme, no
    // control character); otherwise the link form.
    EXPECT_EQ(para({Autolink{"ab:x", "ab:x", false}, T(" "), Autolink{"mailto:x", "x", true}}), "<ab:x> [x](mailto:x)");
    EXPECT_EQ(para({Autolink{"x", "x", false}, T(" "), Autolink{"a:x\x01", "a:x\x01", false}}),
              "[x](x) [a:x\x01](a:x\x01)");
    EXPECT_EQ(para({Math{Attr{}, "a<b", true}, RawHtml{"<b>"}}), "\\(a<b\\)<b>");
    // Math on one line: a line end would let the next line start a block.
    EXPECT_EQ(para({Math{Attr{}, "a\n  # b", false}}), "\\(a # b\\)");
    // A span holding an address, with a pair no tag can hold, keeps its
    // brackets and the address bare; its math reads back without its
    // display flag, as it does anywhere.
    Attr kept;
    kept.pairs = {{"-", "1"}};
    EXPECT_EQ(para({Span{kept, {Autolink{"http://www.a", "www.a", false}, T(") "), Math{Attr{}, "x", true}}}}),
              "[www.a) \\(x\\)]{-=\"1\"}");
    // A strong filled by an emphasis in it is written "***", which reads
    // back as an emphasis filled by a strong, the same HTML.
    EXPECT_EQ(para({Span{kept, {Autolink{"http://www.a", "www.a", false}, T(") "),
                                Strong{Attr{}, {Emph{Attr{}, {T("a")}}}}}}}),
              "[www.a) ***a***]{-=\"1\"}");
    // A subscript first in a strikeout, where no subscript opens, with a
    // pair no tag can hold: the strikeout takes its element form.
    EXPECT_EQ(para({Strikeout{Attr{}, {Subscript{kept, "a"}, T("b")}}}), "<del>~a~{-=\"1\"}b</del>");
    // A span without attributes would read back as bracketed text.
    EXPECT_EQ(para({Span{Cls("y"), {T("x")}}, Span{Attr{}, {T("z")}}}), "[x]{.y}z");
    tavrel::template_::TemplateToken tok{"m", "{{ x }}", " x ", "x", tavrel::template_::TemplateTokenKind::Value};
    EXPECT_EQ(para({T("a"), TemplateTokenInline{tok}}), "a{{ x }}");
}

TEST(WriteInlines, ScriptsReadBackVerbatimOrAsTheirElement) {
    // The reader keeps the text between the markers verbatim, so it is
    // written verbatim; text it would not take back goes in the element.
    EXPECT_EQ(para({T("x"), Superscript{Attr{}, "2*&lt;"}, Subscript{Id("s"), "i"}}), "x^2*&lt;^~i~{#s}");
    EXPECT_EQ(para({T("x"), Superscript{Attr{}, "a b"}}), "x<sup>a b</sup>");
    EXPECT_EQ(para({T("x"), Superscript{Attr{}, "a\\*"}}), "x<sup>a\\\\\\*</sup>");
    EXPECT_EQ(para({T("x"), Superscript{Attr{}, "[1]"}}), "x<sup>[1\\]</sup>");
    EXPECT_EQ(para({T("x"), Superscript{Attr{}, "a^b"}}), "x<sup>a\\^b</sup>");
    // The element reads back as raw HTML, which takes no attribute block:
    // the attributes go in its tag.
    EXPECT_EQ(para({T("x"), Subscript{Cls("c"), "a~b"}}), "x<sub class=\"c\">a\\~b</sub>");
    EXPECT_EQ(para({T("x"), Subscript{Attr{}, ""}}), "x<sub></sub>");
    EXPECT_EQ(para({T("x"), Subscript{Attr{}, "[1]"}}), "x~[1]~");
}

TEST(WriteInlines, EmphasisTheReaderWouldNotPairIsWrittenAsItsElement) {
    EXPECT_EQ(para({T("a"), Em({T("b")}), T("c")}), "a*b*c");
    EXPECT_EQ(para({T("("), Em({T("b")}), T(")")}), "(*b*)");
    // A closer after punctuation needs white space or punctuation after it.
    EXPECT_EQ(para({T("x "), Em({T("b.")}), T("c")}), "x <em>b.</em>c");
    EXPECT_EQ(para({T("x "), Em({T("b.")}), T(" c")}), "x *b.* c");
    // An opener before punctuation needs white space or punctuation before it.
    EXPECT_EQ(para({T("x"), St({T("(b)")}), T(" c")}), "x<strong>(b)</strong> c");
    // Two runs of the same character would merge into one.
    EXPECT_EQ(para({Em({T("a")}), St({T("b")})}), "*a*<strong>b</strong>");
    EXPECT_EQ(para({Strikeout{Attr{}, {T("a")}}, Subscript{Attr{}, "b"}}), "<del>a</del>~b~");
    // Nested emphasis of one character keeps its combined run.
    EXPECT_EQ(para({St({Em({T("x")})})}), "***x***");
    // Its attribute block follows the closer, so the closer is followed by "{".
    EXPECT_EQ(para({Highlight{Cls("h"), {T("(m)")}}, T("z")}), "==(m)=={.h}z");
    EXPECT_EQ(para({Highlight{Attr{}, {T("(m)")}}, T("z")}), "<mark>(m)</mark>z");
    // U+0000 flanks a run as a letter does, not as white space.
    using namespace std::string_literals;
    EXPECT_EQ(para({T("a\0"s), St({T("(b)")}), T(" c")}), "a\0<strong>(b)</strong> c"s);
    EXPECT_EQ(para({T("c "), Em({T("(b)")}), T("\0"s)}), "c <em>(b)</em>\0"s);
    EXPECT_EQ(para({T("\0"s), Em({T("b")}), T("\0"s)}), "\0*b*\0"s);
}

TEST(WriteInlines, TextKeepsReadingAsText) {
    // Bare URLs and e-mail addresses would become autolinks.
    EXPECT_EQ(para({T("see http://a.org, https://b.org, ftp://c, www.d.org and e@f.org")}),
              "see http\\://a.org, https\\://b.org, ftp\\://c, www\\.d.org and e\\@f.org");
    // A "!" before a link's bracket would make it an image.
    EXPECT_EQ(para({T("wow!"), Link{Attr{}, {T("x")}, "u", std::nullopt}}), "wow\\![x](u)");
    EXPECT_EQ(para({T("a\\!"), Span{Cls("c"), {T("x")}}}), "a\\\\\\![x]{.c}");
    // A "{" after a node that takes attributes would become its attributes.
    EXPECT_EQ(para({Code{Attr{}, "c"}, T("{.x} y")}), "`c`\\{.x} y");
    EXPECT_EQ(para({Em({T("e")}), Operation{"mediawiki", "transclude", "t", {}}}), "*e*\\{{t}}");
    EXPECT_EQ(para({RawHtml{"<b>"}, T("{.x}")}), "<b>{.x}");
}

TEST(WriteInlines, FootnoteReferencesOnlyToDefinedLabels) {
    Document d = Doc({P({FootnoteRef{"n"}, T(": x "), FootnoteRef{"gone"}, T(" "), FootnoteRef{"a b"}})});
    d.footnotes = {Footnote{"n", {P({T("def")})}}, Footnote{"a b", {P({T("spaced")})}}};
    // An undefined label reads back as text; ":" right after a reference
    // would make a definition. A label the reader cannot read in "[^…]" is
    // written under a readable one, in the reference and the definition.
    EXPECT_EQ(md(d), "[^n]\\: x [\\^gone\\] [^a_b]\n\n[^n]: def\n\n[^a_b]: spaced\n\n");
}

TEST(WriteInlines, CodeSpansStayOnOneLine) {
    EXPECT_EQ(para({Code{Attr{}, "a\tb\r\nc\nd"}}), "`a b c d`");
    EXPECT_EQ(para({RawInline{"html", "<b\n>"}}), "`<b >`{=html}");
}

TEST(WriteInlines, TemplateCalls) {
    auto op = [](std::string name, std::string kind, std::vector<OperationArg> args) {
        return Inline(Operation{"mediawiki", std::move(kind), std::move(name), std::move(args)});
    };
    EXPECT_EQ(para({op(" Infobox ", "transclude", {})}), "{{Infobox}}");
    EXPECT_EQ(para({op("a}}b", "transclude", {})}), "{{transclude}}");
    EXPECT_EQ(para({op("", " ", {})}), "{{empty}}");
    EXPECT_EQ(para({op("Infobox", "transclude", {OperationArg{{T("x")}, "ignored"}})}),
              "{{\\#Infobox}}x{{/Infobox}}");
    EXPECT_EQ(para({op("I", "transclude", {OperationArg{{T("x")}, std::nullopt}, OperationArg{{T("y")}, "k"}})}),
              "<template data-op=\"mediawiki:transclude\" data-name=\"I\"><div data-arg>x</div>"
              "<div data-arg data-name=\"k\">y</div></template>");
    // The arguments between the element's tags are read back as Markdown.
    EXPECT_EQ(para({op("lang", "transclude", {OperationArg{{T("fr")}, std::nullopt},
                                               OperationArg{{T("a_b &lt;"), Em({T("c")})}, "x&y"}})}),
              "<template data-op=\"mediawiki:transclude\" data-name=\"lang\"><div data-arg>fr</div>"
              "<div data-arg data-name=\"x&amp;y\">a\\_b \\&lt;*c*</div></template>");
    EXPECT_EQ(tavrel::write_md::usable_name("a\nb"), std::nullopt);
    EXPECT_EQ(tavrel::write_md::usable_name(" {{x "), std::nullopt);
}
