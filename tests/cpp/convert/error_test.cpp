// The product error value: how its chain of context reads and how results
// carry it through early returns.
#include "corpuswright/error.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace corpuswright {
namespace {

TEST(Error, ChainReadsOutermostFirst) {
    Error e("unable to open database file", ErrorKind::Database);
    std::move(e).context("opening wiki metadata /x/y.db");
    EXPECT_EQ(e.message(), "opening wiki metadata /x/y.db: unable to open database file");
    EXPECT_EQ(e.outermost(), "opening wiki metadata /x/y.db");
    EXPECT_EQ(e.cause(), "unable to open database file");
    EXPECT_EQ(e.kind(), ErrorKind::Database);

    e.context("building stage 1");
    ASSERT_EQ(e.chain().size(), 3u);
    EXPECT_EQ(e.chain()[0], "building stage 1");
    EXPECT_EQ(e.chain()[2], "unable to open database file");
    EXPECT_EQ(e.message(), "building stage 1: opening wiki metadata /x/y.db: unable to open database file");
}

TEST(Error, SingleMessageHasNoSeparator) {
    EXPECT_EQ(Error("no such table: redirect").message(), "no such table: redirect");
}

Result<int> parse_digit(char c) {
    if (c < '0' || c > '9') return Error(std::string("not a digit: ") + c, ErrorKind::Invalid);
    return c - '0';
}

Result<int> sum_two(const char* s) {
    CW_TRY_ASSIGN(int a, parse_digit(s[0]));
    CW_TRY_ASSIGN(int b, parse_digit(s[1]));
    return a + b;
}

Result<void> check_two(const char* s) {
    CW_TRY(sum_two(s));
    return Ok{};
}

TEST(Result, EarlyReturnsCarryTheFirstError) {
    auto good = sum_two("34");
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 7);

    auto bad = sum_two("3x");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message(), "not a digit: x");
    EXPECT_EQ(bad.error().kind(), ErrorKind::Invalid);

    EXPECT_TRUE(check_two("12").ok());
    auto v = check_two("a2").context("checking \"a2\"");
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.error().message(), "checking \"a2\": not a digit: a");
}

TEST(Result, ContextLeavesSuccessAlone) {
    auto r = parse_digit('5').context("never shown");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 5);
}

Result<std::string> name_of(int i) {
    if (i < 0) return Error("negative");
    return "item";  // converted to the value type
}

TEST(Result, ConvertsFromWhatTheValueIsMadeOf) {
    EXPECT_EQ(*name_of(1), "item");
    EXPECT_EQ(name_of(-1).error().message(), "negative");
}

TEST(Result, HoldsMoveOnlyValues) {
    Result<std::unique_ptr<int>> r(std::make_unique<int>(9));
    ASSERT_TRUE(r);
    std::unique_ptr<int> p = std::move(r).value();
    EXPECT_EQ(*p, 9);
}

}  // namespace
}  // namespace corpuswright
