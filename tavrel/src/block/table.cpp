// Pipe tables: splitting rows into cells, reading the delimiter row, and the
// two builder steps that turn a paragraph's last line into a header and add
// body rows.
//
// Cells stay raw text during the block pass; finalisation runs the inline
// parser over each. A table begins only when a delimiter row follows a
// paragraph line with as many cells, so ordinary text holding "|" stays text.
// Body rows are padded or cut to the column count, never rejected.
#include <string>
#include <utility>

#include "tavrel/block.hpp"
#include "tavrel/text.hpp"

namespace tavrel::block {

std::vector<std::string> raw_table_cells(std::string_view line) {
    std::string_view t = text::trim(line);
    std::vector<std::string> cells;
    std::string cell;
    for (std::size_t i = 0; i < t.size(); ++i) {
        char c = t[i];
        if (c == '\\') {
            if (i + 1 < t.size()) {
                if (t[i + 1] != '|') cell.push_back('\\');
                cell.push_back(t[i + 1]);
                ++i;
            } else {
                cell.push_back('\\');
            }
        } else if (c == '|') {
            cells.emplace_back(text::trim(cell));
            cell.clear();
        } else {
            cell.push_back(c);
        }
    }
    cells.emplace_back(text::trim(cell));
    return cells;
}

std::optional<std::vector<std::string>> split_table_row(std::string_view line) {
    if (line.find('|') == std::string_view::npos) return std::nullopt;
    auto cells = raw_table_cells(line);
    if (!cells.empty() && cells.front().empty()) cells.erase(cells.begin());
    if (!cells.empty() && cells.back().empty()) cells.pop_back();
    return cells;
}

std::vector<std::size_t> table_pipe_offsets(std::string_view line) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\') {
            ++i;
        } else if (line[i] == '|') {
            out.push_back(i);
        }
    }
    return out;
}

std::optional<ast::Align> delimiter_align(std::string_view cell) {
    std::string_view t = text::trim(cell);
    bool left = !t.empty() && t.front() == ':';
    bool right = !t.empty() && t.back() == ':';
    while (!t.empty() && t.front() == ':') t.remove_prefix(1);
    while (!t.empty() && t.back() == ':') t.remove_suffix(1);
    if (t.empty() || t.find_first_not_of('-') != std::string_view::npos) return std::nullopt;
    if (left && right) return ast::Align::Center;
    if (left) return ast::Align::Left;
    if (right) return ast::Align::Right;
    return ast::Align::Default;
}

TextRow draft_inline_table_row(std::vector<std::string> cells, const std::vector<ast::Align>& aligns,
                               std::size_t columns) {
    (void)columns;
    TextRow row;
    row.cells.reserve(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        TextCell cell;
        cell.content = std::move(cells[i]);
        cell.align = i < aligns.size() ? aligns[i] : ast::Align::Default;
        row.cells.push_back(std::move(cell));
    }
    return row;
}

bool ContainerBuilder::convert_paragraph_to_table(std::string_view line) {
    BuildNode* last = last_child();
    if (!last) return false;
    auto* para = last->as<node::Paragraph>();
    if (!para || para->lines.empty()) return false;
    const std::string& header_line = para->lines.back();
    // A lone "|" gives no cells, and no table.
    auto header = split_table_row(header_line);
    if (!header || header->empty()) return false;
    auto delims = split_table_row(line);
    if (!delims || delims->empty()) return false;
    std::vector<ast::Align> aligns;
    aligns.reserve(delims->size());
    for (const auto& d : *delims) {
        auto a = delimiter_align(d);
        if (!a) return false;
        aligns.push_back(*a);
    }
    if (header->size() != aligns.size()) return false;

    node::Table table;
    table.leading_pipe = text::trim_start(header_line).starts_with('|');
    std::size_t columns = aligns.size();
    table.head.push_back(draft_inline_table_row(std::move(*header), aligns, columns));
    table.aligns = std::move(aligns);

    if (para->lines.size() == 1) {
        last->kind = std::move(table);
    } else {
        para->lines.pop_back();
        std::size_t index = open_node(std::move(table));
        nodes[index].start_line = this->line == 0 ? 0 : this->line - 1;
    }
    leaf_open = true;
    return true;
}

void ContainerBuilder::append_table_row(std::string_view line) {
    auto* table = last_child()->as<node::Table>();
    std::vector<std::string> cells;
    if (line.find('|') != std::string_view::npos) {
        cells = raw_table_cells(line);
    } else {
        cells.emplace_back(text::trim(line));
    }
    if (table->leading_pipe && !cells.empty() && cells.front().empty()) cells.erase(cells.begin());
    std::size_t columns = table->aligns.size();
    cells.resize(columns);
    table->body.push_back(draft_inline_table_row(std::move(cells), table->aligns, columns));
    leaf_open = true;
}

}  // namespace tavrel::block
