// Throughput of the dataset's serial path: the XML dump page reader over an
// in-memory synthetic dump, and the article record writer and reader.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "corpuswright/stages/pages.hpp"
#include "corpuswright/stages/records.hpp"

using namespace corpuswright::stages;

namespace {

// A dump of wiki-like pages with escaped markup in the text. `dense` puts a
// reference every dozen bytes or so (a worst case); otherwise about one per
// hundred bytes, closer to article text with references and quoted template
// arguments.
std::string make_dump(std::size_t target_bytes, bool dense) {
    std::mt19937 rng(42);
    static const char* dense_words[] = {"river", "stone", "bridge", "market", "&lt;ref&gt;", "[[link]]",
                                        "{{tpl|x}}", "&quot;q&quot;", "harbour", "council", "railway", "&amp;",
                                        "'''bold'''", "== Head ==\n", "* item\n"};
    static const char* plain_words[] = {"river", "stone", "bridge", "market", "harbour", "council", "railway",
                                        "station", "[[link]]", "{{tpl|x}}", "'''bold'''", "valley", "northern",
                                        "century", "opened", "== Head ==\n", "* item\n", "the", "of", "and",
                                        "&lt;ref&gt;", "built", "named", "founded", "crossing", "museum",
                                        "library", "garden", "festival", "season"};
    const char* const* words = dense ? dense_words : plain_words;
    std::size_t nwords = dense ? std::size(dense_words) : std::size(plain_words);
    std::string out = "<mediawiki xmlns=\"http://www.mediawiki.org/xml/export-0.11/\">\n<siteinfo><sitename>S</sitename></siteinfo>\n";
    std::size_t id = 1;
    while (out.size() < target_bytes) {
        out += "<page>\n<title>Page " + std::to_string(id) + "</title>\n<ns>0</ns>\n<id>" + std::to_string(id) +
               "</id>\n<revision>\n<id>" + std::to_string(id + 1000) +
               "</id>\n<timestamp>2024-01-01T00:00:00Z</timestamp>\n<contributor><username>U</username><id>7</id></contributor>\n"
               "<model>wikitext</model>\n<format>text/x-wiki</format>\n<text bytes=\"1\" xml:space=\"preserve\">";
        std::size_t words_in_page = 200 + rng() % 3000;
        for (std::size_t w = 0; w < words_in_page; ++w) {
            out += words[rng() % nwords];
            out.push_back(w % 17 == 16 ? '\n' : ' ');
        }
        out += "</text>\n<sha1>abc</sha1>\n</revision>\n</page>\n";
        ++id;
    }
    out += "</mediawiki>\n";
    return out;
}

class MemoryReader final : public ByteReader {
public:
    explicit MemoryReader(const std::string& s) : s_(s) {}
    corpuswright::Result<std::size_t> read(char* buf, std::size_t n) override {
        std::size_t k = std::min(n, s_.size() - pos_);
        std::memcpy(buf, s_.data() + pos_, k);
        pos_ += k;
        return k;
    }

private:
    const std::string& s_;
    std::size_t pos_ = 0;
};

void BM_PageReader(benchmark::State& state) {
    static const std::string dense_dump = make_dump(64 << 20, true);
    static const std::string plain_dump = make_dump(64 << 20, false);
    const std::string& dump = state.range(0) ? dense_dump : plain_dump;
    std::size_t pages_read = 0;
    for (auto _ : state) {
        Pages pages(std::make_unique<MemoryReader>(dump));
        while (true) {
            auto next = pages.next();
            if (!next.ok() || !next.value()) break;
            benchmark::DoNotOptimize(next.value()->text.data());
            ++pages_read;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * dump.size()));
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(pages_read), benchmark::Counter::kIsRate);
}
// Argument 0: about one reference per hundred bytes; 1: the dense worst case.
BENCHMARK(BM_PageReader)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ArticleWriteRead(benchmark::State& state) {
    Article a;
    a.article_id = 12345;
    a.page_id = 678;
    a.revision_id = 9;
    a.title = "A \"quoted\" title";
    a.timestamp = "2024-01-01T00:00:00Z";
    for (int i = 0; i < 2000; ++i) a.md += "Some **Markdown** text with a line\n\n";
    std::string line;
    for (auto _ : state) {
        line.clear();
        append_article(line, a);
        auto back = read_article(line);
        benchmark::DoNotOptimize(back.ok());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ArticleWriteRead);

}  // namespace

BENCHMARK_MAIN();
