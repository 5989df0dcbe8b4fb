// Parallel bzip2 decoding: scan for magics, decode every block-magic hit
// speculatively on a private pool, then accept the real chain of blocks.
//
// Why speculative: a bzip2 block's end is only known once it has been
// decoded, so nothing tells a worker where the next block starts. The scan
// finds every bit position holding a block magic; real blocks are among the
// hits, and a false hit (the magic occurring by chance inside a block's
// data) is rare and costs one failed or discarded decode. The assembly on the
// calling thread walks the chain from each stream header: a candidate is
// accepted only when it ends exactly on the next marker, and the hits that
// lay inside it are released.
//
// Memory: everything the decode holds is charged to the budget. Each
// candidate reserves the largest output a level-9 block can have until it
// is decoded, then its real output, until the assembly discards it or the
// reader is done with its bytes (the hold travels with them through the
// pipe); the scratch memory of the workers is charged for the whole run,
// which caps how many may work at once. The scan itself stops once the hits
// pass the marker cap (input length / 16 + 64), and such an input is decoded
// serially: the cap bounds the speculative work, never what a valid input
// may hold.
#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "bzip2_internal.hpp"
#include "rvk/pipe.hpp"
#include "rvk/pipeline.hpp"

namespace rvk::decode {

using decoder::DecodedCandidate;
using decoder::WorkBuffer;
using error::DecodeError;
using decoder::kBlockMagic;
using decoder::kMaxBlockOutput;

namespace {

constexpr std::size_t kScanRange = 1u << 20;  // bytes per scan range
constexpr const char* kTooManyMarkers = "input contains too many speculative markers";

constexpr std::uint32_t rotl1(std::uint32_t v) { return (v << 1) | (v >> 31); }

std::uint64_t marker_cap(std::uint64_t input_len) { return input_len / 16 + 64; }

// The first position from `from` on in a sorted sequence of `n` keys whose
// key is at least `target`, searching in steps that double from `from`: the
// assembly's next marker, job and group are usually a few places on, so a
// file of many tiny streams costs a few comparisons per block, not a search
// of the whole list.
template <class Key>
std::size_t gallop(std::size_t from, std::size_t n, std::uint64_t target, const Key& key) {
  std::size_t lo = from;
  std::size_t hi = from;
  std::size_t step = 1;
  while (hi < n && key(hi) < target) {
    lo = hi + 1;
    hi = from + step;
    step <<= 1;
  }
  hi = std::min(hi + 1, n);
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (key(mid) < target) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The index of the marker at exactly `bit`, if any, looking from `from` on
// (markers before it lie before `bit`).
std::optional<std::size_t> find_marker(const std::vector<Marker>& markers, std::uint64_t bit,
                                       std::size_t from = 0) {
  const std::size_t at =
      gallop(from, markers.size(), bit, [&](std::size_t i) { return markers[i].bit_offset; });
  if (at == markers.size() || markers[at].bit_offset != bit) return std::nullopt;
  return at;
}

bool is_header(std::span<const std::uint8_t> input, std::size_t p) {
  return input.size() - p >= 4 && input[p] == 'B' && input[p + 1] == 'Z' && input[p + 2] == 'h' &&
         input[p + 3] >= '1' && input[p + 3] <= '9';
}

// The memory a decoded candidate really holds: its buffer's capacity.
std::uint64_t held_bytes(const DecodedCandidate& c) {
  return std::max<std::uint64_t>(c.decoded_len, c.bytes.capacity());
}

Result<void> check_stopped(const std::atomic<bool>* stopped) {
  if (stopped && stopped->load(std::memory_order_relaxed)) return Error::reader_stopped();
  return {};
}

// Candidates are decoded in groups: consecutive block markers within a short
// stretch of input go to one job, so that thousands of tiny streams cost a
// claim, a hand-over and a reorder entry per group, not per stream, while a
// large block (whose next marker lies far) is a group of its own. A group is
// charged one block's reservation: each candidate after its first is decoded
// only within what is left of it (beside the transient room of a block's
// symbols), and one that would not fit is left to the assembly, which
// decodes it itself when it needs it.
constexpr std::size_t kGroupMax = 64;
constexpr std::uint64_t kGroupSpanBits = 8 * (std::uint64_t{64} << 10);

struct CandidateGroup {
  std::size_t first = 0;   // position of its first candidate in the job list
  std::size_t count = 0;
  std::uint64_t index = 0;  // the group's place in the order
  std::uint64_t reservation = kMaxBlockOutput;
};

// A group's candidates in order: the decode's outcome, or nothing for one
// left to the assembly.
using GroupOutcome = std::vector<std::optional<Result<DecodedCandidate>>>;

std::vector<CandidateGroup> group_candidates(const std::vector<CandidateJob>& jobs) {
  std::vector<CandidateGroup> groups;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (groups.empty() || groups.back().count == kGroupMax ||
        jobs[i].bit_offset - jobs[groups.back().first].bit_offset >= kGroupSpanBits) {
      groups.push_back({i, 0, groups.size(), kMaxBlockOutput});
    }
    ++groups.back().count;
  }
  return groups;
}

// Decodes a group's candidates in order within its reservation (see above).
Result<GroupOutcome> decode_group(std::span<const std::uint8_t> input, const std::vector<CandidateJob>& jobs,
                                  const CandidateGroup& g, WorkBuffer& work, output::BufferBin* bin) {
  GroupOutcome outcome(g.count);
  std::uint64_t used = 0;
  for (std::size_t k = 0; k < g.count; ++k) {
    if (k > 0 && used + decoder::max_block_symbols(9) + 64 > g.reservation) break;
    const CandidateJob& j = jobs[g.first + k];
    const std::uint64_t room = g.reservation - used;
    std::optional<Result<DecodedCandidate>> decoded;
    try {
      decoded.emplace(decoder::decode_candidate(input, j.bit_offset, j.crc, work, bin, room));
    } catch (const std::bad_alloc&) {
      if (k == 0) throw;  // the group's own failure: "out of memory"
      break;              // the assembly tries again if the block is real
    }
    if (!decoded->ok() && room < kMaxBlockOutput && decoded->error().is<Error::Decode>() &&
        decoded->error().as<Error::Decode>().source == DecodeError::BlockOverflow) {
      break;  // it may fit alone: the assembly decodes it if it is real
    }
    if (decoded->ok()) used += held_bytes(decoded->value());
    outcome[k] = std::move(decoded);
  }
  return outcome;
}

// Candidates from the job pipeline, plus the first block decoded before the
// pool existed (its bytes already sent). The assembly asks for markers in
// rising order, so one group is open at a time.
class ParallelCandidates final : public Candidates {
 public:
  ParallelCandidates(pipeline::OrderedResults<GroupOutcome>& results,
                     std::optional<std::pair<std::size_t, DecodedCandidate>> prefetched,
                     std::span<const std::uint8_t> input, const std::vector<CandidateJob>& jobs,
                     const std::vector<CandidateGroup>& groups, WorkBuffer& work)
      : results_(results), prefetched_(std::move(prefetched)), input_(input), jobs_(jobs), groups_(groups),
        work_(work) {}

  Result<DecodedCandidate> take(std::size_t index) override {
    if (prefetched_ && prefetched_->first == index) {
      DecodedCandidate c = std::move(prefetched_->second);
      prefetched_.reset();
      return c;
    }
    const std::size_t job = job_at_or_after(index);
    if (job == jobs_.size() || jobs_[job].index != index) return Error::invalid_configuration(pipeline::kStoppedEarly);
    const std::size_t g = group_of(job);
    if (!open_ || open_group_ != g) {
      open_.reset();
      open_hold_.reset();
      std::shared_ptr<void> hold;
      RVK_TRY_ASSIGN(GroupOutcome outcome, results_.take(g, &hold));
      open_.emplace(std::move(outcome));
      open_group_ = g;
      open_hold_ = std::move(hold);
    }
    auto& slot = (*open_)[job - groups_[g].first];
    if (!slot) return decoder::decode_candidate(input_, jobs_[job].bit_offset, jobs_[job].crc, work_, nullptr);
    Result<DecodedCandidate> c = std::move(*slot);
    slot.reset();
    if (c.ok()) c.value().hold = open_hold_;
    return c;
  }
  void discard_before(std::size_t index) override {
    if (prefetched_ && prefetched_->first < index) prefetched_.reset();
    const std::size_t job = job_at_or_after(index);
    const std::size_t g = job == jobs_.size() ? groups_.size() : group_of(job);
    if (open_ && open_group_ < g) {
      open_.reset();
      open_hold_.reset();
    }
    // Nothing new to let go of while the chain stays in one group.
    if (g > discarded_) {
      results_.discard_before(g);
      discarded_ = g;
    }
  }

 private:
  // The first job whose marker index is at least `index`. The assembly's
  // indices rise, so the search starts where the last one ended.
  std::size_t job_at_or_after(std::size_t index) {
    if (job_cursor_ > 0 && jobs_[job_cursor_ - 1].index >= index) job_cursor_ = 0;
    job_cursor_ = gallop(job_cursor_, jobs_.size(), index, [&](std::size_t j) { return jobs_[j].index; });
    return job_cursor_;
  }
  // The group holding `job`.
  std::size_t group_of(std::size_t job) {
    if (groups_[group_cursor_].first > job) group_cursor_ = 0;
    // The last group whose first job is at most `job`.
    group_cursor_ = gallop(group_cursor_, groups_.size(), job + 1, [&](std::size_t g) { return groups_[g].first; }) - 1;
    return group_cursor_;
  }

  pipeline::OrderedResults<GroupOutcome>& results_;
  std::optional<std::pair<std::size_t, DecodedCandidate>> prefetched_;
  std::span<const std::uint8_t> input_;
  const std::vector<CandidateJob>& jobs_;
  const std::vector<CandidateGroup>& groups_;
  WorkBuffer& work_;  // for candidates a group left undecoded
  std::optional<GroupOutcome> open_;
  std::size_t open_group_ = 0;
  std::shared_ptr<void> open_hold_;
  std::size_t job_cursor_ = 0;
  std::size_t group_cursor_ = 0;
  std::size_t discarded_ = 0;  // groups below it are let go of
};

// The marker scan of a whole input. An input of at most 1 MiB (or one
// without a pool) is scanned as one range on the calling thread, in
// `finish`. A larger one is cut into 1 MiB ranges that the pool's workers
// claim one at a time from `start` on, while the calling thread decodes and
// sends the first block: the two used to follow each other, the workers
// idle during the one and the feeder during the other, and ranges scanned
// in batches of one per worker waited for the slowest of each batch.
class Scan {
 public:
  Scan(std::span<const std::uint8_t> input, const std::atomic<bool>* stopped)
      : input_(input), stopped_(stopped), nranges_((input.size() + kScanRange - 1) / kScanRange) {
    cap_.cap = marker_cap(input.size());
  }
  Scan(const Scan&) = delete;
  Scan& operator=(const Scan&) = delete;
  ~Scan() { quit(); }

  void start(pipeline::ThreadPool* pool) {
    if (input_.size() <= kScanRange || !pool) return;
    ranges_.resize(nranges_);
    run_ = pool->broadcast_async([this](std::size_t) {
      for (;;) {
        if (quit_.load(std::memory_order_relaxed) || cap_.hits.load(std::memory_order_relaxed) > cap_.cap) return;
        if (stopped_ && stopped_->load(std::memory_order_relaxed)) return;
        const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
        if (i >= nranges_) return;
        const std::size_t from = i * kScanRange;
        ranges_[i] = format::scan_range(input_, from, std::min(from + kScanRange, input_.size()), &cap_);
      }
    });
    started_ = true;
  }
  // Whether the workers scan (the input is larger than one range).
  bool started() const { return started_; }
  // Stops the workers' scan early and waits for them.
  void quit() {
    quit_.store(true, std::memory_order_relaxed);
    if (started_) (void)run_.outcome();
  }
  // The hits of every range in order; nothing when they pass the marker cap.
  Result<std::optional<std::vector<format::ScanResult>>> finish() {
    std::vector<format::ScanResult> out;
    if (!started_) {
      RVK_TRY(check_stopped(stopped_));
      out.push_back(format::scan_range(input_, 0, input_.size(), &cap_));
    } else {
      const pipeline::BroadcastOutcome how = run_.outcome();
      if (how != pipeline::BroadcastOutcome::Ok) return pipeline::Broadcast::failure(how);
      RVK_TRY(check_stopped(stopped_));
      if (cap_.hits.load(std::memory_order_relaxed) > cap_.cap) return std::nullopt;
      out = std::move(ranges_);
    }
    RVK_TRY(check_stopped(stopped_));
    std::uint64_t hits = 0;
    for (const auto& r : out) {
      if (r.over_cap) return std::nullopt;
      hits += r.blocks.size() + r.ends.size();
    }
    if (hits > cap_.cap) return std::nullopt;
    return std::optional(std::move(out));
  }

 private:
  std::span<const std::uint8_t> input_;
  const std::atomic<bool>* stopped_;
  const std::size_t nranges_;
  format::HitCap cap_;
  std::vector<format::ScanResult> ranges_;  // one per range, each written by one worker
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> quit_{false};
  pipeline::Broadcast run_;
  bool started_ = false;
};

// The scratch memory of the candidate decodes: one work buffer per decode
// under way, kept for the next. Safe from any thread.
class WorkBuffers {
 public:
  std::unique_ptr<WorkBuffer> take() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        auto w = std::move(idle_.back());
        idle_.pop_back();
        return w;
      }
    }
    return std::make_unique<WorkBuffer>();
  }
  void give(std::unique_ptr<WorkBuffer> w) {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(w));
  }
  // Maps the scratch of `count` decodes ahead, on the calling thread: a
  // mapping changes the address space under a lock that every page fault of
  // the process takes too, and the workers' first decodes, all starting at
  // once beside the scan's faults on the input, queued for it. Mapped pages
  // are not touched here; each stays unbacked until a decode uses it. (A
  // buffer that cannot be mapped now is mapped by its decode, which reports
  // the failure.)
  void prepare(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      auto w = std::make_unique<WorkBuffer>();
      (void)w->reserve(decoder::max_block_symbols(9));
      give(std::move(w));
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<WorkBuffer>> idle_;
};

Result<void> decode_parallel(std::span<const std::uint8_t> input, output::PipeWriter& sink,
                             const DecodeOptions& options, std::size_t threads,
                             const ProgressFn& progress) {
  const std::atomic<bool>* stopped = &sink.reader_stopped_flag();
  std::uint64_t sent_bytes = 0;
  const CandidateSink send = [&](DecodedCandidate&& c) -> Result<void> {
    sent_bytes += c.bytes.size();
    RVK_TRY(sink.send_batched(std::move(c.bytes), 0, std::move(c.hold)));
    sink.mark_verified();  // a block's CRC is checked before its bytes go out
    if (progress) progress(Progress{0, sent_bytes});
    return {};
  };
  // The feeder's own scratch (the prefetch and the serial fallback).
  WorkBuffer feeder_work;

  // Whether the first block is decoded ahead of the scan; its header must
  // then be sound.
  bool prefetch = false;
  if (input.size() >= 10) {
    std::uint64_t magic = 0;
    for (int i = 4; i < 10; ++i) magic = (magic << 8) | input[i];
    if (magic == kBlockMagic) {
      if (input[0] != 'B' || input[1] != 'Z' || input[2] != 'h') {
        return Error::decode(0, DecodeError::InvalidMagic);
      }
      if (input[3] < '1' || input[3] > '9') return Error::decode(24, DecodeError::InvalidLevel);
      prefetch = true;
    }
  }
  // 1. Decodes and sends the first block.
  std::optional<DecodedCandidate> first;
  auto decode_first = [&]() -> Result<void> {
    RVK_TRY_ASSIGN(DecodedCandidate c, decoder::decode_first_candidate(input, feeder_work));
    if (c.block_len > decoder::max_block_symbols(input[3] - '0')) {
      return Error::decode(32, DecodeError::BlockOverflow);
    }
    DecodedCandidate sent;
    sent.bytes = std::move(c.bytes);
    RVK_TRY(send(std::move(sent)));
    c.bytes = {};
    first = std::move(c);
    return {};
  };

  // 2-4. Pool, stream header, reader. Each worker's scratch is charged for
  // the run; the budget must keep room for one candidate beside them.
  const std::uint64_t scratch = WorkBuffer::footprint(decoder::max_block_symbols(9));
  threads = static_cast<std::size_t>(
      std::clamp<std::uint64_t>((options.memory_limit - kMaxBlockOutput) / scratch, 1, threads));
  // (A limit too small for even one worker's scratch beside a candidate
  // still decodes, one scratch over it.)
  const std::uint64_t job_limit = std::max(options.memory_limit - std::min<std::uint64_t>(options.memory_limit, threads * scratch),
                                           kMaxBlockOutput);
  auto made = pipeline::ThreadPool::create(threads, "rvk-");
  if (!made.ok()) {
    // Not a single worker thread to be had (a cap on the user's processes):
    // the feeder thread decodes alone, as with one thread asked for.
    if (prefetch) RVK_TRY(decode_first());
    if (!is_header(input, 0)) return Error::invalid_stream_header();
    return decoder::decode_serial_to_pipe(input, sink, progress, first ? &*first : nullptr);
  }
  if (!is_header(input, 0)) return Error::invalid_stream_header();
  auto pool = std::move(made).value();
  RVK_TRY(check_stopped(stopped));

  // 5-6. Scan and markers, the first block decoded meanwhile. Past the cap,
  // decoding every hit speculatively would cost work and marker memory out
  // of proportion to the input; but the input may still be valid (a run of
  // empty streams, or block data that happens to hold many magics), so it
  // is decoded serially, going on after the first block if that was sent
  // already.
  std::optional<std::vector<format::ScanResult>> ranges;
  WorkBuffers scratch_buffers;
  {
    Scan scan(input, stopped);
    scan.start(pool.get());
    if (scan.started()) scratch_buffers.prepare(pool->size());
    if (prefetch) RVK_TRY(decode_first());
    RVK_TRY_ASSIGN(ranges, scan.finish());
  }
  if (!ranges) {
    pool.reset();
    return decoder::decode_serial_to_pipe(input, sink, progress, first ? &*first : nullptr);
  }
  RVK_TRY_ASSIGN(std::vector<Marker> markers, merge_markers(std::move(*ranges), input.size()));

  // 7. The prefetched block must be the marker at bit 32.
  std::optional<std::pair<std::size_t, DecodedCandidate>> prefetched;
  if (first) {
    auto at = find_marker(markers, 32);
    if (!at || markers[*at].kind != Marker::Kind::Block) return Error::decode(32, DecodeError::InvalidMagic);
    if (markers[*at].crc != first->crc) return Error::decode(32, DecodeError::InvalidBlock);
    prefetched.emplace(*at, std::move(*first));
  }

  // 8. One job per other block marker. (Sized once: the list of a file of
  // tiny streams is megabytes, and growing it by doubling touched twice its
  // pages while the workers waited for it.)
  std::vector<CandidateJob> jobs;
  jobs.reserve(static_cast<std::size_t>(std::count_if(
      markers.begin(), markers.end(), [](const Marker& m) { return m.kind == Marker::Kind::Block; })));
  for (std::size_t i = 0; i < markers.size(); ++i) {
    if (markers[i].kind != Marker::Kind::Block) continue;
    if (prefetched && prefetched->first == i) continue;
    jobs.push_back({markers[i].bit_offset, markers[i].crc, i, kMaxBlockOutput});
  }
  const std::vector<CandidateGroup> groups = group_candidates(jobs);
  pipeline::OrderedJobs<CandidateGroup, GroupOutcome> spec{
      groups,
      [](const CandidateGroup& g) { return g.reservation; },
      [input, &jobs, &scratch_buffers, bin = sink.buffer_bin()](const CandidateGroup& g) -> Result<GroupOutcome> {
        std::unique_ptr<WorkBuffer> work = scratch_buffers.take();
        auto outcome = decode_group(input, jobs, g, *work, bin.get());
        scratch_buffers.give(std::move(work));
        return outcome;
      },
      [](const GroupOutcome& outcome) {
        std::uint64_t total = 0;
        for (const auto& c : outcome) {
          if (c && c->ok()) total += held_bytes(c->value());
        }
        return total;
      },
      [](const CandidateGroup& g) { return g.index; }};

  // 9. Assembly; the run cancels the budget and waits for the workers.
  return pipeline::run_ordered(*pool, spec, job_limit, pipeline::kUnlimited,
                               [&](pipeline::OrderedResults<GroupOutcome>& results) -> Result<void> {
                                 ParallelCandidates candidates(results, std::move(prefetched), input, jobs, groups,
                                                               feeder_work);
                                 return assemble(input, send, markers, candidates, stopped);
                               });
}

}  // namespace

Result<std::vector<Marker>> merge_markers(std::vector<format::ScanResult>&& ranges,
                                          std::uint64_t input_len) {
  std::size_t total = 0;
  for (const auto& r : ranges) total += r.blocks.size() + r.ends.size();
  if (total > marker_cap(input_len)) return Error::invalid_configuration(kTooManyMarkers);
  std::vector<Marker> markers;
  markers.reserve(total);
  // Each range's hits come in rising order and the ranges follow each other,
  // so merging each range's two lists in turn sorts them all.
  for (auto& r : ranges) {
    std::size_t b = 0;
    std::size_t e = 0;
    while (b < r.blocks.size() || e < r.ends.size()) {
      if (e == r.ends.size() || (b < r.blocks.size() && r.blocks[b].bit_offset <= r.ends[e].bit_offset)) {
        markers.push_back({r.blocks[b].bit_offset, r.blocks[b].crc, Marker::Kind::Block});
        ++b;
      } else {
        markers.push_back({r.ends[e].bit_offset, r.ends[e].crc, Marker::Kind::End});
        ++e;
      }
    }
    r.blocks = {};
    r.ends = {};
  }
  // (Ranges handed over in another order are sorted here.)
  if (!std::is_sorted(markers.begin(), markers.end(),
                      [](const Marker& a, const Marker& b) { return a.bit_offset < b.bit_offset; })) {
    std::sort(markers.begin(), markers.end(),
              [](const Marker& a, const Marker& b) { return a.bit_offset < b.bit_offset; });
  }
  markers.erase(std::unique(markers.begin(), markers.end(),
                            [](const Marker& a, const Marker& b) { return a.bit_offset == b.bit_offset; }),
                markers.end());
  return markers;
}

Result<void> assemble(std::span<const std::uint8_t> input, const CandidateSink& sink,
                      const std::vector<Marker>& markers, Candidates& candidates,
                      const std::atomic<bool>* reader_stopped) {
  const std::uint64_t len = input.size();
  std::uint64_t p = 0;
  std::uint64_t total = 0;
  std::size_t after = 0;  // markers before it lie before the stream at p
  for (;;) {
    // 1. Stream header at byte p.
    if (p == len) return {};
    if (len - p < 4) return Error::decode(8 * p, DecodeError::Truncated);
    if (input[p] != 'B' || input[p + 1] != 'Z' || input[p + 2] != 'h') {
      return Error::decode(8 * p, DecodeError::InvalidMagic);
    }
    if (input[p + 3] < '1' || input[p + 3] > '9') return Error::decode(8 * p + 24, DecodeError::InvalidLevel);
    const unsigned level = input[p + 3] - '0';

    // 2. The stream's first marker.
    auto cur = find_marker(markers, 8 * p + 32, after);
    if (!cur) return Error::decode(8 * p + 32, DecodeError::InvalidMagic);
    std::uint32_t combined = 0;

    // 3. The chain of blocks.
    while (markers[*cur].kind == Marker::Kind::Block) {
      RVK_TRY(check_stopped(reader_stopped));
      const Marker& m = markers[*cur];
      RVK_TRY_ASSIGN(DecodedCandidate c, candidates.take(*cur));
      if (c.block_len > decoder::max_block_symbols(level)) {
        return Error::decode(m.bit_offset, DecodeError::BlockOverflow);
      }
      auto next = find_marker(markers, c.end_bit, *cur + 1);
      if (!next) return Error::decode(c.end_bit, DecodeError::InvalidMagic);
      candidates.discard_before(*next);
      const std::uint64_t decoded_len = c.decoded_len;
      RVK_TRY(sink(std::move(c)));
      if (total + decoded_len < total) return Error::invalid_configuration("offset arithmetic overflow");
      total += decoded_len;
      combined = rotl1(combined) ^ m.crc;
      cur = next;
    }

    // 4-5. End of stream and the next boundary.
    const Marker& end = markers[*cur];
    if (end.crc != combined) return Error::decode(end.bit_offset, DecodeError::CrcMismatch);
    if (end.bit_offset > UINT64_MAX - 87) return Error::invalid_configuration("offset arithmetic overflow");
    p = (end.bit_offset + 87) / 8;
    after = *cur + 1;
  }
}

Result<void> decompress_to_sink_with_progress(std::span<const std::uint8_t> input,
                                              output::PipeWriter& sink, const DecodeOptions& options,
                                              const ProgressFn& progress) {
  if (options.memory_limit < kMaxBlockOutput) {
    return Error::invalid_configuration("memory limit must be at least " + std::to_string(kMaxBlockOutput) +
                                        " bytes");
  }
  const std::size_t threads = pipeline::worker_count(options.threads);
  if (threads == 1) return decoder::decode_serial_with_progress(input, sink, progress);
  return decode_parallel(input, sink, options, threads, progress);
}

}  // namespace rvk::decode
