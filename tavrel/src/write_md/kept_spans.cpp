// The writer's try of a span whose element form would lose a key no tag
// can hold: its brackets kept, its "www." addresses bare. Rare, and kept
// apart from the writer's hot paths.
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "reader_probes.hpp"
#include "tavrel/block.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"
#include "tavrel/text.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md {

using namespace tavrel::ast;

namespace {

// A run with the element forms the writer writes for emphasis, strong,
// strikeout and highlight without attributes ("<em>", its content, "</em>"
// in one run) as those nodes: read back, they are raw HTML, which a reader
// of the HTML takes alike.
void fold_element_forms(Inlines& run) {
    static constexpr std::string_view tags[] = {"em", "strong", "del", "mark"};
    for (std::size_t i = 0; i < run.size(); ++i) {
        const auto* open = run[i].as<RawHtml>();
        std::size_t tag = std::size(tags);
        if (open && open->html.size() > 2 && open->html.front() == '<' && open->html.back() == '>') {
            const std::string_view name = std::string_view(open->html).substr(1, open->html.size() - 2);
            for (std::size_t t = 0; t < std::size(tags); ++t)
                if (name == tags[t]) tag = t;
        }
        if (tag == std::size(tags)) {
            visit(
                [&](auto& n) {
                    if constexpr (requires { n.content; }) {
                        if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>)
                            fold_element_forms(n.content);
                    }
                },
                run[i]);
            continue;
        }
        // The close that pairs with it, past any of the same tag between.
        std::string opening = "<", closing = "</";
        opening.append(tags[tag]).push_back('>');
        closing.append(tags[tag]).push_back('>');
        std::size_t depth = 0, j = i + 1;
        for (; j < run.size(); ++j) {
            const auto* h = run[j].as<RawHtml>();
            if (!h) continue;
            if (h->html == opening) ++depth;
            if (h->html == closing && depth-- == 0) break;
        }
        if (j == run.size()) continue;
        Inlines content(std::make_move_iterator(run.begin() + static_cast<std::ptrdiff_t>(i) + 1),
                        std::make_move_iterator(run.begin() + static_cast<std::ptrdiff_t>(j)));
        fold_element_forms(content);
        Inline node = tag == 0   ? Inline{Emph{Attr{}, std::move(content)}}
                      : tag == 1 ? Inline{Strong{Attr{}, std::move(content)}}
                      : tag == 2 ? Inline{Strikeout{Attr{}, std::move(content)}}
                                 : Inline{Highlight{Attr{}, std::move(content)}};
        run.erase(run.begin() + static_cast<std::ptrdiff_t>(i) + 1, run.begin() + static_cast<std::ptrdiff_t>(j) + 1);
        run[i] = std::move(node);
    }
}

}  // namespace

// A span whose element form would lose a key no tag can hold (the caller
// asks), tried with
// its brackets and its "www." addresses bare wherever the reader keeps
// them whole ("[www.] ]{<=''}"): kept where it reads back alone as itself,
// in a cell as a cell's only content.
bool Renderer::span_kept_bracketed(const Span& n) {
    if (!markdown::attr_writable(n.attr) || (!out_.empty() && out_.back() == '!') ||
        probe::holds_link(n.content, true, true))
        return false;
    const std::size_t mark = out_.size(), notes_mark = notes_.size();
    const std::size_t saved_line = first_line_start_, saved_ref = ref_end_, saved_target = attr_target_end_;
    const int saved_footnote_line = footnote_line_;
    std::vector<std::size_t> ends;
    www_kept_ = &ends;
    open_bracket();
    bracketed(n.content);
    www_kept_ = nullptr;
    unescape_after_www(ends);
    out_.push_back(']');
    trailing_attrs(n.attr);
    static const Options options = Options::dataset();
    std::string text = in_cell_ ? "| " : "";
    text.append(std::string_view(out_).substr(mark));
    if (in_cell_) text.append(" |\n|-|\n");
    Inlines want{Inline{n}};
    probe::ReadBack as_written{notes_, footnote_labels_, notes_mark, {}};
    as_written.run(want);
    // (With the definitions of the notes written and of the footnotes
    // referred to, so that their references read back.)
    for (std::size_t k = notes_mark; k < notes_.size(); ++k) text += "\n\n[^" + notes_[k].first + "]: x\n";
    for (const std::string& label : as_written.refs) text += "\n\n[^" + label + "]: x\n";
    Document again = block::parse_source(text, options);
    Inlines* back = nullptr;
    if (again.blocks.size() == 1) {
        if (auto* p = again.blocks.front().as<Paragraph>(); p && !in_cell_) {
            back = &p->content;
        } else if (auto* t = again.blocks.front().as<Table>(); t && in_cell_ && t->head.size() == 1 &&
                                                                 t->head.front().cells.size() == 1 && t->body.empty()) {
            back = &t->head.front().cells.front().content;
        }
    }
    if (back && back->size() == 1 && as_written.next == notes_.size()) {
        // (Math reads back with its display flag as written.)
        static const std::unordered_map<std::string, std::string> no_labels;
        probe::ReadBack{notes_, no_labels, notes_.size(), {}}.run(*back);
        // (Element forms written inside read back as raw HTML around their
        // content, which is as good: alike in both.)
        fold_element_forms(*back);
        fold_element_forms(want);
        if (*back == want) {
            attr_target_end_ = out_.size();
            return true;
        }
    }
    out_.resize(mark);
    notes_.resize(notes_mark);
    first_line_start_ = saved_line;
    ref_end_ = saved_ref;
    attr_target_end_ = saved_target;
    footnote_line_ = saved_footnote_line;
    span_tried_ = true;
    return false;
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
void Renderer::unescape_after_www(const std::vector<std::size_t>& ends) {
    std::vector<std::size_t> slashes;
    std::size_t last = 0;
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
        // (Text a try inside wrote and took back may have left ends behind.)
        if (end < last) continue;
        const std::size_t first = slashes.size();
        std::size_t k = skip(end);
        while (k + 1 < out_.size() && out_[k] == '\\' && std::strchr("!\"'*,.:?~", out_[k + 1]) != nullptr) {
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
    if (slashes.empty()) return;
    std::size_t to = slashes.front();
    for (std::size_t i = 0; i < slashes.size(); ++i) {
        const std::size_t from = slashes[i] + 1, until = i + 1 < slashes.size() ? slashes[i + 1] : out_.size();
        std::memmove(out_.data() + to, out_.data() + from, until - from);
        to += until - from;
    }
    out_.resize(to);
}

}  // namespace tavrel::write_md
