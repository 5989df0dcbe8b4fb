// The writer's try of an emphasis, strong, strikeout or highlight whose
// element form would lose a key no tag can hold, after a character that
// leaves its opener unpaired or a closer its own would meet, or inside a
// node of its kind whose runs its own would meet. Rare, and kept apart from
// the writer's hot paths.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "canon.hpp"
#include "tavrel/markdown.hpp"

#include "tavrel/text.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md {

// The text before the node ends in `before`, which the reader's flanking
// rules count as neither white space nor punctuation: written as a
// character reference, which reads back as the same text, it puts a ";"
// before the opener. The nodes inside are written after no reference of
// theirs then, and the node is tried first after the character as it is:
// in the caller's try a node first inside may have written the character
// before it as a reference, which is punctuation to this opener, and
// without it this opener may pair after all, where the reference would be
// one no node needs, which the text read back would not have. Where the
// node still takes its element form, the character is written back as it
// was and the node written as it would have been. A byte that is no UTF-8
// is kept as it is.
void Renderer::delimited_after_reference(std::string_view delim, std::string_view tag, const ast::Attr& attr,
                                         const ast::Inlines& content, bool first_of_same, char32_t before) {
    reference_tried_ = true;
    std::string bytes;
    text::append_utf8(bytes, before);
    const std::size_t len = text::decode_utf8_before(out_, out_.size()).len;
    const std::size_t at = out_.size() - len;
    if (len != bytes.size() || out_.compare(at, len, bytes) != 0) {
        delimited(delim, tag, attr, content, first_of_same);
        reference_tried_ = false;
        return;
    }
    const std::size_t notes_mark = notes_.size();
    const std::size_t first_line_start = first_line_start_;
    const int footnote_line = footnote_line_;
    const std::size_t attr_target_end = attr_target_end_;
    const std::size_t ref_end = ref_end_;
    const char32_t after = after_;
    const bool closer = after_is_closer_;
    const bool element_in_description = element_in_description_;
    // Each try ends in the delimiter form, or in the element form, which
    // opens with its tag.
    const auto delimiters_after = [&](std::size_t from) {
        delimited(delim, tag, attr, content, first_of_same);
        return out_.size() > from && out_[from] != '<';
    };
    const auto take_back = [&] {
        out_.resize(at);
        notes_.resize(notes_mark);
        first_line_start_ = first_line_start;
        footnote_line_ = footnote_line;
        attr_target_end_ = attr_target_end;
        ref_end_ = ref_end;
        after_ = after;
        after_is_closer_ = closer;
        element_in_description_ = element_in_description;
    };
    if (!delimiters_after(at + len)) {
        take_back();
        out_.append("&#");
        out_.append(std::to_string(static_cast<std::uint32_t>(before)));
        out_.push_back(';');
        if (!delimiters_after(out_.size())) {
            take_back();
            out_.append(bytes);
            delimited(delim, tag, attr, content, first_of_same);
        }
    }
    reference_tried_ = false;
}

// The node's "*" opener would meet the "*" closer of the node just before
// ("*a*" before "__**]**{-=}__{\xC3=}"), outside all delimited nodes, where
// every "*" written bare is a delimiter's, and its "_" runs do not pair
// around its content: an attribute block that gives nothing ("{class=\"\"}")
// after that closer ends its run, and the node is tried after it, judging
// its opener by the block's "}". Where it still takes its element form, all
// it wrote is taken back.
bool Renderer::delimited_after_empty_block(std::size_t delim_len, const ast::Attr& attr,
                                           const ast::Inlines& content, char32_t after, bool after_closer) {
    const std::size_t start = out_.size();
    // (Outside all delimited nodes the node is no parent's first of its
    // kind.)
    if (start == 0 || out_[start - 1] != '*' || delim_len > 2 || content.empty() || empty_block_tried_ ||
        enclosing_delim_len_ != 0 || !markdown::writes_attrs(attr, true) ||
        std::all_of(attr.pairs.begin(), attr.pairs.end(), [](const auto& kv) { return canon::html_attr_name(kv.first); }))
        return false;
    std::size_t slashes = 0;
    while (slashes < start - 1 && out_[start - 2 - slashes] == '\\') ++slashes;
    if (slashes % 2 == 1) return false;
    constexpr std::string_view block = "{class=\"\"}";
    const std::size_t notes_mark = notes_.size(), first_line_start = first_line_start_;
    const std::size_t attr_target_end = attr_target_end_;
    const int footnote_line = footnote_line_;
    empty_block_tried_ = true;
    out_.append(block);
    after_ = after;
    after_is_closer_ = after_closer;
    delimited(delim_len == 1 ? "*" : "**", delim_len == 1 ? "em" : "strong", attr, content, false);
    empty_block_tried_ = false;
    if (out_.size() > start + block.size() && out_[start + block.size()] != '<') return true;
    rewind(start, notes_mark, first_line_start, footnote_line);
    attr_target_end_ = attr_target_end;
    return false;
}

void Renderer::note_key_lost_in_runs(const ast::Attr& attr, int slot) {
    // (Of an image description only the plain text is kept.)
    const int depth = same_depth_[slot];
    if (depth > 0 && depth < 16 && description_depth_ == 0 && markdown::writes_attrs(attr, true) &&
        std::any_of(attr.pairs.begin(), attr.pairs.end(), [](const auto& kv) { return !canon::html_attr_name(kv.first); })) {
        keys_lost_in_runs_[slot] |= static_cast<std::uint16_t>(1u << depth);
        any_key_lost_in_runs_ = true;
    }
}

bool Renderer::delimiters_kept_over_lost_key(const ast::Attr& attr, int slot) {
    // In a span's try with "_" runs (see `span_kept_bracketed`)
    // no "*" run is kept: `underscores_fit` writes "_" runs where those
    // pair, the element form elsewhere.
    const bool stars_given_up = underscores_wanted_ && slot == delimiter_slot('*');
    // (Those lost inside are taken once: the content is written again in
    // whichever form the node takes, and nodes further out judge by that.)
    const int depth = same_depth_[slot] + 1;
    if (depth >= 16 || (keys_lost_in_runs_[slot] & (1u << depth)) == 0) return !stars_given_up;
    keys_lost_in_runs_[slot] &= static_cast<std::uint16_t>(~(1u << depth));
    any_key_lost_in_runs_ =
        underscores_wanted_ || (keys_lost_in_runs_[0] | keys_lost_in_runs_[1] | keys_lost_in_runs_[2]) != 0;
    return !stars_given_up && markdown::writes_attrs(attr, true) &&
           std::any_of(attr.pairs.begin(), attr.pairs.end(), [](const auto& kv) { return !canon::html_attr_name(kv.first); });
}

}  // namespace tavrel::write_md
