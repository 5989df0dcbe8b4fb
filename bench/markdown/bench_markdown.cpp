// MB/s of `parse_source` over Markdown that the canonical writer produced for
// synthetic wikitext pages, with the options the chunk stage reads with; one
// thread. Also reports the cost of the whole round trip (read and write).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "synthetic_pages.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/wikitext.hpp"
#include "tavrel/write_md.hpp"

namespace {

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
        default:  // list items nested to the limit, repeatedly
            for (int r = 0; r < 40; ++r)
                for (int i = 0; i < 150; ++i) s += std::string(static_cast<std::size_t>(i) * 2, ' ') + "- x\n";
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
}
BENCHMARK(BM_Hostile)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
