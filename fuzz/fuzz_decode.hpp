// Shared by the decoder targets: runs a decoder the way the stream reader
// does (on its own thread, feeding a pipe read on the calling thread) with an
// output cap, and turns a panic escaping a decoder into a finding, since a
// panic means a broken invariant and never a data error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_common.hpp"
#include "rvk/options.hpp"
#include "rvk/pipe.hpp"
#include "rvk/stream.hpp"

namespace fuzz {

// Output beyond this is not gathered: the reader leaves and the decoder must
// stop with the broken-pipe error. Keeps one run of a tiny input that
// expands a millionfold from holding gigabytes.
inline constexpr std::size_t kOutputCap = std::size_t{48} << 20;

struct Decoded {
    bool ok = false;
    bool capped = false;  // the reader left at the cap; nothing to compare
    std::string error;
    std::vector<std::uint8_t> bytes;
};

inline Decoded run_decoder(const std::function<rvk::Result<void>(rvk::output::PipeWriter&)>& decode) {
    rvk::output::Drained d = rvk::output::drain(decode, kOutputCap);
    Decoded out;
    out.capped = d.bytes.size() >= kOutputCap;
    out.ok = d.outcome.ok();
    if (!out.ok) {
        out.error = d.outcome.error().to_string();
        if (out.error.find("panicked") != std::string::npos) fail(("decoder panicked: " + out.error).c_str());
    }
    out.bytes = std::move(d.bytes);
    return out;
}

inline Decoded run_stream(rvk::stream::StreamFormat format, std::span<const std::uint8_t> input,
                          std::uint64_t threads) {
    rvk::DecodeOptions options;
    options.threads = threads;
    return run_decoder([&](rvk::output::PipeWriter& w) {
        return rvk::stream::decode_stream_to_sink_with_progress(format, input, w, options, rvk::no_progress());
    });
}

// What the reference library made of the same input: `ok` only when it took
// the whole input as valid, within the cap.
struct Reference {
    bool ok = false;
    std::vector<std::uint8_t> bytes;
};

// A valid stream per the reference must decode to exactly its bytes.
inline void expect_same(const Reference& ref, const Decoded& ours, const char* what) {
    if (!check_properties() || !ref.ok || ours.capped) return;
    if (!ours.ok) fail((std::string(what) + ": valid input refused: " + ours.error).c_str());
    if (ours.bytes != ref.bytes) {
        fail(what, std::string_view(reinterpret_cast<const char*>(ref.bytes.data()), ref.bytes.size()),
             std::string_view(reinterpret_cast<const char*>(ours.bytes.data()), ours.bytes.size()));
    }
}

// Serial and parallel paths are one decoder to their callers: when both
// succeed they must agree byte for byte, and what the serial path decodes
// the parallel path must not refuse.
inline void expect_agree(const Decoded& serial, const Decoded& parallel, const std::string& name) {
    if (!check_properties() || serial.capped || parallel.capped || !serial.ok) return;
    if (!parallel.ok) {
        fail((name + ": the parallel path refused what the serial path decoded: " + parallel.error).c_str());
    }
    if (serial.bytes != parallel.bytes) fail((name + ": serial and parallel output differ").c_str());
}

// The stream entry on one thread and on two: both decode alike, and input
// the reference library takes whole comes out as its bytes on both paths.
// `reference` is called only when the comparisons are on and `skip` (given
// both results) does not excuse the input.
template <class ReferenceFn, class SkipFn>
void check_serial_and_parallel(rvk::stream::StreamFormat format, std::span<const std::uint8_t> in,
                               const char* name, ReferenceFn reference, SkipFn skip) {
    const Decoded serial = run_stream(format, in, 1);
    const Decoded parallel = run_stream(format, in, 2);
    expect_agree(serial, parallel, name);
    if (!check_properties() || skip(serial, parallel)) return;
    const Reference ref = reference(in);
    expect_same(ref, serial, (std::string(name) + " serial against the reference library").c_str());
    expect_same(ref, parallel, (std::string(name) + " parallel against the reference library").c_str());
}

}  // namespace fuzz
