// Peak memory of one conversion or one Markdown round trip, for the hostile
// shapes that `memory_shapes.py` generates: run once per input, in a process
// of its own, so the resident peak is that input's alone.
//
//     memory_peak wiki FILE   convert_document + render_md (what quillmd runs)
//     memory_peak md FILE     parse_source + render_md
//
// Prints one line of JSON: the input's size, the heap's peak in bytes (every
// allocation of this program goes through the counting operator new below)
// while reading and while writing, and the process's peak resident size.
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <string_view>

#include "corpuswright/convert.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/write_md.hpp"

namespace heap {
std::atomic<std::size_t> in_use{0};
std::atomic<std::size_t> peak{0};
void add(std::size_t n) {
    std::size_t now = in_use.fetch_add(n, std::memory_order_relaxed) + n;
    std::size_t p = peak.load(std::memory_order_relaxed);
    while (now > p && !peak.compare_exchange_weak(p, now, std::memory_order_relaxed)) {
    }
}
// Starts a new phase: its peak is measured from what is in use now.
std::size_t restart() {
    std::size_t now = in_use.load();
    peak.store(now);
    return now;
}
}  // namespace heap

void* operator new(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    heap::add(malloc_usable_size(p));
    return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept {
    if (!p) return;
    heap::in_use.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

// The process's peak resident size in KiB (VmHWM), which, unlike
// getrusage's, does not carry over the peak of the process that exec'ed it.
long peak_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (std::string_view(line).starts_with("VmHWM:")) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

int main(int argc, char** argv) {
    if (argc != 3 || (std::string(argv[1]) != "wiki" && std::string(argv[1]) != "md")) {
        std::fprintf(stderr, "usage: memory_peak wiki|md FILE\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "memory_peak: cannot read %s\n", argv[2]);
        return 2;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bool wiki = std::string(argv[1]) == "wiki";

    std::size_t base = heap::restart();
    std::size_t read_peak = 0, write_peak = 0, out_bytes = 0;
    {
        tavrel::ast::Document doc;
        if (wiki) {
            corpuswright::roles::TemplateRoles roles;
            auto converted = corpuswright::convert_document(text, roles);
            if (converted) doc = std::move(converted->document);
        } else {
            doc = tavrel::block::parse_source(text, tavrel::Options::dataset());
        }
        read_peak = heap::peak.load() - base;
        std::size_t held = heap::restart();
        std::string md = tavrel::write_md::render_md(doc);
        write_peak = heap::peak.load() - base;
        (void)held;
        out_bytes = md.size();
    }
    std::printf("{\"input\": %zu, \"output\": %zu, \"read_heap\": %zu, \"write_heap\": %zu, \"rss_kb\": %ld}\n",
                text.size(), out_bytes, read_peak, write_peak, peak_rss_kib());
    return 0;
}
