// The small text functions of the Markdown dialect: escaping of text, link
// destinations and attribute words, code spans and backtick runs, and the
// template-call label. They decide how every literal character is written so
// that the reader takes it back as the same character.
//
// One rule goes beyond escaping punctuation: the reader decodes character
// references in text, destinations, titles and attribute values, so an "&"
// that would start a reference it decodes ("&lt;", "&#38;") is written so that
// it reads back as itself: "\&" in text, "&amp;" where backslashes are not
// taken as escapes before the decoding.
#include <algorithm>
#include <array>
#include <string>

#include "escape_internal.hpp"
#include "tavrel/block.hpp"
#include "tavrel/entity.hpp"
#include "tavrel/text.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md::detail {

bool starts_decoded_reference(std::string_view s, std::size_t pos) {
    // A reference runs from "&" to the first ";" with no "&" between; the
    // reader decodes it when the decoder changes it, which it does only to
    // a name or number: letters and digits, after a "#" for a number.
    std::size_t end = pos + 1;
    if (end < s.size() && s[end] == '#') ++end;
    while (end < s.size() && ((s[end] >= 'a' && s[end] <= 'z') || (s[end] >= 'A' && s[end] <= 'Z') ||
                              (s[end] >= '0' && s[end] <= '9')))
        ++end;
    if (end >= s.size() || s[end] != ';' || end == pos + 1) return false;
    return entity::decodes_reference(s.substr(pos, end - pos + 1));
}

void append_amp_safe(std::string_view s, std::size_t pos, std::string& out) {
    if (starts_decoded_reference(s, pos)) {
        out.append("&amp;");
    } else {
        out.push_back('&');
    }
}

namespace {
bool starts_bare_link_at(std::string_view text, std::size_t i);

// The characters that, in an attribute block the scanner reads as text
// before it is taken as one (after a closing delimiter run), would start
// a construct or end the text node: each is written escaped there. "["
// is not among them: "\[" would open display math before any later "\]".
constexpr std::array<bool, 256> kScanMark = [] {
    std::array<bool, 256> t{};
    for (char c : std::string_view("*_~^$=<`]@")) t[static_cast<unsigned char>(c)] = true;
    return t;
}();
}  // namespace

void append_quoted(std::string_view value, std::string& out, bool parens, char quote, bool braces, bool links,
                   bool scanned) {
    out.push_back(quote);
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '\\') {
            out.append("\\\\");
        } else if (scanned && (c == '[' || kScanMark[static_cast<unsigned char>(c)])) {
            // "\[" would open display math before a later "\]".
            if (c == '[') {
                out.append("&#91;");
            } else {
                out.push_back('\\');
                out.push_back(c);
            }
        } else if (braces && (c == '\'' || c == '"')) {
            // Inside a stretch of the line that a quote opened, either quote
            // would end or open such a stretch where the reader looks for
            // the block's "{": the reference reads back as the character.
            out.append(c == '\'' ? "&#39;" : "&#34;");
        } else if (c == '"' || c == quote || (parens && (c == '(' || c == ')')) || (braces && (c == '{' || c == '}'))) {
            out.push_back('\\');
            out.push_back(c);
        } else if (links && (c == '[' || c == ']' || c == '<' || c == '`' ||
                             ((c == ':' || c == '.' || c == '@') && starts_bare_link_at(value, i)))) {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '&') {
            append_amp_safe(value, i, out);
        } else if (c == '\n' || c == '\r') {
            // A line end inside the quotes would let the next line open a
            // block; the reference reads back as the character.
            out.append(c == '\n' ? "&#10;" : "&#13;");
        } else {
            out.push_back(c);
        }
    }
    out.push_back(quote);
}

}  // namespace tavrel::write_md::detail

namespace tavrel::markdown {

namespace {

bool is_escaped_punct(char c) {
    switch (c) {
        case '#': case '$': case '*': case '+': case '<': case '=': case '>': case '[':
        case '\\': case ']': case '^': case '_': case '`': case '|': case '~':
            return true;
        default:
            return false;
    }
}

bool is_list_space(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

// True when the current line of `out` (after its last line feed) is at most
// three characters long and holds only spaces; looks at four bytes at most.
bool line_is_short_indent(const std::string& out) {
    std::size_t n = out.size();
    for (std::size_t k = 0; k < 4; ++k) {
        if (k == n) return true;  // the start of the output
        char c = out[n - 1 - k];
        if (c == '\n') return true;
        if (c != ' ') return false;
    }
    return false;
}

}  // namespace

void escape_markdown(std::string_view text, std::string& out) { write_md::detail::escape_text(text, out, false); }

}  // namespace tavrel::markdown

namespace tavrel::write_md::detail {

namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The reader turns bare URLs ("http://", "https://", "ftp://", "www.") and
// e-mail addresses in text into autolinks. An escaped character inside the
// marker ("http\://", "www\.", "a\@b") reads back as itself and breaks the
// pattern, so text keeps being text. The test looks at the text alone, so
// writing the re-read text decides the same way.
bool starts_bare_link_at(std::string_view text, std::size_t i) {
    char c = text[i];
    if (c == '@') return true;
    // (A "." is tested in place: most end a sentence.)
    if (c == '.') return i >= 3 && text[i - 1] == 'w' && text[i - 2] == 'w' && text[i - 3] == 'w';
    std::string_view before = text.substr(0, i);
    // ':'
    if (text.substr(i, 3) != "://") return false;
    return ends_with(before, "http") || ends_with(before, "https") || ends_with(before, "ftp");
}

// True when the "." at `i` ends an item number 1 ("1.", "01.") that starts
// a paragraph line other than the first: the reader would let it interrupt
// the paragraph and open an ordered list. (On a paragraph's first line the
// reader turns a lone item back into the paragraph, so it stays bare.)
// `text[run, i)` is not yet in `out`.
bool interrupts_paragraph_at(std::string_view text, const std::string& out, std::size_t run, std::size_t i) {
    // A form feed after the full stop spaces a marker as a space does.
    if (i + 1 >= text.size() || (text[i + 1] != ' ' && text[i + 1] != '\t' && text[i + 1] != '\f')) return false;
    std::size_t d = i;
    while (d > 0 && text[d - 1] >= '0' && text[d - 1] <= '9') --d;
    if (d == i || i - d > 9) return false;
    std::string_view digits = text.substr(d, i - d);
    if (digits.find_first_not_of('0') == std::string_view::npos || std::stoul(std::string(digits)) != 1) return false;
    if (d > run) return text[d - 1] == '\n' && d >= 2 && text[d - 2] != '\n';
    if (d < run) return false;
    return at_continued_line(out);
}

}  // namespace

bool at_continued_line(const std::string& out) {
    if (out.size() < 2 || out.back() != '\n' || out[out.size() - 2] == '\n') return false;
    std::size_t prev = out.rfind('\n', out.size() - 2);
    prev = prev == std::string::npos ? 0 : prev + 1;
    return out.compare(prev, 3, ":::") != 0;
}

namespace {

// Whether the reader, given the paragraph line `head` and then `line`, makes
// a table of the two: `line` a delimiter row with a cell for each of
// `head`'s. An escaped "|" still makes `head` a row.
bool reads_as_table_head(std::string_view head, std::string_view line) {
    if (head.find('|') == std::string_view::npos) return false;
    auto delims = block::split_table_row(line);
    if (!delims || delims->empty()) return false;
    for (const auto& cell : *delims) {
        if (!block::delimiter_align(cell)) return false;
    }
    auto cells = block::split_table_row(head);
    return cells && cells->size() == delims->size();
}

// Whether `line` holds a "|" and no character other than dashes, colons,
// pipes and what may be white space: a line that may be a delimiter row.
bool may_be_delimiter_row(std::string_view line) {
    bool pipe = false;
    for (const char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '|') {
            pipe = true;
        } else if (c < 0x80 && c != '-' && c != ':' && c != ' ' && (c < 0x09 || c > 0x0D)) {
            return false;
        }
    }
    return pipe;
}

}  // namespace

bool html_lines_read_as_table(const std::string& out, std::string_view html) {
    std::size_t nl = html.find('\n');
    std::size_t prev = 0;  // where the line before starts in `html`
    while (nl != std::string_view::npos) {
        const std::size_t start = nl + 1;
        nl = html.find('\n', start);
        const std::string_view line = html.substr(start, nl == std::string_view::npos ? nl : nl - start);
        if (may_be_delimiter_row(line)) {
            std::string head;
            if (prev == 0) {
                const std::size_t line_end = out.rfind('\n');
                head = out.substr(line_end == std::string::npos ? 0 : line_end + 1);
            }
            head.append(html.substr(prev, start - 1 - prev));
            if (reads_as_table_head(head, line)) return true;
        }
        prev = start;
    }
    return false;
}

// The bytes `escape_text` may write otherwise than as they are; every
// other byte (letters, digits, spaces, UTF-8) is copied in runs.
constexpr std::array<bool, 256> kMayEscape = [] {
    std::array<bool, 256> t{};
    for (char c : std::string_view("#$*+<=>[\\]^_`|~-&:{.@")) t[static_cast<unsigned char>(c)] = true;
    return t;
}();

void escape_text(std::string_view text, std::string& out, bool in_brackets, bool line_continues) {
    using namespace tavrel::markdown;
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!kMayEscape[static_cast<unsigned char>(c)]) continue;
        if (c == '[') {
            // "\[" would open display math whenever a "\]" follows anywhere
            // in the paragraph. Outside brackets a bare "[" reads back as
            // itself (every "]" the writer leaves bare closes a bracket the
            // writer opened after it); inside a link's or span's brackets it
            // would pair with their "]", so it is written as a reference.
            out.append(text.substr(run, i - run));
            out.append(in_brackets ? "&#91;" : "[");
            run = i + 1;
        } else if (is_escaped_punct(c)) {
            out.append(text.substr(run, i - run));
            out.push_back('\\');
            out.push_back(c);
            run = i + 1;
        } else if (c == '-') {
            out.append(text.substr(run, i - run));
            run = i + 1;
            bool escape = false;
            if (i + 1 < text.size() && is_list_space(text[i + 1]) && line_is_short_indent(out)) escape = true;
            if (!escape && (out.empty() || out.back() == '\n')) {
                std::size_t nl = text.find('\n', i);
                std::string_view piece = text.substr(i, nl == std::string_view::npos ? std::string_view::npos : nl - i);
                // "---" is a thematic break only as the whole line.
                escape = piece == "---" && (nl != std::string_view::npos || !line_continues);
            }
            if (escape) out.push_back('\\');
            out.push_back('-');
        } else if (c == '&') {
            out.append(text.substr(run, i - run));
            run = i + 1;
            if (write_md::detail::starts_decoded_reference(text, i)) out.push_back('\\');
            out.push_back('&');
        } else if ((c == ':' || (c == '{' && i + 1 < text.size() && text[i + 1] == ':')) &&
                   (i > run ? text[i - 1] == '\n' : (out.empty() || out.back() == '\n'))) {
            // At a line start ":" would mark a definition or open a fenced
            // div, and "{:" an attribute line.
            out.append(text.substr(run, i - run));
            out.push_back('\\');
            out.push_back(c);
            run = i + 1;
        } else if (c == '.' && interrupts_paragraph_at(text, out, run, i)) {
            out.append(text.substr(run, i - run));
            out.push_back('\\');
            out.push_back('.');
            run = i + 1;
        } else if ((c == '@' || c == '.' || c == ':') && starts_bare_link_at(text, i)) {
            out.append(text.substr(run, i - run));
            out.push_back('\\');
            out.push_back(c);
            run = i + 1;
        }
    }
    out.append(text.substr(run));
}

}  // namespace tavrel::write_md::detail

namespace tavrel::markdown {

std::string escape_target(std::string_view url) {
    std::string out;
    out.reserve(url.size() + 8);
    for (std::size_t i = 0; i < url.size(); ++i) {
        char c = url[i];
        switch (c) {
            case '\\': out.append("\\\\"); break;
            case '(': out.append("\\("); break;
            case ')': out.append("\\)"); break;
            case ' ': out.append("%20"); break;
            // The reader's destination ends at any of these too.
            case '\t': out.append("%09"); break;
            case '\n': out.append("%0A"); break;
            case '\r': out.append("%0D"); break;
            case '<':
                // A leading "<" would start a destination in angle brackets.
                if (i == 0) {
                    out.append("%3C");
                } else {
                    out.push_back('<');
                }
                break;
            case '&': write_md::detail::append_amp_safe(url, i, out); break;
            default: out.push_back(c);
        }
    }
    return out;
}

std::string escape_attr_word(std::string_view word) {
    std::string out;
    out.reserve(word.size());
    for (std::size_t i = 0; i < word.size();) {
        text::Decoded d = text::decode_utf8(word, i);
        // Besides the braces and the separators (any white space ends a
        // word), "." and "#" would start another class or the id, and a
        // quote would open a quoted stretch.
        char32_t c = d.cp;
        if (c == '\\' || c == '{' || c == '}' || c == '.' || c == '#' || c == '"' || c == '\'' ||
            text::is_white_space(c))
            out.push_back('\\');
        out.append(word.substr(i, d.len));
        i += d.len;
    }
    return out;
}

namespace {

// One pass over the bytes (a set given to find_first_of costs a search of the
// set per byte); most bytes are past both line ends, one comparison passes
// them.
bool has_line_end(std::string_view s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) <= '\r' && (c == '\n' || c == '\r')) return true;
    }
    return false;
}

bool ends_white(std::string_view word) {
    return !word.empty() && text::is_white_space(text::decode_utf8_before(word, word.size()).cp);
}

// A class is written escaped, which the reader undoes; only a line end
// (which would end the line) and emptiness ("{.}" reads back as nothing)
// cannot be written. One ending in white space is never last in the braces
// (see `attrs_body`).
bool word_writable(std::string_view word) { return !word.empty() && !has_line_end(word); }

// An id ending in white space is written in the pair form ("id=' '"),
// whose quotes keep it.
bool id_writable(std::string_view id) { return !id.empty() && !has_line_end(id); }

}  // namespace

namespace {

// The reader takes a pair's key up to the "=" as it stands, unescaped, within
// a white-space-separated word: a key is written only when that gives it
// back. A leading "#" or "." would make the word an id or class; a leading
// ":" first in the block would make it the colon form, and is written after
// a space (see `attrs_body`). A "{" is taken in any block but one ending
// a heading's or term's line, whose "{" the reader looks for last (see
// `Renderer::line_before_attrs`). A backslash is kept in the key, and the
// character after it with it ("\\=" is the key "\\"): a quote or "}" after
// it opens no quoted stretch and ends no block. With `scanned` (a
// block the scanner reads as text first), a key holding what would start a
// construct there cannot be written either: the key could not be escaped.
// With `Line` (a block on a line of its own, which the reader takes up to
// the line's last "}"), a "}" in the key is taken as it stands, and so is
// white space after a backslash, which parts no words there, but for a
// line end, which would end the line, and white space ending the key, which
// the reader trims from it.
template <bool Scanned, bool Line = false>
bool key_writable(std::string_view key) {
    if (key.empty() || key[0] == '#' || key[0] == '.') return false;
    bool escaped = false;  // after an odd run of backslashes
    for (std::size_t i = 0; i < key.size();) {
        text::Decoded d = text::decode_utf8(key, i);
        char32_t c = d.cp;
        const bool taken = escaped;
        escaped = c == '\\' && !escaped;
        if (((c == '"' || c == '\'' || (c == '}' && !Line)) && !taken) || c == '=') return false;
        if (text::is_white_space(c) &&
            (!Line || !taken || c == '\n' || c == '\r' || i + d.len == key.size()))
            return false;
        if constexpr (Scanned) {
            if (c < 0x80 && (c == '[' || write_md::detail::kScanMark[c] ||
                             ((c == ':' || c == '.') && write_md::detail::starts_bare_link_at(key, i))))
                return false;
        }
        i += d.len;
    }
    return true;
}

}  // namespace

bool attr_key_writable(std::string_view key, bool scanned, bool line) {
    if (line) [[unlikely]]
        return key_writable<false, true>(key);
    return scanned ? key_writable<true>(key) : key_writable<false>(key);
}

namespace {

// Whether an id or class is written in a block the scanner reads as text
// first: one holding "[" takes the pair form ("id=", "class="), whose value
// can hold a reference for it, and a class can take that form only without
// white space (the value is split into classes there).
bool word_writable_scanned(std::string_view word, bool is_class) {
    if (!word_writable(word)) return false;
    if (!is_class || word.find('[') == std::string_view::npos) return true;
    for (std::size_t i = 0; i < word.size();) {
        text::Decoded d = text::decode_utf8(word, i);
        if (text::is_white_space(d.cp)) return false;
        i += d.len;
    }
    return true;
}

template <bool Scanned>
bool class_writable(std::string_view cls) {
    if constexpr (Scanned) {
        return word_writable_scanned(cls, true);
    } else {
        return word_writable(cls);
    }
}

// The one-argument forms are the ones every block and most inlines take:
// they keep the checks of a block the scanner does not read first.
template <bool Scanned>
bool attr_writable_impl(const ast::Attr& attr) {
    if (attr.id && !id_writable(*attr.id)) return false;
    for (const auto& cls : attr.classes) {
        if (!class_writable<Scanned>(cls)) return false;
    }
    for (const auto& kv : attr.pairs) {
        if (!key_writable<Scanned>(kv.first)) return false;
    }
    return true;
}

template <bool Scanned, bool Line = false>
bool writes_attrs_impl(const ast::Attr& attr) {
    if (attr.id && id_writable(*attr.id)) return true;
    for (const auto& cls : attr.classes) {
        if (class_writable<Scanned>(cls)) return true;
    }
    for (const auto& kv : attr.pairs) {
        if (key_writable<Scanned, Line>(kv.first)) return true;
    }
    return false;
}

template <bool Scanned>
ast::Attr writable_attr_impl(const ast::Attr& attr) {
    ast::Attr out;
    if (attr.id && id_writable(*attr.id)) out.id = attr.id;
    for (const auto& cls : attr.classes) {
        if (class_writable<Scanned>(cls)) out.classes.push_back(cls);
    }
    for (const auto& kv : attr.pairs) {
        if (key_writable<Scanned>(kv.first)) out.pairs.push_back(kv);
    }
    return out;
}

}  // namespace

bool attr_writable(const ast::Attr& attr) { return attr_writable_impl<false>(attr); }
bool attr_writable(const ast::Attr& attr, bool scanned) {
    return scanned ? attr_writable_impl<true>(attr) : attr_writable_impl<false>(attr);
}
bool writes_some_attrs(const ast::Attr& attr) { return writes_attrs_impl<false>(attr); }
bool writes_some_attrs(const ast::Attr& attr, bool scanned) {
    return scanned ? writes_attrs_impl<true>(attr) : writes_attrs_impl<false>(attr);
}
bool writes_some_line_attrs(const ast::Attr& attr) { return writes_attrs_impl<false, true>(attr); }
ast::Attr writable_attr(const ast::Attr& attr) { return writable_attr_impl<false>(attr); }
ast::Attr writable_attr(const ast::Attr& attr, bool scanned) {
    return scanned ? writable_attr_impl<true>(attr) : writable_attr_impl<false>(attr);
}

std::string attrs_body(const ast::Attr& attr, char quote, bool braces, bool links, bool scanned, bool line) {
    links = links || scanned;
    std::string out;
    auto sep = [&] {
        if (!out.empty()) out.push_back(' ');
    };
    // With `links`, brackets, "<" and backticks are escaped too: a bare one
    // would open a link, raw HTML or a code span in the scan that comes
    // before the block is looked for. With `scanned`, so is every character
    // that would start a construct in the block itself, read as text.
    auto word = [&](std::string_view w) {
        std::string e = escape_attr_word(w);
        if (!links || e.find_first_of(scanned ? "[]<`*_~^$=@:" : "[]<`") == std::string::npos) return e;
        std::string b;
        for (std::size_t i = 0; i < e.size(); ++i) {
            char c = e[i];
            if (c == '\\') {
                // An escape the word already holds.
                b.push_back(c);
                if (++i < e.size()) b.push_back(e[i]);
                continue;
            }
            if (c == '[' || c == ']' || c == '<' || c == '`' ||
                (scanned && (write_md::detail::kScanMark[static_cast<unsigned char>(c)] ||
                             (c == ':' && write_md::detail::starts_bare_link_at(e, i)))))
                b.push_back('\\');
            b.push_back(c);
        }
        return b;
    };
    // The pair form of an id or class holding "[" (see `word_writable_scanned`),
    // or of an id ending in white space.
    auto pair_form = [&](std::string_view key, std::string_view w) {
        out.append(key);
        out.push_back('=');
        write_md::detail::append_quoted(w, out, false, quote, braces, links, scanned);
    };
    if (attr.id && id_writable(*attr.id)) {
        if ((scanned && attr.id->find('[') != std::string::npos) || ends_white(*attr.id)) {
            pair_form("id", *attr.id);
        } else {
            out.push_back('#');
            out.append(word(*attr.id));
        }
    }
    bool white_last = false;  // the last word written a class ending in white space
    for (const auto& cls : attr.classes) {
        if (!(scanned ? word_writable_scanned(cls, true) : word_writable(cls))) continue;
        sep();
        if (scanned && cls.find('[') != std::string::npos) {
            pair_form("class", cls);
            white_last = false;
        } else {
            out.push_back('.');
            out.append(word(cls));
            white_last = ends_white(cls);
        }
    }
    for (const auto& [key, value] : attr.pairs) {
        if (!attr_key_writable(key, scanned, line)) continue;
        // A ":" opening the block would make it the colon form.
        if (out.empty() && key[0] == ':') [[unlikely]] {
            out.push_back(' ');
        } else {
            sep();
        }
        out.append(key);
        out.push_back('=');
        write_md::detail::append_quoted(value, out, false, quote, braces, links, scanned);
        white_last = false;
    }
    // The reader trims the inside of the braces, escaped white space ending
    // it too: a class ending in white space is followed by an empty "class"
    // pair, which adds no class.
    if (white_last) [[unlikely]] {
        out.append(" class=");
        out.push_back(quote);
        out.push_back(quote);
    }
    return out;
}

std::size_t longest_run(std::string_view text) {
    std::size_t best = 0, cur = 0;
    for (char c : text) {
        if (c == '`') {
            if (++cur > best) best = cur;
        } else {
            cur = 0;
        }
    }
    return best;
}

void code_span(std::string_view raw, std::string& out) {
    // The reader turns every tab and line end inside a code span into a
    // space (a line end would also end the paragraph line and let the next
    // line start a block): the span is written as it reads back.
    std::string flat;
    std::string_view text = raw;
    bool any = false;
    for (char c : raw) any |= c == '\t' || c == '\n' || c == '\r';
    if (any) {
        flat.reserve(raw.size());
        for (std::size_t i = 0; i < raw.size(); ++i) {
            char c = raw[i];
            if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
            flat.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
        }
        text = flat;
    }
    std::size_t fence = longest_run(text) + 1;
    // Padding protects an edge backtick or space; the reader removes it only
    // when the content is not all spaces, so such a content gets none. An
    // "@" in the first word is padded away from the fence too: the reader
    // would take the fence (a backtick may stand in an address), any word
    // right before it and the content up to the "@" as the local part of an
    // e-mail address.
    bool all_spaces = text.find_first_not_of(' ') == std::string_view::npos;
    bool pad = !text.empty() && !all_spaces &&
               (text.front() == '`' || text.front() == ' ' || text.back() == '`' || text.back() == ' ');
    if (!pad && !all_spaces) {
        std::size_t at = text.find('@');
        pad = at != std::string_view::npos && text.substr(0, at).find(' ') == std::string_view::npos;
    }
    out.append(fence, '`');
    if (pad) out.push_back(' ');
    out.append(text);
    if (pad) out.push_back(' ');
    out.append(fence, '`');
}

void fenced_block(std::string_view info, std::string_view body, std::string& out) {
    write_md::detail::fenced_block(info, body, out, false);
}

}  // namespace tavrel::markdown

namespace tavrel::write_md::detail {

void fenced_block(std::string_view info, std::string_view body, std::string& out, bool blank_lines_empty) {
    std::size_t fence = std::max<std::size_t>(markdown::longest_run(body), 2) + 1;
    out.append(fence, '`');
    out.append(info);
    out.push_back('\n');
    const std::size_t start = out.size();
    append_verbatim(body, out, blank_lines_empty);
    // An empty body has no line between the fences: an empty one reads as
    // a line end.
    if (!body.empty() && (out.size() == start || out.back() != '\n')) out.push_back('\n');
    out.append(fence, '`');
    out.append("\n\n");
}

void append_verbatim(std::string_view text, std::string& out, bool blank_lines_empty) {
    std::size_t cr = text.find('\r');
    if (blank_lines_empty) {
        std::string normalised;
        if (cr != std::string_view::npos) {
            append_verbatim(text, normalised);
            text = normalised;
        }
        for (std::size_t start = 0; start < text.size();) {
            std::size_t nl = std::min(text.find('\n', start), text.size());
            std::string_view line = text.substr(start, nl - start);
            if (!line::is_blank(line)) out.append(line);
            if (nl < text.size()) out.push_back('\n');
            start = nl + 1;
        }
        return;
    }
    if (cr == std::string_view::npos) {
        out.append(text);
        return;
    }
    out.reserve(out.size() + text.size());
    std::size_t start = 0;
    while (cr != std::string_view::npos) {
        out.append(text.substr(start, cr - start));
        out.push_back('\n');
        start = cr + 1;
        if (start < text.size() && text[start] == '\n') ++start;
        cr = text.find('\r', start);
    }
    out.append(text.substr(start));
}

}  // namespace tavrel::write_md::detail

namespace tavrel::write_md {

std::optional<std::string> usable_name(std::string_view name) {
    std::string_view t = text::trim(name);
    if (t.empty()) return std::nullopt;
    // (One walk over the name for a line end, "{{" or "}}".)
    for (std::size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (c == '\n' || c == '\r' || ((c == '{' || c == '}') && i + 1 < t.size() && t[i + 1] == c))
            return std::nullopt;
    }
    return std::string(t);
}

}  // namespace tavrel::write_md
