#include <gtest/gtest.h>

#include "tavrel/ast.hpp"

namespace ast = tavrel::ast;

namespace {

ast::Inlines text(const char* s) { return {ast::Text{s}}; }

ast::Table sample_table() {
    ast::Table t;
    t.attr = ast::Attr::with_class("wikitable");
    t.aligns = {ast::Align::Left, ast::Align::Right};
    ast::TableRow head;
    head.cells.push_back({{}, text("h1"), ast::Align::Default});
    head.cells.push_back({{}, text("h2"), ast::Align::Center});
    t.head.push_back(head);
    ast::TableRow body;
    body.cells.push_back({{}, {ast::Emph{{}, text("b1")}}, ast::Align::Default});
    t.body.push_back(body);
    t.body.push_back(body);
    ast::TableRow foot;
    foot.cells.push_back({{}, text("f"), ast::Align::Right});
    t.foot.push_back(foot);
    t.caption = text("cap");
    t.interludes.emplace_back(1, ast::Inline{ast::TemplateTokenInline{{"t", "{{x}}", "x", "x", {}}}});
    return t;
}

}  // namespace

TEST(Tree, KindsAreNumberedInDeclarationOrder) {
    EXPECT_EQ(static_cast<int>(ast::Block(ast::FormatBlock{}).kind()), 14);
    EXPECT_EQ(static_cast<int>(ast::Block(ast::TemplateTokenBlock{}).kind()), 12);
    EXPECT_EQ(static_cast<int>(ast::Inline(ast::RawInline{}).kind()), 20);
    EXPECT_EQ(static_cast<int>(ast::Inline(ast::Operation{}).kind()), 14);
    EXPECT_EQ(ast::kind_name(ast::Inline(ast::Note{}).kind()), "Note");
    EXPECT_EQ(ast::kind_name(ast::Block(ast::MathBlock{}).kind()), "MathBlock");
}

TEST(Tree, DeepCopyOfTableKeepsEverythingAndSharesNothing) {
    ast::Block original(sample_table());
    ast::Block copy = original;
    EXPECT_EQ(copy, original);
    const auto* t = copy.as<ast::Table>();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->aligns, (std::vector<ast::Align>{ast::Align::Left, ast::Align::Right}));
    EXPECT_EQ(t->head.size(), 1u);
    EXPECT_EQ(t->body.size(), 2u);
    EXPECT_EQ(t->foot.size(), 1u);
    EXPECT_EQ(t->head[0].cells[1].align, ast::Align::Center);
    ASSERT_EQ(t->interludes.size(), 1u);
    EXPECT_EQ(t->interludes[0].first, 1u);
    // Changing the copy leaves the original alone.
    copy.as<ast::Table>()->body[0].cells[0].content[0].as<ast::Emph>()->content[0] = ast::Text{"changed"};
    copy.as<ast::Table>()->caption.clear();
    EXPECT_NE(copy, original);
    EXPECT_EQ(original.as<ast::Table>()->caption.size(), 1u);
    EXPECT_EQ(original.as<ast::Table>()->body[0].cells[0].content[0].as<ast::Emph>()->content[0],
              ast::Inline(ast::Text{"b1"}));
}

// Paragraphs of many tiny inlines (a word per line, a run of emphasised
// letters) cost a node per byte or two of input: every node is the size of
// the largest kind held in place, so the large kinds must stay boxed.
TEST(Tree, InlineNodeIsAsSmallAsText) {
    EXPECT_LE(sizeof(ast::Inline), sizeof(ast::Text) + sizeof(void*));
    // A page of one-line lists holds a list and a paragraph block per line.
    EXPECT_LE(sizeof(ast::Block), sizeof(ast::List) + sizeof(void*));
    // A node moved from may still be assigned to and destroyed.
    ast::Inline link(ast::Link{{}, text("a"), "u", std::nullopt});
    ast::Inline taken(std::move(link));
    link = ast::Inline(ast::Link{{}, text("b"), "v", "t"});
    EXPECT_EQ(link.as<ast::Link>()->title, "t");
    EXPECT_EQ(taken.as<ast::Link>()->url, "u");
}

TEST(Tree, BlockAttrAccessor) {
    ast::Block p(ast::Paragraph{ast::Attr::with_class("x"), {}});
    ASSERT_NE(p.attr(), nullptr);
    EXPECT_EQ(p.attr()->classes[0], "x");
    EXPECT_EQ(ast::Block(ast::HtmlBlock{}).attr(), nullptr);
    EXPECT_EQ(ast::Block(ast::RawBlock{}).attr(), nullptr);
}

// Hostile pages can nest far deeper than any stack; dropping such a tree
// must not recurse per level.
TEST(Tree, DestroyingVeryDeepTreesDoesNotRecurse) {
    constexpr int kDepth = 200000;
    {
        ast::Block quote(ast::Paragraph{{}, text("leaf")});
        for (int i = 0; i < kDepth; ++i) {
            ast::BlockQuote q;
            q.blocks.push_back(std::move(quote));
            quote = ast::Block(std::move(q));
        }
        // Walk down iteratively to check the tree really is that deep.
        int depth = 0;
        for (const ast::Block* b = &quote; b->is<ast::BlockQuote>(); b = &b->as<ast::BlockQuote>()->blocks[0]) ++depth;
        EXPECT_EQ(depth, kDepth);
        ast::Document doc;
        doc.blocks.push_back(std::move(quote));
        ast::Document copy_target;
        EXPECT_EQ(doc.blocks.size(), 1u);
    }
    {
        ast::Inline emph(ast::Text{"leaf"});
        for (int i = 0; i < kDepth; ++i) {
            ast::Emph e;
            e.content.push_back(std::move(emph));
            emph = ast::Inline(std::move(e));
        }
        ast::Operation op;
        ast::OperationArg arg;
        arg.value.push_back(std::move(emph));  // a braced list would copy
        op.args.push_back(std::move(arg));
        ast::Inline holder(std::move(op));
    }
    {
        ast::Block list(ast::Paragraph{});
        for (int i = 0; i < kDepth; ++i) {
            ast::List l;
            l.items.push_back({{}, {}, std::nullopt});
            l.items.back().blocks.push_back(std::move(list));
            list = ast::Block(std::move(l));
        }
    }
}

TEST(Tree, DebugStringShowsStructure) {
    ast::Document doc;
    ast::Paragraph p;
    p.attr.set_pair("id", "a");
    p.content = {ast::Text{"x\"y"}, ast::SoftBreak{}, ast::Strong{{}, text("b")}};
    doc.blocks.push_back(std::move(p));
    doc.footnotes.push_back({"n1", {ast::Paragraph{{}, text("fn")}}});
    EXPECT_EQ(ast::debug_string(doc),
              "Paragraph {#\"a\"}\n"
              "  Text \"x\\\"y\"\n"
              "  SoftBreak\n"
              "  Strong\n"
              "    Text \"b\"\n"
              "Footnote \"n1\"\n"
              "  Paragraph\n"
              "    Text \"fn\"\n");
}
