// Fuzz target: the XML dump page reader. Any bytes must give pages or a clear
// error, never a crash, hang or runaway allocation; and the pages cannot
// depend on how the underlying reader happens to split its reads, so the
// input read whole and read in small pieces must give the same pages and
// fail alike.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "corpuswright/stages/pages.hpp"
#include "fuzz_common.hpp"
#include "fuzz_reader.hpp"

namespace {

using corpuswright::stages::Page;
using corpuswright::stages::Pages;

struct Outcome {
    std::vector<Page> pages;
    std::string error;  // empty when the input ended cleanly
};

Outcome read_all(std::string_view text, std::size_t piece) {
    Pages pages(std::make_unique<fuzz::MemReader>(text, piece));
    Outcome out;
    // More pages than bytes would mean a page from nothing.
    for (std::size_t n = 0; n <= text.size() + 1; ++n) {
        auto next = pages.next();
        if (!next.ok()) {
            out.error = next.error().message();
            return out;
        }
        if (!*next) return out;
        out.pages.push_back(std::move(**next));
    }
    fuzz::fail("page reader returned more pages than the input has bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Outcome whole = read_all(text, size + 1);
    // A piece size that varies with the input, so that every boundary
    // position is met across runs.
    const Outcome pieces = read_all(text, 1 + size % 37);
    if (!fuzz::check_properties()) return 0;
    // Which of two faults is reported first may depend on the read sizes
    // (an unfinished end tag seen before a text's bad UTF-8 is decoded), but
    // never whether the input fails.
    if (whole.error.empty() != pieces.error.empty()) {
        fuzz::fail("page reader: failure depends on read sizes", whole.error, pieces.error);
    }
    if (whole.pages != pieces.pages) fuzz::fail("page reader: pages depend on read sizes");
    return 0;
}
