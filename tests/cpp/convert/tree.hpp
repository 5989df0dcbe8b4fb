// Test helper: terse builders for hand-made document trees, so a test reads
// like the wikitext it stands for.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tavrel/ast.hpp"

namespace cwtest {

using namespace tavrel::ast;

inline Inline T(std::string s) { return Text{std::move(s)}; }

// Inlines of one text, or none for an empty text (as the reader gives an
// empty argument).
inline Inlines Ts(std::string s) {
    Inlines out;
    if (!s.empty()) out.push_back(T(std::move(s)));
    return out;
}

inline OperationArg pos(std::string v) { return OperationArg{Ts(std::move(v)), std::nullopt}; }
inline OperationArg pos(Inlines v) { return OperationArg{std::move(v), std::nullopt}; }
inline OperationArg kw(std::string k, std::string v) { return OperationArg{Ts(std::move(v)), std::move(k)}; }

// {{name|args...}}
inline Operation tmpl(std::string name, std::vector<OperationArg> args = {}) {
    return Operation{"mediawiki", "transclude", std::move(name), std::move(args)};
}
// {{#name:...}}
inline Operation fn(std::string name, std::vector<OperationArg> args = {}) {
    return Operation{"mediawiki", "function", std::move(name), std::move(args)};
}

inline Math M(std::string tex, bool display = false) {
    Math m;
    m.tex = std::move(tex);
    m.display = display;
    return m;
}

inline Block P(Inlines content) { return Paragraph{Attr{}, std::move(content)}; }
inline Block P(std::string text) { return P(Ts(std::move(text))); }
inline Block H(int level, std::string text) {
    Heading h;
    h.level = static_cast<std::uint8_t>(level);
    h.content = Ts(std::move(text));
    return h;
}

inline Link internal_link(std::string url, std::string text) {
    Link l;
    l.url = std::move(url);
    l.content = Ts(std::move(text));
    return l;
}

inline Link category(std::string sort_key) {
    Link l;
    l.url = "./Category:X";
    l.attr.set_pair("data-mediawiki-category", sort_key);
    return l;
}

inline Image image(std::string alt) {
    Image im;
    im.url = "./File:A.jpg";
    im.alt = Ts(std::move(alt));
    im.attr.set_pair("data-mediawiki-source", "[[File:A.jpg|" + im.url + "]]");
    return im;
}

// A string of `n` copies of `unit`.
inline std::string repeat(std::string_view unit, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.append(unit);
    return s;
}

}  // namespace cwtest
