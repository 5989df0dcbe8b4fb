// The reader's list vocabulary: list and definition markers, when a list may
// interrupt a paragraph, and the numbering rule that turns ordered lists
// back into paragraph text.
//
// The canonical writer writes a paragraph that begins "1. " unchanged, so the
// reader must tell a numbered paragraph from a numbered list after the
// fact: an ordered list counts only when it starts at 1 and is continued
// (by a second item or by a later list numbered on), or when it continues an
// earlier list. Lists that break the rule become paragraphs again, but only
// when their Markdown can be read back from the paragraph as it stood: a
// list whose item holds nested blocks, indented lines, attributes or a task
// box stays a list, because its text would change meaning as a paragraph.
#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "tavrel/block.hpp"
#include "tavrel/inline.hpp"
#include "tavrel/text.hpp"

namespace tavrel::block {

namespace {

bool is_marker_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// Whether a block is written as nothing at all: a quote without attributes
// holding only such blocks.
bool writes_nothing(const DraftBlock& block) {
    const auto* q = block.as<DraftBlockQuote>();
    if (!q || !q->attr.empty()) return false;
    for (const auto& b : q->blocks)
        if (!writes_nothing(b)) return false;
    return true;
}

// Whether an item's text begins with an escape that the writer writes only
// at a line's start (where the character would open a block): "\:", "\{:",
// and "\-" alone, before white space or as "\---". Elsewhere, as paragraph
// text after the number, it would be written bare.
bool line_start_escape(std::string_view content) {
    if (content.starts_with("\\:") || content.starts_with("\\{:")) return true;
    if (!content.starts_with("\\-")) return false;
    std::string_view rest = text::trim_end(content.substr(2));
    return rest.empty() || is_marker_space(rest[0]) || rest == "--";
}

}  // namespace

std::size_t list_content_indent(std::string_view line, std::size_t position, std::size_t column) {
    std::size_t c = column;
    std::size_t i = position;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
        c = line[i] == ' ' ? c + 1 : (c / 4 + 1) * 4;
        ++i;
    }
    if (i >= line.size()) return column + 1;
    std::size_t width = c - column;
    if (width >= 1 && width <= 4) return c;
    return column + 1;
}

std::optional<ListMarker> list_marker(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && line[i] == ' ') ++i;
    if (i > 3 || i >= line.size() || line[i] == '\t') return std::nullopt;
    ListMarker m;
    char c = line[i];
    if (c == '*' || c == '+' || c == '-') {
        if (i + 1 < line.size() && !is_marker_space(line[i + 1])) return std::nullopt;
        m.start = 1;
        m.marker_end = i + 1;
        m.marker_column = i + 1;
        m.marker_char = c;
        m.ordered = false;
    } else if (c >= '0' && c <= '9') {
        std::size_t j = i;
        std::uint64_t value = 0;
        while (j < line.size() && line[j] >= '0' && line[j] <= '9') {
            if (j - i == 9) return std::nullopt;
            value = value * 10 + static_cast<std::uint64_t>(line[j] - '0');
            ++j;
        }
        if (j >= line.size() || line[j] != '.') return std::nullopt;
        if (j + 1 < line.size() && !is_marker_space(line[j + 1])) return std::nullopt;
        m.start = value;
        m.marker_end = j + 1;
        m.marker_column = j + 1;  // indentation is spaces only: bytes are columns
        m.marker_char = '.';
        m.ordered = true;
    } else {
        return std::nullopt;
    }
    m.content_column = list_content_indent(line, m.marker_end, m.marker_column);
    return m;
}

std::optional<std::string> def_marker(std::string_view line) {
    auto in = line::indentation(line);
    if (in.columns > 3) return std::nullopt;
    std::string_view t = text::trim_start(line);
    // ":" alone is an empty definition: the writer's ": " loses its space
    // where it ends a list item, a quote or a footnote.
    if (text::trim_end(t) == ":") return std::string();
    if (t.size() < 2 || t[0] != ':') return std::nullopt;
    auto d = text::decode_utf8(t, 1);
    if (!text::is_white_space(d.cp)) return std::nullopt;
    return line::Line::strip_from(t.substr(1), 0, 0, 3);
}

bool list_interrupts_paragraph(std::string_view line) {
    auto m = list_marker(line);
    if (!m) return false;
    std::string content = line::Line::strip_from(line, m->marker_end, m->marker_column, m->content_column);
    if (line::is_blank(content)) return false;
    return !m->ordered || m->start == 1;
}

// ---------------------------------------------------------------------------
// Ordered-list enforcement.

namespace {

// The list markers that open an item's first line ("1. - 2. x" has three)
// and the text after them; `canonical` tells whether every marker had the
// writer's spacing (one space, then text, or the marker alone).
// Where the chain stops at a marker whose space is followed by more white
// space, `wide` is the text past it: past white space other than ASCII,
// which raw HTML keeps before its tag ("2. \u3000<div>" gives "<div>"), and
// past spaces up to the content column ("1.   <div"): both read as the
// item's content.
struct MarkerChain {
    std::string_view content;
    bool canonical = true;
    std::string_view wide;
};

MarkerChain marker_chain(std::string_view line) {
    MarkerChain m{line, true};
    for (;;) {
        std::string_view s = m.content;
        std::size_t i = 0;
        if (!s.empty() && (s[0] == '-' || s[0] == '*' || s[0] == '+')) {
            i = 1;
        } else {
            while (i < s.size() && i < 9 && s[i] >= '0' && s[i] <= '9') ++i;
            if (i == 0 || i >= s.size() || s[i] != '.') return m;
            // The writer numbers items without leading zeros: "01." was text.
            if (i > 1 && s[0] == '0') m.canonical = false;
            ++i;
        }
        if (i == s.size()) {
            m.content = {};
            return m;
        }
        if (!is_marker_space(s[i])) return m;  // "-x", "1.x": no marker
        if (s[i] != ' ' || (i + 1 < s.size() && text::is_white_space(text::decode_utf8(s, i + 1).cp))) {
            m.canonical = false;
            if (s[i] == ' ' && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80) {
                m.wide = text::trim_start(s.substr(i + 1));
            } else if (s[i] == ' ') {
                const std::size_t past = s.find_first_not_of(' ', i);
                if (past != std::string_view::npos && past - i <= 4) m.wide = s.substr(past);
            }
            return m;
        }
        m.content = s.substr(i + 1);
    }
}

// A chain that stops where the reader's nesting did, past which the markers
// are text: the text from there on is its content.
[[gnu::cold]] [[gnu::noinline]] MarkerChain cut_marker_chain(std::string_view line, std::size_t markers_end) {
    MarkerChain m = marker_chain(line.substr(0, markers_end));
    // The views run on to the end of the line (an empty content ended it).
    const auto at = [&](std::string_view v) {
        return v.data() ? static_cast<std::size_t>(v.data() - line.data()) : markers_end;
    };
    m.content = line.substr(at(m.content));
    if (!m.wide.empty()) m.wide = line.substr(at(m.wide));
    return m;
}

// The chain of an item's first line, whose markers from `markers_end` on
// are text (see `DraftListItem::markers_end`).
MarkerChain marker_chain(std::string_view line, std::size_t markers_end) {
    if (markers_end == 0 || markers_end >= line.size()) [[likely]]
        return marker_chain(line);
    return cut_marker_chain(line, markers_end);
}

// An item's first line as the writer writes it: the line below a marker
// alone (see `content_below`) goes after the marker and one space.
std::string line_as_written(const DraftListItem& item) {
    std::string line(item.first_line);
    if (!item.content_below || item.blocks.empty()) return line;
    std::string_view below = item.raw_lines[1];
    while (!below.empty() && (below.front() == ' ' || below.front() == '\t')) below.remove_prefix(1);
    line.push_back(' ');
    line.append(below);
    return line;
}

}  // namespace

// A break at either end of the run is not written, and one at an emphasis's
// edge is written outside it: emphasis counts as its content. A link, an
// image or a span writes its brackets around its content, so that a break
// ending that content is followed by the closing bracket on a line of its
// own ("[a\\" and "]{.c}"). Code spans and math hold no line end once read.
bool written_on_lines(const ast::Inlines& run) {
    int state = 0;  // 0: nothing written yet, 1: something, 2: something and a break
    // Something written: after something and a break, a second line.
    const auto written = [&state] {
        if (state == 2) return true;
        state = 1;
        return false;
    };
    auto walk = [&](auto& self, const ast::Inlines& run) -> bool {
        for (const auto& in : run) {
            if (in.is<ast::SoftBreak>() || in.is<ast::HardBreak>()) {
                if (state == 1) state = 2;
                continue;
            }
            if (const auto* t = in.as<ast::Text>(); t && text::trim(t->text).empty()) continue;
            const ast::Inlines* inner = nullptr;
            visit(
                [&inner](const auto& n) {
                    if constexpr (requires { n.content; }) {
                        if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, ast::Inlines>) inner = &n.content;
                    } else if constexpr (requires { n.alt; }) {
                        inner = &n.alt;
                    }
                },
                in);
            const bool delimited = in.is<ast::Emph>() || in.is<ast::Strong>() || in.is<ast::Strikeout>() ||
                                   in.is<ast::Highlight>();
            if (!delimited && written()) return true;
            if (!inner || in.is<ast::Note>()) continue;
            if (self(self, *inner) || (!delimited && written())) return true;
        }
        return false;
    };
    return walk(walk, run);
}

namespace {

bool writes_lines(std::string_view text, const inline_::InlineContext& context) {
    return written_on_lines(inline_::parse_inner(text, context));
}

// How many lines the writer writes for blocks inside an item: 0, 1, or 2
// for two or more. A quote without attributes writes its blocks' lines, a
// list its items' (at least one each, and a line of its own before an item
// with a task box), a heading or thematic break one;
// every other block, and an attribute line, takes more.
int written_lines(const DraftBlocks& blocks, const inline_::InlineContext& context) {
    int n = 0;
    for (const auto& b : blocks) {
        if (const auto* p = b.as<DraftParagraph>()) {
            if (!p->attr.empty()) return 2;
            if (text::trim(p->text).empty()) continue;
            n += writes_lines(p->text, context) ? 2 : 1;
        } else if (const auto* q = b.as<DraftBlockQuote>()) {
            if (!q->attr.empty()) return 2;
            n += written_lines(q->blocks, context);
        } else if (const auto* l = b.as<DraftList>()) {
            // (A task box after item numbers would be text: such a list
            // starts on a line of its own.)
            if (!l->attr.empty() || (!l->items.empty() && l->items[0].task)) return 2;
            for (const auto& item : l->items) {
                if (!item.attr.empty() || n >= 2) return 2;
                n += std::max(1, written_lines(item.blocks, context));
            }
        } else if (const auto* h = b.as<DraftHeading>()) {
            if (!h->attr.empty()) return 2;
            n += 1;
        } else if (const auto* t = b.as<DraftThematicBreak>()) {
            if (!t->attr.empty()) return 2;
            n += 1;
        } else {
            return 2;
        }
        if (n >= 2) return 2;
    }
    return n;
}

// Whether an item's later lines, which reached its content column, leave
// its text on one line as the writer writes it: nothing is left of them
// (they defined a link or a footnote), or what they held is written on the
// item's line (a code span over two lines).
bool one_written_line(const DraftListItem& item, const inline_::InlineContext* context) {
    if (item.blocks.empty()) return true;
    return context && written_lines(item.blocks, *context) < 2;
}

// Whether the list's Markdown reads back the same as paragraph text: items
// holding at most one plain paragraph whose later lines continued it lazily.
bool revertible(const DraftList& list, const inline_::InlineContext* context) {
    if (!list.attr.empty()) return false;
    for (std::size_t k = 0; k < list.items.size(); ++k) {
        const auto& item = list.items[k];
        if (!item.attr.empty() || item.task) return false;
        if (item.indented_lines && !one_written_line(item, context)) return false;
        // Written, the line below a marker alone goes after the marker,
        // except a list's whose item opens with a task box (see
        // `content_below`).
        if (item.content_below && !item.blocks.empty() && item.blocks[0].is<DraftList>()) {
            const std::string_view rest = text::trim_start(marker_chain(item.raw_lines[1]).content);
            if (rest.starts_with("[ ]") || rest.starts_with("[x]") || rest.starts_with("[X]")) return false;
        }
        // Some escapes are written only at the start of a line ("\-", "\{:",
        // "\:"): as the item's content the text had one, after the number as
        // paragraph text it would not. Escapes written everywhere, and "\("
        // (inline math), are safe.
        const std::string written = line_as_written(item);
        const MarkerChain chain = marker_chain(written, item.markers_end);
        std::string_view content = text::trim_start(chain.content);
        // A later line "1. x" of paragraph text is written "1\. x", as it
        // would interrupt the paragraph: after "0." and unescaped, it is the
        // second item of a list the writer numbered from 0. Not when the
        // item writes nothing (its line only defined a link or a footnote):
        // its list is written "0.\n1.", which is text.
        if (k > 0 && item.number == 1 && list.items[k - 1].number == 0 &&
            !text::trim(item.first_line.substr(item.first_line.find('.') + 1)).empty() &&
            !std::all_of(item.blocks.begin(), item.blocks.end(), [](const DraftBlock& b) { return writes_nothing(b); }))
            return false;
        if (line_start_escape(content)) return false;
        // So is an item number's escape ("2. 1\. x"): after another number,
        // as paragraph text, it is not written.
        if (const std::size_t digits = content.find_first_not_of("0123456789");
            digits > 0 && digits != std::string_view::npos && content.substr(digits).starts_with("\\."))
            return false;
        // With the item's lines recorded, whatever opened on its first line
        // ("1. - x") is text again as those lines; but not a mark that the
        // writer escapes wherever it stands in text ("1. > x" is a quote in
        // an item: as text it would be written "1. \> x").
        if (!item.raw_lines.empty()) {
            // The block the line's last marker opened, past nested lists.
            // Nor is a task box there: as text its "]" is written escaped.
            const DraftBlock* inner = item.blocks.empty() ? nullptr : &item.blocks[0];
            while (inner) {
                const auto* l = inner->as<DraftList>();
                if (!l || l->items.empty()) break;
                if (l->items[0].task) return false;
                if (l->items[0].blocks.empty()) break;
                inner = &l->items[0].blocks[0];
            }
            // Nor is "\[" opening a math block: as text it would open
            // inline display math instead. A block written as nothing (an
            // empty quote) leaves the number alone on its line: text; so
            // does a thematic break, written "- - -" however it was spelt.
            // (Past the white space raw HTML keeps before its tag too.)
            const auto escaped = [](std::string_view s) {
                return !s.empty() &&
                       (std::string_view("#$*+<=>[]^_`|~").find(s[0]) != std::string_view::npos || s.starts_with("\\["));
            };
            if (inner && !inner->is<DraftParagraph>() && !inner->is<DraftList>() &&
                !inner->is<DraftThematicBreak>() && !writes_nothing(*inner) &&
                (escaped(content) || escaped(chain.wide)))
                return false;
            continue;
        }
        if (item.blocks.size() > 1) return false;
        if (item.blocks.size() == 1) {
            const auto* p = item.blocks[0].as<DraftParagraph>();
            if (!p || !p->attr.empty()) return false;
        }
    }
    return true;
}

// Whether an item's first line has the spacing the writer gives an ordered
// item: the number, ".", one space and the text (or the number alone), and
// the same for the markers of lists opened on that line. "1.  x", "1. -  x"
// or "1. " and a no-break space come only from a paragraph that began so, as
// do "1. :x" and "1. {: x}", which the writer escapes at an item's start.
bool written_spacing(std::string_view first_line, std::size_t markers_end) {
    // White space ending the line is not looked at: as text it is gone, and
    // what the text is written as must be judged alike ("2. ::: " and
    // "2. :::").
    MarkerChain m = marker_chain(text::trim_end(first_line), markers_end);
    if (!m.canonical) return false;
    std::string_view content = m.content;
    if (content.starts_with("{:")) return false;
    // Only a div fence the writer writes (":::" alone or with braced
    // attributes) starts with ":".
    if (content.starts_with(':')) return content == ":::" || content.starts_with("::: {");
    return true;
}

// (`Resumed` with `numbering` given: the reader's own pass keeps none of
// what reading on from a state needs.)
template <bool Resumed>
void judge(DraftBlocks& blocks, std::vector<RevertedList>* reverted, const inline_::InlineContext* context,
           Numbering* numbering) {
    using State = Numbering::Stage;
    State state = State::None;
    // (`blocks.size()` for a list read before these blocks.)
    std::size_t recorded = 0;
    bool earlier_single = false;
    std::uint64_t last = 0;
    unsigned heading_at_record = 255;
    unsigned heading = 255;
    if constexpr (Resumed) {
        state = numbering->stage;
        recorded = blocks.size();
        earlier_single = numbering->single;
        last = numbering->last;
        heading_at_record = numbering->heading_at_record;
        heading = numbering->heading;
        numbering->earlier_ended = false;
    }
    std::vector<bool> revert(blocks.size(), false);

    auto revert_pending_single = [&] {
        if (state != State::Pending) return;
        if (Resumed && recorded == blocks.size()) {
            numbering->earlier_ended = numbering->earlier_ended || earlier_single;
        } else if (blocks[recorded].as<DraftList>()->items.size() == 1) {
            revert[recorded] = true;
        }
    };

    for (std::size_t i = 0; i < blocks.size(); ++i) {
        DraftBlock& b = blocks[i];
        if (const auto* l = b.as<DraftList>(); l && l->ordered) {
            // Lines that continued an item lazily never come from a list the
            // writer wrote (it indents an item's lines), nor does an item
            // number followed by more than one space, nor a number that does
            // not follow the item before: the list was text,
            // whatever its numbering, and takes no part in the sequence.
            // Nor does one that interrupts a paragraph: the writer puts a blank
            // line between a paragraph and a list.
            bool lazy = l->interrupts_paragraph;
            for (std::size_t k = 0; k < l->items.size(); ++k) {
                const auto& item = l->items[k];
                // The writer numbers items one by one: "2." after "2." was text.
                bool numbered = k == 0 || item.number == l->items[k - 1].number + 1;
                const bool spaced = item.content_below ? written_spacing(line_as_written(item), item.markers_end)
                                                       : written_spacing(item.first_line, item.markers_end);
                lazy = lazy || item.lazy_lines || !spaced || !numbered;
            }
            // (Judged after the cheap tests: `revertible` may read inlines.)
            if (lazy && revertible(*l, context)) {
                revert[i] = true;
                continue;
            }
        }
        if (const auto* h = b.as<DraftHeading>()) {
            if (state != State::None && h->level <= heading_at_record) {
                revert_pending_single();
                state = State::None;
            }
            heading = h->level;
            continue;
        }
        const auto* list = b.as<DraftList>();
        if (!list || list->items.empty()) continue;
        if (!list->ordered) {
            revert_pending_single();
            state = State::None;
            continue;
        }
        std::uint64_t s = list->items.front().number;
        std::uint64_t e = list->items.back().number;
        if (state == State::None) {
            if (s == 1) {
                state = State::Pending;
                recorded = i;
                last = e;
                heading_at_record = heading;
            } else {
                revert[i] = true;
            }
            continue;
        }
        if (s == last || s == last + 1) {
            state = State::Continued;
            recorded = i;
            last = e;
        } else if (s != 1) {
            revert[i] = true;
        } else {
            revert_pending_single();
            state = State::Pending;
            recorded = i;
            last = e;
            heading_at_record = heading;
        }
    }
    if constexpr (Resumed) {
        numbering->stage = state;
        numbering->single = recorded == blocks.size() ? earlier_single
                                                      : state == State::Pending &&
                                                            blocks[recorded].as<DraftList>()->items.size() == 1;
        numbering->last = last;
        numbering->heading_at_record = heading_at_record;
        numbering->heading = heading;
    }
    revert_pending_single();

    bool any = false;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (revert[i] && !revertible(*blocks[i].as<DraftList>(), context)) revert[i] = false;
        any = any || revert[i];
    }
    if (!any) return;

    DraftBlocks out;
    out.reserve(blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (!revert[i]) {
            out.push_back(std::move(blocks[i]));
            continue;
        }
        DraftList list = std::move(*blocks[i].as<DraftList>());
        bool merge_up = list.interrupts_paragraph;
        RevertedList record;
        for (auto& [block, line] : revert_list(std::move(list))) {
            record.lines.push_back(line);
            auto* p = block.template as<DraftParagraph>();
            DraftParagraph* prev = out.empty() ? nullptr : out.back().as<DraftParagraph>();
            if (merge_up && p && prev) {
                // The list interrupted this paragraph: as text it is the
                // paragraph's next line again.
                prev->text += '\n';
                prev->text += p->text;
            } else {
                out.push_back(std::move(block));
            }
            merge_up = false;
        }
        if (reverted) reverted->push_back(std::move(record));
    }
    blocks = std::move(out);
}

template <bool Resumed>
void enforce(DraftBlocks& blocks, std::vector<RevertedList>* reverted, const inline_::InlineContext* context,
             Numbering* numbering) {
    for (auto& b : blocks) {
        if (auto* q = b.as<DraftBlockQuote>()) {
            enforce<false>(q->blocks, nullptr, context, nullptr);
        } else if (auto* d = b.as<DraftDiv>()) {
            enforce<false>(d->blocks, nullptr, context, nullptr);
        } else if (auto* l = b.as<DraftList>()) {
            for (auto& item : l->items) enforce<false>(item.blocks, nullptr, context, nullptr);
        }
    }
    judge<Resumed>(blocks, reverted, context, numbering);
}

}  // namespace

void enforce_ordered_lists(DraftBlocks& blocks, std::vector<RevertedList>* reverted,
                           const inline_::InlineContext* context) {
    enforce<false>(blocks, reverted, context, nullptr);
}

void enforce_ordered_lists(DraftBlocks& blocks, const inline_::InlineContext* context, Numbering& numbering) {
    enforce<true>(blocks, nullptr, context, &numbering);
}

std::vector<std::pair<DraftBlock, std::size_t>> revert_list(DraftList list) {
    std::vector<std::pair<DraftBlock, std::size_t>> out;
    auto push = [&out](DraftBlock block, std::size_t line) {
        if (!out.empty()) {
            auto* prev = out.back().first.as<DraftParagraph>();
            auto* p = block.as<DraftParagraph>();
            if (prev && p) {
                prev->text += '\n';
                prev->text += p->text;
                return;
            }
        }
        out.emplace_back(std::move(block), line);
    };
    for (auto& item : list.items) {
        // An item left without blocks is its first line (what its lines
        // defined, a link or a footnote, stays defined).
        if (item.blocks.empty()) {
            push(DraftParagraph{Attr{}, std::string(item.first_line)}, item.start_line);
            continue;
        }
        // Lines that reached the item's content column are its paragraph's
        // (see `one_written_line`), which holds them all.
        if (!item.raw_lines.empty() && !item.indented_lines) {
            std::string text;
            bool first = true;
            auto add = [&text, &first](std::string_view line) {
                if (!first) text.push_back('\n');
                first = false;
                text.append(text::trim_start(line));
            };
            for (std::string_view line : item.raw_lines) add(line);
            item.lazy.each(add);
            text.resize(text::trim_end(text).size());
            push(DraftParagraph{Attr{}, std::move(text)}, item.start_line);
            continue;
        }
        auto& first = item.blocks.front();
        if (auto* p = first.as<DraftParagraph>()) {
            std::string text(item.first_line);
            if (item.content_below) {
                text += '\n';
                text += p->text;
            } else if (const auto nl = p->text.find('\n'); nl != std::string::npos) {
                text += '\n';
                text.append(p->text, nl + 1);
            }
            p->text = std::move(text);
        } else {
            // (Below a marker alone, the line that opened the block.)
            std::string text(item.first_line);
            if (item.content_below) {
                text += '\n';
                text.append(text::trim(item.raw_lines[1]));
            }
            first = DraftParagraph{Attr{}, std::move(text)};
        }
        for (auto& b : item.blocks) push(std::move(b), item.start_line);
    }
    return out;
}

}  // namespace tavrel::block
