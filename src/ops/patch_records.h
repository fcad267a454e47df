#pragma once
// Vets the record list of a patch file as its bytes stream past, before any
// record is applied: every record lies inside the body and inside the file it
// patches, and the list ends with an end marker before the seal. Bytes
// between the end marker and the seal are covered by the seal but never
// read. A patch that passes can be applied without a surprise half way.

#include <array>
#include <cstdint>
#include <span>

#include "container/layout.h"

namespace rempar {

class RecordScanner {
 public:
  enum class Verdict { well_formed, malformed, out_of_range };

  // `container_size` is the patch file's size, seal included.
  explicit RecordScanner(std::int64_t container_size) : size_(container_size) {}

  // Takes the next bytes the seal covers, starting at offset 0; the version
  // bytes of the header pick the layout.
  void feed(std::span<const std::uint8_t> chunk);

  // After every covered byte has been fed.
  Verdict verdict() const;
  const ContainerLayout& layout() const { return *layout_; }
  std::uint64_t recorded_size() const { return recorded_size_; }
  std::uint64_t record_count() const { return records_; }
  // Where the end marker ends: the records are read up to here.
  std::int64_t records_end() const { return records_end_; }
  // The first record that runs past the recorded file size.
  std::uint64_t bad_offset() const { return bad_offset_; }
  std::uint32_t bad_length() const { return bad_length_; }

 private:
  void take_header_byte(std::uint8_t byte);
  void take_field();
  // The last place an end marker can start.
  std::int64_t end_marker_at() const { return size_ - SEAL_SIZE - layout_->end_marker_width; }
  static constexpr std::size_t LENGTH_WIDTH = 4;

  std::int64_t size_;
  const ContainerLayout* layout_ = &LAYOUT_2_0;
  std::int64_t position_ = 0;   // offset of the next byte fed
  std::int64_t data_left_ = 0;  // bytes of record data still to skip
  std::array<std::uint8_t, 12> field_{};
  std::size_t field_used_ = 0;
  std::uint8_t major_ = 0;
  std::uint64_t recorded_size_ = 0;
  std::uint64_t records_ = 0;
  std::uint64_t offset_ = 0;  // of the record whose length comes next
  bool offset_read_ = false;
  std::int64_t records_end_ = 0;
  bool ended_ = false;
  bool malformed_ = false;
  bool out_of_range_ = false;
  std::uint64_t bad_offset_ = 0;
  std::uint32_t bad_length_ = 0;
};

// Whether `length` bytes at `offset` lie inside a file of `file_size` bytes,
// without the sum overflowing, however large the offset.
constexpr bool record_fits(std::uint64_t offset, std::uint64_t length, std::uint64_t file_size) {
  return length <= file_size && offset <= file_size - length;
}

}  // namespace rempar
