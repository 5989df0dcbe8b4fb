// rvk-cat FILE: decodes FILE to standard output through the rvk library.
//
// The decoder runs on its own thread and hands owned chunks through the
// library's rendezvous pipe, exactly as the stream reader will; this thread
// writes each chunk to standard output as it arrives. RVK_NUM_THREADS sets
// the worker count (default 4, 0 = one per online processor). The format is
// chosen by the file's magic bytes. Exit status 0 on success, 1 with the
// error's text on standard error otherwise.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <thread>

#include "rvk/bzip2.hpp"
#include "rvk/gzip.hpp"
#include "rvk/options.hpp"
#include "rvk/pipe.hpp"

namespace {

// RVK_NUM_THREADS: an optional "+" and decimal digits fitting 64 bits; any
// other value (or none) gives 4.
std::uint64_t threads_from_env() {
  const char* v = std::getenv("RVK_NUM_THREADS");
  if (!v) return 4;
  const char* p = v;
  if (*p == '+') ++p;
  if (!*p) return 4;
  std::uint64_t n = 0;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9') return 4;
    std::uint64_t d = static_cast<std::uint64_t>(*p - '0');
    if (n > (UINT64_MAX - d) / 10) return 4;
    n = n * 10 + d;
  }
  return n;
}

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
  int fd = ::open(argv[1], O_RDONLY);
  if (fd < 0) {
    std::fprintf(stderr, "rvk-cat: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    std::fprintf(stderr, "rvk-cat: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  const std::uint8_t* data = nullptr;
  if (size) {
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
      std::fprintf(stderr, "rvk-cat: %s: %s\n", argv[1], std::strerror(errno));
      return 1;
    }
    data = static_cast<const std::uint8_t*>(map);
  }
  ::close(fd);
  std::span<const std::uint8_t> input(data, size);

  rvk::DecodeOptions options;
  options.threads = threads_from_env();
  auto [writer, reader] = rvk::output::make_pipe();
  rvk::Result<void> outcome;
  std::thread feeder([&, w = std::move(writer)]() mutable {
    if (size >= 3 && std::memcmp(data, "BZh", 3) == 0) {
      outcome = rvk::decode::decompress_to_sink_with_progress(input, w, options, rvk::no_progress());
    } else if (size >= 2 && data[0] == 0x1F && data[1] == 0x8B) {
      outcome = rvk::gzip::decompress_to_sink_with_options_and_progress(input, w, options,
                                                                       rvk::no_progress());
    } else {
      outcome = rvk::Error::unsupported_format("rvk-cat: unrecognised input format");
    }
    w.close();
  });
  bool write_ok = true;
  while (auto chunk = reader.receive()) {
    if (!write_all(1, chunk->bytes.data() + chunk->start, chunk->bytes.size() - chunk->start)) {
      write_ok = false;
      break;
    }
  }
  reader.close();
  feeder.join();
  if (!outcome.ok()) {
    std::fprintf(stderr, "rvk-cat: %s\n", outcome.error().to_string().c_str());
    return 1;
  }
  if (!write_ok) {
    std::fprintf(stderr, "rvk-cat: writing output: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
