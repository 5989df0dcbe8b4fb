// The DEFLATE decoder on hand-made streams: every fault with its text and
// bit position, the table rules (incomplete codes, over-subscription, HLIT
// 30), back-reference limits across the history slide, and output chunking.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <thread>

#include "gzip_test_util.hpp"
#include "rvk/deflate.hpp"

using namespace gzip_test;
using rvk::gzip::Alphabet;
using rvk::gzip::BitReader;
using rvk::gzip::Huffman;

namespace {

std::string err(const std::string& message) { return "invalid gzip stream: " + message; }
std::string at_bit(std::uint64_t bit, const std::string& message) {
  return err("at bit " + std::to_string(bit) + ": " + message);
}

// Writes a dynamic block header with the given code lengths, using a flat
// code-length code (every code-length symbol 0..18 coded with 5 bits except
// that only 19 are needed: lengths 5 for all, which is incomplete but legal).
void dynamic_header(BitWriter& w, bool final, const std::vector<std::uint8_t>& lit,
                    const std::vector<std::uint8_t>& dist) {
  w.bits(final ? 1 : 0, 1);
  w.bits(2, 2);
  w.bits(static_cast<std::uint32_t>(lit.size() - 257), 5);
  w.bits(static_cast<std::uint32_t>(dist.size() - 1), 5);
  w.bits(19 - 4, 4);
  // Code-length code: symbols 0..15 get length 4 (16 codes = complete), 16-18 unused.
  static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  for (int i = 0; i < 19; ++i) w.bits(order[i] <= 15 ? 4 : 0, 3);
  // Canonical 4-bit codes: symbol s has code s.
  for (auto l : lit) w.code(l, 4);
  for (auto l : dist) w.code(l, 4);
}

// Canonical codes of a length list (for writing symbols of a dynamic block).
std::vector<std::uint32_t> canonical(const std::vector<std::uint8_t>& lengths) {
  unsigned count[16] = {};
  for (auto l : lengths) if (l) ++count[l];
  unsigned next[16] = {};
  unsigned code = 0;
  for (int b = 1; b < 16; ++b) {
    code = (code + count[b - 1]) << 1;
    next[b] = code;
  }
  std::vector<std::uint32_t> codes(lengths.size());
  for (std::size_t s = 0; s < lengths.size(); ++s) if (lengths[s]) codes[s] = next[lengths[s]]++;
  return codes;
}

}  // namespace

TEST(Huffman, RejectsLongAndOversubscribedCodes) {
  std::vector<std::uint8_t> too_long = {1, 16};
  auto r = Huffman::create(too_long);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), err("Huffman code length 16 exceeds 15"));

  std::vector<std::uint8_t> over = {1, 1, 1};
  r = Huffman::create(over);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), err("oversubscribed Huffman table"));
}

TEST(Huffman, EmptyAndIncompleteCodes) {
  auto empty = Huffman::create(std::vector<std::uint8_t>{0, 0, 0});
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
  std::uint8_t byte = 0xFF;
  BitReader br(std::span(&byte, 1), 0);
  std::uint32_t sym = 0;
  auto f = empty->decode_symbol(br, sym);
  EXPECT_EQ(f.kind, rvk::gzip::FaultKind::EmptyTable);

  // One code of length 1 (symbol 2): bit 0 decodes it, bit 1 reaches nothing.
  auto one = Huffman::create(std::vector<std::uint8_t>{0, 0, 1});
  ASSERT_TRUE(one.ok());
  std::uint8_t bits = 0b10;  // first bit 0, second bit 1
  BitReader r2(std::span(&bits, 1), 0);
  ASSERT_FALSE(one->decode_symbol(r2, sym));
  EXPECT_EQ(sym, 2u);
  EXPECT_EQ(r2.position(), 1u);
  f = one->decode_symbol(r2, sym);
  EXPECT_EQ(f.kind, rvk::gzip::FaultKind::InvalidCode);
  EXPECT_EQ(f.bit, 1u);
}

TEST(Huffman, LongCodesThroughSubtables) {
  // 15-bit codes force sub-tables; every symbol must round-trip.
  std::vector<std::uint8_t> lengths(20);
  for (int i = 0; i < 14; ++i) lengths[i] = static_cast<std::uint8_t>(i + 1);
  lengths[14] = 15;
  lengths[15] = 15;
  auto h = Huffman::create(lengths);
  ASSERT_TRUE(h.ok());
  auto codes = canonical(lengths);
  for (unsigned s = 0; s < 16; ++s) {
    BitWriter w;
    w.code(codes[s], lengths[s]);
    Bytes b = w.take();
    BitReader br(b, 0);
    std::uint32_t sym = 99;
    ASSERT_FALSE(h->decode_symbol(br, sym)) << s;
    EXPECT_EQ(sym, s);
    EXPECT_EQ(br.position(), lengths[s]);
  }
}

TEST(Huffman, TruncatedAgainstInvalidNearTheEnd) {
  // Symbol 0 has code "0", symbol 1 "10", symbol 2 "110", symbol 3 "111".
  auto h = Huffman::create(std::vector<std::uint8_t>{1, 2, 3, 3});
  ASSERT_TRUE(h.ok());
  std::uint8_t byte = 0b01111111;  // bits 0..6 are 1
  BitReader br(std::span(&byte, 1), 6);  // two bits left: "1","0" -> symbol 1 fits
  std::uint32_t sym = 0;
  ASSERT_FALSE(h->decode_symbol(br, sym));
  EXPECT_EQ(sym, 1u);
  BitReader br2(std::span(&byte, 1), 5);  // "1","1","0": symbol 2 exactly at the end
  ASSERT_FALSE(h->decode_symbol(br2, sym));
  EXPECT_EQ(sym, 2u);
  std::uint8_t ones = 0xFF;
  BitReader br3(std::span(&ones, 1), 6);  // "1","1" then zero fill: symbol 2 needs 3 bits
  auto f = h->decode_symbol(br3, sym);
  EXPECT_EQ(f.kind, rvk::gzip::FaultKind::TruncatedCode);
  EXPECT_EQ(f.bit, 6u);
}

TEST(Deflate, EmptyStoredBlock) {
  BitWriter w;
  w.bits(1, 1);
  w.bits(0, 2);
  w.align();
  w.bits(0, 16);
  w.bits(0xFFFF, 16);
  auto d = decode_raw(w.take());
  ASSERT_FALSE(d.error) << *d.error;
  EXPECT_TRUE(d.bytes.empty());
  EXPECT_EQ(d.result.size, 0u);
  EXPECT_EQ(d.result.crc, 0u);
  EXPECT_EQ(d.result.end_bit, 40u);
}

TEST(Deflate, StoredFixedAndOverlappingCopies) {
  BitWriter w;
  w.bits(0, 1);
  w.bits(0, 2);
  w.align();
  w.bits(3, 16);
  w.bits(0xFFFF ^ 3, 16);
  for (char c : std::string("abc")) w.byte(static_cast<std::uint8_t>(c));
  w.bits(1, 1);
  w.bits(1, 2);
  w.fixed_match(258, 1);  // 'c' x 258
  w.fixed_match(10, 4);   // "bccc" overlapping: c c c c ...
  w.fixed_literal('z');
  w.fixed_match(7, 3);
  w.fixed_end();
  auto d = decode_raw(w.take());
  ASSERT_FALSE(d.error) << *d.error;
  std::string expect = "abc" + std::string(258, 'c');
  for (int i = 0; i < 10; ++i) expect.push_back(expect[expect.size() - 4]);
  expect += "z";
  for (int i = 0; i < 7; ++i) expect.push_back(expect[expect.size() - 3]);
  EXPECT_EQ(std::string(d.bytes.begin(), d.bytes.end()), expect);
}

TEST(Deflate, FaultsWithTheirPositions) {
  struct Case {
    const char* name;
    std::function<void(BitWriter&)> write;
    std::string expect;
  };
  std::vector<Case> cases = {
      {"distance before any output",
       [](BitWriter& w) { w.bits(1, 1); w.bits(1, 2); w.fixed_match(3, 1); w.fixed_end(); },
       err("back-reference distance 1 exceeds 0 available bytes")},
      {"distance beyond the history",
       [](BitWriter& w) {
         w.bits(1, 1); w.bits(1, 2);
         for (int i = 0; i < 5; ++i) w.fixed_literal('a');
         w.fixed_match(3, 6);
         w.fixed_end();
       },
       err("back-reference distance 6 exceeds 5 available bytes")},
      {"reserved block type",
       [](BitWriter& w) { w.bits(0, 1); w.bits(3, 2); },
       at_bit(1, "reserved DEFLATE block type")},
      {"LEN/NLEN mismatch",
       [](BitWriter& w) { w.bits(1, 1); w.bits(0, 2); w.align(); w.bits(5, 16); w.bits(5, 16); },
       at_bit(24, "stored-block LEN/NLEN mismatch")},
      {"truncated stored data",
       [](BitWriter& w) { w.bits(1, 1); w.bits(0, 2); w.align(); w.bits(5, 16); w.bits(0xFFFF ^ 5, 16); w.byte(1); },
       at_bit(40, "truncated stored block")},
      {"stored header past the end",
       [](BitWriter& w) { w.bits(1, 1); w.bits(0, 2); w.align(); w.bits(5, 8); },
       at_bit(8, "unexpected end of DEFLATE data")},
      {"empty input", [](BitWriter&) {}, at_bit(0, "unexpected end of DEFLATE data")},
      {"symbol 286 of the fixed code",
       [](BitWriter& w) { w.bits(1, 1); w.bits(1, 2); w.fixed_literal('x'); w.fixed_literal(286); },
       at_bit(3 + 8 + 8, "invalid literal/length symbol 286")},
      {"distance symbol 30 of the fixed code",
       [](BitWriter& w) { w.bits(1, 1); w.bits(1, 2); w.fixed_literal('x'); w.fixed_literal(257); w.code(30, 5); },
       at_bit(3 + 8 + 7 + 5, "invalid distance symbol 30")},
  };
  for (const auto& c : cases) {
    BitWriter w;
    c.write(w);
    auto d = decode_raw(w.take());
    ASSERT_TRUE(d.error) << c.name;
    EXPECT_EQ(*d.error, c.expect) << c.name;
  }
}

TEST(Deflate, DynamicHeaderFaults) {
  std::vector<std::uint8_t> lit(257, 0), dist(1, 0);
  lit[65] = 1;
  lit[256] = 1;
  {
    // Literal 'A' and end of block, no distance codes: decodes.
    BitWriter w;
    dynamic_header(w, true, lit, dist);
    auto codes = canonical(lit);
    w.code(codes[65], 1);
    w.code(codes[65], 1);
    w.code(codes[256], 1);
    auto d = decode_raw(w.take());
    ASSERT_FALSE(d.error) << *d.error;
    EXPECT_EQ(std::string(d.bytes.begin(), d.bytes.end()), "AA");
  }
  {
    // A length symbol with an all-zero distance code: empty table at the bit
    // after the length code (which has no extra bits).
    auto lit2 = lit;
    lit2.resize(258);
    lit2[257] = 2;
    lit2[65] = 2;
    lit2[256] = 1;
    BitWriter w;
    dynamic_header(w, true, lit2, dist);
    auto codes = canonical(lit2);
    w.code(codes[65], 2);
    const std::uint64_t after = w.position() + 2;
    w.code(codes[257], 2);
    w.bits(0, 16);
    auto d = decode_raw(w.take());
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_bit(after, "attempted to decode an empty Huffman table"));
  }
  {
    // No code for end of block.
    auto lit3 = lit;
    lit3[256] = 0;
    lit3[66] = 1;
    BitWriter w;
    dynamic_header(w, true, lit3, dist);
    const std::uint64_t end = w.position();
    w.bits(0, 16);
    auto d = decode_raw(w.take());
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_bit(end, "literal/length table has no end-of-block symbol"));
  }
  {
    // HLIT 30: symbol 286 has a code, and decoding it fails after its code.
    std::vector<std::uint8_t> wide(287, 0);
    wide[256] = 1;
    wide[286] = 1;
    BitWriter w;
    dynamic_header(w, true, wide, dist);
    auto codes = canonical(wide);
    w.code(codes[286], 1);
    const std::uint64_t after = w.position();
    w.bits(0, 16);
    auto d = decode_raw(w.take());
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_bit(after, "invalid literal/length symbol 286"));
  }
}

TEST(Deflate, CodeLengthRepeatFaults) {
  // Code-length code: symbols 16, 17, 18 and 1 with 2-bit codes.
  auto header = [](BitWriter& w) {
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(0, 5);  // 257 literal/length codes
    w.bits(0, 5);  // 1 distance code
    w.bits(14, 4); // 18 code-length lengths (up to symbol 1)
    static const int order[18] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1};
    for (int s : order) w.bits((s >= 16 || s == 1) ? 2 : 0, 3);
  };
  // Canonical 2-bit codes: 1 -> 00, 16 -> 01, 17 -> 10, 18 -> 11.
  {
    BitWriter w;
    header(w);
    w.code(1, 2);  // symbol 16 first
    const std::uint64_t after = w.position();
    w.bits(0, 8);
    auto d = decode_raw(w.take());
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_bit(after, "repeat code 16 has no previous length"));
  }
  {
    BitWriter w;
    header(w);
    w.code(3, 2);    // 18: 11 + 127 = 138 zeros
    w.bits(127, 7);
    w.code(3, 2);    // another 138: 276 > 258
    w.bits(127, 7);
    const std::uint64_t after = w.position();
    w.bits(0, 8);
    auto d = decode_raw(w.take());
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_bit(after, "code-length repeat exceeds table"));
  }
  {
    // The input ends inside the extra bits of a repeat.
    BitWriter w;
    header(w);
    w.code(0, 2);  // one length 1
    w.code(3, 2);  // 18, whose 7 extra bits do not fit
    const std::uint64_t extra_at = w.position();
    ASSERT_EQ(extra_at, 75u);
    Bytes b = w.take();
    ASSERT_EQ(b.size(), 10u);
    auto d = decode_raw(b);
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_bit(75, "unexpected end of DEFLATE data"));
  }
}

TEST(Deflate, LongestDistanceAcrossTheHistorySlide) {
  // 2 MiB of stored output forces several slides; then a distance of 32,768
  // must reach exactly the byte 32,768 back.
  std::mt19937_64 rng(7);
  Bytes data = random_bytes(rng, 2 * 1024 * 1024 + 123);
  BitWriter w;
  std::size_t off = 0;
  while (off < data.size()) {
    const std::size_t n = std::min<std::size_t>(65535, data.size() - off);
    w.bits(0, 1);
    w.bits(0, 2);
    w.align();
    w.bits(static_cast<std::uint32_t>(n), 16);
    w.bits(static_cast<std::uint32_t>(0xFFFF ^ n), 16);
    for (std::size_t i = 0; i < n; ++i) w.byte(data[off + i]);
    off += n;
  }
  w.bits(1, 1);
  w.bits(1, 2);
  w.fixed_match(258, 32768);
  w.fixed_end();
  auto d = decode_raw(w.take());
  ASSERT_FALSE(d.error) << *d.error;
  Bytes expect = data;
  for (int i = 0; i < 258; ++i) expect.push_back(expect[expect.size() - 32768]);
  ASSERT_EQ(d.bytes.size(), expect.size());
  EXPECT_TRUE(d.bytes == expect);
  EXPECT_EQ(d.result.size, expect.size());
  EXPECT_EQ(d.result.crc, crc32(0, expect.data(), static_cast<uInt>(expect.size())));
}

TEST(Deflate, OutputChunksAreAtLeast64KiB) {
  std::mt19937_64 rng(11);
  Bytes data = text_bytes(rng, 3 * 1024 * 1024);
  Bytes raw = zlib_deflate(data, 6);
  auto [writer, reader] = rvk::output::make_pipe();
  rvk::Result<void> outcome;
  std::thread feeder([&, w = std::move(writer)]() mutable {
    auto r = rvk::gzip::decompress_deflate_serial_stream(raw, 0, w, 0, 0);
    if (!r) outcome = std::move(r).error();
    w.close();
  });
  std::vector<std::size_t> sizes;
  Bytes got;
  while (auto chunk = reader.receive()) {
    sizes.push_back(chunk->bytes.size() - chunk->start);
    got.insert(got.end(), chunk->bytes.begin() + static_cast<std::ptrdiff_t>(chunk->start),
               chunk->bytes.end());
  }
  feeder.join();
  ASSERT_TRUE(outcome.ok());
  EXPECT_TRUE(got == data);
  ASSERT_GE(sizes.size(), 2u);
  for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_GE(sizes[i], 65536u) << i;
}

TEST(Deflate, ReaderGoneStopsTheDecoder) {
  std::mt19937_64 rng(3);
  Bytes data = text_bytes(rng, 4 * 1024 * 1024);
  Bytes gz = gzip_member(data, 6);
  auto d = decode_gzip(gz, 100000);
  ASSERT_TRUE(d.error);
  EXPECT_EQ(*d.error, "output reader stopped reading");
}
