// The folded CRC-32 against zlib's: every length around the fold sizes,
// unaligned starts, pieces appended to a running value, and one large run.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "../../../rvk/src/gzip/crc32_fold.hpp"

namespace {

std::uint32_t zlib_crc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  return static_cast<std::uint32_t>(::crc32_z(crc, p, n));
}

TEST(CrcFold, MatchesZlibForEveryLengthOffsetAndSplit) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> data(6000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  for (std::size_t n = 1; n <= 1100; ++n) {
    const std::size_t offset = rng() % 16;  // unaligned starts
    const std::uint8_t* p = data.data() + offset;
    const std::uint32_t start = (n % 3 == 0) ? 0 : static_cast<std::uint32_t>(rng());
    const std::uint32_t want = zlib_crc(start, p, n);
    ASSERT_EQ(rvk::gzip::crc32_fold(start, {p, n}), want) << "length " << n;
    const std::size_t split = rng() % (n + 1);
    const std::uint32_t first = rvk::gzip::crc32_fold(start, {p, split});
    ASSERT_EQ(rvk::gzip::crc32_fold(first, {p + split, n - split}), want)
        << "length " << n << " split " << split;
  }
  EXPECT_EQ(rvk::gzip::crc32_fold(0x12345678u, {}), 0x12345678u);
}

TEST(CrcFold, LargeRunAndAppendKeepsTheLength) {
  std::mt19937 rng(11);
  std::vector<std::uint8_t> data((std::size_t{3} << 20) + 37);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng() >> 5);
  rvk::checksum::Crc32 crc;
  rvk::gzip::crc32_append(crc, {data.data(), 1000003});
  rvk::gzip::crc32_append(crc, {data.data() + 1000003, data.size() - 1000003});
  EXPECT_EQ(crc.value(), zlib_crc(0, data.data(), data.size()));
  EXPECT_EQ(crc.length(), data.size());
}

}  // namespace
