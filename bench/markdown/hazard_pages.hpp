// Random wikitext pages for the canonical round trip: blocks of every kind
// the wikitext reader knows, and with `full` every inline hazard as well
// (template calls with several arguments, raw wikitext spans, brackets,
// line-start colons, words that are Markdown marks). Shared by the reader's
// round-trip tests, the conversion round-trip test and md-roundtrip.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace synthetic {

// `full` mixes in every inline hazard; without it the pages keep to plain
// words so that block structure is what is exercised.
class HazardPages {
public:
    HazardPages(std::uint32_t seed, bool full) : rng_(seed), full_(full) {}

    std::string page() {
        std::string out;
        int blocks = pick(3, 14);
        for (int i = 0; i < blocks; ++i) {
            out += block();
            out += pick(0, 3) == 0 ? "\n" : "\n\n";
        }
        return out;
    }

private:
    std::mt19937 rng_;
    bool full_;

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    template <class T>
    const T& one(const std::vector<T>& v) {
        return v[static_cast<std::size_t>(pick(0, static_cast<int>(v.size()) - 1))];
    }

    std::string word() {
        static const std::vector<std::string> plain = {"alpha", "beta", "Gamma", "delta", "word", "x_y", "a*b",
                                                       "50%", "it's", "é", "日本", "a.b", "3.14", "&", "#", "-",
                                                       "1.", "2."};
        if (!full_) return one(plain);
        static const std::vector<std::string> words = {
            "alpha", "beta", "Gamma", "delta", "1.", "2.", "-", "+", "*", "#", "x_y", "a*b", "~tilde~", "^up^",
            "==mark==", "50%", "$5", "a|b", "{x}", "{: .c}", "[br]", "<tag>", "&", "&amp;", "&lt;b&gt;",
            "http://example.org/a_(b)", "www.example.com", "mail@example.org", "C++", "back\\slash", "\"q\"",
            "it's", ":colon", "::", "---", "1)", "(paren)", "`tick`", "é", "日本", "§", "!", "![x]", "[[", "]]",
            "{{", "}}", "<!--", "-->", "::: div", "```", "~~~", "$$", "\\[", "|", "=", "==", ">", "a.b", "3.14"};
        return one(words);
    }

    std::string words(int lo, int hi) {
        std::string s;
        int n = pick(lo, hi);
        for (int i = 0; i < n; ++i) {
            if (i) s += ' ';
            s += word();
        }
        return s;
    }

    std::string inline_piece() {
        if (!full_) {
            switch (pick(0, 9)) {
                case 0: return "'''" + words(1, 3) + "'''";
                case 1: return "''" + words(1, 3) + "''";
                case 2: return "[[Target|" + words(1, 3) + "]]";
                case 3: return "<ref>" + words(1, 4) + "</ref>";
                case 4: return "<math>x^2 + " + std::to_string(pick(1, 9)) + "</math>";
                case 5: return "{{Infobox}}";
                case 6: return "<code>" + words(1, 2) + "</code>";
                default: return words(1, 6);
            }
        }
        switch (pick(0, 22)) {
            case 0: return "'''" + words(1, 3) + "'''";
            case 1: return "''" + words(1, 3) + "''";
            case 2: return "[[" + words(1, 2) + "]]";
            case 3: return "[[Target|" + words(1, 3) + "]]";
            case 4: return "[http://example.org/p?q=1 " + words(1, 2) + "]";
            case 5: return "{{Infobox}}";
            case 6: return "{{lang|" + words(1, 2) + "}}";
            case 7: return "{{cite|a=" + words(1, 2) + "|b}}";
            case 8: return "<ref>" + words(1, 4) + "</ref>";
            case 9: return "<ref name=\"n" + std::to_string(pick(1, 3)) + "\">" + words(1, 3) + "</ref>";
            case 10: return "<math>x^2 + " + std::to_string(pick(1, 9)) + "</math>";
            case 11: return "<code>" + words(1, 2) + "</code>";
            case 12: return "<nowiki>" + words(1, 3) + "</nowiki>";
            case 13: return "<sup>" + words(1, 1) + "</sup>";
            case 14: return "<sub>" + words(1, 1) + "</sub>";
            case 15: return "<br />";
            case 16:
                // A link inside a span, whose brackets cannot hold it.
                if (pick(0, 1)) return "<span class=\"s\">" + words(1, 2) + " [http://example.org/ " + words(1, 2) + "]</span>";
                return "<span class=\"s\">" + words(1, 2) + "</span>";
            case 17: return "[[File:Pic.png|thumb|" + words(1, 2) + "]]";
            case 18: return "[[Category:" + words(1, 1) + "]]";
            case 19: return "<!-- " + words(1, 2) + " -->";
            case 20: return "{{{param|" + words(1, 1) + "}}}";
            case 21: return "<s>" + words(1, 2) + "</s>";
            default: return words(1, 6);
        }
    }

    std::string text_line() {
        std::string s;
        int n = pick(1, 6);
        for (int i = 0; i < n; ++i) {
            if (i) s += full_ && pick(0, 4) == 0 ? "" : " ";
            s += inline_piece();
        }
        return s;
    }

    std::string block() {
        switch (pick(0, 16)) {
            case 0: {
                std::string eq(static_cast<std::size_t>(pick(2, 5)), '=');
                return eq + " " + words(1, 3) + " " + eq;
            }
            case 1: {
                std::string s;
                int n = pick(1, 5);
                for (int i = 0; i < n; ++i) {
                    std::string marker;
                    int depth = pick(1, 3);
                    // A ";" term that holds only further markers gives an empty
                    // term, which the writer cannot write apart from a blank line.
                    for (int d = 0; d < depth; ++d)
                        marker += full_ ? one(std::vector<std::string>{"*", "#", ":", ";"})
                                        : one(std::vector<std::string>{"*", "#", ":"});
                    s += marker + " " + text_line() + "\n";
                }
                return s;
            }
            case 2: {
                std::string s = "{|";
                if (pick(0, 1)) s += " class=\"wikitable\"";
                s += "\n";
                if (pick(0, 1)) s += "|+ " + words(1, 3) + "\n";
                int cols = pick(1, 3);
                for (int c = 0; c < cols; ++c) s += "! " + words(1, 2) + "\n";
                int rows = pick(1, 3);
                for (int r = 0; r < rows; ++r) {
                    s += "|-\n";
                    int cells = pick(0, 1) ? cols : pick(1, 4);
                    for (int c = 0; c < cells; ++c) s += "| " + text_line() + "\n";
                }
                return s + "|}";
            }
            case 3: return " " + words(1, 4) + "\n " + words(1, 3);
            case 4: return "<pre>" + words(1, 3) + "\n\t" + words(1, 2) + "\n\n```x</pre>";
            case 5: return "----";
            case 6: return "<blockquote>" + text_line() + "</blockquote>";
            case 7: return "<div class=\"d\">\n" + text_line() + "\n</div>";
            case 8: return "<math display=\"block\">\\frac{a}{b}</math>";
            case 9:
                if (!full_) return "{{Infobox}}";
                return "{{Infobox\n| name = " + words(1, 2) + "\n| v = " + words(1, 2) + "\n}}";
            case 10: return "<syntaxhighlight lang=\"python\">\nprint(1)\n  x = `a`\n</syntaxhighlight>";
            case 11: return "<center>" + text_line() + "</center>";
            case 12: return ";" + std::string(full_ ? "" : "term ") + words(1, 2) + "\n:" + text_line();
            case 13: return "<references />";
            case 14: return "<div>\n" + text_line() + "\n</div>";
            default: {
                std::string s = text_line();
                int more = pick(0, 2);
                for (int i = 0; i < more; ++i) s += "\n" + text_line();
                return s;
            }
        }
    }
};


}  // namespace synthetic
