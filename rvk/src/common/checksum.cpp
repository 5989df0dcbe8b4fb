// CRC-32 and XXH32 through the installed zlib and libxxhash.
//
// zlib's crc32 takes a 32-bit length, so crc32_z (size_t) is used for spans of
// any size; crc32_combine's z_off_t is 64-bit on the LP64 platforms we build
// for (checked below).
#include "rvk/checksum.hpp"

#include <xxhash.h>
#include <zlib.h>

#include <new>

namespace rvk::checksum {

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) noexcept {
  if (bytes.empty()) return crc;
  return static_cast<std::uint32_t>(::crc32_z(crc, bytes.data(), bytes.size()));
}

std::uint32_t crc32_combine(std::uint32_t crc1, std::uint32_t crc2, std::uint64_t len2) noexcept {
  static_assert(sizeof(z_off_t) >= 8, "crc32_combine needs 64-bit lengths");
  return static_cast<std::uint32_t>(::crc32_combine(crc1, crc2, static_cast<z_off_t>(len2)));
}

std::uint32_t xxh32(std::span<const std::uint8_t> bytes, std::uint32_t seed) noexcept {
  return ::XXH32(bytes.data(), bytes.size(), seed);
}

struct Xxh32::State {
  XXH32_state_t* state = XXH32_createState();
  ~State() { XXH32_freeState(state); }
};

Xxh32::Xxh32(std::uint32_t seed) : state_(std::make_unique<State>()) {
  if (state_->state == nullptr) throw std::bad_alloc();
  XXH32_reset(state_->state, seed);
}
Xxh32::Xxh32(Xxh32&&) noexcept = default;
Xxh32& Xxh32::operator=(Xxh32&&) noexcept = default;
Xxh32::~Xxh32() = default;

void Xxh32::update(std::span<const std::uint8_t> bytes) noexcept {
  if (!bytes.empty()) XXH32_update(state_->state, bytes.data(), bytes.size());
}

std::uint32_t Xxh32::digest() const noexcept { return XXH32_digest(state_->state); }

void Xxh32::reset(std::uint32_t seed) noexcept { XXH32_reset(state_->state, seed); }

}  // namespace rvk::checksum
