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

// What a scan of a page-properties dump found.
struct PagePropsScan {
    IdSet ids;                 // of every "(digits,'disambiguation'," row
    bool names_table = false;  // whether "page_props" occurs anywhere
    std::string head;          // the first bytes, for the compression magic
    bool binary = false;       // the first MiB holds a NUL byte, which no SQL
                               // text does; the scan stopped there, ids and
                               // names_table cleared
};

// Reads the dump in 1 MiB blocks with a 128-byte carry-over so that rows
// (and the table name) across reads are found. A set `stop` flag ends the
// scan with an Interrupted error.
Result<PagePropsScan> scan_disambiguation(ByteReader& input, const std::atomic<bool>* stop = nullptr);

// Reads `source` (compressed by extension) and replaces the table in
// `metadata` (created when missing) in one transaction. Returns the number
// of distinct ids stored; a failure leaves the previous table content. The
// database is checked to be writable before the dump is read, and a source
// in which "page_props" never occurs is refused: it is no page-properties
// dump, and importing it would empty the table.
Result<std::uint64_t> import_page_props(const std::string& source, const std::string& metadata,
                                        const std::atomic<bool>* stop = nullptr);

// The ids stored in the table; fails when the table does not exist.
Result<IdSet> disambiguation_ids(const std::string& metadata);

}  // namespace corpuswright::stages
