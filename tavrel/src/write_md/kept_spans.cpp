// The writer's try of a span whose element form would lose a key no tag
// can hold or cross a raw tag: its brackets kept, its "www." addresses and
// those with a scheme bare. Rare, and kept apart from the writer's hot
// paths.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "canon.hpp"
#include "reader_probes.hpp"
#include "tavrel/block.hpp"
#include "tavrel/entity.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/render.hpp"
#include "tavrel/text.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md {

using namespace tavrel::ast;

namespace {

// A run with emphasis, strong, strikeout, highlight, superscript and
// subscript as their element forms (the opening tag, the content, the
// closing tag, in one run): written as those forms, the nodes read back as
// raw HTML around their content, which a reader of the HTML takes alike.
// A node with a key no tag can hold, or attributes too long for a tag,
// stays a node: its form would lose them. With `swapped`, a plain
// emphasis filled by a plain strong is taken as a strong filled by an
// emphasis, as "***x***" written for the one reads back as the other.
// Targets and addresses are taken as the writer writes them, an image's
// description as its plain text.
void as_tags(Inlines& run, bool swapped) {
    const auto tag_holds = [](const Attr& attr) {
        std::size_t size = attr.id ? attr.id->size() : 0;
        for (const auto& c : attr.classes) size += c.size() + 1;
        for (const auto& [k, v] : attr.pairs) {
            if (!canon::html_attr_name(k)) return false;
            size += k.size() + v.size() + 4;
        }
        return size < 512;
    };
    Inlines out;
    out.reserve(run.size());
    const auto around = [&](std::string_view tag, const Attr& attr, auto&& fill) {
        out.push_back(Inline{RawHtml{canon::element_open(tag, attr)}});
        fill();
        out.push_back(Inline{RawHtml{"</" + std::string(tag) + ">"}});
    };
    for (auto& node : run) {
        if (auto* e = node.as<Emph>(); swapped && e && e->attr.empty() && e->content.size() == 1) {
            if (auto* s = e->content.front().as<Strong>(); s && s->attr.empty()) {
                Strong strong{Attr{}, Inlines{Inline{Emph{Attr{}, std::move(s->content)}}}};
                node = Inline{std::move(strong)};
            }
        }
        bool kept = visit(
            [&](auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<T, Emph> || std::is_same_v<T, Strong> || std::is_same_v<T, Strikeout> ||
                              std::is_same_v<T, Highlight>) {
                    if (!tag_holds(n.attr)) {
                        as_tags(n.content, swapped);
                        return true;
                    }
                    const std::string_view tag = std::is_same_v<T, Emph>        ? "em"
                                                 : std::is_same_v<T, Strong>    ? "strong"
                                                 : std::is_same_v<T, Strikeout> ? "del"
                                                                                : "mark";
                    as_tags(n.content, swapped);
                    around(tag, n.attr, [&] {
                        for (auto& c : n.content) out.push_back(std::move(c));
                    });
                    return false;
                } else if constexpr (std::is_same_v<T, Superscript> || std::is_same_v<T, Subscript>) {
                    if (!tag_holds(n.attr)) return true;
                    // (Line ends in the element's text are written as spaces.)
                    around(std::is_same_v<T, Superscript> ? "sup" : "sub", n.attr, [&] {
                        std::string flat = n.text;
                        std::replace(flat.begin(), flat.end(), '\n', ' ');
                        std::replace(flat.begin(), flat.end(), '\r', ' ');
                        if (!flat.empty()) out.push_back(Inline{Text{std::move(flat)}});
                    });
                    return false;
                } else {
                    if constexpr (std::is_same_v<T, Image> || std::is_same_v<T, Link>) {
                        // (White space in a target, and a "<" opening it,
                        // are written percent-encoded.)
                        if (n.url.find_first_of(" \t\n\r<") != std::string::npos) {
                            std::string url;
                            for (std::size_t i = 0; i < n.url.size(); ++i) {
                                const char c = n.url[i];
                                url.append(c == ' '                 ? "%20"
                                           : c == '\t'              ? "%09"
                                           : c == '\n'              ? "%0A"
                                           : c == '\r'              ? "%0D"
                                           : c == '<' && i == 0     ? "%3C"
                                                                    : std::string_view(&n.url[i], 1));
                            }
                            n.url = std::move(url);
                        }
                        if constexpr (std::is_same_v<T, Image>) {
                            // (Of a description only its plain text is
                            // kept, which may be written for its nodes.)
                            std::string plain = render::plain(n.alt);
                            n.alt.clear();
                            if (!plain.empty()) n.alt.push_back(Text{std::move(plain)});
                        }
                    } else if constexpr (std::is_same_v<T, Autolink>) {
                        // (An address read as an e-mail one is written in
                        // angle brackets, read back as an address alike.)
                        n.email = false;
                    }
                    if constexpr (requires { n.content; }) {
                        if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>)
                            as_tags(n.content, swapped);
                    }
                    return true;
                }
            },
            node);
        if (kept) out.push_back(std::move(node));
    }
    run = std::move(out);
}

}  // namespace

namespace probe {

std::optional<Span> prefix_lines_joined(const Span& span) {
    const auto* link = span.content.size() == 1 ? span.content.front().as<Link>() : nullptr;
    if (link == nullptr || link->content.size() < 3) return std::nullopt;
    std::string joined;
    for (std::size_t i = 0; i < link->content.size(); ++i) {
        if (i % 2 == 1) {
            if (!link->content[i].is<SoftBreak>() || i + 1 == link->content.size()) return std::nullopt;
            joined.push_back('\n');
            continue;
        }
        const auto* t = link->content[i].as<Text>();
        if (t == nullptr || t->text.empty() || text::trim(t->text).size() != t->text.size()) return std::nullopt;
        joined.append(t->text);
    }
    Span one = span;
    one.content.front().as<Link>()->content = Inlines{Inline{Text{std::move(joined)}}};
    return one;
}

bool crosses_raw_tag(const Inlines& run) {
    static constexpr std::string_view empty_elements[] = {"area", "base", "br",   "col",   "embed",  "hr", "img",
                                                          "input", "link", "meta", "param", "source", "track", "wbr"};
    const auto same_name = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
        return true;
    };
    // The tags opened and not yet closed; past as many as this holds, the
    // run is taken as crossing one (the caller then reads back its try).
    std::string_view open[16];
    std::size_t depth = 0;
    for (const auto& node : run) {
        const auto* h = node.as<RawHtml>();
        if (!h || h->html.size() < 3 || h->html.front() != '<') continue;
        const std::string_view html = h->html;
        const bool closing = html[1] == '/';
        const std::size_t start = closing ? 2 : 1;
        std::size_t k = start;
        while (k < html.size() && ((html[k] >= 'a' && html[k] <= 'z') || (html[k] >= 'A' && html[k] <= 'Z') ||
                                   (k > start && ((html[k] >= '0' && html[k] <= '9') || html[k] == '-'))))
            ++k;
        const std::string_view name = html.substr(start, k - start);
        // (Comments, declarations and instructions are no tags.)
        if (name.empty()) continue;
        if (closing) {
            if (depth == 0 || !same_name(open[depth - 1], name)) return true;
            --depth;
        } else if (!html.ends_with("/>") && std::none_of(std::begin(empty_elements), std::end(empty_elements),
                                                        [&](std::string_view e) { return same_name(e, name); })) {
            if (depth == std::size(open)) return true;
            open[depth++] = name;
        }
    }
    return depth > 0;
}

}  // namespace probe

// A span whose element form would lose a key no tag can hold or cross a
// raw tag (the caller asks), tried with its brackets and its "www."
// addresses, and those the reader finds by their scheme, bare wherever the
// reader keeps them whole ("[www.] ]{<=''}", "[http://> ]{<=''}"):
// kept where it reads back alone as itself, in a cell as a cell's only
// content.
bool Renderer::span_kept_bracketed(const Span& n) {
    if (!markdown::attr_writable(n.attr) || (!out_.empty() && out_.back() == '!') ||
        probe::holds_link(n.content, true, true))
        return false;
    const std::size_t mark = out_.size(), notes_mark = notes_.size();
    const std::size_t saved_line = first_line_start_, saved_ref = ref_end_, saved_target = attr_target_end_;
    const int saved_footnote_line = footnote_line_;
    const bool saved_element = element_in_description_;
    // Punctuation after an address is written as its reference only in a
    // later try, where one wrote some that the reader takes into the
    // address: the positions of the ends may have moved where a try inside
    // took back what it wrote, and the first try keeps what reads back
    // without. A "*" after an address is written bare (see
    // `unescape_after_www`), where it would close an emphasis or strong
    // written between "*" runs around it, and escaped it would be read into
    // the address: where a try had one there, the next writes those between
    // "_" runs, after which a "*" is text ("[_a www.a* b_]{<=''}"). That try
    // is kept only where it wrote no element form inside, which would read
    // back as raw HTML: the span read back would then be written otherwise
    // ("[__x https://a.b>* *y*__]{<=}", whose strong takes no "_" runs,
    // read back holding raw tags, keeps its "*" runs in the first try). At
    // most three tries, each of the span alone.
    bool punctuation = false;
    for (bool underscores = false;;) {
        std::vector<std::size_t> ends;
        www_kept_ = &ends;
        // (Every delimited node inside then asks
        // `delimiters_kept_over_lost_key`, which gives up its "*" runs.)
        if (underscores) underscores_wanted_ = any_key_lost_in_runs_ = true;
        open_bracket();
        bracketed(n.content);
        www_kept_ = nullptr;
        if (underscores) {
            underscores_wanted_ = false;
            any_key_lost_in_runs_ = (keys_lost_in_runs_[0] | keys_lost_in_runs_[1] | keys_lost_in_runs_[2]) != 0;
        }
        const bool punctuation_taken = names_after_www(ends, mark, punctuation);
        const bool star_after = unescape_after_www(ends);
        out_.push_back(']');
        trailing_attrs(n.attr);
        if (bracketed_reads_back(n, mark, notes_mark, underscores)) {
            attr_target_end_ = out_.size();
            return true;
        }
        out_.resize(mark);
        notes_.resize(notes_mark);
        first_line_start_ = saved_line;
        ref_end_ = saved_ref;
        attr_target_end_ = saved_target;
        footnote_line_ = saved_footnote_line;
        element_in_description_ = saved_element;
        if (punctuation_taken && !punctuation) {
            punctuation = true;
        } else if (star_after && !underscores) {
            underscores = true;
        } else {
            break;
        }
    }
    span_tried_ = true;
    return false;
}

// Whether what `span_kept_bracketed` wrote from `mark` on reads back alone
// as the span; with `exact`, with no element form written inside (see
// there).
bool Renderer::bracketed_reads_back(const Span& n, std::size_t mark, std::size_t notes_mark, bool exact) {
    static const Options options = Options::dataset();
    std::string text = in_cell_ ? "| " : "";
    text.append(std::string_view(out_).substr(mark));
    if (in_cell_) text.append(" |\n|-|\n");
    // The span as the reader should give it back, and what it gives back;
    // made again for a second comparison rather than copied, as a span may
    // hold a megabyte of text and each copy of its tree is several times
    // that.
    Inlines want;
    const auto wanted = [&](probe::ReadBack& as_written) {
        want = Inlines{Inline{n}};
        as_written.run(want);
    };
    probe::ReadBack as_written{notes_, footnote_labels_, notes_mark, {}};
    wanted(as_written);
    // (With the definitions of the notes written and of the footnotes
    // referred to, so that their references read back.)
    for (std::size_t k = notes_mark; k < notes_.size(); ++k) text += "\n\n[^" + notes_[k].first + "]: x\n";
    for (const std::string& label : as_written.refs) text += "\n\n[^" + label + "]: x\n";
    Document again;
    const auto read_back = [&]() -> Inlines* {
        again = Document{};
        again = block::parse_source(text, options);
        Inlines* back = nullptr;
        if (again.blocks.size() == 1) {
            if (auto* p = again.blocks.front().as<Paragraph>(); p && !in_cell_) {
                back = &p->content;
            } else if (auto* t = again.blocks.front().as<Table>(); t && in_cell_ && t->head.size() == 1 &&
                                                                     t->head.front().cells.size() == 1 &&
                                                                     t->body.empty()) {
                back = &t->head.front().cells.front().content;
            }
        }
        if (!back || back->size() != 1) return nullptr;
        // (Math reads back with its display flag as written.)
        static const std::unordered_map<std::string, std::string> no_labels;
        probe::ReadBack{notes_, no_labels, notes_.size(), {}}.run(*back);
        return back;
    };
    if (as_written.next != notes_.size()) return false;
    Inlines* back = read_back();
    if (!back) return false;
    if (exact) return *back == want;
    // (Element forms written inside read back as raw HTML around their
    // content, which is as good: compared as tags in both.)
    as_tags(*back, false);
    as_tags(want, false);
    if (*back == want) return true;
    if (!(back = read_back())) return false;
    probe::ReadBack again_as_written{notes_, footnote_labels_, notes_mark, {}};
    wanted(again_as_written);
    as_tags(*back, true);
    as_tags(want, true);
    return *back == want;
}

// In a span's try with "_" runs (see `span_kept_bracketed`), an emphasis
// or strong is written between "_" runs where the runs flank its content as
// the reader pairs them: after white space, the line's start or
// punctuation other than a bare "_", before its attribute block or white
// space, the end or punctuation other than "_", around a content that
// neither starts nor ends with white space or a bare "_". The try reads
// back what it wrote: only the edges are looked at, so that nodes nested
// deep cost no more than their own runs.
bool Renderer::underscores_in_span_try(const Attr& attr, std::size_t cstart, std::size_t cend, char32_t p,
                                       bool p_escaped, char32_t next) const {
    using probe::flank_punct;
    using probe::flank_space;
    if ((p == '_' && !p_escaped) || (!flank_space(p) && !flank_punct(p))) return false;
    if (!markdown::writes_attrs(attr, true) && (next == '_' || (!flank_space(next) && !flank_punct(next))))
        return false;
    const char32_t f = text::decode_utf8(out_, cstart).cp;
    const char32_t l = text::decode_utf8_before(out_, cend).cp;
    if (flank_space(f) || flank_space(l) || f == '_') return false;
    if (l != '_') return true;
    std::size_t slashes = 0;
    while (cend - 1 - slashes > cstart && out_[cend - 2 - slashes] == '\\') ++slashes;
    return slashes % 2 == 1;
}

// Where a span is tried with its addresses bare, a letter, digit, "&",
// non-ASCII or escaped character of text written just before an address,
// after which the reader would not find it, is rewritten as its numeric
// reference ("&ap;www.a" read as "≈" and the address, "&lt;www.a" as "<"
// and the address): the reader finds one after its ";". Not where the
// character ends an address written before (the try reads back what it
// wrote).
bool Renderer::reference_before_www() {
    if (out_.empty() || (!www_kept_->empty() && www_kept_->back() == out_.size())) return false;
    const text::Decoded d = text::decode_utf8_before(out_, out_.size());
    const char32_t c = d.cp;
    const bool plain = c >= 0x80 || c == '&' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                       (c >= 'A' && c <= 'Z');
    std::size_t at = out_.size() - d.len, slashes = 0;
    while (at > slashes && out_[at - slashes - 1] == '\\') ++slashes;
    // (Escaped punctuation goes with its backslash.)
    if (slashes % 2 == 1 && c < 0x80) {
        --at;
    } else if (!plain || c == 0xFFFD || slashes % 2 == 1) {
        return false;
    }
    out_.resize(at);
    out_.append("&#");
    out_.append(std::to_string(static_cast<std::uint32_t>(c)));
    out_.push_back(';');
    return true;
}

namespace {

// The named reference for the ASCII punctuation at `at` in `out`, right
// after an address written bare, that the reader takes into the address,
// and how many bytes it stands for: escaped, any but what the try takes
// the backslash from ("www.a\_"), and a "*" before what ends the
// address, which taken from it could close an emphasis around the address
// ("*\* www.a\* *"); as it is, what the reader never trims ("http://a>("),
// an "&" that begins nothing read as a reference, or a numeric reference,
// which the reader trims none of ("&#91;").
std::optional<std::pair<std::size_t, std::string_view>> punctuation_name(std::string_view out, std::size_t at) {
    const auto alnum = [](char x) { return (x >= 'a' && x <= 'z') || (x >= 'A' && x <= 'Z') || (x >= '0' && x <= '9'); };
    const char c = out[at];
    const char e = at + 1 < out.size() ? out[at + 1] : '\0';
    std::optional<std::string_view> name;
    std::size_t len = 1;
    if (c == '\\' && e > ' ' && e < 0x7F && !alnum(e)) {
        if (std::strchr("!\"',.:?~<", e) != nullptr) return std::nullopt;
        // (A "*" only where the address ends right after it: its reference
        // is trimmed only last.)
        if (e == '*' && (at + 2 == out.size() || (out[at + 2] != '<' &&
                                                  !text::is_white_space(text::decode_utf8(out, at + 2).cp))))
            return std::nullopt;
        name = entity::name_for(out.substr(at + 1, 1));
        len = 2;
    } else if (c == '&') {
        std::size_t k = at + 1;
        const bool hash = k < out.size() && out[k] == '#';
        const bool hex = hash && k + 1 < out.size() && (out[k + 1] | 0x20) == 'x';
        k += hash + hex;
        const std::size_t first = k;
        char32_t cp = 0;
        bool digits = hash;
        for (; k < out.size() && alnum(out[k]); ++k) {
            const char h = static_cast<char>(out[k] | 0x20);
            const bool digit = h <= '9' || (hex && h >= 'a' && h <= 'f');
            digits = digits && digit;
            if (digit && cp < 0x110000) cp = hex ? cp * 16 + (h <= '9' ? h - '0' : h - 'a' + 10) : cp * 10 + (h - '0');
        }
        if (k == first || k == out.size() || out[k] != ';') {
            name = entity::name_for("&");
        } else if (digits && cp > 0 && cp < 0x110000) {
            std::string chars;
            text::append_utf8(chars, cp);
            name = entity::name_for(chars);
            len = k + 1 - at;
        }
    } else if (c != '\0' && std::strchr("#$%(+/=>@^_`{|}", c) != nullptr) {
        name = entity::name_for(out.substr(at, 1));
    }
    if (!name) return std::nullopt;
    return std::pair{len, *name};
}

}  // namespace

// A character of no ASCII, not white space, written right after an address
// written bare, is one the reader takes into the address ("www.a©"): it is
// written as its named reference, which the reader trims from the end of
// an address and reads back as the character ("[www.a&copy;<]{-=}"), where
// one stands for it. With `punctuation`, so is ASCII punctuation the
// reader takes into it ("[http://a>&lpar; ]{<=}", see `punctuation_name`);
// without, whether there is any is told. The try reads back what it wrote.
// One pass over what the span wrote (from `from`), the ends moved with it.
bool Renderer::names_after_www(std::vector<std::size_t>& ends, std::size_t from, bool punctuation) {
    std::string rewritten;
    std::size_t copied = from;
    bool taken = false;
    for (std::size_t& end : ends) {
        if (end < copied || end > out_.size()) continue;
        std::optional<std::string_view> name;
        std::size_t len = 0;
        if (end == out_.size()) {
            // (Moved with the rest.)
        } else if (static_cast<unsigned char>(out_[end]) >= 0x80) {
            const text::Decoded d = text::decode_utf8(out_, end);
            len = d.len;
            if (!text::is_white_space(d.cp)) name = entity::name_for(std::string_view(out_).substr(end, d.len));
        } else if (auto named = punctuation_name(out_, end)) {
            taken = true;
            if (punctuation) std::tie(len, name) = *named;
        }
        if (!name) {
            if (!rewritten.empty()) {
                rewritten.append(out_, copied, end - copied);
                copied = end;
                end = from + rewritten.size();
            }
            continue;
        }
        rewritten.append(out_, copied, end - copied);
        copied = end + len;
        end = from + rewritten.size();
        rewritten.push_back('&');
        rewritten.append(*name);
        rewritten.push_back(';');
    }
    if (rewritten.empty()) return taken;
    rewritten.append(out_, copied);
    out_.resize(from);
    out_.append(rewritten);
    return taken;
}

// Text after an address written bare, up to what ends the address for the
// reader (white space, a "<"), is written as it is where it is escaped
// punctuation the reader trims from an address ("*", "~", ".") or that
// "<": escaped, its backslash would be read as part of the address. The
// reader ends the address there and trims what it may, and the try reads
// back what it wrote. Each stretch between such backslashes moves once, and
// no byte is looked at for two addresses (each begins after white space or
// a "[", where the look stops, or after the stretch of the one before), so
// that many addresses stay linear.
bool Renderer::unescape_after_www(const std::vector<std::size_t>& ends) {
    std::vector<std::size_t> slashes;
    std::size_t last = 0;
    bool star = false;
    // To the first backslash, bracket or "<", or white space (any the
    // reader ends an address at).
    auto skip = [&](std::size_t k) {
        while (k < out_.size() && std::strchr(" \t\n\r\\<[]", out_[k]) == nullptr) {
            if (static_cast<unsigned char>(out_[k]) < 0x80) {
                if (out_[k] == '\f' || out_[k] == '\v') break;
                ++k;
                continue;
            }
            const text::Decoded d = text::decode_utf8(out_, k);
            if (text::is_white_space(d.cp)) break;
            k += d.len;
        }
        return k;
    };
    for (const std::size_t end : ends) {
        // (Text a try inside wrote and took back may have left ends behind,
        // and one at a backslash already taken, which would be taken twice.)
        if (end < last || end > out_.size() || (!slashes.empty() && end <= slashes.back())) continue;
        const std::size_t first = slashes.size();
        std::size_t k = skip(end);
        while (k + 1 < out_.size() && out_[k] == '\\' && std::strchr("!\"'*,.:?~", out_[k + 1]) != nullptr) {
            star = star || out_[k + 1] == '*';
            slashes.push_back(k);
            k = skip(k + 2);
        }
        last = k;
        if (k + 1 < out_.size() && out_[k] == '\\' && out_[k + 1] == '<') {
            slashes.push_back(k);
        } else if (k == out_.size() || std::strchr("\\[]", out_[k]) != nullptr) {
            // Nothing here ends the address (the span's "]" does not): the
            // backslashes stay.
            slashes.resize(first);
        }
    }
    if (slashes.empty()) return star;
    std::size_t to = slashes.front();
    for (std::size_t i = 0; i < slashes.size(); ++i) {
        const std::size_t from = slashes[i] + 1, until = i + 1 < slashes.size() ? slashes[i + 1] : out_.size();
        std::memmove(out_.data() + to, out_.data() + from, until - from);
        to += until - from;
    }
    out_.resize(to);
    return star;
}

}  // namespace tavrel::write_md
