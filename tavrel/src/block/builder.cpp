// The container builder's arena and open stack, and the small operations on
// them that every step of the block pass shares.
//
// Nodes live in one vector and refer to each other by index, so opening a
// node never invalidates another's identity and the whole tree is freed at
// once. The open stack holds the containers a new line may continue, from
// the root inward.
#include <string>

#include "tavrel/block.hpp"

namespace tavrel::block {

ContainerBuilder::ContainerBuilder(const Options& opts) : options(opts) {
    nodes.push_back(BuildNode{{}, node::Root{}, 0});
    open.push_back(0);
}

BuildNode* ContainerBuilder::last_child() {
    auto& children = nodes[open.back()].children;
    if (children.empty()) return nullptr;
    return &nodes[children.back()];
}

std::size_t ContainerBuilder::open_node(BuildKind kind) {
    std::size_t index = nodes.size();
    nodes.push_back(BuildNode{{}, std::move(kind), line});
    nodes[open.back()].children.push_back(index);
    return index;
}

void ContainerBuilder::refresh_leaf_open() {
    if (!leaf_open) return;
    const BuildNode* last = open.empty() ? nullptr : last_child();
    if (!last) {
        leaf_open = false;
        return;
    }
    bool takes = last->visit_kind(
        [](const auto& k) -> bool {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, node::DefinitionList> || std::is_same_v<K, node::Paragraph> ||
                          std::is_same_v<K, node::IndentedCode> || std::is_same_v<K, node::Table>) {
                return true;
            } else if constexpr (std::is_same_v<K, node::FencedCode> || std::is_same_v<K, node::MathBlock> ||
                                 std::is_same_v<K, node::HtmlBlock>) {
                return !k.closed;
            } else {
                return false;
            }
        });
    leaf_open = takes;
}

std::string_view build_kind_name(const BuildKind& kind) {
    static constexpr std::string_view names[] = {
        "html_container", "paragraph",     "block_quote",  "list",       "list",
        "footnote_def",   "definition_list", "div",        "code_block", "math_block",
        "paragraph",      "heading",       "thematic_break", "code_block", "html_block",
        "table"};
    return names[kind.index()];
}

Attr* DraftBlock::attr() {
    return visit(
        [](auto& b) -> Attr* {
            if constexpr (requires { b.attr; }) {
                return &b.attr;
            } else {
                return nullptr;
            }
        },
        *this);
}

std::string_view DraftBlock::kind_name() const {
    static constexpr std::string_view names[] = {
        "paragraph", "heading", "block_quote", "list",       "definition_list", "code_block",     "html_block",
        "thematic_break", "table", "div",     "math_block", "raw_block",       "template_token", "format_block"};
    return names[node.index()];
}

bool span_kind_accepts_attrs(std::string_view kind) {
    for (std::string_view k : {"div", "list", "table", "heading", "paragraph", "code_block", "math_block",
                               "block_quote", "thematic_break", "definition_list"})
        if (k == kind) return true;
    return false;
}

}  // namespace tavrel::block
