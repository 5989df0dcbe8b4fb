// The decoded stream reader (see reader.hpp).
//
// Threads: the caller's thread reads; one feeder thread "rvk-reader" runs the
// dispatch over the mapped file and owns the pipe's writing end. The feeder
// closes the pipe before it sends the outcome, so a reader that sees the pipe
// closed knows the outcome is on its way (or that the feeder died without
// one). The mapped source is shared by the feeder and the decoder's workers
// through a reference count and unmapped by the last holder.
#include "rvk/reader.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <variant>

#include "rvk/pipe.hpp"
#include "rvk/pipeline.hpp"
#include "source.hpp"

namespace rvk::reader {

using error::IoError;
using error::IoKind;
using stream::StreamFormat;

namespace {

constexpr const char* kZipRefusal = "rvk::Reader supports bzip2, gzip, and LZ4 streams";
constexpr const char* kWorkerPanicked = "rvk decoder worker panicked";
constexpr const char* kNoCompletion = "rvk decoder stopped without reporting completion";
constexpr const char* kAbandoned = "the decoded stream was left after its check";

}  // namespace

std::uint64_t threads_from_env() {
  const char* value = std::getenv("RVK_NUM_THREADS");
  if (value == nullptr) return 4;
  const auto parsed = parse_thread_count(value);
  if (!parsed) return 4;
  // A typo must not start a million threads.
  return *parsed > pipeline::kMaxThreads ? pipeline::kMaxThreads : *parsed;
}

struct Reader::State {
  struct Reading {
    std::optional<output::PipeReader> pipe;
    std::optional<output::OutcomeReceiver> outcome;
  };
  struct Finished {};
  struct Failed {
    IoError error;
  };

  StreamFormat format = StreamFormat::Bzip2;
  std::variant<Reading, Finished, Failed> state;
  std::optional<std::thread> worker;
  // Set by the feeder thread when the decoder ended abnormally (threw).
  std::shared_ptr<std::atomic<bool>> panicked = std::make_shared<std::atomic<bool>>(false);

  // Waits for the feeder thread (once); an abnormal end is an error.
  Result<void> join_worker() {
    if (!worker) return {};
    worker->join();
    worker.reset();
    if (panicked->load()) return Error::io(IoKind::Other, kWorkerPanicked);
    return {};
  }

  // Records the first failure and returns it.
  Error fail(IoError error) {
    state = Failed{error};
    return Error::io(std::move(error));
  }

  // The pipe has closed: the decoder's outcome and the feeder's end decide
  // between the end of the stream and a failure.
  Result<void> finish() {
    auto& reading = std::get<Reading>(state);
    if (!reading.outcome) panic("reading state must own its result receiver");
    std::optional<Result<void>> outcome = reading.outcome->receive();
    reading.pipe->close();
    reading.pipe.reset();
    reading.outcome.reset();
    Result<void> joined = join_worker();

    if (!outcome) {
      if (!joined.ok()) return fail(joined.error().to_io_error());
      return fail(IoError{IoKind::Other, kNoCompletion});
    }
    if (!outcome->ok()) return fail(outcome->error().to_io_error());
    if (!joined.ok()) return fail(joined.error().to_io_error());
    state = Finished{};
    return {};
  }

  void stop() {
    if (auto* reading = std::get_if<Reading>(&state)) {
      if (reading->pipe) reading->pipe->close();  // raises reader_stopped first
      reading->pipe.reset();
      reading->outcome.reset();
    }
    (void)join_worker();
  }
};

Reader::Reader(std::unique_ptr<State> state) : state_(std::move(state)) {}
Reader::Reader(Reader&&) noexcept = default;
Reader& Reader::operator=(Reader&& other) noexcept {
  if (this != &other) {
    if (state_) state_->stop();
    state_ = std::move(other.state_);
  }
  return *this;
}
Reader::~Reader() {
  if (state_) state_->stop();
}

StreamFormat Reader::format() const noexcept { return state_->format; }

Result<Reader> Reader::open(const std::string& path) {
  const std::uint64_t threads = threads_from_env();
  DecodeOptions options;
  options.threads = threads;
  options.memory_limit = kDefaultMemoryLimit;

  RVK_TRY_ASSIGN(std::shared_ptr<const Source> source, Source::open(path));

  std::optional<StreamFormat> format = format_by_content(source->bytes());
  if (!format) {
    format = format_by_name(path);
    if (!format) {
      return Error::unsupported_format("cannot determine compression format for " + display_path(path) +
                                       "; expected a bzip2, gzip, LZ4, or ZIP extension or magic");
    }
  }
  if (*format == StreamFormat::Zip) return Error::unsupported_format(kZipRefusal);

  auto [writer, pipe_reader] = output::make_pipe();
  auto [outcome_tx, outcome_rx] = output::make_oneshot<Result<void>>();

  auto state = std::make_unique<State>();
  state->format = *format;
  auto panicked = state->panicked;
  try {
    state->worker.emplace([format = *format, source, options, panicked, sink = std::move(writer),
                           tx = std::move(outcome_tx)]() mutable {
      ::pthread_setname_np(::pthread_self(), "rvk-reader");
      pipeline::prepare_thread();
      std::optional<Result<void>> outcome;
      try {
        outcome.emplace(stream::decode_stream_to_sink_with_progress(format, source->bytes(), sink, options,
                                                                    no_progress()));
      } catch (const std::bad_alloc&) {
        outcome.emplace(Error::out_of_memory());
      } catch (...) {
        panicked->store(true);  // ends without an outcome
      }
      // Bytes of a file that changed under the map are not the file's: the
      // change is the outcome, whatever the decoder made of them.
      if (auto changed = source->changed()) outcome.emplace(std::move(*changed));
      sink.close();  // the pipe closes before the outcome is sent
      if (outcome) tx.send(std::move(*outcome));
      tx.release();
      source.reset();
    });
  } catch (const std::system_error& e) {
    const IoError cause = IoError::from_errno(e.code().value());
    return Error::io(cause.kind, "could not start the decoder thread: " + cause.message);
  }
  state->state = State::Reading{std::move(pipe_reader), std::move(outcome_rx)};
  return Reader(std::move(state));
}

Result<void> Reader::verify_read() {
  State& s = *state_;
  if (const auto* failed = std::get_if<State::Failed>(&s.state)) return Error::io(failed->error);
  if (std::holds_alternative<State::Finished>(s.state)) return {};
  auto& reading = std::get<State::Reading>(s.state);
  if (!reading.pipe) panic("reading state must own its pipe");
  const std::uint64_t target = reading.pipe->received();
  while (reading.pipe->verified() < target) {
    std::optional<output::Chunk> chunk = reading.pipe->receive();
    if (!chunk) return s.finish();  // the decoder ended: its outcome tells
    reading.pipe->recycle(std::move(chunk->bytes));
  }
  // What follows was never read; the stream cannot go on from here.
  (void)s.fail(IoError{IoKind::Other, kAbandoned});
  return {};
}

Result<std::size_t> Reader::read(std::span<std::uint8_t> buffer) {
  if (buffer.empty()) return std::size_t{0};
  State& s = *state_;
  if (const auto* failed = std::get_if<State::Failed>(&s.state)) return Error::io(failed->error);
  if (std::holds_alternative<State::Finished>(s.state)) return std::size_t{0};
  auto& reading = std::get<State::Reading>(s.state);
  if (!reading.pipe) panic("reading state must own its pipe");

  // The pipe's read copies from its current chunk, or receives the next one;
  // 0 means the writer closed and every chunk was read.
  const std::size_t n = reading.pipe->read(buffer);
  if (n > 0) return n;

  RVK_TRY(s.finish());
  return std::size_t{0};
}

}  // namespace rvk::reader
