// Character, word and name tests behind the inline parser's links that carry
// no markup (bare URLs, "www." addresses, e-mail addresses), angle-bracket
// e-mail autolinks, inline HTML tags and math closers.
//
// These are pure functions over borrowed text: positions are byte offsets on
// character boundaries, nothing is allocated, and every function is safe to
// call from any number of threads. The inline parser decides when each is
// asked and builds the nodes; the block reader uses the two tag-name sets.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tavrel::autolink {

// The first position at or after `start` where the two bytes of `closer`
// stand unescaped (a backslash that is not itself escaped hides the next
// character); nothing when there is none.
std::optional<std::size_t> find_unescaped(std::string_view text, std::size_t start, std::string_view closer);

// End of the HTML tag name at the start of `text` (an ASCII letter, then
// ASCII letters, digits and "-"); nothing when no name starts there.
std::optional<std::size_t> html_tag_name_end(std::string_view text);

// Membership of an ASCII lower-case name in the block tag set (28 names),
// and in the inline tag set: a block name, one of 20 inline names, or any
// name holding "-" (a custom element).
bool is_md_block_html_tag(std::string_view name);
bool is_md_html_tag(std::string_view name);

// Whether the whole text is an e-mail address (ASCII local part, dotted
// domain of alphanumeric labels).
bool is_email(std::string_view text);

// Whether `c` may stand in an e-mail address's local part: an ASCII letter
// or digit, or one of . ! # $ % & ' * + / = ? ^ _ ` { | } ~ -.
bool is_email_local_char(char32_t c);

// Whether a bare autolink may start right after the character `c`.
bool is_boundary(char32_t c);

// Whether the last character before `pos` that is not white space is "<".
bool preceded_by_angle_opener(std::string_view text, std::size_t pos);

// The candidate word at `start`: at most 255 bytes (cut at a character
// boundary), ending at the first white space.
std::string_view bounded_autolink_word(std::string_view text, std::size_t start);

// The longest e-mail address a word begins with, once the characters
// . , ; : ! ? ) are stripped from both ends of a prefix. `start` is the
// offset of the address in the word (after stripped leading characters),
// so a caller that consumes the word keeps those characters as text.
struct EmailPrefix {
    std::size_t start = 0;
    std::size_t len = 0;
};
std::optional<EmailPrefix> bare_email_prefix(std::string_view word);

// New end for the candidate URL text[start, end), never below `start`:
// trailing ! " ' * , . : ? ~ removed.
std::size_t trim_trailing_url_punct(std::string_view text, std::size_t start, std::size_t end);

// As above, plus a trailing character reference or run of ";" and surplus
// closing parentheses removed.
std::size_t trim_bare_url_end(std::string_view text, std::size_t start, std::size_t end);

}  // namespace tavrel::autolink
