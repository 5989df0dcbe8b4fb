// bzip2 decoding: one block from any bit position, the marker scan, and the
// serial and parallel decoders of whole inputs.
//
// bzip2 blocks are not byte-aligned and a block's end is only known once it
// has been decoded, so the block decoder is a pure function of (input bytes,
// bit position): many candidate positions can be decoded at once on different
// threads over one shared, read-only input. The parallel decoder scans the
// input at every bit offset for the 48-bit block and end-of-stream magics,
// decodes every block-magic hit speculatively, and then walks the real chain
// of blocks from the stream header, keeping a candidate only when its end
// lands exactly on the next magic. One thread decodes serially instead.
//
// Bit positions count from the first bit of the whole input, most
// significant bit of each byte first.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "rvk/error.hpp"
#include "rvk/options.hpp"
#include "rvk/result.hpp"

namespace rvk::output {
class PipeWriter;
class BufferBin;
}

namespace rvk::decoder {

using error::DecodeError;

// Largest decoded size of one block at level 9 (the per-job reservation and
// the smallest accepted memory limit).
inline constexpr std::uint64_t kMaxBlockOutput = 46'620'004;
// Block magic (pi) and end-of-stream magic (sqrt(pi)), 48 bits each.
inline constexpr std::uint64_t kBlockMagic = 0x314159265359ULL;
inline constexpr std::uint64_t kEndMagic = 0x177245385090ULL;

// Burrows-Wheeler symbols a block of level `level` (1..9) may hold.
constexpr std::uint64_t max_block_symbols(unsigned level) { return level * 100'000ULL; }
// Bytes one block of level `level` may decode to.
constexpr std::uint64_t max_block_output(unsigned level) { return level * 5'180'000ULL + 4; }

// The bzip2 format's CRC-32 (polynomial 0x04c11db7, most significant bit
// first, initial value all ones, result complemented) of `bytes`.
std::uint32_t block_crc(std::span<const std::uint8_t> bytes) noexcept;

// A read cursor over the whole compressed input, most significant bit first.
// Reads never go past the input; a read that would fails with
// Decode/Truncated at the cursor and leaves the cursor where it was.
class Bits {
 public:
  explicit Bits(std::span<const std::uint8_t> input, std::uint64_t pos = 0) noexcept
      : data_(input.data()), nbytes_(input.size()), pos(pos) {}

  std::span<const std::uint8_t> input() const noexcept { return {data_, nbytes_}; }
  // Length of the input in bits (saturating).
  std::uint64_t len_bits() const noexcept {
    return nbytes_ > UINT64_MAX / 8 ? UINT64_MAX : nbytes_ * 8;
  }
  std::uint64_t remaining() const noexcept { return pos >= len_bits() ? 0 : len_bits() - pos; }

  // 48 bits as two 24-bit reads (the first in the high half); advances by 48.
  Result<std::uint64_t> magic();
  // The next `n` bits (1..32) without advancing.
  Result<std::uint32_t> peek(unsigned n) const;
  // The next `n` bits (1..32), advancing past them.
  Result<std::uint32_t> read(unsigned n);
  // The next bit, advancing by one.
  Result<std::uint32_t> bit();

 private:
  const std::uint8_t* data_;
  std::size_t nbytes_;

 public:
  std::uint64_t pos;  // current position in bits from the input's first bit
};

// The decoding table of one Huffman group.
struct Huffman {
  static constexpr unsigned kFastBits = 12;
  // (length << 9) | symbol for codes of up to kFastBits bits, indexed by the
  // next kFastBits input bits; length 0 = not resolved by this table.
  std::array<std::uint16_t, 1u << kFastBits> fast{};
  // Canonical limits and bases per code length (bzip2's decoding scheme).
  std::array<std::int32_t, 22> limit{};
  std::array<std::int32_t, 22> base{};
  // Symbols ordered by code length, then by value.
  std::array<std::uint16_t, 258> perm{};
  std::uint16_t nsyms = 0;
  std::uint8_t min_len = 0;
  std::uint8_t max_len = 0;

  // Builds the table from one code length per symbol (in symbol order).
  // Empty, too short/long or over-subscribed lengths fail with
  // Decode/InvalidHuffman at `bit_offset`; incomplete codes are accepted.
  static Result<Huffman> build(std::span<const std::uint8_t> lengths, std::uint64_t bit_offset);
  // Fills *this as build does; returns false on the same faults.
  bool assign(std::span<const std::uint8_t> lengths) noexcept;

  // Decodes one symbol, advancing the cursor past its code.
  Result<std::uint32_t> decode(Bits& bits) const;
};

// What one decoded block yields.
struct BlockOutput {
  std::vector<std::uint8_t> bytes;  // decoded output
  std::uint32_t crc = 0;            // block CRC from the header
  std::uint32_t block_len = 0;      // Burrows-Wheeler symbols in the block
};

// Scratch memory of the block decoder, owned by the caller and reused from
// block to block (one per thread). The link table is read in random order,
// so the arrays live in one mapping that asks for huge pages: with 4 KiB
// pages nearly every step of the inverse transform would also miss the TLB.
class WorkBuffer {
 public:
  WorkBuffer() = default;
  WorkBuffer(const WorkBuffer&) = delete;
  WorkBuffer& operator=(const WorkBuffer&) = delete;
  ~WorkBuffer();

  // Makes room for `symbols` Burrows-Wheeler symbols; false when the memory
  // cannot be had.
  bool reserve(std::size_t symbols) noexcept;
  // The bytes reserve(symbols) maps.
  static std::size_t footprint(std::size_t symbols) noexcept;
  // Points `forward` and `lanes` at room for a block of `n` symbols (n at
  // most the reserved count).
  void fit(std::size_t n) noexcept;
  // Blocks of at most this many symbols use the small links and lanes.
  static constexpr std::size_t kSmallSymbols = 196'608;

  // Chains of the inverse transform walked at once.
  static constexpr unsigned kLanes = 12;

  // (next position << 8) | byte by sorted position, plus one sentinel entry.
  std::uint32_t* forward = nullptr;
  std::uint8_t* bytes = nullptr;     // MTF output, then the pre-run-length bytes
  std::uint8_t* lanes = nullptr;     // kLanes walk buffers of lane_capacity() bytes
  std::size_t lane_capacity() const noexcept { return lane_capacity_; }
  std::array<Huffman, 6> tables;
  std::vector<std::uint8_t> selectors;

 private:
  void* map_ = nullptr;
  std::size_t map_len_ = 0;
  std::size_t capacity_ = 0;
  std::size_t lane_capacity_ = 0;
  // Links and lanes for small blocks (in base pages) and for large ones (in
  // huge pages); both point at the small ones when no large block fits.
  std::uint32_t* small_forward_ = nullptr;
  std::uint8_t* small_lanes_ = nullptr;
  std::uint32_t* large_forward_ = nullptr;
  std::uint8_t* large_lanes_ = nullptr;
};

class Decoder {
 public:
  // Decodes the block whose magic ends at `bits.pos` with level `level`
  // (1..9). On success the cursor stands on the first bit after the
  // end-of-block symbol. `expected_crc`, when given, must equal the header
  // CRC (else InvalidBlock at the block start). Every failure is
  // Error::Decode with the fault's bit position; no partial output.
  // Thread-safe over a shared input with one WorkBuffer per thread.
  // `bin`, when given, supplies a spent buffer for the output (saving the
  // page faults of a fresh one).
  // `output_cap`, below the level's limit, makes a longer output fail as
  // BlockOverflow too.
  static Result<BlockOutput> block(WorkBuffer& work, Bits& bits, unsigned level,
                                   std::optional<std::uint32_t> expected_crc,
                                   output::BufferBin* bin = nullptr, std::uint64_t output_cap = UINT64_MAX);
};

// A speculatively decoded block.
struct DecodedCandidate {
  std::vector<std::uint8_t> bytes;  // owned output (emptied once handed on)
  std::uint64_t decoded_len = 0;    // length of the output, kept after handing on
  std::uint64_t end_bit = 0;        // bit just after the end-of-block symbol
  std::uint32_t block_len = 0;      // Burrows-Wheeler symbols
  std::uint32_t crc = 0;            // header CRC
  // Keeps `bytes` charged to the decoder's memory budget until whoever holds
  // them last lets go (empty outside the parallel path).
  std::shared_ptr<void> hold;
};

// Decodes the block whose magic starts at `bit_offset`, at level 9, expecting
// header CRC `crc`, with scratch memory of its own.
Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> input,
                                          std::uint64_t bit_offset, std::uint32_t crc);
// The same with the caller's scratch memory, the output reusing a spent
// buffer from `bin` when it has one; an output longer than `output_cap`
// fails as BlockOverflow.
Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> input,
                                          std::uint64_t bit_offset, std::uint32_t crc, WorkBuffer& work,
                                          output::BufferBin* bin, std::uint64_t output_cap = UINT64_MAX);
// The block right after a 4-byte stream header (magic at bit 32), no CRC
// expectation.
Result<DecodedCandidate> decode_first_candidate(std::span<const std::uint8_t> input, WorkBuffer& work);

// A sink for decoded blocks, called in stream order on the decoding thread.
using BlockSink = std::function<Result<void>(std::vector<std::uint8_t>&&)>;

// Decodes every stream of `input` on the calling thread, one block at a
// time, handing each block's bytes to `sink`. An empty input succeeds.
Result<void> decode_serial(std::span<const std::uint8_t> input, const BlockSink& sink,
                           const ProgressFn& progress = {});
Result<void> decode_serial_with_progress(std::span<const std::uint8_t> input,
                                         output::PipeWriter& sink, const ProgressFn& progress);

}  // namespace rvk::decoder

namespace rvk::format {

// A block-magic hit: its first bit and the 32 bits after it.
struct BlockCandidate {
  std::uint64_t bit_offset = 0;
  std::uint32_t crc = 0;
  friend bool operator==(const BlockCandidate&, const BlockCandidate&) = default;
};
// An end-of-stream-magic hit: its first bit and the 32 bits after it.
struct EndCandidate {
  std::uint64_t bit_offset = 0;
  std::uint32_t crc = 0;
  friend bool operator==(const EndCandidate&, const EndCandidate&) = default;
};
// The hits of one scanned range, each list in ascending bit order.
struct ScanResult {
  std::vector<BlockCandidate> blocks;
  std::vector<EndCandidate> ends;
  bool over_cap = false;  // the scan stopped because the shared hit cap was passed
};

// A cap on hits shared by the ranges of one scan: each hit counts once, and a
// range stops (setting over_cap) as soon as the total passes `cap`, so a
// hostile input cannot make the scan hold more than cap + one hit per range.
struct HitCap {
  std::atomic<std::uint64_t> hits{0};
  std::uint64_t cap = UINT64_MAX;
};

// Scans the bit offsets of bytes [start, end) for both magics (a magic may
// run on into later bytes). Hits too close to the input's end to carry their
// CRC (and, for blocks, the randomised flag and origin pointer) are skipped.
ScanResult scan_range(std::span<const std::uint8_t> input, std::size_t start, std::size_t end,
                      HitCap* cap = nullptr);

}  // namespace rvk::format

namespace rvk::decode {

// One entry of the merged marker list: a magic hit, block or end of stream.
struct Marker {
  enum class Kind : std::uint8_t { Block, End };
  std::uint64_t bit_offset = 0;
  std::uint32_t crc = 0;
  Kind kind = Kind::Block;
};

// One speculative decode of the parallel path.
struct CandidateJob {
  std::uint64_t bit_offset = 0;  // the block marker's first bit
  std::uint32_t crc = 0;         // the CRC the scan saw after it
  std::uint64_t index = 0;       // the marker's index in the marker list
  std::uint64_t reservation = decoder::kMaxBlockOutput;
};

// Where the assembly sends accepted blocks, in stream order (the candidate's
// bytes with their hold).
using CandidateSink = std::function<Result<void>(decoder::DecodedCandidate&&)>;

// Where the assembly gets decoded candidates from: `take` gives the decode
// result of the block marker at an index, `discard_before` releases every
// result of a lower index, held or still to come (false hits inside an
// accepted block).
class Candidates {
 public:
  virtual ~Candidates() = default;
  virtual Result<decoder::DecodedCandidate> take(std::size_t index) = 0;
  virtual void discard_before(std::size_t index) = 0;
};

// Merges the scan's hits into one list sorted by bit offset, each offset
// once. Fails with "input contains too many speculative markers" past
// input_len / 16 + 64 entries.
Result<std::vector<Marker>> merge_markers(std::vector<format::ScanResult>&& ranges,
                                          std::uint64_t input_len);

// Walks the real chain of blocks from the first stream header over the
// marker list, taking each block's decode from `candidates` and sending its
// bytes in order; checks levels, chain ends and stream CRCs.
Result<void> assemble(std::span<const std::uint8_t> input, const CandidateSink& sink,
                      const std::vector<Marker>& markers, Candidates& candidates,
                      const std::atomic<bool>* reader_stopped = nullptr);

// Decodes a whole bzip2 input (one or more streams) and sends the bytes of
// every block, in stream order, to `sink`. `options.threads` 1 decodes
// serially; otherwise a private pool "rvk-0".. of that many threads (0 = one
// per online processor) scans and decodes candidates under a budget of
// `options.memory_limit` bytes. An input holding more magic hits than
// input length / 16 + 64 is decoded serially instead (the parallel path
// never refuses what the serial one decodes). Blocks already sent stay sent
// when a later block fails. Every send happens on the calling thread; the
// pool ends before the call returns.
Result<void> decompress_to_sink_with_progress(std::span<const std::uint8_t> input,
                                              output::PipeWriter& sink, const DecodeOptions& options,
                                              const ProgressFn& progress);

}  // namespace rvk::decode
