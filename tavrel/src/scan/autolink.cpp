// Tests behind bare autolinks, e-mail addresses, inline HTML names and math
// closers. Everything here reads borrowed text and allocates nothing; the
// only non-ASCII knowledge needed is White_Space, from the text module.
#include "tavrel/autolink.hpp"

#include <array>

#include "tavrel/text.hpp"

namespace tavrel::autolink {
namespace {

bool is_ascii_alpha(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_ascii_alnum(char32_t c) { return is_ascii_alpha(c) || is_ascii_digit(c); }

constexpr std::array<std::string_view, 28> kBlockTags = {
    "p",  "dd",  "dl",    "dt",    "h1",    "h2",    "h3",     "h4",      "h5",      "h6",
    "hr", "li",  "ol",    "td",    "th",    "tr",    "ul",     "div",     "pre",     "table",
    "tbody", "tfoot", "thead", "figure", "caption", "section", "blockquote", "figcaption"};

constexpr std::array<std::string_view, 20> kInlineTags = {
    "a",   "b",   "i",   "s",   "u",    "br",   "em",   "del",  "img",   "ins",
    "kbd", "sub", "sup", "abbr", "code", "mark", "span", "input", "strong", "template"};

bool is_email_strip(char c) {
    return c == '.' || c == ',' || c == ';' || c == ':' || c == '!' || c == '?' || c == ')';
}

bool is_url_trailing_punct(char c) {
    return c == '!' || c == '"' || c == '\'' || c == '*' || c == ',' || c == '.' || c == ':' || c == '?' ||
           c == '~';
}

}  // namespace

std::optional<std::size_t> find_unescaped(std::string_view s, std::size_t start, std::string_view closer) {
    bool escaped = false;
    for (std::size_t i = start; i < s.size(); ++i) {
        if (escaped) {
            escaped = false;
            continue;
        }
        if (s.compare(i, closer.size(), closer) == 0) return i;
        if (s[i] == '\\') escaped = true;
    }
    return std::nullopt;
}

std::optional<std::size_t> html_tag_name_end(std::string_view s) {
    if (s.empty() || !is_ascii_alpha(static_cast<unsigned char>(s[0]))) return std::nullopt;
    std::size_t i = 1;
    while (i < s.size() && (is_ascii_alnum(static_cast<unsigned char>(s[i])) || s[i] == '-')) ++i;
    return i;
}

namespace {

// Every known name, with whether it is a block's, ordered by length, and
// where the names of each length start: a name is compared with those of
// its length only, byte by byte.
struct KnownTag {
    std::string_view name;
    bool block = false;
};
constexpr std::size_t kLongestTag = 10;
constexpr std::array<KnownTag, kBlockTags.size() + kInlineTags.size()> kTagsByLength = [] {
    std::array<KnownTag, kBlockTags.size() + kInlineTags.size()> t{};
    std::size_t n = 0;
    for (std::size_t len = 1; len <= kLongestTag; ++len) {
        for (std::string_view name : kBlockTags)
            if (name.size() == len) t[n++] = KnownTag{name, true};
        for (std::string_view name : kInlineTags)
            if (name.size() == len) t[n++] = KnownTag{name, false};
    }
    return t;
}();
constexpr std::array<std::size_t, kLongestTag + 2> kTagsFrom = [] {
    std::array<std::size_t, kLongestTag + 2> from{};
    for (std::size_t len = 0; len <= kLongestTag + 1; ++len) {
        while (from[len] < kTagsByLength.size() && kTagsByLength[from[len]].name.size() < len) ++from[len];
    }
    return from;
}();

// The known tag `name` is, or none.
const KnownTag* known_tag(std::string_view name) {
    if (name.empty() || name.size() > kLongestTag) return nullptr;
    for (std::size_t k = kTagsFrom[name.size()]; k < kTagsFrom[name.size() + 1]; ++k) {
        const std::string_view t = kTagsByLength[k].name;
        std::size_t i = 0;
        while (i < t.size() && t[i] == name[i]) ++i;
        if (i == t.size()) return &kTagsByLength[k];
    }
    return nullptr;
}

}  // namespace

bool is_md_block_html_tag(std::string_view name) {
    const KnownTag* tag = known_tag(name);
    return tag && tag->block;
}

bool is_md_html_tag(std::string_view name) {
    if (name.find('-') != std::string_view::npos) return true;
    return known_tag(name) != nullptr;
}

bool is_email_local_char(char32_t c) {
    constexpr std::string_view kLocalExtra = ".!#$%&'*+/=?^_`{|}~-";
    return c < 0x80 && (is_ascii_alnum(c) || kLocalExtra.find(static_cast<char>(c)) != std::string_view::npos);
}

bool is_email(std::string_view s) {
    // (Most text in angle brackets is a tag: without an "@" it is none.)
    if (s.find('@') == std::string_view::npos) return false;
    std::size_t at = std::string_view::npos;
    std::size_t i = 0;
    while (i < s.size()) {
        text::Decoded d = text::decode_utf8(s, i);
        char32_t c = d.cp;
        if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '\\' || text::is_white_space(c)) return false;
        if (c == '@' && at == std::string_view::npos) at = i;
        i += d.len;
    }
    if (at == std::string_view::npos || at == 0) return false;
    std::string_view local = s.substr(0, at);
    std::string_view domain = s.substr(at + 1);
    if (domain.empty() || domain.find('@') != std::string_view::npos || domain.find('.') == std::string_view::npos)
        return false;
    for (char c : local)
        if (!is_email_local_char(static_cast<unsigned char>(c))) return false;
    std::size_t label_start = 0;
    while (true) {
        std::size_t dot = domain.find('.', label_start);
        std::string_view label = domain.substr(label_start, dot == std::string_view::npos ? std::string_view::npos
                                                                                          : dot - label_start);
        if (label.empty()) return false;
        if (!is_ascii_alnum(static_cast<unsigned char>(label.front())) ||
            !is_ascii_alnum(static_cast<unsigned char>(label.back())))
            return false;
        for (char c : label) {
            unsigned char u = static_cast<unsigned char>(c);
            if (!is_ascii_alnum(u) && c != '-' && c != '_') return false;
        }
        if (dot == std::string_view::npos) break;
        label_start = dot + 1;
    }
    return true;
}

bool is_boundary(char32_t c) {
    switch (c) {
        case 0:
        case '(':
        case '[':
        case '{':
        case ':':
        case ';':
        case '\'':
        case '"':
        case '/':
        case '*':
        case '~':
            return true;
        default:
            return text::is_white_space(c);
    }
}

bool preceded_by_angle_opener(std::string_view s, std::size_t pos) {
    while (pos > 0) {
        text::Decoded d = text::decode_utf8_before(s, pos);
        if (!text::is_white_space(d.cp)) return d.cp == '<';
        pos -= d.len;
    }
    return false;
}

std::string_view bounded_autolink_word(std::string_view s, std::size_t start) {
    std::size_t limit = s.size();
    if (limit - start > 255) {
        limit = start + 255;
        // Back up to a character boundary (never inside a sequence).
        while (limit > start && (static_cast<unsigned char>(s[limit]) & 0xC0) == 0x80) --limit;
    }
    std::size_t i = start;
    while (i < limit) {
        text::Decoded d = text::decode_utf8(s, i);
        if (text::is_white_space(d.cp)) break;
        if (i + d.len > limit) break;
        i += d.len;
    }
    return s.substr(start, i - start);
}

// The longest prefix that is an address once stripped is found in one walk:
// every rule of `is_email` either holds for all longer prefixes once it
// fails (a bad character, a second "@", an empty or badly edged inner
// label), or depends only on the prefix's end (a "." seen in the domain, the
// last label non-empty and ending alphanumeric). Trailing stripped
// characters never end a valid address, so the ends that qualify are
// exactly the valid stripped prefixes.
std::optional<EmailPrefix> bare_email_prefix(std::string_view word) {
    if (word.empty()) return std::nullopt;
    std::size_t lead = 0;
    while (lead < word.size() && is_email_strip(word[lead])) ++lead;
    std::optional<EmailPrefix> best;
    std::size_t at = std::string_view::npos;
    std::size_t dots = 0;          // "." seen in the domain
    std::size_t label_len = 0;     // length of the current domain label
    bool label_alnum_end = false;  // current label ends alphanumeric
    std::size_t i = lead;
    while (i < word.size()) {
        text::Decoded d = text::decode_utf8(word, i);
        char32_t c = d.cp;
        if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '\\' || text::is_white_space(c)) break;
        if (at == std::string_view::npos) {
            if (c == '@') {
                if (i == lead) break;  // empty local part
                at = i;
            } else if (!is_email_local_char(c)) {
                break;
            }
        } else {
            if (c == '.') {
                if (label_len == 0 || !label_alnum_end) break;
                ++dots;
                label_len = 0;
                label_alnum_end = false;
            } else if (c < 0x80 && is_ascii_alnum(c)) {
                ++label_len;
                label_alnum_end = true;
            } else if (c == '-' || c == '_') {
                if (label_len == 0) break;  // a label starts alphanumeric
                ++label_len;
                label_alnum_end = false;
            } else {
                break;
            }
        }
        i += d.len;
        if (at != std::string_view::npos && dots > 0 && label_len > 0 && label_alnum_end)
            best = EmailPrefix{lead, i - lead};
    }
    if (!best) return std::nullopt;
    std::size_t after = best->start + best->len;
    if (after < word.size() && (word[after] == '_' || word[after] == '-')) return std::nullopt;
    return best;
}

std::size_t trim_trailing_url_punct(std::string_view s, std::size_t start, std::size_t end) {
    while (end > start && is_url_trailing_punct(s[end - 1])) --end;
    return end;
}

std::size_t trim_bare_url_end(std::string_view s, std::size_t start, std::size_t end) {
    end = trim_trailing_url_punct(s, start, end);
    std::string_view cand = s.substr(start, end - start);
    std::size_t amp = cand.rfind('&');
    bool entity_tail = false;
    if (amp != std::string_view::npos) {
        std::string_view after = cand.substr(amp + 1);
        if (after.size() >= 2 && after.back() == ';') {
            entity_tail = true;
            for (std::size_t k = 0; k + 1 < after.size(); ++k)
                if (!is_ascii_alnum(static_cast<unsigned char>(after[k]))) entity_tail = false;
        }
    }
    if (entity_tail) {
        end = start + amp;
    } else {
        while (end > start && s[end - 1] == ';') --end;
    }
    cand = s.substr(start, end - start);
    std::size_t opens = 0, closes = 0;
    for (char c : cand) {
        if (c == '(') ++opens;
        if (c == ')') ++closes;
    }
    while (end > start && s[end - 1] == ')' && closes > opens) {
        --end;
        --closes;
    }
    return trim_trailing_url_punct(s, start, end);
}

}  // namespace tavrel::autolink
