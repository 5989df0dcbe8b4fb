// Tables and HTML containers of the wikitext reader.
//
// Only simple tables are modelled: one header row first, equal cell counts,
// no row or cell attributes, no multi-line cells, no pipe templates. Any
// other table is read as one paragraph of inline wikitext instead, so that
// nothing is lost. The attempt reads cells as it goes; when it gives up, the
// footnotes its cells registered are dropped before the fallback reads the
// same text again, so a named reference registers exactly once either way.
//
// Block quotes are read as paragraphs. A quote may open and close on one
// line, and text after the opening tag or before the closing tag belongs to
// the quote; only a quote that is never closed keeps the rest of the page
// verbatim.
#include "tables.hpp"

#include "tavrel/text.hpp"

namespace tavrel::wikitext {

using namespace tavrel::ast;
static constexpr std::size_t npos = std::string_view::npos;

namespace document {

// A row of an accepted table: cells with empty attributes and default
// alignment.
TableRow table_block(std::vector<Inlines>&& cells) {
    TableRow row;
    row.cells.reserve(cells.size());
    for (auto& c : cells) row.cells.push_back(TableCell{Attr{}, std::move(c), Align::Default});
    return row;
}

}  // namespace document

namespace detail {
namespace {

// "class=wikitable" in either quoting, or nothing at all.
std::optional<Attr> table_attr(std::string_view rest) {
    std::string_view t = detail::trim(rest);
    if (t.empty()) return Attr{};
    bool ok = true;
    text::for_each_white_space_piece(t, [&](std::string_view word) {
        if (word != "class=wikitable" && word != "class=\"wikitable\"") ok = false;
    });
    if (!ok) return std::nullopt;
    return Attr::with_class("wikitable");
}

struct DraftRow {
    bool header = false;
    std::vector<Inlines> cells;
};

// The body of a table between its "{|" and "|}" lines; false when the table
// cannot be modelled.
bool read_rows(const std::vector<std::string_view>& lines, std::size_t first, std::size_t last, Context& cx,
               std::vector<DraftRow>& rows, Inlines& caption) {
    std::optional<DraftRow> current;
    for (std::size_t k = first; k < last; ++k) {
        std::string_view t = detail::trim_start(lines[k]);
        if (t.empty()) return false;
        if (t.starts_with("|-")) {
            if (!detail::trim(t.substr(2)).empty()) return false;
            if (current) rows.push_back(std::move(*current));
            current.reset();
            continue;
        }
        if (t.starts_with("|+")) {
            if (!caption.empty()) return false;
            caption = read_inlines(detail::trim(t.substr(2)), cx);
            continue;
        }
        if (t[0] != '!' && t[0] != '|') return false;
        bool header = t[0] == '!';
        std::string_view cell_text = t.substr(1);
        if (cell_text.find("{{!") != npos || cell_text.find("{{pipe") != npos) return false;
        if (current && current->header != header) return false;
        if (!current) current = DraftRow{header, {}};
        for (std::string_view piece : split_top(cell_text, header ? "!!" : "||")) {
            std::size_t bar = find_top(piece, 0, "|");
            std::string_view head = bar == npos ? piece : piece.substr(0, bar);
            if (head.find('=') != npos && piece.find('|') != npos) return false;
            current->cells.push_back(read_inlines(detail::trim(piece), cx));
        }
    }
    if (current) rows.push_back(std::move(*current));
    return true;
}

}  // namespace

std::optional<std::size_t> read_table(std::string_view text, const std::vector<std::string_view>& lines,
                                      std::size_t i, Context& cx, Blocks& out) {
    std::size_t last = i + 1;
    while (last < lines.size() && !detail::trim_start(lines[last]).starts_with("|}")) ++last;
    if (last >= lines.size()) return std::nullopt;

    std::size_t mark = cx.footnotes->size();
    auto attr = table_attr(detail::trim_start(lines[i]).substr(2));
    std::vector<DraftRow> rows;
    Inlines caption;
    bool ok = attr && read_rows(lines, i + 1, last, cx, rows, caption);
    if (ok) {
        ok = !rows.empty() && rows[0].header && !rows[0].cells.empty();
        for (std::size_t r = 1; ok && r < rows.size(); ++r) ok = rows[r].cells.size() == rows[0].cells.size();
    }
    if (!ok) {
        cx.truncate_footnotes(mark);
        out.emplace_back(Paragraph{Attr{}, read_inlines(join_lines(text, lines, i, last), cx)});
        return last;
    }
    Table table;
    table.attr = std::move(*attr);
    table.aligns.assign(rows[0].cells.size(), Align::Default);
    table.head.push_back(document::table_block(std::move(rows[0].cells)));
    for (std::size_t r = 1; r < rows.size(); ++r) table.body.push_back(document::table_block(std::move(rows[r].cells)));
    table.caption = std::move(caption);
    out.emplace_back(std::move(table));
    return last;
}

std::optional<QuoteEnd> read_blockquote(const std::vector<std::string_view>& lines, std::size_t i,
                                        std::string_view after_tag, Attr attrs, Context& cx, Blocks& out) {
    constexpr std::string_view kClose = "</blockquote>";
    // The body as pieces: the rest of the opening line, the lines between,
    // and the closing line up to its tag.
    std::vector<std::string_view> body;
    QuoteEnd end{i, {}};
    std::size_t c = find_ci(after_tag, kClose, 0);
    if (c != npos) {
        body.push_back(after_tag.substr(0, c));
        end.tail = after_tag.substr(c + kClose.size());
    } else {
        body.push_back(after_tag);
        std::size_t j = i + 1;
        for (; j < lines.size(); ++j) {
            c = find_ci(lines[j], kClose, 0);
            if (c != npos) break;
            body.push_back(lines[j]);
        }
        if (j >= lines.size()) return std::nullopt;
        body.push_back(lines[j].substr(0, c));
        end.last = j;
        end.tail = lines[j].substr(c + kClose.size());
    }
    BlockQuote quote;
    quote.attr = std::move(attrs);
    std::string para;
    bool open = false;
    auto finish = [&] {
        if (!open) return;
        quote.blocks.emplace_back(Paragraph{Attr{}, read_inlines(para, cx)});
        para.clear();
        open = false;
    };
    for (std::string_view piece : body) {
        if (detail::trim(piece).empty()) {
            finish();
            continue;
        }
        if (piece[0] == ' ') piece.remove_prefix(1);
        if (open) para.push_back('\n');
        para.append(piece);
        open = true;
    }
    finish();
    out.emplace_back(std::move(quote));
    return end;
}

std::size_t read_container(std::string_view text, const std::vector<std::string_view>& lines, std::size_t i,
                           std::string_view name, Blocks& out) {
    std::string opener("<");
    opener.append(name);
    std::string closer("</");
    closer.append(name);
    auto count = [](std::string_view line, std::string_view pat) {
        std::size_t k = 0, hits = 0;
        while ((k = find_ci(line, pat, k)) != npos) {
            ++hits;
            k += pat.size();
        }
        return hits;
    };
    long depth = 0;
    std::size_t last = lines.size() - 1;
    for (std::size_t j = i; j < lines.size(); ++j) {
        depth += static_cast<long>(count(lines[j], opener)) - static_cast<long>(count(lines[j], closer));
        if (depth < 1) {
            last = j;
            break;
        }
    }
    out.push_back(document::raw(join_lines(text, lines, i, last)));
    return last;
}

std::size_t read_html_list(const std::vector<std::string_view>& lines, std::size_t i, Context& cx, Blocks& out) {
    List list;
    list.ordered = false;
    list.tight = true;
    list.start = 1;
    std::size_t j = i;
    for (; j < lines.size(); ++j) {
        auto content = html_list_item(lines[j]);
        if (!content) break;
        ListItem item;
        item.blocks.emplace_back(Paragraph{Attr{}, read_inlines(*content, cx)});
        list.items.push_back(std::move(item));
    }
    out.emplace_back(std::move(list));
    return j - 1;
}

}  // namespace detail
}  // namespace tavrel::wikitext
