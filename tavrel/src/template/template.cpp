// The template-token scanner. It is asked at many positions of every inline
// run, so the common case (no rules at all) returns before touching anything,
// and nothing is allocated unless a token is returned.
#include "tavrel/template.hpp"

#include "tavrel/text.hpp"

namespace tavrel::template_ {

std::string_view kind_name(TemplateTokenKind kind) {
    switch (kind) {
        case TemplateTokenKind::Value: return "value";
        case TemplateTokenKind::Section: return "section";
        case TemplateTokenKind::Inverted: return "inverted";
        case TemplateTokenKind::End: return "end";
        case TemplateTokenKind::Unknown: return "unknown";
    }
    return "unknown";
}

namespace {

bool admits(const TemplateDelimiter& rule, bool block_context) {
    if (rule.open.empty() || rule.close.empty()) return false;
    if (block_context && rule.placement == 1) return false;
    if (!block_context && rule.placement == 2) return false;
    return true;
}

// Offset of the closer in `text`, searching from `from`, honouring nesting,
// quotes and backslash escapes; npos when the text ends first.
std::size_t find_nested_close(std::string_view text, std::size_t from, std::string_view close, char32_t open_ch,
                              char32_t close_ch) {
    std::size_t depth = 0;
    char32_t quote = 0;
    bool escaped = false;
    std::size_t i = from;
    while (i < text.size()) {
        text::Decoded d = text::decode_utf8(text, i);
        char32_t c = d.cp;
        if (escaped) {
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else {
            if (depth == 0 && text.substr(i, close.size()) == close) return i;
            if (c == open_ch) {
                ++depth;
            } else if (c == close_ch && depth > 0) {
                --depth;
            }
        }
        i += d.len;
    }
    return std::string_view::npos;
}

void name_and_kind(const TemplateDelimiter& rule, TemplateToken& token) {
    std::string_view t = text::trim(token.inner);
    if (!rule.sigils) {
        token.kind = TemplateTokenKind::Value;
        token.name.assign(t);
        return;
    }
    const TemplateSigils& s = *rule.sigils;
    const std::pair<const std::string*, TemplateTokenKind> order[] = {
        {&s.section, TemplateTokenKind::Section},
        {&s.inverted, TemplateTokenKind::Inverted},
        {&s.end, TemplateTokenKind::End},
    };
    for (const auto& [sigil, kind] : order) {
        if (t.substr(0, sigil->size()) == *sigil) {
            std::string_view rest = text::trim(t.substr(sigil->size()));
            if (rest.empty()) {
                token.kind = TemplateTokenKind::Unknown;
                token.name.clear();
            } else {
                token.kind = kind;
                token.name.assign(rest);
            }
            return;
        }
    }
    if (t.empty() || (t != "." && text::is_ascii_punctuation(static_cast<unsigned char>(t[0])))) {
        token.kind = TemplateTokenKind::Unknown;
        token.name.clear();
        return;
    }
    token.kind = TemplateTokenKind::Value;
    token.name.assign(t);
}

}  // namespace

std::optional<TokenMatch> token_at(std::string_view text, std::size_t position,
                                   const std::vector<TemplateDelimiter>& rules, bool block_context) {
    if (rules.empty() || position >= text.size()) return std::nullopt;
    std::string_view rest = text.substr(position);
    const TemplateDelimiter* best = nullptr;
    for (const auto& rule : rules) {
        if (!admits(rule, block_context)) continue;
        if (rest.substr(0, rule.open.size()) != rule.open) continue;
        if (best == nullptr || rule.open.size() >= best->open.size()) best = &rule;
    }
    if (best == nullptr) return std::nullopt;

    std::size_t inner_start = position + best->open.size();
    std::size_t close_at;
    if (best->nesting) {
        close_at = find_nested_close(text, inner_start, best->close, best->nesting->first, best->nesting->second);
    } else {
        close_at = text.find(best->close, inner_start);
    }
    if (close_at == std::string_view::npos) return std::nullopt;

    std::size_t end = close_at + best->close.size();
    TokenMatch match;
    match.end = end;
    match.token.syntax = best->name;
    match.token.source.assign(text.substr(position, end - position));
    match.token.inner.assign(text.substr(inner_start, close_at - inner_start));
    name_and_kind(*best, match.token);
    return match;
}

std::optional<TemplateToken> line_token(std::string_view line, const std::vector<TemplateDelimiter>& rules) {
    if (rules.empty()) return std::nullopt;
    std::string_view trimmed = text::trim(line);
    auto match = token_at(trimmed, 0, rules, true);
    if (!match || match->end != trimmed.size()) return std::nullopt;
    return std::move(match->token);
}

}  // namespace tavrel::template_
