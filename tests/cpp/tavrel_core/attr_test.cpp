#include <gtest/gtest.h>

#include "tavrel/ast.hpp"

using tavrel::ast::Attr;

TEST(Attr, ClassValueIsSplitOnWhiteSpaceWithoutDuplicates) {
    Attr a;
    a.set_pair("class", "a   b\t\u00A0a  ");
    EXPECT_EQ(a.classes, (std::vector<std::string>{"a", "b"}));
    // U+2003 EM SPACE is White_Space too.
    a.set_pair("class", "c\u2003b d");
    EXPECT_EQ(a.classes, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_TRUE(a.pairs.empty());
}

TEST(Attr, EmptyOrBlankClassValueChangesNothing) {
    Attr a;
    a.set_pair("class", "");
    a.set_pair("class", "  \n ");
    a.push_class("");
    EXPECT_TRUE(a.empty());
}

TEST(Attr, IdIsPresentEvenWhenEmptyAndReplaced) {
    Attr a;
    a.set_pair("id", "");
    ASSERT_TRUE(a.id.has_value());
    EXPECT_EQ(*a.id, "");
    EXPECT_FALSE(a.empty());
    a.set_pair(std::string("id"), std::string("x"));
    EXPECT_EQ(*a.id, "x");
    EXPECT_TRUE(a.pairs.empty());
}

TEST(Attr, PairsKeepFirstInsertionPlace) {
    Attr a;
    a.set_pair("k", "1");
    a.set_pair(std::string("j"), std::string("2"));
    a.set_pair("k", "3");
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(a.pairs, (std::vector<P>{{"k", "3"}, {"j", "2"}}));
    // Keys are case-sensitive: "ID" and "Class" are ordinary pairs.
    a.set_pair("ID", "u");
    a.set_pair(std::string("Class"), std::string("v"));
    EXPECT_FALSE(a.id.has_value());
    EXPECT_TRUE(a.classes.empty());
    EXPECT_EQ(a.pairs.size(), 4u);
    ASSERT_NE(a.get("ID"), nullptr);
    EXPECT_EQ(*a.get("ID"), "u");
    EXPECT_EQ(a.get("missing"), nullptr);
}

TEST(Attr, OwnedClassEntryPointRoutesLikeBorrowed) {
    Attr a;
    a.set_pair(std::string("class"), std::string("x y x"));
    EXPECT_EQ(a.classes, (std::vector<std::string>{"x", "y"}));
    a.push_class(std::string("y"));
    a.push_class(std::string("z"));
    EXPECT_EQ(a.classes, (std::vector<std::string>{"x", "y", "z"}));
}

TEST(Attr, MergeKeepsIdWhenOtherHasNoneAndReplacesPairsInPlace) {
    Attr a;
    a.set_pair("id", "mine");
    a.push_class("c1");
    a.set_pair("k", "1");
    a.set_pair("j", "2");
    Attr b;
    b.push_class("c1");
    b.push_class("c2");
    b.set_pair("j", "20");
    b.set_pair("n", "3");
    a.merge(b);
    EXPECT_EQ(*a.id, "mine");
    EXPECT_EQ(a.classes, (std::vector<std::string>{"c1", "c2"}));
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(a.pairs, (std::vector<P>{{"k", "1"}, {"j", "20"}, {"n", "3"}}));
    // The source of a merge is left as it was.
    EXPECT_EQ(b.classes.size(), 2u);
    Attr c;
    c.set_pair("id", "theirs");
    a.merge(c);
    EXPECT_EQ(*a.id, "theirs");
}

TEST(Attr, WithClass) {
    EXPECT_TRUE(Attr::with_class("").empty());
    Attr a = Attr::with_class("wikitable");
    EXPECT_EQ(a.classes, (std::vector<std::string>{"wikitable"}));
    EXPECT_FALSE(a.id.has_value());
    EXPECT_TRUE(a.pairs.empty());
}

// The builder adds by the same rules as the Attr's own methods, whatever the
// size of the lists it finds classes and keys in.
TEST(AttrBuilder, AddsAsTheAttrsOwnMethods) {
    for (std::size_t n : {3, 40, 2000}) {
        Attr by_attr, built;
        tavrel::ast::AttrBuilder builder(built);
        for (std::size_t i = 0; i < n; ++i) {
            const std::string k = std::to_string(i % (n / 3 + 1));  // each met about three times
            by_attr.push_class("c" + k);
            builder.push_class("c" + k);
            by_attr.set_pair("k" + k, std::to_string(i));
            builder.set_pair(std::string("k" + k), std::to_string(i));
            Attr other;
            other.set_pair("class", "d" + k + " c" + k + " e");
            other.set_pair("j" + k, "v");
            if (i % 7 == 0) other.set_pair("id", k);
            by_attr.merge(other);
            builder.merge(other);
        }
        by_attr.set_pair("class", "x c0 y");
        builder.set_pair("class", "x c0 y");
        EXPECT_EQ(built, by_attr) << n;
        ASSERT_NE(builder.value_of("k0"), nullptr);
        EXPECT_EQ(*builder.value_of("k0"), *by_attr.get("k0"));
        EXPECT_EQ(builder.value_of("missing"), nullptr);
    }
}

// Many distinct classes and keys given one at a time: the entries looked at
// grow with their number, not with its square.
TEST(AttrBuilder, ManyDistinctEntriesCostLinearWork) {
    const std::size_t n = 50000;
    Attr attr;
    tavrel::ast::AttrBuilder builder(attr);
    for (std::size_t i = 0; i < n; ++i) {
        builder.merge(Attr::with_class("c" + std::to_string(i)));
        builder.set_pair("k" + std::to_string(i), "v");
        builder.push_class("c" + std::to_string(i / 2));  // present already
    }
    EXPECT_EQ(attr.classes.size(), n);
    EXPECT_EQ(attr.pairs.size(), n);
    EXPECT_LT(builder.steps(), 30 * n);
}
