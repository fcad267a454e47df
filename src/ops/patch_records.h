#pragma once
// Vets the record list of a patch file as its bytes stream past, before any
// record is applied: every record lies inside the body and inside the file it
// patches, and the list ends with END_OF_RECORDS exactly where the seal
// begins. A patch that passes can be applied without a surprise half way.

#include <array>
#include <cstdint>
#include <span>

namespace rempar {

class RecordScanner {
 public:
  enum class Verdict { well_formed, malformed, out_of_range };

  // `container_size` is the patch file's size, seal included.
  explicit RecordScanner(std::int64_t container_size) : size_(container_size) {}

  // Takes the next bytes the seal covers, starting at offset 0.
  void feed(std::span<const std::uint8_t> chunk);

  // After every covered byte has been fed.
  Verdict verdict() const;
  std::uint32_t recorded_size() const { return recorded_size_; }
  std::uint64_t record_count() const { return records_; }
  // The first record that runs past the recorded file size.
  std::uint32_t bad_offset() const { return bad_offset_; }
  std::uint32_t bad_length() const { return bad_length_; }

 private:
  void take_field();

  std::int64_t size_;
  std::int64_t position_ = 0;   // offset of the next byte fed
  std::int64_t data_left_ = 0;  // bytes of record data still to skip
  std::array<std::uint8_t, 8> field_{};
  std::size_t field_used_ = 0;
  std::uint32_t recorded_size_ = 0;
  std::uint64_t records_ = 0;
  bool ended_ = false;
  bool malformed_ = false;
  bool out_of_range_ = false;
  std::uint32_t bad_offset_ = 0;
  std::uint32_t bad_length_ = 0;
};

}  // namespace rempar
