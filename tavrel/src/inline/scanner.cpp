// The inline scan: dispatch at each position, the pending text buffer, the
// node list with its liveness bookkeeping, bracket resolution and the final
// assembly of the result.
//
// Linear time on hostile text comes from remembering work instead of
// repeating it: failed math closer searches are remembered, code span
// closers are looked up in a table of backtick runs built once, the ")" of
// every "(" comes from one matching walk, "@" and ";" offsets are sorted
// once for the cross-reference and e-mail prefilters, dead nodes are skipped
// through a union-find "next alive" link, nodes at the nesting cap are kept
// in a sorted list so that refusing a too-deep construct is a lookup, the
// "}" of every attribute block comes from one table, and a container's
// content is coalesced once, when the container is built.
#include <algorithm>
#include <array>
#include <type_traits>
#include <variant>

#include "tavrel/attrs.hpp"
#include "tavrel/autolink.hpp"
#include "tavrel/entity.hpp"
#include "tavrel/inline.hpp"
#include "tavrel/template.hpp"
#include "tavrel/text.hpp"

namespace tavrel::inline_ {
namespace {

bool takes_attrs(const ast::Inline& in) {
    switch (in.kind()) {
        case ast::InlineKind::Emph:
        case ast::InlineKind::Strong:
        case ast::InlineKind::Strikeout:
        case ast::InlineKind::Superscript:
        case ast::InlineKind::Subscript:
        case ast::InlineKind::Highlight:
        case ast::InlineKind::Code:
        case ast::InlineKind::Link:
        case ast::InlineKind::Image:
        case ast::InlineKind::Math:
        case ast::InlineKind::Span:
            return true;
        default:
            return false;
    }
}

ast::Attr* attr_of(ast::Inline& in) {
    return visit(
        [](auto& n) -> ast::Attr* {
            if constexpr (requires { n.attr; })
                return &n.attr;
            else
                return nullptr;
        },
        in);
}

// Whether `s` holds `lit` at `pos` (at most its size), compared byte by
// byte here, as `compare` would tell with a call.
bool holds_at(std::string_view s, std::size_t pos, std::string_view lit) {
    if (pos > s.size() || s.size() - pos < lit.size()) return false;
    for (std::size_t i = 0; i < lit.size(); ++i) {
        if (s[pos + i] != lit[i]) return false;
    }
    return true;
}

bool starts_with_ci(std::string_view s, std::size_t pos, std::string_view lit) {
    if (s.size() - pos < lit.size()) return false;
    for (std::size_t i = 0; i < lit.size(); ++i) {
        char c = s[pos + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != lit[i]) return false;
    }
    return true;
}

bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Bytes at which some rule other than plain text may apply.
struct SpecialBytes {
    bool at[256] = {};
    constexpr SpecialBytes() {
        for (unsigned char c : std::string_view("`\\$^~[!]*_=<\n")) at[c] = true;
    }
};
constexpr SpecialBytes kSpecial;

// `is_boundary` for ASCII characters, looked up once.
const std::array<bool, 128>& ascii_boundary() {
    static const std::array<bool, 128> table = [] {
        std::array<bool, 128> t{};
        for (char32_t c = 0; c < 128; ++c) t[c] = autolink::is_boundary(c);
        return t;
    }();
    return table;
}
constexpr bool special_byte(unsigned char c) { return kSpecial.at[c]; }

// A cross-reference's prefix over several lines: each line end is a soft
// break, as in any text, and the white space around it is dropped.
[[gnu::cold, gnu::noinline]] void push_prefix_lines(ast::Inlines& out, std::string_view rest) {
    for (;;) {
        const std::size_t nl = rest.find('\n');
        const std::string_view line = nl == std::string_view::npos ? rest : text::trim_end(rest.substr(0, nl));
        if (!line.empty()) out.emplace_back(ast::Text{std::string(line)});
        if (nl == std::string_view::npos) return;
        out.emplace_back(ast::SoftBreak{});
        rest = text::trim_start(rest.substr(nl + 1));
    }
}

}  // namespace

// A reference never spans an escaped "&" (its name holds no "&"), so the
// pieces between them decode alone.
std::string decode_text(std::string_view raw, const std::vector<std::size_t>& escaped_amps) {
    if (escaped_amps.empty()) return entity::decode_entities(raw);
    std::string out;
    out.reserve(raw.size());
    std::size_t from = 0;
    for (std::size_t at : escaped_amps) {
        out += entity::decode_entities(raw.substr(from, at - from));
        out.push_back('&');
        from = at + 1;
    }
    out += entity::decode_entities(raw.substr(from));
    return out;
}

// ---------------------------------------------------------------------------
// Node bookkeeping

InlineScanner::InlineScanner(std::string_view t, const InlineContext& c) : text(t), context(c) {}

std::size_t InlineScanner::push_node(ast::Inline in, std::uint32_t depth) {
    std::size_t index = nodes.size();
    nodes.emplace_back();
    nodes.back().set(std::move(in));
    nodes.back().depth = depth;
    alive_link_.push_back(index);
    if (depth >= max_inline_depth) capped_.push_back(index);
    return index;
}

void InlineScanner::kill(std::size_t index) {
    nodes[index].alive = false;
    alive_link_[index] = index + 1;
}

std::size_t InlineScanner::next_alive(std::size_t index) {
    std::size_t n = nodes.size();
    std::size_t root = index;
    while (root < n && alive_link_[root] != root) root = alive_link_[root];
    if (root > n) root = n;
    while (index < n && alive_link_[index] != index) {
        std::size_t next = alive_link_[index];
        alive_link_[index] = root;
        index = next;
    }
    return root;
}

bool InlineScanner::holds_capped(std::size_t first, std::size_t last) const {
    auto it = std::lower_bound(capped_.begin(), capped_.end(), first);
    return it != capped_.end() && *it < last;
}

ast::Inlines InlineScanner::take_range(std::size_t first, std::size_t last, std::uint32_t& depth, bool keep_first) {
    ast::Inlines out;
    depth = 0;
    bool first_seen = false;
    for (std::size_t i = next_alive(first); i < last;) {
        depth = std::max(depth, nodes[i].depth);
        out.push_back(nodes[i].take());
        std::size_t next = next_alive(i + 1);
        if (!(keep_first && !first_seen)) kill(i);
        first_seen = true;
        i = next;
    }
    return out;
}

void InlineScanner::place(std::size_t index, ast::Inline in, std::uint32_t depth) {
    nodes[index].set(std::move(in));
    nodes[index].depth = depth;
    if (depth >= max_inline_depth) capped_.insert(std::lower_bound(capped_.begin(), capped_.end(), index), index);
}

std::size_t InlineScanner::first_delimiter_at(std::size_t node) const {
    auto it = std::lower_bound(delimiters.begin(), delimiters.end(), node,
                               [](const Delimiter& d, std::size_t n) { return d.node < n; });
    return static_cast<std::size_t>(it - delimiters.begin());
}

void InlineScanner::flush_text() {
    if (pending.empty()) return;
    std::string raw;
    raw.swap(pending);
    escaped_backslash_end_ = SIZE_MAX;
    // Most runs hold no reference and no escaped "&": they move as they are.
    std::size_t index;
    if (raw.find('&') == std::string::npos) {
        index = push_node(ast::Text{std::move(raw)});
    } else {
        index = push_node(ast::Text{decode_text(raw, escaped_amps_)});
        escaped_amps_.clear();
    }
    nodes[index].raw_start = pending_start_;
    nodes[index].raw_end = scan_pos_;
    pending_start_ = scan_pos_;
}

void InlineScanner::push_bracket(BracketKind kind, std::size_t pos) {
    flush_text();
    const char* opener = kind == BracketKind::Link ? "[" : kind == BracketKind::Image ? "![" : "^[";
    std::size_t index = push_node(ast::Text{opener});
    brackets.push_back(Bracket{index, pos, kind, true});
}

std::size_t InlineScanner::push_with_attrs(ast::Inline in, std::size_t pos) {
    if (!takes_attrs(in)) {
    } else if (auto block = attr_block(pos)) {
        ast::AttrBuilder attr(*attr_of(in));
        do {
            attr.merge(block->attr);
            pos += block->len;
        } while ((block = attr_block(pos)));
    }
    push_node(std::move(in));
    return pos;
}

std::size_t InlineScanner::apply_trailing_attrs(std::size_t index, std::size_t pos) {
    if (!nodes[index].other) return pos;  // a Text takes no attributes
    ast::Inline& in = *nodes[index].other;
    if (!takes_attrs(in)) return pos;
    auto block = attr_block(pos);
    if (!block) return pos;
    ast::AttrBuilder attr(*attr_of(in));
    // The values given a cross-reference list, which reach each of its
    // children: gathered over the run and applied once, where each block
    // reaching every child cost children times blocks. (A span's blocks
    // merge into the span alone, and none takes "data-refs" away, so its
    // children see nothing but these values.)
    auto* span = in.as<ast::Span>();
    bool list_refs = false;
    std::string joined, last;
    do {
        std::optional<std::string> ref;
        auto& pairs = block->attr.pairs;
        for (auto it = pairs.begin(); it != pairs.end(); ++it) {
            if (it->first == "ref") {
                ref = std::move(it->second);
                pairs.erase(it);
                break;
            }
        }
        attr.merge(block->attr);
        if (ref && span && (list_refs || attr.value_of("data-refs"))) {
            list_refs = true;
            if (!joined.empty() && !ref->empty()) joined.push_back(' ');
            joined.append(*ref);
            last = std::move(*ref);
        } else if (ref) {
            apply_ref_variant(in, attr, *ref);
        }
        pos += block->len;
    } while ((block = attr_block(pos)));
    if (list_refs) {
        for (ast::Inline& child : span->content) ref_steps_ += apply_ref_values(child, joined, last);
    }
    return pos;
}

// ---------------------------------------------------------------------------
// Entry and dispatch

bool InlineScanner::fast_path() const {
    const Options& o = context.options;
    for (const TemplateDelimiter& r : o.template_delimiters)
        if (!r.open.empty() && text.find(r.open) != std::string_view::npos) return false;
    for (char c : text) {
        switch (c) {
            case '&':
            case '*':
            case '<':
            case '\\':
            case '_':
            case '`':
            case '\n':
            case '~':
            case '^':
                return false;
            case '$':
                if (o.math == 3) return false;
                break;
            default:
                break;
        }
    }
    if (text.find("==") != std::string_view::npos) return false;
    if (o.math == 2 && text.find("$$") != std::string_view::npos) return false;
    if (text.find("[^") != std::string_view::npos) return false;
    if (o.autolinks && (text.find("://") != std::string_view::npos || text.find("www.") != std::string_view::npos ||
                        text.find('@') != std::string_view::npos))
        return false;
    if (text.find("](") != std::string_view::npos || text.find("][") != std::string_view::npos ||
        text.find("]{") != std::string_view::npos)
        return false;
    return context.link_defs.empty();
}

ast::Inlines InlineScanner::run() {
    if (fast_path()) {
        ast::Inlines out;
        out.push_back(ast::Text{std::string(text)});
        return out;
    }
    // Which first bytes may open a template token (inline placement).
    bool token_first[256] = {};
    bool any_token = false;
    for (const TemplateDelimiter& r : context.options.template_delimiters) {
        if (r.open.empty() || r.close.empty() || r.placement == 2) continue;
        token_first[static_cast<unsigned char>(r.open[0])] = true;
        any_token = true;
    }
    const bool autolinks = context.options.autolinks;
    // With autolinks on, a word start matters only when it can begin a
    // scheme or "www." or an "@" lies within the bounded word.
    any_at_ = text.find('@') != std::string_view::npos;
    const bool any_at = autolinks && any_at_;
    if (any_at) build_byte_tables();
    std::size_t next_at = 0;  // index into at_pos_ of the first "@" at or after pos
    std::size_t pos = 0;
    const std::size_t n = text.size();
    nodes.reserve(n / 16 + 4);
    alive_link_.reserve(n / 16 + 4);
    // Whether a bare link may start at `at` (byte `c`, a character start):
    // only after a boundary character, and only where a scheme, "www." or
    // an "@" within the bounded word can begin.
    const std::array<bool, 128>& boundary_table = ascii_boundary();
    auto may_start_link = [&](std::size_t at, unsigned char c) {
        // (Without an "@" in the text only a scheme's or "www."'s first
        // letter may, told before the character before it is looked at.)
        const bool scheme = c == 'h' || c == 'f' || c == 'w' || c == 'm' || c == 'M' || c == 'x' || c == 'X';
        if (!scheme && !any_at) return false;
        unsigned char p = at > 0 ? static_cast<unsigned char>(text[at - 1]) : 0;
        bool boundary = p < 0x80 ? boundary_table[p] : autolink::is_boundary(text::decode_utf8_before(text, at).cp);
        if (!boundary) return false;
        if (scheme) return true;
        while (next_at < at_pos_.size() && at_pos_[next_at] < at) ++next_at;
        return next_at < at_pos_.size() && at_pos_[next_at] < at + 256;
    };
    while (pos < n) {
        scan_pos_ = pos;
        if (pending.empty()) pending_start_ = pos;
        // A run of plain bytes goes to the pending text in one step.
        std::size_t end = pos;
        while (end < n) {
            unsigned char c = static_cast<unsigned char>(text[end]);
            if (special_byte(c) || (any_token && token_first[c])) break;
            if (autolinks && (c & 0xC0) != 0x80 && may_start_link(end, c)) break;
            ++end;
        }
        if (end > pos) {
            pending.append(text.substr(pos, end - pos));
            pos = end;
            continue;
        }
        pos = step(pos);
    }
    scan_pos_ = n;
    flush_text();
    process_delimiters_range(*this, 0, SIZE_MAX);
    // The alive nodes, coalesced as they are taken; every container was
    // coalesced when it was built.
    ast::Inlines out;
    for (std::size_t i = next_alive(0); i < nodes.size(); i = next_alive(i + 1))
        push_coalesced(out, nodes[i].take());
    return out;
}

// Applies the first rule that matches at `pos`; returns the next position.
std::size_t InlineScanner::step(std::size_t pos) {
    const Options& o = context.options;
    const char c = text[pos];
    auto at = [&](std::string_view lit) { return text.compare(pos, lit.size(), lit) == 0; };

    if (c == '`') return code_span(pos);
    if (!o.template_delimiters.empty()) {
        if (auto tok = template_::token_at(text, pos, o.template_delimiters, false)) {
            flush_text();
            push_node(ast::TemplateTokenInline{std::move(tok->token)});
            return tok->end;
        }
    }
    if (c == '\\' || c == '$') {
        if (auto end = math(pos)) return *end;
    }
    if (c == '^') {
        if (at("^[")) {
            push_bracket(BracketKind::Note, pos + 2);
            return pos + 2;
        }
        if (auto e = script_end(text, pos + 1, '^')) {
            flush_text();
            return push_with_attrs(ast::Superscript{{}, std::string(text.substr(pos + 1, *e - pos - 1))}, *e + 1);
        }
    }
    if (c == '~') {
        bool before = pos > 0 && text[pos - 1] == '~';
        bool after = pos + 1 < text.size() && text[pos + 1] == '~';
        if (!before && !after) {
            if (auto e = script_end(text, pos + 1, '~')) {
                flush_text();
                return push_with_attrs(ast::Subscript{{}, std::string(text.substr(pos + 1, *e - pos - 1))}, *e + 1);
            }
        }
    }
    if (c == '[' && at("[^")) {
        if (auto f = footnote_ref(text, pos, context.footnote_labels)) {
            flush_text();
            push_node(ast::FootnoteRef{std::move(f->label)});
            return f->end;
        }
    }
    if (c == '!' && at("![")) {
        if (at("![^")) {
            if (auto f = footnote_ref(text, pos + 1, context.footnote_labels)) {
                flush_text();
                push_node(ast::Text{"!"});
                push_node(ast::FootnoteRef{std::move(f->label)});
                return f->end;
            }
        }
        push_bracket(BracketKind::Image, pos + 2);
        return pos + 2;
    }
    if (c == '[') {
        push_bracket(BracketKind::Link, pos + 1);
        return pos + 1;
    }
    if (c == ']') return close_bracket(pos);
    if (c == '*' || c == '_' || c == '=' || c == '~') return delimiter_run(pos);
    if (c == '<') {
        if (auto end = angle(pos)) return *end;
    }
    if (o.autolinks && (pos == 0 || autolink::is_boundary(text::decode_utf8_before(text, pos).cp))) {
        if (auto end = bare_autolink(pos)) return *end;
    }
    if (c == '\\' && pos + 1 < text.size() && text::is_ascii_punctuation(static_cast<unsigned char>(text[pos + 1]))) {
        char e = text[pos + 1];
        if (o.math == 1 && (e == '(' || e == ')' || e == '[' || e == ']')) {
            pending.push_back('\\');
            pending.push_back(e);
        } else if (e == '&') {
            escaped_amps_.push_back(pending.size());
            pending.push_back('&');
        } else {
            pending.push_back(e);
            if (e == '\\') escaped_backslash_end_ = pending.size();
        }
        return pos + 2;
    }
    if (c == '\n') return line_break(pos);
    // Plain character (whole UTF-8 sequence).
    std::size_t len = text::decode_utf8(text, pos).len;
    pending.append(text.substr(pos, len));
    return pos + len;
}

ast::Inlines parse_inner(std::string_view text, const InlineContext& context) {
    InlineScanner scanner(text, context);
    return scanner.run();
}

// ---------------------------------------------------------------------------
// Line breaks

std::size_t InlineScanner::line_break(std::size_t pos) {
    if (pending.empty()) {
        push_node(ast::SoftBreak{});
        return pos + 1;
    }
    // A backslash that an escape produced ("\\\\") is text before a soft
    // break: the writer writes a Text ending in a backslash that way.
    if (pending.back() == '\\' && escaped_backslash_end_ != pending.size()) {
        pending.pop_back();
        flush_text();
        push_node(ast::HardBreak{});
        return pos + 1;
    }
    while (!pending.empty() && pending.back() == ' ') pending.pop_back();
    flush_text();
    push_node(ast::SoftBreak{});
    return pos + 1;
}

// ---------------------------------------------------------------------------
// Code spans

std::size_t InlineScanner::code_span(std::size_t pos) {
    std::size_t n = 0;
    while (pos + n < text.size() && text[pos + n] == '`') ++n;
    const std::size_t open_end = pos + n;
    if (!runs_built_) {
        runs_built_ = true;
        std::size_t i = open_end;
        while (i < text.size()) {
            if (text[i] != '`') {
                ++i;
                continue;
            }
            std::size_t s = i;
            while (i < text.size() && text[i] == '`') ++i;
            runs_[i - s].push_back(s);
        }
    }
    std::size_t close = SIZE_MAX;
    if (auto found = runs_.find(n); found != runs_.end()) {
        const std::vector<std::size_t>& starts = found->second;
        auto it = std::lower_bound(starts.begin(), starts.end(), open_end);
        if (it != starts.end()) close = *it;
    }
    if (close == SIZE_MAX) {
        pending.append(text.substr(pos, n));
        return open_end;
    }
    // Every tab and line feed is one space: the span reads as one line of
    // code, and the writer writes it so.
    std::string content(text.substr(open_end, close - open_end));
    std::replace_if(content.begin(), content.end(), [](char c) { return c == '\t' || c == '\n'; }, ' ');
    if (content.size() >= 2 && content.front() == ' ' && content.back() == ' ' &&
        content.find_first_not_of(' ') != std::string::npos)
        content = content.substr(1, content.size() - 2);
    flush_text();
    std::size_t after = close + n;
    if (auto raw = attrs::raw_attr(text.substr(after))) {
        push_node(ast::RawInline{std::string(raw->format), std::move(content)});
        return after + raw->len;
    }
    return push_with_attrs(ast::Code{{}, std::move(content)}, after);
}

// ---------------------------------------------------------------------------
// Math

std::optional<std::size_t> InlineScanner::math(std::size_t pos) {
    const std::uint8_t mode = context.options.math;
    auto search = [&](int which, std::size_t from, std::string_view closer) -> std::optional<std::size_t> {
        Failed& f = failed_[which];
        if (f.set && from >= f.from) return std::nullopt;
        auto r = autolink::find_unescaped(text, from, closer);
        if (!r) {
            f.set = true;
            f.from = from;
        }
        return r;
    };
    auto finish = [&](std::size_t open_len, std::size_t close, std::size_t close_len, bool display) {
        flush_text();
        ast::Math m{{}, std::string(text.substr(pos + open_len, close - pos - open_len)), display};
        return push_with_attrs(std::move(m), close + close_len);
    };
    if (mode >= 2 && holds_at(text, pos, "\\[")) {
        if (auto close = search(0, pos + 2, "\\]")) return finish(2, *close, 2, true);
    }
    if (mode >= 2 && holds_at(text, pos, "\\(")) {
        if (auto close = search(1, pos + 2, "\\)")) return finish(2, *close, 2, false);
    }
    if (mode >= 2 && holds_at(text, pos, "$$")) {
        if (auto close = search(2, pos + 2, "$$")) return finish(2, *close, 2, true);
    }
    if (mode == 3 && text[pos] == '$') {
        if (pos + 1 >= text.size()) return std::nullopt;
        text::Decoded first = text::decode_utf8(text, pos + 1);
        if (first.cp == '$' || text::is_white_space(first.cp)) return std::nullopt;
        std::size_t from = pos + 1 + first.len;
        Failed& f = failed_[3];
        if (f.set && from >= f.from) return std::nullopt;
        for (std::size_t i = from; i < text.size();) {
            text::Decoded d = text::decode_utf8(text, i);
            if (d.cp == '$') {
                if (i + 1 < text.size() && text[i + 1] == '$') break;
                char32_t prev = text::decode_utf8_before(text, i).cp;
                bool digit_after = i + 1 < text.size() && is_ascii_digit(static_cast<unsigned char>(text[i + 1]));
                if (!text::is_white_space(prev) && !digit_after) return finish(1, i, 1, false);
            }
            i += d.len;
        }
        f.set = true;
        f.from = from;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Delimiter runs

std::size_t InlineScanner::delimiter_run(std::size_t pos) {
    const char ch = text[pos];
    std::size_t end = pos;
    while (end < text.size() && text[end] == ch) ++end;
    const std::size_t count = end - pos;
    if (count == 1 && (ch == '~' || ch == '=')) {
        pending.push_back(ch);
        return end;
    }
    char32_t prev = pos > 0 ? text::decode_utf8_before(text, pos).cp : U' ';
    char32_t next = end < text.size() ? text::decode_utf8(text, end).cp : U' ';
    const bool prev_ws = text::is_white_space(prev);
    const bool next_ws = text::is_white_space(next);
    const bool prev_p = is_flanking_punct(prev);
    const bool next_p = is_flanking_punct(next);
    const bool left = !next_ws && (!next_p || prev_ws || prev_p);
    const bool right = !prev_ws && (!prev_p || next_ws || next_p);
    bool can_open = left;
    bool can_close = right;
    if (ch == '_') {
        can_open = left && (!right || prev_p);
        can_close = right && (!left || next_p);
    }
    flush_text();
    std::size_t index = push_node(ast::Text{std::string(count, ch)});
    delimiters.push_back(Delimiter{index, pos, count, static_cast<char32_t>(ch), can_open, can_close, true});
    return end;
}

// ---------------------------------------------------------------------------
// Angle constructs

std::optional<std::size_t> InlineScanner::angle(std::size_t pos) {
    std::string_view window = text.substr(pos + 1, 1024);
    std::size_t gt_rel = window.find('>');
    if (gt_rel == std::string_view::npos) return std::nullopt;
    const std::size_t gt = pos + 1 + gt_rel;
    std::string_view c = text.substr(pos + 1, gt_rel);

    // URI autolink.
    std::size_t colon = c.find(':');
    if (colon != std::string_view::npos && colon >= 2 && colon <= 32 && is_ascii_letter(c[0])) {
        bool ok = true;
        for (std::size_t i = 0; i < colon && ok; ++i) {
            char ch = c[i];
            ok = is_ascii_letter(ch) || (ch >= '0' && ch <= '9') || ch == '+' || ch == '.' || ch == '-';
        }
        for (std::size_t i = colon + 1; i < c.size() && ok;) {
            text::Decoded d = text::decode_utf8(c, i);
            if (d.cp < 0x20 || d.cp == ' ' || d.cp == 0x7F || d.cp == '<' || d.cp == '>' ||
                text::is_white_space(d.cp))
                ok = false;
            i += d.len;
        }
        if (ok) {
            flush_text();
            push_node(ast::Autolink{std::string(c), std::string(c), false});
            return gt + 1;
        }
    }
    if (autolink::is_email(c)) {
        flush_text();
        push_node(ast::Autolink{"mailto:" + std::string(c), std::string(c), true});
        return gt + 1;
    }
    auto raw = [&](std::size_t end) {
        flush_text();
        push_node(ast::RawHtml{std::string(text.substr(pos, end - pos))});
        return end;
    };
    // Comment.
    if (holds_at(text, pos, "<!--")) {
        std::size_t close = text.substr(pos, 1025).find("-->");
        if (close != std::string_view::npos) return raw(pos + close + 3);
        return std::nullopt;
    }
    auto lower_name_ok = [](std::string_view name) {
        char buf[64];
        if (name.size() > sizeof buf) {
            // Only custom elements (with "-") can be this long.
            return name.find('-') != std::string_view::npos;
        }
        for (std::size_t i = 0; i < name.size(); ++i) {
            char ch = name[i];
            buf[i] = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch;
        }
        return autolink::is_md_html_tag(std::string_view(buf, name.size()));
    };
    // Closing tag.
    if (!c.empty() && c[0] == '/') {
        std::string_view rest = c.substr(1);
        auto name_end = autolink::html_tag_name_end(rest);
        if (!name_end || !lower_name_ok(rest.substr(0, *name_end))) return std::nullopt;
        std::size_t i = *name_end;
        while (i < rest.size()) {
            text::Decoded d = text::decode_utf8(rest, i);
            if (!text::is_white_space(d.cp)) return std::nullopt;
            i += d.len;
        }
        return raw(gt + 1);
    }
    // Opening tag.
    auto name_end = autolink::html_tag_name_end(c);
    if (!name_end || !lower_name_ok(c.substr(0, *name_end))) return std::nullopt;
    std::size_t i = *name_end;
    auto skip_ws = [&](std::size_t k) {
        while (k < c.size()) {
            text::Decoded d = text::decode_utf8(c, k);
            if (!text::is_white_space(d.cp)) break;
            k += d.len;
        }
        return k;
    };
    auto attr_name_start = [](char ch) { return is_ascii_letter(ch) || ch == '_' || ch == ':'; };
    auto attr_name_char = [](char ch) {
        return is_ascii_letter(ch) || (ch >= '0' && ch <= '9') || ch == '_' || ch == '.' || ch == ':' || ch == '-';
    };
    while (true) {
        std::size_t k = skip_ws(i);
        if (k == c.size()) break;
        if (c[k] == '/' && k + 1 == c.size()) break;
        if (k == i || !attr_name_start(c[k])) return std::nullopt;  // attributes need white space before
        while (k < c.size() && attr_name_char(c[k])) ++k;
        if (k < c.size() && c[k] == '=') {
            ++k;
            if (k < c.size() && (c[k] == '"' || c[k] == '\'')) {
                std::size_t q = c.find(c[k], k + 1);
                if (q == std::string_view::npos) return std::nullopt;
                k = q + 1;
            } else {
                std::size_t v = k;
                while (k < c.size()) {
                    text::Decoded d = text::decode_utf8(c, k);
                    if (text::is_white_space(d.cp)) break;
                    k += d.len;
                }
                if (k == v) return std::nullopt;
            }
        }
        i = k;
    }
    return raw(gt + 1);
}

// ---------------------------------------------------------------------------
// Bare autolinks

void InlineScanner::build_byte_tables() {
    if (bytes_built_) return;
    bytes_built_ = true;
    for (std::size_t i = text.find('@'); i != std::string_view::npos; i = text.find('@', i + 1)) at_pos_.push_back(i);
    for (std::size_t i = text.find(';'); i != std::string_view::npos; i = text.find(';', i + 1)) semi_pos_.push_back(i);
}

bool InlineScanner::has_byte_between(std::vector<std::size_t>& positions, std::size_t from, std::size_t to) {
    build_byte_tables();
    auto it = std::lower_bound(positions.begin(), positions.end(), from);
    return it != positions.end() && *it < to;
}

std::optional<std::size_t> InlineScanner::bare_autolink(std::size_t pos) {
    const bool after_image = pos >= 2 && holds_at(text, pos - 2, "![");
    // The first white space or "<" at or after `from`; remembered, since the
    // candidates of one long word all end there.
    auto url_end = [&](std::size_t from) {
        if (from >= url_end_from_ && from <= url_end_) return url_end_;
        std::size_t e = from;
        while (e < text.size()) {
            text::Decoded d = text::decode_utf8(text, e);
            if (d.cp == '<' || text::is_white_space(d.cp)) break;
            e += d.len;
        }
        url_end_from_ = from;
        url_end_ = e;
        return e;
    };
    if (starts_with_ci(text, pos, "mailto:")) {
        std::string_view word = autolink::bounded_autolink_word(text, pos + 7);
        if (auto addr = autolink::bare_email_prefix(word)) {
            std::size_t end = pos + 7 + addr->start + addr->len;
            flush_text();
            push_node(ast::Autolink{"mailto:" + std::string(word.substr(addr->start, addr->len)),
                                    std::string(text.substr(pos, end - pos)), true});
            return end;
        }
    }
    if (starts_with_ci(text, pos, "xmpp:")) {
        std::string_view word = autolink::bounded_autolink_word(text, pos + 5);
        if (autolink::bare_email_prefix(word)) {
            std::size_t end = autolink::trim_bare_url_end(text, pos, url_end(pos));
            if (end > pos) {
                flush_text();
                std::string s(text.substr(pos, end - pos));
                push_node(ast::Autolink{s, s, false});
                return end;
            }
        }
    }
    const bool www = holds_at(text, pos, "www.");
    const bool scheme = holds_at(text, pos, "http://") || holds_at(text, pos, "https://") ||
                        holds_at(text, pos, "ftp://");
    // Every segment of the host non-empty, the last two without "_" and not
    // ending in "-".
    auto valid_host = [](std::string_view host) {
        std::size_t seg_start = 0;
        std::size_t dots = static_cast<std::size_t>(std::count(host.begin(), host.end(), '.'));
        for (std::size_t k = 0; k <= dots; ++k) {
            std::size_t dot = host.find('.', seg_start);
            std::string_view seg = host.substr(seg_start, dot == std::string_view::npos ? std::string_view::npos
                                                                                       : dot - seg_start);
            if (seg.empty()) return false;
            if (k + 2 > dots && (seg.find('_') != std::string_view::npos || seg.back() == '-')) return false;
            seg_start = dot + 1;
        }
        return true;
    };
    if ((www || scheme) && !after_image && !autolink::preceded_by_angle_opener(text, pos)) {
        bool refused = false;
        if (scheme) {
            // Refuse a bad host before measuring the whole candidate, so that
            // a long word of refused candidates stays linear. Trimming the
            // candidate's end never removes a "/" or "#", so a host followed
            // by one of them (or by "?" with a "/" later in the word) is the
            // host of the trimmed candidate too.
            std::size_t hs = text.find("://", pos) + 3;
            std::size_t stop = hs;
            while (stop < text.size()) {
                char ch = text[stop];
                if (ch == '/' || ch == '?' || ch == '#' || ch == '<') break;
                text::Decoded d = text::decode_utf8(text, stop);
                if (text::is_white_space(d.cp)) break;
                stop += d.len;
            }
            bool exact = false;
            if (stop < text.size()) {
                char ch = text[stop];
                if (ch == '/' || ch == '#') exact = true;
                if (ch == '?') {
                    std::size_t slash = text.find('/', stop);
                    exact = slash != std::string_view::npos && slash < url_end(pos);
                }
            }
            refused = exact && !valid_host(text.substr(hs, stop - hs));
        }
        std::size_t end = refused ? pos : autolink::trim_bare_url_end(text, pos, url_end(pos));
        std::string_view cand = text.substr(pos, end - pos);
        bool accept = false;
        if (refused) {
            accept = false;
        } else if (!cand.empty() && cand.starts_with("www.")) {
            accept = true;
        } else if (std::size_t sep = cand.find("://"); sep != std::string_view::npos) {
            std::string_view host = cand.substr(sep + 3);
            accept = valid_host(host.substr(0, host.find_first_of("/?#")));
        }
        if (accept) {
            flush_text();
            std::string s(cand);
            push_node(ast::Autolink{www && cand.starts_with("www.") ? "http://" + s : s, s, false});
            return end;
        }
    }
    // An e-mail address in the word at the position; "@" offsets are sorted
    // once so that words without one cost nothing.
    if (!after_image && has_byte_between(at_pos_, pos, pos + 256)) {
        std::string_view word = autolink::bounded_autolink_word(text, pos);
        if (word.find('@') != std::string_view::npos && !autolink::preceded_by_angle_opener(text, pos)) {
            if (auto addr = autolink::bare_email_prefix(word)) {
                // Characters stripped before the address stay text.
                pending.append(word.substr(0, addr->start));
                flush_text();
                std::string a(word.substr(addr->start, addr->len));
                push_node(ast::Autolink{"mailto:" + a, a, true});
                return pos + addr->start + addr->len;
            }
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Brackets

bool InlineScanner::bracket_active(std::size_t index) const {
    const Bracket& b = brackets[index];
    return b.active && !(b.kind == BracketKind::Link && index < link_floor_);
}

void InlineScanner::pop_bracket() {
    brackets.pop_back();
    link_floor_ = std::min(link_floor_, brackets.size());
}

std::optional<std::size_t> InlineScanner::paren_close(std::size_t open) {
    auto direct = [&]() -> std::optional<std::size_t> {
        bool escaped = false;
        std::uint64_t depth = 0;
        for (std::size_t i = open + 1; i < text.size(); ++i) {
            char ch = text[i];
            if (escaped) {
                escaped = false;
            } else if (ch == '\\') {
                escaped = true;
            } else if (ch == '(') {
                if (++depth > context.options.max_link_paren_depth) return std::nullopt;
            } else if (ch == ')') {
                if (depth == 0) return i;
                --depth;
            }
        }
        return std::nullopt;
    };
    if (!parens_built_) {
        parens_built_ = true;
        // One walk from the first "(" asked about matches every later
        // unescaped "(" with its ")" and records the nesting inside it.
        struct Open {
            std::size_t index;
            std::size_t height;
        };
        std::vector<Open> stack;
        parens_.push_back(Paren{open, SIZE_MAX, 0});
        stack.push_back(Open{0, 0});
        // Only "(", ")" and backslashes count: the next of each is searched
        // for, and the walk goes from one to the next of them. A backslash
        // takes the byte after it, whatever it is.
        constexpr std::size_t npos = std::string_view::npos;
        std::size_t i = open + 1;
        std::size_t next_open = text.find('(', i), next_close = text.find(')', i), next_slash = text.find('\\', i);
        for (;;) {
            const std::size_t at = std::min({next_open, next_close, next_slash});
            if (at == npos) break;
            const char ch = text[at];
            i = at + 1;
            if (ch == '\\') {
                ++i;
            } else if (ch == '(') {
                stack.push_back(Open{parens_.size(), 0});
                parens_.push_back(Paren{at, SIZE_MAX, 0});
            } else if (!stack.empty()) {
                Open top = stack.back();
                stack.pop_back();
                parens_[top.index].close = at;
                parens_[top.index].height = top.height;
                if (!stack.empty()) stack.back().height = std::max(stack.back().height, top.height + 1);
            }
            if (next_open < i) next_open = text.find('(', i);
            if (next_close < i) next_close = text.find(')', i);
            if (next_slash < i) next_slash = text.find('\\', i);
        }
    }
    auto it = std::lower_bound(parens_.begin(), parens_.end(), open,
                               [](const Paren& p, std::size_t o) { return p.open < o; });
    if (it == parens_.end() || it->open != open) return direct();
    if (it->close == SIZE_MAX || it->height > context.options.max_link_paren_depth) return std::nullopt;
    return it->close;
}

std::size_t InlineScanner::close_bracket(std::size_t pos) {
    flush_text();
    auto literal = [&]() {
        pending.push_back(']');
        return pos + 1;
    };
    if (brackets.empty()) return literal();
    if (!bracket_active(brackets.size() - 1)) {
        pop_bracket();
        return literal();
    }
    const Bracket b = brackets.back();
    const std::size_t inner_first = b.node + 1;
    // A construct whose content already sits at the nesting cap stays text.
    if (holds_capped(inner_first, nodes.size())) {
        pop_bracket();
        return literal();
    }
    const std::size_t after = pos + 1;

    if (b.kind == BracketKind::Note) {
        process_delimiters_range(*this, inner_first, nodes.size());
        std::uint32_t depth = 0;
        ast::Inlines content = coalesce_level(take_range(inner_first, nodes.size(), depth), false);
        delimiters.resize(first_delimiter_at(b.node));
        place(b.node, ast::Note{std::move(content)}, depth + 1);
        pop_bracket();
        return after;
    }

    const bool image = b.kind == BracketKind::Image;
    std::string_view label_text = text.substr(b.pos, pos - b.pos);
    std::optional<ast::Inline> shell;
    std::size_t end = after;
    bool xref_list = false;

    // Inline destination.
    if (after < text.size() && text[after] == '(') {
        if (auto close = paren_close(after)) {
            if (auto dt = parse_link_destination_title(text.substr(after + 1, *close - after - 1),
                                                       context.options.max_link_paren_depth)) {
                if (image)
                    shell = ast::Image{{}, {}, std::move(dt->destination), std::move(dt->title)};
                else
                    shell = ast::Link{{}, {}, std::move(dt->destination), std::move(dt->title)};
                end = *close + 1;
            }
        }
    }
    // Cross-reference list.
    if (!shell && !image && any_at_ && has_byte_between(at_pos_, b.pos, pos)) {
        std::vector<XrefSeg> segs;
        const bool single = !has_byte_between(semi_pos_, b.pos, pos);
        std::size_t s = b.pos;
        bool ok = true;
        while (ok) {
            auto it = std::lower_bound(semi_pos_.begin(), semi_pos_.end(), s);
            std::size_t e = (it != semi_pos_.end() && *it < pos) ? *it : pos;
            // Cheap refusals first: an item needs "@" and a key of key
            // characters running to its end.
            auto at_it = std::lower_bound(at_pos_.begin(), at_pos_.end(), s);
            if (at_it == at_pos_.end() || *at_it >= e) {
                ok = false;
                break;
            }
            std::size_t k = *at_it + 1;
            while (k < e && (is_ascii_letter(text[k]) || (text[k] >= '0' && text[k] <= '9') || text[k] == '_' ||
                             text[k] == '-'))
                ++k;
            if (!text::trim(text.substr(k, e - k)).empty()) {
                ok = false;
                break;
            }
            auto seg = ref_item(text.substr(s, e - s), single);
            if (!seg) {
                ok = false;
                break;
            }
            segs.push_back(std::move(*seg));
            if (e == pos) break;
            s = e + 1;
        }
        if (ok && !segs.empty()) {
            ast::Span span;
            span.attr.set_pair("data-refs", "");
            for (XrefSeg& seg : segs) {
                ast::Link link;
                link.url = "#" + seg.key;
                link.attr = std::move(seg.attr);
                link.attr.set_pair("data-ref", seg.bare ? "bare" : "");
                if (seg.prefix && seg.prefix->find('\n') != std::string::npos) {
                    push_prefix_lines(link.content, *seg.prefix);
                } else if (seg.prefix) {
                    link.content.push_back(ast::Text{std::move(*seg.prefix)});
                }
                span.content.push_back(std::move(link));
            }
            shell = std::move(span);
            xref_list = true;
        }
    }
    // Bracketed span.
    if (!shell && !image && after < text.size() && text[after] == '{') {
        // (The trailing form reads exactly the braced blocks, colon form
        // included, with the same length.)
        if (auto block = attr_block(after)) {
            shell = ast::Span{std::move(block->attr), {}};
            end = after + block->len;
        }
    }
    // Full, collapsed and shortcut references.
    if (!shell && !context.link_defs.empty()) {
        auto lookup = [&](std::string_view label) -> const LinkRef* {
            if (!attrs::valid_link_label(label, false)) return nullptr;
            auto it = context.link_defs.find(attrs::normalize_label(label));
            return it == context.link_defs.end() ? nullptr : &it->second;
        };
        if (after < text.size() && text[after] == '[') {
            if (auto second = attrs::scan_link_label(text.substr(after))) {
                std::string_view label = second->label.empty() ? label_text : second->label;
                if (const LinkRef* def = lookup(label)) {
                    shell = link_or_image_shell(image, *def);
                    end = after + second->len;
                }
            }
        }
        if (!shell) {
            if (const LinkRef* def = lookup(label_text)) {
                shell = link_or_image_shell(image, *def);
                end = after;
            }
        }
    }
    if (!shell) {
        pop_bracket();
        return literal();
    }

    process_delimiters_range(*this, inner_first, nodes.size());
    std::uint32_t depth = 0;
    ast::Inlines content = coalesce_level(take_range(inner_first, nodes.size(), depth), false);
    delimiters.resize(first_delimiter_at(b.node));
    ast::Inline node = std::move(*shell);
    bool is_link = false;
    if (auto* l = node.as<ast::Link>()) {
        l->content = std::move(content);
        is_link = true;
    } else if (auto* im = node.as<ast::Image>()) {
        im->alt = std::move(content);
    } else if (auto* sp = node.as<ast::Span>(); sp && !xref_list) {
        // (A bracketed span keeps its content whatever its block holds.)
        sp->content = std::move(content);
    } else {
        // A cross-reference list: the span holds its links, and a link may
        // hold none (its brackets below are text, as after a link).
        depth = 1;
        is_link = true;
    }
    place(b.node, std::move(node), depth + 1);
    pop_bracket();
    if (is_link) link_floor_ = brackets.size();
    return apply_trailing_attrs(b.node, end);
}

// ---------------------------------------------------------------------------
// Attribute blocks

// The attribute-block walk is a small automaton (quote none, double or
// single, times a pending escape). Two walks that stand at the same offset in
// the same state end at the same "}", so the outcome is remembered at every
// 64th offset for each state: a walk stops at the first checkpoint already
// known, and every checkpoint is walked past at most once per state.
std::optional<std::size_t> InlineScanner::brace_close(std::size_t open) {
    constexpr std::uint32_t kUnknown = UINT32_MAX - 1;
    constexpr std::uint32_t kNone = UINT32_MAX;
    constexpr std::size_t kStep = 64;
    const std::size_t n = text.size();
    if (brace_checkpoints_.empty()) brace_checkpoints_.assign((n / kStep + 1) * 6, kUnknown);
    std::vector<std::size_t>& visited = brace_visited_;  // checkpoint slots this walk passed
    visited.clear();
    std::uint32_t result = kNone;
    int quote = 0;  // 0 none, 1 double, 2 single
    bool escaped = false;
    for (std::size_t i = open + 1;; ++i) {
        if (i % kStep == 0) {
            std::size_t slot = (i / kStep) * 6 + static_cast<std::size_t>(quote * 2 + (escaped ? 1 : 0));
            if (brace_checkpoints_[slot] != kUnknown) {
                result = brace_checkpoints_[slot];
                break;
            }
            visited.push_back(slot);
        }
        if (i >= n) break;
        const char c = text[i];
        if (escaped) {
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (quote != 0) {
            if (c == (quote == 1 ? '"' : '\'')) quote = 0;
        } else if (c == '"') {
            quote = 1;
        } else if (c == '\'') {
            quote = 2;
        } else if (c == '}') {
            result = static_cast<std::uint32_t>(i);
            break;
        }
    }
    for (std::size_t slot : visited) brace_checkpoints_[slot] = result;
    if (result == kNone) return std::nullopt;
    return result;
}

// The first "=" or white space at or after `from`, with the first one at or
// after every 64th offset remembered, so that repeated long searches over
// one word cost linear time in all.
std::size_t InlineScanner::word_stop(std::size_t from) {
    constexpr std::size_t kStep = 64;
    constexpr std::uint32_t kUnknown = UINT32_MAX;
    const std::size_t n = text.size();
    auto stop_at = [&](std::size_t i) {
        if (text[i] == '=') return true;
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) return false;
        return text::is_white_space(text::decode_utf8(text, i).cp);
    };
    if (word_checkpoints_.empty()) word_checkpoints_.assign(n / kStep + 2, kUnknown);
    std::size_t i = from;
    // Up to the next checkpoint directly.
    for (; i < n && i % kStep != 0; ++i)
        if (stop_at(i)) return i;
    if (i >= n) return n;
    // Then block by block, filling the checkpoints passed.
    std::size_t first_block = i / kStep;
    std::size_t block = first_block;
    std::size_t found = n;
    while (block * kStep < n) {
        if (word_checkpoints_[block] != kUnknown) {
            found = word_checkpoints_[block];
            break;
        }
        std::size_t end = std::min(n, (block + 1) * kStep);
        std::size_t j = block * kStep;
        for (; j < end; ++j)
            if (stop_at(j)) break;
        if (j < end) {
            found = j;
            break;
        }
        ++block;
    }
    for (std::size_t b = first_block; b <= block && b < word_checkpoints_.size(); ++b)
        word_checkpoints_[b] = static_cast<std::uint32_t>(found);
    return found;
}

std::optional<TrailingAttr> InlineScanner::attr_block(std::size_t pos) {
    if (pos >= text.size() || text[pos] != '{') return std::nullopt;
    auto close = brace_close(pos);
    if (!close) return std::nullopt;
    std::size_t body_start = pos + 1;
    const bool colon = body_start < *close && text[body_start] == ':';
    if (colon) ++body_start;
    std::string_view body = text.substr(body_start, *close - body_start);
    std::string_view lead = text::trim_start(body);
    if (text::trim_end(lead).empty()) return std::nullopt;
    if (!colon && lead[0] != '#' && lead[0] != '.') {
        // The first word must hold "=" after its first character.
        std::size_t word = *close - lead.size();
        std::size_t stop = word_stop(word + text::decode_utf8(text, word).len);
        if (stop >= *close || text[stop] != '=') return std::nullopt;
    }
    // As `trailing_attr` reads it: the colon form's body as written, the
    // braced body trimmed (a trailing escaped space stays in a word only in
    // the colon form). A word that is no attribute leaves the block as text.
    std::string_view read = colon ? body : text::trim_end(lead);
    if (!attrs::attrs_body_valid(read)) return std::nullopt;
    return TrailingAttr{attrs::parse_attrs_body(read), *close + 1 - pos};
}

// ---------------------------------------------------------------------------
// Coalescing

void push_coalesced(ast::Inlines& list, ast::Inline&& in) {
    if (!list.empty()) {
        auto* last = list.back().as<ast::Text>();
        auto* t = in.as<ast::Text>();
        if (last && t) {
            last->text.append(t->text);
            return;
        }
    }
    list.push_back(std::move(in));
}

ast::Inlines coalesce_level(ast::Inlines list, bool parent_is_plain_strong) {
    ast::Inlines out;
    out.reserve(list.size());
    for (ast::Inline& in : list) {
        auto* s = parent_is_plain_strong ? in.as<ast::Strong>() : nullptr;
        if (s && s->attr.empty()) {
            for (ast::Inline& g : s->content) push_coalesced(out, std::move(g));
        } else {
            push_coalesced(out, std::move(in));
        }
    }
    return out;
}

ast::Inlines coalesce(ast::Inlines list) {
    ast::Inlines out;
    out.reserve(list.size());
    for (ast::Inline& in : list) {
        visit(
            [](auto& node) {
                using T = std::decay_t<decltype(node)>;
                if constexpr (std::is_same_v<T, ast::Strong>) {
                    node.content = coalesce_level(coalesce(std::move(node.content)), node.attr.empty());
                } else if constexpr (std::is_same_v<T, ast::Image>) {
                    node.alt = coalesce(std::move(node.alt));
                } else if constexpr (std::is_same_v<T, ast::Emph> || std::is_same_v<T, ast::Strikeout> ||
                                     std::is_same_v<T, ast::Highlight> || std::is_same_v<T, ast::Span> ||
                                     std::is_same_v<T, ast::Link>) {
                    node.content = coalesce(std::move(node.content));
                }
            },
            in);
        push_coalesced(out, std::move(in));
    }
    return out;
}

}  // namespace tavrel::inline_
