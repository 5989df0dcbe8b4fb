// Synthetic wikitext pages for the reader's benchmark and round-trip tool:
// article-like pages that mix the constructs the wikitext reader knows
// (sections, prose with links, emphasis, references and templates, lists,
// tables, quotes, code, math, HTML containers). Deterministic per seed.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace synthetic {

class Pages {
public:
    explicit Pages(std::uint32_t seed) : rng_(seed) {}

    std::string page() {
        std::string out = prose_paragraph() + "\n\n";
        int sections = pick(2, 6);
        for (int s = 0; s < sections; ++s) {
            std::string eq(static_cast<std::size_t>(pick(2, 3)), '=');
            out += eq + " " + words(1, 3) + " " + eq + "\n";
            int blocks = pick(2, 6);
            for (int b = 0; b < blocks; ++b) out += block() + "\n\n";
        }
        return out;
    }

private:
    std::mt19937 rng_;

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    std::string word() {
        static const std::vector<std::string> w = {
            "the", "river", "valley", "was", "first", "recorded", "in", "1842", "by", "settlers", "who",
            "built", "a", "mill", "near", "its", "mouth", "population", "grew", "to", "3,400", "and",
            "école", "Zürich", "東京", "(born", "1901)", "e.g.", "50%", "£12", "north-west", "it's"};
        return w[static_cast<std::size_t>(pick(0, static_cast<int>(w.size()) - 1))];
    }
    std::string words(int lo, int hi) {
        std::string s;
        int n = pick(lo, hi);
        for (int i = 0; i < n; ++i) s += (i ? " " : "") + word();
        return s;
    }
    std::string inline_piece() {
        switch (pick(0, 14)) {
            case 0: return "[[" + words(1, 2) + "]]";
            case 1: return "[[Target page|" + words(1, 3) + "]]";
            case 2: return "'''" + words(1, 2) + "'''";
            case 3: return "''" + words(1, 3) + "''";
            case 4: return "<ref>" + words(3, 8) + "</ref>";
            case 5: return "<ref name=\"r" + std::to_string(pick(1, 4)) + "\">" + words(2, 5) + "</ref>";
            case 6: return "{{convert|" + std::to_string(pick(1, 900)) + "|km}}";
            case 7: return "{{lang|fr|" + words(1, 2) + "}}";
            case 8: return "[https://example.org/" + std::to_string(pick(1, 99)) + " " + words(1, 3) + "]";
            case 9: return "<math>x_" + std::to_string(pick(1, 9)) + "^2</math>";
            case 10: return "<code>" + words(1, 2) + "</code>";
            default: return words(2, 9);
        }
    }
    std::string prose_line() {
        std::string s;
        int n = pick(3, 9);
        for (int i = 0; i < n; ++i) s += (i ? " " : "") + inline_piece();
        return s + ".";
    }
    std::string prose_paragraph() {
        std::string s = prose_line();
        int more = pick(0, 3);
        for (int i = 0; i < more; ++i) s += " " + prose_line();
        return s;
    }
    std::string block() {
        switch (pick(0, 11)) {
            case 0: {
                std::string s;
                int n = pick(2, 6);
                for (int i = 0; i < n; ++i) s += std::string(static_cast<std::size_t>(pick(1, 2)), "*#"[pick(0, 1)]) + " " + prose_line() + "\n";
                return s;
            }
            case 1: {
                std::string s = "{| class=\"wikitable\"\n|+ " + words(2, 4) + "\n! " + words(1, 2) + "\n! " + words(1, 2) + "\n";
                int rows = pick(2, 6);
                for (int r = 0; r < rows; ++r) s += "|-\n| " + words(1, 3) + "\n| " + inline_piece() + "\n";
                return s + "|}";
            }
            case 2: return "<blockquote>" + prose_line() + "</blockquote>";
            case 3: return " " + words(2, 5) + "\n " + words(2, 5);
            case 4: return ";" + words(1, 2) + "\n:" + prose_line();
            case 5: return "<syntaxhighlight lang=\"python\">\nfor i in range(3):\n    print(i)\n</syntaxhighlight>";
            case 6: return "<math display=\"block\">\\sum_{i=1}^n i</math>";
            case 7: return "{{Infobox place\n| name = " + words(1, 2) + "\n| area = " + std::to_string(pick(1, 999)) + "\n}}";
            case 8: return "<div class=\"note\">\n" + prose_line() + "\n</div>";
            case 9: return "----";
            default: return prose_paragraph();
        }
    }
};

}  // namespace synthetic
