// Parallel decoding of large members: segment decoding with history markers,
// marker resolution and window hand-over on hand-made and zlib-made streams,
// and whole files decoded with several thread counts against the serial
// decoder, including the inputs that defeat the boundary guessing (stored
// stretches, extreme compression ratios, many tiny members, corruption).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "gzip_test_util.hpp"

using namespace gzip_test;
using rvk::gzip::decode_segment;
using rvk::gzip::resolve_symbols;
using rvk::gzip::Segment;

namespace {

// Raw DEFLATE of a ++ c with a block boundary between them; returns the
// stream and the boundary's bit position.
std::pair<Bytes, std::uint64_t> deflate_with_boundary(const Bytes& a, const Bytes& c, int level) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, a.size() + c.size()) + 1024);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  z.next_in = const_cast<Bytef*>(a.data());
  z.avail_in = static_cast<uInt>(a.size());
  deflate(&z, Z_BLOCK);
  unsigned pending = 0;
  int bits = 0;
  deflatePending(&z, &pending, &bits);
  const std::uint64_t boundary = 8 * (z.total_out + pending) + static_cast<std::uint64_t>(bits);
  z.next_in = const_cast<Bytef*>(c.data());
  z.avail_in = static_cast<uInt>(c.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return {out, boundary};
}

Bytes resolved_output(const Segment& seg, const Bytes& window) {
  auto prefix = resolve_symbols(seg.symbols, window);
  EXPECT_TRUE(prefix.ok());
  Bytes out = prefix.ok() ? *prefix : Bytes{};
  out.insert(out.end(), seg.bytes.begin() + static_cast<std::ptrdiff_t>(seg.bytes_start), seg.bytes.end());
  return out;
}

Bytes run_tool(const std::string& command, const Bytes& data) {
  char path[] = "/tmp/rvk_gzip_parXXXXXX";
  int fd = mkstemp(path);
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
  FILE* p = popen((command + " < " + path).c_str(), "r");
  Bytes out;
  std::uint8_t buf[65536];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  pclose(p);
  unlink(path);
  return out;
}

// Text of `n` bytes with enough variety that 16 MiB of input hold several
// tens of MiB of output.
Bytes big_text(std::uint64_t seed, std::size_t n) {
  std::mt19937_64 rng(seed);
  Bytes out;
  out.reserve(n);
  std::vector<std::string> vocab;
  for (int i = 0; i < 20000; ++i) {
    std::string w;
    const int len = 2 + static_cast<int>(rng() % 9);
    for (int k = 0; k < len; ++k) w.push_back(static_cast<char>('a' + rng() % 26));
    vocab.push_back(w);
  }
  while (out.size() < n) {
    // Zipf-like: small indices much more often.
    const std::size_t r = rng() % 20000;
    const std::string& w = vocab[(r * r) / 20000];
    out.insert(out.end(), w.begin(), w.end());
    out.push_back(rng() % 11 == 0 ? '\n' : ' ');
    if (rng() % 97 == 0) {
      const std::string num = std::to_string(rng() % 100000);
      out.insert(out.end(), num.begin(), num.end());
    }
  }
  out.resize(n);
  return out;
}

void expect_same_for_all_threads(const Bytes& gz, const Bytes& data, const char* what) {
  // Enough input for the parallel path to be considered at all.
  ASSERT_GT(gz.size(), rvk::gzip::kParallelMinimum + 1024) << what;
  for (std::uint64_t threads : {1, 2, 4, 8, 0}) {
    auto d = decode_gzip(gz, 0, threads);
    ASSERT_FALSE(d.error) << what << " threads " << threads << ": " << *d.error;
    ASSERT_EQ(d.bytes.size(), data.size()) << what << " threads " << threads;
    EXPECT_TRUE(d.bytes == data) << what << " threads " << threads;
  }
}

}  // namespace

TEST(Segment, SpeculativeDecodeResolvesWithTheTrueWindow) {
  std::mt19937_64 rng(1);
  const Bytes a = text_bytes(rng, 100000);
  const Bytes c = text_bytes(rng, 300000);
  auto [raw, boundary] = deflate_with_boundary(a, c, 6);
  auto seg = decode_segment(raw, boundary, boundary + 1, true, rvk::gzip::kSegmentBudget);
  ASSERT_TRUE(seg.ok()) << seg.error().to_string();
  EXPECT_EQ(seg->start_bit, boundary);
  EXPECT_FALSE(seg->symbols.empty());
  const Bytes window(a.end() - 32768, a.end());
  const Bytes got = resolved_output(*seg, window);
  ASSERT_LE(got.size(), c.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), c.begin()));

  // The successor window is the last 32 KiB of a ++ the segment's output.
  auto w2 = rvk::gzip::successor_window(*seg, window);
  ASSERT_TRUE(w2.ok());
  Bytes all = a;
  all.insert(all.end(), got.begin(), got.end());
  EXPECT_TRUE(*w2 == Bytes(all.end() - 32768, all.end()));

  // Resolving with a window that is too short fails with the marker error.
  auto short_window = resolve_symbols(seg->symbols, Bytes(a.end() - 10, a.end()));
  ASSERT_FALSE(short_window.ok());
  EXPECT_EQ(short_window.error().to_string(),
            "invalid gzip stream: speculative marker references unavailable predecessor history");
}

TEST(Segment, MarkerArithmetic) {
  BitWriter w;
  w.bits(1, 1);
  w.bits(1, 2);
  w.fixed_match(3, 32768);  // markers 32768, 32769, 32770
  w.fixed_match(3, 5);      // window bytes 32765.. (two before the segment) and symbol 0
  w.fixed_match(4, 1);      // repeats the last symbol (marker 32768) four times
  w.fixed_end();
  const Bytes raw = w.take();
  auto seg = decode_segment(raw, 0, 1, true, 1000);
  ASSERT_TRUE(seg.ok()) << seg.error().to_string();
  const std::vector<std::uint16_t> expect = {32768, 32769, 32770, 32768 + 32766, 32768 + 32767,
                                             32768, 32768, 32768, 32768, 32768};
  ASSERT_EQ(seg->symbols.size(), expect.size());
  for (std::size_t i = 0; i < expect.size(); ++i) EXPECT_EQ(seg->symbols[i], expect[i]) << i;
  EXPECT_TRUE(seg->is_final);
  EXPECT_EQ(seg->end_bit % 8, 0u);

  Bytes window(32768);
  for (std::size_t i = 0; i < window.size(); ++i) window[i] = static_cast<std::uint8_t>(i * 7);
  auto bytes = resolve_symbols(seg->symbols, window);
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ((*bytes)[0], window[0]);
  EXPECT_EQ((*bytes)[3], window[32766]);
  EXPECT_EQ((*bytes)[9], window[0]);

  auto fails = resolve_symbols(seg->symbols, Bytes(20000, 1));
  ASSERT_FALSE(fails.ok());

  // Not speculative (a member's start): the same stream is a distance error.
  auto start = decode_segment(raw, 0, 1, false, 1000);
  ASSERT_FALSE(start.ok());
  EXPECT_EQ(start.error().to_string(),
            "invalid gzip stream: back-reference distance 32768 exceeds 0 available bytes");
}

TEST(Segment, SwitchesToBytesOnceTheLast32KiBHoldNoMarker) {
  // Block 1: a marker copy then 40,000 literals; block 2: more literals.
  BitWriter w;
  w.bits(0, 1);
  w.bits(1, 2);
  w.fixed_match(5, 100);
  std::mt19937_64 rng(5);
  Bytes lits;
  for (int i = 0; i < 40000; ++i) {
    const auto b = static_cast<std::uint8_t>(rng() % 200);
    lits.push_back(b);
    w.fixed_literal(b);
  }
  w.fixed_end();
  w.bits(1, 1);
  w.bits(1, 2);
  for (int i = 0; i < 10; ++i) w.fixed_literal('q');
  w.fixed_end();
  auto seg = decode_segment(w.take(), 0, 1, true, 1 << 20);
  ASSERT_TRUE(seg.ok()) << seg.error().to_string();
  EXPECT_EQ(seg->symbols.size(), 40005u);
  EXPECT_EQ(seg->bytes_start, 32768u);
  EXPECT_EQ(seg->bytes.size(), 32768u + 10u);
  EXPECT_EQ(seg->output_size(), 40015u);
}

TEST(Segment, StopRules) {
  // A fixed block, an empty stored block (as a sync flush leaves), a final
  // fixed block.
  BitWriter w;
  w.bits(0, 1);
  w.bits(1, 2);
  w.fixed_literal('a');
  w.fixed_end();
  const std::uint64_t first_end = w.position();
  w.bits(0, 1);
  w.bits(0, 2);
  w.align();
  w.bits(0, 16);
  w.bits(0xFFFF, 16);
  w.bits(1, 1);
  w.bits(1, 2);
  w.fixed_literal('b');
  w.fixed_end();
  const Bytes raw = w.take();
  // The grid rule runs through stored and fixed blocks to the final one.
  auto grid = decode_segment(raw, 0, 1, true, 1000);
  ASSERT_TRUE(grid.ok());
  EXPECT_TRUE(grid->is_final);
  EXPECT_EQ(grid->output_size(), 2u);
  // Any block boundary: stops right after the first block.
  auto gap = decode_segment(raw, 0, 1, true, 1000, rvk::gzip::SegmentStop::AnyBlock);
  ASSERT_TRUE(gap.ok());
  EXPECT_FALSE(gap->is_final);
  EXPECT_EQ(gap->end_bit, first_end);
  EXPECT_EQ(gap->output_size(), 1u);
}

TEST(Segment, BudgetIsExact) {
  BitWriter w;
  w.bits(1, 1);
  w.bits(1, 2);
  w.fixed_literal('a');
  w.fixed_match(258, 1);
  w.fixed_end();
  const Bytes raw = w.take();
  EXPECT_TRUE(decode_segment(raw, 0, 1, false, 259).ok());
  auto over = decode_segment(raw, 0, 1, false, 258);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().to_string(),
            "invalid gzip stream: parallel DEFLATE chunk exceeded its memory budget");
}

TEST(ParallelFiles, StandardToolsAllThreadCounts) {
  const Bytes data = big_text(11, 48u << 20);
  expect_same_for_all_threads(run_tool("gzip -1 -c", data), data, "gzip -1");
  expect_same_for_all_threads(gzip_member(data, 9), data, "zlib -9");
  expect_same_for_all_threads(run_tool("pigz -6 -c -p 8", data), data, "pigz");
}

TEST(ParallelFiles, StoredStretchAndExtremeRatios) {
  // Text, then 12 MiB of random bytes (stored blocks), then text; and text
  // followed by 200 MiB of zeros (a ratio of about 1000:1).
  std::mt19937_64 rng(12);
  Bytes data = big_text(12, 20u << 20);
  Bytes noise = random_bytes(rng, 12u << 20);
  data.insert(data.end(), noise.begin(), noise.end());
  Bytes tail = big_text(13, 20u << 20);
  data.insert(data.end(), tail.begin(), tail.end());
  expect_same_for_all_threads(gzip_member(data, 1), data, "stored stretch");

  // 40 MiB of zeros (about 1000:1) between text: the grid jobs inside the
  // zeros overflow their budget, and so does the consumer's re-decode, which
  // then continues serially. With the zeros first, the probe itself
  // overflows and the member is decoded serially from the start.
  const Bytes text_a = big_text(14, 24u << 20), text_b = big_text(15, 24u << 20);
  for (bool zeros_first : {false, true}) {
    Bytes mixed;
    if (!zeros_first) mixed = text_a;
    mixed.resize(mixed.size() + (40u << 20), 0);
    mixed.insert(mixed.end(), text_b.begin(), text_b.end());
    if (zeros_first) mixed.insert(mixed.end(), text_a.begin(), text_a.end());
    const Bytes gz = gzip_member(mixed, 1);
    ASSERT_GT(gz.size(), rvk::gzip::kParallelMinimum + 1024);
    for (std::uint64_t threads : {1, 4}) {
      auto d = decode_gzip(gz, 0, threads);
      ASSERT_FALSE(d.error) << *d.error;
      EXPECT_TRUE(d.bytes == mixed) << "zeros first " << zeros_first << " threads " << threads;
    }
  }
}

TEST(ParallelFiles, TenThousandTinyMembers) {
  std::mt19937_64 rng(15);
  Bytes gz, data;
  for (int i = 0; i < 10000; ++i) {
    const Bytes part = random_bytes(rng, 1000 + rng() % 2000);
    const Bytes m = gzip_member(part, 1);
    gz.insert(gz.end(), m.begin(), m.end());
    data.insert(data.end(), part.begin(), part.end());
  }
  ASSERT_GT(gz.size(), 16u << 20);
  for (std::uint64_t threads : {1, 8}) {
    auto d = decode_gzip(gz, 0, threads);
    ASSERT_FALSE(d.error) << *d.error;
    EXPECT_TRUE(d.bytes == data);
  }
}

TEST(ParallelFiles, MediumMembersOneAfterAnother) {
  // Members of a few MiB, each bigger than the probe, most with more than
  // 16 MiB of input after them: each goes parallel and must stop exactly at
  // its own end although the grid runs on into the next member.
  Bytes gz, data;
  for (int i = 0; i < 12; ++i) {
    const Bytes part = big_text(100 + i, (3u << 20) + 12345u * i);
    const Bytes m = gzip_member(part, 1 + i % 9);
    gz.insert(gz.end(), m.begin(), m.end());
    data.insert(data.end(), part.begin(), part.end());
  }
  ASSERT_GT(gz.size(), rvk::gzip::kParallelMinimum);
  expect_same_for_all_threads(gz, data, "medium members");
}

TEST(ParallelFiles, CorruptionReportsTheSerialError) {
  const Bytes data = big_text(16, 64u << 20);
  const Bytes clean = gzip_member(data, 6);
  for (std::size_t at : {std::size_t{200000}, clean.size() / 2}) {
    Bytes bad = clean;
    for (std::size_t i = 0; i < 64; ++i) bad[at + i] ^= 0x5A;
    auto serial = decode_gzip(bad, 0, 1);
    auto parallel = decode_gzip(bad, 0, 4);
    ASSERT_TRUE(serial.error);
    ASSERT_TRUE(parallel.error);
    EXPECT_EQ(*parallel.error, *serial.error) << "corruption at " << at;
    // Corrupt data may decode to wrong bytes before the fault shows; both
    // paths must deliver the same bytes, the one possibly further than the
    // other (they flush at different points).
    const Bytes& shorter = parallel.bytes.size() < serial.bytes.size() ? parallel.bytes : serial.bytes;
    const Bytes& longer = parallel.bytes.size() < serial.bytes.size() ? serial.bytes : parallel.bytes;
    EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), longer.begin())) << "corruption at " << at;
  }
}

TEST(ParallelFiles, ParallelEntryPointMatchesSerial) {
  // Calls the parallel decoder itself (not through the member loop's
  // choice), so this checks that path and not only its fallbacks.
  const Bytes data = big_text(17, 40u << 20);
  const Bytes raw = zlib_deflate(data, 6);
  ASSERT_GT(raw.size(), rvk::gzip::kParallelMinimum);
  auto probe = decode_segment(raw, 0, 8 * rvk::gzip::kGridBytes, false, rvk::gzip::kSegmentBudget);
  ASSERT_TRUE(probe.ok()) << probe.error().to_string();
  ASSERT_FALSE(probe->is_final);
  rvk::gzip::DeflateResult result;
  rvk::gzip::SerialWorkspace workspace;
  auto drained = rvk::output::drain([&](rvk::output::PipeWriter& w) -> rvk::Result<void> {
    auto r = rvk::gzip::decompress_deflate_parallel_stream(raw, 0, w, 0, 0, 4, 1u << 30,
                                                           std::move(probe).value(), workspace);
    if (!r) return std::move(r).error();
    result = *r;
    return {};
  });
  ASSERT_TRUE(drained.outcome.ok()) << drained.outcome.error().to_string();
  EXPECT_TRUE(drained.bytes == data);
  const auto serial = decode_raw(raw);
  EXPECT_EQ(result.size, data.size());
  EXPECT_EQ(result.crc, serial.result.crc);
  EXPECT_EQ(result.end_bit, (serial.result.end_bit + 7) / 8 * 8);
}

TEST(ParallelFiles, ReaderGoneStopsTheWorkers) {
  const Bytes data = big_text(18, 40u << 20);
  const Bytes gz = gzip_member(data, 6);
  auto d = decode_gzip(gz, 3u << 20, 4);
  ASSERT_TRUE(d.error);
  EXPECT_EQ(*d.error, "output reader stopped reading");
}
