// Opening the dataset stages' inputs. The decision is made on the name alone
// (exact, case-sensitive "gz" or "bz2"), so a caller can always predict which
// path a file takes; the decompression library then checks the real format
// from the file's first bytes.
#include "corpuswright/stages/input.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "corpuswright/call_paths.hpp"
#include "corpuswright/stages/atomic.hpp"
#include "open_compressed.hpp"

namespace corpuswright::stages {
namespace {

// How long a read waits for a stalled pipe or device before it looks at
// the stop flag again.
constexpr int kWaitSliceMs = 50;

class FileReader final : public ByteReader {
public:
    FileReader(int fd, const std::atomic<bool>* stop) : fd_(fd), stop_(stop) {}
    ~FileReader() override { ::close(fd_); }

    Result<std::size_t> read(char* buf, std::size_t n) override { return read_some(fd_, buf, n, stop_); }

private:
    int fd_;
    const std::atomic<bool>* stop_;
};

}  // namespace

Result<std::size_t> read_some(int fd, char* buf, std::size_t n, const std::atomic<bool>* stop) {
    while (true) {
        // Waits first: a FIFO opened without a writer reads as ended until
        // one comes, where poll waits for it (and for its data or its end).
        // A regular file is always ready; one call more per large read.
        struct pollfd p {fd, POLLIN, 0};
        int ready = ::poll(&p, 1, kWaitSliceMs);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            if (stop_requested(stop)) return interrupted();
            continue;
        }
        ssize_t got = ::read(fd, buf, n);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (stop_requested(stop)) return interrupted();
            continue;
        }
        return Error(os_error(errno), ErrorKind::Io);
    }
}

std::string_view path_extension(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return {};
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

bool decoded_by_name(std::string_view path) {
    std::string_view ext = path_extension(path);
    return ext == "gz" || ext == "bz2";
}

std::string file_context(std::string_view verb, std::string_view argument, std::string_view path) {
    std::string out(verb);
    out.push_back(' ');
    if (!argument.empty()) {
        out.append(argument);
        out.push_back(' ');
    }
    out.append(path);
    return out;
}

Result<int> open_for_reading(const std::string& path) {
    // Non-blocking: opening a FIFO then waits for no writer, and reads wait
    // in read_some, where a stop request is seen.
    int fd = ::open(at_call_start(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Error(os_error(errno), ErrorKind::Io);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return Error(os_error(EISDIR), ErrorKind::Io);
    }
    return fd;
}

Result<std::unique_ptr<ByteReader>> open_input(const std::string& path, std::string_view argument,
                                               const std::atomic<bool>* stop) {
    std::string context = file_context("opening", argument, path);
    if (decoded_by_name(path)) {
        // A directory would reach the decoder's mapping as "No such device".
        struct stat st {};
        const std::string at_start = at_call_start(path);
        if (::stat(at_start.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return Error(os_error(EISDIR), ErrorKind::Io).context(std::move(context));
        }
        auto reader = open_compressed(at_start);
        if (reader.ok()) return reader;
        // The bridge names the path already; the argument is said here once.
        std::vector<std::string> chain = reader.error().chain();
        if (chain.size() > 1 && chain.front() == "opening " + at_start) chain.erase(chain.begin());
        Error err(chain.back(), reader.error().kind());
        for (std::size_t i = chain.size() - 1; i-- > 0;) err.context(chain[i]);
        return std::move(err).context(std::move(context));
    }
    auto fd = open_for_reading(path);
    if (!fd.ok()) return std::move(fd).error().context(std::move(context));
    try {
        return std::unique_ptr<ByteReader>(new FileReader(fd.value(), stop));
    } catch (...) {
        ::close(fd.value());  // the descriptor is not to outlive a failed allocation
        throw;
    }
}

std::string_view compression_magic(std::string_view start) {
    using namespace std::string_view_literals;
    auto is = [&](std::string_view magic) { return start.substr(0, magic.size()) == magic; };
    if (is("\x1f\x8b"sv)) return "gzip";
    if (is("BZh"sv) && start.size() > 3 && start[3] >= '1' && start[3] <= '9') return "bzip2";
    if (is("\xFD" "7zXZ\x00"sv)) return "xz";
    if (is("\x28\xB5\x2F\xFD"sv)) return "zstd";
    if (is("\x04\x22\x4D\x18"sv) || is("\x02\x21\x4C\x18"sv)) return "LZ4";
    if (is("PK\x03\x04"sv)) return "ZIP";
    if (is("7z\xBC\xAF\x27\x1C"sv)) return "7-Zip";
    return {};
}

std::string looks_compressed_message(std::string_view format, bool decoded) {
    std::string f(format);
    if (decoded) return "its decoded content looks compressed again (" + f + "); decompress it first";
    std::string out = "the file looks compressed (" + f +
                      "), but only files whose names end in .gz or .bz2 are decoded (as gzip or bzip2); ";
    if (format == "gzip") return out + "rename it to end in .gz, or decompress it first";
    if (format == "bzip2") return out + "rename it to end in .bz2, or decompress it first";
    return out + "decompress it first";
}

}  // namespace corpuswright::stages
