// The decoded stream reader: one compressed file as one byte stream.
//
// `Reader::open` maps the file (guarded: a file cut short meanwhile is
// reported, never a SIGBUS; see src/reader/source.hpp), decides the format
// (magic bytes first, then the file name's extension) and starts one feeder
// thread, "rvk-reader", that decodes the mapped bytes into a rendezvous pipe. `read` copies out of the
// chunk it holds and blocks for the next; when the pipe closes, the decoder's
// outcome arrives on a one-slot channel and becomes end of stream or a sticky
// error. Destroying the reader stops the decoder (its next send or
// reader-stopped check fails) and waits for the feeder thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "rvk/error.hpp"
#include "rvk/result.hpp"
#include "rvk/stream.hpp"

namespace rvk::reader {

// The worker count configured by RVK_NUM_THREADS: an optional "+" and ASCII
// digits fitting u64 (leading zeros allowed); anything else (unset, empty,
// signs, spaces, 2^64 or more) gives 4. Values above 1024 are clamped to 1024.
std::uint64_t threads_from_env();
// The parse itself: nullopt for anything malformed.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The format by content (magic bytes); nullopt when no magic matches.
// ZIP magic gives Zip.
std::optional<stream::StreamFormat> format_by_content(std::span<const std::uint8_t> bytes);
// The format by the path's extension (case-insensitive); nullopt for an
// unknown or missing extension. "zip" gives Zip.
std::optional<stream::StreamFormat> format_by_name(std::string_view path);

// The path as error messages show it: invalid UTF-8 replaced by U+FFFD.
std::string display_path(std::string_view path);

class Reader {
 public:
  // Opens `path`. Errors: Io with the OS error (open, size, map), Io
  // "could not start the decoder thread: {OS error}", Io InvalidData "memory
  // map length overflows isize", Io InvalidInput "a compressed input must be
  // a regular file[, not a FIFO]",
  // UnsupportedFormat for ZIP content or name ("rvk::Reader supports bzip2,
  // gzip, and LZ4 streams") and for unknown formats ("cannot determine
  // compression format for {path}; expected a bzip2, gzip, LZ4, or ZIP
  // extension or magic").
  static Result<Reader> open(const std::string& path);

  Reader(Reader&&) noexcept;
  Reader& operator=(Reader&&) noexcept;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  // Stops the decoder and waits for the feeder thread.
  ~Reader();

  // Copies up to buffer.size() decoded bytes (never from two chunks) and
  // returns the count; 0 means end of stream (or an empty buffer). Failures
  // are Error::Io (kind and message): the decoder's error converted by
  // Error::to_io_error, "rvk decoder worker panicked" or "rvk decoder stopped
  // without reporting completion" (kind Other); when the file changed while
  // it was decoded, the change replaces whatever the decoder reported: "the
  // input file was cut short while it was read (from N to M bytes)" or "the
  // input file changed while it was read" (InvalidData). After a failure every
  // non-empty read returns the same error; after the end, 0. One thread at a
  // time.
  Result<std::size_t> read(std::span<std::uint8_t> buffer);

  // Finishes checking the bytes read so far: decodes on, discarding the
  // output, until everything read has passed its format's integrity check
  // (for gzip, the trailer of the member being read), and returns the
  // decoder's failure if it meets one. For a caller that found the decoded
  // bytes wrong and must tell a damaged input from a wrong one; the stream
  // is not read further afterwards (reads fail).
  Result<void> verify_read();

  stream::StreamFormat format() const noexcept;

 private:
  struct State;
  explicit Reader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace rvk::reader
