// Private helpers shared by the bzip2 sources: raw MSB-first bit peeks, the
// light fault record the hot paths return instead of a full Error, and the
// thread's own work buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rvk/bzip2.hpp"

namespace rvk::decoder {

// A decode fault before it becomes an Error: what and at which bit, or that
// the decoder's memory could not be had (no fault of the input).
struct Fault {
  DecodeError code = DecodeError::InvalidBlock;
  std::uint64_t bit = 0;
  bool out_of_memory = false;
};

inline Error to_error(const Fault& f) {
  return f.out_of_memory ? Error::out_of_memory() : Error::decode(f.bit, f.code);
}

inline std::uint64_t load_be64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// The `n` bits (1..32) at bit `pos`; bits past the input read as zero. Takes
// eight bytes at once when they exist, else assembles byte by byte.
inline std::uint32_t peek_bits(const std::uint8_t* data, std::size_t nbytes, std::uint64_t pos,
                               unsigned n) noexcept {
  std::uint64_t byte = pos >> 3;
  std::uint64_t w;
  if (byte + 8 <= nbytes) {
    w = load_be64(data + byte);
  } else {
    w = 0;
    for (unsigned i = 0; i < 8; ++i) {
      w <<= 8;
      if (byte + i < nbytes) w |= data[byte + i];
    }
  }
  return static_cast<std::uint32_t>((w << (pos & 7)) >> (64 - n));
}

// Continues a (non-complemented) bzip2 CRC over n bytes.
std::uint32_t crc_update(std::uint32_t crc, const std::uint8_t* p, std::size_t n) noexcept;

// Exact one-symbol decode with the positions and faults of the checked
// cursor; used near the end of the input.
bool decode_exact(const Huffman& h, const std::uint8_t* data, std::size_t nbytes,
                  std::uint64_t& pos, std::uint32_t& sym, Fault& fault) noexcept;

// Decodes one block (cursor just after its magic). On success fills `out`
// and moves `pos` past the end-of-block symbol.
bool decode_block(WorkBuffer& work, const std::uint8_t* data, std::size_t nbytes,
                  std::uint64_t& pos, unsigned level, const std::uint32_t* expected_crc,
                  BlockOutput& out, Fault& fault, output::BufferBin* bin = nullptr,
                  std::uint64_t output_cap = UINT64_MAX);

// The serial decoder over any block sink; `stopped`, when given, is polled
// before every block. `sent_first`, when given, is the first stream's first
// block, already decoded and sent: the decode goes on after it.
Result<void> decode_serial_impl(std::span<const std::uint8_t> input, const BlockSink& sink,
                                const ProgressFn& progress, const std::atomic<bool>* stopped,
                                output::BufferBin* bin, const DecodedCandidate* sent_first = nullptr);

// The serial decoder into the byte pipe, going on after `sent_first` when
// given (see decode_serial_impl).
Result<void> decode_serial_to_pipe(std::span<const std::uint8_t> input, output::PipeWriter& sink,
                                   const ProgressFn& progress, const DecodedCandidate* sent_first);

}  // namespace rvk::decoder
