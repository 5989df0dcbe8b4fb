// The JSON-lines records of the dataset: one Article per converted page in
// the articles file, one Chunk per chunk in the chunks file. Writing is
// compact JSON with a fixed escaping; reading an article line accepts an
// object or a seven-element array and reports errors in the usual JSON
// reader's words, with the column where reading stopped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corpuswright/error.hpp"

namespace corpuswright::stages {

struct Article {
    std::uint64_t article_id = 0;
    std::uint64_t page_id = 0;
    std::optional<std::uint64_t> revision_id;
    std::string title;
    std::optional<std::string> timestamp;
    std::string md;
    std::vector<std::string> warnings;

    bool operator==(const Article&) const = default;
};

struct Chunk {
    std::uint64_t article_id = 0;
    std::uint64_t chunk_id = 0;
    std::uint64_t start_byte = 0;
    std::uint64_t byte_len = 0;
    std::string prefix_md;
    std::string start_kind;
    std::uint64_t word_count = 0;

    bool operator==(const Chunk&) const = default;
};

// Appends `s` as a JSON string literal.
void append_json_string(std::string& out, std::string_view s);

// Append one record as a compact JSON object (no line end).
void append_article(std::string& out, const Article& a);
void append_chunk(std::string& out, const Chunk& c);

// The same records in two pieces, for writers that number records on one
// thread but build them on many: `append_record_start` writes
// `{"article_id":` and the id (both records begin so), and the `_after_id`
// forms write the rest. start + after_id is byte for byte the whole record.
void append_record_start(std::string& out, std::uint64_t article_id);
void append_article_after_id(std::string& out, const Article& a);
void append_chunk_after_id(std::string& out, const Chunk& c);

// Reads one article line (without its "\n"; one "\r" before it is dropped),
// line `line_number` of its file, the line errors name.
Result<Article> read_article(std::string_view line, std::uint64_t line_number = 1);

}  // namespace corpuswright::stages
