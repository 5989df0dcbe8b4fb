// Destroying a tree when memory has run out: the destructors' work list
// cannot be allocated, and they must still free every node without
// throwing (an exception from a destructor ends the process).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tavrel/ast.hpp"

namespace {

std::atomic<bool> exhausted{false};  // every allocation fails while set
std::atomic<long> live{0};           // allocations not yet freed

}  // namespace

void* operator new(std::size_t n) {
    if (exhausted.load(std::memory_order_relaxed)) throw std::bad_alloc();
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    live.fetch_add(1, std::memory_order_relaxed);
    return p;
}
void operator delete(void* p) noexcept {
    if (p == nullptr) return;
    live.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace ast = tavrel::ast;

TEST(TreeOutOfMemory, NestedTreesAreFreedWithoutThrowing) {
    long before = live.load();
    {
        ast::Inline emph(ast::Text{"leaf"});
        ast::Block quote(ast::Paragraph{{}, {ast::Text{"leaf"}}});
        for (int i = 0; i < 500; ++i) {
            ast::Emph e;
            e.content.push_back(std::move(emph));
            e.content.push_back(ast::Strong{{}, {ast::Text{"side"}}});
            emph = ast::Inline(std::move(e));
            ast::BlockQuote q;
            q.blocks.push_back(std::move(quote));
            q.blocks.push_back(ast::Block(ast::Div{{}, {ast::Block(ast::Paragraph{})}}));
            quote = ast::Block(std::move(q));
        }
        EXPECT_GT(live.load(), before + 2000);
        exhausted = true;
    }
    exhausted = false;
    EXPECT_EQ(live.load(), before);
}
