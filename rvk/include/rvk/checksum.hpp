// Checksums of the compressed formats: CRC-32 (gzip polynomial) with the
// combination of partial checksums, and XXH32 (LZ4 frames).
//
// Both wrap the installed libraries (zlib's crc32/crc32_combine, libxxhash's
// XXH32) rather than re-implementing them: they are fast, vectorised and well
// tested. CRC combination is what lets parallel decoders checksum pieces of
// one gzip member independently and join the values in order afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace rvk::checksum {

// CRC-32 of `bytes` continued from `crc` (0 starts a new checksum), as zlib's
// crc32: crc32(b, crc32(a)) == crc32(a ++ b). Any length.
std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0) noexcept;

// The CRC-32 of A ++ B from crc1 = CRC(A), crc2 = CRC(B) and len2 = |B|.
std::uint32_t crc32_combine(std::uint32_t crc1, std::uint32_t crc2, std::uint64_t len2) noexcept;

// A running CRC-32 together with the number of bytes it covers, so two states
// can be joined in order without the bytes.
class Crc32 {
 public:
  Crc32() = default;
  Crc32(std::uint32_t value, std::uint64_t length) : value_(value), length_(length) {}

  void update(std::span<const std::uint8_t> bytes) noexcept {
    value_ = crc32(bytes, value_);
    length_ += bytes.size();
  }
  // Appends the bytes that `next` covers: *this becomes CRC(this ++ next).
  void combine(const Crc32& next) noexcept {
    value_ = crc32_combine(value_, next.value_, next.length_);
    length_ += next.length_;
  }

  std::uint32_t value() const noexcept { return value_; }
  std::uint64_t length() const noexcept { return length_; }

 private:
  std::uint32_t value_ = 0;
  std::uint64_t length_ = 0;
};

// One-shot XXH32 of `bytes` with `seed` (LZ4 uses seed 0).
std::uint32_t xxh32(std::span<const std::uint8_t> bytes, std::uint32_t seed = 0) noexcept;

// Streaming XXH32: update with consecutive pieces, digest at any point
// (digest does not end the stream). Not copyable; movable.
class Xxh32 {
 public:
  explicit Xxh32(std::uint32_t seed = 0);
  Xxh32(Xxh32&&) noexcept;
  Xxh32& operator=(Xxh32&&) noexcept;
  ~Xxh32();

  void update(std::span<const std::uint8_t> bytes) noexcept;
  std::uint32_t digest() const noexcept;
  void reset(std::uint32_t seed = 0) noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace rvk::checksum
