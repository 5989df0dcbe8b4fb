// LZ4 frame decoding into the byte pipe.
//
// An LZ4 input is a sequence of frames (magic 0x184D2204) with skippable
// frames between them. Frames whose blocks are independent are decoded in
// batches on a private pool ("rvk-lz4-N") through the ordered job pipeline;
// linked frames, whose matches reach back into earlier blocks, are decoded
// serially with a 64 KiB history. Every block is committed on the calling
// (feeder) thread in order: hashed into the content checksum and sent to the
// pipe as one owned buffer, so checksum and size errors surface after the
// frame's bytes were delivered. All data errors are Error::InvalidLz4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "rvk/checksum.hpp"
#include "rvk/options.hpp"
#include "rvk/pipe.hpp"
#include "rvk/pipeline.hpp"
#include "rvk/result.hpp"

namespace rvk::lz4 {

using Input = std::span<const std::uint8_t>;

inline constexpr std::uint32_t kFrameMagic = 0x184D2204;
inline constexpr std::uint32_t kLegacyMagic = 0x184C2102;
inline constexpr std::uint32_t kSkippableMagic = 0x184D2A50;  // top 28 bits
inline constexpr std::size_t kLinkedHistory = 65536;

// The parsed frame descriptor.
struct FrameHeader {
  std::optional<std::uint64_t> content_size;
  std::uint64_t first_block = 0;  // position of the first block's size word
  std::uint64_t block_max = 0;    // block maximum in bytes
  bool linked = false;            // blocks may refer into earlier blocks
  bool block_checksum = false;
  bool content_checksum = false;
};

// A located block: its stored data range and checksum.
struct BlockLayout {
  std::optional<std::uint32_t> checksum;
  std::uint64_t data_start = 0;
  std::uint64_t data_end = 0;
  bool uncompressed = false;
};

// Where a block's decoded bytes are: an input range (uncompressed block,
// nothing copied) or an owned buffer (compressed block; its capacity is the
// frame's block maximum).
struct InputRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};
using DecodedBlock = std::variant<output::Bytes, InputRange>;

// The little-endian u32 at `pos`, or "truncated {label} at byte {pos}".
Result<std::uint32_t> read_u32(Input input, std::uint64_t pos, std::string_view label);

// Parses the frame descriptor of the frame whose magic is at `p`.
Result<FrameHeader> parse_frame_header(Input input, std::uint64_t p);

// Reads the block header at `cursor` (moved past the block and its checksum).
// nullopt is the end mark.
Result<std::optional<BlockLayout>> next_block(Input input, std::uint64_t& cursor, const FrameHeader& header);

// Verifies the block checksum (if any) and decodes the block. `dictionary` is
// the decoded data before the block that matches may reach (empty for
// independent blocks). The output buffer is taken from `bin` when it holds
// a large enough spent one, else allocated. Safe from any thread.
Result<DecodedBlock> decode_layout_block(Input input, const BlockLayout& layout,
                                         std::span<const std::uint8_t> dictionary, std::uint64_t block_max,
                                         output::BufferBin* bin = nullptr);

// XXH32 with seed 0.
inline std::uint32_t xxhash32(std::span<const std::uint8_t> bytes) { return checksum::xxh32(bytes, 0); }

// Commits one frame's blocks in order: content hash, pipe, decoded count.
// Feeder thread only.
class FrameCommitter {
 public:
  FrameCommitter(Input input, output::PipeWriter& sink, bool content_checksum)
      : input_(input), sink_(sink), bin_(sink.buffer_bin()) {
    if (content_checksum) content_hasher_.emplace(0);
  }

  // Where block decoders take spent output buffers from (the pipe's bin).
  output::BufferBin* bin() const noexcept { return bin_.get(); }

  // Hashes and sends the block's bytes (an uncompressed block's bytes are
  // copied out of the input), small ones batched (PipeWriter::send_batched).
  Result<void> commit(DecodedBlock block);

  // Success, or the broken-pipe error once the pipe's reader has gone.
  Result<void> check_reader() const { return sink_.check_reader(); }

  std::uint64_t decoded() const noexcept { return decoded_; }
  // The content checksum so far; meaningful when the frame has one.
  std::uint32_t content_digest() const noexcept { return content_hasher_ ? content_hasher_->digest() : 0; }

 private:
  Input input_;
  output::PipeWriter& sink_;
  std::shared_ptr<output::BufferBin> bin_;
  std::optional<checksum::Xxh32> content_hasher_;
  std::uint64_t decoded_ = 0;
};

// The frame walk's worker pool, created on first need and kept for the input.
using PoolSlot = std::unique_ptr<pipeline::ThreadPool>;

// Decodes and commits every block of an independent-block frame from
// `cursor` up to its end mark (cursor left after the end mark): serially, or
// in batches on the pool in `slot`.
Result<void> decode_independent(Input input, const FrameHeader& header, std::uint64_t& cursor,
                                const DecodeOptions& options, PoolSlot& slot, FrameCommitter& committer);

// Decodes the whole input (frames and skippable frames) into `sink`.
Result<void> decompress_to_sink_with_options_and_progress(Input input, output::PipeWriter& sink,
                                                          const DecodeOptions& options,
                                                          const ProgressFn& progress);

}  // namespace rvk::lz4
