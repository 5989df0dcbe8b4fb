// MB/s of wikitext read into document trees, on one core.
//
// The page mix is synthetic and seeded, shaped like encyclopedia articles:
// an infobox template over several lines, lead paragraphs dense with links,
// bold and italic, references (named, reused and unnamed) and inline
// templates, sections with bullet and numbered lists, definition lists,
// simple tables and tables that fall back, files, categories and a
// references section. Several MB in all, read page by page as the
// conversion stage does.
//
// The hostile cases (long runs of unclosed openers, deep nesting) report
// their own MB/s: they need not be fast, only linear, which shows as a rate
// that does not fall when the input grows.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "tavrel/wikitext.hpp"

namespace {

class PageMaker {
public:
    explicit PageMaker(unsigned seed) : rng_(seed) {}

    std::string page() {
        std::string p;
        refs_ = 0;
        infobox(p);
        p += "'''" + words(2) + "''' (born " + std::to_string(pick(1800, 2000)) + ") is a " + words(3) + ".";
        for (int k = 0, n = pick(2, 4); k < n; ++k) {
            p += "\n\n";
            paragraph(p);
        }
        for (int s = 0, n = pick(3, 7); s < n; ++s) {
            p += "\n\n== " + words(2) + " ==\n";
            for (int k = 0, m = pick(1, 3); k < m; ++k) {
                paragraph(p);
                p += "\n\n";
            }
            switch (pick(0, 4)) {
                case 0: list(p, '*'); break;
                case 1: list(p, '#'); break;
                case 2: table(p, true); break;
                case 3: table(p, false); break;
                default: p += ";" + words(1) + "\n:" + sentence() + "\n"; break;
            }
            if (pick(0, 2) == 0) p += "[[File:" + words(1) + ".jpg|thumb|" + sentence() + "]]\n";
        }
        p += "\n== References ==\n{{Reflist}}\n\n== External links ==\n* [https://example.org/" + words(1) +
             " " + words(2) + "]\n\n";
        for (int k = 0, n = pick(2, 5); k < n; ++k) p += "[[Category:" + words(2) + "]]\n";
        return p;
    }

private:
    std::mt19937 rng_;
    int refs_ = 0;
    static constexpr const char* kWords[] = {
        "river", "city", "music", "album", "station", "century", "empire", "village", "football", "season",
        "church", "county", "school", "party", "novel", "series", "island", "bridge", "battle", "family",
        "Zürich", "café", "naïve", "Ålesund", "theory", "species", "planet", "railway", "council", "market",
        "the", "of", "and", "in", "was", "a", "to", "for", "with", "by", "from", "is", "which", "also",
        "government", "population", "development", "approximately", "international", "construction",
        "administrative", "university", "production", "independence", "municipality", "parliament"};

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    std::string word() { return kWords[pick(0, std::size(kWords) - 1)]; }
    std::string words(int n) {
        std::string s = word();
        for (int k = 1; k < n; ++k) {
            s += ' ';
            s += word();
        }
        return s;
    }
    // Prose with the markup density of encyclopedia text: about one link in
    // twelve words, now and then emphasis, a unit template or a no-break space.
    std::string sentence() {
        std::string s = words(1);
        s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
        for (int k = 0, n = pick(8, 24); k < n; ++k) {
            s += ' ';
            switch (pick(0, 99)) {
                case 0: case 1: case 2: case 3: case 4: s += "[[" + words(pick(1, 3)) + "]]"; break;
                case 5: case 6: case 7: s += "[[" + words(2) + "|" + words(pick(1, 2)) + "]]"; break;
                case 8: s += "''" + words(pick(1, 4)) + "''"; break;
                case 9: s += " + word() + "; break;
                case 10: s += "{{convert|" + std::to_string(pick(1, 900)) + "|km|mi}}"; break;
                case 11: s += "&nbsp;" + word(); break;
                case 12: s += "{{lang|de|" + words(2) + "}}"; break;
                default: s += word();
            }
        }
        return s + ".";
    }
    std::string cite() {
        return "{{cite web |url=https://www.example.org/" + word() + "/" + std::to_string(pick(1000, 99999)) +
               ".html |title=" + words(pick(3, 8)) + " |website=" + words(2) + " |publisher=" + words(2) +
               " |date=" + std::to_string(pick(1, 28)) + " May " + std::to_string(pick(1990, 2024)) +
               " |access-date=" + std::to_string(pick(1, 28)) + " June 2024}}";
    }
    void ref(std::string& p) {
        switch (pick(0, 3)) {
            case 0: p += "<ref>" + cite() + "</ref>"; break;
            case 1: p += "<ref name=\"r" + std::to_string(++refs_) + "\">" + cite() + "</ref>"; break;
            case 2:
                if (refs_ > 0) {
                    p += "<ref name=\"r" + std::to_string(pick(1, refs_)) + "\" />";
                    break;
                }
                [[fallthrough]];
            default: p += "<ref>{{cite book |last=" + word() + " |first=" + word() + " |title=" + words(4) +
                          " |publisher=" + words(2) + " |year=" + std::to_string(pick(1900, 2024)) +
                          " |page=" + std::to_string(pick(1, 400)) + "}}</ref>";
        }
    }
    void paragraph(std::string& p) {
        for (int k = 0, n = pick(2, 6); k < n; ++k) {
            if (k) p += ' ';
            p += sentence();
            if (pick(0, 2) == 0) ref(p);
        }
    }
    void infobox(std::string& p) {
        p += "{{Infobox " + word() + "\n";
        for (int k = 0, n = pick(10, 30); k < n; ++k)
            p += "| " + word() + "_" + std::to_string(k) + " = " +
                 (pick(0, 2) ? words(pick(1, 4)) : "[[" + words(2) + "]]") + "\n";
        p += "}}\n";
    }
    void list(std::string& p, char marker) {
        for (int k = 0, n = pick(3, 8); k < n; ++k) {
            p += marker;
            if (k && pick(0, 3) == 0) p += marker;
            p += ' ';
            p += sentence();
            p += '\n';
        }
    }
    void table(std::string& p, bool simple) {
        p += simple ? "{| class=\"wikitable\"\n" : "{| class=\"wikitable sortable\" style=\"width:50%\"\n";
        int cols = pick(2, 5);
        p += "!";
        for (int c = 0; c < cols; ++c) p += (c ? " !! " : " ") + words(1);
        p += "\n";
        for (int r = 0, n = pick(2, 8); r < n; ++r) {
            p += "|-\n|";
            for (int c = 0; c < cols; ++c) {
                p += c ? " || " : " ";
                if (!simple && c == 0) p += "style=\"text-align:right\" | ";
                p += pick(0, 3) ? words(1) : "[[" + words(2) + "]]";
            }
            p += "\n";
        }
        p += "|}\n";
    }
};

const std::vector<std::string>& pages() {
    static const std::vector<std::string> all = [] {
        PageMaker maker(42);
        std::vector<std::string> v;
        std::size_t bytes = 0;
        while (bytes < (8u << 20)) {
            v.push_back(maker.page());
            bytes += v.back().size();
        }
        return v;
    }();
    return all;
}

std::size_t mix_bytes() {
    std::size_t bytes = 0;
    for (const auto& p : pages()) bytes += p.size();
    return bytes;
}

// Reading only: each page's tree is freed with the clock stopped (freeing a
// tree belongs to whoever consumes it).
void BM_PageMix(benchmark::State& state) {
    const auto& all = pages();
    for (auto _ : state) {
        for (const auto& p : all) {
            auto doc = tavrel::wikitext::document::parse(p);
            benchmark::DoNotOptimize(doc.blocks.data());
            state.PauseTiming();
            { auto gone = std::move(doc); }
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * mix_bytes()));
    state.counters["pages"] = static_cast<double>(all.size());
    state.counters["MB"] = static_cast<double>(mix_bytes()) / 1e6;
}

// Reading and freeing, as a conversion worker pays it.
void BM_PageMixAndFree(benchmark::State& state) {
    const auto& all = pages();
    for (auto _ : state) {
        for (const auto& p : all) {
            auto doc = tavrel::wikitext::document::parse(p);
            benchmark::DoNotOptimize(doc.blocks.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * mix_bytes()));
}
BENCHMARK(BM_PageMixAndFree)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_PageMix)->Unit(benchmark::kMillisecond);

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t k = 0; k < n; ++k) out += s;
    return out;
}

// One hostile page of about state.range(0) bytes.
template <class Make>
void hostile(benchmark::State& state, Make make) {
    std::string text = make(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto doc = tavrel::wikitext::document::parse(text);
        benchmark::DoNotOptimize(doc.blocks.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_UnclosedBraces(benchmark::State& s) { hostile(s, [](std::size_t n) { return repeat("{{x ", n / 4); }); }
void BM_UnclosedLinks(benchmark::State& s) { hostile(s, [](std::size_t n) { return repeat("[[x\n", n / 4); }); }
void BM_UnclosedSpans(benchmark::State& s) { hostile(s, [](std::size_t n) { return repeat("<span>", n / 6) + "</span>"; }); }
void BM_DeepTemplates(benchmark::State& s) {
    hostile(s, [](std::size_t n) { return repeat("{{a|", n / 6) + repeat("}}", n / 6); });
}
void BM_ApostropheRuns(benchmark::State& s) { hostile(s, [](std::size_t n) { return repeat("'''a''", n / 6); }); }
// Unrelated markup before a paragraph: unclosed spans in one paragraph,
// stray openers in many, nested superscripts that fall back. Each input
// doubles from one argument to the next; the time should at most about
// double with it.
void BM_UnclosedSpanParagraph(benchmark::State& s) {
    hostile(s, [](std::size_t n) {
        std::string t;
        for (std::size_t k = 0; t.size() < n; ++k) t += "<span class=x>word " + std::to_string(k) + " lorem ipsum ";
        return t + "\n\n{{Infobox|a=1}} see [[Other page]].";
    });
}
void BM_StrayOpenerParagraphs(benchmark::State& s) {
    hostile(s, [](std::size_t n) {
        std::string t;
        for (std::size_t k = 0; t.size() < n; ++k)
            t += "Paragraph " + std::to_string(k) + " holds a stray {{ opener and a [[link]].\n\n";
        return t + "{{Infobox\n| name = X\n* item\n}}";
    });
}
void BM_NestedSupParagraphs(benchmark::State& s) {
    hostile(s, [](std::size_t n) {
        std::string nest = repeat("<sup>", 20) + "[[x]]" + repeat("</sup>", 20) + "\n\n";
        return repeat(nest, n / nest.size()) + "{{a}} [[b]]";
    });
}
void BM_DeepSupNest(benchmark::State& s) {
    hostile(s, [](std::size_t n) { return repeat("<sup>", n / 11) + "[[x]]" + repeat("</sup>", n / 11); });
}
// Calls whose names are no titles are read as text, and their insides as
// wikitext: nested thousands deep over many lines or on one line, and one
// after another across paragraphs.
void BM_NestedTextCallsOverLines(benchmark::State& s) {
    hostile(s, [](std::size_t n) { return repeat("{{ a\nb ", n / 9) + repeat(" }}", n / 9); });
}
void BM_NestedTextCallsOnOneLine(benchmark::State& s) {
    hostile(s, [](std::size_t n) { return repeat("{{ a [b] ", n / 12) + repeat(" }}", n / 12); });
}
void BM_TextCallsOverParagraphs(benchmark::State& s) {
    hostile(s, [](std::size_t n) { return repeat("Start {{ stray\n\n== Heading ==\n\nText }} end.\n\n", n / 46); });
}
BENCHMARK(BM_NestedTextCallsOverLines)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NestedTextCallsOnOneLine)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextCallsOverParagraphs)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnclosedSpanParagraph)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StrayOpenerParagraphs)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NestedSupParagraphs)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeepSupNest)->RangeMultiplier(2)->Range(1 << 14, 1 << 17)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnclosedBraces)->Arg(1 << 18)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnclosedLinks)->Arg(1 << 18)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnclosedSpans)->Arg(1 << 18)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeepTemplates)->Arg(1 << 18)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApostropheRuns)->Arg(1 << 18)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
