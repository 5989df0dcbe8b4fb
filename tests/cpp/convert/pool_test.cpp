// The shared pool: every index runs once, loops nest, what a call throws
// reaches the loop's caller, and a forked child gets threads of its own.
#include "corpuswright/pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <vector>

namespace corpuswright::pool {
namespace {

bool every_index_once(std::size_t outer, std::size_t inner) {
    std::vector<std::atomic<int>> ran(outer * inner);
    for_each_index(outer, [&](std::size_t i) {
        for_each_index(inner, [&](std::size_t j) { ran[i * inner + j].fetch_add(1); });
    });
    for (auto& r : ran) {
        if (r.load() != 1) return false;
    }
    return true;
}

TEST(SharedPool, NestedLoopsRunEveryIndexOnce) {
    EXPECT_TRUE(every_index_once(1, 1));
    EXPECT_TRUE(every_index_once(16, 257));
    EXPECT_TRUE(every_index_once(300, 3));
    std::atomic<int> ran{0};
    {
        Task a([&] { for_each_index(50, [&](std::size_t) { ++ran; }); });
        Task b([&] { ++ran; });
        a.wait();
    }
    EXPECT_EQ(ran.load(), 51);
}

TEST(SharedPool, WhatACallThrowsReachesTheCallerAndThePoolGoesOn) {
    std::atomic<int> ran{0};
    EXPECT_THROW(for_each_index(1000,
                                [&](std::size_t i) {
                                    if (i == 3) throw std::bad_alloc();
                                    ++ran;
                                }),
                 std::bad_alloc);
    EXPECT_LT(ran.load(), 1000);
    Task failing([] { throw std::bad_alloc(); });
    EXPECT_THROW(failing.wait(), std::bad_alloc);
    EXPECT_TRUE(every_index_once(64, 64));
}

TEST(SharedPool, AForkedChildGetsThreadsOfItsOwn) {
    ASSERT_TRUE(every_index_once(64, 64));  // the parent's threads exist
    const std::size_t threads = start();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(60);  // a child waiting for the parent's threads fails, not hangs
        _exit(every_index_once(64, 64) && start() == threads ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace corpuswright::pool
