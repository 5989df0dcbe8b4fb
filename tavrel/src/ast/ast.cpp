// Node destruction without recursion, and the kinds' names.
//
// A default destructor would recurse once per nesting level, and a hostile
// page can nest far deeper than a worker thread's stack allows. Instead a
// node that owns children moves them onto a heap work list first; each node
// taken from the list hands its own children over before it dies, so every
// destructor that actually runs sees a node without grandchildren: one
// whose children own none is left to its members' destructors, which
// recurse one level only.
//
// The work list is the one allocation a destructor makes, and a destructor
// must not throw: when memory runs out, whatever is still on the list or
// still attached goes on being destroyed as the list and the nodes go out
// of scope, each node by this same destructor (recursing only then).
#include "tavrel/ast.hpp"

#include <algorithm>
#include <new>
#include <type_traits>

namespace tavrel::ast {
namespace {

template <class T, class In>
auto* list_in(In& node, Inlines T::*member) {
    auto* n = node.template as<T>();  // null in an emptied box
    return n ? &(n->*member) : nullptr;
}

// The child list of the kinds that own one; null for the others.
template <class In>
auto child_list(In& node) {
    using Result = std::conditional_t<std::is_const_v<In>, const Inlines*, Inlines*>;
    switch (node.kind()) {
        case InlineKind::Emph: return Result{list_in<Emph>(node, &Emph::content)};
        case InlineKind::Strong: return Result{list_in<Strong>(node, &Strong::content)};
        case InlineKind::Strikeout: return Result{list_in<Strikeout>(node, &Strikeout::content)};
        case InlineKind::Highlight: return Result{list_in<Highlight>(node, &Highlight::content)};
        case InlineKind::Link: return Result{list_in<Link>(node, &Link::content)};
        case InlineKind::Image: return Result{list_in<Image>(node, &Image::alt)};
        case InlineKind::Note: return Result{list_in<Note>(node, &Note::content)};
        case InlineKind::Span: return Result{list_in<Span>(node, &Span::content)};
        default: return Result{nullptr};
    }
}

// Moves every inline child of `node` onto `out`. Returns false when the node
// owns none (the common case, so destruction stays cheap).
bool take_inline_children(Inline& node, Inlines& out) {
    auto take = [&out](Inlines& list) {
        if (list.empty()) return false;
        for (auto& child : list) out.push_back(std::move(child));
        list.clear();
        return true;
    };
    if (auto* op = node.as<Operation>()) {
        bool any = false;
        for (auto& arg : op->args) any |= take(arg.value);
        return any;
    }
    Inlines* list = child_list(node);
    return list && take(*list);
}

bool has_inline_children(const Inline& node) {
    if (const auto* op = node.as<Operation>()) return !op->args.empty();
    const Inlines* list = child_list(node);
    return list && !list->empty();
}

// Whether none of the node's children owns children of its own. Then the
// members' destructors free them one level down with no work list: a link
// or an emphasis around text, the common case, allocates nothing to die.
bool children_are_leaves(const Inline& node) {
    auto leaves = [](const Inlines& list) {
        // (A text, most children, is told without a call.)
        return std::none_of(list.begin(), list.end(),
                            [](const Inline& c) { return !c.is<Text>() && has_inline_children(c); });
    };
    if (const auto* op = node.as<Operation>()) {
        return std::all_of(op->args.begin(), op->args.end(), [&](const auto& arg) { return leaves(arg.value); });
    }
    const Inlines* list = child_list(node);
    return !list || leaves(*list);
}

// Blocks nest through quotes, divisions and list items; inline content of a
// block is left in place, since Inline's own destructor is already flat.
bool take_block_children(Block& node, Blocks& out) {
    auto take = [&out](Blocks& list) {
        if (list.empty()) return false;
        for (auto& child : list) out.push_back(std::move(child));
        list.clear();
        return true;
    };
    if (auto* q = node.as<BlockQuote>()) return take(q->blocks);
    if (auto* d = node.as<Div>()) return take(d->blocks);
    if (auto* l = node.as<List>()) {
        bool any = false;
        for (auto& item : l->items) any |= take(item.blocks);
        return any;
    }
    return false;
}

bool has_block_children(const Block& node) {
    if (const auto* q = node.as<BlockQuote>()) return !q->blocks.empty();
    if (const auto* d = node.as<Div>()) return !d->blocks.empty();
    if (const auto* l = node.as<List>()) return !l->items.empty();
    return false;
}

// As for inlines: a quote of paragraphs or a list of one-level items.
bool block_children_are_leaves(const Block& node) {
    auto leaves = [](const Blocks& list) {
        return std::none_of(list.begin(), list.end(), [](const Block& c) { return has_block_children(c); });
    };
    if (const auto* q = node.as<BlockQuote>()) return leaves(q->blocks);
    if (const auto* d = node.as<Div>()) return leaves(d->blocks);
    if (const auto* l = node.as<List>()) {
        return std::all_of(l->items.begin(), l->items.end(), [&](const auto& item) { return leaves(item.blocks); });
    }
    return true;
}

}  // namespace

Inline::~Inline() {
    if (is<Text>()) return;  // most nodes, asked first
    if (!has_inline_children(*this) || children_are_leaves(*this)) return;
    try {
        Inlines pending;
        take_inline_children(*this, pending);
        while (!pending.empty()) {
            Inline current = std::move(pending.back());
            pending.pop_back();
            take_inline_children(current, pending);
        }
    } catch (const std::bad_alloc&) {
    }
}

Block::~Block() {
    if (!has_block_children(*this) || block_children_are_leaves(*this)) return;
    try {
        Blocks pending;
        take_block_children(*this, pending);
        while (!pending.empty()) {
            Block current = std::move(pending.back());
            pending.pop_back();
            take_block_children(current, pending);
        }
    } catch (const std::bad_alloc&) {
    }
}

Attr* Block::attr() {
    return visit(
        [](auto& n) -> Attr* {
            if constexpr (requires { n.attr; }) {
                return &n.attr;
            } else {
                return nullptr;
            }
        },
        *this);
}

const Attr* Block::attr() const { return const_cast<Block*>(this)->attr(); }

std::string_view kind_name(BlockKind kind) {
    static constexpr std::string_view names[] = {
        "Paragraph", "Heading",   "BlockQuote", "List",          "DefinitionList",
        "CodeBlock", "HtmlBlock", "ThematicBreak", "Table",      "Div",
        "MathBlock", "Figure",    "TemplateToken", "RawBlock",   "FormatBlock",
    };
    return names[static_cast<std::size_t>(kind)];
}

std::string_view kind_name(InlineKind kind) {
    static constexpr std::string_view names[] = {
        "Text",     "SoftBreak", "HardBreak",     "Emph",      "Strong",      "Strikeout", "Superscript",
        "Subscript", "Highlight", "Code",         "Link",      "Image",       "Autolink",  "RawHtml",
        "Operation", "TemplateToken", "Math",     "FootnoteRef", "Note",      "Span",      "RawInline",
    };
    return names[static_cast<std::size_t>(kind)];
}

}  // namespace tavrel::ast
