// Canonical Huffman tables, the fixed and dynamic table pairs of DEFLATE,
// and the texts of the decoding faults.
//
// Table construction follows RFC 1951: codes are assigned in order of
// (length, symbol), and a code of length L fills every main-table index
// whose low L bits equal the bit-reversed code (the input is read least
// significant bit first, codes most significant bit first). Codes longer
// than the main index get a sub-table per shared main prefix; because
// canonical codes increase with (length, symbol), the codes sharing a prefix
// are contiguous in that order, which lets one pass size and fill each
// sub-table.
#include <algorithm>
#include <array>
#include <string>

#include "rvk/deflate.hpp"
#include "rvk/gzip.hpp"

namespace rvk::gzip {

namespace {

constexpr unsigned main_bits_for(Alphabet alphabet) {
  switch (alphabet) {
    case Alphabet::LiteralLength: return 11;
    case Alphabet::Distance: return 8;
    case Alphabet::Plain: return 7;
  }
  return 7;
}

constexpr std::uint32_t kInvalidEntry = entry::kExceptional | entry::kInvalidCode;

inline std::uint32_t reverse_bits(std::uint32_t code, unsigned length) {
  std::uint32_t r = 0;
  for (unsigned i = 0; i < length; ++i) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

// The entry of `symbol` whose code has `length` bits in its (sub-)table.
inline std::uint32_t make_entry(unsigned symbol, unsigned length, Alphabet alphabet) {
  const std::uint32_t len_bits = length << 8;
  switch (alphabet) {
    case Alphabet::Plain:
      return (std::uint32_t{symbol} << 16) | len_bits | length;
    case Alphabet::LiteralLength:
      if (symbol < 256) return (std::uint32_t{symbol} << 16) | entry::kLiteral | len_bits | length;
      if (symbol == 256) return entry::kExceptional | entry::kEndOfBlock | len_bits | length;
      if (symbol <= 285) {
        const unsigned i = symbol - 257;
        return (std::uint32_t{kLengthBase[i]} << 16) | len_bits | (length + kLengthExtra[i]);
      }
      return (std::uint32_t{symbol} << 16) | entry::kExceptional | entry::kInvalidSymbol |
             len_bits | length;
    case Alphabet::Distance:
      if (symbol < 30) {
        return (std::uint32_t{kDistanceBase[symbol]} << 16) | len_bits |
               (length + kDistanceExtra[symbol]);
      }
      return (std::uint32_t{symbol} << 16) | entry::kExceptional | entry::kInvalidSymbol |
             len_bits | length;
  }
  return kInvalidEntry;
}

}  // namespace

Fault Huffman::assign(std::span<const std::uint8_t> lengths, Alphabet alphabet) {
  const unsigned mb = main_bits_for(alphabet);
  main_bits_ = static_cast<std::uint8_t>(mb);
  max_len_ = 0;
  table_.assign(std::size_t{1} << mb, kInvalidEntry);

  std::array<std::uint16_t, 16> count{};
  unsigned max_len = 0;
  for (std::uint8_t len : lengths) {
    if (len > 15) return Fault::plain(FaultKind::CodeLengthTooLong, len, 15);
    if (len != 0) {
      ++count[len];
      max_len = std::max<unsigned>(max_len, len);
    }
  }
  if (max_len == 0) return {};

  int left = 1;
  for (unsigned len = 1; len <= 15; ++len) {
    left = 2 * left - count[len];
    if (left < 0) return Fault::plain(FaultKind::Oversubscribed);
  }

  // Symbols sorted by (length, symbol) and their canonical codes.
  std::array<std::uint16_t, 17> offset{};
  for (unsigned len = 1; len <= 15; ++len) offset[len + 1] = offset[len] + count[len];
  const unsigned n_codes = offset[16];
  std::array<std::uint16_t, 512> sorted;
  {
    std::array<std::uint16_t, 17> at = offset;
    for (std::size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] != 0) sorted[at[lengths[s]]++] = static_cast<std::uint16_t>(s);
    }
  }
  std::array<std::uint16_t, 512> codes;
  {
    std::uint32_t code = 0;
    unsigned i = 0;
    for (unsigned len = 1; len <= 15; ++len) {
      code = (code + (len >= 2 ? count[len - 1] : 0)) << 1;
      if (len == 1) code = 0;
      std::uint32_t c = code;
      for (unsigned k = 0; k < count[len]; ++k) codes[i++] = static_cast<std::uint16_t>(c++);
    }
  }

  std::uint32_t* table = table_.data();
  const std::uint32_t main_size = std::uint32_t{1} << mb;
  unsigned i = 0;
  for (; i < n_codes; ++i) {
    const unsigned sym = sorted[i];
    const unsigned len = lengths[sym];
    if (len > mb) break;
    const std::uint32_t e = make_entry(sym, len, alphabet);
    for (std::uint32_t j = reverse_bits(codes[i], len); j < main_size; j += std::uint32_t{1} << len)
      table[j] = e;
  }
  // Long codes: one sub-table per main prefix, sized by the group's longest code.
  while (i < n_codes) {
    const unsigned len0 = lengths[sorted[i]];
    const std::uint32_t prefix = std::uint32_t{codes[i]} >> (len0 - mb);
    unsigned j = i;
    unsigned group_max = len0;
    while (j < n_codes) {
      const unsigned lj = lengths[sorted[j]];
      if ((std::uint32_t{codes[j]} >> (lj - mb)) != prefix) break;
      group_max = lj;
      ++j;
    }
    const unsigned sub_bits = group_max - mb;
    const std::size_t sub_offset = table_.size();
    table_.resize(sub_offset + (std::size_t{1} << sub_bits), kInvalidEntry);
    table = table_.data();
    table[reverse_bits(prefix, mb)] = (static_cast<std::uint32_t>(sub_offset) << 16) |
                                      entry::kExceptional | entry::kSubtable | (sub_bits << 8) | mb;
    for (unsigned k = i; k < j; ++k) {
      const unsigned sym = sorted[k];
      const unsigned sl = lengths[sym] - mb;
      const std::uint32_t e = make_entry(sym, sl, alphabet);
      const std::uint32_t rest = codes[k] & ((std::uint32_t{1} << sl) - 1);
      for (std::uint32_t t = reverse_bits(rest, sl); t < (std::uint32_t{1} << sub_bits);
           t += std::uint32_t{1} << sl)
        table[sub_offset + t] = e;
    }
    i = j;
  }
  max_len_ = static_cast<std::uint8_t>(max_len);
  return {};
}

Result<Huffman> Huffman::create(std::span<const std::uint8_t> lengths, Alphabet alphabet) {
  Huffman h;
  if (Fault f = h.assign(lengths, alphabet)) return fault_error(f);
  return h;
}

std::uint32_t Huffman::lookup(const BitReader& reader, unsigned& length) const noexcept {
  const std::uint32_t bits = reader.peek(15);
  std::uint32_t e = table_[bits & ((1u << main_bits_) - 1)];
  if ((e & (entry::kExceptional | entry::kKindMask)) == (entry::kExceptional | entry::kSubtable)) {
    const unsigned sub_bits = entry::code_length(e);
    e = table_[entry::value(e) + ((bits >> main_bits_) & ((1u << sub_bits) - 1))];
    length = main_bits_ + entry::code_length(e);
  } else {
    length = entry::code_length(e);
  }
  return e;
}

Fault Huffman::decode(BitReader& reader, std::uint32_t& entry_out) const noexcept {
  const std::uint64_t at = reader.position();
  if (max_len_ == 0) return Fault::at(FaultKind::EmptyTable, at);
  unsigned length = 0;
  const std::uint32_t e = lookup(reader, length);
  if ((e & (entry::kExceptional | entry::kKindMask)) == (entry::kExceptional | entry::kInvalidCode))
    return Fault::at(FaultKind::InvalidCode, at);
  if (length > reader.available()) return Fault::at(FaultKind::TruncatedCode, at);
  reader.skip(length);
  entry_out = e;
  return {};
}

Fault Huffman::decode_symbol(BitReader& reader, std::uint32_t& symbol) const noexcept {
  std::uint32_t e = 0;
  if (Fault f = decode(reader, e)) return f;
  symbol = entry::value(e);
  return {};
}

const HuffmanPair& fixed_tables() {
  static const HuffmanPair pair = [] {
    HuffmanPair p;
    std::array<std::uint8_t, 288> lit{};
    for (unsigned s = 0; s < 288; ++s) lit[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    std::array<std::uint8_t, 32> dist{};
    dist.fill(5);
    (void)p.literal_length.assign(lit, Alphabet::LiteralLength);
    (void)p.distance.assign(dist, Alphabet::Distance);
    return p;
  }();
  return pair;
}

Fault read_dynamic_tables(BitReader& reader, HuffmanPair& out) {
  static constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                              11, 4,  12, 3, 13, 2, 14, 1, 15};
  std::uint32_t hlit = 0, hdist = 0, hclen = 0;
  if (Fault f = reader.read(5, hlit)) return f;
  if (Fault f = reader.read(5, hdist)) return f;
  if (Fault f = reader.read(4, hclen)) return f;

  std::array<std::uint8_t, 19> cl_lengths{};
  for (unsigned i = 0; i < hclen + 4; ++i) {
    std::uint32_t v = 0;
    if (Fault f = reader.read(3, v)) return f;
    cl_lengths[kOrder[i]] = static_cast<std::uint8_t>(v);
  }
  Huffman cl;
  if (Fault f = cl.assign(cl_lengths, Alphabet::Plain)) return f;

  const unsigned n_lit = hlit + 257;
  const unsigned total = n_lit + hdist + 1;
  std::array<std::uint8_t, 288 + 32> lengths{};
  unsigned n = 0;
  while (n < total) {
    std::uint32_t sym = 0;
    if (Fault f = cl.decode_symbol(reader, sym)) return f;
    if (sym < 16) {
      lengths[n++] = static_cast<std::uint8_t>(sym);
      continue;
    }
    std::uint8_t value = 0;
    unsigned repeat = 0;
    std::uint32_t extra = 0;
    if (sym == 16) {
      if (n == 0) return Fault::at(FaultKind::RepeatWithoutPrevious, reader.position());
      if (Fault f = reader.read(2, extra)) return f;
      value = lengths[n - 1];
      repeat = 3 + extra;
    } else if (sym == 17) {
      if (Fault f = reader.read(3, extra)) return f;
      repeat = 3 + extra;
    } else {
      if (Fault f = reader.read(7, extra)) return f;
      repeat = 11 + extra;
    }
    if (n + repeat > total) return Fault::at(FaultKind::RepeatExceedsTable, reader.position());
    std::memset(lengths.data() + n, value, repeat);
    n += repeat;
  }
  if (lengths[256] == 0) return Fault::at(FaultKind::NoEndOfBlock, reader.position());
  if (Fault f = out.literal_length.assign(std::span(lengths.data(), n_lit), Alphabet::LiteralLength))
    return f;
  if (Fault f = out.distance.assign(std::span(lengths.data() + n_lit, hdist + 1), Alphabet::Distance))
    return f;
  return {};
}

Result<HuffmanPair> dynamic_tables(BitReader& reader) {
  HuffmanPair pair;
  if (Fault f = read_dynamic_tables(reader, pair)) return fault_error(f);
  return pair;
}

std::string fault_message(const Fault& f) {
  switch (f.kind) {
    case FaultKind::None: return "no fault";
    case FaultKind::UnexpectedEnd: return "unexpected end of DEFLATE data";
    case FaultKind::EmptyTable: return "attempted to decode an empty Huffman table";
    case FaultKind::InvalidCode: return "invalid Huffman code";
    case FaultKind::TruncatedCode: return "truncated Huffman code";
    case FaultKind::CodeLengthTooLong:
      return "Huffman code length " + std::to_string(f.a) + " exceeds " + std::to_string(f.b);
    case FaultKind::Oversubscribed: return "oversubscribed Huffman table";
    case FaultKind::RepeatWithoutPrevious: return "repeat code 16 has no previous length";
    case FaultKind::RepeatExceedsTable: return "code-length repeat exceeds table";
    case FaultKind::NoEndOfBlock: return "literal/length table has no end-of-block symbol";
    case FaultKind::InvalidLiteralLength:
      return "invalid literal/length symbol " + std::to_string(f.a);
    case FaultKind::InvalidDistance: return "invalid distance symbol " + std::to_string(f.a);
    case FaultKind::DistanceTooFar:
      return "back-reference distance " + std::to_string(f.a) + " exceeds " + std::to_string(f.b) +
             " available bytes";
    case FaultKind::StoredLengthMismatch: return "stored-block LEN/NLEN mismatch";
    case FaultKind::TruncatedStored: return "truncated stored block";
    case FaultKind::ReservedBlockType: return "reserved DEFLATE block type";
    case FaultKind::OffsetOverflow: return "decoded offset overflow";
    case FaultKind::BudgetExceeded: return "parallel DEFLATE chunk exceeded its memory budget";
    case FaultKind::SinkFailed: return "output sink failed";
  }
  return "unknown fault";
}

error::Error fault_error(const Fault& f) {
  if (f.has_bit) return invalid_bit(f.bit, fault_message(f));
  return error::Error::invalid_gzip(fault_message(f));
}

}  // namespace rvk::gzip
