// The divs without attributes opening the items of an ordered list inside
// a div without attributes, where such a div is written as its content:
// which of them keep their fences, as the list is a list by them. Rare, and
// kept apart from the writer's hot paths.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <unordered_set>
#include <utility>

#include "reader_probes.hpp"
#include "tavrel/write_md.hpp"

namespace tavrel::write_md::probe {

using namespace tavrel::ast;

const Div* bare_div_opening(const ListItem& item) {
    const auto first =
        std::find_if(item.blocks.begin(), item.blocks.end(), [](const Block& b) { return !writes_nothing(b); });
    const Div* d = first == item.blocks.end() ? nullptr : first->as<Div>();
    return d && !markdown::writes_attrs(d->attr) ? d : nullptr;
}

bool item_divs_keep_list(const List& l, bool (*keeps)(const ListItem&, const Blocks&)) {
    // (As `stays_list_alone` judges a list.)
    if (!l.ordered || (l.start == 1 && l.items.size() >= 2) || markdown::writes_line_attrs(l.attr)) return false;
    const auto shown = [](Blocks::const_iterator from, Blocks::const_iterator to) {
        return !std::all_of(from, to, writes_nothing);
    };
    bool any = false;
    for (std::size_t k = 0; k < l.items.size(); ++k) {
        const ListItem& item = l.items[k];
        const Div* d = bare_div_opening(item);
        if (!d) {
            if (keeps(item, item.blocks) || (l.start == 0 && k > 0 && shown(item.blocks.begin(), item.blocks.end())))
                return false;
            continue;
        }
        any = true;
        // Written as its content, the div's blocks stand in its place (and
        // a bare div opening them, in its own). Judged without copying them:
        // with blocks after it that show something, two blocks or more
        // are shown where it shows something; where it shows nothing, the
        // item is judged to keep nothing, and the fence is kept.
        bool after = false;
        const Blocks* blocks = &item.blocks;
        for (const Div* at = d; at;) {
            const auto it =
                std::find_if(blocks->begin(), blocks->end(), [at](const Block& b) { return b.as<Div>() == at; });
            after = after || shown(it + 1, blocks->end());
            blocks = &at->blocks;
            const auto first =
                std::find_if(blocks->begin(), blocks->end(), [](const Block& b) { return !writes_nothing(b); });
            const Div* inner = first == blocks->end() ? nullptr : first->as<Div>();
            at = inner && !markdown::writes_attrs(inner->attr) ? inner : nullptr;
        }
        const bool shows = shown(blocks->begin(), blocks->end());
        if ((after && shows) || (!after && keeps(item, *blocks))) return false;
        // (From 0, an item after the first that shows something keeps it.)
        if (l.start == 0 && k > 0 && (after || shows)) return false;
    }
    return any;
}

}  // namespace tavrel::write_md::probe

namespace tavrel::write_md {

void Renderer::fence_item_divs(const ast::Blocks& blocks, bool (*keeps)(const ast::ListItem&, const ast::Blocks&)) {
    for (const auto& b : blocks) {
        if (const auto* l = b.as<ast::List>()) {
            if (probe::item_divs_keep_list(*l, keeps)) {
                if (!fenced_item_divs_) fenced_item_divs_ = std::make_unique<std::unordered_set<const ast::Div*>>();
                for (const auto& item : l->items)
                    if (const ast::Div* d = probe::bare_div_opening(item)) fenced_item_divs_->insert(d);
            }
            for (const auto& item : l->items) fence_item_divs(item.blocks, keeps);
        } else if (const auto* q = b.as<ast::BlockQuote>()) {
            fence_item_divs(q->blocks, keeps);
        } else if (const auto* d = b.as<ast::Div>()) {
            fence_item_divs(d->blocks, keeps);
        }
    }
}

bool Renderer::fences_item(const ast::Div& d) const { return fenced_item_divs_ && fenced_item_divs_->contains(&d); }

}  // namespace tavrel::write_md
