// Links, images, spans, references, footnote references and
// cross-reference lists, with their fall-back to literal text.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "show.hpp"
#include "tavrel/inline.hpp"

using mdtest::Ctx;
using namespace tavrel;

TEST(InlineLinks, DestinationsAndTitles) {
    Ctx p;
    EXPECT_EQ(p("[x](u)"), "Link(u)[\"x\"]");
    EXPECT_EQ(p("[x]()"), "Link()[\"x\"]");
    EXPECT_EQ(p("[x]( u \"t\" )"), "Link(u \"t\")[\"x\"]");
    EXPECT_EQ(p("[x](u 't')"), "Link(u \"t\")[\"x\"]");
    EXPECT_EQ(p("[x](u (t))"), "Link(u \"t\")[\"x\"]");
    EXPECT_EQ(p("[x](<a b>)"), "Link(a b)[\"x\"]");
    EXPECT_EQ(p("[x](a%20b\\(c\\))"), "Link(a%20b(c))[\"x\"]");
    EXPECT_EQ(p("[x](a(b)c)"), "Link(a(b)c)[\"x\"]");
    EXPECT_EQ(p("[x](u \"a \\\" b\")"), "Link(u \"a \" b\")[\"x\"]");
    EXPECT_EQ(p("[x](a&amp;b)"), "Link(a&b)[\"x\"]");
    EXPECT_EQ(p("![alt *e*](i.png \"t\")"), "Image(i.png \"t\")[\"alt \" Emph[\"e\"]]");
    EXPECT_EQ(p("[x](u){.c}"), "Link(u)[\"x\"]{.c}");
}

TEST(InlineLinks, SeveralDestinationsInOneRun) {
    Ctx p;
    // The ")" of every "(" comes from one matching walk; later links must
    // find their own closers, escaped parentheses included.
    EXPECT_EQ(p("[a](b(c)d) [e](f) [g](\\() [h](i\\)j)"),
              "Link(b(c)d)[\"a\"] \" \" Link(f)[\"e\"] \" \" Link(()[\"g\"] \" \" Link(i)j)[\"h\"]");
    EXPECT_EQ(p("[a](b [c](d)"), "\"[a](b \" Link(d)[\"c\"]");
    EXPECT_EQ(p("[a](b)) [c](d"), "Link(b)[\"a\"] \") [c](d\"");
}

TEST(InlineLinks, Malformed) {
    Ctx p;
    EXPECT_EQ(p("[x](u \"t)"), "\"[x](u \"t)\"");
    EXPECT_EQ(p("[x](u \"t\" z)"), "\"[x](u \"t\" z)\"");
    EXPECT_EQ(p("[x](a b)"), "\"[x](a b)\"");
    EXPECT_EQ(p("[x](<a<q>)"), "\"[x](<a<q>)\"");
    EXPECT_EQ(p("[x](u"), "\"[x](u\"");
    EXPECT_EQ(p("[x]"), "\"[x]\"");
    EXPECT_EQ(p("x]"), "\"x]\"");
}

TEST(InlineLinks, ParenthesisDepthLimit) {
    Ctx p;
    std::string ok = "[x](" + std::string(32, '(') + "a" + std::string(32, ')') + ")";
    EXPECT_EQ(p(ok).rfind("Link(", 0), 0u);
    std::string deep = "[x](" + std::string(33, '(') + "a" + std::string(33, ')') + ")";
    EXPECT_EQ(p(deep), "\"" + deep + "\"");
}

TEST(InlineLinks, NoLinksInLinks) {
    Ctx p;
    EXPECT_EQ(p("[a [b](u) c](v)"), "\"[a \" Link(u)[\"b\"] \" c](v)\"");
    // Images may sit in links and links in image descriptions' brackets.
    EXPECT_EQ(p("[![i](s)](v)"), "Link(v)[Image(s)[\"i\"]]");
}

TEST(Spans, AttributeBlockAfterBracket) {
    Ctx p;
    EXPECT_EQ(p("[x]{.y}"), "Span[\"x\"]{.y}");
    EXPECT_EQ(p("[x *y*]{#i k=v}"), "Span[\"x \" Emph[\"y\"]]{#i k=v}");
    EXPECT_EQ(p("[x]{.a}{.b}"), "Span[\"x\"]{.a .b}");
    EXPECT_EQ(p("[x]{words}"), "\"[x]{words}\"");
    EXPECT_EQ(p("![x]{.y}"), "\"![x]{.y}\"");
}

TEST(Spans, LongAttributeBlocks) {
    Ctx p;
    // Blocks whose "}" lies far away are found through the closer table.
    std::string v(700, 'v');
    EXPECT_EQ(p("[x]{k=\"" + v + " }\"}"), "Span[\"x\"]{k=" + v + " }}");
    EXPECT_EQ(p("`c`{.a k='" + v + "'} t"), "Code(c){.a k=" + v + "} \" t\"");
    EXPECT_EQ(p("[x]{" + v + "=1}"), "Span[\"x\"]{" + v + "=1}");
    EXPECT_EQ(p("[x]{" + v + " =1}"), "\"[x]{" + v + " =1}\"");
    EXPECT_EQ(p("*a*{k=" + v + "} b"), "Emph[\"a\"]{k=" + v + "} \" b\"");
    EXPECT_EQ(p("[x]{k=\"" + v + "}"), "\"[x]{k=\"" + v + "}\"");
}

TEST(References, FullCollapsedShortcut) {
    Ctx p;
    p.defs["foo bar"] = inline_::LinkRef{"/u", std::string("T"), ast::Attr::with_class("c")};
    EXPECT_EQ(p("[x][Foo  BAR]"), "Link(/u \"T\")[\"x\"]{.c}");
    EXPECT_EQ(p("[Foo bar][]"), "Link(/u \"T\")[\"Foo bar\"]{.c}");
    EXPECT_EQ(p("[foo bar]"), "Link(/u \"T\")[\"foo bar\"]{.c}");
    EXPECT_EQ(p("![foo bar]"), "Image(/u \"T\")[\"foo bar\"]{.c}");
    EXPECT_EQ(p("[nothing]"), "\"[nothing]\"");
    EXPECT_EQ(p("[x][nothing]"), "\"[x][nothing]\"");
    EXPECT_EQ(p("[foo bar]{.d}"), "Span[\"foo bar\"]{.d}");
}

TEST(FootnoteRefs, DefinedLabelsOnly) {
    Ctx p;
    p.labels.insert("Note");
    EXPECT_EQ(p("a[^Note] b"), "\"a\" Fn(Note) \" b\"");
    EXPECT_EQ(p("[^note]"), "\"[^note]\"");
    EXPECT_EQ(p("[^No te]"), "\"[^No te]\"");
    EXPECT_EQ(p("![^Note]"), "\"!\" Fn(Note)");
    EXPECT_EQ(p("[^Note"), "\"[^Note\"");
}

TEST(CrossReferences, Lists) {
    Ctx p;
    EXPECT_EQ(p("[@a; -@b_2]"), "Span[Link(#a)[]{data-ref=} Link(#b_2)[]{data-ref=bare}]{data-refs=}");
    EXPECT_EQ(p("[see @fig1]"), "Span[Link(#fig1)[\"see\"]{data-ref=}]{data-refs=}");
    // A prefix over two lines has a soft break between them, as any text.
    EXPECT_EQ(p("[see \n fig @a]"), "Span[Link(#a)[\"see\" SB \"fig\"]{data-ref=}]{data-refs=}");
    EXPECT_EQ(p("[see @a; @b]"), "\"[see @a; @b]\"");
    EXPECT_EQ(p("[see@a]"), "\"[see@a]\"");
    EXPECT_EQ(p("[@a b]"), "\"[@a b]\"");
    EXPECT_EQ(p("[@-a]"), "\"[@-a]\"");
    EXPECT_EQ(p("[-@a]{ref=x}"), "Span[Link(#a)[]{data-ref=bare x}]{data-refs=}");
    EXPECT_EQ(p("[@a]{.c}"), "Span[Link(#a)[]{data-ref=}]{.c data-refs=}");
    // Its links are links: no link holds it, as none holds another link.
    EXPECT_EQ(p("[x [@a]](u)"), "\"[x \" Span[Link(#a)[]{data-ref=}]{data-refs=} \"](u)\"");
    EXPECT_EQ(p("![x [@a]](u)"), "Image(u)[\"x \" Span[Link(#a)[]{data-ref=}]{data-refs=}]");
}

TEST(RefVariant, AppliedByKind) {
    Ctx p;
    EXPECT_EQ(p("[x](u){ref=r}"), "Link(u)[\"x\"]{ref=r}");
    EXPECT_EQ(p("[x]{ref=r}"), "Span[\"x\"]{ref=r}");
    // Each value of a run in turn: appended to a list's links, set elsewhere.
    EXPECT_EQ(p("[@a; -@b]{ref=x}{ref=}{ref=\"y z\"}"),
              "Span[Link(#a)[]{data-ref=x y z} Link(#b)[]{data-ref=bare x y z}]{data-refs=}");
    // A bracketed span keeps its content when its block gives it "data-refs",
    // whose "ref" values then reach its children.
    EXPECT_EQ(p("[a *b*]{data-refs=\"\"}"), "Span[\"a \" Emph[\"b\"]]{data-refs=}");
    EXPECT_EQ(p("[s ![i](u)]{ref=p}{data-refs=\"\"}{ref=x}{ref=y}"),
              "Span[\"s \" Image(u)[\"i\"]{ref=y}]{ref=p data-refs=}");
    ast::Inline math = ast::Math{{}, "x", false};
    inline_::apply_ref_variant(math, "r");
    EXPECT_EQ(mdtest::show(math), "Math(x){ref=r}");
    ast::Inline text = ast::Text{"t"};
    inline_::apply_ref_variant(text, "r");
    EXPECT_EQ(mdtest::show(text), "\"t\"");
}

TEST(TrailingAttr, ColonAndPlainFormsAgree) {
    auto a = inline_::trailing_attr("{: #i .c k=v}rest");
    auto b = inline_::trailing_attr("{#i .c k=v}rest");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->attr, b->attr);
    EXPECT_EQ(a->len, 13u);
    EXPECT_FALSE(inline_::trailing_attr("{:}"));
    EXPECT_FALSE(inline_::trailing_attr("{x}"));
}

TEST(DestinationTitle, Parser) {
    using inline_::parse_link_destination_title;
    auto r = parse_link_destination_title("  ", 32);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->destination, "");
    EXPECT_FALSE(r->title);
    EXPECT_FALSE(parse_link_destination_title("a)b", 32));
    EXPECT_FALSE(parse_link_destination_title("(a", 32));
    EXPECT_FALSE(parse_link_destination_title("<a\nb>", 32));
    EXPECT_FALSE(parse_link_destination_title("a \"\"\"", 32));
    auto t = parse_link_destination_title("a \"\"", 32);
    ASSERT_TRUE(t && t->title);
    EXPECT_EQ(*t->title, "");
}

// The scanner finds attribute blocks through remembered walks; at every "{"
// of random texts it must read exactly what the plain definition reads.
TEST(TrailingAttr, ScannerAgreesWithDefinition) {
    std::mt19937 rng(5);
    const std::string alphabet = "{}{}\"'\\ a=.#:x";
    Ctx ctx;
    inline_::InlineContext c = ctx.get();
    std::size_t blocks = 0;
    for (int it = 0; it < 1500; ++it) {
        std::string s;
        std::size_t len = 50 + rng() % 400;
        for (std::size_t i = 0; i < len; ++i) s.push_back(alphabet[rng() % alphabet.size()]);
        inline_::InlineScanner scanner(s, c);
        // Queries in a shuffled order, so that walks meet remembered ones.
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < s.size(); ++i)
            if (s[i] == '{') at.push_back(i);
        std::shuffle(at.begin(), at.end(), rng);
        for (std::size_t pos : at) {
            auto got = scanner.attr_block(pos);
            auto want = inline_::trailing_attr(std::string_view(s).substr(pos));
            ASSERT_EQ(got.has_value(), want.has_value()) << s << " @" << pos;
            if (got) {
                ++blocks;
                EXPECT_EQ(got->len, want->len) << s << " @" << pos;
                EXPECT_EQ(got->attr, want->attr) << s << " @" << pos;
            }
        }
    }
    EXPECT_GT(blocks, 100u);
}

// The ")" of each "(" comes from one matching walk; asked at increasing
// offsets it must agree with a walk from that "(" alone.
TEST(InlineLinks, ParenMatchingAgreesWithDirectWalk) {
    std::mt19937 rng(11);
    const std::string alphabet = "(()))\\ax";
    Ctx ctx;
    ctx.options.max_link_paren_depth = 3;
    inline_::InlineContext c = ctx.get();
    auto direct = [&](const std::string& s, std::size_t open) -> std::optional<std::size_t> {
        bool escaped = false;
        std::uint64_t depth = 0;
        for (std::size_t i = open + 1; i < s.size(); ++i) {
            if (escaped) {
                escaped = false;
            } else if (s[i] == '\\') {
                escaped = true;
            } else if (s[i] == '(') {
                if (++depth > 3) return std::nullopt;
            } else if (s[i] == ')') {
                if (depth == 0) return i;
                --depth;
            }
        }
        return std::nullopt;
    };
    std::size_t asked = 0;
    for (int it = 0; it < 2000; ++it) {
        std::string s;
        std::size_t len = 1 + rng() % 60;
        for (std::size_t i = 0; i < len; ++i) s.push_back(alphabet[rng() % alphabet.size()]);
        inline_::InlineScanner scanner(s, c);
        bool escaped = false;
        for (std::size_t i = 0; i < s.size(); ++i) {
            // Ask at unescaped "(" only, as a link destination always is
            // (it follows a "]").
            if (!escaped && s[i] == '(' && rng() % 2 == 0) {
                ++asked;
                ASSERT_EQ(scanner.paren_close(i), direct(s, i)) << s << " @" << i;
            }
            escaped = !escaped && s[i] == '\\';
        }
    }
    EXPECT_GT(asked, 5000u);
}
