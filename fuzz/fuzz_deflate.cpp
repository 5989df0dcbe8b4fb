// Fuzz target: raw DEFLATE through the two decoders the gzip reader is built
// from: the serial block decoder (continuing from a known block boundary)
// and the speculative segment decoder of the parallel path, which in real
// runs is started at guessed bit offsets inside arbitrary data and so meets
// hostile bits all the time. Neither may crash, hang or panic; a stream that
// zlib takes as valid raw DEFLATE must come out as zlib's bytes from both
// (the segment after resolving its markers against an empty history, which
// is all a valid stream from its first bit can refer to).
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_decode.hpp"
#include "fuzz_zlib.hpp"
#include "rvk/deflate.hpp"
#include "rvk/gzip.hpp"

namespace {

fuzz::Reference reference(std::span<const std::uint8_t> in) {
    fuzz::Reference ref;
    z_stream s{};
    if (inflateInit2(&s, -15) != Z_OK) return {};
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    const int rc = fuzz::inflate_all(s, ref.bytes);
    inflateEnd(&s);
    ref.ok = rc == Z_STREAM_END;
    return ref;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> in(data, size);
    const fuzz::Reference ref = fuzz::check_properties() ? reference(in) : fuzz::Reference{};

    rvk::gzip::SerialWorkspace workspace;
    const fuzz::Decoded serial = fuzz::run_decoder([&](rvk::output::PipeWriter& w) -> rvk::Result<void> {
        auto r = rvk::gzip::decode_serial_from(in, 0, w, {}, workspace);
        if (!r.ok()) return r.error();
        return {};
    });
    fuzz::expect_same(ref, serial, "DEFLATE serial against zlib");

    auto segment = rvk::gzip::decode_segment(in, 0, std::uint64_t{size} * 8, true, rvk::gzip::kSegmentBudget,
                                             rvk::gzip::SegmentStop::AnyBlock);
    if (!segment.ok()) {
        if (ref.ok && ref.bytes.size() < rvk::gzip::kSegmentBudget / 2) {
            fuzz::fail(("DEFLATE segment refused a valid stream: " + segment.error().to_string()).c_str());
        }
        return 0;
    }
    const bool is_final = segment->is_final;
    auto resolved = rvk::gzip::resolve_segment(std::move(*segment), {});
    if (!ref.ok || !is_final || !fuzz::check_properties()) return 0;
    if (!resolved.ok()) fuzz::fail(("DEFLATE segment of a valid stream unresolved: " + resolved.error().to_string()).c_str());
    std::vector<std::uint8_t> out = resolved->prefix;
    out.insert(out.end(), resolved->bytes.begin() + static_cast<std::ptrdiff_t>(resolved->bytes_start),
               resolved->bytes.end());
    if (out != ref.bytes) {
        fuzz::fail("DEFLATE segment against zlib",
                   std::string_view(reinterpret_cast<const char*>(ref.bytes.data()), ref.bytes.size()),
                   std::string_view(reinterpret_cast<const char*>(out.data()), out.size()));
    }
    return 0;
}
