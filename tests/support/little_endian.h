#pragma once
// Byte strings and the little-endian integers in them, read and written
// independently of the code under test, for the tests and the fuzz targets.
// Every read and overwrite checks its bounds.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace rempar::testing {

using Bytes = std::vector<std::uint8_t>;

// The integer of `width` bytes (1 to 8) at `at`, least significant first.
std::uint64_t le_at(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width);
std::uint32_t le32_at(std::span<const std::uint8_t> bytes, std::size_t at);
std::uint64_t le64_at(std::span<const std::uint8_t> bytes, std::size_t at);

// Appends `value` as `width` bytes (1 to 8), least significant first.
void append_le(Bytes& bytes, std::uint64_t value, std::size_t width);
void append_le32(Bytes& bytes, std::uint32_t value);

// Overwrites `width` bytes (4 or 8) at `at` with `value`, least significant first.
Bytes& set_le(Bytes& bytes, std::size_t at, std::uint64_t value, std::size_t width);

}  // namespace rempar::testing
