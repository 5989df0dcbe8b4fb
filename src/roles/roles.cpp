// Loading template roles and redirects from the metadata database, and
// resolving a template name to its canonical page.
//
// The loader reads both tables in full with a handful of statements and keeps
// nothing open: a `TemplateRoles` is plain hash containers. Every value read
// is checked for its storage class and for valid UTF-8 before it is kept, so
// a producer's mistake (a NULL title, a number where a title belongs) fails
// the load with a message naming the file, the table and the column instead
// of turning silently into an empty title. Every failure is wrapped in the
// context "opening wiki metadata {path}" so the user always learns which
// file was at fault.
#include "corpuswright/roles.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <string>
#include <utility>
#include <vector>

#include "case.hpp"
#include "corpuswright/call_paths.hpp"
#include "tavrel/text.hpp"

namespace corpuswright::roles {
namespace {

constexpr int kBusyTimeoutMs = 5000;

// The nine roles whose templates are dropped from the text, bound as the
// parameters of the drop-role statement in this order.
constexpr const char* kDropRoles[] = {"hatnote",     "navigation",     "sidebar",       "infobox",  "citation",
                                      "maintenance", "sister_project", "external_link", "authority"};

bool valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        tavrel::text::Decoded d = tavrel::text::decode_utf8(s, i);
        if (d.cp == 0xFFFD && d.len == 1) return false;
        i += d.len;
    }
    return true;
}

// The path as it is shown in messages: its bytes as UTF-8, any byte that is
// not part of a valid sequence shown as U+FFFD.
std::string display_path(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size();) {
        tavrel::text::Decoded d = tavrel::text::decode_utf8(path, i);
        if (d.cp == 0xFFFD && d.len == 1)
            tavrel::text::append_utf8(out, 0xFFFD);
        else
            out.append(path.substr(i, d.len));
        i += d.len;
    }
    return out;
}

const char* storage_class_name(int type) {
    switch (type) {
        case SQLITE_INTEGER: return "an integer";
        case SQLITE_FLOAT: return "a real number";
        case SQLITE_TEXT: return "text";
        case SQLITE_BLOB: return "a blob";
        default: return "NULL";
    }
}

// Owns a connection; closes it on every path out of the loader.
struct Connection {
    sqlite3* db = nullptr;
    ~Connection() { sqlite3_close(db); }  // null is a harmless no-op
    Error error() const {
        if (db == nullptr) return Error("out of memory", ErrorKind::OutOfMemory);
        return Error(sqlite3_errmsg(db), sqlite3_errcode(db) == SQLITE_NOMEM ? ErrorKind::OutOfMemory : ErrorKind::Database);
    }
};

// Owns a prepared statement; finalises it on every path.
struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

Result<void> prepare(const Connection& c, const char* sql, Statement& out) {
    if (sqlite3_prepare_v2(c.db, sql, -1, &out.stmt, nullptr) != SQLITE_OK) return c.error();
    return Ok{};
}

// Where a row came from, for the messages of type errors.
struct RowPlace {
    bool has_rowid;
    std::int64_t rowid;
    std::uint64_t ordinal;
};

std::string describe(const RowPlace& at) {
    std::string s = "row ";
    if (at.has_rowid) {
        s += "with rowid " + std::to_string(at.rowid);
    } else {
        s += std::to_string(at.ordinal);
    }
    return s;
}

Error type_error(const RowPlace& at, const char* column, int type, const char* expected) {
    std::string msg = describe(at) + ": column " + column + " holds " + storage_class_name(type) + " where " +
                      expected + " is expected";
    return Error(std::move(msg), ErrorKind::Type);
}

Result<std::int64_t> column_integer(sqlite3_stmt* st, int i, const RowPlace& at, const char* column) {
    int type = sqlite3_column_type(st, i);
    if (type != SQLITE_INTEGER) return type_error(at, column, type, "an integer");
    return static_cast<std::int64_t>(sqlite3_column_int64(st, i));
}

Result<std::string> column_text(sqlite3_stmt* st, int i, const RowPlace& at, const char* column) {
    int type = sqlite3_column_type(st, i);
    if (type != SQLITE_TEXT) return type_error(at, column, type, "text");
    const unsigned char* p = sqlite3_column_text(st, i);
    int n = sqlite3_column_bytes(st, i);
    std::string s(reinterpret_cast<const char*>(p), p ? static_cast<std::size_t>(n) : 0);
    if (!valid_utf8(s)) {
        return Error(describe(at) + ": column " + column + " holds text that is not valid UTF-8", ErrorKind::Type);
    }
    return s;
}

// Steps a statement to its end, calling `row(stmt, place)` for every row; the
// first error (of SQLite or of `row`) ends the walk.
template <class F>
Result<void> each_row(const Connection& c, sqlite3_stmt* st, bool first_is_rowid, F&& row) {
    std::uint64_t ordinal = 0;
    for (;;) {
        int rc = sqlite3_step(st);
        if (rc == SQLITE_DONE) return Ok{};
        if (rc != SQLITE_ROW) return c.error();
        ++ordinal;
        RowPlace at{first_is_rowid, first_is_rowid ? static_cast<std::int64_t>(sqlite3_column_int64(st, 0)) : 0,
                    ordinal};
        CW_TRY(row(st, at));
    }
}

// Reads `redirect` in rowid order so that of two rows with one source the
// one inserted later (higher rowid) wins whatever plan SQLite picks. A
// WITHOUT ROWID table has no rowid; it is then read in its primary-key order,
// which is just as fixed.
Result<void> load_redirects(const Connection& c, RedirectMap& out) {
    // Size the map once: a wiki's redirect table runs to millions of rows,
    // and growing the map step by step rehashes every entry several times.
    // Its failures are the table's own (missing, locked), reported here so a
    // locked file is waited for once, not once per statement.
    {
        Statement count;
        CW_TRY(prepare(c, "SELECT count(*) FROM redirect", count));
        if (sqlite3_step(count.stmt) != SQLITE_ROW) return c.error();
        out.reserve(static_cast<std::size_t>(sqlite3_column_int64(count.stmt, 0)));
    }
    Statement st;
    bool with_rowid = true;
    if (!prepare(c, "SELECT rowid,namespace,title,to_namespace,to_title FROM redirect ORDER BY rowid", st).ok()) {
        with_rowid = false;
        CW_TRY(prepare(c, "SELECT namespace,title,to_namespace,to_title FROM redirect", st));
    }
    const int base = with_rowid ? 1 : 0;
    return each_row(c, st.stmt, with_rowid, [&](sqlite3_stmt* s, const RowPlace& at) -> Result<void> {
        CW_TRY_ASSIGN(std::int64_t ns, column_integer(s, base + 0, at, "namespace"));
        CW_TRY_ASSIGN(std::string title, column_text(s, base + 1, at, "title"));
        CW_TRY_ASSIGN(std::int64_t to_ns, column_integer(s, base + 2, at, "to_namespace"));
        CW_TRY_ASSIGN(std::string to_title, column_text(s, base + 3, at, "to_title"));
        out.insert_or_assign(PageKey{ns, std::move(title)}, PageKey{to_ns, std::move(to_title)});
        return Ok{};
    });
}

Result<void> load_titles(const Connection& c, Statement& st, TitleSet& out) {
    return each_row(c, st.stmt, false, [&](sqlite3_stmt* s, const RowPlace& at) -> Result<void> {
        CW_TRY_ASSIGN(std::string title, column_text(s, 0, at, "title"));
        out.insert(std::move(title));
        return Ok{};
    });
}

Result<void> load_role(const Connection& c, const char* sql, TitleSet& out) {
    Statement st;
    CW_TRY(prepare(c, sql, st));
    return load_titles(c, st, out);
}

Result<void> load_roles(const Connection& c, TemplateRoles& roles) {
    std::string sql = "SELECT DISTINCT title FROM template_role WHERE role IN (";
    for (std::size_t i = 0; i < std::size(kDropRoles); ++i) sql += i ? ",?" : "?";
    sql += ")";
    Statement drop;
    CW_TRY(prepare(c, sql.c_str(), drop));
    for (int i = 0; i < static_cast<int>(std::size(kDropRoles)); ++i) {
        if (sqlite3_bind_text(drop.stmt, i + 1, kDropRoles[i], -1, SQLITE_STATIC) != SQLITE_OK) return c.error();
    }
    CW_TRY(load_titles(c, drop, roles.remove));
    CW_TRY(load_role(c, "SELECT title FROM template_role WHERE role='unwrap'", roles.unwrap));
    CW_TRY(load_role(c, "SELECT title FROM template_role WHERE role='unwrap1'", roles.unwrap1));
    CW_TRY(load_role(c, "SELECT title FROM template_role WHERE role='ok'", roles.ok));
    return Ok{};
}

Result<TemplateRoles> load(std::string_view path, int busy_timeout_ms) {
    if (path.find('\0') != std::string_view::npos) {
        return Error("the path contains a NUL character", ErrorKind::Invalid);
    }
    std::string cpath = database_file_name(path);
    // SQLite opens a directory and fails at its first read with "disk I/O
    // error", which says nothing of the mistake.
    struct stat st {};
    if (::stat(cpath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return Error(std::string(std::strerror(EISDIR)) + " (os error " + std::to_string(EISDIR) + ")", ErrorKind::Io);
    }
    Connection c;
    if (sqlite3_open_v2(cpath.c_str(), &c.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return c.error();
    sqlite3_busy_timeout(c.db, busy_timeout_ms);

    TemplateRoles roles;
    CW_TRY(load_redirects(c, roles.redirects).context("reading table redirect"));
    CW_TRY(load_roles(c, roles).context("reading table template_role"));
    return roles;
}

}  // namespace

std::string wiki_title(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 2);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != ' ' && name[i] != '_') continue;
        std::string_view piece = name.substr(start, i - start);
        start = i + 1;
        if (piece.empty()) continue;
        if (out.empty()) {
            // The first character of the title takes its upper-case mapping.
            tavrel::text::Decoded first = tavrel::text::decode_utf8(piece, 0);
            casemap::append_upper(out, first.cp);
            out.append(piece.substr(first.len));
        } else {
            out.push_back('_');
            out.append(piece);
        }
    }
    return out;
}

Result<TemplateRoles> TemplateRoles::open(std::string_view path) { return open(path, kBusyTimeoutMs); }

Result<TemplateRoles> TemplateRoles::open(std::string_view path, int busy_timeout_ms) {
    return load(path, busy_timeout_ms).context("opening wiki metadata " + display_path(path));
}

PageKey TemplateRoles::resolve(std::string_view name) const {
    std::string_view n = tavrel::text::trim(name);
    // The full lower-case mapping of a non-ASCII character never begins with
    // one of the ASCII letters of "template:", so testing the prefix without
    // regard to ASCII case is the same as testing the lower-cased name.
    if (casemap::starts_with_ascii_ci(n, "template:")) n.remove_prefix(9);
    PageKey key{kTemplateNamespace, wiki_title(n)};

    auto it = redirects.find(PageKeyView{key.ns, key.title});
    if (it == redirects.end()) return key;

    // Follow the chain, remembering every key met: the walk stops at the
    // first key met twice, which is where it entered a cycle. The keys met
    // after the first are the map's own values, so the walk borrows them
    // instead of copying. Chains are short in practice and a linear scan
    // beats hashing; a long chain from a hostile table moves to a hash set so
    // the walk stays linear in its length.
    constexpr std::size_t kLinearLimit = 32;
    std::vector<PageKeyView> visited{PageKeyView{key.ns, key.title}};
    std::unordered_set<PageKeyView, PageKeyHash, PageKeyEq> many;
    for (;;) {
        const PageKey& next = it->second;
        PageKeyView nv{next.ns, next.title};
        bool seen = false;
        if (many.empty()) {
            for (const PageKeyView& v : visited) seen = seen || PageKeyEq{}(v, nv);
            if (!seen) {
                visited.push_back(nv);
                if (visited.size() > kLinearLimit) many.insert(visited.begin(), visited.end());
            }
        } else {
            seen = !many.insert(nv).second;
        }
        if (seen) return next;
        it = redirects.find(nv);
        if (it == redirects.end()) return next;
    }
}

}  // namespace corpuswright::roles
