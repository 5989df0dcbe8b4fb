// Whole inputs through the serial and parallel decoders: files of the
// standard tool at both ends of the level range, concatenations and
// multistream files must decode byte-exact at every worker count; damaged
// inputs must deliver what precedes the damage and then fail at the right
// bit, never report success.
#include "bzip2_support.hpp"

using namespace bz_test;
using rvk::error::DecodeError;

namespace {

// Shared inputs, made once: compressing is the slow part of these tests.
struct Corpus {
  Bytes text = make_text(3'000'000, 1);
  Bytes level1 = bzip2(text, 1);
  Bytes level9 = bzip2(text, 9);
  Bytes small_text = make_text(200'000, 2);
  Bytes small = bzip2(small_text, 5);
};

const Corpus& corpus() {
  static const Corpus c;
  return c;
}

void expect_decodes_to(const Bytes& input, const Bytes& expected) {
  for (std::uint64_t t : kThreadCounts) {
    auto d = decode(input, t);
    ASSERT_TRUE(d.outcome.ok()) << "threads " << t << ": " << d.outcome.error().to_string();
    EXPECT_TRUE(d.bytes == expected) << "threads " << t << ": " << d.bytes.size() << " bytes vs "
                                     << expected.size();
  }
}

const rvk::Error::Decode& decode_error(const rvk::output::Drained& d) {
  EXPECT_FALSE(d.outcome.ok());
  EXPECT_TRUE(d.outcome.error().is<rvk::Error::Decode>()) << d.outcome.error().to_string();
  return d.outcome.error().as<rvk::Error::Decode>();
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace

TEST(Bzip2Stream, StandardFilesAtLevels1And9) {
  expect_decodes_to(corpus().level1, corpus().text);
  expect_decodes_to(corpus().level9, corpus().text);
}

TEST(Bzip2Stream, ConcatenatedFiles) {
  const Corpus& c = corpus();
  Bytes other = make_text(50'000, 7);
  expect_decodes_to(concat({c.small, bzip2(other, 1), c.level9}), concat({c.small_text, other, c.text}));
}

TEST(Bzip2Stream, MultistreamOfOneMegabyteSlices) {
  const Corpus& c = corpus();
  Bytes input;
  for (std::size_t at = 0; at < c.text.size(); at += 1'000'000) {
    Bytes slice(c.text.begin() + static_cast<std::ptrdiff_t>(at),
                c.text.begin() + static_cast<std::ptrdiff_t>(std::min(at + 1'000'000, c.text.size())));
    Bytes z = bzip2(slice, 9);
    input.insert(input.end(), z.begin(), z.end());
  }
  expect_decodes_to(input, c.text);
}

// Thousands of tiny streams, and streams a few dozen bytes long that each
// decode to 40 MB: whatever the candidates decoded together hold, each
// block is decoded within the memory its stretch was given or by the
// assembly itself.
TEST(Bzip2Stream, TinyStreamsAndStreamsThatExpandToTheirLimit) {
  std::vector<Bytes> texts, streams;
  for (int i = 0; i < 7; ++i) {
    texts.push_back(make_text(1 + 43 * i, 40 + i));
    streams.push_back(bzip2(texts.back(), 1 + i));
  }
  Bytes tiny_input, tiny_text;
  for (int k = 0; k < 2100; ++k) {
    tiny_input.insert(tiny_input.end(), streams[k % 7].begin(), streams[k % 7].end());
    tiny_text.insert(tiny_text.end(), texts[k % 7].begin(), texts[k % 7].end());
  }
  expect_decodes_to(tiny_input, tiny_text);

  const Bytes zeros(40'000'000, 0), as(40'000'000, 'a');
  expect_decodes_to(concat({bzip2(zeros, 9), bzip2(as, 9), bzip2(zeros, 9)}), concat({zeros, as, zeros}));
}

TEST(Bzip2Stream, StreamWithoutBlocksDecodesToNothing) {
  Bytes empty_stream = bzip2({}, 9);
  expect_decodes_to(empty_stream, {});
  expect_decodes_to(concat({empty_stream, corpus().small, empty_stream}), corpus().small_text);
}

TEST(Bzip2Stream, EmptyFileFailsOnBothPaths) {
  for (std::uint64_t t : {1, 4}) {
    auto d = decode({}, t);
    ASSERT_FALSE(d.outcome.ok()) << "threads " << t;
    EXPECT_TRUE(d.outcome.error().is<rvk::Error::InvalidStreamHeader>()) << d.outcome.error().to_string();
  }
}

TEST(Bzip2Stream, ShortOrForeignHeaders) {
  Bytes bzh = {'B', 'Z', 'h'};
  EXPECT_EQ(decode_error(decode(bzh, 1)).source, DecodeError::Truncated);
  EXPECT_TRUE(decode(bzh, 4).outcome.error().is<rvk::Error::InvalidStreamHeader>());
  Bytes level0 = corpus().small;
  level0[3] = '0';
  EXPECT_EQ(decode_error(decode(level0, 1)).source, DecodeError::InvalidLevel);
  EXPECT_EQ(decode_error(decode(level0, 1)).bit_offset, 24u);
  EXPECT_EQ(decode_error(decode(level0, 4)).source, DecodeError::InvalidLevel);
}

TEST(Bzip2Stream, FlippedByteDeliversEarlierBlocksThenFailsInsideTheBlock) {
  const Corpus& c = corpus();
  // More than one scan range: the first block is decoded while the workers
  // scan, and its failure must stop them.
  const Bytes input = concat({c.level1, c.level1});
  ASSERT_GT(input.size(), std::size_t{1} << 20);
  auto magics = block_magics(input);
  auto sizes = block_sizes(input);
  ASSERT_GE(magics.size(), 6u);
  // Damage the first block (decoded ahead of the scan), then the fifth.
  for (const std::size_t k : {0, 4}) {
    const std::uint64_t start = magics[k].bit_offset;
    const std::uint64_t next = magics[k + 1].bit_offset;
    Bytes damaged = input;
    damaged[(start + next) / 16] ^= 0x5a;  // a byte in the middle of the block
    std::size_t before = 0;
    for (std::size_t i = 0; i < k; ++i) before += sizes[i];

    std::optional<rvk::Error> first_error;
    for (std::uint64_t t : kThreadCounts) {
      auto d = decode(damaged, t);
      const auto& e = decode_error(d);
      EXPECT_GE(e.bit_offset, start) << "block " << k << ", threads " << t;
      EXPECT_LT(e.bit_offset, next) << "block " << k << ", threads " << t;
      EXPECT_EQ(d.bytes.size(), before) << "block " << k << ", threads " << t;
      EXPECT_TRUE(is_prefix(d.bytes, c.text));
      // Every path names the same fault at the same bit.
      if (!first_error) first_error = d.outcome.error();
      EXPECT_EQ(d.outcome.error(), *first_error) << "threads " << t << ": " << d.outcome.error().to_string();
    }
  }
}

TEST(Bzip2Stream, AlteredStreamCrcFailsAfterAllData) {
  const Corpus& c = corpus();
  Bytes input = c.level9;
  auto scan = rvk::format::scan_range(input, 0, input.size());
  ASSERT_EQ(scan.ends.size(), 1u);
  const std::uint64_t end = scan.ends[0].bit_offset;
  // Flip one bit of the combined CRC that follows the end magic.
  const std::uint64_t bit = end + 48 + 5;
  input[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
  for (std::uint64_t t : kThreadCounts) {
    auto d = decode(input, t);
    const auto& e = decode_error(d);
    EXPECT_EQ(e.source, DecodeError::CrcMismatch);
    EXPECT_EQ(e.bit_offset, end);
    EXPECT_TRUE(d.bytes == c.text) << "threads " << t;
  }
}

TEST(Bzip2Stream, TruncatedFilesNeverSucceed) {
  const Corpus& c = corpus();
  const Bytes& input = c.level1;
  for (std::size_t keep : {input.size() - 1, input.size() - 6, input.size() / 2, std::size_t{40}}) {
    Bytes cut(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(keep));
    for (std::uint64_t t : {1, 2, 8}) {
      auto d = decode(cut, t);
      ASSERT_FALSE(d.outcome.ok()) << "kept " << keep << ", threads " << t;
      EXPECT_TRUE(is_prefix(d.bytes, c.text));
      // Cutting into the end-of-stream trailer loses no block, only the check.
      if (keep <= input.size() / 2) {
        EXPECT_LT(d.bytes.size(), c.text.size());
      }
    }
  }
}

TEST(Bzip2Stream, TrailingBytesAfterTheStreams) {
  const Corpus& c = corpus();
  Bytes both = concat({c.small, c.small});
  Bytes garbage = concat({both, Bytes{'j', 'u', 'n', 'k', '!'}});
  for (std::uint64_t t : {1, 4}) {
    auto d = decode(garbage, t);
    const auto& e = decode_error(d);
    EXPECT_EQ(e.source, DecodeError::InvalidMagic);
    EXPECT_EQ(e.bit_offset, 8 * both.size());
    EXPECT_TRUE(d.bytes == concat({c.small_text, c.small_text}));
  }
  Bytes three = concat({both, Bytes{'B', 'Z'}});
  for (std::uint64_t t : {1, 4}) {
    auto d = decode(three, t);
    EXPECT_EQ(decode_error(d).source, DecodeError::Truncated);
    EXPECT_EQ(decode_error(d).bit_offset, 8 * both.size());
  }
}

TEST(Bzip2Stream, MemoryLimitBelowOneBlockFailsBeforeOutput) {
  for (std::uint64_t t : {1, 4}) {
    auto d = decode(corpus().small, t, rvk::decoder::kMaxBlockOutput - 1);
    ASSERT_FALSE(d.outcome.ok());
    EXPECT_EQ(d.outcome.error().to_string(), "invalid configuration: memory limit must be at least 46620004 bytes");
    EXPECT_TRUE(d.bytes.empty());
  }
  // The smallest accepted limit still decodes, one candidate at a time.
  auto d = decode(corpus().level1, 4, rvk::decoder::kMaxBlockOutput);
  ASSERT_TRUE(d.outcome.ok()) << d.outcome.error().to_string();
  EXPECT_TRUE(d.bytes == corpus().text);
}

TEST(Bzip2Stream, ReaderGoneStopsTheDecoder) {
  rvk::DecodeOptions options;
  for (std::uint64_t t : {1, 4}) {
    options.threads = t;
    auto d = rvk::output::drain(
        [&](rvk::output::PipeWriter& w) {
          return rvk::decode::decompress_to_sink_with_progress(corpus().level1, w, options, rvk::no_progress());
        },
        100'000);
    ASSERT_FALSE(d.outcome.ok());
    EXPECT_EQ(d.outcome.error(), rvk::Error::reader_stopped()) << d.outcome.error().to_string();
  }
}

TEST(Bzip2Stream, BlockLongerThanTheStreamLevelAllows) {
  // "BZh1", one block of 100,001 equal symbols (legal at level 9 only), the
  // end magic and the combined CRC.
  BlockSpec spec;
  spec.used = {'a', 'b'};
  push_run(spec.symbols, 100001);
  spec.symbols.push_back(3);
  spec.crc = reference_crc(Bytes(20000 * 101 + 1, 'a'));
  BitWriter block = write_block(spec);
  BitWriter w;
  for (char c : {'B', 'Z', 'h', '1'}) w.put(static_cast<std::uint8_t>(c), 8);
  for (std::uint64_t i = 0; i < block.nbits; ++i) w.put((block.bytes[i / 8] >> (7 - i % 8)) & 1, 1);
  w.put(rvk::decoder::kEndMagic, 48);
  w.put(spec.crc, 32);  // one block: the combined CRC is its CRC

  // The same stream claiming level 2 decodes.
  Bytes level2 = w.bytes;
  level2[3] = '2';
  auto good = decode(level2, 4);
  ASSERT_TRUE(good.outcome.ok()) << good.outcome.error().to_string();
  EXPECT_EQ(good.bytes.size(), 20000u * 101 + 1);

  // Parallel: the candidate decodes at level 9, the stream's level refuses it.
  auto parallel = decode(w.bytes, 4);
  EXPECT_EQ(parallel.outcome.error(), rvk::Error::decode(32, DecodeError::BlockOverflow));
  EXPECT_TRUE(parallel.bytes.empty());
  // Serial: the block decoder's own limit at level 1.
  auto serial = decode(w.bytes, 1);
  EXPECT_EQ(decode_error(serial).source, DecodeError::BlockOverflow);
  EXPECT_TRUE(serial.bytes.empty());
}

TEST(Bzip2Stream, RunsRandomBytesAndPeriodicData) {
  // Runs of every length up to 600 (repeat counts, runs split across
  // count bytes), random bytes (all 256 values, codes longer than the fast
  // table) and a periodic stretch (links in many short cycles).
  std::mt19937 rng(5);
  Bytes data;
  for (unsigned len = 1; len <= 600; ++len) data.insert(data.end(), len, static_cast<std::uint8_t>(rng()));
  for (int i = 0; i < 300'000; ++i) data.push_back(static_cast<std::uint8_t>(rng()));
  for (int i = 0; i < 200'000; ++i) data.push_back(static_cast<std::uint8_t>("0123456789abcdefg"[i % 17]));
  for (int level : {1, 9}) expect_decodes_to(bzip2(data, level), data);
}

TEST(Bzip2Stream, RandomDamageGivesAnErrorOrTheExactData) {
  // Whatever is damaged, what was delivered is a prefix of the data, and a
  // success delivers exactly the data (the CRCs leave no room for anything
  // else); no damage may crash or hang either path.
  const Bytes text = make_text(150'000, 11);
  const Bytes input = bzip2(text, 1);
  std::mt19937 rng(17);
  for (int round = 0; round < 60; ++round) {
    Bytes damaged = input;
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f) damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    for (std::uint64_t t : {1, 3}) {
      auto d = decode(damaged, t);
      if (d.outcome.ok()) {
        EXPECT_TRUE(d.bytes == text) << "round " << round << ", threads " << t;
      } else {
        EXPECT_TRUE(is_prefix(d.bytes, text)) << "round " << round << ", threads " << t;
      }
    }
  }
}
