// The reader's entry and its top-level pass.
//
// The top level is read segment by segment: between segments stand blank
// lines, "^" end-of-block markers, standalone attribute lines ("{: ...}")
// and link reference definitions, which belong to no block of their own.
// An attribute line attaches to the block directly above it, or waits for
// the next block; one that finds no block becomes text again. After the
// block pass come the ordered-list rule, the inline parser (through
// finalisation) and the diagnostics for constructs left open.
#include <algorithm>
#include <string>
#include <utility>

#include "tavrel/block.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/text.hpp"

namespace tavrel::block {

Parser::Parser(std::string_view text, const Options& opts) : options(opts.clone()) {
    std::string_view src = text;
    if (text.find('\r') != std::string_view::npos) {
        normalised.reserve(text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r') {
                normalised.push_back('\n');
                if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            } else {
                normalised.push_back(text[i]);
            }
        }
        src = normalised;
    }
    std::size_t start = 0;
    while (start < src.size()) {
        std::size_t nl = src.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.push_back(src.substr(start));
            break;
        }
        lines.push_back(src.substr(start, nl - start));
        start = nl + 1;
    }
}

std::string_view Parser::keep(std::string_view text, std::string_view line) {
    if (line.ends_with(text)) return line.substr(line.size() - text.size());
    return kept.emplace_back(text);
}

namespace {

bool is_end_marker(std::string_view line) { return text::trim(line) == "^"; }

bool same_attr(const Attr& a, const Attr& b) { return a.id == b.id && a.classes == b.classes && a.pairs == b.pairs; }

ast::Blocks finalize(DraftBlocks blocks, const inline_::InlineContext& context) {
    return finalize_blocks(std::move(blocks), context);
}

}  // namespace

namespace {

// The block pass over the whole text, with the numbering of lists judged:
// the document's top-level drafts, before inline parsing.
DraftBlocks top_level_drafts(Parser& p) {
    DraftBlocks blocks;
    Attr pending;
    std::vector<std::size_t> pending_lines;

    auto literalize = [&] {
        if (pending_lines.empty()) return;
        std::string para;
        for (std::size_t i = 0; i < pending_lines.size(); ++i) {
            if (i) para.push_back('\n');
            para.append(text::trim(p.lines[pending_lines[i]]));
        }
        blocks.push_back(DraftParagraph{Attr{}, std::move(para)});
        pending = Attr{};
        pending_lines.clear();
    };

    // Whether a blank line or end marker stood since the last segment.
    bool gap = false;
    while (p.pos < p.lines.size()) {
        std::string_view line = p.lines[p.pos];
        if (line::is_blank(line) || is_end_marker(line)) {
            gap = true;
            literalize();
            ++p.pos;
            continue;
        }
        if (auto attr = attribute_line(line)) {
            bool above = p.pos > 0 && !line::is_blank(p.lines[p.pos - 1]) && !is_end_marker(p.lines[p.pos - 1]);
            Attr* target = blocks.empty() ? nullptr : blocks.back().attr();
            if (above && target && span_kind_accepts_attrs(blocks.back().kind_name())) {
                target->merge(*attr);
            } else {
                pending.merge(*attr);
                pending_lines.push_back(p.pos);
            }
            ++p.pos;
            continue;
        }
        if (auto def = scan_link_ref_def(p.lines, p.pos)) {
            p.add_link_def(def->label, std::move(def->def));
            p.pos = def->next;
            continue;
        }
        std::size_t before = p.pos;
        if (p.segment_lines) p.segment_lines->push_back(before);
        DraftBlocks segment = p.container_block();
        if (p.pos == before) ++p.pos;  // never stall on a line no step consumed
        if (!pending_lines.empty() && !segment.empty()) {
            Attr* first = segment.front().attr();
            if (first && span_kind_accepts_attrs(segment.front().kind_name())) {
                first->merge(pending);
                pending = Attr{};
                pending_lines.clear();
            } else {
                literalize();
            }
        }
        bool first = true;
        for (auto& b : segment) {
            auto* dl = b.as<DraftDefinitionList>();
            auto* prev = blocks.empty() ? nullptr : blocks.back().as<DraftDefinitionList>();
            // Only a list that directly follows (no blank line between) is
            // the same list: the writer separates two lists by a blank line.
            // Inside one segment the leaf placement already joined the lists
            // no blank line parted; two lists left side by side there stood
            // in a markdown container with a blank line between them.
            bool adjacent = first && !gap;
            first = false;
            if (dl && prev && adjacent && same_attr(dl->attr, prev->attr)) {
                for (auto& item : dl->items) prev->items.push_back(std::move(item));
                continue;
            }
            blocks.push_back(std::move(b));
        }
        gap = false;
    }
    literalize();

    // (Inline text is read here only to judge lists, with the link
    // definitions and footnotes of the whole text.)
    inline_::FootnoteLabels labels;
    for (const auto& f : p.footnotes) labels.insert(f.label);
    const inline_::InlineContext context{p.options, p.link_defs, labels};
    if (p.numbering) {
        enforce_ordered_lists(blocks, &context, *p.numbering);
    } else {
        enforce_ordered_lists(blocks, nullptr, &context);
    }
    return blocks;
}

}  // namespace

DocumentOutline outline_blocks(std::string_view text, const Options& options, Numbering* numbering) {
    Parser p(text, options);
    DocumentOutline out;
    if (numbering) {
        p.numbering = numbering;
        p.segment_lines = &out.segment_lines;
    }
    DraftBlocks blocks = top_level_drafts(p);
    out.blocks.reserve(blocks.size());
    for (auto& b : blocks) {
        auto* para = b.as<DraftParagraph>();
        out.blocks.push_back(BlockOutline{b.kind_name(), para ? std::move(para->text) : std::string()});
    }
    out.footnotes = p.footnotes.size();
    return out;
}

ast::Document parse_source(std::string_view text, const Options& options) {
    Parser p(text, options);
    DraftBlocks blocks = top_level_drafts(p);

    inline_::FootnoteLabels labels;
    for (const auto& f : p.footnotes) labels.insert(f.label);
    inline_::InlineContext context{p.options, p.link_defs, labels};
    for (auto& f : p.footnotes) enforce_ordered_lists(f.blocks, nullptr, &context);

    ast::Document doc;
    doc.blocks = finalize(std::move(blocks), context);
    doc.footnotes.reserve(p.footnotes.size());
    for (auto& f : p.footnotes) doc.footnotes.push_back(ast::Footnote{f.label, finalize(std::move(f.blocks), context)});

    std::stable_sort(p.trace.events.begin(), p.trace.events.end(),
                     [](const Event& a, const Event& b) { return a.line < b.line; });
    doc.diagnostics.reserve(p.trace.events.size());
    for (const auto& e : p.trace.events) {
        auto line = static_cast<std::uint32_t>(e.line + 1);
        diagnostic::Diagnostic d;
        d.location = diagnostic::LineLocation{line, {line, 1}, {line, 1}};
        d.code = "unclosed";
        d.message = "unclosed " + e.kind + " (expected '" + e.closer + "')";
        d.severity = 0;
        doc.diagnostics.push_back(std::move(d));
    }
    return doc;
}

}  // namespace tavrel::block
