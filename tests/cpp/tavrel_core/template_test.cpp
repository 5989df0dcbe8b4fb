#include <gtest/gtest.h>

#include "tavrel/template.hpp"

using tavrel::TemplateDelimiter;
using tavrel::TemplateSigils;
using tavrel::template_::line_token;
using tavrel::template_::TemplateTokenKind;
using tavrel::template_::token_at;

namespace {

TemplateDelimiter rule_a(std::string name = "A") { return {std::move(name), "{{", "}}", std::nullopt, std::nullopt, 0}; }

}  // namespace

TEST(TemplateTokens, PlainTokenAndEndOffset) {
    std::vector<TemplateDelimiter> rules{rule_a()};
    std::string text = "{{ x }} rest";
    auto m = token_at(text, 0, rules, false);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->token.source, "{{ x }}");
    EXPECT_EQ(m->token.inner, " x ");
    EXPECT_EQ(m->token.name, "x");
    EXPECT_EQ(m->token.syntax, "A");
    EXPECT_EQ(m->token.kind, TemplateTokenKind::Value);
    EXPECT_EQ(m->end, 7u);
    EXPECT_FALSE(token_at(text, 1, rules, false));
    EXPECT_FALSE(token_at("{{ open only", 0, rules, false));
    EXPECT_FALSE(token_at(text, text.size(), rules, false));
    EXPECT_FALSE(token_at(text, 0, {}, false));
}

TEST(TemplateTokens, LongestOpenerWinsAndLaterRuleBreaksTies) {
    std::vector<TemplateDelimiter> rules{rule_a(), {"triple", "{{{", "}}}", std::nullopt, std::nullopt, 0}};
    auto m = token_at("{{{v}}}", 0, rules, false);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->token.syntax, "triple");
    EXPECT_EQ(m->token.name, "v");

    std::vector<TemplateDelimiter> same{rule_a("first"), rule_a("second")};
    auto n = token_at("{{v}}", 0, same, false);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->token.syntax, "second");
}

TEST(TemplateTokens, NestingQuotesAndEscapes) {
    TemplateDelimiter r = rule_a();
    r.nesting = std::make_pair(U'{', U'}');
    std::vector<TemplateDelimiter> rules{r};
    auto m = token_at("{{a {b}} c}}", 0, rules, false);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->token.source, "{{a {b}} c}}");
    EXPECT_EQ(m->token.inner, "a {b}} c");

    auto q = token_at("{{a '}}' b}}", 0, rules, false);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->token.inner, "a '}}' b");
    EXPECT_FALSE(token_at("{{a \"}} b", 0, rules, false));
    auto e = token_at("{{a \\}} b}}", 0, rules, false);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->token.inner, "a \\}} b");
}

TEST(TemplateTokens, SigilsGiveKinds) {
    TemplateDelimiter r = rule_a();
    r.sigils = TemplateSigils{"#", "^", "/"};
    std::vector<TemplateDelimiter> rules{r};
    auto kind_and_name = [&](const char* text) {
        auto m = token_at(text, 0, rules, false);
        EXPECT_TRUE(m) << text;
        return m ? std::make_pair(m->token.kind, m->token.name) : std::make_pair(TemplateTokenKind::Value, std::string("?"));
    };
    using P = std::pair<TemplateTokenKind, std::string>;
    EXPECT_EQ(kind_and_name("{{#items}}"), (P{TemplateTokenKind::Section, "items"}));
    EXPECT_EQ(kind_and_name("{{^ items }}"), (P{TemplateTokenKind::Inverted, "items"}));
    EXPECT_EQ(kind_and_name("{{/items}}"), (P{TemplateTokenKind::End, "items"}));
    EXPECT_EQ(kind_and_name("{{#}}"), (P{TemplateTokenKind::Unknown, ""}));
    EXPECT_EQ(kind_and_name("{{!comment}}"), (P{TemplateTokenKind::Unknown, ""}));
    EXPECT_EQ(kind_and_name("{{.}}"), (P{TemplateTokenKind::Value, "."}));
    EXPECT_EQ(kind_and_name("{{  }}"), (P{TemplateTokenKind::Unknown, ""}));

    std::vector<TemplateDelimiter> plain{rule_a()};
    auto m = token_at("{{!comment}}", 0, plain, false);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->token.kind, TemplateTokenKind::Value);
    EXPECT_EQ(m->token.name, "!comment");
}

TEST(TemplateTokens, PlacementAndLineTokens) {
    TemplateDelimiter block_only = rule_a("block");
    block_only.placement = 2;
    TemplateDelimiter inline_only = rule_a("inline");
    inline_only.placement = 1;
    EXPECT_FALSE(token_at("{{x}}", 0, {block_only}, false));
    EXPECT_TRUE(token_at("{{x}}", 0, {block_only}, true));
    EXPECT_FALSE(line_token("{{x}}", {inline_only}));
    TemplateDelimiter odd = rule_a("odd");
    odd.placement = 9;  // counts as both contexts
    EXPECT_TRUE(token_at("{{x}}", 0, {odd}, false));
    EXPECT_TRUE(line_token("  {{x}}\t", {odd}));

    std::vector<TemplateDelimiter> rules{rule_a()};
    auto t = line_token("   {{ name }}  ", rules);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->name, "name");
    EXPECT_EQ(t->source, "{{ name }}");
    EXPECT_FALSE(line_token("{{ name }} tail", rules));
    EXPECT_FALSE(line_token("", rules));
}
