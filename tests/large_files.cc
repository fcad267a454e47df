#include "large_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace rempar::testing {
namespace {

class Fd {
 public:
  Fd(const std::string& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  }
  ~Fd() { ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void read_exactly(int fd, std::uint8_t* out, std::size_t length, std::uint64_t offset) {
  for (std::size_t done = 0; done < length;) {
    const ssize_t n = ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
    if (n <= 0) throw std::runtime_error("short read in a test file");
    done += static_cast<std::size_t>(n);
  }
}

using Extent = std::pair<std::uint64_t, std::uint64_t>;  // [first, second)

// Where the file holds data; the whole file when the file system cannot say.
std::vector<Extent> data_extents(int fd, std::uint64_t size) {
  std::vector<Extent> extents;
  for (off_t at = 0; static_cast<std::uint64_t>(at) < size;) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // only a hole is left
    if (data < 0) return {{0, size}};
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0) return {{0, size}};
    extents.emplace_back(data, std::min<std::uint64_t>(hole, size));
    at = hole;
  }
  return extents;
}

}  // namespace

void make_sparse_file(const std::string& path, std::uint64_t size, const std::vector<Spot>& spots) {
  const Fd fd(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    throw std::runtime_error("cannot size " + path);
  }
  for (const Spot& s : spots) {
    if (::pwrite(fd.get(), s.bytes.data(), s.bytes.size(), static_cast<off_t>(s.offset)) !=
        static_cast<ssize_t>(s.bytes.size())) {
      throw std::runtime_error("cannot write " + path);
    }
  }
}

Bytes bytes_over_zeros(const std::vector<Spot>& spots, std::uint64_t offset, std::size_t length) {
  Bytes bytes(length, 0);
  for (const Spot& s : spots) {
    const std::uint64_t from = std::max(offset, s.offset);
    const std::uint64_t to = std::min(offset + length, s.offset + s.bytes.size());
    for (std::uint64_t at = from; at < to; ++at) bytes[at - offset] = s.bytes[at - s.offset];
  }
  return bytes;
}

Bytes read_range(const std::string& path, std::uint64_t offset, std::size_t length) {
  const Fd fd(path, O_RDONLY);
  Bytes bytes(length);
  read_exactly(fd.get(), bytes.data(), length, offset);
  return bytes;
}

bool same_content(const std::string& a, const std::string& b, std::uint64_t size,
                  std::uint64_t* where) {
  const Fd fa(a, O_RDONLY);
  const Fd fb(b, O_RDONLY);
  std::vector<Extent> extents = data_extents(fa.get(), size);
  const std::vector<Extent> more = data_extents(fb.get(), size);
  extents.insert(extents.end(), more.begin(), more.end());
  constexpr std::size_t CHUNK = 1 << 20;
  Bytes ba(CHUNK);
  Bytes bb(CHUNK);
  for (const auto& [first, last] : extents) {
    for (std::uint64_t at = first; at < last; at += CHUNK) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK, last - at));
      read_exactly(fa.get(), ba.data(), n, at);
      read_exactly(fb.get(), bb.data(), n, at);
      const auto diff =
          std::mismatch(ba.begin(), ba.begin() + static_cast<std::ptrdiff_t>(n), bb.begin());
      if (diff.first != ba.begin() + static_cast<std::ptrdiff_t>(n)) {
        if (where) *where = at + static_cast<std::uint64_t>(diff.first - ba.begin());
        return false;
      }
    }
  }
  return true;
}

std::uint64_t cached_bytes(const std::string& path) {
  const Fd fd(path, O_RDONLY);
  const off_t size = ::lseek(fd.get(), 0, SEEK_END);
  if (size <= 0) return 0;
  void* map = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd.get(), 0);
  if (map == MAP_FAILED) throw std::runtime_error("cannot map " + path);
  const long page = ::sysconf(_SC_PAGESIZE);
  const auto pages = (static_cast<std::size_t>(size) + page - 1) / static_cast<std::size_t>(page);
  std::vector<unsigned char> resident(pages);
  const int rc = ::mincore(map, static_cast<std::size_t>(size), resident.data());
  ::munmap(map, static_cast<std::size_t>(size));
  if (rc != 0) throw std::runtime_error("mincore failed on " + path);
  const auto count = static_cast<std::uint64_t>(std::count_if(
      resident.begin(), resident.end(), [](unsigned char r) { return (r & 1) != 0; }));
  return count * static_cast<std::uint64_t>(page);
}

namespace {

// Runs a command through the shell; its output (both streams) and status.
std::pair<std::string, int> shell(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {"cannot start: " + command, -1};
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return {output, status};
}

}  // namespace

LoopDevice::LoopDevice(const std::string& image) {
  if (::geteuid() != 0) {
    why_not_ = "loop devices need root";
    return;
  }
  const auto [output, status] = shell("losetup -f --show '" + image + "'");
  if (status != 0 || !output.starts_with("/dev/")) {
    why_not_ = "losetup -f --show found no loop device: " + output;
    return;
  }
  path_ = output;
}

LoopDevice::~LoopDevice() {
  if (attached()) shell("losetup -d '" + path_ + "'");
}

}  // namespace rempar::testing
