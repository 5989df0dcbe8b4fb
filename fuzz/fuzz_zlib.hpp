// Shared by the zlib-controlled targets: runs one inflate stream to its end.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <vector>

#include "fuzz_decode.hpp"

namespace fuzz {

// Inflates from `s` (initialised, input set) into `out` until the stream
// ends or fails; gives zlib's last return code. Output past the cap, or input
// running out mid-stream, count as failures.
inline int inflate_all(z_stream& s, std::vector<std::uint8_t>& out) {
    std::vector<unsigned char> buf(1 << 16);
    int rc = Z_OK;
    while (rc == Z_OK) {
        s.next_out = buf.data();
        s.avail_out = static_cast<uInt>(buf.size());
        rc = inflate(&s, Z_NO_FLUSH);
        out.insert(out.end(), buf.data(), buf.data() + (buf.size() - s.avail_out));
        if (out.size() >= kOutputCap) rc = Z_MEM_ERROR;
        if (rc == Z_OK && s.avail_in == 0 && s.avail_out != 0) rc = Z_BUF_ERROR;
    }
    return rc;
}

}  // namespace fuzz
