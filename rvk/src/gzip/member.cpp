// gzip member framing and the member loop.
//
// A gzip input is members one after another, each a header, DEFLATE data and
// an 8-byte trailer (RFC 1952). The header is parsed field by field with a
// check and an exact message for every way it can be wrong; the trailer is
// checked only after all of the member's bytes were sent, so a corrupt member
// still delivers its data before the error. Zero bytes after the last member
// are tolerated (tape-style padding), but a zero byte followed by anything
// else is an error at that zero byte: padding is never skipped to reach a
// further member.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

#include "rvk/checksum.hpp"
#include "rvk/gzip.hpp"
#include "rvk/pipeline.hpp"

namespace rvk::gzip {

namespace {

constexpr std::uint8_t kFhcrc = 0x02;
constexpr std::uint8_t kFextra = 0x04;
constexpr std::uint8_t kFname = 0x08;
constexpr std::uint8_t kFcomment = 0x10;

std::uint32_t load_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

std::string hex(std::uint64_t value, int width) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%0*llx", width, static_cast<unsigned long long>(value));
  return buf;
}

// Decodes one member's DEFLATE data, choosing the path: serially when little
// input is left or one thread is configured; otherwise the start of the
// member (its first 512 KiB of data) is decoded serially, and only a member
// that goes on past it is handed to the workers. A file of many small
// members thus never starts a thread, nor pays for more than its members'
// own decoding; the output is the same either way, and a fault in the first
// 512 KiB is the serial decoder's.
Result<DeflateResult> decode_member_data(std::span<const std::uint8_t> input,
                                         std::uint64_t data_start, output::PipeWriter& sink,
                                         std::uint32_t member_index, std::uint64_t decoded_offset,
                                         const DecodeOptions& options, SerialWorkspace& workspace) {
  const std::uint64_t remaining = input.size() - data_start;
  if (remaining < kParallelMinimum)
    return decompress_deflate_serial_stream(input, data_start, sink, member_index, decoded_offset,
                                            workspace);
  const std::uint64_t threads = pipeline::worker_count(options.threads);
  if (threads <= 1)
    return decompress_deflate_serial_stream(input, data_start, sink, member_index, decoded_offset,
                                            workspace);
  RVK_TRY_ASSIGN(SerialPrefix prefix, decode_serial_prefix(input, 8 * data_start,
                                                           8 * data_start + 8 * kGridBytes, sink, workspace));
  return continue_deflate_parallel_stream(input, data_start, sink, decoded_offset, threads,
                                          options.memory_limit, std::move(prefix), workspace);
}

}  // namespace

error::Error invalid_at(std::uint64_t position, std::string_view message) {
  std::string text = "at byte " + std::to_string(position) + ": ";
  text.append(message);
  return error::Error::invalid_gzip(std::move(text));
}

error::Error invalid_bit(std::uint64_t position, std::string_view message) {
  std::string text = "at bit " + std::to_string(position) + ": ";
  text.append(message);
  return error::Error::invalid_gzip(std::move(text));
}

Result<std::vector<std::uint8_t>> read_zero_terminated(std::span<const std::uint8_t> input,
                                                       std::uint64_t& cursor,
                                                       std::string_view field) {
  const std::uint64_t n = input.size();
  const std::uint64_t start = std::min(cursor, n);
  const std::uint8_t* begin = input.data() + start;
  const std::uint8_t* end = input.data() + n;
  const std::uint8_t* zero = std::find(begin, end, std::uint8_t{0});
  if (zero == end) return invalid_at(cursor, "unterminated " + std::string(field));
  std::vector<std::uint8_t> bytes(begin, zero);
  cursor = static_cast<std::uint64_t>(zero - input.data()) + 1;
  return bytes;
}

Result<std::uint64_t> parse_member_header(std::span<const std::uint8_t> input, std::uint64_t p) {
  const std::uint64_t n = input.size();
  if (p > n || n - p < 10) return invalid_at(p, "truncated member header");
  const std::uint8_t* h = input.data() + p;
  if (h[0] != 0x1F || h[1] != 0x8B) return invalid_at(p, "missing 1f 8b magic");
  if (h[2] != 8) return invalid_at(p + 2, "unsupported compression method " + std::to_string(h[2]));
  const std::uint8_t flags = h[3];
  if (flags >= 0x20) return invalid_at(p + 3, "reserved header flags set: " + hex(flags, 2));
  std::uint64_t cursor = p + 10;
  if (flags & kFextra) {
    if (n - p < 12) return invalid_at(p + 10, "truncated FEXTRA length");
    const std::uint64_t xlen = std::uint64_t{h[10]} | std::uint64_t{h[11]} << 8;
    if (n - p - 12 < xlen) return invalid_at(p + 12, "truncated FEXTRA data");
    cursor = p + 12 + xlen;
  }
  if (flags & kFname) {
    RVK_TRY(read_zero_terminated(input, cursor, "FNAME"));
  }
  if (flags & kFcomment) {
    RVK_TRY(read_zero_terminated(input, cursor, "FCOMMENT"));
  }
  if (flags & kFhcrc) {
    const std::uint64_t c = cursor;
    if (n - c < 2) return invalid_at(c, "truncated FHCRC");
    const std::uint32_t stored = std::uint32_t{input[c]} | std::uint32_t{input[c + 1]} << 8;
    const std::uint32_t computed = checksum::crc32(input.subspan(p, c - p)) & 0xFFFF;
    if (stored != computed)
      return invalid_at(c, "header CRC16 mismatch: expected " + hex(stored, 4) + ", decoded " +
                               hex(computed, 4));
    cursor = c + 2;
  }
  return cursor;
}

Result<std::uint64_t> check_member_trailer(std::span<const std::uint8_t> input,
                                           std::uint64_t end_bit, std::uint64_t decoded_size,
                                           std::uint32_t crc) {
  const std::uint64_t n = input.size();
  const std::uint64_t t = end_bit / 8 + (end_bit % 8 != 0 ? 1 : 0);
  if (t > n || n - t < 8) return invalid_at(t, "truncated member trailer");
  const std::uint32_t stored_crc = load_le32(input.data() + t);
  const std::uint32_t stored_size = load_le32(input.data() + t + 4);
  if (stored_crc != crc)
    return invalid_at(t, "CRC32 mismatch: expected " + hex(stored_crc, 8) + ", decoded " + hex(crc, 8));
  const std::uint32_t size32 = static_cast<std::uint32_t>(decoded_size);
  if (stored_size != size32)
    return invalid_at(t + 4, "ISIZE mismatch: expected " + std::to_string(stored_size) +
                                 ", decoded " + std::to_string(size32));
  return t + 8;
}

Result<void> decompress_to_sink_with_options_and_progress(std::span<const std::uint8_t> input,
                                                          output::PipeWriter& sink,
                                                          const DecodeOptions& options,
                                                          const ProgressFn& progress) {
  if (input.empty()) return error::Error::invalid_gzip("input contains no gzip members");
  const std::uint64_t n = input.size();
  SerialWorkspace workspace;
  std::uint64_t position = 0;
  std::uint64_t member_index = 0;
  std::uint64_t decoded_offset = 0;
  for (;;) {
    RVK_TRY_ASSIGN(const std::uint64_t data_start, parse_member_header(input, position));
    if (member_index > std::numeric_limits<std::uint32_t>::max())
      return error::Error::invalid_gzip("too many gzip members");
    RVK_TRY_ASSIGN(const DeflateResult data,
                   decode_member_data(input, data_start, sink,
                                      static_cast<std::uint32_t>(member_index), decoded_offset,
                                      options, workspace));
    RVK_TRY_ASSIGN(const std::uint64_t after,
                   check_member_trailer(input, data.end_bit, data.size, data.crc));
    sink.mark_verified();  // the member's bytes went out before its CRC was known
    if (decoded_offset + data.size < decoded_offset)
      return error::Error::invalid_gzip("decoded offset overflow");
    decoded_offset += data.size;
    if (progress) progress(Progress{after, decoded_offset});
    position = after;
    if (position == n) return ok();
    if (std::all_of(input.begin() + static_cast<std::ptrdiff_t>(position), input.end(),
                    [](std::uint8_t b) { return b == 0; }))
      return ok();
    ++member_index;
  }
}

}  // namespace rvk::gzip
