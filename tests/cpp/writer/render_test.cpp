// The HTML fragment renderer: escapers, footnote numbering, raw content in
// script elements, and the block and inline forms the Markdown writer's
// fallbacks depend on.
#include <gtest/gtest.h>

#include "builders.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/render.hpp"

using namespace wt;
namespace render = tavrel::render;

namespace {

std::string html(const Block& b) {
    render::Renderer r;
    std::string out;
    r.block(b, out);
    return out;
}

std::string html(const Inlines& run) {
    render::Renderer r;
    std::string out;
    r.inlines(run, out);
    return out;
}

}  // namespace

TEST(RenderEscape, TextAttrAndUrl) {
    using Escaper = void (*)(std::string_view, std::string&);
    const struct {
        Escaper escape;
        std::string_view in, out;
    } rows[] = {
        {render::escape_attr, "a\"b<c>&'d", "a&quot;b&lt;c&gt;&amp;'d"},
        {render::escape_text, "a\"b<c>&'d", "a\"b&lt;c&gt;&amp;'d"},
        // A Markdown reader would take a bare carriage return for a line end.
        {render::escape_text, "a\rb\r\n", "a&#13;b&#13;\n"},
        {render::escape_attr, "a\rb", "a&#13;b"},
        {render::escape_url_attr, "/a b/[x]/\xC3\xA9?p=1&q#f%20`\\{|}^\x01\r",
         "/a%20b/%5Bx%5D/%C3%A9?p=1&amp;q#f%20%60%5C{|}^%01%0D"},
    };
    for (const auto& row : rows) {
        std::string s;
        row.escape(row.in, s);
        EXPECT_EQ(s, row.out) << row.in;
    }
}

TEST(RenderEscape, Fragment) {
    EXPECT_EQ(render::escape_fragment("a b:c"), "a%20b%3Ac");
    EXPECT_EQ(render::escape_fragment("x_(y)-1.2/~"), "x_(y)-1.2/~");
    EXPECT_EQ(render::escape_fragment("#%\xC3\xA9"), "%23%25%C3%A9");
}

TEST(RenderFootnotes, NumberedByFirstReferenceAndCounted) {
    render::Renderer r;
    std::string out;
    r.footnote_ref("a", out);
    EXPECT_EQ(out,
              "<sup id=\"fnref-a\"><a href=\"#fn-a\" class=\"footnote-ref\" role=\"doc-noteref\">1</a></sup>");
    out.clear();
    r.footnote_ref("a", out);
    EXPECT_EQ(out,
              "<sup id=\"fnref-a-2\"><a href=\"#fn-a\" class=\"footnote-ref\" role=\"doc-noteref\">1</a></sup>");
    out.clear();
    r.footnote_ref("b c", out);
    EXPECT_EQ(out, "<sup id=\"fnref-b%20c\"><a href=\"#fn-b%20c\" class=\"footnote-ref\" "
                   "role=\"doc-noteref\">2</a></sup>");
    EXPECT_EQ(r.footnote_order, (std::vector<std::string>{"a", "b c"}));
    EXPECT_EQ(r.footnote_ref_counts.at("a"), 2u);
}

TEST(RenderFootnotes, NotesLabelledInOrderAfterEarlierLabels) {
    render::Renderer r;
    std::string out;
    r.inlines({FootnoteRef{"x"}, Note{{T("one")}}, Note{{T("two")}}}, out);
    EXPECT_EQ(r.footnote_order, (std::vector<std::string>{"x", "__note1", "__note2"}));
    EXPECT_EQ(r.footnote_numbers.at("__note2"), 3u);
    EXPECT_EQ(r.notes.at("__note1"), (Inlines{T("one")}));
    EXPECT_NE(out.find("href=\"#fn-__note2\""), std::string::npos);
}

TEST(RenderFootnotes, NotesPassOverTheLabelsOfTheDocumentsFootnotes) {
    const std::vector<Footnote> footnotes = {Footnote{"__note1", {}}, Footnote{"__note3", {}},
                                             Footnote{"__note01", {}}};
    render::Renderer r;
    r.pass_over_labels(footnotes);
    std::string out;
    r.inlines({Note{{T("one")}}, Note{{T("two")}}, Note{{T("three")}}}, out);
    EXPECT_EQ(r.footnote_order, (std::vector<std::string>{"__note2", "__note4", "__note5"}));
    EXPECT_EQ(r.footnote_numbers.at("__note4"), 2u);
    EXPECT_EQ(r.notes.at("__note5"), (Inlines{T("three")}));
}

TEST(RenderRaw, ScriptElementsEncodeOnlyWhenNeeded) {
    EXPECT_EQ(html(Inlines{RawInline{"html", "<!-- x -->"}}),
              "<script type=\"application/vnd.tavrel.raw\" data-format=\"html\" data-encoding=\"html\">"
              "&lt;!-- x --&gt;</script>");
    EXPECT_EQ(html(Inlines{RawInline{"html", "<b>"}}),
              "<script type=\"application/vnd.tavrel.raw\" data-format=\"html\"><b></script>");
    EXPECT_TRUE(render::raw_data_needs_encoding("a<SCRIPT"));
    EXPECT_TRUE(render::raw_data_needs_encoding("</sCrIpT>"));
    EXPECT_FALSE(render::raw_data_needs_encoding("<scrip"));
    EXPECT_EQ(html(Block{RawBlock{"tex", "a<b"}}),
              "<script type=\"application/vnd.tavrel.raw\" data-format=\"tex\">a<b</script>\n");
    EXPECT_EQ(html(Block{FormatBlock{"x\"y", "<script>"}}),
              "<script type=\"text/x&quot;y-block\" data-encoding=\"html\">\n&lt;script&gt;</script>\n");
}

TEST(RenderLists, StartTaskAndTightItems) {
    Block ordered = Ordered(1, {Item({P({T("a")})})});
    EXPECT_EQ(html(ordered), "<ol>\n<li>a</li>\n</ol>\n");
    Block from3 = Ordered(3, {Item({P({T("a")})})});
    EXPECT_EQ(html(from3), "<ol start=\"3\">\n<li>a</li>\n</ol>\n");
    Block bullets = Bullets({Item({P({T("p")}), Bullets({Item({P({T("q")})})})})});
    bullets.as<List>()->start = 7;
    EXPECT_EQ(html(bullets), "<ul>\n<li>p\n<ul>\n<li>q</li>\n</ul>\n</li>\n</ul>\n");
    List tasks{Attr{}, {ListItem{Attr{}, {P({T("t")})}, true}, Item({P({T("u")})})}, 1, false, false};
    EXPECT_EQ(html(Block{tasks}),
              "<ul class=\"task-list\">\n<li><input type=\"checkbox\" disabled=\"disabled\" checked=\"checked\" /> \n"
              "<p>t</p>\n</li>\n<li>\n<p>u</p>\n</li>\n</ul>\n");
}

TEST(RenderBlocks, MathFigureCodeAndHtmlTokens) {
    EXPECT_EQ(html(Block{MathBlock{Cls("c"), "x<1", true}}), "<div class=\"c math display\">x&lt;1</div>\n");
    Figure fig{Id("f"), {T("cap")}, Inline(Image{Attr{}, {T("alt")}, "i.png", std::nullopt})};
    EXPECT_EQ(html(Block{fig}),
              "<figure id=\"f\">\n<img src=\"i.png\" alt=\"\" />\n<figcaption>cap</figcaption>\n</figure>\n");
    CodeBlock code{Cls("k"), "", std::string("py"), "a<b\n"};
    EXPECT_EQ(html(Block{code}), "<pre class=\"k\"><code class=\"language-py\">a&lt;b\n</code></pre>\n");
    HtmlBlock hb{"<p>{{x}}</p>", {HtmlToken{"m", " x ", "x", 3, 8, false, tavrel::template_::TemplateTokenKind::Value}}};
    EXPECT_EQ(html(Block{hb}), "<p><template data-op=\"m:value\">x</template></p>");
}

TEST(RenderTables, AlignmentsInterludesAndSections) {
    Table t;
    t.aligns = {Align::Right, Align::Default};
    t.head = {Row({Cell({T("h")}), Cell({T("i")})})};
    TableCell left = Cell({T("l")});
    left.align = Align::Left;
    t.body = {Row({Cell({T("a")}), Cell({T("b")})}), Row({left, Cell({T("c")})})};
    t.interludes = {{1, Inline(T("mid"))}, {2, Inline(T("end"))}, {9, Inline(T("never"))}};
    t.caption = {T("cap")};
    EXPECT_EQ(html(Block{t}),
              "<table>\n<caption>cap</caption>\n<thead>\n<tr><th align=\"right\">h</th><th>i</th></tr>\n</thead>\n"
              "<tbody>\n<tr><td align=\"right\">a</td><td>b</td></tr>\nmid\n"
              "<tr><td align=\"left\">l</td><td>c</td></tr>\nend\n</tbody>\n</table>\n");
}

// A pair whose key is no HTML attribute name is left out of every tag: the
// key could end the name, the tag or its value and write markup of its own.
TEST(RenderAttrs, KeysNoTagCanHoldAreLeftOut) {
    const struct {
        std::string_view key;
        bool kept;
    } rows[] = {
        {"data-x", true}, {"_a", true}, {":b", true}, {"A.b-c:d_1", true},
        {"a><img/src=x/onerror=alert(1)//", false}, {"a<b", false}, {"a>", false}, {"a b", false},
        {"a\tb", false}, {"a\nb", false}, {"a\"b", false}, {"a'b", false}, {"a/b", false}, {"a=b", false},
        {"a\x01", false}, {"a\x7F", false}, {"1a", false}, {"-a", false}, {"caf\xC3\xA9", false}, {"a&b", false},
        {"a\xC2\xA0b", false}, {"a{b}", false},
    };
    for (const auto& row : rows) {
        Attr a;
        a.pairs = {{std::string(row.key), "v"}, {"k", "w"}};
        std::string s;
        render::attrs_html(a, s);
        EXPECT_EQ(s, row.kept ? " " + std::string(row.key) + "=\"v\" k=\"w\"" : std::string(" k=\"w\"")) << row.key;
        EXPECT_EQ(render::html_attr_name(row.key), row.kept) << row.key;
    }
    // As the Markdown reader gives it.
    tavrel::ast::Document doc =
        tavrel::block::parse_source("[x]{a><img/src=x/onerror=alert(1)//=1 k=2}", tavrel::Options::dataset());
    ASSERT_EQ(doc.blocks.size(), 1u);
    EXPECT_EQ(html(doc.blocks[0]), "<p><span k=\"2\">x</span></p>\n");
}

// An HTML parser reads a name without regard to ASCII case and keeps the
// first of a name in a tag: a pair naming again what the tag holds (its id
// and classes, what the element writes of its own, an earlier pair) is left
// out, so that the tag holds what the parser reads.
TEST(RenderAttrs, KeysOfANameTheTagHoldsAreLeftOut) {
    const struct {
        std::string_view markdown, html;
    } rows[] = {
        {"[x]{Class=a class=b}", "<p><span class=\"b\">x</span></p>\n"},
        {"[x]{Class=a}", "<p><span Class=\"a\">x</span></p>\n"},
        {"*x*{ID=i #j}", "<p><em id=\"j\">x</em></p>\n"},
        {"*x*{ID=i Id=j}", "<p><em ID=\"i\">x</em></p>\n"},
        {"[x](u){Href=v HREF=w}", "<p><a href=\"u\">x</a></p>\n"},
        {"[x](u){Title=v}", "<p><a href=\"u\" Title=\"v\">x</a></p>\n"},
        {"[x](u \"t\"){Title=v data-a=1 DATA-A=2 data-A=3}", "<p><a href=\"u\" title=\"t\" data-a=\"1\">x</a></p>\n"},
        {"![x](u){SRC=v Alt=w k=1}", "<p><img src=\"u\" alt=\"x\" k=\"1\" /></p>\n"},
        {"[x]{k0=a k1=a k2=a k3=a k4=a k5=a k6=a k7=a k8=a k9=a K9=b K0=b k10=a K10=b}",
         "<p><span k0=\"a\" k1=\"a\" k2=\"a\" k3=\"a\" k4=\"a\" k5=\"a\" k6=\"a\" k7=\"a\" k8=\"a\" k9=\"a\" "
         "k10=\"a\">x</span></p>\n"},
    };
    for (const auto& row : rows) {
        tavrel::ast::Document doc = tavrel::block::parse_source(row.markdown, tavrel::Options::dataset());
        ASSERT_EQ(doc.blocks.size(), 1u) << row.markdown;
        EXPECT_EQ(html(doc.blocks[0]), row.html) << row.markdown;
    }
    // What a list or a cell writes of its own.
    Block from3 = Ordered(3, {Item({P({T("a")})})});
    from3.as<List>()->attr.pairs = {{"Start", "9"}, {"reversed", ""}};
    EXPECT_EQ(html(from3), "<ol reversed=\"\" start=\"3\">\n<li>a</li>\n</ol>\n");
    Table t;
    t.aligns = {Align::Right, Align::Default};
    t.body = {Row({Cell({T("a")}), Cell({T("b")})})};
    t.body[0].cells[0].attr.pairs = {{"ALIGN", "left"}};
    t.body[0].cells[1].attr.pairs = {{"ALIGN", "left"}};
    EXPECT_EQ(html(Block{t}),
              "<table>\n<tbody>\n<tr><td align=\"right\">a</td><td ALIGN=\"left\">b</td></tr>\n</tbody>\n</table>\n");
}

TEST(RenderInlines, TemplateCallAndPlainText) {
    Operation op{"mediawiki", "transclude", "Infobox", {OperationArg{{T("x")}, std::nullopt}, OperationArg{{T("y")}, "k"}}};
    EXPECT_EQ(html(Inlines{op}),
              "<template data-op=\"mediawiki:transclude\" data-name=\"Infobox\"><div data-arg>x</div>"
              "<div data-arg data-name=\"k\">y</div></template>");
    EXPECT_EQ(render::plain({T("a"), HB(), Code{Attr{}, "b"}, FootnoteRef{"n"}, RawInline{"html", "z"}}), "a bn");
    Attr a = Id("i");
    a.pairs = {{"id", "skip"}, {"class", "skip"}, {"data-x", "\"q\""}};
    a.classes = {"c1", "c2"};
    std::string s;
    render::attrs_html(a, s);
    EXPECT_EQ(s, " id=\"i\" class=\"c1 c2\" data-x=\"&quot;q&quot;\"");
    EXPECT_EQ(html(Inlines{Math{Attr{}, "x", false}, Image{Attr{}, {Em({T("a")}), T("<")}, "u", std::string("t")}}),
              "<span class=\"math inline\">x</span><img src=\"u\" alt=\"a&lt;\" title=\"t\" />");
}
