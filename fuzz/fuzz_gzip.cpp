// Fuzz target: the gzip member loop (headers, DEFLATE, trailers) through the
// stream entry. It may refuse anything but never crash, hang or panic, and a
// sequence of members that zlib takes whole must decode to zlib's bytes.
// Fuzz inputs stay far below the size where the parallel path starts; the
// speculative segment decoder it uses is fuzzed by fuzz_deflate.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_zlib.hpp"

namespace {

fuzz::Reference reference(std::span<const std::uint8_t> in) {
    fuzz::Reference ref;
    std::size_t pos = 0;
    bool any = false;
    while (pos < in.size()) {
        z_stream s{};
        if (inflateInit2(&s, 16 + 15) != Z_OK) return {};
        s.next_in = const_cast<Bytef*>(in.data() + pos);
        s.avail_in = static_cast<uInt>(in.size() - pos);
        const int rc = fuzz::inflate_all(s, ref.bytes);
        const std::size_t used = (in.size() - pos) - s.avail_in;
        inflateEnd(&s);
        if (rc != Z_STREAM_END) return {};
        pos += used;
        any = true;
    }
    ref.ok = any;
    return ref;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> in(data, size);
    const fuzz::Decoded ours = fuzz::run_stream(rvk::stream::StreamFormat::Gzip, in, 1);
    if (fuzz::check_properties()) fuzz::expect_same(reference(in), ours, "gzip against zlib");
    return 0;
}
