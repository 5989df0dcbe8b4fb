// The serial DEFLATE decoder of one gzip member: blocks one after another
// into the `Emitter`, which streams them into the byte pipe.
//
// Its memory (the 1 MiB history buffer and the dynamic table storage) lives
// in a `SerialWorkspace` so the member loop can reuse it across members; the
// block decoder is the shared template of inflate_block.hpp instantiated
// with the byte sink.
#include <memory>

#include "emitter.hpp"
#include "rvk/gzip.hpp"

namespace rvk::gzip {

struct SerialWorkspace::State {
  std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[Emitter::kCapacity]};
  HuffmanPair tables;
};

SerialWorkspace::SerialWorkspace() : state_(new State) {}
SerialWorkspace::~SerialWorkspace() { delete state_; }

Result<DeflateResult> decode_serial_from(std::span<const std::uint8_t> input,
                                          std::uint64_t start_bit, output::PipeWriter& sink,
                                          std::span<const std::uint8_t> history,
                                          SerialWorkspace& workspace) {
  SerialWorkspace::State& state = workspace.state();
  Emitter out(state.buffer.get(), sink, history);
  std::uint64_t pos = start_bit;
  for (;;) {
    if (Fault f = out.check_reader()) return out.error_for(f);
    inflate::BlockInfo info;
    if (Fault f = inflate::decode_block(input, pos, out, state.tables, info)) return out.error_for(f);
    if (info.final) break;
  }
  if (Fault f = out.finish()) return out.error_for(f);
  return DeflateResult{pos, out.total(), out.crc()};
}

Result<SerialPrefix> decode_serial_prefix(std::span<const std::uint8_t> input, std::uint64_t start_bit,
                                          std::uint64_t stop_bit, output::PipeWriter& sink,
                                          SerialWorkspace& workspace) {
  SerialWorkspace::State& state = workspace.state();
  Emitter out(state.buffer.get(), sink);
  std::uint64_t pos = start_bit;
  bool final = false;
  for (;;) {
    if (Fault f = out.check_reader()) return out.error_for(f);
    inflate::BlockInfo info;
    if (Fault f = inflate::decode_block(input, pos, out, state.tables, info)) return out.error_for(f);
    final = info.final;
    // Where a segment of the parallel decoder would end (after a dynamic
    // block), so that the next grid point's boundary search finds its start.
    if (final || (pos >= stop_bit && info.type == 2)) break;
  }
  if (Fault f = out.finish()) return out.error_for(f);
  const std::span<const std::uint8_t> window = out.recent();
  return SerialPrefix{DeflateResult{pos, out.total(), out.crc()}, final,
                      std::vector<std::uint8_t>(window.begin(), window.end())};
}

Result<DeflateResult> decompress_deflate_serial_stream(std::span<const std::uint8_t> input,
                                                       std::uint64_t start_byte,
                                                       output::PipeWriter& sink,
                                                       std::uint32_t member_index,
                                                       std::uint64_t decoded_offset,
                                                       SerialWorkspace& workspace) {
  return decode_serial_from(input, start_byte * 8, sink, {}, workspace);
}

Result<DeflateResult> decompress_deflate_serial_stream(std::span<const std::uint8_t> input,
                                                       std::uint64_t start_byte,
                                                       output::PipeWriter& sink,
                                                       std::uint32_t member_index,
                                                       std::uint64_t decoded_offset) {
  SerialWorkspace workspace;
  return decompress_deflate_serial_stream(input, start_byte, sink, member_index, decoded_offset,
                                          workspace);
}

}  // namespace rvk::gzip
