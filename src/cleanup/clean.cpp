// The block and inline clean-up passes and the back-matter cut.
//
// Each pass rewrites a node list in place as it walks it (see Compactor):
// nothing is copied on the way except where a rule must keep the original
// beside a rewritten version (table interludes). Markers left by the
// wikitext reader are recognised by their attribute keys
// ("data-mediawiki-category" on category links, "data-mediawiki-behavior" on
// behaviour switches) and by the "./" and "#" prefixes of links to wiki
// pages.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "../roles/case.hpp"
#include "corpuswright/cleanup.hpp"
#include "tavrel/text.hpp"

namespace corpuswright::cleanup {
namespace {

using namespace tavrel::ast;

constexpr std::string_view kCategoryKey = "data-mediawiki-category";
constexpr std::string_view kBehaviorKey = "data-mediawiki-behavior";

bool has_key(const Attr& attr, std::string_view key) { return attr.get(key) != nullptr; }

bool all_ascii_digits(std::string_view w) {
    for (char c : w)
        if (c < '0' || c > '9') return false;
    return true;
}

// The paragraph tests on the paragraph's plain text P, or on its start.
//
// Image-map and gallery leftovers: a paragraph whose text begins (after
// leading white space, in any letter case) with "file:" or "<file:", or whose
// first word is "circle", "poly" or "rect" followed by up to two words of
// digits ("rect 10 20 30 40 [[link]]"), is dropped; so is a paragraph whose
// text is only white space.
//
// The rule is stated on the lower-cased text; compared without regard to
// ASCII case instead, it gives the same answer, because no character outside
// ASCII lower-cases to a text made only of the ASCII letters of these words
// (the nearest, "İ", becomes "i" plus a combining dot), and digits and white
// space have no case. That spares lower-casing whole paragraphs.
//
// `p` may be only the start of P (`complete` false): the answer is then
// absent whenever the rest of P could change it, and the caller asks again
// with the whole text. Most paragraphs are decided by their first word.
std::optional<bool> keep_text(std::string_view p, bool complete) {
    std::string_view rest = tavrel::text::trim_start(p);
    if (rest.empty()) return complete ? std::optional<bool>(false) : std::nullopt;
    if (casemap::starts_with_ascii_ci(rest, "file:") || casemap::starts_with_ascii_ci(rest, "<file:")) return false;
    if (!complete && rest.size() < 6) return std::nullopt;
    // The next word of `rest`, and whether it runs to the end of the text held.
    bool at_end = false;
    auto next_word = [&rest, &at_end]() {
        std::size_t i = 0;
        while (i < rest.size()) {
            tavrel::text::Decoded d = tavrel::text::decode_utf8(rest, i);
            if (tavrel::text::is_white_space(d.cp)) break;
            i += d.len;
        }
        std::string_view word = rest.substr(0, i);
        at_end = i == rest.size();
        rest = tavrel::text::trim_start(rest.substr(i));
        return word;
    };
    std::string_view shape = next_word();
    if (at_end && !complete) return std::nullopt;
    if (!casemap::equals_ascii_ci(shape, "circle") && !casemap::equals_ascii_ci(shape, "poly") &&
        !casemap::equals_ascii_ci(shape, "rect"))
        return true;
    for (int k = 0; k < 2; ++k) {
        if (rest.empty()) {
            if (!complete) return std::nullopt;
            break;
        }
        std::string_view word = next_word();
        if (!all_ascii_digits(word)) return true;
        if (at_end && !complete) return std::nullopt;
    }
    return false;
}

bool keep_paragraph(const Paragraph& para) {
    constexpr std::size_t kPrefixBytes = 256;
    std::string p;
    bool complete = plain_prefix(para.content, kPrefixBytes, p);
    if (std::optional<bool> keep = keep_text(p, complete)) return *keep;
    return *keep_text(plain(para.content), true);
}

// Rewrites a node list in place while it is walked front to back: kept
// nodes slide down over dropped ones, and replacements are written into the
// room that dropped nodes freed. Only when a replacement needs more room than
// that (a call that expands to several inlines) is the list moved out to a
// fresh vector, once. Most lists therefore cost no allocation at all. Node i
// must be handed to `keep` or `replace` (or dropped by neither) in order of i.
template <class Node>
class Compactor {
public:
    explicit Compactor(std::vector<Node>& list) : list_(list) {}

    void keep(std::size_t i) {
        if (spilled_) {
            spill_.push_back(std::move(list_[i]));
        } else {
            if (w_ != i) list_[w_] = std::move(list_[i]);
            ++w_;
        }
    }

    // Node i is replaced by `nodes` (possibly none); `nodes` must not live
    // inside the list.
    void replace(std::size_t i, std::vector<Node>&& nodes) {
        if (!spilled_ && w_ + nodes.size() <= i + 1) {
            for (Node& n : nodes) list_[w_++] = std::move(n);
            return;
        }
        if (!spilled_) {
            spilled_ = true;
            spill_.reserve(list_.size() + nodes.size());
            for (std::size_t k = 0; k < w_; ++k) spill_.push_back(std::move(list_[k]));
        }
        for (Node& n : nodes) spill_.push_back(std::move(n));
    }

    void finish() {
        if (spilled_)
            list_ = std::move(spill_);
        else
            list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(w_), list_.end());
    }

private:
    std::vector<Node>& list_;
    std::vector<Node> spill_;
    std::size_t w_ = 0;  // next slot to write while not spilled
    bool spilled_ = false;
};

void trim_soft_breaks(Inlines& list) {
    std::size_t start = 0, end = list.size();
    while (start < end && list[start].is<SoftBreak>()) ++start;
    while (end > start && list[end - 1].is<SoftBreak>()) --end;
    if (start == 0 && end == list.size()) return;
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(end), list.end());
    list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(start));
}

void clean_table(Table& t, const roles::TemplateRoles& roles) {
    clean_inlines(t.caption, roles);
    for (auto* rows : {&t.head, &t.body, &t.foot}) {
        for (TableRow& row : *rows)
            for (TableCell& cell : row.cells) clean_inlines(cell.content, roles);
    }
    // An interlude holds one inline; when its clean-up leaves nothing, the
    // original stays rather than leaving a hole in the table.
    for (auto& [row, inline_] : t.interludes) {
        Inlines one{inline_};
        clean_inlines(one, roles);
        if (!one.empty()) inline_ = std::move(one.back());
    }
}

constexpr std::array<std::string_view, 10> kBackMatterWords = {
    "references", "further reading", "external links", "see also",    "sources",
    "citations",  "bibliography",    "notes",          "works cited", "related pages"};

bool is_back_matter(const Heading& h) {
    std::string text = casemap::lower(plain(h.content));
    for (std::string_view w : kBackMatterWords)
        if (text.find(w) != std::string::npos) return true;
    return false;
}

}  // namespace

void clean_inlines(Inlines& inlines, const roles::TemplateRoles& roles) {
    Compactor<Inline> out(inlines);
    for (std::size_t i = 0; i < inlines.size(); ++i) {
        Inline& in = inlines[i];
        switch (in.kind()) {
            case InlineKind::Emph: clean_inlines(in.as<Emph>()->content, roles); break;
            case InlineKind::Strong: clean_inlines(in.as<Strong>()->content, roles); break;
            case InlineKind::Strikeout: clean_inlines(in.as<Strikeout>()->content, roles); break;
            case InlineKind::Highlight: clean_inlines(in.as<Highlight>()->content, roles); break;
            case InlineKind::Span: {
                Span& span = *in.as<Span>();
                clean_inlines(span.content, roles);
                if (has_key(span.attr, kBehaviorKey)) continue;
                break;
            }
            case InlineKind::Operation: {
                Operation& call = *in.as<Operation>();
                for (OperationArg& arg : call.args) clean_inlines(arg.value, roles);
                out.replace(i, operation(std::move(call), roles));
                continue;
            }
            case InlineKind::Link: {
                Link& link = *in.as<Link>();
                clean_inlines(link.content, roles);
                if (has_key(link.attr, kCategoryKey)) continue;
                if (link.url.starts_with("./") || link.url.starts_with("#")) {
                    Inlines content = std::move(link.content);  // out of the list before it is overwritten
                    out.replace(i, std::move(content));
                    continue;
                }
                break;
            }
            case InlineKind::Image:
            case InlineKind::FootnoteRef:
            case InlineKind::Note: continue;
            case InlineKind::RawInline: {
                const RawInline& raw = *in.as<RawInline>();
                if (raw.format == "html" && raw.text.starts_with("<!--")) continue;
                break;
            }
            default: break;
        }
        out.keep(i);
    }
    out.finish();
    trim_soft_breaks(inlines);
}

void clean_blocks(Blocks& blocks, const roles::TemplateRoles& roles) {
    Compactor<Block> out(blocks);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        Block& b = blocks[i];
        switch (b.kind()) {
            case BlockKind::Paragraph: {
                Paragraph& para = *b.as<Paragraph>();
                clean_inlines(para.content, roles);
                if (!keep_paragraph(para)) continue;
                break;
            }
            case BlockKind::Heading: clean_inlines(b.as<Heading>()->content, roles); break;
            case BlockKind::BlockQuote: clean_blocks(b.as<BlockQuote>()->blocks, roles); break;
            case BlockKind::Div: clean_blocks(b.as<Div>()->blocks, roles); break;
            case BlockKind::List:
                for (ListItem& item : b.as<List>()->items) clean_blocks(item.blocks, roles);
                break;
            case BlockKind::DefinitionList:
                for (DefinitionItem& item : b.as<DefinitionList>()->items) {
                    for (DefinitionTerm& term : item.terms) clean_inlines(term.content, roles);
                    for (Inlines& def : item.definitions) clean_inlines(def, roles);
                }
                break;
            case BlockKind::Table: clean_table(*b.as<Table>(), roles); break;
            case BlockKind::Figure: continue;
            default: break;
        }
        out.keep(i);
    }
    out.finish();
}

void cut_back_matter(Blocks& blocks) {
    Compactor<Block> out(blocks);
    bool skipping = false;
    unsigned cut_level = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Heading* h = blocks[i].as<Heading>();
        if (h && (h->level == 1 || h->level == 2) && is_back_matter(*h)) {
            // A back-matter heading starts a cut, or restarts a running one
            // at its own level.
            skipping = true;
            cut_level = h->level;
            continue;
        }
        if (skipping && (!h || h->level > cut_level)) continue;
        skipping = false;
        cut_level = 0;
        out.keep(i);
    }
    out.finish();
}

}  // namespace corpuswright::cleanup
