// The input of a stream reader: a read-only shared map of the whole file,
// guarded against the file shrinking while it is read.
//
// The decoders read the map directly, from many threads. When the file is
// cut short meanwhile (a dump being replaced or downloaded again), touching a
// page past its new end raises SIGBUS, which would kill the process. A
// process-wide handler recognises faults inside a guarded map, puts zero
// pages in place of the lost ones and marks the map; the decoder then meets
// zeros, fails or finishes, and `changed` turns whatever it reported into
// "the input changed". The file stays open so that its size and modification
// time can be compared with those it had when it was mapped; the decoding
// paths pay nothing for the guard.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "rvk/result.hpp"

namespace rvk::reader {

namespace detail {
struct GuardSlot;
}

class Source {
 public:
  // Opens and maps `path`. Errors: Io with the OS error (open, size, map),
  // Io InvalidData "memory map length overflows isize", Io InvalidInput for
  // anything but a regular file ("a compressed input must be a regular file,
  // not a FIFO").
  static Result<std::shared_ptr<const Source>> open(const std::string& path);

  ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(map_), size_};
  }

  // The error to report when the file changed since it was mapped (cut
  // short, rewritten, or a page lost under the map); nothing otherwise.
  std::optional<Error> changed() const;

 private:
  Source() = default;
  int fd_ = -1;
  void* map_ = nullptr;
  std::size_t size_ = 0;
  std::size_t map_len_ = 0;
  struct timespec mtime_ {};
  detail::GuardSlot* guard_ = nullptr;
};

}  // namespace rvk::reader
