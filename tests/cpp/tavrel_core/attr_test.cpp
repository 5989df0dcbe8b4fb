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
