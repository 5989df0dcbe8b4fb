// The structural chunker: the passes and their budgets, heading paths, and
// the ranges' fit to the written Markdown (they put together give exactly
// the document's text, start at 0 and end on character boundaries).
#include <gtest/gtest.h>

#include <thread>

#include "builders.hpp"
#include "tavrel/chunk.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"

using namespace wt;
namespace chunk = tavrel::chunk;

namespace {

// A paragraph of `n` words, each a few letters, optionally non-ASCII.
Block words(std::size_t n, std::string_view word = "word") {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i) s.push_back(' ');
        s.append(word);
    }
    return P({T(s)});
}

std::vector<chunk::MdChunkRange> ranges(const Document& d, std::uint64_t target) {
    chunk::RangesResult r = chunk::document_chunk_ranges_structural(d, target);
    EXPECT_TRUE(r.ok());
    if (!r.ok()) return {};
    return std::move(r).value();
}

// Every range starts where the previous ended, the first at 0, the last at
// the end of the text; every offset lies on a character boundary.
void expect_tiles(const Document& d, const std::vector<chunk::MdChunkRange>& rs) {
    std::string text = md(d);
    ASSERT_FALSE(rs.empty());
    EXPECT_EQ(rs.front().start, 0u);
    std::string joined;
    for (std::size_t k = 0; k < rs.size(); ++k) {
        if (k > 0) EXPECT_EQ(rs[k].start, rs[k - 1].end);
        ASSERT_LE(rs[k].end, text.size());
        for (std::size_t off : {rs[k].start, rs[k].end}) {
            if (off < text.size()) EXPECT_NE(static_cast<unsigned char>(text[off]) & 0xC0, 0x80u) << off;
        }
        joined += text.substr(rs[k].start, rs[k].end - rs[k].start);
    }
    EXPECT_EQ(joined, text);
}

}  // namespace

TEST(ChunkWords, RunsOfNonWhiteSpace) {
    EXPECT_EQ(chunk::count_words(""), 0u);
    EXPECT_EQ(chunk::count_words("  a  b\tc\n"), 3u);
    EXPECT_EQ(chunk::count_words("## A\n\n"), 2u);
    EXPECT_EQ(chunk::count_words("x\u00A0y\u2003z"), 3u);
    EXPECT_EQ(chunk::count_words("\xC3\xA9t\xC3\xA9"), 1u);
}

TEST(ChunkFailures, ZeroTargetIsAValueNotACrash) {
    chunk::RangesResult r = chunk::document_chunk_ranges_structural(Doc({words(3)}), 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "target_words must be positive");
    EXPECT_TRUE(chunk::document_chunk_ranges_structural(Document{}, 100).value().empty());
}

TEST(ChunkFailures, ReportedFromAWorkerThread) {
    Document d = Doc({words(3)});
    std::optional<chunk::RangesResult> got;
    std::thread worker([&] { got.emplace(chunk::document_chunk_ranges_structural(d, 0)); });
    worker.join();
    ASSERT_TRUE(got.has_value());
    EXPECT_FALSE(got->ok());
    EXPECT_EQ(got->error().message, "target_words must be positive");
}

TEST(ChunkPasses, SmallDocumentIsOneRangeCoveringTheFrontMatter) {
    Document d = Doc({H(1, {T("Top")}), words(20), H(5, {T("deep")}), words(20)});
    d.metadata = {{"title", "T"}};
    auto rs = ranges(d, 100);
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0].prefix, "");
    EXPECT_EQ(rs[0].start, 0u);
    EXPECT_EQ(rs[0].end, md(d).size());
    EXPECT_EQ(rs[0].start_kind, (chunk::ChunkStart{false, 1}));
}

TEST(ChunkPasses, EveryBlockPassClosesOneSegmentAfterTheBudget) {
    Blocks b;
    for (int i = 0; i < 10; ++i) b.push_back(words(50));
    Document d = Doc(std::move(b));
    auto rs = ranges(d, 100);
    ASSERT_EQ(rs.size(), 2u);
    std::size_t para = md({words(50)}).size();
    EXPECT_EQ(rs[0].end, 5 * para);
    EXPECT_EQ(rs[1].start, 5 * para);
    EXPECT_TRUE(rs[1].start_kind.body);
    EXPECT_EQ(rs[1].prefix, "");
    expect_tiles(d, rs);
    // Blocks that write nothing (quotes emptied by conversion, in front, in
    // between and at the end) are not in the text: the same ranges, and no
    // empty one.
    Blocks with_empty;
    for (int i = 0; i < 10; ++i) {
        with_empty.push_back(BlockQuote{Attr{}, {}});
        with_empty.push_back(words(50));
    }
    with_empty.push_back(BlockQuote{Attr{}, {BlockQuote{Attr{}, {}}}});
    Document e = Doc(std::move(with_empty));
    ASSERT_EQ(md(e), md(d));
    auto es = ranges(e, 100);
    ASSERT_EQ(es.size(), rs.size());
    for (std::size_t k = 0; k < rs.size(); ++k) {
        EXPECT_EQ(es[k].start, rs[k].start);
        EXPECT_EQ(es[k].end, rs[k].end);
    }
    EXPECT_TRUE(ranges(Doc({BlockQuote{Attr{}, {}}}), 5).empty());
}

TEST(ChunkPasses, LevelTwoCutIsNotJoinedAgain) {
    Document d = Doc({H(2, {T("A")}), words(60), H(2, {T("B")}), words(60)});
    auto rs = ranges(d, 100);
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_EQ(rs[1].prefix, "");
    EXPECT_EQ(rs[1].start, md({H(2, {T("A")}), words(60)}).size());
    EXPECT_EQ(rs[1].start_kind, (chunk::ChunkStart{false, 2}));
    expect_tiles(d, rs);
}

TEST(ChunkPaths, PrefixHoldsTheHeadingsAboveTheRangeStart) {
    // Under "# Top" and "## Sub": a range starting at a level-3 heading gets
    // both as its prefix; one starting at "## Sub" itself gets only "# Top".
    Document d = Doc({H(1, {T("Top")}), H(2, {T("Sub")}), words(80), H(3, {T("Third")}), words(80), H(2, {T("Next")}),
                      words(80)});
    auto rs = ranges(d, 100);
    ASSERT_EQ(rs.size(), 3u);
    EXPECT_EQ(rs[1].start_kind, (chunk::ChunkStart{false, 3}));
    EXPECT_EQ(rs[1].prefix, "# Top\n\n## Sub\n\n");
    EXPECT_EQ(rs[2].start_kind, (chunk::ChunkStart{false, 2}));
    EXPECT_EQ(rs[2].prefix, "# Top\n\n");
    expect_tiles(d, rs);
}

TEST(ChunkPaths, BodyRangeAfterAHeadingHasItInItsPrefix) {
    Blocks b{H(2, {T("Sub")})};
    for (int i = 0; i < 10; ++i) b.push_back(words(50));
    Document d = Doc(std::move(b));
    auto rs = ranges(d, 100);
    ASSERT_GE(rs.size(), 2u);
    EXPECT_TRUE(rs[1].start_kind.body);
    EXPECT_EQ(rs[1].prefix, "## Sub\n\n");
    expect_tiles(d, rs);
}

TEST(ChunkRanges, TileTheMarkdownOfRichDocuments) {
    Blocks b;
    for (int s = 0; s < 6; ++s) {
        b.push_back(H(static_cast<std::uint8_t>(2 + s % 3), {T("Section \xC3\xA9 " + std::to_string(s))}));
        b.push_back(words(37, "\xE6\x97\xA5\xE6\x9C\xAC"));
        b.push_back(Bullets({Item({words(12)}), Item({P({T("x "), Em({T("y ")})})})}));
        b.push_back(BlockQuote{Attr{}, {words(30, "caf\xC3\xA9")}});
        Table t;
        t.aligns = {Align::Default};
        t.head = {Row({Cell({T("h")})})};
        t.body = {Row({Cell({T("a"), HB(), T("b")})})};
        b.push_back(t);
    }
    Document d = Doc(std::move(b));
    d.metadata = {{"title", "Rich"}};
    for (std::uint64_t target : {1u, 7u, 40u, 100u, 700u}) {
        SCOPED_TRACE(target);
        expect_tiles(d, ranges(d, target));
    }
}

// Trees read from Markdown whose blocks are written otherwise in the whole
// text than alone: the ranges follow the whole text.
TEST(ChunkRanges, TileTheMarkdownOfReadTrees) {
    const std::vector<std::string> texts = {
        // A markdown container's tag, written bare alone.
        "<div markdown=\"1\">\n\nalpha beta\n\n</div>\n\ngamma delta\n\n",
        // Footnotes and inline notes, written after the blocks.
        "a[^f] b^[note]\n\n## h\n\nc d\n\n[^f]: foot note\n",
        // Raw HTML left open at the end, written after the footnotes.
        "a[^f]\n\n<div>\n\n[^f]: x\n",
        // Footnotes alone.
        "[^f]: x y\n",
        // An ordered list numbered on from the one before it.
        "1. <div>\n\n1. b\n\ntext\n",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const Document d = tavrel::block::parse_source(text, tavrel::Options::dataset());
        for (std::uint64_t target : {1u, 2u, 100u}) {
            SCOPED_TRACE(target);
            expect_tiles(d, ranges(d, target));
        }
    }
}

TEST(ChunkSplit, GreedyMergeOfSegments) {
    // Five blocks of 10 words, cut at every block with budget 25 (half 12).
    std::vector<chunk::ChunkStart> starts(5, chunk::ChunkStart{true, 0});
    std::vector<std::uint64_t> W{0, 10, 20, 30, 40, 50};
    auto pieces = chunk::split_structural({0, 5, 0}, chunk::CutMode{0}, 25, starts, W);
    // A piece of 30 words (> 25) closes after the segment that follows it.
    EXPECT_EQ(pieces, (std::vector<chunk::BlockRange>{{0, 4, 0}, {4, 5, 0}}));
    // A range of less than one and a half budgets stays whole in the finer passes.
    EXPECT_EQ(chunk::split_structural({0, 3, 5}, chunk::CutMode{0}, 25, starts, W),
              (std::vector<chunk::BlockRange>{{0, 3, 5}}));
    // The heading passes have no such test: two large halves are cut apart.
    std::vector<chunk::ChunkStart> heads(5, chunk::ChunkStart{true, 0});
    heads[2] = chunk::ChunkStart{false, 2};
    EXPECT_EQ(chunk::split_structural({0, 5, 0}, chunk::CutMode{2}, 30, heads, W),
              (std::vector<chunk::BlockRange>{{0, 2, 0}, {2, 5, 0}}));
}
