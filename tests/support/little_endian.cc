#include "support/little_endian.h"

#include <stdexcept>

namespace rempar::testing {
namespace {

void check_bounds(std::size_t size, std::size_t at, std::size_t width, const char* what) {
  if (width > 8 || at > size || width > size - at) throw std::out_of_range(what);
}

}  // namespace

std::uint64_t le_at(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
  check_bounds(bytes.size(), at, width, "le_at past the end");
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{bytes[at + i]} << (8 * i);
  return value;
}

std::uint32_t le32_at(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(le_at(bytes, at, 4));
}

std::uint64_t le64_at(std::span<const std::uint8_t> bytes, std::size_t at) {
  return le_at(bytes, at, 8);
}

void append_le(Bytes& bytes, std::uint64_t value, std::size_t width) {
  check_bounds(width, 0, width, "append_le wider than 8 bytes");
  for (std::size_t i = 0; i < width; ++i)
    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void append_le32(Bytes& bytes, std::uint32_t value) { append_le(bytes, value, 4); }

Bytes& set_le(Bytes& bytes, std::size_t at, std::uint64_t value, std::size_t width) {
  check_bounds(bytes.size(), at, width, "set_le past the end");
  for (std::size_t i = 0; i < width; ++i)
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

}  // namespace rempar::testing
