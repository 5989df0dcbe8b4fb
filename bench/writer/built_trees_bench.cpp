// Time of writing trees a caller built, shapes the reader never gives: the
// writer's cost on them must grow with the text alone. A program of its
// own: the node code that building trees here instantiates would otherwise
// be the copy the linker keeps for the reader's benchmarks too, and move
// their instruction counts.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "tavrel/ast.hpp"
#include "tavrel/write_md.hpp"

namespace {

// Writing trees a caller built, of strikeouts nested 16 and 64 deep, each
// level after a ">" (whose delimiters would be given up for their element
// form), with a key no tag can hold at every other level, 128 KB to 1 MB
// of text: each node is written once, not once for each form tried at
// every level around it, and the time must double with the text.
void BM_HostileNestedStrikeoutsWrite(benchmark::State& state) {
    namespace ast = tavrel::ast;
    const auto depth = static_cast<int>(state.range(1));
    ast::Inlines para;
    std::size_t size = 0;
    while (size < static_cast<std::size_t>(state.range(0))) {
        ast::Inlines inner{ast::Inline{ast::Text{"a"}}};
        for (int i = 0; i < depth; ++i) {
            ast::Inlines content{ast::Inline{ast::Text{">"}}};
            for (auto& n : inner) content.push_back(std::move(n));
            ast::Attr attr;
            if (i % 2 == 1) attr.pairs.emplace_back("-", "");
            inner = ast::Inlines{ast::Inline{ast::Strikeout{std::move(attr), std::move(content)}}};
        }
        para.push_back(std::move(inner.front()));
        para.push_back(ast::Inline{ast::Text{" "}});
        size += static_cast<std::size_t>(depth) * 14 + 2;
    }
    ast::Document doc;
    doc.blocks.push_back(ast::Block{ast::Paragraph{ast::Attr{}, std::move(para)}});
    std::size_t written = 0;
    for (auto _ : state) {
        std::string md = tavrel::write_md::render_md(doc);
        written = md.size();
        benchmark::DoNotOptimize(md.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(written));
}
BENCHMARK(BM_HostileNestedStrikeoutsWrite)
    ->ArgsProduct({benchmark::CreateRange(128 << 10, 1 << 20, 2), {16, 64}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
