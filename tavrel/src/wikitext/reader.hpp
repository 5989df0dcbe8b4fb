// Private joints of the wikitext reader. The reader is split by pass: the
// block pass (lines.cpp) cuts the page into logical lines and dispatches
// them; tables.cpp reads wiki tables and HTML containers; inlines.cpp reads
// the text inside blocks. They share the scanning helpers of scan.cpp and
// one `Context` per page.
#pragma once

#include <cstddef>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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
    bool repeated_labels = false;                     // a list handed in held a label twice
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

// Positions of the top-level "|" inside a call or link, and of the first
// top-level "=" of each piece between them, noted while its end is searched.
// Only the first `kMax` bars are kept; `overflow` says more exist.
struct Bars {
    static constexpr bool kRecord = true;
    static constexpr std::size_t kMax = 16;
    std::size_t at[kMax];
    std::size_t eq[kMax + 1];  // per piece: first top-level "=", or npos
    std::size_t count = 0;
    bool overflow = false;

    Bars() { eq[0] = std::string_view::npos; }
    void add(std::size_t p) {
        if (count < kMax) {
            at[count++] = p;
            eq[count] = std::string_view::npos;
        } else {
            overflow = true;
        }
    }
    void equals(std::size_t p) {
        if (!overflow && eq[count] == std::string_view::npos) eq[count] = p;
    }
};

// `balanced_budget` that also notes the top-level "|" before the closer.
std::size_t balanced_bars(std::string_view text, std::size_t start, std::string_view closer, std::size_t& budget,
                          Bars& bars);

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

// The first position in [i, n) of `d` holding one of the bytes `Cs`, or n.
// Sixteen bytes at a time where SSE2 is available: the readers spend most of
// their time skipping text that holds none of their few special bytes.
template <char... Cs>
inline std::size_t find_any(const char* d, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
    while (i + 16 <= n) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        __m128i hit = _mm_setzero_si128();
        ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(Cs)))), ...);
        int mask = _mm_movemask_epi8(hit);
        if (mask) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        i += 16;
    }
#endif
    while (i < n) {
        char c = d[i];
        if (((c == Cs) || ...)) return i;
        ++i;
    }
    return n;
}

// The same with the bytes given at run time (a, b, c).
inline std::size_t find_any3(const char* d, std::size_t i, std::size_t n, char a, char b, char c) {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
    while (i + 16 <= n) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)), _mm_cmpeq_epi8(v, vc));
        int mask = _mm_movemask_epi8(hit);
        if (mask) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        i += 16;
    }
#endif
    while (i < n && d[i] != a && d[i] != b && d[i] != c) ++i;
    return i;
}

// White_Space trimming with a shortcut for the common case of a text that
// starts (ends) with a visible ASCII byte.
inline bool visible_ascii(char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x80;
}
std::string_view trim_start(std::string_view s);
std::string_view trim_end(std::string_view s);
inline std::string_view trim(std::string_view s) { return trim_end(trim_start(s)); }

}  // namespace tavrel::wikitext::detail
