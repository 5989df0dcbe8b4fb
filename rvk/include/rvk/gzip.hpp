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
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rvk/checksum.hpp"
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

// Decodes DEFLATE blocks from bit `start_bit` to the end of the final
// block, as if `history` (at most 32 KiB, possibly empty) had been decoded
// just before: back-references may reach into it, but it is not sent or
// counted. Used to continue a member serially from a known block boundary.
Result<DeflateResult> decode_serial_from(std::span<const std::uint8_t> input,
                                          std::uint64_t start_bit, output::PipeWriter& sink,
                                          std::span<const std::uint8_t> history,
                                          SerialWorkspace& workspace);

// ---------------------------------------------------------------------------
// Parallel decoding of one large member
//
// A segment is a piece of a member's DEFLATE data decoded from a guessed
// block boundary without the 32 KiB of output before it. Its output starts as
// 16-bit symbols: 0-255 are bytes, 32768 + i is a marker for byte i of the
// predecessor window (i = 32767 is the byte just before the segment). Once
// the last 32 KiB of symbols hold no marker (checked at block ends) the
// segment continues in plain bytes, keeping a copy of those 32 KiB in front
// of its own bytes as history.

inline constexpr std::uint64_t kSegmentBudget = 8388608;        // symbols/bytes per segment
inline constexpr std::uint64_t kJobReservation = 16842752;      // 16 MiB + 64 KiB
inline constexpr std::uint64_t kGridBytes = 524288;             // 512 KiB of input per job
inline constexpr std::uint64_t kSearchBytes = 1048576;          // boundary search range
inline constexpr std::uint64_t kParallelMinimum = 16777216;     // input left for the parallel path

// An allocator whose resize leaves new elements uninitialised: symbol arrays
// are sized to their room up front and written before they are read.
template <class T>
struct UninitAllocator {
  using value_type = T;
  UninitAllocator() = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <class U>
  bool operator==(const UninitAllocator<U>&) const noexcept { return true; }
};

using Symbols = std::vector<std::uint16_t, UninitAllocator<std::uint16_t>>;

// Memory the segments of one member share: spare symbol arrays (a
// segment's array goes back here after resolution and the next segment
// decoded on any worker takes it) and the pipe's bin of spent byte buffers.
// Reusing them spares the kernel zeroing and faulting in several MiB per
// segment, which costs about as much as decoding into them. Holds at most
// as many arrays as were in use at once. Safe from any thread.
class SegmentMemory {
 public:
  explicit SegmentMemory(std::shared_ptr<output::BufferBin> bin = nullptr) : bin_(std::move(bin)) {}

  // An array of `room` elements (contents unspecified).
  Symbols take_symbols(std::size_t room);
  void give_symbols(Symbols symbols);
  // A byte buffer of `size` bytes (contents unspecified); fresh ones get a
  // capacity rounded up to 512 KiB so that they fit later requests too.
  output::Bytes take_bytes(std::size_t size);

 private:
  std::mutex mutex_;
  std::vector<Symbols> spare_;  // guarded by mutex_
  std::shared_ptr<output::BufferBin> bin_;
};

struct Segment {
  Symbols symbols;                     // symbol-mode output (may hold markers)
  std::vector<std::uint8_t> bytes;     // byte-mode output, history copy first
  std::size_t bytes_start = 0;         // where the segment's own bytes begin in `bytes`
  checksum::Crc32 tail_crc;            // CRC-32 of bytes[bytes_start..]
  std::uint64_t start_bit = 0;         // where decoding began
  std::uint64_t end_bit = 0;           // just past the last block (byte-rounded if final)
  bool is_final = false;               // the last block had BFINAL set

  std::uint64_t output_size() const noexcept { return symbols.size() + bytes.size() - bytes_start; }
};

// Decodes blocks from `start_bit` into a segment: up to the final block, or
// up to the end of the first dynamic block that ends at or past `end_bit`.
// `speculative`: the history before the segment is unknown (symbol mode
// with markers); otherwise the segment starts a member (byte mode, and
// distances beyond the output are errors). At most `budget` symbols and
// bytes: "parallel DEFLATE chunk exceeded its memory budget". Other errors
// are the serial decoder's. Safe from any thread.
Result<Segment> decode_segment(std::span<const std::uint8_t> input, std::uint64_t start_bit,
                               std::uint64_t end_bit, bool speculative, std::uint64_t budget);

// Where a non-final segment may end: after a dynamic block (the grid rule,
// so that the next segment starts where a boundary search can find it), or
// after any block (to decode a short gap between two segments exactly).
enum class SegmentStop : std::uint8_t { AfterDynamic, AnyBlock };

// `memory` (optional): where the segment's arrays come from.
Result<Segment> decode_segment(std::span<const std::uint8_t> input, std::uint64_t start_bit,
                               std::uint64_t end_bit, bool speculative, std::uint64_t budget,
                               SegmentStop stop, SegmentMemory* memory = nullptr);

// Replaces the markers of `symbols` by bytes of `window` (at most 32 KiB,
// right-aligned against the marker indices). A marker before the window's
// start: "speculative marker references unavailable predecessor history".
Result<std::vector<std::uint8_t>> resolve_symbols(std::span<const std::uint16_t> symbols,
                                                  std::span<const std::uint8_t> window);

// A segment with its markers resolved, ready to send.
struct ResolvedSegment {
  std::vector<std::uint8_t> prefix;  // the resolved symbols
  std::vector<std::uint8_t> bytes;   // the segment's bytes, own bytes from bytes_start
  std::size_t bytes_start = 0;
  checksum::Crc32 crc;               // of prefix ++ bytes[bytes_start..]
};

// `memory` (optional): where the resolved bytes' buffer comes from and the
// symbol array goes back to.
Result<ResolvedSegment> resolve_segment(Segment segment, std::span<const std::uint8_t> window,
                                        SegmentMemory* memory = nullptr);

// The predecessor window of the segment after `segment`: the last (up to)
// 32 KiB of `window` followed by the segment's output.
Result<std::vector<std::uint8_t>> successor_window(const Segment& segment,
                                                   std::span<const std::uint8_t> window);

// Decodes one member's DEFLATE data on `threads` (≥ 2) workers, given the
// successful probe segment that starts it; same result and output as the
// serial decoder.
Result<DeflateResult> decompress_deflate_parallel_stream(std::span<const std::uint8_t> input,
                                                         std::uint64_t data_start,
                                                         output::PipeWriter& sink,
                                                         std::uint32_t member_index,
                                                         std::uint64_t decoded_offset,
                                                         std::uint64_t threads,
                                                         std::uint64_t memory_limit,
                                                         Segment probe, SerialWorkspace& workspace);

// The start of a member's DEFLATE data decoded serially into the sink: up
// to the first dynamic block ending at or past `stop_bit`, or to the final
// block. `result` is what decoding gave so far (its end_bit the bit after
// the last block decoded), `window` the last (up to) 32 KiB of output.
struct SerialPrefix {
  DeflateResult result;
  bool final = false;
  std::vector<std::uint8_t> window;
};
Result<SerialPrefix> decode_serial_prefix(std::span<const std::uint8_t> input, std::uint64_t start_bit,
                                          std::uint64_t stop_bit, output::PipeWriter& sink,
                                          SerialWorkspace& workspace);

// The rest of a member whose start `prefix` decoded (nothing more when it
// reached the final block), on `threads` (≥ 2) workers; the result covers the
// whole member.
Result<DeflateResult> continue_deflate_parallel_stream(std::span<const std::uint8_t> input,
                                                       std::uint64_t data_start, output::PipeWriter& sink,
                                                       std::uint64_t decoded_offset, std::uint64_t threads,
                                                       std::uint64_t memory_limit, SerialPrefix prefix,
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
