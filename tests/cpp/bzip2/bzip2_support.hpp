// Helpers of the bzip2 tests: synthetic text, the standard bzip2 tool as the
// control compressor, decoding through the byte pipe as the stream reader
// does, and a tiny block writer for hand-made blocks that the standard tool
// would never produce (edge sizes, malformed headers).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "rvk/bzip2.hpp"
#include "rvk/pipe.hpp"

namespace bz_test {

using Bytes = std::vector<std::uint8_t>;

// Deterministic word soup: compresses about as well as prose, so blocks and
// streams have realistic sizes.
inline Bytes make_text(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  static const char* syll[] = {"ka", "to", "ri", "me", "sa", "lo", "ven", "dor", "tal", "mi",
                               "ne", "ru", "pa", "ex", "ion", "ar", "el", "ost", "um", "qua"};
  std::vector<std::string> words;
  for (int i = 0; i < 3000; ++i) {
    std::string w;
    for (int k = static_cast<int>(rng() % 4); k >= 0; --k) w += syll[rng() % 20];
    words.push_back(w);
  }
  Bytes out;
  out.reserve(size);
  std::geometric_distribution<int> pick(0.01);
  while (out.size() < size) {
    const std::string& w = words[static_cast<std::size_t>(pick(rng)) % words.size()];
    out.insert(out.end(), w.begin(), w.end());
    out.push_back(rng() % 13 == 0 ? '\n' : ' ');
  }
  out.resize(size);
  return out;
}

// Runs `command` with `input` on standard input and returns its output.
inline Bytes run_tool(const std::string& command, const Bytes& input) {
  char path[] = "/tmp/rvk-bz-test-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  std::size_t off = 0;
  while (off < input.size()) {
    ssize_t w = write(fd, input.data() + off, input.size() - off);
    if (w <= 0) break;
    off += static_cast<std::size_t>(w);
  }
  close(fd);
  std::string cmd = command + " < " + path;
  FILE* p = popen(cmd.c_str(), "r");
  Bytes out;
  std::uint8_t buf[1 << 16];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  EXPECT_EQ(pclose(p), 0) << command;
  unlink(path);
  return out;
}

inline Bytes bzip2(const Bytes& data, int level) {
  return run_tool("bzip2 -c -" + std::to_string(level), data);
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Decodes through the byte pipe on a separate thread, like the reader.
inline rvk::output::Drained decode(const Bytes& input, std::uint64_t threads,
                                   std::uint64_t memory_limit = rvk::kDefaultMemoryLimit) {
  rvk::DecodeOptions options;
  options.threads = threads;
  options.memory_limit = memory_limit;
  return rvk::output::drain([&](rvk::output::PipeWriter& w) {
    return rvk::decode::decompress_to_sink_with_progress(input, w, options, rvk::no_progress());
  });
}

// The thread counts every whole-file case runs with (0: one per processor).
inline const std::vector<std::uint64_t> kThreadCounts = {1, 2, 4, 8, 0};

// The decoded size of each block of a valid input, in order (serial path).
inline std::vector<std::size_t> block_sizes(const Bytes& input) {
  std::vector<std::size_t> sizes;
  auto r = rvk::decoder::decode_serial(input, [&](Bytes&& b) -> rvk::Result<void> {
    sizes.push_back(b.size());
    return {};
  });
  EXPECT_TRUE(r.ok());
  return sizes;
}

inline std::vector<rvk::format::BlockCandidate> block_magics(const Bytes& input) {
  return rvk::format::scan_range(input, 0, input.size()).blocks;
}

// A bit-exact reference of the bzip2 CRC (one bit at a time).
inline std::uint32_t reference_crc(const Bytes& data) {
  std::uint32_t crc = 0xffffffffu;
  for (std::uint8_t b : data) {
    crc ^= static_cast<std::uint32_t>(b) << 24;
    for (int i = 0; i < 8; ++i) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04c11db7u : crc << 1;
  }
  return data.empty() ? 0 : ~crc;
}

// MSB-first bit writer.
struct BitWriter {
  Bytes bytes;
  std::uint64_t nbits = 0;
  void put(std::uint64_t value, unsigned n) {
    for (unsigned i = n; i-- > 0;) {
      if (nbits % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= static_cast<std::uint8_t>(0x80u >> (nbits % 8));
      ++nbits;
    }
  }
};

// A block as symbols, before Huffman coding: what the hand-made cases vary.
struct BlockSpec {
  std::uint32_t crc = 0;
  bool randomised = false;
  std::uint32_t origin = 0;
  std::vector<std::uint8_t> used;          // used byte values, ascending
  unsigned groups = 2;
  std::vector<std::uint32_t> symbols;      // MTF/RLE2 symbols including end-of-block
  int selector_count = -1;                 // -1: as many as the symbols need
  std::vector<std::uint8_t> selectors;     // unary values to write; empty: all 0
  bool write_body = true;                  // false: stop after the selector count
};

// Writes magic + block with every symbol coded at one fixed length (a valid,
// possibly incomplete code). The block starts at bit 0 of the result.
inline BitWriter write_block(const BlockSpec& s) {
  BitWriter w;
  w.put(rvk::decoder::kBlockMagic, 48);
  w.put(s.crc, 32);
  w.put(s.randomised ? 1 : 0, 1);
  w.put(s.origin, 24);
  std::uint32_t groups_used = 0;
  for (std::uint8_t b : s.used) groups_used |= 0x8000u >> (b / 16);
  w.put(groups_used, 16);
  for (unsigned g = 0; g < 16; ++g) {
    if (!(groups_used & (0x8000u >> g))) continue;
    std::uint32_t bits = 0;
    for (std::uint8_t b : s.used) {
      if (b / 16 == g) bits |= 0x8000u >> (b % 16);
    }
    w.put(bits, 16);
  }
  w.put(s.groups, 3);
  const unsigned nsel = s.selector_count >= 0 ? static_cast<unsigned>(s.selector_count)
                        : !s.selectors.empty()  ? static_cast<unsigned>(s.selectors.size())
                                                : static_cast<unsigned>((s.symbols.size() + 49) / 50);
  w.put(nsel, 15);
  if (!s.write_body) return w;
  // Every table below is the same, so the selectors' values change nothing
  // but the bits they take.
  for (unsigned i = 0; i < nsel; ++i) {
    const unsigned v = i < s.selectors.size() ? s.selectors[i] : 0;
    w.put(((std::uint64_t{1} << v) - 1) << 1, v + 1);
  }
  const unsigned alpha = static_cast<unsigned>(s.used.size()) + 2;
  unsigned len = 1;
  while ((1u << len) < alpha) ++len;
  for (unsigned g = 0; g < s.groups; ++g) {
    w.put(len, 5);
    for (unsigned k = 0; k < alpha; ++k) w.put(0, 1);
  }
  for (std::uint32_t sym : s.symbols) w.put(sym, len);
  return w;
}

// RLE2 symbols (bijective base 2, RUNA = 0, RUNB = 1) of a run of `n`.
inline void push_run(std::vector<std::uint32_t>& syms, std::uint64_t n) {
  while (n > 0) {
    if (n & 1) {
      syms.push_back(0);
      n = (n - 1) / 2;
    } else {
      syms.push_back(1);
      n = (n - 2) / 2;
    }
  }
}

// The block spec of the pre-run-length bytes `pre` (naive BWT: fine for the
// short blocks of these tests), its CRC taken over `output`.
inline BlockSpec block_of(const Bytes& pre, const Bytes& output) {
  const std::size_t n = pre.size();
  std::vector<std::size_t> rot(n);
  std::iota(rot.begin(), rot.end(), 0);
  std::sort(rot.begin(), rot.end(), [&](std::size_t a, std::size_t b) {
    for (std::size_t k = 0; k < n; ++k) {
      std::uint8_t x = pre[(a + k) % n];
      std::uint8_t y = pre[(b + k) % n];
      if (x != y) return x < y;
    }
    return false;
  });
  BlockSpec s;
  bool seen[256] = {};
  for (std::uint8_t b : pre) seen[b] = true;
  for (int b = 0; b < 256; ++b) {
    if (seen[b]) s.used.push_back(static_cast<std::uint8_t>(b));
  }
  std::vector<std::uint8_t> mtf = s.used;
  std::uint64_t run = 0;
  for (std::size_t r = 0; r < n; ++r) {
    if (rot[r] == 0) s.origin = static_cast<std::uint32_t>(r);
    std::uint8_t c = pre[(rot[r] + n - 1) % n];
    std::size_t j = static_cast<std::size_t>(std::find(mtf.begin(), mtf.end(), c) - mtf.begin());
    if (j == 0) {
      ++run;
      continue;
    }
    push_run(s.symbols, run);
    run = 0;
    mtf.erase(mtf.begin() + static_cast<std::ptrdiff_t>(j));
    mtf.insert(mtf.begin(), c);
    s.symbols.push_back(static_cast<std::uint32_t>(j + 1));
  }
  push_run(s.symbols, run);
  s.symbols.push_back(static_cast<std::uint32_t>(s.used.size() + 1));
  s.crc = reference_crc(output);
  return s;
}

// Selector values whose unary codes spell the block magic `copies` times in
// a row: a block carrying them holds that many false block-magic hits
// (groups must be at least 3: the magic's longest run of ones is 2).
inline std::vector<std::uint8_t> magic_selectors(unsigned copies) {
  std::vector<std::uint8_t> out;
  std::uint8_t ones = 0;
  for (unsigned c = 0; c < copies; ++c) {
    for (int i = 47; i >= 0; --i) {
      if ((rvk::decoder::kBlockMagic >> i) & 1) {
        ++ones;
      } else {
        out.push_back(ones);
        ones = 0;
      }
    }
  }
  out.push_back(ones);
  return out;
}

// One stream "BZh" + `level` of hand-made blocks, the end magic and the
// combined CRC, padded to a byte.
inline Bytes stream_of(const std::vector<BlockSpec>& blocks, char level = '9') {
  BitWriter w;
  for (char c : {'B', 'Z', 'h', level}) w.put(static_cast<std::uint8_t>(c), 8);
  std::uint32_t combined = 0;
  for (const BlockSpec& s : blocks) {
    BitWriter b = write_block(s);
    for (std::uint64_t i = 0; i < b.nbits; ++i) w.put((b.bytes[i / 8] >> (7 - i % 8)) & 1, 1);
    combined = ((combined << 1) | (combined >> 31)) ^ s.crc;
  }
  w.put(rvk::decoder::kEndMagic, 48);
  w.put(combined, 32);
  return w.bytes;
}

}  // namespace bz_test
