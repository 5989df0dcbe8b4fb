// rvk-cat FILE: decodes FILE to standard output through the rvk library.
//
// It goes the way every product read goes: rvk::reader::Reader maps the
// file, picks the format (bzip2, gzip or LZ4, by magic bytes, then by
// extension), runs the decoder on its feeder thread "rvk-reader" and hands the
// decoded bytes over through the rendezvous pipe; this thread reads them and
// writes them to standard output. RVK_NUM_THREADS sets the worker count as it
// does for the reader (default 4, 0 = one per online processor, 1 = serial).
// Exit status 0 on success; 1 with the error's text on standard error.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "rvk/reader.hpp"

namespace {

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
  while (n) {
    ssize_t w = ::write(fd, p, n);
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
  if (argc != 2) {
    std::fprintf(stderr, "usage: rvk-cat FILE\n");
    return 2;
  }
  auto reader = rvk::reader::Reader::open(argv[1]);
  if (!reader.ok()) {
    std::fprintf(stderr, "rvk-cat: %s: %s\n", argv[1], reader.error().to_string().c_str());
    return 1;
  }
  // Larger than any chunk the decoders send, so each read moves one chunk.
  std::vector<std::uint8_t> buffer(std::size_t{8} << 20);
  for (;;) {
    auto n = reader->read(buffer);
    if (!n.ok()) {
      std::fprintf(stderr, "rvk-cat: %s: %s\n", argv[1], n.error().to_string().c_str());
      return 1;
    }
    if (*n == 0) return 0;
    if (!write_all(1, buffer.data(), *n)) {
      std::fprintf(stderr, "rvk-cat: writing output: %s\n", std::strerror(errno));
      return 1;
    }
  }
}
