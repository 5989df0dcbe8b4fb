// Chunk records from chunker ranges, and word counting.
#include "stage_common.hpp"

#include "corpuswright/stages/stages.hpp"
#include "tavrel/text.hpp"

namespace corpuswright::stages {
namespace {

bool on_boundary(std::string_view s, std::size_t at) {
    return at == s.size() || (static_cast<unsigned char>(s[at]) & 0xC0) != 0x80;
}

// Words of `text` continuing a count whose last character was inside a word
// when `in_word` is set.
std::uint64_t count_into(std::string_view text, bool& in_word) {
    std::uint64_t words = 0;
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool ws;
        if (c < 0x80) {
            ws = c == ' ' || (c >= 0x09 && c <= 0x0D);
            ++i;
        } else {
            auto d = tavrel::text::decode_utf8(text, i);
            ws = tavrel::text::is_white_space(d.cp);
            i += d.len;
        }
        if (!ws && !in_word) ++words;
        in_word = !ws;
    }
    return words;
}

}  // namespace

std::uint64_t count_words(std::string_view text) {
    bool in_word = false;
    return count_into(text, in_word);
}

Result<std::vector<Chunk>> chunks_from_ranges(const std::vector<tavrel::chunk::MdChunkRange>& ranges,
                                              std::string_view md, const std::string& title_heading) {
    std::vector<Chunk> out;
    out.reserve(ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const auto& r = ranges[i];
        if (r.start > r.end || r.end > md.size() || !on_boundary(md, r.start) || !on_boundary(md, r.end)) {
            return Error("chunk range " + std::to_string(r.start) + ".." + std::to_string(r.end) +
                             " is not a character range of the article's Markdown",
                         ErrorKind::Invariant);
        }
        Chunk c;
        c.chunk_id = i;
        c.start_byte = r.start;
        c.byte_len = r.end - r.start;
        c.prefix_md = title_heading + r.prefix;
        if (i == 0) {
            c.start_kind = "h1";
        } else if (r.start_kind.body) {
            c.start_kind = "body";
        } else {
            c.start_kind = "h" + std::to_string(r.start_kind.level);
        }
        bool in_word = false;
        c.word_count = count_into(c.prefix_md, in_word);
        c.word_count += count_into(md.substr(r.start, r.end - r.start), in_word);
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace corpuswright::stages
