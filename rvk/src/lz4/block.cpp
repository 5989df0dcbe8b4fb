// LZ4 frame descriptors, block headers and block decoding.
//
// Everything here reads the mapped input through positions (u64 byte
// offsets) and is safe from any thread: the frame walk calls it on the feeder
// thread, the pool's workers call decode_layout_block for independent blocks.
//
// Block decoder state: `ip`/`iend` walk the block's stored data, `op` is the
// end of output inside `out` (allocated once at the frame's block maximum,
// `oend` its end), `dict` the decoded bytes before the block that matches may
// reach (the linked-frame history; empty for independent blocks). Output
// buffers come from the pipe's BufferBin when one is given.
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "rvk/history.hpp"
#include "rvk/lz4.hpp"

namespace rvk::lz4 {

namespace {

Error invalid(std::string text) { return Error::invalid_lz4(std::move(text)); }

std::string hex(std::uint64_t value, int width) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%0*llx", width, static_cast<unsigned long long>(value));
  return buffer;
}

std::uint32_t load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

// Adds the extension bytes of a 15-valued length nibble (each byte added, up
// to and including the first below 255).
Result<std::size_t> extend_length(const std::uint8_t*& ip, const std::uint8_t* iend, std::size_t length) {
  for (;;) {
    if (ip >= iend) return invalid("truncated extended sequence length");
    const std::uint8_t b = *ip++;
    if (length > kSizeMax - b) return invalid("sequence length overflows usize");
    length += b;
    if (b != 255) return length;
  }
}

Error block_too_large(std::uint64_t block_max) {
  return invalid("decoded block exceeds its " + std::to_string(block_max) + "-byte maximum");
}

// Bytes past the block maximum that the output buffer carries so that short
// literal runs and matches can be copied with fixed 16-byte moves.
constexpr std::size_t kSlack = 32;

Result<DecodedBlock> decode_compressed(Input input, const BlockLayout& layout,
                                       std::span<const std::uint8_t> dict, std::uint64_t block_max,
                                       output::BufferBin* bin) {
  const std::size_t room = static_cast<std::size_t>(block_max) + kSlack;
  output::Bytes out;
  if (bin != nullptr) out = bin->take(room);
  if (out.size() < room) out.resize(room);  // a recycled buffer is mostly sized already
  const std::uint8_t* ip = input.data() + layout.data_start;
  const std::uint8_t* const iend = input.data() + layout.data_end;
  std::uint8_t* const ostart = out.data();
  std::uint8_t* op = ostart;
  std::uint8_t* const oend = ostart + block_max;  // the block maximum; slack lies beyond

  while (ip < iend) {
    const unsigned token = *ip++;

    // Fast path for the common short sequence: at most 14 literals and a
    // match of at most 18 bytes from inside this block's own output, with room
    // for fixed-size moves on both sides. Its checks imply every check of the
    // general path below, so both give the same bytes and errors.
    if ((token >> 4) < 15 && (token & 15u) < 15 && iend - ip >= 18 && oend - op >= 32) {
      const std::size_t literals = token >> 4;
      std::memcpy(op, ip, 16);
      op += literals;
      ip += literals;
      const std::size_t offset = static_cast<std::size_t>(ip[0]) | static_cast<std::size_t>(ip[1]) << 8;
      const std::size_t produced = static_cast<std::size_t>(op - ostart);
      if (offset >= 8 && offset <= produced) {
        ip += 2;
        const std::size_t match = (token & 15u) + 4;
        const std::uint8_t* from = op - offset;
        if (offset >= 16) {
          std::memcpy(op, from, 16);
          std::memcpy(op + 16, from + 16, 2);
        } else {
          // 8-byte moves stay correct for overlaps at distances of 8 to 15:
          // each reads only bytes already final.
          std::memcpy(op, from, 8);
          std::memcpy(op + 8, from + 8, 8);
          std::memcpy(op + 16, from + 16, 2);
        }
        op += match;
        continue;
      }
      // An unusual offset: undo the literal step and take the general path.
      op -= literals;
      ip -= literals;
    }

    std::size_t literals = token >> 4;
    if (literals == 15) {
      auto extended = extend_length(ip, iend, literals);
      if (!extended.ok()) return std::move(extended).error();
      literals = *extended;
    }
    if (literals > static_cast<std::size_t>(iend - ip)) return invalid("literal run exceeds the block");
    if (literals > static_cast<std::size_t>(oend - op)) return block_too_large(block_max);
    if (literals <= 16 && iend - ip >= 16) {
      std::memcpy(op, ip, 16);  // the output slack absorbs the overshoot
    } else {
      std::memcpy(op, ip, literals);
    }
    op += literals;
    ip += literals;
    if (ip == iend) break;

    if (iend - ip < 2) return invalid("truncated match offset");
    const std::size_t offset = static_cast<std::size_t>(ip[0]) | static_cast<std::size_t>(ip[1]) << 8;
    ip += 2;

    std::size_t match = token & 15u;
    if (match == 15) {
      auto extended = extend_length(ip, iend, match);
      if (!extended.ok()) return std::move(extended).error();
      match = *extended;
    }
    if (match > kSizeMax - 4) return invalid("match length overflows usize");
    match += 4;
    if (match > static_cast<std::size_t>(oend - op)) return block_too_large(block_max);

    const std::size_t produced = static_cast<std::size_t>(op - ostart);
    if (offset == 0 || offset > produced + dict.size()) {
      return invalid("match offset " + std::to_string(offset) + " exceeds the available " +
                     std::to_string(produced + dict.size()) + "-byte history");
    }
    if (offset > produced) {
      // The match starts in the dictionary (the linked history).
      const std::size_t back = offset - produced;
      const std::size_t from_dict = back < match ? back : match;
      std::memcpy(op, dict.data() + (dict.size() - back), from_dict);
      op += from_dict;
      if (match > from_dict) op = history::extend_match(op, offset, match - from_dict);
    } else if (offset >= 16) {
      // 16-byte moves never overlap at this distance; the last one may run
      // up to 15 bytes into the slack.
      const std::uint8_t* from = op - offset;
      std::uint8_t* to = op;
      std::uint8_t* const stop = op + match;
      do {
        std::memcpy(to, from, 16);
        to += 16;
        from += 16;
      } while (to < stop);
      op = stop;
    } else {
      op = history::extend_match(op, offset, match);
    }
  }
  out.resize(static_cast<std::size_t>(op - ostart));  // keeps the allocation
  return DecodedBlock(std::move(out));
}

}  // namespace

Result<std::uint32_t> read_u32(Input input, std::uint64_t pos, std::string_view label) {
  if (pos > input.size() || input.size() - pos < 4) {
    return invalid("truncated " + std::string(label) + " at byte " + std::to_string(pos));
  }
  return load_le32(input.data() + pos);
}

Result<FrameHeader> parse_frame_header(Input input, std::uint64_t p) {
  const std::uint64_t size = input.size();
  if (p > size || size - p < 6) return invalid("truncated frame descriptor");
  const std::uint8_t flg = input[p + 4];
  const std::uint8_t bd = input[p + 5];
  if ((flg & 0xC0) != 0x40) return invalid("unsupported frame version bits " + hex(flg & 0xC0, 2));
  if ((flg & 0x02) != 0 || (bd & 0x8F) != 0) return invalid("reserved frame descriptor bits are set");
  const unsigned code = (bd >> 4) & 7u;
  if (code < 4) return invalid("unsupported block maximum-size code " + std::to_string(code));

  FrameHeader header;
  header.block_max = std::uint64_t{1} << (8 + 2 * code);  // 4 → 64 KiB ... 7 → 4 MiB
  header.linked = (flg & 0x20) == 0;
  header.block_checksum = (flg & 0x10) != 0;
  header.content_checksum = (flg & 0x04) != 0;

  std::uint64_t at = p + 6;
  if (flg & 0x08) {
    if (size - at < 8) return invalid("truncated frame content size");
    header.content_size = static_cast<std::uint64_t>(load_le32(input.data() + at)) |
                          static_cast<std::uint64_t>(load_le32(input.data() + at + 4)) << 32;
    at += 8;
  }
  if (flg & 0x01) {
    auto id = read_u32(input, at, "dictionary ID");
    if (!id.ok()) return std::move(id).error();
    return invalid("external dictionary " + hex(*id, 8) + " is not supported");
  }
  if (at >= size) return invalid("truncated frame header checksum");
  const std::uint8_t stored = input[at];
  const std::uint8_t computed =
      static_cast<std::uint8_t>(xxhash32(input.subspan(p + 4, at - (p + 4))) >> 8);
  if (stored != computed) {
    return invalid("header checksum mismatch: expected " + hex(stored, 2) + ", decoded " + hex(computed, 2));
  }
  header.first_block = at + 1;
  return header;
}

Result<std::optional<BlockLayout>> next_block(Input input, std::uint64_t& cursor, const FrameHeader& header) {
  const std::uint64_t at = cursor;
  auto word = read_u32(input, at, "block header");
  if (!word.ok()) return std::move(word).error();
  cursor = at + 4;
  if (*word == 0) return std::optional<BlockLayout>();

  const std::uint64_t data_size = *word & 0x7FFFFFFFu;
  if (data_size == 0 || data_size > header.block_max) {
    return invalid("block at byte " + std::to_string(at) + " has invalid size " + std::to_string(data_size) +
                   " for " + std::to_string(header.block_max) + "-byte frames");
  }
  BlockLayout layout;
  layout.uncompressed = (*word & 0x80000000u) != 0;
  layout.data_start = cursor;
  if (data_size > input.size() - cursor) return invalid("block data exceeds the frame");
  layout.data_end = cursor + data_size;
  cursor = layout.data_end;
  if (header.block_checksum) {
    auto sum = read_u32(input, cursor, "block checksum");
    if (!sum.ok()) return std::move(sum).error();
    layout.checksum = *sum;
    cursor += 4;
  }
  return std::optional<BlockLayout>(layout);
}

Result<DecodedBlock> decode_layout_block(Input input, const BlockLayout& layout,
                                         std::span<const std::uint8_t> dictionary, std::uint64_t block_max,
                                         output::BufferBin* bin) {
  if (layout.checksum) {
    const std::uint32_t computed =
        xxhash32(input.subspan(layout.data_start, layout.data_end - layout.data_start));
    if (computed != *layout.checksum) {
      return invalid("block checksum mismatch at byte " + std::to_string(layout.data_start) + ": expected " +
                     hex(*layout.checksum, 8) + ", decoded " + hex(computed, 8));
    }
  }
  if (layout.uncompressed) return DecodedBlock(InputRange{layout.data_start, layout.data_end});
  return decode_compressed(input, layout, dictionary, block_max, bin);
}

}  // namespace rvk::lz4
