#include "container/container_writer.h"

#include <algorithm>
#include <cerrno>

#include "common/le.h"

namespace rempar {

ContainerWriter::ContainerWriter(io::File& file, std::size_t buffer_size)
    : file_(file), buffer_(buffer_size) {}

bool ContainerWriter::write_through(std::span<const std::uint8_t> data) {
  if (!failed_ && !file_.write(data)) failed_ = true;
  return !failed_;
}

bool ContainerWriter::write(std::span<const std::uint8_t> data) {
  if (failed_) return false;
  crc_.update(data);
  count_ += static_cast<std::int64_t>(data.size());
  if (data.size() > buffer_.size() - used_) {
    if (!flush()) return false;
    // Large pieces go straight to the file rather than through the buffer.
    if (data.size() >= buffer_.size()) return write_through(data);
  }
  std::copy(data.begin(), data.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(used_));
  used_ += data.size();
  return true;
}

bool ContainerWriter::write_u32(std::uint32_t value) { return write(encode_le32(value)); }

bool ContainerWriter::write_uint(std::uint64_t value, std::int64_t width) {
  std::array<std::uint8_t, 8> bytes{};
  // Fields are 4 or 8 bytes wide; saying so lets the compiler see that the
  // copy stays inside `bytes` (g++ for AArch64 warns otherwise).
  const std::size_t n = width == 8 ? 8 : 4;
  encode_le(value, n, bytes.data());
  return write(std::span(bytes.data(), n));
}

bool ContainerWriter::write_header(ContainerKind kind, const ContainerLayout& layout) {
  return write(container_header(kind, layout.version));
}

bool ContainerWriter::flush() {
  if (used_ == 0) return !failed_;
  const bool ok = write_through(std::span(buffer_.data(), used_));
  used_ = 0;
  return ok;
}

bool write_internal_checksum(ContainerWriter& writer, std::int64_t n) {
  // The seal covers exactly the bytes written; any other count is a caller's
  // mistake that would seal a container no check accepts.
  if (n != writer.bytes_written()) return false;
  const std::uint32_t seal = writer.crc_so_far();
  return writer.write_u32(seal) && writer.flush();
}

}  // namespace rempar
