// The XML dump page reader: a MediaWiki dump as a sequence of Page records,
// pulled one at a time. Only the handful of elements the dataset needs are
// gathered (title, namespace, page id, the revision's own id, timestamp,
// text, the redirect marker); everything else is skipped without copying.
// Memory stays bounded by the largest page.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corpuswright/error.hpp"
#include "corpuswright/stages/input.hpp"

namespace corpuswright::stages {

struct Page {
    std::uint64_t id = 0;
    std::int64_t ns = 0;
    std::string title;
    bool redirect = false;
    std::optional<std::uint64_t> revision_id;
    std::optional<std::string> timestamp;
    std::string text;

    bool operator==(const Page&) const = default;
};

class Pages {
public:
    // Opens the dump through `open_input` (compressed by extension). Every
    // error of the reads then carries "reading <argument> <path>"; a read
    // that waits stops when `stop` is set.
    static Result<Pages> open(const std::string& path, std::string_view argument = {},
                              const std::atomic<bool>* stop = nullptr);

    // Reads from an already opened byte stream.
    explicit Pages(std::unique_ptr<ByteReader> input);
    Pages(Pages&&) noexcept;
    Pages& operator=(Pages&&) noexcept;
    ~Pages();

    // The next page; nothing at the end of the dump; an error stops reading
    // (a truncated dump is an error, not a silent end, and so is a file
    // whose root element is not "mediawiki" or that holds no element). A
    // file with anything but white space, a byte order mark, comments,
    // processing instructions and a declaration before its first element
    // is refused when that is met, without reading on.
    Result<std::optional<Page>> next();

private:
    struct State;
    std::unique_ptr<State> st_;
    std::string context_;  // of read errors, when opened by path
};

}  // namespace corpuswright::stages
