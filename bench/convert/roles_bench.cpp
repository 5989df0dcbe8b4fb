// Time to load the template roles of a large metadata database, as the
// WikiConverter constructor and each article run do: one million redirect
// rows and a hundred thousand role rows, the size of a big wiki's tables.
// The database is built once in the temp directory before timing.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "corpuswright/roles.hpp"

namespace {

constexpr int kRedirects = 1'000'000;
constexpr int kRoles = 100'000;

const std::string& database_path() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("cw-roles-bench-" + std::to_string(getpid()) + ".db")).string();
    return path;
}

std::string build_database() {
    const std::string& path = database_path();
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE redirect(namespace INTEGER, title TEXT, to_namespace INTEGER, to_title TEXT);"
                 "CREATE TABLE template_role(title TEXT, role TEXT);BEGIN;",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO redirect VALUES(?,?,?,?)", -1, &st, nullptr);
    for (int i = 0; i < kRedirects; ++i) {
        std::string from = "Redirect_page_number_" + std::to_string(i);
        std::string to = "Target_page_" + std::to_string(i / 3);
        sqlite3_bind_int64(st, 1, i % 4 == 0 ? 10 : 0);
        sqlite3_bind_text(st, 2, from.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 3, i % 4 == 0 ? 10 : 0);
        sqlite3_bind_text(st, 4, to.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    static const char* roles[] = {"navigation", "citation", "unwrap", "unwrap1", "ok", "maintenance", "other"};
    sqlite3_prepare_v2(db, "INSERT INTO template_role VALUES(?,?)", -1, &st, nullptr);
    for (int i = 0; i < kRoles; ++i) {
        std::string title = "Template_title_" + std::to_string(i);
        sqlite3_bind_text(st, 1, title.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, roles[i % std::size(roles)], -1, SQLITE_STATIC);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return path;
}

void BM_OpenRoles(benchmark::State& state) {
    static const std::string path = build_database();
    for (auto _ : state) {
        auto roles = corpuswright::roles::TemplateRoles::open(path);
        if (!roles.ok()) {
            state.SkipWithError(roles.error().message().c_str());
            break;
        }
        benchmark::DoNotOptimize(roles->redirects.size());
    }
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * (kRedirects + kRoles),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OpenRoles)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove(database_path());
    return 0;
}
