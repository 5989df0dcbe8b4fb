// Telling whether two path arguments name one file. The resolved path alone
// misses hard links, and the inode alone misses outputs that do not exist
// yet, so both are compared.
#include "corpuswright/stages/paths.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "corpuswright/call_paths.hpp"

namespace corpuswright::stages {
namespace {

namespace fs = std::filesystem;

std::optional<std::pair<dev_t, ino_t>> identity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return std::make_pair(st.st_dev, st.st_ino);
}

}  // namespace

std::string resolved_path(const std::string& path) {
    std::error_code ec;
    fs::path abs = fs::absolute(fs::path(path), ec);
    if (ec) return fs::path(path).lexically_normal().string();
    fs::path canonical = fs::weakly_canonical(abs, ec);
    if (ec) return abs.lexically_normal().string();
    return canonical.string();
}

Result<void> check_distinct(const std::vector<PathArg>& args) {
    std::vector<std::string> resolved;
    std::vector<std::optional<std::pair<dev_t, ino_t>>> ids;
    resolved.reserve(args.size());
    ids.reserve(args.size());
    for (const auto& a : args) {
        resolved.push_back(resolved_path(at_call_start(a.path)));
        ids.push_back(identity(at_call_start(a.path)));
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        for (std::size_t j = i + 1; j < args.size(); ++j) {
            if (!args[i].output && !args[j].output) continue;  // two inputs may well be one file
            bool same = resolved[i] == resolved[j] || (ids[i] && ids[j] && *ids[i] == *ids[j]);
            if (!same) continue;
            std::string message =
                std::string(args[i].name) + " and " + args[j].name + " name the same file: " + resolved[i];
            if (resolved[j] != resolved[i]) message += " (also reached as " + resolved[j] + ")";
            return Error(std::move(message), ErrorKind::Conflict);
        }
    }
    return Ok{};
}

}  // namespace corpuswright::stages
