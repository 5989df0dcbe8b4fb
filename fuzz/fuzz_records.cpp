// Fuzz target: the article line reader, a hand-written JSON reader that
// meets every line of a dataset file. Any line gives an article or a clear
// error; an article it accepts, written out again, reads back equal, and
// writing that reading gives the same line (the writer's form is a fixed
// point of the pair).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "corpuswright/stages/records.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    auto article = corpuswright::stages::read_article(line);
    if (!article.ok()) {
        if (article.error().message().empty()) fuzz::fail("article reader: error without a message");
        return 0;
    }
    if (!fuzz::check_properties()) return 0;
    std::string written;
    corpuswright::stages::append_article(written, *article);
    auto back = corpuswright::stages::read_article(written);
    if (!back.ok()) fuzz::fail("article reader refuses the writer's own line", written, back.error().message());
    if (!(*back == *article)) fuzz::fail("article read back differs", line, written);
    std::string again;
    corpuswright::stages::append_article(again, *back);
    if (again != written) fuzz::fail("article line not a fixed point", written, again);
    return 0;
}
