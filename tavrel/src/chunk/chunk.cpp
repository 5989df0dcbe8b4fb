// The structural chunker. The document is written once, and each top-level
// block's byte range of that text and its word count go into prefix sums, so the word count of
// any block range is two lookups and each pass over the ranges is linear in
// the number of blocks. Four passes cut the ranges ever finer: at level-2
// headings, level-3 headings, level-4 headings, then between any blocks, each
// with its own budget, and a greedy merge joins small neighbours again.
#include "tavrel/chunk.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "tavrel/text.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::chunk {

using namespace tavrel::ast;

std::uint64_t count_words(std::string_view s) {
    std::uint64_t n = 0;
    bool in_word = false;
    for (std::size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        bool white;
        if (b < 0x80) {
            white = b == ' ' || (b >= 0x09 && b <= 0x0D);
            ++i;
        } else {
            text::Decoded d = text::decode_utf8(s, i);
            white = text::is_white_space(d.cp);
            i += d.len;
        }
        if (!white && !in_word) ++n;
        in_word = !white;
    }
    return n;
}

std::vector<BlockRange> split_structural(BlockRange range, CutMode mode, std::uint64_t budget,
                                         const std::vector<ChunkStart>& starts, const std::vector<std::uint64_t>& W) {
    auto words = [&](std::size_t s, std::size_t e, std::uint64_t x) { return W[e] - W[s] + x; };
    std::vector<BlockRange> pieces;
    // The finer passes leave a range of less than one and a half budgets whole.
    if ((mode.every_block() || mode.level >= 4) && 3 * budget > 2 * words(range.first, range.end, range.extra)) {
        pieces.push_back(range);
        return pieces;
    }
    // Cut points, and the segments between them.
    std::vector<std::size_t> cuts{range.first};
    for (std::size_t j = range.first + 1; j < range.end; ++j) {
        if (mode.every_block() || (!starts[j].body && starts[j].level == mode.level)) cuts.push_back(j);
    }
    const std::uint64_t half = budget / 2;
    bool open = false;
    std::size_t piece_start = 0;
    std::uint64_t piece_extra = 0;
    std::size_t prev_end = range.first;
    for (std::size_t k = 0; k < cuts.size(); ++k) {
        std::size_t gs = cuts[k];
        std::size_t ge = k + 1 < cuts.size() ? cuts[k + 1] : range.end;
        std::uint64_t gx = k == 0 ? range.extra : 0;
        std::uint64_t cur = open ? words(piece_start, prev_end, piece_extra) : 0;
        std::uint64_t gw = words(gs, ge, gx);
        // Two neighbours of more than half a budget each are never merged.
        if (open && cur > half && gw > half) {
            pieces.push_back({piece_start, prev_end, piece_extra});
            open = false;
        }
        if (!open) {
            open = true;
            piece_start = gs;
            piece_extra = gx;
        }
        // A piece closes one segment after it has passed the budget.
        if (k + 1 == cuts.size() || cur > budget) {
            pieces.push_back({piece_start, ge, piece_extra});
            open = false;
        }
        prev_end = ge;
    }
    return pieces;
}

RangesResult document_chunk_ranges_structural(const Document& doc, std::uint64_t target_words) {
    if (target_words == 0) return InvariantFailure{"target_words must be positive"};
    return document_chunk_ranges_structural(doc, write_md::render_md_blocks(doc), target_words);
}

RangesResult document_chunk_ranges_structural(const Document& doc, const write_md::WrittenBlocks& written,
                                              std::uint64_t target_words) {
    if (target_words == 0) return InvariantFailure{"target_words must be positive"};
    std::vector<MdChunkRange> result;

    // Per block: its Markdown, words, byte offsets and start kind. The
    // document is written whole, and each block's Markdown is its part of
    // that text: a block may be written otherwise beside its neighbours
    // than alone (a markdown container's tag, a list numbered on), and the
    // ranges put together must give the whole text, footnotes included.
    // A block that writes nothing (a quote or a definition list that
    // conversion emptied) is not in the text, and the text read back has no
    // such block: it takes no part, so both trees are cut alike and no
    // chunk is left empty. B holds the starts of the blocks that do write,
    // then the end of the text.
    std::vector<std::size_t> kept;
    std::vector<std::size_t> B;
    for (std::size_t i = 0; i < doc.blocks.size(); ++i) {
        if (written.starts[i + 1] == written.starts[i]) continue;
        kept.push_back(i);
        B.push_back(written.starts[i]);
    }
    const std::size_t n = kept.size();
    // Without blocks, footnotes or front matter still make a text: one range.
    if (n == 0) {
        if (!written.md.empty()) result.push_back(MdChunkRange{{}, 0, written.md.size(), ChunkStart{true, 0}});
        return result;
    }
    B.push_back(written.starts[doc.blocks.size()]);
    const auto md = [&](std::size_t i) { return std::string_view(written.md).substr(B[i], B[i + 1] - B[i]); };
    std::vector<std::uint64_t> block_words(n);
    std::vector<std::uint64_t> W(n + 1, 0);
    std::vector<ChunkStart> starts(n);
    for (std::size_t i = 0; i < n; ++i) {
        block_words[i] = count_words(md(i));
        W[i + 1] = W[i] + block_words[i];
        if (const auto* h = doc.blocks[kept[i]].as<Heading>()) {
            starts[i] = ChunkStart{false, h->level};
        } else {
            starts[i] = ChunkStart{true, 0};
        }
    }

    // Heading paths: one slot per level 1 to 6 holding the latest heading of
    // that level still in force.
    std::vector<std::vector<std::size_t>> ancestors(n);
    std::array<std::optional<std::size_t>, 6> slots{};
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t below = 6;
        if (!starts[i].body) below = starts[i].level >= 1 ? std::min<std::size_t>(starts[i].level - 1, 6) : 0;
        for (std::size_t l = 0; l < below; ++l) {
            if (slots[l]) ancestors[i].push_back(*slots[l]);
        }
        if (!starts[i].body && starts[i].level >= 1 && starts[i].level <= 6) {
            slots[starts[i].level - 1] = i;
            for (std::size_t l = starts[i].level; l < 6; ++l) slots[l].reset();
        }
    }
    auto prefix_words = [&](std::size_t s) {
        std::uint64_t w = 0;
        for (std::size_t a : ancestors[s]) w += block_words[a];
        return w;
    };

    struct Pass {
        CutMode mode;
        std::uint64_t budget;
    };
    const std::uint64_t T = target_words;
    const std::array<Pass, 4> passes{{
        {CutMode{2}, 3 * T / 4},
        {CutMode{3}, T},
        {CutMode{4}, 5 * T / 4},
        {CutMode{0}, 3 * T / 2},
    }};
    std::vector<BlockRange> ranges{{0, n, 0}};
    for (const Pass& pass : passes) {
        std::vector<BlockRange> next;
        for (const BlockRange& r : ranges) {
            for (BlockRange& piece : split_structural(r, pass.mode, pass.budget, starts, W)) next.push_back(piece);
        }
        for (std::size_t k = 0; k < next.size(); ++k) next[k].extra = k == 0 ? 0 : prefix_words(next[k].first);
        ranges = std::move(next);
    }

    result.reserve(ranges.size());
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        const BlockRange& r = ranges[k];
        MdChunkRange out;
        if (k > 0) {
            for (std::size_t a : ancestors[r.first]) out.prefix += md(a);
            out.start = B[r.first];
        }
        out.end = B[r.end];
        out.start_kind = starts[r.first];
        result.push_back(std::move(out));
    }
    return result;
}

}  // namespace tavrel::chunk
