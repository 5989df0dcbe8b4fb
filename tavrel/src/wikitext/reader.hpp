// Private joints of the wikitext reader. The reader is split by pass: the
// block pass (lines.cpp) cuts the page into logical lines and dispatches
// them; tables.cpp reads wiki tables and HTML containers; inlines.cpp reads
// the text inside blocks. They share the scanning helpers of scan.cpp and
// one `Context` per page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/wikitext.hpp"

namespace tavrel::wikitext::detail {

// Nesting limits. Real pages nest templates, links and spans a handful of
// levels and lists about six; these leave a wide margin while keeping every
// recursive reader far from a worker's stack limit. A construct met past the
// inline limit is kept verbatim as wikitext.
inline constexpr std::size_t kMaxInlineDepth = 96;
inline constexpr std::size_t kMaxListDepth = 48;

// What a page read carries through every nested call.
struct Context {
    std::vector<ast::Footnote>* footnotes = nullptr;  // the document's list
    std::unordered_set<std::string> labels;           // labels present in *footnotes
    std::size_t depth = 0;                            // nesting of inline reads
    // Bytes that failing closer searches may still scan. A search that fails
    // reaches the end of its text, so unbounded repetition ("{{ {{ {{ …")
    // would be quadratic; past the budget such searches give up early.
    std::size_t budget = 0;

    explicit Context(std::vector<ast::Footnote>& list, std::size_t text_size);

    // Drops the footnotes appended after the list held `size` entries.
    void truncate_footnotes(std::size_t size);
};

// `inlines` with the page's context.
ast::Inlines read_inlines(std::string_view text, Context& cx);

// `balanced` that charges a failing scan to `budget` and stops when the
// budget runs out (and then fails).
std::size_t balanced_budget(std::string_view text, std::size_t start, std::string_view closer,
                            std::size_t& budget);

// First top-level occurrence of `sep` at or after `start`, or npos.
std::size_t find_top(std::string_view text, std::size_t start, std::string_view sep);

// ASCII case-insensitive helpers; `lower` must already be lower case.
bool starts_with_ci(std::string_view s, std::size_t pos, std::string_view lower);
std::size_t find_ci(std::string_view hay, std::string_view lower, std::size_t from);
bool ends_with_ci(std::string_view s, std::string_view lower);
std::string ascii_lower(std::string_view s);

// Remembers the last answer of a forward search so that repeated searches
// from growing positions cost one pass in all: the first occurrence at or
// after `from` is `at` (npos: none), which answers every query in [from, at].
struct NextFinder {
    std::size_t from = std::string_view::npos;
    std::size_t at = std::string_view::npos;

    template <class Search>
    std::size_t find(std::size_t pos, Search&& search) {
        if (from != std::string_view::npos && pos >= from && (at == std::string_view::npos || pos <= at))
            return at;
        at = search(pos);
        from = pos;
        return at;
    }
};

bool is_ws_byte(char c);  // ASCII white space: TAB, LF, VT, FF, CR, space

}  // namespace tavrel::wikitext::detail
