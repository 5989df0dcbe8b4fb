// Template tokens: opaque markers of an outer template language (a
// substitution between double braces, a section opener marked by a sigil)
// that the Markdown reader keeps as tokens instead of parsing them.
//
// Which markers exist is not fixed: the reader's options hold a list of
// delimiter rules, and `token_at` finds a token of any of them at one place.
// `template` is a C++ keyword, so the namespace is spelled `template_`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrel {

// The three sigils that mark a section opener, an inverted opener and an end.
struct TemplateSigils {
    std::string section;
    std::string inverted;
    std::string end;
};

// One delimiter rule of the reader's options.
struct TemplateDelimiter {
    std::string name;   // copied into every token the rule finds, as `syntax`
    std::string open;   // opening delimiter
    std::string close;  // closing delimiter
    std::optional<TemplateSigils> sigils;
    // (open character, close character): when present the closer is searched
    // with nesting, quotes and backslash escapes taken into account.
    std::optional<std::pair<char32_t, char32_t>> nesting;
    // 0 both contexts, 1 inline only, 2 block only; anything else counts as 0.
    std::uint8_t placement = 0;
};

namespace template_ {

enum class TemplateTokenKind : std::uint8_t {
    Value = 0,
    Section = 1,
    Inverted = 2,
    End = 3,
    Unknown = 4,
};

// "value", "section", "inverted", "end" or "unknown".
std::string_view kind_name(TemplateTokenKind kind);

struct TemplateToken {
    std::string syntax;  // name of the rule that matched
    std::string source;  // the whole token, delimiters included
    std::string inner;   // the text between the delimiters, untrimmed
    std::string name;    // empty for Unknown tokens
    TemplateTokenKind kind = TemplateTokenKind::Value;

    bool operator==(const TemplateToken&) const = default;
};

struct TokenMatch {
    TemplateToken token;
    std::size_t end;  // byte offset just past the closing delimiter
};

// Looks for a token that begins exactly at `position` of `text` (a character
// boundary). Returns nothing when no rule matches there. With an empty rule
// list it returns at once and allocates nothing.
std::optional<TokenMatch> token_at(std::string_view text, std::size_t position,
                                   const std::vector<TemplateDelimiter>& rules, bool block_context);

// The token that makes up the whole of `line` (surrounding white space aside),
// found in block context; nothing when anything else stands on the line.
std::optional<TemplateToken> line_token(std::string_view line,
                                        const std::vector<TemplateDelimiter>& rules);

}  // namespace template_
}  // namespace tavrel
