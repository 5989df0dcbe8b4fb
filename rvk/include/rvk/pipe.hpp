// The byte pipe every decoder writes to, and the one-slot outcome channel.
//
// Decoded bytes travel as owned buffers (`Chunk`) through a rendezvous
// channel: `PipeWriter::send` hands the buffer itself to the reader and blocks
// until the reader has taken it, so the pipe never holds more than the chunk
// being read and the one being handed over, and nothing is copied on the way.
// When the reader goes away it raises a shared `reader_stopped` flag first;
// decoders poll that flag at the heads of their loops (from any thread) and
// every later send fails with broken-pipe "output reader stopped reading", so
// a dropped reader stops the decoder promptly.
//
// The decoder's final outcome does not travel through the pipe: the feeder
// thread closes the pipe first and then sends success or the error on a
// one-slot channel (`OneshotSender<Result<void>>`), so a closed pipe tells the
// reader that the outcome is on its way.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "rvk/result.hpp"

namespace rvk::output {

using Bytes = std::vector<std::uint8_t>;

// One owned buffer of decoded bytes; delivery starts at `start`. A chunk in
// the pipe is never empty (start < bytes.size()). `hold`, when set, keeps the
// buffer charged to the decoder's memory budget: it is released when the
// reader is done with the chunk (or the chunk is dropped).
struct Chunk {
  Bytes bytes;
  std::size_t start = 0;
  std::shared_ptr<void> hold;
};

namespace detail {
struct PipeState;
}

// Spent chunk buffers that the reader hands back so decoders can reuse their
// memory: a fresh multi-megabyte buffer is page-faulted in and zeroed by the
// kernel on first touch, which costs more than decoding into it. Holds at
// most `max_bytes` of capacity and only buffers of at least 64 KiB (smaller
// ones are cheap to allocate). Safe from any thread.
class BufferBin {
 public:
  explicit BufferBin(std::size_t max_bytes = std::size_t{64} << 20) : max_bytes_(max_bytes) {}

  // A spent buffer whose capacity is at least `min_capacity` (size and
  // contents unspecified), or an empty vector when none is held.
  Bytes take(std::size_t min_capacity);
  // Keeps `buffer` for reuse if it is large enough and there is room;
  // otherwise releases it.
  void give(Bytes buffer);

 private:
  std::mutex mutex_;
  std::vector<Bytes> buffers_;  // guarded by mutex_
  std::size_t held_bytes_ = 0;  // guarded by mutex_
  const std::size_t max_bytes_;
};

// The sending end. Owned by the feeder thread; `send` must be called from one
// thread only. `reader_stopped` / `check_reader` are safe from any thread
// (decoder workers may poll them). Destroying (or `close`-ing) the writer
// closes the pipe: the reader then sees the end of the chunk stream.
class PipeWriter {
 public:
  PipeWriter(PipeWriter&&) noexcept;
  PipeWriter& operator=(PipeWriter&&) noexcept;
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;
  ~PipeWriter();

  // Hands `buffer[start..]` to the reader and waits until it has been taken.
  // start > size: Io InvalidInput "owned chunk start exceeds its length";
  // start == size: success, nothing sent; reader gone (before or while
  // waiting): Io BrokenPipe "output reader stopped reading". The buffer is
  // released in every case but a successful hand-over. `hold` travels with
  // the chunk (see Chunk).
  // Bytes batched before it go first.
  Result<void> send(Bytes buffer, std::size_t start = 0, std::shared_ptr<void> hold = {});

  // Small pieces (a gzip member, an LZ4 frame, a bzip2 stream of a few
  // bytes or KB) are not worth a hand-over each: the reader would wake, and
  // the decoder wait, once per piece. These two copy a piece of less than
  // kBatchPiece bytes into a batch that goes out as one chunk once it holds
  // kBatchBytes, before the next `send`, or at `flush` / `close`; a larger
  // piece goes out as `send` sends it (after the batch). `send_batched`
  // takes the same arguments as `send` (a batched piece's buffer goes to the
  // bin and its hold is released at once); `send_copy` copies the bytes.
  // Both fail as `send` does, and with broken pipe once the reader has gone.
  static constexpr std::size_t kBatchPiece = std::size_t{64} << 10;
  static constexpr std::size_t kBatchBytes = std::size_t{256} << 10;
  Result<void> send_batched(Bytes buffer, std::size_t start = 0, std::shared_ptr<void> hold = {});
  Result<void> send_copy(std::span<const std::uint8_t> bytes);
  // Hands the batch over now (nothing when it is empty).
  Result<void> flush();

  // True once the reader has gone. Lock-free; safe from any thread.
  bool reader_stopped() const noexcept;
  // Success, or Io BrokenPipe "output reader stopped reading" once the reader
  // has gone: the check decoders make at the heads of their loops.
  Result<void> check_reader() const;
  // The flag itself, for worker threads that outlive no pipe but want to poll
  // without holding the writer. Valid while the writer or reader exists.
  const std::atomic<bool>& reader_stopped_flag() const noexcept;

  // Hands the batch over (dropping it when the reader has gone), then closes
  // the sending end (idempotent); later sends fail as broken pipe.
  void close() noexcept;

  // Every chunk sent so far has passed its format's integrity check (a
  // bzip2 block's CRC before it is sent, a gzip member's trailer, an LZ4
  // frame's end). Decoders call it at those points; a reader that must know
  // whether what it read was sound waits for it (PipeReader::verified).
  void mark_verified() noexcept;

  // The bin the reader returns spent buffers to (shared; safe to use from
  // decoder workers; outlives the pipe while a worker holds it).
  std::shared_ptr<BufferBin> buffer_bin() const;

 private:
  friend std::pair<PipeWriter, class PipeReader> make_pipe();
  explicit PipeWriter(std::shared_ptr<detail::PipeState> state) : state_(std::move(state)) {}
  // The rendezvous itself.
  Result<void> hand_over(Bytes buffer, std::size_t start, std::shared_ptr<void> hold);
  // Room for n more bytes in the batch, handing a full one over first.
  Result<void> batch_room(std::size_t n);
  std::shared_ptr<detail::PipeState> state_;
  Bytes batch_;  // small pieces not yet handed over
  // Chunks handed over, and how many of them were marked verified: a mark
  // with nothing new handed over (a piece that went into the batch) changes
  // nothing and takes no lock.
  std::uint64_t handed_ = 0;
  std::uint64_t marked_ = 0;
};

// The receiving end, used by one thread at a time. Destroying (or `close`-ing)
// it raises `reader_stopped` first, then drops the channel end and the
// current chunk, which makes a blocked `send` return broken pipe.
class PipeReader {
 public:
  PipeReader(PipeReader&&) noexcept;
  PipeReader& operator=(PipeReader&&) noexcept;
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;
  ~PipeReader();

  // Waits for the next chunk; nullopt once the writer is closed and nothing
  // is pending.
  std::optional<Chunk> receive();

  // Copies bytes of the current chunk into `out` (never from two chunks),
  // receiving the next chunk when the current one is used up (the spent
  // buffer goes to the pipe's BufferBin and its hold is released before the
  // wait, so a decoder waiting for that memory can go on). Returns the number of bytes copied;
  // 0 only for an empty `out` or when the writer is closed and every chunk
  // has been read.
  std::size_t read(std::span<std::uint8_t> out);

  // Hands a spent buffer (from `receive`) back for reuse.
  void recycle(Bytes buffer);

  // Chunks received so far, and how many of them the writer has marked
  // verified.
  std::uint64_t received() const;
  std::uint64_t verified() const;

  // Raises reader_stopped and drops the channel end (idempotent).
  void close() noexcept;

 private:
  friend std::pair<PipeWriter, PipeReader> make_pipe();
  explicit PipeReader(std::shared_ptr<detail::PipeState> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::PipeState> state_;
  Chunk current_;
};

// Creates a pipe: the two ends share one reader_stopped flag, false at first.
std::pair<PipeWriter, PipeReader> make_pipe();

// What `drain` gathered: every byte sent, the number of chunks, and the
// decoder's outcome.
struct Drained {
  Bytes bytes;
  std::size_t chunks = 0;
  Result<void> outcome;
};

// Runs `decode` on a fresh thread with the writing end of a new pipe and reads
// everything it sends on the calling thread, the way the stream reader does:
// the pipe is closed when `decode` returns, then its outcome is collected.
// Meant for tests and tools; an exception escaping `decode` becomes an Io
// error "rvk decoder worker panicked". `stop_after` > 0 drops the reader after
// that many bytes (to test reader-gone handling); the outcome is still
// returned.
Drained drain(const std::function<Result<void>(PipeWriter&)>& decode, std::size_t stop_after = 0);

// ---------------------------------------------------------------------------
// One-slot channel: carries at most one value from one sender to one receiver.

namespace detail {
template <class T>
struct OneshotState {
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<T> value;
  bool sender_gone = false;
  bool receiver_gone = false;
};
}  // namespace detail

template <class T>
class OneshotSender {
 public:
  explicit OneshotSender(std::shared_ptr<detail::OneshotState<T>> s) : s_(std::move(s)) {}
  OneshotSender(OneshotSender&&) noexcept = default;
  OneshotSender& operator=(OneshotSender&& other) noexcept {
    if (this != &other) {
      release();
      s_ = std::move(other.s_);
    }
    return *this;
  }
  ~OneshotSender() { release(); }

  // Stores the value for the receiver. Returns false (and drops the value)
  // when the receiver has gone or a value was already sent.
  bool send(T value) {
    if (!s_) return false;
    std::lock_guard lock(s_->mutex);
    if (s_->receiver_gone || s_->value.has_value() || s_->sender_gone) return false;
    s_->value.emplace(std::move(value));
    s_->cv.notify_all();
    return true;
  }

  // Closes the sending end: a waiting receiver without a value gets nullopt.
  void release() noexcept {
    if (!s_) return;
    {
      std::lock_guard lock(s_->mutex);
      s_->sender_gone = true;
    }
    s_->cv.notify_all();
    s_.reset();
  }

 private:
  std::shared_ptr<detail::OneshotState<T>> s_;
};

template <class T>
class OneshotReceiver {
 public:
  explicit OneshotReceiver(std::shared_ptr<detail::OneshotState<T>> s) : s_(std::move(s)) {}
  OneshotReceiver(OneshotReceiver&&) noexcept = default;
  OneshotReceiver& operator=(OneshotReceiver&& other) noexcept {
    if (this != &other) {
      release();
      s_ = std::move(other.s_);
    }
    return *this;
  }
  ~OneshotReceiver() { release(); }

  // Waits for the value; nullopt when the sender went away without sending.
  std::optional<T> receive() {
    if (!s_) return std::nullopt;
    std::unique_lock lock(s_->mutex);
    s_->cv.wait(lock, [&] { return s_->value.has_value() || s_->sender_gone; });
    std::optional<T> out = std::move(s_->value);
    s_->value.reset();
    return out;
  }

  void release() noexcept {
    if (!s_) return;
    {
      std::lock_guard lock(s_->mutex);
      s_->receiver_gone = true;
      s_->value.reset();
    }
    s_.reset();
  }

 private:
  std::shared_ptr<detail::OneshotState<T>> s_;
};

template <class T>
std::pair<OneshotSender<T>, OneshotReceiver<T>> make_oneshot() {
  auto state = std::make_shared<detail::OneshotState<T>>();
  return {OneshotSender<T>(state), OneshotReceiver<T>(state)};
}

// The decoder's outcome channel.
using OutcomeSender = OneshotSender<Result<void>>;
using OutcomeReceiver = OneshotReceiver<Result<void>>;

}  // namespace rvk::output
