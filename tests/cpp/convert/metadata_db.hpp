// Test helper: a scratch directory and small metadata databases built with
// the SQLite C API, so every test states the exact rows it relies on.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace cwtest {

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "cw-convert-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Runs `sql` (several statements allowed) on the database at `path`,
// creating it when missing.
inline void exec_sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("open failed");
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "exec failed";
        sqlite3_free(err);
        sqlite3_close(db);
        throw std::runtime_error(msg);
    }
    sqlite3_close(db);
}

// The two tables as the metadata producer makes them.
inline const char* kSchema =
    "CREATE TABLE redirect(namespace INTEGER, title TEXT, to_namespace INTEGER, to_title TEXT);"
    "CREATE TABLE template_role(title TEXT, role TEXT);";

// A database at dir/name with the schema and then `rows` (SQL inserts).
inline std::string make_db(const TempDir& dir, const std::string& name, const std::string& rows = "") {
    std::string path = dir.file(name);
    exec_sql(path, std::string(kSchema) + rows);
    return path;
}

}  // namespace cwtest
