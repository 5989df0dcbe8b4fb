// Private joints of the wikitext reader. The reader is split by pass: the
// block pass (lines.cpp) cuts the page into logical lines and dispatches
// them; tables.cpp reads wiki tables and HTML containers; inlines.cpp reads
// the text inside blocks. They share the scanning helpers of scan.cpp and
// one `Context` per page.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string_view>
#include <cstdint>
#include <memory>
#include <unordered_map>
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

class ElementCloser;

// What a page read carries through every nested call.
struct Context {
    std::vector<ast::Footnote>* footnotes = nullptr;  // the document's list
    std::unordered_set<std::string> labels;           // labels present in *footnotes
    bool repeated_labels = false;                     // a list handed in held a label twice
    std::size_t depth = 0;                            // nesting of inline reads
    std::size_t capped = 0;                           // texts kept verbatim at the depth limit
    // Bytes that the speculative reads of "sup" and "sub" contents may still
    // read in the current paragraph (heading, item, cell); set afresh by
    // every outermost inline read. Such a content is read once to see
    // whether it is plain text and, when it is not, read again as ordinary
    // text; nested inside each other that doubles per level. Past the
    // allowance an element falls back without the trial read: only that
    // element changes, never the constructs after it.
    std::size_t trial_allowance = 0;
    // "sup"/"sub" elements already found not to be plain text: the address
    // of the content's first byte, and of the closing tag. The fallback reads
    // their text again and must not try them again. (Texts read are views
    // into the one page text, so an address names the same byte everywhere.)
    std::unordered_map<const char*, const char*> not_plain;
    // The closing-tag searches of "sup", "sub", "span" and "small" over the
    // outermost text being read, which the reads nested in it share: an
    // element's content lies within that text, and a search from there
    // gives the same closer in both (or one past the content's end, where
    // the content has none). Kept per nested read instead, each level would
    // index every tag after it again.
    std::string_view outer_text;
    std::array<std::unique_ptr<ElementCloser>, 4> outer_closers;

    explicit Context(std::vector<ast::Footnote>& list);
    ~Context();

    bool known_not_plain(const char* content, const char* close) const;
    void note_not_plain(const char* content, const char* close);

    // Drops the footnotes appended after the list held `size` entries.
    void truncate_footnotes(std::size_t size);
};

// `inlines` with the page's context.
ast::Inlines read_inlines(std::string_view text, Context& cx);

// The closer searches of `balanced` over one text ("}}", "}}}" or "]]" from
// a start position), remembering what failed searches learn so that many
// searches from many openers cost linear time in all.
//
// The tracker's brace stack and link depth never act on the same byte, so
// they evolve apart: a frame opened at a position closes at a position that
// does not depend on where the walk began (remembered per frame), and two
// walks that stand at top level at the same position go on alike
// (remembered per top-level position and closer). Searches run as the plain
// walk until one fails; only then is remembering worth its cost.
class Closers {
public:
    enum Kind : std::uint8_t { kBraces2 = 0, kBraces3 = 1, kLinks = 2 };

    // `remember` from the first search on, rather than from the first that
    // fails (the plain walk is faster while searches succeed).
    explicit Closers(std::string_view text, bool remember = false);
    ~Closers();

    // `balanced` (text, start, closer of `kind`): the closer's position, or
    // npos.
    std::size_t find(std::size_t start, Kind kind);

    // Remember from now on: the caller is about to search from openers
    // nested inside a construct it has just found.
    void remember() { remember_ = true; }

private:
    struct Event {
        std::size_t at;  // npos: none
        bool push;       // an opener, else a closer the search may end at
    };
    struct EventFinder {
        std::size_t from = std::string_view::npos;
        Event ev{std::string_view::npos, false};
    };

    std::string_view t_;
    bool remember_;
    std::unordered_map<std::size_t, std::size_t> brace_close_, link_close_;
    std::unordered_map<std::size_t, std::size_t> top_[3];
    EventFinder brace_ev_[3], link_ev_[3];
    std::vector<std::size_t> seen_;

    std::size_t remembered(std::size_t start, Kind kind);
    std::size_t brace_frame(std::size_t at);
    std::size_t link_frame(std::size_t at);
    template <char Open, char Close>
    Event next_event(std::size_t from, EventFinder& f, std::size_t need);
    Event brace_event(std::size_t from, Kind kind);
    Event link_event(std::size_t from, Kind kind);
    std::size_t run_end(std::size_t at) const;
};

// Every occurrence of one pattern in a text, found lazily from the left, so
// that queries from any position cost one pass over the text in all.
class Occurrences {
public:
    // The first occurrence at or after `p`; `search(q)` gives the first one
    // at or after q, or npos.
    template <class Search>
    std::size_t first_from(std::size_t p, Search&& search) {
        std::size_t i = first_index_from(p, search);
        return i == at_.size() ? std::string_view::npos : at_[i];
    }

    // The same as an index into the occurrences found so far (their count
    // when there is none).
    template <class Search>
    std::size_t first_index_from(std::size_t p, Search&& search) {
        while (!done_ && (at_.empty() || at_.back() < p)) {
            std::size_t x = search(frontier_);
            if (x == std::string_view::npos) {
                done_ = true;
                break;
            }
            at_.push_back(x);
            frontier_ = x + 1;
        }
        return static_cast<std::size_t>(std::lower_bound(at_.begin(), at_.end(), p) - at_.begin());
    }

private:
    std::vector<std::size_t> at_;
    std::size_t frontier_ = 0;
    bool done_ = false;
};

// The closing-tag search of one element name ("sup", "sub", "span",
// "small") over a text. The search from a content start is a chain of
// steps, each to just past a nested opening tag (depth + 1) or past a
// closing tag (depth - 1), and a step depends only on where it starts; so
// the outcome from every position a chain passes is remembered, and an
// unclosed element costs its walk once however many openers before it are
// searched.
class ElementCloser {
public:
    ElementCloser(std::string_view text, const std::string& name);
    ~ElementCloser();

    std::size_t close_len() const { return close_.size(); }

    // Position of the closing tag of the element whose content starts at
    // `start`, or npos.
    std::size_t find(std::size_t start);

private:
    std::string_view t_;
    std::string open_, close_;
    Occurrences opens_, closes_, gts_;
    // Outcomes by position. Every position a search passes lies just after
    // a ">" (of an opening or a closing tag), so most are kept by the index
    // of that ">" among all of them; others (a search begun anywhere else)
    // by position.
    std::vector<std::size_t> after_gt_;
    std::unordered_map<std::size_t, std::size_t> memo_;
    std::vector<std::vector<std::size_t>> frames_;

    std::size_t* outcome(std::size_t at);  // nullptr: not known yet
    void remember(std::size_t at, std::size_t closer);
    std::size_t gt_index(std::size_t at);   // npos: no ">" just before `at`
};

// Where the links of a text end, for the apostrophe pass, which steps over
// them whole: the plain walk while links close, every answer remembered
// after one that does not.
class LinkEnds {
public:
    explicit LinkEnds(std::string_view text);
    ~LinkEnds();

    // Just past the link whose "[[" is at `pos`, or pos + 1 when it does not
    // close.
    std::size_t past(std::size_t pos);

private:
    std::string_view t_;
    std::unique_ptr<Closers> closers_;
    std::unordered_map<std::size_t, std::size_t> ends_;
};

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

// `balanced` that also notes the top-level "|" before the closer.
std::size_t balanced_bars(std::string_view text, std::size_t start, std::string_view closer, Bars& bars);

// First top-level occurrence of `sep` at or after `start`, or npos.
std::size_t find_top(std::string_view text, std::size_t start, std::string_view sep);

// Whether the name of the template call whose text between the braces is
// text[from, end) may be a page title. The wiki's renderer shows a call
// whose name is no title as text, braces and all, and renders what stands
// between the braces as ordinary wikitext; so do the line cutter and the
// inline reader.
bool call_name_may_be_title(std::string_view text, std::size_t from, std::size_t end);

// ASCII case-insensitive helpers; `lower` must already be lower case.
inline char lower_byte(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
// Inline: the scan asks it several times at every link, mostly failing on
// the first byte.
inline bool starts_with_ci(std::string_view s, std::size_t pos, std::string_view lower) {
    if (pos > s.size() || s.size() - pos < lower.size()) return false;
    for (std::size_t k = 0; k < lower.size(); ++k)
        if (lower_byte(s[pos + k]) != lower[k]) return false;
    return true;
}
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
    // The short rest (most labels and argument values are all rest) is
    // looked up a byte at a time rather than compared with every byte of Cs.
    static constexpr std::array<bool, 256> hit = [] {
        std::array<bool, 256> t{};
        ((t[static_cast<unsigned char>(Cs)] = true), ...);
        return t;
    }();
    while (i < n && !hit[static_cast<unsigned char>(d[i])]) ++i;
    return i;
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
