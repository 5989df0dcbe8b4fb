// Disambiguation pages: their ids come from a page-properties SQL dump and
// live in the metadata database's table `disambiguation`, which the article
// stages read to skip those pages.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_set>

#include "corpuswright/error.hpp"
#include "corpuswright/stages/input.hpp"

namespace corpuswright::stages {

using IdSet = std::unordered_set<std::uint64_t>;

// The ids of every "(digits,'disambiguation'," row of the dump, read in 1 MiB
// blocks with a 128-byte carry-over so that rows across reads are found.
// A set `stop` flag ends the scan with an Interrupted error.
Result<IdSet> scan_disambiguation(ByteReader& input, const std::atomic<bool>* stop = nullptr);

// Reads `source` (compressed by extension) and replaces the table in
// `metadata` (created when missing) in one transaction. Returns the number
// of distinct ids stored; a failure leaves the previous table content.
Result<std::uint64_t> import_page_props(const std::string& source, const std::string& metadata,
                                        const std::atomic<bool>* stop = nullptr);

// The ids stored in the table; fails when the table does not exist.
Result<IdSet> disambiguation_ids(const std::string& metadata);

}  // namespace corpuswright::stages
