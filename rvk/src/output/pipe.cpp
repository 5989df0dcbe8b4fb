// The rendezvous byte pipe.
//
// One mutex and one condition variable guard a single hand-over slot. A send
// puts its chunk in the slot and waits until the reader has taken it (or has
// gone); the reader waits for a filled slot (or a closed writer). The
// reader-stopped flag is an atomic beside the slot so decoders can poll it
// without the lock; it is raised before the reader's end is dropped.
#include "rvk/pipe.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "rvk/pipeline.hpp"

namespace rvk::output {

namespace detail {
struct PipeState {
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<Chunk> slot;     // the chunk being handed over
  bool writer_closed = false;    // guarded by mutex
  bool reader_closed = false;    // guarded by mutex
  std::uint64_t taken = 0;       // chunks taken so far; tells a sender its chunk went
  std::uint64_t verified = 0;    // chunks that passed their integrity check; guarded by mutex
  std::atomic<bool> reader_stopped{false};
  std::shared_ptr<BufferBin> bin = std::make_shared<BufferBin>();
};
}  // namespace detail

std::pair<PipeWriter, PipeReader> make_pipe() {
  auto state = std::make_shared<detail::PipeState>();
  return {PipeWriter(state), PipeReader(state)};
}

// ----- buffer bin -----------------------------------------------------------

namespace {
constexpr std::size_t kMinRecycled = 65536;
}

Bytes BufferBin::take(std::size_t min_capacity) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = buffers_.size(); i-- > 0;) {
    if (buffers_[i].capacity() >= min_capacity) {
      Bytes out = std::move(buffers_[i]);
      buffers_.erase(buffers_.begin() + static_cast<std::ptrdiff_t>(i));
      held_bytes_ -= out.capacity();
      return out;
    }
  }
  return {};
}

void BufferBin::give(Bytes buffer) {
  const std::size_t capacity = buffer.capacity();
  if (capacity < kMinRecycled) return;
  std::lock_guard lock(mutex_);
  if (held_bytes_ + capacity > max_bytes_) return;  // released outside the lock
  held_bytes_ += capacity;
  buffers_.push_back(std::move(buffer));
}

// ----- writer ---------------------------------------------------------------

PipeWriter::PipeWriter(PipeWriter&&) noexcept = default;
PipeWriter& PipeWriter::operator=(PipeWriter&& other) noexcept {
  if (this != &other) {
    close();
    state_ = std::move(other.state_);
    batch_ = std::move(other.batch_);
    handed_ = other.handed_;
    marked_ = other.marked_;
  }
  return *this;
}
PipeWriter::~PipeWriter() { close(); }

void PipeWriter::close() noexcept {
  if (!state_) return;
  (void)flush();  // fails only when the reader has gone
  batch_ = Bytes{};
  {
    std::lock_guard lock(state_->mutex);
    state_->writer_closed = true;
  }
  state_->cv.notify_all();
  state_.reset();
}

Result<void> PipeWriter::send(Bytes buffer, std::size_t start, std::shared_ptr<void> hold) {
  if (start > buffer.size()) {
    return Error::io(error::IoKind::InvalidInput, "owned chunk start exceeds its length");
  }
  if (start == buffer.size()) return {};
  RVK_TRY(flush());
  return hand_over(std::move(buffer), start, std::move(hold));
}

Result<void> PipeWriter::flush() {
  if (batch_.empty()) return {};
  return hand_over(std::move(batch_), 0, {});
}

Result<void> PipeWriter::batch_room(std::size_t n) {
  if (reader_stopped()) return Error::reader_stopped();
  if (batch_.size() + n > kBatchBytes + kBatchPiece) RVK_TRY(flush());
  if (batch_.capacity() == 0) {
    batch_ = state_->bin->take(kBatchBytes + kBatchPiece);
    batch_.clear();
    if (batch_.capacity() < kBatchBytes + kBatchPiece) batch_.reserve(kBatchBytes + kBatchPiece);
  }
  return {};
}

Result<void> PipeWriter::send_batched(Bytes buffer, std::size_t start, std::shared_ptr<void> hold) {
  if (start > buffer.size()) {
    return Error::io(error::IoKind::InvalidInput, "owned chunk start exceeds its length");
  }
  const std::size_t n = buffer.size() - start;
  if (n == 0) return {};
  if (n >= kBatchPiece) return send(std::move(buffer), start, std::move(hold));
  RVK_TRY(batch_room(n));
  batch_.insert(batch_.end(), buffer.begin() + static_cast<std::ptrdiff_t>(start), buffer.end());
  hold.reset();
  state_->bin->give(std::move(buffer));
  if (batch_.size() >= kBatchBytes) return flush();
  return {};
}

Result<void> PipeWriter::send_copy(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return {};
  if (bytes.size() >= kBatchPiece) {
    if (!state_) return Error::reader_stopped();
    Bytes copy = state_->bin->take(bytes.size());
    copy.assign(bytes.begin(), bytes.end());
    return send(std::move(copy));
  }
  RVK_TRY(batch_room(bytes.size()));
  batch_.insert(batch_.end(), bytes.begin(), bytes.end());
  if (batch_.size() >= kBatchBytes) return flush();
  return {};
}

Result<void> PipeWriter::hand_over(Bytes buffer, std::size_t start, std::shared_ptr<void> hold) {
  if (!state_) return Error::reader_stopped();
  std::unique_lock lock(state_->mutex);
  if (state_->reader_closed) return Error::reader_stopped();
  // One sender: the slot is always empty when a send begins.
  state_->slot.emplace(Chunk{std::move(buffer), start, std::move(hold)});
  const std::uint64_t ticket = state_->taken + 1;
  state_->cv.notify_all();
  state_->cv.wait(lock, [&] { return state_->taken >= ticket || state_->reader_closed; });
  if (state_->taken >= ticket) {
    ++handed_;
    return {};
  }
  state_->slot.reset();  // never taken: release it here
  return Error::reader_stopped();
}

void PipeWriter::mark_verified() noexcept {
  if (!state_ || handed_ == marked_) return;
  marked_ = handed_;
  std::lock_guard lock(state_->mutex);
  // A send returns once its chunk was taken: every chunk sent is counted.
  state_->verified = state_->taken;
}

bool PipeWriter::reader_stopped() const noexcept {
  return !state_ || state_->reader_stopped.load(std::memory_order_acquire);
}

Result<void> PipeWriter::check_reader() const {
  if (reader_stopped()) return Error::reader_stopped();
  return {};
}

std::shared_ptr<BufferBin> PipeWriter::buffer_bin() const {
  return state_ ? state_->bin : std::make_shared<BufferBin>(0);
}

const std::atomic<bool>& PipeWriter::reader_stopped_flag() const noexcept {
  static const std::atomic<bool> stopped{true};
  return state_ ? state_->reader_stopped : stopped;
}

// ----- reader ---------------------------------------------------------------

PipeReader::PipeReader(PipeReader&&) noexcept = default;
PipeReader& PipeReader::operator=(PipeReader&& other) noexcept {
  if (this != &other) {
    close();
    state_ = std::move(other.state_);
    current_ = std::move(other.current_);
  }
  return *this;
}
PipeReader::~PipeReader() { close(); }

void PipeReader::close() noexcept {
  if (!state_) return;
  state_->reader_stopped.store(true, std::memory_order_release);
  std::optional<Chunk> dropped;
  {
    std::lock_guard lock(state_->mutex);
    state_->reader_closed = true;
    dropped.swap(state_->slot);
  }
  state_->cv.notify_all();
  state_.reset();
  current_ = Chunk{};
}

std::optional<Chunk> PipeReader::receive() {
  if (!state_) return std::nullopt;
  std::unique_lock lock(state_->mutex);
  state_->cv.wait(lock, [&] { return state_->slot.has_value() || state_->writer_closed; });
  if (!state_->slot) return std::nullopt;
  std::optional<Chunk> chunk;
  chunk.swap(state_->slot);
  ++state_->taken;
  lock.unlock();
  state_->cv.notify_all();
  return chunk;
}

std::size_t PipeReader::read(std::span<std::uint8_t> out) {
  if (out.empty()) return 0;
  while (current_.start >= current_.bytes.size()) {
    recycle(std::move(current_.bytes));
    current_ = Chunk{};
    auto next = receive();
    if (!next) return 0;
    current_ = std::move(*next);
  }
  const std::size_t n = std::min(out.size(), current_.bytes.size() - current_.start);
  std::memcpy(out.data(), current_.bytes.data() + current_.start, n);
  current_.start += n;
  return n;
}

std::uint64_t PipeReader::received() const {
  if (!state_) return 0;
  std::lock_guard lock(state_->mutex);
  return state_->taken;
}

std::uint64_t PipeReader::verified() const {
  if (!state_) return 0;
  std::lock_guard lock(state_->mutex);
  return state_->verified;
}

void PipeReader::recycle(Bytes buffer) {
  if (state_ && buffer.capacity() > 0) state_->bin->give(std::move(buffer));
}

// ----- drain ----------------------------------------------------------------

Drained drain(const std::function<Result<void>(PipeWriter&)>& decode, std::size_t stop_after) {
  auto [writer, reader] = make_pipe();
  auto [outcome_tx, outcome_rx] = make_oneshot<Result<void>>();
  std::thread feeder([&decode, w = std::move(writer), tx = std::move(outcome_tx)]() mutable {
    pipeline::prepare_thread();
    Result<void> outcome;
    try {
      outcome = decode(w);
    } catch (...) {
      outcome = Error::io(error::IoKind::Other, "rvk decoder worker panicked");
    }
    w.close();  // the pipe closes before the outcome is sent
    tx.send(std::move(outcome));
  });

  Drained drained;
  for (;;) {
    if (stop_after > 0 && drained.bytes.size() >= stop_after) {
      reader.close();
      break;
    }
    auto chunk = reader.receive();
    if (!chunk) break;
    ++drained.chunks;
    drained.bytes.insert(drained.bytes.end(), chunk->bytes.begin() + chunk->start, chunk->bytes.end());
  }
  auto outcome = outcome_rx.receive();
  feeder.join();
  drained.outcome = outcome ? std::move(*outcome)
                            : Result<void>(Error::io(error::IoKind::Other,
                                                     "rvk decoder stopped without reporting completion"));
  return drained;
}

}  // namespace rvk::output
