// Template roles and redirects, loaded once from the wiki metadata database.
//
// What the converter does with a template call depends on the role the wiki's
// editors gave the template (navigation box, citation, formatting wrapper...)
// and on the redirects between template pages. Both live in an SQLite file
// made by other tools. `TemplateRoles::open` reads the two tables in full,
// closes the file and keeps plain hash containers, so that a template call
// during conversion costs a few hash look-ups and no I/O. After `open`
// returns the value is never changed: many conversion threads read it at
// once without locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "corpuswright/error.hpp"

namespace corpuswright::roles {

// The namespace number of template pages.
inline constexpr std::int64_t kTemplateNamespace = 10;

// A page key: namespace number and canonical title ("Cite_web").
struct PageKey {
    std::int64_t ns = 0;
    std::string title;
    bool operator==(const PageKey&) const = default;
};

// A borrowed page key, so that look-ups need not allocate.
struct PageKeyView {
    std::int64_t ns = 0;
    std::string_view title;
};

// Hash and equality that accept owned and borrowed keys alike
// (heterogeneous look-up).
struct PageKeyHash {
    using is_transparent = void;
    std::size_t operator()(const PageKeyView& k) const noexcept {
        std::size_t h = std::hash<std::string_view>{}(k.title);
        return h ^ (static_cast<std::size_t>(k.ns) * 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2));
    }
    std::size_t operator()(const PageKey& k) const noexcept { return (*this)(PageKeyView{k.ns, k.title}); }
};
struct PageKeyEq {
    using is_transparent = void;
    static PageKeyView view(const PageKey& k) { return {k.ns, k.title}; }
    static PageKeyView view(const PageKeyView& k) { return k; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
        PageKeyView x = view(a), y = view(b);
        return x.ns == y.ns && x.title == y.title;
    }
};

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using TitleSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;
using RedirectMap = std::unordered_map<PageKey, PageKey, PageKeyHash, PageKeyEq>;

// The title normalisation of template names: the text is split at every
// space and underscore, empty pieces are dropped and the rest joined with
// "_"; then the first character is replaced by its full Unicode upper-case
// mapping ("ß" becomes "SS"). Other white space (tabs, no-break spaces)
// stays. An empty result stays empty. Thread-safe.
std::string wiki_title(std::string_view name);

struct TemplateRoles {
    // One entry per row of the `redirect` table: (namespace, title) to
    // (to_namespace, to_title). Of two rows with the same source the one
    // with the higher rowid wins, so the choice never depends on the order
    // SQLite happens to scan the table in.
    RedirectMap redirects;
    TitleSet remove;   // titles with at least one drop role (navigation, citation, ...)
    TitleSet unwrap;   // titles with the role "unwrap"
    TitleSet unwrap1;  // titles with the role "unwrap1"
    TitleSet ok;       // titles with the role "ok" (read by the dataset audit only)

    // Loads the database at `path`, opened read-only (never created, never
    // written), waiting up to 5 s while another connection holds a lock.
    // Returns the loaded roles, or an error whose outermost message is
    // "opening wiki metadata {path}" followed by what went wrong: SQLite's
    // own message (missing file, locked, missing table or column, not a
    // database) or a type error naming the table, row and column of a
    // value that is NULL or not of the expected storage class. Nothing of a
    // failed load survives; the file is closed before returning either way.
    static Result<TemplateRoles> open(std::string_view path);

    // The same with a chosen busy timeout in milliseconds (tests use a short
    // one to see a locked database fail without waiting).
    static Result<TemplateRoles> open(std::string_view path, int busy_timeout_ms);

    // The canonical (namespace, title) of a template name as written in a
    // call: trimmed of White_Space, one leading "Template:" (any letter
    // case) dropped, normalised by `wiki_title`, taken in namespace 10, then
    // redirects followed until a key has no redirect or a key comes round a
    // second time (a cycle stops where the walk entered it). Never fails;
    // never changes the value; safe from many threads.
    PageKey resolve(std::string_view name) const;
};

}  // namespace corpuswright::roles
