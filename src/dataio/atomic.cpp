// Temporary files beside their targets, and their persisting by rename.
// Names are drawn from a per-thread generator; exclusive creation makes a
// collision with another process cost only one more attempt.
#include "corpuswright/stages/atomic.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

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

Result<void> sync_directory(const std::string& dir) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Ok{};  // best effort: some file systems refuse it
    ::fsync(fd);
    ::close(fd);
    return Ok{};
}

}  // namespace

std::string os_error(int err) { return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")"; }

TempFile::TempFile(int fd, std::string path, std::string context)
    : fd_(fd), path_(std::move(path)), context_(std::move(context)) {
    buf_.reserve(kFlushAt + 4096);
}

TempFile::TempFile(TempFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      context_(std::move(other.context_)),
      buf_(std::move(other.buf_)),
      written_(other.written_),
      synced_(other.synced_) {}

TempFile::~TempFile() { discard(); }

Error TempFile::failed(Error err) const {
    if (!context_.empty()) err.context(context_);
    return err;
}

void TempFile::discard() {
    if (fd_ < 0) return;
    ::close(fd_);
    ::unlink(path_.c_str());
    fd_ = -1;
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

Result<void> TempFile::persist(const std::string& target) {
    if (auto r = flush(); !r.ok()) {
        discard();
        return r;
    }
    if (::fsync(fd_) != 0) {
        int err = errno;
        discard();
        return failed(io_error(err));
    }
    if (::rename(path_.c_str(), target.c_str()) != 0) {
        int err = errno;
        discard();
        return failed(io_error(err));
    }
    ::close(fd_);
    fd_ = -1;
    return sync_directory(std::filesystem::path(target).parent_path().string());
}

Result<void> check_target(const std::string& target) {
    // A directory (".", "out/", an existing folder) would be met only by
    // the rename at the very end, after the whole input was read.
    if (target.empty()) return io_error(ENOENT);
    if (target.back() == '/') return io_error(EISDIR);
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return io_error(EISDIR);
    return Ok{};
}

Result<TempFile> atomic(const std::string& target, std::string_view argument) {
    namespace fs = std::filesystem;
    std::string context = file_context("writing", argument, target);
    CW_TRY(check_target(target).context(context));
    fs::path dir = fs::path(target).parent_path();
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
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (attempt == 3) rng.reseed();
        std::string name = ".tmp";
        for (int i = 0; i < 6; ++i) name.push_back(kAlphabet[rng.next() % 62]);
        std::string path = (base / name).string();
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) return TempFile(fd, path, std::move(context));
        if (errno == EEXIST || errno == EADDRINUSE) continue;
        return Error(os_error(errno) + " at path " + quote_for_message(path), ErrorKind::Io).context(std::move(context));
    }
    return Error("too many temporary files exist at path " + quote_for_message(base.string()), ErrorKind::Io)
        .context(std::move(context));
}

}  // namespace corpuswright::stages
