// The bzip2 block decoder: header, symbol map, Huffman tables and selectors,
// the MTF/RLE2 symbol stream, the inverse Burrows-Wheeler transform, the
// initial run-length decoding and the block CRC.
//
// Shape, for speed:
// - The header fields are read with exact, checked bit reads: they are a few
//   thousand bits per block.
// - Symbols are decoded in their groups of 50. While a group cannot reach
//   the input's end (50 codes of at most 20 bits), the loop keeps a 64-bit
//   bit buffer in registers and resolves codes of up to 12 bits with one
//   table lookup; only near the end does it use the exact, per-bit path,
//   which gives the fault positions the checked cursor would. The head of
//   the move-to-front list lives in two registers.
// - The MTF output goes to a byte array (runs become memset). One sequential
//   pass fills the link table `forward`, whose entry at sorted position p
//   holds (next position << 8 | byte). Following the links is one long chain
//   of dependent loads into a table larger than the core's caches, so the
//   walk cuts the cycle into segments at a few dozen flagged positions and
//   follows many segments at once, keeping many cache misses in flight; the
//   segments are then put back in order.
// - The run-length decoding copies eight bytes at a time where no run of
//   four can end; the CRC runs over the output with slice-by-8 tables.
// - Scratch memory (link table, byte arrays) is one huge-page mapping per
//   thread, reused for every block; the output buffer may be a spent one
//   handed back by the reader.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "bzip2_internal.hpp"
#include "rvk/pipe.hpp"

namespace rvk::decoder {

namespace {

#define RVK_BZ_FAIL(what, where) \
  do {                           \
    fault = {(what), (where)};   \
    return false;                \
  } while (0)

// Exact reads for the header: `n` bits at pos (checked), advancing.
struct HeaderReader {
  const std::uint8_t* data;
  std::size_t nbytes;
  std::uint64_t nbits;
  std::uint64_t pos;

  bool has(unsigned n) const noexcept { return pos <= nbits && nbits - pos >= n; }
  std::uint32_t take(unsigned n) noexcept {
    std::uint32_t v = peek_bits(data, nbytes, pos, n);
    pos += n;
    return v;
  }
};

// The length the initial run-length decoding of `pre[0..n)` gives, from a
// fresh run state.
std::uint64_t initial_rle_size(const std::uint8_t* pre, std::size_t n) {
  std::uint64_t size = 0;
  std::size_t i = 0;
  unsigned prev = 256;
  unsigned same = 0;
  while (i < n) {
    const std::uint8_t b = pre[i++];
    ++size;
    if (b != prev) {
      prev = b;
      same = 1;
      continue;
    }
    if (++same < 4) continue;
    if (i == n) break;
    size += pre[i++];
    prev = 256;
    same = 0;
  }
  return size;
}

// Undoes the initial run-length encoding of `pre[0..n)` into `out`, at most
// `limit` bytes. Returns false when the output would pass the limit. The
// output is sized once more at most, to its exact length, so a block never
// holds more than it decodes to (beside `n`), nor two buffers while growing.
bool undo_initial_rle(const std::uint8_t* pre, std::size_t n, std::uint64_t limit,
                      std::vector<std::uint8_t>& out, std::size_t& out_len, output::BufferBin* bin) {
  // Every pre byte yields at most one literal, so room for n bytes plus the
  // repeats keeps the literal path free of capacity checks.
  std::size_t cap = n;
  bool exact = false;  // cap is the output's length
  out.resize(cap);
  std::uint8_t* o = out.data();
  std::size_t op = 0;
  std::size_t i = 0;
  unsigned prev = 256;
  unsigned same = 0;
  while (i < n) {
    // Fast stretch: eight bytes none of which equals the byte before it
    // cannot complete a run of four, so they are copied as they are (and
    // leave a run of one behind). The byte before may be a repeat count;
    // comparing with it only sends more bytes down the careful path.
    if (i > 0 && i + 8 <= n) {
      std::uint64_t x;
      std::uint64_t y;
      std::memcpy(&x, pre + i, 8);
      std::memcpy(&y, pre + i - 1, 8);
      const std::uint64_t z = x ^ y;
      if (((z - 0x0101010101010101ULL) & ~z & 0x8080808080808080ULL) == 0) {
        std::memcpy(o + op, &x, 8);
        op += 8;
        i += 8;
        prev = pre[i - 1];
        same = 1;
        continue;
      }
    }
    std::uint8_t b = pre[i++];
    o[op++] = b;
    if (b != prev) {
      prev = b;
      same = 1;
      continue;
    }
    if (++same < 4) continue;
    // Four equal bytes: the next byte is a repeat count.
    if (i == n) break;
    unsigned count = pre[i++];
    if (op + count > limit) return false;
    if (!exact && op + count + (n - i) > cap) {
      // The rest starts from a fresh run state: its exact length is known.
      const std::uint64_t total = op + count + initial_rle_size(pre + i, n - i);
      if (total > limit) return false;
      cap = static_cast<std::size_t>(total);
      exact = true;
      if (out.capacity() < cap) {
        // A spent buffer large enough saves the page faults of a new one.
        std::vector<std::uint8_t> grown = bin ? bin->take(cap) : std::vector<std::uint8_t>();
        if (grown.capacity() < cap) grown.reserve(cap);
        grown.resize(cap);
        std::memcpy(grown.data(), o, op);
        out.swap(grown);
        if (bin) bin->give(std::move(grown));
      } else {
        out.resize(cap);
      }
      o = out.data();
    }
    std::memset(o + op, b, count);
    op += count;
    prev = 256;
    same = 0;
  }
  if (op > limit) return false;
  out_len = op;
  return true;
}

// Blocks of fewer symbols than kTinyWalk take the plain walk; up to
// kSmallWalk (a 128 KiB link table, in the core's cache) a few chains.
constexpr std::uint32_t kTinyWalk = 512;
constexpr std::uint32_t kSmallWalk = 32768;

// The plain walk: one chain from the origin, n steps. The links need not
// form one cycle: a periodic block (say "abcabc...") has one short cycle per
// period, and walking the origin's cycle n steps still yields the block.
void walk_single(WorkBuffer& work, std::uint32_t n, std::uint32_t origin) noexcept {
  const std::uint32_t* fwd = work.forward;
  std::uint8_t* pre = work.bytes;
  std::uint32_t t = origin;
  for (std::uint32_t k = 0; k < n; ++k) {
    std::uint32_t e = fwd[t];
    pre[k] = static_cast<std::uint8_t>(e);
    t = (e >> 8) & 0xfffffu;
  }
}

// Follows the links of `work.forward` (n entries, one cycle through the
// origin in a valid block) and writes the bytes met, in text order, to
// `work.bytes`. The walk is one long chain of dependent loads, so it is
// split: kPerLane * L positions are flagged as segment starts, and L chains
// walk different segments at once, each stopping when it reaches a flagged
// position. Their segments are
// then put back in cycle order from the origin. When the links do not form
// one cycle through every position (periodic or corrupt data), or one lane's
// share outgrows its buffer, the plain walk is done instead; the result is
// always the plain walk's.
template <unsigned L, unsigned kPerLane>
void walk_links(WorkBuffer& work, std::uint32_t n, std::uint32_t origin) noexcept {
  static_assert(L <= WorkBuffer::kLanes);
  constexpr std::uint32_t kFlag = 0x80000000u;
  constexpr std::uint32_t kLinkMask = 0xfffffu;
  constexpr unsigned kStarts = kPerLane * L;
  std::uint32_t* const fwd = work.forward;

  // Segment starts: evenly spread positions and the origin, sorted, unique.
  std::uint32_t starts[kStarts + 1];
  unsigned nstarts = 0;
  bool origin_in = false;
  for (unsigned j = 0; j < kStarts; ++j) {
    std::uint32_t s = static_cast<std::uint32_t>(static_cast<std::uint64_t>(j) * n / kStarts);
    if (nstarts && starts[nstarts - 1] == s) continue;
    if (!origin_in && origin <= s) {
      if (origin < s) starts[nstarts++] = origin;
      origin_in = true;
    }
    starts[nstarts++] = s;
  }
  if (!origin_in) starts[nstarts++] = origin;
  for (unsigned k = 0; k < nstarts; ++k) fwd[starts[k]] |= kFlag;

  // Entry n is a flagged sentinel: a lane with no segment left parks there.
  const std::uint32_t sentinel = n;
  fwd[sentinel] = kFlag;

  struct Segment {
    std::uint32_t offset = 0;  // in its lane's buffer
    std::uint32_t len = 0;
    std::uint32_t stop = 0;    // the flagged position that ended it
    std::uint8_t lane = 0;
  };
  Segment segs[kStarts + 1];
  std::uint32_t t[L];           // each lane's next position
  std::uint32_t o[L];           // bytes written to each lane's buffer
  unsigned seg_of[L];
  std::uint8_t* lane_buf[L];
  unsigned next_seg = 0;
  unsigned nactive = 0;

  // Starts the lane's next segment (writing its first byte), or parks it.
  auto begin = [&](unsigned l) {
    if (next_seg == nstarts) {
      t[l] = sentinel;
      --nactive;
      return;
    }
    unsigned k = next_seg++;
    seg_of[l] = k;
    segs[k].lane = static_cast<std::uint8_t>(l);
    segs[k].offset = o[l];
    std::uint32_t e = fwd[starts[k]];
    lane_buf[l][o[l]++] = static_cast<std::uint8_t>(e);
    t[l] = (e >> 8) & kLinkMask;
  };
  // Ends the lane's segment at flagged position t[l] and starts the next.
  auto finish = [&](unsigned l) {
    if (t[l] == sentinel) return;
    Segment& sg = segs[seg_of[l]];
    sg.len = o[l] - sg.offset;
    sg.stop = t[l];
    begin(l);
  };
  const std::uint32_t lane_cap = static_cast<std::uint32_t>(work.lane_capacity());
  nactive = L;
  for (unsigned l = 0; l < L; ++l) {
    lane_buf[l] = work.lanes + static_cast<std::size_t>(l) * lane_cap;
    o[l] = 0;
    begin(l);
  }

  // Steady rounds: every lane takes one step per round (a step that meets a
  // flag ends a segment and writes the next one's first byte instead), so
  // the limits are checked once per block of rounds, not per step.
  constexpr std::uint32_t kRounds = 64;
  bool corrupt = false;
  for (;;) {
    if (nactive == 0) break;
    std::uint64_t emitted = 0;
    bool room = true;
    for (unsigned l = 0; l < L; ++l) {
      emitted += o[l];
      room &= o[l] + kRounds <= lane_cap;
    }
    if (!room || emitted + static_cast<std::uint64_t>(kRounds) * L > n) break;
    for (std::uint32_t r = 0; r < kRounds; ++r) {
#pragma GCC unroll 16
      for (unsigned l = 0; l < L; ++l) {
        std::uint32_t e = fwd[t[l]];
        if (__builtin_expect((e & kFlag) != 0, 0)) {
          finish(l);
          continue;
        }
        lane_buf[l][o[l]++] = static_cast<std::uint8_t>(e);
        t[l] = (e >> 8) & kLinkMask;
      }
    }
  }
  // The last steps, checking every limit at every step.
  std::uint64_t emitted = 0;
  for (unsigned l = 0; l < L; ++l) emitted += o[l];
  while (nactive && !corrupt) {
    for (unsigned l = 0; l < L; ++l) {
      std::uint32_t e = fwd[t[l]];
      if (e & kFlag) {
        if (t[l] == sentinel) continue;
        const bool writes = next_seg < nstarts;  // else the lane parks
        if (writes && (emitted >= n || o[l] == lane_cap)) {
          corrupt = true;
          break;
        }
        finish(l);
        emitted += writes;
        continue;
      }
      if (emitted >= n || o[l] == lane_cap) {
        corrupt = true;
        break;
      }
      ++emitted;
      lane_buf[l][o[l]++] = static_cast<std::uint8_t>(e);
      t[l] = (e >> 8) & kLinkMask;
    }
  }
  for (unsigned k = 0; k < nstarts; ++k) fwd[starts[k]] &= ~kFlag;
  if (corrupt) return walk_single(work, n, origin);
  // Links that do not form one cycle leave the plain walk to decide.

  // Put the segments back in cycle order, from the origin's.
  std::uint32_t* first = std::lower_bound(starts, starts + nstarts, origin);
  unsigned cur = static_cast<unsigned>(first - starts);
  std::uint8_t* pre = work.bytes;
  std::uint64_t written = 0;
  for (unsigned visited = 0; visited < nstarts; ++visited) {
    const Segment& sg = segs[cur];
    if (written + sg.len > n) return walk_single(work, n, origin);
    std::memcpy(pre + written, lane_buf[sg.lane] + sg.offset, sg.len);
    written += sg.len;
    std::uint32_t* at = std::lower_bound(starts, starts + nstarts, sg.stop);
    if (at == starts + nstarts || *at != sg.stop) return walk_single(work, n, origin);
    cur = static_cast<unsigned>(at - starts);
    if (visited + 1 < nstarts && starts[cur] == origin) return walk_single(work, n, origin);
  }
  if (written != n || starts[cur] != origin) walk_single(work, n, origin);
}

// The move-to-front list of the symbol stream. Its first 16 entries live in
// two 64-bit words (entry k in byte k % 8 of word k / 8), so the common small
// indices move a byte to the front with a few register operations instead of
// a load that waits for the previous literal's store; entries 16 and up stay
// in memory.
// Moves entry j of the list (head words lo, hi; entries 16 and up in rest,
// which has sixteen bytes of room below its entry 0) to the front and
// returns it.
[[gnu::always_inline]] inline std::uint8_t mtf_take(std::uint64_t& lo, std::uint64_t& hi,
                                                    std::uint8_t* rest, unsigned j) noexcept {
  // keep[k]: the bytes above k of a word (those a shift below k leaves).
  static constexpr std::uint64_t keep[8] = {
      ~0xffULL, ~0xffffULL, ~0xffffffULL, ~0xffffffffULL, ~0xffffffffffULL,
      ~0xffffffffffffULL, ~0xffffffffffffffULL, 0};
  std::uint8_t b;
  if (__builtin_expect(j < 16, 1)) {
    // One path for both words, chosen by masks: which word an index below
    // 16 falls in is as good as random in a block of little text, and a
    // branch on it was mispredicted about a third of the time.
    const std::uint64_t in_hi = 0 - static_cast<std::uint64_t>(j >> 3);  // all ones for 8..15
    const std::uint64_t k = keep[j & 7];
    const std::uint64_t word = lo ^ ((lo ^ hi) & in_hi);
    b = static_cast<std::uint8_t>(word >> (8 * (j & 7)));
    // In its word, the entries below j move up one; the byte moved in at the
    // bottom is b itself (low word) or the low word's top entry (high word).
    const std::uint64_t fill = ((lo >> 56) & in_hi) | (b & ~in_hi);
    const std::uint64_t moved = (word & k) | (((word << 8) | fill) & ~k);
    hi = (moved & in_hi) | (hi & ~in_hi);
    lo = (((lo << 8) | b) & in_hi) | (moved & ~in_hi);
  } else {
    b = rest[j];
    // Entries 16..j-1 move up one, sixteen at a time from the top: each
    // chunk is read before the one above it is written over. The lowest
    // chunk may start below 16 (entries that are not the list's), and the
    // store of entry 16 below sets what it wrote there right. A library
    // memmove of a few dozen bytes costs a call and a mispredicted size
    // dispatch, for the large indices that blocks of little text are full of.
    // The first two chunks move whatever j is (`rest` has sixteen bytes of
    // room below it), so that indices below 48 take no branch on their size.
    std::uint8_t chunk[16];
    std::memcpy(chunk, rest + j - 16, 16);
    std::memcpy(rest + j - 15, chunk, 16);
    std::memcpy(chunk, rest + j - 32, 16);
    std::memcpy(rest + j - 31, chunk, 16);
    for (int k = static_cast<int>(j) - 32; k > 16; k -= 16) {
      std::memcpy(chunk, rest + k - 16, 16);
      std::memcpy(rest + k - 15, chunk, 16);
    }
    rest[16] = static_cast<std::uint8_t>(hi >> 56);
    hi = (hi << 8) | (lo >> 56);
    lo = (lo << 8) | b;
  }
  return b;
}

struct MtfList {
  std::uint64_t lo = 0;  // entries 0..7
  std::uint64_t hi = 0;  // entries 8..15
  // Entries 16..255 at their own index from rest(), after sixteen bytes
  // that mtf_take may write over.
  std::uint8_t buf[16 + 256] = {};
  std::uint8_t* rest() noexcept { return buf + 16; }

  void init(const std::uint8_t* used, unsigned nused) noexcept {
    std::uint8_t all[256] = {};
    std::memcpy(all, used, nused);
    std::memcpy(&lo, all, 8);
    std::memcpy(&hi, all + 8, 8);
    std::memcpy(rest() + 16, all + 16, 240);
  }
  std::uint8_t front() const noexcept { return static_cast<std::uint8_t>(lo); }

  // Moves entry j to the front and returns it.
  std::uint8_t take(unsigned j) noexcept { return mtf_take(lo, hi, rest(), j); }
};

// What the next eight bits do to a code length: a length is a run of
// two-bit steps ("10" adds one, "11" takes one away) ended by a "0". `bits`
// are the bits taken, `delta` what they add, `low` and `high` the lowest and
// highest the length passes on the way (relative, the start included: the
// length must stay within 1 to 20 at every step), `done` whether its "0"
// came. Eight bits hold a whole length of up to three steps, or four steps
// of a longer one.
struct LengthStep {
  std::uint8_t bits = 0;
  std::int8_t delta = 0;
  std::int8_t low = 0;
  std::int8_t high = 0;
  bool done = false;
};
struct LengthSteps {
  LengthStep step[256];
  constexpr LengthSteps() : step{} {
    for (unsigned x = 0; x < 256; ++x) {
      LengthStep e;
      unsigned i = 0;
      int at = 0;
      while (i < 8) {
        if (!((x >> (7 - i)) & 1)) {
          ++i;
          e.done = true;
          break;
        }
        at += (x >> (6 - i)) & 1 ? -1 : 1;
        i += 2;
        e.low = static_cast<std::int8_t>(at < e.low ? at : e.low);
        e.high = static_cast<std::int8_t>(at > e.high ? at : e.high);
      }
      e.bits = static_cast<std::uint8_t>(i);
      e.delta = static_cast<std::int8_t>(at);
      step[x] = e;
    }
  }
};
constexpr LengthSteps kLengthSteps;

}  // namespace

bool decode_block(WorkBuffer& work, const std::uint8_t* data, std::size_t nbytes,
                  std::uint64_t& pos_io, unsigned level, const std::uint32_t* expected_crc,
                  BlockOutput& out, Fault& fault, output::BufferBin* bin, std::uint64_t output_cap) {
  const std::uint64_t nbits = nbytes > UINT64_MAX / 8 ? UINT64_MAX : nbytes * 8;
  const std::uint64_t block_start = pos_io >= 48 ? pos_io - 48 : 0;
  const std::uint32_t max_syms = static_cast<std::uint32_t>(max_block_symbols(level));
  HeaderReader r{data, nbytes, nbits, pos_io};

  // 1-3. CRC, randomised flag, origin pointer.
  if (!r.has(32)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
  const std::uint32_t header_crc = r.take(32);
  if (expected_crc && *expected_crc != header_crc) RVK_BZ_FAIL(DecodeError::InvalidBlock, block_start);
  if (!r.has(1)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
  if (r.take(1)) RVK_BZ_FAIL(DecodeError::RandomizedBlock, block_start);
  if (!r.has(24)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
  const std::uint32_t origin = r.take(24);

  // 4. Symbol map.
  if (!r.has(16)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
  const std::uint32_t groups_used = r.take(16);
  std::uint8_t used[256];
  unsigned nused = 0;
  for (unsigned g = 0; g < 16; ++g) {
    if (!(groups_used & (0x8000u >> g))) continue;
    if (!r.has(16)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
    std::uint32_t bits = r.take(16);
    for (unsigned k = 0; k < 16; ++k) {
      if (bits & (0x8000u >> k)) used[nused++] = static_cast<std::uint8_t>(16 * g + k);
    }
  }
  if (nused == 0) RVK_BZ_FAIL(DecodeError::InvalidBlock, block_start);
  const unsigned alpha = nused + 2;
  const unsigned eob = nused + 1;

  // 5-6. Group and selector counts.
  if (!r.has(3)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
  const unsigned ngroups = r.take(3);
  if (ngroups < 2 || ngroups > 6) RVK_BZ_FAIL(DecodeError::InvalidHuffman, r.pos);
  if (!r.has(15)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
  const unsigned nsel = r.take(15);
  if (nsel == 0) RVK_BZ_FAIL(DecodeError::InvalidBlock, r.pos);

  // 7. Selectors: unary numbers through a move-to-front list.
  work.selectors.resize(nsel);
  {
    std::uint8_t mtf[6] = {0, 1, 2, 3, 4, 5};
    for (unsigned s = 0; s < nsel; ++s) {
      unsigned j = 0;
      for (;;) {
        if (!r.has(1)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
        if (!r.take(1)) break;
        if (++j == ngroups) RVK_BZ_FAIL(DecodeError::InvalidBlock, r.pos);
      }
      std::uint8_t v = mtf[j];
      for (; j > 0; --j) mtf[j] = mtf[j - 1];
      mtf[0] = v;
      work.selectors[s] = v;
    }
  }

  // 8. Code lengths, delta-coded, one table per group. A small block spends
  // much of its time here (up to six tables of 258 lengths), and taken a bit
  // at a time every length costs a branch on its data, mispredicted about
  // every other time. So a length's bits are read eight at a time through
  // kLengthSteps where the input has eight more bytes: one lookup takes a
  // whole short length, or four of its steps. A step that could take the
  // length outside 1 to 20, or the input's last bytes, go bit by bit, which
  // gives the exact fault position.
  {
    std::uint8_t lengths[258];
    std::uint64_t window = 0;  // the next `avail` bits from r.pos on, first bit at the top
    unsigned avail = 0;
    for (unsigned g = 0; g < ngroups; ++g) {
      if (!r.has(5)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
      int len = static_cast<int>(r.take(5));
      avail = 0;
      for (unsigned s = 0; s < alpha; ++s) {
        for (;;) {
          if (avail < 8 && (r.pos >> 3) + 8 <= nbytes) {
            window = load_be64(data + (r.pos >> 3)) << (r.pos & 7);
            avail = 64 - static_cast<unsigned>(r.pos & 7);
          }
          if (avail >= 8) {
            const LengthStep e = kLengthSteps.step[window >> 56];
            if (len + e.low >= 1 && len + e.high <= 20) {
              len += e.delta;
              window <<= e.bits;
              avail -= e.bits;
              r.pos += e.bits;
              if (e.done) break;
              continue;
            }
          }
          avail = 0;
          if (len < 1 || len > 20) RVK_BZ_FAIL(DecodeError::InvalidHuffman, r.pos);
          if (!r.has(1)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
          if (!r.take(1)) break;
          if (!r.has(1)) RVK_BZ_FAIL(DecodeError::Truncated, r.pos);
          len += r.take(1) ? -1 : 1;
        }
        lengths[s] = static_cast<std::uint8_t>(len);
      }
      if (!work.tables[g].assign({lengths, alpha})) RVK_BZ_FAIL(DecodeError::InvalidHuffman, r.pos);
    }
  }

  // 9. Symbol stream: Huffman codes -> MTF/RLE2 -> bytes.
  // Sized once for the largest level so mixed levels never remap.
  if (!work.reserve(max_block_symbols(9))) {
    fault = Fault{DecodeError::InvalidBlock, block_start, true};
    return false;
  }
  std::uint8_t* const ll = work.bytes;
  std::uint32_t counts[256] = {};
  MtfList mtf;
  mtf.init(used, nused);
  std::uint32_t n = 0;
  std::uint64_t run = 0;
  unsigned run_syms = 0;
  const std::uint8_t* sel = work.selectors.data();
  const std::uint8_t* const sel_end = sel + nsel;
  bool done = false;

  // The bit buffer of the fast groups: `bitbuf` holds `bitcount` (56..63
  // after a refill) unread bits at its top; `next` is the first byte not yet
  // in it. The position in bits is (next - data) * 8 - bitcount.
  const std::uint8_t* next = data + (r.pos >> 3);
  std::uint64_t bitbuf = 0;
  unsigned bitcount = 0;
  auto refill = [&] {
    bitbuf |= load_be64(next) >> bitcount;
    next += (63 - bitcount) >> 3;
    bitcount |= 56;
  };
  auto position = [&] { return static_cast<std::uint64_t>(next - data) * 8 - bitcount; };
  // Puts the buffer at bit `at`. Without 8 bytes left it only keeps the
  // position (next rounded up, bitcount the bits of the partial byte): the
  // fast groups are never entered there.
  auto seek = [&](std::uint64_t at) {
    bitbuf = 0;
    if ((at >> 3) + 8 <= nbytes) {
      next = data + (at >> 3);
      bitcount = 0;
      refill();
      bitbuf <<= (at & 7);
      bitcount -= static_cast<unsigned>(at & 7);
    } else {
      next = data + ((at + 7) >> 3);
      bitcount = static_cast<unsigned>((8 - (at & 7)) & 7);
    }
  };
  seek(r.pos);
  // A group of 50 codes of at most 20 bits, plus the 8-byte loads.
  constexpr std::size_t kGroupBytes = 50 * 20 / 8 + 24;
  const std::uint8_t* const fast_end = nbytes >= kGroupBytes ? data + (nbytes - kGroupBytes) : data;

  // Applies one non-run symbol (a literal or end-of-block) after flushing a
  // pending run; false on a fault, with the position after the symbol.
  auto literal = [&](std::uint32_t sym, std::uint64_t at) -> bool {
    if (run) {
      if (n + run > max_syms) {
        fault = {DecodeError::BlockOverflow, at};
        return false;
      }
      std::uint8_t b = mtf.front();
      std::memset(ll + n, b, run);
      counts[b] += static_cast<std::uint32_t>(run);
      n += static_cast<std::uint32_t>(run);
      run = 0;
    }
    run_syms = 0;
    if (sym == eob) {
      done = true;
      return true;
    }
    if (n >= max_syms) {
      fault = {DecodeError::InvalidBlock, at};
      return false;
    }
    std::uint8_t b = mtf.take(sym - 1);
    ll[n++] = b;
    ++counts[b];
    return true;
  };
  // A run symbol; false on a fault.
  auto run_symbol = [&](std::uint32_t sym, std::uint64_t at) -> bool {
    if (run_syms == 31) {
      fault = {DecodeError::BlockOverflow, at};
      return false;
    }
    run += static_cast<std::uint64_t>(sym + 1) << run_syms;
    ++run_syms;
    if (run > max_syms) {
      fault = {DecodeError::BlockOverflow, at};
      return false;
    }
    return true;
  };

  while (!done) {
    if (sel == sel_end) RVK_BZ_FAIL(DecodeError::InvalidBlock, position());
    const Huffman& h = work.tables[*sel++];
    if (next < fast_end) {
      // Fast group: no read in it can reach the input's end. The bit buffer,
      // the run state, the block length and the head of the move-to-front
      // list are copied into locals that no lambda sees, so they stay in
      // registers; they are written back when the group ends.
      const std::uint16_t* const table = h.fast.data();
      std::uint64_t bb = bitbuf;
      unsigned bc = bitcount;
      const std::uint8_t* nx = next;
      std::uint32_t ln = n;
      std::uint64_t lrun = run;
      unsigned lrs = run_syms;
      std::uint64_t mlo = mtf.lo;
      std::uint64_t mhi = mtf.hi;
      auto here = [&] { return static_cast<std::uint64_t>(nx - data) * 8 - bc; };
      for (int k = 0; k < 50; ++k) {
        // A refill leaves at least 56 bits: enough for two codes, so every
        // other symbol skips it and its load drops out of the chain.
        if ((k & 1) == 0) {
          bb |= load_be64(nx) >> bc;
          nx += (63 - bc) >> 3;
          bc |= 56;
        }
        std::uint16_t e = table[bb >> (64 - Huffman::kFastBits)];
        std::uint32_t sym;
        unsigned len = e >> 9;
        if (__builtin_expect(len != 0, 1)) {
          sym = e & 511;
        } else {
          // Longer than the table: walk the canonical limits from the first
          // length the table cannot hold (shorter prefixes all lie above
          // their limits, or the table would have resolved them).
          if (h.max_len <= Huffman::kFastBits) RVK_BZ_FAIL(DecodeError::InvalidHuffman, here() + h.max_len);
          len = h.min_len > Huffman::kFastBits ? h.min_len : Huffman::kFastBits + 1;
          std::int32_t code = static_cast<std::int32_t>(bb >> (64 - len));
          while (code > h.limit[len]) {
            if (len >= h.max_len) RVK_BZ_FAIL(DecodeError::InvalidHuffman, here() + len);
            ++len;
            code = static_cast<std::int32_t>(bb >> (64 - len));
          }
          std::int32_t index = code - h.base[len];
          if (index < 0 || index >= h.nsyms) RVK_BZ_FAIL(DecodeError::InvalidHuffman, here() + len);
          sym = h.perm[static_cast<std::size_t>(index)];
        }
        bb <<= len;
        bc -= len;
        if (sym <= 1) {
          // RUNA / RUNB: the run grows by (sym + 1) << (run symbols so far).
          if (__builtin_expect(lrs == 31, 0)) RVK_BZ_FAIL(DecodeError::BlockOverflow, here());
          lrun += static_cast<std::uint64_t>(sym + 1) << lrs;
          ++lrs;
          if (__builtin_expect(lrun > max_syms, 0)) RVK_BZ_FAIL(DecodeError::BlockOverflow, here());
          continue;
        }
        if (lrun) {
          if (__builtin_expect(ln + lrun > max_syms, 0)) RVK_BZ_FAIL(DecodeError::BlockOverflow, here());
          const std::uint8_t b = static_cast<std::uint8_t>(mlo);
          if (lrun <= 16) {
            // Short runs (most of them) as two word stores; the byte array
            // has slack after the block's largest size.
            const std::uint64_t pattern = 0x0101010101010101ULL * b;
            std::memcpy(ll + ln, &pattern, 8);
            std::memcpy(ll + ln + 8, &pattern, 8);
          } else {
            std::memset(ll + ln, b, lrun);
          }
          counts[b] += static_cast<std::uint32_t>(lrun);
          ln += static_cast<std::uint32_t>(lrun);
          lrun = 0;
        }
        lrs = 0;
        if (__builtin_expect(sym == eob, 0)) {
          done = true;
          break;
        }
        if (__builtin_expect(ln >= max_syms, 0)) RVK_BZ_FAIL(DecodeError::InvalidBlock, here());
        const std::uint8_t b = mtf_take(mlo, mhi, mtf.rest(), sym - 1);
        ll[ln++] = b;
        ++counts[b];
      }
      bitbuf = bb;
      bitcount = bc;
      next = nx;
      n = ln;
      run = lrun;
      run_syms = lrs;
      mtf.lo = mlo;
      mtf.hi = mhi;
    } else {
      // Near the end: exact reads with the checked cursor's positions.
      std::uint64_t pos = position();
      for (int k = 0; k < 50 && !done; ++k) {
        std::uint32_t sym;
        if (!decode_exact(h, data, nbytes, pos, sym, fault)) return false;
        if (sym <= 1 ? !run_symbol(sym, pos) : !literal(sym, pos)) return false;
      }
      seek(pos);
    }
  }
  const std::uint64_t pos = position();

  // 10. Origin pointer.
  if (origin >= n) RVK_BZ_FAIL(DecodeError::InvalidBlock, block_start);

  // 11. Inverse Burrows-Wheeler transform.
  work.fit(n);
  std::uint32_t* const fwd = work.forward;
  {
    std::uint32_t start[256];
    std::uint32_t sum = 0;
    for (unsigned b = 0; b < 256; ++b) {
      start[b] = sum;
      sum += counts[b];
    }
    // Two bytes per step: equal neighbours (common in the Burrows-Wheeler
    // column) then cost one counter update instead of a store and a reload
    // that waits for it.
    std::uint32_t i = 0;
    for (; i + 2 <= n; i += 2) {
      const std::uint32_t b0 = ll[i];
      const std::uint32_t b1 = ll[i + 1];
      const std::uint32_t p0 = start[b0];
      const std::uint32_t q1 = start[b1];
      const std::uint32_t p1 = b0 == b1 ? p0 + 1 : q1;
      start[b0] = p0 + 1;
      start[b1] = p1 + 1;
      fwd[p0] = (i << 8) | b0;
      fwd[p1] = ((i + 1) << 8) | b1;
    }
    for (; i < n; ++i) {
      const std::uint32_t b = ll[i];
      fwd[start[b]++] = (i << 8) | b;
    }
  }
  // ll is free now: the walk leaves the pre-run-length bytes in it. The
  // link table of a small block stays in the core's cache, where a step of
  // one chain still waits for the load before it (some six cycles): four
  // chains over sixteen segments hide most of that at little set-up, while
  // a tiny block has nothing to gain from any.
  if (n < kTinyWalk) {
    walk_single(work, n, origin);
  } else if (n <= kSmallWalk) {
    walk_links<4, 4>(work, n, origin);
  } else {
    walk_links<WorkBuffer::kLanes, 8>(work, n, origin);
  }

  // 12-13. Initial run-length decoding and the block CRC.
  std::size_t out_len = 0;
  // Spent buffers are large (64 KiB or more): a small block allocates its own.
  if (bin && out.bytes.capacity() < n && n >= 65536) out.bytes = bin->take(n);
  if (!undo_initial_rle(ll, n, std::min<std::uint64_t>(max_block_output(level), output_cap), out.bytes, out_len,
                        bin)) {
    RVK_BZ_FAIL(DecodeError::BlockOverflow, block_start);
  }
  out.bytes.resize(out_len);
  if (block_crc(out.bytes) != header_crc) RVK_BZ_FAIL(DecodeError::CrcMismatch, block_start);
  out.crc = header_crc;
  out.block_len = n;
  pos_io = pos;
  return true;
}

Result<BlockOutput> Decoder::block(WorkBuffer& work, Bits& bits, unsigned level,
                                   std::optional<std::uint32_t> expected_crc,
                                   output::BufferBin* bin, std::uint64_t output_cap) {
  BlockOutput out;
  Fault fault;
  std::span<const std::uint8_t> in = bits.input();
  std::uint64_t pos = bits.pos;
  const std::uint32_t* expect = expected_crc ? &*expected_crc : nullptr;
  if (!decode_block(work, in.data(), in.size(), pos, level, expect, out, fault, bin, output_cap)) {
    return to_error(fault);
  }
  bits.pos = pos;
  return out;
}

WorkBuffer::~WorkBuffer() {
  if (map_) munmap(map_, map_len_);
}

namespace {
constexpr std::size_t kHuge = 2u << 20;
std::size_t lane_capacity_for(std::size_t symbols) { return 2 * symbols / WorkBuffer::kLanes + 64; }
std::size_t round64(std::size_t bytes) { return (bytes + 63) / 64 * 64; }
// Links (one more entry: the walk's parking sentinel) and lanes of a block
// of `symbols` symbols.
std::size_t links_and_lanes(std::size_t symbols) {
  return round64((symbols + 16) * 4) + lane_capacity_for(symbols) * WorkBuffer::kLanes + 64;
}
std::size_t small_symbols(std::size_t symbols) { return std::min(symbols, WorkBuffer::kSmallSymbols); }
std::size_t head_bytes(std::size_t symbols) {
  // 16 bytes of slack for word-wide run stores.
  return round64(symbols + 16) + links_and_lanes(small_symbols(symbols));
}
}  // namespace

std::size_t WorkBuffer::footprint(std::size_t symbols) noexcept {
  std::size_t len = head_bytes(symbols);
  if (symbols > kSmallSymbols) len += kHuge + links_and_lanes(symbols);
  return (len + 4095) / 4096 * 4096;
}

// The MTF bytes and the small links and lanes come first, in base pages; the
// links and lanes of large blocks after them, from a huge page boundary, in
// huge pages. A worker that only meets small blocks (a file of many small
// streams) then has the kernel clear the few base pages its blocks reach, not
// a fresh 2 MiB huge page, which on first touch costs a millisecond or more
// (as much as 8 under memory pressure); a large block's random walk over its
// links keeps the huge pages' few TLB misses.
bool WorkBuffer::reserve(std::size_t symbols) noexcept {
  if (symbols <= capacity_) return true;
  const std::size_t len = footprint(symbols);
  void* map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) return false;
  if (map_) munmap(map_, map_len_);
  map_ = map;
  map_len_ = len;
  const auto base = reinterpret_cast<std::uintptr_t>(map);
  bytes = reinterpret_cast<std::uint8_t*>(base);
  small_forward_ = reinterpret_cast<std::uint32_t*>(base + round64(symbols + 16));
  small_lanes_ = reinterpret_cast<std::uint8_t*>(small_forward_) + round64((small_symbols(symbols) + 16) * 4);
  large_forward_ = small_forward_;
  large_lanes_ = small_lanes_;
  if (symbols > kSmallSymbols) {
    const std::uintptr_t large = (base + head_bytes(symbols) + kHuge - 1) / kHuge * kHuge;
    madvise(reinterpret_cast<void*>(large), base + len - large, MADV_HUGEPAGE);
    large_forward_ = reinterpret_cast<std::uint32_t*>(large);
    large_lanes_ = reinterpret_cast<std::uint8_t*>(large) + round64((symbols + 16) * 4);
  }
  capacity_ = symbols;
  fit(0);
  return true;
}

void WorkBuffer::fit(std::size_t n) noexcept {
  const bool small = n <= kSmallSymbols || large_forward_ == small_forward_;
  forward = small ? small_forward_ : large_forward_;
  lanes = small ? small_lanes_ : large_lanes_;
  lane_capacity_ = lane_capacity_for(small ? small_symbols(capacity_) : capacity_);
}

}  // namespace rvk::decoder
