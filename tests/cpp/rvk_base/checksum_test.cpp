// CRC-32 (with combination) and XXH32 against published check values, and
// the streaming forms against the one-shot ones over arbitrary splits.
#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

#include "rvk/checksum.hpp"

namespace {

using namespace rvk::checksum;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Crc32, PublishedCheckValues) {
  EXPECT_EQ(crc32(bytes_of("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32(bytes_of("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
  EXPECT_EQ(crc32(bytes_of("")), 0u);
  EXPECT_EQ(crc32(bytes_of("a")), 0xE8B7BE43u);
}

TEST(Crc32, CombineEqualsWholeAtEverySplit) {
  const std::string_view text = "123456789";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    const auto a = crc32(bytes_of(text.substr(0, cut)));
    const auto b = crc32(bytes_of(text.substr(cut)));
    EXPECT_EQ(crc32_combine(a, b, text.size() - cut), 0xCBF43926u) << "cut " << cut;
  }
}

TEST(Crc32, RunningStateJoinsPiecesInOrder) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> data(100000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const std::uint32_t whole = crc32(data);

  // Pieces checksummed independently (as parallel decoders do) and joined.
  Crc32 joined;
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t n = std::min<std::size_t>(data.size() - at, rng() % 20000);
    Crc32 piece;
    piece.update(std::span(data).subspan(at, n));
    joined.combine(piece);
    at += n;
  }
  EXPECT_EQ(joined.value(), whole);
  EXPECT_EQ(joined.length(), data.size());
  // Continuing a CRC directly gives the same value.
  EXPECT_EQ(crc32(std::span(data).subspan(500), crc32(std::span(data).first(500))), whole);
}

TEST(Crc32, CombineWithEmptyPieceIsIdentity) {
  const auto a = crc32(bytes_of("abc"));
  EXPECT_EQ(crc32_combine(a, 0, 0), a);
}

TEST(Xxh32, PublishedCheckValues) {
  EXPECT_EQ(xxh32(bytes_of("")), 0x02CC5D05u);
  EXPECT_EQ(xxh32(bytes_of("abc")), 0x32D153FFu);
  EXPECT_EQ(xxh32(bytes_of("Nobody inspects the spammish repetition")), 0xE2293B2Fu);
}

TEST(Xxh32, StreamingMatchesOneShot) {
  std::mt19937 rng(11);
  std::vector<std::uint8_t> data(70001);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  Xxh32 stream;
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t n = std::min<std::size_t>(data.size() - at, 1 + rng() % 999);
    stream.update(std::span(data).subspan(at, n));
    at += n;
  }
  EXPECT_EQ(stream.digest(), xxh32(data));
  Xxh32 moved = std::move(stream);
  EXPECT_EQ(moved.digest(), xxh32(data));
  moved.reset();
  moved.update(bytes_of("abc"));
  EXPECT_EQ(moved.digest(), 0x32D153FFu);
}

}  // namespace
