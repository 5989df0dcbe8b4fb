// Small constructors for hand-built trees, so that a test reads like the tree
// it builds.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/write_md.hpp"

namespace wt {

using namespace tavrel::ast;

inline Inline T(std::string s) { return Text{std::move(s)}; }
inline Inline SB() { return SoftBreak{}; }
inline Inline HB() { return HardBreak{}; }
inline Inline Em(Inlines c) { return Emph{Attr{}, std::move(c)}; }
inline Inline St(Inlines c) { return Strong{Attr{}, std::move(c)}; }
inline Block P(Inlines c) { return Paragraph{Attr{}, std::move(c)}; }
inline Block H(std::uint8_t level, Inlines c, Attr a = {}) { return Heading{std::move(a), std::move(c), level}; }
inline Attr Id(std::string id) {
    Attr a;
    a.id = std::move(id);
    return a;
}
inline Attr Cls(std::string c) { return Attr::with_class(c); }

inline ListItem Item(Blocks b) { return ListItem{Attr{}, std::move(b), std::nullopt}; }
inline Block Bullets(std::vector<ListItem> items) { return List{Attr{}, std::move(items), 1, false, true}; }
inline Block Ordered(std::uint64_t start, std::vector<ListItem> items) {
    return List{Attr{}, std::move(items), start, true, true};
}

inline TableCell Cell(Inlines c) { return TableCell{Attr{}, std::move(c), Align::Default}; }
inline TableRow Row(std::vector<TableCell> cells) { return TableRow{Attr{}, std::move(cells)}; }

inline Document Doc(Blocks b) {
    Document d;
    d.blocks = std::move(b);
    return d;
}

inline std::string md(const Document& d) { return tavrel::write_md::render_md(d); }
inline std::string md(Blocks b) { return md(Doc(std::move(b))); }

}  // namespace wt
