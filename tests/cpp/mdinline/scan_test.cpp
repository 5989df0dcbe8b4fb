// The inline scan: fast path, breaks, code spans, escapes, math, scripts,
// notes, angle constructs, template tokens and coalescing.
#include <gtest/gtest.h>

#include <random>

#include "show.hpp"

using mdtest::Ctx;
using namespace tavrel;

TEST(FastPath, PlainTextIsOneTextNode) {
    Ctx p;
    EXPECT_EQ(p("plain words, (parens) and 100% done!"), "\"plain words, (parens) and 100% done!\"");
    EXPECT_EQ(p(""), "\"\"");
    // A single "=" or "$" with the dataset's math level takes the fast path.
    EXPECT_EQ(p("a = b costs $5"), "\"a = b costs $5\"");
}

TEST(FastPath, EntitiesAreDecodedOnTheFullScan) {
    Ctx p;
    EXPECT_EQ(p("a &amp; b &lt; c"), "\"a & b < c\"");
    // Regression: U+E000 in the input is kept as written (it once doubled as
    // the marker of an escaped "&" and came out as "&", which the writer then
    // wrote differently). The escaped "&" still stays literal.
    EXPECT_EQ(p("x\xEE\x80\x80y *z*"), "\"x\xEE\x80\x80y \" Emph[\"z\"]");
    EXPECT_EQ(p("[l](u\xEE\x80\x80)"), "Link(u\xEE\x80\x80)[\"l\"]");
    EXPECT_EQ(p("\\&amp;lt; &#38;lt;"), "\"&amp;lt; <\"");
    // No byte of the input stands for an escaped "&": a 0xFF (which no UTF-8
    // holds) is kept beside escapes and references, and in an attribute
    // block after a closing delimiter run.
    EXPECT_EQ(p("\xFF\\$ \xFF&amp; \\&\xFF"), "\"\xFF$ \xFF& &\xFF\"");
    EXPECT_EQ(p("*a*{.x\xFF}"), "Emph[\"a\"]{.x\xFF}");
}

TEST(LineBreaks, SoftHardAndTrailingSpaces) {
    Ctx p;
    EXPECT_EQ(p("a  \nb"), "\"a\" SB \"b\"");
    EXPECT_EQ(p("a\\\nb"), "\"a\" HB \"b\"");
    EXPECT_EQ(p("\nb"), "SB \"b\"");
    // An escaped backslash before the line end is text, then a soft break:
    // the writer writes a Text ending in a backslash this way.
    EXPECT_EQ(p("a\\\\\nb"), "\"a\\\" SB \"b\"");
    // A lone backslash after an escaped one still makes a hard break.
    EXPECT_EQ(p("a\\\\b\\\nc"), "\"a\\b\" HB \"c\"");
}

TEST(CodeSpans, RunsAndContent) {
    Ctx p;
    EXPECT_EQ(p("``a`b``"), "Code(a`b)");
    EXPECT_EQ(p("` `"), "Code( )");
    EXPECT_EQ(p("` a `"), "Code(a)");
    EXPECT_EQ(p("`  `"), "Code(  )");
    // Every tab and line feed is one space, for code and raw spans alike,
    // before the padding space is taken off each end.
    EXPECT_EQ(p("`a\tb\nc`"), "Code(a b c)");
    EXPECT_EQ(p("` <b\nc> `{=html}"), "Raw(html:<b c>)");
    EXPECT_EQ(p("`\ta\n`"), "Code(a)");
    EXPECT_EQ(p("`\t\t`"), "Code(  )");
    EXPECT_EQ(p("``a`"), "\"``a`\"");
    EXPECT_EQ(p("`a``b`"), "Code(a``b)");
    // No escapes or references inside.
    EXPECT_EQ(p("`\\*&amp;`"), "Code(\\*&amp;)");
    EXPECT_EQ(p("x `` ` `` y"), "\"x \" Code(`) \" y\"");
}

TEST(CodeSpans, RawMarkerAndAttributes) {
    Ctx p;
    EXPECT_EQ(p("`<br>`{=html}"), "Raw(html:<br>)");
    EXPECT_EQ(p("`x`{.lang}"), "Code(x){.lang}");
    EXPECT_EQ(p("`x`{.a}{#b}"), "Code(x){#b .a}");
    EXPECT_EQ(p("`x`{=}"), "Code(x) \"{=}\"");
    EXPECT_EQ(p("`x`{words}"), "Code(x) \"{words}\"");
}

TEST(Escapes, PunctuationAndEntities) {
    Ctx p;
    EXPECT_EQ(p("\\*a\\*"), "\"*a*\"");
    EXPECT_EQ(p("\\&amp; &amp;"), "\"&amp; &\"");
    EXPECT_EQ(p("\\a\\"), "\"\\a\\\"");
    Ctx m1;
    m1.options.math = 1;
    EXPECT_EQ(m1("\\(x\\)"), "\"\\(x\\)\"");
    EXPECT_EQ(p("\\(x\\)"), "Math(x)");
}

TEST(Math, Levels) {
    Ctx p;  // level 2
    EXPECT_EQ(p("\\(x\\)"), "Math(x)");
    EXPECT_EQ(p("\\[x\\]"), "DMath(x)");
    EXPECT_EQ(p("$$x$$"), "DMath(x)");
    EXPECT_EQ(p("$x$"), "\"$x$\"");
    EXPECT_EQ(p("\\(a\\)b\\)"), "Math(a) \"b)\"");
    EXPECT_EQ(p("\\(x\\)*{.eq}"), "Math(x) \"*{.eq}\"");
    EXPECT_EQ(p("\\(x\\){#eq}"), "Math(x){#eq}");
    // An escaped backslash before "]" does not close display math.
    EXPECT_EQ(p("\\[a\\\\]b\\]"), "DMath(a\\\\]b)");
    // Unclosed openers stay text.
    EXPECT_EQ(p("\\[a $$b"), "\"[a $$b\"");
    Ctx m3;
    m3.options.math = 3;
    EXPECT_EQ(m3("$x$"), "Math(x)");
    EXPECT_EQ(m3("$ x$"), "\"$ x$\"");
    EXPECT_EQ(m3("$x$1 and$"), "Math(x$1 and)");
    EXPECT_EQ(m3("$x $y"), "\"$x $y\"");
    Ctx m0;
    m0.options.math = 0;
    EXPECT_EQ(m0("$$x$$ \\(y\\)"), "\"$$x$$ (y)\"");
}

TEST(Scripts, SuperAndSubscript) {
    Ctx p;
    EXPECT_EQ(p("^a^"), "Sup(a)");
    EXPECT_EQ(p("^a b^"), "\"^a b^\"");
    EXPECT_EQ(p("~a~"), "Sub(a)");
    EXPECT_EQ(p("~~a~~"), "Strike[\"a\"]");
    EXPECT_EQ(p("^a\\ b^"), "Sup(a\\ b)");
    EXPECT_EQ(p("^^"), "\"^^\"");
    EXPECT_EQ(p("~a~~b~"), "Sub(a~~b)");
    EXPECT_EQ(p("x^2^{.n}"), "\"x\" Sup(2){.n}");
    EXPECT_EQ(p("H~2~O"), "\"H\" Sub(2) \"O\"");
}

TEST(Notes, InlineNotes) {
    Ctx p;
    EXPECT_EQ(p("a^[note *b*]c"), "\"a\" Note[\"note \" Emph[\"b\"]] \"c\"");
    EXPECT_EQ(p("^[open"), "\"^[open\"");
    EXPECT_EQ(p("^[a ^[b]]"), "Note[\"a \" Note[\"b\"]]");
    // Emphasis may not pair across the note's bracket.
    EXPECT_EQ(p("*a ^[b* c]"), "\"*a \" Note[\"b* c\"]");
}

TEST(Angle, AutolinksAndHtml) {
    Ctx p;
    EXPECT_EQ(p("<https://x.org/a?b>"), "Auto(https://x.org/a?b|https://x.org/a?b)");
    EXPECT_EQ(p("<a@b.org>"), "Mail(mailto:a@b.org|a@b.org)");
    EXPECT_EQ(p("<b>x</b>"), "Html(<b>) \"x\" Html(</b>)");
    EXPECT_EQ(p("<!-- c -->"), "Html(<!-- c -->)");
    EXPECT_EQ(p("<!-->"), "Html(<!-->)");
    EXPECT_EQ(p("<span class=\"a\" data-x='1' hidden>"), "Html(<span class=\"a\" data-x='1' hidden>)");
    EXPECT_EQ(p("<br/> <BR />"), "Html(<br/>) \" \" Html(<BR />)");
    EXPECT_EQ(p("<my-widget>"), "Html(<my-widget>)");
    // Unknown names, malformed attributes and a missing ">" stay text.
    EXPECT_EQ(p("<foo>x</foo>"), "\"<foo>x</foo>\"");
    EXPECT_EQ(p("<b =x>"), "\"<b =x>\"");
    EXPECT_EQ(p("<b"), "\"<b\"");
    EXPECT_EQ(p("a < b > c"), "\"a < b > c\"");
    // The ">" must come within 1024 bytes of the "<".
    std::string far = "<b" + std::string(1030, ' ') + ">";
    EXPECT_EQ(p(far), "\"" + far + "\"");
}

TEST(TemplateTokens, InlinePlacementOnly) {
    Ctx p;
    TemplateDelimiter rule{"mustache", "{{", "}}", std::nullopt, std::nullopt, 0};
    p.options.template_delimiters.push_back(rule);
    EXPECT_EQ(p("a {{ x }} *b*"), "\"a \" Tok({{ x }}) \" \" Emph[\"b\"]");
    EXPECT_EQ(p("a {{ x"), "\"a {{ x\"");
    p.options.template_delimiters[0].placement = 2;
    EXPECT_EQ(p("a {{ x }}"), "\"a {{ x }}\"");
}

TEST(Coalesce, MergesTextAndFlattensStrong) {
    using namespace tavrel::ast;
    Inlines in;
    in.push_back(Text{"a"});
    in.push_back(Text{"b"});
    Strong outer;
    outer.content.push_back(Text{"x"});
    Strong inner;
    inner.content.push_back(Text{"y"});
    outer.content.push_back(std::move(inner));
    Strong kept;
    kept.attr.push_class("c");
    kept.content.push_back(Text{"z"});
    outer.content.push_back(std::move(kept));
    in.push_back(std::move(outer));
    in.push_back(Text{"c"});
    Inlines out = inline_::coalesce(std::move(in));
    EXPECT_EQ(mdtest::show(out), "\"ab\" Strong[\"xy\" Strong[\"z\"]{.c}] \"c\"");
    Ctx p;
    EXPECT_EQ(p("****a****"), "Strong[\"a\"]");
}

// Code span closers come from a table of backtick runs built once; on random
// texts the result must match a direct search from each opener.
TEST(CodeSpans, RunTableAgreesWithDirectSearch) {
    auto reference = [](const std::string& t) {
        std::string out, pending;
        auto flush = [&] {
            if (pending.empty()) return;
            if (!out.empty()) out += ' ';
            out += "\"" + pending + "\"";
            pending.clear();
        };
        std::size_t p = 0;
        while (p < t.size()) {
            if (t[p] != '`') {
                pending.push_back(t[p++]);
                continue;
            }
            std::size_t n = 0;
            while (p + n < t.size() && t[p + n] == '`') ++n;
            std::size_t close = std::string::npos;
            for (std::size_t i = p + n; i < t.size();) {
                if (t[i] != '`') {
                    ++i;
                    continue;
                }
                std::size_t m = 0;
                while (i + m < t.size() && t[i + m] == '`') ++m;
                if (m == n) {
                    close = i;
                    break;
                }
                i += m;
            }
            if (close == std::string::npos) {
                pending.append(n, '`');
                p += n;
                continue;
            }
            std::string c = t.substr(p + n, close - p - n);
            if (c.size() >= 2 && c.front() == ' ' && c.back() == ' ' && c.find_first_not_of(' ') != std::string::npos)
                c = c.substr(1, c.size() - 2);
            flush();
            if (!out.empty()) out += ' ';
            out += "Code(" + c + ")";
            p = close + n;
        }
        flush();
        return out.empty() ? std::string("\"\"") : out;
    };
    const char* pieces[] = {"`", "``", "```", "a", " ", "b"};
    std::mt19937 rng(3);
    Ctx p;
    std::size_t spans = 0;
    for (int it = 0; it < 20000; ++it) {
        std::string s;
        int k = 1 + static_cast<int>(rng() % 20);
        for (int i = 0; i < k; ++i) s += pieces[rng() % std::size(pieces)];
        std::string got = p(s);
        ASSERT_EQ(got, reference(s)) << s;
        if (got.find("Code(") != std::string::npos) ++spans;
    }
    EXPECT_GT(spans, 5000u);
}
