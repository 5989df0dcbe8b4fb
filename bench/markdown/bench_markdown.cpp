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

}  // namespace

BENCHMARK_MAIN();
