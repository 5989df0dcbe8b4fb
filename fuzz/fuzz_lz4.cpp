// Fuzz target: the LZ4 decoder (frames, legacy frames, skippable frames)
// through the stream entry, on one thread and on two. Neither may crash,
// hang or panic; when both succeed they agree; and input that liblz4's frame
// decoder takes whole must come out as liblz4's bytes.
#include <lz4frame.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "fuzz_decode.hpp"

namespace {

// True when `in` holds an LZ4 frame and not only skippable frames (which our
// decoder refuses as "no LZ4 frames" where liblz4 gives empty output).
bool has_frame(std::span<const std::uint8_t> in) {
    std::size_t p = 0;
    while (in.size() - p >= 8) {
        std::uint32_t magic, len;
        std::memcpy(&magic, in.data() + p, 4);
        std::memcpy(&len, in.data() + p + 4, 4);
        if ((magic & 0xFFFFFFF0u) != 0x184D2A50u) return true;
        if (len > in.size() - p - 8) return false;
        p += 8 + std::size_t{len};
    }
    return p < in.size();
}

fuzz::Reference reference(std::span<const std::uint8_t> in) {
    fuzz::Reference ref;
    if (!has_frame(in)) return ref;
    LZ4F_dctx* ctx = nullptr;
    if (LZ4F_isError(LZ4F_createDecompressionContext(&ctx, LZ4F_VERSION))) return {};
    std::vector<unsigned char> buf(1 << 16);
    std::size_t pos = 0;
    std::size_t hint = 1;
    bool bad = false;
    while (pos < in.size() && !bad) {
        std::size_t out_size = buf.size();
        std::size_t in_size = in.size() - pos;
        hint = LZ4F_decompress(ctx, buf.data(), &out_size, in.data() + pos, &in_size, nullptr);
        if (LZ4F_isError(hint)) bad = true;
        pos += in_size;
        ref.bytes.insert(ref.bytes.end(), buf.data(), buf.data() + out_size);
        if (ref.bytes.size() >= fuzz::kOutputCap) bad = true;
        if (!bad && in_size == 0 && out_size == 0) bad = true;  // no progress
    }
    // Output still held back after the input ran out.
    while (!bad && hint != 0) {
        std::size_t out_size = buf.size();
        std::size_t in_size = 0;
        hint = LZ4F_decompress(ctx, buf.data(), &out_size, nullptr, &in_size, nullptr);
        if (LZ4F_isError(hint) || out_size == 0) bad = true;
        ref.bytes.insert(ref.bytes.end(), buf.data(), buf.data() + out_size);
    }
    LZ4F_freeDecompressionContext(ctx);
    ref.ok = !bad && hint == 0 && !in.empty();
    return ref;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // liblz4 lets a match with offset 0 through (copying bytes it has not
    // written yet); the format calls such a block corrupt, and so do we.
    const auto offset_zero = [](const fuzz::Decoded& d) {
        return !d.ok && d.error.find("match offset 0 exceeds") != std::string::npos;
    };
    fuzz::check_serial_and_parallel(
        rvk::stream::StreamFormat::Lz4, std::span<const std::uint8_t>(data, size), "LZ4", reference,
        [&](const fuzz::Decoded& serial, const fuzz::Decoded& parallel) {
            return offset_zero(serial) || offset_zero(parallel);
        });
    return 0;
}
