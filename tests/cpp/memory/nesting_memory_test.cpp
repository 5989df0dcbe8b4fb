// Heap used by the readers and the writer on deeply nested input: the peak
// must stay a small multiple of the input, whatever the nesting depth. A
// reader that keeps a frame, an index or a copy per nesting level passes
// every functional test and still takes gigabytes on one hostile page.
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
}  // namespace

void* operator new(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
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

namespace {

// Heap bytes at the peak of `work`, above what was in use before it.
std::size_t peak_of(const std::function<void()>& work) {
    std::size_t before = g_in_use.load();
    g_peak.store(before);
    work();
    return g_peak.load() - before;
}

std::string repeat(std::string_view unit, std::size_t times) {
    std::string s;
    s.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) s.append(unit);
    return s;
}

struct Shape {
    const char* name;
    bool wikitext;  // else Markdown
    std::string text;
    // Heap bytes allowed per input byte, reading and writing.
    std::size_t per_byte;
};

TEST(NestingMemory, PeakStaysAFewTimesTheInputAtAnyDepth) {
    constexpr std::size_t kLevels = 20000;
    const Shape shapes[] = {
        {"nested spans", true, repeat("<span>", kLevels) + "x" + repeat("</span>", kLevels), 64},
        {"nested small", true, repeat("<small>", kLevels) + "x" + repeat("</small>", kLevels), 64},
        {"nested sup", true, repeat("<sup>", kLevels) + "x" + repeat("</sup>", kLevels), 64},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.name);
        std::size_t peak = peak_of([&] {
            if (shape.wikitext) {
                auto doc = tavrel::wikitext::document::parse(shape.text);
                std::string md = tavrel::write_md::render_md(doc);
                EXPECT_FALSE(md.empty());
            } else {
                auto doc = tavrel::block::parse_source(shape.text, tavrel::Options::dataset());
                std::string md = tavrel::write_md::render_md(doc);
                EXPECT_FALSE(md.empty());
            }
        });
        EXPECT_LE(peak, shape.per_byte * shape.text.size() + (1u << 20))
            << peak / shape.text.size() << " bytes per input byte";
    }
}

}  // namespace
