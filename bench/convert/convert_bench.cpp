// Pages per second of a whole page conversion on one thread: the wikitext
// reader, the clean-up with template roles, the back-matter cut and the
// Markdown writer, as `quillmd` and the article stage run them per page.
//
// The synthetic pages carry what real articles carry in roughly real
// proportions: prose with links and emphasis, references, navigation and
// citation templates to remove, wrappers to unwrap, values with units,
// conversions and fractions to rebuild, unknown templates to keep, images and
// categories to drop, and back-matter sections at the end. The roles hold a
// few thousand titles and redirects so look-ups hit realistically sized
// tables. A second benchmark times the conversion alone, without writing.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "corpuswright/convert.hpp"
#include "tavrel/write_md.hpp"

namespace {

using corpuswright::roles::PageKey;
using corpuswright::roles::TemplateRoles;

TemplateRoles synthetic_roles() {
    TemplateRoles roles;
    for (int i = 0; i < 2000; ++i) {
        roles.remove.insert("Navbox_" + std::to_string(i));
        roles.unwrap.insert("Wrap_" + std::to_string(i));
        roles.redirects.insert_or_assign(PageKey{10, "Nav_" + std::to_string(i)},
                                         PageKey{10, "Navbox_" + std::to_string(i)});
    }
    roles.remove.insert("Reflist");
    roles.unwrap1.insert("Keep_first");
    return roles;
}

std::string synthetic_page(std::mt19937& rng, int sections) {
    static const char* words[] = {"the",     "river",   "valley", "caf\xC3\xA9", "north", "1887",
                                  "station", "railway", "under",  "bridge",      "town",  "\xE6\x97\xA5\xE6\x9C\xAC"};
    auto word = [&] { return std::string(words[rng() % std::size(words)]); };
    auto num = [&] { return std::to_string(rng() % 1000); };
    auto sentence = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) {
            if (i) s += ' ';
            switch (rng() % 40) {
                case 0: s += "''" + word() + "''"; break;
                case 1: s += "'''" + word() + "'''"; break;
                case 2:
                case 3: s += "[[" + word() + "|" + word() + "]]"; break;
                case 4: s += "<ref>{{cite web|url=http://x.org|title=" + word() + "}}</ref>"; break;
                case 5: s += "{{val|" + num() + "." + num() + "|0.5|u=m}}"; break;
                case 6: s += "{{convert|" + num() + "|km|mi}}"; break;
                case 7: s += "{{frac|1|" + num() + "}}"; break;
                case 8: s += "{{nowrap|" + word() + " " + word() + "}}"; break;
                case 9: s += "{{Wrap_" + num() + "|" + word() + "|" + word() + "}}"; break;
                case 10: s += "{{cn|date=May 2020}}"; break;
                case 11: s += "{{lang|fr|" + word() + "}}"; break;
                case 12: s += "{{Unknown " + num() + "|" + word() + "}}"; break;
                case 13: s += "[[#History|" + word() + "]]"; break;
                case 14: s += "{{ndash}}"; break;
                default: s += word();
            }
        }
        return s + ". ";
    };
    std::string page = "{{Short description|" + sentence(4) + "}}\n{{Infobox settlement|name=" + word() +
                       "|population=" + num() + "}}\n" + sentence(30) + "\n\n";
    for (int k = 0; k < sections; ++k) {
        page += "== Section " + std::to_string(k) + " ==\n";
        page += "[[File:Photo" + num() + ".jpg|thumb|" + sentence(6) + "]]\n";
        for (int p = 0; p < 3; ++p) page += sentence(25) + sentence(20) + "\n\n";
        page += "* " + sentence(8) + "\n** " + sentence(6) + "\n# " + sentence(5) + "\n";
        if (k % 2 == 0) {
            page += "{| class=\"wikitable\"\n! A !! B\n|-\n| " + word() + " || {{val|" + num() + "}}\n|-\n| " +
                    word() + " || 3\n|}\n";
        }
        page += "=== Sub ===\n" + sentence(40) + "\n\n";
    }
    page += "== See also ==\n* [[" + word() + "]]\n\n== References ==\n{{Reflist}}\n\n";
    page += "== External links ==\n* [http://example.org " + word() + "]\n\n";
    page += "{{Nav_" + num() + "}}\n[[Category:" + word() + "]]\n";
    return page;
}

struct Corpus {
    std::vector<std::string> pages;
    std::size_t bytes = 0;
};

Corpus corpus() {
    std::mt19937 rng(4242);
    Corpus c;
    for (int i = 0; i < 300; ++i) {
        c.pages.push_back(synthetic_page(rng, 1 + i % 8));
        c.bytes += c.pages.back().size();
    }
    return c;
}

void BM_ConvertAndRender(benchmark::State& state) {
    const TemplateRoles roles = synthetic_roles();
    const Corpus c = corpus();
    std::size_t converted = 0;
    for (auto _ : state) {
        for (const std::string& page : c.pages) {
            auto r = corpuswright::convert_document(page, roles);
            if (r) {
                ++converted;
                benchmark::DoNotOptimize(tavrel::write_md::render_md(r->document));
            }
        }
    }
    if (converted == 0) state.SkipWithError("no page was converted");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations() * c.pages.size()),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConvertAndRender)->Unit(benchmark::kMillisecond);

void BM_ConvertOnly(benchmark::State& state) {
    const TemplateRoles roles = synthetic_roles();
    const Corpus c = corpus();
    for (auto _ : state) {
        for (const std::string& page : c.pages) benchmark::DoNotOptimize(corpuswright::convert_document(page, roles));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations() * c.pages.size()),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConvertOnly)->Unit(benchmark::kMillisecond);

// Hostile pages through the whole conversion, the size doubling from one
// argument to the next: the time must grow about as the size does (at most
// about 2.5 times per doubling). A paragraph of prose comes first so that
// every page is long enough to be converted.
std::string hostile_page(std::string_view shape, std::size_t n) {
    std::string page = "A first paragraph of ordinary prose, long enough for the page to count as an article.\n\n";
    std::size_t target = page.size() + n;
    if (shape == "apostrophes") {
        page.append(n, '\'');
    } else if (shape == "nested") {
        // Bold and italic opened together k times, then closed k times.
        std::size_t k = n / 10;
        for (std::size_t i = 0; i < k; ++i) page += "'''''";
        page += 'x';
        for (std::size_t i = 0; i < k; ++i) page += "'''''";
    } else {
        // A block template with many distinct named arguments.
        page += "{{" + std::string(shape);
        for (std::size_t i = 0; page.size() < target; ++i) page += "|k" + std::to_string(i) + "=v";
        page += "}}\n\nA closing paragraph.";
    }
    return page;
}

void hostile_conversion(benchmark::State& state, std::string_view shape) {
    TemplateRoles roles;
    roles.remove.insert("Removed");
    roles.unwrap.insert("Unwrapped");
    roles.unwrap1.insert("First_only");
    const std::string page = hostile_page(shape, static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto r = corpuswright::convert_document(page, roles);
        if (!r) {
            state.SkipWithError("the page was not converted");
            return;
        }
        benchmark::DoNotOptimize(tavrel::write_md::render_md(r->document));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

void BM_HostileApostropheRun(benchmark::State& s) { hostile_conversion(s, "apostrophes"); }
void BM_HostileNestedBoldItalic(benchmark::State& s) { hostile_conversion(s, "nested"); }
void BM_HostileNamedArgsKept(benchmark::State& s) { hostile_conversion(s, "Kept"); }
void BM_HostileNamedArgsRemoved(benchmark::State& s) { hostile_conversion(s, "Removed"); }
void BM_HostileNamedArgsUnwrapped(benchmark::State& s) { hostile_conversion(s, "Unwrapped"); }
void BM_HostileNamedArgsFirstOnly(benchmark::State& s) { hostile_conversion(s, "First only"); }
BENCHMARK(BM_HostileApostropheRun)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileNestedBoldItalic)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileNamedArgsKept)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileNamedArgsRemoved)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileNamedArgsUnwrapped)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileNamedArgsFirstOnly)->RangeMultiplier(2)->Range(1 << 17, 1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
