// md-roundtrip: reads Markdown texts, parses each with the reader options the
// dataset's chunk stage uses, writes the tree again and reports whether the
// text came back unchanged.
//
// Usage: md-roundtrip [--tree] FILE...
//        md-roundtrip [--tree] --corpus N
//        md-roundtrip [--tree] --hazards N
// A FILE ending in ".jsonl" holds one JSON object per line whose "md" field
// is one text; any other FILE is one text. With --corpus, N synthetic
// wikitext pages go through page conversion (no template roles) and the
// Markdown of each is checked; --hazards does the same with pages that mix
// in every inline hazard (words that are Markdown marks, broken template
// calls, raw wikitext spans). Prints one line per text that
// does not hold (its name and first differing line) and a final count;
// exits 1 when any text failed. With --tree, also dumps the tree of every
// failing text.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <simdjson.h>

#include "../markdown/hazard_pages.hpp"
#include "../markdown/synthetic_pages.hpp"
#include "corpuswright/convert.hpp"
#include "tavrel/markdown.hpp"
#include "tavrel/write_md.hpp"

namespace {

std::string first_difference(const std::string& a, const std::string& b) {
    std::istringstream sa(a), sb(b);
    std::string la, lb;
    for (int n = 1;; ++n) {
        bool ga = static_cast<bool>(std::getline(sa, la));
        bool gb = static_cast<bool>(std::getline(sb, lb));
        if (!ga && !gb) return "texts differ only in their line ends";
        if (!ga || !gb || la != lb)
            return "line " + std::to_string(n) + ": expected [" + (ga ? la : "<end>") + "] got [" +
                   (gb ? lb : "<end>") + "]";
    }
}

struct Tally {
    std::size_t held = 0;
    std::size_t failed = 0;
};

void check(const std::string& name, const std::string& md, bool tree, Tally& tally) {
    auto doc = tavrel::block::parse_source(md, tavrel::Options::dataset());
    std::string again = tavrel::write_md::render_md(doc);
    if (again == md) {
        ++tally.held;
        return;
    }
    ++tally.failed;
    std::cout << name << ": " << first_difference(md, again) << "\n";
    if (tree) std::cout << tavrel::ast::debug_string(doc) << "\n";
}

bool read_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool tree = false;
    long corpus = -1;
    long hazards = -1;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--tree") {
            tree = true;
        } else if (a == "--corpus" && i + 1 < argc) {
            corpus = std::stol(argv[++i]);
        } else if (a == "--hazards" && i + 1 < argc) {
            hazards = std::stol(argv[++i]);
        } else {
            files.push_back(a);
        }
    }
    if (files.empty() && corpus < 0 && hazards < 0) {
        std::cerr << "usage: md-roundtrip [--tree] FILE... | --corpus N | --hazards N\n";
        return 2;
    }
    Tally tally;
    if (corpus >= 0) {
        corpuswright::roles::TemplateRoles roles;
        for (long seed = 1; seed <= corpus; ++seed) {
            synthetic::Pages gen(static_cast<std::uint32_t>(seed));
            auto converted = corpuswright::convert_document(gen.page(), roles);
            if (!converted) continue;
            check("page " + std::to_string(seed), tavrel::write_md::render_md(converted->document), tree, tally);
        }
    }
    if (hazards >= 0) {
        corpuswright::roles::TemplateRoles roles;
        for (long seed = 1; seed <= hazards; ++seed) {
            synthetic::HazardPages gen(static_cast<std::uint32_t>(seed), true);
            auto converted = corpuswright::convert_document(gen.page(), roles);
            if (!converted) continue;
            check("hazard page " + std::to_string(seed), tavrel::write_md::render_md(converted->document), tree, tally);
        }
    }
    for (const auto& path : files) {
        std::string content;
        if (!read_file(path, content)) {
            std::cerr << "cannot read " << path << "\n";
            return 2;
        }
        if (!path.ends_with(".jsonl")) {
            check(path, content, tree, tally);
            continue;
        }
        simdjson::ondemand::parser parser;
        std::istringstream lines(content);
        std::string line;
        std::size_t n = 0;
        while (std::getline(lines, line)) {
            ++n;
            if (line.empty()) continue;
            simdjson::padded_string padded(line);
            auto doc = parser.iterate(padded);
            std::string_view md;
            if (doc.error() || doc["md"].get_string().get(md)) {
                std::cerr << path << ":" << n << ": no \"md\" string\n";
                continue;
            }
            check(path + ":" + std::to_string(n), std::string(md), tree, tally);
        }
    }
    std::cout << tally.held << " of " << (tally.held + tally.failed) << " texts read back unchanged\n";
    return tally.failed == 0 ? 0 : 1;
}
