// Column arithmetic on the prefixes of Markdown lines.
//
// Containers are matched by columns, not bytes: a tab moves to the next
// multiple of 4. When a container's prefix ends in the middle of a tab, the
// tab is split and the columns it reaches past the prefix stay as spaces, so
// that the content keeps its indentation relative to the container. All
// helpers copy only the line they return.
#include <string>
#include <string_view>

#include "tavrel/block.hpp"
#include "tavrel/text.hpp"

namespace tavrel::line {

namespace {
constexpr std::size_t next_tab_stop(std::size_t column) { return (column / 4 + 1) * 4; }
}  // namespace

Indent indentation(std::string_view line) {
    Indent in;
    for (char c : line) {
        if (c == ' ') {
            in.columns += 1;
        } else if (c == '\t') {
            in.columns = next_tab_stop(in.columns);
        } else {
            break;
        }
        in.bytes += 1;
    }
    return in;
}

bool is_blank(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (!(c == ' ' || (c >= '\t' && c <= '\r'))) return false;
            ++i;
            continue;
        }
        auto d = text::decode_utf8(text, i);
        if (!text::is_white_space(d.cp)) return false;
        i += d.len;
    }
    return true;
}

std::string expand_leading_indent(std::string_view text, std::size_t column) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        if (text[i] == ' ') {
            out.push_back(' ');
            column += 1;
        } else {
            std::size_t to = next_tab_stop(column);
            out.append(to - column, ' ');
            column = to;
        }
        ++i;
    }
    out.append(text.substr(i));
    return out;
}

std::string Line::strip_from(std::string_view text, std::size_t start, std::size_t column, std::size_t target,
                             bool expand) {
    std::size_t i = start;
    std::size_t leftover = 0;
    while (column < target) {
        if (i >= text.size()) return {};
        char c = text[i];
        if (c == ' ') {
            column += 1;
        } else if (c == '\t') {
            std::size_t to = next_tab_stop(column);
            if (to > target) {
                leftover = to - target;
                column = target;
                ++i;
                break;
            }
            column = to;
        } else {
            break;
        }
        ++i;
    }
    std::string rest(leftover, ' ');
    rest.append(text.substr(i));
    if (!expand) return rest;
    return expand_leading_indent(rest, column);
}

}  // namespace tavrel::line

namespace tavrel::block {

std::string strip_quote_marker(std::string_view line, bool expand) {
    auto in = line::indentation(line);
    if (in.columns > 3 || in.bytes >= line.size() || line[in.bytes] != '>') return std::string(line);
    std::size_t after = in.bytes + 1;
    bool spaced = after < line.size() && (line[after] == ' ' || line[after] == '\t');
    return line::Line::strip_from(line, after, in.columns + 1, in.columns + (spaced ? 2 : 1), expand);
}

}  // namespace tavrel::block
