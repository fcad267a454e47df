#include "common/file.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>  // BLKGETSIZE64
#endif

#include <cerrno>
#include <cstring>
#include <utility>

namespace rempar::io {
namespace {

FaultHook& fault_hook() {
  static FaultHook hook;
  return hook;
}

Kind kind_of(mode_t mode) {
  if (S_ISREG(mode)) return Kind::regular;
  if (S_ISDIR(mode)) return Kind::directory;
  if (S_ISBLK(mode)) return Kind::block_device;
  return Kind::other;
}

PathInfo to_info(const struct stat& st) {
  const bool device = S_ISBLK(st.st_mode);
  return PathInfo{static_cast<std::int64_t>(st.st_size),
                  S_ISREG(st.st_mode) != 0,
                  kind_of(st.st_mode),
                  !device,
                  device ? FileIdentity{st.st_rdev, 0} : FileIdentity{st.st_dev, st.st_ino},
                  st.st_mode & 07777,
                  st.st_uid,
                  st.st_gid};
}

// A block device's size, from the device itself: stat reports 0 for it.
std::optional<std::int64_t> device_size(int fd, const std::string& name) {
  if (injected(Op::device_size, name).error != 0) return std::nullopt;
#ifdef BLKGETSIZE64
  std::uint64_t bytes = 0;
  if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0 && bytes <= INT64_MAX) {
    return static_cast<std::int64_t>(bytes);
  }
#else
  (void)fd;
#endif
  return std::nullopt;
}

int open_flags(File::Mode mode) {
  switch (mode) {
    // Inputs are opened without waiting, so that a pipe with no writer is
    // refused at once instead of blocking the open; regular files ignore it.
    case File::Mode::read: return O_RDONLY | O_NONBLOCK;
    case File::Mode::create_rw: return O_RDWR | O_CREAT | O_TRUNC;
    case File::Mode::update_rw: return O_RDWR | O_NONBLOCK;
    // Without O_CREAT, O_EXCL asks a block device for exclusive use: EBUSY
    // when a file system is mounted on it.
    case File::Mode::update_exclusive: return O_RDWR | O_NONBLOCK | O_EXCL;
#ifdef O_DIRECT
    case File::Mode::read_direct: return O_RDONLY | O_NONBLOCK | O_DIRECT;
#else
    case File::Mode::read_direct: return O_RDONLY | O_NONBLOCK;
#endif
    case File::Mode::create_new: return O_RDWR | O_CREAT | O_EXCL;
    case File::Mode::directory: return O_RDONLY | O_DIRECTORY;
    // Never read: a pipe opened for reading too would be its own reader.
    case File::Mode::write_only: return O_WRONLY | O_NOCTTY;
  }
  return O_RDONLY;
}

// Reads or writes through the whole buffer, retrying interrupted and partial
// transfers. `step` moves at most `left` bytes from position `done`.
template <typename Step>
std::optional<std::size_t> transfer_all(std::size_t total, Step step) {
  std::size_t done = 0;
  while (done < total) {
    const ssize_t n = step(done, total - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace

void set_fault_hook(FaultHook hook) { fault_hook() = std::move(hook); }

Fault injected(Op op, const std::string& name) {
  const FaultHook& hook = fault_hook();
  return hook ? hook(op, name) : Fault{};
}

std::optional<PathInfo> stat_path(const std::string& name, int* error) {
  const Fault fault = injected(Op::stat, name);
  struct stat st {};
  if (fault.error != 0) {
    errno = fault.error;
  } else if (::stat(name.c_str(), &st) == 0) {
    return to_info(st);
  }
  if (error) *error = errno;
  return std::nullopt;
}

std::optional<PathInfo> descriptor_info(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return to_info(st);
}

std::string resolve_links(const std::string& name) {
  std::string path = name;
  // The system's own limit on links followed in one lookup.
  for (int hops = 0; hops < 40; ++hops) {
    if (injected(Op::stat, path).error != 0) return name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return name;
    target.resize(static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    if (target.front() == '/' || slash == std::string::npos) {
      path = target;
    } else {
      path.resize(slash + 1);
      path += target;
    }
  }
  return name;
}

bool remove_path(const std::string& name, int* error) {
  if (::unlink(name.c_str()) == 0) return true;
  if (error) *error = errno;
  return false;
}

bool rename_path(const std::string& from, const std::string& to, int* error) {
  const Fault fault = injected(Op::rename, to);
  if (fault.error != 0) {
    errno = fault.error;
  } else if (::rename(from.c_str(), to.c_str()) == 0) {
    return true;
  }
  if (error) *error = errno;
  return false;
}

std::optional<File> File::open(const std::string& name, Mode mode, int* error) {
  const Fault fault = injected(Op::open, name);
  int fd = -1;
  if (fault.error != 0) {
    errno = fault.error;
  } else {
    do {
      fd = ::open(name.c_str(), open_flags(mode) | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) {
    if (error) *error = errno;
    return std::nullopt;
  }
  return File(fd, name);
}

std::optional<File> File::duplicate(int fd, const std::string& name, int* error) {
  const Fault fault = injected(Op::open, name);
  int copy = -1;
  if (fault.error != 0) {
    errno = fault.error;
  } else {
    copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  }
  if (copy < 0) {
    if (error) *error = errno;
    return std::nullopt;
  }
  return File(copy, name);
}

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), name_(std::move(other.name_)), error_(other.error_) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    name_ = std::move(other.name_);
    error_ = other.error_;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

bool File::fail(int error) {
  error_ = error;
  return false;
}

std::optional<std::size_t> File::read(std::span<std::uint8_t> buffer) {
  return read_at(buffer, -1);
}

// An offset of -1 reads at the file position.
std::optional<std::size_t> File::read_at(std::span<std::uint8_t> buffer, std::int64_t offset) {
  const Fault fault = injected(Op::read, name_);
  if (fault.error != 0) {
    fail(fault.error);
    return std::nullopt;
  }
  const std::size_t wanted = fault.short_read ? buffer.size() / 2 : buffer.size();
  auto result = transfer_all(wanted, [&](std::size_t done, std::size_t left) {
    return offset < 0 ? ::read(fd_, buffer.data() + done, left)
                      : ::pread(fd_, buffer.data() + done, left,
                                static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
  });
  if (!result) fail(errno);
  return result;
}

bool File::write(std::span<const std::uint8_t> data) { return write_at(data, -1); }

bool File::write_at(std::span<const std::uint8_t> data, std::int64_t offset) {
  const Fault fault = injected(Op::write, name_);
  if (fault.error != 0) return fail(fault.error);
  auto result = transfer_all(data.size(), [&](std::size_t done, std::size_t left) {
    return offset < 0 ? ::write(fd_, data.data() + done, left)
                      : ::pwrite(fd_, data.data() + done, left,
                                 static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
  });
  if (!result) return fail(errno);
  // A write that makes no progress would loop for ever; report it as a full disk.
  if (*result != data.size()) return fail(ENOSPC);
  return true;
}

bool File::seek(std::int64_t offset) {
  const Fault fault = injected(Op::seek, name_);
  if (fault.error != 0) return fail(fault.error);
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return fail(errno);
  return true;
}

bool File::sync() {
  const Fault fault = injected(Op::sync, name_);
  if (fault.error != 0) return fail(fault.error);
  if (fault.skip_sync) return true;
  if (::fsync(fd_) != 0) return fail(errno);
  return true;
}

bool File::close() {
  if (fd_ < 0) return true;
  const Fault fault = injected(Op::close, name_);
  // The descriptor is released whatever close reports: retrying is unsafe.
  const int rc = ::close(std::exchange(fd_, -1));
  if (fault.error != 0) return fail(fault.error);
  if (rc != 0 && errno != EINTR) return fail(errno);
  return true;
}

std::optional<PathInfo> File::info() {
  const Fault fault = injected(Op::stat, name_);
  if (fault.error != 0) {
    fail(fault.error);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    fail(errno);
    return std::nullopt;
  }
  PathInfo info = to_info(st);
  if (info.kind == Kind::block_device) {
    const auto size = device_size(fd_, name_);
    info.size_known = size.has_value();
    info.size = size.value_or(0);
  }
  return info;
}

bool File::copy_attributes(const PathInfo& model) {
  const Fault fault = injected(Op::chmod, name_);
  if (fault.error != 0) return fail(fault.error);
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && (st.st_uid != model.owner || st.st_gid != model.group)) {
    // Only a privileged process may give a file away; others keep their own.
    if (::fchown(fd_, model.owner, model.group) != 0) errno = 0;
  }
  // After the owner: a change of owner clears the set-id bits.
  if (::fchmod(fd_, model.permissions) != 0) return fail(errno);
  return true;
}

void File::advise_sequential() {
#ifdef POSIX_FADV_SEQUENTIAL
  (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

void File::advise_random() {
#ifdef POSIX_FADV_RANDOM
  (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_RANDOM);
#endif
}

void File::drop_cached(std::int64_t offset, std::int64_t length) {
#ifdef POSIX_FADV_DONTNEED
  (void)::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                        POSIX_FADV_DONTNEED);
#endif
}

bool File::bypass_cache(bool bypass) {
#ifdef O_DIRECT
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0) return fail(errno);
  if (::fcntl(fd_, F_SETFL, bypass ? flags | O_DIRECT : flags & ~O_DIRECT) != 0) {
    return fail(errno);
  }
  return true;
#else
  return fail(EINVAL);
#endif
}

std::string error_text(int error) { return std::strerror(error); }

}  // namespace rempar::io
