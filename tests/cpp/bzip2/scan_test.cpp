// The marker scan: hits at every bit offset with their CRCs, hits too close
// to the end, and the cap on hits that bounds a hostile input's memory.
#include "bzip2_support.hpp"

using namespace bz_test;

namespace {

// `lead` filler bits, a magic, then `tail` bits of 0xa5 pattern.
BitWriter magic_at(unsigned lead, std::uint64_t magic, unsigned tail) {
  BitWriter w;
  w.put(0, lead);
  w.put(magic, 48);
  for (unsigned i = 0; i < tail; ++i) w.put((0xa5u >> (7 - i % 8)) & 1, 1);
  return w;
}

}  // namespace

TEST(MarkerScan, FindsBothMagicsAtEveryBitOffset) {
  for (unsigned lead = 0; lead < 24; ++lead) {
    BitWriter b = magic_at(lead, rvk::decoder::kBlockMagic, 64);
    auto r = rvk::format::scan_range(b.bytes, 0, b.bytes.size());
    ASSERT_EQ(r.blocks.size(), 1u) << lead;
    EXPECT_EQ(r.blocks[0].bit_offset, lead);
    EXPECT_EQ(r.blocks[0].crc, 0xa5a5a5a5u);
    EXPECT_TRUE(r.ends.empty());

    BitWriter e = magic_at(lead, rvk::decoder::kEndMagic, 32);
    auto s = rvk::format::scan_range(e.bytes, 0, e.bytes.size());
    ASSERT_EQ(s.ends.size(), 1u) << lead;
    EXPECT_EQ(s.ends[0].bit_offset, lead);
    EXPECT_EQ(s.ends[0].crc, 0xa5a5a5a5u);
  }
}

TEST(MarkerScan, HitsTooCloseToTheEndAreSkipped) {
  // A block hit needs 57 bits after the magic, an end hit 32.
  auto block = magic_at(0, rvk::decoder::kBlockMagic, 56);
  EXPECT_TRUE(rvk::format::scan_range(block.bytes, 0, block.bytes.size()).blocks.empty());
  auto end = magic_at(0, rvk::decoder::kEndMagic, 31);
  end.bytes.pop_back();  // keep the bytes honest: 48 + 24 bits
  EXPECT_TRUE(rvk::format::scan_range(end.bytes, 0, end.bytes.size()).ends.empty());
}

TEST(MarkerScan, RangesSplitTheInputWithoutLosingHits) {
  BitWriter w = magic_at(5, rvk::decoder::kBlockMagic, 200);  // magic spans bytes 0-6
  auto first = rvk::format::scan_range(w.bytes, 0, 1);
  auto rest = rvk::format::scan_range(w.bytes, 1, w.bytes.size());
  EXPECT_EQ(first.blocks.size(), 1u);  // starts in byte 0, read on into later bytes
  EXPECT_TRUE(rest.blocks.empty());
}

TEST(MarkerScan, FindsWhatABitByBitComparisonFinds) {
  // Noise with magics at random bits, some overlapping, some near the end,
  // and dense stretches of the bytes the scan filters on; scanned whole and
  // in ranges cut at random bytes, as the parallel scan cuts them.
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    Bytes input(1 + rng() % 3000);
    for (auto& b : input) b = static_cast<std::uint8_t>(rng());
    if (round % 4 == 0) {
      for (auto& b : input) b = static_cast<std::uint8_t>(rvk::decoder::kBlockMagic >> (24 + rng() % 16));
    }
    for (unsigned i = 0, n = rng() % 12; i < n; ++i) {
      const std::uint64_t magic = rng() % 2 ? rvk::decoder::kBlockMagic : rvk::decoder::kEndMagic;
      const std::uint64_t at = rng() % (8 * input.size());
      for (unsigned k = 0; k < 48 && at + k < 8 * input.size(); ++k) {
        const std::uint8_t bit = static_cast<std::uint8_t>(0x80u >> ((at + k) % 8));
        if ((magic >> (47 - k)) & 1) {
          input[(at + k) / 8] |= bit;
        } else {
          input[(at + k) / 8] &= static_cast<std::uint8_t>(~bit);
        }
      }
    }
    auto bits = [&](std::uint64_t at, unsigned n) {
      std::uint64_t v = 0;
      for (unsigned k = 0; k < n; ++k) {
        v = (v << 1) | (at + k < 8 * input.size() ? (input[(at + k) / 8] >> (7 - (at + k) % 8)) & 1 : 0);
      }
      return v;
    };
    std::vector<std::pair<std::uint64_t, std::uint32_t>> blocks;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> ends;
    for (std::uint64_t at = 0; at < 8 * input.size(); ++at) {
      const std::uint64_t magic = bits(at, 48);
      if (magic == rvk::decoder::kBlockMagic && at + 48 + 57 <= 8 * input.size()) {
        blocks.emplace_back(at, static_cast<std::uint32_t>(bits(at + 48, 32)));
      }
      if (magic == rvk::decoder::kEndMagic && at + 48 + 32 <= 8 * input.size()) {
        ends.emplace_back(at, static_cast<std::uint32_t>(bits(at + 48, 32)));
      }
    }
    std::vector<std::size_t> cuts{0, input.size()};
    for (unsigned i = 0, n = rng() % 5; i < n; ++i) cuts.push_back(rng() % input.size());
    std::sort(cuts.begin(), cuts.end());
    std::vector<std::pair<std::uint64_t, std::uint32_t>> found_blocks;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> found_ends;
    for (std::size_t c = 0; c + 1 < cuts.size(); ++c) {
      auto r = rvk::format::scan_range(input, cuts[c], cuts[c + 1]);
      for (const auto& h : r.blocks) found_blocks.emplace_back(h.bit_offset, h.crc);
      for (const auto& h : r.ends) found_ends.emplace_back(h.bit_offset, h.crc);
    }
    EXPECT_EQ(found_blocks, blocks) << "round " << round;
    EXPECT_EQ(found_ends, ends) << "round " << round;
  }
}

TEST(MarkerScan, HostileInputStopsAtTheCapDuringTheScan) {
  // A header, one byte (so no first block is decoded ahead of the scan),
  // then nothing but block magics, byte-aligned.
  Bytes input = {'B', 'Z', 'h', '9', 0};
  while (input.size() < 3'000'000) {
    for (int i = 5; i >= 0; --i) input.push_back(static_cast<std::uint8_t>(rvk::decoder::kBlockMagic >> (8 * i)));
  }
  rvk::format::HitCap cap;
  cap.cap = 1000;
  auto r = rvk::format::scan_range(input, 0, input.size(), &cap);
  EXPECT_TRUE(r.over_cap);
  // The scan stopped near the cap instead of collecting every magic.
  EXPECT_LE(r.blocks.size(), 1000u + 256u);

  // Past the cap no candidate is decoded: the input goes to the serial
  // decoder, which reports the same fault as on one thread.
  auto serial = decode(input, 1);
  ASSERT_FALSE(serial.outcome.ok());
  EXPECT_EQ(serial.outcome.error(), rvk::Error::decode(32, rvk::error::DecodeError::InvalidMagic));
  for (std::uint64_t t : {2, 8}) {
    auto d = decode(input, t);
    ASSERT_FALSE(d.outcome.ok());
    EXPECT_EQ(d.outcome.error(), serial.outcome.error()) << d.outcome.error().to_string();
    EXPECT_TRUE(d.bytes.empty());
  }
}

namespace {

// Magic hits the scan finds in the whole input, blocks and ends.
std::size_t all_hits(const Bytes& input) {
  auto r = rvk::format::scan_range(input, 0, input.size());
  return r.blocks.size() + r.ends.size();
}

// More hits than the parallel path takes as speculative work.
bool past_the_cap(const Bytes& input) { return all_hits(input) > input.size() / 16 + 64; }

void expect_every_path_decodes(const Bytes& input, const Bytes& expected) {
  for (std::uint64_t t : kThreadCounts) {
    auto d = decode(input, t);
    ASSERT_TRUE(d.outcome.ok()) << "threads " << t << ": " << d.outcome.error().to_string();
    EXPECT_TRUE(d.bytes == expected) << "threads " << t << ": " << d.bytes.size() << " bytes vs "
                                     << expected.size();
  }
}

}  // namespace

// Valid inputs with more magic hits than the cap on speculative work: the
// parallel path decodes them serially instead of refusing them.
TEST(MarkerCap, ManyEmptyStreamsDecodeOnEveryPath) {
  const Bytes empty = bzip2({}, 9);
  ASSERT_EQ(empty.size(), 14u);  // one real end marker per 14 bytes
  Bytes empties;
  for (int i = 0; i < 2000; ++i) empties.insert(empties.end(), empty.begin(), empty.end());
  const Bytes a = make_text(4000, 31);
  const Bytes b = make_text(4000, 32);
  // After the empty streams, the small file; before them, a file whose
  // first block is decoded ahead of the scan and must not be sent twice.
  const Bytes after = concat({empties, bzip2(b, 9)});
  const Bytes around = concat({bzip2(a, 9), empties, bzip2(b, 9)});
  ASSERT_TRUE(past_the_cap(after));
  ASSERT_TRUE(past_the_cap(around));
  expect_every_path_decodes(after, b);
  expect_every_path_decodes(around, concat({a, b}));
}

TEST(MarkerCap, BlocksFullOfFalseMagicsDecodeOnEveryPath) {
  // Three blocks whose selector lists (about 17,000 each, which bzip2 reads
  // too) spell the block magic 600 times: a valid stream holding some
  // 1,800 false block hits in 12 KB. The first block is decoded ahead of
  // the scan, so the serial decode takes over in the middle of the stream.
  std::vector<BlockSpec> blocks;
  Bytes text;
  for (unsigned i = 0; i < 3; ++i) {
    Bytes part = make_text(1500, 40 + i);
    for (std::size_t k = 3; k < part.size(); ++k) {  // no run-length bytes
      ASSERT_FALSE(part[k] == part[k - 1] && part[k] == part[k - 2] && part[k] == part[k - 3]);
    }
    BlockSpec s = block_of(part, part);
    s.groups = 3;
    s.selectors = magic_selectors(600);
    blocks.push_back(s);
    text.insert(text.end(), part.begin(), part.end());
  }
  const Bytes input = stream_of(blocks);
  ASSERT_TRUE(run_tool("bzip2 -dc", input) == text);  // the standard tool takes it
  ASSERT_GE(block_magics(input).size(), 1800u);
  ASSERT_TRUE(past_the_cap(input));
  expect_every_path_decodes(input, text);
  expect_every_path_decodes(concat({input, bzip2(text, 1)}), concat({text, text}));
}

namespace {

// Candidates decoded on demand, recording what the assembly asks for.
class RecordingCandidates : public rvk::decode::Candidates {
 public:
  RecordingCandidates(const Bytes& input, const std::vector<rvk::decode::Marker>& markers)
      : input_(input), markers_(markers) {}
  rvk::Result<rvk::decoder::DecodedCandidate> take(std::size_t index) override {
    taken.push_back(index);
    return rvk::decoder::decode_candidate(input_, markers_[index].bit_offset, markers_[index].crc);
  }
  void discard_before(std::size_t index) override { discarded_below = std::max(discarded_below, index); }
  std::vector<std::size_t> taken;
  std::size_t discarded_below = 0;

 private:
  const Bytes& input_;
  const std::vector<rvk::decode::Marker>& markers_;
};

}  // namespace

TEST(Assembly, FalseHitsInsideBlocksAreSkippedAndReleased) {
  Bytes text = make_text(1'500'000, 9);
  Bytes input = bzip2(text, 2);
  std::vector<rvk::format::ScanResult> ranges{rvk::format::scan_range(input, 0, input.size())};
  // False hits inside the first and third blocks, where the real data holds
  // no magic: one whose decode fails, one at a bit that merely looks like it.
  const auto real = ranges[0].blocks;
  ASSERT_GE(real.size(), 4u);
  ranges[0].blocks.push_back({real[0].bit_offset + 1000, 0x12345678});
  ranges[0].blocks.push_back({real[2].bit_offset + 77777, 0});
  auto markers = rvk::decode::merge_markers(std::move(ranges), input.size());
  ASSERT_TRUE(markers.ok());
  ASSERT_EQ(markers->size(), real.size() + 3);  // blocks, two false hits, the end

  RecordingCandidates candidates(input, *markers);
  Bytes out;
  auto r = rvk::decode::assemble(input, [&](rvk::decoder::DecodedCandidate&& c) -> rvk::Result<void> {
    out.insert(out.end(), c.bytes.begin(), c.bytes.end());
    return {};
  }, *markers, candidates);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_TRUE(out == text);
  // Only the real blocks were taken; the false hits fell below a discard.
  EXPECT_EQ(candidates.taken.size(), real.size());
  EXPECT_EQ(candidates.discarded_below, markers->size() - 1);
}

TEST(Assembly, ChainThatMissesTheNextMarkerFails) {
  Bytes input = bzip2(make_text(300'000, 4), 1);
  std::vector<rvk::format::ScanResult> ranges{rvk::format::scan_range(input, 0, input.size())};
  ASSERT_GE(ranges[0].blocks.size(), 2u);
  const std::uint64_t second = ranges[0].blocks[1].bit_offset;
  ranges[0].blocks.erase(ranges[0].blocks.begin() + 1);  // the scan "missed" block 2
  auto markers = rvk::decode::merge_markers(std::move(ranges), input.size());
  RecordingCandidates candidates(input, *markers);
  auto r = rvk::decode::assemble(input, [](rvk::decoder::DecodedCandidate&&) -> rvk::Result<void> { return {}; },
                                 *markers, candidates);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), rvk::Error::decode(second, rvk::error::DecodeError::InvalidMagic));
}

TEST(MarkerCap, DenseRealBlocksStayUnderTheCapAndDecodeOnEveryPath) {
  // Real markers alone: a stream of one-byte blocks (22 bytes each, the
  // densest real blocks) and files of the standard tool's level 1 over
  // highly repetitive data (blocks of 20 to 40 bytes, each decoding to up
  // to 5 MB). Both stay under the cap, and decode alike on every path.
  std::vector<BlockSpec> tiny;
  Bytes tiny_text;
  for (int i = 0; i < 600; ++i) {
    const Bytes one = {static_cast<std::uint8_t>('a' + i % 26)};
    tiny.push_back(block_of(one, one));
    tiny_text.push_back(one[0]);
  }
  const Bytes tiny_stream = stream_of(tiny);
  EXPECT_FALSE(past_the_cap(tiny_stream));
  expect_every_path_decodes(concat({tiny_stream, tiny_stream, tiny_stream}),
                            concat({tiny_text, tiny_text, tiny_text}));

  Bytes repetitive(12'000'000, 0);
  for (std::size_t i = 6'000'000; i < repetitive.size(); ++i) repetitive[i] = "ab"[i % 2];
  const Bytes level1 = bzip2(repetitive, 1);
  EXPECT_FALSE(past_the_cap(level1));
  expect_every_path_decodes(concat({level1, level1}), concat({repetitive, repetitive}));
}
