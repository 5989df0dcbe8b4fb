// A delimited node whose delimiter form is sure not to be taken, in the
// element form of one around it, written in its element form without
// trying the other first. The try writes the whole content, and the
// element form writes it again: where the nodes inside fall back too, each
// level of nesting doubled the work (a tree a caller builds, strikeouts
// nested twenty deep each after a ">", took 0.1 s, and each two levels
// more took three times as long).
// Only what the try could not have changed is settled here, so that the
// text written is the same either way. Rare, and kept apart from the
// writer's hot paths.
#include <cstdint>
#include <string_view>

#include "canon.hpp"
#include "reader_probes.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/text.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md {

using namespace std::string_view_literals;
using probe::flank_punct;
using probe::flank_space;

namespace {

bool key_no_tag_holds(const ast::Attr& attr) {
    for (const auto& kv : attr.pairs)
        if (!canon::html_attr_name(kv.first)) return true;
    return false;
}

int slot_of(const ast::Inline& n) {
    if (n.is<ast::Emph>() || n.is<ast::Strong>()) return 0;
    if (n.is<ast::Highlight>()) return 1;
    if (n.is<ast::Strikeout>()) return 2;
    return -1;
}

const ast::Attr* delimited_attr(const ast::Inline& n) {
    if (const auto* e = n.as<ast::Emph>()) return &e->attr;
    if (const auto* s = n.as<ast::Strong>()) return &s->attr;
    if (const auto* k = n.as<ast::Strikeout>()) return &k->attr;
    if (const auto* h = n.as<ast::Highlight>()) return &h->attr;
    return nullptr;
}

const ast::Inlines* delimited_content(const ast::Inline& n) {
    if (const auto* e = n.as<ast::Emph>()) return &e->content;
    if (const auto* s = n.as<ast::Strong>()) return &s->content;
    if (const auto* k = n.as<ast::Strikeout>()) return &k->content;
    if (const auto* h = n.as<ast::Highlight>()) return &h->content;
    return nullptr;
}

// What a content holds, as far as the try of its node's delimiter form
// could leave a trace past itself.
struct Held {
    bool nested = false;  // a delimited node: the try costs as much as the rest
    bool raw = false;     // raw HTML, which may hold a tag its element would pair with
    bool other = false;   // a node whose writing is not looked into here
    // A delimited node, by slot, whose element form would lose a key: it
    // notes that for the nodes of its kind around it (`note_key_lost_in_runs`),
    // which, outside the node tried, the try would have told too.
    unsigned keyed = 0;
};

void scan(const ast::Inlines& run, Held& held) {
    for (const auto& n : run) {
        if (held.other) return;
        if (n.is<ast::Text>() || n.is<ast::SoftBreak>() || n.is<ast::HardBreak>() || n.is<ast::Code>()) continue;
        if (n.is<ast::RawHtml>()) {
            held.raw = true;
            continue;
        }
        const int slot = slot_of(n);
        if (slot < 0) {
            held.other = true;
            return;
        }
        held.nested = true;
        if (key_no_tag_holds(*delimited_attr(n))) held.keyed |= 1u << slot;
        scan(*delimited_content(n), held);
    }
}

// Whether the character a node is written with first (or last) is
// punctuation to the reader's flanking rules, whatever form it and those
// around take: a text's ASCII punctuation stays punctuation escaped or
// written as a reference, and a delimited node starts with its delimiter,
// a "_" or a tag and ends with one of those or an attribute block.
bool edge_punct(const ast::Inline& n, bool first) {
    if (const auto* t = n.as<ast::Text>()) {
        if (t->text.empty()) return false;
        const auto b = static_cast<unsigned char>(first ? t->text.front() : t->text.back());
        return b < 0x80 && flank_punct(b);
    }
    return slot_of(n) >= 0;
}

}  // namespace

bool Renderer::element_form_settled(std::string_view delim, std::string_view tag, const ast::Attr& attr,
                                    const ast::Inlines& content, bool first_of_same) {
    if (content.empty()) return false;
    // The character before the opener as `delimited` takes it.
    const std::size_t start = out_.size();
    char32_t p = kBlank;
    bool p_escaped = false;
    if (start > 0 && out_.back() != '\n') {
        const text::Decoded before = text::decode_utf8_before(out_, start);
        p = before.cp;
        std::size_t k = start - before.len, slashes = 0;
        while (k > 0 && out_[k - 1] == '\\') {
            --k;
            ++slashes;
        }
        p_escaped = slashes % 2 == 1;
    }
    const std::size_t own_end = own_end_;
    const char32_t c = static_cast<unsigned char>(delim[0]);
    const int slot = delimiter_slot(c);
    const char32_t x = attr.empty() ? after_ : U'{';
    const bool last_of_same = after_is_closer_ && after_ == c && attr.empty();
    const bool f_punct = edge_punct(content.front(), true);
    const bool l_punct = edge_punct(content.back(), false);
    const bool attrs_written = markdown::writes_attrs(attr, true);
    const bool key_kept = attrs_written && key_no_tag_holds(attr);

    // The conditions `delimited` gives the delimiter form up on, those
    // known before the content is written.
    const bool exact_runs = c != '*';
    bool fails = p == c && !p_escaped && (!first_of_same || exact_runs);  // merges before
    fails = fails || (x == c && (!last_of_same || exact_runs));          // merges after
    const bool merged_into_strong = c == '*' && delim.size() == 2 && attr.empty() && in_plain_strong_;
    fails = fails || merged_into_strong;
    fails = fails || (last_of_same && first_of_same && enclosing_delim_len_ == 2 && delim.size() == 1 &&
                      !in_plain_strong_);
    // Not flanking on the left, or on the right.
    fails = fails || (f_punct && !flank_space(p) && !flank_punct(p));
    fails = fails || (l_punct && !flank_space(x) && !flank_punct(x));
    // An opener that would close the node of its kind around it.
    if (!fails && same_depth_[slot] > 0 && !flank_space(p) && (!flank_punct(p) || f_punct))
        fails = attr.pairs.empty() || same_depth_[slot] != outside_brackets_[slot] || !key_kept;
    if (!fails) return false;

    // Nor may a later try take it back: "_" runs for an emphasis or strong,
    // or the character before written as a reference.
    Held held;
    scan(content, held);
    if (c == '*' && !merged_into_strong) {
        const char32_t next = after_;
        const bool lone_before_closer = next == '*' && in_plain_strong_ && !key_kept;
        const bool no_lone_tag = !key_kept && (p_escaped || !held.raw);
        const bool no_next = !attrs_written && (next == '_' || (next == '*' && !lone_before_closer) ||
                                                (!flank_space(next) && !flank_punct(next)));
        const bool no_before = (p == '_' && !(p_escaped && key_kept)) || (!flank_space(p) && !flank_punct(p));
        if (!no_lone_tag && !no_next && !no_before) return false;
    }
    const bool no_reference = attr.pairs.empty() || own_end == start || p_escaped || reference_tried_ ||
                              flank_space(p) || flank_punct(p) || !key_kept;
    if (!no_reference) return false;

    // Worth it where the content nests another delimited node, and only
    // where the try would leave nothing behind: the nodes of other kinds
    // inside that lose a key would tell the nodes of their kind around.
    if (!held.nested || held.other || (held.keyed & ~(1u << slot)) != 0) return false;

    // As `delimited` does once the try is taken back.
    if (any_key_lost_in_runs_) delimiters_kept_over_lost_key(attr, slot);
    if (!attr.pairs.empty()) note_key_lost_in_runs(attr, slot);
    const char32_t saved_after = after_;
    const bool saved_closer = after_is_closer_;
    element_form(tag, attr, content);
    after_ = saved_after;
    after_is_closer_ = saved_closer;
    return true;
}

void Renderer::element_form(std::string_view tag, const ast::Attr& attr, const ast::Inlines& content) {
    append_element_open(tag, attr);
    after_ = '<';
    after_is_closer_ = false;
    if (canon::white_refs(content)) [[unlikely]] {
        raw_inlines(canon::element_content(content));
    } else {
        element_content(content);
    }
    out_.append("</"sv);
    out_.append(tag);
    out_.push_back('>');
}

void Renderer::element_content(const ast::Inlines& run) {
    const char32_t inherited = after_;
    const bool inherited_closer = after_is_closer_;
    for (std::size_t i = 0; i < run.size(); ++i) {
        const bool last = i + 1 == run.size();
        after_ = last ? inherited : lead_char(run[i + 1]);
        after_is_closer_ = last && inherited_closer;
        const ast::Inline& n = run[i];
        std::string_view delim, tag;
        if (n.is<ast::Emph>()) {
            delim = "*"sv, tag = "em"sv;
        } else if (n.is<ast::Strong>()) {
            delim = "**"sv, tag = "strong"sv;
        } else if (n.is<ast::Strikeout>()) {
            delim = "~~"sv, tag = "del"sv;
        } else if (n.is<ast::Highlight>()) {
            delim = "=="sv, tag = "mark"sv;
        } else {
            inline_node(n);
            continue;
        }
        // As `inline_node` calls `delimited`.
        const char32_t opened = opened_by_;
        opened_by_ = 0;
        const bool first_of_same = opened == static_cast<unsigned char>(delim[0]);
        const ast::Attr& attr = *delimited_attr(n);
        const ast::Inlines& content = *delimited_content(n);
        if (!element_form_settled(delim, tag, attr, content, first_of_same))
            delimited(delim, tag, attr, content, first_of_same);
    }
    after_ = inherited;
    after_is_closer_ = inherited_closer;
}

}  // namespace tavrel::write_md
