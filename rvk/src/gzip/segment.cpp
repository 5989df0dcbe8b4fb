// Segments of a member decoded without their history, marker resolution and
// the window hand-over between segments.
//
// A segment's output lives in one of two growable arrays: 16-bit symbols
// while markers may still be produced, plain bytes after that. The block
// decoder of inflate_block.hpp runs over a `MarkerSink<T>` view of whichever
// array is current, so both modes share the serial decoder's hot loop; the
// mode can only change between blocks, which is where the switch is tested.
//
// The arrays are std::vectors whose size is their usable room (the logical
// length is tracked in the sink), so the byte array can later travel to the
// byte pipe as the owned chunk itself, without a copy.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "../deflate/inflate_block.hpp"
#include "crc32_fold.hpp"
#include "rvk/gzip.hpp"

namespace rvk::gzip {

namespace {

constexpr std::size_t kWindow = 32768;
constexpr std::uint16_t kMarkerBase = 32768;
// Room of the byte array when a segment switches to bytes: 2 MiB of output
// plus the 32 KiB history copy.
constexpr std::size_t kByteRoom = 2129920;
constexpr std::size_t kSymbolRoom = 65536;
// Capacity step of fresh resolved-segment buffers (see resolve_segment).
constexpr std::size_t kRecycleRound = std::size_t{1} << 19;

// A view of one output array as a block decoder sink. `max_len` is the most
// elements the array may hold within the segment's budget. For 16-bit
// symbols, back-references before the array's start become markers; for
// bytes they are errors, as in the serial decoder.
template <class T, class Array>
class MarkerSink {
 public:
  using Elem = T;

  MarkerSink(Array& array, std::size_t length, std::uint64_t max_len)
      : array_(array), max_len_(max_len) {
    point(length);
  }

  T* base;
  T* next;
  T* limit;

  std::size_t length() const noexcept { return static_cast<std::size_t>(next - base); }

  Fault make_room() {
    const std::size_t n = length();
    if (n + inflate::kSinkSlack + 258 >= array_.size() && n < max_len_) grow(n, 258);
    point(n);
    return {};
  }

  Fault put_literal(std::uint8_t byte) {
    const std::size_t n = length();
    if (n >= max_len_) return Fault::plain(FaultKind::BudgetExceeded);
    if (n + 1 + 16 > array_.size()) grow(n, 1);
    *next++ = byte;
    return {};
  }

  Fault put_match(std::uint32_t distance, std::uint32_t length_) {
    const std::size_t n = length();
    if (length_ > max_len_ - std::min<std::uint64_t>(n, max_len_))
      return Fault::plain(FaultKind::BudgetExceeded);
    if (n + length_ + 16 > array_.size()) grow(n, length_);
    if (distance <= n) {
      inflate::copy_match(next, distance, length_);
      next += length_;
      return {};
    }
    if constexpr (sizeof(T) == 1) {
      return Fault::plain(FaultKind::DistanceTooFar, distance, std::min<std::size_t>(n, kWindow));
    } else {
      // Symbols before the segment: markers for the predecessor window; the
      // rest repeats from the segment's start, markers included.
      const std::size_t before = distance - n;
      const std::size_t m = std::min<std::size_t>(length_, before);
      const std::uint16_t first = static_cast<std::uint16_t>(kMarkerBase + (kWindow - before));
      for (std::size_t k = 0; k < m; ++k) next[k] = static_cast<T>(first + k);
      // k - distance is negative here: index with a signed offset, since an
      // unsigned one wraps the pointer around the address space.
      const std::ptrdiff_t back = static_cast<std::ptrdiff_t>(distance);
      for (std::size_t k = m; k < length_; ++k) next[k] = next[static_cast<std::ptrdiff_t>(k) - back];
      next += length_;
      return {};
    }
  }

  Fault put_stored(const std::uint8_t* bytes, std::size_t count) {
    const std::size_t n = length();
    if (count > max_len_ - std::min<std::uint64_t>(n, max_len_))
      return Fault::plain(FaultKind::BudgetExceeded);
    if (n + count + 16 > array_.size()) grow(n, count);
    if constexpr (sizeof(T) == 1) {
      std::memcpy(next, bytes, count);
    } else {
      for (std::size_t i = 0; i < count; ++i) next[i] = bytes[i];
    }
    next += count;
    return {};
  }

 private:
  // Enlarges the array so that `extra` more elements and the slack fit.
  void grow(std::size_t n, std::size_t extra) {
    std::size_t want = std::max<std::size_t>(array_.size() * 2, kSymbolRoom);
    const std::size_t need = n + extra + inflate::kSinkSlack + 258 + 16;
    want = std::max(want, need);
    const std::size_t cap_max = static_cast<std::size_t>(
        std::min<std::uint64_t>(max_len_, std::uint64_t{1} << 40) + inflate::kSinkSlack + 258 + 16);
    want = std::max(std::min(want, cap_max), need);
    array_.resize(want);
    point(n);
  }

  void point(std::size_t n) {
    base = array_.data();
    next = base + n;
    const std::size_t room = array_.size() > inflate::kSinkSlack + 258
                                 ? array_.size() - inflate::kSinkSlack - 258
                                 : 0;
    const std::uint64_t budget_room = max_len_ > 258 ? max_len_ - 258 : 0;
    limit = base + static_cast<std::size_t>(std::min<std::uint64_t>(room, budget_room));
  }

  Array& array_;
  std::uint64_t max_len_;
};

// Without a SegmentMemory (tests, a member's probe) the arrays are the
// segment's own: no per-thread spare, as a decoder thread touching
// thread-local data of a loaded module has it allocated, and a failure there
// ends the process.
Symbols take_symbols(std::size_t room, SegmentMemory* memory) {
  if (memory != nullptr) return memory->take_symbols(room);
  Symbols s;
  s.resize(room);
  return s;
}

void recycle_symbols(Symbols&& s, SegmentMemory* memory) {
  if (s.capacity() != 0 && memory != nullptr) memory->give_symbols(std::move(s));
}

std::vector<std::uint8_t> take_bytes(std::size_t size, SegmentMemory* memory) {
  if (memory != nullptr) return memory->take_bytes(size);
  return std::vector<std::uint8_t>(size);
}

// Whether any of the n symbols at p is a marker. Scans from the end in
// groups of 16, because a segment that still has markers usually has one
// among its last few symbols.
bool has_marker(const std::uint16_t* p, std::size_t n) {
  std::size_t i = n;
  while (i >= 16) {
    i -= 16;
    std::uint16_t any = 0;
    for (std::size_t k = 0; k < 16; ++k) any |= p[i + k];
    if (any & kMarkerBase) return true;
  }
  std::uint16_t any = 0;
  for (std::size_t k = 0; k < i; ++k) any |= p[k];
  return (any & kMarkerBase) != 0;
}

}  // namespace

Symbols SegmentMemory::take_symbols(std::size_t room) {
  Symbols s;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = spare_.size(); i-- > 0;) {
      if (spare_[i].capacity() >= room) {
        s = std::move(spare_[i]);
        spare_.erase(spare_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
  }
  s.resize(room);
  return s;
}

void SegmentMemory::give_symbols(Symbols symbols) {
  symbols.clear();
  std::lock_guard lock(mutex_);
  spare_.push_back(std::move(symbols));
}

output::Bytes SegmentMemory::take_bytes(std::size_t size) {
  output::Bytes b;
  if (bin_) b = bin_->take(size);
  if (b.capacity() < size) {
    b = output::Bytes();
    b.reserve((size + kRecycleRound - 1) / kRecycleRound * kRecycleRound);
  }
  b.resize(size);
  return b;
}

Result<Segment> decode_segment(std::span<const std::uint8_t> input, std::uint64_t start_bit,
                               std::uint64_t end_bit, bool speculative, std::uint64_t budget) {
  return decode_segment(input, start_bit, end_bit, speculative, budget, SegmentStop::AfterDynamic);
}

Result<Segment> decode_segment(std::span<const std::uint8_t> input, std::uint64_t start_bit,
                               std::uint64_t end_bit, bool speculative, std::uint64_t budget,
                               SegmentStop stop, SegmentMemory* memory) {
  if (start_bit > std::uint64_t{input.size()} * 8)
    return invalid_bit(start_bit, "unexpected end of DEFLATE data");
  Segment seg;
  seg.start_bit = start_bit;
  std::size_t n_symbols = 0;
  std::size_t n_bytes = 0;
  bool bytes_mode = !speculative;
  if (bytes_mode) {
    seg.bytes = take_bytes(kByteRoom, memory);
  } else {
    seg.symbols = take_symbols(
        static_cast<std::size_t>(std::min<std::uint64_t>(kByteRoom, budget + inflate::kSinkSlack + 512)),
        memory);
  }
  HuffmanPair tables;
  std::uint64_t pos = start_bit;
  for (;;) {
    inflate::BlockInfo info;
    Fault fault;
    if (bytes_mode) {
      MarkerSink<std::uint8_t, std::vector<std::uint8_t>> sink(seg.bytes, n_bytes, budget - n_symbols + seg.bytes_start);
      fault = inflate::decode_block(input, pos, sink, tables, info);
      n_bytes = sink.length();
    } else {
      MarkerSink<std::uint16_t, Symbols> sink(seg.symbols, n_symbols, budget);
      fault = inflate::decode_block(input, pos, sink, tables, info);
      n_symbols = sink.length();
    }
    if (fault) {
      recycle_symbols(std::move(seg.symbols), memory);
      return fault_error(fault);
    }
    if (!bytes_mode && n_symbols >= kWindow &&
        !has_marker(seg.symbols.data() + n_symbols - kWindow, kWindow)) {
      seg.bytes = take_bytes(std::max(kByteRoom, kWindow + inflate::kSinkSlack + 1024), memory);
      const std::uint16_t* src = seg.symbols.data() + n_symbols - kWindow;
      for (std::size_t i = 0; i < kWindow; ++i) seg.bytes[i] = static_cast<std::uint8_t>(src[i]);
      n_bytes = kWindow;
      seg.bytes_start = kWindow;
      bytes_mode = true;
    }
    if (info.final) {
      seg.end_bit = (pos + 7) & ~std::uint64_t{7};
      seg.is_final = true;
      break;
    }
    if (pos >= end_bit && (info.type == 2 || stop == SegmentStop::AnyBlock)) {
      seg.end_bit = pos;
      break;
    }
  }
  seg.symbols.resize(n_symbols);
  seg.bytes.resize(n_bytes);
  crc32_append(seg.tail_crc, std::span<const std::uint8_t>(seg.bytes).subspan(seg.bytes_start));
  return seg;
}

namespace {

// Stores the 16 symbols at s as bytes if none of them is a marker; false
// (nothing stored) otherwise. Past a segment's first stretch most 16-symbol
// groups hold no marker, so resolution is mostly this narrowing.
inline bool narrow16(const std::uint16_t* s, std::uint8_t* o) {
#if defined(__SSE2__)
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
  const __m128i high = _mm_srli_epi16(_mm_or_si128(a, b), 8);
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) return false;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(a, b));
  return true;
#else
  std::uint16_t any = 0;
  for (int k = 0; k < 16; ++k) any |= s[k];
  if (any >= 256) return false;
  for (int k = 0; k < 16; ++k) o[k] = static_cast<std::uint8_t>(s[k]);
  return true;
#endif
}

// The byte table of the fast resolution: literals map to themselves, markers
// to the window (entries 256 to 32,767 never occur).
struct ResolveTable {
  std::uint8_t map[65536];
  explicit ResolveTable(std::span<const std::uint8_t> window) {
    for (unsigned i = 0; i < 256; ++i) map[i] = static_cast<std::uint8_t>(i);
    std::memset(map + 256, 0, kMarkerBase - 256);
    std::memcpy(map + kMarkerBase, window.data(), kWindow);
  }
  void apply(const std::uint16_t* s, std::size_t n, std::uint8_t* o) const {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      if (narrow16(s + i, o + i)) continue;
      for (std::size_t k = i; k < i + 16; ++k) o[k] = map[s[k]];
    }
    for (; i < n; ++i) o[i] = map[s[i]];
  }
};

// Resolves n symbols into `out`; false if a marker lies before the window's
// start (or a symbol is neither a byte nor a marker). With the whole 32 KiB
// window known, which is the usual case, the loop has no branch per symbol:
// the faults are gathered into one flag and tested once.
bool resolve_checked(const std::uint16_t* s, std::size_t n, std::span<const std::uint8_t> window,
                     std::uint8_t* out) {
  if (window.size() == kWindow) {
    const std::uint8_t* w = window.data();
    unsigned bad = 0;
    std::size_t i = 0;
    auto one = [&](std::size_t k) {
      const std::uint16_t v = s[k];
      bad |= static_cast<unsigned>(v >= 256 && v < kMarkerBase);
      out[k] = v >= kMarkerBase ? w[v - kMarkerBase] : static_cast<std::uint8_t>(v);
    };
    for (; i + 16 <= n; i += 16) {
      if (narrow16(s + i, out + i)) continue;
      for (std::size_t k = i; k < i + 16; ++k) one(k);
    }
    for (; i < n; ++i) one(i);
    return bad == 0;
  }
  const std::size_t missing = kWindow - window.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint16_t v = s[i];
    if (v < 256) {
      out[i] = static_cast<std::uint8_t>(v);
      continue;
    }
    const std::size_t index = v >= kMarkerBase ? v - kMarkerBase : 0;
    if (v < kMarkerBase || index < missing) return false;
    out[i] = window[index - missing];
  }
  return true;
}

constexpr const char* kUnavailableHistory =
    "speculative marker references unavailable predecessor history";

}  // namespace

Result<std::vector<std::uint8_t>> resolve_symbols(std::span<const std::uint16_t> symbols,
                                                  std::span<const std::uint8_t> window) {
  const std::size_t n = symbols.size();
  std::vector<std::uint8_t> out(n);
  if (n == 0) return out;
  if (n >= 131072 && window.size() == kWindow) {
    auto table = std::make_unique<ResolveTable>(window);
    table->apply(symbols.data(), n, out.data());
    return out;
  }
  if (!resolve_checked(symbols.data(), n, window, out.data()))
    return error::Error::invalid_gzip(kUnavailableHistory);
  return out;
}

Result<ResolvedSegment> resolve_segment(Segment segment, std::span<const std::uint8_t> window,
                                        SegmentMemory* memory) {
  // Resolution and the CRC go piece by piece, so that each piece is
  // checksummed while it is still in cache.
  constexpr std::size_t kPiece = 65536;
  ResolvedSegment r;
  const std::size_t n = segment.symbols.size();
  // A spent chunk from the pipe's bin when there is one (see SegmentMemory).
  if (n > 0) r.prefix = take_bytes(n, memory);
  std::unique_ptr<ResolveTable> table;
  if (n >= 131072 && window.size() == kWindow) table = std::make_unique<ResolveTable>(window);
  checksum::Crc32 crc;
  for (std::size_t at = 0; at < n; at += kPiece) {
    const std::size_t m = std::min(kPiece, n - at);
    std::uint8_t* out = r.prefix.data() + at;
    if (table) {
      table->apply(segment.symbols.data() + at, m, out);
    } else if (!resolve_checked(segment.symbols.data() + at, m, window, out)) {
      return error::Error::invalid_gzip(kUnavailableHistory);
    }
    crc32_append(crc, std::span<const std::uint8_t>(out, m));
  }
  crc.combine(segment.tail_crc);
  r.crc = crc;
  r.bytes = std::move(segment.bytes);
  r.bytes_start = segment.bytes_start;
  recycle_symbols(std::move(segment.symbols), memory);
  return r;
}

Result<std::vector<std::uint8_t>> successor_window(const Segment& segment,
                                                   std::span<const std::uint8_t> window) {
  const std::size_t tail = segment.bytes.size() - segment.bytes_start;
  if (tail >= kWindow) {
    return std::vector<std::uint8_t>(segment.bytes.end() - kWindow, segment.bytes.end());
  }
  const std::size_t r = std::min(segment.symbols.size(), kWindow - tail);
  RVK_TRY_ASSIGN(std::vector<std::uint8_t> resolved,
                 resolve_symbols(std::span(segment.symbols).last(r), window));
  const std::size_t keep = std::min(window.size(), kWindow - (r + tail));
  std::vector<std::uint8_t> out;
  out.reserve(keep + r + tail);
  out.insert(out.end(), window.end() - static_cast<std::ptrdiff_t>(keep), window.end());
  out.insert(out.end(), resolved.begin(), resolved.end());
  out.insert(out.end(), segment.bytes.begin() + static_cast<std::ptrdiff_t>(segment.bytes_start),
             segment.bytes.end());
  return out;
}

}  // namespace rvk::gzip
