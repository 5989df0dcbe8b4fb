// Paths as the system is to be given them.
//
// Relative paths as they were when a call began. A call runs for minutes
// with the interpreter lock released, and another thread's os.chdir in that
// time would make a relative output path name a file in another folder by
// the time the output is renamed into place. A call therefore reads the
// working directory once, when it begins (`CallDirectory`), and every file
// it opens, creates or renames is reached through `at_call_start`, which
// joins a relative path to that directory. Messages keep the path as the
// caller gave it.
//
// The directory is kept per thread: a call runs on one thread from its
// start to its end, and calls on other threads keep their own.
#pragma once

#include <unistd.h>

#include <climits>
#include <string>
#include <string_view>

namespace corpuswright {

namespace detail {
// The working directory of the call under way on this thread; empty when
// none is (or when it could not be read: paths are then used as given).
inline thread_local std::string call_directory;
inline thread_local int call_depth = 0;
}  // namespace detail

// Marks the start of a call on this thread for as long as it lives. Nested
// calls keep the outermost call's directory.
class CallDirectory {
public:
    CallDirectory() {
        if (detail::call_depth++ > 0) return;
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) != nullptr) detail::call_directory.assign(cwd);
    }
    ~CallDirectory() {
        if (--detail::call_depth == 0) detail::call_directory.clear();
    }
    CallDirectory(const CallDirectory&) = delete;
    CallDirectory& operator=(const CallDirectory&) = delete;
};

// `path` as the system should be given it: unchanged when absolute or when
// no call is under way, else joined to the call's starting directory. The
// kernel then resolves "..", "." and links from there as it would have
// from the working directory.
inline std::string at_call_start(std::string_view path) {
    if (path.empty() || path.front() == '/' || detail::call_directory.empty()) return std::string(path);
    std::string out = detail::call_directory;
    if (out.back() != '/') out.push_back('/');
    out.append(path);
    return out;
}

// `path` (taken from the call's start as above) as a file name for SQLite,
// which in this build reads a name beginning with "file:" as a URI whatever
// the flags ("file:new.db?mode=memory" would open an in-memory database and
// write nothing): such a name is given as "./file:...", the same file.
inline std::string database_file_name(std::string_view path) {
    std::string out = at_call_start(path);
    if (out.starts_with("file:")) out.insert(0, "./");
    return out;
}

}  // namespace corpuswright
