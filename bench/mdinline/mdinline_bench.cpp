// Inline parsing throughput (MB/s of inline text).
//
// Corpus: synthetic wiki pages read by the wikitext reader; every paragraph,
// heading and cell run written by the Markdown writer; the benchmark parses
// those written runs with the dataset's options, as the chunk stage does.
// Hostile shapes: each is built at two sizes; a linear parser shows about
// the same MB/s for both.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "tavrel/inline.hpp"
#include "tavrel/options.hpp"
#include "tavrel/wikitext.hpp"
#include "tavrel/write_md.hpp"

using namespace tavrel;

namespace {

const char* const kWords[] = {
    "the", "of", "and", "in", "river", "city", "population", "century", "north", "caf\xC3\xA9", "1984",
    "(see below)", "e.g.", "''italic''", "'''bold'''", "'''''both'''''", "[[Link]]", "[[Target|label]]",
    "[http://example.org site]", "<ref>Source, p. 4.</ref>", "<ref name=a>Named.</ref>", "{{cite|x}}",
    "{{convert|3|km}}", "&amp;", "&nbsp;", "R&D", "a*b", "x_y", "50%", "<sup>2</sup>", "<sub>n</sub>",
    "<code>f(x)</code>", "<math>x^2</math>", "<small>s</small>", "[x]", "\xE2\x80\x94", "\"quoted\"", "it's",
};

std::vector<std::string> corpus_runs() {
    std::mt19937 rng(42);
    std::vector<std::string> runs;
    ast::Document empty;
    for (int page = 0; page < 300; ++page) {
        std::string text;
        for (int para = 0; para < 8; ++para) {
            if (para % 4 == 0) text += "== Section ==\n";
            int n = 20 + static_cast<int>(rng() % 60);
            for (int w = 0; w < n; ++w) {
                text += kWords[rng() % std::size(kWords)];
                text += (w % 17 == 16) ? "\n" : " ";
            }
            text += "\n\n";
        }
        ast::Document doc = wikitext::document::parse(text);
        for (const ast::Block& b : doc.blocks) {
            const ast::Inlines* run = nullptr;
            if (auto* p = b.as<ast::Paragraph>()) run = &p->content;
            if (auto* h = b.as<ast::Heading>()) run = &h->content;
            if (!run) continue;
            write_md::Renderer r(empty);
            r.inlines(*run);
            runs.push_back(r.take());
        }
    }
    return runs;
}

struct Env {
    Options options = Options::dataset();
    inline_::LinkDefs defs;
    inline_::FootnoteLabels labels;
    inline_::InlineContext ctx{options, defs, labels};
};

void BM_WriterOutput(benchmark::State& state) {
    static const std::vector<std::string> runs = corpus_runs();
    Env env;
    for (int i = 1; i <= 16; ++i) env.labels.insert("__note" + std::to_string(i));
    env.labels.insert("a");
    std::size_t bytes = 0;
    for (const auto& r : runs) bytes += r.size();
    for (auto _ : state) {
        for (const auto& r : runs) benchmark::DoNotOptimize(inline_::parse_inner(r, env.ctx));
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["runs"] = static_cast<double>(runs.size());
}
BENCHMARK(BM_WriterOutput)->Unit(benchmark::kMillisecond);

std::string repeat(std::string_view unit, std::size_t bytes) {
    std::string s;
    while (s.size() < bytes) s.append(unit);
    return s;
}

// `before`, a number, `after`, numbered from 0 on until `bytes` are written.
std::string numbered(std::string_view before, std::string_view after, std::size_t bytes) {
    std::string s;
    for (std::size_t i = 0; s.size() < bytes; ++i) {
        s.append(before);
        s.append(std::to_string(i));
        s.append(after);
    }
    return s;
}

// Hostile shapes, indexed by the first argument; the second is the size.
std::string hostile(int shape, std::size_t size) {
    switch (shape) {
        case 0: return repeat("*a ", size);                 // unmatched openers
        case 1: return repeat("a* ", size);                 // unmatched closers
        case 2: return repeat("[a ", size);                 // unmatched link brackets
        case 3: return repeat("[a](", size);                // inline link attempts without ")"
        case 4: return repeat("`", size / 2) + "x";         // one long backtick run
        case 5: {                                           // backtick runs of every length
            std::string s;
            for (std::size_t len = 1; s.size() < size; ++len) s += std::string(len, '`') + "x";
            return s;
        }
        case 6: return repeat("$$a \\(b \\[c ", size);      // math openers without closers
        case 7: {                                           // deep span nesting
            std::size_t n = size / 6;
            return repeat("[", n) + "x" + repeat("]{.a}", n * 5);
        }
        case 8: {                                           // deep emphasis nesting
            std::size_t n = size / 6;
            return repeat("*a ", n * 3) + "x" + repeat(" a*", n * 3);
        }
        case 9: return repeat("<a ", size);                 // angle openers without ">"
        case 10: return repeat("(a@b.c ", size);            // e-mail candidates
        case 11: return repeat("~~a ", size);               // strikeout openers
        case 12: return repeat("^[a ", size);               // note openers
        case 13: return repeat("(http://_/", size);         // refused bare URLs in one word
        case 14: return repeat("(http://_?", size);
        case 15: return repeat("(www.", size);
        case 16: return repeat("[a]{ ", size);             // attribute blocks without "}"
        case 17: return repeat("*a*{a=1 ", size);          // closers before unclosed blocks
        case 18: return repeat("[@a;", size);              // e-mail words and reference lists
        case 19: return repeat("_a*b ", size);             // mixed unmatched runs
        case 20:                                            // deep spans around much emphasis
            return repeat("[", 250) + repeat("*a* ", size) + repeat("]{.a}", 250);
        case 21: return "*a*" + repeat("{.c}", size);      // one emphasis's attribute blocks
        case 22: return "*a*" + numbered("{.c", "}", size);  // ... each a class of its own
        case 23: return "*a*{" + numbered(".c", " ", size) + "}";  // one block of many classes
        case 24: return "[a](b)" + numbered("{ref=x k", "=v}", size);  // "ref" and a key each
        case 25: return "[@a0; @a1]" + repeat("{ref=x}", size);  // "ref" values reaching a list's links
        case 26: return "[" + numbered("@a", "; ", size / 2) + "@z]" + repeat("{ref=}", size / 2);  // ... many
        case 27: return "[@a0; @a1]" + numbered("{.c", "}", size);  // a list's classes
        case 28: return repeat("[@a; @b]" + repeat("{ref=x}", 64 * 7) + " ", size);  // many lists, each a run
        default: return {};
    }
}

void BM_Hostile(benchmark::State& state) {
    std::string text = hostile(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
    Env env;
    env.options.math = 3;
    for (auto _ : state) benchmark::DoNotOptimize(inline_::parse_inner(text, env.ctx));
    state.SetBytesProcessed(static_cast<int64_t>(text.size()) * state.iterations());
}
BENCHMARK(BM_Hostile)
    ->ArgsProduct({benchmark::CreateDenseRange(0, 28, 1), {1 << 16, 1 << 20}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
