// Parallel decoding of one large gzip member.
//
// The member's compressed data is cut by a grid of 512 KiB. For every grid
// point a worker (stage one) looks for the first bit position at or after it
// where a non-final dynamic block header reads cleanly and decodes from
// there, not knowing the 32 KiB of output before it (markers stand for those
// bytes). The consumer, on the feeder thread, takes the segments in grid
// order and accepts one only if it starts exactly where the previous one
// ended; it then hands the segment with its predecessor window to stage two
// (a worker replaces the markers) and commits the resolved segments to the
// byte pipe in order, joining their CRC-32 values.
//
// Repairs around the basic scheme, none of which changes the output:
// - A segment that starts a little after the expected bit (the blocks in
//   between are stored or fixed, e.g. the empty stored blocks a sync flush
//   leaves) is bridged: the consumer decodes just the gap and accepts the
//   segment after it.
// - A rejected stretch is re-decoded by the consumer; if that fails for any
//   reason (a stretch decoding to more than the segment budget, say), the
//   member continues serially from the expected bit with the known window,
//   so the parallel path never reports a failure the serial decoder would not
//   report, with the serial decoder's own message.
// - Grid jobs run in batches that grow eightfold, so a member that ends soon
//   after the probe does not pay for jobs over the rest of the file, while a
//   large member drains the workers between batches only two or three times.
#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <variant>

#include "rvk/deflate.hpp"
#include "rvk/gzip.hpp"
#include "rvk/pipeline.hpp"

namespace rvk::gzip {

namespace {

// A gap between the expected bit and a segment's start that the consumer
// decodes itself instead of re-decoding the whole stretch.
constexpr std::uint64_t kBridgeBits = 8 * 65536;
// Grid jobs per pipeline run: the first run, the growth from one run to the
// next, and the largest. Every run ends with the workers idle while the last
// few segments finish (about one segment's decoding time), so runs grow fast;
// jobs a run never claims cost nothing but their 48 bytes in the list, as
// the run is cancelled when the member's final block is committed.
constexpr std::uint64_t kFirstBatch = 8;
constexpr std::uint64_t kBatchGrowth = 8;
constexpr std::uint64_t kLargestBatch = 1024;

struct GzipJob {
  std::uint64_t search_start_bit = 0;  // grid point × 8
  std::uint64_t search_end_bit = 0;    // end of the boundary search
  std::uint64_t end_bit = 0;           // next grid point × 8
  std::uint64_t budget = kSegmentBudget;
  std::uint64_t index = 0;             // place in the order (the probe is 0)
  std::uint64_t reservation = kJobReservation;
};

struct ResolveTask {
  Segment segment;
  std::vector<std::uint8_t> window;
};

// At least 57 bits from bit `p`, bits past the end of the input as zero.
inline std::uint64_t bits_at(const std::uint8_t* data, std::uint64_t n, std::uint64_t p) {
  const std::uint64_t byte = p >> 3;
  std::uint64_t w = 0;
  if (byte + 8 <= n) {
    std::memcpy(&w, data + byte, 8);
  } else {
    for (std::uint64_t i = byte; i < n; ++i) w |= std::uint64_t{data[i]} << (8 * (i - byte));
  }
  return w >> (p & 7);
}

// For four 3-bit code lengths (12 bits): their Kraft sum in units of 2^-7
// (bits 0-8) and how many are nonzero (bits 9-11).
struct Kraft4 {
  std::uint16_t entry[4096];
  constexpr Kraft4() : entry() {
    for (unsigned v = 0; v < 4096; ++v) {
      unsigned sum = 0, nonzero = 0;
      for (unsigned f = 0; f < 4; ++f) {
        const unsigned len = (v >> (3 * f)) & 7;
        if (len != 0) {
          sum += 128u >> len;
          ++nonzero;
        }
      }
      entry[v] = static_cast<std::uint16_t>(sum | (nonzero << 9));
    }
  }
};
constexpr Kraft4 kKraft4{};

// The cheap test of a candidate block start on raw bits: a non-final dynamic
// block, sane HLIT/HDIST, and a code-length code that is complete (or a
// single code).
inline bool header_test(const std::uint8_t* data, std::uint64_t n, std::uint64_t p) {
  const std::uint64_t w = bits_at(data, n, p);
  if ((w & 7) != 4) return false;
  if (((w >> 3) & 31) > 29 || ((w >> 8) & 31) > 29) return false;
  if (p + 74 > 8 * n) return false;
  const unsigned count_cl = static_cast<unsigned>((w >> 13) & 15) + 4;
  // The code-length code's lengths, those past HCLEN masked to zero.
  std::uint64_t c = bits_at(data, n, p + 17) & ((std::uint64_t{1} << (3 * count_cl)) - 1);
  // Kraft sum in units of 2^-7: a prefix code is over-subscribed exactly
  // when the sum exceeds 128 and complete when it is 128. Most candidates
  // get here, so the 19 lengths are summed four at a time by table.
  unsigned kraft = 0;
  unsigned nonzero = 0;
  for (int j = 0; j < 5; ++j) {
    const std::uint16_t e = kKraft4.entry[c & 4095];
    c >>= 12;
    kraft += e & 511;
    nonzero += e >> 9;
  }
  return kraft == 128 || nonzero == 1;
}

// The bit offsets k (0-7) of the byte whose bits start `w` (at least 21
// valid bits past k + 12) at which the first three header tests pass:
// BFINAL 0 and BTYPE 2 (bits 0, 0, 1), HLIT not 30 or 31 and HDIST not 30
// or 31 (their top four bits not all ones). One word test for eight
// candidates, so the scan costs a few operations per input byte.
inline unsigned quick_candidates(std::uint64_t w) {
  const std::uint64_t type_ok = ~w & ~(w >> 1) & (w >> 2);
  const std::uint64_t hlit_high = (w >> 4) & (w >> 5) & (w >> 6) & (w >> 7);
  const std::uint64_t hdist_high = (w >> 9) & (w >> 10) & (w >> 11) & (w >> 12);
  return static_cast<unsigned>(type_ok & ~hlit_high & ~hdist_high) & 0xFF;
}

bool is_budget_error(const error::Error& e) {
  return e.is<error::Error::InvalidGzip>() &&
         e.as<error::Error::InvalidGzip>().text == "parallel DEFLATE chunk exceeded its memory budget";
}

// Stage one: the first candidate at or after the grid point that decodes.
Result<Segment> search_and_decode(std::span<const std::uint8_t> input, const GzipJob& job,
                                  SegmentMemory& memory) {
  const std::uint64_t n = input.size();
  const std::uint64_t stop = std::min(8 * n, job.search_end_bit);
  HuffmanPair tables;
  for (std::uint64_t byte = job.search_start_bit / 8; byte * 8 + 13 < stop; ++byte) {
    unsigned mask = quick_candidates(bits_at(input.data(), n, byte * 8));
    while (mask != 0) {
      const unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
      mask &= mask - 1;
      const std::uint64_t p = byte * 8 + k;
      if (p < job.search_start_bit || p + 13 >= stop) continue;
      if (!header_test(input.data(), n, p)) continue;
      BitReader br(input, p + 3);
      if (read_dynamic_tables(br, tables)) continue;
      auto seg = decode_segment(input, p, job.end_bit, true, job.budget, SegmentStop::AfterDynamic,
                                &memory);
      if (seg.ok()) return seg;
      // A candidate that filled the whole budget decoded 8 MiB cleanly: it
      // is a real boundary in a stretch too dense for one segment, and every
      // later candidate would fill the budget too. The consumer decodes such
      // a stretch itself.
      if (is_budget_error(seg.error())) return std::move(seg).error();
    }
  }
  return invalid_bit(job.search_start_bit,
                     "no decodable dynamic DEFLATE boundary found near the parallel grid point");
}

// Sends resolved segments to the pipe in order and keeps the member's size
// and CRC-32.
struct SegmentCommitter {
  output::PipeWriter& sink;
  checksum::Crc32 crc;
  std::uint64_t total = 0;
  std::uint64_t decoded_offset = 0;

  Result<void> commit(ResolvedSegment r) {
    const std::uint64_t len = r.prefix.size() + (r.bytes.size() - r.bytes_start);
    RVK_TRY(sink.send_batched(std::move(r.prefix)));
    RVK_TRY(sink.send_batched(std::move(r.bytes), r.bytes_start));
    crc.combine(r.crc);
    if (total + len < total) return error::Error::invalid_gzip("decoded offset overflow");
    total += len;
    return {};
  }

  // Accounts for bytes a serial continuation sent itself.
  Result<void> add(const DeflateResult& r) {
    crc.combine(checksum::Crc32(r.crc, r.size));
    if (total + r.size < total) return error::Error::invalid_gzip("decoded offset overflow");
    total += r.size;
    return {};
  }
};

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a)
    return std::numeric_limits<std::uint64_t>::max();
  return a * b;
}

// The member after its start (decoded and committed already), from bit
// `expected` with the 32 KiB `window` before it, on `threads` workers.
Result<DeflateResult> parallel_rest(std::span<const std::uint8_t> input, std::uint64_t data_start,
                                    output::PipeWriter& sink, std::uint64_t threads,
                                    std::uint64_t memory_limit, SegmentCommitter& committer,
                                    SegmentMemory& memory, std::vector<std::uint8_t> window,
                                    std::uint64_t expected, SerialWorkspace& workspace) {
  const std::uint64_t n = input.size();
  const std::uint64_t t = std::max<std::uint64_t>(threads, 2);
  const std::uint64_t limit = std::min(saturating_mul(t + 2, kJobReservation), memory_limit);
  const std::uint64_t max_outstanding = saturating_mul(t + 2, 2);
  // The rest of the member, serially from the expected bit.
  auto continue_serially = [&]() -> Result<DeflateResult> {
    RVK_TRY_ASSIGN(DeflateResult r, decode_serial_from(input, expected, sink, window, workspace));
    RVK_TRY(committer.add(r));
    return DeflateResult{r.end_bit, committer.total, committer.crc.value()};
  };

  auto made = pipeline::ThreadPool::create(static_cast<std::size_t>(t), "rvk-");
  // Not a single worker thread to be had (a cap on the user's processes):
  // the feeder thread decodes the rest alone.
  if (!made.ok()) return continue_serially();
  std::unique_ptr<pipeline::ThreadPool> pool = std::move(made).value();

  // Grid jobs are made and run in batches that grow eightfold: nobody
  // knows where the member ends, and a member that ends soon must not pay
  // for a job list over the rest of the file or keep the workers busy far
  // past its end. Each batch is one run of the staged pipeline on the same
  // workers; the consumer's state (expected bit, window, totals) carries
  // over.
  std::vector<GzipJob> jobs;
  std::uint64_t first_k = 1;
  std::uint64_t batch = kFirstBatch;
  for (;;) {
    jobs.clear();
    for (std::uint64_t k = first_k; k < first_k + batch; ++k) {
      const std::uint64_t g = data_start + k * kGridBytes;
      if (g >= n) break;
      GzipJob job;
      job.search_start_bit = 8 * g;
      job.search_end_bit = 8 * std::min(g + kSearchBytes, n);
      job.end_bit = 8 * std::min(g + kGridBytes, n);
      job.index = k;
      jobs.push_back(job);
    }
    // The grid ran out before a final block: finish serially (this reports
    // whatever is wrong with the rest of the data).
    if (jobs.empty()) return continue_serially();
    const std::uint64_t last_k = jobs.back().index;

    pipeline::StagedJobs<GzipJob, Segment, ResolveTask, ResolvedSegment> staged;
    staged.jobs = jobs;
    staged.reservation = [](const GzipJob& j) { return j.reservation; };
    staged.decode = [input, &memory](const GzipJob& j) {
      return search_and_decode(input, j, memory);
    };
    staged.measure = [](const Segment& s) {
      return std::uint64_t{s.symbols.capacity()} * 2 + s.bytes.capacity() + sizeof(Segment);
    };
    staged.index = [](const GzipJob& j) { return j.index; };
    staged.resolve = [&memory](ResolveTask& task) {
      return resolve_segment(std::move(task.segment), task.window, &memory);
    };

    using Results = pipeline::StagedResults<Segment, ResolveTask, ResolvedSegment>;
    // Returns the member's result once its final block is committed, or
    // nothing when the batch is used up.
    auto consume = [&](Results& results) -> Result<std::optional<DeflateResult>> {
      // Commit order: stage-two indices and segments resolved on this thread.
      std::deque<std::variant<std::uint64_t, ResolvedSegment>> pending;
      std::size_t in_stage_two = 0;
      auto commit_front = [&]() -> Result<void> {
        if (auto* index = std::get_if<std::uint64_t>(&pending.front())) {
          RVK_TRY_ASSIGN(ResolvedSegment r, results.take_stage(*index));
          pending.pop_front();
          --in_stage_two;
          return committer.commit(std::move(r));
        }
        ResolvedSegment r = std::move(std::get<ResolvedSegment>(pending.front()));
        pending.pop_front();
        return committer.commit(std::move(r));
      };
      auto commit_all = [&]() -> Result<void> {
        while (!pending.empty()) RVK_TRY(commit_front());
        return {};
      };
      auto serially = [&]() -> Result<std::optional<DeflateResult>> {
        RVK_TRY(commit_all());
        RVK_TRY_ASSIGN(DeflateResult r, continue_serially());
        return std::optional<DeflateResult>(r);
      };
      auto done = [&]() -> Result<std::optional<DeflateResult>> {
        RVK_TRY(commit_all());
        return std::optional<DeflateResult>(
            DeflateResult{expected, committer.total, committer.crc.value()});
      };
      // Resolves a segment decoded on this thread and queues it for commit.
      // False when it cannot be resolved (the serial decoder then takes over).
      auto take_local = [&](Segment seg) -> bool {
        auto next_window = successor_window(seg, window);
        if (!next_window) return false;
        auto resolved = resolve_segment(std::move(seg), window, &memory);
        if (!resolved) return false;
        pending.emplace_back(std::move(resolved).value());
        window = std::move(next_window).value();
        return true;
      };

      for (std::uint64_t k = first_k; k <= last_k; ++k) {
        RVK_TRY(sink.check_reader());
        RVK_TRY_ASSIGN(pipeline::StageOne<Segment> one, results.take(k));
        bool accept = false;
        if (one.result.ok()) {
          const Segment& seg = one.result.value();
          if (seg.start_bit == expected) {
            accept = true;
          } else if (seg.start_bit > expected && seg.start_bit - expected <= kBridgeBits) {
            auto gap = decode_segment(input, expected, seg.start_bit, true, kSegmentBudget,
                                      SegmentStop::AnyBlock, &memory);
            if (gap.ok() && !gap->is_final && gap->end_bit == seg.start_bit) {
              if (!take_local(std::move(gap).value())) {
                results.retire(one.charged);
                return serially();
              }
              expected = seg.start_bit;
              accept = true;
            }
          }
        }
        if (accept) {
          Segment seg = std::move(one.result).value();
          auto next_window = successor_window(seg, window);
          if (!next_window) {
            results.retire(one.charged);
            return serially();
          }
          const bool final = seg.is_final;
          expected = seg.end_bit;
          RVK_TRY(results.submit(k, one.charged, ResolveTask{std::move(seg), std::move(window)}));
          window = std::move(next_window).value();
          pending.emplace_back(k);
          ++in_stage_two;
          while (in_stage_two >= t) RVK_TRY(commit_front());
          if (final) return done();
          continue;
        }
        // Rejected: decode the stretch here from the true boundary.
        results.retire(one.charged);
        RVK_TRY(commit_all());
        const std::uint64_t stretch_end = 8 * std::min(n, data_start + (k + 1) * kGridBytes);
        auto seg = decode_segment(input, expected, stretch_end, true, kSegmentBudget,
                                  SegmentStop::AfterDynamic, &memory);
        if (!seg) return serially();
        const bool final = seg->is_final;
        const std::uint64_t end = seg->end_bit;
        if (!take_local(std::move(seg).value())) return serially();
        expected = end;
        if (final) return done();
        RVK_TRY(commit_all());
      }
      RVK_TRY(commit_all());
      return std::optional<DeflateResult>();
    };

    RVK_TRY_ASSIGN(std::optional<DeflateResult> outcome,
                   pipeline::run_staged_ordered(*pool, staged, limit, max_outstanding, consume));
    if (outcome) return *outcome;
    first_k = last_k + 1;
    batch = std::min(batch * kBatchGrowth, kLargestBatch);
  }
}

}  // namespace

Result<DeflateResult> decompress_deflate_parallel_stream(std::span<const std::uint8_t> input,
                                                         std::uint64_t data_start,
                                                         output::PipeWriter& sink,
                                                         std::uint32_t member_index,
                                                         std::uint64_t decoded_offset,
                                                         std::uint64_t threads,
                                                         std::uint64_t memory_limit,
                                                         Segment probe, SerialWorkspace& workspace) {
  SegmentCommitter committer{sink, {}, 0, decoded_offset};
  SegmentMemory memory(sink.buffer_bin());

  // Segment 0 is the probe, which started the member: no history.
  RVK_TRY_ASSIGN(std::vector<std::uint8_t> window, successor_window(probe, {}));
  const bool final = probe.is_final;
  const std::uint64_t end = probe.end_bit;
  RVK_TRY_ASSIGN(ResolvedSegment r0, resolve_segment(std::move(probe), {}, &memory));
  RVK_TRY(committer.commit(std::move(r0)));
  if (final) return DeflateResult{end, committer.total, committer.crc.value()};
  return parallel_rest(input, data_start, sink, threads, memory_limit, committer, memory, std::move(window), end,
                       workspace);
}

Result<DeflateResult> continue_deflate_parallel_stream(std::span<const std::uint8_t> input,
                                                       std::uint64_t data_start, output::PipeWriter& sink,
                                                       std::uint64_t decoded_offset, std::uint64_t threads,
                                                       std::uint64_t memory_limit, SerialPrefix prefix,
                                                       SerialWorkspace& workspace) {
  SegmentCommitter committer{sink, {}, 0, decoded_offset};
  RVK_TRY(committer.add(prefix.result));
  if (prefix.final) return DeflateResult{prefix.result.end_bit, committer.total, committer.crc.value()};
  SegmentMemory memory(sink.buffer_bin());
  return parallel_rest(input, data_start, sink, threads, memory_limit, committer, memory, std::move(prefix.window),
                       prefix.result.end_bit, workspace);
}

}  // namespace rvk::gzip
