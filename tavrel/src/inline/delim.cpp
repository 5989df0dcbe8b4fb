// Delimiter runs: emphasis, strong emphasis, strikeout and highlight built
// from the runs the scanner collected, plus the two character tests the
// scanner uses for runs and one-word script spans.
//
// The procedure is the usual delimiter stack: closers are taken left to
// right, and for each the nearest usable opener below it is searched, with a
// lowest-opener bound per class so that a failed search is never repeated.
// To stay linear on long runs, the openers of each character wait on their
// own stack: a search never walks over delimiters of another character, and
// the openers that a match encloses (which can take no further part) are
// dropped from the stack in one step.
#include <array>

#include "tavrel/entity.hpp"
#include "tavrel/inline.hpp"
#include "tavrel/text.hpp"

namespace tavrel::inline_ {
namespace {

int delimiter_class(char32_t ch) {
    switch (ch) {
        case '*':
            return 0;
        case '_':
            return 1;
        case '~':
            return 2;
        default:
            return 3;
    }
}

bool is_script_space(char32_t c) { return text::is_white_space(c); }

// The text of an attribute block as the scanner would have left it in a Text
// node: escapes of punctuation resolved, character references decoded.
std::string scanned_form(std::string_view raw, std::uint8_t math) {
    std::string s;
    s.reserve(raw.size());
    std::vector<std::size_t> escaped_amps;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size() && text::is_ascii_punctuation(static_cast<unsigned char>(raw[i + 1]))) {
            char e = raw[i + 1];
            if (math == 1 && (e == '(' || e == ')' || e == '[' || e == ']')) {
                // At math level 1 these escapes stay in the text whole.
                s.push_back('\\');
                s.push_back(e);
                ++i;
                continue;
            }
            ++i;
            if (raw[i] == '&') escaped_amps.push_back(s.size());
            s.push_back(raw[i]);
        } else {
            s.push_back(raw[i]);
        }
    }
    return decode_text(s, escaped_amps);
}

ast::Attr* attr_of(ast::Inline& in) {
    if (auto* n = in.as<ast::Emph>()) return &n->attr;
    if (auto* n = in.as<ast::Strong>()) return &n->attr;
    if (auto* n = in.as<ast::Strikeout>()) return &n->attr;
    if (auto* n = in.as<ast::Highlight>()) return &n->attr;
    return nullptr;
}

}  // namespace

bool is_flanking_punct(char32_t c) {
    if (c < 0x80) return text::is_ascii_punctuation(c);
    return text::is_unicode_punctuation(c);
}

std::optional<std::size_t> script_end(std::string_view s, std::size_t start, char marker) {
    if (start >= s.size()) return std::nullopt;
    bool escaped = false;
    bool content = false;
    std::size_t i = start;
    while (i < s.size()) {
        text::Decoded d = text::decode_utf8(s, i);
        if (escaped) {
            escaped = false;
            content = true;
        } else if (d.cp == '\\') {
            escaped = true;
        } else if (d.cp == static_cast<unsigned char>(marker)) {
            bool doubled = marker == '~' && ((i > 0 && s[i - 1] == '~') || (i + 1 < s.size() && s[i + 1] == '~'));
            if (doubled) {
                content = true;
            } else {
                if (content) return i;
                return std::nullopt;
            }
        } else if (is_script_space(d.cp)) {
            return std::nullopt;
        } else {
            content = true;
        }
        i += d.len;
    }
    return std::nullopt;
}

void process_delimiters_range(InlineScanner& sc, std::size_t bottom, std::size_t top) {
    std::vector<Delimiter>& delims = sc.delimiters;
    const std::size_t lo = sc.first_delimiter_at(bottom);
    // openers_bottom[class][closer can_open][closer count mod 3]
    std::array<std::array<std::array<std::size_t, 3>, 2>, 4> openers_bottom;
    for (auto& a : openers_bottom)
        for (auto& b : a) b.fill(lo);
    // Indices of the delimiters below the current one that may still open,
    // per class, in increasing order.
    std::array<std::vector<std::size_t>, 4> stacks;

    auto usable = [&](std::size_t j) { return delims[j].active && delims[j].count > 0; };
    auto offer = [&](std::size_t i) {
        const Delimiter& d = delims[i];
        if (d.active && d.can_open && d.count > 0) stacks[delimiter_class(d.ch)].push_back(i);
    };

    std::size_t i = lo;
    while (i < delims.size()) {
        if (delims[i].node >= top) break;
        Delimiter& closer = delims[i];
        if (!(closer.active && closer.can_close && closer.count > 0)) {
            offer(i);
            ++i;
            continue;
        }
        const int cls = delimiter_class(closer.ch);
        std::size_t& bound = openers_bottom[cls][closer.can_open ? 1 : 0][closer.count % 3];
        std::vector<std::size_t>& stack = stacks[cls];
        while (!stack.empty() && !usable(stack.back())) stack.pop_back();

        // Search the nearest usable opener at or above the bound.
        std::size_t found_at = SIZE_MAX;  // position in `stack`
        if (i > bound) {
            for (std::size_t k = stack.size(); k-- > 0;) {
                std::size_t j = stack[k];
                if (j < bound) break;
                if (!usable(j)) continue;
                const Delimiter& op = delims[j];
                if (cls <= 1) {
                    bool both = op.can_close || closer.can_open;
                    if (both && (op.count + closer.count) % 3 == 0 && !(op.count % 3 == 0 && closer.count % 3 == 0))
                        continue;
                }
                found_at = k;
                break;
            }
        }
        if (found_at == SIZE_MAX) {
            bound = i;
            offer(i);
            ++i;
            continue;
        }
        const std::size_t j = stack[found_at];
        Delimiter& opener = delims[j];

        std::uint64_t used;
        if (cls <= 1) {
            used = (opener.count >= 2 && closer.count >= 2) ? 2 : 1;
        } else {
            bool ok = cls == 2 ? (opener.count <= 2 && opener.count == closer.count)
                               : (opener.count == 2 && closer.count == 2);
            if (!ok) {
                offer(i);
                ++i;
                continue;
            }
            used = opener.count;
        }
        const std::size_t first = opener.node + 1;
        const std::size_t last = closer.node;
        // Empty constructs, and constructs that would nest deeper than the
        // cap, leave both runs as literal text.
        if (sc.next_alive(first) >= last || sc.holds_capped(first, last)) {
            offer(i);
            ++i;
            continue;
        }

        std::uint32_t depth = 0;
        std::size_t slot = sc.next_alive(first);
        ast::Inlines content = sc.take_range(first, last, depth, /*keep_first=*/true);
        ast::Inline built;
        if (cls <= 1) {
            if (used == 2)
                built = ast::Strong{{}, std::move(content)};
            else
                built = ast::Emph{{}, std::move(content)};
        } else if (cls == 2) {
            built = ast::Strikeout{{}, std::move(content)};
        } else {
            built = ast::Highlight{{}, std::move(content)};
        }
        sc.place(slot, std::move(built), depth + 1);

        // Use up the characters on both sides.
        opener.count -= used;
        if (Node& on = sc.nodes[opener.node]; on.is_text()) on.text.resize(on.text.size() - used);
        if (opener.count == 0) {
            sc.kill(opener.node);
            opener.active = false;
        }
        closer.pos += used;
        closer.count -= used;
        if (Node& cn = sc.nodes[closer.node]; cn.is_text()) cn.text.erase(0, used);
        if (closer.count == 0) {
            sc.kill(closer.node);
            closer.active = false;
        }

        // Attribute blocks written right after the closing run.
        const std::size_t after = closer.node + 1;
        if (closer.count == 0 && closer.pos < sc.text.size() && sc.text[closer.pos] == '{' &&
            after < sc.nodes.size() && sc.nodes[after].alive && sc.nodes[after].is_text()) {
            Node& next = sc.nodes[after];
            std::string& t = next.text;
            ast::AttrBuilder attr(*attr_of(*sc.nodes[slot].other));
            // The blocks' text is taken from the node's start in one step at
            // the end: taken block by block, a run of them would move the
            // rest of the node at each.
            std::size_t taken = 0;
            std::size_t pos = closer.pos;
            while (taken < t.size()) {
                auto block = sc.attr_block(pos);
                if (!block) break;
                // The node can start with the block's text only when it was
                // read from plain text covering the block; checking that
                // first keeps a run of blocks that share one far "}" from
                // costing the block's length at every closer.
                if (next.raw_start != pos || next.raw_end == SIZE_MAX || next.raw_end < pos + block->len) break;
                std::string form = scanned_form(sc.text.substr(pos, block->len), sc.context.options.math);
                if (t.compare(taken, form.size(), form) != 0) break;
                attr.merge(block->attr);
                taken += form.size();
                pos += block->len;
                next.raw_start = pos;
            }
            t.erase(0, taken);
            if (taken > 0 && t.empty()) sc.kill(after);
        }

        // The content is coalesced now that the node's attributes are final
        // (a Strong with attributes keeps Strong children as they are).
        {
            ast::Inline& built_node = *sc.nodes[slot].other;
            if (auto* n = built_node.as<ast::Strong>())
                n->content = coalesce_level(std::move(n->content), n->attr.empty());
            else if (auto* e = built_node.as<ast::Emph>())
                e->content = coalesce_level(std::move(e->content), false);
            else if (auto* k = built_node.as<ast::Strikeout>())
                k->content = coalesce_level(std::move(k->content), false);
            else if (auto* h = built_node.as<ast::Highlight>())
                h->content = coalesce_level(std::move(h->content), false);
        }

        // Openers enclosed by the new node can take no further part.
        stack.resize(found_at + 1);
        for (auto& other : stacks) {
            while (!other.empty() && other.back() > j) other.pop_back();
        }
        if (!usable(j)) stack.pop_back();
        if (closer.count == 0) {
            ++i;
        }
    }
}

}  // namespace tavrel::inline_
