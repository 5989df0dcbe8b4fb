// Helpers for the gzip tests: a DEFLATE bit writer for hand-made streams,
// gzip member assembly around raw DEFLATE data, zlib as the reference
// compressor, and decoding through the real byte pipe.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "rvk/gzip.hpp"
#include "rvk/pipe.hpp"

namespace gzip_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes to_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Writes DEFLATE fields least significant bit first; Huffman codes are given
// most significant bit first, as RFC 1951 writes them.
class BitWriter {
 public:
  void bits(std::uint32_t value, unsigned n) {
    for (unsigned i = 0; i < n; ++i) bit((value >> i) & 1);
  }
  void code(std::uint32_t code, unsigned n) {
    for (unsigned i = n; i-- > 0;) bit((code >> i) & 1);
  }
  void align() {
    while (nbits_ % 8 != 0) bit(0);
  }
  void byte(std::uint8_t b) {
    align();
    bits(b, 8);
  }
  std::uint64_t position() const { return nbits_; }
  Bytes take() {
    return out_;
  }

  // Fixed-code symbols.
  void fixed_literal(unsigned v) {
    if (v < 144) code(0x30 + v, 8);
    else if (v < 256) code(0x190 + (v - 144), 9);
    else if (v < 280) code(v - 256, 7);
    else code(0xC0 + (v - 280), 8);
  }
  void fixed_end() { fixed_literal(256); }
  // A length (3..258) and a distance (1..32768) with fixed codes.
  void fixed_match(unsigned length, unsigned distance) {
    static const unsigned lbase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const unsigned lextra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const unsigned dbase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                       33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                       1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const unsigned dextra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    int ls = 28;
    while (lbase[ls] > length) --ls;
    if (length == 258) ls = 28;
    fixed_literal(257 + ls);
    bits(length - lbase[ls], lextra[ls]);
    int ds = 29;
    while (dbase[ds] > distance) --ds;
    code(ds, 5);
    bits(distance - dbase[ds], dextra[ds]);
  }

 private:
  void bit(unsigned b) {
    if (nbits_ % 8 == 0) out_.push_back(0);
    out_.back() |= static_cast<std::uint8_t>(b << (nbits_ % 8));
    ++nbits_;
  }
  Bytes out_;
  std::uint64_t nbits_ = 0;
};

inline void put_le32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A minimal member header (no flags) followed by `deflate` and a trailer for
// `data`.
inline Bytes member(const Bytes& deflate, const Bytes& data) {
  static const std::uint8_t header[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
  Bytes out(10 + deflate.size());
  std::memcpy(out.data(), header, 10);
  if (!deflate.empty()) std::memcpy(out.data() + 10, deflate.data(), deflate.size());
  put_le32(out, static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
  put_le32(out, static_cast<std::uint32_t>(data.size()));
  return out;
}

// zlib's DEFLATE of `data`: raw (window_bits < 0) or gzip (window_bits 31).
inline Bytes zlib_deflate(const Bytes& data, int level, int strategy = Z_DEFAULT_STRATEGY,
                          int window_bits = -15, int mem_level = 8) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, window_bits, mem_level, strategy);
  Bytes out(deflateBound(&z, data.size()) + 64);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline Bytes gzip_member(const Bytes& data, int level) { return zlib_deflate(data, level, Z_DEFAULT_STRATEGY, 31); }

struct Decoded {
  Bytes bytes;
  std::size_t chunks = 0;
  std::optional<std::string> error;  // the error's display text
};

inline Decoded decode_gzip(const Bytes& input, std::size_t stop_after = 0,
                           std::uint64_t threads = 4) {
  rvk::DecodeOptions options;
  options.threads = threads;
  auto drained = rvk::output::drain(
      [&](rvk::output::PipeWriter& w) {
        return rvk::gzip::decompress_to_sink_with_options_and_progress(input, w, options,
                                                                       rvk::no_progress());
      },
      stop_after);
  Decoded d;
  d.bytes = std::move(drained.bytes);
  d.chunks = drained.chunks;
  if (!drained.outcome.ok()) d.error = drained.outcome.error().to_string();
  return d;
}

// Decodes raw DEFLATE data starting at byte `start` with the serial decoder.
struct RawDecoded {
  Bytes bytes;
  std::size_t chunks = 0;
  std::optional<std::string> error;
  rvk::gzip::DeflateResult result;
};

inline RawDecoded decode_raw(const Bytes& input, std::uint64_t start = 0) {
  RawDecoded d;
  auto drained = rvk::output::drain([&](rvk::output::PipeWriter& w) -> rvk::Result<void> {
    auto r = rvk::gzip::decompress_deflate_serial_stream(input, start, w, 0, 0);
    if (!r) return std::move(r).error();
    d.result = *r;
    return {};
  });
  d.bytes = std::move(drained.bytes);
  d.chunks = drained.chunks;
  if (!drained.outcome.ok()) d.error = drained.outcome.error().to_string();
  return d;
}

// Text-like bytes: words from a small vocabulary with punctuation, so that
// the compressors find many matches at all distances.
inline Bytes text_bytes(std::mt19937_64& rng, std::size_t n) {
  static const char* words[] = {"the",   "gzip",  "member", "of",     "a",      "stream", "wiki",
                                "page",  "block", "and",    "decoder", "window", "<text>", "[[link]]",
                                "{{tpl", "}}",    "==",     "\n",     "history", "1999"};
  Bytes out;
  out.reserve(n + 16);
  while (out.size() < n) {
    const char* w = words[rng() % (sizeof words / sizeof *words)];
    out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    out.push_back(rng() % 7 == 0 ? ',' : ' ');
  }
  out.resize(n);
  return out;
}

inline Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

}  // namespace gzip_test
