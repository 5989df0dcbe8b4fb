// Scanning helpers shared by every pass of the wikitext reader: the brace and
// link tracker, the searches built on it (`balanced`, `split_top`), the
// reference length, link targets and the HTML tag readers.
//
// The tracker steps bytes, not characters: every pattern it tests is ASCII,
// and no byte of a multi-byte UTF-8 sequence is ASCII, so the positions it
// stops at are the same. Between the bytes that can change its state it
// skips with a table lookup, which keeps template-heavy pages fast.
#include <algorithm>
#include <array>
#include <cstring>

#include "reader.hpp"
#include "tavrel/entity.hpp"
#include "tavrel/text.hpp"

namespace tavrel::wikitext {

namespace detail {

bool is_ws_byte(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trim_start(std::string_view s) {
    if (s.empty() || visible_ascii(s.front())) return s;
    return text::trim_start(s);
}

std::string_view trim_end(std::string_view s) {
    if (s.empty() || visible_ascii(s.back())) return s;
    return text::trim_end(s);
}


std::size_t find_ci(std::string_view hay, std::string_view lower, std::size_t from) {
    if (lower.empty()) return from <= hay.size() ? from : std::string_view::npos;
    char first = lower[0];
    char first_up = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 32) : first;
    std::size_t n = hay.size();
    std::size_t i = from;
    while (i < n && n - i >= lower.size()) {
        const void* hit;
        if (first == first_up) {
            hit = std::memchr(hay.data() + i, first, n - i);
        } else {
            // Letters start none of the patterns we search; keep it simple.
            hit = nullptr;
            for (std::size_t j = i; j < n; ++j)
                if (hay[j] == first || hay[j] == first_up) {
                    hit = hay.data() + j;
                    break;
                }
        }
        if (!hit) return std::string_view::npos;
        i = static_cast<std::size_t>(static_cast<const char*>(hit) - hay.data());
        if (starts_with_ci(hay, i, lower)) return i;
        ++i;
    }
    return std::string_view::npos;
}

bool ends_with_ci(std::string_view s, std::string_view lower) {
    return s.size() >= lower.size() && starts_with_ci(s, s.size() - lower.size(), lower);
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower_byte(c);
    return out;
}

Context::Context(std::vector<ast::Footnote>& list) : footnotes(&list) {
    for (const auto& fn : list)
        if (!labels.insert(fn.label).second) repeated_labels = true;
}

Context::~Context() = default;

bool Context::known_not_plain(const char* content, const char* close) const {
    auto it = not_plain.find(content);
    return it != not_plain.end() && it->second == close;
}

void Context::note_not_plain(const char* content, const char* close) { not_plain[content] = close; }

void Context::truncate_footnotes(std::size_t size) {
    while (footnotes->size() > size) {
        // The reader never adds a label twice; only a list handed in from
        // outside may hold one twice, and then the set must keep answering
        // for the entries that remain.
        std::string label = std::move(footnotes->back().label);
        footnotes->pop_back();
        bool still = false;
        if (repeated_labels)
            for (const auto& fn : *footnotes)
                if (fn.label == label) still = true;
        if (!still) labels.erase(label);
    }
}

namespace {

// The tracker in the form the hot searches use: widths kept inline up to a
// depth no real page reaches, spilled to the heap beyond.
class Tracker {
public:
    bool top() const { return n_ == 0 && links_ == 0; }
    bool braces_open() const { return n_ != 0; }

    // One step at `i` (i < t.size()); returns the next position.
    std::size_t step(std::string_view t, std::size_t i) {
        const char* p = t.data() + i;
        std::size_t left = t.size() - i;
        if (p[0] == '{' && left >= 2 && p[1] == '{') {
            if (left >= 3 && p[2] == '{') {
                push(3);
                return i + 3;
            }
            push(2);
            return i + 2;
        }
        if (p[0] == '}' && n_ != 0) {
            std::uint8_t w = top_width();
            if (left >= w && p[1] == '}' && (w == 2 || p[2] == '}')) {
                pop();
                return i + w;
            }
        }
        if (p[0] == '[' && left >= 2 && p[1] == '[') {
            ++links_;
            return i + 2;
        }
        if (p[0] == ']' && left >= 2 && p[1] == ']' && links_ != 0) {
            --links_;
            return i + 2;
        }
        return i + 1;
    }

private:
    static constexpr std::size_t kInline = 64;
    std::array<std::uint8_t, kInline> small_;  // only [0, n_) is ever read
    std::vector<std::uint8_t> spill_;
    std::size_t n_ = 0;
    std::size_t links_ = 0;

    void push(std::uint8_t w) {
        if (n_ < kInline)
            small_[n_] = w;
        else
            spill_.push_back(w);
        ++n_;
    }
    std::uint8_t top_width() const { return n_ <= kInline ? small_[n_ - 1] : spill_.back(); }
    void pop() {
        if (n_ > kInline) spill_.pop_back();
        --n_;
    }
};


// `text` continues at `i` with `pat` (a few bytes).
inline bool starts_at(std::string_view text, std::size_t i, std::string_view pat) {
    if (text.size() - i < pat.size()) return false;
    for (std::size_t k = 0; k < pat.size(); ++k)
        if (text[i + k] != pat[k]) return false;
    return true;
}

// Records nothing: the plain walk.
struct NoBars {
    static constexpr bool kRecord = false;
    void add(std::size_t) {}
    void equals(std::size_t) {}
};



// The walk behind `balanced` and `find_top`: first top-level position in
// [start, end) where `text` continues with `closer`, or npos. With a
// recording `bars`, the top-level "|" met on the way are noted too, so that
// a call or link is split in the same pass that finds its end.
template <class Rec>
std::size_t walk(std::string_view text, std::size_t start, std::size_t end, std::string_view closer, Rec& bars) {
    Tracker tr;
    const unsigned char c0 = static_cast<unsigned char>(closer[0]);
    const auto* d = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = start;
    while (i < end) {
        if (tr.top()) {
            // Only an opener, the closer (and for a recording walk "|" and
            // "=") matters at top level.
            if constexpr (Rec::kRecord) {
                i = find_any<'{', '}', '[', ']', '|', '='>(text.data(), i, end);
            } else {
                i = find_any3(text.data(), i, end, static_cast<char>(c0), '{', '[');
            }
            if (i >= end) break;
            if (starts_at(text, i, closer)) return i;
            if constexpr (Rec::kRecord) {
                if (d[i] == '|' || d[i] == '=') {
                    if (d[i] == '|')
                        bars.add(i);
                    else
                        bars.equals(i);
                    ++i;
                    continue;
                }
            }
        } else {
            i = find_any<'{', '}', '[', ']'>(text.data(), i, end);
            if (i >= end) break;
        }
        i = tr.step(text, i);
    }
    return std::string_view::npos;
}

std::size_t walk(std::string_view text, std::size_t start, std::size_t end, std::string_view closer) {
    NoBars none;
    return walk(text, start, end, closer, none);
}

}  // namespace

std::size_t balanced_bars(std::string_view text, std::size_t start, std::string_view closer, Bars& bars) {
    if (start >= text.size()) return std::string_view::npos;
    return walk(text, start, text.size(), closer, bars);
}

// ---- Closers ----------------------------------------------------------------

Closers::Closers(std::string_view text, bool remember) : t_(text), remember_(remember) {}
Closers::~Closers() = default;

std::size_t Closers::find(std::size_t start, Kind kind) {
    if (start >= t_.size()) return std::string_view::npos;
    if (remember_) return remembered(start, kind);
    static constexpr std::string_view kCloser[3] = {"}}", "}}}", "]]"};
    std::size_t at = walk(t_, start, t_.size(), kCloser[kind]);
    if (at == std::string_view::npos) remember_ = true;
    return at;
}

std::size_t Closers::run_end(std::size_t at) const {
    char c = t_[at];
    while (at < t_.size() && t_[at] == c) ++at;
    return at;
}

// The brace frame opened at `at` ("{{" or "{{{" there): the position just
// after the closer that pops it, or npos when nothing does. Walks the
// frame's own level, stepping over inner frames already known; every frame
// opened on the way is remembered as well.
std::size_t Closers::brace_frame(std::size_t at) {
    constexpr std::size_t npos = std::string_view::npos;
    if (auto it = brace_close_.find(at); it != brace_close_.end()) return it->second;
    const std::size_t n = t_.size();
    const char* d = t_.data();
    auto width = [&](std::size_t q) -> std::uint8_t { return q + 2 < n && d[q + 2] == '{' ? 3 : 2; };
    struct Open {
        std::size_t at;
        std::uint8_t w;
    };
    std::vector<Open> stack{{at, width(at)}};
    std::size_t i = at + stack.back().w;
    while (!stack.empty()) {
        i = find_any<'{', '}'>(d, i, n);
        if (i >= n) break;
        if (d[i] == '{') {
            if (i + 1 >= n || d[i + 1] != '{') {
                ++i;
                continue;
            }
            if (auto it = brace_close_.find(i); it != brace_close_.end()) {
                if (it->second == npos) break;
                i = it->second;
                continue;
            }
            stack.push_back({i, width(i)});
            i += stack.back().w;
            continue;
        }
        std::uint8_t w = stack.back().w;
        if (i + w <= n && d[i + 1] == '}' && (w == 2 || d[i + 2] == '}')) {
            brace_close_[stack.back().at] = i + w;
            stack.pop_back();
            i += w;
        } else {
            ++i;
        }
    }
    for (const Open& o : stack) brace_close_[o.at] = npos;
    return brace_close_[at];
}

// The same for the link opened at `at` ("[[" there).
std::size_t Closers::link_frame(std::size_t at) {
    constexpr std::size_t npos = std::string_view::npos;
    if (auto it = link_close_.find(at); it != link_close_.end()) return it->second;
    const std::size_t n = t_.size();
    const char* d = t_.data();
    std::vector<std::size_t> stack{at};
    std::size_t i = at + 2;
    while (!stack.empty()) {
        i = find_any<'[', ']'>(d, i, n);
        if (i >= n) break;
        bool pair = i + 1 < n && d[i + 1] == d[i];
        if (!pair) {
            ++i;
        } else if (d[i] == '[') {
            if (auto it = link_close_.find(i); it != link_close_.end()) {
                if (it->second == npos) break;
                i = it->second;
                continue;
            }
            stack.push_back(i);
            i += 2;
        } else {
            link_close_[stack.back()] = i + 2;
            stack.pop_back();
            i += 2;
        }
    }
    for (std::size_t o : stack) link_close_[o] = npos;
    return link_close_[at];
}

// The first thing at or after `from` that a stack of `Open`/`Close` pairs
// at top level acts on: an opener of two, or a run of closers of at least
// `need` (npos: no run ends the search). A pure function of `from`, so the
// last answer serves every position up to it.
template <char Open, char Close>
Closers::Event Closers::next_event(std::size_t from, EventFinder& f, std::size_t need) {
    if (f.from != std::string_view::npos && from >= f.from && (f.ev.at == std::string_view::npos || from <= f.ev.at))
        return f.ev;
    const std::size_t n = t_.size();
    const char* d = t_.data();
    Event ev{std::string_view::npos, false};
    std::size_t i = from;
    while (i < n) {
        i = find_any<Open, Close>(d, i, n);
        if (i >= n) break;
        if (d[i] == Open) {
            if (i + 1 < n && d[i + 1] == Open) {
                ev = {i, true};
                break;
            }
            ++i;
            continue;
        }
        std::size_t e = run_end(i);
        if (e - i >= need) {
            ev = {i, false};
            break;
        }
        i = e;
    }
    f.from = from;
    f.ev = ev;
    return ev;
}

// Braces: "{{", or a run of "}" long enough to close the kind searched for.
Closers::Event Closers::brace_event(std::size_t from, Kind kind) {
    const std::size_t need = kind == kLinks ? std::string_view::npos : kind == kBraces3 ? 3 : 2;
    return next_event<'{', '}'>(from, brace_ev_[kind], need);
}

// Links: "[[", or (when a link closer is searched for) a run of two "]" or
// more.
Closers::Event Closers::link_event(std::size_t from, Kind kind) {
    return next_event<'[', ']'>(from, link_ev_[kind], kind == kLinks ? 2 : std::string_view::npos);
}

// The walk from `start` as two walks, one per kind of bracket, each stepping
// over whole frames. Where both stand at top level at once the closer may
// be found; those positions are where walks meet, so their outcome is kept.
std::size_t Closers::remembered(std::size_t start, Kind kind) {
    constexpr std::size_t npos = std::string_view::npos;
    auto& top = top_[kind];
    seen_.clear();
    std::size_t b = start, l = start, result = npos;
    for (;;) {
        if (b == l) {
            if (auto it = top.find(b); it != top.end()) {
                result = it->second;
                break;
            }
            seen_.push_back(b);
            Event eb = brace_event(b, kind), el = link_event(l, kind);
            if (eb.at == npos && el.at == npos) break;
            if (el.at == npos || (eb.at != npos && eb.at < el.at)) {
                if (!eb.push) {
                    result = eb.at;
                    break;
                }
                b = brace_frame(eb.at);
                if (b == npos) break;
            } else {
                if (!el.push) {
                    result = el.at;
                    break;
                }
                l = link_frame(el.at);
                if (l == npos) break;
            }
        } else if (b < l) {
            // Inside a link up to l: the braces walk on to it; a closer met
            // there does not count.
            Event eb = brace_event(b, kind);
            if (eb.at == npos || eb.at >= l) {
                b = l;
            } else if (eb.push) {
                b = brace_frame(eb.at);
                if (b == npos) break;
            } else {
                b = std::min(run_end(eb.at), l);
            }
        } else {
            Event el = link_event(l, kind);
            if (el.at == npos || el.at >= b) {
                l = b;
            } else if (el.push) {
                l = link_frame(el.at);
                if (l == npos) break;
            } else {
                l = std::min(run_end(el.at), b);
            }
        }
    }
    for (std::size_t y : seen_) top[y] = result;
    return result;
}

// ---- ElementCloser ---------------------------------------------------------

ElementCloser::ElementCloser(std::string_view text, const std::string& name)
    : t_(text), open_("<" + name), close_("</" + name + ">") {}
ElementCloser::~ElementCloser() = default;

// ---- LinkEnds ----------------------------------------------------------------

LinkEnds::LinkEnds(std::string_view text) : t_(text) {}
LinkEnds::~LinkEnds() = default;

std::size_t LinkEnds::past(std::size_t pos) {
    constexpr std::size_t npos = std::string_view::npos;
    if (!closers_) {
        std::size_t e = find_top(t_, pos + 2, "]]");
        if (e != npos) return e + 2;
        closers_ = std::make_unique<Closers>(t_, true);
        ends_.emplace(pos, pos + 1);
        return pos + 1;
    }
    if (auto it = ends_.find(pos); it != ends_.end()) return it->second;
    std::size_t e = closers_->find(pos + 2, Closers::kLinks);
    std::size_t after = e == npos ? pos + 1 : e + 2;
    ends_.emplace(pos, after);
    return after;
}

namespace {
constexpr std::size_t kUnknown = std::string_view::npos - 1;
}

std::size_t ElementCloser::gt_index(std::size_t at) {
    if (at == 0 || at > t_.size() || t_[at - 1] != '>') return std::string_view::npos;
    return gts_.first_index_from(at - 1, [&](std::size_t x) { return t_.find('>', x); });
}

std::size_t* ElementCloser::outcome(std::size_t at) {
    std::size_t k = gt_index(at);
    if (k != std::string_view::npos) {
        if (k < after_gt_.size() && after_gt_[k] != kUnknown) return &after_gt_[k];
        return nullptr;
    }
    auto it = memo_.find(at);
    return it == memo_.end() ? nullptr : &it->second;
}

void ElementCloser::remember(std::size_t at, std::size_t closer) {
    std::size_t k = gt_index(at);
    if (k == std::string_view::npos) {
        memo_[at] = closer;
        return;
    }
    if (k >= after_gt_.size()) after_gt_.resize(k + 1, kUnknown);
    after_gt_[k] = closer;
}

std::size_t ElementCloser::find(std::size_t start) {
    constexpr std::size_t npos = std::string_view::npos;
    // frames_: one list per open depth of the positions whose outcome is
    // that depth's closing tag.
    frames_.clear();
    frames_.emplace_back();
    std::size_t cur = start;
    std::size_t r = npos;
    for (;;) {
        bool resolved = false;
        if (const std::size_t* known = outcome(cur)) {
            r = *known;
            resolved = true;
        } else {
            frames_.back().push_back(cur);
            std::size_t c = cur < t_.size()
                                ? closes_.first_from(cur, [&](std::size_t q) { return find_ci(t_, close_, q); })
                                : npos;
            if (c == npos) {
                r = npos;
                resolved = true;
            } else {
                std::size_t o = opens_.first_from(cur, [&](std::size_t q) { return find_ci(t_, open_, q); });
                bool counts = false;
                if (o != npos && o + open_.size() < t_.size()) {
                    char b = t_[o + open_.size()];
                    counts = b == '\t' || b == '\n' || b == '\r' || b == ' ' || b == '/' || b == '>';
                }
                if (counts && o < c) {
                    std::size_t g = gts_.first_from(o, [&](std::size_t q) { return t_.find('>', q); });
                    if (g == npos) {
                        r = npos;
                        resolved = true;
                    } else {
                        // The nested element's closing tag first, then on.
                        frames_.emplace_back();
                        cur = g + 1;
                    }
                } else {
                    r = c;
                    resolved = true;
                }
            }
        }
        while (resolved) {
            for (std::size_t x : frames_.back()) remember(x, r);
            frames_.pop_back();
            if (frames_.empty()) return r;
            if (r != npos) {
                cur = r + close_.size();
                resolved = false;
            }
        }
    }
}

std::size_t find_top(std::string_view text, std::size_t start, std::string_view sep) {
    if (start >= text.size()) return std::string_view::npos;
    return walk(text, start, text.size(), sep);
}

// The name is the text up to the first top-level "|", trimmed. It is no
// title when it holds a line break between non-blank text, or a character
// no title may hold: a control character, "<", ">", "[", "]", "{", "}" or
// U+FFFD.
//
// Only what the text shows for certain is judged; everything else leaves
// the call a call, as before:
// - A name beginning with "#" calls a parser function, and the text after
//   the first ":" of any name may be the argument of one (a magic word such
//   as DISPLAYTITLE takes markup there): past that colon only a line break
//   between non-blank text counts, and only within that part, so that
//   "{{DEFAULTSORT:\nName}}" stays a call.
// - A nested call or parameter expands to text unknown here, and a comment
//   may hide the end of the name: the name is judged by what stands before
//   the first of them.
//
// The walk stops at the first nested opener, so the walks of all the calls
// of a text cover each byte at most once.
namespace {

// The bytes the title test of a call's name looks at; every other byte is a
// space or visible ASCII that any title may hold.
constexpr std::array<bool, 256> kNameAttention = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = true;
    for (int c = 0x7f; c < 0x100; ++c) t[c] = true;
    for (unsigned char c : std::string_view("#:<>[]{}|")) t[c] = true;
    return t;
}();

// Most names are a word or two of plain ASCII ended by "|" or the closer
// within sixteen bytes: true when the first byte of the sixteen at `i` that
// the test looks at ends the name there. Needs sixteen bytes of text at i.
inline bool plain_short_name(const unsigned char* d, std::size_t i, std::size_t end) {
#if defined(__SSE2__)
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
    // Space to "~" are -96 to -2 once the top bit is flipped.
    __m128i s = _mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80)));
    __m128i plain = _mm_and_si128(_mm_cmpgt_epi8(s, _mm_set1_epi8(-97)), _mm_cmpgt_epi8(_mm_set1_epi8(-1), s));
    __m128i marks = _mm_setzero_si128();
    for (char m : {'#', ':', '<', '>', '[', ']', '{', '}', '|'})
        marks = _mm_or_si128(marks, _mm_cmpeq_epi8(v, _mm_set1_epi8(m)));
    __m128i looked_at = _mm_or_si128(marks, _mm_andnot_si128(plain, _mm_set1_epi8(-1)));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(looked_at));
    if (!mask) return false;
    std::size_t j = i + static_cast<std::size_t>(__builtin_ctz(mask));
    return j >= end || d[j] == '|' || (d[j] == '{' && j + 1 < end && d[j + 1] == '{');
#else
    (void)d, (void)i, (void)end;
    return false;
#endif
}

}  // namespace

bool call_name_may_be_title(std::string_view text, std::size_t i, std::size_t end) {
    const auto* d = reinterpret_cast<const unsigned char*>(text.data());
    if (i + 16 <= text.size() && plain_short_name(d, i, end)) return true;
    bool first_part = true;  // before the first ":"
    bool any = false;        // non-blank text seen in the name
    bool seen = false;       // non-blank text seen in the current part
    bool broken = false;     // a line break after it
    while (i < end) {
        unsigned char c = d[i];
        if (c == ' ') {
            ++i;
            continue;
        }
        if (!kNameAttention[c]) {
            // Visible text, and the spaces and visible text after it.
            if (broken) return false;
            any = seen = true;
            do ++i;
            while (i < end && !kNameAttention[d[i]]);
            continue;
        }
        if (c == '|') break;
        if (c == '{' && i + 1 < end && d[i + 1] == '{') break;
        if (c == '<' && text.compare(i, 4, "<!--") == 0) break;
        if (c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f') {
            // Past the colon only a line break counts: a tab there may be
            // part of a magic word's argument.
            if (first_part || c == '\n' || c == '\r') broken = broken || seen;
            ++i;
            continue;
        }
        std::size_t len = 1;
        if (c >= 0x80) {
            text::Decoded dc = text::decode_utf8(text, i);
            len = dc.len;
            if (text::is_white_space(dc.cp)) {
                i += len;
                continue;
            }
            if (first_part && dc.cp == 0xFFFD) return false;
        } else if (!any && c == '#') {
            return true;
        } else if (first_part && c == ':') {
            if (broken) return false;
            first_part = false;
            any = true;
            seen = broken = false;
            ++i;
            continue;
        } else if (first_part && c != '#') {
            return false;  // a control character, "<", ">", "[", "]", "{" or "}"
        } else if (c == '[' && i + 1 < end && d[i + 1] == '[') {
            break;  // a link past the colon, whose "|" does not end the name
        }
        if (broken) return false;
        any = seen = true;
        i += len;
    }
    return true;
}

}  // namespace detail

std::optional<std::size_t> Nesting::advance(std::string_view rest) {
    if (rest.empty()) return std::nullopt;
    if (rest.starts_with("{{{")) {
        stack.push_back(3);
        return 3;
    }
    if (rest.starts_with("{{")) {
        stack.push_back(2);
        return 2;
    }
    if (!stack.empty()) {
        std::size_t w = stack.back();
        if (rest.size() >= w && rest.substr(0, w).find_first_not_of('}') == std::string_view::npos) {
            stack.pop_back();
            return w;
        }
    }
    if (rest.starts_with("[[")) {
        ++link_depth;
        return 2;
    }
    if (rest.starts_with("]]") && link_depth > 0) {
        --link_depth;
        return 2;
    }
    return text::decode_utf8(rest, 0).len;
}

std::optional<std::size_t> balanced(std::string_view text, std::size_t start, std::string_view closer) {
    if (closer.empty()) return std::nullopt;
    std::size_t at = detail::find_top(text, start, closer);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

std::vector<std::string_view> split_top(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    std::size_t s = 0;
    for (;;) {
        std::size_t at = detail::find_top(text, s, separator);
        if (at == std::string_view::npos) break;
        pieces.push_back(text.substr(s, at - s));
        s = at + separator.size();
    }
    pieces.push_back(text.substr(s));
    return pieces;
}

std::size_t ref_len(std::string_view text) {
    std::size_t gt = text.find('>');
    if (gt == std::string_view::npos) return text.size();
    if (gt > 0 && text[gt - 1] == '/') return gt + 1;
    std::size_t close = detail::find_ci(text, "</ref>", 0);
    return close == std::string_view::npos ? text.size() : close + 6;
}

std::string link_target(std::string_view target) {
    // One pass: a relative target gets "./" and underscores for spaces; then
    // parentheses and any remaining spaces are percent-encoded.
    const char* d = target.data();
    std::size_t n = target.size();
    if (n == 0) return "./";
    // "://" is sought from its colons: most targets are page titles with none.
    bool as_written = target.starts_with("mailto:") || target.starts_with("#");
    for (const char* c = static_cast<const char*>(std::memchr(d, ':', n)); c && !as_written;
         c = static_cast<const char*>(std::memchr(c + 1, ':', static_cast<std::size_t>(d + n - (c + 1))))) {
        as_written = static_cast<std::size_t>(d + n - c) >= 3 && c[1] == '/' && c[2] == '/';
    }
    // Most targets hold no parenthesis, and a page title's spaces become
    // underscores one for one: the target is copied whole and mended in place.
    if (!std::memchr(d, '(', n) && !std::memchr(d, ')', n) && !(as_written && std::memchr(d, ' ', n))) {
        std::size_t pre = as_written ? 0 : 2;
        std::string out(n + pre, '_');
        if (pre) out[0] = '.', out[1] = '/';
        char* o = out.data() + pre;
        for (std::size_t k = 0; k < n; ++k) o[k] = d[k] == ' ' ? '_' : d[k];
        return out;
    }
    std::string out;
    out.reserve(target.size() + 2);
    if (!as_written) out += "./";
    std::size_t i = 0;
    while (i < n) {
        std::size_t k = detail::find_any<'(', ')', ' '>(target.data(), i, n);
        out.append(target.data() + i, k - i);
        if (k == n) break;
        char c = target[k];
        if (c == '(')
            out += "%28";
        else if (c == ')')
            out += "%29";
        else if (as_written)
            out += "%20";
        else
            out.push_back('_');
        i = k + 1;
    }
    return out;
}

namespace document {

std::optional<ast::Attr> html_attrs(std::string_view text) {
    ast::Attr attr;
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto skip_ws = [&] {
        while (i < n) {
            auto d = text::decode_utf8(text, i);
            if (!text::is_white_space(d.cp)) break;
            i += d.len;
        }
    };
    auto at_ws = [&](std::size_t k) { return text::is_white_space(text::decode_utf8(text, k).cp); };
    skip_ws();
    if (i >= n) return attr;  // (most tags)
    ast::AttrBuilder builder(attr);
    for (;;) {
        std::size_t name_start = i;
        while (i < n && text[i] != '=' && !at_ws(i)) i += text::decode_utf8(text, i).len;
        if (i == name_start) return std::nullopt;  // the text continues with "="
        std::string key = detail::ascii_lower(text.substr(name_start, i - name_start));
        skip_ws();
        std::string_view value;
        if (i < n && text[i] == '=') {
            ++i;
            skip_ws();
            if (i < n && (text[i] == '"' || text[i] == '\'')) {
                std::size_t close = text.find(text[i], i + 1);
                if (close == std::string_view::npos) return std::nullopt;
                value = text.substr(i + 1, close - i - 1);
                i = close + 1;
            } else {
                std::size_t vs = i;
                while (i < n && !at_ws(i)) i += text::decode_utf8(text, i).len;
                value = text.substr(vs, i - vs);
            }
        }
        builder.set_pair(std::move(key), entity::decode_entities(value));
        skip_ws();
        if (i >= n) return attr;
    }
}

std::optional<OpenTag> html_open(std::string_view text) {
    if (text.empty() || text[0] != '<') return std::nullopt;
    std::size_t gt = text.find('>');
    if (gt == std::string_view::npos) return std::nullopt;
    std::string_view inner = text::trim(text.substr(1, gt - 1));
    if (inner.empty()) return std::nullopt;
    if (inner[0] == '!' || inner[0] == '/' || inner[0] == '?') return std::nullopt;
    bool self_closing = false;
    if (inner.back() == '/') {
        inner.remove_suffix(1);
        inner = text::trim_end(inner);
        self_closing = true;
        if (inner.empty()) return std::nullopt;
    }
    std::size_t k = 0;
    while (k < inner.size()) {
        unsigned char c = static_cast<unsigned char>(inner[k]);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            ++k;
            continue;
        }
        if (text::is_white_space(text::decode_utf8(inner, k).cp)) break;
        return std::nullopt;
    }
    OpenTag tag;
    tag.name = detail::ascii_lower(inner.substr(0, k));
    auto attrs = html_attrs(inner.substr(k));
    if (!attrs) return std::nullopt;
    tag.attrs = std::move(*attrs);
    tag.end = gt + 1;
    tag.is_void = self_closing || tag.name == "br";
    return tag;
}

ast::Block raw(std::string_view text) { return ast::RawBlock{"wikitext", std::string(text)}; }

}  // namespace document

std::optional<std::string_view> html_list_item(std::string_view line) {
    std::string_view t = text::trim(line);
    if (t.empty() || !detail::starts_with_ci(t, 0, "<li")) return std::nullopt;
    std::size_t gt = t.find('>');
    if (gt == std::string_view::npos) return std::nullopt;
    std::string_view content = text::trim(t.substr(gt + 1));
    if (detail::ends_with_ci(content, "</li>")) {
        content.remove_suffix(5);
    } else if (detail::ends_with_ci(content, "<li>")) {
        content.remove_suffix(4);
    }
    return text::trim_end(content);
}

}  // namespace tavrel::wikitext
