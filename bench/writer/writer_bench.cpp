// Throughput of `render_md`, in MB of Markdown written per second, over
// synthetic wiki pages parsed once by the wikitext reader before timing.
// The pages mix the constructs that real articles use (sections, emphasis,
// links, references, lists, tables, template calls, stray spaces left for the
// canonical shape to fix), so the slow paths are exercised in proportion.
// A second benchmark times the structural chunker, which writes each top-level
// block by itself.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "tavrel/chunk.hpp"
#include "tavrel/wikitext.hpp"
#include "tavrel/write_md.hpp"

namespace {

std::string synthetic_page(std::mt19937& rng, int sections) {
    static const char* words[] = {"the", "river", "valley", "caf\xC3\xA9", "north", "1887", "population",
                                  "*star*", "under_score", "a|b", "R&D", "&amp;lt;", "station", "\xE6\x97\xA5\xE6\x9C\xAC"};
    auto word = [&] { return std::string(words[rng() % std::size(words)]); };
    auto sentence = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) {
            if (i) s += ' ';
            switch (rng() % 23) {
                case 0: s += "''" + word() + " ''"; break;
                case 1: s += "'''" + word() + "'''"; break;
                case 2: s += "[[" + word() + "|" + word() + "]]"; break;
                case 3: s += "<ref>" + word() + " " + word() + ".</ref>"; break;
                case 4: s += "{{lang|fr|" + word() + "}}"; break;
                case 5: s += "x<sup>2</sup>"; break;
                default: s += word();
            }
        }
        return s + ". ";
    };
    std::string page = sentence(30) + "\n\n";
    for (int k = 0; k < sections; ++k) {
        page += "== Section " + std::to_string(k) + " ==\n";
        for (int p = 0; p < 3; ++p) page += sentence(25) + sentence(20) + "\n\n";
        page += "* " + sentence(8) + "\n** " + sentence(6) + "\n# " + sentence(5) + "\n";
        page += ": " + sentence(10) + "\n";
        if (k % 2 == 0) {
            page += "{| class=\"wikitable\"\n! A !! B\n|-\n| " + word() + " || " + word() + "\n|-\n| " + word() +
                    "<br>" + word() + " || 3\n|}\n";
        }
        page += "=== Sub ===\n" + sentence(40) + "\n\n";
    }
    return page;
}

std::vector<tavrel::ast::Document> corpus(std::size_t& md_bytes) {
    std::mt19937 rng(12345);
    std::vector<tavrel::ast::Document> docs;
    md_bytes = 0;
    for (int i = 0; i < 200; ++i) {
        docs.push_back(tavrel::wikitext::document::parse(synthetic_page(rng, 2 + i % 9)));
        md_bytes += tavrel::write_md::render_md(docs.back()).size();
    }
    return docs;
}

void BM_RenderMd(benchmark::State& state) {
    std::size_t bytes = 0;
    auto docs = corpus(bytes);
    for (auto _ : state) {
        for (const auto& d : docs) benchmark::DoNotOptimize(tavrel::write_md::render_md(d));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["pages"] = static_cast<double>(docs.size());
}
BENCHMARK(BM_RenderMd)->Unit(benchmark::kMillisecond);

void BM_ChunkRanges(benchmark::State& state) {
    std::size_t bytes = 0;
    auto docs = corpus(bytes);
    for (auto _ : state) {
        for (const auto& d : docs) benchmark::DoNotOptimize(tavrel::chunk::document_chunk_ranges_structural(d, 700));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_ChunkRanges)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
