// The DEFLATE block decoder, written once over its output sink.
//
// The serial decoder instantiates it with the byte `Emitter` (output goes to
// the byte pipe), the parallel decoder with its marker output (16-bit
// symbols that may name bytes of an unknown history). A sink exposes three
// pointers and four operations:
//
//   Elem            uint8_t or uint16_t, the output element
//   base            the oldest element a back-reference may reach
//   next            where the next element goes
//   limit           the fast loop may start a symbol while next < limit;
//                   at least kSinkSlack elements are writable past limit
//   make_room()     called when next >= limit: flush, slide or grow and
//                   reset the pointers. If next is still >= limit afterwards
//                   (a budget is nearly used up), symbols go one by one
//                   through the exact operations below.
//   put_literal(b), put_match(distance, length), put_stored(bytes, n)
//                   the exact operations: every check of the sink (budget,
//                   distance against the available history, history markers)
//
// Hot loop (state variables, as in the classic inflaters):
//   in_next    next input byte not yet in bitbuf
//   bitbuf     the next input bits, least significant first
//   bitsleft   how many bits of bitbuf are valid (refill keeps it 56..63;
//              the bits above it are the true following input bits)
//   next/limit/base   the sink's pointers, in registers
// One branch-free refill (an unaligned 8-byte load) per symbol gives at
// least 56 bits, enough for a length code, its extra bits, a distance code
// and its extra bits (15 + 5 + 15 + 13). The fast loop runs while 8 input
// bytes remain for that load; anything unusual (an index no code reaches, a
// symbol without meaning, a distance beyond the history, the input's last
// bytes, a full sink) goes to the exact path, which re-decodes the symbol
// from its first bit with a plain bit reader and reports faults with the
// positions and texts the format rules fix. So the fast loop never has to
// build a fault itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "rvk/deflate.hpp"

namespace rvk::gzip::inflate {

// Elements a sink must keep writable past its `limit`: three literals or one
// longest match (258) plus the over-copy of the word-wise match copy.
inline constexpr std::size_t kSinkSlack = 320;

// Copies `length` elements from `distance` elements back to `dst`, the way
// RFC 1951 defines it (an overlapping copy repeats the last `distance`
// elements). Writes whole words and may write up to 16 bytes past
// dst + length. Precondition: distance >= 1, the source is valid.
template <class T>
inline void copy_match(T* dst, std::size_t distance, std::size_t length) noexcept {
  constexpr std::size_t kW16 = 16 / sizeof(T);
  constexpr std::size_t kW8 = 8 / sizeof(T);
  T* const end = dst + length;
  const T* src = dst - distance;
  if (distance >= kW16) {
    do {
      std::memcpy(dst, src, 16);
      dst += kW16;
      src += kW16;
    } while (dst < end);
  } else if (distance >= kW8) {
    do {
      std::memcpy(dst, src, 8);
      dst += kW8;
      src += kW8;
    } while (dst < end);
  } else if (distance == 1) {
    T pattern[kW8];
    for (std::size_t i = 0; i < kW8; ++i) pattern[i] = *src;
    do {
      std::memcpy(dst, pattern, 8);
      dst += kW8;
    } while (dst < end);
  } else {
    do {
      *dst++ = *src++;
    } while (dst < end);
  }
}

inline std::uint64_t low_bits(std::uint64_t v, unsigned n) noexcept {
  return v & ((std::uint64_t{1} << n) - 1);
}

// Decodes the symbols of one Huffman block, from `bit_pos` up to and
// including its end-of-block symbol, into `out`. On success `bit_pos` is the
// bit just past the end-of-block code. On failure returns the fault (at the
// symbol's or field's bit as the rules say); `bit_pos` is then unspecified.
template <class Out>
Fault decode_huffman_block(std::span<const std::uint8_t> input, std::uint64_t& bit_pos, Out& out,
                           const Huffman& lit, const Huffman& dist) {
  using T = typename Out::Elem;
  const std::uint8_t* const in_begin = input.data();
  const std::size_t in_size = input.size();
  const std::uint32_t* const lt = lit.data();
  const std::uint32_t* const dt = dist.data();
  const unsigned lit_bits = lit.main_bits();
  const unsigned dist_bits = dist.main_bits();
  const std::uint64_t lit_mask = (std::uint64_t{1} << lit_bits) - 1;
  const std::uint64_t dist_mask = (std::uint64_t{1} << dist_bits) - 1;
  std::uint64_t pos = bit_pos;

  for (;;) {
    // ---- fast loop -------------------------------------------------------
    if ((pos >> 3) + 16 <= in_size) {
      const std::uint8_t* in_next = in_begin + (pos >> 3);
      const std::uint8_t* const in_fast_end = in_begin + in_size - 8;
      std::uint64_t bitbuf = 0;
      unsigned bitsleft = 0;
      auto refill = [&]() {
        std::uint64_t word;
        std::memcpy(&word, in_next, 8);
        bitbuf |= word << bitsleft;
        in_next += (63 - bitsleft) >> 3;
        bitsleft |= 56;
      };
      refill();
      bitbuf >>= (pos & 7);
      bitsleft -= static_cast<unsigned>(pos & 7);

      T* next = out.next;
      T* limit = out.limit;
      T* base = out.base;
      const std::uint8_t* sym_in = in_next;
      unsigned sym_left = bitsleft;
      for (;;) {
        if (next >= limit) [[unlikely]] {
          out.next = next;
          if (Fault f = out.make_room()) return f;
          next = out.next;
          limit = out.limit;
          base = out.base;
          if (next >= limit) break;
        }
        if (in_next > in_fast_end) [[unlikely]] break;
        refill();
        sym_in = in_next;
        sym_left = bitsleft;
        std::uint32_t e = lt[bitbuf & lit_mask];
      dispatch:
        if (e & entry::kLiteral) {
          bitbuf >>= entry::consume(e);
          bitsleft -= entry::consume(e);
          *next++ = static_cast<T>(entry::value(e));
          e = lt[bitbuf & lit_mask];
          if (e & entry::kLiteral) {
            bitbuf >>= entry::consume(e);
            bitsleft -= entry::consume(e);
            *next++ = static_cast<T>(entry::value(e));
            e = lt[bitbuf & lit_mask];
            if (e & entry::kLiteral) {
              bitbuf >>= entry::consume(e);
              bitsleft -= entry::consume(e);
              *next++ = static_cast<T>(entry::value(e));
            }
          }
          continue;
        }
        if (e & entry::kExceptional) [[unlikely]] {
          if (entry::kind(e) == entry::kSubtable) {
            bitbuf >>= entry::consume(e);
            bitsleft -= entry::consume(e);
            e = lt[entry::value(e) + low_bits(bitbuf, entry::code_length(e))];
            if (e & entry::kLiteral) {
              bitbuf >>= entry::consume(e);
              bitsleft -= entry::consume(e);
              *next++ = static_cast<T>(entry::value(e));
              continue;
            }
          }
          if (e & entry::kExceptional) {
            if (entry::kind(e) == entry::kEndOfBlock) {
              bitbuf >>= entry::consume(e);
              bitsleft -= entry::consume(e);
              out.next = next;
              bit_pos = static_cast<std::uint64_t>(in_next - in_begin) * 8 - bitsleft;
              return {};
            }
            in_next = sym_in;
            bitsleft = sym_left;
            break;
          }
        }
        // A length symbol; the distance follows.
        std::uint64_t saved = bitbuf;
        bitbuf >>= entry::consume(e);
        bitsleft -= entry::consume(e);
        const std::size_t length =
            entry::value(e) + (low_bits(saved, entry::consume(e)) >> entry::code_length(e));
        e = dt[bitbuf & dist_mask];
        if (e & entry::kExceptional) [[unlikely]] {
          if (entry::kind(e) != entry::kSubtable) {
            in_next = sym_in;
            bitsleft = sym_left;
            break;
          }
          bitbuf >>= entry::consume(e);
          bitsleft -= entry::consume(e);
          e = dt[entry::value(e) + low_bits(bitbuf, entry::code_length(e))];
          if (e & entry::kExceptional) {
            in_next = sym_in;
            bitsleft = sym_left;
            break;
          }
        }
        saved = bitbuf;
        bitbuf >>= entry::consume(e);
        bitsleft -= entry::consume(e);
        const std::size_t distance =
            entry::value(e) + (low_bits(saved, entry::consume(e)) >> entry::code_length(e));
        if (distance > static_cast<std::size_t>(next - base)) [[unlikely]] {
          in_next = sym_in;
          bitsleft = sym_left;
          break;
        }
        T* const dst = next;
        next += length;
        // Look up the next symbol before copying, so that the table load
        // overlaps the copy.
        if (next < limit && in_next <= in_fast_end) [[likely]] {
          refill();
          sym_in = in_next;
          sym_left = bitsleft;
          e = lt[bitbuf & lit_mask];
          copy_match(dst, distance, length);
          goto dispatch;
        }
        copy_match(dst, distance, length);
      }
      out.next = next;
      pos = static_cast<std::uint64_t>(in_next - in_begin) * 8 - bitsleft;
    }

    // ---- exact path: one literal, one length/distance pair or the end ----
    BitReader br(input, pos);
    std::uint32_t e = 0;
    if (Fault f = lit.decode(br, e)) return f;
    if (e & entry::kLiteral) {
      if (Fault f = out.put_literal(static_cast<std::uint8_t>(entry::value(e)))) return f;
      pos = br.position();
      continue;
    }
    if (e & entry::kExceptional) {
      if (entry::kind(e) == entry::kEndOfBlock) {
        bit_pos = br.position();
        return {};
      }
      return Fault::at(FaultKind::InvalidLiteralLength, br.position(), entry::value(e));
    }
    std::uint32_t extra = 0;
    if (unsigned n = entry::consume(e) - entry::code_length(e)) {
      if (Fault f = br.read(n, extra)) return f;
    }
    const std::uint32_t length = entry::value(e) + extra;
    if (dist.empty()) return Fault::at(FaultKind::EmptyTable, br.position());
    if (Fault f = dist.decode(br, e)) return f;
    if (e & entry::kExceptional)
      return Fault::at(FaultKind::InvalidDistance, br.position(), entry::value(e));
    extra = 0;
    if (unsigned n = entry::consume(e) - entry::code_length(e)) {
      if (Fault f = br.read(n, extra)) return f;
    }
    const std::uint32_t distance = entry::value(e) + extra;
    if (Fault f = out.put_match(distance, length)) return f;
    pos = br.position();
  }
}

// What one block was: its type and whether BFINAL was set.
struct BlockInfo {
  unsigned type = 0;
  bool final = false;
};

// Decodes one whole block (header and contents) starting at `bit_pos` into
// `out`; `tables` is storage for a dynamic block's tables, reused across
// blocks. On success `bit_pos` is the bit just past the block.
template <class Out>
Fault decode_block(std::span<const std::uint8_t> input, std::uint64_t& bit_pos, Out& out,
                   HuffmanPair& tables, BlockInfo& info) {
  BitReader br(input, bit_pos);
  std::uint32_t bfinal = 0, btype = 0;
  if (Fault f = br.read(1, bfinal)) return f;
  const std::uint64_t type_at = br.position();
  if (Fault f = br.read(2, btype)) return f;
  info.final = bfinal != 0;
  info.type = btype;
  switch (btype) {
    case 0: {
      br.set_position((br.position() + 7) & ~std::uint64_t{7});
      std::uint32_t len = 0, nlen = 0;
      if (Fault f = br.read(16, len)) return f;
      const std::uint64_t nlen_at = br.position();
      if (Fault f = br.read(16, nlen)) return f;
      if (nlen != (~len & 0xFFFF)) return Fault::at(FaultKind::StoredLengthMismatch, nlen_at);
      const std::uint64_t data_at = br.position();
      if (br.available() / 8 < len) return Fault::at(FaultKind::TruncatedStored, data_at);
      if (Fault f = out.put_stored(input.data() + data_at / 8, len)) return f;
      bit_pos = data_at + 8 * std::uint64_t{len};
      return {};
    }
    case 1: {
      bit_pos = br.position();
      const HuffmanPair& fixed = fixed_tables();
      return decode_huffman_block(input, bit_pos, out, fixed.literal_length, fixed.distance);
    }
    case 2: {
      if (Fault f = read_dynamic_tables(br, tables)) return f;
      bit_pos = br.position();
      return decode_huffman_block(input, bit_pos, out, tables.literal_length, tables.distance);
    }
    default:
      return Fault::at(FaultKind::ReservedBlockType, type_at);
  }
}

}  // namespace rvk::gzip::inflate
