// The guarded input map (see source.hpp).
//
// Guarded maps are listed in slots that are never freed (a slot is reused by
// a later map), so the signal handler can walk the list without locks. Each
// slot's range is written under a sequence count: the handler trusts a range
// only when the count was even and unchanged around its reads.
#include "source.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>

namespace rvk::reader {

using error::IoError;
using error::IoKind;

namespace detail {

struct GuardSlot {
  std::atomic<std::uint64_t> seq{0};  // odd while the range is being written
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};
  std::atomic<bool> taken{false};
  GuardSlot* next = nullptr;  // fixed before the slot is published
};

}  // namespace detail

namespace {

using detail::GuardSlot;

std::atomic<GuardSlot*> g_slots{nullptr};
std::mutex g_install_mutex;
std::atomic<std::uintptr_t> g_page_size{4096};  // sysconf is no call for a signal handler
struct sigaction g_previous {};  // the handler ours replaced; written under the mutex

void write_range(GuardSlot& slot, std::uintptr_t begin, std::uintptr_t end) {
  slot.seq.fetch_add(1, std::memory_order_acq_rel);
  slot.begin.store(begin, std::memory_order_release);
  slot.end.store(end, std::memory_order_release);
  slot.seq.fetch_add(1, std::memory_order_acq_rel);
}

GuardSlot* guard(std::uintptr_t begin, std::uintptr_t end) {
  for (GuardSlot* s = g_slots.load(std::memory_order_acquire); s; s = s->next) {
    bool free = false;
    if (s->taken.compare_exchange_strong(free, true)) {
      s->faulted.store(false);
      write_range(*s, begin, end);
      return s;
    }
  }
  auto* s = new GuardSlot;
  s->taken.store(true);
  write_range(*s, begin, end);
  GuardSlot* head = g_slots.load(std::memory_order_acquire);
  do {
    s->next = head;
  } while (!g_slots.compare_exchange_weak(head, s, std::memory_order_acq_rel));
  return s;
}

void unguard(GuardSlot* slot) {
  write_range(*slot, 0, 0);
  slot->taken.store(false, std::memory_order_release);
}

// Async-signal-safe: atomics, mmap and sigaction only.
void on_sigbus(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (info->si_code > 0) {  // a fault, not a signal sent by someone
    for (GuardSlot* s = g_slots.load(std::memory_order_acquire); s; s = s->next) {
      const std::uint64_t before = s->seq.load(std::memory_order_acquire);
      const std::uintptr_t begin = s->begin.load(std::memory_order_acquire);
      const std::uintptr_t end = s->end.load(std::memory_order_acquire);
      if ((before & 1) != 0 || s->seq.load(std::memory_order_acquire) != before) continue;
      if (addr < begin || addr >= end) continue;
      // Everything from the lost page on is past the file's end: one
      // anonymous map of zeros replaces it, and the faulting read resumes.
      const std::uintptr_t from = addr & ~(g_page_size.load(std::memory_order_relaxed) - 1);
      void* zeros = ::mmap(reinterpret_cast<void*>(from), end - from, PROT_READ,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
      if (zeros != MAP_FAILED) {
        s->faulted.store(true, std::memory_order_release);
        errno = saved_errno;
        return;
      }
      break;
    }
  }
  errno = saved_errno;
  // Not ours: whatever handled SIGBUS before us does.
  const struct sigaction& prev = g_previous;
  if (prev.sa_flags & SA_SIGINFO) {
    prev.sa_sigaction(sig, info, context);
  } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
    prev.sa_handler(sig);
  } else {
    // The default action: a fault repeats on return and now ends the
    // process; a sent signal is raised again.
    ::signal(SIGBUS, SIG_DFL);
    if (info->si_code <= 0) ::raise(sig);
  }
}

// Installs the handler unless it is in place (someone may have replaced it
// since the last open), keeping the one it replaces to pass foreign faults on.
void install_handler() {
  std::lock_guard lock(g_install_mutex);
  g_page_size.store(static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)), std::memory_order_relaxed);
  struct sigaction current {};
  if (::sigaction(SIGBUS, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigbus) return;
  struct sigaction ours {};
  ours.sa_sigaction = on_sigbus;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&ours.sa_mask);
  g_previous = current;
  ::sigaction(SIGBUS, &ours, nullptr);
}

Error os_error(int code) { return Error::io(IoError::from_errno(code)); }

bool same_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

Result<std::shared_ptr<const Source>> Source::open(const std::string& path) {
  std::shared_ptr<Source> source(new Source());
  // Non-blocking, so that a FIFO without a writer is refused rather than
  // waited for; the flag means nothing to a regular file.
  source->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (source->fd_ < 0) return os_error(errno);
  struct stat st {};
  if (::fstat(source->fd_, &st) != 0) return os_error(errno);
  // A pipe or a device has no size to map; the decoders need the whole
  // input at once.
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  if (!S_ISREG(st.st_mode)) {
    return Error::io(IoKind::InvalidInput, std::string("a compressed input must be a regular file") +
                                               (S_ISFIFO(st.st_mode) ? ", not a FIFO" : ""));
  }
  source->mtime_ = st.st_mtim;
  if (st.st_size == 0) return std::shared_ptr<const Source>(std::move(source));
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (st.st_size < 0 || size > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
    return Error::io(IoKind::InvalidData, "memory map length overflows isize");
  }
  void* map = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, source->fd_, 0);
  if (map == MAP_FAILED) return os_error(errno);
  source->map_ = map;
  source->size_ = static_cast<std::size_t>(size);
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  source->map_len_ = (source->size_ + page - 1) / page * page;
  install_handler();
  const auto begin = reinterpret_cast<std::uintptr_t>(map);
  source->guard_ = guard(begin, begin + source->map_len_);
  return std::shared_ptr<const Source>(std::move(source));
}

Source::~Source() {
  if (guard_) unguard(guard_);
  if (map_) ::munmap(map_, map_len_);
  if (fd_ >= 0) ::close(fd_);
}

std::optional<Error> Source::changed() const {
  struct stat st {};
  const bool faulted = guard_ && guard_->faulted.load(std::memory_order_acquire);
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    if (!faulted) return std::nullopt;
    st.st_size = 0;
  }
  if (static_cast<std::uint64_t>(st.st_size) < size_) {
    return Error::io(IoKind::InvalidData, "the input file was cut short while it was read (from " +
                                              std::to_string(size_) + " to " + std::to_string(st.st_size) +
                                              " bytes)");
  }
  if (faulted || static_cast<std::uint64_t>(st.st_size) != size_ || !same_time(st.st_mtim, mtime_)) {
    return Error::io(IoKind::InvalidData, "the input file changed while it was read");
  }
  return std::nullopt;
}

}  // namespace rvk::reader
