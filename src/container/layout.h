#pragma once
// The layouts of both containers, in both format versions, described once.
// The codecs (cdt.h, cdp.h) read and write container fields through these.
//
// Version 2.0 holds files below 2 GiB; version 3.0 widens the file size and
// the record offsets to 64 bits for larger files and whole disks. Both share
// the framing (framing.h): magic, two version bytes, little-endian integers
// packed without gaps, and the seal over every byte before it.
//
// Checksum file, N block checksums:
//   2.0  magic 8 | 02 00 | file size 4 | block size 4 | checksums 4N | seal 4   (22 + 4N bytes)
//   3.0  magic 8 | 03 00 | file size 8 | block size 4 | checksums 4N | seal 4   (26 + 4N bytes)
// Patch file, records in file order, each an offset, a length L and L bytes:
//   2.0  magic 8 | 02 00 | file size 4 | records (offset 4, length 4, data) | FF x4 | seal 4
//   3.0  magic 8 | 03 00 | file size 8 | records (offset 8, length 4, data) | FF x8 | seal 4
//
// Checksum creation writes 2.0 for every file below 2^31 bytes, byte for byte
// as the format always was, and 3.0 only from 2^31 bytes on; patch creation
// writes the version of the checksum file it read; readers accept both.

#include <array>
#include <cstdint>

#include "container/framing.h"

namespace rempar {

// The version bytes of the original format, which the version message names
// as the one the program needs.
inline constexpr std::array<std::uint8_t, 2> FORMAT_VERSION = {0x02, 0x00};
inline constexpr std::array<std::uint8_t, 2> LARGE_FORMAT_VERSION = {0x03, 0x00};

// Block sizes, record lengths and stored checksums are 32 bits wide in both
// versions.
inline constexpr std::int64_t BLOCK_SIZE_WIDTH = 4;
inline constexpr std::int64_t LENGTH_WIDTH = 4;
inline constexpr std::int64_t CHECKSUM_WIDTH = 4;

struct ContainerLayout {
  std::array<std::uint8_t, 2> version;
  // The widths that vary by version: the file size, every record offset,
  // and the end marker, which stands where the next record's offset would,
  // with every bit set.
  std::int64_t size_width;
  std::int64_t offset_width;
  std::int64_t end_marker_width;
  // The largest file, and the largest container, the version holds.
  std::int64_t max_file_size;
  std::int64_t max_container_size;

  constexpr std::int64_t file_size_offset() const { return HEADER_SIZE; }
  // Checksum file.
  constexpr std::int64_t block_size_offset() const { return HEADER_SIZE + size_width; }
  constexpr std::int64_t checksums_offset() const { return block_size_offset() + BLOCK_SIZE_WIDTH; }
  // Bytes of a checksum file of `blocks` checksums, seal included; the
  // largest 64-bit count when that many bytes cannot be counted.
  constexpr std::uint64_t checksum_file_size(std::uint64_t blocks) const {
    const auto fixed = static_cast<std::uint64_t>(checksums_offset() + SEAL_SIZE);
    constexpr auto width = static_cast<std::uint64_t>(CHECKSUM_WIDTH);
    if (blocks > (~std::uint64_t{0} - fixed) / width) return ~std::uint64_t{0};
    return fixed + width * blocks;
  }
  // Patch file.
  constexpr std::int64_t records_offset() const { return HEADER_SIZE + size_width; }
  constexpr std::int64_t record_header_size() const { return offset_width + LENGTH_WIDTH; }
  constexpr std::uint64_t end_of_records() const {
    return ~std::uint64_t{0} >> (64 - 8 * end_marker_width);
  }
};

// 2.0: sizes are signed 32-bit fields, so files and containers stay below 2 GiB.
inline constexpr ContainerLayout LAYOUT_2_0{FORMAT_VERSION, 4, 4, 4, 0x7FFFFFFF, 0x7FFFFFFF};
// 3.0: as far as a file offset reaches.
inline constexpr ContainerLayout LAYOUT_3_0{LARGE_FORMAT_VERSION, 8, 8, 8, INT64_MAX, INT64_MAX};

// A reader tells the end marker from a record by the field in the offset's
// place.
static_assert(LAYOUT_2_0.end_marker_width == LAYOUT_2_0.offset_width);
static_assert(LAYOUT_3_0.end_marker_width == LAYOUT_3_0.offset_width);

// The layout checksum creation writes for a file of `file_size` bytes.
constexpr const ContainerLayout& layout_for_file_size(std::int64_t file_size) {
  return file_size <= LAYOUT_2_0.max_file_size ? LAYOUT_2_0 : LAYOUT_3_0;
}

// The layout that the version bytes of a header name, or nothing for a
// version this program does not know.
constexpr const ContainerLayout* layout_for_version(std::uint8_t major, std::uint8_t minor) {
  for (const ContainerLayout* layout : {&LAYOUT_2_0, &LAYOUT_3_0}) {
    if (layout->version[0] == major && layout->version[1] == minor) return layout;
  }
  return nullptr;
}

}  // namespace rempar
