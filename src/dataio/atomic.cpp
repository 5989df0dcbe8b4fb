// Temporary files beside their targets, and their persisting by rename.
// Names are drawn from a per-thread generator; exclusive creation makes a
// collision with another process cost only one more attempt. Every file
// operation is made relative to the target's directory, opened once.
#include "corpuswright/stages/atomic.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "corpuswright/call_paths.hpp"
#include "corpuswright/stages/input.hpp"
#include "quote.hpp"

namespace corpuswright::stages {
namespace {

constexpr std::size_t kFlushAt = 1 << 20;
// Write-out of the file's dirty pages is started each time this much more
// has been written. Left to the end, syncing a file of some hundred
// megabytes is a serial pause of a few tenths of a second after all the
// parallel work; started early, the disk takes the data while the pool
// converts, and the final sync only waits for the last few megabytes.
constexpr std::uint64_t kWriteOutEvery = 8u << 20;
constexpr int kMaxAttempts = 65536;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// xoshiro-style generator kept per thread, seeded once from the system.
struct NameRng {
    std::uint64_t s;
    NameRng() {
        std::uint64_t seed = 0;
        if (getentropy(&seed, sizeof seed) != 0) seed = std::random_device{}() ^ (std::uint64_t(::getpid()) << 32);
        s = seed | 1;
    }
    void reseed() {
        std::uint64_t seed = 0;
        if (getentropy(&seed, sizeof seed) == 0) s = seed | 1;
    }
    std::uint64_t next() {
        // splitmix64
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

thread_local NameRng rng;

Error io_error(int err) { return Error(os_error(err), ErrorKind::Io); }

// What an existing target that is no regular file is, for the refusal.
const char* file_kind(mode_t mode) {
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

Error not_regular(mode_t mode) {
    return Error(std::string("the output exists and is ") + file_kind(mode) +
                     ", which is never replaced: outputs are written to a new file renamed over the target; "
                     "give the name of a regular file or of a new one",
                 ErrorKind::Io);
}

// The path a chain of symbolic links at `path` leads to (the path itself
// when it is no link); a link that names nothing yet leads to where it
// points, as writing through it would.
Result<std::string> follow_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        char link[PATH_MAX];
        ssize_t n = ::readlink(path.c_str(), link, sizeof link);
        if (n < 0) return io_error(errno);
        if (static_cast<std::size_t>(n) == sizeof link) return io_error(ENAMETOOLONG);
        std::string next(link, static_cast<std::size_t>(n));
        if (next.empty()) return io_error(ENOENT);
        if (next.front() != '/') {
            std::size_t slash = path.rfind('/');
            next = slash == std::string::npos ? next : path.substr(0, slash + 1) + next;
        }
        path = std::move(next);
    }
    return io_error(ELOOP);
}

// The lock file's name for a target's name: ".<name>.lock", or a stable
// hash of the name where that would exceed the longest name allowed.
std::string lock_name_for(const std::string& name) {
    if (name.size() + 6 <= NAME_MAX) return "." + name + ".lock";
    std::uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 0x100000001b3ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return std::string(".lock-") + hex;
}

}  // namespace

std::string os_error(int err) { return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")"; }

TempFile::TempFile(TempFile&& other) noexcept
    : dir_fd_(std::exchange(other.dir_fd_, -1)),
      fd_(std::exchange(other.fd_, -1)),
      lock_fd_(std::exchange(other.lock_fd_, -1)),
      name_(std::move(other.name_)),
      target_name_(std::move(other.target_name_)),
      lock_name_(std::move(other.lock_name_)),
      path_(std::move(other.path_)),
      context_(std::move(other.context_)),
      buf_(std::move(other.buf_)),
      new_mode_(other.new_mode_),
      written_(other.written_),
      synced_(other.synced_) {}

TempFile::~TempFile() {
    discard();
    unlock();
    if (dir_fd_ >= 0) ::close(dir_fd_);
}

Error TempFile::failed(Error err) const {
    if (!context_.empty()) err.context(context_);
    return err;
}

void TempFile::discard() {
    if (fd_ < 0) return;
    ::close(fd_);
    ::unlinkat(dir_fd_, name_.c_str(), 0);
    fd_ = -1;
}

// The lock file goes while it is still locked: a run that opened it and
// waits finds, once it holds the lock, that the name no longer leads to it,
// and starts again with a fresh one.
void TempFile::unlock() {
    if (lock_fd_ < 0) return;
    ::unlinkat(dir_fd_, lock_name_.c_str(), 0);
    ::close(lock_fd_);
    lock_fd_ = -1;
}

Result<void> TempFile::flush() {
    if (fd_ < 0) return failed(Error("output file already closed", ErrorKind::Io));
    const char* p = buf_.data();
    std::size_t left = buf_.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failed(io_error(errno));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    written_ += buf_.size();
    buf_.clear();
#ifdef __linux__
    if (written_ - synced_ >= kWriteOutEvery) {
        // Only starts the write-out (no waiting, no durability promise);
        // the fsync in persist still decides. A refusal costs nothing but
        // a longer final sync, so its result is not checked.
        ::sync_file_range(fd_, static_cast<off_t>(synced_), static_cast<off_t>(written_ - synced_),
                          SYNC_FILE_RANGE_WRITE);
        synced_ = written_;
    }
#endif
    return Ok{};
}

Result<void> TempFile::maybe_flush() {
    if (buf_.size() >= kFlushAt) return flush();
    return Ok{};
}

Result<void> TempFile::write(std::string_view bytes) {
    buf_.append(bytes);
    return maybe_flush();
}

Result<void> TempFile::check_target() const {
    struct stat st {};
    if (::fstatat(dir_fd_, target_name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Ok{};
    if (S_ISDIR(st.st_mode)) return failed(io_error(EISDIR));
    if (!S_ISREG(st.st_mode)) return failed(not_regular(st.st_mode));
    return Ok{};
}

Result<void> TempFile::persist() {
    if (auto r = flush(); !r.ok()) {
        discard();
        return r;
    }
    if (auto r = check_target(); !r.ok()) {
        discard();
        return r;
    }
    // The replaced file's permission bits, else a new file's. A file system
    // without them (FAT) refuses, and the file keeps what it has.
    struct stat st {};
    unsigned mode = new_mode_;
    if (::fstatat(dir_fd_, target_name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) mode = st.st_mode & 0777;
    ::fchmod(fd_, mode);
    if (::fsync(fd_) != 0) {
        int err = errno;
        discard();
        return failed(io_error(err));
    }
    if (::renameat(dir_fd_, name_.c_str(), dir_fd_, target_name_.c_str()) != 0) {
        int err = errno;
        discard();
        return failed(io_error(err));
    }
    ::close(fd_);
    fd_ = -1;
    ::fsync(dir_fd_);  // best effort: a directory opened only as a path, or some file systems, refuse it
    return Ok{};
}

Result<void> check_target(const std::string& target) {
    // A directory (".", "out/", an existing folder) would be met only by
    // the rename at the very end, after the whole input was read.
    if (target.empty()) return io_error(ENOENT);
    if (target.back() == '/') return io_error(EISDIR);
    struct stat st {};
    if (::lstat(at_call_start(target).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return io_error(EISDIR);
    return Ok{};
}

Result<TempFile> atomic(const std::string& target, std::string_view argument) {
    namespace fs = std::filesystem;
    std::string context = file_context("writing", argument, target);
    CW_TRY(check_target(target).context(context));
    const std::string given = at_call_start(target);
    // What the path leads to, links followed by the system: a magic link
    // such as /dev/stdout names a pipe or a terminal by no path at all.
    struct stat st {};
    if (::stat(given.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        return not_regular(st.st_mode).context(std::move(context));
    }
    auto followed = follow_links(given);
    if (!followed.ok()) return std::move(followed).error().context(std::move(context));
    const fs::path path(std::move(followed).value());
    fs::path dir = path.parent_path();
    if (!dir.empty()) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) return io_error(ec.value()).context(std::move(context));
    }
    fs::path base = dir;
    if (base.is_relative()) {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return io_error(errno).context(std::move(context));
        base = dir.empty() ? fs::path(cwd) : fs::path(cwd) / dir;
    }

    // Everything that allocates is done before the first file is made, and
    // from then on the TempFile owns what is made: running out of memory
    // (or any other failure) leaves no file and no descriptor behind.
    TempFile file;
    file.context_ = std::move(context);
    file.target_name_ = path.filename().string();
    file.lock_name_ = lock_name_for(file.target_name_);
    file.buf_.reserve(kFlushAt + 4096);
    const std::string base_dir = base.string();
    const std::string lock_path = (base / file.lock_name_).string();

    const char* dir_name = dir.empty() ? "." : dir.c_str();
    file.dir_fd_ = ::open(dir_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file.dir_fd_ < 0 && errno == EACCES) file.dir_fd_ = ::open(dir_name, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (file.dir_fd_ < 0) return file.failed(io_error(errno));
    CW_TRY(file.check_target());

    while (true) {
        int fd = ::openat(file.dir_fd_, file.lock_name_.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            return file.failed(Error(os_error(errno) + " at path " + quote_for_message(lock_path), ErrorKind::Io));
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int err = errno;
            ::close(fd);
            if (err == EINTR) continue;
            if (err == EWOULDBLOCK) {
                return file.failed(Error("another run is writing this output now (it holds the lock " +
                                             quote_for_message(lock_path) + ")",
                                         ErrorKind::Io));
            }
            return file.failed(Error(os_error(err) + " at path " + quote_for_message(lock_path), ErrorKind::Io));
        }
        // Locked; but the run that held it before may have removed the
        // name meanwhile, and a lock on a file without a name locks nothing.
        struct stat held {}, named {};
        if (::fstat(fd, &held) == 0 && ::fstatat(file.dir_fd_, file.lock_name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            file.lock_fd_ = fd;
            break;
        }
        ::close(fd);
    }

    std::string name = ".tmpXXXXXX";
    std::string tmp_path = (base / name).string();
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (attempt == 3) rng.reseed();
        for (int i = 0; i < 6; ++i) name[4 + i] = kAlphabet[rng.next() % 62];
        tmp_path.replace(tmp_path.size() - 6, 6, name, 4, 6);
        // 0666 so that the kernel applies the umask (and a default ACL);
        // the bits are kept for the end, and the file stays private while
        // it is written.
        int fd = ::openat(file.dir_fd_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file.fd_ = fd;
            file.name_.swap(name);
            file.path_.swap(tmp_path);
            struct stat st {};
            if (::fstat(fd, &st) == 0) file.new_mode_ = st.st_mode & 0777;
            ::fchmod(fd, 0600);
            return file;
        }
        if (errno == EEXIST || errno == EADDRINUSE) continue;
        return file.failed(Error(os_error(errno) + " at path " + quote_for_message(tmp_path), ErrorKind::Io));
    }
    return file.failed(
        Error("too many temporary files exist at path " + quote_for_message(base_dir), ErrorKind::Io));
}

}  // namespace corpuswright::stages
