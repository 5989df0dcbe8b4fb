// Whether emphasis or strong reads back between "_" runs around a content
// holding a "_" the writer leaves bare.

#include <string>
#include <string_view>

#include "reader_probes.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"

namespace tavrel::write_md::probe {

using namespace tavrel::ast;

// A "_" the writer leaves bare in the content is one of a code span, a
// note's label, a link's target or address, or an attribute block, where
// it is in no run the reader pairs, or one of a "_" run the writer wrote:
// the runs are taken where the content reads back the same alone and
// between them, the node around it with its attributes (with a definition
// for each footnote reference in the content, so that it reads back: the
// writer writes no other "[^" bare. Only those in the content: the text's
// every note would make each such node cost as much as all the notes).
// The opening run is read after the kind of character that stands before
// it, which decides whether it may close as well, and so how it pairs with
// a run of the content's first node merged into it ("_" and "_</em>a_",
// after a tag's ">", pair no "_" of the content: their lengths add up to
// three). A "!" stands for punctuation there.
bool underscores_read_back(std::string_view written, bool strong, const Attr& attr, bool after_punct) {
    static const Options options = Options::dataset();
    std::string definitions;
    for (std::size_t at = written.find("[^"); at != std::string_view::npos; at = written.find("[^", at + 2)) {
        const std::size_t end = written.find(']', at + 2);
        if (end == std::string_view::npos) break;
        definitions.append("\n\n[^").append(written.substr(at + 2, end - at - 2)).append("]: x\n");
    }
    const std::string_view run = strong ? "__" : "_";
    std::string text(after_punct ? "!" : "");
    text.append(run);
    text.append(written);
    text.append(run);
    text.push_back('{');
    text.append(markdown::attrs_body(attr, '"', false, true, true));
    text.push_back('}');
    text.append(definitions);
    const Document alone = block::parse_source(std::string(written) + definitions, options);
    const Document again = block::parse_source(text, options);
    if (alone.blocks.empty() || alone.blocks.size() != again.blocks.size()) return false;
    const auto* a = alone.blocks.front().as<Paragraph>();
    const auto* p = again.blocks.front().as<Paragraph>();
    if (!a || !p || !a->attr.empty() || !p->attr.empty() || p->content.size() != 1u + after_punct) return false;
    if (after_punct) {
        const auto* t = p->content.front().as<Text>();
        if (!t || t->text != "!") return false;
    }
    const Inline& node = p->content.back();
    if (const auto* em = node.as<Emph>(); em && !strong) return em->attr == attr && em->content == a->content;
    if (const auto* st = node.as<Strong>(); st && strong) return st->attr == attr && st->content == a->content;
    return false;
}

}  // namespace tavrel::write_md::probe
