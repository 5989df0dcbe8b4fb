// The inline round trip on a synthetic corpus: wikitext pages made from a
// varied vocabulary are read by the wikitext reader; every inline run of the
// resulting tree is written by the Markdown writer, read back by the inline
// parser and written again, and the two texts must be the same bytes. This
// is the property the chunk stage checks on every stored article.
#include <gtest/gtest.h>

#include <random>

#include "show.hpp"
#include "tavrel/wikitext.hpp"
#include "tavrel/write_md.hpp"

using namespace tavrel;

namespace {

const char* const kWords[] = {
    "plain", "words", "caf\xC3\xA9", "\xE2\x80\x94", "\xC2\xABq\xC2\xBB", "a*b", "x_y", "_lead", "trail_", "R&D",
    "&amp;", "&lt;b&gt;", "&#38;lt;", "&nbsp;", "50%", "$5", "$$", "\\", "\\\\", "~", "~~", "==", "^", "`", "``",
    "|", "#", "<", ">", "a<b", "[", "]", "[x]", "(", ")", "{", "}", "{.x}", "{#id}", "*", "**", "_", "-", "1.",
    "+", "=", ":", ";", "!", "![", "^[", "[^", "e=mc", "a^b", "~x~", "H~2~O", "x^2^", "[[L|l]]", "[[L]]",
    "[[L|''it'']]", "[[L (d)|t]]", "[http://x.org label]", "[http://x.org/a_(b) l (c)]", "[http://x.org]",
    "[mailto:a@b.org]", "http://bare.org/path.", "www.ex.com", "user@ex.org", "..john@x.org", "''it''",
    "'''bo'''", "'''''bi'''''", "''' sp'''", "''x ''", "<sup>2</sup>", "<sub>i j</sub>", "<sup>[a]</sup>",
    "<sub>*</sub>", "<code>x`y</code>", "<code> c </code>", "<code>`</code>", "<tt>t</tt>", "<math>x^2</math>",
    "<math>\\frac{a}{b}</math>", "<nowiki>*x*</nowiki>", "<nowiki>[[y]]</nowiki>", "<ref>note ''a''</ref>",
    "<ref name=r>n</ref>", "<ref name=r/>", "<ref>[[L]] x</ref>", "{{tmpl}}", "{{t|a}}", "{{t|a|b}}",
    "{{t|''a''}}", "{{{p}}}", "<span class=\"c\">s</span>", "<span id=\"i\">s</span>", "<small>s</small>",
    "<s>del</s>", "<del>d</del>", "<u>u</u>", "<br>", "<br />", "<!-- c -->", "<b>b</b>", "<i>i</i>",
    "<abbr title=\"t\">a</abbr>", "<blink>z</blink>", "[[File:x.jpg|thumb|cap]]", "[[Category:C]]",
    "__NOTOC__", "<q>q</q>", "'", "\"", "&", "&amp;amp;", "--", "---", "...",
    "a\xEE\x80\x80b", "t\tab", "[[L|a@b.org]]", "[http://x.org www.y.com]", "<code>a\tb</code>",
    "{{t|x=1}}", "&#91;", "&#93;", "\\[x\\]", "$x$", "~~s~~", "==h==",
    "'''a ''b'' c'''", "''a '''b''' c''", "[[L|'''b''']]", "<ref>{{t|''a''}}</ref>",
    "<span class=\"c\">''i''</span>", "<u>'''b'''</u>", "<sup>x</sup><sub>y</sub>", "''[[L]]''",
    "'''[http://x.org l]'''", "<s>''a''</s>", "x''y''z", "a'''b'''c", "<math>a_b</math>,", "''a\nb''",
    "<span>**</span>", "<span>[x]</span>",
};

std::string make_page(std::mt19937& rng) {
    std::string page;
    const std::size_t n_words = std::size(kWords);
    int blocks = 4 + static_cast<int>(rng() % 6);
    for (int b = 0; b < blocks; ++b) {
        switch (rng() % 7) {
            case 0:
                page += "== ";
                break;
            case 1:
                page += "* ";
                break;
            case 2:
                page += "# ";
                break;
            case 3:
                page += "{|\n! h1 !! h2\n|-\n| ";
                break;
            default:
                break;
        }
        bool table = page.size() >= 4 && page.compare(page.size() - 4, 4, "\n| ") == 0;
        bool heading = page.size() >= 3 && page.compare(page.size() - 3, 3, "== ") == 0;
        int words = 1 + static_cast<int>(rng() % 14);
        for (int w = 0; w < words; ++w) {
            page += kWords[rng() % n_words];
            if (table && w == words / 2)
                page += " || ";
            else
                page += (!table && !heading && rng() % 10 == 0) ? "\n" : " ";
        }
        if (heading) page += " ==";
        if (table) page += "\n|}";
        page += "\n\n";
    }
    return page;
}

// Calls f on every inline run of the blocks (paragraphs, headings, cells,
// list items, definitions, captions), recursively.
template <class F>
void each_run(const ast::Blocks& blocks, F&& f) {
    for (const ast::Block& b : blocks) {
        if (auto* p = b.as<ast::Paragraph>()) f(p->content);
        if (auto* h = b.as<ast::Heading>()) f(h->content);
        if (auto* q = b.as<ast::BlockQuote>()) each_run(q->blocks, f);
        if (auto* d = b.as<ast::Div>()) each_run(d->blocks, f);
        if (auto* l = b.as<ast::List>())
            for (const auto& item : l->items) each_run(item.blocks, f);
        if (auto* dl = b.as<ast::DefinitionList>())
            for (const auto& item : dl->items) {
                for (const auto& t : item.terms) f(t.content);
                for (const auto& d : item.definitions) f(d);
            }
        if (auto* t = b.as<ast::Table>()) {
            f(t->caption);
            for (const auto* rows : {&t->head, &t->body, &t->foot})
                for (const auto& row : *rows)
                    for (const auto& cell : row.cells) f(cell.content);
        }
    }
}

void collect_labels(const ast::Inlines& run, inline_::FootnoteLabels& labels) {
    for (const ast::Inline& in : run) {
        if (auto* f = in.as<ast::FootnoteRef>()) labels.insert(f->label);
        visit(
            [&](const auto& n) {
                if constexpr (requires { n.content; }) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, ast::Inlines>)
                        collect_labels(n.content, labels);
                }
            },
            in);
    }
}

// The writer writes a reference to a footnote the document lacks as plain
// text, so both writings see a document defining every label in use.
std::string write_run(const ast::Inlines& run, const ast::Document& defined) {
    write_md::Renderer r(defined);
    r.inlines(run);
    return r.take();
}

struct Mismatch {
    std::string first, second, tree;
};

}  // namespace

TEST(InlineRoundTrip, SyntheticWikiCorpus) {
    Options options = Options::dataset();
    inline_::LinkDefs defs;
    std::mt19937 rng(20261207);
    std::vector<Mismatch> mismatches;
    std::size_t runs = 0;
    for (int page_no = 0; page_no < 1500; ++page_no) {
        std::string page = make_page(rng);
        ast::Document doc = wikitext::document::parse(page);
        // Every referenced label counts as defined, as in a document whose
        // references all have their footnotes.
        inline_::FootnoteLabels labels;
        for (const auto& fn : doc.footnotes) labels.insert(fn.label);
        each_run(doc.blocks, [&](const ast::Inlines& run) { collect_labels(run, labels); });
        // Read back, the notes are footnotes "__note1", "__note2", ... as
        // well; written first, they are not, and take those labels.
        ast::Document defined, read_back;
        for (const std::string& label : labels) defined.footnotes.push_back(ast::Footnote{label, {}});
        read_back = defined;
        for (int i = 1; i <= 64; ++i) {
            const std::string note = "__note" + std::to_string(i);
            if (labels.insert(note).second) read_back.footnotes.push_back(ast::Footnote{note, {}});
        }
        inline_::InlineContext ctx{options, defs, labels};
        auto check = [&](const ast::Inlines& run) {
            if (run.empty()) return;
            ++runs;
            std::string first = write_run(run, defined);
            ast::Inlines back = inline_::parse_inner(first, ctx);
            std::string second = write_run(back, read_back);
            if (first != second) mismatches.push_back({first, second, mdtest::show(run)});
        };
        each_run(doc.blocks, check);
        for (const auto& fn : doc.footnotes) each_run(fn.blocks, check);
    }
    EXPECT_GT(runs, 1000u);
    for (std::size_t i = 0; i < mismatches.size() && i < 12; ++i) {
        ADD_FAILURE() << "written:   " << mismatches[i].first << "\nrewritten: " << mismatches[i].second
                      << "\ntree:      " << mismatches[i].tree;
    }
    EXPECT_EQ(mismatches.size(), 0u) << "of " << runs << " runs";
}
