// Atomic, durable output files. A stage writes into a temporary file beside
// its target (".tmp" and six random letters or digits, mode 0600) and moves
// it over the target only when the stage has succeeded, so readers see the
// old file or the complete new one, never a partial one. The temporary file
// is flushed to disk before the rename and the directory after it, so a
// power loss also leaves one or the other. Write-out to disk is started
// while the stage runs (every few megabytes), so the final sync waits for
// the last stretch only rather than for the whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "corpuswright/error.hpp"

namespace corpuswright::stages {

// A temporary output file with its own write buffer. Dropping it without
// `persist` closes and removes the file.
class TempFile {
public:
    // `context` is put before every error of the file ("writing articles
    // /data/a.jsonl").
    TempFile(int fd, std::string path, std::string context = {});
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&&) = delete;
    TempFile(const TempFile&) = delete;
    ~TempFile();

    const std::string& path() const { return path_; }

    // Buffered writing; a failure is reported by the write that meets it
    // and by every later write or flush.
    Result<void> write(std::string_view bytes);
    Result<void> put(char c) { return write(std::string_view(&c, 1)); }
    Result<void> flush();

    // Flushes, syncs, renames over `target` and syncs the directory. On
    // failure the temporary file is removed and the target is untouched.
    Result<void> persist(const std::string& target);

    // Direct access to the buffer for the record writers: appends happen
    // here, and `maybe_flush` writes the buffer out once it is large.
    std::string& buffer() { return buf_; }
    Result<void> maybe_flush();

private:
    void discard();
    Error failed(Error err) const;  // `err` under the file's context

    int fd_;
    std::string path_;
    std::string context_;
    std::string buf_;
    std::uint64_t written_ = 0;  // bytes written to the file so far
    std::uint64_t synced_ = 0;   // bytes whose write-out has been started
};

// Creates the temporary file for `target` in the target's directory,
// creating missing parent directories first, after `check_target`. Every
// error, then and later, carries "writing <argument> <target>".
Result<TempFile> atomic(const std::string& target, std::string_view argument = {});

// Fails with the system's "Is a directory" when `target` is (or, ending in
// "/", names) a directory: renaming over it would fail only at the end.
Result<void> check_target(const std::string& target);

// The system's text for an errno value.
std::string os_error(int err);

}  // namespace corpuswright::stages
