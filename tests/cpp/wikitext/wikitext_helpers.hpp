// Shorthands for the wikitext reader tests: read a page or an inline text
// and dump the tree in the stable debug form the assertions compare.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tavrel/ast.hpp"
#include "tavrel/wikitext.hpp"

namespace wt_test {

inline std::string page(std::string_view text) {
    return tavrel::ast::debug_string(tavrel::wikitext::document::parse(text));
}

inline std::string inl(std::string_view text) {
    std::vector<tavrel::ast::Footnote> notes;
    return tavrel::ast::debug_string(tavrel::wikitext::document::inlines(text, notes));
}

}  // namespace wt_test
