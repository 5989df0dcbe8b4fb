// Hostile inline text: nesting deeper than the cap falls back to literal
// text (so that no recursive walk of the result can exhaust a stack), and
// long runs of unmatched openers come back as the text they are. Time bounds
// for these inputs live in the benchmark, not here.
#include <gtest/gtest.h>

#include <pthread.h>

#include <functional>
#include <random>
#include <type_traits>
#include <variant>

#include "show.hpp"
#include "tavrel/inline.hpp"
#include "tavrel/write_md.hpp"

using mdtest::Ctx;
using namespace tavrel;

namespace {

// Nesting depth of containers and the concatenated text of every leaf, both
// computed iteratively.
struct Shape {
    std::size_t depth = 0;
    std::size_t nodes = 0;
};

Shape shape(const ast::Inlines& top) {
    Shape s;
    std::vector<std::pair<const ast::Inlines*, std::size_t>> stack{{&top, 0}};
    while (!stack.empty()) {
        auto [list, d] = stack.back();
        stack.pop_back();
        s.depth = std::max(s.depth, d);
        for (const ast::Inline& in : *list) {
            ++s.nodes;
            const ast::Inlines* kids = nullptr;
            if (auto* n = in.as<ast::Emph>()) kids = &n->content;
            if (auto* n = in.as<ast::Strong>()) kids = &n->content;
            if (auto* n = in.as<ast::Strikeout>()) kids = &n->content;
            if (auto* n = in.as<ast::Highlight>()) kids = &n->content;
            if (auto* n = in.as<ast::Link>()) kids = &n->content;
            if (auto* n = in.as<ast::Image>()) kids = &n->alt;
            if (auto* n = in.as<ast::Span>()) kids = &n->content;
            if (auto* n = in.as<ast::Note>()) kids = &n->content;
            if (kids) stack.push_back({kids, d + 1});
        }
    }
    return s;
}

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out.append(s);
    return out;
}

}  // namespace

TEST(DepthCap, NestingStopsAtTheCap) {
    Ctx p;
    const std::size_t cap = inline_::max_inline_depth;
    const std::size_t n = 20000;
    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"spans", repeat("[", n) + "x" + repeat("]{.a}", n)},
        {"notes", repeat("^[", n) + "x" + repeat("]", n)},
        {"images", repeat("![", n) + "x" + repeat("](u)", n)},
        {"emphasis", repeat("*a ", n) + "x" + repeat(" a*", n)},
        {"mixed", repeat("*a _a ", n) + "x" + repeat(" a_ a*", n)},
        {"strike", repeat("~~a ", n) + "x" + repeat(" a~~", n)},
    };
    for (const Case& c : cases) {
        ast::Inlines out = p.parse(c.text);
        Shape s = shape(out);
        EXPECT_LE(s.depth, cap) << c.name;
        EXPECT_GE(s.depth, cap / 2) << c.name;  // real nesting is still built
    }
}

TEST(DepthCap, ShallowNestingIsUnaffected) {
    Ctx p;
    std::string t = repeat("[", 50) + "x" + repeat("]{.a}", 50);
    Shape s = shape(p.parse(t));
    EXPECT_EQ(s.depth, 50u);
}

TEST(DepthCap, BeyondTheCapTheTextIsKept) {
    Ctx p;
    const std::size_t cap = inline_::max_inline_depth;
    // One level more than the cap: the outermost bracket and its attribute
    // block stay literal text around the capped span.
    std::string t = repeat("[", cap + 1) + "x" + repeat("]{.a}", cap + 1);
    ast::Inlines out = p.parse(t);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(mdtest::show(out[0]), "\"[\"");
    EXPECT_TRUE(out[1].is<ast::Span>());
    EXPECT_EQ(mdtest::show(out[2]), "\"]{.a}\"");
}

TEST(LongRuns, UnmatchedOpenersStayText) {
    Ctx p;
    p.options.math = 3;
    const std::size_t n = 50000;
    for (std::string_view unit : {"*a ", "_a ", "~~a ", "==a ", "[a ", "![a ", "^[a ", "$a ", "\\(a ", "\\[a ",
                                  "<a ", "[a](", "a] "}) {
        std::string t = repeat(unit, n);
        ast::Inlines out = p.parse(t);
        ASSERT_EQ(out.size(), 1u) << unit;
        ASSERT_TRUE(out[0].is<ast::Text>()) << unit;
        std::string want = t;
        if (unit[0] == '\\') {  // the escapes resolve
            want.clear();
            for (std::size_t i = 0; i < n; ++i) want.append(unit.substr(1));
        }
        EXPECT_EQ(out[0].as<ast::Text>()->text, want) << unit;
    }
}

// Long runs of attribute blocks after one inline of each kind that takes
// them, each block a class (or key) of its own or all the same: every block
// attaches to the inline, none is left as text.
TEST(LongRuns, AttributeBlocksAfterOneInline) {
    Ctx p;
    p.options.math = 3;
    const std::size_t n = 5000;
    for (std::string_view head : {"*a*", "**a**", "_a_", "~~a~~", "==a==", "^a^", "~a~", "`a`", "$a$", "[a](b)", "[a]"}) {
        for (bool distinct : {true, false}) {
            std::string t(head);
            for (std::size_t i = 0; i < n; ++i) t += distinct ? "{.c" + std::to_string(i) + " k" + std::to_string(i) + "=v}" : "{.c}";
            ast::Inlines out = p.parse(t);
            ASSERT_EQ(out.size(), 1u) << head;
            const ast::Attr* attr = nullptr;
            visit([&](const auto& node) {
                if constexpr (requires { node.attr; }) attr = &node.attr;
            }, out[0]);
            ASSERT_NE(attr, nullptr) << head;
            ASSERT_EQ(attr->classes.size(), distinct ? n : 1u) << head;
            EXPECT_EQ(attr->pairs.size(), distinct ? n : 0u) << head;
            EXPECT_EQ(attr->classes.back(), distinct ? "c" + std::to_string(n - 1) : "c") << head;
        }
    }
}

// The "ref" values of a run of blocks after a cross-reference list reach
// each of its links once for the run, not once per block (links times blocks).
TEST(LongRuns, RefBlocksAfterCrossReferenceLists) {
    Ctx p;
    const std::size_t n = 2000;
    std::string keys = "[@a0";
    for (int i = 1; i < 200; ++i) keys += "; @a" + std::to_string(i);
    const struct {
        std::string head, block;
        std::size_t reached;     // nodes the values reach
        std::string ref;         // the last link's "data-ref" after the run
    } rows[] = {
        {keys + "]", "{ref=x}", 200, repeat("x ", n - 1) + "x"},
        {keys + "]", "{ref=}", 200, ""},
        {keys + "]{.c}", "{.c ref=y k=v}", 200, repeat("y ", n - 1) + "y"},
        {"[@b; -@a]", "{ref=x}", 2, "bare " + repeat("x ", n - 1) + "x"},
        // A span given "data-refs": the values reach its children (no
        // link: as none holds another link, no bracket holds a list).
        {"[s ![i](u)]{data-refs=\"\"}", "{ref=x}", 2, "-"},
    };
    for (const auto& row : rows) {
        std::string t = row.head + repeat(row.block, n);
        inline_::InlineContext c = p.get();
        inline_::InlineScanner scanner(t, c);
        ast::Inlines out = scanner.run();
        ASSERT_EQ(out.size(), 1u) << row.head;
        const ast::Inline& last = out[0].as<ast::Span>()->content.back();
        if (row.ref == "-") {
            EXPECT_EQ(*last.as<ast::Image>()->attr.get("ref"), "x");
        } else {
            EXPECT_EQ(*last.as<ast::Link>()->attr.get("data-ref"), row.ref) << row.head;
        }
        EXPECT_EQ(scanner.ref_steps(), row.reached) << row.head;
    }
}

TEST(LongRuns, ManyBackticksOfEveryLength) {
    Ctx p;
    std::string t;
    for (std::size_t len = 1; len <= 300; ++len) t += std::string(len, '`') + "x";
    ast::Inlines out = p.parse(t);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].as<ast::Text>()->text, t);
}

namespace {

// Runs `f` on a thread with a small stack (1 MiB, a quarter of a common
// worker default), so that an unbounded recursion anywhere in it would crash.
void on_small_stack(std::function<void()> f) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    pthread_t thread;
    auto trampoline = [](void* arg) -> void* {
        (*static_cast<std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, trampoline, &f), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

}  // namespace

TEST(DepthCap, HostileTreesAreParsedWrittenAndFreedOnASmallStack) {
    const std::size_t n = 100000;
    std::vector<std::string> texts = {
        repeat("[", n) + "x" + repeat("]{.a}", n),
        repeat("^[", n) + "x" + repeat("]", n),
        repeat("![", n) + "x" + repeat("](u)", n),
        repeat("*a _a ", n) + "x" + repeat(" a_ a*", n),
        repeat("**a ~~a ==a ", n) + "x" + repeat(" a== a~~ a**", n),
    };
    std::size_t written = 0;
    on_small_stack([&] {
        Ctx p;
        for (const std::string& t : texts) {
            ast::Inlines out = p.parse(t);
            ast::Document doc;
            doc.blocks.push_back(ast::Paragraph{{}, std::move(out)});
            written += write_md::render_md(doc).size();
        }
    });
    EXPECT_GT(written, 0u);
}

namespace {

// Walks a tree iteratively; `f(list, parent)` sees every inline list with
// the node that holds it (null at the top).
template <class F>
void each_list(const ast::Inlines& top, F&& f) {
    std::vector<std::pair<const ast::Inlines*, const ast::Inline*>> stack{{&top, nullptr}};
    while (!stack.empty()) {
        auto [list, parent] = stack.back();
        stack.pop_back();
        f(*list, parent);
        for (const ast::Inline& in : *list) {
            visit(
                [&](const auto& n) {
                    if constexpr (requires { n.content; }) {
                        if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, ast::Inlines>)
                            stack.push_back({&n.content, &in});
                    }
                    if constexpr (requires { n.alt; }) stack.push_back({&n.alt, &in});
                },
                in);
        }
    }
}

}  // namespace

// Random mixtures of every trigger under every option level: the parser
// returns a coalesced tree (no Text next to Text, no attribute-free Strong
// directly in an attribute-free Strong) within the depth cap, however the
// constructs interleave.
TEST(RandomText, ResultsAreCoalescedAndBounded) {
    const char* pieces[] = {"*", "_", "**", "~", "~~", "=", "==", "^", "^[", "[", "]", "![", "](", "(", ")",
                            "{", "}", "{.a}", "{:#i}", "{=html}", "`", "``", "$", "$$", "\\(", "\\)", "\\[",
                            "\\]", "\\", "<", "<b>", "</b>", "<!--", "-->", ">", "@", "a@b.cd", "http://x.y/",
                            "www.", "mailto:", "&amp;", "&#", "\n", "  \n", " ", "a", "b", "\xC3\xA9", ";",
                            "-@k", "[^n]", "[d]", "\xEE\x80\x80", "\xFF"};
    std::mt19937 rng(99);
    std::size_t lists = 0;
    for (int level = 0; level < 4; ++level) {
        Ctx p;
        p.options.math = static_cast<std::uint8_t>(level);
        p.options.autolinks = level % 2 == 0;
        p.labels.insert("n");
        p.defs["d"] = inline_::LinkRef{"/d", std::nullopt, {}};
        for (int it = 0; it < 4000; ++it) {
            std::string s;
            int k = 1 + static_cast<int>(rng() % 30);
            for (int i = 0; i < k; ++i) s += pieces[rng() % std::size(pieces)];
            ast::Inlines out = p.parse(s);
            ASSERT_LE(shape(out).depth, inline_::max_inline_depth) << s;
            each_list(out, [&](const ast::Inlines& list, const ast::Inline* parent) {
                ++lists;
                for (std::size_t i = 1; i < list.size(); ++i)
                    ASSERT_FALSE(list[i - 1].is<ast::Text>() && list[i].is<ast::Text>()) << s;
                const auto* strong = parent ? parent->as<ast::Strong>() : nullptr;
                if (strong && strong->attr.empty())
                    for (const ast::Inline& child : list)
                        if (const auto* inner = child.as<ast::Strong>()) ASSERT_FALSE(inner->attr.empty()) << s;
            });
        }
    }
    EXPECT_GT(lists, 16000u);
}
