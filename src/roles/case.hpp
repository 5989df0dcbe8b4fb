// Full Unicode case mapping for the conversion layer.
//
// Template names, argument keys and headings are compared after Unicode
// case mapping with the full (one-to-many) mappings of the root locale, so
// "ß" upper-cases to "SS" and "İ" lower-cases to "i" plus a combining dot,
// never through ASCII tables or one-to-one simple mappings. Nearly all the
// text that reaches these functions is ASCII, so ASCII takes a fast path
// that never touches ICU.
#pragma once

#include <string>
#include <string_view>

namespace corpuswright::casemap {

// The full lower-case mapping of `s` (UTF-8). Invalid UTF-8 sequences come
// out as U+FFFD. Thread-safe.
std::string lower(std::string_view s);

// Appends the full upper-case mapping of the one code point `cp` to `out`.
void append_upper(std::string& out, char32_t cp);

// True when `s` begins with the ASCII text `prefix` (lower-case letters),
// letters compared without regard to ASCII case.
bool starts_with_ascii_ci(std::string_view s, std::string_view prefix);

// True when `s` equals the ASCII text `word` (lower-case letters) without
// regard to ASCII case.
bool equals_ascii_ci(std::string_view s, std::string_view word);

}  // namespace corpuswright::casemap
