// The MSB-first bit cursor, the bzip2 CRC and Huffman table construction.
//
// These are the checked, general-purpose pieces: the block decoder's hot
// symbol loop reads bits and walks tables inline (block.cpp) and only falls
// back on these near the end of the input, where every read must be exact.
#include <algorithm>
#include <cstring>

#include "bzip2_internal.hpp"
#include "rvk/bzip2.hpp"

namespace rvk::decoder {

namespace {

// Slice-by-8 tables for the MSB-first CRC: table[k][b] is the CRC
// contribution of byte b followed by k zero bytes.
struct CrcTables {
  std::uint32_t t[8][256];
  constexpr CrcTables() : t{} {
    for (std::uint32_t b = 0; b < 256; ++b) {
      std::uint32_t c = b << 24;
      for (int i = 0; i < 8; ++i) c = (c & 0x80000000u) ? (c << 1) ^ 0x04c11db7u : (c << 1);
      t[0][b] = c;
    }
    for (std::uint32_t b = 0; b < 256; ++b) {
      for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] << 8) ^ t[0][t[k - 1][b] >> 24];
    }
  }
};
constexpr CrcTables kCrc;

}  // namespace

std::uint32_t crc_update(std::uint32_t crc, const std::uint8_t* p, std::size_t n) noexcept {
  while (n >= 8) {
    std::uint32_t hi;
    std::uint32_t lo;
    std::memcpy(&hi, p, 4);
    std::memcpy(&lo, p + 4, 4);
    hi = __builtin_bswap32(hi) ^ crc;
    lo = __builtin_bswap32(lo);
    crc = kCrc.t[7][hi >> 24] ^ kCrc.t[6][(hi >> 16) & 0xff] ^ kCrc.t[5][(hi >> 8) & 0xff] ^
          kCrc.t[4][hi & 0xff] ^ kCrc.t[3][lo >> 24] ^ kCrc.t[2][(lo >> 16) & 0xff] ^
          kCrc.t[1][(lo >> 8) & 0xff] ^ kCrc.t[0][lo & 0xff];
    p += 8;
    n -= 8;
  }
  while (n--) crc = (crc << 8) ^ kCrc.t[0][(crc >> 24) ^ *p++];
  return crc;
}

std::uint32_t block_crc(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.empty()) return 0;
  return ~crc_update(0xffffffffu, bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------
// Bits

Result<std::uint32_t> Bits::peek(unsigned n) const {
  if (remaining() < n) return Error::decode(pos, DecodeError::Truncated);
  return peek_bits(data_, nbytes_, pos, n);
}

Result<std::uint32_t> Bits::read(unsigned n) {
  if (remaining() < n) return Error::decode(pos, DecodeError::Truncated);
  std::uint32_t v = peek_bits(data_, nbytes_, pos, n);
  pos += n;
  return v;
}

Result<std::uint32_t> Bits::bit() { return read(1); }

Result<std::uint64_t> Bits::magic() {
  RVK_TRY_ASSIGN(std::uint64_t hi, read(24));
  RVK_TRY_ASSIGN(std::uint64_t lo, read(24));
  return (hi << 24) | lo;
}

// ---------------------------------------------------------------------------
// Huffman

bool Huffman::assign(std::span<const std::uint8_t> lengths) noexcept {
  if (lengths.empty() || lengths.size() > perm.size()) return false;
  unsigned lo = 255;
  unsigned hi = 0;
  std::uint32_t count[22] = {};
  for (std::uint8_t len : lengths) {
    lo = len < lo ? len : lo;
    hi = len > hi ? len : hi;
  }
  if (lo < 1 || hi > 20) return false;
  for (std::uint8_t len : lengths) ++count[len];

  // An over-subscribed length set is refused.
  std::uint32_t code = 0;
  for (unsigned n = 1; n <= 20; ++n) {
    if (static_cast<std::uint64_t>(code) + count[n] > (1ULL << n)) return false;
    code = (code + count[n]) << 1;
  }

  // Symbols by code length, then by value (a counting sort).
  std::uint32_t at[22] = {};
  for (unsigned n = lo + 1; n <= hi; ++n) at[n] = at[n - 1] + count[n - 1];
  for (std::size_t sym = 0; sym < lengths.size(); ++sym) perm[at[lengths[sym]]++] = static_cast<std::uint16_t>(sym);

  // The canonical codes of up to kFastBits bits, taken in that order, fill
  // the fast table from its first entry on without a gap: each length's
  // codes follow the shorter ones', each symbol's after the one before. So
  // the table is written front to back in one sweep, one length at a time;
  // within a length every symbol covers the same number of entries, which
  // keeps the copy loops' branches predictable. A small block builds up to
  // six tables for a few thousand symbols, so a table must cost what it
  // holds, not its size times the alphabet, nor a mispredicted branch per
  // symbol.
  std::uint16_t* out = fast.data();
  const std::uint16_t* perm_at = perm.data();
  const unsigned top = hi < kFastBits ? hi : kFastBits;
  for (unsigned n = lo; n <= top; ++n) {
    const std::uint32_t span = 1u << (kFastBits - n);
    const std::uint16_t* const perm_end = perm_at + count[n];
    const std::uint16_t len_bits = static_cast<std::uint16_t>(n << 9);
    if (span >= 32) {
      for (; perm_at < perm_end; ++perm_at) {
        const std::uint64_t four = (len_bits | *perm_at) * 0x0001000100010001ULL;
        const std::uint64_t many[8] = {four, four, four, four, four, four, four, four};
        for (std::uint32_t k = 0; k < span; k += 32) std::memcpy(out + k, many, 64);
        out += span;
      }
    } else if (span >= 8) {
      for (; perm_at < perm_end; ++perm_at) {
        const std::uint64_t four = (len_bits | *perm_at) * 0x0001000100010001ULL;
        const std::uint64_t eight[2] = {four, four};
        for (std::uint32_t k = 0; k < span; k += 8) std::memcpy(out + k, eight, 16);
        out += span;
      }
    } else if (span == 4) {
      for (; perm_at < perm_end; ++perm_at, out += 4) {
        const std::uint64_t four = (len_bits | *perm_at) * 0x0001000100010001ULL;
        std::memcpy(out, &four, 8);
      }
    } else if (span == 2) {
      for (; perm_at < perm_end; ++perm_at, out += 2) {
        const std::uint32_t two = (len_bits | *perm_at) * 0x00010001u;
        std::memcpy(out, &two, 4);
      }
    } else {
      for (; perm_at < perm_end; ++perm_at) *out++ = static_cast<std::uint16_t>(len_bits | *perm_at);
    }
  }
  std::fill(out, fast.data() + fast.size(), std::uint16_t{0});

  limit.fill(0);
  base.fill(0);
  std::int32_t v = 0;
  for (unsigned n = lo; n <= hi; ++n) {
    v += static_cast<std::int32_t>(count[n]);
    limit[n] = v - 1;
    v <<= 1;
  }
  std::int32_t shorter = static_cast<std::int32_t>(count[lo]);
  base[lo] = 0;
  for (unsigned n = lo + 1; n <= hi; ++n) {
    base[n] = 2 * (limit[n - 1] + 1) - shorter;
    shorter += static_cast<std::int32_t>(count[n]);
  }
  nsyms = static_cast<std::uint16_t>(lengths.size());
  min_len = static_cast<std::uint8_t>(lo);
  max_len = static_cast<std::uint8_t>(hi);
  return true;
}

Result<Huffman> Huffman::build(std::span<const std::uint8_t> lengths, std::uint64_t bit_offset) {
  Huffman h;
  if (!h.assign(lengths)) return Error::decode(bit_offset, DecodeError::InvalidHuffman);
  return h;
}

Result<std::uint32_t> Huffman::decode(Bits& bits) const {
  Fault fault;
  std::uint32_t sym = 0;
  std::span<const std::uint8_t> in = bits.input();
  if (!decode_exact(*this, in.data(), in.size(), bits.pos, sym, fault)) {
    return Error::decode(fault.bit, fault.code);
  }
  return sym;
}

bool decode_exact(const Huffman& h, const std::uint8_t* data, std::size_t nbytes,
                  std::uint64_t& pos, std::uint32_t& sym, Fault& fault) noexcept {
  std::uint64_t nbits = nbytes > UINT64_MAX / 8 ? UINT64_MAX : nbytes * 8;
  std::uint64_t left = pos >= nbits ? 0 : nbits - pos;
  if (left >= Huffman::kFastBits) {
    std::uint16_t e = h.fast[peek_bits(data, nbytes, pos, Huffman::kFastBits)];
    if (e >> 9) {
      sym = e & 511;
      pos += e >> 9;
      return true;
    }
  }
  // Canonical walk from the shortest length, one bit at a time.
  unsigned n = h.min_len;
  if (left < n) {
    fault = {DecodeError::Truncated, pos};
    return false;
  }
  std::int32_t code = static_cast<std::int32_t>(peek_bits(data, nbytes, pos, n));
  std::uint64_t cur = pos + n;
  while (code > h.limit[n]) {
    if (n == h.max_len) {
      fault = {DecodeError::InvalidHuffman, cur};
      return false;
    }
    if (cur >= nbits) {
      fault = {DecodeError::Truncated, cur};
      return false;
    }
    code = (code << 1) | static_cast<std::int32_t>(peek_bits(data, nbytes, cur, 1));
    ++cur;
    ++n;
  }
  std::int32_t index = code - h.base[n];
  if (index < 0 || index >= h.nsyms) {
    fault = {DecodeError::InvalidHuffman, cur};
    return false;
  }
  sym = h.perm[static_cast<std::size_t>(index)];
  pos = cur;
  return true;
}

}  // namespace rvk::decoder
