// The decoder configuration handed from the stream reader to the decoders.
//
// Kept in its own small header so the format decoders (bzip2, gzip, LZ4) can
// take it without depending on the reader or the dispatch above them.
#pragma once

#include <cstdint>
#include <functional>

namespace rvk {

// 1 GiB: the memory limit every stream reader uses.
inline constexpr std::uint64_t kDefaultMemoryLimit = 1073741824;

struct DecodeOptions {
  // Worker threads of the parallel paths: 0 derives the count from the
  // machine (each decoder's own rule), 1 decodes serially where a serial path
  // exists. See rvk::pipeline::worker_count.
  std::uint64_t threads = 4;
  // Byte limit of the memory budgets of the parallel paths.
  std::uint64_t memory_limit = kDefaultMemoryLimit;
};

// A progress report; no decoder output depends on it and the stream reader
// passes a callback that ignores it.
struct Progress {
  std::uint64_t input_bytes = 0;   // compressed bytes consumed so far
  std::uint64_t output_bytes = 0;  // decoded bytes sent so far
};

using ProgressFn = std::function<void(const Progress&)>;

// A progress callback that does nothing.
inline ProgressFn no_progress() {
  return [](const Progress&) {};
}

}  // namespace rvk
