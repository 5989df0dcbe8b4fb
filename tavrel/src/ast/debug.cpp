// A readable dump of a tree, one node per line, children indented by two
// spaces. Tests compare against it, so it must be stable and show every
// field that distinguishes two trees: strings are quoted with C-style escapes,
// optional fields show only when present.
#include <cstdio>

#include "tavrel/ast.hpp"

namespace tavrel::ast {
namespace {

class Dumper {
public:
    std::string out;

    void blocks(const Blocks& list, int depth) {
        for (const auto& b : list) block(b, depth);
    }

    void inlines(const Inlines& list, int depth) {
        for (const auto& i : list) inline_node(i, depth);
    }

private:
    void indent(int depth) { out.append(static_cast<std::size_t>(depth) * 2, ' '); }

    void quoted(std::string_view s) {
        out.push_back('"');
        for (unsigned char c : s) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\t': out += "\\t"; break;
                case '\r': out += "\\r"; break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        char buf[8];
                        std::snprintf(buf, sizeof buf, "\\x%02x", c);
                        out += buf;
                    } else {
                        out.push_back(static_cast<char>(c));
                    }
            }
        }
        out.push_back('"');
    }

    void attr(const Attr& a) {
        if (a.empty()) return;
        out += " {";
        bool first = true;
        auto sep = [&] {
            if (!first) out.push_back(' ');
            first = false;
        };
        if (a.id) {
            sep();
            out.push_back('#');
            quoted(*a.id);
        }
        for (const auto& c : a.classes) {
            sep();
            out.push_back('.');
            quoted(c);
        }
        for (const auto& [k, v] : a.pairs) {
            sep();
            quoted(k);
            out.push_back('=');
            quoted(v);
        }
        out.push_back('}');
    }

    void field(std::string_view name, std::string_view value) {
        out.push_back(' ');
        out += name;
        out.push_back('=');
        quoted(value);
    }

    void opt_field(std::string_view name, const std::optional<std::string>& value) {
        if (value) field(name, *value);
    }

    void token(const template_::TemplateToken& t) {
        field("syntax", t.syntax);
        field("source", t.source);
        field("inner", t.inner);
        field("name", t.name);
        out += " kind=";
        out += template_::kind_name(t.kind);
    }

    static std::string_view align_name(Align a) {
        switch (a) {
            case Align::Left: return "left";
            case Align::Center: return "center";
            case Align::Right: return "right";
            default: return "default";
        }
    }

    void rows(std::string_view label, const std::vector<TableRow>& list, int depth) {
        for (const auto& row : list) {
            indent(depth);
            out += label;
            attr(row.attr);
            out.push_back('\n');
            for (const auto& cell : row.cells) {
                indent(depth + 1);
                out += "Cell";
                out += " align=";
                out += align_name(cell.align);
                attr(cell.attr);
                out.push_back('\n');
                inlines(cell.content, depth + 2);
            }
        }
    }

    void block(const Block& b, int depth) {
        indent(depth);
        out += kind_name(b.kind());
        visit(
            [&](const auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (requires { n.attr; }) attr(n.attr);
                if constexpr (std::is_same_v<T, Paragraph>) {
                    out.push_back('\n');
                    inlines(n.content, depth + 1);
                } else if constexpr (std::is_same_v<T, Heading>) {
                    out += " level=" + std::to_string(n.level) + "\n";
                    inlines(n.content, depth + 1);
                } else if constexpr (std::is_same_v<T, BlockQuote> || std::is_same_v<T, Div>) {
                    out.push_back('\n');
                    blocks(n.blocks, depth + 1);
                } else if constexpr (std::is_same_v<T, List>) {
                    out += n.ordered ? " ordered start=" + std::to_string(n.start) : std::string(" bullet");
                    out += n.tight ? " tight\n" : " loose\n";
                    for (const auto& item : n.items) {
                        indent(depth + 1);
                        out += "Item";
                        if (item.task) out += *item.task ? " task=checked" : " task=open";
                        attr(item.attr);
                        out.push_back('\n');
                        blocks(item.blocks, depth + 2);
                    }
                } else if constexpr (std::is_same_v<T, DefinitionList>) {
                    out.push_back('\n');
                    for (const auto& item : n.items) {
                        indent(depth + 1);
                        out += "DefinitionItem\n";
                        for (const auto& term : item.terms) {
                            indent(depth + 2);
                            out += "Term";
                            attr(term.attr);
                            out.push_back('\n');
                            inlines(term.content, depth + 3);
                        }
                        for (const auto& def : item.definitions) {
                            indent(depth + 2);
                            out += "Definition\n";
                            inlines(def, depth + 3);
                        }
                    }
                } else if constexpr (std::is_same_v<T, CodeBlock>) {
                    field("info", n.info_text);
                    opt_field("lang", n.lang);
                    field("text", n.text);
                    out.push_back('\n');
                } else if constexpr (std::is_same_v<T, HtmlBlock>) {
                    field("html", n.html);
                    out.push_back('\n');
                    for (const auto& t : n.tokens) {
                        indent(depth + 1);
                        out += "HtmlToken";
                        field("syntax", t.syntax);
                        field("inner", t.inner);
                        field("name", t.name);
                        out += " range=" + std::to_string(t.start) + ".." + std::to_string(t.end);
                        if (t.table_context) out += " table";
                        out += " kind=";
                        out += template_::kind_name(t.kind);
                        out.push_back('\n');
                    }
                } else if constexpr (std::is_same_v<T, ThematicBreak>) {
                    out.push_back('\n');
                } else if constexpr (std::is_same_v<T, Table>) {
                    out += " aligns=[";
                    for (std::size_t i = 0; i < n.aligns.size(); ++i) {
                        if (i) out.push_back(',');
                        out += align_name(n.aligns[i]);
                    }
                    out += "]\n";
                    if (!n.caption.empty()) {
                        indent(depth + 1);
                        out += "Caption\n";
                        inlines(n.caption, depth + 2);
                    }
                    rows("Head", n.head, depth + 1);
                    rows("Body", n.body, depth + 1);
                    rows("Foot", n.foot, depth + 1);
                    for (const auto& [row, node] : n.interludes) {
                        indent(depth + 1);
                        out += "Interlude before=" + std::to_string(row) + "\n";
                        inline_node(node, depth + 2);
                    }
                } else if constexpr (std::is_same_v<T, MathBlock>) {
                    out += n.display ? " display" : " inline";
                    field("tex", n.tex);
                    out.push_back('\n');
                } else if constexpr (std::is_same_v<T, Figure>) {
                    out.push_back('\n');
                    indent(depth + 1);
                    out += "Caption\n";
                    inlines(n.caption, depth + 2);
                    inline_node(n.image, depth + 1);
                } else if constexpr (std::is_same_v<T, TemplateTokenBlock>) {
                    token(n.token);
                    out.push_back('\n');
                } else if constexpr (std::is_same_v<T, RawBlock> || std::is_same_v<T, FormatBlock>) {
                    field("format", n.format);
                    field("text", n.text);
                    out.push_back('\n');
                }
            },
            b);
    }

    void inline_node(const Inline& i, int depth) {
        indent(depth);
        out += kind_name(i.kind());
        visit(
            [&](const auto& n) {
                using T = std::decay_t<decltype(n)>;
                if constexpr (requires { n.attr; }) attr(n.attr);
                if constexpr (std::is_same_v<T, Text> || std::is_same_v<T, Superscript> ||
                              std::is_same_v<T, Subscript> || std::is_same_v<T, Code>) {
                    out.push_back(' ');
                    quoted(n.text);
                    out.push_back('\n');
                } else if constexpr (std::is_same_v<T, Emph> || std::is_same_v<T, Strong> ||
                                     std::is_same_v<T, Strikeout> || std::is_same_v<T, Highlight> ||
                                     std::is_same_v<T, Note> || std::is_same_v<T, Span>) {
                    out.push_back('\n');
                    inlines(n.content, depth + 1);
                } else if constexpr (std::is_same_v<T, Link>) {
                    field("url", n.url);
                    opt_field("title", n.title);
                    out.push_back('\n');
                    inlines(n.content, depth + 1);
                } else if constexpr (std::is_same_v<T, Image>) {
                    field("url", n.url);
                    opt_field("title", n.title);
                    out.push_back('\n');
                    inlines(n.alt, depth + 1);
                } else if constexpr (std::is_same_v<T, Autolink>) {
                    field("url", n.url);
                    field("text", n.text);
                    if (n.email) out += " email";
                    out.push_back('\n');
                } else if constexpr (std::is_same_v<T, RawHtml>) {
                    out.push_back(' ');
                    quoted(n.html);
                    out.push_back('\n');
                } else if constexpr (std::is_same_v<T, Operation>) {
                    field("system", n.system);
                    field("kind", n.kind);
                    field("name", n.name);
                    out.push_back('\n');
                    for (const auto& arg : n.args) {
                        indent(depth + 1);
                        out += "Arg";
                        opt_field("name", arg.name);
                        out.push_back('\n');
                        inlines(arg.value, depth + 2);
                    }
                } else if constexpr (std::is_same_v<T, TemplateTokenInline>) {
                    token(n.token);
                    out.push_back('\n');
                } else if constexpr (std::is_same_v<T, Math>) {
                    out += n.display ? " display" : " inline";
                    field("tex", n.tex);
                    out.push_back('\n');
                } else if constexpr (std::is_same_v<T, FootnoteRef>) {
                    field("label", n.label);
                    out.push_back('\n');
                } else if constexpr (std::is_same_v<T, RawInline>) {
                    field("format", n.format);
                    field("text", n.text);
                    out.push_back('\n');
                } else {
                    out.push_back('\n');
                }
            },
            i);
    }
};

}  // namespace

std::string debug_string(const Document& doc) {
    Dumper d;
    d.blocks(doc.blocks, 0);
    for (const auto& fn : doc.footnotes) {
        d.out += "Footnote ";
        d.out += '"' + fn.label + "\"\n";
        d.blocks(fn.blocks, 1);
    }
    for (const auto& [k, v] : doc.metadata) d.out += "Meta " + k + "=" + v + "\n";
    for (const auto& diag : doc.diagnostics) d.out += "Diagnostic " + diag.code + ": " + diag.message + "\n";
    return d.out;
}

std::string debug_string(const Blocks& blocks) {
    Dumper d;
    d.blocks(blocks, 0);
    return d.out;
}

std::string debug_string(const Inlines& inlines) {
    Dumper d;
    d.inlines(inlines, 0);
    return d.out;
}

}  // namespace tavrel::ast
