// Fuzz target: the page-properties dump scanner. Any bytes give a set of ids
// without a crash; reading in small pieces finds no id that the whole read
// does not, and finds them all unless a row's digits and marker are too long
// for the carry-over between reads (possible only with runs of leading
// zeros, which no real dump has).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "corpuswright/stages/disambiguation.hpp"
#include "fuzz_common.hpp"
#include "fuzz_reader.hpp"

namespace {

bool has_long_digit_run(std::string_view s) {
    std::size_t run = 0;
    for (char c : s) {
        run = (c >= '0' && c <= '9') ? run + 1 : 0;
        if (run >= 90) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzz::MemReader whole_reader(text, size + 1);
    auto whole_scan = corpuswright::stages::scan_disambiguation(whole_reader);
    fuzz::MemReader piece_reader(text, 1 + size % 29);
    auto pieces_scan = corpuswright::stages::scan_disambiguation(piece_reader);
    if (!whole_scan.ok() || !pieces_scan.ok()) fuzz::fail("page-props scan failed on an in-memory input");
    if (whole_scan->names_table != pieces_scan->names_table) {
        fuzz::fail("page-props scan: finding the table name depends on read sizes");
    }
    const auto* whole = &whole_scan->ids;
    const auto* pieces = &pieces_scan->ids;
    if (!fuzz::check_properties()) return 0;
    for (std::uint64_t id : *pieces) {
        if (!whole->count(id)) fuzz::fail("page-props scan: a piecewise read found an id the whole read did not");
    }
    if (pieces->size() != whole->size() && !has_long_digit_run(text)) {
        fuzz::fail("page-props scan: ids depend on read sizes");
    }
    return 0;
}
