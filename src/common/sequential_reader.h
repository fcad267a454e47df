#pragma once
// Reads a file front to back through one buffer, so that many small fields
// cost one system call per buffer, not one each.

#include <cstdint>
#include <span>
#include <vector>

#include "common/file.h"
#include "common/read_status.h"

namespace rempar::io {

class SequentialReader {
 public:
  using Status = ReadStatus;

  // Starts reading `file` at `offset`, never past `end`.
  SequentialReader(File& file, std::int64_t offset, std::int64_t end,
                   std::size_t buffer_size = 1 << 16);

  // Reads from `preloaded`, which already holds the bytes from `offset` to `end`.
  SequentialReader(File& file, std::int64_t offset, std::vector<std::uint8_t> preloaded);

  // Up to `max` of the next bytes, straight from the buffer; empty with a
  // status other than ok when none can be had.
  std::span<const std::uint8_t> next(std::size_t max, Status& status);
  // Fills `out` completely, or says why not.
  Status read(std::span<std::uint8_t> out);
  Status read_u32(std::uint32_t& value);
  // An unsigned field `width` bytes wide (4 or 8).
  Status read_uint(std::uint64_t& value, std::int64_t width);
  std::int64_t position() const { return position_; }

 private:
  Status refill();

  File& file_;
  std::int64_t position_;  // file offset of the next byte handed out
  std::int64_t end_;
  std::vector<std::uint8_t> buffer_;
  std::size_t next_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace rempar::io
