// The front-matter split. Strict on purpose: one malformed line means the
// text has no front matter at all, so ordinary text that merely starts with
// a rule is never taken apart.
#include "tavrel/frontmatter.hpp"

#include "tavrel/text.hpp"

namespace tavrel::frontmatter {
namespace {

bool key_ok(std::string_view key) {
    auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); };
    if (key.empty() || !(alnum(key[0]) || key[0] == '_')) return false;
    for (char c : key.substr(1)) {
        if (!(alnum(c) || c == ' ' || c == '-' || c == '.' || c == '_')) return false;
    }
    return true;
}

}  // namespace

std::optional<Split> split(std::string_view md) {
    std::size_t pos = 0;
    auto next_line = [&](std::string_view& line) {
        if (pos >= md.size()) return false;
        std::size_t nl = md.find('\n', pos);
        std::size_t end = nl == std::string_view::npos ? md.size() : nl + 1;
        line = md.substr(pos, end - pos);
        pos = end;
        return true;
    };
    std::string_view line;
    if (!next_line(line) || text::trim_end(line) != "---") return std::nullopt;
    Split out;
    std::size_t lines = 1;
    bool closed = false;
    while (next_line(line)) {
        ++lines;
        std::string_view stripped = text::trim_end(line);
        if (stripped == "---" || stripped == "...") {
            closed = true;
            break;
        }
        std::string_view t = text::trim(line);
        if (t.empty() || t[0] == '#' || line[0] == ' ' || line[0] == '\t') continue;
        std::size_t colon = t.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        std::string_view key = text::trim_end(t.substr(0, colon));
        if (!key_ok(key)) return std::nullopt;
        std::string_view value = text::trim(t.substr(colon + 1));
        if (value.size() > 1 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
            value = value.substr(1, value.size() - 2);
        }
        out.pairs.emplace_back(std::string(key), std::string(value));
    }
    if (!closed || out.pairs.empty()) return std::nullopt;
    out.body.assign(lines, '\n');
    out.body.append(md.substr(pos));
    return out;
}

}  // namespace tavrel::frontmatter
