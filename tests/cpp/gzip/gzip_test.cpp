// gzip framing and the member loop: files made by the standard tools,
// hand-built headers with every optional field, every header and trailer
// fault with its message and byte position, truncation, padding.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "gzip_test_util.hpp"
#include "rvk/checksum.hpp"

using namespace gzip_test;

namespace {

std::string at_byte(std::uint64_t pos, const std::string& message) {
  return "invalid gzip stream: at byte " + std::to_string(pos) + ": " + message;
}

// Runs a standard compressor over `data` through a temporary file.
Bytes run_tool(const std::string& command, const Bytes& data) {
  char path[] = "/tmp/rvk_gzip_testXXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
  std::string cmd = command + " < " + path;
  FILE* p = popen(cmd.c_str(), "r");
  Bytes out;
  std::uint8_t buf[65536];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  EXPECT_EQ(pclose(p), 0) << cmd;
  unlink(path);
  return out;
}

Bytes sample(std::uint64_t seed, std::size_t n) {
  std::mt19937_64 rng(seed);
  Bytes out = text_bytes(rng, n / 2);
  Bytes noise = random_bytes(rng, n / 8);
  out.insert(out.end(), noise.begin(), noise.end());
  Bytes more = text_bytes(rng, n - out.size());
  out.insert(out.end(), more.begin(), more.end());
  return out;
}

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

}  // namespace

TEST(GzipFiles, StandardToolsDecodeExactly) {
  const Bytes data = sample(1, 3 * 1024 * 1024 + 17);
  for (const char* tool : {"gzip -1 -c", "gzip -9 -c", "pigz -c -p 4", "pigz -1 -c -p 2"}) {
    Bytes gz = run_tool(tool, data);
    auto d = decode_gzip(gz);
    ASSERT_FALSE(d.error) << tool << ": " << *d.error;
    EXPECT_TRUE(d.bytes == data) << tool;
  }
}

TEST(GzipFiles, EmptyMemberAndEmptyInput) {
  Bytes gz = run_tool("gzip -c", {});
  auto d = decode_gzip(gz);
  ASSERT_FALSE(d.error) << *d.error;
  EXPECT_TRUE(d.bytes.empty());

  auto none = decode_gzip({});
  ASSERT_TRUE(none.error);
  EXPECT_EQ(*none.error, "invalid gzip stream: input contains no gzip members");
}

TEST(GzipFiles, MembersDecodeInOrder) {
  const Bytes a = sample(2, 200000), b = sample(3, 70000);
  Bytes gz = run_tool("gzip -6 -c", a);
  Bytes gz_empty = run_tool("gzip -c", {});
  Bytes gz_b = gzip_member(b, 9);
  gz.insert(gz.end(), gz_empty.begin(), gz_empty.end());
  gz.insert(gz.end(), gz_b.begin(), gz_b.end());
  auto d = decode_gzip(gz);
  ASSERT_FALSE(d.error) << *d.error;
  Bytes expect = a;
  expect.insert(expect.end(), b.begin(), b.end());
  EXPECT_TRUE(d.bytes == expect);
}

// Small members with more than the parallel minimum of input after them:
// each is decoded where its start is (none goes on past its first 512 KiB),
// in order, with several threads as with one.
TEST(GzipFiles, SmallMembersBeforeTheParallelMinimumRunsOut) {
  std::vector<Bytes> texts, members;
  for (int i = 0; i < 64; ++i) {
    texts.push_back(sample(100 + i, 1 + 37 * i));
    members.push_back(gzip_member(texts.back(), i % 9 + 1));
  }
  std::mt19937_64 rng(5);
  Bytes gz, expect;
  while (gz.size() < rvk::gzip::kParallelMinimum + 65536) {
    const std::size_t i = rng() % members.size();
    gz.insert(gz.end(), members[i].begin(), members[i].end());
    expect.insert(expect.end(), texts[i].begin(), texts[i].end());
  }
  for (std::uint64_t threads : {1, 4}) {
    auto d = decode_gzip(gz, 0, threads);
    ASSERT_FALSE(d.error) << *d.error;
    EXPECT_TRUE(d.bytes == expect) << threads;
  }
}

TEST(GzipFraming, OptionalHeaderFieldsWithHeaderCrc) {
  const Bytes data = to_bytes("hello, optional header fields");
  Bytes raw = zlib_deflate(data, 6);
  Bytes h = {0x1F, 0x8B, 8, 0x1F /* FTEXT FHCRC FEXTRA FNAME FCOMMENT */, 1, 2, 3, 4, 0, 3};
  Bytes extra = {'A', 'B', 4, 0, 1, 2, 3, 4};
  h.push_back(static_cast<std::uint8_t>(extra.size()));
  h.push_back(0);
  h.insert(h.end(), extra.begin(), extra.end());
  for (char c : std::string("name.txt")) h.push_back(static_cast<std::uint8_t>(c));
  h.push_back(0);
  for (char c : std::string("a comment \xff")) h.push_back(static_cast<std::uint8_t>(c));
  h.push_back(0);
  const std::uint32_t hcrc = rvk::checksum::crc32(h) & 0xFFFF;
  h.push_back(static_cast<std::uint8_t>(hcrc));
  h.push_back(static_cast<std::uint8_t>(hcrc >> 8));
  const std::size_t hcrc_at = h.size() - 2;
  h.insert(h.end(), raw.begin(), raw.end());
  put_le32(h, static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
  put_le32(h, static_cast<std::uint32_t>(data.size()));
  auto d = decode_gzip(h);
  ASSERT_FALSE(d.error) << *d.error;
  EXPECT_EQ(str(d.bytes), str(data));

  // The header CRC covers the optional fields: changing the name breaks it.
  Bytes bad = h;
  bad[10 + 2 + extra.size()] = 'N';
  auto e = decode_gzip(bad);
  ASSERT_TRUE(e.error);
  const std::uint32_t changed = rvk::checksum::crc32(std::span(bad.data(), hcrc_at)) & 0xFFFF;
  char expect[80];
  std::snprintf(expect, sizeof expect, "header CRC16 mismatch: expected %04x, decoded %04x", hcrc, changed);
  EXPECT_EQ(*e.error, at_byte(hcrc_at, expect));

  // An FNAME that is only its zero byte is accepted.
  Bytes empty_name = {0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 3, 0};
  empty_name.insert(empty_name.end(), raw.begin(), raw.end());
  put_le32(empty_name, static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
  put_le32(empty_name, static_cast<std::uint32_t>(data.size()));
  auto n = decode_gzip(empty_name);
  ASSERT_FALSE(n.error) << *n.error;
  EXPECT_EQ(str(n.bytes), str(data));
}

TEST(GzipFraming, HeaderFaults) {
  struct Case {
    Bytes input;
    std::string expect;
  };
  const std::vector<Case> cases = {
      {{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0}, at_byte(0, "truncated member header")},
      {{0x1F, 0x8C, 8, 0, 0, 0, 0, 0, 0, 0}, at_byte(0, "missing 1f 8b magic")},
      {{0x1F, 0x8B, 9, 0, 0, 0, 0, 0, 0, 0}, at_byte(2, "unsupported compression method 9")},
      {{0x1F, 0x8B, 8, 0x20, 0, 0, 0, 0, 0, 0}, at_byte(3, "reserved header flags set: 20")},
      {{0x1F, 0x8B, 8, 0xE1, 0, 0, 0, 0, 0, 0}, at_byte(3, "reserved header flags set: e1")},
      {{0x1F, 0x8B, 8, 0x04, 0, 0, 0, 0, 0, 0, 5}, at_byte(10, "truncated FEXTRA length")},
      {{0x1F, 0x8B, 8, 0x04, 0, 0, 0, 0, 0, 0, 5, 0, 1, 2}, at_byte(12, "truncated FEXTRA data")},
      {{0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 0, 'a', 'b'}, at_byte(10, "unterminated FNAME")},
      {{0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 0}, at_byte(10, "unterminated FNAME")},
      {{0x1F, 0x8B, 8, 0x18, 0, 0, 0, 0, 0, 0, 'a', 0, 'c'}, at_byte(12, "unterminated FCOMMENT")},
      {{0x1F, 0x8B, 8, 0x02, 0, 0, 0, 0, 0, 0, 1}, at_byte(10, "truncated FHCRC")},
  };
  for (const auto& c : cases) {
    auto d = decode_gzip(c.input);
    ASSERT_TRUE(d.error) << c.expect;
    EXPECT_EQ(*d.error, c.expect);
    EXPECT_TRUE(d.bytes.empty());
  }
}

TEST(GzipFraming, TrailerFaultsComeAfterTheData) {
  const Bytes data = sample(4, 300000);
  const Bytes gz = gzip_member(data, 6);
  const std::size_t t = gz.size() - 8;
  const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
  char expect[96];
  {
    Bytes bad = gz;
    bad[t] ^= 0x01;  // stored CRC differs; ISIZE still right
    auto d = decode_gzip(bad);
    EXPECT_TRUE(d.bytes == data);
    ASSERT_TRUE(d.error);
    std::snprintf(expect, sizeof expect, "CRC32 mismatch: expected %08x, decoded %08x", crc ^ 1u, crc);
    EXPECT_EQ(*d.error, at_byte(t, expect));
  }
  {
    Bytes bad = gz;
    bad[t] ^= 0x01;
    bad[t + 4] ^= 0x01;  // both wrong: the CRC is reported
    auto d = decode_gzip(bad);
    ASSERT_TRUE(d.error);
    EXPECT_NE(d.error->find("CRC32 mismatch"), std::string::npos);
  }
  {
    // ISIZE 5 for a member that decodes to 3 bytes (with the right CRC).
    Bytes three = to_bytes("abc");
    Bytes m = member(zlib_deflate(three, 6), three);
    m[m.size() - 4] = 5;
    auto d = decode_gzip(m);
    EXPECT_EQ(str(d.bytes), "abc");
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_byte(m.size() - 4, "ISIZE mismatch: expected 5, decoded 3"));
  }
  {
    Bytes cut(gz.begin(), gz.end() - 3);
    auto d = decode_gzip(cut);
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_byte(t, "truncated member trailer"));
    EXPECT_TRUE(d.bytes == data);
  }
}

TEST(GzipFraming, SizeIsComparedModulo4GiBAndFtextIsIgnored) {
  // A trailer after DEFLATE data ending at bit 85 (so at byte 11): ISIZE 10
  // matches a member of 4 GiB + 10 bytes.
  Bytes input(11, 0);
  put_le32(input, 0x12345678);
  put_le32(input, 10);
  auto next = rvk::gzip::check_member_trailer(input, 85, (std::uint64_t{1} << 32) + 10, 0x12345678);
  ASSERT_TRUE(next.ok()) << next.error().to_string();
  EXPECT_EQ(*next, 19u);
  auto wrong = rvk::gzip::check_member_trailer(input, 85, (std::uint64_t{1} << 32) + 11, 0x12345678);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().to_string(), at_byte(15, "ISIZE mismatch: expected 10, decoded 11"));

  const Bytes data = to_bytes("text flagged as text");
  Bytes m = member(zlib_deflate(data, 6), data);
  m[3] = 0x01;  // FTEXT
  auto d = decode_gzip(m);
  ASSERT_FALSE(d.error) << *d.error;
  EXPECT_EQ(str(d.bytes), str(data));
}

TEST(GzipFraming, TruncationNeverSucceeds) {
  // Every prefix of a small member, and sampled prefixes of a larger one.
  const Bytes small_data = sample(5, 3000);
  const Bytes small = gzip_member(small_data, 9);
  for (std::size_t n = 0; n < small.size(); ++n) {
    auto d = decode_gzip(Bytes(small.begin(), small.begin() + static_cast<std::ptrdiff_t>(n)));
    EXPECT_TRUE(d.error) << "prefix " << n;
  }
  const Bytes big_data = sample(6, 400000);
  const Bytes big = gzip_member(big_data, 1);
  std::mt19937_64 rng(8);
  for (int i = 0; i < 150; ++i) {
    const std::size_t n = rng() % big.size();
    auto d = decode_gzip(Bytes(big.begin(), big.begin() + static_cast<std::ptrdiff_t>(n)));
    EXPECT_TRUE(d.error) << "prefix " << n;
    EXPECT_LE(d.bytes.size(), big_data.size());
  }
}

TEST(GzipFraming, ZeroPaddingAndTrailingBytes) {
  const Bytes data = sample(9, 5000);
  const Bytes gz = gzip_member(data, 6);
  {
    Bytes padded = gz;
    padded.resize(gz.size() + 1000, 0);
    auto d = decode_gzip(padded);
    ASSERT_FALSE(d.error) << *d.error;
    EXPECT_TRUE(d.bytes == data);
  }
  {
    // Zeros and then another member: fails at the first zero byte.
    Bytes padded = gz;
    padded.resize(gz.size() + 4, 0);
    padded.insert(padded.end(), gz.begin(), gz.end());
    auto d = decode_gzip(padded);
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_byte(gz.size(), "missing 1f 8b magic"));
    EXPECT_TRUE(d.bytes == data);
  }
  {
    Bytes tail = gz;
    tail.push_back(7);
    tail.push_back(0);
    auto d = decode_gzip(tail);
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_byte(gz.size(), "truncated member header"));
  }
  {
    Bytes tail = gz;
    for (int i = 0; i < 12; ++i) tail.push_back(0x1F);
    auto d = decode_gzip(tail);
    ASSERT_TRUE(d.error);
    EXPECT_EQ(*d.error, at_byte(gz.size(), "missing 1f 8b magic"));
  }
}

TEST(GzipFraming, DeflatePositionsAreAbsolute) {
  // A reserved block type right after a 10-byte header fails at bit 81.
  Bytes m = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 0x06 /* BFINAL 0, BTYPE 3 */, 0, 0};
  auto d = decode_gzip(m);
  ASSERT_TRUE(d.error);
  EXPECT_EQ(*d.error, "invalid gzip stream: at bit 81: reserved DEFLATE block type");
}
