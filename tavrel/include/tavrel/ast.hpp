// The document tree: the one data model every part of the system exchanges.
//
// It is plain data. Each node kind is a struct; `Inline` and `Block` are
// tagged variants over the closed sets of kinds, numbered in declaration
// order (`kind()` gives that number). Every node owns its children in ordered
// vectors; nothing is shared and nothing points back. Copying a node is a
// deep copy. Destroying a node never recurses, so hostile input that nests
// 100,000 quotes or emphasis nodes cannot overflow a thread's stack when the
// tree goes away.
//
// An inline node is as small as its most common kinds (text and breaks, one
// string): the larger kinds live behind a pointer that `as`, `is` and
// `visit` look through, as do a block's largest kinds. A paragraph of many short inlines (a line per word,
// a run of emphasised letters) would otherwise cost the size of a link for
// every node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "tavrel/diagnostic.hpp"
#include "tavrel/template.hpp"

namespace tavrel::ast {

// ---------------------------------------------------------------------------
// Attributes

// Attributes of a node: an optional id, classes (no empty class, none twice,
// in first-insertion order) and ordered key/value pairs. Setting the key "id"
// or "class" through `set_pair` goes to the id or the class list.
struct Attr {
    std::optional<std::string> id;
    std::vector<std::string> classes;
    std::vector<std::pair<std::string, std::string>> pairs;

    bool empty() const { return !id && classes.empty() && pairs.empty(); }

    // Appends `cls` unless it is empty or already present (byte comparison).
    void push_class(std::string_view cls);
    template <class S>
        requires std::is_same_v<S, std::string>  // an owned string, moved in
    void push_class(S&& cls) {
        push_class_owned(std::move(cls));
    }

    // "id" sets the id (present even when empty); "class" is split on
    // White_Space and each piece pushed; any other key replaces the value of
    // the first equal key in place, or is appended.
    void set_pair(std::string_view key, std::string_view value);
    template <class K, class V>
        requires(std::is_same_v<K, std::string> && std::is_same_v<V, std::string>)  // owned, moved in
    void set_pair(K&& key, V&& value) {
        set_pair_owned(std::move(key), std::move(value));
    }

    // Folds `other` into this set: its id (when present), then its classes,
    // then its pairs through `set_pair`.
    void merge(const Attr& other);

    // An Attr holding the one class (an empty class gives an empty Attr).
    static Attr with_class(std::string_view cls);

    // The value of the first pair with this key, if any.
    const std::string* get(std::string_view key) const;

    bool operator==(const Attr&) const = default;

private:
    void push_class_owned(std::string&& cls);
    void set_pair_owned(std::string&& key, std::string&& value);
};

// Adds to one Attr by the rules of its `push_class`, `set_pair` and `merge`,
// in time linear in all it is given. An Attr finds a class or key by walking
// its list, quick for the few a node carries; many given one after the other
// (a long attribute block, a run of blocks after one inline, an HTML tag of
// many attributes) made that quadratic. Past a few entries the builder finds
// them through hash indexes of its own. While a builder adds to an Attr,
// nothing else may remove or reorder its classes or pairs (what is appended
// is found too).
class AttrBuilder {
public:
    explicit AttrBuilder(Attr& attr) : attr_(attr) {}

    void push_class(std::string_view cls);
    template <class S>
        requires std::is_same_v<S, std::string>  // an owned string, moved in
    void push_class(S&& cls) {
        push_class_owned(std::move(cls));
    }
    void set_pair(std::string_view key, std::string_view value);
    template <class K, class V>
        requires(std::is_same_v<K, std::string> && std::is_same_v<V, std::string>)  // owned, moved in
    void set_pair(K&& key, V&& value) {
        set_pair_owned(std::move(key), std::move(value));
    }
    void merge(const Attr& other);
    // The value of the pair with this key, if any (as `Attr::get`).
    std::string* value_of(std::string_view key);

    // Entries compared and indexed so far (for tests of the bound).
    std::size_t steps() const { return steps_; }

private:
    // Positions of a list's entries by the hash of their text.
    struct Index {
        std::vector<std::pair<std::size_t, std::size_t>> slots;  // (hash, position + 1), open addressing
        std::size_t indexed = 0;                                 // the first entries, in `slots`
    };
    struct Indexes {
        Index classes;
        Index keys;
    };
    template <class List, class Text>
    std::size_t find(const List& list, bool keys, std::string_view wanted, Text text);
    bool has_class(std::string_view cls);
    void push_class_owned(std::string&& cls);
    void set_pair_owned(std::string&& key, std::string&& value);

    Attr& attr_;
    // Entries compared walking the classes and the keys while they had no
    // index: one is built once that passes what building it would cost.
    std::size_t classes_walked_ = 0;
    std::size_t keys_walked_ = 0;
    std::size_t steps_ = 0;
    std::unique_ptr<Indexes> indexes_;  // made with the first index
};

enum class Align : std::uint8_t { Default = 0, Left = 1, Center = 2, Right = 3 };

struct Inline;
struct Block;
using Inlines = std::vector<Inline>;
using Blocks = std::vector<Block>;

// ---------------------------------------------------------------------------
// Inline kinds, in kind order.

struct Text {
    std::string text;
    bool operator==(const Text&) const = default;
};
struct SoftBreak {
    bool operator==(const SoftBreak&) const = default;
};
struct HardBreak {
    bool operator==(const HardBreak&) const = default;
};
struct Emph {
    Attr attr;
    Inlines content;
    bool operator==(const Emph&) const = default;
};
struct Strong {
    Attr attr;
    Inlines content;
    bool operator==(const Strong&) const = default;
};
struct Strikeout {
    Attr attr;
    Inlines content;
    bool operator==(const Strikeout&) const = default;
};
struct Superscript {
    Attr attr;
    std::string text;  // plain text, not inlines
    bool operator==(const Superscript&) const = default;
};
struct Subscript {
    Attr attr;
    std::string text;  // plain text, not inlines
    bool operator==(const Subscript&) const = default;
};
struct Highlight {
    Attr attr;
    Inlines content;
    bool operator==(const Highlight&) const = default;
};
struct Code {
    Attr attr;
    std::string text;
    bool operator==(const Code&) const = default;
};
struct Link {
    Attr attr;
    Inlines content;
    std::string url;
    std::optional<std::string> title;
    bool operator==(const Link&) const = default;
};
struct Image {
    Attr attr;
    Inlines alt;
    std::string url;
    std::optional<std::string> title;
    bool operator==(const Image&) const = default;
};
struct Autolink {
    std::string url;   // the link target ("mailto:..." for an e-mail address)
    std::string text;  // the displayed text
    bool email = false;
    bool operator==(const Autolink&) const = default;
};
struct RawHtml {
    std::string html;
    bool operator==(const RawHtml&) const = default;
};

// An argument of an unexpanded call; `name` is absent for a positional one.
struct OperationArg {
    Inlines value;
    std::optional<std::string> name;
    bool operator==(const OperationArg&) const = default;
};

// An unexpanded call kept in the tree: a template transclusion, a template
// parameter, a parser function or a module invocation.
struct Operation {
    std::string system;  // "mediawiki"
    std::string kind;    // "transclude", "parameter", "function" or "invoke"
    std::string name;
    std::vector<OperationArg> args;
    bool operator==(const Operation&) const = default;
};

struct TemplateTokenInline {
    template_::TemplateToken token;
    bool operator==(const TemplateTokenInline&) const = default;
};
struct Math {
    Attr attr;
    std::string tex;
    bool display = false;
    bool operator==(const Math&) const = default;
};
struct FootnoteRef {
    std::string label;
    bool operator==(const FootnoteRef&) const = default;
};
struct Note {
    Inlines content;
    bool operator==(const Note&) const = default;
};
struct Span {
    Attr attr;
    Inlines content;
    bool operator==(const Span&) const = default;
};
struct RawInline {
    std::string format;
    std::string text;
    bool operator==(const RawInline&) const = default;
};

enum class InlineKind : std::uint8_t {
    Text,
    SoftBreak,
    HardBreak,
    Emph,
    Strong,
    Strikeout,
    Superscript,
    Subscript,
    Highlight,
    Code,
    Link,
    Image,
    Autolink,
    RawHtml,
    Operation,
    TemplateToken,
    Math,
    FootnoteRef,
    Note,
    Span,
    RawInline,
};

// A node kind held behind a pointer. Copies are deep; a moved-from box is
// empty and may only be assigned to or destroyed.
template <class T>
class Boxed {
public:
    Boxed(T&& value) : p_(std::make_unique<T>(std::move(value))) {}    // NOLINT: implicit by design
    Boxed(const T& value) : p_(std::make_unique<T>(value)) {}          // NOLINT: implicit by design
    // An empty kind made in its box, to be filled there instead of moved in.
    explicit Boxed(std::in_place_t) : p_(std::make_unique<T>()) {}
    Boxed(const Boxed& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
    Boxed(Boxed&&) noexcept = default;
    Boxed& operator=(const Boxed& other) {
        if (this != &other) p_ = other.p_ ? std::make_unique<T>(*other.p_) : nullptr;
        return *this;
    }
    Boxed& operator=(Boxed&&) noexcept = default;

    T& operator*() { return *p_; }
    const T& operator*() const { return *p_; }
    T* get() { return p_.get(); }
    const T* get() const { return p_.get(); }

    bool operator==(const Boxed& other) const {
        return p_ && other.p_ ? *p_ == *other.p_ : p_ == other.p_;
    }

private:
    std::unique_ptr<T> p_;
};

namespace detail {
// How each inline kind is stored in `Inline::Node`: the kinds larger than a
// string go behind a pointer.
template <class T>
using InlineSlot = std::conditional_t<(sizeof(T) > sizeof(std::string)), Boxed<T>, T>;

template <class T>
T& unbox(T& value) {
    return value;
}
template <class T>
const T& unbox(const T& value) {
    return value;
}
template <class T>
T& unbox(Boxed<T>& value) {
    return *value;
}
template <class T>
const T& unbox(const Boxed<T>& value) {
    return *value;
}
// The same as a pointer, null for an emptied box.
template <class T>
T* unbox_ptr(T& value) {
    return &value;
}
template <class T>
const T* unbox_ptr(const T& value) {
    return &value;
}
template <class T>
T* unbox_ptr(Boxed<T>& value) {
    return value.get();
}
template <class T>
const T* unbox_ptr(const Boxed<T>& value) {
    return value.get();
}

// The kind held in `node` when it is stored as `Slot`, else null.
template <class Slot, class Variant>
auto* get_unboxed(Variant& node) {
    auto* slot = std::get_if<Slot>(&node);
    return slot ? unbox_ptr(*slot) : nullptr;
}

// `std::visit` over `node`, the visitor seeing the kinds themselves.
template <class F, class Variant>
decltype(auto) visit_unboxed(F&& f, Variant& node) {
    return std::visit([&f](auto& slot) -> decltype(auto) { return std::forward<F>(f)(unbox(slot)); }, node);
}
}  // namespace detail

struct Inline {
    using Node = std::variant<detail::InlineSlot<Text>, detail::InlineSlot<SoftBreak>, detail::InlineSlot<HardBreak>,
                              detail::InlineSlot<Emph>, detail::InlineSlot<Strong>, detail::InlineSlot<Strikeout>,
                              detail::InlineSlot<Superscript>, detail::InlineSlot<Subscript>,
                              detail::InlineSlot<Highlight>, detail::InlineSlot<Code>, detail::InlineSlot<Link>,
                              detail::InlineSlot<Image>, detail::InlineSlot<Autolink>, detail::InlineSlot<RawHtml>,
                              detail::InlineSlot<Operation>, detail::InlineSlot<TemplateTokenInline>,
                              detail::InlineSlot<Math>, detail::InlineSlot<FootnoteRef>, detail::InlineSlot<Note>,
                              detail::InlineSlot<Span>, detail::InlineSlot<RawInline>>;

    Inline() : node(Text{}) {}
    template <class T>
        requires(!std::is_same_v<std::remove_cvref_t<T>, Inline> &&
                 std::is_constructible_v<Node, std::in_place_type_t<detail::InlineSlot<std::remove_cvref_t<T>>>,
                                         T &&>)
    Inline(T&& value)  // NOLINT: implicit by design
        : node(std::in_place_type<detail::InlineSlot<std::remove_cvref_t<T>>>, std::forward<T>(value)) {}
    // An empty boxed kind, filled in place through `as`.
    template <class T>
        requires std::is_same_v<detail::InlineSlot<T>, Boxed<T>>
    explicit Inline(std::in_place_type_t<T>) : node(std::in_place_type<Boxed<T>>, std::in_place) {}

    Inline(const Inline&) = default;
    Inline(Inline&&) noexcept = default;
    Inline& operator=(const Inline&) = default;
    Inline& operator=(Inline&&) noexcept = default;
    ~Inline();

    InlineKind kind() const { return static_cast<InlineKind>(node.index()); }
    template <class T>
    bool is() const {
        return std::holds_alternative<detail::InlineSlot<T>>(node);
    }
    template <class T>
    T* as() {
        return detail::get_unboxed<detail::InlineSlot<T>>(node);
    }
    template <class T>
    const T* as() const {
        return detail::get_unboxed<detail::InlineSlot<T>>(node);
    }

    bool operator==(const Inline&) const = default;

    // `std::visit` over the node's kind, the visitor seeing the kind itself.
    template <class F>
    friend decltype(auto) visit(F&& f, Inline& in) {
        return detail::visit_unboxed(std::forward<F>(f), in.node);
    }
    template <class F>
    friend decltype(auto) visit(F&& f, const Inline& in) {
        return detail::visit_unboxed(std::forward<F>(f), in.node);
    }

private:
    // Read through `as`, `is` and `visit`, which see the kinds themselves.
    Node node;
};

// ---------------------------------------------------------------------------
// Block kinds, in kind order.

struct Paragraph {
    Attr attr;
    Inlines content;
    bool operator==(const Paragraph&) const = default;
};
struct Heading {
    Attr attr;
    Inlines content;
    std::uint8_t level = 1;  // 1 to 6
    bool operator==(const Heading&) const = default;
};
struct BlockQuote {
    Attr attr;
    Blocks blocks;
    bool operator==(const BlockQuote&) const = default;
};
struct ListItem {
    Attr attr;
    Blocks blocks;
    std::optional<bool> task;  // absent: not a task item; false: open box; true: checked
    bool operator==(const ListItem&) const = default;
};
struct List {
    Attr attr;
    std::vector<ListItem> items;
    std::uint64_t start = 1;  // first number of an ordered list
    bool ordered = false;
    bool tight = false;  // items written without paragraph wrappers
    bool operator==(const List&) const = default;
};
struct DefinitionTerm {
    Attr attr;
    Inlines content;
    bool operator==(const DefinitionTerm&) const = default;
};
struct DefinitionItem {
    std::vector<DefinitionTerm> terms;
    std::vector<Inlines> definitions;  // each definition is one inline run
    bool operator==(const DefinitionItem&) const = default;
};
struct DefinitionList {
    Attr attr;
    std::vector<DefinitionItem> items;
    bool operator==(const DefinitionList&) const = default;
};
struct CodeBlock {
    Attr attr;
    std::string info_text;  // the fence info as written
    std::optional<std::string> lang;
    std::string text;
    bool operator==(const CodeBlock&) const = default;
};

// A template token found inside a raw HTML block, located by byte range.
struct HtmlToken {
    std::string syntax;
    std::string inner;
    std::string name;
    std::size_t start = 0;       // first byte of the token in the block's html
    std::size_t end = 0;         // one past its last byte
    bool table_context = false;  // stands where table rows are expected
    template_::TemplateTokenKind kind = template_::TemplateTokenKind::Value;
    bool operator==(const HtmlToken&) const = default;
};

struct HtmlBlock {
    std::string html;
    std::vector<HtmlToken> tokens;
    bool operator==(const HtmlBlock&) const = default;
};
struct ThematicBreak {
    Attr attr;
    bool operator==(const ThematicBreak&) const = default;
};

template <class Content>
struct TableCellData {
    Attr attr;
    Content content{};
    Align align = Align::Default;
    bool operator==(const TableCellData&) const = default;
};

template <class Content>
struct TableRowData {
    Attr attr;
    std::vector<TableCellData<Content>> cells;
    bool operator==(const TableRowData&) const = default;
};

using TableCell = TableCellData<Inlines>;
using TableRow = TableRowData<Inlines>;

struct Table {
    Attr attr;
    std::vector<Align> aligns;  // one per column
    std::vector<TableRow> head;
    std::vector<TableRow> body;
    std::vector<TableRow> foot;
    Inlines caption;
    // Inline template tokens met between rows, with the body row they precede.
    std::vector<std::pair<std::size_t, Inline>> interludes;
    bool operator==(const Table&) const = default;
};
struct Div {
    Attr attr;
    Blocks blocks;
    bool operator==(const Div&) const = default;
};
struct MathBlock {
    Attr attr;
    std::string tex;
    bool display = true;
    bool operator==(const MathBlock&) const = default;
};
struct Figure {
    Attr attr;
    Inlines caption;
    Inline image;  // an Image
    bool operator==(const Figure&) const = default;
};
struct TemplateTokenBlock {
    template_::TemplateToken token;
    bool operator==(const TemplateTokenBlock&) const = default;
};
struct RawBlock {
    std::string format;
    std::string text;
    bool operator==(const RawBlock&) const = default;
};
struct FormatBlock {
    std::string format;
    std::string text;
    bool operator==(const FormatBlock&) const = default;
};

enum class BlockKind : std::uint8_t {
    Paragraph,
    Heading,
    BlockQuote,
    List,
    DefinitionList,
    CodeBlock,
    HtmlBlock,
    ThematicBreak,
    Table,
    Div,
    MathBlock,
    Figure,
    TemplateToken,
    RawBlock,
    FormatBlock,
};

namespace detail {
// How each block kind is stored in `Block::Node`: tables, code blocks and
// figures, large and rare, go behind a pointer, and the others take the
// room of the largest of them.
template <class T>
using BlockSlot = std::conditional_t<(sizeof(T) > sizeof(List)), Boxed<T>, T>;
}  // namespace detail

struct Block {
    using Node = std::variant<detail::BlockSlot<Paragraph>, detail::BlockSlot<Heading>, detail::BlockSlot<BlockQuote>,
                              detail::BlockSlot<List>, detail::BlockSlot<DefinitionList>,
                              detail::BlockSlot<CodeBlock>, detail::BlockSlot<HtmlBlock>,
                              detail::BlockSlot<ThematicBreak>, detail::BlockSlot<Table>, detail::BlockSlot<Div>,
                              detail::BlockSlot<MathBlock>, detail::BlockSlot<Figure>,
                              detail::BlockSlot<TemplateTokenBlock>, detail::BlockSlot<RawBlock>,
                              detail::BlockSlot<FormatBlock>>;

    Block() : node(Paragraph{}) {}
    template <class T>
        requires(!std::is_same_v<std::remove_cvref_t<T>, Block> &&
                 std::is_constructible_v<Node, std::in_place_type_t<detail::BlockSlot<std::remove_cvref_t<T>>>,
                                         T &&>)
    Block(T&& value)  // NOLINT: implicit by design
        : node(std::in_place_type<detail::BlockSlot<std::remove_cvref_t<T>>>, std::forward<T>(value)) {}

    Block(const Block&) = default;
    Block(Block&&) noexcept = default;
    Block& operator=(const Block&) = default;
    Block& operator=(Block&&) noexcept = default;
    ~Block();

    BlockKind kind() const { return static_cast<BlockKind>(node.index()); }
    template <class T>
    bool is() const {
        return std::holds_alternative<detail::BlockSlot<T>>(node);
    }
    template <class T>
    T* as() {
        return detail::get_unboxed<detail::BlockSlot<T>>(node);
    }
    template <class T>
    const T* as() const {
        return detail::get_unboxed<detail::BlockSlot<T>>(node);
    }

    // The node's attributes, or null for the kinds that carry none
    // (HtmlBlock, TemplateToken, RawBlock, FormatBlock).
    Attr* attr();
    const Attr* attr() const;

    bool operator==(const Block&) const = default;

    // `std::visit` over the node's kind, the visitor seeing the kind itself.
    template <class F>
    friend decltype(auto) visit(F&& f, Block& b) {
        return detail::visit_unboxed(std::forward<F>(f), b.node);
    }
    template <class F>
    friend decltype(auto) visit(F&& f, const Block& b) {
        return detail::visit_unboxed(std::forward<F>(f), b.node);
    }

private:
    // Read through `as`, `is` and `visit`, which see the kinds themselves.
    Node node;
};

// ---------------------------------------------------------------------------
// Document

struct Footnote {
    std::string label;
    Blocks blocks;
    bool operator==(const Footnote&) const = default;
};

struct Document {
    Blocks blocks;
    std::vector<Footnote> footnotes;  // in the order the reader met them
    std::vector<diagnostic::Diagnostic> diagnostics;
    std::vector<std::pair<std::string, std::string>> metadata;  // front matter, in order
    bool operator==(const Document&) const = default;
};

// The kinds' names as written in the debug dump ("Paragraph", "Emph", ...).
std::string_view kind_name(BlockKind kind);
std::string_view kind_name(InlineKind kind);

// A readable, indented rendering of a tree for tests and debugging. Stable
// across runs; not a serialisation format.
std::string debug_string(const Document& doc);
std::string debug_string(const Blocks& blocks);
std::string debug_string(const Inlines& inlines);

}  // namespace tavrel::ast
