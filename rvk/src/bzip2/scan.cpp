// The bit-level scan for bzip2 block and end-of-stream magics.
//
// A magic can start at any bit. Rather than compare 48 bits at each of the
// eight offsets of every byte, the scan looks at the byte after the one a
// magic would start in: for start bit k of byte q, byte q + 1 is wholly
// covered by the magic and must equal one fixed value per (magic, k). A
// 256-entry table maps that byte to the (magic, k) pairs it allows, so most
// bytes cost one load and one lookup, and only about one in sixteen needs
// the full 48-bit comparison.
//
// Hostile inputs (a file made of magics) must not grow the hit lists without
// bound: every hit counts against a cap shared by all ranges of a scan, and
// a range stops as soon as the shared count passes it.
#include "bzip2_internal.hpp"

namespace rvk::format {

namespace {

using decoder::kBlockMagic;
using decoder::kEndMagic;

struct SecondByteTable {
  // Bit k: block magic may start at bit k of the previous byte; bit 8 + k:
  // end magic may.
  std::uint16_t mask[256];
  constexpr SecondByteTable() : mask{} {
    for (unsigned k = 0; k < 8; ++k) {
      mask[(kBlockMagic >> (32 + k)) & 0xff] |= static_cast<std::uint16_t>(1u << k);
      mask[(kEndMagic >> (32 + k)) & 0xff] |= static_cast<std::uint16_t>(1u << (8 + k));
    }
  }
};
constexpr SecondByteTable kSecond;

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
  // The last byte a magic can start in has one following byte.
  const std::size_t last = end < len ? end : (len ? len - 1 : 0);
  for (std::size_t q = start; q < last; ++q) {
    std::uint32_t m = kSecond.mask[data[q + 1]];
    if (__builtin_expect(m == 0, 1)) continue;
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
          return result;
        }
      }
    }
  }
  if (cap && unpublished) {
    std::uint64_t total = cap->hits.fetch_add(unpublished, std::memory_order_relaxed) + unpublished;
    if (total > cap->cap) result.over_cap = true;
  }
  return result;
}

}  // namespace rvk::format
