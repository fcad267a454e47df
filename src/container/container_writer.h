#pragma once
// Writes a container front to back through one buffer, computing its seal on
// the way instead of reading the container back. A failed write is sticky:
// every later one fails too, so a writer of many fields may look only at the
// result of the call that ends the container (write_internal_checksum), or at
// healthy() to stop early.

#include <cstdint>
#include <span>

#include "checksum/block_crc.h"
#include "common/aligned_buffer.h"
#include "common/file.h"
#include "container/framing.h"
#include "container/layout.h"

namespace rempar {

class ContainerWriter {
 public:
  explicit ContainerWriter(io::File& file, std::size_t buffer_size = 1 << 20);

  // Appends bytes; false once any write has failed (the file's last_error says why).
  bool write(std::span<const std::uint8_t> data);
  bool write_u32(std::uint32_t value);
  // An unsigned field `width` bytes wide (4 or 8).
  bool write_uint(std::uint64_t value, std::int64_t width);
  bool write_header(ContainerKind kind, const ContainerLayout& layout);

  // False once any write has failed.
  bool healthy() const { return !failed_; }
  // Bytes handed to the writer so far.
  std::int64_t bytes_written() const { return count_; }
  std::uint32_t crc_so_far() const { return crc_.value(); }
  [[nodiscard]] bool flush();
  io::File& file() { return file_; }

 private:
  bool write_through(std::span<const std::uint8_t> data);

  io::File& file_;
  AlignedBuffer buffer_;
  std::size_t used_ = 0;
  std::int64_t count_ = 0;
  RunningCrc crc_;
  bool failed_ = false;
};

// Ends a container: appends the block checksum of its first `n` bytes, which
// must be every byte written so far, and pushes everything to the file.
[[nodiscard]] bool write_internal_checksum(ContainerWriter& writer, std::int64_t n);

}  // namespace rempar
