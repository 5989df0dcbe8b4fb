// Line prefixes (quote markers, tab columns), list and definition markers,
// and the ordered-list numbering rule.
#include <gtest/gtest.h>

#include <deque>

#include "tavrel/block.hpp"

using namespace tavrel::block;
using tavrel::line::Line;

TEST(QuoteMarker, RemovesMarkerAndOneColumn) {
    EXPECT_EQ(strip_quote_marker("> word"), "word");
    EXPECT_EQ(strip_quote_marker(">word"), "word");
    EXPECT_EQ(strip_quote_marker("   >  two"), " two");
    EXPECT_EQ(strip_quote_marker("    > code"), "    > code");
    EXPECT_EQ(strip_quote_marker("text"), "text");
    EXPECT_EQ(strip_quote_marker(">"), "");
}

TEST(QuoteMarker, TabAfterMarkerLeavesItsRemainingColumns) {
    // ">" ends at column 1; the tab runs to column 4; one column belongs to
    // the marker, so two columns stay as spaces.
    EXPECT_EQ(strip_quote_marker(">\tx"), "  x");
    // The same after one space of indentation: the tab ends at 4, target 3.
    EXPECT_EQ(strip_quote_marker(" >\tx"), " x");
}

TEST(StripFrom, TabCrossingTheTargetIsSplit) {
    // A tab at column 2 reaches 4; target 3 leaves one space.
    EXPECT_EQ(Line::strip_from("  \tx", 0, 0, 3), " x");
    // A tab from column 0 to 4 with target 2 leaves two spaces.
    EXPECT_EQ(Line::strip_from("\tx", 0, 0, 2), "  x");
    // A tab that lands exactly on the target is removed whole.
    EXPECT_EQ(Line::strip_from("\tx", 0, 0, 4), "x");
    // Fewer columns than asked: all removed.
    EXPECT_EQ(Line::strip_from(" x", 0, 0, 4), "x");
    // Leading tabs after the target are expanded from the reached column.
    EXPECT_EQ(Line::strip_from("  \tx", 0, 0, 2), "  x");
    EXPECT_EQ(Line::strip_from("    y", 2, 2, 4), "y");
}

TEST(StripFrom, AllWhiteSpaceBeforeTargetGivesEmpty) {
    EXPECT_EQ(Line::strip_from("  ", 0, 0, 4), "");
    EXPECT_EQ(Line::strip_from("", 0, 0, 1), "");
}

TEST(ListMarker, BulletsAndOrderedItems) {
    auto m = list_marker("- item");
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->ordered);
    EXPECT_EQ(m->marker_char, '-');
    EXPECT_EQ(m->content_column, 2u);

    m = list_marker("10. ten");
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->ordered);
    EXPECT_EQ(m->start, 10u);
    EXPECT_EQ(m->content_column, 4u);

    m = list_marker("007. seven");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->start, 7u);

    m = list_marker("-\tword");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->content_column, 4u);

    m = list_marker("-");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->content_column, 2u);

    m = list_marker("-     wide");  // five spaces: content starts one column after the marker
    ASSERT_TRUE(m);
    EXPECT_EQ(m->content_column, 2u);
}

TEST(ListMarker, NotMarkers) {
    EXPECT_FALSE(list_marker("1) x"));
    EXPECT_FALSE(list_marker("1234567890. x"));
    EXPECT_TRUE(list_marker("123456789. x"));
    EXPECT_FALSE(list_marker("12"));
    EXPECT_FALSE(list_marker("-word"));
    EXPECT_FALSE(list_marker(" \t- x"));
    EXPECT_FALSE(list_marker("    - x"));
    EXPECT_FALSE(list_marker("1.x"));
}

TEST(ListMarker, InterruptingAParagraph) {
    EXPECT_TRUE(list_interrupts_paragraph("1. one"));
    EXPECT_TRUE(list_interrupts_paragraph("- b"));
    EXPECT_FALSE(list_interrupts_paragraph("2. two"));
    EXPECT_FALSE(list_interrupts_paragraph("1."));
    EXPECT_FALSE(list_interrupts_paragraph("-   "));
}

TEST(DefMarker, ColonAndWhiteSpace) {
    EXPECT_EQ(def_marker(": text"), "text");
    EXPECT_EQ(def_marker("  :    four"), " four");
    EXPECT_EQ(def_marker(": "), "");
    EXPECT_FALSE(def_marker(":text"));
    EXPECT_FALSE(def_marker("::"));
    EXPECT_FALSE(def_marker("    : deep"));
}

// ---------------------------------------------------------------------------
// Ordered-list enforcement over hand-made drafts.

namespace {

DraftListItem item(std::uint64_t number, std::string text, std::size_t line = 0) {
    // An item's first line is a view into the text being read; here the
    // texts stay for the whole test program.
    static std::deque<std::string> first_lines;
    DraftListItem it;
    it.number = number;
    it.first_line = first_lines.emplace_back(std::to_string(number) + ". " + text.substr(0, text.find('\n')));
    it.start_line = line;
    it.blocks.push_back(DraftParagraph{{}, std::move(text)});
    return it;
}

DraftList ordered(std::vector<DraftListItem> items) {
    DraftList l;
    l.ordered = true;
    l.start = items.front().number;
    l.items = std::move(items);
    return l;
}

DraftList bullets() {
    DraftList l;
    DraftListItem it;
    it.first_line = "- b";
    it.blocks.push_back(DraftParagraph{{}, "b"});
    l.items.push_back(std::move(it));
    return l;
}

std::string para_text(const DraftBlock& b) {
    const auto* p = b.as<DraftParagraph>();
    return p ? p->text : std::string("<not a paragraph>");
}

}  // namespace

TEST(OrderedLists, OneItemNumberedOneReverts) {
    DraftBlocks blocks;
    blocks.push_back(ordered({item(1, "word")}));
    std::vector<RevertedList> rec;
    enforce_ordered_lists(blocks, &rec);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(para_text(blocks[0]), "1. word");
    ASSERT_EQ(rec.size(), 1u);
}

TEST(OrderedLists, TwoItemsStayAList) {
    DraftBlocks blocks;
    blocks.push_back(ordered({item(1, "a"), item(2, "b")}));
    enforce_ordered_lists(blocks);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(blocks[0].is<DraftList>());
}

TEST(OrderedLists, NumberingContinuesAcrossParagraphs) {
    DraftBlocks blocks;
    blocks.push_back(ordered({item(1, "a"), item(2, "b")}));
    blocks.push_back(DraftParagraph{{}, "between"});
    blocks.push_back(ordered({item(3, "c")}));
    enforce_ordered_lists(blocks);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_TRUE(blocks[0].is<DraftList>());
    EXPECT_TRUE(blocks[2].is<DraftList>());
}

TEST(OrderedLists, UncontinuedAndMisnumberedListsRevert) {
    DraftBlocks blocks;
    blocks.push_back(ordered({item(1, "a")}));
    blocks.push_back(DraftParagraph{{}, "between"});
    blocks.push_back(ordered({item(3, "c")}));
    enforce_ordered_lists(blocks);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(para_text(blocks[0]), "1. a");
    EXPECT_EQ(para_text(blocks[2]), "3. c");
}

TEST(OrderedLists, ListNotStartingAtOneBecomesOneParagraph) {
    DraftBlocks blocks;
    blocks.push_back(ordered({item(3, "c"), item(4, "d")}));
    enforce_ordered_lists(blocks);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(para_text(blocks[0]), "3. c\n4. d");
}

TEST(OrderedLists, DeeperHeadingDoesNotEndTheSequence) {
    DraftBlocks blocks;
    blocks.push_back(DraftHeading{{}, "Top", 1});
    blocks.push_back(ordered({item(1, "a")}));
    blocks.push_back(DraftHeading{{}, "Sub", 2});
    blocks.push_back(ordered({item(2, "b")}));
    enforce_ordered_lists(blocks);
    EXPECT_TRUE(blocks[1].is<DraftList>());
    EXPECT_TRUE(blocks[3].is<DraftList>());

    DraftBlocks same_level;
    same_level.push_back(DraftHeading{{}, "Top", 2});
    same_level.push_back(ordered({item(1, "a")}));
    same_level.push_back(DraftHeading{{}, "Next", 2});
    same_level.push_back(ordered({item(2, "b")}));
    enforce_ordered_lists(same_level);
    EXPECT_EQ(para_text(same_level[1]), "1. a");
    EXPECT_EQ(para_text(same_level[3]), "2. b");
}

TEST(OrderedLists, BulletListEndsAPendingSequence) {
    DraftBlocks blocks;
    blocks.push_back(ordered({item(1, "a")}));
    blocks.push_back(bullets());
    enforce_ordered_lists(blocks);
    EXPECT_EQ(para_text(blocks[0]), "1. a");
    EXPECT_TRUE(blocks[1].is<DraftList>());
}

TEST(OrderedLists, RevertKeepsLazyLinesButNotStructure) {
    // A second line that continued the paragraph lazily reads back as text.
    DraftBlocks lazy;
    auto it = item(1, "a\nb");
    lazy.push_back(ordered({it}));
    enforce_ordered_lists(lazy);
    EXPECT_EQ(para_text(lazy[0]), "1. a\nb");

    // An indented second line, a nested list, a task box or attributes would
    // change meaning as paragraph text: the list stays.
    DraftBlocks indented;
    it.indented_lines = true;
    indented.push_back(ordered({it}));
    enforce_ordered_lists(indented);
    EXPECT_TRUE(indented[0].is<DraftList>());

    DraftBlocks nested;
    auto with_list = item(1, "a");
    with_list.blocks.push_back(bullets());
    nested.push_back(ordered({with_list}));
    enforce_ordered_lists(nested);
    EXPECT_TRUE(nested[0].is<DraftList>());

    DraftBlocks task;
    auto boxed = item(1, "a");
    boxed.task = true;
    task.push_back(ordered({boxed}));
    enforce_ordered_lists(task);
    EXPECT_TRUE(task[0].is<DraftList>());
}

TEST(OrderedLists, RevertedListThatInterruptedAParagraphRejoinsIt) {
    DraftBlocks blocks;
    blocks.push_back(DraftParagraph{{}, "text"});
    auto l = ordered({item(1, "more")});
    l.interrupts_paragraph = true;
    blocks.push_back(std::move(l));
    enforce_ordered_lists(blocks);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(para_text(blocks[0]), "text\n1. more");
}

TEST(OrderedLists, DescendsIntoItemsAndQuotes) {
    DraftBlocks inner;
    inner.push_back(ordered({item(1, "x")}));
    DraftBlocks blocks;
    blocks.push_back(DraftBlockQuote{{}, std::move(inner)});
    enforce_ordered_lists(blocks);
    const auto* q = blocks[0].as<DraftBlockQuote>();
    ASSERT_TRUE(q);
    EXPECT_EQ(para_text(q->blocks[0]), "1. x");
}

TEST(RevertList, ItemsWithoutBlocksAndOtherFirstBlocks) {
    DraftList l;
    l.ordered = true;
    DraftListItem empty;
    empty.number = 1;
    empty.first_line = "1.";
    empty.start_line = 4;
    DraftListItem code;
    code.number = 2;
    code.first_line = "2. ```";
    code.start_line = 5;
    code.blocks.push_back(DraftCodeBlock{{}, "", std::nullopt, "x\n"});
    l.items.push_back(empty);
    l.items.push_back(code);
    auto out = revert_list(std::move(l));
    // The empty item and the code item's first line merge into one paragraph;
    // the code block itself is replaced by that line.
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(para_text(out[0].first), "1.\n2. ```");
    EXPECT_EQ(out[0].second, 4u);
}

// ---------------------------------------------------------------------------
// What list items keep of their lines.

namespace {

bool inside(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

// The items of a list and of the lists nested in each item's first block.
std::vector<const DraftListItem*> nested_items(const DraftBlocks& blocks) {
    std::vector<const DraftListItem*> out;
    const DraftBlock* b = blocks.empty() ? nullptr : &blocks[0];
    while (const auto* l = b ? b->as<DraftList>() : nullptr) {
        if (l->items.empty()) break;
        out.push_back(&l->items[0]);
        b = l->items[0].blocks.empty() ? nullptr : &l->items[0].blocks[0];
    }
    return out;
}

}  // namespace

// Items nested on one line share that line: each once kept the rest of the
// line twice, so one line of a megabyte of markers took hundreds of
// megabytes.
TEST(ListItemLines, ItemsNestedOnOneLineShareTheInputLine) {
    for (std::string marker : {"- ", "1. "}) {
        std::string text;
        for (int i = 0; i < 1000; ++i) text += marker;
        text += "x\n";
        tavrel::Options options = tavrel::Options::dataset();
        Parser p(text, options);
        DraftBlocks blocks = p.container_block();
        auto items = nested_items(blocks);
        // A list and its item are two containers.
        ASSERT_EQ(items.size(), options.max_block_depth / 2) << marker;
        std::string_view line = std::string_view(text).substr(0, text.size() - 1);
        for (std::size_t k = 0; k < items.size(); ++k) {
            EXPECT_EQ(items[k]->first_line, line.substr(k * marker.size())) << marker << k;
            EXPECT_TRUE(inside(items[k]->first_line, text)) << marker << k;
            ASSERT_EQ(items[k]->raw_lines.size(), 1u);
            EXPECT_TRUE(inside(items[k]->raw_lines[0], text)) << marker << k;
        }
        EXPECT_TRUE(p.kept.empty());
    }

    // A line that continues the nested items lazily is kept once for all,
    // in the parse's log of lazy lines.
    auto lazy_of = [](const DraftListItem* it) {
        std::vector<std::string_view> lines;
        it->lazy.each([&](std::string_view l) { lines.push_back(l); });
        return lines;
    };
    std::string text = "- - - x\nlazy\n";
    Parser p(text, tavrel::Options::dataset());
    DraftBlocks blocks = p.container_block();
    auto items = nested_items(blocks);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(p.lazy_lines.size(), 1u);
    for (const auto* it : items) {
        ASSERT_EQ(it->raw_lines.size(), 1u);
        ASSERT_EQ(lazy_of(it), std::vector<std::string_view>{"lazy"});
        EXPECT_TRUE(inside(lazy_of(it)[0], text));
    }

    // Spaces left over from a tab are no part of the input line: those
    // lines are kept by the parser, once.
    text = "> 10. 10. x\n>\tlazy\n";
    Parser q(text, tavrel::Options::dataset());
    blocks = q.container_block();
    ASSERT_EQ(blocks.size(), 1u);
    ASSERT_TRUE(blocks[0].as<DraftBlockQuote>());
    items = nested_items(blocks[0].as<DraftBlockQuote>()->blocks);
    ASSERT_EQ(items.size(), 2u);
    for (const auto* it : items) ASSERT_EQ(lazy_of(it), std::vector<std::string_view>{"  lazy"});
    EXPECT_EQ(q.kept.size(), 1u);
}
