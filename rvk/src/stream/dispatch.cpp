// The format switch run by the feeder thread (see stream.hpp).
#include "rvk/bzip2.hpp"
#include "rvk/gzip.hpp"
#include "rvk/lz4.hpp"
#include "rvk/stream.hpp"

namespace rvk::stream {

namespace {

Result<void> decode(StreamFormat format, std::span<const std::uint8_t> input, output::PipeWriter& sink,
                    const DecodeOptions& options, const ProgressFn& progress) {
  switch (format) {
    case StreamFormat::Bzip2:
      return decode::decompress_to_sink_with_progress(input, sink, options, progress);
    case StreamFormat::Gzip:
    case StreamFormat::Lz4:
      // Nothing is sent before this check.
      if (options.memory_limit < kMinMemoryLimit) {
        return Error::invalid_configuration("memory limit must be at least " + std::to_string(kMinMemoryLimit) +
                                            " bytes");
      }
      if (format == StreamFormat::Gzip) {
        return gzip::decompress_to_sink_with_options_and_progress(input, sink, options, progress);
      }
      return lz4::decompress_to_sink_with_options_and_progress(input, sink, options, progress);
    case StreamFormat::Zip:
      break;
  }
  return Error::unsupported_format("rvk::Reader supports bzip2, gzip, and LZ4 streams");
}

}  // namespace

Result<void> decode_stream_to_sink_with_progress(StreamFormat format, std::span<const std::uint8_t> input,
                                                 output::PipeWriter& sink, const DecodeOptions& options,
                                                 const ProgressFn& progress) {
  // The decoders batch small pieces; what is left goes out before success is
  // reported (after a failure, closing the pipe hands it over).
  RVK_TRY(decode(format, input, sink, options, progress));
  return sink.flush();
}

}  // namespace rvk::stream
