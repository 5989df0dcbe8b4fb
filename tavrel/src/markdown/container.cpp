// The main line loop of the block pass: one segment of the document, line by
// line, with all its nested containers.
//
// Each line is first matched against the open containers (quotes by their
// ">", list items and footnotes by indentation, divs and markdown containers
// always); then open fenced leaves take their content, closers close divs
// and markdown containers, new containers open, and what is left goes to the
// leaf placement. Containers that the line did not match stay open until the
// line proves to be something other than a lazy paragraph continuation.
//
// A segment ends at a blank line or a new block at the top level, so the
// top-level pass sees the lines between top-level blocks (attribute lines,
// link definitions). Nesting stops at `max_block_depth`: deeper markers stay
// text, which bounds every recursive pass over the tree.
#include <string>
#include <utility>

#include "tavrel/block.hpp"
#include "tavrel/text.hpp"

namespace tavrel::block {

namespace {

struct Match {
    std::size_t matched = 1;  // open containers the line continued, root included
    std::string rest;         // the line with their prefixes removed
};

// A line being matched: the text from `pos`, preceded by `spaces` columns
// left over from a tab that a container prefix split. Matching moves the
// cursor instead of copying the line at every container, so a line under
// many containers costs one pass over its prefix.
struct Cursor {
    std::string_view text;
    std::size_t pos = 0;
    std::size_t spaces = 0;

    // Columns of leading white space and the byte index after it.
    std::pair<std::size_t, std::size_t> indent() const {
        std::size_t col = spaces;
        std::size_t i = pos;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            col = text[i] == ' ' ? col + 1 : (col / 4 + 1) * 4;
            ++i;
        }
        return {col, i};
    }

    // Removes white space from column `col` until `target`, as
    // `Line::strip_from` does without expanding the rest.
    void strip(std::size_t col, std::size_t target) {
        while (col < target) {
            if (spaces > 0) {
                std::size_t take = std::min(spaces, target - col);
                spaces -= take;
                col += take;
                continue;
            }
            if (pos >= text.size()) return;
            char c = text[pos];
            if (c == ' ') {
                ++col;
                ++pos;
            } else if (c == '\t') {
                std::size_t to = (col / 4 + 1) * 4;
                ++pos;
                if (to > target) {
                    spaces = to - target;
                    return;
                }
                col = to;
            } else {
                return;
            }
        }
    }

    std::string str() const {
        std::string out(spaces, ' ');
        out.append(text.substr(pos));
        return out;
    }
};

// Step 1: how far the line continues the open containers. No side effects.
Match match_containers(const ContainerBuilder& b, std::string_view raw) {
    Match m;
    Cursor cur{raw};
    // Blankness survives the removal of container prefixes except a quote's
    // marker, so it is computed again only after one.
    bool blank = line::is_blank(raw);
    for (std::size_t i = 1; i < b.open.size(); ++i) {
        const BuildNode& n = b.nodes[b.open[i]];
        if (n.is<node::BlockQuote>()) {
            auto [col, at] = cur.indent();
            if (col > 3 || at >= cur.text.size() || cur.text[at] != '>') break;
            bool spaced = at + 1 < cur.text.size() && (cur.text[at + 1] == ' ' || cur.text[at + 1] == '\t');
            cur.pos = at + 1;
            cur.spaces = 0;
            cur.strip(col + 1, col + (spaced ? 2 : 1));
            blank = line::is_blank(cur.text.substr(cur.pos));
        } else if (n.is<node::List>() || n.is<node::Div>() || n.is<node::HtmlContainer>()) {
            // Lists continue through their items; divs and markdown
            // containers end only at their closers.
        } else if (const auto* item = n.as<node::ListItem>()) {
            if (blank) {
                if (!item->has_content) break;
                cur = Cursor{raw, raw.size(), 0};
            } else {
                if (cur.indent().first < item->content_width) break;
                cur.strip(0, item->content_width);
            }
        } else if (n.is<node::FootnoteDef>()) {
            if (blank) {
                cur = Cursor{raw, raw.size(), 0};
            } else {
                if (cur.indent().first < 4) break;
                cur.strip(0, 4);
            }
        } else {
            break;
        }
        m.matched = i + 1;
    }
    m.rest = cur.str();
    return m;
}

// Whether `text` closes a code fence of `code`.
bool closes_fence(std::string_view text, const node::FencedCode& code) {
    if (line::indentation(text).columns > 3) return false;
    std::string_view t = text::trim_start(text);
    std::size_t run = 0;
    while (run < t.size() && t[run] == code.fence_char) ++run;
    return run == code.fence_len && line::is_blank(t.substr(run));
}

// Whether `t` is exactly "</name>", the name in any letter case.
bool is_closing_tag_of(std::string_view t, std::string_view name) {
    if (t.size() != name.size() + 3 || !t.starts_with("</") || t.back() != '>') return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = t[2 + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != name[i]) return false;
    }
    return true;
}

bool is_colon_run(std::string_view t, std::size_t len) {
    return t.size() == len && t.find_first_not_of(':') == std::string_view::npos;
}

}  // namespace

namespace {

// The loop's state for one segment.
class Segment {
public:
    explicit Segment(Parser& p) : p_(p), b_(p.options) {}

    DraftBlocks run();

private:
    Parser& p_;
    ContainerBuilder b_;
    // Line at which the last raw HTML block of the innermost container closed.
    std::optional<std::size_t> html_closed_at_;
    // For a run of blank lines in indented code: the next non-blank line and
    // whether it goes on with the code.
    std::optional<std::pair<std::size_t, bool>> code_lookahead_;

    void close_to(std::size_t keep);
    void record_unclosed_leaf(std::size_t container);
    bool feed_open_leaf(const std::string& rest, bool all_matched);
    bool close_div(const std::string& rest, std::size_t matched);
    bool closes_open_div(const std::string& rest) const;
    bool close_markdown_container(const std::string& rest, std::size_t matched);
    bool paragraph_open() {
        BuildNode* last = b_.last_child();
        return b_.leaf_open && last && last->is<node::Paragraph>();
    }
    void end_segment();
    void mark_markers_end(std::string_view rest);
    void term_from_list();
    bool text_after_empty_item(std::string& rest);
    bool empty_item_takes(std::size_t list_index, std::string_view rest) const;
    // A list holds only items: anything else that opens ends it.
    void close_lists_on_top() {
        while (b_.open.size() > 1 && b_.top().is<node::List>()) close_to(b_.open.size() - 1);
    }
};

// Closes the open containers above the first `keep` entries of the stack.
void Segment::close_to(std::size_t keep) {
    while (b_.open.size() > keep && b_.open.size() > 1) {
        record_unclosed_leaf(b_.open.back());
        if (auto* item = b_.top().as<node::ListItem>()) item->lazy.end = p_.lazy_lines.size();
        b_.open.pop_back();
    }
    b_.refresh_leaf_open();
}

// A fenced leaf left open when its container closes is reported like one
// left open at the end of the input.
void Segment::record_unclosed_leaf(std::size_t container) {
    const auto& children = b_.nodes[container].children;
    if (children.empty()) return;
    const BuildNode& last = b_.nodes[children.back()];
    std::size_t line = last.start_line;
    if (const auto* c = last.as<node::FencedCode>()) {
        if (!c->closed) p_.trace.events.push_back(Event{std::string(c->fence_len, c->fence_char), "fenced code block", line});
    } else if (const auto* m = last.as<node::MathBlock>()) {
        if (!m->closed) p_.trace.events.push_back(Event{m->closer, "math block", line});
    } else if (const auto* h = last.as<node::HtmlBlock>()) {
        if (h->closed) return;
        if (std::holds_alternative<HtmlEndComment>(h->end)) {
            p_.trace.events.push_back(Event{"-->", "raw HTML block", line});
        } else if (const auto* bal = std::get_if<HtmlEndBalanced>(&h->end)) {
            p_.trace.events.push_back(Event{"</" + bal->name + ">", "raw HTML block", line});
        }
    }
}

// Step 2: a line for the open fenced code, math, raw HTML or indented code
// block. Returns true when the line was consumed.
bool Segment::feed_open_leaf(const std::string& rest, bool all_matched) {
    if (!all_matched) return false;
    BuildNode* last = b_.last_child();
    if (!last) return false;
    bool blank = line::is_blank(rest);

    // A raw HTML block that closed on the line before, directly followed by
    // more text: the writer wrote them as one block (a fallback table and
    // its footnote section), so they stay one.
    if (auto* h = last->as<node::HtmlBlock>(); h && h->closed && !blank && html_closed_at_ &&
                                              *html_closed_at_ + 1 == b_.line) {
        h->text += rest;
        h->text.push_back('\n');
        h->end = HtmlEndBlankLine{};
        h->closed = false;
        b_.leaf_open = true;
        return true;
    }
    if (!b_.leaf_open) return false;

    if (auto* c = last->as<node::FencedCode>(); c && !c->closed) {
        if (closes_fence(rest, *c)) {
            c->closed = true;
            b_.leaf_open = false;
        } else {
            if (c->indent == 0) {
                c->text += rest;
            } else {
                c->text += line::Line::strip_from(rest, 0, 0, c->indent, false);
            }
            c->text.push_back('\n');
        }
        return true;
    }
    if (auto* m = last->as<node::MathBlock>(); m && !m->closed) {
        if (text::trim(rest) == m->closer) {
            m->closed = true;
            b_.leaf_open = false;
        } else {
            m->text += rest;
            m->text.push_back('\n');
        }
        return true;
    }
    if (auto* h = last->as<node::HtmlBlock>(); h && !h->closed) {
        // A div's closing fence ends raw HTML left open inside the div, so
        // unbalanced HTML cannot swallow the rest of the document.
        if (closes_open_div(rest)) return false;
        if (std::holds_alternative<HtmlEndBlankLine>(h->end)) {
            if (blank) {
                h->closed = true;
                b_.leaf_open = false;
                return false;  // the blank line is not part of the block
            }
            h->text += rest;
            h->text.push_back('\n');
            return true;
        }
        if (std::holds_alternative<HtmlEndComment>(h->end)) {
            h->text += rest;
            h->text.push_back('\n');
            if (rest.find("-->") != std::string::npos) {
                h->closed = true;
                html_closed_at_ = b_.line;
            }
            return true;
        }
        auto& bal = std::get<HtmlEndBalanced>(h->end);
        // Step 4: a markdown container whose opening tag ends this line.
        std::string_view trimmed = text::trim_end(rest);
        auto lt = trimmed.rfind('<');
        if (b_.depth() < p_.options.max_block_depth && lt != std::string_view::npos) {
            auto tag = markdown_open_tag(trimmed.substr(lt));
            if (tag) {
                bal.in_comment =
                    html_comment_open_after(std::string_view(h->text).substr(bal.comment_scanned), bal.in_comment);
                bal.comment_scanned = h->text.size();
                if (html_comment_open_after(trimmed.substr(0, lt), bal.in_comment)) tag.reset();
            }
            if (tag) {
                std::size_t depth = bal.depth;
                update_html_tag_depth(trimmed.substr(0, lt), bal.name, depth);
                h->container_tag = h->text.size() + lt;
                h->text += trimmed;
                h->text.push_back('\n');
                h->closed = true;
                node::HtmlContainer c;
                c.name = std::move(tag->name);
                c.enclosing = std::make_pair(bal.name, depth);
                std::size_t index = b_.open_node(std::move(c));
                b_.open.push_back(index);
                b_.leaf_open = false;
                return true;
            }
        }
        h->text += rest;
        h->text.push_back('\n');
        update_html_tag_depth(rest, bal.name, bal.depth);
        if (bal.depth == 0) {
            h->closed = true;
            html_closed_at_ = b_.line;
        }
        return true;
    }
    if (auto* ic = last->as<node::IndentedCode>()) {
        if (!blank && line::indentation(rest).columns >= 4) {
            ic->text += line::Line::strip_from(rest, 0, 0, 4);
            ic->text.push_back('\n');
            return true;
        }
        if (blank) {
            // Step 6: the blank line stays in the code block only when the
            // next non-blank line continues the same containers as code. The
            // answer holds for the whole run of blank lines, so it is found
            // once per run.
            if (!code_lookahead_ || code_lookahead_->first <= p_.pos) {
                std::size_t k = p_.pos + 1;
                while (k < p_.lines.size() && line::is_blank(p_.lines[k])) ++k;
                bool keeps = false;
                if (k < p_.lines.size()) {
                    Match next = match_containers(b_, p_.lines[k]);
                    keeps = next.matched == b_.open.size() && line::indentation(next.rest).columns >= 4;
                }
                code_lookahead_ = std::make_pair(k, keeps);
            }
            if (code_lookahead_->second) {
                ic->text += line::Line::strip_from(rest, 0, 0, 4);
                ic->text.push_back('\n');
                return true;
            }
        }
    }
    return false;
}

bool Segment::closes_open_div(const std::string& rest) const {
    if (line::indentation(rest).columns > 3) return false;
    std::string_view t = text::trim(rest);
    if (t.size() < 3 || t.find_first_not_of(':') != std::string_view::npos) return false;
    for (std::size_t i = b_.open.size(); i-- > 1;) {
        const auto* d = b_.nodes[b_.open[i]].as<node::Div>();
        if (d && is_colon_run(t, d->fence_len)) return true;
    }
    return false;
}

// Step 3: the innermost matched div whose fence the line repeats.
bool Segment::close_div(const std::string& rest, std::size_t matched) {
    if (line::indentation(rest).columns > 3) return false;
    std::string_view t = text::trim(rest);
    if (t.size() < 3 || t.find_first_not_of(':') != std::string_view::npos) return false;
    for (std::size_t i = matched; i-- > 1;) {
        const auto* d = b_.nodes[b_.open[i]].as<node::Div>();
        if (d && is_colon_run(t, d->fence_len)) {
            close_to(i);
            b_.leaf_open = false;
            return true;
        }
    }
    return false;
}

// Step 5: the innermost open markdown container's closing tag.
bool Segment::close_markdown_container(const std::string& rest, std::size_t matched) {
    // As for a div's closing fence and the opening tag: indented by four or
    // more, the line is a paragraph's or code's.
    if (line::indentation(rest).columns > 3) return false;
    for (std::size_t i = matched; i-- > 1;) {
        // A closing tag closes the container only among its own blocks, where
        // its opening tag stood: a line that goes on with a quote, item,
        // footnote or div opened inside the container is that one's content.
        if (b_.nodes[b_.open[i]].is<node::List>()) continue;
        auto* c = b_.nodes[b_.open[i]].as<node::HtmlContainer>();
        if (!c) return false;
        std::string_view t = text::trim(rest);
        // The opening tag always ends its line (text after it would make no
        // container), so only a line that is exactly the closer closes. Tag
        // names match in any letter case, as they do for the opener.
        if (!is_closing_tag_of(t, c->name)) return false;
        c->closed = true;
        auto enclosing = c->enclosing;
        close_to(i);
        if (enclosing) {
            // The enclosing raw block goes on from the closing tag.
            node::HtmlBlock h;
            h.text = rest + "\n";
            std::size_t depth = enclosing->second;
            update_html_tag_depth(rest, enclosing->first, depth);
            bool closed = depth == 0;
            h.closed = closed;
            h.end = HtmlEndBalanced{enclosing->first, depth};
            b_.open_node(std::move(h));
            b_.leaf_open = !closed;
            if (closed) html_closed_at_ = b_.line;
        } else {
            b_.leaf_open = false;
        }
        return true;
    }
    return false;
}

// A definition line right under a one-item ordered list: the item's line was
// a term that begins with a number and a full stop (the writer leaves such
// text unescaped), so the list becomes that paragraph again and the line
// turns it into a definition list.
void Segment::term_from_list() {
    if (b_.open.size() < 2) return;
    std::size_t list_index = b_.open.back();
    BuildNode& list_node = b_.nodes[list_index];
    const auto* list = list_node.as<node::List>();
    if (!list || !list->attr.empty() || list_node.children.size() != 1) return;
    const BuildNode& item_node = b_.nodes[list_node.children[0]];
    const auto* item = item_node.as<node::ListItem>();
    if (!item || item->task || !item->attr.empty() || item->indented_lines) return;
    std::vector<std::string> lines{std::string(item->first_line)};
    const auto* para =
        item_node.children.size() == 1 ? b_.nodes[item_node.children[0]].as<node::Paragraph>() : nullptr;
    if (para) {
        lines.insert(lines.end(), para->lines.begin() + 1, para->lines.end());
    } else {
        // Anything else must have begun on the item's own line ("2. -").
        std::vector<std::size_t> todo(item_node.children.begin(), item_node.children.end());
        while (!todo.empty()) {
            const BuildNode& n = b_.nodes[todo.back()];
            todo.pop_back();
            if (n.start_line != item_node.start_line) return;
            todo.insert(todo.end(), n.children.begin(), n.children.end());
        }
    }
    if (item_node.start_line + lines.size() != b_.line) return;
    close_to(b_.open.size() - 1);
    list_node.children.clear();
    list_node.kind = node::Paragraph{std::move(lines)};
    b_.leaf_open = true;
}

// Whether the list node `list_index` is an ordered list whose last item is
// as `text_after_empty_item` needs it, so that `rest` goes with its lines.
bool Segment::empty_item_takes(std::size_t list_index, std::string_view rest) const {
    if (!b_.continues_paragraph_lazily(rest)) return false;
    const BuildNode& list_node = b_.nodes[list_index];
    const auto* list = list_node.as<node::List>();
    if (!list || !list->ordered || !list->attr.empty() || list_node.children.empty()) return false;
    const BuildNode& item_node = b_.nodes[list_node.children.back()];
    const auto* item = item_node.as<node::ListItem>();
    if (!item || item->task || item_node.start_line + 1 != b_.line) return false;
    if (!item_node.children.empty() && b_.nodes[item_node.children[0]].is<node::Paragraph>()) return false;
    // Items before it ("1. a\n1.\ntext") go with it when their lines are
    // all recorded as written.
    for (std::size_t ci : list_node.children) {
        const auto* it = b_.nodes[ci].as<node::ListItem>();
        if (!it || it->task || it->indented_lines || it->saw_blank || !it->attr.empty() || it->raw_lines.empty())
            return false;
    }
    return true;
}

// Text right under a one-item ordered list whose item is only its marker
// ("1."): the writer leaves a paragraph line "1." unescaped, and an empty
// item cannot take the line, so both lines are that paragraph. The same holds
// when the item's one line opened something other than a paragraph ("1. - x",
// "2. ---", "1. ::: x"): the writer ends such an item with a blank line, so
// text right under it was the paragraph's next line.
bool Segment::text_after_empty_item(std::string& rest) {
    if (b_.open.size() < 2 || !empty_item_takes(b_.open.back(), rest)) return false;
    BuildNode& list_node = b_.top();
    std::vector<std::string> lines;
    for (std::size_t ci : list_node.children) {
        const auto* it = b_.nodes[ci].as<node::ListItem>();
        lines.insert(lines.end(), it->raw_lines.begin(), it->raw_lines.end());
        it->lazy.each([&](std::string_view line) { lines.emplace_back(line); });
    }
    lines.push_back(std::move(rest));
    close_to(b_.open.size() - 1);
    list_node.children.clear();
    list_node.kind = node::Paragraph{std::move(lines)};
    b_.leaf_open = true;
    return true;
}

// At the deepest nesting, item markers left on the line are text: the
// items opened on it are told where their own markers end, so that the
// numbering rules judge the text after them as such.
[[gnu::cold]] void Segment::mark_markers_end(std::string_view rest) {
    if (!list_marker(rest)) return;
    const std::string_view text = text::trim_start(rest);
    for (std::size_t i = b_.open.size(); i-- > 1;) {
        BuildNode& n = b_.nodes[b_.open[i]];
        if (n.start_line != b_.line) break;
        if (auto* item = n.as<node::ListItem>();
            item && item->first_line.size() >= text.size() && item->first_line.size() - text.size() < UINT32_MAX)
            item->markers_end = static_cast<std::uint32_t>(item->first_line.size() - text.size());
    }
}

void Segment::end_segment() {
    for (std::size_t i = 1; i < b_.open.size(); ++i) {
        if (auto* item = b_.nodes[b_.open[i]].as<node::ListItem>()) item->lazy.end = p_.lazy_lines.size();
        const BuildNode& n = b_.nodes[b_.open[i]];
        if (const auto* d = n.as<node::Div>()) {
            p_.trace.events.push_back(Event{std::string(d->fence_len, ':'), "fenced div", n.start_line});
        } else if (const auto* c = n.as<node::HtmlContainer>()) {
            p_.trace.events.push_back(Event{"</" + c->name + ">", "markdown container", n.start_line});
            if (c->enclosing)
                p_.trace.events.push_back(Event{"</" + c->enclosing->first + ">", "raw HTML block", n.start_line});
        }
    }
    record_unclosed_leaf(b_.open.back());
}

DraftBlocks Segment::run() {
    const std::size_t max_depth = p_.options.max_block_depth;
    while (p_.pos < p_.lines.size()) {
        std::string_view raw = p_.lines[p_.pos];
        b_.line = p_.pos;
        b_.line_offset = 0;
        Match m = match_containers(b_, raw);
        std::string& rest = m.rest;
        bool all = m.matched == b_.open.size();
        bool blank = line::is_blank(rest);

        // A line of code or raw HTML, or a closing fence or tag, that
        // reached an item's content column is one of the item's lines: its
        // recorded lines are no longer all of its text. A closing fence or
        // tag may follow an empty line inside what it closes, which is then
        // no longer the item's last line: the next marker goes on with the
        // list. (Code and raw HTML take the empty lines before them.)
        auto item_took_line = [&](bool closer) {
            for (std::size_t i = 1; i < m.matched; ++i) {
                if (auto* item = b_.nodes[b_.open[i]].as<node::ListItem>()) {
                    item->indented_lines = true;
                    if (closer) item->short_blank = false;
                }
            }
        };
        if (feed_open_leaf(rest, all)) {
            if (!blank) item_took_line(false);
            ++p_.pos;
            continue;
        }
        if (!blank && close_div(rest, m.matched)) {
            item_took_line(true);
            ++p_.pos;
            continue;
        }
        if (!blank && close_markdown_container(rest, m.matched)) {
            item_took_line(true);
            ++p_.pos;
            continue;
        }

        // Blank lines.
        if (blank) {
            if (m.matched == 1) break;  // a blank line at the top level ends the segment
            close_to(m.matched);
            // An item the blank line did not continue (an empty one) is
            // followed by an empty line: the next marker starts a new list.
            if (b_.top().is<node::List>() && !b_.top().children.empty()) {
                if (auto* last = b_.nodes[b_.top().children.back()].as<node::ListItem>()) last->short_blank = true;
            }
            // Columns of white space on the line, inside each container.
            std::string inner(raw);
            for (std::size_t i = 1; i < b_.open.size(); ++i) {
                const BuildNode& n = b_.nodes[b_.open[i]];
                if (n.is<node::BlockQuote>()) {
                    inner = strip_quote_marker(inner, false);
                } else if (auto* item = b_.nodes[b_.open[i]].as<node::ListItem>()) {
                    if (!item->has_content) continue;
                    item->saw_blank = true;
                    std::size_t cols = 0;
                    for (char c : inner) {
                        if (c == ' ') ++cols;
                        else if (c == '\t') cols = (cols / 4 + 1) * 4;
                        else break;
                    }
                    item->short_blank = cols < item->content_width;
                    inner = line::Line::strip_from(inner, 0, 0, item->content_width, false);
                } else if (n.is<node::FootnoteDef>()) {
                    inner = line::Line::strip_from(inner, 0, 0, 4, false);
                }
            }
            b_.leaf_open = false;
            ++p_.pos;
            continue;
        }

        // Step 7: a new block at the top level starts a new segment.
        BuildNode& root = b_.nodes[0];
        if (m.matched == 1 && !root.children.empty() && !b_.leaf_open) {
            const BuildNode& last = b_.nodes[root.children.back()];
            if (!(def_marker(rest) && last.is<node::Paragraph>())) break;
        }

        // The matched items go on with this line, which reached their
        // content column. The first line of an item whose marker stood
        // alone is its first line of text, as written after the marker.
        for (std::size_t i = 1; i < m.matched; ++i) {
            auto* item = b_.nodes[b_.open[i]].as<node::ListItem>();
            if (!item) continue;
            if (item->saw_blank) item->loose = true;
            if (!item->has_content && !item->saw_blank && item->raw_lines.size() == 1 && !item->lazy_lines) {
                item->content_below = true;
                item->raw_lines.push_back(p_.keep(rest, raw));
            } else {
                item->indented_lines = true;
            }
            item->has_content = true;
            item->short_blank = false;
        }

        // Step 8: new containers.
        bool opened = false;
        bool end_segment_here = false;
        while ((opened ? b_.depth() : m.matched - 1) < max_depth) {
            if (rest == "---") break;
            auto in = line::indentation(rest);
            if (in.columns <= 3 && in.bytes < rest.size() && rest[in.bytes] == '>') {
                if (!opened) close_to(m.matched);
                close_lists_on_top();
                if (auto* item = b_.top().as<node::ListItem>(); item && item->saw_blank) item->loose = true;
                std::size_t q = b_.open_node(node::BlockQuote{});
                b_.open.push_back(q);
                rest = strip_quote_marker(rest);
                opened = true;
                b_.leaf_open = false;
                continue;
            }
            auto marker = list_marker(rest);
            if (!marker) break;
            // Only a line that reached the open paragraph itself can be an
            // interruption; one that left containers unmatched ends them.
            if (!opened && all && paragraph_open() && !list_interrupts_paragraph(rest)) break;
            if (!opened && !all && paragraph_open() && !list_interrupts_paragraph(rest)) {
                // Under a lazily open paragraph, a marker that does not go on
                // with the list left open around it must be able to interrupt
                // the paragraph; otherwise the line continues it.
                const auto* outer = b_.nodes[b_.open[m.matched - 1]].as<node::List>();
                bool continues_list = outer && outer->marker_char == marker->marker_char &&
                                      outer->ordered == marker->ordered &&
                                      (!marker->ordered || marker->start == outer->last_number ||
                                       marker->start == outer->last_number + 1);
                if (!continues_list) break;
            }
            if (!opened && !all && !list_interrupts_paragraph(rest)) {
                // Right under an item that is only its marker ("1."), a marker
                // that does not go on with that list and could not interrupt
                // a paragraph ("0. x") is that paragraph's next line: the
                // writer leaves both unescaped (see `text_after_empty_item`).
                const auto* outer = b_.nodes[b_.open[m.matched - 1]].as<node::List>();
                bool continues_list = outer && outer->marker_char == marker->marker_char &&
                                      outer->ordered == marker->ordered &&
                                      (!marker->ordered || marker->start == outer->last_number ||
                                       marker->start == outer->last_number + 1);
                if (outer && !continues_list && empty_item_takes(b_.open[m.matched - 1], rest)) break;
            }
            bool interrupts = !opened && all && paragraph_open();
            if (!opened) close_to(m.matched);
            auto* list = b_.top().as<node::List>();
            bool same = list && list->marker_char == marker->marker_char && list->ordered == marker->ordered &&
                        (!marker->ordered || marker->start == list->last_number ||
                         marker->start == list->last_number + 1);
            if (same) {
                const auto& kids = b_.top().children;
                const auto* prev = kids.empty() ? nullptr : b_.nodes[kids.back()].as<node::ListItem>();
                if (prev && prev->short_blank) same = false;  // an empty line between: a new list
            }
            if (!same) {
                if (list) close_to(b_.open.size() - 1);  // the old list ends here
                if (b_.depth() == 0 && !b_.nodes[0].children.empty()) {
                    if (interrupts) p_.interrupted_at = p_.pos;
                    end_segment_here = true;
                    break;
                }
                node::List l;
                l.marker_char = marker->marker_char;
                l.ordered = marker->ordered;
                l.start = marker->start;
                l.last_number = marker->start;
                l.interrupts_paragraph = interrupts || (p_.interrupted_at && *p_.interrupted_at == p_.pos);
                std::size_t li = b_.open_node(std::move(l));
                b_.open.push_back(li);
                list = b_.top().as<node::List>();
            } else {
                // A blank line after the previous item makes the list loose.
                const auto& kids = b_.top().children;
                if (!kids.empty()) {
                    if (auto* prev = b_.nodes[kids.back()].as<node::ListItem>(); prev && prev->saw_blank)
                        prev->loose = true;
                }
            }
            list->last_number = marker->start;
            node::ListItem item;
            item.content_width = marker->content_column;
            item.number = marker->start;
            // The line from the marker on is the end of the input line.
            item.first_line = p_.keep(text::trim_start(rest), raw);
            item.raw_lines.push_back(item.first_line);
            rest = line::Line::strip_from(rest, marker->marker_end, marker->marker_column, marker->content_column);
            // A task box before the item's content.
            if (rest.size() >= 3 && rest[0] == '[' && rest[2] == ']' &&
                (rest[1] == ' ' || rest[1] == 'x' || rest[1] == 'X') && (rest.size() == 3 || rest[3] == ' ')) {
                item.task = rest[1] != ' ';
                rest.erase(0, rest.size() == 3 ? 3 : 4);
            }
            item.has_content = !line::is_blank(rest);
            item.lazy = LazyLines{&p_.lazy_lines, p_.lazy_lines.size(), std::string_view::npos, b_.open.size()};
            std::size_t ii = b_.open_node(std::move(item));
            b_.open.push_back(ii);
            opened = true;
            b_.leaf_open = false;
        }
        if (end_segment_here) break;
        if (opened && b_.depth() >= max_depth) [[unlikely]]
            mark_markers_end(rest);

        // Step 9: the leaf.
        if (line::is_blank(rest)) {
            b_.leaf_open = false;
            ++p_.pos;
            continue;
        }
        if (!opened && m.matched < b_.open.size()) {
            if (paragraph_open() && b_.continues_paragraph_lazily(rest)) {
                bool kept = false;
                for (std::size_t i = m.matched; i < b_.open.size(); ++i) {
                    if (auto* item = b_.nodes[b_.open[i]].as<node::ListItem>()) {
                        item->lazy_lines = true;
                        if (!kept) p_.lazy_lines.push_back(LazyLine{p_.keep(rest, raw), m.matched});
                        kept = true;
                    }
                }
                b_.last_child()->as<node::Paragraph>()->lines.push_back(std::move(rest));
                ++p_.pos;
                continue;
            }
            close_to(m.matched);
            if (def_marker(rest)) {
                term_from_list();
            } else if (text_after_empty_item(rest)) {
                ++p_.pos;
                continue;
            }
        }
        close_lists_on_top();
        b_.line_offset = raw.size() >= rest.size() ? raw.size() - rest.size() : 0;
        b_.append_leaf_inner(std::move(rest), 0);
        // A raw HTML block opened and closed on this line may go on.
        if (const BuildNode* last = b_.last_child(); last && last->start_line == b_.line) {
            if (const auto* h = last->as<node::HtmlBlock>(); h && h->closed) html_closed_at_ = b_.line;
        }
        ++p_.pos;
    }
    end_segment();
    return b_.finish_children(0, p_, 1);
}

}  // namespace

DraftBlocks Parser::container_block() {
    Segment segment(*this);
    return segment.run();
}

}  // namespace tavrel::block
