// Opening the dataset stages' inputs. The decision is made on the name alone
// (exact, case-sensitive "gz" or "bz2"), so a caller can always predict which
// path a file takes; the decompression library then checks the real format
// from the file's first bytes.
#include "corpuswright/stages/input.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "corpuswright/stages/atomic.hpp"
#include "open_compressed.hpp"

namespace corpuswright::stages {
namespace {

class FileReader final : public ByteReader {
public:
    explicit FileReader(int fd) : fd_(fd) {}
    ~FileReader() override { ::close(fd_); }

    Result<std::size_t> read(char* buf, std::size_t n) override {
        while (true) {
            ssize_t got = ::read(fd_, buf, n);
            if (got >= 0) return static_cast<std::size_t>(got);
            if (errno != EINTR) return Error(os_error(errno), ErrorKind::Io);
        }
    }

private:
    int fd_;
};

}  // namespace

std::string_view path_extension(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return {};
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

Result<std::unique_ptr<ByteReader>> open_input(const std::string& path) {
    std::string_view ext = path_extension(path);
    if (ext == "gz" || ext == "bz2") return open_compressed(path);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Error(os_error(errno), ErrorKind::Io).context("opening " + path);
    return std::unique_ptr<ByteReader>(new FileReader(fd));
}

}  // namespace corpuswright::stages
