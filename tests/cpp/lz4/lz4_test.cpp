// The LZ4 frame decoder against the standard `lz4` tool, serially and on
// the pool, and against hand-built malformed frames, one per class of fault.
#include <gtest/gtest.h>

#include <dirent.h>

#include <filesystem>
#include <fstream>

#include "lz4_support.hpp"
#include "rvk/history.hpp"
#include "rvk/lz4.hpp"
#include "rvk/pipe.hpp"

namespace {

using namespace lz4_test;
using rvk::DecodeOptions;
using rvk::output::drain;
using rvk::output::Drained;
using rvk::output::PipeWriter;

Drained decode(const Bytes& input, std::uint64_t threads, std::size_t stop_after = 0,
               std::uint64_t memory_limit = rvk::kDefaultMemoryLimit) {
  DecodeOptions options;
  options.threads = threads;
  options.memory_limit = memory_limit;
  return drain(
      [&](PipeWriter& sink) {
        return rvk::lz4::decompress_to_sink_with_options_and_progress(input, sink, options, rvk::no_progress());
      },
      stop_after);
}

std::string error_of(const Drained& d) { return d.outcome.ok() ? "<success>" : d.outcome.error().to_string(); }

// ----- against the lz4 tool -------------------------------------------------

struct ToolCase {
  const char* options;
  std::size_t size;
};

class ToolRoundTrip : public ::testing::TestWithParam<ToolCase> {};

TEST_P(ToolRoundTrip, ByteExactWithOneAndEightThreads) {
  const auto& param = GetParam();
  const Bytes data = sample_data(param.size, static_cast<unsigned>(param.size));
  const Bytes compressed = lz4_compress(data, param.options);
  ASSERT_FALSE(compressed.empty());
  for (std::uint64_t threads : {1u, 8u}) {
    const Drained d = decode(compressed, threads);
    ASSERT_TRUE(d.outcome.ok()) << param.options << " threads " << threads << ": " << error_of(d);
    EXPECT_TRUE(d.bytes == data) << param.options << " threads " << threads;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lz4Tool, ToolRoundTrip,
    ::testing::Values(ToolCase{"", 3000000}, ToolCase{"", 40000000}, ToolCase{"-BD", 3000000}, ToolCase{"-BX", 3000000},
                      ToolCase{"--content-size", 3000000}, ToolCase{"-B4", 6000000},
                      ToolCase{"-B4 -BD -BX --content-size", 2000000}, ToolCase{"-B5 -BX", 9000000},
                      ToolCase{"-B6 --no-frame-crc", 12000000}, ToolCase{"-9 -B4", 4000000},
                      ToolCase{"", 0}, ToolCase{"-B4", 1}, ToolCase{"-BD -B4", 200000}));

TEST(Lz4Frames, ConcatenatedFramesAndSkippableFrames) {
  const Bytes a = sample_data(700000, 1);
  const Bytes b = sample_data(2500000, 2);
  Bytes input = lz4_compress(a, "-B4 -BD");
  Bytes skippable;
  put_u32(skippable, 0x184D2A5F);
  put_u32(skippable, 3);
  append(skippable, {9, 9, 9});
  append(input, skippable);
  append(input, lz4_compress(b, "-B4 --content-size"));
  Bytes expected = a;
  append(expected, b);
  for (std::uint64_t threads : {1u, 3u, 8u}) {
    const Drained d = decode(input, threads);
    ASSERT_TRUE(d.outcome.ok()) << error_of(d);
    EXPECT_TRUE(d.bytes == expected);
  }
  // A skippable frame first is ignored too.
  Bytes leading = skippable;
  append(leading, lz4_compress(a, ""));
  EXPECT_TRUE(decode(leading, 4).bytes == a);
}

TEST(Lz4Frames, LegacyFramesAreRefused) {
  const Bytes legacy = lz4_compress(sample_data(10000, 3), "-l");
  const Drained d = decode(legacy, 4);
  EXPECT_EQ(error_of(d), "invalid LZ4 frame: legacy LZ4 frames are not supported");
  EXPECT_TRUE(d.bytes.empty());
}

TEST(Lz4Frames, ChangedContentChecksumFailsAfterTheData) {
  const Bytes data = sample_data(3000000, 4);
  Bytes input = lz4_compress(data, "-B4");
  const std::uint32_t stored = static_cast<std::uint32_t>(input[input.size() - 4]) |
                               static_cast<std::uint32_t>(input[input.size() - 3]) << 8 |
                               static_cast<std::uint32_t>(input[input.size() - 2]) << 16 |
                               static_cast<std::uint32_t>(input[input.size() - 1]) << 24;
  input[input.size() - 4] ^= 0x01;
  for (std::uint64_t threads : {1u, 8u}) {
    const Drained d = decode(input, threads);
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "invalid LZ4 frame: content checksum mismatch: expected %08x, decoded %08x", stored ^ 1u, stored);
    EXPECT_EQ(error_of(d), expected);
    EXPECT_TRUE(d.bytes == data) << "every byte is delivered before the checksum verdict";
  }
}

// Finds the data start of block `k` of the single frame in `input`.
std::uint64_t block_data_start(const Bytes& input, std::size_t k) {
  auto header = rvk::lz4::parse_frame_header(input, 0);
  EXPECT_TRUE(header.ok());
  std::uint64_t cursor = header->first_block;
  for (std::size_t i = 0;; ++i) {
    auto layout = rvk::lz4::next_block(input, cursor, *header);
    EXPECT_TRUE(layout.ok() && layout->has_value());
    if (i == k) return (*layout)->data_start;
  }
}

TEST(Lz4Frames, CorruptBlockInAParallelBatchDeliversTheBlocksBeforeIt) {
  const Bytes data = sample_data(4000000, 5, 0);
  Bytes input = lz4_compress(data, "-B4 -BX");
  const std::size_t bad = 20;  // inside the second batch of 16+ blocks
  const std::uint64_t at = block_data_start(input, bad);
  input[at + 10] ^= 0x55;
  for (std::uint64_t threads : {1u, 4u, 8u}) {
    const Drained d = decode(input, threads);
    EXPECT_NE(error_of(d).find("invalid LZ4 frame: block checksum mismatch at byte " + std::to_string(at) +
                               ": expected "),
              std::string::npos)
        << error_of(d);
    ASSERT_EQ(d.bytes.size(), bad * 65536) << "threads " << threads;
    EXPECT_TRUE(std::equal(d.bytes.begin(), d.bytes.end(), data.begin()));
  }
}

std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names.push_back(name);
  }
  return names;
}

TEST(Lz4Frames, ReaderGoneStopsTheDecodeAndItsPool) {
  const Bytes data = sample_data(20000000, 6, 0);
  const Bytes input = lz4_compress(data, "-B4");
  const Drained d = decode(input, 8, 3000000);
  ASSERT_FALSE(d.outcome.ok());
  EXPECT_EQ(error_of(d), "output reader stopped reading");
  for (const auto& name : thread_names()) EXPECT_EQ(name.rfind("rvk-lz4-", 0), std::string::npos) << name;
}

TEST(Lz4Frames, SmallMemoryLimitDecodesSerially) {
  // With room for fewer than two blocks the pool is never used.
  const Bytes data = sample_data(3000000, 7);
  const Bytes input = lz4_compress(data, "-B7");
  const Drained d = decode(input, 8, 0, 5000000);
  ASSERT_TRUE(d.outcome.ok()) << error_of(d);
  EXPECT_TRUE(d.bytes == data);
}

// ----- hand-built frames ----------------------------------------------------

Bytes end_mark() {
  Bytes b;
  put_u32(b, 0);
  return b;
}

TEST(Lz4Descriptor, EmptyFrameAndContentSize) {
  Bytes empty = frame_header(0x60, 0x40);
  append(empty, end_mark());
  const Drained ok = decode(empty, 1);
  EXPECT_TRUE(ok.outcome.ok()) << error_of(ok);
  EXPECT_TRUE(ok.bytes.empty());

  Bytes sized = frame_header(0x68, 0x40, 5);
  append(sized, end_mark());
  EXPECT_EQ(error_of(decode(sized, 1)), "invalid LZ4 frame: content size mismatch: expected 5, decoded 0");
}

TEST(Lz4Descriptor, FieldChecksInOrder) {
  auto error_for = [](const Bytes& input) { return error_of(decode(input, 1)); };
  Bytes bad_code = frame_header(0x60, 0x30);
  append(bad_code, end_mark());
  EXPECT_EQ(error_for(bad_code), "invalid LZ4 frame: unsupported block maximum-size code 3");
  Bytes reserved = frame_header(0x60, 0x41);
  EXPECT_EQ(error_for(reserved), "invalid LZ4 frame: reserved frame descriptor bits are set");
  Bytes reserved_flg = frame_header(0x62, 0x40);
  EXPECT_EQ(error_for(reserved_flg), "invalid LZ4 frame: reserved frame descriptor bits are set");
  EXPECT_EQ(error_for(frame_header(0x20, 0x40)), "invalid LZ4 frame: unsupported frame version bits 00");
  EXPECT_EQ(error_for(frame_header(0xE0, 0x40)), "invalid LZ4 frame: unsupported frame version bits c0");
  // A dictionary ID is refused even before a wrong header checksum is seen.
  EXPECT_EQ(error_for(frame_header(0x61, 0x40, 0, 0xABCD12, 1)),
            "invalid LZ4 frame: external dictionary 00abcd12 is not supported");
  Bytes wrong_hc = frame_header(0x60, 0x40, 0, 0, 1);
  const auto stored = wrong_hc.back();
  char expected[96];
  std::snprintf(expected, sizeof expected, "invalid LZ4 frame: header checksum mismatch: expected %02x, decoded %02x",
                stored, static_cast<std::uint8_t>(stored - 1));
  EXPECT_EQ(error_for(wrong_hc), expected);

  Bytes cut = frame_header(0x60, 0x40);
  cut.resize(5);
  EXPECT_EQ(error_for(cut), "invalid LZ4 frame: truncated frame descriptor");
  Bytes no_hc = frame_header(0x60, 0x40);
  no_hc.pop_back();
  EXPECT_EQ(error_for(no_hc), "invalid LZ4 frame: truncated frame header checksum");
  Bytes short_size = frame_header(0x68, 0x40, 1);
  short_size.resize(10);
  EXPECT_EQ(error_for(short_size), "invalid LZ4 frame: truncated frame content size");
}

TEST(Lz4Walk, StrayBytesAndUnknownMagic) {
  Bytes frame = frame_header(0x60, 0x40);
  append(frame, end_mark());
  Bytes three = frame;
  append(three, {1, 2, 3});
  EXPECT_EQ(error_of(decode(three, 1)),
            "invalid LZ4 frame: truncated frame magic at byte " + std::to_string(frame.size()));
  Bytes zeros = frame;
  append(zeros, {0, 0, 0, 0});
  EXPECT_EQ(error_of(decode(zeros, 1)),
            "invalid LZ4 frame: wrong magic 00000000 at byte " + std::to_string(frame.size()));
}

TEST(Lz4Walk, NoFrames) {
  EXPECT_EQ(error_of(decode({}, 1)), "invalid LZ4 frame: input contains no LZ4 frames");
  Bytes skippable;
  put_u32(skippable, 0x184D2A50);
  put_u32(skippable, 0);
  EXPECT_EQ(error_of(decode(skippable, 1)), "invalid LZ4 frame: input contains no LZ4 frames");
  put_u32(skippable, 0x184D2A51);
  put_u32(skippable, 100);
  EXPECT_EQ(error_of(decode(skippable, 1)), "invalid LZ4 frame: skippable frame exceeds the input");
}

TEST(Lz4Blocks, InvalidSizesAndTruncation) {
  Bytes zero_stored = frame_header(0x60, 0x40);
  const std::size_t word_at = zero_stored.size();
  put_u32(zero_stored, 0x80000000u);
  EXPECT_EQ(error_of(decode(zero_stored, 1)), "invalid LZ4 frame: block at byte " + std::to_string(word_at) +
                                                  " has invalid size 0 for 65536-byte frames");
  Bytes too_big = frame_header(0x60, 0x40);
  put_u32(too_big, 65537);
  EXPECT_EQ(error_of(decode(too_big, 1)), "invalid LZ4 frame: block at byte " + std::to_string(word_at) +
                                              " has invalid size 65537 for 65536-byte frames");
  Bytes past_end = frame_header(0x60, 0x40);
  put_u32(past_end, 10);
  append(past_end, {0x10, 'a'});
  EXPECT_EQ(error_of(decode(past_end, 1)), "invalid LZ4 frame: block data exceeds the frame");
  Bytes no_end = frame_header(0x60, 0x40);
  put_block(no_end, {'x', 'y'}, true);
  EXPECT_EQ(error_of(decode(no_end, 1)),
            "invalid LZ4 frame: truncated block header at byte " + std::to_string(no_end.size()));
  Bytes no_checksum = frame_header(0x70, 0x40);
  put_block(no_checksum, {'x', 'y'}, true);
  EXPECT_EQ(error_of(decode(no_checksum, 1)),
            "invalid LZ4 frame: truncated block checksum at byte " + std::to_string(no_checksum.size()));
}

// One frame with one compressed block holding `block`.
Drained decode_block(const Bytes& block, std::uint8_t flg = 0x60) {
  Bytes input = frame_header(flg, 0x40);
  put_block(input, block);
  append(input, end_mark());
  return decode(input, 1);
}

TEST(Lz4Blocks, SequenceDecoding) {
  // One literal 'a', then offset 1 length 20: 21 'a's; the block ends with a match.
  const Drained run = decode_block({0x1F, 'a', 0x01, 0x00, 0x01});
  ASSERT_TRUE(run.outcome.ok()) << error_of(run);
  EXPECT_EQ(run.bytes, Bytes(21, 'a'));
  // Period-3 overlap: "abc" then offset 3 length 10.
  const Drained period = decode_block({0x36, 'a', 'b', 'c', 0x03, 0x00});
  ASSERT_TRUE(period.outcome.ok());
  EXPECT_EQ(std::string(period.bytes.begin(), period.bytes.end()), "abcabcabcabca");
  // Extended literal length: 15 + 5 = 20 literals.
  Bytes lit = {0xF0, 5};
  for (int i = 0; i < 20; ++i) lit.push_back(static_cast<std::uint8_t>('A' + i));
  const Drained extended = decode_block(lit);
  ASSERT_TRUE(extended.outcome.ok());
  EXPECT_EQ(extended.bytes.size(), 20u);
  EXPECT_EQ(extended.bytes.back(), 'A' + 19);
}

TEST(Lz4Blocks, ShortOverlappingMatchesEqualTheByteByByteCopy) {
  // Sequences of up to 14 literals and matches of up to 18 bytes at every
  // distance from 1 to 38, each followed by more input (the shapes the
  // decoder copies with fixed-size moves), checked against a plain copy.
  auto sequence = [](Bytes& block, Bytes& expected, std::size_t literals, std::uint8_t first,
                     std::size_t distance, std::size_t match) {
    block.push_back(static_cast<std::uint8_t>(literals << 4 | (match - 4)));
    for (std::size_t i = 0; i < literals; ++i) {
      block.push_back(static_cast<std::uint8_t>(first + i));
      expected.push_back(static_cast<std::uint8_t>(first + i));
    }
    block.push_back(static_cast<std::uint8_t>(distance));
    block.push_back(0);
    for (std::size_t i = 0; i < match; ++i) expected.push_back(expected[expected.size() - distance]);
  };
  for (std::size_t distance = 1; distance <= 38; ++distance) {
    for (std::size_t match = 4; match <= 18; match += 7) {
      Bytes block;
      Bytes expected;
      sequence(block, expected, 14, 'a', 7, 10);  // 24 bytes of history
      sequence(block, expected, 14, 'A', distance, match);
      // A closing literal run long enough that the match above is not the
      // block's tail.
      block.push_back(0xF0);
      block.push_back(5);
      for (int i = 0; i < 20; ++i) {
        block.push_back(static_cast<std::uint8_t>('0' + i));
        expected.push_back(static_cast<std::uint8_t>('0' + i));
      }
      const Drained d = decode_block(block);
      ASSERT_TRUE(d.outcome.ok()) << error_of(d);
      EXPECT_EQ(d.bytes, expected) << "distance " << distance << " match " << match;
    }
  }
}

TEST(Lz4Blocks, SequenceErrors) {
  EXPECT_EQ(error_of(decode_block({0xF0})), "invalid LZ4 frame: truncated extended sequence length");
  EXPECT_EQ(error_of(decode_block({0xF0, 255})), "invalid LZ4 frame: truncated extended sequence length");
  EXPECT_EQ(error_of(decode_block({0x30, 'a'})), "invalid LZ4 frame: literal run exceeds the block");
  EXPECT_EQ(error_of(decode_block({0x10, 'a', 0x01})), "invalid LZ4 frame: truncated match offset");
  EXPECT_EQ(error_of(decode_block({0x1F, 'a', 0x01, 0x00})), "invalid LZ4 frame: truncated extended sequence length");
  EXPECT_EQ(error_of(decode_block({0x10, 'a', 0x02, 0x00})),
            "invalid LZ4 frame: match offset 2 exceeds the available 1-byte history");
  EXPECT_EQ(error_of(decode_block({0x10, 'a', 0x00, 0x00})),
            "invalid LZ4 frame: match offset 0 exceeds the available 1-byte history");
  // A match that would pass the 64 KiB maximum: 1 literal + 15+255*257+... bytes.
  Bytes huge = {0x1F, 'a', 0x01, 0x00};
  for (int i = 0; i < 300; ++i) huge.push_back(255);
  huge.push_back(0);
  EXPECT_EQ(error_of(decode_block(huge)), "invalid LZ4 frame: decoded block exceeds its 65536-byte maximum");
}

TEST(Lz4Blocks, LinkedMatchReachesIntoThePreviousBlock) {
  // Block 1: 100 stored bytes; block 2: a match 100 back of length 8.
  Bytes first(100);
  for (int i = 0; i < 100; ++i) first[i] = static_cast<std::uint8_t>(i);
  const Bytes second = {0x04, 100, 0x00};  // no literals, offset 100, length 8
  for (std::uint8_t flg : {0x40, 0x60}) {
    Bytes input = frame_header(flg, 0x40);
    put_block(input, first, true);
    put_block(input, second);
    append(input, end_mark());
    const Drained d = decode(input, 1);
    if (flg == 0x40) {  // linked
      ASSERT_TRUE(d.outcome.ok()) << error_of(d);
      ASSERT_EQ(d.bytes.size(), 108u);
      EXPECT_EQ(Bytes(d.bytes.begin() + 100, d.bytes.end()), Bytes(first.begin(), first.begin() + 8));
    } else {
      EXPECT_EQ(error_of(d), "invalid LZ4 frame: match offset 100 exceeds the available 0-byte history");
    }
  }
}

TEST(Lz4Blocks, BlockChecksumIsCheckedBeforeDecoding) {
  const Bytes block = {0x30, 'a'};  // would fail as a literal overrun
  Bytes input = frame_header(0x70, 0x40);
  const std::size_t data_at = input.size() + 4;
  put_block(input, block);
  put_u32(input, 0x12345678);
  append(input, end_mark());
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "invalid LZ4 frame: block checksum mismatch at byte %zu: expected 12345678, decoded %08x", data_at,
                rvk::checksum::xxh32(block));
  EXPECT_EQ(error_of(decode(input, 1)), expected);
}

// ----- extend_match ---------------------------------------------------------

TEST(ExtendMatch, EqualsTheByteByByteCopy) {
  std::mt19937 rng(12);
  for (std::size_t distance = 1; distance <= 40; ++distance) {
    for (std::size_t length : {1u, 2u, 3u, 7u, 16u, 39u, 40u, 41u, 100u, 1000u}) {
      Bytes out(50);
      for (auto& b : out) b = static_cast<std::uint8_t>(rng());
      Bytes expected = out;
      for (std::size_t i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
      rvk::history::extend_match(out, distance, length);
      ASSERT_EQ(out, expected) << "distance " << distance << " length " << length;
    }
  }
}

}  // namespace
