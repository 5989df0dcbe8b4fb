// Plain text of inline lists and the paragraph character count.
//
// Both walk the same inlines the same way; the walk is written once over a
// sink that receives pieces of text, so the count never builds the string
// it counts.
#include <cstdint>
#include <string>

#include "corpuswright/cleanup.hpp"
#include "tavrel/text.hpp"

namespace corpuswright::cleanup {
namespace {

using namespace tavrel::ast;

template <class Sink>
void walk(const Inlines& inlines, Sink& sink) {
    for (const Inline& in : inlines) {
        switch (in.kind()) {
            case InlineKind::Text: sink(in.as<Text>()->text); break;
            case InlineKind::SoftBreak:
            case InlineKind::HardBreak: sink(std::string_view(" ")); break;
            case InlineKind::Emph: walk(in.as<Emph>()->content, sink); break;
            case InlineKind::Strong: walk(in.as<Strong>()->content, sink); break;
            case InlineKind::Strikeout: walk(in.as<Strikeout>()->content, sink); break;
            case InlineKind::Highlight: walk(in.as<Highlight>()->content, sink); break;
            case InlineKind::Span: walk(in.as<Span>()->content, sink); break;
            case InlineKind::Superscript: sink(in.as<Superscript>()->text); break;
            case InlineKind::Subscript: sink(in.as<Subscript>()->text); break;
            case InlineKind::Code: sink(in.as<Code>()->text); break;
            case InlineKind::Math: sink(in.as<Math>()->tex); break;
            case InlineKind::Link: walk(in.as<Link>()->content, sink); break;
            case InlineKind::Image: walk(in.as<Image>()->alt, sink); break;
            case InlineKind::Autolink: sink(in.as<Autolink>()->text); break;
            case InlineKind::RawHtml: sink(in.as<RawHtml>()->html); break;
            case InlineKind::RawInline: sink(in.as<RawInline>()->text); break;
            case InlineKind::Operation:
                for (const OperationArg& arg : in.as<Operation>()->args) walk(arg.value, sink);
                break;
            case InlineKind::TemplateToken: sink(in.as<TemplateTokenInline>()->token.inner); break;
            case InlineKind::Note: walk(in.as<Note>()->content, sink); break;
            case InlineKind::FootnoteRef: break;
        }
    }
}

struct Append {
    std::string& out;
    void operator()(std::string_view s) { out.append(s); }
};

// Appends whole pieces until `limit` bytes are held, then only notes that
// more text followed.
struct Prefix {
    std::string& out;
    std::size_t limit;
    bool truncated = false;
    void operator()(std::string_view s) {
        if (out.size() < limit)
            out.append(s);
        else if (!s.empty())
            truncated = true;
    }
};

// Counts scalar values up to `limit` and then stops decoding: the prose test
// only asks whether a page reaches its threshold, and long pages reach it in
// their first paragraph.
struct Count {
    std::size_t limit;
    std::size_t n = 0;
    void operator()(std::string_view s) {
        if (n < limit) n += tavrel::text::count_chars(s);
    }
};

void count_blocks(const Blocks& blocks, Count& c) {
    for (const Block& b : blocks) {
        if (c.n >= c.limit) return;
        switch (b.kind()) {
            case BlockKind::Paragraph: walk(b.as<Paragraph>()->content, c); break;
            case BlockKind::BlockQuote: count_blocks(b.as<BlockQuote>()->blocks, c); break;
            case BlockKind::Div: count_blocks(b.as<Div>()->blocks, c); break;
            case BlockKind::List:
                for (const ListItem& item : b.as<List>()->items) count_blocks(item.blocks, c);
                break;
            default: break;
        }
    }
}

}  // namespace

std::string plain(const Inlines& inlines) {
    std::string out;
    Append sink{out};
    walk(inlines, sink);
    return out;
}

std::size_t paragraph_chars(const Blocks& blocks) {
    Count c{SIZE_MAX};
    count_blocks(blocks, c);
    return c.n;
}

bool plain_prefix(const Inlines& inlines, std::size_t min_bytes, std::string& out) {
    Prefix sink{out, min_bytes};
    walk(inlines, sink);
    return !sink.truncated;
}

bool paragraph_chars_reach(const Blocks& blocks, std::size_t limit) {
    Count c{limit};
    count_blocks(blocks, c);
    return c.n >= limit;
}

}  // namespace corpuswright::cleanup
