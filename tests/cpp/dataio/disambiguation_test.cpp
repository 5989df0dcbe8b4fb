#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "corpuswright/stages/disambiguation.hpp"
#include "test_util.hpp"

namespace fs = std::filesystem;
using namespace corpuswright::stages;

namespace {

IdSet scan(const std::string& text, std::size_t step = 1 << 20) {
    StringReader r(text, step);
    auto ids = scan_disambiguation(r);
    EXPECT_TRUE(ids.ok());
    return ids.ok() ? ids.value().ids : IdSet{};
}

}  // namespace

TEST(Disambiguation, ScanRecognisesOnlyPlainRows) {
    std::string sql =
        "INSERT INTO `page_props` VALUES (10,'disambiguation',''),(11,'wikibase_item','Q1'),"
        "(12,'disambiguation',''),(12,'disambiguation',''),(,'disambiguation',''),"
        "(+13,'disambiguation',''),( 14,'disambiguation',''),(123456789012345678901,'disambiguation',''),"
        "(18446744073709551615,'disambiguation','');\n";
    IdSet ids = scan(sql);
    EXPECT_EQ(ids, (IdSet{10, 12, 18446744073709551615u}));
    EXPECT_TRUE(scan("").empty());
}

TEST(Disambiguation, NeedleAcrossReadBoundaries) {
    std::string filler(1 << 20, 'x');
    std::string sql = filler.substr(0, (1 << 20) - 5) + "(4242,'disambiguation','')" + filler;
    EXPECT_EQ(scan(sql, 1 << 20), (IdSet{4242}));
    EXPECT_EQ(scan(sql, 1000), (IdSet{4242}));
}

// A file told as no SQL text by its start gets the same answer however it
// is read: a NUL found late in small reads once kept what was scanned before.
TEST(Disambiguation, FilesOfNoSqlTextGiveTheSameScanAtEveryReadSize) {
    const std::string row = "INSERT INTO `page_props` VALUES (7,'disambiguation','');";
    const std::string cases[] = {
        row + std::string(1, '\0'),
        row + std::string(100, 'x') + std::string(1, '\0') + row,
        std::string("BZh91AY&SY") + row,
        row + std::string(1 << 20, 'x') + std::string(1, '\0'),  // past the window: text with a NUL in it
    };
    for (const std::string& text : cases) {
        StringReader whole(text, text.size() + 1);
        auto expected = scan_disambiguation(whole);
        ASSERT_TRUE(expected.ok());
        for (std::size_t step : {1, 3, 29, 4096}) {
            StringReader pieces(text, step);
            auto got = scan_disambiguation(pieces);
            ASSERT_TRUE(got.ok());
            EXPECT_EQ(got->binary, expected->binary) << step;
            EXPECT_EQ(got->names_table, expected->names_table) << step;
            EXPECT_EQ(got->ids, expected->ids) << step;
            EXPECT_EQ(got->head, expected->head) << step;
        }
    }
}

TEST(Disambiguation, ImportReplacesTableAndReadsBack) {
    fs::path dir = fs::temp_directory_path() / ("cw-disamb-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string db = (dir / "meta.db").string();
    std::ofstream(dir / "a.sql") << "INSERT INTO `page_props` VALUES (1,'disambiguation',''),(2,'disambiguation',''),"
                                    "(18446744073709551615,'disambiguation','')";
    auto n = import_page_props((dir / "a.sql").string(), db);
    ASSERT_TRUE(n.ok()) << n.error().message();
    EXPECT_EQ(n.value(), 3u);
    auto ids = disambiguation_ids(db);
    ASSERT_TRUE(ids.ok());
    EXPECT_EQ(ids.value(), (IdSet{1, 2, 18446744073709551615u}));

    // A file that is no page-properties dump is refused and keeps the table.
    std::ofstream(dir / "empty.sql") << "";
    std::ofstream(dir / "other.sql") << "INSERT INTO `page` VALUES (7,'disambiguation','');";
    for (const char* name : {"empty.sql", "other.sql"}) {
        n = import_page_props((dir / name).string(), db);
        ASSERT_FALSE(n.ok());
        EXPECT_EQ(n.error().message().rfind("reading source " + (dir / name).string() + ": not a page-properties", 0),
                  0u)
            << n.error().message();
        EXPECT_EQ(disambiguation_ids(db).value().size(), 3u);
    }
    // A real one without disambiguation rows empties it.
    std::ofstream(dir / "none.sql") << "CREATE TABLE `page_props` (pp_page int);\n";
    n = import_page_props((dir / "none.sql").string(), db);
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(n.value(), 0u);
    EXPECT_TRUE(disambiguation_ids(db).value().empty());

    auto missing = import_page_props((dir / "missing.sql").string(), db);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message().rfind("opening source " + (dir / "missing.sql").string(), 0), 0u);

    auto bad_dir = import_page_props((dir / "a.sql").string(), (dir / "no" / "such" / "m.db").string());
    ASSERT_FALSE(bad_dir.ok());
    EXPECT_EQ(bad_dir.error().message().rfind("opening metadata ", 0), 0u);
    fs::remove_all(dir);
}

TEST(Disambiguation, FailedImportKeepsPreviousTable) {
    fs::path dir = fs::temp_directory_path() / ("cw-disamb-lock-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string db = (dir / "meta.db").string();
    std::ofstream(dir / "a.sql") << "INSERT INTO `page_props` VALUES (5,'disambiguation','')";
    ASSERT_TRUE(import_page_props((dir / "a.sql").string(), db).ok());
    // Another connection holds a write lock: the import fails and rolls back.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::ofstream(dir / "b.sql") << "INSERT INTO `page_props` VALUES (6,'disambiguation','')";
    // The import waits for the busy timeout; keep it short by committing
    // nothing and letting it fail.
    auto r = import_page_props((dir / "b.sql").string(), db);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "opening metadata " + db + ": database is locked");
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    auto ids = disambiguation_ids(db);
    ASSERT_TRUE(ids.ok());
    EXPECT_EQ(ids.value(), (IdSet{5}));

    // A database without the table fails the reading side.
    std::string other_db = (dir / "other.db").string();
    sqlite3* fresh = nullptr;
    sqlite3_open(other_db.c_str(), &fresh);
    sqlite3_exec(fresh, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
    sqlite3_close(fresh);
    auto none = disambiguation_ids(other_db);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().message(), "reading metadata " + other_db + ": no such table: disambiguation");
    fs::remove_all(dir);
}
