// Fuzz target: the gzip member loop (headers, DEFLATE, trailers) through the
// stream entry. It may refuse anything but never crash, hang or panic, and a
// sequence of members that zlib takes whole must decode to zlib's bytes.
// Fuzz inputs stay far below the size where the parallel path starts; the
// speculative segment decoder it uses is fuzzed by fuzz_deflate.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_decode.hpp"

namespace {

fuzz::Reference reference(std::span<const std::uint8_t> in) {
    fuzz::Reference ref;
    std::size_t pos = 0;
    std::vector<unsigned char> buf(1 << 16);
    bool any = false;
    while (pos < in.size()) {
        z_stream s{};
        if (inflateInit2(&s, 16 + 15) != Z_OK) return {};
        s.next_in = const_cast<Bytef*>(in.data() + pos);
        s.avail_in = static_cast<uInt>(in.size() - pos);
        int rc = Z_OK;
        while (rc == Z_OK) {
            s.next_out = buf.data();
            s.avail_out = static_cast<uInt>(buf.size());
            rc = inflate(&s, Z_NO_FLUSH);
            ref.bytes.insert(ref.bytes.end(), buf.data(), buf.data() + (buf.size() - s.avail_out));
            if (ref.bytes.size() >= fuzz::kOutputCap) rc = Z_MEM_ERROR;
            if (rc == Z_OK && s.avail_in == 0 && s.avail_out != 0) rc = Z_BUF_ERROR;
        }
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
