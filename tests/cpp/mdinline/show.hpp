// A compact one-line rendering of inline trees for test expectations:
// Text is quoted, containers are Kind[children], attributes follow as
// {#id .class key=value}.
#pragma once

#include <string>

#include "tavrel/ast.hpp"
#include "tavrel/inline.hpp"
#include "tavrel/options.hpp"

namespace mdtest {

using namespace tavrel;

inline std::string show(const ast::Inlines& list);

inline std::string show_attr(const ast::Attr& a) {
    if (a.empty()) return "";
    std::string s = "{";
    bool first = true;
    auto sep = [&] {
        if (!first) s += ' ';
        first = false;
    };
    if (a.id) {
        sep();
        s += "#" + *a.id;
    }
    for (const auto& c : a.classes) {
        sep();
        s += "." + c;
    }
    for (const auto& [k, v] : a.pairs) {
        sep();
        s += k + "=" + v;
    }
    return s + "}";
}

inline std::string show(const ast::Inline& in) {
    using K = ast::InlineKind;
    auto name = std::string(ast::kind_name(in.kind()));
    switch (in.kind()) {
        case K::Text:
            return "\"" + in.as<ast::Text>()->text + "\"";
        case K::SoftBreak:
            return "SB";
        case K::HardBreak:
            return "HB";
        case K::Emph:
            return "Emph[" + show(in.as<ast::Emph>()->content) + "]" + show_attr(in.as<ast::Emph>()->attr);
        case K::Strong:
            return "Strong[" + show(in.as<ast::Strong>()->content) + "]" + show_attr(in.as<ast::Strong>()->attr);
        case K::Strikeout:
            return "Strike[" + show(in.as<ast::Strikeout>()->content) + "]" +
                   show_attr(in.as<ast::Strikeout>()->attr);
        case K::Highlight:
            return "Mark[" + show(in.as<ast::Highlight>()->content) + "]" +
                   show_attr(in.as<ast::Highlight>()->attr);
        case K::Superscript:
            return "Sup(" + in.as<ast::Superscript>()->text + ")" + show_attr(in.as<ast::Superscript>()->attr);
        case K::Subscript:
            return "Sub(" + in.as<ast::Subscript>()->text + ")" + show_attr(in.as<ast::Subscript>()->attr);
        case K::Code:
            return "Code(" + in.as<ast::Code>()->text + ")" + show_attr(in.as<ast::Code>()->attr);
        case K::Link: {
            auto* l = in.as<ast::Link>();
            return "Link(" + l->url + (l->title ? " \"" + *l->title + "\"" : "") + ")[" + show(l->content) + "]" +
                   show_attr(l->attr);
        }
        case K::Image: {
            auto* l = in.as<ast::Image>();
            return "Image(" + l->url + (l->title ? " \"" + *l->title + "\"" : "") + ")[" + show(l->alt) + "]" +
                   show_attr(l->attr);
        }
        case K::Autolink: {
            auto* a = in.as<ast::Autolink>();
            return std::string(a->email ? "Mail(" : "Auto(") + a->url + "|" + a->text + ")";
        }
        case K::RawHtml:
            return "Html(" + in.as<ast::RawHtml>()->html + ")";
        case K::TemplateToken:
            return "Tok(" + in.as<ast::TemplateTokenInline>()->token.source + ")";
        case K::Math: {
            auto* m = in.as<ast::Math>();
            return std::string(m->display ? "DMath(" : "Math(") + m->tex + ")" + show_attr(m->attr);
        }
        case K::FootnoteRef:
            return "Fn(" + in.as<ast::FootnoteRef>()->label + ")";
        case K::Note:
            return "Note[" + show(in.as<ast::Note>()->content) + "]";
        case K::Span:
            return "Span[" + show(in.as<ast::Span>()->content) + "]" + show_attr(in.as<ast::Span>()->attr);
        case K::RawInline:
            return "Raw(" + in.as<ast::RawInline>()->format + ":" + in.as<ast::RawInline>()->text + ")";
        default:
            return name;
    }
}

inline std::string show(const ast::Inlines& list) {
    std::string s;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) s += ' ';
        s += show(list[i]);
    }
    return s;
}

// Owns everything an inline context refers to.
struct Ctx {
    Options options = Options::dataset();
    inline_::LinkDefs defs;
    inline_::FootnoteLabels labels;
    inline_::InlineContext get() const { return {options, defs, labels}; }
    ast::Inlines parse(std::string_view text) const { return inline_::parse_inner(text, get()); }
    std::string operator()(std::string_view text) const { return show(parse(text)); }
};

}  // namespace mdtest
