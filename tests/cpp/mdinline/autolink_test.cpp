// Bare autolinks, e-mail addresses and inline HTML names: the predicates
// and their use by the scan.
#include <gtest/gtest.h>

#include <random>

#include "show.hpp"
#include "tavrel/autolink.hpp"
#include "tavrel/text.hpp"

using mdtest::Ctx;
using namespace tavrel::autolink;

TEST(Email, IsEmail) {
    EXPECT_TRUE(is_email("a.b+tag@ex-ample.co.uk"));
    EXPECT_TRUE(is_email("x_y@a_b.org"));
    EXPECT_FALSE(is_email("a@localhost"));
    EXPECT_FALSE(is_email("a@-x.org"));
    EXPECT_FALSE(is_email("a@x-.org"));
    EXPECT_FALSE(is_email("a@x..org"));
    EXPECT_FALSE(is_email("\xC3\xA9@x.org"));
    EXPECT_FALSE(is_email("a b@x.org"));
    EXPECT_FALSE(is_email("@x.org"));
    EXPECT_FALSE(is_email("a@x.org@y.org"));
    EXPECT_FALSE(is_email("a\\@x.org"));
}

TEST(Email, BareEmailPrefix) {
    auto a = bare_email_prefix("john@x.org.)");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->start, 0u);
    EXPECT_EQ(a->len, 10u);
    // A label may hold "_" inside, so this whole word is one address...
    EXPECT_EQ(bare_email_prefix("john@x.org_more")->len, 15u);
    // ...but an address cut right before "_" or "-" is refused.
    EXPECT_FALSE(bare_email_prefix("john@x.org_"));
    EXPECT_FALSE(bare_email_prefix("john@x.org-"));
    EXPECT_FALSE(bare_email_prefix("nothing"));
}

// Regression: leading characters stripped from the word used to shift the
// address: "..john@x.org" gave an autolink "john@x.org", then the text "rg",
// and the ".." was lost.
TEST(Email, LeadingStrippedCharactersStayText) {
    auto a = bare_email_prefix("..john@x.org");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->start, 2u);
    EXPECT_EQ(a->len, 10u);
    Ctx p;
    EXPECT_EQ(p("mail ..john@x.org now"), "\"mail ..\" Mail(mailto:john@x.org|john@x.org) \" now\"");
    // The "_"/"-" check looks right after the address, not at its length.
    EXPECT_FALSE(bare_email_prefix("..john@x.org_"));
    EXPECT_TRUE(bare_email_prefix(",,a@b.cd"));
}

namespace {

// The search as first described: every prefix stripped at both ends and
// tested whole, the longest qualifying one kept.
std::optional<EmailPrefix> reference_prefix(std::string_view word) {
    auto strip = [](char c) { return std::string_view(".,;:!?)").find(c) != std::string_view::npos; };
    std::optional<EmailPrefix> best;
    std::size_t e = tavrel::text::decode_utf8(word, 0).len;
    while (true) {
        std::size_t s = 0, t = e;
        while (s < t && strip(word[s])) ++s;
        while (t > s && strip(word[t - 1])) --t;
        if (t > s && is_email(word.substr(s, t - s))) best = EmailPrefix{s, t - s};
        if (e >= word.size()) break;
        e += tavrel::text::decode_utf8(word, e).len;
    }
    if (!best) return best;
    std::size_t after = best->start + best->len;
    if (after < word.size() && (word[after] == '_' || word[after] == '-')) return std::nullopt;
    return best;
}

}  // namespace

TEST(Email, PrefixAgreesWithWholeWordSearch) {
    std::mt19937 rng(7);
    const std::vector<std::string> alphabet = {"a", "b", ".", "@", "-", "_", ",", ";", ")", "!", "x",
                                               "9", "?", ":", "\\", "<", "+", "\xC3\xA9", "\x01"};
    for (int n = 0; n < 60000; ++n) {
        std::string w;
        std::size_t len = 1 + rng() % 16;
        for (std::size_t i = 0; i < len; ++i) w += alphabet[rng() % alphabet.size()];
        auto got = bare_email_prefix(w);
        auto want = reference_prefix(w);
        ASSERT_EQ(got.has_value(), want.has_value()) << w;
        if (got) {
            EXPECT_EQ(got->start, want->start) << w;
            EXPECT_EQ(got->len, want->len) << w;
        }
    }
}

TEST(Url, Trimming) {
    auto trim = [](std::string_view s) { return std::string(s.substr(0, trim_bare_url_end(s, 0, s.size()))); };
    EXPECT_EQ(trim("http://x.org/a."), "http://x.org/a");
    EXPECT_EQ(trim("http://x.org/a_(b))"), "http://x.org/a_(b)");
    EXPECT_EQ(trim("http://x.org/a&amp;"), "http://x.org/a");
    EXPECT_EQ(trim("http://x.org/a;;"), "http://x.org/a");
    EXPECT_EQ(trim("http://x.org/?q=1!\"'*,.:?~"), "http://x.org/?q=1");
    EXPECT_EQ(trim_trailing_url_punct("...", 1, 3), 1u);
}

TEST(Words, BoundsAndBoundaries) {
    std::string long_word = std::string(253, 'a') + "\xE2\x82\xAC" + std::string(47, 'b');
    std::string_view w = bounded_autolink_word(long_word, 0);
    EXPECT_LE(w.size(), 255u);
    EXPECT_EQ(w.size(), 253u);  // the euro sign would cross the bound
    EXPECT_EQ(bounded_autolink_word("ab cd", 0), "ab");
    EXPECT_EQ(bounded_autolink_word("ab\xE3\x80\x80" "cd", 0), "ab");
    EXPECT_TRUE(is_boundary(U'('));
    EXPECT_TRUE(is_boundary(U'\u00A0'));
    EXPECT_FALSE(is_boundary(U'a'));
    EXPECT_FALSE(is_boundary(U'.'));
    EXPECT_TRUE(preceded_by_angle_opener("< \t x", 4));
    EXPECT_FALSE(preceded_by_angle_opener("   x", 3));
}

TEST(HtmlNames, Sets) {
    EXPECT_TRUE(is_md_html_tag("span"));
    EXPECT_TRUE(is_md_html_tag("figcaption"));
    EXPECT_TRUE(is_md_html_tag("x-anything"));
    EXPECT_FALSE(is_md_html_tag("blink"));
    EXPECT_TRUE(is_md_block_html_tag("table"));
    EXPECT_FALSE(is_md_block_html_tag("span"));
    EXPECT_EQ(html_tag_name_end("h1 x"), 2u);
    EXPECT_EQ(html_tag_name_end("my-el"), 5u);
    EXPECT_FALSE(html_tag_name_end("1a"));
    EXPECT_FALSE(html_tag_name_end(""));
}

TEST(FindUnescaped, SkipsEscapedClosers) {
    EXPECT_EQ(find_unescaped("a\\$$ $$", 0, "$$"), 5u);
    EXPECT_EQ(find_unescaped("x\\\\]y\\]", 0, "\\]"), 5u);
    EXPECT_FALSE(find_unescaped("abc", 0, "$$"));
}

TEST(BareLinks, InText) {
    Ctx p;
    EXPECT_EQ(p("see www.x.org."), "\"see \" Auto(http://www.x.org|www.x.org) \".\"");
    EXPECT_EQ(p("(https://x.org/a)"), "\"(\" Auto(https://x.org/a|https://x.org/a) \")\"");
    EXPECT_EQ(p("ahttps://x.org"), "\"ahttps://x.org\"");
    EXPECT_EQ(p("http://x_y.org z"), "\"http://x_y.org z\"");
    EXPECT_EQ(p("http://a_b.x.org"), "Auto(http://a_b.x.org|http://a_b.x.org)");
    EXPECT_EQ(p("http:///path"), "\"http:///path\"");
    EXPECT_EQ(p("http://x_y.org/p?q#f"), "\"http://x_y.org/p?q#f\"");
    // Trimming decides the host: "a.b." is refused, the trimmed "a.b" is not.
    EXPECT_EQ(p("http://a.b.?"), "Auto(http://a.b|http://a.b) \".?\"");
    EXPECT_EQ(p("http://a.b/x.?"), "Auto(http://a.b/x|http://a.b/x) \".?\"");
    EXPECT_EQ(p("(http://_/(http://a.b/c"), "\"(http://_/(\" Auto(http://a.b/c|http://a.b/c)");
    EXPECT_EQ(p("MailTo:a@b.org!"), "Mail(mailto:a@b.org|MailTo:a@b.org) \"!\"");
    EXPECT_EQ(p("xmpp:a@b.org/res."), "Auto(xmpp:a@b.org/res|xmpp:a@b.org/res) \".\"");
    EXPECT_EQ(p("write a@b.org."), "\"write \" Mail(mailto:a@b.org|a@b.org) \".\"");
    EXPECT_EQ(p("![x](http://i.org/p)"), "Image(http://i.org/p)[\"x\"]");
    Ctx off;
    off.options.autolinks = false;
    EXPECT_EQ(off("see www.x.org and a@b.org"), "\"see www.x.org and a@b.org\"");
}
