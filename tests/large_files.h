#pragma once
// Sparse files that stand in for files and disks of many GiB: only the bytes
// written take room on the disk, everything else reads as zeros, so whole
// repair cycles over 5 GiB cost a few kilobytes of disk.

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace rempar::testing {

inline constexpr std::uint64_t GIB = std::uint64_t{1} << 30;

// Bytes at an offset, over the zeros of a sparse file.
struct Spot {
  std::uint64_t offset = 0;
  Bytes bytes;
};

// A sparse file of `size` bytes holding `spots`, the rest zeros.
void make_sparse_file(const std::string& path, std::uint64_t size, const std::vector<Spot>& spots);

// The bytes such a file holds in [offset, offset + length).
Bytes bytes_over_zeros(const std::vector<Spot>& spots, std::uint64_t offset, std::size_t length);

Bytes read_range(const std::string& path, std::uint64_t offset, std::size_t length);

// Whether two files (or devices) of `size` bytes hold the same bytes. Reads
// only where either file holds data, where the file system can tell; the
// rest is a hole in both, so zeros in both. The first difference goes to
// *where.
bool same_content(const std::string& a, const std::string& b, std::uint64_t size,
                  std::uint64_t* where);

// How many bytes of the file lie in the page cache now.
std::uint64_t cached_bytes(const std::string& path);

}  // namespace rempar::testing

namespace rempar::testing {

// A loop device over an image file, detached again when the object goes,
// whatever happened in between. Needs root and a free loop device.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  bool attached() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // Why no device could be had, when none was.
  const std::string& why_not() const { return why_not_; }

 private:
  std::string path_;
  std::string why_not_;
};

}  // namespace rempar::testing
