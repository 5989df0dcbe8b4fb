// The delimiter processing keeps one opener stack per character and drops
// enclosed openers in one step; here it is checked against a direct reading
// of the procedure (every closer searching every delimiter below it) on
// random texts made only of runs, letters, spaces and punctuation.
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "show.hpp"
#include "tavrel/inline.hpp"
#include "tavrel/text.hpp"

namespace {

struct RNode {
    std::string kind;  // "" for Text
    std::string text;
    std::vector<RNode> kids;
    bool alive = true;
};

struct RDelim {
    std::size_t node, count;
    char ch;
    bool can_open, can_close, active;
};

bool flanking_punct(char32_t c) { return tavrel::inline_::is_flanking_punct(c); }
bool ws(char32_t c) { return tavrel::text::is_white_space(c); }

// Coalesces like the parser: adjacent Text merged, attribute-free Strong in
// Strong flattened (no attributes arise here).
std::vector<RNode> coalesce(std::vector<RNode> list, bool plain_strong) {
    std::vector<RNode> out;
    auto push = [&](RNode&& n) {
        if (!out.empty() && out.back().kind.empty() && n.kind.empty())
            out.back().text += n.text;
        else
            out.push_back(std::move(n));
    };
    for (RNode& n : list) {
        if (!n.kind.empty()) n.kids = coalesce(std::move(n.kids), n.kind == "Strong");
        if (plain_strong && n.kind == "Strong") {
            for (RNode& k : n.kids) push(std::move(k));
        } else {
            push(std::move(n));
        }
    }
    return out;
}

std::string show(const std::vector<RNode>& list) {
    std::string s;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) s += ' ';
        const RNode& n = list[i];
        if (n.kind.empty())
            s += "\"" + n.text + "\"";
        else
            s += n.kind + "[" + show(n.kids) + "]";
    }
    return s;
}

std::string reference(const std::string& t) {
    std::vector<RNode> nodes;
    std::vector<RDelim> delims;
    std::string pending;
    auto flush = [&] {
        if (!pending.empty()) nodes.push_back(RNode{"", pending, {}, true});
        pending.clear();
    };
    std::size_t p = 0;
    while (p < t.size()) {
        char c = t[p];
        if (c != '*' && c != '_' && c != '=' && c != '~') {
            pending.push_back(c);
            ++p;
            continue;
        }
        std::size_t e = p;
        while (e < t.size() && t[e] == c) ++e;
        if (e - p == 1 && (c == '=' || c == '~')) {
            pending.push_back(c);
            p = e;
            continue;
        }
        char32_t prev = p > 0 ? static_cast<unsigned char>(t[p - 1]) : U' ';
        char32_t next = e < t.size() ? static_cast<unsigned char>(t[e]) : U' ';
        bool left = !ws(next) && (!flanking_punct(next) || ws(prev) || flanking_punct(prev));
        bool right = !ws(prev) && (!flanking_punct(prev) || ws(next) || flanking_punct(next));
        bool open = left, close = right;
        if (c == '_') {
            open = left && (!right || flanking_punct(prev));
            close = right && (!left || flanking_punct(next));
        }
        flush();
        nodes.push_back(RNode{"", std::string(e - p, c), {}, true});
        delims.push_back(RDelim{nodes.size() - 1, e - p, c, open, close, true});
        p = e;
    }
    flush();

    auto cls = [](char c) { return c == '*' ? 0 : c == '_' ? 1 : c == '~' ? 2 : 3; };
    std::array<std::array<std::array<std::size_t, 3>, 2>, 4> bottom{};
    for (std::size_t i = 0; i < delims.size();) {
        RDelim& cl = delims[i];
        if (!(cl.active && cl.can_close && cl.count > 0)) {
            ++i;
            continue;
        }
        std::size_t& b = bottom[cls(cl.ch)][cl.can_open][cl.count % 3];
        std::size_t found = SIZE_MAX;
        for (std::size_t j = i; j-- > b && i > b;) {
            RDelim& op = delims[j];
            if (!(op.active && op.ch == cl.ch && op.count > 0 && op.can_open)) continue;
            if (cl.ch == '*' || cl.ch == '_') {
                bool both = op.can_close || cl.can_open;
                if (both && (op.count + cl.count) % 3 == 0 && !(op.count % 3 == 0 && cl.count % 3 == 0)) continue;
            }
            found = j;
            break;
        }
        if (found == SIZE_MAX) {
            b = i;
            ++i;
            continue;
        }
        RDelim& op = delims[found];
        std::size_t used;
        if (cl.ch == '*' || cl.ch == '_') {
            used = (op.count >= 2 && cl.count >= 2) ? 2 : 1;
        } else {
            bool ok = cl.ch == '~' ? (op.count <= 2 && op.count == cl.count) : (op.count == 2 && cl.count == 2);
            if (!ok) {
                ++i;
                continue;
            }
            used = op.count;
        }
        std::vector<RNode> content;
        std::size_t slot = SIZE_MAX;
        for (std::size_t k = op.node + 1; k < cl.node; ++k) {
            if (!nodes[k].alive) continue;
            if (slot == SIZE_MAX) slot = k;
            content.push_back(nodes[k]);
            nodes[k].alive = false;
        }
        if (slot == SIZE_MAX) {
            ++i;
            continue;
        }
        std::string kind = cl.ch == '~' ? "Strike" : cl.ch == '=' ? "Mark" : used == 2 ? "Strong" : "Emph";
        nodes[slot] = RNode{kind, "", std::move(content), true};
        op.count -= used;
        nodes[op.node].text.resize(nodes[op.node].text.size() - used);
        if (op.count == 0) {
            nodes[op.node].alive = false;
            op.active = false;
        }
        cl.count -= used;
        nodes[cl.node].text.erase(0, used);
        if (cl.count == 0) {
            nodes[cl.node].alive = false;
            cl.active = false;
        }
        for (RDelim& d : delims)
            if (d.node > op.node && d.node < cl.node) d.active = false;
        if (cl.count == 0) ++i;
    }
    std::vector<RNode> out;
    for (RNode& n : nodes)
        if (n.alive) out.push_back(n);
    return show(coalesce(std::move(out), false));
}

}  // namespace

TEST(EmphasisReference, AgreesOnRandomRuns) {
    const char* pieces[] = {"*", "**", "***", "_", "__", "~~", "==", "=", "a", "b", " ", ".", "!", "(", "a"};
    std::mt19937 rng(17);
    mdtest::Ctx p;
    p.options.autolinks = false;
    std::size_t built = 0;
    for (int it = 0; it < 20000; ++it) {
        std::string s;
        int k = 1 + static_cast<int>(rng() % 24);
        for (int i = 0; i < k; ++i) s += pieces[rng() % std::size(pieces)];
        std::string got = p(s);
        std::string want = reference(s);
        ASSERT_EQ(got, want) << s;
        if (got.find('[') != std::string::npos) ++built;
    }
    EXPECT_GT(built, 5000u);
}
