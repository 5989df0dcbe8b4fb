// Block finalisation in two steps: builder nodes become draft blocks (kinds
// settled, texts still raw), then drafts become document blocks with every
// inline text run through the inline parser.
//
// The split lets paragraph finishing fill the link map from the whole
// document before any inline text is parsed. Both walks recurse over the
// container nesting, which the block pass bounds by `max_block_depth`.
#include <string>
#include <utility>

#include "tavrel/attrs.hpp"
#include "tavrel/block.hpp"
#include "tavrel/inline.hpp"
#include "tavrel/text.hpp"

namespace tavrel::block {

DraftBlocks ContainerBuilder::finish_children(std::size_t index, Parser& parser, std::size_t depth) {
    DraftBlocks out;
    // Copy: finishing a child never adds nodes, but keep the loop independent
    // of the arena's storage all the same.
    std::vector<std::size_t> children = nodes[index].children;
    out.reserve(children.size());
    for (std::size_t child : children) finish_node(child, parser, depth, out);
    return out;
}

void ContainerBuilder::finish_node(std::size_t index, Parser& parser, std::size_t depth, DraftBlocks& out) {
    BuildNode& n = nodes[index];
    std::size_t start = n.start_line;
    // The blocks of a container that leaves them where it stands are
    // finished into `out` itself: moved up level by level, those of markdown
    // containers nested deep took the depth times their number.
    const auto children_into_out = [&] {
        // (Finishing a child adds no node: see `finish_children`.)
        for (std::size_t i = 0; i < nodes[index].children.size(); ++i)
            finish_node(nodes[index].children[i], parser, depth + 1, out);
    };
    if (n.is<node::Root>() || n.is<node::ListItem>()) {
        children_into_out();
    } else if (auto* c = n.as<node::HtmlContainer>()) {
        bool enclosed = c->enclosing.has_value();
        bool closed = c->closed;
        std::string name = c->name;
        if (!enclosed) out.push_back(draft_raw(c->open_tag + "\n", start, parser.trace));
        children_into_out();
        if (!enclosed && closed) out.push_back(draft_raw("</" + name + ">\n", start, parser.trace));
    } else if (auto* h = n.as<node::HtmlBlock>()) {
        if (!h->closed) {
            // A block left open took every line to the end of its container,
            // blank lines included; those at its end separate it from what
            // follows and are not its text.
            std::string text = h->text;
            while (text.size() >= 2 && text[text.size() - 1] == '\n' && text[text.size() - 2] == '\n')
                text.pop_back();
            out.push_back(draft_raw(text, start, parser.trace));
        } else {
            out.push_back(draft_raw(h->text, start, parser.trace, h->container_tag));
        }
    } else if (auto* p = n.as<node::Paragraph>()) {
        std::vector<std::string> lines = p->lines;
        for (auto& d : finish_paragraph(lines, start, parser)) out.push_back(std::move(d));
    } else if (auto* hd = n.as<node::Heading>()) {
        out.push_back(DraftHeading{hd->attr, hd->text, hd->level});
    } else if (auto* tb = n.as<node::ThematicBreak>()) {
        out.push_back(DraftThematicBreak{tb->attr});
    } else if (auto* q = n.as<node::BlockQuote>()) {
        Attr attr = q->attr;
        out.push_back(DraftBlockQuote{std::move(attr), finish_children(index, parser, depth + 1)});
    } else if (auto* dv = n.as<node::Div>()) {
        Attr attr = dv->attr;
        out.push_back(DraftDiv{std::move(attr), finish_children(index, parser, depth + 1)});
    } else if (auto* dl = n.as<node::DefinitionList>()) {
        out.push_back(DraftDefinitionList{dl->attr, dl->items});
    } else if (auto* t = n.as<node::Table>()) {
        out.push_back(DraftTable{t->attr, t->aligns, t->head, t->body, t->foot, t->caption, t->interludes});
    } else if (auto* l = n.as<node::List>()) {
        DraftList list;
        list.attr = l->attr;
        list.start = l->start;
        list.ordered = l->ordered;
        list.interrupts_paragraph = l->interrupts_paragraph;
        list.tight = true;
        std::vector<std::size_t> children = n.children;
        for (std::size_t ci : children) {
            const auto* it = nodes[ci].as<node::ListItem>();
            if (!it) continue;
            DraftListItem item;
            item.attr = it->attr;
            item.task = it->task;
            item.number = it->number;
            item.first_line = it->first_line;
            item.markers_end = it->markers_end;
            item.start_line = nodes[ci].start_line;
            item.indented_lines = it->indented_lines;
            item.content_below = it->content_below;
            item.lazy_lines = it->lazy_lines;
            item.raw_lines = it->raw_lines;
            item.lazy = it->lazy;
            if (it->loose) list.tight = false;
            item.blocks = finish_children(ci, parser, depth + 2);
            list.items.push_back(std::move(item));
        }
        out.push_back(std::move(list));
    } else if (auto* f = n.as<node::FootnoteDef>()) {
        std::string label = f->label;
        DraftBlocks blocks = finish_children(index, parser, depth + 1);
        parser.footnotes.push_back(DraftFootnote{std::move(label), std::move(blocks)});
    } else if (auto* m = n.as<node::MathBlock>()) {
        // Only the last line's own line end goes: the writer writes the TeX,
        // a line end and the closer, so TeX that ends in white space or blank
        // lines reads back whole.
        std::string tex = m->text;
        if (!tex.empty() && tex.back() == '\n') tex.pop_back();
        out.push_back(DraftMathBlock{m->attr, std::move(tex), true});
    } else if (auto* ic = n.as<node::IndentedCode>()) {
        out.push_back(DraftCodeBlock{{}, {}, std::nullopt, ic->text});
    } else if (auto* fc = n.as<node::FencedCode>()) {
        std::string_view info = text::trim(fc->info);
        if (auto raw = attrs::raw_attr(info); raw && raw->len == info.size()) {
            out.push_back(DraftRawBlock{std::string(raw->format), fc->text});
            return;
        }
        if (info.size() > 2 && info.front() == '{' && info.back() == '}') {
            std::string_view word = info.substr(1, info.size() - 2);
            bool alnum = true;
            for (char ch : word)
                if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9'))) alnum = false;
            if (alnum) {
                out.push_back(DraftFormatBlock{std::string(word), fc->text});
                return;
            }
        }
        auto fi = attrs::parse_fence_info(fc->info);
        out.push_back(DraftCodeBlock{std::move(fi.attr), std::move(fi.info_text), std::move(fi.lang), fc->text});
    }
}

// ---------------------------------------------------------------------------
// Drafts to blocks.

namespace {

ast::Inlines inlines_of(std::string_view text, const inline_::InlineContext& context) {
    if (text.empty()) return {};
    return inline_::coalesce(inline_::parse_inner(text, context));
}

}  // namespace

std::vector<ast::TableRow> finalize_table_rows(std::vector<TextRow> rows, const inline_::InlineContext& context) {
    std::vector<ast::TableRow> out;
    out.reserve(rows.size());
    for (auto& r : rows) {
        ast::TableRow row;
        row.attr = std::move(r.attr);
        row.cells.reserve(r.cells.size());
        for (auto& c : r.cells) {
            ast::TableCell cell;
            cell.attr = std::move(c.attr);
            cell.align = c.align;
            cell.content = inlines_of(c.content, context);
            row.cells.push_back(std::move(cell));
        }
        out.push_back(std::move(row));
    }
    return out;
}

ast::Blocks finalize_blocks(DraftBlocks drafts, const inline_::InlineContext& context) {
    ast::Blocks out;
    out.reserve(drafts.size());
    for (auto& d : drafts) {
        visit(
            [&](auto& b) {
                using B = std::decay_t<decltype(b)>;
                if constexpr (std::is_same_v<B, DraftParagraph>) {
                    ast::Inlines content = inlines_of(b.text, context);
                    if (context.options.figures && content.size() == 1 && content[0].is<ast::Image>()) {
                        ast::Figure fig;
                        fig.attr = std::move(b.attr);
                        ast::Image img = std::move(*content[0].as<ast::Image>());
                        if (!fig.attr.id && img.attr.id) fig.attr.id = std::move(img.attr.id);
                        img.attr.id.reset();
                        for (auto& c : img.attr.classes) fig.attr.push_class(std::move(c));
                        img.attr.classes.clear();
                        fig.caption = img.alt;
                        fig.image = std::move(img);
                        out.push_back(std::move(fig));
                    } else {
                        out.push_back(ast::Paragraph{std::move(b.attr), std::move(content)});
                    }
                } else if constexpr (std::is_same_v<B, DraftHeading>) {
                    out.push_back(ast::Heading{std::move(b.attr), inlines_of(b.text, context), b.level});
                } else if constexpr (std::is_same_v<B, DraftBlockQuote>) {
                    out.push_back(ast::BlockQuote{std::move(b.attr), finalize_blocks(std::move(b.blocks), context)});
                } else if constexpr (std::is_same_v<B, DraftDiv>) {
                    out.push_back(ast::Div{std::move(b.attr), finalize_blocks(std::move(b.blocks), context)});
                } else if constexpr (std::is_same_v<B, DraftList>) {
                    ast::List list;
                    list.attr = std::move(b.attr);
                    list.start = b.start;
                    list.ordered = b.ordered;
                    list.tight = b.tight;
                    list.items.reserve(b.items.size());
                    for (auto& it : b.items)
                        list.items.push_back(
                            ast::ListItem{std::move(it.attr), finalize_blocks(std::move(it.blocks), context), it.task});
                    out.push_back(std::move(list));
                } else if constexpr (std::is_same_v<B, DraftDefinitionList>) {
                    ast::DefinitionList dl;
                    dl.attr = std::move(b.attr);
                    for (auto& it : b.items) {
                        ast::DefinitionItem item;
                        for (auto& term : it.terms) {
                            auto [text, attr] = attrs::strip_trailing_attr(term);
                            item.terms.push_back(ast::DefinitionTerm{std::move(attr), inlines_of(text, context)});
                        }
                        for (auto& def : it.definitions) item.definitions.push_back(inlines_of(def, context));
                        dl.items.push_back(std::move(item));
                    }
                    out.push_back(std::move(dl));
                } else if constexpr (std::is_same_v<B, DraftTable>) {
                    ast::Table t;
                    t.attr = std::move(b.attr);
                    t.aligns = std::move(b.aligns);
                    t.head = finalize_table_rows(std::move(b.head), context);
                    t.body = finalize_table_rows(std::move(b.body), context);
                    t.foot = finalize_table_rows(std::move(b.foot), context);
                    if (b.caption) {
                        auto [text, attr] = attrs::strip_trailing_attr(*b.caption);
                        t.attr.merge(attr);
                        t.caption = inlines_of(text, context);
                    }
                    for (auto& [row, tok] : b.interludes)
                        t.interludes.emplace_back(row, ast::Inline(ast::TemplateTokenInline{std::move(tok)}));
                    out.push_back(std::move(t));
                } else if constexpr (std::is_same_v<B, DraftCodeBlock>) {
                    out.push_back(ast::CodeBlock{std::move(b.attr), std::move(b.info_text), std::move(b.lang),
                                                 std::move(b.text)});
                } else if constexpr (std::is_same_v<B, DraftHtmlBlock>) {
                    out.push_back(std::move(b));
                } else if constexpr (std::is_same_v<B, DraftThematicBreak>) {
                    out.push_back(ast::ThematicBreak{std::move(b.attr)});
                } else if constexpr (std::is_same_v<B, DraftMathBlock>) {
                    out.push_back(ast::MathBlock{std::move(b.attr), std::move(b.tex), b.display});
                } else if constexpr (std::is_same_v<B, DraftRawBlock>) {
                    out.push_back(ast::RawBlock{std::move(b.format), std::move(b.text)});
                } else if constexpr (std::is_same_v<B, DraftTemplateToken>) {
                    out.push_back(ast::TemplateTokenBlock{std::move(b.token)});
                } else if constexpr (std::is_same_v<B, DraftFormatBlock>) {
                    out.push_back(ast::FormatBlock{std::move(b.format), std::move(b.text)});
                }
            },
            d);
    }
    return out;
}

}  // namespace tavrel::block
