// Randomised check against zlib: random mixes of text, runs and random
// bytes, compressed at every level and strategy (and small windows and
// memory levels, which change block shapes), must decode byte-exact with
// the right size and CRC. Deterministic seeds, so a failure reproduces.
#include <gtest/gtest.h>

#include "gzip_test_util.hpp"

using namespace gzip_test;

namespace {

Bytes random_mix(std::mt19937_64& rng, std::size_t n) {
  Bytes out;
  out.reserve(n);
  while (out.size() < n) {
    const std::size_t piece = 1 + rng() % std::min<std::size_t>(n - out.size(), 1 + rng() % 20000);
    switch (rng() % 4) {
      case 0: {
        Bytes t = text_bytes(rng, piece);
        out.insert(out.end(), t.begin(), t.end());
        break;
      }
      case 1: {
        Bytes r = random_bytes(rng, piece);
        out.insert(out.end(), r.begin(), r.end());
        break;
      }
      case 2:
        out.insert(out.end(), piece, static_cast<std::uint8_t>(rng()));
        break;
      default: {
        // A repeat of earlier output at a random distance.
        if (out.empty()) break;
        const std::size_t dist = 1 + rng() % std::min<std::size_t>(out.size(), 40000);
        for (std::size_t i = 0; i < piece; ++i) out.push_back(out[out.size() - dist]);
        break;
      }
    }
  }
  out.resize(n);
  return out;
}

}  // namespace

TEST(RandomisedAgainstZlib, ThousandsOfStreams) {
  std::mt19937_64 rng(20261207);
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  int cases = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::size_t size = (i % 10 == 0) ? rng() % 400000 : rng() % 6000;
    const Bytes data = random_mix(rng, size);
    const int level = static_cast<int>(rng() % 10);
    const int strategy = strategies[rng() % 5];
    const int window = 9 + static_cast<int>(rng() % 7);
    const int mem = 1 + static_cast<int>(rng() % 9);
    Bytes raw = zlib_deflate(data, level, strategy, -window, mem);
    Bytes gz = member(raw, data);
    auto d = decode_gzip(gz);
    ASSERT_FALSE(d.error) << "case " << i << ": " << *d.error;
    ASSERT_TRUE(d.bytes == data) << "case " << i << " level " << level << " strategy " << strategy;
    ++cases;
  }
  EXPECT_EQ(cases, 3000);
}

TEST(RandomisedAgainstZlib, CorruptedStreamsNeverCrashOrOverrun) {
  // Flipped bits must give an error or some output, never a crash; when the
  // decoder claims success the trailer check has vouched for the bytes.
  std::mt19937_64 rng(99);
  for (int i = 0; i < 1500; ++i) {
    const Bytes data = random_mix(rng, 1 + rng() % 20000);
    Bytes gz = gzip_member(data, static_cast<int>(rng() % 10));
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < flips; ++k) gz[10 + rng() % (gz.size() - 10)] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    auto d = decode_gzip(gz);
    if (!d.error) {
      EXPECT_TRUE(d.bytes == data) << "case " << i;
    }
  }
}
