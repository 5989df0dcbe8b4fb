// The inline pass of the wikitext reader: the text of one paragraph, heading,
// item or cell becomes a list of inlines. One left-to-right scan dispatches
// on the byte at the position: "<" (comments, references, nowiki, math,
// tags), "{" (template calls and parameters), "[" (links), apostrophes
// (bold and italic) and "__" (behaviour switches); everything else is text.
// A call whose name cannot be a page title is text too, braces and all, and
// the scan goes on inside it.
//
// Template arguments, link labels, reference bodies and element contents
// re-enter the scan one level deeper; past `kMaxInlineDepth` a text is kept
// as one wikitext node instead. Searches for closers that may fail are
// remembered per scan, so a text of unclosed openers costs a bounded number
// of passes; what one construct's search finds never changes how another
// construct is read.
//
// Links are atomic for the apostrophes around them: a closing run of
// apostrophes is never taken from inside "[[…]]" or "[url …]", and a link's
// label gets an apostrophe pass of its own.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "reader.hpp"
#include "tavrel/entity.hpp"
#include "tavrel/text.hpp"

namespace tavrel::wikitext {

using namespace tavrel::ast;
using detail::Context;
using detail::NextFinder;
using detail::find_ci;
using detail::starts_with_ci;
static constexpr std::size_t npos = std::string_view::npos;

namespace document {

void push_text(Inlines& out, std::string_view text) {
    if (text.empty()) return;
    std::string decoded;
    if (std::memchr(text.data(), '&', text.size())) {
        decoded = entity::decode_entities(text);
        text = decoded;
    }
    bool first = true;
    for (;;) {
        std::size_t lf = text.find('\n');
        std::string_view piece = text.substr(0, lf);
        if (!first) out.emplace_back(SoftBreak{});
        first = false;
        if (!piece.empty()) {
            Text* last = out.empty() ? nullptr : out.back().as<Text>();
            if (last)
                last->text.append(piece);
            else
                out.emplace_back(Text{std::string(piece)});
        }
        if (lf == npos) break;
        text.remove_prefix(lf + 1);
    }
}

static bool append_plain(const Inlines& list, std::string& out) {
    for (const auto& node : list) {
        if (const auto* t = node.as<Text>()) {
            out += t->text;
        } else if (node.is<SoftBreak>()) {
            out.push_back(' ');
        } else if (const auto* e = node.as<Emph>()) {
            if (!append_plain(e->content, out)) return false;
        } else if (const auto* s = node.as<Strong>()) {
            if (!append_plain(s->content, out)) return false;
        } else if (const auto* sp = node.as<Span>()) {
            if (!append_plain(sp->content, out)) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::optional<std::string> inline_text(const Inlines& inlines) {
    std::string out;
    if (!append_plain(inlines, out)) return std::nullopt;
    return out;
}

}  // namespace document

namespace {

RawInline raw_wikitext(std::string_view s) { return RawInline{"wikitext", std::string(s)}; }

// The name part of a template call: comments removed (an unclosed comment
// drops the rest), then trimmed.
std::string strip_comments(std::string_view s) {
    if (s.find("<!--") == npos) return std::string(detail::trim(s));
    std::string out;
    for (;;) {
        std::size_t open = s.find("<!--");
        if (open == npos) {
            out.append(s);
            break;
        }
        out.append(s.substr(0, open));
        std::size_t close = s.find("-->", open + 4);
        if (close == npos) break;
        s.remove_prefix(close + 3);
    }
    return std::string(detail::trim(out));
}

// The argument rule: "name = value" at the first top-level "=" (`eq`, found
// by the caller), else positional; the value is read trimmed.
OperationArg make_arg(std::string_view arg, Context& cx, std::size_t eq) {
    OperationArg out;
    std::string_view value = arg;
    if (eq != npos) {
        std::string_view name = detail::trim(arg.substr(0, eq));
        if (!name.empty()) {
            out.name = std::string(name);
            value = arg.substr(eq + 1);
        }
    }
    out.value = detail::read_inlines(detail::trim(value), cx);
    return out;
}

bool is_pipe_template(std::string_view name) {
    if (name == "!" || name == "!!" || name == "!-") return true;
    return name.size() == 4 && starts_with_ci(name, 0, "pipe");
}

// Walks the top-level "|" pieces of `text` one by one without collecting
// them. When the bars were noted while the end of the call was searched
// (`bars`, positions relative to `text` plus `offset`), they are used as they
// stand; otherwise each is found with a walk of its own.
class TopPieces {
public:
    explicit TopPieces(std::string_view text, const detail::Bars* bars = nullptr, std::size_t offset = 0)
        : text_(text), bars_(bars && !bars->overflow ? bars : nullptr), offset_(offset) {}
    bool done() const { return done_; }
    // The number of pieces, when the bars are known (else 0).
    std::size_t known_count() const { return bars_ ? bars_->count + 1 : 0; }
    // The first top-level "=" of the piece `next` gave last, relative to
    // that piece (npos: none), when the bars were noted; else `unknown`.
    static constexpr std::size_t unknown = npos - 1;
    std::size_t equals() const { return equals_; }

    std::string_view next() {
        std::size_t bar;
        if (bars_) {
            std::size_t eq = bars_->eq[index_];
            equals_ = eq == npos ? npos : eq - offset_ - pos_;
            bar = index_ < bars_->count ? bars_->at[index_++] - offset_ : npos;
        } else {
            equals_ = unknown;
            bar = detail::find_top(text_, pos_, "|");
        }
        std::string_view piece;
        if (bar == npos) {
            piece = text_.substr(pos_);
            done_ = true;
        } else {
            piece = text_.substr(pos_, bar - pos_);
            pos_ = bar + 1;
        }
        return piece;
    }

private:
    std::string_view text_;
    const detail::Bars* bars_;
    std::size_t offset_;
    std::size_t pos_ = 0;
    std::size_t index_ = 0;
    std::size_t equals_ = unknown;
    bool done_ = false;
};

Inline make_operation(std::string_view mode, std::string_view inner, std::string_view source, Context& cx,
                      TopPieces parts) {
    std::string name = strip_comments(parts.next());
    bool param = mode == "parameter";
    if (!param && is_pipe_template(name)) return raw_wikitext(source);
    Inline node(std::in_place_type<Operation>);
    Operation& op = *node.as<Operation>();
    op.system = "mediawiki";
    op.args.reserve(parts.known_count() + 1);
    std::string_view leading;
    bool has_leading = false;
    if (param) {
        op.kind = "parameter";
        op.name = std::move(name);
    } else if (name.starts_with("#invoke:")) {
        op.kind = "invoke";
        op.name = std::string(detail::trim(std::string_view(name).substr(8)));
    } else if (name.starts_with("#")) {
        op.kind = "function";
        std::string_view after = std::string_view(name).substr(1);
        std::size_t colon = after.find(':');
        if (colon != npos) {
            leading = after.substr(colon + 1);
            has_leading = !leading.empty();
            after = after.substr(0, colon);
        }
        // The leading argument is read before `name` is replaced.
        if (has_leading) op.args.push_back(make_arg(leading, cx, detail::find_top(leading, 0, "=")));
        op.name = std::string(detail::trim(after));
    } else {
        op.kind = "transclude";
        op.name = std::move(name);
    }
    while (!parts.done()) {
        std::string_view piece = parts.next();
        std::size_t eq = parts.equals();
        if (eq == TopPieces::unknown) eq = detail::find_top(piece, 0, "=");
        op.args.push_back(make_arg(piece, cx, eq));
    }
    return node;
}





// The scan of one text. Positions are byte offsets into `t`.
class Scan {
public:
    Scan(std::string_view t, Context& cx, Inlines& out) : t_(t), n_(t.size()), cx_(cx), out_(out) {}
    ~Scan() {
        if (memory_) release_memory();
    }
    Scan(const Scan&) = delete;
    Scan& operator=(const Scan&) = delete;

    void run() {
        std::size_t pos = 0;
        while (pos < n_) {
            switch (t_[pos]) {
                case '<': pos = at_angle(pos); break;
                case '{':
                    if (pos + 1 < n_ && t_[pos + 1] == '{') {
                        pos = at_braces(pos);
                    } else {
                        pos = text_run(pos);
                    }
                    break;
                case '[': pos = at_bracket(pos); break;
                case '\'': pos = at_apostrophes(pos); break;
                case '_': pos = at_underscore(pos); break;
                default: pos = text_run(pos);
            }
        }
    }

private:
    std::string_view t_;
    std::size_t n_;
    Context& cx_;
    Inlines& out_;
    NextFinder gt_, comment_end_, ref_end_, bracket_end_;
    // What only some texts need, made on first use.
    struct Memory {
        std::array<std::unique_ptr<detail::ElementCloser>, 4> elements;  // sup, sub, span, small
        std::unique_ptr<detail::LinkEnds> links;                         // for the apostrophe pass
        std::unique_ptr<detail::Closers> calls;                          // after a call read as text
    };
    std::unique_ptr<Memory> memory_;

    [[gnu::noinline, gnu::cold]] Memory& memory() {
        if (!memory_) memory_ = std::make_unique<Memory>();
        return *memory_;
    }
    // Kept out of line: every text read destroys a scan, few made memory.
    [[gnu::noinline, gnu::cold]] void release_memory() { memory_.reset(); }

    // The rest of the text becomes one wikitext node; the scan ends.
    std::size_t rest_raw(std::size_t pos) {
        out_.emplace_back(raw_wikitext(t_.substr(pos)));
        return n_;
    }

    std::size_t next_gt(std::size_t pos) {
        return gt_.find(pos, [&](std::size_t p) { return t_.find('>', p); });
    }

    // Text up to the next stop byte. Runs without "&" or a line feed (the
    // common case) skip the decoding and splitting of `push_text`.
    std::size_t text_run(std::size_t pos) {
        const char* d = t_.data();
        bool plain = d[pos] != '&' && d[pos] != '\n';
        std::size_t e = detail::find_any<'<', '[', '{', '\'', '&', '\n'>(d, pos + 1, n_);
        if (e < n_ && (d[e] == '&' || d[e] == '\n')) {
            plain = false;
            e = detail::find_any<'<', '[', '{', '\''>(d, e + 1, n_);
        }
        std::string_view run = t_.substr(pos, e - pos);
        if (!plain) {
            document::push_text(out_, run);
        } else if (Text* last = out_.empty() ? nullptr : out_.back().as<Text>()) {
            last->text.append(run);
        } else {
            out_.emplace_back(Text{std::string(run)});
        }
        return e;
    }

    // ---- "<" -------------------------------------------------------------

    std::size_t at_angle(std::size_t pos) {
        if (t_.compare(pos, 4, "<!--") == 0) {
            std::size_t close = comment_end_.find(pos, [&](std::size_t p) { return t_.find("-->", p); });
            return close == npos ? n_ : close + 3;
        }
        if (starts_with_ci(t_, pos, "<ref") && pos + 4 < n_) {
            char c = t_[pos + 4];
            if (c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '/' || c == '>') return reference(pos);
        }
        if (pos + 1 < n_ && ((t_[pos + 1] | 0x20) == 'm' || (t_[pos + 1] | 0x20) == 'n')) {
            if (std::size_t after = self_closing_extension(pos); after != npos) return after;
        }
        if (starts_with_ci(t_, pos, "<nowiki>")) {
            std::size_t close = find_ci(t_, "</nowiki>", pos + 8);
            if (close == npos) return rest_raw(pos);
            document::push_text(out_, t_.substr(pos + 8, close - pos - 8));
            return close + 9;
        }
        if (starts_with_ci(t_, pos, "<math")) return math(pos);
        return html_tag(pos);
    }

    // "<nowiki/>" and "<math …/>" (a tag delimiter after the name, "/"
    // before the first ">") are empty elements: the nowiki gives nothing,
    // the math an empty formula. npos when the text at `pos` is neither.
    [[gnu::noinline, gnu::cold]] std::size_t self_closing_extension(std::size_t pos) {
        bool math = starts_with_ci(t_, pos, "<math");
        if (!math && !starts_with_ci(t_, pos, "<nowiki")) return npos;
        std::size_t k = pos + (math ? 5 : 7);
        if (k >= n_) return npos;
        char c = t_[k];
        if (!(c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '/' || c == '>')) return npos;
        std::size_t gt = next_gt(pos);
        if (gt == npos || t_[gt - 1] != '/') return npos;
        if (math) {
            Math m;
            m.display = display_attr(t_.substr(pos, gt - 1 - pos));
            out_.emplace_back(std::move(m));
        }
        return gt + 1;
    }

    // The opening tag of a math element (from "<" up to its ">") asks for
    // display mode.
    [[gnu::noinline, gnu::cold]] static bool display_attr(std::string_view tag) {
        bool display = false;
        text::for_each_white_space_piece(tag, [&](std::string_view word) {
            if (starts_with_ci(word, 0, "display=")) {
                std::string_view v = word.substr(8);
                if ((v.size() == 5 && starts_with_ci(v, 0, "block")) ||
                    (v.size() == 7 && (v[0] == '\'' || v[0] == '"') && v[6] == v[0] &&
                     starts_with_ci(v, 1, "block")))
                    display = true;
            }
        });
        return display;
    }

    std::size_t math(std::size_t pos) {
        std::size_t gt = next_gt(pos);
        if (gt == npos) return rest_raw(pos);
        std::size_t close = find_ci(t_, "</math>", gt + 1);
        if (close == npos) return rest_raw(pos);
        Math m;
        m.tex.assign(t_.substr(gt + 1, close - gt - 1));
        m.display = display_attr(t_.substr(pos, gt - pos));
        out_.emplace_back(std::move(m));
        return close + 7;
    }

    // The reference rule. Returns the position after the element.
    std::size_t reference(std::size_t pos) {
        // ref_len, with the searches remembered across the scan.
        std::size_t gt = next_gt(pos);
        std::size_t end;
        if (gt == npos) {
            end = n_;
        } else if (t_[gt - 1] == '/') {
            end = gt + 1;
        } else {
            std::size_t close = ref_end_.find(pos, [&](std::size_t p) { return find_ci(t_, "</ref>", p); });
            end = close == npos ? n_ : close + 6;
        }
        std::string_view element = t_.substr(pos, end - pos);
        auto as_raw = [&] {
            out_.emplace_back(raw_wikitext(element));
            return end;
        };
        if (gt == npos || gt >= end) return as_raw();
        std::string_view attrs = t_.substr(pos + 4, gt - pos - 4);
        bool self_closing = detail::trim_end(attrs).ends_with('/');
        while (attrs.ends_with('/')) attrs.remove_suffix(1);
        attrs = detail::trim(attrs);
        std::optional<std::string_view> name;
        if (attrs.empty()) {
            if (self_closing) return as_raw();
        } else {
            name = ref_name(attrs);
            if (!name) return as_raw();
        }
        if (self_closing) {
            out_.emplace_back(FootnoteRef{std::string(*name)});
            return end;
        }
        std::size_t body_end = find_ci(element, "</ref>", gt + 1 - pos);
        if (body_end == npos) return as_raw();
        std::string_view body = element.substr(gt + 1 - pos, body_end - (gt + 1 - pos));
        if (!name) {
            out_.emplace_back(Note{detail::read_inlines(body, cx_)});
            return end;
        }
        std::string label(*name);
        if (!cx_.labels.contains(label)) {
            // The body cannot hold a closed reference of its own (it stops at
            // the first "</ref>"), so reading it adds no footnote first.
            Inlines content = detail::read_inlines(body, cx_);
            Footnote fn;
            fn.label = label;
            fn.blocks.emplace_back(Paragraph{Attr{}, std::move(content)});
            cx_.footnotes->push_back(std::move(fn));
            cx_.labels.insert(label);
        }
        out_.emplace_back(FootnoteRef{std::move(label)});
        return end;
    }

    // A reference's attribute text must be exactly one `name` attribute.
    static std::optional<std::string_view> ref_name(std::string_view a) {
        std::size_t i = 0, n = a.size();
        auto ws_at = [&](std::size_t k) { return text::is_white_space(text::decode_utf8(a, k).cp); };
        auto skip_ws = [&] {
            while (i < n && ws_at(i)) i += text::decode_utf8(a, i).len;
        };
        skip_ws();
        std::size_t ks = i;
        while (i < n && a[i] != '=' && !ws_at(i)) i += text::decode_utf8(a, i).len;
        if (i - ks != 4 || !starts_with_ci(a, ks, "name")) return std::nullopt;
        skip_ws();
        if (i >= n || a[i] != '=') return std::nullopt;
        ++i;
        skip_ws();
        if (i >= n) return std::nullopt;
        std::string_view value;
        if (a[i] == '"' || a[i] == '\'') {
            std::size_t close = a.find(a[i], i + 1);
            if (close == npos) return std::nullopt;
            value = a.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            std::size_t vs = i;
            while (i < n && !ws_at(i)) i += text::decode_utf8(a, i).len;
            value = a.substr(vs, i - vs);
        }
        if (value.empty()) return std::nullopt;
        skip_ws();
        if (i != n) return std::nullopt;
        return value;
    }

    std::size_t html_tag(std::size_t pos) {
        std::size_t gt = next_gt(pos);
        if (gt == npos) {
            document::push_text(out_, "<");
            return pos + 1;
        }
        auto tag = document::html_open(t_.substr(pos, gt + 1 - pos));
        if (tag) {
            if (tag->name == "br") {
                out_.emplace_back(HardBreak{});
                return pos + tag->end;
            }
            const std::string& nm = tag->name;
            if (!tag->is_void && (nm == "sup" || nm == "sub" || nm == "span" || nm == "small")) {
                std::size_t after = element(pos, *tag);
                if (after != npos) return after;
            }
        }
        out_.emplace_back(RawInline{"html", std::string(t_.substr(pos, gt + 1 - pos))});
        return gt + 1;
    }

    // The closing tag of the element `name` (number `which` among the four)
    // whose content starts at `start`, or npos. A text within the outermost
    // one uses the outermost text's search.
    std::size_t element_close(std::size_t which, const std::string& name, std::size_t start) {
        std::string_view outer = cx_.outer_text;
        auto at = reinterpret_cast<std::uintptr_t>(t_.data());
        auto outer_at = reinterpret_cast<std::uintptr_t>(outer.data());
        if (at >= outer_at && at + n_ <= outer_at + outer.size()) {
            auto& closer = cx_.outer_closers[which];
            if (!closer) closer = std::make_unique<detail::ElementCloser>(outer, name);
            std::size_t off = at - outer_at;
            std::size_t c = closer->find(off + start);
            if (c == npos || c + closer->close_len() > off + n_) return npos;
            return c - off;
        }
        auto& closer = memory().elements[which];
        if (!closer) closer = std::make_unique<detail::ElementCloser>(t_, name);
        return closer->find(start);
    }

    // A "sup", "sub", "span" or "small" element; npos when it cannot be built.
    std::size_t element(std::size_t pos, document::OpenTag& tag) {
        std::size_t which = tag.name == "sup" ? 0 : tag.name == "sub" ? 1 : tag.name == "span" ? 2 : 3;
        std::size_t content_start = pos + tag.end;
        std::size_t close_at = element_close(which, tag.name, content_start);
        if (close_at == npos) return npos;
        std::size_t end = close_at + tag.name.size() + 3;
        std::string_view content = t_.substr(content_start, close_at - content_start);
        if (tag.name == "span" || tag.name == "small") {
            Span& sp = append_boxed<Span>();
            sp.attr = std::move(tag.attrs);
            if (tag.name == "small") sp.attr.push_class("small");
            sp.content = detail::read_inlines(content, cx_);
            return end;
        }
        // A "sup" or "sub" whose content is not plain text is read twice:
        // once here, once as ordinary text after the fallback, which meets
        // the elements nested inside again. Those already known not to be
        // plain fall back at once; the other trial reads are charged to the
        // paragraph's allowance, past which the element falls back unread.
        if (cx_.known_not_plain(content.data(), t_.data() + close_at)) return npos;
        if (cx_.trial_allowance < content.size()) return npos;
        cx_.trial_allowance -= content.size();
        std::size_t mark = cx_.footnotes->size();
        std::size_t capped = cx_.capped;
        Inlines inner = detail::read_inlines(content, cx_);
        auto plain = document::inline_text(inner);
        if (!plain) {
            // Not plain text: the tags fall back and the content is read
            // again as ordinary text, so its footnotes must not count twice.
            // A read cut short by the depth limit may differ at another
            // depth and is not remembered.
            cx_.truncate_footnotes(mark);
            if (cx_.capped == capped) cx_.note_not_plain(content.data(), t_.data() + close_at);
            return npos;
        }
        if (tag.name == "sup")
            out_.emplace_back(Superscript{std::move(tag.attrs), std::move(*plain)});
        else
            out_.emplace_back(Subscript{std::move(tag.attrs), std::move(*plain)});
        return end;
    }

    // ---- "{" -------------------------------------------------------------

    [[gnu::noinline]] std::size_t at_braces(std::size_t pos) {
        std::string_view rest = t_.substr(pos);
        bool param = rest.size() >= 3 && rest[2] == '{';
        std::size_t w = param ? 3 : 2;
        std::string_view closer = param ? "}}}" : "}}";
        detail::Bars bars;
        std::size_t e;
        if (memory_ && memory_->calls) {
            // Inside a call read as text, the closers are found by a search
            // that remembers what the searches from the openers around
            // this one learnt; the walk that notes the bars runs only for
            // a call that is read as one.
            e = memory_->calls->find(pos + w, param ? detail::Closers::kBraces3 : detail::Closers::kBraces2);
            if (e == npos) return rest_raw(pos);
            e -= pos;
            if (!param && !detail::call_name_may_be_title(rest, w, e)) return call_as_text(pos);
            detail::balanced_bars(rest, w, closer, bars);
        } else {
            e = detail::balanced_bars(rest, w, closer, bars);
            if (e == npos) return rest_raw(pos);
            if (!param && !detail::call_name_may_be_title(rest, w, e)) return call_as_text(pos);
        }
        std::string_view inner = rest.substr(w, e - w);
        out_.push_back(make_operation(param ? "parameter" : "template", inner, rest.substr(0, e + w), cx_,
                                      TopPieces(inner, &bars, w)));
        return pos + e + w;
    }

    // A call whose name is no title: its braces are text, and the scan
    // goes on inside it.
    [[gnu::noinline, gnu::cold]] std::size_t call_as_text(std::size_t pos) {
        auto& calls = memory().calls;
        if (!calls) calls = std::make_unique<detail::Closers>(t_, true);
        document::push_text(out_, "{{");
        return pos + 2;
    }

    // ---- "[" -------------------------------------------------------------

    std::size_t at_bracket(std::size_t pos) {
        std::string_view rest = t_.substr(pos);
        if (rest.starts_with("[[")) {
            detail::Bars bars;
            std::size_t e = detail::balanced_bars(rest, 2, "]]", bars);
            if (e == npos) return rest_raw(pos);
            internal_link(rest.substr(2, e - 2), rest.substr(0, e + 2), bars);
            return pos + e + 2;
        }
        if (rest.starts_with("[http://") || rest.starts_with("[https://") || rest.starts_with("[mailto:")) {
            std::size_t close = bracket_end_.find(pos, [&](std::size_t p) { return t_.find(']', p); });
            if (close == npos) {
                document::push_text(out_, "[");
                return pos + 1;
            }
            external_link(t_.substr(pos + 1, close - pos - 1));
            return close + 1;
        }
        return text_run(pos);
    }

    void internal_link(std::string_view inner, std::string_view whole, const detail::Bars& bars) {
        // Only the first, second and last top-level pieces matter.
        TopPieces parts(inner, &bars, 2);
        std::string_view target = parts.next();
        std::string_view second, last = target;
        std::size_t count = 1;
        while (!parts.done()) {
            last = parts.next();
            if (++count == 2) second = last;
        }
        target = detail::trim(target);
        last = detail::trim(last);
        if (target.empty()) {
            Link& link = append_boxed<Link>();
            link.content = detail::read_inlines(last, cx_);
            link.url = "./";
        } else if (starts_with_ci(target, 0, "category:")) {
            Link& link = append_boxed<Link>();
            link.attr.set_pair("data-mediawiki-category",
                               count > 1 ? detail::trim(second) : std::string_view{});
            link.url = link_target(target);
        } else if (starts_with_ci(target, 0, "file:") || starts_with_ci(target, 0, "image:")) {
            Image& img = append_boxed<Image>();
            img.attr.set_pair("data-mediawiki-source", whole);
            if (count > 1) img.alt = detail::read_inlines(last, cx_);
            img.url = link_target(target);
        } else {
            Link& link = append_boxed<Link>();
            link.content = detail::read_inlines(last, cx_);
            link.url = link_target(target);
        }
    }

    // A boxed node appended to the output and filled where it lies, rather
    // than built aside and moved into a box. The box does not move while the
    // list grows.
    template <class T>
    T& append_boxed() {
        return *out_.emplace_back(std::in_place_type<T>).template as<T>();
    }

    void external_link(std::string_view inner) {
        std::size_t i = 0;
        std::size_t ws = npos, ws_len = 0;
        while (i < inner.size()) {
            auto d = text::decode_utf8(inner, i);
            if (text::is_white_space(d.cp)) {
                ws = i;
                ws_len = d.len;
                break;
            }
            i += d.len;
        }
        std::string_view url = inner.substr(0, ws);
        std::string_view label = ws == npos ? std::string_view{} : inner.substr(ws + ws_len);
        if (ws == npos || label == url) {
            out_.emplace_back(Autolink{std::string(url), std::string(url), url.starts_with("mailto:")});
            return;
        }
        Link& link = append_boxed<Link>();
        link.content = detail::read_inlines(detail::trim(label), cx_);
        link.url = link_target(url);
    }

    // ---- apostrophes ------------------------------------------------------

    // The maximal run of apostrophes at or after `from`: its start and
    // length, or start npos when there is none. Links are stepped over whole:
    // their apostrophes belong to their labels. So are comments and the
    // reference, nowiki and math elements, which the scan reads whole too: a
    // closing run taken from inside one would cut it apart.
    //
    // The length is counted up to kLongRun only: the closer searches tell
    // runs of one, two, three and five apart and treat every longer run
    // alike, and they step past a run only when it is short. Counting a
    // long run whole on every search would make a page of apostrophes
    // quadratic.
    static constexpr std::size_t kLongRun = 6;
    std::pair<std::size_t, std::size_t> next_run(std::size_t from) {
        const char* d = t_.data();
        std::size_t i = from;
        while (i < n_) {
            i = detail::find_any<'\'', '[', '<'>(d, i, n_);
            if (i >= n_) break;
            if (d[i] == '[') {
                i = past_link(i);
                continue;
            }
            if (d[i] == '<') {
                i = past_element(i);
                continue;
            }
            std::size_t e = i;
            while (e < n_ && d[e] == '\'' && e - i < kLongRun) ++e;
            return {i, e - i};
        }
        return {npos, 0};
    }

    // Just past the link that begins at `pos` ("[" there), as the scan would
    // read it, or pos + 1 when none begins there.
    [[gnu::noinline, gnu::cold]] std::size_t past_link(std::size_t pos) {
        if (pos + 1 < n_ && t_[pos + 1] == '[') {
            auto& links = memory().links;
            if (!links) links = std::make_unique<detail::LinkEnds>(t_);
            return links->past(pos);
        }
        if (t_.compare(pos, 8, "[http://") == 0 || t_.compare(pos, 9, "[https://") == 0 ||
            t_.compare(pos, 8, "[mailto:") == 0) {
            std::size_t close = bracket_end_.find(pos, [&](std::size_t p) { return t_.find(']', p); });
            return close == npos ? pos + 1 : close + 1;
        }
        return pos + 1;
    }

    // Just past the comment or the reference, nowiki or math element that
    // begins at `pos` ("<" there), as the scan would read it (the end of the
    // text for one left open), or pos + 1 when none begins there.
    [[gnu::noinline, gnu::cold]] std::size_t past_element(std::size_t pos) {
        if (t_.compare(pos, 4, "<!--") == 0) {
            std::size_t close = comment_end_.find(pos, [&](std::size_t p) { return t_.find("-->", p); });
            return close == npos ? n_ : close + 3;
        }
        auto delimiter = [&](std::size_t k) {
            if (k >= n_) return false;
            char c = t_[k];
            return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '/' || c == '>';
        };
        bool ref = starts_with_ci(t_, pos, "<ref") && delimiter(pos + 4);
        bool math = starts_with_ci(t_, pos, "<math");
        bool nowiki = starts_with_ci(t_, pos, "<nowiki") && delimiter(pos + 7);
        if (!ref && !math && !nowiki) return pos + 1;
        std::size_t gt = next_gt(pos);
        if (gt == npos) return ref || math ? n_ : pos + 1;
        if (t_[gt - 1] == '/' && (ref || delimiter(pos + (math ? 5 : 7)))) return gt + 1;
        if (ref) {
            std::size_t close = ref_end_.find(pos, [&](std::size_t p) { return find_ci(t_, "</ref>", p); });
            return close == npos ? n_ : close + 6;
        }
        if (nowiki && !starts_with_ci(t_, pos, "<nowiki>")) return pos + 1;
        std::size_t close = find_ci(t_, math ? "</math>" : "</nowiki>", math ? gt + 1 : pos + 8);
        return close == npos ? n_ : close + (math ? 7 : 9);
    }

    // The first run of five or more apostrophes at or after `from` (its
    // first five close bold and italic together), or npos.
    std::size_t next_five(std::size_t from) {
        for (;;) {
            auto [s, r] = next_run(from);
            if (s == npos || r >= 5) return s;
            from = s + r;
        }
    }

    // Closer of a bold run: the first "'''", except that a run of five that
    // follows an italic opened inside the bold closes the italic with its
    // first two apostrophes and the bold with the last three.
    std::size_t bold_close(std::size_t q) {
        bool italic_open = false;
        for (;;) {
            auto [s, r] = next_run(q);
            if (s == npos) return npos;
            q = s + r;
            if (r == 1) continue;
            if (r == 2) {
                italic_open = !italic_open;
                continue;
            }
            if (r == 5 && italic_open) return s + 2;
            return s;
        }
    }

    // Closer of an italic run: the first "''", except that it is not taken
    // from the runs of a bold nested inside (a "'''" closed by a later
    // "'''", or by the first three of a run of five, whose last two then
    // close the italic). When the nesting is not proper the first "''"
    // stands, as it always did.
    std::size_t italic_close(std::size_t q) {
        std::size_t bold_at = npos;
        for (;;) {
            auto [s, r] = next_run(q);
            if (s == npos) return bold_at;
            q = s + r;
            if (r == 1) continue;
            if (r == 3) {
                bold_at = bold_at == npos ? s : npos;
                continue;
            }
            if (r == 5 && bold_at != npos) return s + 3;
            return bold_at != npos ? bold_at : s;
        }
    }

    // A run of five with no run of five to close it, as in "'''''a''' b''"
    // (italic holding bold) or "'''''a'' b'''" (bold holding italic): read as
    // the outer opener followed by the inner one. npos when the outer one
    // does not close either.
    std::size_t split_five(std::size_t pos) {
        std::size_t q = pos + 5;
        for (;;) {
            auto [s, r] = next_run(q);
            if (s == npos) return npos;
            q = s + r;
            if (r == 1) continue;
            if (r != 2 && r != 3) return npos;
            bool italic_outer = r == 3;
            std::size_t w = italic_outer ? 2 : 3;
            std::size_t c = italic_outer ? italic_close(pos + 2) : bold_close(pos + 3);
            if (c == npos) return npos;
            Inlines& content = italic_outer ? append_boxed<Emph>().content : append_boxed<Strong>().content;
            content = detail::read_inlines(t_.substr(pos + w, c - pos - w), cx_);
            return c + w;
        }
    }

    std::size_t at_apostrophes(std::size_t pos) {
        std::size_t r = 0;
        while (pos + r < n_ && t_[pos + r] == '\'' && r < 5) ++r;
        if (r == 1) return text_run(pos);
        if (r == 5) {
            std::size_t c = next_five(pos + 5);
            if (c == npos) {
                // Bold and italic opened together but closed apart: the run
                // that closes first tells which one is inside. Only a run of
                // exactly five opens both; in a longer run the leading
                // apostrophes are text, and reading them as part of the
                // opener would take the opener's own tail for a closer.
                bool exactly_five = pos + 5 >= n_ || t_[pos + 5] != '\'';
                if (exactly_five) {
                    if (std::size_t after = split_five(pos); after != npos) return after;
                }
                document::push_text(out_, "'");
                return pos + 1;
            }
            Strong& st = append_boxed<Strong>();
            Emph& em = *st.content.emplace_back(std::in_place_type<Emph>).as<Emph>();
            em.content = detail::read_inlines(t_.substr(pos + 5, c - pos - 5), cx_);
            return c + 5;
        }
        std::size_t w = r >= 3 ? 3 : 2;
        std::size_t c = w == 3 ? bold_close(pos + 3) : italic_close(pos + 2);
        if (c == npos) {
            document::push_text(out_, "'");
            return pos + 1;
        }
        Inlines& content = w == 3 ? append_boxed<Strong>().content : append_boxed<Emph>().content;
        content = detail::read_inlines(t_.substr(pos + w, c - pos - w), cx_);
        return c + w;
    }

    // ---- "__" -------------------------------------------------------------

    std::size_t at_underscore(std::size_t pos) {
        if (pos + 1 < n_ && t_[pos + 1] == '_') {
            for (std::size_t j = pos + 2; j < n_; ++j) {
                if (t_[j] == '_' && j + 1 < n_ && t_[j + 1] == '_') {
                    Span sp;
                    sp.attr.set_pair("data-mediawiki-behavior", t_.substr(pos + 2, j - pos - 2));
                    out_.emplace_back(std::move(sp));
                    return j + 2;
                }
                char c = t_[j];
                if (!((c >= 'A' && c <= 'Z') || c == '_')) break;
            }
        }
        return text_run(pos);
    }
};

}  // namespace

namespace detail {

Inlines read_inlines(std::string_view text, Context& cx) {
    Inlines out;
    if (text.empty()) return out;
    if (cx.depth >= kMaxInlineDepth) {
        ++cx.capped;
        out.emplace_back(raw_wikitext(text));
        return out;
    }
    // Each paragraph (heading, item, cell) gets its own allowance for trial
    // reads, so that what one spends never changes how another is read.
    if (cx.depth == 0) cx.trial_allowance = 16 * text.size() + (std::size_t{1} << 16);
    // Short labels and argument values are mostly plain words: without a
    // byte that can start a construct (or a leading "__") they are one Text.
    if (!(text.size() >= 2 && text[0] == '_' && text[1] == '_')) {
        if (detail::find_any<'<', '[', '{', '\'', '&', '\n'>(text.data(), 0, text.size()) == text.size()) {
            out.emplace_back(Text{std::string(text)});
            return out;
        }
    }
    // Room for the nodes a text of this length usually holds, so that the
    // large inline nodes are not moved while the list grows.
    out.reserve(std::min<std::size_t>(1 + text.size() / 32, 64));
    if (cx.depth == 0) cx.outer_text = text;
    ++cx.depth;
    Scan(text, cx, out).run();
    --cx.depth;
    if (cx.depth == 0) {
        cx.outer_text = {};
        for (auto& closer : cx.outer_closers) closer.reset();
    }
    // A long text of few nodes gives back the room it did not use: the tree
    // lives until the page is converted.
    if (out.capacity() > 4 * out.size() + 8) out.shrink_to_fit();
    return out;
}

}  // namespace detail

namespace document {

Inlines inlines(std::string_view text, std::vector<Footnote>& footnotes) {
    detail::Context cx(footnotes);
    return detail::read_inlines(text, cx);
}

Inline operation(std::string_view mode, std::string_view inner, std::string_view source,
                 std::vector<Footnote>& footnotes) {
    detail::Context cx(footnotes);
    return make_operation(mode, inner, source, cx, TopPieces(inner));
}

}  // namespace document
}  // namespace tavrel::wikitext
