// rvk-read FILE [--discard]: decodes FILE through rvk::reader::Reader and
// writes the bytes to standard output (or only counts them with --discard),
// then prints the decoded size and rate on standard error. RVK_NUM_THREADS
// sets the worker count as for every reader. Compare with e.g.
//   time lz4 -dc FILE > /dev/null   vs   time rvk-read FILE > /dev/null
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rvk/reader.hpp"

namespace {

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: rvk-read FILE [--discard]\n");
    return 2;
  }
  const bool discard = argc == 3 && std::string(argv[2]) == "--discard";
  const auto start = std::chrono::steady_clock::now();
  auto reader = rvk::reader::Reader::open(argv[1]);
  if (!reader.ok()) {
    std::fprintf(stderr, "rvk-read: %s\n", reader.error().to_string().c_str());
    return 1;
  }
  std::vector<std::uint8_t> buffer(1 << 20);
  std::uint64_t total = 0;
  for (;;) {
    auto n = reader->read(buffer);
    if (!n.ok()) {
      std::fprintf(stderr, "rvk-read: %s\n", n.error().to_string().c_str());
      return 1;
    }
    if (*n == 0) break;
    total += *n;
    if (!discard && !write_all(1, buffer.data(), *n)) {
      std::fprintf(stderr, "rvk-read: write: %s\n", std::strerror(errno));
      return 1;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "%llu bytes in %.3f s (%.0f MB/s)\n", static_cast<unsigned long long>(total), seconds,
               static_cast<double>(total) / seconds / 1e6);
  return 0;
}
