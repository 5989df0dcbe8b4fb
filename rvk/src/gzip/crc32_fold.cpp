// CRC-32 by carry-less multiplication (see crc32_fold.hpp).
//
// The folding constants are x^k mod P for the bit-reflected gzip polynomial
// P = 0x104C11DB7, at the distances a 128-bit lane moves forward: 512 bits
// (four lanes at once) and 128 bits (one lane). The PCLMUL code is compiled
// for that instruction set alone and chosen at run time, so the library still
// runs on any x86-64 (and builds elsewhere).
#include "crc32_fold.hpp"

#include <zlib.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define RVK_CRC_PCLMUL 1
#endif

namespace rvk::gzip {

namespace {

std::uint32_t crc32_table(std::uint32_t crc, const std::uint8_t* p, std::size_t n) noexcept {
  while (n > 0) {
    const std::size_t step = n > 0x40000000 ? 0x40000000 : n;
    crc = static_cast<std::uint32_t>(::crc32_z(crc, p, step));
    p += step;
    n -= step;
  }
  return crc;
}

#ifdef RVK_CRC_PCLMUL

// Moves lane `x` forward over the distance `k` encodes and adds it to `data`.
__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k, __m128i data) {
  const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), data);
}

// Precondition: n >= 64. Folds the whole 16-byte blocks and finishes the
// remainder with the table code.
__attribute__((target("pclmul,sse2"))) std::uint32_t crc32_pclmul(std::uint32_t crc,
                                                                   const std::uint8_t* p,
                                                                   std::size_t n) noexcept {
  const __m128i k512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  const __m128i k128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  auto load = [](const std::uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  };
  // The register's starting value (zlib keeps it inverted) enters as data.
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
  __m128i x1 = load(p + 16);
  __m128i x2 = load(p + 32);
  __m128i x3 = load(p + 48);
  p += 64;
  n -= 64;
  while (n >= 64) {
    x0 = fold(x0, k512, load(p));
    x1 = fold(x1, k512, load(p + 16));
    x2 = fold(x2, k512, load(p + 32));
    x3 = fold(x3, k512, load(p + 48));
    p += 64;
    n -= 64;
  }
  __m128i x = fold(x0, k128, x1);
  x = fold(x, k128, x2);
  x = fold(x, k128, x3);
  while (n >= 16) {
    x = fold(x, k128, load(p));
    p += 16;
    n -= 16;
  }
  // x now stands for everything folded so far: its CRC from a zero register
  // (zlib value 0xFFFFFFFF going in) is the CRC of all of it.
  alignas(16) std::uint8_t rest[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(rest), x);
  std::uint32_t c = crc32_table(0xFFFFFFFFu, rest, 16);
  return crc32_table(c, p, n);
}

bool have_pclmul() noexcept {
  static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
  return yes;
}

#endif

}  // namespace

std::uint32_t crc32_fold(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
#ifdef RVK_CRC_PCLMUL
  if (bytes.size() >= 256 && have_pclmul()) return crc32_pclmul(crc, bytes.data(), bytes.size());
#endif
  return crc32_table(crc, bytes.data(), bytes.size());
}

}  // namespace rvk::gzip
