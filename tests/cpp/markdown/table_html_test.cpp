// Pipe-table rows and the builder's table steps; raw HTML block openers,
// tag depth, markdown containers and the drafting passes.
#include <gtest/gtest.h>

#include "tavrel/block.hpp"

using namespace tavrel::block;
using tavrel::Options;
using tavrel::ast::Align;

namespace {

std::vector<std::string> contents(const TextRow& row) {
    std::vector<std::string> out;
    for (const auto& c : row.cells) out.push_back(c.content);
    return out;
}

using Strings = std::vector<std::string>;

// A builder holding one paragraph of the given lines, as the leaf placement
// leaves it before a delimiter row arrives.
struct TableFixture {
    Options options;
    ContainerBuilder b{options};
    explicit TableFixture(std::vector<std::string> lines) {
        b.line = lines.size() - 1;
        b.open_node(node::Paragraph{std::move(lines)});
        b.leaf_open = true;
        b.line += 1;
    }
    const node::Table* table() { return b.last_child()->as<node::Table>(); }
};

}  // namespace

TEST(TableCells, EmptyFirstAndLastCellsAndEscapes) {
    EXPECT_EQ(raw_table_cells("| a | b |"), (Strings{"", "a", "b", ""}));
    EXPECT_EQ(raw_table_cells("a|b"), (Strings{"a", "b"}));
    EXPECT_EQ(raw_table_cells(R"(| a \| b | \* |)"), (Strings{"", "a | b", R"(\*)", ""}));
    EXPECT_EQ(raw_table_cells(R"(x \)"), (Strings{R"(x \)"}));
    EXPECT_EQ(split_table_row("| a | b |"), (Strings{"a", "b"}));
    EXPECT_EQ(split_table_row("|  | b |"), (Strings{"", "b"}));
    EXPECT_FALSE(split_table_row("no pipes"));
}

TEST(TableCells, DelimiterCells) {
    EXPECT_EQ(delimiter_align("---"), Align::Default);
    EXPECT_EQ(delimiter_align(":-"), Align::Left);
    EXPECT_EQ(delimiter_align("-:"), Align::Right);
    EXPECT_EQ(delimiter_align(" :---: "), Align::Center);
    EXPECT_FALSE(delimiter_align("::"));
    EXPECT_FALSE(delimiter_align("-a-"));
    EXPECT_FALSE(delimiter_align(""));
}

TEST(TableBuilder, HeaderDelimiterAlignmentsAndPadding) {
    TableFixture f({"| a | b |"});
    ASSERT_TRUE(f.b.convert_paragraph_to_table("| --- | :-: |"));
    const auto* t = f.table();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->aligns, (std::vector<Align>{Align::Default, Align::Center}));
    EXPECT_TRUE(t->leading_pipe);
    EXPECT_EQ(contents(t->head[0]), (Strings{"a", "b"}));
    EXPECT_EQ(t->head[0].cells[1].align, Align::Center);

    f.b.append_table_row("| x |");
    f.b.append_table_row("| 1 | 2 | 3 |");
    ASSERT_EQ(t->body.size(), 2u);
    EXPECT_EQ(contents(t->body[0]), (Strings{"x", ""}));
    EXPECT_EQ(contents(t->body[1]), (Strings{"1", "2"}));
    EXPECT_EQ(t->body[0].cells[1].align, Align::Center);
}

TEST(TableBuilder, HeaderWithoutLeadingPipeKeepsBodyFirstEmptyCell) {
    TableFixture f({"a | b"});
    ASSERT_TRUE(f.b.convert_paragraph_to_table("--|--"));
    f.b.append_table_row("| w | z |");
    EXPECT_EQ(contents(f.table()->body[0]), (Strings{"", "w"}));
}

TEST(TableBuilder, MismatchedOrInvalidDelimiterRowIsNoTable) {
    TableFixture one({"| a |"});
    EXPECT_FALSE(one.b.convert_paragraph_to_table("| --- | --- |"));
    EXPECT_TRUE(one.b.last_child()->is<node::Paragraph>());

    TableFixture colons({"| a |"});
    EXPECT_FALSE(colons.b.convert_paragraph_to_table("| :: |"));
}

TEST(TableBuilder, HeaderThatIsNotTheParagraphsFirstLine) {
    TableFixture f({"plain text", "| h |"});
    ASSERT_TRUE(f.b.convert_paragraph_to_table("| - |"));
    auto& root = f.b.nodes[0];
    ASSERT_EQ(root.children.size(), 2u);
    const auto* p = f.b.nodes[root.children[0]].as<node::Paragraph>();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->lines, (Strings{"plain text"}));
    const auto& tn = f.b.nodes[root.children[1]];
    ASSERT_TRUE(tn.is<node::Table>());
    EXPECT_EQ(tn.start_line, 1u);
    EXPECT_EQ(contents(tn.as<node::Table>()->head[0]), (Strings{"h"}));
}

// ---------------------------------------------------------------------------
// Raw HTML.

TEST(HtmlNames, TagNamesAndAttributes) {
    EXPECT_EQ(html_tag_name("<DIV class=x>"), "div");
    EXPECT_EQ(html_tag_name("</p>"), "p");
    EXPECT_FALSE(html_tag_name("<!-- x -->"));
    EXPECT_FALSE(html_tag_name("<a.b>"));
    EXPECT_EQ(valid_open_tag_attrs(" class=\"a b\" id=x "), "class=\"a b\" id=x");
    EXPECT_FALSE(valid_open_tag_attrs("class=x"));
    EXPECT_FALSE(valid_open_tag_attrs(" a='unclosed"));
    EXPECT_TRUE(valid_open_tag_attrs(" a /"));
    EXPECT_FALSE(valid_open_tag_attrs(" / a"));
}

TEST(HtmlDepth, CountsOnlyTheNamedElement) {
    std::size_t depth = 1;
    update_html_tag_depth("<div><section>", "section", depth);
    EXPECT_EQ(depth, 2u);
    update_html_tag_depth("<div>x</div>", "section", depth);
    EXPECT_EQ(depth, 2u);
    update_html_tag_depth("</SECTION></section></section>", "section", depth);
    EXPECT_EQ(depth, 0u);
    update_html_tag_depth("<section/> <!-- <section> -->", "section", depth);
    EXPECT_EQ(depth, 0u);
}

namespace {

struct HtmlFixture {
    Options options;
    ContainerBuilder b{options};
    const node::HtmlBlock* open(std::string_view line) {
        if (!b.open_html_block(line)) return nullptr;
        return b.last_child()->as<node::HtmlBlock>();
    }
};

}  // namespace

TEST(HtmlBlockOpen, BalancedDivBlocks) {
    HtmlFixture f;
    const auto* open_div = f.open("<div>");
    ASSERT_TRUE(open_div);
    const auto* bal = std::get_if<HtmlEndBalanced>(&open_div->end);
    ASSERT_TRUE(bal);
    EXPECT_EQ(bal->depth, 1u);
    EXPECT_FALSE(open_div->closed);

    const auto* same_line = f.open("<div class=\"a\">text</div>");
    ASSERT_TRUE(same_line);
    EXPECT_TRUE(same_line->closed);
    EXPECT_EQ(same_line->text, "<div class=\"a\">text</div>\n");
}

TEST(HtmlBlockOpen, OtherKinds) {
    HtmlFixture f;
    EXPECT_FALSE(f.open("<br>"));
    EXPECT_FALSE(f.open("text"));
    const auto* selfc = f.open("<div />");
    ASSERT_TRUE(selfc);
    EXPECT_TRUE(std::holds_alternative<HtmlEndBlankLine>(selfc->end));
    const auto* p = f.open("<p>para");
    ASSERT_TRUE(p);
    EXPECT_TRUE(std::holds_alternative<HtmlEndBlankLine>(p->end));
    const auto* close_div = f.open("</div>");
    ASSERT_TRUE(close_div);
    EXPECT_TRUE(std::holds_alternative<HtmlEndBlankLine>(close_div->end));

    const auto* comment = f.open("<!-- open");
    ASSERT_TRUE(comment);
    EXPECT_TRUE(std::holds_alternative<HtmlEndComment>(comment->end));
    EXPECT_FALSE(comment->closed);
    const auto* one_line = f.open("  <!-- x -->");
    ASSERT_TRUE(one_line);
    EXPECT_TRUE(one_line->closed);
    EXPECT_EQ(one_line->text, "  <!-- x -->\n");
}

TEST(MarkdownContainer, OpeningTags) {
    auto t = markdown_open_tag("<div markdown='1'>");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->name, "div");
    EXPECT_EQ(t->open_tag, "<div>");

    t = markdown_open_tag("<DIV class=\"a\" markdown=\"1\" id=b>");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->name, "div");
    EXPECT_EQ(t->open_tag, "<DIV class=\"a\" id=b>");

    EXPECT_FALSE(markdown_open_tag("<div markdown=\"0\">"));
    EXPECT_FALSE(markdown_open_tag("<div markdown = \"1\">"));
    EXPECT_FALSE(markdown_open_tag("<div markdown=\"1\"/>"));
    EXPECT_FALSE(markdown_open_tag("<span markdown=\"1\">"));
    EXPECT_FALSE(markdown_open_tag("<div markdown=\"1\">text"));
}

TEST(MarkdownContainer, RespectsNestingLimit) {
    Options o;
    o.max_block_depth = 1;
    ContainerBuilder b(o);
    EXPECT_TRUE(b.open_html_container("<div markdown=\"1\">"));
    EXPECT_EQ(b.depth(), 1u);
    EXPECT_FALSE(b.open_html_container("<div markdown=\"1\">"));
}

TEST(DraftRaw, CleaningEscapesUnknownMarkup) {
    Options o;
    ContainerBuilder b(o);
    Trace trace;
    auto d = b.draft_raw("<div>a < 1 <foo> </foo> <!DOCTYPE html> <?x?> <b title=\"a>b\">x</b></div>\n", 0, trace);
    EXPECT_EQ(d.html, "<div>a < 1 &lt;foo> &lt;/foo> &lt;!DOCTYPE html> &lt;?x?> <b title=\"a>b\">x</b></div>\n");
    EXPECT_TRUE(trace.events.empty());
    EXPECT_TRUE(d.tokens.empty());
}

TEST(DraftRaw, WritersScriptFallbackReadsBackUnchanged) {
    Options o;
    ContainerBuilder b(o);
    Trace trace;
    std::string html =
        "<p><script type=\"application/vnd.tavrel.raw\" data-format=\"wikitext\"><ref name=x/> {{y}}</script></p>\n";
    EXPECT_EQ(b.draft_raw(html, 0, trace).html, html);
}

TEST(DraftRaw, UnclosedComments) {
    Options o;
    ContainerBuilder b(o);
    Trace only;
    auto d = b.draft_raw("<!-- open\nmore\n", 3, only);
    EXPECT_EQ(d.html, "<!-- open\nmore\n-->\n");
    EXPECT_TRUE(only.events.empty());

    Trace later;
    d = b.draft_raw("<div>\nx\n<!-- open\n", 3, later);
    EXPECT_EQ(d.html, "<div>\nx\n<!-- open\n-->\n");
    ASSERT_EQ(later.events.size(), 1u);
    EXPECT_EQ(later.events[0].kind, "comment");
    EXPECT_EQ(later.events[0].closer, "-->");
    EXPECT_EQ(later.events[0].line, 5u);
}

TEST(DraftRaw, TemplateTokensOutsideMarkup) {
    Options o;
    o.template_delimiters.push_back(tavrel::TemplateDelimiter{"mustache", "{{", "}}", std::nullopt, std::nullopt, 0});
    ContainerBuilder b(o);
    Trace trace;
    std::string html = "<table>{{a}}<tr><td>{{b}}</td></tr>{{c}}<script>{{d}}</script><!-- {{e}} --><i x=\"{{f}}\">";
    auto d = b.draft_raw(html, 0, trace);
    // The script is copied with its content, and <script> is not a row tag.
    ASSERT_EQ(d.tokens.size(), 3u);
    EXPECT_EQ(d.tokens[0].name, "a");
    EXPECT_TRUE(d.tokens[0].table_context);
    EXPECT_EQ(d.html.substr(d.tokens[0].start, d.tokens[0].end - d.tokens[0].start), "{{a}}");
    EXPECT_EQ(d.tokens[1].name, "b");
    EXPECT_FALSE(d.tokens[1].table_context);
    EXPECT_EQ(d.tokens[2].name, "c");
    EXPECT_TRUE(d.tokens[2].table_context);
}

// The cleaning pass asks for the end of every known tag; tags without a ">"
// once made it rescan to the block's end for each of them.
TEST(DraftRaw, TagsWithoutAnEndCostLinearWork) {
    Options o;
    ContainerBuilder b(o);
    for (std::size_t n : {20000u, 40000u, 80000u}) {
        std::string html = "<div>\n";
        for (std::size_t k = 0; k < n; ++k) html += "<b ";
        html += "\n";
        TagEnds ends(html);
        std::size_t asked = 0;
        for (std::size_t i = html.find('<', 1); i != std::string::npos; i = html.find('<', i + 1)) {
            EXPECT_FALSE(ends.at(i)) << i;
            ++asked;
        }
        EXPECT_EQ(asked, n);
        EXPECT_LE(ends.steps(), 3 * html.size()) << n;
        Trace trace;
        EXPECT_EQ(b.draft_raw(html, 0, trace).html, html);
    }
}

// Quotes decide which ">" ends a tag: a "<" inside a quoted value of an
// unended tag still finds the ">" after it.
TEST(DraftRaw, TagEndsFollowTheQuotesOfEachTag) {
    TagEnds ends("<b a=\"<b >");
    EXPECT_FALSE(ends.at(0));
    EXPECT_EQ(ends.at(6), 9u);

    // Against a plain forward scan, on texts made of the characters that
    // matter, asked from left to right as the cleaning asks.
    auto forward = [](std::string_view s, std::size_t lt) -> std::optional<std::size_t> {
        char quote = 0;
        for (std::size_t i = lt + 1; i < s.size(); ++i) {
            if (quote) {
                if (s[i] == quote) quote = 0;
            } else if (s[i] == '"' || s[i] == '\'') {
                quote = s[i];
            } else if (s[i] == '>') {
                return i;
            }
        }
        return std::nullopt;
    };
    const std::string_view alphabet = "<<>\"'a ";
    std::uint32_t seed = 12345;
    for (int round = 0; round < 2000; ++round) {
        std::string s;
        std::size_t len = 1 + round % 40;
        for (std::size_t k = 0; k < len; ++k) {
            seed = seed * 1103515245u + 12345u;
            s.push_back(alphabet[(seed >> 16) % alphabet.size()]);
        }
        TagEnds ends(s);
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] != '<') continue;
            EXPECT_EQ(ends.at(i), forward(s, i)) << s << " at " << i;
        }
    }
}

// ---------------------------------------------------------------------------
// Fence info and trailing attributes.

using tavrel::attrs::parse_fence_info;
using tavrel::attrs::strip_trailing_attr;

TEST(FenceInfo, BracedForm) {
    auto f = parse_fence_info(" {.python #main startFrom=10} tail");
    EXPECT_EQ(f.lang, "python");
    EXPECT_EQ(f.attr.id, "main");
    EXPECT_EQ(f.attr.classes, (Strings{"python"}));
    ASSERT_EQ(f.attr.pairs.size(), 1u);
    EXPECT_EQ(f.info_text, "{.python #main startFrom=10}");
}

TEST(FenceInfo, LanguageForm) {
    auto f = parse_fence_info("python");
    EXPECT_EQ(f.lang, "python");
    EXPECT_TRUE(f.attr.empty());
    f = parse_fence_info("python {.numberLines}");
    EXPECT_EQ(f.attr.classes, (Strings{"python", "numberLines"}));
    f = parse_fence_info("`python`");
    EXPECT_EQ(f.lang, "python");
    EXPECT_EQ(f.info_text, "`python`");
    f = parse_fence_info(R"(c\+\+)");
    EXPECT_EQ(f.lang, "c++");
    f = parse_fence_info("&lt;x&gt;");
    EXPECT_EQ(f.lang, "<x>");
    EXPECT_FALSE(parse_fence_info("   ").lang);
}

TEST(FenceInfo, ShorthandForm) {
    auto f = parse_fence_info(".python");
    EXPECT_EQ(f.lang, "python");
    EXPECT_EQ(f.attr.classes, (Strings{"python"}));
    f = parse_fence_info(".python{#x}");
    EXPECT_EQ(f.attr.id, "x");
    f = parse_fence_info(".python {#x}");
    EXPECT_EQ(f.attr.id, "x");
    EXPECT_EQ(f.lang, "python");
    f = parse_fence_info(".python more");
    EXPECT_EQ(f.lang, ".python");
    EXPECT_TRUE(f.attr.empty());
}

TEST(TrailingAttrs, HeadingTexts) {
    auto [t1, a1] = strip_trailing_attr("Intro {#x}");
    EXPECT_EQ(t1, "Intro");
    EXPECT_EQ(a1.id, "x");
    auto [t2, a2] = strip_trailing_attr("two {plain words}");
    EXPECT_EQ(t2, "two {plain words}");
    EXPECT_TRUE(a2.empty());
    EXPECT_EQ(strip_trailing_attr("open { .x").first, "open { .x");
    EXPECT_EQ(strip_trailing_attr(R"(esc \{.x})").first, R"(esc \{.x})");
    auto [t3, a3] = strip_trailing_attr("a {.one} {.two}");
    EXPECT_EQ(t3, "a {.one}");
    EXPECT_EQ(a3.classes, (Strings{"two"}));
    auto [t4, a4] = strip_trailing_attr("{: .c}");
    EXPECT_EQ(t4, "");
    EXPECT_EQ(a4.classes, (Strings{"c"}));
    EXPECT_EQ(strip_trailing_attr("{:}").first, "{:}");
}

TEST(TrailingAttrs, QuotesDoNotHideTheBlock) {
    // An apostrophe in ordinary text, and a brace inside a quoted value.
    auto [t1, a1] = strip_trailing_attr("Don't stop {.x}");
    EXPECT_EQ(t1, "Don't stop");
    EXPECT_EQ(a1.classes, (Strings{"x"}));
    auto [t2, a2] = strip_trailing_attr("t {k=\"a}b\"}");
    EXPECT_EQ(t2, "t");
    ASSERT_EQ(a2.pairs.size(), 1u);
    EXPECT_EQ(a2.pairs[0].second, "a}b");
}

// ---------------------------------------------------------------------------
// The builder's open-leaf flag.

TEST(Builder, RefreshLeafOpenOnlyClears) {
    Options o;
    ContainerBuilder b(o);
    b.open_node(node::Paragraph{{"text"}});
    b.leaf_open = false;
    b.refresh_leaf_open();
    EXPECT_FALSE(b.leaf_open);  // a paragraph below does not reopen it

    b.leaf_open = true;
    b.refresh_leaf_open();
    EXPECT_TRUE(b.leaf_open);
    b.open_node(node::ThematicBreak{});
    b.refresh_leaf_open();
    EXPECT_FALSE(b.leaf_open);

    b.open_node(node::FencedCode{"", "", 3, 0, '`', true});
    b.leaf_open = true;
    b.refresh_leaf_open();
    EXPECT_FALSE(b.leaf_open);  // a closed fence takes no line
}

TEST(Builder, AttributeKindsAndOpenNodeLinks) {
    EXPECT_TRUE(span_kind_accepts_attrs("code_block"));
    EXPECT_TRUE(span_kind_accepts_attrs("definition_list"));
    EXPECT_FALSE(span_kind_accepts_attrs("footnote_def"));
    EXPECT_FALSE(span_kind_accepts_attrs("html_block"));
    EXPECT_FALSE(span_kind_accepts_attrs("template_token"));

    Options o;
    ContainerBuilder b(o);
    b.line = 7;
    std::size_t q = b.open_node(node::BlockQuote{});
    b.open.push_back(q);
    std::size_t p = b.open_node(node::Paragraph{{"x"}});
    EXPECT_EQ(b.nodes[0].children, std::vector<std::size_t>{q});
    EXPECT_EQ(b.nodes[q].children, std::vector<std::size_t>{p});
    EXPECT_EQ(b.nodes[p].start_line, 7u);
    EXPECT_EQ(b.depth(), 1u);
}
