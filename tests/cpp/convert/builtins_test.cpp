// Built-in number, unit and fraction templates, through `operation` as the
// converter meets them, with the exact code points they must produce.
#include <gtest/gtest.h>

#include "corpuswright/cleanup.hpp"
#include "tree.hpp"

namespace corpuswright::cleanup {
namespace {

using namespace cwtest;

const roles::TemplateRoles kNoRoles{};

const std::string kPlusMinus = "\u00b1";   // ±
const std::string kTimes = "\u00d7";       // ×
const std::string kEnDash = "\u2013";      // –
const std::string kNarrowNbsp = "\u202f";  // narrow no-break space
const std::string kMinus = "\u2212";       // − (minus sign)

Inlines run(Operation call) { return operation(std::move(call), kNoRoles); }

void expect_kept(const Operation& call) {
    Inlines out = run(call);
    ASSERT_EQ(out.size(), 1u) << debug_string(out);
    ASSERT_TRUE(out[0].is<Operation>()) << debug_string(out);
    EXPECT_EQ(*out[0].as<Operation>(), call);
}

TEST(Number, SignsDigitsCommasAndOneDot) {
    for (std::string s : std::vector<std::string>{"0", "12", "1,000,000", "-3", "+.5", ",5", "1.", "−1,234.5", kMinus + "3"})
        EXPECT_TRUE(number(s)) << s;
    for (std::string s : std::vector<std::string>{"", "+", "-", kMinus, "1.2.3", "1e5", "1.0.0", ".", ",", "+-1", "1 000", "١٢"})
        EXPECT_FALSE(number(s)) << s;
}

TEST(Val, PlainValuesAndUncertainties) {
    EXPECT_EQ(run(tmpl("val", {pos("1.234"), pos("0.005")})), Inlines{T("1.234 " + kPlusMinus + " 0.005")});
    EXPECT_EQ(run(tmpl("val", {pos("1.234"), pos("(5)")})), Inlines{T("1.234(5)")});
    expect_kept(tmpl("val", {pos("1.234"), pos("abc")}));
    // One value is written as given, number or not.
    EXPECT_EQ(run(tmpl("val", {pos("about 5")})), Inlines{T("about 5")});
    expect_kept(tmpl("val", {pos("1"), pos("2"), pos("3"), pos("4")}));
}

TEST(Val, ExponentsAndAsymmetricUncertaintiesAreTeX) {
    EXPECT_EQ(run(tmpl("val", {pos("6.022"), kw("e", "23"), kw("u", "mol")})),
              (Inlines{M("6.022 \\times 10^{23}"), T(" mol")}));
    EXPECT_EQ(run(tmpl("val", {pos("6.02"), kw("e", kMinus + "23")})), Inlines{M("6.02 \\times 10^{" + kMinus + "23}")});
    expect_kept(tmpl("val", {pos("6.022"), pos("2"), kw("e", "23")}));
    expect_kept(tmpl("val", {pos("6.022"), kw("e", "x")}));

    EXPECT_EQ(run(tmpl("val", {pos("5"), pos("+0.2"), pos("-0.1")})), Inlines{M("5^{+0.2}_{-0.1}")});
    expect_kept(tmpl("val", {pos("5"), pos("-0.2"), pos("+0.1")}));
    expect_kept(tmpl("val", {pos("5"), pos("+a"), pos("-0.1")}));
}

TEST(Val, ThreeValueForms) {
    EXPECT_EQ(run(tmpl("val", {pos("10"), pos("to"), pos("20"), kw("u", "m")})),
              (Inlines{T("10" + kEnDash + "20"), T(" m")}));
    EXPECT_EQ(run(tmpl("val", {pos("3"), pos(kTimes), pos("4")})), Inlines{T("3 " + kTimes + " 4")});
    EXPECT_EQ(run(tmpl("val", {pos("3"), pos("/"), pos("4")})), Inlines{T("3 / 4")});
    expect_kept(tmpl("val", {pos("10"), pos("To"), pos("20")}));
}

TEST(Val, Units) {
    EXPECT_EQ(run(tmpl("val", {pos("100"), kw("u", "m"), kw("up", "s")})), (Inlines{T("100"), T(" m/s")}));
    EXPECT_EQ(run(tmpl("val", {pos("100"), kw("up", "s")})), (Inlines{T("100"), T(" /s")}));
    EXPECT_EQ(run(tmpl("val", {pos("100"), kw("ul", "m"), kw("upl", "s"), kw("fmt", "commas")})),
              (Inlines{T("100"), T(" m/s")}));
    expect_kept(tmpl("val", {pos("100"), kw("u", "m"), kw("ul", "m")}));
    expect_kept(tmpl("val", {pos("100"), kw("up", "s"), kw("upl", "s")}));
    // An empty unit adds nothing.
    EXPECT_EQ(run(tmpl("val", {pos("100"), kw("u", "")})), Inlines{T("100")});
}

TEST(Val, RefusedArguments) {
    expect_kept(tmpl("val", {pos("5"), kw("end", "x")}));
    expect_kept(tmpl("val", {pos("")}));
    expect_kept(tmpl("val"));
    expect_kept(tmpl("val", {pos("1"), pos("")}));
}

TEST(Convert, SimpleAndRangeForms) {
    EXPECT_EQ(run(tmpl("convert", {pos("5"), pos("km"), pos("mi")})), Inlines{T("5" + kNarrowNbsp + "km")});
    EXPECT_EQ(run(tmpl("cvt", {pos("5"), pos("to"), pos("10"), pos("km")})),
              Inlines{T("5" + kEnDash + "10" + kNarrowNbsp + "km")});
    EXPECT_EQ(run(tmpl("convert", {pos("5"), pos("-"), pos("10"), pos("km")})),
              Inlines{T("5" + kEnDash + "10" + kNarrowNbsp + "km")});
    EXPECT_EQ(run(tmpl("convert", {pos("5"), pos(kEnDash), pos("10"), pos("km")})),
              Inlines{T("5" + kEnDash + "10" + kNarrowNbsp + "km")});
    EXPECT_EQ(run(tmpl("convert", {pos("5"), pos("TO"), pos("10"), pos("km")})),
              Inlines{T("5" + kEnDash + "10" + kNarrowNbsp + "km")});
    // A range that does not hold falls back to the simple form.
    EXPECT_EQ(run(tmpl("convert", {pos("5"), pos("and"), pos("10"), pos("km")})),
              Inlines{T("5" + kNarrowNbsp + "and")});
    EXPECT_EQ(run(tmpl("convert", {pos("5"), pos("to"), pos("x"), pos("km")})), Inlines{T("5" + kNarrowNbsp + "to")});
}

TEST(Convert, RefusedArguments) {
    EXPECT_EQ(run(tmpl("convert", {pos("5"), pos("km"), kw("abbr", "on"), kw("sigfig", "2")})),
              Inlines{T("5" + kNarrowNbsp + "km")});
    expect_kept(tmpl("convert", {pos("5"), pos("km"), kw("foo", "1")}));
    expect_kept(tmpl("convert", {pos("5")}));
    expect_kept(tmpl("cvt", {pos("abc"), pos("km")}));
    expect_kept(tmpl("cvt", {pos("5"), pos("")}));
    expect_kept(tmpl("cvt", {kw("2", "km"), pos("x")}));
}

TEST(Frac, OneTwoAndThreeParts) {
    EXPECT_EQ(run(tmpl("frac", {pos("2")})), Inlines{T("1/2")});
    EXPECT_EQ(run(tmpl("frac", {pos("3"), pos("4")})), Inlines{T("3/4")});
    EXPECT_EQ(run(tmpl("sfrac", {pos("1"), pos("3"), pos("4")})), Inlines{T("1 3/4")});
    // No value is checked to be a number.
    EXPECT_EQ(run(tmpl("frac", {pos("a"), pos("b")})), Inlines{T("a/b")});
    expect_kept(tmpl("frac", {pos("1"), pos("2"), pos("3"), pos("4")}));
    expect_kept(tmpl("sfrac", {pos("1"), pos("2"), kw("role", "x")}));
    expect_kept(tmpl("frac"));
    expect_kept(tmpl("frac", {pos("1"), pos("")}));
}

}  // namespace
}  // namespace corpuswright::cleanup
