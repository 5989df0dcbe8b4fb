// LZ4 block decoding throughput (bytes decoded per CPU second) and the cost
// of the ordered job pipeline per job, both without the byte pipe.
//
// Input: a synthetic wiki-like text compressed by the `lz4` tool (64 KiB and
// 4 MiB blocks); the benchmark decodes every block of the frame serially.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "rvk/lz4.hpp"
#include "rvk/pipeline.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes wiki_like(std::size_t size) {
  std::mt19937 rng(3);
  std::vector<std::string> vocab;
  for (int i = 0; i < 3000; ++i) {
    std::string w;
    const int n = 1 + static_cast<int>(rng() % 9);
    for (int k = 0; k < n; ++k) w.push_back(static_cast<char>('a' + rng() % 20));
    vocab.push_back(w);
  }
  // Zipf-like: low indices far more often.
  Bytes out;
  out.reserve(size);
  std::uint64_t i = 0;
  while (out.size() < size) {
    const double u = std::uniform_real_distribution<double>(0, 1)(rng);
    const auto& w = vocab[static_cast<std::size_t>(std::pow(3000.0, u)) - 1];
    out.insert(out.end(), w.begin(), w.end());
    if (++i % 17 == 0) {
      const std::string link = " [[" + vocab[rng() % 200] + "]]";
      out.insert(out.end(), link.begin(), link.end());
    }
    out.push_back(i % 150 == 0 ? '\n' : ' ');
  }
  out.resize(size);
  return out;
}

Bytes compress(const Bytes& data, const std::string& options) {
  const std::string in = "/tmp/rvk-lz4-bench.in";
  {
    std::ofstream f(in, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  const std::string command = "lz4 -q -f " + options + " " + in + " " + in + ".lz4";
  if (std::system(command.c_str()) != 0) std::abort();
  std::ifstream f(in + ".lz4", std::ios::binary);
  Bytes out((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::remove(in.c_str());
  std::remove((in + ".lz4").c_str());
  return out;
}

struct Frame {
  Bytes input;
  rvk::lz4::FrameHeader header;
  std::vector<rvk::lz4::BlockLayout> blocks;
  std::size_t decoded = 0;
};

const Frame& frame(int code) {
  static Frame frames[8];
  Frame& f = frames[code];
  if (f.input.empty()) {
    const Bytes data = wiki_like(64 << 20);
    f.decoded = data.size();
    f.input = compress(data, "-B" + std::to_string(code));
    f.header = rvk::lz4::parse_frame_header(f.input, 0).value();
    std::uint64_t cursor = f.header.first_block;
    while (auto layout = rvk::lz4::next_block(f.input, cursor, f.header).value()) f.blocks.push_back(*layout);
  }
  return f;
}

void BM_DecodeBlocks(benchmark::State& state) {
  const Frame& f = frame(static_cast<int>(state.range(0)));
  rvk::output::BufferBin bin;
  for (auto _ : state) {
    for (const auto& layout : f.blocks) {
      auto block = rvk::lz4::decode_layout_block(f.input, layout, {}, f.header.block_max, &bin);
      if (auto* bytes = std::get_if<rvk::output::Bytes>(&block.value())) bin.give(std::move(*bytes));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.decoded));
}
BENCHMARK(BM_DecodeBlocks)->Arg(4)->Arg(7)->Unit(benchmark::kMillisecond);

// Pipeline overhead: jobs that do nothing, taken in order.
void BM_OrderedEmptyJobs(benchmark::State& state) {
  auto pool = rvk::pipeline::ThreadPool::create(static_cast<std::size_t>(state.range(0))).value();
  std::vector<int> jobs(10000);
  rvk::pipeline::OrderedJobs<int, int> spec{jobs, [](const int&) { return std::uint64_t{1}; },
                                            [](const int& j) -> rvk::Result<int> { return j; }, {}, {}};
  for (auto _ : state) {
    auto r = rvk::pipeline::run_ordered(*pool, spec, 64, rvk::pipeline::kUnlimited,
                                        [&](rvk::pipeline::OrderedResults<int>& results) -> rvk::Result<void> {
                                          for (std::uint64_t i = 0; i < jobs.size(); ++i) RVK_TRY(results.take(i));
                                          return {};
                                        });
    benchmark::DoNotOptimize(r.ok());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * jobs.size()));
}
BENCHMARK(BM_OrderedEmptyJobs)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
