// The clean-up passes on hand-built trees: plain text, the prose count, what
// inlines and blocks are dropped or unwrapped, the paragraph tests, the
// back-matter cut, and the whole conversion after parsing.
#include <gtest/gtest.h>

#include "corpuswright/cleanup.hpp"
#include "corpuswright/convert.hpp"
#include "tree.hpp"

namespace corpuswright::cleanup {
namespace {

using namespace cwtest;

const roles::TemplateRoles kNoRoles{};

Inlines clean(Inlines in) {
    clean_inlines(in, kNoRoles);
    return in;
}

Blocks clean(Blocks in) {
    clean_blocks(in, kNoRoles);
    return in;
}

// --- plain text and the prose count ------------------------------------------------

TEST(Plain, EveryInlineKindContributesItsText) {
    Operation call = tmpl("ignored name", {pos("a1"), kw("k", "a2")});
    tavrel::template_::TemplateToken token;
    token.inner = " tok ";
    token.source = "{{ tok }}";
    Inlines in{T("t"),
               SoftBreak{},
               HardBreak{},
               Emph{Attr{}, Ts("e")},
               Strong{Attr{}, Ts("s")},
               Strikeout{Attr{}, Ts("x")},
               Superscript{Attr{}, "sup"},
               Subscript{Attr{}, "sub"},
               Highlight{Attr{}, Ts("h")},
               Code{Attr{}, "c"},
               internal_link("./A", "l"),
               image("alt"),
               Autolink{"http://u", "disp", false},
               RawHtml{"<b>"},
               call,
               TemplateTokenInline{token},
               M("x^2"),
               FootnoteRef{"label"},
               Note{Ts("n")},
               Span{Attr{}, Ts("sp")},
               RawInline{"html", "<!-- c -->"}};
    EXPECT_EQ(plain(in), "t  esxsupsubhclaltdisp<b>a1a2 tok x^2nsp<!-- c -->");
    EXPECT_EQ(plain({}), "");
}

TEST(ParagraphChars, CountsParagraphTextInContainersOnly) {
    Blocks blocks;
    blocks.push_back(P("abc"));                    // 3
    blocks.push_back(H(2, "heading text"));        // 0
    blocks.push_back(BlockQuote{Attr{}, {P("de")}});  // 2
    blocks.push_back(Div{Attr{}, {P("f"), H(3, "no")}});  // 1
    List list;
    list.items.push_back(ListItem{Attr{}, {P("gh"), BlockQuote{Attr{}, {P("i")}}}, std::nullopt});  // 3
    blocks.push_back(list);
    DefinitionList dl;
    dl.items.push_back(DefinitionItem{{DefinitionTerm{Attr{}, Ts("term")}}, {Ts("def")}});
    blocks.push_back(dl);
    Table table;
    table.body.push_back(TableRow{Attr{}, {TableCell{Attr{}, Ts("cell"), Align::Default}}});
    table.caption = Ts("cap");
    blocks.push_back(table);
    blocks.push_back(Figure{Attr{}, Ts("fig"), image("alt")});
    blocks.push_back(CodeBlock{Attr{}, "", std::nullopt, "code"});
    EXPECT_EQ(paragraph_chars(blocks), 9u);
    // The bounded test agrees with the count at and around its value.
    EXPECT_TRUE(paragraph_chars_reach(blocks, 9));
    EXPECT_FALSE(paragraph_chars_reach(blocks, 10));
    EXPECT_TRUE(paragraph_chars_reach(blocks, 1));
    EXPECT_TRUE(paragraph_chars_reach({}, 0));
}

TEST(ParagraphChars, CountsScalarValuesNotBytes) {
    EXPECT_EQ(paragraph_chars({P(repeat("é", 10) + repeat("😀", 5))}), 15u);
    // Template arguments, math and image descriptions in paragraphs count.
    EXPECT_EQ(paragraph_chars({P(Inlines{tmpl("x", {pos("abcd")}), M("x"), image("al")})}), 7u);
}

// --- inlines ----------------------------------------------------------------

TEST(CleanInlines, DropsImagesNotesCategoriesCommentsAndSwitches) {
    Span behaviour;
    behaviour.attr.set_pair("data-mediawiki-behavior", "NOTOC");
    Span kept_span;
    kept_span.attr.push_class("small");
    kept_span.content = Ts("small");
    Inlines in{T("a"),
               image("cap"),
               FootnoteRef{"n"},
               Note{Ts("note")},
               category("sort"),
               RawInline{"html", "<!-- comment -->"},
               RawInline{"html", "<br clear=all>"},
               RawInline{"wikitext", "<!-- not html -->"},
               behaviour,
               kept_span,
               T("b")};
    Inlines expected{T("a"), RawInline{"html", "<br clear=all>"}, RawInline{"wikitext", "<!-- not html -->"},
                     kept_span, T("b")};
    EXPECT_EQ(clean(in), expected);
}

TEST(CleanInlines, UnlinksWikiLinksAndKeepsExternalOnes) {
    Link external = internal_link("https://example.org/", "site");
    Inlines in{internal_link("./Other_page", "other"), internal_link("#History", "history"), external,
               internal_link("./", "")};
    Inlines expected{T("other"), T("history"), external};
    EXPECT_EQ(clean(in), expected);

    // The content is cleaned before it is spliced.
    Link nested = internal_link("./X", "");
    nested.content = {T("x"), image("i"), Strong{Attr{}, {FootnoteRef{"r"}, T("y")}}};
    EXPECT_EQ(clean({nested}), (Inlines{T("x"), Strong{Attr{}, Ts("y")}}));
}

TEST(CleanInlines, TrimsSoftBreaksAtEveryDepth) {
    Inlines in{tmpl("DEFAULTSORT:x"), SoftBreak{}, T("a"), SoftBreak{},
               Emph{Attr{}, {SoftBreak{}, SoftBreak{}, T("e"), SoftBreak{}}}, SoftBreak{}, FootnoteRef{"f"},
               SoftBreak{}};
    Inlines expected{T("a"), SoftBreak{}, Emph{Attr{}, Ts("e")}};
    EXPECT_EQ(clean(in), expected);
    EXPECT_EQ(clean({SoftBreak{}, SoftBreak{}}), Inlines{});
    // Hard breaks are not soft breaks.
    EXPECT_EQ(clean({HardBreak{}, T("x")}), (Inlines{HardBreak{}, T("x")}));
}

TEST(CleanInlines, ArgumentsAreCleanedBeforeTheCallIsRewritten) {
    // {{nowrap|{{ndash}}[[Foo|bar]]<ref/>}}
    Inlines arg{tmpl("ndash"), internal_link("./Foo", "bar"), FootnoteRef{"r"}};
    EXPECT_EQ(clean({tmpl("nowrap", {pos(arg)})}), (Inlines{T("\u2013"), T("bar")}));

    // A kept call keeps its cleaned arguments.
    Inlines out = clean({tmpl("Unknown", {pos(Inlines{SoftBreak{}, T("v"), image("x")})})});
    ASSERT_EQ(out.size(), 1u);
    ASSERT_TRUE(out[0].is<Operation>());
    EXPECT_EQ(out[0].as<Operation>()->args[0].value, Ts("v"));
}

TEST(CleanInlines, ReplacementsOfEverySizeKeepTheOrder) {
    roles::TemplateRoles roles;
    roles.unwrap.insert("W");
    auto run = [&](Inlines in) {
        clean_inlines(in, roles);
        return in;
    };
    // Growing past the room freed so far, at the start, middle and end.
    EXPECT_EQ(run({tmpl("w", {pos("a"), pos("b")}), T("c")}), (Inlines{T("a"), T("|"), T("b"), T("c")}));
    EXPECT_EQ(run({T("a"), tmpl("w", {pos("b"), pos("c")}), image("x"), T("d"), tmpl("w", {pos("e"), pos("f")})}),
              (Inlines{T("a"), T("b"), T("|"), T("c"), T("d"), T("e"), T("|"), T("f")}));
    // Fitting into room freed by dropped nodes.
    EXPECT_EQ(run({image("1"), FootnoteRef{"2"}, tmpl("w", {pos("a"), pos("b")}), T("c")}),
              (Inlines{T("a"), T("|"), T("b"), T("c")}));
    // Links unwrapped into several inlines, and to nothing.
    Link multi = internal_link("./X", "");
    multi.content = {T("x"), Emph{Attr{}, Ts("y")}, T("z")};
    EXPECT_EQ(run({T("a"), multi, internal_link("./Y", ""), T("b")}),
              (Inlines{T("a"), T("x"), Emph{Attr{}, Ts("y")}, T("z"), T("b")}));
}

// --- blocks -----------------------------------------------------------------

TEST(CleanBlocks, ImageMapAndGalleryLeftoversAreDropped) {
    auto kept = [](Inlines content) { return clean(Blocks{P(std::move(content))}).size() == 1; };
    EXPECT_FALSE(kept({T("rect 10 20 30 40 "), internal_link("./Target", "Target")}));
    EXPECT_TRUE(kept(Ts("rect 10,20")));
    EXPECT_FALSE(kept(Ts("Circle")));
    EXPECT_FALSE(kept(Ts("poly 12")));
    EXPECT_FALSE(kept(Ts("RECT 1 2 and then words")));
    EXPECT_TRUE(kept(Ts("rectangle 1 2")));
    EXPECT_TRUE(kept(Ts("circle 1 x")));
    EXPECT_FALSE(kept(Ts("  File:Example.jpg|thumb")));
    EXPECT_FALSE(kept(Ts("FILE:x")));
    EXPECT_FALSE(kept(Ts("\u00a0<file:x>")));
    EXPECT_TRUE(kept(Ts("Files are kept")));
}

TEST(CleanBlocks, ParagraphTestsSeeTheWholeTextOfLongParagraphs) {
    // The decisive words may lie far into the paragraph, or across inlines.
    auto kept = [](Inlines content) { return clean(Blocks{P(std::move(content))}).size() == 1; };
    const std::string spaces = repeat(" ", 400);
    EXPECT_FALSE(kept(Ts("rect" + spaces + "1" + spaces + "2 then text")));
    EXPECT_FALSE(kept(Ts("rect 1 " + repeat("7", 500) + " x")));
    EXPECT_TRUE(kept(Ts("rect 1 " + repeat("7", 500) + "a x")));
    EXPECT_FALSE(kept(Ts(spaces + spaces + "FILE:x.jpg")));
    EXPECT_FALSE(kept({T(spaces), T(spaces), SoftBreak{}, T(spaces)}));
    EXPECT_TRUE(kept({T(spaces), T(spaces), T(spaces), T("x")}));
    EXPECT_TRUE(kept(Ts("circle" + repeat("x", 400))));
    EXPECT_FALSE(kept({T("re"), Emph{Attr{}, Ts("ct")}, T(" 1"), T(spaces), Strong{Attr{}, Ts("2")}}));
    EXPECT_TRUE(kept(Ts(repeat("prose ", 200))));
}

TEST(CleanBlocks, ParagraphsLeftWithoutTextAreDropped) {
    Blocks in{P(Inlines{image("only an image")}), P(Inlines{FootnoteRef{"r"}}), P(Inlines{tmpl("cn")}),
              P(Inlines{T(" \u00a0 "), SoftBreak{}}), P("kept")};
    EXPECT_EQ(clean(in), Blocks{P("kept")});
}

TEST(CleanBlocks, ContainersRecurseAndKeepTheirShape) {
    Heading empty_heading;
    empty_heading.level = 2;
    empty_heading.content = {tmpl("cn")};
    List list;
    list.tight = true;
    list.items.push_back(ListItem{Attr{}, {P(Inlines{tmpl("cn")})}, std::nullopt});
    list.items.push_back(ListItem{Attr{}, {P(Inlines{internal_link("./A", "a")})}, std::nullopt});
    DefinitionList dl;
    dl.items.push_back(DefinitionItem{{DefinitionTerm{Attr{}, {internal_link("./T", "t")}}}, {{image("x"), T("d")}}});
    Blocks in{empty_heading,
              BlockQuote{Attr{}, {P(Inlines{tmpl("cn")})}},
              Div{Attr{}, {Figure{Attr{}, Ts("cap"), image("alt")}, P("in div")}},
              list,
              dl,
              Figure{Attr{}, Ts("cap"), image("alt")},
              CodeBlock{Attr{}, "", std::nullopt, "{{cn}} [[x]]"},
              RawBlock{"wikitext", "<gallery>x</gallery>"},
              ThematicBreak{}};

    Heading cleaned_heading = empty_heading;
    cleaned_heading.content.clear();
    List cleaned_list = list;
    cleaned_list.items[0].blocks.clear();
    cleaned_list.items[1].blocks = {P("a")};
    DefinitionList cleaned_dl;
    cleaned_dl.items.push_back(DefinitionItem{{DefinitionTerm{Attr{}, Ts("t")}}, {Ts("d")}});
    Blocks expected{cleaned_heading,
                    BlockQuote{Attr{}, {}},
                    Div{Attr{}, {P("in div")}},
                    cleaned_list,
                    cleaned_dl,
                    CodeBlock{Attr{}, "", std::nullopt, "{{cn}} [[x]]"},
                    RawBlock{"wikitext", "<gallery>x</gallery>"},
                    ThematicBreak{}};
    EXPECT_EQ(clean(in), expected) << debug_string(clean(in));
}

TEST(CleanBlocks, TablesAreCleanedCellByCellAndKeepTheirInterludes) {
    Table t;
    t.aligns = {Align::Left, Align::Right};
    t.caption = {T("cap"), FootnoteRef{"r"}};
    t.head.push_back(TableRow{Attr{}, {TableCell{Attr{}, {internal_link("./H", "h")}, Align::Left},
                                       TableCell{Attr{}, {tmpl("cn")}, Align::Default}}});
    t.body.push_back(TableRow{Attr{}, {TableCell{Attr{}, {tmpl("ndash")}, Align::Default},
                                       TableCell{Attr{}, {image("x")}, Align::Default}}});
    t.interludes.push_back({0, Inline{tmpl("cn")}});     // cleans to nothing: kept as it was
    t.interludes.push_back({1, Inline{tmpl("mdash")}});  // cleans to a text
    Blocks out = clean(Blocks{t});
    ASSERT_EQ(out.size(), 1u);
    const Table* c = out[0].as<Table>();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->aligns, t.aligns);
    EXPECT_EQ(c->caption, Ts("cap"));
    ASSERT_EQ(c->head.size(), 1u);
    ASSERT_EQ(c->head[0].cells.size(), 2u);
    EXPECT_EQ(c->head[0].cells[0].content, Ts("h"));
    EXPECT_EQ(c->head[0].cells[0].align, Align::Left);
    EXPECT_TRUE(c->head[0].cells[1].content.empty());
    EXPECT_EQ(c->body[0].cells[0].content, Ts("\u2013"));
    EXPECT_TRUE(c->body[0].cells[1].content.empty());
    ASSERT_EQ(c->interludes.size(), 2u);
    EXPECT_EQ(c->interludes[0].second, Inline{tmpl("cn")});
    EXPECT_EQ(c->interludes[1].second, T("\u2014"));
}

// --- back matter -------------------------------------------------------------

std::vector<std::string> texts(const Blocks& blocks) {
    std::vector<std::string> out;
    for (const Block& b : blocks) {
        if (const Heading* h = b.as<Heading>())
            out.push_back("h" + std::to_string(h->level) + ":" + plain(h->content));
        else if (const Paragraph* p = b.as<Paragraph>())
            out.push_back(plain(p->content));
        else
            out.push_back(std::string(kind_name(b.kind())));
    }
    return out;
}

Blocks cut(Blocks in) {
    cut_back_matter(in);
    return in;
}

TEST(BackMatter, SeeAlsoUntilTheNextSectionOfTheSameRank) {
    List list;
    list.items.push_back(ListItem{Attr{}, {P("link")}, std::nullopt});
    Blocks in{P("intro"), H(2, "See also"), list, H(2, "History"), P("body")};
    EXPECT_EQ(texts(cut(in)), (std::vector<std::string>{"intro", "h2:History", "body"}));
}

TEST(BackMatter, NestedCutsRestartAtTheirOwnLevel) {
    Blocks in{P("a"), H(1, "References"), P("r"), H(2, "Notes"), P("n"), H(3, "Sub"), P("s"),
              H(2, "Early life"), P("e")};
    EXPECT_EQ(texts(cut(in)), (std::vector<std::string>{"a", "h2:Early life", "e"}));
    // A level-2 cut ends at a level-1 heading too.
    Blocks in2{H(2, "Sources"), P("x"), H(1, "Part two"), P("y")};
    EXPECT_EQ(texts(cut(in2)), (std::vector<std::string>{"h1:Part two", "y"}));
}

TEST(BackMatter, LowLevelHeadingsNeverStartACut) {
    Blocks in{P("a"), H(3, "References"), P("kept"), H(2, "Bibliography"), H(3, "References"), P("gone")};
    EXPECT_EQ(texts(cut(in)), (std::vector<std::string>{"a", "h3:References", "kept"}));
}

TEST(BackMatter, WordsMatchAsSubstringsInAnyCase) {
    for (std::string title : {"Resources", "Keynotes", "Notes and references", "EXTERNAL LINKS", "Works cited",
                              "Related pages", "Further reading", "Citations", "ÉTÉ: SEE ALSO"}) {
        Blocks in{H(2, title), P("x"), H(2, "Next"), P("y")};
        EXPECT_EQ(texts(cut(in)), (std::vector<std::string>{"h2:Next", "y"})) << title;
    }
    Blocks in{H(2, "Note"), P("kept")};
    EXPECT_EQ(texts(cut(in)).size(), 2u);
}

TEST(BackMatter, TheHeadingTextIsItsPlainText) {
    Heading h;
    h.level = 2;
    h.content = {T("External "), Emph{Attr{}, Ts("links")}};
    Blocks in{P("a"), h, P("gone")};
    EXPECT_EQ(texts(cut(in)), (std::vector<std::string>{"a"}));
}

// --- the conversion after parsing ------------------------------------------------

Document doc_of(Blocks blocks) {
    Document d;
    d.blocks = std::move(blocks);
    return d;
}

TEST(ConvertTree, ProseThresholdCountsBeforeCleanUp) {
    EXPECT_FALSE(convert_tree(doc_of({P(repeat("a", 59))}), kNoRoles));
    EXPECT_TRUE(convert_tree(doc_of({P(repeat("a", 60))}), kNoRoles));
    EXPECT_TRUE(convert_tree(doc_of({P(repeat("é", 60))}), kNoRoles));
    EXPECT_FALSE(convert_tree(doc_of({P(repeat("é", 59))}), kNoRoles));
    EXPECT_FALSE(convert_tree(doc_of({}), kNoRoles));
    // Text that does not count: headings, tables, definition lists, figures.
    EXPECT_FALSE(convert_tree(doc_of({H(2, repeat("h", 100)), P(repeat("a", 30))}), kNoRoles));
    // Text that counts: a removed template's arguments, split over blocks.
    auto r = convert_tree(doc_of({P(Inlines{T(repeat("a", 30)), tmpl("cn", {pos(repeat("b", 20))})}),
                                  BlockQuote{Attr{}, {P(repeat("q", 10))}}}),
                          kNoRoles);
    ASSERT_TRUE(r);
    EXPECT_EQ(texts(r->document.blocks), (std::vector<std::string>{repeat("a", 30), "BlockQuote"}));
}

TEST(ConvertTree, NothingLeftAfterCleanUpGivesNoResult) {
    EXPECT_FALSE(convert_tree(doc_of({P(Inlines{tmpl("cn", {pos(repeat("x", 80))})})}), kNoRoles));
    EXPECT_FALSE(convert_tree(doc_of({H(2, "External links"), P(repeat("x", 80))}), kNoRoles));
}

TEST(ConvertTree, FootnotesGoAndDiagnosticsBecomeWarnings) {
    Document d = doc_of({P(Inlines{T(repeat("a", 60)), FootnoteRef{"n"}})});
    d.footnotes.push_back(Footnote{"n", {P("note")}});
    d.metadata.push_back({"k", "v"});
    tavrel::diagnostic::Diagnostic at_line;
    at_line.location = tavrel::diagnostic::LineLocation{7, {7, 1}, {7, 3}};
    at_line.code = "unclosed";
    at_line.message = "unclosed emphasis (expected '*')";
    tavrel::diagnostic::Diagnostic nowhere;
    nowhere.message = "no place";
    d.diagnostics = {at_line, nowhere};
    auto r = convert_tree(std::move(d), kNoRoles);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->document.footnotes.empty());
    EXPECT_TRUE(r->document.diagnostics.empty());
    EXPECT_EQ(r->document.metadata.size(), 1u);
    EXPECT_EQ(r->warnings, (std::vector<std::string>{"line 7: unclosed emphasis (expected '*')", "no place"}));
    EXPECT_EQ(r->document.blocks, Blocks{P(repeat("a", 60))});
}

}  // namespace
}  // namespace corpuswright::cleanup
