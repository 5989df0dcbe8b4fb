// Character references and backslash escapes: the two small text services
// every reader runs over raw text before it becomes node text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrel::entity {

// Replaces decimal, hexadecimal and HTML5 named character references by the
// characters they stand for, in two passes: first numeric references of
// bounded length (control characters included), then the HTML5 decoder over
// that result (so "&#38;lt;" gives "<"). Never fails; text without "&" is
// returned unchanged.
std::string decode_entities(std::string_view text);

// Whether `decode_entities` changes `ref`, one reference from "&" to the
// first ";" after it with no "&" between: the same answer as comparing the
// decoded text, without making it.
bool decodes_reference(std::string_view ref);

// Removes a backslash in front of an ASCII punctuation character; any other
// backslash stays, together with the character after it.
std::string unescape_backslash_punctuation(std::string_view text);

// The code points of an HTML5 named reference given without "&" and ";"
// (case-sensitive, semicolon forms only), as UTF-8; nothing when unknown.
std::optional<std::string_view> lookup_named(std::string_view name);

// The shortest name of an HTML5 named reference (without "&" and ";")
// that stands for `chars`; nothing when none does.
std::optional<std::string_view> name_for(std::string_view chars);

}  // namespace tavrel::entity
