// CRC-32 (the gzip polynomial) folded with carry-less multiplication.
//
// Every decoded byte of a member is checksummed once, on the serial path by
// the emitter and on the parallel path during marker resolution, and a table
// CRC costs about a tenth of the decoding time. On CPUs with PCLMULQDQ the
// bulk of each piece is folded 64 bytes at a time; the folded 16-byte
// remainder has the same CRC as the data it stands for, so it and the last
// few bytes finish with the table code. Other CPUs use the table code for
// everything. The result is the same value zlib's crc32 computes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "rvk/checksum.hpp"

namespace rvk::gzip {

// The CRC-32 of the bytes checksummed by `crc` (zlib convention: 0 for no
// bytes) followed by `bytes`.
std::uint32_t crc32_fold(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;

// Appends `bytes` to a running CRC-32 with its length.
inline void crc32_append(checksum::Crc32& crc, std::span<const std::uint8_t> bytes) noexcept {
  crc = checksum::Crc32(crc32_fold(crc.value(), bytes), crc.length() + bytes.size());
}

}  // namespace rvk::gzip
