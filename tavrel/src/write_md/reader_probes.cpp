// The writer's questions to the reader (see reader_probes.hpp), kept apart
// from the writer's one pass so that the switch over nodes and the rules it
// consults read separately. Each answer here must follow the reader: a
// change to how the reader takes a line is a change to the probe asking
// about it.
#include "reader_probes.hpp"

#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "canon.hpp"
#include "tavrel/autolink.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md::probe {

using namespace tavrel::ast;

bool angled_autolink(const Autolink& link) {
    std::string_view t = link.text;
    if (t.size() > 1023) return false;
    // An address in angle brackets reads back as itself after "mailto:".
    if (link.email && link.url.size() == t.size() + 7 && link.url.starts_with("mailto:") && link.url.ends_with(t))
        return autolink::is_email(t);
    if (link.url != t) return false;
    std::size_t colon = t.find(':');
    if (colon == std::string_view::npos || colon < 2 || colon > 32) return false;
    for (std::size_t i = 0; i < colon; ++i) {
        char c = t[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!(letter || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '.' || c == '-')))) return false;
    }
    for (std::size_t i = colon + 1; i < t.size();) {
        text::Decoded d = text::decode_utf8(t, i);
        if (d.cp < 0x20 || d.cp == 0x7F || d.cp == '<' || d.cp == '>' || text::is_white_space(d.cp)) return false;
        i += d.len;
    }
    return true;
}

namespace {

// An address the reader finds in text by its scheme ("http://",
// "https://", "ftp://", and "xmpp:" in any case before an e-mail address),
// its own text.
[[gnu::noinline, gnu::cold]] bool bare_scheme_address(const Autolink& link) {
    const std::string_view t = link.text;
    const auto ci = [&](std::string_view scheme) {
        if (t.size() < scheme.size()) return false;
        for (std::size_t i = 0; i < scheme.size(); ++i)
            if ((t[i] | 0x20) != scheme[i]) return false;
        return true;
    };
    return link.url == t && (t.starts_with("http://") || t.starts_with("https://") || t.starts_with("ftp://") ||
                             (ci("xmpp:") && autolink::bare_email_prefix(autolink::bounded_autolink_word(t, 5))));
}

}  // namespace

bool bare_www_fits(const Autolink& link, bool kept) {
    std::string_view t = link.text;
    if (link.email) return false;
    if ((!t.starts_with("www.") || link.url.size() != t.size() + 7 || !link.url.starts_with("http://") ||
         !link.url.ends_with(t)) &&
        (!kept || !bare_scheme_address(link)))
        return false;
    for (std::size_t i = 0; i < t.size();) {
        const char c = t[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
                  c == '/';
        if (!ok && kept) {
            const text::Decoded d = text::decode_utf8(t, i);
            ok = d.cp != '<' && d.cp >= 0x20 && !text::is_white_space(d.cp);
            i += d.len;
            if (!ok) return false;
            continue;
        }
        if (!ok) return false;
        ++i;
    }
    return autolink::trim_bare_url_end(t, 0, t.size()) == t.size();
}

bool script_escaped_text_fits(std::string_view text, char marker) {
    if (text.empty() || (marker == '^' && text.front() == '[')) return false;
    // A "~" first or last would stand beside a marker, which the reader
    // then takes as half of a strikeout run: no subscript opens or ends.
    if (marker == '~' && (text.front() == '~' || text.back() == '~')) return false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size();) {
        text::Decoded d = text::decode_utf8(text, i);
        if (d.cp == '\n' || d.cp == '\r') return false;
        if (escaped) {
            escaped = false;
        } else if (d.cp == '\\') {
            escaped = true;
        } else if (d.cp == static_cast<unsigned char>(marker)) {
            // A "~" beside another (escaped or not) is content to the
            // reader's end search, as a run of them is a strikeout's.
            if (marker != '~' || (text[i - 1] != '~' && text[i + 1] != '~')) return false;
        } else if (text::is_white_space(d.cp)) {
            return false;
        }
        i += d.len;
    }
    return !escaped;
}

[[gnu::cold]] bool subscript_first_loses_key(const std::string& out, std::size_t start, const Inlines& content,
                                             const Attr& strikeout) {
    if (out.compare(start, 4, "<sub") != 0) return false;
    auto loses = [](const Attr& attr) {
        return std::any_of(attr.pairs.begin(), attr.pairs.end(),
                           [](const auto& kv) { return !canon::html_attr_name(kv.first); });
    };
    for (const auto& n : content) {
        if (n.as<HardBreak>() || n.as<SoftBreak>()) continue;
        const auto* sub = n.as<Subscript>();
        return sub && loses(sub->attr) && !loses(strikeout);
    }
    return false;
}

bool valid_reference_label(std::string_view label) {
    if (label.empty()) return false;
    for (std::size_t i = 0; i < label.size();) {
        text::Decoded d = text::decode_utf8(label, i);
        if (text::is_white_space(d.cp) || d.cp == '[' || d.cp == ']') return false;
        i += d.len;
    }
    return true;
}

bool closer_found_at_end(std::string_view tex, std::string_view closer) {
    bool escaped = false;
    for (std::size_t i = 0; i < tex.size(); ++i) {
        if (escaped) {
            escaped = false;
            continue;
        }
        if (tex.substr(i).starts_with(closer) || closer.starts_with(tex.substr(i))) return false;
        if (tex[i] == '\\') escaped = true;
    }
    return !escaped;
}

bool has_closing_line(std::string_view text, std::string_view closer) {
    bool found = false;
    for_each_line(text, [&](std::string_view line) { found = found || text::trim(line) == closer; });
    return found;
}

bool readable_raw_format(std::string_view format) {
    if (format.empty()) return false;
    for (char c : format) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) {
            return false;
        }
    }
    return true;
}

bool readable_block_format(std::string_view format) {
    if (format.empty()) return false;
    for (char c : format) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

std::size_t past_white_space_in_line(std::string_view s, std::size_t pos) {
    while (pos < s.size()) {
        const text::Decoded d = text::decode_utf8(s, pos);
        if (d.cp == '\n' || !text::is_white_space(d.cp)) break;
        pos += d.len;
    }
    return pos;
}

namespace {

// The most item markers the reader takes on a line (each opens a list and
// an item, and nesting stops at its depth); those after them are the
// innermost item's text.
const std::size_t markers_read_on_a_line = Options{}.max_block_depth / 2;

// As `item_markers_length`, taking no more than `limit` markers; `taken`
// is told how many it took.
std::size_t markers_length(std::string_view line, bool after_marker, std::size_t limit, std::size_t& taken) {
    std::size_t pos = 0, level = 0;
    for (; level < limit; ++level) {
        std::size_t i = pos;
        if ((level > 0 || after_marker) && i < line.size() && (line[i] == '-' || line[i] == '*' || line[i] == '+')) {
            ++i;
        } else {
            while (i < line.size() && i - pos < 9 && line[i] >= '0' && line[i] <= '9') ++i;
            if (i == pos || i >= line.size() || line[i] != '.') break;
            ++i;
        }
        if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\f') break;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        pos = i;
    }
    taken = level;
    return pos > 0 ? past_white_space_in_line(line, pos) : pos;
}

}  // namespace

std::size_t item_markers_length(std::string_view line, bool after_marker) {
    std::size_t taken = 0;
    return markers_length(line, after_marker, markers_read_on_a_line, taken);
}

bool opens_footnote_definition(std::string_view line) {
    line = text::trim(line);
    line.remove_prefix(item_markers_length(line));
    if (!line.starts_with("[^")) return false;
    std::size_t close = line.find("]:", 2);
    if (close == std::string_view::npos || close == 2) return false;
    for (std::size_t i = 2; i < close;) {
        text::Decoded d = text::decode_utf8(line, i);
        if (text::is_white_space(d.cp)) return false;
        i += d.len;
    }
    return true;
}

std::size_t add_colon_lines(std::string_view text, ColonLines& lengths) {
    std::size_t lines = 0;
    for_each_line(text, [&](std::string_view line) {
        ++lines;
        std::string_view t = text::trim(line);
        while (!t.empty()) {
            if (t[0] == '>') {
                t = text::trim_start(t.substr(1));
                continue;
            }
            const std::size_t markers = item_markers_length(t);
            if (markers > 0) {
                t = t.substr(markers);
                continue;
            }
            if ((t[0] == '-' || t[0] == '*' || t[0] == '+') && t.size() > 1 && (t[1] == ' ' || t[1] == '\t')) {
                t = text::trim_start(t.substr(1));
                continue;
            }
            break;
        }
        if (t.size() >= 3 && t.find_first_not_of(':') == std::string_view::npos) lengths.add(t.size(), t.size());
    });
    return lines;
}

bool reads_as_one_div(std::string_view inner) {
    std::string probe = ":::\n";
    probe.append(inner);
    probe.append(":::\n");
    static const Options options = Options::dataset();
    const auto outline = block::outline_blocks(probe, options);
    return outline.blocks.size() == 1 && outline.blocks.front().kind == "div";
}

void ReadBack::run(Inlines& inlines) {
    for (auto& node : inlines) {
        if (node.is<Note>()) {
            if (next < notes.size()) node = FootnoteRef{notes[next++].first};
            continue;
        }
        visit(
            [&](auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<T, Math>) {
                    n.display = false;
                } else if constexpr (std::is_same_v<T, FootnoteRef>) {
                    if (const auto [it, end] = labels.equal_range(n.label); it != end) {
                        n.label = it->second;
                        refs.push_back(it->second);
                    }
                } else if constexpr (std::is_same_v<T, Image>) {
                    run(n.alt);
                } else if constexpr (requires { n.content; }) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>) run(n.content);
                }
            },
            node);
    }
}

bool holds_link(const Inlines& run, bool first_bare, bool www_kept) {
    // Whether the node at `i` sits between white space (or opens the run
    // after an opener that lets a "www." address be found).
    // Where addresses are kept bare, what follows may end the address as
    // well (a ")" the reader trims from it, a "<"): the caller reads back
    // what it wrote.
    auto spaced = [&](std::size_t i) {
        bool before = i == 0 ? first_bare : [&] {
            const auto* t = run[i - 1].as<Text>();
            // Where addresses are kept bare, after a line end or a node
            // (a script's "~", an emphasis's "*") as well: the caller
            // writes one bare only after a character the reader finds one
            // after, and reads back what it wrote.
            if (!t) return www_kept;
            if (t->text.empty()) return false;
            // Where addresses are kept bare, the reader finds one after any
            // character it looks for one after ("[[www.a ]]", "*www.a"):
            // written escaped or not, the text ends in that character; the
            // caller writes any other as its reference, which ends in ";".
            if (www_kept) return true;
            return t->text.back() == ' ' || t->text.back() == '\t';
        }();
        if (!before) return false;
        if (www_kept) return true;
        if (i + 1 == run.size()) return false;
        if (run[i + 1].as<SoftBreak>()) return true;
        const auto* t = run[i + 1].as<Text>();
        return t && !t->text.empty() && (t->text.front() == ' ' || t->text.front() == '\t');
    };
    for (std::size_t i = 0; i < run.size(); ++i) {
        const auto& node = run[i];
        bool found = visit(
            [&](const auto& n) -> bool {
                using T = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<T, Link>) {
                    return true;
                } else if constexpr (std::is_same_v<T, Autolink>) {
                    // Written as a link unless in angle brackets or bare.
                    return !angled_autolink(n) && !(bare_www_fits(n, www_kept) && spaced(i));
                } else if constexpr (std::is_same_v<T, Span>) {
                    // Where addresses are kept bare, the span's own "[" lets
                    // one be found right after it.
                    return holds_link(n.content, www_kept, www_kept);
                } else if constexpr (std::is_same_v<T, Emph> || std::is_same_v<T, Strong> ||
                                     std::is_same_v<T, Strikeout> || std::is_same_v<T, Highlight>) {
                    // Where addresses are kept bare, one may open the content
                    // after a "*" or "~" run, which the reader finds one after.
                    return holds_link(n.content, www_kept, www_kept);
                } else if constexpr (std::is_same_v<T, Image>) {
                    // A link in an image's description counts too.
                    return holds_link(n.alt, false, www_kept);
                } else {
                    return false;
                }
            },
            node);
        if (found) return true;
    }
    return false;
}

namespace {

// See `cross_reference`; with `any_prefix`, a prefix without white space
// at its ends is taken whatever it holds, its lines too (see
// `prefix_lines_joined`): the caller reads back what it wrote.
std::optional<std::string> cross_reference_list(const Span& span, char32_t after, bool any_prefix) {
    const auto& pairs = span.attr.pairs;
    if (pairs.empty() || pairs.front().first != "data-refs" || span.content.empty()) return std::nullopt;
    for (const auto& kv : pairs) {
        if (kv.first == "ref") return std::nullopt;
    }
    // Each link: a key the reader takes ("#" and a letter or digit, then
    // those, "_" and "-"), its "data-ref" pair alone, and as content nothing
    // or (one link alone) a prefix, which the reader keeps as written: one
    // line without white space at its ends and without what would end the
    // list's bracket or its item, or start a construct reaching past it.
    std::vector<const Link*> links;
    for (const auto& node : span.content) {
        const auto* link = node.as<Link>();
        if (link == nullptr || link->title || link->attr.id || !link->attr.classes.empty() ||
            link->attr.pairs.size() != 1 || link->attr.pairs.front().first != "data-ref" || link->url.size() < 2 ||
            link->url[0] != '#')
            return std::nullopt;
        const auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); };
        if (!alnum(link->url[1])) return std::nullopt;
        for (char c : std::string_view(link->url).substr(2)) {
            if (!alnum(c) && c != '_' && c != '-') return std::nullopt;
        }
        if (!link->content.empty()) {
            const auto* prefix = link->content.front().as<Text>();
            if (span.content.size() != 1 || link->content.size() != 1 || prefix == nullptr || prefix->text.empty() ||
                text::trim(prefix->text).size() != prefix->text.size() ||
                prefix->text.find_first_of(any_prefix ? "\r" : "@;[]\\`<$^!{}\n\r") != std::string::npos)
                return std::nullopt;
        }
        links.push_back(link);
    }
    // One "ref" value for every link: a link written "@key" has it as its
    // "data-ref" value, one written "-@key" has "bare" and it.
    const auto bare_with = [](std::string_view ref) { return ref.empty() ? std::string("bare") : "bare " + std::string(ref); };
    const auto fits = [&](std::string_view ref) {
        for (const Link* link : links) {
            const std::string& value = link->attr.pairs.front().second;
            if (value != ref && value != bare_with(ref)) return false;
        }
        return true;
    };
    const std::string& first = links.front()->attr.pairs.front().second;
    std::optional<std::string> ref;
    for (std::string candidate : {std::string(), first.starts_with("bare ") ? first.substr(5) : std::string(), first}) {
        if (fits(candidate)) {
            ref = std::move(candidate);
            break;
        }
    }
    if (!ref || ref->find_first_of("\n\r") != std::string::npos) return std::nullopt;
    std::string out;
    for (const Link* link : links) {
        if (!out.empty()) out.append("; ");
        if (!link->content.empty()) {
            out.append(link->content.front().as<Text>()->text);
            out.push_back(' ');
        }
        // "@key" first: a value that fits both ways ("bare" without a
        // "ref") reads back from either.
        if (link->attr.pairs.front().second != *ref) out.push_back('-');
        out.push_back('@');
        out.append(link->url, 1);
    }
    out.push_back(']');
    // The list gives its span an empty "data-refs" pair first.
    Attr written = span.attr;
    if (written.pairs.front().second.empty()) written.pairs.erase(written.pairs.begin());
    if (!ref->empty()) written.pairs.emplace_back("ref", std::move(*ref));
    if (!markdown::writes_attrs(written) && (after == '(' || after == ':')) written.pairs.emplace_back("data-refs", "");
    if (markdown::writes_attrs(written)) {
        out.push_back('{');
        out.append(markdown::attrs_body(written));
        out.push_back('}');
    }
    return out;
}

// A span whose element form would lose a key no tag can hold, as a list
// with a prefix the reader may take otherwise ("[< @a]{-=}"), of several
// lines too: where the list reads back alone as the span.
[[gnu::cold, gnu::noinline]] std::optional<std::string> cross_reference_read_back(const Span& span, char32_t after) {
    const auto& pairs = span.attr.pairs;
    if (std::all_of(pairs.begin(), pairs.end(), [](const auto& kv) { return canon::html_attr_name(kv.first); }))
        return std::nullopt;
    auto list = cross_reference_list(span, after, true);
    if (!list) {
        if (auto joined = prefix_lines_joined(span)) [[unlikely]]
            list = cross_reference_list(*joined, after, true);
    }
    if (!list) return list;
    static const Options options = Options::dataset();
    const Document again = block::parse_source("[" + *list, options);
    const auto* p = again.blocks.size() == 1 ? again.blocks.front().as<Paragraph>() : nullptr;
    if (p && p->content.size() == 1 && ast::debug_string(p->content) == ast::debug_string(Inlines{Inline{span}}))
        return list;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> cross_reference(const Span& span, char32_t after) {
    auto list = cross_reference_list(span, after, false);
    if (!list && span.attr.pairs.size() > 1) [[unlikely]]
        return cross_reference_read_back(span, after);
    return list;
}

std::size_t blocks_read(const std::string& probe) {
    static const Options options = Options::dataset();
    return block::outline_blocks(probe, options).blocks.size();
}

bool ends_in_white_space(std::string_view line) {
    if (line.empty()) return false;
    const auto b = static_cast<unsigned char>(line.back());
    if (b < 0x80) return b == ' ' || (b >= '\t' && b <= '\r');
    return text::trim_end(line).size() != line.size();
}

bool opens_html_block(std::string_view html) {
    if (html.size() < 2 || html[0] != '<') return false;
    std::string probe = "x\n";
    probe.append(html);
    probe.push_back('\n');
    return blocks_read(probe) > 1;
}

bool starts_paragraph(std::string_view text) {
    if (text.empty()) return false;
    // Only these starts can stand bare at a paragraph's start and open
    // something else; the reader is asked about those alone. What a tag
    // opens is settled by the tag: the probe ends with it.
    const char c = text[0];
    if (!(c == '<' || c == '!' || c == ':' || c == '`' || c == '{' || (c >= '0' && c <= '9'))) return true;
    std::string_view line = text.substr(0, text.find('\n'));
    if ((c == '{' && !line.starts_with("{:")) || (c >= '0' && c <= '9' && item_markers_length(line) == 0)) return true;
    if (c == '<') {
        std::size_t gt = line.find('>');
        if (gt != std::string_view::npos) line = line.substr(0, gt + 1);
    }
    std::string probe(line);
    probe.push_back('\n');
    static const Options options = Options::dataset();
    return paragraph_first(block::outline_blocks(probe, options));
}

bool reads_as_paragraph_first(std::string_view text) {
    static const Options options = Options::dataset();
    return paragraph_first(block::outline_blocks(text, options));
}

ItemLine item_line_kind(std::string_view line) {
    // Past the item numbers and the bullets on the line ("1. - x").
    std::size_t markers = 0;
    bool spacing = false;
    std::size_t budget = markers_read_on_a_line;
    for (;;) {
        std::size_t taken = 0;
        std::size_t n = markers_length(line.substr(markers), false, budget, taken);
        budget -= taken;
        if (n == 0 && budget > 0 && markers < line.size() &&
            std::string_view("-*+").find(line[markers]) != std::string_view::npos &&
            (markers + 1 == line.size() || line[markers + 1] == ' ' || line[markers + 1] == '\t')) {
            --budget;
            n = 1;
            while (markers + n < line.size() && (line[markers + n] == ' ' || line[markers + n] == '\t')) ++n;
        }
        if (n == 0) break;
        std::size_t spaces = 0;
        while (spaces < n && (line[markers + n - 1 - spaces] == ' ' || line[markers + n - 1 - spaces] == '\t'))
            ++spaces;
        spacing = spacing || spaces >= 5 || line.substr(markers, n).find('\t') != std::string_view::npos;
        markers += n;
    }
    const std::string_view content = line.substr(markers);
    // (A thematic break there is written as that same text.)
    if ((block::starts_block(content) && content != "---") || opens_footnote_definition(content))
        return ItemLine::Opens;
    // A tag no paragraph line ends at may open raw HTML at an item's start
    // all the same ("<v->", a custom element's).
    if (content.starts_with('<') && !starts_paragraph(content)) return ItemLine::Opens;
    for (std::string_view open : {"\\-", "\\{", "\\:"}) {
        if (content.starts_with(open)) return ItemLine::Opens;
    }
    // Nor is an item number's escape after another number ("2. 1\. x"),
    // which paragraph text never has there: the reader keeps the list.
    if (const std::size_t digits = content.find_first_not_of("0123456789");
        digits > 0 && digits != std::string_view::npos && content.substr(digits).starts_with("\\."))
        return ItemLine::Opens;
    // "$$" and "\[" open a math block only as the whole line: inline math
    // written between them is text.
    const std::string_view trimmed = text::trim_end(content);
    if (trimmed == "$$" || trimmed == "\\[") return ItemLine::Opens;
    // A task box: "[ ]", "[x]" or "[X]" alone or before a space.
    if (content.size() >= 3 && content[0] == '[' && content[2] == ']' &&
        (content[1] == ' ' || content[1] == 'x' || content[1] == 'X') && (content.size() == 3 || content[3] == ' '))
        return ItemLine::Opens;
    return spacing ? ItemLine::Spacing : ItemLine::Text;
}

bool item_lines_read_as_text(std::string_view text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return true;
    if (item_markers_length(text.substr(0, text.find('\n'))) == 0) return true;
    // The lines of items turned back into text lose the white space ending
    // them, which raw HTML or code going on over the line end holds.
    // (Any white space: a form feed, a no-break space too.)
    for (std::size_t at = 0, nl = text.find('\n'); nl != std::string_view::npos; at = nl + 1, nl = text.find('\n', at)) {
        if (ends_in_white_space(text.substr(at, nl - at))) return false;
    }
    // A lone line whose items' text opens a block reads back as text alone,
    // but a paragraph numbered on after it ("1. :::", then "2.") keeps both
    // lists, which are written otherwise: such a line is never left to the
    // reader. Other lone lines are text, unless spaced otherwise than the
    // writer spaces items: the reader is asked. (Later lines going on lazily,
    // or such spacing, keep the list out of the numbering.)
    if (text.find('\n') == std::string_view::npos) {
        const ItemLine kind = item_line_kind(text);
        if (kind != ItemLine::Spacing) return kind == ItemLine::Text;
    }
    static const Options options = Options::dataset();
    const block::DocumentOutline outline = block::outline_blocks(text, options);
    // A later line read as an item's may open a footnote definition there,
    // which the text turned back from the items no longer holds.
    if (outline.blocks.size() != 1 || !paragraph_first(outline) || outline.footnotes != 0) return false;
    if (text.find('<') == std::string_view::npos) return true;
    // Raw HTML that the item leaves open would take the blank line after
    // the paragraph, and a list numbered on from it ("1." after "1. <div>")
    // would be one more item: with such a list after it, the text must still
    // read as a block of its own.
    std::string probe(text);
    probe.append("\n\n");
    probe.append(text.substr(0, text.find('.')));
    probe.append(".\n");
    return block::outline_blocks(probe, options).blocks.size() == 2;
}

std::size_t last_item_dot(std::string_view line) {
    std::size_t pos = 0, dot = std::string_view::npos;
    for (std::size_t level = 0; level < markers_read_on_a_line; ++level) {
        std::size_t i = pos;
        while (i < line.size() && i - pos < 9 && line[i] >= '0' && line[i] <= '9') ++i;
        if (i == pos || i >= line.size() || line[i] != '.') break;
        if (i + 1 < line.size() && !is_marker_space(line[i + 1])) break;
        dot = i++;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        pos = i;
    }
    return dot;
}

bool unwritten_item_number(std::string_view line) {
    std::size_t pos = 0;
    // After the markers, text the writer escapes at an item's start (":x",
    // "{: x") comes only from a paragraph; a div's fence is the writer's.
    const auto unwritten_text = [&](std::size_t at) {
        const std::string_view rest = text::trim_end(line.substr(at));
        if (rest.starts_with("{:")) return true;
        return rest.starts_with(':') && rest != ":::" && !rest.starts_with("::: {");
    };
    for (std::size_t level = 0; level < markers_read_on_a_line; ++level) {
        std::size_t i = pos;
        bool number = false;
        if (i < line.size() && (line[i] == '-' || line[i] == '*' || line[i] == '+')) {
            ++i;
        } else {
            while (i < line.size() && i - pos < 9 && line[i] >= '0' && line[i] <= '9') ++i;
            if (i == pos || i >= line.size() || line[i] != '.') return level > 0 && unwritten_text(pos);
            number = true;
            ++i;
        }
        // A number with a leading zero is never the writer's, also where
        // it ends the line.
        const bool zero_led = number && i - 1 - pos > 1 && line[pos] == '0';
        if (i == line.size()) return zero_led;
        if (!is_marker_space(line[i])) return false;
        if (zero_led) return true;
        const bool spaced =
            line[i] == ' ' && (i + 1 == line.size() || !text::is_white_space(text::decode_utf8(line, i + 1).cp));
        // (White space alone after the marker is cut from the line.)
        if (number && !spaced) return past_white_space_in_line(line, i) != line.size();
        if (!spaced) return false;
        pos = i + 1;
    }
    return false;
}

bool zero_led_number(std::string_view chain) {
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
        if (chain[i] == '0' && (i == 0 || chain[i - 1] < '0' || chain[i - 1] > '9') && chain[i + 1] >= '0' &&
            chain[i + 1] <= '9')
            return true;
    }
    return false;
}

bool interrupts_paragraph_at(std::string_view line) {
    std::string probe = "x\n";
    probe.append(line);
    probe.push_back('\n');
    static const Options options = Options::dataset();
    ast::Document doc = block::parse_source(probe, options);
    if (doc.blocks.size() != 1) return true;
    const auto* p = doc.blocks.front().as<Paragraph>();
    return !p || !p->attr.empty();  // an attribute line is no line of the text
}

bool html_left_open(std::string_view html) {
    std::string probe(html);
    if (probe.empty() || probe.back() != '\n') probe.push_back('\n');
    probe.append("\nx\n");
    return blocks_read(probe) < 2;
}

std::optional<ContainerOpener> as_container_opener(std::string_view html) {
    // Past the white space the block is written without (see `block`).
    const std::size_t start = past_white_space_in_line(html, 0);
    if (start == html.size() || start != html_indent(html)) return std::nullopt;
    html.remove_prefix(start);
    if (html.ends_with('\n')) html.remove_suffix(1);
    if (html.size() < 3 || html.back() != '>' || html.find('\n') != std::string_view::npos) return std::nullopt;
    // The attribute goes before any white space ahead of the ">", which the
    // reader keeps in the container's tag ("<div >").
    const std::string_view before = text::trim_end(html.substr(0, html.size() - 1));
    std::string tag(before);
    tag.append(" markdown=\"1\"");
    tag.append(html.substr(before.size()));
    auto opener = block::markdown_open_tag(tag);
    if (!opener || opener->open_tag != html) return std::nullopt;
    // A tag the reader ends at the blank line after it (an attribute's
    // quote left open) takes nothing into itself: it is written bare, and
    // a closing tag later goes on with the lines after it, as it was read.
    // One that reads as no raw HTML at all ("<i- ]>", whose attribute only
    // the container's tag takes) is the container's tag even so, and so is
    // one that is a container's tag itself.
    bool keep = block::markdown_open_tag(html).has_value();
    if (!keep) {
        std::string probe(html);
        probe.append("\n\nx\n");
        static const Options options = Options::dataset();
        const auto outline = block::outline_blocks(probe, options);
        keep = paragraph_first(outline);
        if (outline.blocks.size() >= 2 && !keep) return std::nullopt;
    }
    return ContainerOpener{std::move(tag), keep};
}

bool writes_nothing(const Block& block) {
    if (const auto* p = block.as<Paragraph>()) return p->content.empty() || blank_paragraph(block);
    if (const auto* l = block.as<List>()) return l->items.empty();
    if (const auto* q = block.as<BlockQuote>()) {
        return !markdown::writes_line_attrs(q->attr) &&
               std::all_of(q->blocks.begin(), q->blocks.end(), writes_nothing);
    }
    if (const auto* dl = block.as<DefinitionList>()) [[unlikely]] {
        return std::all_of(dl->items.begin(), dl->items.end(), [](const DefinitionItem& item) {
            return item.definitions.empty() && std::all_of(item.terms.begin(), item.terms.end(), [](const DefinitionTerm& t) {
                       // (A text of more than white space shows; only a term
                       // without one is rebuilt to see.)
                       return std::none_of(t.content.begin(), t.content.end(),
                                           [](const Inline& n) {
                                               const auto* x = n.as<Text>();
                                               return x && !text::trim(x->text).empty();
                                           }) &&
                              canon::canonical(t.content, true).empty();
                   });
        });
    }
    return false;
}

bool may_leave_html_open(const Block& block) {
    if (const auto* l = block.as<List>()) {
        if (l->items.empty()) return false;
        for (const auto& b : l->items.back().blocks) {
            if (b.is<HtmlBlock>() || may_leave_html_open(b)) return true;
        }
        return false;
    }
    if (const auto* d = block.as<Div>()) {
        for (const auto& b : d->blocks) {
            if (b.is<HtmlBlock>() || may_leave_html_open(b)) return true;
        }
    }
    return false;
}

bool ends_in_html_left_open(const Blocks& blocks) {
    auto it = std::find_if(blocks.rbegin(), blocks.rend(), [](const Block& b) { return !writes_nothing(b); });
    if (it == blocks.rend()) return false;
    if (const auto* d = it->as<Div>()) return ends_in_html_left_open(d->blocks);
    const auto* h = it->as<HtmlBlock>();
    return h && html_left_open(h->html);
}

bool leaves_container_open(const Blocks& blocks) {
    std::vector<std::string> open;
    for (const Block& b : blocks) {
        const auto* h = b.as<HtmlBlock>();
        if (!h) continue;
        // (The reader takes the closing tag in any case.)
        std::string line(text::trim(h->html));
        for (char& c : line) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (!open.empty() && line == "</" + open.back() + ">") {
            open.pop_back();
        } else if (auto tag = as_container_opener(h->html)) {
            if (auto opener = block::markdown_open_tag(tag->tag)) open.push_back(opener->name);
        }
    }
    return !open.empty();
}

bool starts_with_item_one(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == '0') ++i;
    if (i + 1 >= text.size() || text[i] != '1' || text[i + 1] != '.') return false;
    return item_markers_length(text.substr(0, text.find('\n'))) != 0;
}

bool ends_in_open_html(const List& l) {
    if (l.items.empty()) return false;
    // Blocks that write nothing (an empty quote) leave the one before last.
    const Blocks& item = l.items.back().blocks;
    auto it = std::find_if(item.rbegin(), item.rend(), [](const Block& b) { return !writes_nothing(b); });
    if (it == item.rend()) return false;
    const Block& last = *it;
    if (const auto* inner = last.as<List>()) return ends_in_open_html(*inner);
    if (const auto* h = last.as<HtmlBlock>()) return html_left_open(h->html);
    return false;
}

bool item_opens_with_lines_block(const List& l) {
    return std::any_of(l.items.begin(), l.items.end(), [](const ListItem& item) {
        auto it = std::find_if(item.blocks.begin(), item.blocks.end(), [](const Block& b) { return !writes_nothing(b); });
        if (it == item.blocks.end()) return false;
        const auto* inner = it->as<List>();
        return it->is<DefinitionList>() || it->is<Div>() || (inner && item_opens_with_lines_block(*inner));
    });
}

const HtmlBlock* opener_ending(const List& l) {
    if (l.items.empty()) return nullptr;
    const Blocks& item = l.items.back().blocks;
    auto it = std::find_if(item.rbegin(), item.rend(), [](const Block& b) { return !writes_nothing(b); });
    if (it == item.rend()) return nullptr;
    if (const auto* inner = it->as<List>()) return opener_ending(*inner);
    const auto* h = it->as<HtmlBlock>();
    return h && html_left_open(h->html) && as_container_opener(h->html) ? h : nullptr;
}

bool opens_container_in_last_item(const List& l) {
    if (l.items.empty()) return false;
    // (A list ending the item ends it where its own last item ends.)
    const Blocks& item = l.items.back().blocks;
    auto last = std::find_if(item.rbegin(), item.rend(), [](const Block& b) { return !writes_nothing(b); });
    if (last != item.rend())
        if (const auto* inner = last->as<List>(); inner && opens_container_in_last_item(*inner)) return true;
    for (const Block& b : item) {
        const auto* h = b.as<HtmlBlock>();
        if (!h) continue;
        const std::string_view line = text::trim_end(std::string_view(h->html));
        const std::size_t lt = line.rfind('<');
        if (lt != std::string_view::npos && block::markdown_open_tag(line.substr(lt))) return true;
    }
    return false;
}

const Paragraph* first_paragraph_shown(const ListItem& item) {
    auto it = std::find_if(item.blocks.begin(), item.blocks.end(), [](const Block& b) { return !writes_nothing(b); });
    return it == item.blocks.end() ? nullptr : it->as<Paragraph>();
}

std::string under_heading(unsigned heading) {
    if (heading > 6) return {};
    std::string probe(heading, '#');
    probe.append(" h\n\n");
    return probe;
}

bool last_reads_as_paragraph(std::string_view text, unsigned heading) {
    static const Options options = Options::dataset();
    std::string probe = under_heading(heading);
    probe.append(text);
    const auto outline = block::outline_blocks(probe, options);
    return outline.blocks.size() >= 2 && outline.blocks.back().kind == "paragraph";
}

bool may_read_as_text(const List& l, bool nested) {
    if (!l.ordered || l.start == 1 || l.items.size() < 2 || markdown::writes_line_attrs(l.attr)) return false;
    bool any_nested = false;
    for (const auto& item : l.items) {
        // (Blocks that write nothing, an empty quote, are not read back.)
        const auto shown = std::count_if(item.blocks.begin(), item.blocks.end(),
                                         [](const Block& b) { return !writes_nothing(b); });
        if (item.task || markdown::writes_attrs(item.attr) || shown > 1) return false;
        if (shown == 0) continue;
        const Paragraph* p = first_paragraph_shown(item);
        if (p && !markdown::writes_line_attrs(p->attr)) continue;
        auto it = std::find_if(item.blocks.begin(), item.blocks.end(), [](const Block& b) { return !writes_nothing(b); });
        const auto* inner = it->as<List>();
        if (!nested || !inner || markdown::writes_line_attrs(inner->attr)) return false;
        any_nested = true;
    }
    return !nested || any_nested;
}

char quote_state_after(std::string_view line) {
    char cur = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\') {
            ++i;
        } else if ((c == '"' || c == '\'') && (cur == 0 || cur == c)) {
            cur = cur == c ? 0 : c;
        }
    }
    return cur;
}

bool list_reads_back_before(std::string_view list, std::string_view html) {
    static const Options options = Options::dataset();
    std::string text(list);
    text.append(html.substr(0, html.find('\n'))).push_back('\n');
    const ast::Blocks read = block::parse_source(text, options).blocks;
    const auto* h = read.size() == 2 && read.front().is<ast::List>() ? read.back().as<ast::HtmlBlock>() : nullptr;
    const std::size_t indent = std::min(html.find_first_not_of(' '), html.size());
    return h && html.starts_with(h->html.substr(0, indent + 1));
}

std::uint64_t numbered_last(std::string_view text, std::size_t& at, block::Numbering& state) {
    static const Options options = Options::dataset();
    const std::string_view rest = text.substr(at);
    block::Numbering after = state;
    const auto outline = block::outline_blocks(rest, options, &after);
    if (!outline.segment_lines.empty() && outline.segment_lines.back() > 0) {
        std::size_t cut = 0;
        for (std::size_t line = 0; line < outline.segment_lines.back() && cut < rest.size(); ++line)
            cut = rest.find('\n', cut) + 1;
        block::outline_blocks(rest.substr(0, cut), options, &state);
        at += cut;
    }
    return after.stage != block::Numbering::Stage::None ? after.last : 0;
}

}  // namespace tavrel::write_md::probe

