// Whether emphasis or strong reads back between "_" runs around a content
// holding a "_" the writer leaves bare.

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "reader_probes.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/options.hpp"

namespace tavrel::write_md::probe {

using namespace tavrel::ast;

// A "_" the writer leaves bare in the content is one of a code span, a
// note's label, a link's target or address, or an attribute block, where
// it is in no run the reader pairs, or one of a "_" run the writer wrote:
// the runs are taken where the content reads back the same alone and
// between them, the node around it with its attributes (with the notes'
// and footnotes' definitions, so that their references read back).
bool underscores_read_back(std::string_view written, bool strong, const Attr& attr,
                           const std::vector<std::pair<std::string, Inlines>>& notes,
                           const std::unordered_map<std::string, std::string>& footnote_labels) {
    static const Options options = Options::dataset();
    std::string definitions;
    for (const auto& note : notes) definitions += "\n\n[^" + note.first + "]: x\n";
    for (const auto& [label, as_written] : footnote_labels) definitions += "\n\n[^" + as_written + "]: x\n";
    const std::string_view run = strong ? "__" : "_";
    std::string text(run);
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
    if (!a || !p || !a->attr.empty() || !p->attr.empty() || p->content.size() != 1) return false;
    if (const auto* em = p->content.front().as<Emph>(); em && !strong) return em->attr == attr && em->content == a->content;
    if (const auto* st = p->content.front().as<Strong>(); st && strong) return st->attr == attr && st->content == a->content;
    return false;
}

}  // namespace tavrel::write_md::probe
