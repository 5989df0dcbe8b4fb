// DEFLATE (RFC 1951) building blocks of the gzip path: the bit reader, the
// canonical Huffman decoding tables, the fixed and dynamic table pairs, and
// the faults the decoders report.
//
// The block decoder itself is a template over its output sink (see
// rvk/src/deflate/inflate_block.hpp) so that the serial decoder (bytes into
// the byte pipe) and the parallel decoder (16-bit symbols with history
// markers) share one hot loop. What is declared here is what both of them,
// and the boundary search of the parallel decoder, need.
//
// Faults are small values (`Fault`) rather than `rvk::error::Error`s: the hot
// loop must not build strings, and the same fault is turned into the gzip
// error text only once, at the edge ("at bit {}: {}" or the bare message).
//
// Tables are two-level: a main table indexed by the next `main_bits` input
// bits, with sub-tables for the rare longer codes. Each 32-bit entry already
// carries what the decoder needs after the lookup: for a length or distance
// symbol its base value and the number of extra bits, folded into the count
// of bits to consume, so one lookup and one shift serve code and extra bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "rvk/result.hpp"

namespace rvk::gzip {

// ---------------------------------------------------------------------------
// Faults

enum class FaultKind : std::uint8_t {
  None,
  UnexpectedEnd,         // "unexpected end of DEFLATE data"               (bit)
  EmptyTable,            // "attempted to decode an empty Huffman table"   (bit)
  InvalidCode,           // "invalid Huffman code"                         (bit)
  TruncatedCode,         // "truncated Huffman code"                       (bit)
  CodeLengthTooLong,     // "Huffman code length {a} exceeds {b}"
  Oversubscribed,        // "oversubscribed Huffman table"
  RepeatWithoutPrevious, // "repeat code 16 has no previous length"        (bit)
  RepeatExceedsTable,    // "code-length repeat exceeds table"             (bit)
  NoEndOfBlock,          // "literal/length table has no end-of-block symbol" (bit)
  InvalidLiteralLength,  // "invalid literal/length symbol {a}"            (bit)
  InvalidDistance,       // "invalid distance symbol {a}"                  (bit)
  DistanceTooFar,        // "back-reference distance {a} exceeds {b} available bytes"
  StoredLengthMismatch,  // "stored-block LEN/NLEN mismatch"               (bit)
  TruncatedStored,       // "truncated stored block"                       (bit)
  ReservedBlockType,     // "reserved DEFLATE block type"                  (bit)
  OffsetOverflow,        // "decoded offset overflow"
  BudgetExceeded,        // "parallel DEFLATE chunk exceeded its memory budget"
  SinkFailed,            // the output sink failed; its error is kept by the sink
};

// One decoding fault: its kind, whether it has a bit position, the position
// and up to two numbers for the message. Trivially copyable on purpose.
struct Fault {
  FaultKind kind = FaultKind::None;
  bool has_bit = false;
  std::uint64_t bit = 0;
  std::uint64_t a = 0;
  std::uint64_t b = 0;

  explicit operator bool() const noexcept { return kind != FaultKind::None; }

  static Fault at(FaultKind kind, std::uint64_t bit, std::uint64_t a = 0) {
    return Fault{kind, true, bit, a, 0};
  }
  static Fault plain(FaultKind kind, std::uint64_t a = 0, std::uint64_t b = 0) {
    return Fault{kind, false, 0, a, b};
  }
};

// The message of a fault without its position, e.g. "invalid Huffman code".
std::string fault_message(const Fault& fault);
// The gzip error for a fault: `invalid_bit(bit, message)` for positioned
// faults, InvalidGzip with the bare message otherwise. Precondition: the
// fault is neither None nor SinkFailed (the sink holds that error).
error::Error fault_error(const Fault& fault);

// ---------------------------------------------------------------------------
// Bit reader

// Reads an input least significant bit first from an absolute bit position.
// The input is the whole memory-mapped file, so positions in faults are
// positions in the file. Cheap to copy; does not own the bytes.
class BitReader {
 public:
  BitReader(std::span<const std::uint8_t> input, std::uint64_t bit_pos)
      : data_(input.data()), size_(input.size()), pos_(bit_pos) {}

  std::uint64_t position() const noexcept { return pos_; }
  void set_position(std::uint64_t bit_pos) noexcept { pos_ = bit_pos; }
  std::span<const std::uint8_t> input() const noexcept { return {data_, size_}; }
  // Bits from the position to the end of the input (0 past the end).
  std::uint64_t available() const noexcept {
    const std::uint64_t total = size_ * 8;
    return pos_ < total ? total - pos_ : 0;
  }

  // The next n (≤ 32) bits without consuming them; bits past the end of the
  // input read as zero.
  std::uint32_t peek(unsigned n) const noexcept {
    const std::uint64_t byte = pos_ >> 3;
    std::uint64_t word = 0;
    if (byte + 8 <= size_) {
      std::memcpy(&word, data_ + byte, 8);
    } else {
      for (std::uint64_t i = byte; i < size_; ++i) word |= std::uint64_t{data_[i]} << (8 * (i - byte));
    }
    word >>= (pos_ & 7);
    return static_cast<std::uint32_t>(word & ((std::uint64_t{1} << n) - 1));
  }

  // Reads n (≤ 32) bits into `out`. Fails (UnexpectedEnd at the current
  // position, nothing consumed) if fewer than n bits remain.
  Fault read(unsigned n, std::uint32_t& out) noexcept {
    if (available() < n) return Fault::at(FaultKind::UnexpectedEnd, pos_);
    out = peek(n);
    pos_ += n;
    return {};
  }
  void skip(unsigned n) noexcept { pos_ += n; }

 private:
  const std::uint8_t* data_;
  std::uint64_t size_;
  std::uint64_t pos_;
};

// ---------------------------------------------------------------------------
// Huffman tables

// Entry layout (32 bits):
//   bits 0-7   bits to consume: code length plus extra bits (for a sub-table
//              pointer: the main table's index width)
//   bits 8-11  code length (in a sub-table: the length beyond the main
//              index; for a sub-table pointer: the sub-table's index width)
//   bits 12-13 exceptional kind (below), meaningful with kExceptional
//   bit  14    kExceptional: not a plain literal/length/distance/symbol
//   bit  15    kLiteral: a literal byte (literal/length tables only)
//   bits 16-31 value: literal byte, length base, distance base, plain
//              symbol, invalid symbol number or sub-table offset
namespace entry {
inline constexpr std::uint32_t kLiteral = 0x8000;
inline constexpr std::uint32_t kExceptional = 0x4000;
inline constexpr std::uint32_t kKindMask = 0x3000;
inline constexpr std::uint32_t kInvalidCode = 0x0000;   // no code reaches this index
inline constexpr std::uint32_t kEndOfBlock = 0x1000;
inline constexpr std::uint32_t kSubtable = 0x2000;
inline constexpr std::uint32_t kInvalidSymbol = 0x3000; // a code for a symbol without meaning

inline constexpr std::uint32_t consume(std::uint32_t e) { return e & 0xFF; }
inline constexpr std::uint32_t code_length(std::uint32_t e) { return (e >> 8) & 0xF; }
inline constexpr std::uint32_t value(std::uint32_t e) { return e >> 16; }
inline constexpr std::uint32_t kind(std::uint32_t e) { return e & kKindMask; }
}  // namespace entry

// What the symbols of a table mean, which decides what its entries carry.
enum class Alphabet : std::uint8_t {
  Plain,          // entries carry the symbol itself (code-length codes, tests)
  LiteralLength,  // 0-255 literals, 256 end of block, 257-285 lengths
  Distance,       // 0-29 distances
};

// A decoding table for one canonical prefix code. `max_len` is the longest
// code length (0 for an empty code); `main_bits` the width of the main
// table's index. Indices that no code reaches hold invalid-code entries, so
// incomplete codes are accepted and only fail when such an index is met.
class Huffman {
 public:
  Huffman() = default;

  // Builds the table of `lengths` (code lengths by symbol, at most 512).
  // Errors (InvalidGzip, no position): "Huffman code length {} exceeds 15",
  // "oversubscribed Huffman table". All-zero or empty lengths give an empty
  // table.
  static Result<Huffman> create(std::span<const std::uint8_t> lengths,
                                Alphabet alphabet = Alphabet::Plain);

  // Rebuilds this table in place, reusing its storage (no allocation once
  // the storage has grown to fit). Returns a CodeLengthTooLong or
  // Oversubscribed fault on failure, leaving the table empty.
  Fault assign(std::span<const std::uint8_t> lengths, Alphabet alphabet);

  std::uint8_t max_len() const noexcept { return max_len_; }
  std::uint8_t main_bits() const noexcept { return main_bits_; }
  bool empty() const noexcept { return max_len_ == 0; }
  const std::uint32_t* data() const noexcept { return table_.data(); }

  // The entry for the code at the reader's position, following a sub-table
  // pointer; `length` receives the full code length. Bits past the end of the
  // input read as zero, so near the end the entry may belong to a code longer
  // than what is left (the caller checks). Precondition: not empty.
  std::uint32_t lookup(const BitReader& reader, unsigned& length) const noexcept;

  // Decodes one symbol at the reader's position, advancing past its code.
  // Faults at the symbol's first bit: EmptyTable, InvalidCode, TruncatedCode.
  // Returns the entry (sub-table pointers resolved); its extra bits are not
  // consumed.
  Fault decode(BitReader& reader, std::uint32_t& entry_out) const noexcept;

  // Decodes one symbol of a Plain table and returns the symbol.
  Fault decode_symbol(BitReader& reader, std::uint32_t& symbol) const noexcept;

 private:
  std::vector<std::uint32_t> table_;
  std::uint8_t max_len_ = 0;
  std::uint8_t main_bits_ = 0;
};

// The literal/length and distance tables of one block.
struct HuffmanPair {
  Huffman literal_length;
  Huffman distance;
};

// The fixed tables of RFC 1951 (BTYPE 1), built on first use under a
// one-time initialisation and then shared read-only by every thread.
const HuffmanPair& fixed_tables();

// Reads a dynamic block header starting at HLIT (BFINAL and BTYPE already
// consumed) into `out`, reusing its storage; leaves the reader just past the
// last code length. Faults as the header rules say (UnexpectedEnd,
// EmptyTable/InvalidCode/TruncatedCode of the code-length code,
// RepeatWithoutPrevious, RepeatExceedsTable, NoEndOfBlock, and the table
// construction faults).
Fault read_dynamic_tables(BitReader& reader, HuffmanPair& out);

// The same, returning owned tables or the gzip error.
Result<HuffmanPair> dynamic_tables(BitReader& reader);

// Base values and extra-bit counts of RFC 1951, section 3.2.5.
inline constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                                  15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                                  67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,
                                                    4, 4, 5, 5, 6, 6, 7,  7,  8,  8,
                                                    9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

}  // namespace rvk::gzip
