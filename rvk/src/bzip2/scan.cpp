// The bit-level scan for bzip2 block and end-of-stream magics.
//
// A magic can start at any bit. Rather than compare 48 bits at each of the
// eight offsets of every byte, the scan looks at the two bytes after the one
// a magic would start in: for start bit k of byte q, bytes q + 1 and q + 2
// are wholly covered by the magic and must equal fixed values per (magic,
// k). Two 256-entry tables map those bytes to the (magic, k) pairs they
// allow; their intersection is empty for all but about one byte in four
// thousand, so eight bytes at a time cost a few loads and one branch, and
// only the rare survivors need the full 48-bit comparison. (Filtering on one
// byte alone let one byte in sixteen through, and the scan was a serial
// phase of the parallel decode worth noticing.)
//
// Hostile inputs (a file made of magics) must not grow the hit lists without
// bound: every hit counts against a cap shared by all ranges of a scan, and
// a range stops as soon as the shared count passes it.
#include <algorithm>

#include "bzip2_internal.hpp"

namespace rvk::format {

namespace {

using decoder::kBlockMagic;
using decoder::kEndMagic;

// Bit k: the block magic may start at bit k of byte q; bit 8 + k: the end
// magic may. `second` is indexed by byte q + 1, `third` by byte q + 2.
struct FollowingBytesTable {
  std::uint16_t second[256];
  std::uint16_t third[256];
  constexpr FollowingBytesTable() : second{}, third{} {
    for (unsigned k = 0; k < 8; ++k) {
      second[(kBlockMagic >> (32 + k)) & 0xff] |= static_cast<std::uint16_t>(1u << k);
      second[(kEndMagic >> (32 + k)) & 0xff] |= static_cast<std::uint16_t>(1u << (8 + k));
      third[(kBlockMagic >> (24 + k)) & 0xff] |= static_cast<std::uint16_t>(1u << k);
      third[(kEndMagic >> (24 + k)) & 0xff] |= static_cast<std::uint16_t>(1u << (8 + k));
    }
  }
};
constexpr FollowingBytesTable kFollowing;

// Publishes hits to the shared cap in batches so the counter is not a point
// of contention; the overshoot is at most one batch per range.
constexpr std::uint64_t kCapBatch = 256;

}  // namespace

ScanResult scan_range(std::span<const std::uint8_t> input, std::size_t start, std::size_t end,
                      HitCap* cap) {
  ScanResult result;
  const std::uint8_t* data = input.data();
  const std::size_t len = input.size();
  const std::uint64_t nbits = static_cast<std::uint64_t>(len) * 8;
  if (end > len) end = len;
  std::uint64_t unpublished = 0;
  // Compares the candidates `m` (bits as in the tables) of byte q in full;
  // false once the shared cap is passed.
  auto check = [&](std::size_t q, std::uint32_t m) -> bool {
    std::uint64_t w;
    if (q + 8 <= len) {
      w = decoder::load_be64(data + q);
    } else {
      w = 0;
      for (unsigned i = 0; i < 8; ++i) w = (w << 8) | (q + i < len ? data[q + i] : 0);
    }
    while (m) {
      unsigned b = static_cast<unsigned>(__builtin_ctz(m));
      m &= m - 1;
      unsigned k = b & 7;
      std::uint64_t bits48 = (w << k) >> 16;
      std::uint64_t at = static_cast<std::uint64_t>(q) * 8 + k;
      bool hit = false;
      if (b < 8) {
        if (bits48 == kBlockMagic && at + 48 + 57 <= nbits) {
          result.blocks.push_back({at, decoder::peek_bits(data, len, at + 48, 32)});
          hit = true;
        }
      } else if (bits48 == kEndMagic && at + 48 + 32 <= nbits) {
        result.ends.push_back({at, decoder::peek_bits(data, len, at + 48, 32)});
        hit = true;
      }
      if (hit && cap && ++unpublished == kCapBatch) {
        std::uint64_t total = cap->hits.fetch_add(unpublished, std::memory_order_relaxed) + unpublished;
        unpublished = 0;
        if (total > cap->cap) {
          result.over_cap = true;
          return false;
        }
      }
    }
    return true;
  };
  const auto candidates = [&](std::size_t q) -> std::uint32_t {
    return kFollowing.second[data[q + 1]] & kFollowing.third[data[q + 2]];
  };
  // The last byte a magic can start in has one following byte.
  const std::size_t last = end < len ? end : (len ? len - 1 : 0);
  std::size_t q = start;
  // Eight start bytes at a time while byte q + 2 of each exists.
  const std::size_t wide_end = len >= 2 ? std::min(last, len - 2) : 0;
  while (q + 8 <= wide_end) {
    std::uint32_t any = 0;
    for (unsigned i = 0; i < 8; ++i) any |= candidates(q + i);
    if (__builtin_expect(any != 0, 0)) {
      for (unsigned i = 0; i < 8; ++i) {
        const std::uint32_t m = candidates(q + i);
        if (m && !check(q + i, m)) return result;
      }
    }
    q += 8;
  }
  // The last few: without byte q + 2 no magic fits, and the full comparison
  // tells that as well.
  for (; q < last; ++q) {
    std::uint32_t m = kFollowing.second[data[q + 1]];
    if (q + 2 < len) m &= kFollowing.third[data[q + 2]];
    if (m && !check(q, m)) return result;
  }
  if (cap && unpublished) {
    std::uint64_t total = cap->hits.fetch_add(unpublished, std::memory_order_relaxed) + unpublished;
    if (total > cap->cap) result.over_cap = true;
  }
  return result;
}

}  // namespace rvk::format
