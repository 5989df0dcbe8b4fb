// The canonical round trip: for Markdown the writer produced, reading it and
// writing the tree again gives the same text. The chunk stage stops a whole
// run on a mismatch, so this is checked on the writer's example cases and on
// a corpus of random wikitext pages that mix every construct the wikitext
// reader knows.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "../../../bench/markdown/hazard_pages.hpp"
#include "tavrel/chunk.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/render.hpp"
#include "tavrel/wikitext.hpp"
#include "tavrel/write_md.hpp"

using namespace tavrel;

namespace {

std::string first_difference(const std::string& a, const std::string& b) {
    std::istringstream sa(a), sb(b);
    std::string la, lb;
    for (int n = 1;; ++n) {
        bool ga = static_cast<bool>(std::getline(sa, la));
        bool gb = static_cast<bool>(std::getline(sb, lb));
        if (!ga && !gb) return "(same lines, different line ends)";
        if (!ga || !gb || la != lb)
            return "line " + std::to_string(n) + ": written [" + (ga ? la : "<end>") + "] reread [" +
                   (gb ? lb : "<end>") + "]";
    }
}

// Empty when the text reads back to itself, else a description.
std::string round_trip(const std::string& md) {
    ast::Document doc = block::parse_source(md, Options::dataset());
    std::string again = write_md::render_md(doc);
    if (again == md) return {};
    return first_difference(md, again);
}

std::string from_wikitext(std::string_view wikitext) {
    return write_md::render_md(wikitext::document::parse(wikitext));
}

}  // namespace

TEST(RoundTrip, WritersExampleCases) {
    std::string path = std::string(CW_TEST_CPP_DIR) + "/writer/cases/wikitext_to_markdown.txt";
    std::ifstream in(path);
    ASSERT_TRUE(in) << path;
    std::string line, wikitext, name;
    bool in_wiki = false;
    int checked = 0;
    while (std::getline(in, line)) {
        if (line.starts_with("%%% markdown")) {
            in_wiki = false;
            std::string md = from_wikitext(wikitext);
            std::string diff = round_trip(md);
            EXPECT_TRUE(diff.empty()) << name << "\n" << md << "\n" << diff;
            ++checked;
        } else if (line.starts_with("%%% end")) {
            in_wiki = false;
        } else if (line.starts_with("%%% ")) {
            name = line.substr(4);
            wikitext.clear();
            in_wiki = true;
        } else if (in_wiki) {
            wikitext += line + "\n";
        }
    }
    EXPECT_GE(checked, 10);
}

TEST(RoundTrip, MarkdownEdgeCases) {
    const std::vector<std::string> cases = {
        "1. a\n2. b\n\n",
        "1. a\n\n",
        "1. a\n   \n   - b\n\n",
        "- a\n- b\n{: .l}\n\n",
        "> a\n>\n> b\n{: .q}\n\n",
        ":::\nx\n\n:::\n\n",
        "::: {.c}\n- a\n\n:::\n\n",
        "## Don't {.x}\n\n",
        "| a | b |\n|:--- |---: |\n| c | d |\n: cap\n{: #t}\n\n",
        "term\n: def\n\n",
        "[^n]: x\n    \n    y\n\n",
        "```{.py #m}\ncode\n```\n\n",
        "```\n\n```\n\n",
        "\\[\nx^2\n\\]\n{: #m}\n\n",
        "<table>\n<tr><td>x</td></tr>\n</table>\n<section class=\"footnotes\" role=\"doc-endnotes\">\n<ol>\n</ol>\n</section>\n\n",
        "- [x] done\n- [ ] open\n\n",
        "9. a\n10. b\n\n",
        "-\n\n",
        "---\n{: .hr}\n\n",
        // An item "1." alone whose break ends a span, link or image: the
        // closing bracket takes a line of its own, which keeps it a list.
        "1. [note\\\n   ]{.small}\n\n",
        "1. [a\\\n   ](u)\n\n",
        "1. *[x\\\n   ]{.a}*\n\n",
        "1. ![a\\\n   ](u)\n\n",
        "1. [\\\n   ]{.c}\n\n",
    };
    for (const auto& md : cases) {
        std::string diff = round_trip(md);
        EXPECT_TRUE(diff.empty()) << md << "\n" << diff;
    }
}

// Hand-written Markdown whose tree once changed between reading it and
// reading what the writer made of it.
TEST(RoundTrip, HandWrittenTreesReadBackTheSame) {
    std::vector<std::string> cases = {
        // Tabs and line feeds in code and raw spans are spaces.
        "`a\tb`",
        "x `a\nb` y",
        "``\t``{=html} and `\tc\t`{.k}",
        "| `x\ty` |\n|---|\n",
        // A byte that is no UTF-8 is kept as written beside an escape.
        "\xFF$",
        "\xFF\\&amp; *b*",
        // One-item lists not numbered from 1, text or list alike.
        "3.\n   a",
        "3.\n   a\n   b",
        "4. \\{",
        "4. \\-x",
        "4. \\- x",
        "9. >",
        "9. > q",
        "x\n\n9. >\n\n4. \\{: a}",
        "7.\n   ---",
        "1.\n   [r]: /u\n\n[r]",
        "99. [r]: /u\n    \"t\"\n\n[r]",
        "3. a `b\n   c`",
        "1.\n   * * *",
        "3.\n   - a",
        "9. -\n   [^b]: x",
        "1. [1]: /u\n\n   *",
        "9.\n   - a\n   [^b]: x",
        // Paragraphs of white space beside a block in an item, whose lines
        // alone keep its list a list: in a quote, a div, a list or a quote
        // in the item; or alone in quotes opening it.
        ">1. &#x20;\n>\n>    ---",
        ":::\n7. -\n\n   &#10;\n:::",
        "7. - &#32;\n\n     ---",
        "7. a\n\n   > &#32;\n\n8. b",
        "7. > > &#10;",
        // Or of emphasis holding white space alone, which writes nothing
        // either.
        "3. ,\n\n   **&#10;**",
        "7. a\n\n   _**&#32;** ~~&#9;~~_",
        // A paragraph reading as one item "1." alone before a list that
        // would number on from it.
        "1\\. x\n\n1. y\n2. z",
        "1. `\n`\n\n1. }\n   [",
        "1\\. 1. a\n\n```\nc\n```\n\n2. y\n   z",
        // Or before a list kept a list by the definition list or div opening
        // its item or a list in it, in an item, in a quote.
        "1\\.\n\n2. ]\n   :",
        "1\\. x\n\n2. a\n   : b",
        "1\\. x\n\n2. ::: {.c}\n   a\n   :::",
        "1. *\t*\n\n2. :::\n   a\n   :::",
        "1\\. x\n\n2. * :::\n     a\n     :::",
        // A list that only the div opening its item keeps a list, inside a
        // div, where a div without attributes is written as its content
        // (from 1 with nothing after it, from another number, in a bullet
        // item, in a quote, a div of nothing); lists numbered on past one
        // such at the top.
        ":::\n1. :::\n   [\n   :::\n:::",
        ":::\n6. :::\n   ]\n   :::\n:::",
        ":::\n8. :::\n   <\n   :::\n:::",
        ":::\n* 1. :::\n     [\n     :::\n:::",
        "> :::\n> 1. :::\n>    [\n>    :::\n> :::",
        ":::\n3. :::\n   :::\n:::",
        "1.\n1. #\n\n10. :::\n    :::\n1.",
        "}\n1. 1.\n\n   2. ]\n      :",
        ">[a]:}\n1.\n>\n>2. ;\n>    :",
        // Or before a list "1." kept a list by the list in its item, written
        // on more lines than one or with an item that keeps it, or by a task
        // box.
        "1\\.\n\n1. - a\n   - b",
        "1\\.\n\n1. - a\n     b",
        "1\\.\n\n1. - > a",
        "1\\.\n\n1. [ ] a",
        // After raw HTML left open in an item, a list numbered neither as
        // the last item nor the next.
        "4. <x->\n\n2. > q",
        "1. :::\n   4.\t[x] <x->\n   1. m\n      b\n   :::",
        // A paragraph whose later number would be escaped after another;
        // one before a list holding a math block.
        "[^b]:2. 0. <p>\n\n[^b]",
        "1\\.\n\n1. $$\n   x\n   $$",
        // Scripts holding an escaped line end, in paragraphs of any
        // container.
        "^\\\nx^",
        "- a ^b\\\n*^ c",
        "> ~\\\n`a~",
        // Numbered from 0, a second item that writes nothing.
        "0.\n1. [^n]:",
        "0.\n1. [2]:/",
        "0.\n1. >",
        // Numbered from 0, kept a list only by an item "1." showing
        // something after one "0.", past items that show nothing.
        "0.\n0.\n1. a",
        "0. x\n0.\n1. a\n2. b",
        "0.\n0.\n0.\n1. - a",
        // Below a marker alone, text the writer would space otherwise.
        "9.\n   \u3000<div>x</div>",
        // A list after one whose raw HTML opens a markdown container in
        // its last item, closed there or not.
        "+ <x->\n  <div markdown=\"1\">\n\n  </div>\n+",
        "- <i->\n  <p>a <section markdown=\"1\">\n\n  </section>\n- b\n\n* c",
        // An empty line inside such a container closed in the item: the
        // list goes on past it.
        "9. <x->\n   <div markdown=\"1\">\n\n   </div>\n10. <div",
        "3. <x->\n   <div markdown=\"1\">\n\n   </div>\n4. &\n   |",
        // Raw HTML after a U+3000 opening an item, under markers or not.
        "0. \u3000<div>",
        "3. * \u3000<div",
        "0. [r]: /u\n   \u3000<div>x</div>\n\n[r]",
        // Emphasis holding raw HTML of its own element that nothing in it
        // closes or opens, where its "*" would merge with a neighbour's.
        "___<em>_}__",
        "_*<em>a*</em>_",
        "***<em>*`</em>**",
        // ... filling a strong or last in it, before the strong's closer.
        "**_<em>_** **)*<em>***",
        // ... holding an escaped "_", which is in no run.
        "***_<em>*%** **_\\_<em>_**",
        // ... or inside no node in its delimiter form.
        "**_**_<em>__%_",
        // Paragraphs beginning with numbers that would number each other on.
        "1\\. x\n\n2\\. y",
        "1\\. x\n\n1\\. y\n\n1\\. z",
        "1\\. a\n\nb\n\n2\\. c",
        // Fenced blocks with no text at all, beside one of a line end.
        "```\n```",
        "~~~{.a}\n~~~\n\n```\n\n```",
        "```{=h}\n```",
        "- > ```\n  > ```",
        // Code spans in cells holding a "|", escaped in the row.
        "| `\\|` |\n|---|\n| a `x\\|y` `` ` \\| `` [`\\|`]{.c} *`\\|`* |",
        "| `\\|`{=html} `` a\\|` ``{=tex} |\n|---|",
        // Keys holding a "{" after inlines.
        "`c`{{=\"\" s=\"\"} [x](u){{=} [y]{a{b=1} *e*{{=}",
        // Links and images whose "ref" pair stands before others.
        "[r1] ![r2]\n\n[r1]: / {ref= w=}\n[r2]: /i {#i a=b ref=c d=e}",
        // Other bars in cells: addresses, formulas, scripts, targets and
        // titles, raw HTML, each escaped in the row.
        "| http://\\| | <a:\\|b> |\n|---|---|",
        "| \\(a\\|b\\) | ^\\|^ ~a\\|b~ |\n|---|---|\n| [x](/a\\|b \"t\\|\") ![y](\\|) | <a title=\"\\|\"> |",
        "| [x](\\\\\\|) | \\(\\\\\\|\\) |\n|---|---|",
        "| []{d=\\|} *e*{.a\\|b} `c`{k=\"\\|\"} | [y](u){#\\| t=\"a\\|b\"} |\n|---|---|",
        // White space before the tag of raw HTML opening the document, a
        // quote or a footnote, and one column of it after other blocks.
        " <!-- c -->",
        "  <div>x</div>",
        "\f<p>x</p>",
        " \u3000<div>x</div>",
        "# h\n\n <div>x</div>\n\n- a\n\n <!-- c -->\n\n[^n]\n\n[^n]: x\n\n <div>",
        ">\t<table>x</table>",
        "- >  <div>x</div>",
        "> > - a\n>\n>  <div>x</div>",
        "[^e]: x\n\n     <div>x</div>\n\n[^e]",
        "[^n]:\n     <section>x</section>\n\n[^n] [^m]\n\n[^m]:\n    \n       <!-- c -->",
        // And after other blocks, as far as no list item before takes it;
        // below an item's marker where it opens the item.
        "x\n\n   <table>\n</table>",
        "- a\n\n <div>x</div>\n\n1. b\n\n  <div>y</div>\n\n10. c\n\n   <div>z</div>",
        "a\n\n7\\. x\n\n   <div>x</div>\n\nb",
        "> 1\\. n\n>\n>   <div>x</div>\n\nb",
        "::: d\n  <div>x</div>\n\n:::",
        "> :::\n>  <p>x</p>\n> :::",
        "<section markdown=\"1\">\n  <x->",
        "+\n   <div>",
        "-\r   <pre>",
        "- \f<x->",
        "```\n```\n[^n]:\n  <x->",
        "l\n\n  <div>",
        "*  e\n  <!-- c -->\n\nx",
        "1.  a\n   <p>x</p>",
        "*\n\n  <div>x</div>",
        "[^e]: 1\\. l\n\n       <div>\n\n[^e]",
        // After a list whose last marker is padded for it: an item opening
        // with raw HTML or with a task box below a number, and before raw
        // HTML held back for after the footnotes; none right after a
        // container's tag.
        ">01. <div\n>    <div",
        "1. a\n2.\n   - [x] b\n\n[r]: /u\n\n   <div>x</div>",
        "-  -\n\n  <x->",
        "1. a\n2. b\n\n<div markdown=\"1\">\n   <p>x</p>\n</div>",
        // A line of white space ending raw HTML in a quote is the HTML's.
        "><x->\n>  \n\nx",
        ">-\n>   ><x->\n>   >\t",
        // A tab after a form feed indents nothing.
        "\f\t<!-- c -->",
        "- \f\t<x->",
        "x\n\n\f\t<x->",
        // A footnote's label that no reference can name, which its
        // definition's line reads back.
        "[^[]: x",
        "y[^n]\n\n[^]a]:\n\n[^n]: z",
        // A paragraph "1." before a one-item list its attribute line
        // keeps a list.
        "1\\.\n\n2. x\n{:x=''}",
        // Or the attribute line of its item's paragraph.
        "1\\.\n\n2. x\n   {:x=''}",
        // Or a list after it that a later list numbers on from, or that
        // opens with raw HTML, or one from 2 after lists ending at 2.
        "1\\. z\n\n1.\n\n1.",
        "1\\. z\n\n> q\n\n1.\n\n```\nc\n```\n\n2. b",
        "1\\. z\n\n1. <div>",
        "# h\n\n1. a\n2. b\n\n> q\n\n1\\. z\n\n2. c",
        // Or one from another number that lists before it number on.
        "1. a\n2. b\n\n1\\. z\n\n> q\n\n3. c",
        // An ordered list kept a list by an item's raw HTML, which the
        // reader read numbered "1.", "1.", before a list that numbers on
        // from that last number.
        "1. <div>\n\n1. a\n2. b\n\n2. b",
        // Or from its own first number, one item long.
        "1. ```\n   ```\n1.\n\n1.",
        // Or one leaving raw HTML open, past other blocks.
        "1. <div>\n1. <div>\n\nx\n\n1. a",
        // Or past a deeper heading.
        "## h\n\n1. <div>\n\n1. a\n2. b\n\n### h\n\n2. b",
        // Past lists from other numbers and deeper headings.
        "1\\. z\n\n0. r\n\n   <p>x</p>\n\n1.\n\n2.",
        "## h\n\n1\\. z\n\nx\n\n### h\n\n1. <div>",
        // A list "1." after an ordered list leaving raw HTML open, which a
        // later list numbers on from.
        "2. <div>\n\n1.\n\n1.",
        "2. <div>\n1. a\n\n1.",
        // A list numbered on from one whose last item ends in a container's
        // tag, which the reader closed with the item, apart after an empty
        // line, a link or footnote definition; in an item, a div, a quote,
        // under a bullet, with an attribute line, before the closing tag.
        "1. <div markdown=\"1\">\n\n2.",
        "1. a\n2. <div markdown=\"1\">\n\n[r]: /u\n\n3. x\n4. y",
        "1. <div markdown=\"1\">\n\n[^a]:\n2.",
        "+ 10. <div markdown=\"1\">\n\n  11.\n  12. #",
        "::: {.c}\n1. <div markdown=\"1\">\n\n2.\n:::",
        "1. - <div markdown=\"1\">\n\n[r]: /u\n\n2. x",
        "1. <section markdown=\"1\">\n\n[a]: /u\n1. b\n{: a=1}",
        "> 1. <DIV markdown=\"1\">\n>\n> 2.\n> </div>",
        // A list kept a list as it stands right after one leaving raw HTML
        // open, which the reader read apart by the first one's numbers.
        "1.\n1. <div>\n\n3. ```\n   c\n   ```",
        "0.\n0. <div>\n\n2. ```\n   c\n   ```",
        // Or that the reader read apart as it stands, before a list that
        // numbers on from the first one's items as the reader read them.
        "1.\n1. <div>\n\n4. $$\n   m\n   $$\n\n1.",
        "1.\n1. <div>\n\n0. > 1. a\n\n1.",
        // Lists after a list from 1, kept by an item, that number on from
        // its last number as the reader read it, past lists that leave the
        // numbering as it was or not.
        "1. ```\n   ```\n1.\n\n4. > a\n\n1.",
        "1.\n1. > a\n\n3. > 1. a\n\n1.",
        // Or kept by an item on more lines than one; or numbered on from a
        // number the items before the last reach one by one.
        "1.\n1. a\n   ind\n\n1.",
        "1.\n1.\n1. ```\n   ```\n2.\n3.\n\n4.",
        // And each of a chain of such lists, each numbered on from the one
        // before.
        "1.\n1.\n1. # a\n2.\n\n3.\n3. ```\n   ```\n\n3.",
        // Or kept by its attribute line, whatever its items are numbered,
        // before a list that numbers on from its last number as the reader
        // read it.
        "1.\n1.\n{:a=}\r1.",
        "1. a\n1. b\n{: #i}\n\n1. c",
        "1.\n2.\n2.\n{:a=}\n\n2.",
        "1.\n1. <div>\n{:a=}\n\n1.",
        "1.\n1.\n{:a=}\n\n1.\n\n# h\n\n1. x\n1.\n{: .c}\n\n2.",
        // Or a list not from 1 that the reader numbers on from one from 1
        // before it, numbered as the reader read it, "2.", "2.", before a
        // list that numbers on from that last number.
        "1.\n\n2.\n2. a\n   b\n\n2.",
        "1.\n\n2. $\n   $\n2.\n\n2.",
        "1.\n\n2. > a\n2.\n\n4. # b\n\n2.",
        "1.\n\n2.\n2. # a\n2.\n\n3. ```\n   ```\n\n3.",
        // A list from 0 leaving raw HTML open, which the reader numbers on
        // from nothing, before a list it numbers on from the list before it.
        "1.\n\n0. a\n\n   b\n0. <div>\n2.",
        // Lists after a list from 1 numbered as the reader read it, past a
        // list from 0 that only its numbers keep a list, which leaves the
        // numbering as it was.
        "1.\n1. ```\n   ```\n\n3. > a\n\n1. a\n\n0.\n1. a",
        "1.\n1. <div>\n\n0.\n1. a\n\n1.",
        // Images with attributes ending a heading without its own, whose
        // description is more than text; the attribute block the line would
        // take or not.
        "# ![*e* `c` b](u){#n} #",
        "# x ![a $y$ <b>z</b>](u \"t\"){.c k=v} #",
        "- # '![*a*](>''){x='' .c}",
        // So in a term and a caption, their quotes leaving the block to
        // the image or not.
        "x ![*a* `c` \\(b\\)](u){#k} {class=\"\"}\n: d",
        "'![a `>`](){#k a=''}\n: d",
        "| a |\n|---|\n: ![*a* $b$](u){.c} {class=\"\"}",
        "| a |\n|---|\n: '![*a* $b$](u){.c x=''}",
        "![\" a](u){.c} {class=''}\n: d",
        // Inlines whose content holds a tag of their own element.
        "# [</a>](){s=} #",
        "'[</A>](u){x=''}\n: d",
        "| a |\n|---|\n: *<em>x*{.c} {class=\"\"}",
        "# <a>[](){.c} #",
        "x</em> *y*{.c} {class=''}\n: d",
        "| a |\n|---|\n: ![\" a](u){.c} {class=''}",
        // Inlines ending a heading without attributes of its own whose
        // element form would lose something: a pair no tag can hold, a "title"
        // pair after a link's title, a target the tag would escape.
        "# x [a](u \"t\"){title=b .c} #",
        "# x [a](u\\>v){.c} #",
        "# [r]\n\n[r]: /u \"t\" {title=b}",
        // A definition's pair whose key holds a quote, which no block after
        // the link or image could hold.
        "![r]\n+ [r]:a {\"=\"}",
        "[r]\n\n[r]: /u \"t\" {: .c a\"b\"=1}",
        "# x [y]{a\x01" "b=1} #",
        "# x *y*{k\xFF=1} #",
        "# x [@k]{r\x7F=1} #",
        // The same ending a term or a caption, where a block that gives
        // nothing follows; and a term whose quote keeps its end from being
        // read as a block.
        "a [y]{k\x01=1} {class=\"\"}\n: d",
        "| a |\n|---|\n: c [y]{k\x01=1} {class=\"\"}",
        "| a |\n|---|\n: c [y](u\\>v){.c} {class=\"\"}\n{: #t}",
        "\"[](>()){t=\"\"}\n: d",
        // Keys holding a backslash, in every kind of block.
        "`c`{\\=1} ![a](u){a\\b=1} *x*{\\=1}",
        "[[][]{\\}=};]() `c`{a\\\"b=1} *x*{\\}=1} [a](u){\\'=1}",
        "p\n{: \\}=1}",
        "# h {a\\}b=1}",
        // Keys opening with ":", first in the block.
        "[[]{ :=}]()` `+`{ :=} *a*{ :a=1} ~~a~~{ :=}",
        "p\n{: :=}",
        "# h { :=}",
        "p\n{: \\=1}",
        "# h {a\\b=1}",
        "::: {\\=1}\nx\n:::",
        // Scripts holding escapes, with a pair no tag can hold.
        "~\\y~{#k \x7F=1}",
        "^a\\ b^{\xFF=1}",
        "x~a\\~b~{\x01=1}~z~",
        "| ~\\y~{\xFE=1} |\n|---|",
        // E-mail addresses, which read back from angle brackets, also in a
        // span with a pair no tag can hold.
        "x <a.b+c@x-y.org> y a@b.o",
        "[a@b.o\\-]{\x7F=1}{.c}",
        // Empty targets before a title.
        "x ![a](<> \"\") [b](<> \"t\"){.c}",
        // Cross-reference lists, with pairs no tag can hold, a "ref" value
        // for their links, a prefix, in a cell and an image, and before
        // text that would make the list a link or a definition.
        "[@k]{r\x01" "ef=r}",
        "x [-@k; @j]{ref=v .c k\xFF=1} y",
        "[@k; -@j]{ref=bare}",
        "[see @k]{#i}",
        "| [a @k]{\x7F=''} b |\n|---|",
        "![x [@a]{\x7F=1}](u)",
        "[@k]{data-refs=\"\"}(u)",
        "[@k]{data-refs=\"\"}: x",
        // A superscript with a pair no tag can hold right after a "[" of
        // text.
        "[^y^{.n -='' #b}",
        "x [^y^{-=1}] z",
        // ... and after a link's "[", where the label "[^" would open names
        // no footnote.
        "[^y^{.n -='' #b}]()",
        "[^y^{-=1}](u) [^y^{-=1} z](u) [^n]\n\n[^n]: x",
        "[^y^{-=1}](u) [^y]\n\n[^y]: x",
        // Superscripts and subscripts holding "@" with no "." after it
        // after a word, where the reader finds no address, and after a "[".
        "a~@~{\xC3=} )^@^{-=} _~@~{a=\"\" \xC3=} x~a@b~{-=}",
        "[~@~{-=} [^@^{<= -=} [^@a^{-=}]()",
        // ... holding "@" and a "." after it where no address follows.
        "[^@.^{\xC3=} a^@.^{-=} x~a(@b.c~{-=}",
        // A superscript opening a link's text in a cell.
        "[^.^{-=}]()|\n|-",
        "[^}^{-=}]()|\n-|",
        // Subscripts holding "~~", which the reader's end search passes.
        "~:~~a~{-=} ~)~~}~{\xC3=} ~a\\~~b~{-=}",
        // A span holding a "www." address, with a pair no tag can hold.
        "[www.r ]{<= #n}",
        "[x www.a-b/c y]{\x01=1} [www.r\nz]{\x7F=1}",
        // ... whose address holds characters the reader keeps in it.
        "[www.] ]{<= #n}",
        "[a www.x_y]z b]{<=1} [www.a`b c]{-=1} [[www.*] ]{-=1} z]{-=2}",
        "[[[www.] ]{-=1}]{-=1}]{-=1} [[www.] ]{.c} z]{-=1}",
        // ... before what ends the address: a ")" or "." the reader trims,
        // a "<".
        "[www.a) ]{<= a=}",
        "[www.a<]{-= a=}",
        "[x www.a), y]{-=1} [www.a<<b]{\x7F=1} [www.a)\nz]{-=1}",
        "[[www.a)]{.c}<]{-=1} [www.b?)<]{-=2} [www.a)<b>]{-=1}",
        // ... before punctuation the reader trims from it, escaped where
        // nothing after it would end the address.
        "[www.a* ]{<= a=}",
        "[www.a~ ]{-=1} [www.a*<]{\x7F=1} [www.a*.~\nz]{-=1} [www.]*<]{-=1}",
        "[www.a*b ]{-=1} <span a>[www.a~</span>]{-=1}",
        "[www.a\xE3\x80\x80__&#42;__ ]{-=1} [www.a *<* ]{-=1}",
        // ... before a form feed, which ends the address as white space does.
        "[www.a*\f]{-=1 a=}",
        // ... after a character the reader finds an address after.
        "[[www.a ]]{<=1} [*www.a z]{-=1} [x\xE3\x80\x80www.a z]{-=1}",
        "[(www.a) \"www.b\" ~www.c~]{-=1}",
        // ... opening an emphasis, a strong or a strikeout.
        "[*www.a*<]{<=1} [**www.a**\xE3\x80\x80]{<=1} [~~www.a }~~]{-=1}",
        // ... after a line end, a script or an emphasis.
        "[\nwww.a ]{-= a=} _[\nwww.a ]{\xA9=}",
        "[a\nwww.a ]{-=1} [~a~www.a ]{a=\"}\" <=} <em>[~-~www.a ]{<=}</em>",
        "[*a*www.a ]{-=1} [**a**\nwww.b ]{-=1}",
        // ... after a character reference.
        "[&ap;www._\t]{a= -=} [&amp;www.a ]{-=1} [&#120;www.a ]{-=1} [x www.a&#233;www.b ]{-=1}",
        "[&lt;www.a<]{#a -=} [a\\*www.a ]{-=1} [&#92;www.a ]{-=1}",
        // ... in a cell.
        "| [www.a) ]{-=1} | [www.a<]{<=1} |\n|---|---|",
        "| [www.a\\|b ]{-=1} |\n|---|",
        // A span holding a "www." address and a raw tag that pairs with one
        // outside it, which its element form would cross.
        "<em>[www.a</em>]{#a}",
        // ... or a character after the address that the reader takes into
        // it but for its named reference, which it trims.
        "[www.a&copy;<]{-= #a}",
        "[www.a&eacute; x]{\xC3=}",
        "<a>[www.a</a>]{a=} <span>[www.a</span>]{.c} [www.b <i>]{#d} x</i>",
        "| <a>[www./</a>]{a=} |\n|---|",
        "# <a>[www.a</a>]{a=} b",
        // A span holding an address the reader finds by its scheme that no
        // angle brackets hold (it holds a ">"), with a key no tag can hold.
        "[http://> ]{<= a=}",
        "[https://a>b ]{-=1} [ftp://a> ]{\xC3=} [xmpp:a@b.c> ]{<=1} [XMPP:a@b.c>x ]{-=1}",
        // ... after text, a reference or a script, before a ")", a "*" or
        // a character the reader takes into the address, and in a cell.
        "[a http://a>) b]{<=1} [&amp;http://> ]{-=1} [~a~http://> ]{-=1}",
        "[http://a>* ]{-=1} [*https://a>*<]{<=1} [http://a>&copy;<]{-= #a}",
        "| [http://a> ]{-=1} |\n|---|",
        // ... or a raw tag that pairs with one outside it.
        "<a>[[http://><]{<=}</a>",
        "[http://> [[]<span>]]{\xA9=}",
        "<em>[http://a></em>]{#a} <span>[http://a></span>]{.c} [http://b> <i>]{#d} x</i>",
        // A span holding an address before punctuation that the reader
        // takes into the address but for its named reference, which it
        // trims.
        "[http://a>&lpar; ]{<=} [ftp://>&bsol; ]{\xC3=} [http://a>&num; ]{-=1}",
        "[a http://a>&amp; b]{<=1} [www.a&lowbar; x]{-=1} [https://x>y&lsqb;<]{-=1} [www.a&grave; x]{-=1}",
        "| [https://x>y&verbar; ]{-=1} |\n|---|",
        // ... and before a "*" that would close an emphasis around it but
        // for its reference.
        "[_* www.a*\xE3\x80\x80>_]{.a <=} [_x http://a>* y_]{-=1}",
        // A cross-reference list whose prefix the reader takes as written,
        // with a key no tag can hold.
        "[< @a]{\xC3=} [\\ @a]{-=} x [^\t@a]{#a <=}",
        // ... and a prefix of several lines.
        "[(\n_ @a]{<=}",
        "> x [a\n\\ b\nc @a]{\xC3=}",
        // Emphasis and strong whose "*" runs would merge with those beside
        // them, with a pair no tag can hold.
        "```\n```\n_.___;__{\x7F= .e}",
        "**a**_b_{\x01=1} *a*__b.__{\xFF=1}",
        // ... after an escaped character, "_" too, or around an escaped "_".
        "*>_<_{-=}* *___}_{a= -=}* _=*[*{a=\"\" \xC3=}_",
        "***_*{\xC3=}* ***_**{-=}* _**_a**{\xC3=}_ *.*_a_a_{\xC3=}",
        // ... around a "_" in a code span, a note's label, a link's
        // address or a key, which pairs with no run.
        "_*[]{_=}*{\xC3=}_ _**`_`**{-=}_",
        "_**[^a_b] x**{-=}_ _*[a](b_c)*{\xC3=}_\n\n[^a_b]: y",
        "_**<http://a_b>**{-=}_",
        // ... inside a link inside a node of its kind, whose runs the reader
        // pairs inside the brackets first.
        "~~[~~<~~{-=}]()~~ ==[==[]=={-=}]()==",
        // A block's attribute line, which the reader takes up to its last
        // "}", with a key holding one.
        "(\n{:#n }=\"\"}",
        "> a\n> {: .c x}y=1 }=''}",
        // ... with such a key alone, or one holding white space after a
        // backslash: each block written with that line keeps its form and
        // the key, a heading's and a code block's moving to the line.
        "{:}=}\n1.",
        "1. a\n2. b\n{:}=}",
        "3.\n   a\n{:}=}",
        "*\n{:}=}",
        "{:\\ a=}\n&",
        "{:}=}\na",
        "{:\\ a=}\n2. x",
        "{:}=}\n>]",
        ">---\n>{:\\ a=}",
        "{:}=}\n\\[\nx\n\\]",
        "{:\\ a=}\n$$\nx\n$$",
        "| a |\n|---|\n{:}=}",
        "a\n: b\n{:}=}",
        "{:}=}\n#",
        "{:{=}\n# a {y=1}",
        "> # a *b*{.c}\n> {:}=}",
        "{:}=}\n    }",
        "{::}=}\n    a",
        // Emphasis of each kind holding a line end alone, or white space
        // alone with a pair no tag can hold, with attributes: in a link,
        // after a "*" of text, in a strong.
        "*&#10;*{#a}] **&#10;**{a=}/",
        "~~&#10;~~{#a}_ ==&#10;&#32;=={.a}a",
        "[*&#10;*{a=}](){",
        "[==&nbsp;=={-=} a\\*&emsp;*{-=1}",
        "**_&#10;_{.a}_**",
        "*x$a$**&#10;**{k=1}* *x\\***&#10;**{k=1}*",
        // Paragraphs of a space or a line end alone, with attributes, before
        // blocks, in a quote's item, in an item before raw HTML, in a div.
        "&#x20;\n{:a=}\n\n---",
        "&#10;\n{:.a}\n#",
        ">- &#10;\n>   {:.a}\n>-",
        "+ &#x20;\n  {:#a}\n<p",
        "::: {.b}\n&#x20;\n{:#a}\n:::",
        // Ids ending in white space, of blocks and inlines.
        "~~}~~{#\\  a=} []{#\\ .a a=''} ==}=={:#\\ }",
        "![](){id='\xC2\xA0'} ^a^{id='\xC2\xA0' a=} [a](b){id=' '}",
        "p\n{:#\\ .a}",
        "# a {#\\ .b}",
        "::: {#\\ .a}\nx\n:::",
        // Classes ending in white space, before others and last.
        "[]{.\\ .a} [x]{.a\\  #i} **x**{.\\  .b\\  a=}",
        "# a {.b\\  #i}\n\np\n{:.\\  #i}\n\n::: {.b\\  #i}\nx\n:::",
        "```{.a #i .b\\  class=\"\"}\nx\n```",
        // Strikeout and highlight with a key no tag can hold after a
        // character that is neither white space nor punctuation.
        "x&copy;~~<~~{-=} y&#0;==(=={-=}",
        // Emphasis of each kind holding white space alone, with attributes
        // a tag can hold, beside raw tags of emphasis-like elements, with
        // which its element's tags would stand and pair: at the start, after
        // a closing "*", last, in a strong.
        "*&nbsp;&ensp;*{a=}<em>@</em>",
        "**&emsp;**{a=}</em>",
        "<em>a*b*_&emsp;_{a=\"\"}",
        "~~&nbsp;~~{b=} <del>x</del>",
        "x ==&nbsp;=={#b}</mark>",
        "**x *&nbsp;*{.c}</strong>**",
        // An emphasis or strong with a key no tag can hold whose "*" opener
        // would meet the closer of an emphasis before it, and whose "_"
        // runs would not pair around its content.
        "*a*__**]**{-=}__{\xC3=}",
        "x *a*__**]**{-=}__{\xC3= b=}, c",
        // An address after a "<" of text and white space, in a span.
        "[&lt; www.g b]{.a}",
        "[a &lt; \t https://g.h b]{#i}",
        // Items numbered up to the largest number a marker holds.
        "999999999.\n999999999. #",
        "1. a\n\n999999999. >\n999999999. >",
    };
    // Item markers past the depth the reader nests to, which are the
    // innermost item's text.
    for (std::size_t n : {Options::dataset().max_block_depth / 2 + 1, Options::dataset().max_block_depth + 1}) {
        std::string markers;
        for (std::size_t i = 0; i < n; ++i) markers += "1. ";
        cases.push_back(markers + "\\- x");
        cases.push_back(markers + "<div>");
    }
    // A container's tag as deep as the reader nests is raw HTML there.
    std::string items, quotes;
    for (std::size_t i = 0; i < Options::dataset().max_block_depth / 2; ++i) items += "1. ";
    for (std::size_t i = 0; i < Options::dataset().max_block_depth; ++i) quotes += "> ";
    cases.push_back(items + "<div markdown=\"1\">");
    cases.push_back(quotes + "<div markdown=\"1\">\n" + quotes + "x");
    for (const auto& md : cases) {
        ast::Document first = block::parse_source(md, Options::dataset());
        std::string written = write_md::render_md(first);
        ast::Document again = block::parse_source(written, Options::dataset());
        EXPECT_EQ(ast::debug_string(again), ast::debug_string(first)) << md << "\n--- written\n" << written;
        EXPECT_EQ(write_md::render_md(again), written) << md;
    }
    // Images, of whose descriptions only the plain text is kept: an
    // emphasis inside taking its element form beside a raw tag of its name,
    // as the element or inside an emphasis it fills.
    const std::vector<std::string> images = {
        "![**_$<em>_**]()",
        "![_*a<em>*_]()",
        "![x **_$<em>_** y](u \"t\"){.c}",
        // ... beside a closing tag, which is raw HTML in the plain text.
        "![**_</em>-_**]()",
        // Any element form in a description, beside raw tags around the
        // image, which would pair with its tags.
        "<span>[www.a</span>]{.a}![___[]___]()",
        "*<em>**</em>**![^+^]()*",
        "__<a>*</a>*![*[]*]()__",
        "_![_[]_]()*}</em>*_",
        "**<sup>a*a</sup>***![^<^[]]()",
        // ... and the tags of an emphasis that is all of an emphasis.
        "*<em>**</em>**![_*a*_]()*",
        "**<sup>a*a</sup>***![_*<*_]()",
        // ... and beside a closing tag, a raw tag in another node's text,
        // a note, a nested image, a raw inline or a break, whose tags and
        // breaks would not read back around them in the plain text alone.
        "_![[a*a]<em>*</em>]()_",
        "![_<sup>*</sup>*_]()",
        "![*<em>**<em>[]**</em>*]()",
        "![^!^^[[]]]()==**_<em>_**==",
        "**<sup>a*a</sup>***![***![]()***]()",
        "![**_`!`{=a} <em>_**]()",
        "![**_</em>\na_**]()",
        "![[[<a>]]***_</em>[]_*]()",
        // ... and beside a raw inline of HTML, which the plain text leaves
        // out.
        "![`[`{=html}**[a*a]<em>***]()",
        "![***`@`{=html}***]()_<a>*</a>*_",
        "![*[]**`=`{=html}***]()**<sup>_</sup>_**",
        // ... and beside a break with white space before it, which the
        // reader keeps before a hard break's backslash, or with a node
        // between them (code ending in it, a cross-reference), where the
        // white space is the text's own.
        "__<span a>a*a</span>*__![ [*\\\n**;***]()]()",
        "__<sup>a*a</sup>*__![ [*\\\n**;***]()]()",
        "*<em>**</em>**![a[**;***&#32;\\\nb]()]()*",
        "*<em>**</em>**![[**;*** \\\n]()]()*",
        "*<em>**</em>**![[**;*** [@a]\\\nb]()]()*",
        "*<em>**</em>**![[**;*** `c `\nb]()]()*",
    };
    // The images of a document, in order, not those inside a description.
    const auto images_of = [](const ast::Document& doc) {
        std::vector<const ast::Image*> found;
        const auto walk = [&](const auto& self, const ast::Inlines& run) -> void {
            for (const auto& x : run) {
                if (const auto* im = x.as<ast::Image>()) {
                    found.push_back(im);
                    continue;
                }
                visit(
                    [&](const auto& n) {
                        if constexpr (requires { n.content; }) {
                            if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, ast::Inlines>)
                                self(self, n.content);
                        }
                    },
                    x);
            }
        };
        for (const auto& b : doc.blocks) {
            if (const auto* p = b.as<ast::Paragraph>()) walk(walk, p->content);
        }
        return found;
    };
    // ... and beside a line end in a text, which is a break read back, as
    // a space in the plain text: white space beside it that the reader
    // dropped is left out, and where white space beside it is a node's
    // own, the line end is the space.
    const std::vector<std::pair<std::string, std::string>> images_read_as = {
        {"__<a>*</a>*____![*$ [@a]&#10;*]()__", "$  "},
        {"__<a>*</a>*____![*$ [@a]&#10;&#32;b*]()__", "$  b"},
        {"*<em>**</em>**![[**;*** [@a]&#10;]()]()*", "[;*  ]()"},
    };
    std::vector<std::pair<std::string, std::string>> all_images = images_read_as;
    for (const auto& md : images) all_images.emplace_back(md, "");
    for (const auto& [md, read_as] : all_images) {
        ast::Document first = block::parse_source(md, Options::dataset());
        std::string written = write_md::render_md(first);
        ast::Document again = block::parse_source(written, Options::dataset());
        const auto was = images_of(first);
        const auto is = images_of(again);
        ASSERT_EQ(is.size(), 1u) << md << "\n--- written\n" << written;
        ASSERT_EQ(was.size(), 1u) << md;
        EXPECT_EQ(render::plain(is[0]->alt), read_as.empty() ? render::plain(was[0]->alt) : read_as)
            << md << "\n--- written\n" << written;
        EXPECT_EQ(is[0]->url, was[0]->url) << md;
        EXPECT_EQ(is[0]->title, was[0]->title) << md;
        EXPECT_EQ(is[0]->attr, was[0]->attr) << md;
        EXPECT_EQ(write_md::render_md(again), written) << md;
    }
}

namespace {

int random_failures(bool full, int pages) {
    int failures = 0;
    for (int seed = 1; seed <= pages; ++seed) {
        synthetic::HazardPages gen(static_cast<std::uint32_t>(seed), full);
        std::string wikitext = gen.page();
        std::string md = from_wikitext(wikitext);
        std::string diff = round_trip(md);
        if (!diff.empty() && ++failures <= 10) {
            ADD_FAILURE() << "seed " << seed << "\n--- wikitext\n" << wikitext << "\n--- markdown\n" << md << "\n" << diff;
        }
    }
    return failures;
}

}  // namespace

TEST(RoundTrip, RandomWikitextPagesOfEveryBlockKind) {
    const int pages = 3000;
    EXPECT_EQ(random_failures(false, pages), 0) << "of " << pages << " pages";
}

// Every inline hazard as well.
TEST(RoundTrip, RandomWikitextPagesWithEveryInlineHazard) {
    const int pages = 3000;
    EXPECT_EQ(random_failures(true, pages), 0) << "of " << pages << " pages";
}

TEST(RoundTrip, WikitextShapes) {
    const std::vector<std::string> pages = {
        // A table the writer falls back to HTML for, with a footnote inside.
        "{| class=\"wikitable\"\n! a !! b\n|-\n| colspan=\"2\" | wide<ref>note</ref>\n|}\n",
        "{|\n|-\n| x || y\n|}\n\n{|\n|-\n| rowspan=2 | z\n|}\n",
        // Lists holding code, quotes and further lists.
        "* a\n*: quoted\n* b\n** c\n**# d\n*** e\n# one\n# two\n#: more\n",
        "# only\n#* nested\n",
        "# 1\n# 2\n\ntext\n\n# 3\n",
        ";term one\n:def one\n;term two\n:def two\n:def three\n",
        "<blockquote>\n* in quote\n* again\n</blockquote>\n",
        " pre line\n  indented\n\tTab\n",
        "<pre>\n  spaced\n\ttabbed\n</pre>\n",
        "== Head ==\ntext<ref name=\"a\">A</ref> and<ref name=\"a\" />\n\n== Notes ==\n<references />\n",
        "<div class=\"x\">\n<div class=\"y\">\ninner\n</div>\n</div>\n",
        "<math display=\"block\">\na\n\nb\n</math>\n",
        "1. not a list\n2. still text\n",
        "text\n----\n----\nmore\n",
        // Ordered items ending in a break: inside a span, a link, either in
        // emphasis, nested; at the paragraph's end, where it is not written
        // and neither keeps the list a list nor numbers it otherwise.
        "# <small>note<br></small>\n",
        "# [http://example.org Example site<br>]\n",
        "# <span class=\"a\">x<br></span>\n",
        "# ''<small>x<br></small>''\n",
        "# ''[http://example.org x<br>]''\n",
        "# a\n## [http://x h<br>]\n",
        "* a\n*# [http://x h<br>]\n",
        "# :<br>\n# b\n\n# c\n",
        "# 1. x\n## y<br>\n",
        // Terms without definitions, written as a paragraph numbered on;
        // an empty one, written as nothing, beside an item's paragraph.
        "# a<br>b\n# c\n;2. b\n# y\n",
        "# a\n# b<br>c\n\n# -\n#;\n",
        // A term of white space around a break, written as references.
        ";&#9;<br>&#9;\n: x\n",
        // A span of a space after item numbers is no task box.
        "#\n## <span class=\"a\"> </span> x\n",
    };
    for (const auto& page : pages) {
        std::string md = from_wikitext(page);
        std::string diff = round_trip(md);
        EXPECT_TRUE(diff.empty()) << page << "\n--- markdown\n" << md << "\n" << diff;
    }
}

// Inputs found by fuzzing: what the writer makes of each must read back to
// itself.
TEST(RoundTrip, ReferenceNamesWithSpacesAreWrittenUnderReadableLabels) {
    std::string md = from_wikitext(
        "a<ref name=\"Smith 2003\">X</ref> b<ref name=\"Smith 2003\"/> c<ref name=\"Smith_2003\">Y</ref> "
        "d<ref name=\"[x]\">Z</ref> e<ref name=\"Jones\"/>");
    EXPECT_EQ(md,
              "a[^Smith_2003_2] b[^Smith_2003_2] c[^Smith_2003] d[^_x_] e[\\^Jones\\]\n\n"
              "[^Smith_2003_2]: X\n\n[^Smith_2003]: Y\n\n[^_x_]: Z\n\n");
    EXPECT_EQ(round_trip(md), "");
}

TEST(RoundTrip, SpanAroundAnAddressWrittenAsALink) {
    // An address that cannot stand in angle brackets (a control character)
    // is written as a link, which leaves the "[" of a span around it as
    // text: the span is written as its element.
    for (const char* page : {"<span s>[http://\x01]</span>", "<span class=\"c\">a [http://\x01" "b] c</span>"}) {
        std::string md = from_wikitext(page);
        EXPECT_EQ(round_trip(md), "") << md;
        EXPECT_EQ(md.find("]{"), std::string::npos) << md;
    }
}

TEST(RoundTrip, SpanAroundAnImageWhoseDescriptionHoldsALink) {
    // A link inside an image's description leaves the "[" of a span around
    // the image as text, as a link beside it does.
    std::string md = from_wikitext("<span c>[[File:|[[]]]]</span>");
    EXPECT_EQ(round_trip(md), "") << md;
    md = from_wikitext("<span class=\"c\">[[File:B.png|thumb|see [[link]]]]</span>");
    EXPECT_EQ(round_trip(md), "") << md;
}

TEST(RoundTrip, FuzzFindings) {
    const std::vector<std::string> wikitext = {
        // Attribute names the Markdown attribute block cannot carry.
        "<span \"></span>",
        "<span id=\"\">x</span>",
        "<span a\\b=\"1\">x</span>",
        "<span a}=\"1\">x</span>",
        "<span a'b=\"1\">x</span>",
        "<span :a=\"1\">x</span>",
        "<span #a=\"1\">x</span>",
        "== a <span \"=\"\">x</span> ==",
        "<div a}=\"1\" id=\"\">x</div>",
        "<span id=\"a\xC2\xA0" "b\">x</span>",
        "<span ;>[http:// ]</span>",
        "<span a.b=\"1\" 1x=\"2\">[http://e.org x]</span>",
        // Reference names the Markdown reader takes in no "[^label]".
        "<ref name=\"n\v==\">Named</ref>!",
        // Math ending in an odd run of backslashes.
        "a <math>x\\\\\\</math> b",
        "a<ref name=\"x <\n;y\"/>b",
        // A paragraph opening with an item number after an ordered list.
        "#\n01.",
        "# a\n\n007. b\n",
        "a<ref name=\"x \n\n y\"/>b",
        // A one-item list whose text and raw HTML read as a link
        // definition: the reread paragraph opens the same item.
        "#[<]:>",
        "x\n#[<]:>",
        // A one-item list holding math written in the "$$" or "\[" form,
        // which opens no block on the line it shares with the formula.
        "#<math>\\)</math>",
        "#<math>\\)$$</math>",
    };
    for (const auto& page : wikitext) {
        std::string md = from_wikitext(page);
        std::string diff = round_trip(md);
        EXPECT_TRUE(diff.empty()) << page << "\n--- markdown\n" << md << "\n" << diff;
    }
    const std::vector<std::string> markdown = {
        "[](){{=}",
        // Emphasis opened in the run of its parent's opener.
        "***c*k*",
        "***.** ***.*****",
        "x **c*k* y",
        // Raw HTML beginning a paragraph's later line.
        "n\n\t<div>",
        "- a\\\n      <table>\n",
        // A highlight whose opener could close the highlight around it.
        "==**A *b*==\\*==**==",
        "*=*==**===A\n** *=*==*==**==",
        "~~a *b*~~\\*~~ c~~",
        // A code span beginning with "@" right after a word.
        "&amp;``@b.x``",
        "&amp;``a@b.x``",
        "_:`@b.p`_",
        "| \\:``@b.g``",
        // An empty display formula in a list item.
        "2. $$",
        // A heading or term with an odd number of double quotes and a value.
        "# \"\"\"{k=}",
        "# a \"b {k='x\"y' .c}",
        "t \"x{k=v}\n: d\n",
        // Text and a code span that together read as a link definition.
        "\\[``]::``",
        // Footnotes opening with a container.
        "[^f]:\n    >\\",
        "a[^f]\n\n[^f]:\n    - x\n    - y\n",
        // A paragraph with attributes whose first line reads as an item.
        "{:.c}\n2. 2. ```\nt",
        // Divs: a bare one inside another, an item number after the fence.
        ":::\n::: : \\",
        ":::\n- a\n\n  :::\n  b\n",
        ":::\n1.\n   b",
        "::::d\n<div\n:::",
        "::::\n<div\n:::",
        "::: {.a}\n::: {.b}\nx\n:::\n:::\n",
        "::: {.x}\n1. b\n2. c\n:::\n",
        // Math whose text holds the closer of the usual delimiters.
        "$$\\)$$",
        "x $$a\\)b$$ y",
        "\\[a\\)$$\\]",
        // A definition list whose first term reads like an item number.
        "1. >\n]\n2.\n:",
        "3) a\n: b\n",
        // A bullet list after one whose last item leaves raw HTML open.
        "* <div>\n-",
        "1. <x->\n>\n2.",
        "1. a\n2. <div>\n>\n5. b\n6. c\n",
        "- a\n  - <!-- x\n\n+ b\n",
        // Parentheses in link titles.
        "[a]\n\n[a]:u \")\"",
        "[a]:u (()\n[a]",
        "[a](u \"x)(y\")",
        // Raw HTML left open at the end, before the footnote section.
        "[^f]:http://e\n<div>",
        "^[]\n<div>",
        "[^f]:\n[^f]\n<!-- x\n",
        // A bare address holding a control character, which "<...>" cannot.
        "\x08" "1# Headin*](http://example.comtp://e\x0E \\xample.com \"t\").\n",
        // A subscript in its element form, with attributes.
        "~T:k{~~=v}~{~~=v}~#",
        // Terms, definitions and captions of no-break spaces alone in
        // emphasis that takes its element form: the references between
        // its tags read back as the spaces, which are written so.
        "**_&nbsp;_**\n:",
        "x\n: ***&ensp;***",
        "| a |\n|-|\n: **_&nbsp;_**",
        // A caption ending in an inline with a key that neither its tag nor
        // its block can hold, which is lost in either form.
        "$|\n-|\n: \"\"**_**{a=\"\" <=}{a=}",
        // So with attributes of the term's own, written after that run.
        "***&nbsp;***{a=}\n:",
        // A superscript holding "@" after a "[", with a key no tag can
        // hold: its element form leaves the "[" as it is.
        "[^@^{-=}",
        "x[^a@b^{-=1}",
        // Fence infos that are not a language.
        "~~~#\n~~~\n",
        "~~~}\n~~~\n",
        "``` {#x}\nx\n```\n",
        "~~~`` {.a #b}\nx\n~~~\n",
        "~~~#x y\nx\n~~~\n",
        // A closing run shared with a child's, which cannot open: what
        // flanks it is the text before the whole run.
        "*b **_w_***{",
        // ... and one shared over three levels, which the reader pairs two
        // at a time while both runs hold two.
        "_x **_a._**_.",
        "*` **_a)_****",
        "__>**_a **_a._**_**__",
        "**==_a **_a)_**_==**",
        // A paragraph "1." before a one-item list kept a list by its
        // attribute line, written on one line or more.
        "[^e]:1.\n\n    2. &nbsp;\n;\n    {:x=''}",
        "[^e]:1.\n\n    2. &nbsp;\n;\n       {:x=''}",
        // A paragraph "1." before a list "1." that only the lists before it
        // number on, which the writer numbers otherwise ("1.", "1." as "1.",
        // "2."): its number is left as it reads back.
        "1. <div\n1.\n\n1\\.\n\n1.",
        // Such a list whose items, numbered so, would read as lines of the
        // ones before them is numbered on.
        "4. >`\n5.\n\n8. *     t",
        // An item holding an empty quote, which is not written, is judged as
        // the empty item that reads back.
        "1. >\n2. }\r\t\n\t.\n1. [ ]",
        "1. >[o]:()\n2. \\\n   : \xC3\xA7\n   ]\n1. :::\n   `",
        // A table in an item keeps its list a list in either of its forms:
        // one whose cell holds a line end, written as its element form,
        // reads back as raw HTML, and the list before is numbered alike.
        "1.\n2. #\n1. !|&#10;\n   -|-",
        // An item whose break opening an emphasis is written before it, on
        // a line of the item's own, keeps its list a list.
        "6. >-\n7.\n8.\n\n7. __\\\n   a_",
        // So does one whose emphasis holds a break within it.
        "1.\n2. ```\n1. **_**_}\n   :_",
        // A list from 1 kept by an item over two lines, before a list "1."
        // that only that list numbers on.
        "1.\t.\n    \xA9\n1.\n\r1.\n\n3.\n       *\t",
        // Emphasis of white space alone with attributes ending a heading
        // that holds a raw tag of another emphasis-like element: its
        // element form there holds the white space, no references.
        "# </mark> *&nbsp;*{a=''} #",
        "# </del> ==&emsp;&ensp;=={#a}",
    };
    for (const auto& text : markdown) {
        std::string canonical = write_md::render_md(block::parse_source(text, Options::dataset()));
        std::string diff = round_trip(canonical);
        EXPECT_TRUE(diff.empty()) << text << "\n--- canonical\n" << canonical << "\n" << diff;
    }
}

namespace {

// Random Markdown-like text: block markers, inline punctuation and words in
// random order and nesting. Not the writer's output, so it need not read
// back to itself; but what the writer makes of it must.
std::string random_markdown(std::mt19937& rng) {
    static const std::vector<std::string> starts = {
        "", "", "", "> ", "- ", "* ", "1. ", "2. ", "  ", "    ", "# ", "## ", ": ", "| ", "[^f]: ", "::: ",
        "```", "~~~", "$$", "\\[", "<div>", "</div>", "<!-- ", "{: .c} ", "[a]: /u ", "---", "^",
        // Footnote lines, indented comments under items, markdown containers
        // and comments left open.
        "[^f\\]: ", "[^g]:", "[^", "  <!-- ", "   <!-- ", "\t", "  - ", "<!--", "-->", "<div markdown=\"1\">",
        "<section markdown=\"1\">", "</section>",
        // Footnotes whose lines close containers, with indented continuation
        // lines, in an open container or not.
        "[^f]: </div>", "[^g]: </section>", "    </div>", "    </section>", "    </DIV>", "    ", "        ",
        "</DIV>", "   </div>", "    </table>", "    </li>",
        // Item numbers, escaped or not, also after lazy lines, and raw HTML
        // indented by four.
        "1.", "2)", "10. ", "1) ", "3. ", "1\\. ", "2\\) ", "10\\. ", "    <div>", "    <!-- ", "    <b>", "    <table>",
        "   1. ", "    2. ", "> 1. ", "- 1. ", "1. > ", ": 1. ", "| 1. ", "{: .c}", "{: #i}",
        // Delimiter rows, also as lines of raw HTML going on over lines.
        "-|", ":-", "|-|", "--|--", "| :-: |", "    -|",
        // Divs in divs, colon lines in code and HTML, tags whose attribute
        // quote is left open, tasks after item numbers, notes before HTML
        // left open.
        ":::", "::: : \\", "::::x", "    :::", "```", "~~~", "<table>", "<td markdown=\"1\">", "<div \">",
        "<section \">", "</TD>", "^[]", "\x0B", "- [ ] ", "1. [x] ", "0. ", "1.\n   1. [x]"};
    static const std::vector<std::string> pieces = {
        "word", "text", "*", "**", "_", "`", "``", "[", "]", "(", ")", "![", "<", ">", "&amp;", "\\", "|", "{",
        "}", "#", ":", "~", "^", "$", "\"", "'", "x", "http://e.org", "a@b.org", "-->", "</b>", "<b>", ".", " ", " ",
        "[^f]", "[^", "\\]:", "]:", "<!--", "<div markdown=\"1\">", "</div>", "\t", "</section>", "</DIV>", "<div>",
        "1.", "2)", "10.", " 1. ", "<a title='", "'>",
        // Line ends inside a line's pieces: hard breaks, lazy lines, item
        // numbers, indented HTML, definitions, rows, attribute lines, quotes.
        "\\\n", "  \n", "\n", "\n1. ", "\n2) ", "\n    <div>", "\n    ", "\n: ", "\n| ", "\n{: .c}\n", "\n> ",
        "\n-|\n", "\n:-:|\n", "\n--|--\n", "\n  |-|\n",
        // Comments opened inside a tag's quotes, and "<!-->".
        "<a title='<!--'>", "<!-->", "\n:::\n", "\n    :::", "^[", "[x]"};
    // Hard breaks (a backslash, two spaces) and other white space ending a
    // line: before a blank line, a container's closer or the end of input.
    static const std::vector<std::string> endings = {"", "", "", "", "", "", "\\", "  ", " \\", "\\\\", "   "};
    auto pick = [&rng](const std::vector<std::string>& v) -> const std::string& {
        return v[std::uniform_int_distribution<std::size_t>(0, v.size() - 1)(rng)];
    };
    std::uniform_int_distribution<int> lines_d(1, 12), pieces_d(0, 8), tenth(0, 9);
    std::string out;
    int lines = lines_d(rng);
    for (int l = 0; l < lines; ++l) {
        out += pick(starts);
        if (tenth(rng) == 0) out += pick(starts);  // "> " and "1. " and the like, nested
        int n = pieces_d(rng);
        for (int i = 0; i < n; ++i) out += pick(pieces);
        out += pick(endings);
        if (l + 1 < lines || tenth(rng) < 7) out += "\n";  // the last line may end the input
        if (tenth(rng) == 0) out += "\n";
    }
    return out;
}

}  // namespace

// Reading any text and writing it gives the canonical form, which must read
// back to itself.
TEST(RoundTrip, CanonicalFormOfRandomMarkdownIsStable) {
    std::mt19937 rng(7);
    int failures = 0;
    for (int i = 0; i < 30000; ++i) {
        std::string md = random_markdown(rng);
        std::string canonical = write_md::render_md(block::parse_source(md, Options::dataset()));
        std::string diff = round_trip(canonical);
        if (!diff.empty() && ++failures <= 10)
            ADD_FAILURE() << "input\n" << md << "--- canonical\n" << canonical << "\n" << diff;
    }
    EXPECT_EQ(failures, 0);
}

// For any tree the reader gives, the chunk ranges put together are exactly
// the document's Markdown, at every target size.
TEST(RoundTrip, ChunkRangesTileTheTextOfRandomMarkdown) {
    std::mt19937 rng(11);
    int failures = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string md = random_markdown(rng);
        const ast::Document doc = block::parse_source(md, Options::dataset());
        const std::string text = write_md::render_md(doc);
        for (std::uint64_t target : {1u, 6u, 50u}) {
            auto ranges = chunk::document_chunk_ranges_structural(doc, target);
            std::string joined;
            std::size_t at = 0;
            if (ranges.ok()) {
                for (const auto& r : ranges.value()) {
                    if (r.start != at || r.end < r.start || r.end > text.size()) break;
                    joined.append(text, r.start, r.end - r.start);
                    at = r.end;
                }
            }
            if ((!ranges.ok() || joined != text) && ++failures <= 10)
                ADD_FAILURE() << "input\n" << md << "--- written\n" << text << "--- target " << target;
        }
    }
    EXPECT_EQ(failures, 0);
}

namespace {

// What a reader of the text sees: the HTML of the blocks, then of each
// footnote and inline note under its label.
std::string html(const ast::Document& doc) {
    render::Renderer r;
    std::string out;
    for (const auto& b : doc.blocks) r.block(b, out);
    for (const auto& fn : doc.footnotes) {
        out += "[^" + fn.label + "]:";
        for (const auto& b : fn.blocks) r.block(b, out);
    }
    std::map<std::string, ast::Inlines> notes(r.notes.begin(), r.notes.end());
    for (const auto& [label, content] : notes) {
        out += "[^" + label + "]:<p>";
        r.inlines(content, out);
        out += "</p>\n";
    }
    return out;
}

}  // namespace

// Hand-written Markdown that lost an attribute or some text between reading
// it and reading what the writer made of it; the tree may change by the
// writer's normalisations (emphasis written as elements, notes written as
// footnotes), what it shows may not.
TEST(RoundTrip, HandWrittenTextsKeepEveryAttributeAndCharacter) {
    const std::vector<std::string> cases = {
        // Attributes of an element form, and of the last inline of a
        // heading or term without attributes of its own.
        "a***b***{#k .c}",
        "~\\a~{#k}",
        "x ^a b^{.s}",
        "# see [l]\n\n[l]: /u {.c}",
        "# see ![l]\n\n[l]: /u {.c #i}",
        "see [l]\n: d\n\n[l]: /u {.c}",
        // Captions ending in an inline with attributes of its own.
        "| a |\n|---|\n: see [x](/u){.c k=v}{#t}",
        "| a |\n|---|\n: ~~a~~{.y}{.t}",
        "| a |\n|---|\n: ^[n] '[x](/u){.c x=''}",
        // A link whose note holds a tag of its element: the note is
        // written apart, the link as its element.
        "'[^[<a>]](){q=''}\n: d",
        // A strong with attributes filled by an emphasis.
        "**_x_**{#c}",
        "__*x*__{.c k=v} and **_y_ z**{.d}",
        // An emphasis, strong or strikeout with a key no tag can hold whose
        // runs would meet those of a node of its kind around it, which
        // takes its element form.
        "********<em>***<***{-=}*",
        "****_<em>_**_**{\xC3=}*",
        "~~>~~www.a [~~{.a \xC3=}~~",
        // A strong with a key no tag can hold, filled by an emphasis, after
        // a character that is neither white space nor punctuation.
        "&#0;**_'_**{-=}",
        "*&copy;**_}_**{-=}*",
        "[&copy;**_:_**{\xA9=}]()",
        // Emphasis holding white space alone, with attributes.
        "a *&nbsp;*{.c} b",
        "a ==&nbsp;=={#k}",
        "^[**&#10;**{.a}]. ^[a ~~&#10;~~{-=1}]",
        // Verbatim white space: a line of a space in code in a quote in an
        // item, no-break and em spaces ending raw HTML in items and
        // footnotes, an ideographic space before a tag.
        "- > ```\n  >  \n  > ```",
        "- <div>a\xC2\xA0",
        "- <div>\n  a\xE2\x80\x83\n",
        "- > <div>a \n- b",
        "x[^f]\n\n[^f]:\n    <div>a\xC2\xA0\n",
        "\xE3\x80\x80<div>\n",
        "- \xE3\x80\x80<div>\n",
        // An emphasis filling an emphasis, an empty quote with an id, and
        // paragraphs of a no-break space alone.
        "_*b*_",
        "{: #q}\n>",
        "&nbsp;",
        "==&nbsp;==",
        "a\n\n&nbsp; &emsp;\n\nb",
        "***&nbsp;*{.c k=v}**",
        // Terms of no-break and en spaces alone, with attributes too.
        "&ensp;\n: a",
        "x\n: a\n\n&nbsp;\n&nbsp;\n: b",
        "&nbsp; &ensp;{.c}\n: a",
        // ... and of a line end, a space or a tab alone.
        "a\n&#10;\n:",
        "> &#32;\n> : b",
        "&#9;\nwww.a\n: c",
        // Definitions and captions of them alone.
        "x\n: &nbsp;\n: b\n\n&ensp;\n: &ensp;",
        "| a |\n|---|\n: &nbsp;",
        "| a |\n|---|\n: &ensp;{.c}",
        // A code block's language that no class can be, as it ends in
        // white space.
        "```&nbsp;\nx\n```",
        "~~~ &ensp; y\n~~~",
        "~~~&#32;&amp;.a\\\\`&nbsp;\n~~~",
        // Code spans side by side, in a strong merged into the one around it.
        "**`|`__``b``__**",
        "*****` `**`<a`**",
        // Addresses written as links in a cell, holding a "|".
        "| www.a\\|b | \\|@b.c |\n|---|---|",
        // A span holding a "www." address and notes or references to
        // footnotes, with a pair no tag can hold.
        "[www.a) ^[n]]{-=1}",
        "[www.a) [^f] ^[*n*]]{-=1} [www.} ^[m]]{.c}\n\n[^f]: x",
        "| [www.a) ^[n]]{-=1} |\n|---|",
        // ... and emphasis or strong written as their element forms.
        "[www.a) ***$***]{.a -=1}",
        "[www.b **_~_**]{<=1} [www.a) x **_[]_**]{-=1}",
        "[[www./ ]~@~]{\xC3= a=} [^a^\nwww.b ]{-=1}",
        "**[www.><***_*{a=}]{-=}** [www.a) ^b c^{.d} ~e~{#f}]{-=1}",
        // ... and an image whose target holds white space, or an address
        // read as an e-mail one, written as the writer writes them anywhere.
        "[www.a.\t![](< >)]{-= a=\"\"} [www.a) mailto:a@a.a]{a=\"}\" <=}",
        "<span a>[www.a</span>(mailto:a@a.a]{\xA9=} ^[[www.a* ![](< >)]{<=}]",
        "[www.} ![**_a_**]()]{a=\"\" -=}",
        // ... and an image whose description is written as its plain text.
        "[www.} ![**_a_**{.a}]()]{a= -=}",
        // ... and emphasis or strong around an address followed by "*",
        // which closes no "_" runs.
        "[__a www.a** b__]{<=} [_a www.a.* b_ *c*]{-=}",
        "[_a www.a*. b_]{<=} [__a http://a>** b__]{-=1}",
        "[_\\* www.a*.\xE3\x80\x80>_]{.a <=} [_a *b* www.a*, c_]{<=}",
        // ... and emphasis or strong whose delimiter form, tried first and
        // taken back, wrote an address that ended elsewhere.
        "***[___***www.a.b<del>___]{<=}*",
        "[***\\]****___<span>_*http://x></span>~**]{-=1}",
        // An emphasis with a key no tag can hold tried between "_" runs
        // after punctuation, whose first node opens with a "_" run: the
        // two runs merged may close as well, and pair no "_" inside.
        "_____</em>a_***_{\xC3=}___",
        // An emphasis whose lone tags inside are those of an emphasis in
        // it, written as its element around them, which pairs them.
        "***<code>***___*</em> ___<em>*___",
    };
    for (const auto& md : cases) {
        const ast::Document first = block::parse_source(md, Options::dataset());
        const std::string written = write_md::render_md(first);
        const ast::Document again = block::parse_source(written, Options::dataset());
        EXPECT_EQ(html(again), html(first)) << md << "\n--- written\n" << written;
        EXPECT_EQ(write_md::render_md(again), written) << md;
    }
}
