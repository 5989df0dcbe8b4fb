// Format detection: content first (magic bytes), then the file name.
//
// Content wins because dumps are often renamed; the name is only a fallback
// for inputs whose first bytes prove nothing (empty or tiny files, or data
// that is not compressed at all, which the decoder then reports on read).
#include <cctype>
#include <cstdint>
#include <string>

#include "rvk/reader.hpp"

namespace rvk::reader {

using stream::StreamFormat;

namespace {

std::uint32_t le32(std::span<const std::uint8_t> b) {
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

// Strict UTF-8 validation (no overlongs, surrogates or values past U+10FFFF).
bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    for (std::size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return false;
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

}  // namespace

std::string display_path(std::string_view path) {
  // Valid sequences are kept; every maximal invalid stretch that cannot start
  // a sequence becomes U+FFFD, byte by byte, like a lossy UTF-8 decode.
  std::string out;
  out.reserve(path.size());
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t n = 1;
    const auto c = static_cast<unsigned char>(path[i]);
    if (c >= 0xC0 && c < 0xE0) n = 2;
    else if (c >= 0xE0 && c < 0xF0) n = 3;
    else if (c >= 0xF0 && c < 0xF8) n = 4;
    if (c < 0x80 || (i + n <= path.size() && valid_utf8(path.substr(i, n)) && n > 1)) {
      out.append(path.substr(i, n));
      i += n;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

std::optional<StreamFormat> format_by_content(std::span<const std::uint8_t> b) {
  if (b.size() >= 3 && b[0] == 'B' && b[1] == 'Z' && b[2] == 'h') return StreamFormat::Bzip2;
  if (b.size() >= 2 && b[0] == 0x1F && b[1] == 0x8B) return StreamFormat::Gzip;
  if (b.size() >= 4) {
    const std::uint32_t w = le32(b);
    if (w == 0x184D2204 || (w & 0xFFFFFFF0u) == 0x184D2A50) return StreamFormat::Lz4;
    if (w == 0x04034B50 || w == 0x06054B50 || w == 0x08074B50) return StreamFormat::Zip;
  }
  return std::nullopt;
}

std::optional<StreamFormat> format_by_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view raw = name.substr(dot + 1);
  if (raw.empty() || !valid_utf8(raw)) return std::nullopt;
  std::string ext(raw);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (ext == "gz" || ext == "tgz" || ext == "gzip") return StreamFormat::Gzip;
  if (ext == "bz2" || ext == "tbz" || ext == "tbz2" || ext == "bzip2") return StreamFormat::Bzip2;
  if (ext == "lz4") return StreamFormat::Lz4;
  if (ext == "zip") return StreamFormat::Zip;
  return std::nullopt;
}

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;  // 2^64 or more
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace rvk::reader
