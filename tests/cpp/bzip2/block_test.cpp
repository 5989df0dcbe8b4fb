// The block decoder on hand-made blocks: header faults with their exact bit
// positions, Huffman table rules, size limits and the run-length rules.
#include <sys/mman.h>
#include <unistd.h>

#include "bzip2_support.hpp"

using namespace bz_test;
using rvk::error::DecodeError;
using rvk::decoder::Bits;
using rvk::decoder::Decoder;
using rvk::decoder::Huffman;
using rvk::decoder::WorkBuffer;

namespace {

// Decodes the block of `w` (magic at bit 0) at `level`.
rvk::Result<rvk::decoder::BlockOutput> decode_block(const BitWriter& w, unsigned level,
                                                    std::uint64_t* end = nullptr) {
  static WorkBuffer work;
  Bits bits(w.bytes, 48);
  auto r = Decoder::block(work, bits, level, std::nullopt);
  if (end) *end = bits.pos;
  return r;
}

void expect_fault(const rvk::Result<rvk::decoder::BlockOutput>& r, DecodeError what, std::uint64_t bit) {
  ASSERT_FALSE(r.ok());
  ASSERT_TRUE(r.error().is<rvk::Error::Decode>()) << r.error().to_string();
  EXPECT_EQ(r.error().as<rvk::Error::Decode>().source, what) << r.error().to_string();
  EXPECT_EQ(r.error().as<rvk::Error::Decode>().bit_offset, bit) << r.error().to_string();
}

// Bit position of the field after the symbol map of a block with one map group.
constexpr std::uint64_t kAfterMap = 48 + 32 + 1 + 24 + 16 + 16;

}  // namespace

TEST(BlockDecoder, HandMadeBlockRoundTrips) {
  Bytes pre = {'b', 'a', 'n', 'a', 'n', 'a', 's'};
  std::uint64_t end = 0;
  BitWriter w = write_block(block_of(pre, pre));
  auto r = decode_block(w, 1, &end);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->bytes, pre);
  EXPECT_EQ(r->block_len, 7u);
  EXPECT_EQ(end, w.nbits);  // the cursor stops right after end-of-block
}

TEST(BlockDecoder, HeaderFaultsCarryTheirPositions) {
  BlockSpec base = block_of({'x', 'y'}, {'x', 'y'});
  {
    BlockSpec s = base;
    s.randomised = true;
    expect_fault(decode_block(write_block(s), 9), DecodeError::RandomizedBlock, 0);
  }
  {
    BlockSpec s = base;
    s.used.clear();  // all sixteen group flags clear
    expect_fault(decode_block(write_block(s), 9), DecodeError::InvalidBlock, 0);
  }
  for (unsigned groups : {1u, 7u}) {
    BlockSpec s = base;
    s.groups = groups;
    expect_fault(decode_block(write_block(s), 9), DecodeError::InvalidHuffman, kAfterMap + 3);
  }
  {
    BlockSpec s = base;
    s.selector_count = 0;
    expect_fault(decode_block(write_block(s), 9), DecodeError::InvalidBlock, kAfterMap + 3 + 15);
  }
}

TEST(BlockDecoder, SelectorAndCodeLengthFaults) {
  // Blocks that stop after their selector count, the rest written by hand.
  BlockSpec s = block_of({'x', 'y'}, {'x', 'y'});
  s.selector_count = 1;
  s.write_body = false;
  // A selector of group count: two groups, unary "11" fails on the second 1.
  BitWriter w = write_block(s);
  w.put(0b11, 2);
  expect_fault(decode_block(w, 9), DecodeError::InvalidBlock, w.nbits);

  // A code length walked down to 0: start at 1, then "11" (minus one).
  BitWriter z = write_block(s);
  z.put(0, 1);   // selector 0
  z.put(1, 5);   // starting length 1
  z.put(0b11, 2);
  expect_fault(decode_block(z, 9), DecodeError::InvalidHuffman, z.nbits);

  // ... and up to 21: start at 20, then "10" (plus one).
  BitWriter u = write_block(s);
  u.put(0, 1);
  u.put(20, 5);
  u.put(0b10, 2);
  expect_fault(decode_block(u, 9), DecodeError::InvalidHuffman, u.nbits);

  // Lengths that leave 1..20, after steps that stay inside or before steps
  // that would come back, several lengths in: the fault is at the bit where
  // the length leaves, whether the input ends soon after (bits read one at a
  // time) or goes on (eight at a time).
  struct Walk {
    unsigned start;
    std::string bits;    // the steps of the lengths, in order
    std::size_t fault;   // bits of them taken when the length leaves
  };
  std::string nineteen;
  for (int i = 0; i < 19; ++i) nineteen += "10";
  const Walk walks[] = {
      {1, "11", 2},
      {20, "10", 2},
      {3, "111111", 6},
      {18, "101010", 6},
      {20, "111010", 6},
      {20, "10110", 2},            // 21, then back to 20
      {1, "11100", 2},             // 0, then back to 1
      {19, "101011110", 4},        // 20, 21, 20, 19
      {2, "11100" "1111", 9},      // the second length goes to 0
      {20, "0" "0" "10", 4},
      {1, "0" "101011110" "11", 12},
      {1, nineteen + "0" + "10", 41},  // 20 after nineteen steps, then 21
  };
  for (const Walk& c : walks) {
    BitWriter tight = write_block(s);
    tight.put(0, 1);
    tight.put(c.start, 5);
    const std::uint64_t at = tight.nbits + c.fault;
    for (char b : c.bits) tight.put(b == '1', 1);
    BitWriter padded = tight;
    padded.bytes.resize(padded.bytes.size() + 64, 0);
    expect_fault(decode_block(tight, 9), DecodeError::InvalidHuffman, at);
    expect_fault(decode_block(padded, 9), DecodeError::InvalidHuffman, at);
  }
}

TEST(BlockDecoder, SelectorsRunningOutIsInvalidBlock) {
  Bytes pre(60, 0);
  for (std::size_t i = 0; i < pre.size(); ++i) pre[i] = static_cast<std::uint8_t>('a' + i % 26);
  BlockSpec s = block_of(pre, pre);
  ASSERT_GT(s.symbols.size(), 50u);
  s.selector_count = 1;  // the second group of 50 has no selector
  auto r = decode_block(write_block(s), 9);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().as<rvk::Error::Decode>().source, DecodeError::InvalidBlock);
}

TEST(BlockDecoder, Level1HoldsExactly100000Symbols) {
  // 100,000 equal bytes: every five pre bytes ("aaaa" and count 97) give 101.
  BlockSpec full;
  full.used = {'a', 'b'};
  push_run(full.symbols, 100000);
  full.symbols.push_back(3);  // end of block
  full.crc = reference_crc(Bytes(2020000, 'a'));
  auto ok = decode_block(write_block(full), 1);
  ASSERT_TRUE(ok.ok()) << ok.error().to_string();
  EXPECT_EQ(ok->bytes.size(), 2020000u);
  EXPECT_EQ(ok->block_len, 100000u);

  // One more literal once the block is full.
  BlockSpec literal = full;
  literal.symbols.back() = 2;  // 'b'
  literal.symbols.push_back(3);
  auto r1 = decode_block(write_block(literal), 1);
  ASSERT_FALSE(r1.ok());
  EXPECT_EQ(r1.error().as<rvk::Error::Decode>().source, DecodeError::InvalidBlock);

  // A run that makes it 100,001: one literal, then a run of 100,000.
  BlockSpec run;
  run.used = {'a', 'b'};
  run.symbols = {2};
  push_run(run.symbols, 100000);
  run.symbols.push_back(3);
  auto r2 = decode_block(write_block(run), 1);
  ASSERT_FALSE(r2.ok());
  EXPECT_EQ(r2.error().as<rvk::Error::Decode>().source, DecodeError::BlockOverflow);

  // The same block is fine at level 2: 100,001 'b' (count byte 98) give
  // 20,000 groups of 102 and one more 'b'.
  run.crc = reference_crc(Bytes(20000 * 102 + 1, 'b'));
  EXPECT_TRUE(decode_block(write_block(run), 2).ok());
}

TEST(BlockDecoder, RepeatCountRules) {
  // A count of 0 after four equal bytes adds nothing, and the byte after the
  // count starts a new run even when it is the same value.
  Bytes pre = {'a', 'a', 'a', 'a', 0, 'a', 'a', 'a', 'a', 2, 'z'};
  Bytes out = {'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'z'};
  auto r = decode_block(write_block(block_of(pre, out)), 9);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->bytes, out);
}

TEST(BlockDecoder, CrcAndOriginFaults) {
  Bytes pre = {'h', 'e', 'l', 'l', 'o'};
  BlockSpec s = block_of(pre, pre);
  s.crc ^= 1;
  expect_fault(decode_block(write_block(s), 9), DecodeError::CrcMismatch, 0);
  s = block_of(pre, pre);
  s.origin = 5;  // not below the block length
  expect_fault(decode_block(write_block(s), 9), DecodeError::InvalidBlock, 0);
}

TEST(BlockDecoder, TruncationBeforeEndOfBlock) {
  Bytes pre = {'t', 'r', 'u', 'n', 'c'};
  BitWriter block = write_block(block_of(pre, pre));
  // Filler bits in front so that the block's last bit is alone in the last
  // byte; dropping that byte ends the input one bit before the end-of-block
  // code completes.
  const unsigned filler = static_cast<unsigned>((1 + 8 - block.nbits % 8) % 8);
  BitWriter w;
  w.put(0, filler);
  for (std::uint64_t i = 0; i < block.nbits; ++i) w.put((block.bytes[i / 8] >> (7 - i % 8)) & 1, 1);
  ASSERT_EQ(w.nbits % 8, 1u);
  Bytes cut(w.bytes.begin(), w.bytes.end() - 1);
  static WorkBuffer work;
  Bits whole(w.bytes, filler + 48);
  ASSERT_TRUE(Decoder::block(work, whole, 9, std::nullopt).ok());
  Bits bits(cut, filler + 48);
  auto r = Decoder::block(work, bits, 9, std::nullopt);
  ASSERT_FALSE(r.ok());
  ASSERT_TRUE(r.error().is<rvk::Error::Decode>());
  EXPECT_EQ(r.error().as<rvk::Error::Decode>().source, DecodeError::Truncated);
}

TEST(BlockDecoder, PeriodicBlockWhoseLinksFormManyCycles) {
  // A periodic block's links split into one cycle per period; the decoder
  // must still walk the origin's cycle to the full length.
  Bytes pre;
  for (int i = 0; i < 3000; ++i) pre.push_back(static_cast<std::uint8_t>("abc"[i % 3]));
  auto r = decode_block(write_block(block_of(pre, pre)), 9);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->bytes, pre);
}

TEST(BlockDecoder, SmallBlockLeavesMostOfItsScratchUntouched) {
  // A file of many small streams: each worker's first small block must not
  // have the kernel clear a 2 MiB huge page of scratch it does not need.
  Bytes pre;
  std::uint32_t x = 1;
  for (int i = 0; i < 40000; ++i) {
    x = x * 1103515245u + 12345u;
    pre.push_back(static_cast<std::uint8_t>('a' + (x >> 16) % 26));
    if (i > 0 && pre[i] == pre[i - 1]) pre[i] = '.';  // no runs: the output is the text
  }
  WorkBuffer work;
  BitWriter w = write_block(block_of(pre, pre));
  Bits bits(w.bytes, 48);
  auto r = Decoder::block(work, bits, 9, std::nullopt);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->bytes, pre);
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> in_core((std::size_t{2} << 20) / page);
  ASSERT_EQ(mincore(work.bytes, std::size_t{2} << 20, in_core.data()), 0);
  std::size_t resident = 0;
  for (unsigned char c : in_core) resident += c & 1;
  EXPECT_LE(resident * page, std::size_t{1} << 20);  // 40,000 symbols touch some 250 KB
}

TEST(Huffman, OverSubscribedRefusedIncompleteAccepted) {
  const std::uint8_t over[] = {1, 1, 2};
  EXPECT_FALSE(Huffman::build(over, 77).ok());
  auto err = Huffman::build(over, 77);
  EXPECT_EQ(err.error().as<rvk::Error::Decode>().bit_offset, 77u);
  const std::uint8_t bad_len[] = {0, 3};
  EXPECT_FALSE(Huffman::build(bad_len, 0).ok());
  const std::uint8_t too_long[] = {1, 21};
  EXPECT_FALSE(Huffman::build(too_long, 0).ok());

  // Codes 0 -> "0", 1 -> "10"; "11" is unassigned.
  const std::uint8_t incomplete[] = {1, 2};
  auto h = Huffman::build(incomplete, 0);
  ASSERT_TRUE(h.ok());
  Bytes input = {0b01011000, 0, 0};
  Bits bits(input);
  EXPECT_EQ(*h->decode(bits), 0u);
  EXPECT_EQ(*h->decode(bits), 1u);
  auto bad = h->decode(bits);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().as<rvk::Error::Decode>().source, DecodeError::InvalidHuffman);
  EXPECT_EQ(bad.error().as<rvk::Error::Decode>().bit_offset, 5u);
}

TEST(Huffman, LongCodesDecodeThroughTheCanonicalWalk) {
  // Lengths 1, 2, ..., 17, 17: a complete code with codes past the table.
  std::vector<std::uint8_t> lengths;
  for (unsigned n = 1; n <= 17; ++n) lengths.push_back(static_cast<std::uint8_t>(n));
  lengths.push_back(17);
  auto h = Huffman::build(lengths, 0);
  ASSERT_TRUE(h.ok());
  // Symbol k (k < 17) is k ones then a zero; symbol 17 is seventeen ones.
  BitWriter w;
  for (unsigned k : {16u, 3u, 17u, 0u}) w.put(k == 17 ? 0x1ffff : ((1u << k) - 1) << 1, k == 17 ? 17 : k + 1);
  w.put(0, 32);
  Bits bits(w.bytes);
  for (unsigned k : {16u, 3u, 17u, 0u}) EXPECT_EQ(*h->decode(bits), k);
}

TEST(Bits, MagicReadsAndTruncation) {
  Bytes input = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59, 0xff};
  Bits bits(input);
  EXPECT_EQ(*bits.magic(), rvk::decoder::kBlockMagic);
  EXPECT_EQ(bits.pos, 48u);
  Bits shorter(std::span<const std::uint8_t>(input.data(), 5));
  auto r = shorter.magic();
  ASSERT_FALSE(r.ok());
  // The first 24 bits were read; the second read fails after them.
  EXPECT_EQ(r.error().as<rvk::Error::Decode>().bit_offset, 24u);
  EXPECT_EQ(*Bits(input, 44).peek(4), 0x9u);
  EXPECT_FALSE(Bits(input, 53).peek(4).ok());
}

TEST(BlockCrc, MatchesTheBitwiseReference) {
  Bytes data = make_text(1000, 3);
  for (std::size_t n : {0, 1, 7, 8, 9, 1000}) {
    Bytes part(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(rvk::decoder::block_crc(part), reference_crc(part)) << n;
  }
}

TEST(BlockDecoder, FaultPositionsAreTheSameNearTheEndAndFarFromIt) {
  // Three used bytes: five symbols coded in 3 bits, codes 5..7 unassigned.
  // The same faulty block is decoded once at the input's end (exact reads)
  // and once followed by plenty of bytes (the fast symbol loop).
  Bytes pre = {'a', 'b', 'c', 'a', 'b', 'c', 'c'};
  BlockSpec s = block_of(pre, pre);
  ASSERT_EQ(s.used.size(), 3u);
  auto faulty = [&](std::vector<std::uint32_t> symbols) {
    BlockSpec f = s;
    f.symbols = std::move(symbols);
    return write_block(f);
  };
  const std::vector<std::vector<std::uint32_t>> cases = {
      {2, 3, 6, 4},              // an unassigned code
      {2, 0, 1, 0, 1, 0, 3, 4},  // decodes, but not to the data its CRC covers
      {3, 3, 3},                 // no end of block
  };
  for (std::size_t c = 0; c < cases.size(); ++c) {
    BitWriter tight = faulty(cases[c]);
    BitWriter padded = tight;
    padded.bytes.resize(padded.bytes.size() + 400, 0);
    auto a = decode_block(tight, 9);
    auto b = decode_block(padded, 9);
    if (c == 2) {
      // Without an end-of-block the tight input runs out; the padded one
      // reads zero bits as run symbols until the run passes the block size.
      ASSERT_FALSE(a.ok());
      EXPECT_EQ(a.error().as<rvk::Error::Decode>().source, DecodeError::Truncated);
      ASSERT_FALSE(b.ok());
      EXPECT_EQ(b.error().as<rvk::Error::Decode>().source, DecodeError::BlockOverflow);
      continue;
    }
    ASSERT_FALSE(a.ok()) << "case " << c;
    ASSERT_FALSE(b.ok()) << "case " << c;
    EXPECT_EQ(a.error(), b.error()) << a.error().to_string() << " vs " << b.error().to_string();
    EXPECT_EQ(a.error().as<rvk::Error::Decode>().source,
              c == 0 ? DecodeError::InvalidHuffman : DecodeError::CrcMismatch);
  }
}
