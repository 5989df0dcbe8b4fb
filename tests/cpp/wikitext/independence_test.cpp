// A paragraph (and a logical line) reads the same whatever stands before it:
// unclosed openers, failed element searches and nested fallbacks earlier on
// the page must not change how later, well-formed text is read. Also the
// remembering closer search against the plain walk it stands in for.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "../../../tavrel/src/wikitext/reader.hpp"
#include "wikitext_helpers.hpp"

using namespace tavrel;
using wt_test::page;

namespace {

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    for (std::size_t k = 0; k < n; ++k) out += s;
    return out;
}

// The debug form of the last block of a page.
std::string last_block(std::string_view text) {
    auto doc = wikitext::document::parse(text);
    if (doc.blocks.empty()) return "(no blocks)";
    return ast::debug_string(ast::Blocks{std::move(doc.blocks.back())});
}

const std::string kTail = "{{Infobox|a=1}} see [[Other page]].";
const std::string kTailTree =
    "Paragraph\n  Operation system=\"mediawiki\" kind=\"transclude\" name=\"Infobox\"\n    Arg name=\"a\"\n"
    "      Text \"1\"\n  Text \" see \"\n  Link url=\"./Other_page\"\n    Text \"Other page\"\n  Text \".\"\n";

}  // namespace

TEST(WikitextIndependence, UnclosedSpansLeaveTheNextParagraphWhole) {
    ASSERT_EQ(last_block(kTail), kTailTree);
    for (std::size_t count : {1u, 100u, 300u, 3000u}) {
        std::string text;
        for (std::size_t k = 0; k < count; ++k) text += "<span class=x>word " + std::to_string(k) + " lorem ipsum ";
        EXPECT_EQ(last_block(text + "\n\n" + kTail), kTailTree) << count << " spans";
    }
}

TEST(WikitextIndependence, StrayOpenersLeaveALaterTemplateWhole) {
    const std::string infobox = "{{Infobox\n| name = X\n* item\n}}";
    const std::string alone = page(infobox);
    ASSERT_EQ(alone.rfind("Paragraph\n  Operation", 0), 0u) << alone;
    for (std::string_view stray : {"{{", "{{{", "[["}) {
        for (std::size_t count : {1u, 300u, 3000u}) {
            std::string text;
            for (std::size_t k = 0; k < count; ++k)
                text += "Paragraph " + std::to_string(k) + " holds a stray " + std::string(stray) + " opener.\n\n";
            EXPECT_EQ(last_block(text + infobox), alone) << count << " x " << stray;
        }
    }
}

TEST(WikitextIndependence, NestedSuperscriptFallbackLeavesTheNextParagraphWhole) {
    const std::string tail = "{{a}} [[b]]";
    const std::string alone = last_block(tail + " <sup>2</sup>");
    ASSERT_NE(alone.find("Operation"), std::string::npos);
    ASSERT_NE(alone.find("Superscript"), std::string::npos);
    // A nest deeper than the nesting limit cuts its trial reads short; they
    // are not remembered and spend the paragraph's allowance instead, which
    // the next paragraph does not inherit.
    for (std::size_t depth : {1u, 20u, 40u, 200u}) {
        std::string text = repeat("<sup>", depth) + "[[x]]" + repeat("</sup>", depth) + "\n\n" + tail +
                           " <sup>2</sup>";
        EXPECT_EQ(last_block(text), alone) << depth << " levels";
    }
}

TEST(WikitextIndependence, NestedSuperscriptFallbackLeavesALaterOneInTheSameParagraph) {
    // Each element is found not to be plain text once; the fallback meets
    // the inner ones again and knows them, so a deep nest costs no more than
    // its depth times its length and leaves the paragraph's later elements
    // to be read as usual.
    std::string text = repeat("<sup>", 30) + "[[x]]" + repeat("</sup>", 30) + " <sup>2</sup>";
    auto doc = wikitext::document::parse(text);
    ASSERT_EQ(doc.blocks.size(), 1u);
    std::string tree = ast::debug_string(doc);
    EXPECT_NE(tree.find("Superscript \"2\""), std::string::npos) << tree;
    EXPECT_EQ(tree.find("RawInline format=\"wikitext\""), std::string::npos) << tree;
    // Thirty tags each way, as HTML, around the link.
    std::size_t raw = 0;
    for (std::size_t at = tree.find("RawInline format=\"html\""); at != std::string::npos;
         at = tree.find("RawInline format=\"html\"", at + 1))
        ++raw;
    EXPECT_EQ(raw, 60u);
}

TEST(WikitextIndependence, UnclosedSpansLeaveALaterSpanInTheSameParagraph) {
    std::string text = repeat("<span>a ", 2000) + "<small>b</small> <span>c</span>";
    std::string tree = wt_test::inl(text);
    EXPECT_NE(tree.find("Span {.\"small\"}\n  Text \"b\""), std::string::npos) << tree.substr(tree.size() - 300);
    EXPECT_NE(tree.find("Span\n  Text \"c\""), std::string::npos) << tree.substr(tree.size() - 300);
}

TEST(WikitextIndependence, ElementSearchCountsNestedOpenings) {
    // The remembered search must still pair tags by depth.
    EXPECT_EQ(wt_test::inl("<span>a<span>b</span>c</span>d"),
              "Span\n  Text \"a\"\n  Span\n    Text \"b\"\n  Text \"c\"\nText \"d\"\n");
    EXPECT_EQ(wt_test::inl("<span>a<span>b</span>"),
              "RawInline format=\"html\" text=\"<span>\"\nText \"a\"\nSpan\n  Text \"b\"\n");
    EXPECT_EQ(wt_test::inl("<span>x <span>a</span> <span>b</span>"),
              "RawInline format=\"html\" text=\"<span>\"\nText \"x \"\nSpan\n  Text \"a\"\nText \" \"\nSpan\n"
              "  Text \"b\"\n");
}

TEST(WikitextIndependence, RememberedClosersAgreeWithThePlainWalk) {
    // Every start of every text, in order and then backwards, while the
    // search remembers: the same answers as `balanced`.
    const std::vector<std::string> pieces = {"{", "}", "[", "]", "{{", "}}", "[[", "]]", "{{{", "}}}", "x", "|"};
    std::mt19937 rng(22);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1), len(0, 40);
    const std::string_view closer[3] = {"}}", "}}}", "]]"};
    for (int round = 0; round < 3000; ++round) {
        std::string t;
        for (std::size_t k = 0, n = len(rng); k < n; ++k) t += pieces[pick(rng)];
        for (int kind = 0; kind < 3; ++kind) {
            wikitext::detail::Closers closers(t, true);
            for (std::size_t k = 0; k <= 2 * t.size() + 1; ++k) {
                std::size_t s = k <= t.size() ? k : 2 * t.size() + 1 - k;
                auto want = wikitext::balanced(t, s, closer[kind]);
                std::size_t got = closers.find(s, wikitext::detail::Closers::Kind(kind));
                ASSERT_EQ(got, want ? *want : std::string_view::npos)
                    << "text " << t << " start " << s << " closer " << closer[kind];
            }
        }
    }
}

TEST(WikitextIndependence, RememberedElementSearchAgreesWithTheDepthCount) {
    // The closing tag of an element whose content starts at s: count nested
    // openings (those followed by a tag delimiter) and closings from s on.
    auto counted = [](std::string_view t, std::size_t s) {
        const std::string_view open = "<span", close = "</span>";
        std::size_t p = s, depth = 1;
        for (;;) {
            if (p >= t.size()) return std::string_view::npos;
            std::size_t c = wikitext::detail::find_ci(t, close, p);
            if (c == std::string_view::npos) return c;
            std::size_t o = wikitext::detail::find_ci(t, open, p);
            bool counts = o != std::string_view::npos && o + open.size() < t.size() &&
                          std::string_view("\t\n\r />").find(t[o + open.size()]) != std::string_view::npos;
            if (counts && o < c) {
                ++depth;
                std::size_t g = t.find('>', o);
                if (g == std::string_view::npos) return g;
                p = g + 1;
            } else {
                if (--depth == 0) return c;
                p = c + close.size();
            }
        }
    };
    const std::vector<std::string> pieces = {"<span", "<span>", "</span>", "</SPAN>", ">",     "x",
                                             "<span ", "<spanx", "<span/>", "</span",  "<",    "/"};
    std::mt19937 rng(5);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1), len(0, 40);
    for (int round = 0; round < 3000; ++round) {
        std::string t;
        for (std::size_t k = 0, n = len(rng); k < n; ++k) t += pieces[pick(rng)];
        wikitext::detail::ElementCloser closer(t, "span");
        for (std::size_t k = 0; k <= 2 * t.size() + 1; ++k) {
            std::size_t s = k <= t.size() ? k : 2 * t.size() + 1 - k;
            ASSERT_EQ(closer.find(s), counted(t, s)) << "text " << t << " start " << s;
        }
    }
}
