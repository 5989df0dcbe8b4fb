// The small grammars of the Markdown dialect that both reader passes share:
// braced attribute blocks ("{#id .class key=value}", also "{: ...}"), the
// raw marker ("{=html}") and bracketed link labels with their validation and
// normalisation.
//
// Every function either recognises its construct or says that the text is
// not one; none reports an error, and the caller then keeps the text as
// ordinary text. All are pure and safe to call from any number of threads.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tavrel/ast.hpp"

namespace tavrel::attrs {

// An attribute block and the bytes it took, through the closing brace.
struct BracedAttr {
    ast::Attr attr;
    std::size_t len = 0;
};

// Text that starts with "{" and forms an attribute block: its attributes and
// byte length. A "}" inside quotes or after a backslash does not close the
// block. Nothing for empty braces, a raw marker or braces around words.
std::optional<BracedAttr> parse_braced_attr(std::string_view text);

// Whether a trimmed brace body reads as attributes: in the colon form any
// non-empty body; otherwise one that starts with "#" or "." or whose first
// word holds "=" after its first character.
bool looks_like_attrs(std::string_view body, bool colon_form);

// The attributes of a brace body (without braces or leading colon). Words it
// does not understand are dropped; an empty body gives an empty Attr.
ast::Attr parse_attrs_body(std::string_view body);

// Whether every word of a brace body is an attribute: "#" and an identifier,
// "." and a class (several may run together), or a key, "=" and a value that
// is bare or wholly quoted. A body with any other word is text, not
// attributes, and must not lose that text to `parse_attrs_body`.
bool attrs_body_valid(std::string_view body);

// Removes every backslash and keeps the character after it as it stands; a
// backslash at the very end is kept.
std::string unescape_attr(std::string_view text);

// A raw marker "{=name}" at the start of the text: the format name (ASCII
// letters, digits, "_" and "-", non-empty) and the bytes taken.
struct RawMarker {
    std::string_view format;  // borrowed from the text
    std::size_t len = 0;
};
std::optional<RawMarker> raw_attr(std::string_view text);

// A bracketed label at the start of the text: the label between the brackets
// (backslashes kept) and the bytes taken through the "]". Nothing for an
// unescaped "[" inside, a missing "]" or more than 999 characters.
struct LinkLabel {
    std::string_view label;  // borrowed from the text
    std::size_t len = 0;
};
std::optional<LinkLabel> scan_link_label(std::string_view text);

// Whether a label may name a link: no unescaped bracket, at most 999
// characters, and something other than white space unless `allow_blank`.
bool valid_link_label(std::string_view label, bool allow_blank);

// The key under which a label's definition is stored and looked up: white
// space runs collapsed to one space, ends trimmed, then every character
// replaced by its full Unicode lower-case mapping.
std::string normalize_label(std::string_view label);

// Longest label `scan_link_label` and `valid_link_label` accept, in characters.
inline constexpr std::size_t max_label_chars = 999;

}  // namespace tavrel::attrs
