// Scanning helpers shared by every pass of the wikitext reader: the brace and
// link tracker, the searches built on it (`balanced`, `split_top`), the
// reference length, link targets and the HTML tag readers.
//
// The tracker steps bytes, not characters: every pattern it tests is ASCII,
// and no byte of a multi-byte UTF-8 sequence is ASCII, so the positions it
// stops at are the same. Between the bytes that can change its state it
// skips with a table lookup, which keeps template-heavy pages fast.
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

static inline char lower_byte(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool starts_with_ci(std::string_view s, std::size_t pos, std::string_view lower) {
    if (pos > s.size() || s.size() - pos < lower.size()) return false;
    for (std::size_t k = 0; k < lower.size(); ++k)
        if (lower_byte(s[pos + k]) != lower[k]) return false;
    return true;
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

Context::Context(std::vector<ast::Footnote>& list, std::size_t text_size)
    : footnotes(&list), budget(16 * text_size + (std::size_t{1} << 20)) {
    for (const auto& fn : list)
        if (!labels.insert(fn.label).second) repeated_labels = true;
}

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

std::size_t balanced_budget(std::string_view text, std::size_t start, std::string_view closer,
                            std::size_t& budget) {
    if (start >= text.size()) return std::string_view::npos;
    std::size_t end = text.size();
    if (end - start > budget) end = start + budget;
    std::size_t at = walk(text, start, end, closer);
    if (at == std::string_view::npos) budget -= end - start;
    return at;
}

std::size_t balanced_bars(std::string_view text, std::size_t start, std::string_view closer, std::size_t& budget,
                          Bars& bars) {
    if (start >= text.size()) return std::string_view::npos;
    std::size_t end = text.size();
    if (end - start > budget) end = start + budget;
    std::size_t at = walk(text, start, end, closer, bars);
    if (at == std::string_view::npos) budget -= end - start;
    return at;
}

std::size_t find_top(std::string_view text, std::size_t start, std::string_view sep) {
    if (start >= text.size()) return std::string_view::npos;
    return walk(text, start, text.size(), sep);
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
    bool as_written = target.find("://") != std::string_view::npos || target.starts_with("mailto:") ||
                      target.starts_with("#");
    std::string out;
    out.reserve(target.size() + 2);
    if (!as_written) out += "./";
    std::size_t i = 0, n = target.size();
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
    for (;;) {
        skip_ws();
        if (i >= n) return attr;
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
        attr.set_pair(std::move(key), entity::decode_entities(value));
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
