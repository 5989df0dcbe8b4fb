// Template call rules: what each family of calls becomes, in the order the
// rules are tried, and the argument sorting they rest on.
#include <gtest/gtest.h>

#include "corpuswright/cleanup.hpp"
#include "metadata_db.hpp"
#include "tree.hpp"

namespace corpuswright::cleanup {
namespace {

using namespace cwtest;
using roles::TemplateRoles;

const TemplateRoles kNoRoles{};

Inlines run(Operation call, const TemplateRoles& roles = kNoRoles) { return operation(std::move(call), roles); }

// The call came back unchanged, as the only inline.
void expect_kept(const Operation& call, const TemplateRoles& roles = kNoRoles) {
    Inlines out = run(call, roles);
    ASSERT_EQ(out.size(), 1u) << debug_string(out);
    const Operation* op = out[0].as<Operation>();
    ASSERT_NE(op, nullptr) << debug_string(out);
    EXPECT_EQ(*op, call);
}

void expect_gone(const Operation& call, const TemplateRoles& roles = kNoRoles) {
    Inlines out = run(call, roles);
    EXPECT_TRUE(out.empty()) << call.name << ": " << debug_string(out);
}

void expect_text(const Operation& call, const std::string& text, const TemplateRoles& roles = kNoRoles) {
    EXPECT_EQ(run(call, roles), Inlines{T(text)}) << call.name;
}

// --- argument sorting -----------------------------------------------------------

TEST(Args, SortsPositionalNumberedAndNamedArguments) {
    std::vector<OperationArg> a_list{pos("a"), kw(" Key ", "v"), kw("3", "c"), pos("b")};
    auto a = args(a_list);
    ASSERT_TRUE(a);
    ASSERT_EQ(a->positional.size(), 4u);
    EXPECT_EQ(*a->positional[0], Ts("a"));
    EXPECT_FALSE(a->positional[1]);
    EXPECT_EQ(*a->positional[2], Ts("c"));
    // The unnamed "b" lands after the highest position filled so far.
    EXPECT_EQ(*a->positional[3], Ts("b"));
    ASSERT_TRUE(a->find("key"));
    EXPECT_EQ(*a->find("key"), Ts("v"));
    EXPECT_EQ(named(*a, "key"), "v");
    EXPECT_FALSE(named(*a, "Key"));

    std::vector<OperationArg> b_list{kw("2", "b"), pos("c")};
    auto b = args(b_list);
    ASSERT_TRUE(b);
    ASSERT_EQ(b->positional.size(), 3u);
    EXPECT_FALSE(b->positional[0]);
    EXPECT_EQ(*b->positional[1], Ts("b"));
    EXPECT_EQ(*b->positional[2], Ts("c"));
    EXPECT_FALSE(values(b->positional));

    std::vector<OperationArg> plus_list{kw("+1", "x")};
    auto plus = args(plus_list);
    ASSERT_TRUE(plus);
    EXPECT_EQ(plus->positional.size(), 1u);

    // Not positions: a minus sign, a lone sign, a number past 64 bits.
    std::vector<OperationArg> others_list{kw("-1", "x"), kw("+", "y"), kw("18446744073709551616", "z")};
    auto others = args(others_list);
    ASSERT_TRUE(others);
    EXPECT_TRUE(others->positional.empty());
    EXPECT_EQ(others->by_name.size(), 3u);
}

TEST(Args, InconsistentArgumentsFail) {
    EXPECT_FALSE(args({pos("a"), kw("1", "b")}));          // position 1 twice
    EXPECT_FALSE(args({kw("A", "1"), kw("a", "2")}));      // key twice after lower-casing
    EXPECT_FALSE(args({kw("5", "x")}));                    // past the one argument
    EXPECT_FALSE(args({kw("0", "x"), pos("y")}));          // position 0
    EXPECT_TRUE(args({kw("2", "x"), pos("y")}));           // 2 of 2 arguments
    EXPECT_TRUE(args({}));
    // Among many keys, a repeat is found wherever it stands.
    std::vector<OperationArg> many;
    for (int k = 0; k < 40; ++k) many.push_back(kw("k" + std::to_string(k), "v"));
    EXPECT_TRUE(args(many));
    for (std::size_t at : {std::size_t{0}, std::size_t{17}, many.size()}) {
        std::vector<OperationArg> repeated = many;
        repeated.insert(repeated.begin() + static_cast<std::ptrdiff_t>(at), kw(" K9 ", "again"));
        EXPECT_FALSE(args(repeated)) << at;
    }
}

TEST(Args, ValuesAreTrimmedPlainText) {
    Inlines v{T("  a "), Emph{Attr{}, Ts("b")}, SoftBreak{}};
    std::vector<OperationArg> list{pos(v)};
    auto a = args(list);
    ASSERT_TRUE(a);
    EXPECT_EQ(values(a->positional), (std::vector<std::string>{"a b"}));
    EXPECT_EQ(values({}), std::vector<std::string>{});
    EXPECT_TRUE(only_named(*a, "anything"));
}

// --- rules in order -------------------------------------------------------------

TEST(Operation, OtherSystemsAndKindsAreKept) {
    Operation other = tmpl("ndash");
    other.system = "jinja";
    expect_kept(other);
    expect_kept(Operation{"mediawiki", "parameter", "1", {pos("default")}});
    expect_kept(Operation{"mediawiki", "invoke", "Mod", {pos("fn")}});
    expect_kept(fn("if", {pos("a")}));
}

TEST(Operation, TagFunctions) {
    EXPECT_EQ(run(fn("tag", {pos("math"), pos("x^2"), kw("display", "block")})), Inlines{M("x^2", true)});
    EXPECT_EQ(run(fn("TAG", {pos(" Math "), pos("x^2"), kw("display", "BLOCK")})), Inlines{M("x^2", true)});
    EXPECT_EQ(run(fn("tag", {pos("math"), pos("x^2"), kw("display", "inline")})), Inlines{M("x^2")});
    EXPECT_EQ(run(fn("tag", {pos("math"), pos("x^2")})), Inlines{M("x^2")});
    expect_kept(fn("tag", {pos("math"), pos("x^2"), kw("id", "e1")}));
    expect_kept(fn("tag", {pos("math"), pos("x"), pos("y")}));

    expect_gone(fn("tag", {pos("ref"), pos("text")}));
    expect_gone(fn("tag", {pos("references")}));
    // Named keys are not looked at for span.
    EXPECT_EQ(run(fn("tag", {pos("span"), pos("x"), kw("style", "color:red")})), Ts("x"));
    expect_kept(fn("tag", {pos("span"), pos("x"), pos("y")}));
    expect_kept(fn("tag", {pos("div"), pos("x")}));
    expect_kept(fn("tag"));                                    // no values
    expect_kept(fn("tag", {pos("math"), pos("a"), kw("1", "b")}));  // inconsistent
}

TEST(Operation, FormatnumGivesItsNumberUnchanged) {
    expect_text(tmpl("formatnum:1234567"), "1234567");
    expect_text(tmpl(" FORMATNUM: 12 ", {pos("ignored")}), "12");
}

TEST(Operation, RemovalByKeyNeedsNoRoles) {
    expect_gone(tmpl("DEFAULTSORT:Smith, John"));
    expect_gone(tmpl("DEFAULTCATEGORYSORT:x"));
    expect_gone(tmpl("DISPLAYTITLE:x"));
    expect_gone(tmpl("Infobox person", {kw("name", "x")}));
    expect_gone(tmpl("Infobox/doc"));
    expect_gone(tmpl("Infobox"));
    expect_gone(tmpl("Citation needed", {kw("date", "May 2020")}));
    expect_gone(tmpl("cn"));
    expect_gone(tmpl("Cite web", {kw("url", "x")}));
    expect_gone(tmpl("Template:Use_dmy_dates"));
    expect_gone(tmpl("monththisyear"));
    // Even inconsistent arguments do not save a removed template.
    expect_gone(tmpl("sfn", {pos("a"), kw("1", "b")}));
    // "Infoboxes" is not "infobox" and not "infobox " either.
    expect_kept(tmpl("Infoboxes"));
}

TEST(Operation, FixedTexts) {
    expect_text(tmpl("ndash"), "\u2013");
    expect_text(tmpl("En dash"), "\u2013");
    expect_text(tmpl("EN_DASH"), "\u2013");
    expect_text(tmpl("Em dash"), "\u2014");
    expect_text(tmpl("mdash"), "\u2014");
    expect_text(tmpl("\u2022"), "\u00a0\u2022 ");
    expect_text(tmpl("yes"), "Yes");
    expect_text(tmpl("No"), "No");
    expect_text(tmpl("yes", {kw("x", "1")}), "Yes");
    EXPECT_EQ(run(tmpl("no", {pos(Inlines{Emph{Attr{}, Ts("Partly")}})})), (Inlines{Emph{Attr{}, Ts("Partly")}}));
    expect_text(tmpl("no", {kw("2", "b"), pos("c")}), "No");  // first entry absent
}

TEST(Operation, FormattingWrappers) {
    expect_text(tmpl("nowrap", {pos("10 km")}), "10 km");
    expect_gone(tmpl("center"));
    expect_gone(tmpl("small", {pos("")}));
    // More than one positional or any named argument: on to the role rules.
    expect_kept(tmpl("nowrap", {pos("a"), pos("b")}));
    expect_kept(tmpl("small", {pos("x"), kw("y", "1")}));
    TemplateRoles roles;
    roles.unwrap.insert("Small");
    EXPECT_EQ(run(tmpl("small", {pos("x"), kw("y", "1")}), roles), (Inlines{T("x"), T("|"), T("1")}));
}

TEST(Operation, Chem2AndAnchors) {
    expect_text(tmpl("chem2", {pos("H2O")}), "H2O");
    expect_text(tmpl("chem2", {pos("H2O"), kw("link", "Water")}), "H2O");
    expect_kept(tmpl("chem2", {pos("H2O"), pos("x")}));
    expect_kept(tmpl("chem2", {kw("2", "a"), kw("link", "b")}));

    Inlines out = run(tmpl("anchor", {pos("Early life"), pos("Youth")}));
    ASSERT_EQ(out.size(), 2u);
    const Span* first = out[0].as<Span>();
    const Span* second = out[1].as<Span>();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->attr.id, "Early_life");
    EXPECT_EQ(second->attr.id, "Youth");
    EXPECT_TRUE(first->content.empty() && first->attr.classes.empty() && first->attr.pairs.empty());
    EXPECT_EQ(run(tmpl("anchor", {pos(Inlines{T("a \t b"), SoftBreak{}, T("c")})}))[0].as<Span>()->attr.id, "a_b_c");

    expect_kept(tmpl("anchor", {pos("")}));
    expect_kept(tmpl("anchor"));
    expect_kept(tmpl("anchor", {pos("a"), kw("id", "b")}));
}

TEST(Operation, LanguageTemplates) {
    expect_text(tmpl("lang-fr", {pos("Bonjour")}), "Bonjour");
    expect_text(tmpl("Lang-sr-Latn", {pos("Zdravo"), kw("links", "no")}), "Zdravo");
    expect_kept(tmpl("lang-fr", {pos("Bonjour"), kw("italic", "no")}));
    expect_kept(tmpl("lang-fr", {pos("a"), pos("b")}));
    expect_kept(tmpl("lang-fr!", {pos("Bonjour")}));
    // "lang-" with nothing after it is a language template too.
    expect_text(tmpl("lang-", {pos("x")}), "x");
}

TEST(Operation, SmallTextHandlers) {
    expect_text(tmpl("lang", {pos("fr"), pos("Bonjour")}), "Bonjour");
    expect_text(tmpl("langx", {pos("fr"), pos("Bonjour")}), "Bonjour");
    expect_text(tmpl("transliteration", {pos("ru"), pos("Privet")}), "Privet");
    expect_text(tmpl("gph", {pos("x")}), "|x|");
    expect_text(tmpl("circa", {pos("1900")}), "c. 1900");
    expect_text(tmpl("cx"), "");
    expect_text(tmpl("ill", {pos("Paris"), pos("fr")}), "Paris");
    expect_text(tmpl("angbr", {pos("x")}), "x");
    expect_text(tmpl("IPAslink", {pos("a")}), "IPAS: a");
    expect_text(tmpl("IPAc-en", {pos("ˈ"), pos("p"), pos("æ")}), "IPAC: ˈpæ");
    expect_text(tmpl("coord", {pos("51"), pos("N"), pos("0"), pos("W")}), "51 N 0 W");
    expect_text(tmpl("tlit", {pos("ru"), pos("Privet")}), "Privet");
    expect_text(tmpl("tlit", {pos("ru"), pos("")}), "ru");
    expect_text(tmpl("tlit", {pos("ru")}), "ru");
    expect_text(tmpl("nbsp"), "\u00a0");
    // Named arguments are ignored; a gap keeps the call.
    expect_text(tmpl("circa", {pos("1900"), kw("lk", "no")}), "c. 1900");
    expect_kept(tmpl("circa", {kw("2", "x"), pos("y")}));
}

TEST(Operation, RolesDecideWhatNoOtherRuleDid) {
    TemplateRoles roles;
    roles.remove.insert("Navbox");
    roles.remove.insert("Both");
    roles.unwrap.insert("Both");
    roles.unwrap.insert("Wrap");
    roles.unwrap.insert("Wrap_both");
    roles.unwrap1.insert("Wrap_both");
    roles.unwrap1.insert("First");

    expect_gone(tmpl("navbox", {pos("x")}), roles);
    expect_gone(tmpl("Both", {pos("x")}), roles);  // remove wins over unwrap
    EXPECT_EQ(run(tmpl("wrap", {pos("a"), pos("b"), kw("k", "c")}), roles), (Inlines{T("a"), T("|"), T("b"), T("|"), T("c")}));
    // Empty values add nothing and no separator.
    EXPECT_EQ(run(tmpl("wrap", {pos(""), pos("b"), pos(""), kw("k", "c")}), roles), (Inlines{T("b"), T("|"), T("c")}));
    expect_gone(tmpl("wrap"), roles);
    EXPECT_EQ(run(tmpl("wrap both", {pos("a"), pos("b")}), roles), (Inlines{T("a"), T("|"), T("b")}));
    EXPECT_EQ(run(tmpl("first", {kw("k", "z"), pos("a"), pos("b")}), roles), Ts("a"));
    expect_gone(tmpl("first", {kw("k", "z")}), roles);
    expect_gone(tmpl("first", {kw("2", "b"), pos("c")}), roles);  // first entry absent
    expect_kept(tmpl("Unknown", {pos("a")}), roles);
}

TEST(Operation, InconsistentArgumentsKeepTheCallWhateverTheRole) {
    TemplateRoles roles;
    roles.remove.insert("T");
    roles.unwrap.insert("U");
    expect_kept(tmpl("t", {pos("a"), kw("1", "b")}), roles);
    expect_kept(tmpl("t", {kw("5", "x")}), roles);
    expect_kept(tmpl("u", {kw("A", "1"), kw("a", "2")}), roles);
}

TEST(Operation, ArgumentsAreCopiedNotShared) {
    // The inlines of an unwrapped argument keep their structure.
    TemplateRoles roles;
    roles.unwrap1.insert("W");
    Inlines value{Strong{Attr{}, Ts("x")}, T(" y")};
    EXPECT_EQ(run(tmpl("w", {pos(value)}), roles), value);
}

TEST(Operation, RedirectsChooseTheKeyAndTheRole) {
    TempDir dir;
    std::string path = make_db(dir, "r.db",
                               "INSERT INTO redirect VALUES(10,'Nd',10,'Ndash');"
                               "INSERT INTO redirect VALUES(10,'Nav',10,'Navbox');"
                               "INSERT INTO redirect VALUES(10,'Cn',0,'Some_article');"
                               "INSERT INTO redirect VALUES(10,'Moved',0,'Navbox');"
                               "INSERT INTO template_role VALUES('Navbox','navigation');"
                               "INSERT INTO template_role VALUES('Wrapper','unwrap1');");
    auto loaded = TemplateRoles::open(path);
    ASSERT_TRUE(loaded.ok()) << loaded.error().message();
    const TemplateRoles& roles = *loaded;

    expect_text(tmpl("nd"), "\u2013", roles);
    expect_gone(tmpl("Template:nav", {pos("x")}), roles);
    // Out of the template namespace: no role, matched by its own name.
    expect_gone(tmpl("cn"), roles);
    expect_kept(tmpl("Moved", {pos("x")}), roles);
    EXPECT_EQ(run(tmpl("wrapper", {pos("in")}), roles), Ts("in"));
}

}  // namespace
}  // namespace corpuswright::cleanup
