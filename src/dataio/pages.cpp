// A small streaming XML tokenizer specialised for MediaWiki dumps.
//
// The dump reader sits on the pipeline's only serial path, so it is built
// for throughput: text outside the gathered fields is skipped with memchr,
// the text of a gathered field is collected raw up to the next markup and
// then decoded in one pass (UTF-8 check, XML 1.1 line ends, references).
// General XML libraries decode and validate in ways the dataset's output
// must not depend on (entity handling, line ends), hence our own tokenizer.
//
// State: `buf` holds unread input from `pos`; `stack` the open elements
// (their qualified names, to check end tags); `page` the record under
// construction; `field` the element whose text is being gathered into
// `field_buf`; `raw` the current text run of that field, not yet decoded.
#include "corpuswright/stages/pages.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quote.hpp"
#include "tavrel/text.hpp"

namespace corpuswright::stages {
namespace {

constexpr std::size_t kReadSize = 256 * 1024;
constexpr std::size_t kHeadBytes = 64;  // read before the first element, for the checks of the start
constexpr std::size_t kShownHead = 40;  // of the first line, shown when no element follows

enum class Field { None, Title, Ns, Id, RevisionId, Timestamp, Text };

std::string_view local_name(std::string_view name) {
    std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// Whole-text decimal numbers with at most one leading sign.
std::optional<std::uint64_t> parse_u64(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

std::optional<std::int64_t> parse_i64(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s[0] == '+' || s[0] == '-') return std::nullopt;
    auto magnitude = parse_u64(s);
    if (!magnitude) return std::nullopt;
    if (negative) {
        if (*magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1) return std::nullopt;
        return static_cast<std::int64_t>(0 - *magnitude);
    }
    if (*magnitude > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(*magnitude);
}

Error xml_error(std::string message) { return Error(std::move(message), ErrorKind::Format); }

// Resolves one reference name (between "&" and ";").
bool resolve_reference(std::string_view name, std::string& out) {
    if (name == "lt") {
        out.push_back('<');
    } else if (name == "gt") {
        out.push_back('>');
    } else if (name == "amp") {
        out.push_back('&');
    } else if (name == "apos") {
        out.push_back('\'');
    } else if (name == "quot") {
        out.push_back('"');
    } else if (!name.empty() && name[0] == '#') {
        std::string_view digits = name.substr(1);
        int base = 10;
        if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
            base = 16;
            digits.remove_prefix(1);
        }
        if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
        if (digits.empty()) return false;
        std::uint64_t v = 0;
        for (char c : digits) {
            int d;
            if (c >= '0' && c <= '9') {
                d = c - '0';
            } else if (base == 16 && c >= 'a' && c <= 'f') {
                d = c - 'a' + 10;
            } else if (base == 16 && c >= 'A' && c <= 'F') {
                d = c - 'A' + 10;
            } else {
                return false;
            }
            v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
            if (v > 0xFFFFFFFFu) return false;
        }
        if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
        tavrel::text::append_utf8(out, static_cast<char32_t>(v));
    } else {
        return false;
    }
    return true;
}

// The next byte at or after `p` that may need work: "&", "\r", or the lead
// bytes of U+0085 and U+2028. Sixteen bytes at a time where SSE2 is there:
// most of a page's text is plain and is skipped without a branch per byte.
const char* next_special(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i c2 = _mm_set1_epi8(static_cast<char>(0xC2));
    const __m128i e2 = _mm_set1_epi8(static_cast<char>(0xE2));
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, cr)),
                                   _mm_or_si128(_mm_cmpeq_epi8(v, c2), _mm_cmpeq_epi8(v, e2)));
        int mask = _mm_movemask_epi8(hit);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '&' || c == '\r' || c == 0xC2 || c == 0xE2) return p;
        ++p;
    }
    return end;
}

// The index of the first byte of the first sequence in `s` that is not
// UTF-8 (overlong forms, surrogates and code points above U+10FFFF
// included), or the size of `s` when there is none. Only run once a fast
// validation has failed.
std::size_t first_invalid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t len = utf8_sequence_at(s, i);
        if (len == 0) return i;
        i += len;
    }
    return s.size();
}

// Appends `s`, which must be valid UTF-8, with XML 1.1 line ends made
// "\n": "\r\n", "\r" U+0085, a lone "\r", U+0085 and U+2028. With
// `references`, also resolves "&...;".
Result<void> decode_text(std::string_view s, std::string& out, bool references) {
    out.reserve(out.size() + s.size());
    const char* p = s.data();
    const char* end = p + s.size();
    const char* run = p;
    while (p < end) {
        p = next_special(p, end);
        if (p == end) break;
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '&' && !references) {
            ++p;
            continue;
        }
        if (c == 0xC2 && !(p + 1 < end && static_cast<unsigned char>(p[1]) == 0x85)) {
            ++p;
            continue;
        }
        if (c == 0xE2 && !(p + 2 < end && static_cast<unsigned char>(p[1]) == 0x80 &&
                           static_cast<unsigned char>(p[2]) == 0xA8)) {
            ++p;
            continue;
        }
        out.append(run, p);
        if (c == '&') {
            const char* semi = static_cast<const char*>(std::memchr(p, ';', end - p));
            if (semi == nullptr) return xml_error("unterminated reference in the dump's text");
            std::string_view name(p + 1, semi - p - 1);
            if (!resolve_reference(name, out)) {
                return xml_error("unknown XML entity &" + printable_for_message(name, false, true) + ";");
            }
            p = semi + 1;
        } else if (c == '\r') {
            out.push_back('\n');
            if (p + 1 < end && p[1] == '\n') {
                p += 2;
            } else if (p + 2 < end && static_cast<unsigned char>(p[1]) == 0xC2 &&
                       static_cast<unsigned char>(p[2]) == 0x85) {
                p += 3;
            } else {
                p += 1;
            }
        } else {
            out.push_back('\n');
            p += c == 0xC2 ? 2 : 3;
        }
        run = p;
    }
    out.append(run, end);
    return Ok{};
}

// The input window: unread bytes, grown and refilled without clearing new
// space first (a zero-filled string would write every byte twice).
class ReadBuffer {
public:
    std::size_t size() const { return len_; }
    const char* data() const { return mem_.get(); }
    char operator[](std::size_t i) const { return mem_[i]; }
    std::size_t find(std::string_view needle, std::size_t from) const {
        return std::string_view(mem_.get(), len_).find(needle, from);
    }
    int compare(std::size_t pos, std::size_t n, std::string_view s) const {
        return std::string_view(mem_.get(), len_).substr(pos, n).compare(s);
    }
    void erase_front(std::size_t n) {
        std::memmove(mem_.get(), mem_.get() + n, len_ - n);
        len_ -= n;
    }
    // Room for `n` more bytes after the data; returns where they go.
    char* prepare(std::size_t n) {
        if (cap_ - len_ < n) {
            std::size_t cap = std::max(cap_ * 2, len_ + n);
            std::unique_ptr<char[]> grown(new char[cap]);
            if (len_) std::memcpy(grown.get(), mem_.get(), len_);
            mem_ = std::move(grown);
            cap_ = cap;
        }
        return mem_.get() + len_;
    }
    void commit(std::size_t n) { len_ += n; }

private:
    std::unique_ptr<char[]> mem_;
    std::size_t cap_ = 0;
    std::size_t len_ = 0;
};

}  // namespace

// Dumps in another Unicode encoding, told by their byte order mark or by the
// NULs around the "<" they start with. Read as UTF-8 they would fail much
// later, with messages full of NUL bytes.
std::string_view foreign_encoding(std::string_view start) {
    auto is = [&](std::string_view prefix) { return start.substr(0, prefix.size()) == prefix; };
    using namespace std::string_view_literals;
    if (is("\x00\x00\xFE\xFF"sv) || is("\x00\x00\x00<"sv)) return "UTF-32 (big-endian)";
    if (is("\xFF\xFE\x00\x00"sv) || is("<\x00\x00\x00"sv)) return "UTF-32 (little-endian)";
    if (is("\xFE\xFF"sv) || is("\x00<"sv)) return "UTF-16 (big-endian)";
    if (is("\xFF\xFE"sv) || is("<\x00"sv)) return "UTF-16 (little-endian)";
    return {};
}

struct Pages::State {
    std::unique_ptr<ByteReader> in;
    ReadBuffer buf;
    std::size_t pos = 0;
    std::uint64_t consumed = 0;  // offset in the decoded stream of buf[0]
    bool at_eof = false;
    bool start_checked = false;
    bool decoded = false;       // the bytes are a compressed file's content
    bool root_seen = false;     // the first element was read (it is "mediawiki")
    std::string head;           // the start of the first line, for messages

    std::vector<std::string> stack;
    std::optional<Page> page;
    bool in_revision = false;
    Field field = Field::None;
    std::string field_buf;
    std::string raw;
    std::uint64_t raw_at = 0;    // offset in the decoded stream of raw[0]
    std::string previous_title;  // of the last page returned, for messages

    // Reads more input after what is unread; false at the end of input.
    Result<bool> fill() {
        if (at_eof) return false;
        if (pos > 0) {
            buf.erase_front(pos);
            consumed += pos;
            pos = 0;
        }
        auto got = in->read(buf.prepare(kReadSize), kReadSize);
        if (!got.ok()) return std::move(got).error();
        buf.commit(got.value());
        if (got.value() == 0) {
            at_eof = true;
            return false;
        }
        return true;
    }

    // Skips a UTF-8 byte order mark; refuses UTF-16 and UTF-32 dumps and
    // compressed files read as they are, whose bytes would otherwise be
    // reported as broken XML.
    Result<void> check_start() {
        start_checked = true;
        while (buf.size() - pos < kHeadBytes) {
            auto more = fill();
            if (!more.ok()) return std::move(more).error();
            if (!more.value()) break;
        }
        std::string_view start(buf.data() + pos, std::min<std::size_t>(buf.size() - pos, kHeadBytes));
        std::string_view format = compression_magic(start);
        if (!format.empty()) return xml_error(looks_compressed_message(format, decoded));
        if (start.substr(0, 3) == "\xEF\xBB\xBF") {
            pos += 3;
            start.remove_prefix(3);
            head = start.substr(0, std::min(start.find('\n'), kShownHead));
            return Ok{};
        }
        head = start.substr(0, std::min(start.find('\n'), kShownHead));
        std::string_view encoding = foreign_encoding(start.substr(0, 4));
        if (!encoding.empty()) {
            return xml_error("the dump is encoded in " + std::string(encoding) +
                             "; dumps must be UTF-8 (convert it first, for example with iconv)");
        }
        return Ok{};
    }

    // Text before the first element: only white space can stand there. A
    // file that has anything else (a NUL, a text file, /dev/zero) is no
    // dump, and is refused here rather than read to its end, which for a
    // device never comes.
    Result<void> prolog_text(std::string_view text) {
        for (char c : text) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
            return xml_error("the file is not a MediaWiki XML dump: it does not begin with an XML element (it begins " +
                             quote_name_for_message(head) + ")");
        }
        return Ok{};
    }

    // The first element decides whether this is a dump at all: anything
    // else (an SQL or JSON file, an HTML page) would read as a dump without
    // pages and replace an earlier output with an empty one.
    Result<void> check_root(std::string_view name) {
        root_seen = true;
        if (local_name(name) == "mediawiki") return Ok{};
        return xml_error("the file is not a MediaWiki XML dump: its root element is " + quote_name_for_message(name) +
                         ", not \"mediawiki\"");
    }

    // The page being read, for messages: its title, else its id, else its
    // place after the page read before it.
    std::string which_page() const {
        if (page && !page->title.empty()) return "the page " + quote_for_message(page->title);
        if (page && page->id != 0) return "the page with id " + std::to_string(page->id);
        if (previous_title.empty()) return "the first page";
        return "the page after " + quote_for_message(previous_title);
    }

    // Checks that `s`, found at offset `at` of the decoded stream, is UTF-8,
    // then decodes it into the field.
    Result<void> decode(std::string_view s, std::uint64_t at, bool references) {
        if (!simdjson::validate_utf8(s.data(), s.size())) {
            return xml_error("invalid UTF-8 in the dump's text at byte offset " +
                             std::to_string(at + first_invalid_utf8(s)) + " of the decoded dump, in " + which_page());
        }
        return decode_text(s, field_buf, references);
    }

    // Makes sure `needle` occurs at or after `from` (relative to pos) and
    // returns its offset relative to pos; npos at the end of input.
    Result<std::size_t> find_ahead(std::string_view needle, std::size_t from) {
        while (true) {
            std::size_t at = buf.find(needle, pos + from);
            if (at != std::string::npos) return at - pos;
            // The next search may start a little back, where a needle cut by
            // the read could begin, but never before `from`: "<!-->" holds no
            // end of the comment it opens.
            std::size_t keep = buf.size() - pos;
            if (keep >= needle.size()) from = std::max(from, keep - needle.size() + 1);
            auto more = fill();
            if (!more.ok()) return std::move(more).error();
            if (!more.value()) return std::string::npos;
        }
    }

    Result<void> flush_raw() {
        if (raw.empty()) return Ok{};
        auto r = decode(raw, raw_at, true);
        raw.clear();
        return r;
    }

    void finish_field() {
        if (!page) {
            field = Field::None;
            field_buf.clear();
            return;
        }
        switch (field) {
            case Field::Title: page->title = std::move(field_buf); break;
            case Field::Text: page->text = std::move(field_buf); break;
            case Field::Timestamp: page->timestamp = std::move(field_buf); break;
            case Field::Ns: page->ns = parse_i64(field_buf).value_or(-1); break;
            case Field::Id: page->id = parse_u64(field_buf).value_or(0); break;
            case Field::RevisionId: page->revision_id = parse_u64(field_buf); break;
            case Field::None: break;
        }
        field = Field::None;
        field_buf.clear();
    }

    void start(std::string_view local, bool is_empty) {
        std::string_view parent = stack.empty() ? std::string_view() : local_name(stack.back());
        if (local == "page") {
            page = Page{};
            field = Field::None;
        } else if (local == "title" && !in_revision) {
            field = Field::Title;
        } else if (local == "ns" && !in_revision) {
            field = Field::Ns;
        } else if (local == "id" && !in_revision) {
            field = Field::Id;
        } else if (local == "id" && in_revision && parent == "revision") {
            // Only the revision's own id: a contributor's id comes later in
            // the revision and must not replace it.
            field = Field::RevisionId;
        } else if (local == "timestamp" && in_revision) {
            field = Field::Timestamp;
        } else if (local == "text" && in_revision) {
            field = Field::Text;
        } else if (local == "revision") {
            in_revision = true;
            field = Field::None;
        } else if (local == "redirect" && page) {
            page->redirect = true;
            field = Field::None;
        } else {
            field = Field::None;
        }
        field_buf.clear();
        if (is_empty) finish_field();
    }

    // Handles the end of an element; returns a finished page, if any.
    std::optional<Page> end(std::string_view local) {
        if (local == "page") {
            // A page end with no record open (after a nested page) is passed
            // over, so the pages after it are still read.
            std::optional<Page> done = std::move(page);
            page.reset();
            return done;
        }
        if (local == "revision") {
            in_revision = false;
        } else if (local == "title" || local == "ns" || local == "id" || local == "timestamp" || local == "text") {
            finish_field();
        }
        return std::nullopt;
    }

    Result<std::optional<Page>> end_of_input() {
        if (page) return xml_error("the dump ends inside " + which_page() + ": it is truncated");
        if (!stack.empty()) {
            return xml_error("the dump ends before the element " + quote_name_for_message(stack.back()) +
                             " is closed: it is truncated");
        }
        if (!root_seen) {
            if (consumed + buf.size() == 0) return xml_error("the file is empty, not a MediaWiki XML dump");
            return xml_error("the file is not a MediaWiki XML dump: it holds no XML element (it begins " +
                             quote_name_for_message(head) + ")");
        }
        return std::optional<Page>();
    }

    // Reads the markup at pos (buf[pos] == '<'). Sets `out` when a page ends.
    Result<void> markup(std::optional<Page>& out) {
        if (buf.size() - pos < 2) {
            auto more = fill();
            if (!more.ok()) return std::move(more).error();
        }
        if (buf.size() - pos < 2) return xml_error("unexpected end of the dump inside markup");
        char second = buf[pos + 1];
        if (second == '!' || second == '?') return special(out);
        if (second == '/') {
            auto close = find_ahead(">", 2);
            if (!close.ok()) return std::move(close).error();
            if (close.value() == std::string::npos) return xml_error("unexpected end of the dump inside an end tag");
            std::string_view name(buf.data() + pos + 2, close.value() - 2);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\n' || name.back() == '\r')) {
                name.remove_suffix(1);
            }
            if (stack.empty()) return xml_error("end tag " + quote_name_for_message(name) + " without a start tag");
            if (stack.back() != name) {
                return xml_error("mismatched end tag: expected " + quote_name_for_message(stack.back()) + ", found " +
                                 quote_name_for_message(name));
            }
            CW_TRY(flush_raw());
            out = end(local_name(name));
            stack.pop_back();
            pos += close.value() + 1;
            return Ok{};
        }
        // A start or empty-element tag: find its ">" outside quoted values.
        std::size_t i = 1;
        char quote = 0;
        while (true) {
            if (pos + i >= buf.size()) {
                auto more = fill();
                if (!more.ok()) return std::move(more).error();
                if (!more.value()) return xml_error("unexpected end of the dump inside a start tag");
                continue;
            }
            char c = buf[pos + i];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
            ++i;
        }
        std::string_view tag(buf.data() + pos + 1, i - 1);
        bool is_empty = !tag.empty() && tag.back() == '/';
        if (is_empty) tag.remove_suffix(1);
        std::size_t name_end = 0;
        while (name_end < tag.size() && tag[name_end] != ' ' && tag[name_end] != '\t' && tag[name_end] != '\n' &&
               tag[name_end] != '\r') {
            ++name_end;
        }
        std::string_view name = tag.substr(0, name_end);
        if (name.empty()) return xml_error("an element without a name in the dump");
        if (!root_seen) CW_TRY(check_root(name));
        CW_TRY(flush_raw());
        start(local_name(name), is_empty);
        if (!is_empty) stack.emplace_back(name);
        pos += i + 1;
        return Ok{};
    }

    // Comments, CDATA, declarations and processing instructions.
    Result<void> special(std::optional<Page>& out) {
        // A text run ends at any markup, also one that is skipped: decoding
        // it now keeps the result independent of where reads were cut.
        CW_TRY(flush_raw());
        auto starts = [&](std::string_view s) -> Result<bool> {
            while (buf.size() - pos < s.size()) {
                auto more = fill();
                if (!more.ok()) return std::move(more).error();
                if (!more.value()) break;
            }
            return buf.compare(pos, s.size(), s) == 0;
        };
        auto is_comment = starts("<!--");
        if (!is_comment.ok()) return std::move(is_comment).error();
        if (is_comment.value()) {
            auto close = find_ahead("-->", 4);
            if (!close.ok()) return std::move(close).error();
            if (close.value() == std::string::npos) return xml_error("unexpected end of the dump inside a comment");
            pos += close.value() + 3;
            return Ok{};
        }
        auto is_cdata = starts("<![CDATA[");
        if (!is_cdata.ok()) return std::move(is_cdata).error();
        if (is_cdata.value()) {
            auto close = find_ahead("]]>", 9);
            if (!close.ok()) return std::move(close).error();
            if (close.value() == std::string::npos) return xml_error("unexpected end of the dump inside CDATA");
            if (field != Field::None) {
                CW_TRY(flush_raw());
                CW_TRY(decode(std::string_view(buf.data() + pos + 9, close.value() - 9), consumed + pos + 9, false));
            }
            pos += close.value() + 3;
            return Ok{};
        }
        if (buf[pos + 1] == '?') {
            auto close = find_ahead("?>", 2);
            if (!close.ok()) return std::move(close).error();
            if (close.value() == std::string::npos) {
                return xml_error("unexpected end of the dump inside a processing instruction");
            }
            pos += close.value() + 2;
            return Ok{};
        }
        // "<!DOCTYPE ...>" possibly with an internal subset in brackets.
        std::size_t i = 2;
        int depth = 0;
        while (true) {
            if (pos + i >= buf.size()) {
                auto more = fill();
                if (!more.ok()) return std::move(more).error();
                if (!more.value()) return xml_error("unexpected end of the dump inside a declaration");
                continue;
            }
            char c = buf[pos + i];
            if (c == '[') ++depth;
            if (c == ']' && depth > 0) --depth;
            if (c == '>' && depth == 0) break;
            ++i;
        }
        pos += i + 1;
        (void)out;
        return Ok{};
    }

    Result<std::optional<Page>> next() {
        if (!start_checked) CW_TRY(check_start());
        while (true) {
            if (pos >= buf.size()) {
                auto more = fill();
                if (!more.ok()) return std::move(more).error();
                // A field still gathering text lies inside an open element:
                // the dump is cut off, whatever its last text would decode to.
                if (!more.value()) return end_of_input();
                continue;
            }
            const char* base = buf.data();
            if (base[pos] != '<') {
                const void* lt = std::memchr(base + pos, '<', buf.size() - pos);
                std::size_t stop = lt ? static_cast<std::size_t>(static_cast<const char*>(lt) - base) : buf.size();
                if (!root_seen) CW_TRY(prolog_text(std::string_view(base + pos, stop - pos)));
                if (field != Field::None) {
                    if (lt != nullptr && raw.empty()) {
                        // The whole run is in the buffer: decode it in place.
                        CW_TRY(decode(std::string_view(base + pos, stop - pos), consumed + pos, true));
                    } else {
                        if (raw.empty()) raw_at = consumed + pos;
                        raw.append(base + pos, stop - pos);
                    }
                }
                pos = stop;
                continue;
            }
            std::optional<Page> done;
            CW_TRY(markup(done));
            if (done) {
                previous_title = done->title;
                return done;
            }
        }
    }
};

Pages::Pages(std::unique_ptr<ByteReader> input) : st_(std::make_unique<State>()) {
    st_->in = std::move(input);
    st_->buf.prepare(2 * kReadSize);
}
Pages::Pages(Pages&&) noexcept = default;
Pages& Pages::operator=(Pages&&) noexcept = default;
Pages::~Pages() = default;

Result<Pages> Pages::open(const std::string& path, std::string_view argument, const std::atomic<bool>* stop) {
    auto input = open_input(path, argument, stop);
    if (!input.ok()) return std::move(input).error();
    Pages pages(std::move(input).value());
    pages.st_->decoded = decoded_by_name(path);
    pages.context_ = file_context("reading", argument, path);
    return pages;
}

Result<std::optional<Page>> Pages::next() {
    auto r = st_->next();
    // Bytes that break the XML may be a damaged compressed input whose
    // check comes later: its error is the one to report.
    if (!r.ok() && r.error().kind() == ErrorKind::Format) {
        auto checked = st_->in->verify_read();
        if (!checked.ok()) r = std::move(checked).error();
    }
    if (!r.ok() && !context_.empty()) r.error().context(context_);
    return r;
}

}  // namespace corpuswright::stages
