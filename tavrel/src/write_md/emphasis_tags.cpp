// Whether a run holds hand-written raw tags of the elements that emphasis,
// strong, strikeout and highlight take as their element forms. Asked only
// where such a form is in question, and kept apart from the writer's hot
// paths.
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "canon.hpp"
#include "tavrel/text.hpp"

namespace tavrel::write_md::canon {

using namespace tavrel::ast;

namespace {

bool names_emphasis_element(std::string_view html) {
    const std::size_t at = html.starts_with("</") ? 2 : 1;
    if (html.size() <= at || html.front() != '<') return false;
    std::size_t end = at;
    const auto letter = [](char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; };
    while (end < html.size() && (letter(html[end]) || (end > at && ((html[end] >= '0' && html[end] <= '9') ||
                                                                    html[end] == '-'))))
        ++end;
    if (end - at < 2 || end - at > 6) return false;
    char name[6];
    for (std::size_t i = at; i < end; ++i) name[i - at] = static_cast<char>(html[i] | 0x20);
    const std::string_view n(name, end - at);
    return n == "em" || n == "strong" || n == "del" || n == "mark";
}

}  // namespace

bool raw_emphasis_tag_in(const Inlines& run) {
    for (const Inline& x : run) {
        if (const auto* h = x.as<RawHtml>()) {
            if (names_emphasis_element(h->html)) return true;
            continue;
        }
        bool held = false;
        visit(
            [&](const auto& n) {
                if constexpr (requires { n.content; } && !std::is_same_v<std::decay_t<decltype(n)>, Note>) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(n.content)>, Inlines>)
                        held = raw_emphasis_tag_in(n.content);
                }
            },
            x);
        if (held) return true;
    }
    return false;
}

Inlines element_content(const Inlines& content) {
    const RawHtml* refs = white_refs(content);
    if (refs == nullptr) return content;
    const std::string_view html = refs->html;
    std::string space;
    for (std::size_t at = html.find("&#"); at != std::string_view::npos; at = html.find("&#", at + 2)) {
        std::uint32_t cp = 0;
        for (std::size_t k = at + 2; k < html.size() && html[k] >= '0' && html[k] <= '9'; ++k)
            cp = cp * 10 + static_cast<std::uint32_t>(html[k] - '0');
        text::append_utf8(space, cp == '\n' ? U' ' : static_cast<char32_t>(cp));
    }
    return Inlines{Text{std::move(space)}};
}

}  // namespace tavrel::write_md::canon
