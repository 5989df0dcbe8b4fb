// Paragraphs of white space alone, which the writer trims to nothing and
// leaves out, where the reader would miss them: beside raw HTML left open
// at the end of the text, and in the items of an ordered list that the
// reader keeps a list by their lines. Rare, and kept apart from the
// writer's hot paths.
#include <algorithm>
#include <string>

#include "reader_probes.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md {

namespace probe {

using namespace tavrel::ast;

namespace {

bool blank_inline(const Inline& n);

// (Emphasis and the like without attributes around white space alone
// write nothing either: the white space moves out of their delimiters.)
[[gnu::noinline, gnu::cold]] bool blank_delimited(const Inline& n) {
    const auto around = [](const auto* d) {
        return d && !markdown::writes_attrs(d->attr) && std::all_of(d->content.begin(), d->content.end(), blank_inline);
    };
    return around(n.as<Emph>()) || around(n.as<Strong>()) || around(n.as<Strikeout>()) || around(n.as<Highlight>());
}

bool blank_inline(const Inline& n) {
    if (const auto* t = n.as<Text>()) return t->text.find_first_not_of(" \t\r\n") == std::string::npos;
    return n.is<SoftBreak>() || n.is<HardBreak>() || blank_delimited(n);
}

}  // namespace

bool blank_paragraph(const Block& block) {
    const auto* p = block.as<Paragraph>();
    if (!p || p->content.empty()) return false;
    // (Mostly text that shows from its first character on.)
    return blank_inline(p->content.front()) && !markdown::writes_line_attrs(p->attr) &&
           std::all_of(p->content.begin() + 1, p->content.end(), blank_inline);
}

namespace {

bool holds_blanks(const Blocks& blocks);

bool holds_blank(const Block& b) {
    if (blank_paragraph(b)) return true;
    if (const auto* q = b.as<BlockQuote>(); q && holds_blanks(q->blocks)) return true;
    if (const auto* inner = b.as<List>())
        for (const auto& item : inner->items)
            if (holds_blanks(item.blocks)) return true;
    return false;
}

bool holds_blanks(const Blocks& blocks) { return std::any_of(blocks.begin(), blocks.end(), holds_blank); }

// Whether the reader counts a line of a blank paragraph in `blocks`, an
// item's, beside a line of another block, or reads a quote it alone
// shows: two blocks or more, one holding such a paragraph, a quote alone
// holding one, or a list alone whose items do so. Blocks written as
// nothing where no such paragraph is kept (an empty quote) are not read
// back: no line stands beside them.
bool blanks_beside(const Blocks& blocks) {
    const Block* shown = nullptr;
    for (const auto& b : blocks) {
        if (writes_nothing(b) && !holds_blank(b)) continue;
        if (shown) return holds_blanks(blocks);
        shown = &b;
    }
    if (!shown) return false;
    if (const auto* q = shown->as<BlockQuote>()) return holds_blanks(q->blocks);
    if (const auto* inner = shown->as<List>())
        for (const auto& item : inner->items)
            if (blanks_beside(item.blocks)) return true;
    return false;
}

}  // namespace

bool blanks_keep_list(const List& l) {
    if ((l.start == 1 && l.items.size() >= 2) || markdown::writes_line_attrs(l.attr)) return false;
    for (const auto& item : l.items) {
        // (Mostly one paragraph, or nothing.)
        if (item.blocks.size() < 2 && (item.blocks.empty() || item.blocks.front().is<Paragraph>())) continue;
        if (blanks_beside(item.blocks)) return true;
    }
    return false;
}

std::size_t open_html_before_blanks(const Blocks& blocks, std::size_t last) {
    // (Mostly the text ends in paragraphs after a block other than raw
    // HTML: their text is not looked at.)
    std::size_t end = last;
    while (end > 0 && (blocks[end - 1].is<Paragraph>() || writes_nothing(blocks[end - 1]))) --end;
    const auto* h = end > 0 ? blocks[end - 1].as<HtmlBlock>() : nullptr;
    if (!h || !html_left_open(h->html)) return last;
    for (std::size_t k = end; k < last; ++k)
        if (!writes_nothing(blocks[k]) && !blank_paragraph(blocks[k])) return last;
    return end;
}

}  // namespace probe

void Renderer::list_keeping_blanks(const ast::List& l) {
    keep_blanks_ = true;
    list(l);
    keep_blanks_ = false;
}

bool Renderer::writes_blank(const ast::Attr& attr) const {
    return keep_blanks_ || markdown::writes_line_attrs(attr);
}

}  // namespace tavrel::write_md
