#include "common/file_window.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace rempar::io {
namespace {

// Brings the pages of a mapping in, failing with an error where an access
// would raise SIGBUS; known to kernels from 5.14 on, which older ones refuse
// with EINVAL.
#ifdef MADV_POPULATE_READ
constexpr int POPULATE_READ = MADV_POPULATE_READ;
#else
constexpr int POPULATE_READ = 22;
#endif

// The size of a large page, to which windows are aligned as the file is.
constexpr std::uintptr_t LARGE_PAGE = std::uintptr_t{2} << 20;

// The window the SIGBUS handler may repair; lock-free atomics are safe to
// touch from a signal handler.
std::atomic<std::uintptr_t> watched_begin{0};
std::atomic<std::uintptr_t> watched_end{0};
std::atomic<bool> window_lost{false};
std::atomic<bool> windows_open{false};
struct sigaction previous_action {};

std::size_t page_size() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
void* pointer(std::uintptr_t a) {
  return reinterpret_cast<void*>(a);  // NOLINT(performance-no-int-to-ptr)
}

// Puts anonymous pages over [begin, end): readable zeros, or no access at
// all for the reserved range between windows.
bool cover(std::uintptr_t begin, std::uintptr_t end, int protection) {
  return ::mmap(pointer(begin), end - begin, protection,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0) != MAP_FAILED;
}

// A SIGBUS in the watched window: the file lost the pages under it. Zero
// pages take their place, so the access that faulted completes when the
// handler returns, and the loss is remembered. Some emulators report no
// usable address: while a window is watched, its first SIGBUS is taken as
// the window's. Any other SIGBUS is not ours (or comes again after the
// window was covered): the previous action comes back, and the access
// faults again.
void on_bus_error(int /*signal*/, siginfo_t* info, void* /*context*/) {
  const std::uintptr_t at = address(info->si_addr);
  const std::uintptr_t begin = watched_begin.load();
  const std::uintptr_t end = watched_end.load();
  const bool in_window = at >= begin && at < end;
  if (begin < end && (in_window || !window_lost.load()) && cover(begin, end, PROT_READ)) {
    window_lost.store(true);
    return;
  }
  ::sigaction(SIGBUS, &previous_action, nullptr);
}

void watch(std::uintptr_t begin, std::uintptr_t end) {
  watched_end.store(0);
  watched_begin.store(begin);
  watched_end.store(end);
  window_lost.store(false);
}

std::uint64_t minor_faults() {
  struct rusage usage {};
#ifdef RUSAGE_THREAD
  ::getrusage(RUSAGE_THREAD, &usage);
#else
  ::getrusage(RUSAGE_SELF, &usage);
#endif
  return static_cast<std::uint64_t>(usage.ru_minflt);
}

}  // namespace

FileWindows::FileWindows(File& file, std::size_t max_length)
    : file_(file), max_length_(max_length) {
  if (windows_open.exchange(true)) return;
  struct sigaction action {};
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  const std::size_t length = max_length + 2 * LARGE_PAGE + page_size();
  void* range =
      ::mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (range == MAP_FAILED || ::sigaction(SIGBUS, &action, &previous_action) != 0) {
    if (range != MAP_FAILED) ::munmap(range, length);
    windows_open.store(false);
    return;
  }
  reserved_ = static_cast<std::uint8_t*>(range);
  reserved_length_ = length;
  aligned_ = static_cast<std::uint8_t*>(
      pointer((address(range) + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE));
}

FileWindows::~FileWindows() {
  if (!reserved_) return;
  release();
  ::munmap(reserved_, reserved_length_);
  ::sigaction(SIGBUS, &previous_action, nullptr);
  windows_open.store(false);
}

void FileWindows::fail(int error) { error_ = error; }

std::optional<std::span<const std::uint8_t>> FileWindows::map(std::uint64_t offset,
                                                              std::size_t length) {
  release();
  const Fault fault = injected(Op::map, file_.name());
  if (fault.error != 0 || !reserved_) {
    fail(fault.error != 0 ? fault.error : EINVAL);
    return std::nullopt;
  }
  const std::size_t page = page_size();
  const std::uint64_t from = offset / page * page;
  const auto lead = static_cast<std::size_t>(offset - from);
  const std::size_t mapped = (lead + length + page - 1) / page * page;
  if (mapped > max_length_ + page) {
    fail(EINVAL);
    return std::nullopt;
  }
  // The window sits where the file's large pages would: the same offset
  // from a large-page boundary.
  std::uint8_t* at = aligned_ + static_cast<std::size_t>(from % LARGE_PAGE);
  if (::mmap(at, mapped, PROT_READ, MAP_PRIVATE | MAP_FIXED, file_.fd_, static_cast<off_t>(from)) ==
      MAP_FAILED) {
    fail(errno);
    cover(address(at), address(at) + mapped, PROT_NONE);
    return std::nullopt;
  }
  window_ = at;
  window_length_ = mapped;
  watch(address(at), address(at) + mapped);
  const std::uint64_t before = minor_faults();
  int rc = 0;
  do {
    rc = ::madvise(at, mapped, POPULATE_READ);
  } while (rc != 0 && errno == EINTR);
  faults_ = minor_faults() - before;
  if (rc != 0) {
    fail(errno);
    cannot_populate_ = error_ == EINVAL;
    release();
    return std::nullopt;
  }
  if (fault.short_read) {
    // As a truncation would: the second half of the window goes.
    const std::uintptr_t half = (address(at) + mapped / 2) / page * page;
    if (cover(half, address(at) + mapped, PROT_READ)) window_lost.store(true);
  }
  return std::span<const std::uint8_t>(at + lead, length);
}

bool FileWindows::lost() const { return window_lost.load(); }

void FileWindows::release() {
  if (!window_) return;
  watch(0, 0);
  cover(address(window_), address(window_) + window_length_, PROT_NONE);
  window_ = nullptr;
  window_length_ = 0;
}

}  // namespace rempar::io
