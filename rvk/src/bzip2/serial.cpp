// Serial bzip2 decoding and the single-candidate decodes of the parallel
// path.
//
// The serial decoder walks the input with one cursor, stream after stream,
// and reuses the calling thread's work buffer for every block: with one
// worker thread there is nothing to gain from scanning for magics first.
// Candidate decodes are the same block decoder started at a magic found by
// the scan, at the largest level, checked against the CRC the scan saw.
#include "bzip2_internal.hpp"
#include "rvk/pipe.hpp"

namespace rvk::decoder {

namespace {

constexpr std::uint32_t rotl1(std::uint32_t v) { return (v << 1) | (v >> 31); }

}  // namespace

Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> input,
                                          std::uint64_t bit_offset, std::uint32_t crc) {
  WorkBuffer work;
  return decode_candidate(input, bit_offset, crc, work, nullptr);
}

Result<DecodedCandidate> decode_candidate(std::span<const std::uint8_t> input,
                                          std::uint64_t bit_offset, std::uint32_t crc, WorkBuffer& work,
                                          output::BufferBin* bin, std::uint64_t output_cap) {
  Bits bits(input, bit_offset);
  if (bit_offset >= bits.len_bits()) return Error::decode(bit_offset, DecodeError::Truncated);
  RVK_TRY_ASSIGN(std::uint64_t magic, bits.magic());
  if (magic != kBlockMagic) return Error::decode(bit_offset, DecodeError::InvalidMagic);
  RVK_TRY_ASSIGN(BlockOutput block, Decoder::block(work, bits, 9, crc, bin, output_cap));
  DecodedCandidate c;
  c.decoded_len = block.bytes.size();
  c.bytes = std::move(block.bytes);
  c.end_bit = bits.pos;
  c.block_len = block.block_len;
  c.crc = block.crc;
  return c;
}

Result<DecodedCandidate> decode_first_candidate(std::span<const std::uint8_t> input, WorkBuffer& work) {
  Bits bits(input, 32);
  if (32 >= bits.len_bits()) return Error::decode(32, DecodeError::Truncated);
  RVK_TRY_ASSIGN(std::uint64_t magic, bits.magic());
  if (magic != kBlockMagic) return Error::decode(32, DecodeError::InvalidMagic);
  RVK_TRY_ASSIGN(BlockOutput block, Decoder::block(work, bits, 9, std::nullopt));
  DecodedCandidate c;
  c.decoded_len = block.bytes.size();
  c.bytes = std::move(block.bytes);
  c.end_bit = bits.pos;
  c.block_len = block.block_len;
  c.crc = block.crc;
  return c;
}

// The serial decoder proper, over any block sink; `stopped`, when given, is
// polled before every block.
Result<void> decode_serial_impl(std::span<const std::uint8_t> input, const BlockSink& sink,
                                const ProgressFn& progress, const std::atomic<bool>* stopped,
                                output::BufferBin* bin, const DecodedCandidate* sent_first) {
  // An empty file holds no stream at all: refused like a missing header.
  if (input.empty()) return Error::invalid_stream_header();
  Bits bits(input);
  WorkBuffer work;
  std::uint64_t total = 0;
  for (;;) {
    // Stream boundary.
    if (bits.pos >= bits.len_bits()) return ok();
    if (bits.remaining() < 32) return Error::decode(bits.pos, DecodeError::Truncated);
    const std::uint64_t header = bits.pos;
    for (char want : {'B', 'Z', 'h'}) {
      RVK_TRY_ASSIGN(std::uint32_t byte, bits.read(8));
      if (byte != static_cast<std::uint8_t>(want)) return Error::decode(header, DecodeError::InvalidMagic);
    }
    RVK_TRY_ASSIGN(std::uint32_t level_byte, bits.read(8));
    if (level_byte < '1' || level_byte > '9') return Error::decode(header + 24, DecodeError::InvalidLevel);
    const unsigned level = level_byte - '0';

    std::uint32_t combined = 0;
    if (sent_first) {
      // The candidate was decoded at the largest level and its length
      // checked against this stream's, which is what decoding it here
      // would have checked.
      bits.pos = sent_first->end_bit;
      combined = sent_first->crc;
      total = sent_first->decoded_len;
      sent_first = nullptr;
    }
    std::uint64_t magic;
    for (;;) {
      if (stopped && stopped->load(std::memory_order_relaxed)) return Error::reader_stopped();
      RVK_TRY_ASSIGN(magic, bits.magic());
      if (magic != kBlockMagic) break;
      RVK_TRY_ASSIGN(BlockOutput block, Decoder::block(work, bits, level, std::nullopt, bin));
      const std::uint64_t len = block.bytes.size();
      RVK_TRY(sink(std::move(block.bytes)));
      if (total + len < total) return Error::invalid_configuration("decoded offset overflow");
      total += len;
      combined = rotl1(combined) ^ block.crc;
      if (progress) progress(Progress{bits.pos / 8, total});
    }
    const std::uint64_t end_magic = bits.pos - 48;
    if (magic != kEndMagic) return Error::decode(end_magic, DecodeError::InvalidMagic);
    RVK_TRY_ASSIGN(std::uint32_t stream_crc, bits.read(32));
    if (stream_crc != combined) return Error::decode(end_magic, DecodeError::CrcMismatch);
    bits.pos = (end_magic + 80 + 7) / 8 * 8;
  }
}

Result<void> decode_serial(std::span<const std::uint8_t> input, const BlockSink& sink,
                           const ProgressFn& progress) {
  return decode_serial_impl(input, sink, progress, nullptr, nullptr);
}

Result<void> decode_serial_to_pipe(std::span<const std::uint8_t> input, output::PipeWriter& sink,
                                   const ProgressFn& progress, const DecodedCandidate* sent_first) {
  // A block's CRC is checked before its bytes go out.
  BlockSink send = [&sink](std::vector<std::uint8_t>&& bytes) -> Result<void> {
    RVK_TRY(sink.send_batched(std::move(bytes)));
    sink.mark_verified();
    return {};
  };
  auto bin = sink.buffer_bin();
  return decode_serial_impl(input, send, progress, &sink.reader_stopped_flag(), bin.get(), sent_first);
}

Result<void> decode_serial_with_progress(std::span<const std::uint8_t> input,
                                         output::PipeWriter& sink, const ProgressFn& progress) {
  return decode_serial_to_pipe(input, sink, progress, nullptr);
}

}  // namespace rvk::decoder
