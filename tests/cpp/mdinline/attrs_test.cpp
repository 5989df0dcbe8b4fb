// Braced attribute blocks, raw markers and link labels.
#include <gtest/gtest.h>

#include <string>

#include "tavrel/attrs.hpp"

using namespace tavrel;
using tavrel::attrs::parse_attrs_body;
using tavrel::attrs::parse_braced_attr;

namespace {

ast::Attr body(std::string_view b) { return parse_attrs_body(b); }

}  // namespace

TEST(AttrBody, ShorthandAndPairs) {
    ast::Attr a = body("#main .note .wide lang=en");
    EXPECT_EQ(a.id, "main");
    EXPECT_EQ(a.classes, (std::vector<std::string>{"note", "wide"}));
    ASSERT_EQ(a.pairs.size(), 1u);
    EXPECT_EQ(a.pairs[0], (std::pair<std::string, std::string>{"lang", "en"}));

    auto colon = parse_braced_attr("{: #main .note .wide lang=en}");
    ASSERT_TRUE(colon);
    EXPECT_EQ(colon->attr, a);
    auto plain = parse_braced_attr("{#main .note .wide lang=en} tail");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->attr, a);
    EXPECT_EQ(plain->len, 27u);
}

TEST(AttrBody, OneShorthandWordAndRepeatedIds) {
    ast::Attr a = body(".a.b#c");
    EXPECT_EQ(a.id, "c");
    EXPECT_EQ(a.classes, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(body("#x #y").id, "y");
    // Empty pieces are skipped; an escaped "." stays in the class.
    ast::Attr b = body("# ..k .a\\.b");
    EXPECT_FALSE(b.id);
    EXPECT_EQ(b.classes, (std::vector<std::string>{"k", "a.b"}));
}

TEST(AttrBody, Values) {
    ast::Attr a = body("title=\"a b\" amp=x&amp;y k='z' q=\"");
    ASSERT_EQ(a.pairs.size(), 4u);
    EXPECT_EQ(a.pairs[0].second, "a b");
    EXPECT_EQ(a.pairs[1].second, "x&y");
    EXPECT_EQ(a.pairs[2].second, "z");
    // A lone quote opens a quote that runs to the end; the value keeps it.
    EXPECT_EQ(a.pairs[3].second, "\"");
    // Words without "=", with an empty key or with a quote in the key that
    // no backslash escapes are dropped; id/class keys route.
    ast::Attr b = body("word =v \"=\" id=i a'b'=1 class=\"p q p\" k=\\\"v\\\" \"k\"=2");
    EXPECT_EQ(b.id, "i");
    EXPECT_EQ(b.classes, (std::vector<std::string>{"p", "q"}));
    ASSERT_EQ(b.pairs.size(), 1u);
    EXPECT_EQ(b.pairs[0].second, "\"v\"");
    EXPECT_TRUE(body("").empty());
    // An escaped quote stays in the key, backslash and all, as after an inline.
    ast::Attr c = body("a\\\"b=1");
    ASSERT_EQ(c.pairs.size(), 1u);
    EXPECT_EQ(c.pairs[0].first, "a\\\"b");
}

TEST(BracedAttr, ClosingBraceInsideQuotesOrEscaped) {
    auto a = parse_braced_attr("{k=\"a}b\"}rest");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->len, 9u);
    EXPECT_EQ(a->attr.pairs[0].second, "a}b");
    auto b = parse_braced_attr("{.c k=a\\}b}x");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->attr.pairs[0].second, "a}b");
    EXPECT_FALSE(parse_braced_attr("{.c k=\"open}"));
}

TEST(BracedAttr, NotAttributeBlocks) {
    EXPECT_FALSE(parse_braced_attr("{}"));
    EXPECT_FALSE(parse_braced_attr("{   }"));
    EXPECT_FALSE(parse_braced_attr("{:}"));
    EXPECT_FALSE(parse_braced_attr("{: }"));
    EXPECT_FALSE(parse_braced_attr("{=html}"));
    EXPECT_FALSE(parse_braced_attr("{some words}"));
    EXPECT_FALSE(parse_braced_attr("{=x y}"));
    EXPECT_FALSE(parse_braced_attr("x{.a}"));
    // The colon form with one word without "=" is a block with no attributes.
    auto w = parse_braced_attr("{:word}");
    ASSERT_TRUE(w);
    EXPECT_TRUE(w->attr.empty());
    EXPECT_EQ(w->len, 7u);
    EXPECT_TRUE(parse_braced_attr("{k=v}"));
    // Any "=" after the first character counts, also after a leading "=".
    EXPECT_TRUE(parse_braced_attr("{=a=b}"));
    EXPECT_FALSE(parse_braced_attr("{=ab}"));
    EXPECT_TRUE(tavrel::attrs::looks_like_attrs("\xC3\xA9=1", false));
    EXPECT_FALSE(tavrel::attrs::looks_like_attrs("=", false));
    EXPECT_TRUE(parse_braced_attr("{ \t.x }"));
}

TEST(RawMarker, Names) {
    auto r = tavrel::attrs::raw_attr("{=html}x");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->format, "html");
    EXPECT_EQ(r->len, 7u);
    EXPECT_TRUE(tavrel::attrs::raw_attr("{=open_xml-2}"));
    EXPECT_FALSE(tavrel::attrs::raw_attr("{=}"));
    EXPECT_FALSE(tavrel::attrs::raw_attr("{=ht ml}"));
    EXPECT_FALSE(tavrel::attrs::raw_attr("{=html"));
    EXPECT_FALSE(tavrel::attrs::raw_attr("{html}"));
}

TEST(LinkLabel, Scan) {
    auto l = tavrel::attrs::scan_link_label("[abc]def");
    ASSERT_TRUE(l);
    EXPECT_EQ(l->label, "abc");
    EXPECT_EQ(l->len, 5u);
    EXPECT_FALSE(tavrel::attrs::scan_link_label("[a[b]"));
    EXPECT_FALSE(tavrel::attrs::scan_link_label("[abc"));
    auto e = tavrel::attrs::scan_link_label("[a\\]b]");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->label, "a\\]b");
    EXPECT_EQ(e->len, 6u);
}

TEST(LinkLabel, LengthLimitCountsCharacters) {
    std::string ok(998, 'a');
    ok = "é" + ok;  // 999 characters, 1000 bytes
    EXPECT_TRUE(tavrel::attrs::scan_link_label("[" + ok + "]"));
    EXPECT_TRUE(tavrel::attrs::valid_link_label(ok, false));
    std::string bad = ok + "b";
    EXPECT_FALSE(tavrel::attrs::scan_link_label("[" + bad + "]"));
    EXPECT_FALSE(tavrel::attrs::valid_link_label(bad, false));
}

TEST(LinkLabel, Validity) {
    using tavrel::attrs::valid_link_label;
    EXPECT_TRUE(valid_link_label("a", false));
    EXPECT_FALSE(valid_link_label("", false));
    EXPECT_TRUE(valid_link_label("", true));
    EXPECT_FALSE(valid_link_label(" \t ", false));
    EXPECT_TRUE(valid_link_label("  ", true));
    EXPECT_TRUE(valid_link_label("\\", false));
    EXPECT_FALSE(valid_link_label("a]b", true));
    EXPECT_FALSE(valid_link_label("a[b", true));
    EXPECT_TRUE(valid_link_label("a\\]b", false));
}

TEST(LinkLabel, Normalize) {
    using tavrel::attrs::normalize_label;
    EXPECT_EQ(normalize_label("  Foo \t  BAR\n baz "), "foo bar baz");
    EXPECT_EQ(normalize_label("foo bar baz"), normalize_label("FOO  Bar\tBAZ"));
    // Full mappings, one character at a time; escapes and references stay.
    EXPECT_EQ(normalize_label("\xC4\xB0"), "i\xCC\x87");  // U+0130 -> i + U+0307
    EXPECT_EQ(normalize_label("\xCE\xA3"), "\xCF\x83");   // capital sigma -> small sigma
    EXPECT_EQ(normalize_label("A\\]&AMP;"), "a\\]&amp;");
    EXPECT_EQ(normalize_label("a\xE3\x80\x80" "b"), "a b");  // ideographic space
}
