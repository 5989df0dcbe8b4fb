// Stream dispatch: one whole compressed input, any supported format, into
// the byte pipe.
//
// The feeder thread of a reader runs exactly this: it picks the format's
// decoder and applies the checks every gzip and LZ4 path shares (the memory
// limit must at least hold one bzip2-sized job; the bzip2 path checks its own
// minimum with the same constant).
#pragma once

#include <cstdint>
#include <span>

#include "rvk/options.hpp"
#include "rvk/pipe.hpp"
#include "rvk/result.hpp"

namespace rvk::stream {

enum class StreamFormat : std::uint8_t {
  Bzip2 = 0,
  Gzip = 1,
  Lz4 = 2,
  Zip = 3,  // recognised only to be refused
};

// The smallest memory limit a decoder accepts: the largest output of one
// bzip2 level-9 block, the reservation of one parallel job.
inline constexpr std::uint64_t kMinMemoryLimit = 46620004;

// Decodes the whole `input` as `format` into `sink`, on the calling thread
// (parallel paths start and end their workers inside the call). Returns
// success once every byte was sent, or the first error; never closes `sink`.
Result<void> decode_stream_to_sink_with_progress(StreamFormat format, std::span<const std::uint8_t> input,
                                                 output::PipeWriter& sink, const DecodeOptions& options,
                                                 const ProgressFn& progress);

}  // namespace rvk::stream
