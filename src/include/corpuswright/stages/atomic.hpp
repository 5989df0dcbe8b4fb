// Atomic, durable output files. A stage writes into a temporary file beside
// its target (".tmp" and six random letters or digits, mode 0600 while it is
// written) and moves it over the target only when the stage has succeeded,
// so readers see the old file or the complete new one, never a partial one.
// The temporary file is flushed to disk before the rename and the directory
// after it, so a power loss also leaves one or the other. Write-out to disk
// is started while the stage runs (every few megabytes), so the final sync
// waits for the last stretch only rather than for the whole file.
//
// What the target names is settled when the file is prepared: a link is
// followed to the file it names, the target's directory is opened once and
// the temporary file, the rename and the lock are all made relative to that
// open directory, so a later change of working directory or of the links
// on the way changes nothing. A target that exists and is not a regular file
// (a device, a FIFO, a socket) is refused rather than replaced by a file.
//
// Two runs writing one output at once would each rename their file over it,
// and a pair of outputs could end up one from each run. A run therefore
// holds a lock on each output while it prepares and writes it: an advisory
// lock (flock) on a lock file ".<name>.lock" beside the target, taken before
// the temporary file is made and given up, with the lock file removed, when
// the temporary file is dropped. flock locks belong to the open file, so two
// threads of one process exclude each other as two processes do, and the
// kernel drops the lock of a killed run; the lock file such a run leaves is
// taken over and removed by the next run.
//
// The finished file gets the permission bits of the file it replaces, or,
// for a new file, those an ordinary new file gets (0666 less the umask).
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
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&&) = delete;
    TempFile(const TempFile&) = delete;
    ~TempFile();

    // The temporary file's absolute path (for messages and tests).
    const std::string& path() const { return path_; }

    // Buffered writing; a failure is reported by the write that meets it
    // and by every later write or flush.
    Result<void> write(std::string_view bytes);
    Result<void> put(char c) { return write(std::string_view(&c, 1)); }
    Result<void> flush();

    // Fails, with the file's context, when the target has become something
    // other than a regular file or nothing since the file was prepared.
    Result<void> check_target() const;

    // Flushes, syncs, gives the file its final permission bits, renames it
    // over the target and syncs the directory. On failure the temporary
    // file is removed and the target is untouched. The lock on the target
    // is held until the TempFile is dropped.
    Result<void> persist();

    // Direct access to the buffer for the record writers: appends happen
    // here, and `maybe_flush` writes the buffer out once it is large.
    std::string& buffer() { return buf_; }
    Result<void> maybe_flush();

private:
    friend Result<TempFile> atomic(const std::string& target, std::string_view argument);
    TempFile() = default;
    void discard();
    void unlock();
    Error failed(Error err) const;  // `err` under the file's context

    int dir_fd_ = -1;          // the target's directory, opened once
    int fd_ = -1;              // the temporary file, once created
    int lock_fd_ = -1;         // the lock file, once locked
    std::string name_;         // the temporary file's name in the directory
    std::string target_name_;  // the target's name in the directory
    std::string lock_name_;    // the lock file's name in the directory
    std::string path_;         // the temporary file's absolute path
    std::string context_;
    std::string buf_;
    unsigned new_mode_ = 0600;   // the bits a new file gets under the umask
    std::uint64_t written_ = 0;  // bytes written to the file so far
    std::uint64_t synced_ = 0;   // bytes whose write-out has been started
};

// Prepares the temporary file for `target` (after `check_target`): follows
// a link at the target to what it names, creates missing parent
// directories, opens the directory, refuses an existing target that is not
// a regular file, locks the target against other runs and creates the
// temporary file. Nothing is left on disk when it fails but the
// directories it created. Every error, then and later, carries "writing
// <argument> <target>". A relative target is taken from the working
// directory at the start of the call (call_paths.hpp).
Result<TempFile> atomic(const std::string& target, std::string_view argument = {});

// Fails with the system's "Is a directory" when `target` is (or, ending in
// "/", names) a directory: renaming over it would fail only at the end.
Result<void> check_target(const std::string& target);

// The system's text for an errno value.
std::string os_error(int err);

}  // namespace corpuswright::stages
