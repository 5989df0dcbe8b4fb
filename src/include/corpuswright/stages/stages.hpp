// The dataset stages: the article stage (dump to articles file), the chunk
// stage (articles file to chunks file) and the combined stage (both in one
// pass). Each runs on the caller's thread with the per-page work on the
// shared pool; outputs appear only by rename at the very end.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "corpuswright/error.hpp"
#include "corpuswright/stages/audit.hpp"

namespace corpuswright::stages {

struct Stage1Options {
    std::string xml;
    std::string articles;
    std::string metadata;
    std::uint64_t min_bytes = 250;
    std::optional<std::uint64_t> limit;
    const std::atomic<bool>* stop = nullptr;  // set from outside to end the run
};

struct DatasetOptions {
    std::string xml;
    std::string articles;
    std::string chunks;
    std::string metadata;
    std::uint64_t min_bytes = 250;
    std::optional<std::uint64_t> limit;
    std::uint64_t target_words = 700;
    const std::atomic<bool>* stop = nullptr;  // set from outside to end the run
};

// A violated invariant (the Python layer raises its panic exception for
// these) travels as an Error of kind Invariant. A run whose `stop` flag is
// set ends within a page or a line with an Error of kind Interrupted,
// leaving its targets untouched (stop.hpp).
Result<Summary> stage1(const Stage1Options& options);
Result<std::uint64_t> stage2(const std::string& articles, const std::string& chunks, std::uint64_t target_words,
                             std::uint64_t batch_size, const std::atomic<bool>* stop = nullptr);
Result<Summary> dataset(const DatasetOptions& options);

// Words: maximal runs of characters without the White_Space property.
std::uint64_t count_words(std::string_view text);

}  // namespace corpuswright::stages
