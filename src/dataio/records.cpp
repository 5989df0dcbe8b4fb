// Article and chunk records. The writer is a few appends per field; the
// article reader is a small recursive-descent JSON reader specialised for
// one record shape, so a line is parsed in place and each string copied once.
// Its messages follow the common JSON reader's wording ("missing field `md`
// at line 1 column 40"), since users see them when a file was edited by hand;
// the line is the record's line in its file.
#include "corpuswright/stages/records.hpp"

#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tavrel/text.hpp"

namespace corpuswright::stages {

// ---------------------------------------------------------------------------
// Writing

namespace {

// The next byte at or after `p` that JSON writes escaped: a control
// character, '"' or '\\'. Sixteen bytes at a time where SSE2 is there: an
// article's Markdown is mostly plain, with a line feed every line or so.
const char* next_escaped(const char* p, const char* end) {
#if defined(__SSE2__)
    // Bytes below 0x20 are those below -96 once the top bit is flipped.
    const __m128i top = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i below = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hit = _mm_or_si128(_mm_cmplt_epi8(_mm_xor_si128(v, top), below),
                                   _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        int mask = _mm_movemask_epi8(hit);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == '"' || c == '\\') return p;
        ++p;
    }
    return end;
}

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    const char* p = s.data();
    const char* const end = p + s.size();
    while (true) {
        const char* q = next_escaped(p, end);
        out.append(p, static_cast<std::size_t>(q - p));
        if (q == end) break;
        unsigned char c = static_cast<unsigned char>(*q);
        switch (c) {
            case '"': out.append("\\\"", 2); break;
            case '\\': out.append("\\\\", 2); break;
            case '\b': out.append("\\b", 2); break;
            case '\t': out.append("\\t", 2); break;
            case '\n': out.append("\\n", 2); break;
            case '\f': out.append("\\f", 2); break;
            case '\r': out.append("\\r", 2); break;
            default: {
                const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
                out.append(u, sizeof u);
            }
        }
        p = q + 1;
    }
    out.push_back('"');
}

namespace {

void append_u64(std::string& out, std::uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

}  // namespace

void append_record_start(std::string& out, std::uint64_t article_id) {
    out += "{\"article_id\":";
    append_u64(out, article_id);
}

void append_article(std::string& out, const Article& a) {
    append_record_start(out, a.article_id);
    append_article_after_id(out, a);
}

void append_article_after_id(std::string& out, const Article& a) {
    out += ",\"page_id\":";
    append_u64(out, a.page_id);
    out += ",\"revision_id\":";
    if (a.revision_id) {
        append_u64(out, *a.revision_id);
    } else {
        out += "null";
    }
    out += ",\"title\":";
    append_json_string(out, a.title);
    out += ",\"timestamp\":";
    if (a.timestamp) {
        append_json_string(out, *a.timestamp);
    } else {
        out += "null";
    }
    out += ",\"md\":";
    append_json_string(out, a.md);
    out += ",\"warnings\":[";
    for (std::size_t i = 0; i < a.warnings.size(); ++i) {
        if (i) out.push_back(',');
        append_json_string(out, a.warnings[i]);
    }
    out += "]}";
}

void append_chunk(std::string& out, const Chunk& c) {
    append_record_start(out, c.article_id);
    append_chunk_after_id(out, c);
}

void append_chunk_after_id(std::string& out, const Chunk& c) {
    out += ",\"chunk_id\":";
    append_u64(out, c.chunk_id);
    out += ",\"start_byte\":";
    append_u64(out, c.start_byte);
    out += ",\"byte_len\":";
    append_u64(out, c.byte_len);
    out += ",\"prefix_md\":";
    append_json_string(out, c.prefix_md);
    out += ",\"start_kind\":";
    append_json_string(out, c.start_kind);
    out += ",\"word_count\":";
    append_u64(out, c.word_count);
    out.push_back('}');
}

// ---------------------------------------------------------------------------
// Reading

namespace {

constexpr const char* kFieldNames[7] = {"article_id", "page_id", "revision_id", "title", "timestamp", "md", "warnings"};

// Thrown nowhere: every step returns false and leaves the message here.
class LineReader {
public:
    LineReader(std::string_view s, std::uint64_t line_number) : s_(s), line_(line_number) {}

    Result<Article> run() {
        Article a;
        skip_ws();
        if (pos_ >= s_.size()) {
            fail("EOF while parsing a value");
            return error();
        }
        bool ok = false;
        if (s_[pos_] == '{') {
            ok = read_object(a);
        } else if (s_[pos_] == '[') {
            ok = read_array(a);
        } else {
            std::string what;
            if (!describe_value(what)) return error();
            fail("invalid type: " + what + ", expected struct Article");
            return error();
        }
        if (!ok) return error();
        skip_ws();
        if (pos_ < s_.size()) {
            ++pos_;
            fail("trailing characters");
            return error();
        }
        return a;
    }

private:
    std::string_view s_;
    std::uint64_t line_;
    std::size_t pos_ = 0;
    std::string msg_;

    Error error() const {
        return Error(msg_ + " at line " + std::to_string(line_) + " column " + std::to_string(pos_), ErrorKind::Format);
    }
    bool fail(std::string m) {
        if (msg_.empty()) msg_ = std::move(m);
        return false;
    }

    void skip_ws() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
            ++pos_;
        }
    }
    bool eof() const { return pos_ >= s_.size(); }
    char peek() const { return s_[pos_]; }

    // --- strings

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool read_hex4(std::uint32_t& v) {
        v = 0;
        for (int i = 0; i < 4; ++i) {
            if (eof()) return fail("EOF while parsing a string");
            int d = hex_digit(s_[pos_++]);
            if (d < 0) return fail("invalid escape");
            v = v * 16 + static_cast<std::uint32_t>(d);
        }
        return true;
    }

    // Parses a string at pos_ (which holds '"'); `out` may be null to skip.
    bool read_string(std::string* out) {
        ++pos_;
        std::size_t run = pos_;
        while (true) {
            if (eof()) return fail("EOF while parsing a string");
            unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                if (out) out->append(s_.data() + run, pos_ - run);
                ++pos_;
                return true;
            }
            if (c < 0x20) {
                ++pos_;
                return fail("control character (\\u0000-\\u001F) found while parsing a string");
            }
            if (c != '\\') {
                ++pos_;
                continue;
            }
            if (out) out->append(s_.data() + run, pos_ - run);
            ++pos_;
            if (eof()) return fail("EOF while parsing a string");
            char e = s_[pos_++];
            char simple = 0;
            switch (e) {
                case '"': simple = '"'; break;
                case '\\': simple = '\\'; break;
                case '/': simple = '/'; break;
                case 'b': simple = '\b'; break;
                case 'f': simple = '\f'; break;
                case 'n': simple = '\n'; break;
                case 'r': simple = '\r'; break;
                case 't': simple = '\t'; break;
                case 'u': {
                    std::uint32_t v;
                    if (!read_hex4(v)) return false;
                    if (v >= 0xDC00 && v <= 0xDFFF) return fail("lone leading surrogate in hex escape");
                    if (v >= 0xD800 && v <= 0xDBFF) {
                        if (s_.substr(pos_, 2) != "\\u") {
                            if (pos_ + 2 > s_.size()) return fail("EOF while parsing a string");
                            return fail("unexpected end of hex escape");
                        }
                        pos_ += 2;
                        std::uint32_t lo;
                        if (!read_hex4(lo)) return false;
                        if (lo < 0xDC00 || lo > 0xDFFF) return fail("lone leading surrogate in hex escape");
                        v = 0x10000 + ((v - 0xD800) << 10) + (lo - 0xDC00);
                    }
                    if (out) tavrel::text::append_utf8(*out, v);
                    break;
                }
                default: return fail("invalid escape");
            }
            if (simple && out) out->push_back(simple);
            run = pos_;
        }
    }

    // --- numbers

    // A JSON number at pos_; sets `is_int`, `negative`, `value` (saturating).
    bool read_number(bool& is_int, bool& negative, std::uint64_t& value, std::string& text) {
        std::size_t start = pos_;
        negative = false;
        if (peek() == '-') {
            negative = true;
            ++pos_;
        }
        if (eof()) return fail("EOF while parsing a value");
        if (!(peek() >= '0' && peek() <= '9')) {
            ++pos_;
            return fail("invalid number");
        }
        bool overflow = false;
        value = 0;
        if (peek() == '0') {
            ++pos_;
        } else {
            while (!eof() && peek() >= '0' && peek() <= '9') {
                std::uint64_t d = static_cast<std::uint64_t>(peek() - '0');
                if (value > (UINT64_MAX - d) / 10) overflow = true;
                value = value * 10 + d;
                ++pos_;
            }
        }
        is_int = !overflow;
        if (!eof() && peek() == '.') {
            ++pos_;
            if (eof() || !(peek() >= '0' && peek() <= '9')) {
                if (!eof()) ++pos_;
                return fail(eof() ? "EOF while parsing a value" : "invalid number");
            }
            while (!eof() && peek() >= '0' && peek() <= '9') ++pos_;
            is_int = false;
        }
        if (!eof() && (peek() == 'e' || peek() == 'E')) {
            ++pos_;
            if (!eof() && (peek() == '+' || peek() == '-')) ++pos_;
            if (eof() || !(peek() >= '0' && peek() <= '9')) {
                if (!eof()) ++pos_;
                return fail(eof() ? "EOF while parsing a value" : "invalid number");
            }
            while (!eof() && peek() >= '0' && peek() <= '9') ++pos_;
            is_int = false;
        }
        text.assign(s_.substr(start, pos_ - start));
        return true;
    }

    // After a container's element: a "," and another element, or the
    // closer. The one place that knows the separator rules and messages.
    enum class After { Next, Closed, Failed };
    After after_element(char close) {
        skip_ws();
        if (eof()) {
            fail(close == '}' ? "EOF while parsing an object" : "EOF while parsing a list");
            return After::Failed;
        }
        if (peek() == ',') {
            ++pos_;
            skip_ws();
            if (!eof() && peek() == close) {
                ++pos_;
                fail("trailing comma");
                return After::Failed;
            }
            return After::Next;
        }
        if (peek() == close) {
            ++pos_;
            return After::Closed;
        }
        ++pos_;
        fail(close == '}' ? "expected `,` or `}`" : "expected `,` or `]`");
        return After::Failed;
    }

    // --- generic values (for unknown keys and error descriptions)

    bool expect_literal(std::string_view word) {
        for (char c : word) {
            if (eof()) return fail("EOF while parsing a value");
            if (s_[pos_] != c) {
                ++pos_;
                return fail("expected ident");
            }
            ++pos_;
        }
        return true;
    }

    bool skip_value(int depth = 0) {
        if (depth > 128) return fail("recursion limit exceeded");
        skip_ws();
        if (eof()) return fail("EOF while parsing a value");
        char c = peek();
        if (c == '"') return read_string(nullptr);
        if (c == '{' || c == '[') {
            char close = c == '{' ? '}' : ']';
            ++pos_;
            skip_ws();
            if (!eof() && peek() == close) {
                ++pos_;
                return true;
            }
            while (true) {
                if (c == '{') {
                    skip_ws();
                    if (eof()) return fail("EOF while parsing an object");
                    if (peek() != '"') {
                        ++pos_;
                        return fail("key must be a string");
                    }
                    if (!read_string(nullptr)) return false;
                    skip_ws();
                    if (eof()) return fail("EOF while parsing an object");
                    if (peek() != ':') {
                        ++pos_;
                        return fail("expected `:`");
                    }
                    ++pos_;
                }
                if (!skip_value(depth + 1)) return false;
                After next = after_element(close);
                if (next != After::Next) return next == After::Closed;
            }
        }
        if (c == 't') return expect_literal("true");
        if (c == 'f') return expect_literal("false");
        if (c == 'n') return expect_literal("null");
        bool is_int, neg;
        std::uint64_t v;
        std::string text;
        if (c == '-' || (c >= '0' && c <= '9')) return read_number(is_int, neg, v, text);
        ++pos_;
        return fail("expected value");
    }

    // Reads a value and describes it for "invalid type" messages.
    bool describe_value(std::string& what) {
        skip_ws();
        if (eof()) return fail("EOF while parsing a value");
        char c = peek();
        if (c == '"') {
            std::string s;
            if (!read_string(&s)) return false;
            what = "string \"" + s + "\"";
            return true;
        }
        if (c == '{') {
            if (!skip_value()) return false;
            what = "map";
            return true;
        }
        if (c == '[') {
            if (!skip_value()) return false;
            what = "sequence";
            return true;
        }
        if (c == 't' || c == 'f') {
            bool t = c == 't';
            if (!expect_literal(t ? "true" : "false")) return false;
            what = std::string("boolean `") + (t ? "true" : "false") + "`";
            return true;
        }
        if (c == 'n') {
            if (!expect_literal("null")) return false;
            what = "null";
            return true;
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            bool is_int, neg;
            std::uint64_t v;
            std::string text;
            if (!read_number(is_int, neg, v, text)) return false;
            what = (is_int ? "integer `" : "floating point `") + text + "`";
            return true;
        }
        ++pos_;
        return fail("expected value");
    }

    // --- typed fields

    bool read_u64(std::uint64_t& out) {
        skip_ws();
        if (eof()) return fail("EOF while parsing a value");
        char c = peek();
        if (c == '-' || (c >= '0' && c <= '9')) {
            bool is_int, neg;
            std::uint64_t v;
            std::string text;
            if (!read_number(is_int, neg, v, text)) return false;
            if (is_int && neg && v != 0) return fail("invalid value: integer `" + text + "`, expected u64");
            if (!is_int) return fail("invalid type: floating point `" + text + "`, expected u64");
            out = v;
            return true;
        }
        std::string what;
        if (!describe_value(what)) return false;
        return fail("invalid type: " + what + ", expected u64");
    }

    bool is_null_next() {
        skip_ws();
        return !eof() && peek() == 'n';
    }

    bool read_opt_u64(std::optional<std::uint64_t>& out) {
        if (is_null_next()) {
            if (!expect_literal("null")) return false;
            out.reset();
            return true;
        }
        std::uint64_t v;
        if (!read_u64(v)) return false;
        out = v;
        return true;
    }

    bool read_str(std::string& out) {
        skip_ws();
        if (eof()) return fail("EOF while parsing a value");
        if (peek() == '"') {
            out.clear();
            return read_string(&out);
        }
        std::string what;
        if (!describe_value(what)) return false;
        return fail("invalid type: " + what + ", expected a string");
    }

    bool read_opt_str(std::optional<std::string>& out) {
        if (is_null_next()) {
            if (!expect_literal("null")) return false;
            out.reset();
            return true;
        }
        std::string s;
        if (!read_str(s)) return false;
        out = std::move(s);
        return true;
    }

    bool read_str_list(std::vector<std::string>& out) {
        skip_ws();
        if (eof()) return fail("EOF while parsing a value");
        if (peek() != '[') {
            std::string what;
            if (!describe_value(what)) return false;
            return fail("invalid type: " + what + ", expected a sequence");
        }
        ++pos_;
        out.clear();
        skip_ws();
        if (!eof() && peek() == ']') {
            ++pos_;
            return true;
        }
        while (true) {
            std::string s;
            if (!read_str(s)) return false;
            out.push_back(std::move(s));
            After next = after_element(']');
            if (next != After::Next) return next == After::Closed;
        }
    }

    bool read_field(int index, Article& a) {
        switch (index) {
            case 0: return read_u64(a.article_id);
            case 1: return read_u64(a.page_id);
            case 2: return read_opt_u64(a.revision_id);
            case 3: return read_str(a.title);
            case 4: return read_opt_str(a.timestamp);
            case 5: return read_str(a.md);
            default: return read_str_list(a.warnings);
        }
    }

    bool read_object(Article& a) {
        ++pos_;
        bool seen[7] = {};
        skip_ws();
        if (!eof() && peek() == '}') {
            ++pos_;
        } else {
            while (true) {
                skip_ws();
                if (eof()) return fail("EOF while parsing an object");
                if (peek() != '"') {
                    ++pos_;
                    return fail("key must be a string");
                }
                std::string key;
                if (!read_string(&key)) return false;
                skip_ws();
                if (eof()) return fail("EOF while parsing an object");
                if (peek() != ':') {
                    ++pos_;
                    return fail("expected `:`");
                }
                ++pos_;
                int index = -1;
                for (int i = 0; i < 7; ++i) {
                    if (key == kFieldNames[i]) index = i;
                }
                if (index < 0) {
                    if (!skip_value()) return false;
                } else {
                    if (seen[index]) return fail(std::string("duplicate field `") + kFieldNames[index] + "`");
                    seen[index] = true;
                    if (!read_field(index, a)) return false;
                }
                After next = after_element('}');
                if (next == After::Failed) return false;
                if (next == After::Closed) break;
            }
        }
        for (int i : {0, 1, 3, 5, 6}) {
            if (!seen[i]) return fail(std::string("missing field `") + kFieldNames[i] + "`");
        }
        return true;
    }

    bool read_array(Article& a) {
        ++pos_;
        int count = 0;
        skip_ws();
        if (!eof() && peek() == ']') {
            ++pos_;
            return fail("invalid length 0, expected struct Article with 7 elements");
        }
        while (true) {
            if (!read_field(count, a)) return false;
            ++count;
            After next = after_element(']');
            if (next == After::Failed) return false;
            if (next == After::Closed) {
                if (count < 7) {
                    return fail("invalid length " + std::to_string(count) +
                                ", expected struct Article with 7 elements");
                }
                return true;
            }
            if (count == 7) return fail("trailing characters");
        }
    }
};

bool valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        auto d = tavrel::text::decode_utf8(s, i);
        if (d.cp == 0xFFFD && !(d.len == 3 && s.substr(i, 3) == "\xEF\xBF\xBD")) return false;
        i += d.len;
    }
    return true;
}

}  // namespace

Result<Article> read_article(std::string_view line, std::uint64_t line_number) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!valid_utf8(line)) {
        return Error("stream did not contain valid UTF-8 at line " + std::to_string(line_number), ErrorKind::Format);
    }
    return LineReader(line, line_number).run();
}

}  // namespace corpuswright::stages
