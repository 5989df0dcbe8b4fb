// The LZ4 frame walk: frames one after another, linked frames serially with
// a 64 KiB history, independent frames in batches on a pool.
//
// Batching balances thread start-up against parallelism: a batch gathers at
// least T blocks and about 1 MiB of estimated work (at most 64 blocks) before
// it goes to the ordered pipeline; smaller batches, and batches of plain
// stored blocks without checksums, are cheaper to do on the feeder thread.
// Decoded blocks are committed in frame order on the feeder thread only.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "rvk/lz4.hpp"

namespace rvk::lz4 {

namespace {

Error invalid(std::string text) { return Error::invalid_lz4(std::move(text)); }

std::string hex8(std::uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%08x", value);
  return buffer;
}

constexpr std::uint64_t kBatchWork = 1048576;
constexpr std::size_t kBatchBlocks = 64;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// Work a block adds to its batch's estimate: decoding a compressed block,
// hashing a checksummed stored one; a plain stored block costs nothing.
std::uint64_t work_of(const BlockLayout& layout, std::uint64_t block_max) {
  if (!layout.uncompressed) return block_max;
  return layout.checksum ? layout.data_end - layout.data_start : 0;
}

Result<void> decode_serially(Input input, std::span<const BlockLayout> blocks, std::uint64_t block_max,
                             FrameCommitter& committer) {
  for (const BlockLayout& layout : blocks) {
    RVK_TRY_ASSIGN(DecodedBlock block, decode_layout_block(input, layout, {}, block_max, committer.bin()));
    RVK_TRY(committer.commit(std::move(block)));
  }
  return {};
}

Result<void> decode_on_pool(Input input, std::span<const BlockLayout> blocks, const FrameHeader& header,
                            std::size_t threads, std::uint64_t memory_limit, PoolSlot& slot,
                            FrameCommitter& committer) {
  if (!slot) {
    auto made = pipeline::ThreadPool::create(threads, "rvk-lz4-");
    // Not a single worker thread to be had (a cap on the user's
    // processes): the feeder thread decodes the blocks alone.
    if (!made.ok()) return decode_serially(input, blocks, header.block_max, committer);
    slot = std::move(made).value();
  }
  const std::uint64_t block_max = header.block_max;
  pipeline::OrderedJobs<BlockLayout, DecodedBlock> jobs{
      blocks,
      [block_max](const BlockLayout& b) { return b.uncompressed ? std::uint64_t{0} : block_max; },
      [input, block_max, bin = committer.bin()](const BlockLayout& b) {
        return decode_layout_block(input, b, {}, block_max, bin);
      },
      [](const DecodedBlock& d) -> std::uint64_t {
        const auto* bytes = std::get_if<output::Bytes>(&d);
        return bytes ? bytes->capacity() : 0;
      },
      {}};
  return pipeline::run_ordered(*slot, jobs, memory_limit, threads + 2,
                               [&](pipeline::OrderedResults<DecodedBlock>& results) -> Result<void> {
                                 for (std::uint64_t i = 0; i < blocks.size(); ++i) {
                                   RVK_TRY_ASSIGN(DecodedBlock block, results.take(i));
                                   RVK_TRY(committer.commit(std::move(block)));
                                 }
                                 return {};
                               });
}

Result<void> decode_linked(Input input, const FrameHeader& header, std::uint64_t& cursor,
                           output::PipeWriter& sink, FrameCommitter& committer) {
  std::vector<std::uint8_t> history;
  history.reserve(kLinkedHistory);
  for (;;) {
    RVK_TRY(sink.check_reader());
    RVK_TRY_ASSIGN(std::optional<BlockLayout> layout, next_block(input, cursor, header));
    if (!layout) return {};
    RVK_TRY_ASSIGN(DecodedBlock block,
                   decode_layout_block(input, *layout, history, header.block_max, committer.bin()));
    std::span<const std::uint8_t> bytes;
    if (const auto* owned = std::get_if<output::Bytes>(&block)) {
      bytes = *owned;
    } else {
      const auto& range = std::get<InputRange>(block);
      bytes = input.subspan(range.start, range.end - range.start);
    }
    // The history becomes the last 64 KiB of (history ++ block).
    if (bytes.size() >= kLinkedHistory) {
      history.assign(bytes.end() - kLinkedHistory, bytes.end());
    } else {
      const std::size_t keep = std::min(history.size(), kLinkedHistory - bytes.size());
      history.erase(history.begin(), history.end() - static_cast<std::ptrdiff_t>(keep));
      history.insert(history.end(), bytes.begin(), bytes.end());
    }
    RVK_TRY(committer.commit(std::move(block)));
  }
}

}  // namespace

Result<void> FrameCommitter::commit(DecodedBlock block) {
  // Small blocks (a frame of a few bytes) go out batched with the next ones.
  auto* owned = std::get_if<output::Bytes>(&block);
  std::span<const std::uint8_t> bytes;
  if (owned) {
    bytes = *owned;
  } else {
    const auto& range = std::get<InputRange>(block);
    bytes = input_.subspan(range.start, range.end - range.start);
  }
  if (content_hasher_) content_hasher_->update(bytes);
  const std::uint64_t n = bytes.size();
  if (decoded_ > std::numeric_limits<std::uint64_t>::max() - n) return invalid("decoded length overflows u64");
  if (owned) {
    RVK_TRY(sink_.send_batched(std::move(*owned)));
  } else {
    RVK_TRY(sink_.send_copy(bytes));
  }
  decoded_ += n;
  return {};
}

Result<void> decode_independent(Input input, const FrameHeader& header, std::uint64_t& cursor,
                                const DecodeOptions& options, PoolSlot& slot, FrameCommitter& committer) {
  // 0 threads: the processors, but at most 4 (more rarely pays for LZ4).
  // Asked for only when a frame has a second block: a frame of one block is
  // decoded on this thread whatever the count, and asking costs a system
  // call, which a file of many tiny frames would pay per frame.
  std::size_t worker_count = 0;
  const auto threads = [&] {
    if (worker_count == 0) worker_count = pipeline::worker_count(options.threads, 4);
    return worker_count;
  };
  const auto serial = [&] { return threads() == 1 || options.memory_limit / header.block_max < 2; };

  std::vector<BlockLayout> batch;
  for (;;) {
    RVK_TRY(committer.check_reader());
    batch.clear();
    std::uint64_t work = 0;
    std::optional<Error> pending;  // a header error, reported after the batch
    bool at_end = false;
    for (;;) {
      // (Nothing to decide before the end mark.)
      const bool end_mark_next = input.size() >= 4 && cursor <= input.size() - 4 &&
                                 (input[cursor] | input[cursor + 1] | input[cursor + 2] | input[cursor + 3]) == 0;
      if (!batch.empty() && !end_mark_next &&
          (serial() || batch.size() >= kBatchBlocks || (batch.size() >= threads() && work >= kBatchWork))) {
        break;
      }
      auto layout = next_block(input, cursor, header);
      if (!layout.ok()) {
        pending.emplace(std::move(layout).error());
        break;
      }
      if (!*layout) {
        at_end = true;
        break;
      }
      work = saturating_add(work, work_of(**layout, header.block_max));
      batch.push_back(**layout);
    }

    const bool all_plain = std::all_of(batch.begin(), batch.end(), [](const BlockLayout& b) {
      return b.uncompressed && !b.checksum;
    });
    if (batch.size() <= 1 || work < kBatchWork || all_plain || serial()) {
      RVK_TRY(decode_serially(input, batch, header.block_max, committer));
    } else {
      RVK_TRY(decode_on_pool(input, batch, header, threads(), options.memory_limit, slot, committer));
    }
    if (pending) return std::move(*pending);
    if (at_end) return {};
  }
}

Result<void> decompress_to_sink_with_options_and_progress(Input input, output::PipeWriter& sink,
                                                          const DecodeOptions& options,
                                                          const ProgressFn& progress) {
  if (input.empty()) return invalid("input contains no LZ4 frames");
  PoolSlot slot;  // released when the walk returns, whatever the outcome
  std::uint64_t pos = 0;
  std::uint64_t frames = 0;
  std::uint64_t total = 0;
  while (pos < input.size()) {
    RVK_TRY(sink.check_reader());
    RVK_TRY_ASSIGN(std::uint32_t magic, read_u32(input, pos, "frame magic"));
    if ((magic & 0xFFFFFFF0u) == kSkippableMagic) {
      RVK_TRY_ASSIGN(std::uint32_t length, read_u32(input, pos + 4, "skippable-frame length"));
      const std::uint64_t end = pos + 8 + length;  // cannot overflow: pos < input size
      if (end > input.size()) return invalid("skippable frame exceeds the input");
      pos = end;
      continue;
    }
    if (magic != kFrameMagic) {
      if (magic == kLegacyMagic) return invalid("legacy LZ4 frames are not supported");
      return invalid("wrong magic " + hex8(magic) + " at byte " + std::to_string(pos));
    }
    RVK_TRY_ASSIGN(FrameHeader header, parse_frame_header(input, pos));
    if (frames > std::numeric_limits<std::uint32_t>::max()) return invalid("too many frames");

    FrameCommitter committer(input, sink, header.content_checksum);
    std::uint64_t cursor = header.first_block;
    if (header.linked) {
      RVK_TRY(decode_linked(input, header, cursor, sink, committer));
    } else {
      RVK_TRY(decode_independent(input, header, cursor, options, slot, committer));
    }
    if (header.content_size && *header.content_size != committer.decoded()) {
      return invalid("content size mismatch: expected " + std::to_string(*header.content_size) + ", decoded " +
                     std::to_string(committer.decoded()));
    }
    if (header.content_checksum) {
      RVK_TRY_ASSIGN(std::uint32_t stored, read_u32(input, cursor, "content checksum"));
      cursor += 4;
      const std::uint32_t computed = committer.content_digest();
      if (stored != computed) {
        return invalid("content checksum mismatch: expected " + hex8(stored) + ", decoded " + hex8(computed));
      }
    }
    if (total > std::numeric_limits<std::uint64_t>::max() - committer.decoded()) {
      return invalid("decoded length overflows u64");
    }
    total += committer.decoded();
    sink.mark_verified();
    ++frames;
    pos = cursor;
    if (progress) progress(Progress{pos, total});
  }
  if (frames == 0) return invalid("input contains no LZ4 frames");
  return {};
}

}  // namespace rvk::lz4
