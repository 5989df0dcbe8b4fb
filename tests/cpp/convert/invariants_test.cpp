// Properties every converted page must have, checked over many random pages
// built from wiki constructs (and random byte soup): whatever the input, the
// clean-up leaves no image, footnote reference, inline note, category link,
// behaviour switch, figure or footnote definition behind, no inline list
// begins or ends with a soft break, no back-matter section survives, and a
// page that gives a result has at least one block.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "corpuswright/cleanup.hpp"
#include "corpuswright/convert.hpp"
#include "tavrel/text.hpp"
#include "tree.hpp"

namespace corpuswright {
namespace {

using namespace tavrel::ast;

struct Checker {
    std::string where;
    void inlines(const Inlines& list) {
        if (!list.empty()) {
            EXPECT_FALSE(list.front().is<SoftBreak>()) << where;
            EXPECT_FALSE(list.back().is<SoftBreak>()) << where;
        }
        for (const Inline& in : list) {
            EXPECT_FALSE(in.is<Image>()) << where;
            EXPECT_FALSE(in.is<FootnoteRef>()) << where;
            EXPECT_FALSE(in.is<Note>()) << where;
            if (const Link* l = in.as<Link>()) {
                EXPECT_FALSE(l->attr.get("data-mediawiki-category")) << where;
                EXPECT_FALSE(l->url.starts_with("./") || l->url.starts_with("#")) << where;
                inlines(l->content);
            } else if (const Span* s = in.as<Span>()) {
                EXPECT_FALSE(s->attr.get("data-mediawiki-behavior")) << where;
                inlines(s->content);
            } else if (const Emph* e = in.as<Emph>()) {
                inlines(e->content);
            } else if (const Strong* st = in.as<Strong>()) {
                inlines(st->content);
            } else if (const Operation* op = in.as<Operation>()) {
                for (const OperationArg& a : op->args) inlines(a.value);
            } else if (const RawInline* r = in.as<RawInline>()) {
                EXPECT_FALSE(r->format == "html" && r->text.starts_with("<!--")) << where;
            }
        }
    }
    void blocks(const Blocks& list, bool top) {
        for (const Block& b : list) {
            EXPECT_FALSE(b.is<Figure>()) << where;
            if (const Paragraph* p = b.as<Paragraph>()) {
                inlines(p->content);
                EXPECT_FALSE(tavrel::text::trim(cleanup::plain(p->content)).empty()) << where;
            } else if (const Heading* h = b.as<Heading>()) {
                inlines(h->content);
                if (top && h->level <= 2) {
                    std::string t = cleanup::plain(h->content);  // the generator's headings are ASCII
                    for (char& ch : t) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                    for (const char* w : {"references", "see also", "external links", "notes", "sources"})
                        EXPECT_EQ(t.find(w), std::string::npos) << where;
                }
            } else if (const BlockQuote* q = b.as<BlockQuote>()) {
                blocks(q->blocks, false);
            } else if (const List* l = b.as<List>()) {
                for (const ListItem& it : l->items) blocks(it.blocks, false);
            } else if (const Table* t = b.as<Table>()) {
                inlines(t->caption);
                for (const auto* rows : {&t->head, &t->body, &t->foot})
                    for (const TableRow& r : *rows)
                        for (const TableCell& c : r.cells) inlines(c.content);
            }
        }
    }
};

std::string random_page(std::mt19937& rng) {
    static const char* pieces[] = {
        "word ",         "'''bold''' ",  "''it'' ",         "[[Link|text]] ",    "[[#Sec|here]] ",
        "[[Category:C]]", "[[File:F.jpg|thumb|cap [[x]]]]", "<ref>r</ref>",      "<ref name=a>n</ref>",
        "<ref name=a/>", "{{cn}}",        "{{val|1|2|u=m}}", "{{convert|5|km}}", "{{frac|1|2}}",
        "{{Unknown|a|b=c}}", "{{nowrap|x}}", "{{#tag:ref|x}}", "{{#tag:math|x|display=block}}", "__NOTOC__",
        "<!-- c -->",    "<span>s</span>", "<sup>2</sup>",   "\n",                "\n\n",
        "\n== See also ==\n", "\n== History ==\n", "\n=== Notes ===\n", "\n* item ", "\n# item ",
        "\n: quote ",    "\n; term : def", "\n{|\n! h\n|-\n| {{cn}} c\n|}\n", "rect 1 2 ", "\nFile:x.jpg|c\n",
        "{{",            "}}",            "[[",              "]]",                "<",
        "{{Wrap|a|b}}",  "{{First|a|b}}", "{{Gone|x}}",      "\u00e9\u00df ",     "{{anchor|A b}}"};
    std::string page;
    int n = 10 + static_cast<int>(rng() % 120);
    for (int i = 0; i < n; ++i) page += pieces[rng() % std::size(pieces)];
    return page;
}

TEST(Invariants, HoldForRandomPages) {
    roles::TemplateRoles roles;
    roles.unwrap.insert("Wrap");
    roles.unwrap1.insert("First");
    roles.remove.insert("Gone");
    std::mt19937 rng(20261207);
    int converted = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string page = random_page(rng);
        std::optional<ConvertedDocument> r = convert_document(page, roles);
        if (!r) continue;
        ++converted;
        ASSERT_FALSE(r->document.blocks.empty());
        EXPECT_TRUE(r->document.footnotes.empty());
        Checker c{page};
        c.blocks(r->document.blocks, true);
        if (HasFailure()) break;
    }
    // The generator must exercise the converting path, not only refusals.
    EXPECT_GT(converted, 1000);
}

TEST(Invariants, ByteSoupNeverBreaksTheConversion) {
    std::mt19937 rng(7);
    const roles::TemplateRoles roles;
    const std::string alphabet = "{}[]|=<>!'#*:;-_ \n\tabcXYZ012/&\xc3\xa9\xe2\x80";
    for (int i = 0; i < 3000; ++i) {
        std::string page;
        int n = static_cast<int>(rng() % 300);
        for (int k = 0; k < n; ++k) page.push_back(alphabet[rng() % alphabet.size()]);
        std::optional<ConvertedDocument> r = convert_document(page, roles);
        if (r) {
            ASSERT_FALSE(r->document.blocks.empty());
            Checker c{page};
            c.blocks(r->document.blocks, true);
            if (HasFailure()) break;
        }
    }
}

}  // namespace
}  // namespace corpuswright
