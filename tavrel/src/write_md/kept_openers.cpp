// The writer's container tags kept at the end of an ordered list's last
// item, so that a list the reader would read on as its items stays a list
// of its own. Rare, and kept apart from the writer's hot paths.
#include <algorithm>
#include <utility>

#include "reader_probes.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md {

void Renderer::keep_opener_before_list(const ast::Blocks& blocks, std::size_t i, std::size_t count,
                                       std::uint64_t last_number, std::uint64_t numbered_from) {
    const auto* l = blocks[i].as<ast::List>();
    const auto* after = blocks[i + 1].as<ast::List>();
    if (!after->ordered || after->items.empty() || markdown::writes_line_attrs(l->attr)) return;
    const std::uint64_t next = last_number != 0 ? last_number : numbered_from + l->items.size();
    if (after->start != next && after->start + 1 != next) return;
    // (A list inside this one asked about before its tag is written takes
    // its place: that one is then written as before.)
    if (const ast::HtmlBlock* h = probe::opener_ending(*l)) kept_opener_ = h;
}

bool Renderer::opener_kept_at_end(const ast::HtmlBlock& opener) {
    if (kept_opener_ != &opener) return false;
    written_kept_openers_[1] = std::exchange(written_kept_openers_[0], &opener);
    // The reader closes the container with the item: a closing tag after it
    // is no longer its.
    if (!container_names_.empty()) container_names_.pop_back();
    return true;
}

bool Renderer::kept_opener_ended(const ast::List& l) const {
    if (!written_kept_openers_[0]) return false;
    // The block the last item ends in, as `probe::ends_in_open_html` finds it.
    const ast::List* list = &l;
    while (!list->items.empty()) {
        const ast::Blocks& item = list->items.back().blocks;
        auto it = std::find_if(item.rbegin(), item.rend(), [](const ast::Block& b) { return !probe::writes_nothing(b); });
        if (it == item.rend()) return false;
        if (const auto* inner = it->as<ast::List>()) {
            list = inner;
            continue;
        }
        const auto* h = it->as<ast::HtmlBlock>();
        return h && (h == written_kept_openers_[0] || h == written_kept_openers_[1]);
    }
    return false;
}

}  // namespace tavrel::write_md
