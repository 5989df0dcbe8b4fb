// Whole page conversions: wikitext in, cleaned Markdown out through the
// wikitext reader and the Markdown writer, for the cases where the pieces
// must work together (what the prose test sees, what the cut leaves, roles
// from a real metadata file, conversions on many threads at once).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "corpuswright/convert.hpp"
#include "metadata_db.hpp"
#include "tavrel/write_md.hpp"
#include "tree.hpp"

namespace corpuswright {
namespace {

using cwtest::repeat;
using namespace tavrel::ast;

const roles::TemplateRoles kNoRoles{};

// The Markdown of a converted page, or "<none>" when the page gives none.
std::string md(std::string_view wikitext, const roles::TemplateRoles& roles = kNoRoles) {
    std::optional<ConvertedDocument> r = convert_document(wikitext, roles);
    if (!r) return "<none>";
    EXPECT_TRUE(r->warnings.empty());
    EXPECT_TRUE(r->document.footnotes.empty());
    return tavrel::write_md::render_md(r->document);
}

// The Markdown the writer gives for a hand-built tree of these blocks, to
// compare conversions with where the writer's own forms (tables, template
// calls, escapes) are not what a test is about.
std::string md_of(Blocks blocks) {
    Document d;
    d.blocks = std::move(blocks);
    return tavrel::write_md::render_md(d);
}

const char* kPage =
    "{{Short description|A test page}}\n"
    "{{Infobox person|name=Ada|born=1815}}\n"
    "'''Ada Lovelace''' (10 December 1815{{snd}}27 November 1852) was an English [[mathematician]] and "
    "writer.<ref>Ref one.</ref> She measured {{val|1.234|0.005|u=m}} and walked {{convert|5|km|mi}} in "
    "{{frac|1|3|4}} hours.{{cn|date=May 2020}}\n"
    "\n"
    "[[File:Ada.jpg|thumb|Portrait]]\n"
    "She worked on the [[Analytical Engine|analytical engine]] of [[Charles Babbage]].<!-- comment --> "
    "{{nowrap|10 km}}.\n"
    "\n"
    "== Early life ==\n"
    "Born in [[London]]{{efn|name=x|Note}}. A mole is {{val|6.022|e=23|u=mol}}; {{val|5|+0.2|-0.1}}.\n"
    "\n"
    "== See also ==\n"
    "* [[Charles Babbage]]\n"
    "\n"
    "== References ==\n"
    "{{reflist}}\n"
    "\n"
    "[[Category:1815 births]]\n";

TEST(ConvertDocument, AWholePage) {
    // Removed: the short description, the infobox, the reference, the
    // citation-needed tag, the image, the comment, the footnote template,
    // the back matter and the category. Kept unexpanded: {{snd}}, which no
    // rule knows.
    EXPECT_EQ(md(kPage),
              "**Ada Lovelace** (10 December 1815{{snd}}27 November 1852) was an English mathematician and "
              "writer. She measured 1.234 \u00b1 0.005 m and walked 5\u202fkm in 1 3/4 hours.\n"
              "\n"
              "She worked on the analytical engine of Charles Babbage. 10 km.\n"
              "\n"
              "## Early life\n"
              "\n"
              "Born in London. A mole is \\(6.022 \\times 10^{23}\\) mol; \\(5^{+0.2}_{-0.1}\\).\n"
              "\n");
}

TEST(ConvertDocument, ProseThresholdOnWikitext) {
    EXPECT_EQ(md(repeat("x", 59)), "<none>");
    EXPECT_EQ(md(repeat("x", 60)), repeat("x", 60) + "\n\n");
    EXPECT_EQ(md(repeat("é", 60)), repeat("é", 60) + "\n\n");
    EXPECT_EQ(md(""), "<none>");
    // Headings, tables and definition lists do not count.
    EXPECT_EQ(md("== " + repeat("h", 80) + " ==\n" + repeat("x", 30)), "<none>");
    EXPECT_EQ(md("{|\n! h\n|-\n| " + repeat("c", 80) + "\n|}\n" + repeat("x", 30)), "<none>");
    EXPECT_EQ(md(";" + repeat("t", 80) + "\n" + repeat("x", 30)), "<none>");
    // List items and indented text do.
    EXPECT_NE(md("* " + repeat("a", 30) + "\n:" + repeat("b", 30)), "<none>");
}

TEST(ConvertDocument, PagesWhoseProseIsAllRemoved) {
    // Enough text to pass the test, all inside a template that goes.
    EXPECT_EQ(md("{{Cite web|title=" + repeat("t", 80) + "}}"), "<none>");
    // Everything under a back-matter heading.
    EXPECT_EQ(md("== External links ==\n" + repeat("x", 80)), "<none>");
    // A page left with only its image.
    EXPECT_EQ(md("[[File:A.jpg|thumb|" + repeat("c", 80) + "]]"), "<none>");
}

TEST(ConvertDocument, ImageMapLeftoversAndGalleries) {
    std::string prose = repeat("p", 60);
    EXPECT_EQ(md(prose + "\n\nrect 0 0 10 10 [[Foo]]\n\npoly 1 2 [[Bar]]\n\ncircle 5 6 [[Baz]]"), prose + "\n\n");
    // The words after the shape are read after clean-up: "Baz" is no number.
    EXPECT_EQ(md(prose + "\n\ncircle 5 [[Baz]]"), prose + "\n\ncircle 5 Baz\n\n");
    EXPECT_EQ(md(prose + "\n\nrect 10,20 [[Foo]]"), prose + "\n\nrect 10,20 Foo\n\n");
}

TEST(ConvertDocument, TablesAreCleanedInPlace) {
    std::string out = md(
        "{| class=\"wikitable\"\n"
        "! Head [[A|a]] !! Two\n"
        "|-\n"
        "| {{ndash}} || [[File:X.png]]<ref name=a>r</ref>\n"
        "|}\n" +
        repeat("p", 60) + "<ref name=\"a\"/>");
    Table t;
    t.attr = Attr::with_class("wikitable");
    t.aligns = {Align::Default, Align::Default};
    t.head.push_back(TableRow{Attr{}, {TableCell{Attr{}, {cwtest::T("Head "), cwtest::T("a")}, Align::Default},
                                       TableCell{Attr{}, cwtest::Ts("Two"), Align::Default}}});
    t.body.push_back(TableRow{Attr{}, {TableCell{Attr{}, cwtest::Ts("\u2013"), Align::Default},
                                       TableCell{Attr{}, {}, Align::Default}}});
    EXPECT_EQ(out, md_of({t, cwtest::P(repeat("p", 60))}));
    EXPECT_NE(out.find("| Head a | Two |"), std::string::npos) << out;
}

TEST(ConvertDocument, CallsNoRuleUnderstandsStay) {
    std::string prose = repeat("p", 60);
    auto r = convert_document(prose + " {{Unknown|x}} {{val|1|abc}}", kNoRoles);
    ASSERT_TRUE(r);
    Blocks expected{cwtest::P(Inlines{cwtest::T(prose + " "), cwtest::tmpl("Unknown", {cwtest::pos("x")}),
                                      cwtest::T(" "), cwtest::tmpl("val", {cwtest::pos("1"), cwtest::pos("abc")})})};
    EXPECT_EQ(r->document.blocks, expected) << debug_string(r->document.blocks);
    EXPECT_EQ(tavrel::write_md::render_md(r->document), md_of(expected));
}

TEST(ConvertDocument, RolesAndRedirectsFromTheMetadataFile) {
    cwtest::TempDir dir;
    std::string path = cwtest::make_db(dir, "meta.db",
                                       "INSERT INTO redirect VALUES(10,'Nd',10,'Ndash');"
                                       "INSERT INTO redirect VALUES(10,'Nav',10,'Navbox_art');"
                                       "INSERT INTO redirect VALUES(10,'Aka',10,'Also_known');"
                                       "INSERT INTO template_role VALUES('Navbox_art','navigation');"
                                       "INSERT INTO template_role VALUES('Also_known','unwrap1');"
                                       "INSERT INTO template_role VALUES('Hl','unwrap');");
    auto roles = roles::TemplateRoles::open(path);
    ASSERT_TRUE(roles.ok()) << roles.error().message();
    std::string prose = repeat("p", 60);
    EXPECT_EQ(md(prose + " 1990{{nd}}1995 {{aka|the name|ignored}} {{hl|a|b}}{{nav|x}}\n{{Nav}}", *roles),
              md_of({cwtest::P(Inlines{cwtest::T(prose + " 1990"), cwtest::T("\u2013"), cwtest::T("1995 "),
                                       cwtest::T("the name"), cwtest::T(" "), cwtest::T("a"), cwtest::T("|"),
                                       cwtest::T("b")})}));
}

TEST(TitlePrefix, IsTheWritersLevelOneHeading) {
    EXPECT_EQ(title_prefix("Physics"), "# Physics\n\n");
    EXPECT_EQ(title_prefix("A*B"), "# A\\*B\n\n");
    EXPECT_EQ(title_prefix("Ångström"), "# Ångström\n\n");
}

TEST(ConvertDocument, ManyThreadsShareOneRolesValue) {
    roles::TemplateRoles roles;
    roles.remove.insert("Navbox");
    roles.unwrap.insert("Wrap");
    std::vector<std::string> pages;
    for (int i = 0; i < 64; ++i) {
        pages.push_back("Page " + std::to_string(i) + " {{Wrap|a|" + std::to_string(i) + "}} {{Navbox|x}} {{val|" +
                        std::to_string(i) + "|e=3}}\n\n" + kPage);
    }
    std::vector<std::string> serial;
    for (const std::string& p : pages) serial.push_back(md(p, roles));

    std::vector<std::vector<std::string>> parallel(8, std::vector<std::string>(pages.size()));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < parallel.size(); ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < pages.size(); ++i) {
                auto r = convert_document(pages[i], roles);
                parallel[t][i] = r ? tavrel::write_md::render_md(r->document) : "<none>";
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (const auto& results : parallel) EXPECT_EQ(results, serial);
    EXPECT_NE(serial[5].find("Page 5 a"), std::string::npos) << serial[5];
    EXPECT_NE(serial[5].find("5 \\times 10^{3}"), std::string::npos) << serial[5];
}

}  // namespace
}  // namespace corpuswright
