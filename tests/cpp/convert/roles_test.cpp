// Template roles: loading the metadata database, name resolution with the
// Unicode case rules, redirects and cycles, and every way a load fails.
#include "corpuswright/roles.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "metadata_db.hpp"

namespace corpuswright::roles {
namespace {

using cwtest::exec_sql;
using cwtest::make_db;
using cwtest::TempDir;

TemplateRoles load_ok(const std::string& path) {
    auto r = TemplateRoles::open(path);
    if (!r.ok()) ADD_FAILURE() << r.error().message();
    return r.ok() ? std::move(r).value() : TemplateRoles{};
}

std::string load_error(const std::string& path, int timeout_ms = 5000) {
    auto r = TemplateRoles::open(path, timeout_ms);
    if (r.ok()) {
        ADD_FAILURE() << "load of " << path << " succeeded";
        return {};
    }
    return r.error().message();
}

// --- name normalisation ---------------------------------------------------

TEST(Resolve, EmptyTablesGiveNormalisedTitlesInTheTemplateNamespace) {
    TempDir dir;
    TemplateRoles roles = load_ok(make_db(dir, "empty.db"));
    EXPECT_TRUE(roles.redirects.empty());
    EXPECT_TRUE(roles.remove.empty() && roles.unwrap.empty() && roles.unwrap1.empty() && roles.ok.empty());

    EXPECT_EQ(roles.resolve("  Template: cite_web "), (PageKey{10, "Cite_web"}));
    EXPECT_EQ(roles.resolve("TEMPLATE:Cite web"), (PageKey{10, "Cite_web"}));
    EXPECT_EQ(roles.resolve("cite   web"), (PageKey{10, "Cite_web"}));
    EXPECT_EQ(roles.resolve("__cite__web__"), (PageKey{10, "Cite_web"}));
    EXPECT_EQ(roles.resolve("foo BAR"), (PageKey{10, "Foo_BAR"}));
    // Only one prefix is dropped.
    EXPECT_EQ(roles.resolve("Template:Template:X"), (PageKey{10, "Template:X"}));
    EXPECT_EQ(roles.resolve("Template:"), (PageKey{10, ""}));
    EXPECT_EQ(roles.resolve(" \t\u00a0 "), (PageKey{10, ""}));
}

TEST(Resolve, OtherWhiteSpaceInsideTheNameStays) {
    TemplateRoles roles;
    EXPECT_EQ(roles.resolve("a\tb"), (PageKey{10, "A\tb"}));
    EXPECT_EQ(roles.resolve("a\u00a0b"), (PageKey{10, "A\u00a0b"}));
    // ...but the trim at both ends is by White_Space, no-break space included.
    EXPECT_EQ(roles.resolve("\u00a0x\u2003"), (PageKey{10, "X"}));
}

TEST(Resolve, FirstCharacterTakesTheFullUpperCaseMapping) {
    TemplateRoles roles;
    EXPECT_EQ(roles.resolve("ßx"), (PageKey{10, "SSx"}));
    EXPECT_EQ(roles.resolve("\ufb01x"), (PageKey{10, "FIx"}));            // fi ligature
    EXPECT_EQ(roles.resolve("\u0149a"), (PageKey{10, "\u02bcNa"}));       // n preceded by apostrophe
    EXPECT_EQ(roles.resolve("\u01c6ungla"), (PageKey{10, "\u01c4ungla"}));  // dz digraph: upper, not title case
    EXPECT_EQ(roles.resolve("ébc"), (PageKey{10, "Ébc"}));
    // The rest is never lower-cased or upper-cased.
    EXPECT_EQ(roles.resolve("ßSS ß"), (PageKey{10, "SSSS_ß"}));
    EXPECT_EQ(roles.resolve("1abc"), (PageKey{10, "1abc"}));
}

TEST(WikiTitle, JoinsPiecesAndUpperCasesTheFirstCharacter) {
    EXPECT_EQ(wiki_title(""), "");
    EXPECT_EQ(wiki_title(" _ "), "");
    EXPECT_EQ(wiki_title("a_b c"), "A_b_c");
    EXPECT_EQ(wiki_title("ß"), "SS");
}

// --- redirects --------------------------------------------------------------

TEST(Resolve, FollowsRedirectChainsAcrossNamespaces) {
    TempDir dir;
    TemplateRoles roles = load_ok(make_db(dir, "r.db",
                                          "INSERT INTO redirect VALUES(10,'A',10,'B');"
                                          "INSERT INTO redirect VALUES(10,'B',0,'C');"
                                          "INSERT INTO redirect VALUES(0,'C',10,'D');"));
    // (0, C) redirects on, so the walk leaves the template namespace and
    // comes back to it.
    EXPECT_EQ(roles.resolve("a"), (PageKey{10, "D"}));
    EXPECT_EQ(roles.resolve("Template:B"), (PageKey{10, "D"}));
    // (10, C) is not (0, C): no redirect.
    EXPECT_EQ(roles.resolve("C"), (PageKey{10, "C"}));
}

TEST(Resolve, ChainLeavingTheTemplateNamespaceEndsThere) {
    TempDir dir;
    TemplateRoles roles = load_ok(make_db(dir, "r.db",
                                          "INSERT INTO redirect VALUES(10,'A',10,'B');"
                                          "INSERT INTO redirect VALUES(10,'B',0,'C');"));
    EXPECT_EQ(roles.resolve("a"), (PageKey{0, "C"}));
}

TEST(Resolve, CyclesStopWhereTheWalkEnteredThem) {
    TempDir dir;
    TemplateRoles roles = load_ok(make_db(dir, "cycle.db",
                                          "INSERT INTO redirect VALUES(10,'Self',10,'Self');"
                                          "INSERT INTO redirect VALUES(10,'A',10,'B');"
                                          "INSERT INTO redirect VALUES(10,'B',10,'A');"
                                          "INSERT INTO redirect VALUES(10,'P',10,'Q');"
                                          "INSERT INTO redirect VALUES(10,'Q',10,'R');"
                                          "INSERT INTO redirect VALUES(10,'R',10,'Q');"));
    EXPECT_EQ(roles.resolve("Self"), (PageKey{10, "Self"}));
    EXPECT_EQ(roles.resolve("A"), (PageKey{10, "A"}));
    EXPECT_EQ(roles.resolve("B"), (PageKey{10, "B"}));
    EXPECT_EQ(roles.resolve("P"), (PageKey{10, "Q"}));
    EXPECT_EQ(roles.resolve("R"), (PageKey{10, "R"}));
}

TEST(Resolve, LongChainsAndLongCyclesAreFollowedToTheEnd) {
    // Longer than the walk's linear-scan limit, so the hash-set path runs.
    TempDir dir;
    std::string rows = "BEGIN;";
    for (int i = 0; i < 500; ++i) {
        rows += "INSERT INTO redirect VALUES(10,'T" + std::to_string(i) + "',10,'T" + std::to_string(i + 1) + "');";
    }
    rows += "INSERT INTO redirect VALUES(10,'T500',10,'T200');COMMIT;";
    rows += "INSERT INTO redirect VALUES(10,'L0',10,'L1');";
    TemplateRoles roles = load_ok(make_db(dir, "long.db", rows));
    EXPECT_EQ(roles.resolve("T0"), (PageKey{10, "T200"}));
    EXPECT_EQ(roles.resolve("T300"), (PageKey{10, "T300"}));
    EXPECT_EQ(roles.resolve("L0"), (PageKey{10, "L1"}));
}

TEST(Load, DuplicateRedirectSourcesKeepTheRowWithTheHighestRowid) {
    // A covering index makes SQLite free to scan in index order, where
    // "Alpha" comes before "Zed" although it was inserted with the higher
    // rowid; the later row (by rowid) must win regardless.
    TempDir dir;
    TemplateRoles roles = load_ok(make_db(dir, "dup.db",
                                          "CREATE INDEX redirect_all ON redirect(namespace,title,to_namespace,to_title);"
                                          "INSERT INTO redirect(rowid,namespace,title,to_namespace,to_title)"
                                          " VALUES(7,10,'X',10,'Alpha');"
                                          "INSERT INTO redirect(rowid,namespace,title,to_namespace,to_title)"
                                          " VALUES(3,10,'X',10,'Zed');"
                                          "INSERT INTO redirect VALUES(10,'Y',10,'First');"
                                          "INSERT INTO redirect VALUES(10,'Y',10,'Later');"));
    EXPECT_EQ(roles.redirects.size(), 2u);
    EXPECT_EQ(roles.resolve("X"), (PageKey{10, "Alpha"}));
    EXPECT_EQ(roles.resolve("Y"), (PageKey{10, "Later"}));
}

TEST(Load, RedirectTableWithoutRowidLoads) {
    TempDir dir;
    std::string path = dir.file("norowid.db");
    exec_sql(path,
             "CREATE TABLE redirect(namespace INTEGER, title TEXT, to_namespace INTEGER, to_title TEXT,"
             " PRIMARY KEY(namespace,title)) WITHOUT ROWID;"
             "CREATE TABLE template_role(title TEXT, role TEXT);"
             "INSERT INTO redirect VALUES(10,'A',10,'B');");
    TemplateRoles roles = load_ok(path);
    EXPECT_EQ(roles.resolve("A"), (PageKey{10, "B"}));
}

// --- role sets --------------------------------------------------------------

TEST(Load, RolesFillTheirSets) {
    TempDir dir;
    std::string rows;
    const char* drop[] = {"hatnote",     "navigation",     "sidebar",       "infobox",  "citation",
                          "maintenance", "sister_project", "external_link", "authority"};
    for (const char* role : drop) rows += std::string("INSERT INTO template_role VALUES('Drop_") + role + "','" + role + "');";
    rows +=
        "INSERT INTO template_role VALUES('Both','navigation');"
        "INSERT INTO template_role VALUES('Both','unwrap');"
        "INSERT INTO template_role VALUES('Both','citation');"
        "INSERT INTO template_role VALUES('Wrap1','unwrap1');"
        "INSERT INTO template_role VALUES('Fine','ok');"
        "INSERT INTO template_role VALUES('Other','other');"
        "INSERT INTO template_role VALUES('Cased','Navigation');";
    TemplateRoles roles = load_ok(make_db(dir, "roles.db", rows));

    for (const char* role : drop) EXPECT_TRUE(roles.remove.contains(std::string("Drop_") + role)) << role;
    EXPECT_EQ(roles.remove.size(), 10u);  // nine drop titles and Both, once
    EXPECT_TRUE(roles.remove.contains("Both"));
    EXPECT_TRUE(roles.unwrap.contains("Both"));
    EXPECT_EQ(roles.unwrap.size(), 1u);
    EXPECT_TRUE(roles.unwrap1.contains("Wrap1"));
    EXPECT_EQ(roles.unwrap1.size(), 1u);
    EXPECT_TRUE(roles.ok.contains("Fine"));
    EXPECT_EQ(roles.ok.size(), 1u);
    // Unknown roles, and role names in another letter case, fill no set.
    for (const auto* set : {&roles.remove, &roles.unwrap, &roles.unwrap1, &roles.ok}) {
        EXPECT_FALSE(set->contains("Other"));
        EXPECT_FALSE(set->contains("Cased"));
    }
}

TEST(Load, TitlesAreTakenExactlyAsStored) {
    TempDir dir;
    TemplateRoles roles = load_ok(make_db(dir, "raw.db", "INSERT INTO template_role VALUES('cite web','citation');"));
    EXPECT_TRUE(roles.remove.contains("cite web"));
    EXPECT_FALSE(roles.remove.contains("Cite_web"));
}

TEST(Load, NeverWritesTheDatabase) {
    TempDir dir;
    std::string path = make_db(dir, "ro.db", "INSERT INTO template_role VALUES('A','ok');");
    auto before = std::filesystem::last_write_time(path);
    auto size = std::filesystem::file_size(path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    TemplateRoles roles = load_ok(path);
    EXPECT_TRUE(roles.ok.contains("A"));
    EXPECT_EQ(std::filesystem::last_write_time(path), before);
    EXPECT_EQ(std::filesystem::file_size(path), size);
    EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
}

// --- failures -----------------------------------------------------------------

TEST(LoadError, MissingFileNamesThePathAndIsNotCreated) {
    TempDir dir;
    std::string path = dir.file("absent.db");
    auto r = TemplateRoles::open(path);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().outermost(), "opening wiki metadata " + path);
    EXPECT_EQ(r.error().message(), "opening wiki metadata " + path + ": unable to open database file");
    EXPECT_EQ(r.error().kind(), ErrorKind::Database);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(LoadError, PathWithNulIsRefusedUnderTheSameContext) {
    std::string path("/tmp/a\0b.db", 11);
    std::string msg = load_error(path);
    EXPECT_EQ(msg.rfind("opening wiki metadata /tmp/a", 0), 0u) << msg;
    EXPECT_NE(msg.find("NUL"), std::string::npos) << msg;
}

TEST(LoadError, MissingTablesAndColumnsNameTheFileAndTheTable) {
    TempDir dir;
    std::string no_roles = dir.file("noroles.db");
    exec_sql(no_roles, "CREATE TABLE redirect(namespace INTEGER, title TEXT, to_namespace INTEGER, to_title TEXT);");
    EXPECT_EQ(load_error(no_roles),
              "opening wiki metadata " + no_roles + ": reading table template_role: no such table: template_role");

    std::string no_redirect = dir.file("noredirect.db");
    exec_sql(no_redirect, "CREATE TABLE template_role(title TEXT, role TEXT);");
    EXPECT_EQ(load_error(no_redirect),
              "opening wiki metadata " + no_redirect + ": reading table redirect: no such table: redirect");

    std::string no_column = dir.file("nocolumn.db");
    exec_sql(no_column,
             "CREATE TABLE redirect(namespace INTEGER, title TEXT, to_title TEXT);"
             "CREATE TABLE template_role(title TEXT, role TEXT);");
    EXPECT_EQ(load_error(no_column),
              "opening wiki metadata " + no_column + ": reading table redirect: no such column: to_namespace");
}

TEST(LoadError, NullAndWronglyTypedValuesNameTableRowAndColumn) {
    TempDir dir;
    std::string null_title = make_db(dir, "nulltitle.db",
                                      "INSERT INTO redirect VALUES(10,'A',10,'B');"
                                      "INSERT INTO redirect(rowid,namespace,title,to_namespace,to_title)"
                                      " VALUES(42,10,'C',10,NULL);");
    auto r = TemplateRoles::open(null_title);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::Type);
    EXPECT_EQ(r.error().message(), "opening wiki metadata " + null_title +
                                       ": reading table redirect: row with rowid 42: column to_title holds NULL "
                                       "where text is expected");

    // A column declared without a type keeps integers as integers (a TEXT
    // column would turn 5 into '5').
    std::string int_title = dir.file("inttitle.db");
    exec_sql(int_title,
             "CREATE TABLE redirect(namespace INTEGER, title TEXT, to_namespace INTEGER, to_title TEXT);"
             "CREATE TABLE template_role(title, role);"
             "INSERT INTO template_role VALUES('A','ok');INSERT INTO template_role VALUES(5,'ok');");
    EXPECT_EQ(load_error(int_title), "opening wiki metadata " + int_title +
                                         ": reading table template_role: row 2: column title holds an integer where "
                                         "text is expected");

    std::string null_role_title = make_db(dir, "nullrole.db", "INSERT INTO template_role VALUES(NULL,'citation');");
    EXPECT_NE(load_error(null_role_title).find("column title holds NULL"), std::string::npos);

    std::string text_ns = make_db(dir, "textns.db", "INSERT INTO redirect VALUES('ten','A',10,'B');");
    EXPECT_NE(load_error(text_ns).find("column namespace holds text where an integer is expected"), std::string::npos);

    std::string real_ns = make_db(dir, "realns.db", "INSERT INTO redirect VALUES(10,'A',1.5,'B');");
    EXPECT_NE(load_error(real_ns).find("column to_namespace holds a real number"), std::string::npos);

    std::string blob = make_db(dir, "blob.db", "INSERT INTO template_role VALUES(x'41','unwrap');");
    EXPECT_NE(load_error(blob).find("column title holds a blob"), std::string::npos);

    std::string bad_utf8 = make_db(dir, "utf8.db", "INSERT INTO template_role VALUES(CAST(x'41ff42' AS TEXT),'unwrap1');");
    EXPECT_NE(load_error(bad_utf8).find("column title holds text that is not valid UTF-8"), std::string::npos);
}

TEST(LoadError, NotADatabase) {
    TempDir dir;
    std::string path = dir.file("junk.db");
    std::ofstream(path) << std::string(4096, 'j');
    std::string msg = load_error(path);
    EXPECT_EQ(msg.rfind("opening wiki metadata " + path + ": ", 0), 0u) << msg;
    EXPECT_NE(msg.find("file is not a database"), std::string::npos) << msg;
}

TEST(LoadError, LockedDatabaseFailsAfterTheBusyTimeout) {
    TempDir dir;
    std::string path = make_db(dir, "locked.db", "INSERT INTO template_role VALUES('A','ok');");
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::string msg = load_error(path, 20);
    EXPECT_EQ(msg, "opening wiki metadata " + path + ": reading table redirect: database is locked");
    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    // Once the lock is gone the same file loads.
    EXPECT_TRUE(load_ok(path).ok.contains("A"));
}

}  // namespace
}  // namespace corpuswright::roles
