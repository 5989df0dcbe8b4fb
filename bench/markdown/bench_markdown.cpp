// MB/s of `parse_source` over Markdown that the canonical writer produced for
// synthetic wikitext pages, with the options the chunk stage reads with; one
// thread. Also reports the cost of the whole round trip (read and write),
// and time and peak heap of hostile texts.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "synthetic_pages.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/wikitext.hpp"
#include "tavrel/write_md.hpp"

// Heap bytes in use and their peak, for the memory figures of the hostile
// shapes: every allocation of this program goes through here.
namespace heap {
std::atomic<std::size_t> in_use{0};
std::atomic<std::size_t> peak{0};
void add(std::size_t n) {
    std::size_t now = in_use.fetch_add(n, std::memory_order_relaxed) + n;
    std::size_t p = peak.load(std::memory_order_relaxed);
    while (now > p && !peak.compare_exchange_weak(p, now, std::memory_order_relaxed)) {
    }
}
}  // namespace heap

void* operator new(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    heap::add(malloc_usable_size(p));
    return p;
}
void operator delete(void* p) noexcept {
    if (!p) return;
    heap::in_use.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

// Parses `text` once more and reports the peak of the heap above what was
// in use before, in MB.
void report_peak(benchmark::State& state, const std::string& text, const tavrel::Options& options) {
    std::size_t before = heap::in_use.load();
    heap::peak.store(before);
    {
        auto doc = tavrel::block::parse_source(text, options);
        benchmark::DoNotOptimize(doc.blocks.data());
    }
    state.counters["peak_MB"] = static_cast<double>(heap::peak.load() - before) / 1e6;
}

const std::vector<std::string>& corpus() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> out;
        for (std::uint32_t seed = 1; seed <= 400; ++seed) {
            synthetic::Pages gen(seed);
            out.push_back(tavrel::write_md::render_md(tavrel::wikitext::document::parse(gen.page())));
        }
        return out;
    }();
    return texts;
}

std::size_t corpus_bytes() {
    std::size_t n = 0;
    for (const auto& t : corpus()) n += t.size();
    return n;
}

void BM_ParseSource(benchmark::State& state) {
    const auto options = tavrel::Options::dataset();
    for (auto _ : state) {
        for (const auto& md : corpus()) {
            auto doc = tavrel::block::parse_source(md, options);
            benchmark::DoNotOptimize(doc.blocks.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(corpus_bytes()));
}
BENCHMARK(BM_ParseSource)->Unit(benchmark::kMillisecond);

void BM_RoundTrip(benchmark::State& state) {
    const auto options = tavrel::Options::dataset();
    for (auto _ : state) {
        for (const auto& md : corpus()) {
            auto again = tavrel::write_md::render_md(tavrel::block::parse_source(md, options));
            benchmark::DoNotOptimize(again.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(corpus_bytes()));
}
BENCHMARK(BM_RoundTrip)->Unit(benchmark::kMillisecond);

// Hostile shapes, each about 1 MB: the reader must stay near linear on them.
std::string hostile(int kind) {
    std::string s;
    switch (kind) {
        case 0:  // quotes nested far past the limit
            for (int i = 0; i < 2000; ++i) s += std::string(400, '>') + " x\n";
            break;
        case 1:  // a link definition whose title never closes
            s = "[a]: /x \"open\n";
            for (int i = 0; i < 100000; ++i) s += "more text\n";
            break;
        case 2:  // blank lines inside indented code
            s = "    code\n";
            s += std::string(1000000, '\n');
            s += "    more\n";
            break;
        case 3:  // labels that never close, one per line
            for (int i = 0; i < 1000; ++i) s += "[" + std::string(990, 'a') + "\n";
            break;
        case 4:  // list items nested to the limit, repeatedly
            for (int r = 0; r < 40; ++r)
                for (int i = 0; i < 150; ++i) s += std::string(static_cast<std::size_t>(i) * 2, ' ') + "- x\n";
            break;
        default:  // paragraphs under markdown containers nested to the limit
            for (int i = 0; i < 127; ++i) s += "<div markdown=\"1\">\n\n";
            while (s.size() < 1000000) s += "b\n\n";
            break;
    }
    return s;
}

void BM_Hostile(benchmark::State& state) {
    const std::string text = hostile(static_cast<int>(state.range(0)));
    const auto options = tavrel::Options::dataset();
    for (auto _ : state) {
        auto doc = tavrel::block::parse_source(text, options);
        benchmark::DoNotOptimize(doc.blocks.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
    report_peak(state, text, options);
}
BENCHMARK(BM_Hostile)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

// A raw HTML block of known tags that never end ("<b " repeated): cleaning
// must stay linear, so doubling the count doubles the time.
void BM_HostileHtmlTags(benchmark::State& state) {
    std::string text = "<div>\n";
    for (std::int64_t i = 0; i < state.range(0); ++i) text += "<b ";
    text += "\n";
    const auto options = tavrel::Options::dataset();
    for (auto _ : state) {
        auto doc = tavrel::block::parse_source(text, options);
        benchmark::DoNotOptimize(doc.blocks.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
    report_peak(state, text, options);
}
BENCHMARK(BM_HostileHtmlTags)->Arg(20000)->Arg(40000)->Arg(80000)->Unit(benchmark::kMillisecond);

// One line of 1 MB of nested list markers ("- - - ... x", or "1. 1. ...",
// or footnote definitions "[^1]: [^2]: ..."): the containers nest to the
// limit, and their memory must stay a small multiple of the line. (The
// footnote labels differ so that the text past the limit holds no
// references to defined notes.)
void BM_HostileListLine(benchmark::State& state) {
    std::string text;
    for (int n = 1; text.size() < 1000000; ++n) {
        if (state.range(0) == 0) text += "- ";
        else if (state.range(0) == 1) text += "1. ";
        else text += "[^" + std::to_string(n) + "]: ";
    }
    text += "x\n";
    const auto options = tavrel::Options::dataset();
    for (auto _ : state) {
        auto doc = tavrel::block::parse_source(text, options);
        benchmark::DoNotOptimize(doc.blocks.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
    report_peak(state, text, options);
}
BENCHMARK(BM_HostileListLine)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// Writes `text` (markers and "a") with "b" lines after it up to the size
// of the benchmark's first argument, as read.
void write_as_read(benchmark::State& state, const std::string& text) {
    const auto doc = tavrel::block::parse_source(text, tavrel::Options::dataset());
    for (auto _ : state) {
        std::string md = tavrel::write_md::render_md(doc);
        benchmark::DoNotOptimize(md.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

void lazy_lines_write(benchmark::State& state, std::string text) {
    while (text.size() < static_cast<std::size_t>(state.range(0))) text += "b\n";
    write_as_read(state, text);
}

// Writing lazy lines under 127 nested quotes (127 ">", " a", then "b"
// lines), 128 KB to 1 MB of text: every line is written after all the
// markers, about 128 times the text, and the time must double with it.
void BM_HostileLazyQuotesWrite(benchmark::State& state) { lazy_lines_write(state, std::string(127, '>') + " a\n"); }
BENCHMARK(BM_HostileLazyQuotesWrite)->RangeMultiplier(2)->Range(128 << 10, 1 << 20)->Unit(benchmark::kMillisecond);

// Writing lazy lines under items nested on one line, 128 KB to 1 MB of
// text: 127 bullets ("- - - a", then "b" lines; the reader nests the first
// 64), and 60 items each holding a quote ("- > - > a"). Each line is
// written after all the indentation and markers, and the time must double
// with the text.
void BM_HostileLazyItemsWrite(benchmark::State& state) {
    std::string text;
    for (int i = 0; i < (state.range(1) == 0 ? 127 : 60); ++i) text += state.range(1) == 0 ? "- " : "- > ";
    lazy_lines_write(state, text + "a\n");
}
BENCHMARK(BM_HostileLazyItemsWrite)
    ->ArgsProduct({benchmark::CreateRange(128 << 10, 1 << 20, 2), {0, 1}})
    ->Unit(benchmark::kMillisecond);

// Writing paragraphs that begin with item numbers between other blocks,
// 128 KB to 1 MB of text: "1.  x" and a quote, "1\\. x" and an item "1."
// alone, and after "1. a" a quote and "3. x" or "1.  x", or a paragraph and
// a list from 2 of two quotes. Each paragraph is asked about as the reader
// numbers it on from the blocks before it, and so is each list not from 1,
// and the time must double with the text.
void BM_HostileNumberedParagraphsWrite(benchmark::State& state) {
    static const char* const units[] = {"1.  x\n\n> q\n\n", "1\\. x\n\n1.\n\n", "> q\n\n3. x\n\n",
                                        "> q\n\n1.  x\n\n", "x\n\n2. > b\n3. > c\n\n"};
    std::string text = state.range(1) >= 2 ? "1. a\n\n" : "";
    while (text.size() < static_cast<std::size_t>(state.range(0))) text += units[state.range(1)];
    write_as_read(state, text);
}
BENCHMARK(BM_HostileNumberedParagraphsWrite)
    ->ArgsProduct({benchmark::CreateRange(128 << 10, 1 << 20, 2), {0, 1, 2, 3, 4}})
    ->Unit(benchmark::kMillisecond);

// Writing spans nested 8 and 127 deep, each with a key no tag can hold,
// around a "www." address that only brackets keep bare, 128 KB to 1 MB of
// text: the outermost span is read back once to check it, not every level
// again, and the time must double with the text.
void BM_HostileKeptSpansWrite(benchmark::State& state) {
    const auto depth = static_cast<std::size_t>(state.range(1));
    std::string unit = std::string(depth, '[') + "www.] ";
    for (std::size_t i = 0; i < depth; ++i) unit += "]{-=1}";
    unit += "\n\n";
    std::string text;
    while (text.size() < static_cast<std::size_t>(state.range(0))) text += unit;
    write_as_read(state, text);
}
BENCHMARK(BM_HostileKeptSpansWrite)
    ->ArgsProduct({benchmark::CreateRange(128 << 10, 1 << 20, 2), {8, 127}})
    ->Unit(benchmark::kMillisecond);

// Writing links that open with a superscript holding a key no tag can hold,
// each beside a footnote of its own, 128 KB to 1 MB of text: each is
// checked against every label written, which must not cost the number of
// footnotes each time.
void BM_HostileSuperscriptLinksWrite(benchmark::State& state) {
    std::string refs, defs;
    for (int i = 0; refs.size() + defs.size() < static_cast<std::size_t>(state.range(0)); ++i) {
        refs += "[^y" + std::to_string(i) + "^{-=1}](u) [^f" + std::to_string(i) + "]\n\n";
        defs += "[^f" + std::to_string(i) + "]: x\n\n";
    }
    write_as_read(state, refs + defs);
}
BENCHMARK(BM_HostileSuperscriptLinksWrite)
    ->RangeMultiplier(2)
    ->Range(128 << 10, 1 << 20)
    ->Unit(benchmark::kMillisecond);

// Writing emphases that hold a "_" in a code span and a key no tag can
// hold, each after an inline note, 128 KB to 1 MB of text: each is read
// back to check its "_" runs with only the notes it holds defined, which
// must not cost the number of notes in the text each time.
void BM_HostileUnderscoreEmphasisWrite(benchmark::State& state) {
    std::string text;
    while (text.size() < static_cast<std::size_t>(state.range(0))) text += "x^[n] _**`_`**{-=1}_ ";
    write_as_read(state, text);
}
BENCHMARK(BM_HostileUnderscoreEmphasisWrite)
    ->RangeMultiplier(2)
    ->Range(128 << 10, 1 << 20)
    ->Unit(benchmark::kMillisecond);

// Writing lists "1." alone after an ordered list whose last item leaves raw
// HTML open, 128 KB to 1 MB of text: "2. <div>" and two such lists, and a
// list of two items ending in "<div>" with an attribute line and one such
// list. Each is asked whether it reads back as text after the lists the
// reader numbers it on from, which must not read the chain from its start
// each time: the time must double with the text.
void BM_HostileOpenHtmlListsWrite(benchmark::State& state) {
    static const char* const units[] = {"2. <div>\n\n1.\n\n1.\n\n", "1.\n1. <div>\n{:a=}\n\n1.\n\n"};
    std::string text;
    while (text.size() < static_cast<std::size_t>(state.range(0))) text += units[state.range(1)];
    write_as_read(state, text);
}
BENCHMARK(BM_HostileOpenHtmlListsWrite)
    ->ArgsProduct({benchmark::CreateRange(128 << 10, 1 << 20, 2), {0, 1}})
    ->Unit(benchmark::kMillisecond);

// Writing lines under containers nested deep whose written form does not
// indent their content, 128 KB to 1 MB of text: 128 "::: x" fences, 128
// '<div markdown="1">' tags, and 16 divs each with a quote inside, then
// "b" lines. A div's fence is chosen from the lines of colons in its text,
// which each div around it must not read again, in a quote either: the
// time must double with the text.
void BM_HostileDeepDivsWrite(benchmark::State& state) {
    std::string text;
    for (int i = 0; i < (state.range(1) == 2 ? 16 : 128); ++i) {
        if (state.range(1) == 0) text += "::: x\n";
        if (state.range(1) == 1) text += "<div markdown=\"1\">\n\n";
        if (state.range(1) == 2) text += std::string(static_cast<std::size_t>(i), '>') + (i ? " ::: x\n" : "::: x\n");
    }
    lazy_lines_write(state, text + (state.range(1) == 2 ? std::string(16, '>') + " a\n" : "a\n"));
}
BENCHMARK(BM_HostileDeepDivsWrite)
    ->ArgsProduct({benchmark::CreateRange(128 << 10, 1 << 20, 2), {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
