// Built-in number, unit and fraction templates: {{val}}, {{convert}} /
// {{cvt}} and {{frac}} / {{sfrac}}.
//
// These carry numbers a reader of the text needs, so they are rebuilt from
// their arguments as plain text (with the typographic characters the wiki
// would show: U+00B1 plus-minus, U+00D7 times, U+2013 en dash, U+202F narrow
// no-break space before a unit) or as TeX where the number needs layout (an
// exponent, an asymmetric uncertainty). Each gives nothing as soon as the
// call uses an argument it does not understand; the caller then keeps the
// call unexpanded instead of writing a half-understood number.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "../roles/case.hpp"
#include "corpuswright/cleanup.hpp"

namespace corpuswright::cleanup {
namespace {

using namespace tavrel::ast;

constexpr std::string_view kMinusSign = "\u2212";
constexpr std::string_view kEnDash = "\u2013";
constexpr std::string_view kNarrowNbsp = "\u202f";
constexpr std::string_view kPlusMinus = "\u00b1";
constexpr std::string_view kTimes = "\u00d7";

template <std::size_t N>
bool keys_within(const Args& a, const std::array<std::string_view, N>& allowed) {
    for (const auto& [k, v] : a.by_name)
        if (std::find(allowed.begin(), allowed.end(), k) == allowed.end()) return false;
    return true;
}

bool any_empty(const std::vector<std::string>& vals) {
    return std::any_of(vals.begin(), vals.end(), [](const std::string& v) { return v.empty(); });
}

}  // namespace

bool number(std::string_view s) {
    if (s.starts_with("+") || s.starts_with("-"))
        s.remove_prefix(1);
    else if (s.starts_with(kMinusSign))
        s.remove_prefix(kMinusSign.size());
    if (s.empty()) return false;
    bool digit = false;
    int dots = 0;
    for (char c : s) {
        if (c >= '0' && c <= '9')
            digit = true;
        else if (c == '.')
            ++dots;
        else if (c != ',')
            return false;
    }
    return digit && dots <= 1;
}

std::optional<Inlines> val(const Args& a) {
    static constexpr std::array<std::string_view, 6> kKeys = {"u", "ul", "up", "upl", "e", "fmt"};
    if (!keys_within(a, kKeys)) return std::nullopt;
    std::optional<std::vector<std::string>> vals = values(a.positional);
    if (!vals || vals->empty() || any_empty(*vals)) return std::nullopt;
    if ((a.find("u") && a.find("ul")) || (a.find("up") && a.find("upl"))) return std::nullopt;

    std::string unit = named(a, "u").value_or(named(a, "ul").value_or(""));
    std::string per = named(a, "up").value_or(named(a, "upl").value_or(""));
    std::string suffix;
    if (!unit.empty() && !per.empty())
        suffix = unit + "/" + per;
    else if (!unit.empty())
        suffix = unit;
    else if (!per.empty())
        suffix = "/" + per;

    const std::vector<std::string>& v = *vals;
    Inlines out;
    if (std::optional<std::string> e = named(a, "e")) {
        if (v.size() != 1 || !number(v[0]) || !number(*e)) return std::nullopt;
        out = math(v[0] + " \\times 10^{" + *e + "}");
    } else if (v.size() == 1) {
        out = text(v[0]);
    } else if (v.size() == 2) {
        const std::string &x = v[0], &u = v[1];
        if (number(x) && number(u))
            out = text(x + " " + std::string(kPlusMinus) + " " + u);
        else if (u.starts_with("(") && u.ends_with(")"))
            out = text(x + u);
        else
            return std::nullopt;
    } else if (v.size() == 3) {
        const std::string &x = v[0], &op = v[1], &y = v[2];
        if (op == "/" || op == kTimes)
            out = text(x + " " + op + " " + y);
        else if (op == "to")
            out = text(x + std::string(kEnDash) + y);
        else if (op.starts_with("+") && y.starts_with("-") && number(x) && number(op) && number(y))
            out = math(x + "^{" + op + "}_{" + y + "}");
        else
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (!suffix.empty()) out.emplace_back(Text{" " + suffix});
    return out;
}

std::optional<Inlines> convert(const Args& a) {
    static constexpr std::array<std::string_view, 10> kKeys = {"lk",    "sp",    "adj",    "abbr", "disp",
                                                               "flip",  "order", "round", "sigfig", "spelling"};
    if (!keys_within(a, kKeys)) return std::nullopt;
    std::optional<std::vector<std::string>> vals = values(a.positional);
    if (!vals || vals->size() < 2) return std::nullopt;
    const std::vector<std::string>& v = *vals;
    if (v.size() >= 4) {
        std::string join = casemap::lower(v[1]);
        if ((join == "-" || join == "to" || join == kEnDash) && number(v[0]) && number(v[2]) && !v[3].empty())
            return text(v[0] + std::string(kEnDash) + v[2] + std::string(kNarrowNbsp) + v[3]);
    }
    if (number(v[0]) && !v[1].empty()) return text(v[0] + std::string(kNarrowNbsp) + v[1]);
    return std::nullopt;
}

std::optional<Inlines> frac(const Args& a) {
    if (!a.by_name.empty() || a.positional.empty() || a.positional.size() > 3) return std::nullopt;
    std::optional<std::vector<std::string>> vals = values(a.positional);
    if (!vals || any_empty(*vals)) return std::nullopt;
    const std::vector<std::string>& v = *vals;
    if (v.size() == 1) return text("1/" + v[0]);
    if (v.size() == 2) return text(v[0] + "/" + v[1]);
    return text(v[0] + " " + v[1] + "/" + v[2]);
}

}  // namespace corpuswright::cleanup
