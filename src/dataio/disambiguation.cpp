// The page-properties import. The dump is scanned for its one interesting
// row shape instead of being parsed as SQL: a bounded-memory pass over
// gigabytes. The table is rewritten inside one transaction, so readers see
// the old ids or the new ones.
#include "corpuswright/stages/disambiguation.hpp"

#include <sqlite3.h>

#include "corpuswright/call_paths.hpp"
#include "corpuswright/stages/paths.hpp"
#include "corpuswright/stages/stop.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "corpuswright/stages/atomic.hpp"

namespace corpuswright::stages {
namespace {

constexpr std::size_t kBlock = 1 << 20;
constexpr std::size_t kCarry = 128;
constexpr std::string_view kNeedle = ",'disambiguation',";
// A page-properties dump names its table in its CREATE TABLE and INSERT
// lines; an input without it is some other file given by mistake, and
// importing it would silently empty the table.
constexpr std::string_view kTableName = "page_props";
constexpr std::size_t kHeadBytes = 8;  // for the compression magic
// No SQL text holds a NUL byte; one this early marks a file given by mistake.
constexpr std::uint64_t kBinaryWindow = 1 << 20;

Error db_error(sqlite3* db) {
    return Error(sqlite3_errmsg(db), sqlite3_errcode(db) == SQLITE_NOMEM ? ErrorKind::OutOfMemory : ErrorKind::Database);
}

// SQLite opens a directory and fails at its first read or write with "disk
// I/O error", which says nothing of the mistake.
Result<void> not_a_directory(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Error(os_error(EISDIR), ErrorKind::Io);
    return Ok{};
}

// Closes the connection on every path.
struct Connection {
    sqlite3* db = nullptr;
    ~Connection() {
        if (db) sqlite3_close(db);
    }
};

struct Statement {
    sqlite3_stmt* st = nullptr;
    ~Statement() {
        if (st) sqlite3_finalize(st);
    }
};

void scan_buffer(std::string_view buf, IdSet& ids) {
    std::size_t pos = 0;
    while (buf.size() - pos >= kNeedle.size()) {
        std::size_t at = buf.find(kNeedle, pos);
        if (at == std::string_view::npos) break;
        std::size_t d = at;
        while (d > 0 && buf[d - 1] >= '0' && buf[d - 1] <= '9') --d;
        if (d > 0 && d < at && buf[d - 1] == '(') {
            std::uint64_t v = 0;
            bool fits = true;
            for (std::size_t i = d; i < at; ++i) {
                std::uint64_t digit = static_cast<std::uint64_t>(buf[i] - '0');
                if (v > (UINT64_MAX - digit) / 10) {
                    fits = false;
                    break;
                }
                v = v * 10 + digit;
            }
            if (fits) ids.insert(v);
        }
        pos = at + kNeedle.size();
    }
}

Result<void> write_table(sqlite3* db, const IdSet& ids, const std::atomic<bool>* stop) {
    if (sqlite3_exec(db, "BEGIN DEFERRED", nullptr, nullptr, nullptr) != SQLITE_OK) return db_error(db);
    auto fail = [db]() -> Error {
        Error err = db_error(db);
        if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return err;
    };
    if (sqlite3_exec(db,
                     "CREATE TABLE IF NOT EXISTS disambiguation(page_id INTEGER PRIMARY KEY); "
                     "DELETE FROM disambiguation;",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        return fail();
    }
    {
        Statement insert;
        if (sqlite3_prepare_v2(db, "INSERT INTO disambiguation VALUES (?)", -1, &insert.st, nullptr) != SQLITE_OK) {
            return fail();
        }
        std::size_t done = 0;
        for (std::uint64_t id : ids) {
            if (++done % 65536 == 0 && stop_requested(stop)) {
                sqlite3_reset(insert.st);
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
                return interrupted();
            }
            sqlite3_bind_int64(insert.st, 1, static_cast<sqlite3_int64>(id));
            if (sqlite3_step(insert.st) != SQLITE_DONE) return fail();
            sqlite3_reset(insert.st);
        }
    }
    if (stop_requested(stop)) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return interrupted();
    }
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
    return Ok{};
}

}  // namespace

Result<PagePropsScan> scan_disambiguation(ByteReader& input, const std::atomic<bool>* stop) {
    PagePropsScan out;
    std::string buf;
    buf.reserve(kBlock + kCarry);
    std::vector<char> block(kBlock);
    std::uint64_t seen = 0;  // bytes read so far, for the fixed windows of the start
    bool nul = false;        // a NUL byte stands in the first kBinaryWindow bytes
    // A file that is no SQL text is told by its start and not read on: it
    // may never end (a device such as /dev/zero). What was scanned before
    // that is dropped, so that the answer does not depend on read sizes.
    auto not_sql = [&out](bool binary) {
        out.binary = binary;
        out.ids.clear();
        out.names_table = false;
        return out;
    };
    while (true) {
        if (stop_requested(stop)) return interrupted();
        auto got = input.read(block.data(), block.size());
        if (!got.ok()) return std::move(got).error();
        const std::size_t n = got.value();
        if (n == 0) break;
        if (out.head.size() < kHeadBytes) {
            out.head.append(block.data(), std::min(n, kHeadBytes - out.head.size()));
            if (out.head.size() == kHeadBytes && !compression_magic(out.head).empty()) return not_sql(false);
        }
        if (seen < kBinaryWindow) {
            const std::size_t look = static_cast<std::size_t>(std::min<std::uint64_t>(n, kBinaryWindow - seen));
            nul = nul || std::memchr(block.data(), 0, look) != nullptr;
        }
        seen += n;
        // A compressed file holds NULs too: its magic, once the head is
        // whole, gives the better message.
        if (nul && out.head.size() == kHeadBytes) return not_sql(true);
        buf.append(block.data(), n);
        scan_buffer(buf, out.ids);
        if (!out.names_table) out.names_table = buf.find(kTableName) != std::string::npos;
        if (buf.size() > kCarry) buf.erase(0, buf.size() - kCarry);
    }
    if (nul) return not_sql(true);
    return out;
}

// Fails, before the dump is read, when the import could not be written:
// an existing file that is no database, is read-only or locked, or a
// missing or read-only directory for a new one.
Result<void> check_writable(const std::string& path) {
    const std::string metadata = database_file_name(path);
    CW_TRY(not_a_directory(metadata));
    struct stat st {};
    if (::stat(metadata.c_str(), &st) != 0) {
        std::string dir = std::filesystem::path(metadata).parent_path().string();
        if (::access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) != 0) return Error(os_error(errno), ErrorKind::Io);
        return Ok{};
    }
    Connection conn;
    if (sqlite3_open_v2(metadata.c_str(), &conn.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        return conn.db ? db_error(conn.db) : Error("out of memory", ErrorKind::OutOfMemory);
    }
    sqlite3_busy_timeout(conn.db, 5000);
    if (sqlite3_db_readonly(conn.db, "main") == 1) {
        return Error(sqlite3_errstr(SQLITE_READONLY), ErrorKind::Database);
    }
    if (sqlite3_exec(conn.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return db_error(conn.db);
    sqlite3_exec(conn.db, "ROLLBACK", nullptr, nullptr, nullptr);
    return Ok{};
}

Result<std::uint64_t> import_page_props(const std::string& source, const std::string& metadata,
                                        const std::atomic<bool>* stop) {
    CallDirectory call;
    CW_TRY(check_distinct({{"source", source, false}, {"metadata", metadata, true}}));
    const std::string opening_metadata = file_context("opening", "metadata", metadata);
    CW_TRY(check_writable(metadata).context(opening_metadata));
    IdSet ids;
    {
        CW_TRY_ASSIGN(auto input, open_input(source, "source", stop));
        const std::string reading = file_context("reading", "source", source);
        auto scanned = scan_disambiguation(*input, stop);
        if (!scanned.ok()) return std::move(scanned).error().context(reading);
        PagePropsScan& scan = scanned.value();
        if (std::string_view format = compression_magic(scan.head); !format.empty()) {
            return Error(looks_compressed_message(format, decoded_by_name(source)), ErrorKind::Format)
                .context(reading);
        }
        if (scan.binary) {
            return Error("not a page-properties SQL dump: it holds NUL bytes, which no SQL text does", ErrorKind::Format)
                .context(reading);
        }
        if (!scan.names_table) {
            std::string what = scan.head.empty() ? "the file is empty" : "the table name page_props never occurs in it";
            return Error("not a page-properties SQL dump: " + what, ErrorKind::Format).context(reading);
        }
        ids = std::move(scan.ids);
    }
    Connection conn;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(database_file_name(metadata).c_str(), &conn.db, flags, nullptr) != SQLITE_OK) {
        Error err = conn.db ? db_error(conn.db) : Error("out of memory", ErrorKind::OutOfMemory);
        return std::move(err).context(opening_metadata);
    }
    sqlite3_busy_timeout(conn.db, 5000);
    CW_TRY(write_table(conn.db, ids, stop).context(file_context("writing", "metadata", metadata)));
    return static_cast<std::uint64_t>(ids.size());
}

Result<IdSet> disambiguation_ids(const std::string& metadata) {
    CW_TRY(not_a_directory(database_file_name(metadata)).context(file_context("opening", "metadata", metadata)));
    Connection conn;
    if (sqlite3_open_v2(database_file_name(metadata).c_str(), &conn.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        Error err = conn.db ? db_error(conn.db) : Error("out of memory", ErrorKind::OutOfMemory);
        return std::move(err).context(file_context("opening", "metadata", metadata));
    }
    sqlite3_busy_timeout(conn.db, 5000);
    const std::string reading = file_context("reading", "metadata", metadata);
    Statement select;
    if (sqlite3_prepare_v2(conn.db, "SELECT page_id FROM disambiguation", -1, &select.st, nullptr) != SQLITE_OK) {
        return db_error(conn.db).context(reading);
    }
    std::vector<std::uint64_t> rows;
    while (true) {
        int rc = sqlite3_step(select.st);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) return db_error(conn.db).context(reading);
        if (sqlite3_column_type(select.st, 0) != SQLITE_INTEGER) {
            return Error("disambiguation.page_id holds a value that is not an integer", ErrorKind::Type)
                .context(reading);
        }
        rows.push_back(static_cast<std::uint64_t>(sqlite3_column_int64(select.st, 0)));
    }
    IdSet ids(rows.begin(), rows.end());
    return ids;
}

}  // namespace corpuswright::stages
