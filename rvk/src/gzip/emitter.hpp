// The serial decoder's output sink: a history buffer that hands decoded
// bytes to the byte pipe in owned chunks of at least 64 KiB.
//
// Layout of the buffer (one allocation, reused for every member through the
// `SerialWorkspace`):
//
//   buf_ ........ flushed_ ........ next ...... limit ... capacity
//   [ sent bytes, kept as history ][ pending ]
//
// `limit` is exactly `flushed_ + 64 KiB`, so the block decoder's one
// "next >= limit" test per symbol is both its bounds check and the flush
// trigger: a chunk is sent as soon as 64 KiB are pending. After a flush that
// leaves 1 MiB or more in the buffer, the last 32 KiB are moved to the front,
// so the window is slid about once per MiB of output. Back-references may
// reach `base` (the buffer's start), which always holds at least the last
// min(total, 32 KiB) bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "../deflate/inflate_block.hpp"
#include "crc32_fold.hpp"
#include "rvk/checksum.hpp"
#include "rvk/deflate.hpp"
#include "rvk/pipe.hpp"

namespace rvk::gzip {

class Emitter {
 public:
  using Elem = std::uint8_t;
  static constexpr std::size_t kHistory = 32768;
  static constexpr std::size_t kFlushAt = 65536;
  static constexpr std::size_t kSlideAt = 1 << 20;
  static constexpr std::size_t kCapacity = kSlideAt + kFlushAt + inflate::kSinkSlack + 64;

  // `buffer` must hold kCapacity bytes and outlive the emitter. `history`
  // (at most 32 KiB) is output that precedes this decode: back-references
  // may reach it, but it is neither sent nor counted.
  Emitter(std::uint8_t* buffer, output::PipeWriter& sink,
          std::span<const std::uint8_t> history = {})
      : base(buffer), next(buffer), limit(buffer + kFlushAt), buf_(buffer), flushed_(buffer),
        sink_(&sink) {
    if (!history.empty()) {
      std::memcpy(buffer, history.data(), history.size());
      next = flushed_ = buffer + history.size();
      limit = flushed_ + kFlushAt;
    }
  }

  // Sink pointers (see inflate_block.hpp).
  Elem* base;
  Elem* next;
  Elem* limit;

  Fault make_room() {
    if (sink_->reader_stopped()) return stop(error::Error::reader_stopped());
    if (static_cast<std::size_t>(next - flushed_) >= kFlushAt) {
      if (Fault f = flush()) return f;
      if (static_cast<std::size_t>(next - buf_) >= kSlideAt) {
        std::memmove(buf_, next - kHistory, kHistory);
        next = buf_ + kHistory;
        flushed_ = next;
      }
    }
    limit = flushed_ + kFlushAt;
    return {};
  }

  Fault put_literal(std::uint8_t byte) {
    if (next >= limit) {
      if (Fault f = make_room()) return f;
    }
    *next++ = byte;
    return {};
  }

  Fault put_match(std::uint32_t distance, std::uint32_t length) {
    const std::size_t have = static_cast<std::size_t>(next - base);
    if (distance > have)
      return Fault::plain(FaultKind::DistanceTooFar, distance, have < kHistory ? have : kHistory);
    if (next >= limit) {
      if (Fault f = make_room()) return f;
    }
    inflate::copy_match(next, distance, length);
    next += length;
    return {};
  }

  Fault put_stored(const std::uint8_t* bytes, std::size_t n) {
    while (n > 0) {
      if (next >= limit) {
        if (Fault f = make_room()) return f;
      }
      std::size_t k = static_cast<std::size_t>(limit - next);
      if (k > n) k = n;
      std::memcpy(next, bytes, k);
      next += k;
      bytes += k;
      n -= k;
    }
    return {};
  }

  // Sends whatever is pending (the member's last chunk, which may be short).
  Fault finish() { return flush(); }

  std::uint64_t total() const noexcept { return sent_ + static_cast<std::uint64_t>(next - flushed_); }
  // The last (up to) 32 KiB of output, history included: the window the
  // output after it may refer to.
  std::span<const std::uint8_t> recent() const noexcept {
    const std::size_t have = static_cast<std::size_t>(next - buf_);
    const std::size_t n = have < kHistory ? have : kHistory;
    return {next - n, n};
  }
  std::uint32_t crc() const noexcept { return crc_.value(); }

  // The error of a fault returned by this emitter or the block decoder.
  error::Error error_for(const Fault& f) {
    if (f.kind == FaultKind::SinkFailed && sink_error_) return std::move(*sink_error_);
    return fault_error(f);
  }

  Fault check_reader() {
    if (sink_->reader_stopped()) return stop(error::Error::reader_stopped());
    return {};
  }

 private:
  Fault stop(error::Error e) {
    sink_error_ = std::move(e);
    return Fault::plain(FaultKind::SinkFailed);
  }

  Fault flush() {
    const std::size_t n = static_cast<std::size_t>(next - flushed_);
    if (n == 0) return {};
    if (sent_ + n < sent_) return Fault::plain(FaultKind::OffsetOverflow);
    crc32_append(crc_, std::span<const std::uint8_t>(flushed_, n));
    // A member's last piece is often short: batched with the next members'.
    auto sent = sink_->send_copy(std::span<const std::uint8_t>(flushed_, n));
    if (!sent) return stop(std::move(sent).error());
    sent_ += n;
    flushed_ = next;
    return {};
  }

  std::uint8_t* buf_;
  std::uint8_t* flushed_;
  output::PipeWriter* sink_;
  std::uint64_t sent_ = 0;
  checksum::Crc32 crc_;
  std::optional<error::Error> sink_error_;
};

}  // namespace rvk::gzip
