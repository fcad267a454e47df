#pragma once
// Read-only windows onto a regular file, mapped where its pages lie in the
// cache, so that a walk checksums the file without copying it. One window
// at a time lives in an address range reserved once, aligned so that the
// kernel can map a window by large pages where the cache holds the file in
// large folios.
//
// A file that someone else truncates after its window was brought in would
// make every access past its new end raise SIGBUS. While a FileWindows
// lives, a SIGBUS that hits its current window turns the window into zero
// pages and is remembered: the walker asks `lost()` after using a window,
// and then trusts nothing it read from it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/file.h"

namespace rempar::io {

class FileWindows {
 public:
  // Windows of at most `max_length` bytes onto `file`. `ready()` says
  // whether they can be had (one FileWindows at a time per process, and a
  // kernel that can bring a mapping in).
  FileWindows(File& file, std::size_t max_length);
  ~FileWindows();
  FileWindows(const FileWindows&) = delete;
  FileWindows& operator=(const FileWindows&) = delete;

  bool ready() const { return reserved_ != nullptr && !cannot_populate_; }

  // Maps [offset, offset + length) and brings its pages in, releasing the
  // window before. Nothing, with the error kept, when the pages cannot all
  // be brought in (a medium error, a file shorter than that, a kernel that
  // cannot populate a mapping): such a window is read with read() instead.
  std::optional<std::span<const std::uint8_t>> map(std::uint64_t offset, std::size_t length);
  // The page faults that bringing in the current window took: few where the
  // cache holds the file in large folios, one per small folio otherwise.
  std::uint64_t faults() const { return faults_; }
  // Whether the current window lost its pages since it was mapped.
  bool lost() const;
  // Unmaps the current window; its pages stay in the cache.
  void release();
  int last_error() const { return error_; }

 private:
  void fail(int error);

  File& file_;
  std::size_t max_length_;
  std::uint8_t* reserved_ = nullptr;  // the whole reserved range
  std::size_t reserved_length_ = 0;
  std::uint8_t* aligned_ = nullptr;  // its first large-page boundary
  std::uint8_t* window_ = nullptr;   // the current window's pages, or null
  std::size_t window_length_ = 0;
  std::uint64_t faults_ = 0;
  int error_ = 0;
  bool cannot_populate_ = false;  // a kernel before 5.14 refuses every window
};

}  // namespace rempar::io
