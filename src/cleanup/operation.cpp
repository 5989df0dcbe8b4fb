// Template call rules: what one template call, parser function or module
// call becomes in the converted page.
//
// `operation` tries its rules in a fixed order and the first that produces a
// result wins: tag functions ({{#tag:math|...}}), magic words that format a
// number, removal by key (sort keys, display titles, infoboxes and a fixed
// list of citation and maintenance templates that wikis do not always tag
// with a role), built-in templates whose result is computed from the
// arguments, language and small text templates, and finally the template's
// role from the metadata database. Inconsistent arguments (a position given
// twice, a key given twice) keep the call: guessing which value the author
// meant would put wrong text into the corpus.
#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "../roles/case.hpp"
#include "corpuswright/cleanup.hpp"
#include "tavrel/text.hpp"

namespace corpuswright::cleanup {
namespace {

using namespace tavrel::ast;

// Keys that always disappear, whatever the roles database says.
constexpr std::array<std::string_view, 38> kRemovalList = {
    "sfn", "sfnm", "efn", "rp", "bots", "representative", "cn", "cite", "clear", "citation needed",
    "good article", "primary inline", "cite journal", "cite web", "cite book", "short description",
    "birth date", "death date", "pp-semi", "toc limit", "stack end", "cs1 config", "infobox",
    "infobox grapheme", "pp", "pp-move", "use article", "see below", "respell", "etymology", "webarchive",
    "div col", "div col end", "use mdy dates", "use dmy dates", "use american english", "use british english",
    "monththisyear"};

constexpr std::array<std::string_view, 14> kWrappers = {
    "nobr", "nowrap", "nowraplinks", "small", "smaller", "big", "large", "larger", "midsize", "nobold", "noitalic",
    "left", "center", "right"};

template <std::size_t N>
bool one_of(std::string_view key, const std::array<std::string_view, N>& list) {
    return std::find(list.begin(), list.end(), key) != list.end();
}

bool removed_by_key(std::string_view key) {
    return key.starts_with("defaultsort:") || key.starts_with("defaultcategorysort:") ||
           key.starts_with("displaytitle:") || key.starts_with("infobox ") || key.starts_with("infobox/") ||
           key == "infobox" || one_of(key, kRemovalList);
}

// The matching key of a template: "_" read as a space, lower-cased.
std::string template_key(std::string_view title) {
    std::string s(title);
    std::replace(s.begin(), s.end(), '_', ' ');
    return casemap::lower(s);
}

// A decimal argument position: an optional "+", then ASCII digits, the whole
// fitting in 64 bits.
std::optional<std::uint64_t> position(std::string_view key) {
    if (key.starts_with("+")) key.remove_prefix(1);
    if (key.empty()) return std::nullopt;
    for (char c : key)
        if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t n = 0;
    auto [ptr, ec] = std::from_chars(key.data(), key.data() + key.size(), n);
    if (ec != std::errc() || ptr != key.data() + key.size()) return std::nullopt;
    return n;
}

std::string trimmed_plain(const Inlines& inlines) { return std::string(tavrel::text::trim(plain(inlines))); }

Inlines keep(Operation&& call) {
    Inlines out;
    out.emplace_back(std::move(call));
    return out;
}

// A lang-xx key: "lang-" and then ASCII letters, digits and "-" only.
bool language_key(std::string_view key) {
    if (!key.starts_with("lang-")) return false;
    for (char c : key.substr(5)) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok) return false;
    }
    return true;
}

// {{#tag:name|...}}: math, span and references by tag name; any other tag
// is kept.
Inlines tag_call(Operation&& call) {
    std::optional<Args> a = args(call.args);
    if (!a) return keep(std::move(call));
    std::optional<std::vector<std::string>> vals = values(a->positional);
    if (!vals || vals->empty()) return keep(std::move(call));
    std::string tag = casemap::lower((*vals)[0]);
    if (tag == "math") {
        if (vals->size() != 2 || !only_named(*a, "display")) return keep(std::move(call));
        Math m;
        m.tex = (*vals)[1];
        std::optional<std::string> display = named(*a, "display");
        m.display = display && casemap::equals_ascii_ci(*display, "block");
        Inlines out;
        out.emplace_back(std::move(m));
        return out;
    }
    if (tag == "span") {
        if (a->positional.size() != 2) return keep(std::move(call));
        return *a->positional[1];
    }
    if (tag == "ref" || tag == "references") return {};
    return keep(std::move(call));
}

// Built-in templates by key. Absent means the rule does not apply and the
// next rule is tried; a present result may itself be the kept call.
std::optional<Inlines> builtin(std::string_view key, Args& a, Operation& call) {
    if (key == "\u2022") return text("\u00a0\u2022 ");
    if (key == "en dash" || key == "ndash") return text("\u2013");
    if (key == "em dash" || key == "mdash") return text("\u2014");
    if (key == "val") {
        if (auto r = val(a)) return r;
        return keep(std::move(call));
    }
    if (key == "cvt" || key == "convert") {
        if (auto r = convert(a)) return r;
        return keep(std::move(call));
    }
    if (key == "frac" || key == "sfrac") {
        if (auto r = frac(a)) return r;
        return keep(std::move(call));
    }
    if (key == "yes" || key == "no") {
        if (!a.positional.empty() && a.positional[0]) return *a.positional[0];
        return text(key == "yes" ? "Yes" : "No");
    }
    if (key == "chem2") {
        if (!only_named(a, "link") || a.positional.size() != 1) return std::nullopt;
        if (!a.positional[0]) return keep(std::move(call));
        return *a.positional[0];
    }
    if (key == "anchor") {
        if (auto r = anchors(a)) return r;
        return keep(std::move(call));
    }
    if (one_of(key, kWrappers)) {
        if (!a.by_name.empty() || a.positional.size() > 1) return std::nullopt;
        if (a.positional.empty() || !a.positional[0]) return Inlines{};
        return *a.positional[0];
    }
    return std::nullopt;
}

// The role rule: the values of all arguments, in the order written, with a
// "|" between non-empty ones.
Inlines unwrap_all(Operation&& call) {
    // Sized once: a call of thousands of arguments would otherwise move its
    // nodes over and over as the list grows.
    std::size_t count = 0;
    for (const OperationArg& arg : call.args) count += arg.value.empty() ? 0 : arg.value.size() + 1;
    Inlines out;
    out.reserve(count);
    for (OperationArg& arg : call.args) {
        if (arg.value.empty()) continue;
        if (!out.empty()) out.emplace_back(Text{"|"});
        for (Inline& in : arg.value) out.push_back(std::move(in));
    }
    return out;
}

// A key given twice. A call may carry thousands of named arguments (a large
// navigation box or data template), so past a few they are compared in
// a hash set rather than each against all before it.
bool repeated_key(const std::vector<std::pair<std::string, const Inlines*>>& by_name) {
    constexpr std::size_t kPairwise = 8;
    if (by_name.size() <= kPairwise) {
        for (std::size_t i = 1; i < by_name.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (by_name[i].first == by_name[j].first) return true;
        return false;
    }
    std::unordered_set<std::string_view> keys;
    keys.reserve(by_name.size());
    for (const auto& entry : by_name)
        if (!keys.insert(entry.first).second) return true;
    return false;
}

}  // namespace

const Inlines* Args::find(std::string_view key) const {
    for (const auto& [k, v] : by_name)
        if (k == key) return v;
    return nullptr;
}

std::optional<Args> args(const std::vector<OperationArg>& arguments) {
    Args a;
    for (const OperationArg& arg : arguments) {
        std::string key = arg.name ? casemap::lower(tavrel::text::trim(*arg.name)) : std::string();
        if (key.empty()) {
            a.positional.push_back(&arg.value);
            continue;
        }
        if (std::optional<std::uint64_t> n = position(key)) {
            if (*n == 0 || *n > arguments.size()) return std::nullopt;
            if (a.positional.size() < *n) a.positional.resize(*n, nullptr);
            const Inlines*& slot = a.positional[*n - 1];
            if (slot) return std::nullopt;
            slot = &arg.value;
            continue;
        }
        a.by_name.emplace_back(std::move(key), &arg.value);
    }
    if (repeated_key(a.by_name)) return std::nullopt;
    return a;
}

std::optional<std::vector<std::string>> values(const std::vector<const Inlines*>& positional) {
    std::vector<std::string> out;
    out.reserve(positional.size());
    for (const Inlines* entry : positional) {
        if (!entry) return std::nullopt;
        out.push_back(trimmed_plain(*entry));
    }
    return out;
}

std::optional<std::string> named(const Args& args, std::string_view key) {
    const Inlines* v = args.find(key);
    if (!v) return std::nullopt;
    return trimmed_plain(*v);
}

bool only_named(const Args& args, std::string_view key) {
    for (const auto& [k, v] : args.by_name)
        if (k != key) return false;
    return true;
}

Inlines text(std::string s) {
    Inlines out;
    out.emplace_back(Text{std::move(s)});
    return out;
}

Inlines math(std::string s) {
    Math m;
    m.tex = std::move(s);
    Inlines out;
    out.emplace_back(std::move(m));
    return out;
}

std::optional<Inlines> anchors(const Args& args) {
    if (!args.by_name.empty() || args.positional.empty()) return std::nullopt;
    std::optional<std::vector<std::string>> vals = values(args.positional);
    if (!vals) return std::nullopt;
    Inlines out;
    for (const std::string& v : *vals) {
        if (v.empty()) return std::nullopt;
        std::string id;
        tavrel::text::for_each_white_space_piece(v, [&](std::string_view word) {
            if (!id.empty()) id.push_back('_');
            id.append(word);
        });
        Span span;
        span.attr.id = std::move(id);
        out.emplace_back(std::move(span));
    }
    return out;
}

std::optional<Inlines> handler(std::string_view key, const std::vector<const Inlines*>& positional) {
    std::optional<std::vector<std::string>> vals = values(positional);
    if (!vals) return std::nullopt;
    const std::vector<std::string>& v = *vals;
    std::string first = v.empty() ? std::string() : v.front();
    std::string last = v.empty() ? std::string() : v.back();
    if (key == "cx" || key == "ill" || key == "angbr") return text(first);
    if (key == "gph") return text("|" + first + "|");
    if (key == "circa") return text("c. " + first);
    if (key == "ipaslink") return text("IPAS: " + first);
    if (key == "ipac-en") {
        std::string s = "IPAC: ";
        for (const std::string& x : v) s += x;
        return text(std::move(s));
    }
    if (key == "coord") {
        std::string s;
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) s.push_back(' ');
            s += v[i];
        }
        return text(std::move(s));
    }
    if (key == "lang" || key == "langx" || key == "transliteration") return text(last);
    if (key == "tlit") return text(v.size() >= 2 && !v[1].empty() ? v[1] : first);
    if (key == "nbsp") return text("\u00a0");
    return std::nullopt;
}

Inlines operation(Operation call, const roles::TemplateRoles& roles) {
    if (call.system != "mediawiki") return keep(std::move(call));
    if (call.kind == "function" && casemap::equals_ascii_ci(call.name, "tag")) return tag_call(std::move(call));
    if (call.kind != "transclude") return keep(std::move(call));

    std::string_view n = tavrel::text::trim(call.name);
    if (casemap::starts_with_ascii_ci(n, "formatnum:")) return text(std::string(tavrel::text::trim(n.substr(10))));

    // The key: a name that resolves inside the template namespace is matched
    // by its resolved title; one that redirects out of it (to an article) is
    // matched by its own name and has no role.
    roles::PageKey resolved = roles.resolve(n);
    const bool in_template_namespace = resolved.ns == roles::kTemplateNamespace;
    std::string key = template_key(in_template_namespace ? std::string_view(resolved.title) : n);

    if (removed_by_key(key)) return {};

    std::optional<Args> a = args(call.args);
    if (!a) return keep(std::move(call));

    if (std::optional<Inlines> r = builtin(key, *a, call)) return std::move(*r);

    if (language_key(key) && only_named(*a, "links") && a->positional.size() == 1) {
        if (!a->positional[0]) return keep(std::move(call));
        return *a->positional[0];
    }

    static constexpr std::array<std::string_view, 13> kHandlers = {
        "cx", "ill", "angbr", "gph", "circa", "ipaslink", "ipac-en", "coord", "lang", "langx", "transliteration", "tlit",
        "nbsp"};
    if (one_of(key, kHandlers)) {
        if (std::optional<Inlines> r = handler(key, a->positional)) return std::move(*r);
        return keep(std::move(call));
    }

    // The role decides last. It is looked up only now, since every rule above
    // wins over it: remove, then unwrap, then unwrap1.
    if (!in_template_namespace) return keep(std::move(call));
    if (roles.remove.contains(resolved.title)) return {};
    if (roles.unwrap.contains(resolved.title)) return unwrap_all(std::move(call));
    if (roles.unwrap1.contains(resolved.title)) {
        if (a->positional.empty() || !a->positional[0]) return {};
        return *a->positional[0];
    }
    return keep(std::move(call));
}

}  // namespace corpuswright::cleanup
