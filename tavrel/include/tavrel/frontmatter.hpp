// Front matter: a block of "key: value" lines between "---" fences at the
// head of a Markdown text. The writer emits it from a document's metadata;
// this split finds it again so that the reader sees only the body.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrel::frontmatter {

struct Split {
    std::vector<std::pair<std::string, std::string>> pairs;  // in order
    // The text for the reader: one "\n" per front-matter line (fences
    // included), then the rest, so line numbers stay those of the input.
    std::string body;
};

// The front matter at the head of `md`, or nothing when `md` has none (no
// opening fence, no closing fence, a malformed line, or no pair at all).
std::optional<Split> split(std::string_view md);

}  // namespace tavrel::frontmatter
