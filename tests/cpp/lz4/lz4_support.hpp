// Test inputs for the LZ4 decoder: synthetic data, the standard `lz4` tool
// as the compressor, and hand-built frames for the malformed cases.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "rvk/checksum.hpp"

namespace lz4_test {

using Bytes = std::vector<std::uint8_t>;

// Text-like data with an incompressible stretch in the middle, so that the
// `lz4` tool stores some blocks uncompressed.
inline Bytes sample_data(std::size_t size, unsigned seed, std::size_t random_stretch = 300000) {
  static const char* words[] = {"wiki", "article", "the", "of", "template", "reference", "section",
                                "page", "and", "history", "infobox", "category", "a", "river"};
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(size);
  const std::size_t random_at = size / 3;
  while (out.size() < size) {
    if (out.size() >= random_at && out.size() < random_at + random_stretch) {
      out.push_back(static_cast<std::uint8_t>(rng()));
      continue;
    }
    const char* w = words[rng() % std::size(words)];
    while (*w && out.size() < size) out.push_back(static_cast<std::uint8_t>(*w++));
    if (out.size() < size) out.push_back(rng() % 11 == 0 ? '\n' : ' ');
  }
  return out;
}

// A scratch directory for the tool's files, removed when the tests end.
inline std::string temp_dir() {
  struct Dir {
    std::string path;
    Dir() {
      char pattern[] = "/tmp/rvk-lz4-test-XXXXXX";
      const char* made = ::mkdtemp(pattern);
      path = made ? made : "/tmp";
    }
    ~Dir() {
      if (path != "/tmp") std::filesystem::remove_all(path);
    }
  };
  static Dir dir;
  return dir.path;
}

inline void write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Compresses `data` with the `lz4` command and the given options.
inline Bytes lz4_compress(const Bytes& data, const std::string& options) {
  static int counter = 0;
  const std::string base = temp_dir() + "/in" + std::to_string(counter++);
  write_file(base, data);
  const std::string command = "lz4 -q -f " + options + " " + base + " " + base + ".lz4";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "command failed: " << command;
    return {};
  }
  Bytes out = read_file(base + ".lz4");
  std::remove(base.c_str());
  std::remove((base + ".lz4").c_str());
  return out;
}

inline void put_u32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A frame descriptor: magic, FLG, BD, the optional fields and a correct HC
// (or `hc_delta` added to it).
inline Bytes frame_header(std::uint8_t flg, std::uint8_t bd, std::uint64_t content_size = 0,
                          std::uint32_t dict_id = 0, int hc_delta = 0) {
  Bytes out;
  put_u32(out, 0x184D2204);
  out.push_back(flg);
  out.push_back(bd);
  if (flg & 0x08) {
    put_u32(out, static_cast<std::uint32_t>(content_size));
    put_u32(out, static_cast<std::uint32_t>(content_size >> 32));
  }
  if (flg & 0x01) put_u32(out, dict_id);
  const auto hc = rvk::checksum::xxh32(std::span(out).subspan(4));
  out.push_back(static_cast<std::uint8_t>((hc >> 8) + hc_delta));
  return out;
}

// A block: size word (bit 31 for stored data) and the data.
inline void put_block(Bytes& out, const Bytes& data, bool uncompressed = false) {
  put_u32(out, static_cast<std::uint32_t>(data.size()) | (uncompressed ? 0x80000000u : 0u));
  out.insert(out.end(), data.begin(), data.end());
}

inline void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

}  // namespace lz4_test
