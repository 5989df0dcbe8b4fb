// Leaf block placement: for every non-blank line the main line loop does not
// consume itself, decide whether it continues the open leaf (paragraph,
// table, definition list) or starts a new leaf block or container.
//
// The dialect read here is the writer's: ATX headings only, fenced code with
// backticks or tildes, indented code, "$$" and "\[" math blocks, ":::" divs,
// footnote definitions, a thematic break written exactly "---", pipe tables
// with captions, ":" definition lists and "{:" attribute lines. The first
// step that applies decides; nothing is ever rejected.
#include <string>
#include <utility>

#include "tavrel/attrs.hpp"
#include "tavrel/block.hpp"
#include "tavrel/text.hpp"

namespace tavrel::block {

namespace {

bool is_heading_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

}  // namespace

std::optional<Attr> attribute_line(std::string_view line) {
    std::string_view t = text::trim(line);
    if (t.size() < 3 || !t.starts_with("{:") || t.back() != '}') return std::nullopt;
    std::string_view body = text::trim(t.substr(2, t.size() - 3));
    // A body with a word that is no attribute is no attribute line: the line
    // stays text, where `parse_attrs_body` would drop the word.
    if (!attrs::attrs_body_valid(body)) return std::nullopt;
    return attrs::parse_attrs_body(body);
}

bool starts_block(std::string_view line) {
    if (line.empty()) return false;
    auto in = line::indentation(line);
    if (in.columns > 3) return false;
    std::string_view t = text::trim_start(line);
    if (t.starts_with('>') || t.starts_with('#')) return true;
    // A run of backticks with more backticks after it is no fence: the
    // writer puts code spans ("```x```") at line starts inside paragraphs.
    if (t.starts_with("```")) return fence_start(line, '`').has_value();
    if (t.starts_with("~~~") || t.starts_with(":::")) return true;
    if (t.starts_with('<')) {
        if (t.starts_with("<!--")) return true;
        auto name = html_tag_name(t);
        return name && is_md_block_html_tag(*name);
    }
    return line == "---";
}

std::optional<FenceStart> fence_start(std::string_view line, char fence_char) {
    if (line.empty()) return std::nullopt;
    auto in = line::indentation(line);
    if (in.columns > 3) return std::nullopt;
    std::string_view t = text::trim_start(line);
    std::size_t run = 0;
    while (run < t.size() && t[run] == fence_char) ++run;
    if (run < 3) return std::nullopt;
    std::string_view rest = t.substr(run);
    if (fence_char == '`' && rest.find('`') != std::string_view::npos) return std::nullopt;
    return FenceStart{run, in.columns, fence_char, std::string(rest)};
}

bool ContainerBuilder::open_atx_heading(std::string_view line) {
    auto in = line::indentation(line);
    if (in.columns > 3) return false;
    std::string_view t = text::trim(line);
    if (t.empty()) return false;
    std::size_t run = 0;
    while (run < t.size() && t[run] == '#') ++run;
    if (run < 1 || run > 6) return false;
    if (run < t.size() && !is_heading_space(t[run])) return false;
    auto [content, attr] = attrs::strip_trailing_attr(text::trim(t.substr(run)));
    // A closing run of "#" preceded by white space is cut; "#" alone empties.
    std::string_view c = content;
    std::size_t end = c.size();
    while (end > 0 && c[end - 1] == '#') --end;
    if (end == 0) {
        c = {};
    } else if (end < c.size() && is_heading_space(c[end - 1])) {
        c = text::trim_end(c.substr(0, end));
    }
    open_node(node::Heading{std::move(attr), std::string(c), static_cast<std::uint8_t>(run)});
    leaf_open = false;
    return true;
}

namespace {

// Whether a line would continue an open paragraph rather than start
// something else (step 5 of the placement, also used for laziness).
bool interrupts_paragraph(std::string_view line, const Options& options) {
    return starts_block(line) || list_interrupts_paragraph(line) || def_marker(line).has_value() ||
           template_::line_token(line, options.template_delimiters).has_value();
}

}  // namespace

bool ContainerBuilder::continues_paragraph_lazily(std::string_view line) const {
    return !interrupts_paragraph(line, options) && !attribute_line(line);
}

void ContainerBuilder::append_leaf_inner(std::string line, std::size_t depth) {
    std::string_view t = text::trim(line);
    BuildNode* last = last_child();

    // 1. An open table takes captions, interludes, attribute lines and rows.
    if (leaf_open && last && last->is<node::Table>()) {
        auto* table = last->as<node::Table>();
        std::string_view lead = text::trim_start(line);
        if (!table->caption && lead.size() >= 2 && lead[0] == ':' &&
            text::is_white_space(text::decode_utf8(lead, 1).cp) && !text::trim(lead.substr(1)).empty()) {
            table->caption = std::string(text::trim(lead.substr(1)));
            return;
        }
        if (auto tok = template_::line_token(line, options.template_delimiters);
            tok && (tok->kind == template_::TemplateTokenKind::Section ||
                    tok->kind == template_::TemplateTokenKind::Inverted ||
                    tok->kind == template_::TemplateTokenKind::End)) {
            table->interludes.emplace_back(table->body.size(), std::move(*tok));
            return;
        }
        if (!(starts_block(line) && line.find('|') == std::string::npos)) {
            if (auto a = attribute_line(line)) {
                table->attr.merge(*a);
                return;
            }
            append_table_row(line);
            return;
        }
    }

    // 2. An open definition list takes attribute lines and definitions.
    if (leaf_open && last && last->is<node::DefinitionList>()) {
        auto* dl = last->as<node::DefinitionList>();
        if (auto a = attribute_line(line)) {
            dl->attr.merge(*a);
            return;
        }
        if (auto def = def_marker(line)) {
            if (!dl->items.empty()) dl->items.back().definitions.push_back(std::move(*def));
            return;
        }
    }

    auto* para = (leaf_open && last) ? last->as<node::Paragraph>() : nullptr;
    if (para && !para->lines.empty()) {
        // 3. A delimiter row turns the paragraph's last line into a header.
        if (convert_paragraph_to_table(line)) return;
        // 4. A definition line turns the paragraph into a definition list.
        if (auto def = def_marker(line)) {
            DraftDefinitionItem item;
            for (const auto& l : para->lines) {
                std::string_view term = text::trim(l);
                if (!term.empty()) item.terms.emplace_back(term);
            }
            item.definitions.push_back(std::move(*def));
            // Terms that directly followed a definition list start its next
            // item: the writer writes the items of one list without a blank
            // line between them.
            auto& siblings = nodes[open.back()].children;
            if (term_after_list_ && *term_after_list_ == siblings.back() && siblings.size() >= 2) {
                if (auto* prev = nodes[siblings[siblings.size() - 2]].as<node::DefinitionList>()) {
                    prev->items.push_back(std::move(item));
                    siblings.pop_back();
                    term_after_list_.reset();
                    leaf_open = true;
                    return;
                }
            }
            node::DefinitionList dl;
            dl.items.push_back(std::move(item));
            last->kind = std::move(dl);
            leaf_open = true;
            return;
        }
        // 5. Continuation, unless the line starts something else.
        bool single_token = para->lines.size() == 1 &&
                            template_::line_token(para->lines[0], options.template_delimiters).has_value();
        if (!interrupts_paragraph(line, options) && !single_token) {
            para->lines.push_back(std::move(line));
            return;
        }
    }

    // An attribute line inside a container attaches to the block before it.
    if (last) {
        if (auto a = attribute_line(line)) {
            if (attach_attrs(*last, *a, line)) {
                leaf_open = false;
                return;
            }
        }
    }

    // 6. Fenced code.
    auto fence = fence_start(line, '`');
    if (!fence) fence = fence_start(line, '~');
    if (fence) {
        node::FencedCode code;
        code.info = std::move(fence->info);
        code.fence_len = fence->run;
        code.indent = fence->indent;
        code.fence_char = fence->fence_char;
        open_node(std::move(code));
        leaf_open = true;
        return;
    }

    // 7. Math block.
    if (options.math >= 2 && (t == "$$" || t == "\\[")) {
        open_node(node::MathBlock{{}, {}, t == "$$" ? "$$" : "\\]", false});
        leaf_open = true;
        return;
    }

    auto in = line::indentation(line);
    bool room = this->depth() < options.max_block_depth;

    // 8. Fenced div.
    if (room && in.columns <= 3 && t.starts_with(":::")) {
        std::size_t run = 0;
        while (run < t.size() && t[run] == ':') ++run;
        std::string_view info = text::trim(t.substr(run));
        if (info.empty() && run == 3) {
            // A bare ":::" that closed no open div (the main loop tried that
            // first) opens one without attributes: the writer writes a div
            // whose attributes are empty with a bare fence.
            std::size_t index = open_node(node::Div{Attr{}, run});
            open.push_back(index);
            leaf_open = false;
            return;
        }
        if (info.find_first_not_of(':') != std::string_view::npos) {
            while (!info.empty() && info.back() == ':') info.remove_suffix(1);
            info = text::trim_end(info);
            Attr attr;
            bool ok = true;
            if (info.starts_with('{')) {
                // The braced form must read as attributes; text in braces that
                // does not is no div opener.
                ok = attrs::parse_braced_attr(info).has_value();
                if (ok) attr = attrs::parse_fence_info(info).attr;
            } else {
                std::size_t w = 0;
                while (w < info.size() && !text::is_white_space(text::decode_utf8(info, w).cp))
                    w += text::decode_utf8(info, w).len;
                std::string_view word = info.substr(0, w);
                while (!word.empty() && word.front() == ':') word.remove_prefix(1);
                while (!word.empty() && word.back() == ':') word.remove_suffix(1);
                attr.push_class(word);
                auto brace = info.find('{');
                if (brace != std::string_view::npos) attr.merge(attrs::parse_fence_info(info.substr(brace)).attr);
            }
            if (ok) {
                std::size_t index = open_node(node::Div{std::move(attr), run});
                open.push_back(index);
                leaf_open = false;
                return;
            }
        }
    }

    // 9. Footnote definition.
    if (room && in.columns <= 3 && t.starts_with("[^")) {
        auto close = t.find("]:", 2);
        if (close != std::string_view::npos) {
            std::string_view label = t.substr(2, close - 2);
            bool ok = !label.empty();
            for (std::size_t i = 0; ok && i < label.size();) {
                auto d = text::decode_utf8(label, i);
                if (text::is_white_space(d.cp)) ok = false;
                i += d.len;
            }
            if (ok) {
                std::size_t index = open_node(node::FootnoteDef{std::string(label)});
                open.push_back(index);
                leaf_open = false;
                std::string_view after = t.substr(close + 2);
                std::string_view content = text::trim_start(after);
                if (!content.empty()) {
                    // The line itself goes on as the content: a copy per
                    // nested definition would keep the rest of one long
                    // line once for each of them.
                    std::size_t skip = static_cast<std::size_t>(content.data() - line.data());
                    std::size_t keep = content.size();
                    line_offset += skip;
                    line.erase(0, skip);
                    line.resize(keep);
                    append_leaf_inner(std::move(line), depth + 1);
                }
                return;
            }
        }
    }

    // 10. Indented code.
    if (in.columns >= 4) {
        std::string text = line::Line::strip_from(line, 0, 0, 4);
        text.push_back('\n');
        open_node(node::IndentedCode{std::move(text)});
        leaf_open = true;
        return;
    }

    // 11. Raw HTML.
    if (open_html_container(line)) return;
    if (open_html_block(line)) return;

    // 12. Template token line, heading, thematic break, paragraph.
    if (open_atx_heading(line)) return;
    if (line == "---") {
        open_node(node::ThematicBreak{});
        leaf_open = false;
        return;
    }
    bool after_list = leaf_open && last && last->is<node::DefinitionList>();
    std::size_t index = open_node(node::Paragraph{{std::move(line)}});
    if (after_list) term_after_list_ = index;
    leaf_open = true;
}

bool ContainerBuilder::attach_attrs(BuildNode& target, const Attr& attr, const std::string& line) {
    if (!span_kind_accepts_attrs(build_kind_name(target.kind))) return false;
    return target.visit_kind(
        [&](auto& k) -> bool {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, node::Paragraph>) {
                // Taken off again by the paragraph finisher, in order.
                k.lines.push_back(line);
                return true;
            } else if constexpr (std::is_same_v<K, node::FencedCode>) {
                // Keeps the attributes in the info text's place.
                return false;
            } else if constexpr (requires { k.attr; }) {
                k.attr.merge(attr);
                return true;
            } else {
                return false;
            }
        });
}

}  // namespace tavrel::block
