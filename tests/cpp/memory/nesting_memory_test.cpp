// Heap used by the readers and the writer on deeply nested input: the peak
// must stay close to that of a flat text of the same size, whatever the
// nesting depth. A reader that keeps a frame, an index or a copy per nesting
// level passes every functional test and still takes gigabytes on one
// hostile page.
//
// Every allocation of this test program goes through the counting operator
// new below (the readers allocate only through it).
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "tavrel/markdown.hpp"
#include "tavrel/wikitext.hpp"
#include "tavrel/write_md.hpp"

namespace {
std::atomic<std::size_t> g_in_use{0};
std::atomic<std::size_t> g_peak{0};
std::atomic<std::size_t> g_total{0};  // every byte ever allocated
}  // namespace

void* operator new(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    g_total.fetch_add(malloc_usable_size(p));
    std::size_t now = g_in_use.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
    std::size_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
    return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept {
    if (!p) return;
    g_in_use.fetch_sub(malloc_usable_size(p));
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
// The nothrow forms too (std::stable_sort's buffer): left to the runtime,
// its allocation would be freed by the counting delete above.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return operator new(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

namespace {

// Heap bytes at the peak of `work`, above what was in use before it; and
// all it allocated, in `total`.
std::size_t total = 0;
std::size_t peak_of(const std::function<void()>& work) {
    std::size_t before = g_in_use.load();
    g_peak.store(before);
    const std::size_t total_before = g_total.load();
    work();
    total = g_total.load() - total_before;
    return g_peak.load() - before;
}

std::string repeat(std::string_view unit, std::size_t times) {
    std::string s;
    s.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) s.append(unit);
    return s;
}

// A nested shape and a flat one of about the same size and content.
struct Shape {
    const char* name;
    bool wikitext;  // else Markdown
    std::string nested;
    std::string flat;
    bool write = true;
    // Also what is allocated in all must not grow with the depth (blocks
    // moved from level to level).
    bool all_allocated = false;
};

std::size_t peak_for(const Shape& shape, const std::string& text) {
    return peak_of([&] {
        auto doc = shape.wikitext ? tavrel::wikitext::document::parse(text)
                                  : tavrel::block::parse_source(text, tavrel::Options::dataset());
        EXPECT_FALSE(doc.blocks.empty());
        if (shape.write) EXPECT_FALSE(tavrel::write_md::render_md(doc).empty());
    });
}

TEST(NestingMemory, NestingDepthDoesNotMultiplyThePeak) {
    constexpr std::size_t kLevels = 20000;
    auto nest = [&](std::string_view open, std::string_view close) {
        return repeat(open, kLevels) + "x" + repeat(close, kLevels);
    };
    auto flat = [&](std::string_view open, std::string_view close) {
        return repeat(std::string(open) + "x" + std::string(close), kLevels);
    };
    const std::string lines = "a\n" + repeat("b\n", kLevels);
    const std::string paras = repeat("b\n\n", kLevels);
    const Shape shapes[] = {
        {"spans", true, nest("<span>", "</span>"), flat("<span>", "</span>")},
        {"small", true, nest("<small>", "</small>"), flat("<small>", "</small>")},
        {"sup", true, nest("<sup>", "</sup>"), flat("<sup>", "</sup>")},
        // Lines continuing a paragraph lazily under items and quotes nested
        // on the first line. The written text indents every line once per
        // level, so only the reading is compared.
        {"lazy lines under bullet items", false, repeat("- ", 127) + lines, lines, false},
        {"lazy lines under ordered items", false, repeat("1. ", 127) + lines, lines, false},
        {"lazy lines under quotes", false, repeat("> ", 127) + lines, lines, false},
        // Paragraphs in markdown containers, whose blocks stand where they
        // do in the tree.
        {"paragraphs under markdown containers", false, repeat("<div markdown=\"1\">\n\n", 127) + paras, paras,
         true, true},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.name);
        std::size_t nested = peak_for(shape, shape.nested);
        const std::size_t nested_total = total;
        std::size_t flat_peak = peak_for(shape, shape.flat);
        EXPECT_LE(nested, 2 * flat_peak + (1u << 20)) << nested << " bytes nested, " << flat_peak << " flat";
        if (shape.all_allocated)
            EXPECT_LE(nested_total, 2 * total + (1u << 20)) << nested_total << " bytes nested, " << total << " flat";
    }
}

}  // namespace
