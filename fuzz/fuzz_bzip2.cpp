// Fuzz target: the bzip2 decoder through the stream entry, on one thread
// (the serial path) and on two (the block scan and the parallel assembly).
// Neither may crash, hang or panic; what the serial path decodes the
// parallel path decodes alike; and input that libbz2 takes whole as a
// sequence of streams must decode to libbz2's bytes on both paths (but see
// the Huffman tables below).
#include <bzlib.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_decode.hpp"

namespace {

fuzz::Reference reference(std::span<const std::uint8_t> in) {
    fuzz::Reference ref;
    std::size_t pos = 0;
    std::vector<char> buf(1 << 16);
    bool any = false;
    while (pos < in.size()) {
        bz_stream s{};
        if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return {};
        s.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data() + pos));
        s.avail_in = static_cast<unsigned>(in.size() - pos);
        int rc = BZ_OK;
        while (rc == BZ_OK) {
            s.next_out = buf.data();
            s.avail_out = static_cast<unsigned>(buf.size());
            rc = BZ2_bzDecompress(&s);
            ref.bytes.insert(ref.bytes.end(), buf.data(), buf.data() + (buf.size() - s.avail_out));
            if (ref.bytes.size() >= fuzz::kOutputCap) rc = BZ_MEM_ERROR;
            if (rc == BZ_OK && s.avail_in == 0 && s.avail_out != 0) rc = BZ_UNEXPECTED_EOF;
        }
        const std::size_t used = (in.size() - pos) - s.avail_in;
        BZ2_bzDecompressEnd(&s);
        if (rc != BZ_STREAM_END) return {};
        pos += used;
        any = true;
    }
    ref.ok = any;
    return ref;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Two refusals by design are not compared with libbz2, which takes both:
    // a Huffman table libbz2 builds from any code lengths (over-subscribed
    // ones too, decoding a block that uses only the codes it can tell apart,
    // or symbols past the alphabet), and the legacy randomised blocks.
    const auto refused_by_design = [](const fuzz::Decoded& serial, const fuzz::Decoded&) {
        return !serial.ok && (serial.error.ends_with("invalid bzip2 Huffman table") ||
                              serial.error.ends_with("legacy randomized bzip2 block not supported"));
    };
    fuzz::check_serial_and_parallel(rvk::stream::StreamFormat::Bzip2, std::span<const std::uint8_t>(data, size),
                                    "bzip2", reference, refused_by_design);
    return 0;
}
