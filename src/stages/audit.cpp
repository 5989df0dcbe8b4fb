// The audit walks a converted tree read-only and records each operation
// that no clean-up rule rewrote. Names are normalised (trimmed, underscores
// as spaces, lower case; templates through their canonical title) so that
// one template spelled several ways counts once.
#include "corpuswright/stages/audit.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <functional>

#include "tavrel/text.hpp"

namespace corpuswright::stages {
namespace ast = tavrel::ast;

std::size_t AuditPairHash::operator()(const AuditPair& p) const noexcept {
    std::size_t h = std::hash<std::string>{}(p.kind);
    return h ^ (std::hash<std::string>{}(p.name) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2));
}

std::string lower(std::string_view s) {
    bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        std::string out(s);
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return out;
    }
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

namespace {

std::string underscores_to_spaces(std::string_view s) {
    std::string out(s);
    std::replace(out.begin(), out.end(), '_', ' ');
    return out;
}

// The tag name of a "#tag"-style call: its first argument when that holds
// only text and breaks.
std::optional<std::string> tag_argument(const ast::Operation& op) {
    if (op.args.empty()) return std::nullopt;
    std::string text;
    for (const auto& node : op.args[0].value) {
        if (const auto* t = node.as<ast::Text>()) {
            text += t->text;
        } else if (node.is<ast::SoftBreak>() || node.is<ast::HardBreak>()) {
            text.push_back(' ');
        } else {
            return std::nullopt;
        }
    }
    return lower(tavrel::text::trim(text));
}

void record(const ast::Operation& op, const roles::TemplateRoles& roles, std::vector<AuditPair>& out) {
    std::string kind = lower(op.system + ":" + op.kind);
    std::string name = lower(underscores_to_spaces(tavrel::text::trim(op.name)));
    if (kind == "mediawiki:function" && name == "tag") {
        if (auto tag = tag_argument(op)) name = "tag:" + *tag;
    } else if (kind == "mediawiki:function" && name == "expr") {
        return;
    } else if (kind == "mediawiki:transclude") {
        roles::PageKey key = roles.resolve(op.name);
        if (key.ns == roles::kTemplateNamespace) {
            if (roles.ok.count(key.title) > 0) return;
            name = lower(tavrel::text::trim(underscores_to_spaces(key.title)));
        } else {
            name = lower(tavrel::text::trim(op.name));
        }
    }
    out.push_back({std::move(kind), std::move(name)});
}

}  // namespace

void audit_inline(const ast::Inline& node, const roles::TemplateRoles& roles, std::vector<AuditPair>& out);

void audit_inlines(const ast::Inlines& inlines, const roles::TemplateRoles& roles, std::vector<AuditPair>& out) {
    for (const auto& node : inlines) audit_inline(node, roles, out);
}

void audit_inline(const ast::Inline& node, const roles::TemplateRoles& roles, std::vector<AuditPair>& out) {
    {
        switch (node.kind()) {
            case ast::InlineKind::Emph: audit_inlines(node.as<ast::Emph>()->content, roles, out); break;
            case ast::InlineKind::Strong: audit_inlines(node.as<ast::Strong>()->content, roles, out); break;
            case ast::InlineKind::Strikeout: audit_inlines(node.as<ast::Strikeout>()->content, roles, out); break;
            case ast::InlineKind::Highlight: audit_inlines(node.as<ast::Highlight>()->content, roles, out); break;
            case ast::InlineKind::Span: audit_inlines(node.as<ast::Span>()->content, roles, out); break;
            case ast::InlineKind::Note: audit_inlines(node.as<ast::Note>()->content, roles, out); break;
            case ast::InlineKind::Link: audit_inlines(node.as<ast::Link>()->content, roles, out); break;
            case ast::InlineKind::Image: audit_inlines(node.as<ast::Image>()->alt, roles, out); break;
            case ast::InlineKind::Operation: {
                const auto& op = *node.as<ast::Operation>();
                record(op, roles, out);
                for (const auto& arg : op.args) audit_inlines(arg.value, roles, out);
                break;
            }
            default: break;
        }
    }
}

void audit_blocks(const ast::Blocks& blocks, const roles::TemplateRoles& roles, std::vector<AuditPair>& out) {
    auto rows = [&](const std::vector<ast::TableRow>& list) {
        for (const auto& row : list) {
            for (const auto& cell : row.cells) audit_inlines(cell.content, roles, out);
        }
    };
    for (const auto& block : blocks) {
        switch (block.kind()) {
            case ast::BlockKind::Paragraph: audit_inlines(block.as<ast::Paragraph>()->content, roles, out); break;
            case ast::BlockKind::Heading: audit_inlines(block.as<ast::Heading>()->content, roles, out); break;
            case ast::BlockKind::BlockQuote: audit_blocks(block.as<ast::BlockQuote>()->blocks, roles, out); break;
            case ast::BlockKind::Div: audit_blocks(block.as<ast::Div>()->blocks, roles, out); break;
            case ast::BlockKind::List:
                for (const auto& item : block.as<ast::List>()->items) audit_blocks(item.blocks, roles, out);
                break;
            case ast::BlockKind::DefinitionList:
                for (const auto& item : block.as<ast::DefinitionList>()->items) {
                    for (const auto& term : item.terms) audit_inlines(term.content, roles, out);
                    for (const auto& def : item.definitions) audit_inlines(def, roles, out);
                }
                break;
            case ast::BlockKind::Table: {
                const auto& t = *block.as<ast::Table>();
                audit_inlines(t.caption, roles, out);
                rows(t.head);
                rows(t.body);
                rows(t.foot);
                for (const auto& [row, node] : t.interludes) audit_inline(node, roles, out);
                break;
            }
            case ast::BlockKind::Figure: {
                const auto& f = *block.as<ast::Figure>();
                audit_inlines(f.caption, roles, out);
                audit_inline(f.image, roles, out);
                break;
            }
            default: break;
        }
    }
}

std::vector<AuditPair> audit(const ast::Blocks& blocks, const roles::TemplateRoles& roles) {
    std::vector<AuditPair> out;
    audit_blocks(blocks, roles, out);
    if (out.size() >= 2) {
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
    return out;
}

Summary summary(std::uint64_t articles, std::uint64_t chunks, AuditCounts counts) {
    Summary s{articles, chunks, {}};
    s.rows.reserve(counts.size());
    for (auto& [pair, count] : counts) s.rows.push_back({pair.kind, pair.name, count});
    std::stable_sort(s.rows.begin(), s.rows.end(), [](const OperationCount& a, const OperationCount& b) {
        if (a.count != b.count) return a.count > b.count;
        if (a.kind != b.kind) return a.kind < b.kind;
        return a.name < b.name;
    });
    if (s.rows.size() > 30) s.rows.resize(30);
    return s;
}

}  // namespace corpuswright::stages
