// gzip (RFC 1952) decoding: member headers and trailers, the serial DEFLATE
// decoder of one member, and the member loop that decodes a whole gzip input
// into the byte pipe.
//
// Positions in errors are absolute: byte positions ("at byte {}: {}") for the
// framing, bit positions ("at bit {}: {}", least significant bit first) for
// the DEFLATE data, both counted from the start of the whole input, which is
// why every function here takes the whole input and a position in it rather
// than a slice.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rvk/options.hpp"
#include "rvk/pipe.hpp"
#include "rvk/result.hpp"

namespace rvk::gzip {

// InvalidGzip with the text "at byte {position}: {message}".
error::Error invalid_at(std::uint64_t position, std::string_view message);
// InvalidGzip with the text "at bit {position}: {message}".
error::Error invalid_bit(std::uint64_t position, std::string_view message);

// Reads a zero-terminated header field (FNAME or FCOMMENT) from `cursor`:
// returns its bytes without the zero and moves `cursor` past the zero. No
// zero before the end: "unterminated {field}" at the cursor.
Result<std::vector<std::uint8_t>> read_zero_terminated(std::span<const std::uint8_t> input,
                                                       std::uint64_t& cursor,
                                                       std::string_view field);

// Parses the member header at byte `position` and returns the position of
// its DEFLATE data. Errors carry the positions and texts of the header
// rules ("truncated member header", "missing 1f 8b magic", ...).
Result<std::uint64_t> parse_member_header(std::span<const std::uint8_t> input,
                                          std::uint64_t position);

// Checks the trailer after a member's DEFLATE data ended at `end_bit`, given
// the member's decoded size and CRC-32; returns the position just past the
// trailer. The CRC is checked before the size.
Result<std::uint64_t> check_member_trailer(std::span<const std::uint8_t> input,
                                           std::uint64_t end_bit, std::uint64_t decoded_size,
                                           std::uint32_t crc);

// What decoding one member's DEFLATE data gives: the bit just past its final
// block, the decoded size and the CRC-32 of the decoded bytes.
struct DeflateResult {
  std::uint64_t end_bit = 0;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};

// Reusable memory of the serial decoder (history buffer, table storage), so
// that a file of many small members does not allocate per member. Owned by
// one thread at a time.
class SerialWorkspace {
 public:
  SerialWorkspace();
  ~SerialWorkspace();
  SerialWorkspace(const SerialWorkspace&) = delete;
  SerialWorkspace& operator=(const SerialWorkspace&) = delete;

  struct State;
  State& state() { return *state_; }

 private:
  State* state_;
};

// Decodes the DEFLATE data that starts at byte `start_byte` of `input` up to
// the end of its final block, sending every decoded byte in order to `sink`
// in chunks of at least 64 KiB (the member's last chunk excepted). Returns
// the end bit, size and CRC-32, or the first error (InvalidGzip with the
// DEFLATE messages, or the send's Io error). `member_index` and
// `decoded_offset` identify the member for the caller. Runs on the calling
// thread.
Result<DeflateResult> decompress_deflate_serial_stream(std::span<const std::uint8_t> input,
                                                       std::uint64_t start_byte,
                                                       output::PipeWriter& sink,
                                                       std::uint32_t member_index,
                                                       std::uint64_t decoded_offset);
// The same, using the caller's workspace.
Result<DeflateResult> decompress_deflate_serial_stream(std::span<const std::uint8_t> input,
                                                       std::uint64_t start_byte,
                                                       output::PipeWriter& sink,
                                                       std::uint32_t member_index,
                                                       std::uint64_t decoded_offset,
                                                       SerialWorkspace& workspace);

// The gzip member loop: decodes every member of `input` in order into
// `sink`, checking each header and trailer; zero bytes after the last member
// are ignored. Errors: "input contains no gzip members" for an empty input,
// the framing and DEFLATE errors, "too many gzip members", "decoded offset
// overflow", or the send's Io error. Bytes sent before a failure stay sent.
Result<void> decompress_to_sink_with_options_and_progress(std::span<const std::uint8_t> input,
                                                          output::PipeWriter& sink,
                                                          const DecodeOptions& options,
                                                          const ProgressFn& progress);

}  // namespace rvk::gzip
