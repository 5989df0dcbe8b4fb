// The structural chunker: a document cut into chunks of about a target number
// of words for the text datasets.
//
// It works on the top-level blocks, prefers to cut at headings (level 2, then
// 3, then 4) and only then between arbitrary blocks, and gives each chunk the
// Markdown of the headings above it so that a chunk can be read on its own.
// It copies no text: a chunk is a byte range of the document's Markdown as
// `write_md::render_md` writes it, plus a prefix string.
//
// A target of zero words is a caller's broken invariant. The chunker runs on
// worker threads, so it reports that as a value the caller carries back to
// its own thread (the Python layer raises the module's panic exception);
// nothing is thrown and the process is never taken down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::chunk {

// How a chunk starts: with body text, or with a heading of some level.
struct ChunkStart {
    bool body = true;         // the block is not a Heading
    std::uint8_t level = 0;   // the heading's level when `body` is false
    bool operator==(const ChunkStart&) const = default;
};

// One chunk, in document order.
struct MdChunkRange {
    std::string prefix;      // Markdown of the chunk's heading path; empty for the first chunk
    std::size_t start = 0;   // byte offset into the document's Markdown (0 for the first chunk)
    std::size_t end = 0;     // exclusive
    ChunkStart start_kind;   // of the chunk's first block
    bool operator==(const MdChunkRange&) const = default;
};

// A violated internal invariant, reported instead of aborting.
struct InvariantFailure {
    std::string message;
    bool operator==(const InvariantFailure&) const = default;
};

// The chunker's result: the ranges, or the invariant it found broken.
class RangesResult {
public:
    RangesResult(std::vector<MdChunkRange> ranges) : v_(std::move(ranges)) {}  // NOLINT: implicit by design
    RangesResult(InvariantFailure failure) : v_(std::move(failure)) {}        // NOLINT: implicit by design

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const std::vector<MdChunkRange>& value() const& { return std::get<0>(v_); }
    std::vector<MdChunkRange>&& value() && { return std::get<0>(std::move(v_)); }
    const InvariantFailure& error() const { return std::get<1>(v_); }

private:
    std::variant<std::vector<MdChunkRange>, InvariantFailure> v_;
};

// A run of top-level blocks [first, end) and the words of the heading prefix
// that will stand in front of it.
struct BlockRange {
    std::size_t first = 0;
    std::size_t end = 0;
    std::uint64_t extra = 0;
    bool operator==(const BlockRange&) const = default;
};

// The cut mode of one pass: at headings of exactly `level`, or (level 0) at
// every block.
struct CutMode {
    std::uint8_t level = 0;
    bool every_block() const { return level == 0; }
};

// Cuts a document into ranges of about `target_words` words under their
// heading path. A document whose text is empty gives no range; `target_words`
// 0 gives the failure "target_words must be positive". The ranges, put
// together, are exactly `render_md`'s output: each block's range is its part
// of that text (see `render_md_blocks`), the footnote section going with the
// block before it. A pure function; safe on any number of threads at once.
RangesResult document_chunk_ranges_structural(const ast::Document& doc, std::uint64_t target_words);

// The same over `written`, which must be `render_md_blocks(doc)`: a caller
// that keeps the document's Markdown as well writes it once.
RangesResult document_chunk_ranges_structural(const ast::Document& doc, const write_md::WrittenBlocks& written,
                                              std::uint64_t target_words);

// One range cut into pieces for one pass. `starts[i]` tells whether block i
// is a heading and of which level; `W` holds the prefix sums of block words
// (W[0] = 0, one more entry than blocks).
std::vector<BlockRange> split_structural(BlockRange range, CutMode mode, std::uint64_t budget,
                                         const std::vector<ChunkStart>& starts, const std::vector<std::uint64_t>& W);

// The words of a text: maximal runs of characters that are not White_Space.
std::uint64_t count_words(std::string_view s);

}  // namespace tavrel::chunk
