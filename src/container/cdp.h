#pragma once
// The patch file, versions 2.0 and 3.0 (layout.h): a header, the size of the
// file it patches, records in file order (an offset, a length L and L bytes),
// the end marker and the seal. Only this codec knows where its fields stand.

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "container/container_writer.h"
#include "container/layout.h"

namespace rempar {

// Starts a patch file: header and the size of the file it patches.
void write_cdp_head(ContainerWriter& cdp, const ContainerLayout& layout, std::uint64_t file_size);
// A record's offset and length; its `length` bytes follow.
void write_cdp_record_head(ContainerWriter& cdp, const ContainerLayout& layout,
                           std::uint64_t offset, std::uint32_t length);
// Whether a record of `length` bytes, written next, still leaves room for the
// end marker and the seal below the version's limit.
bool cdp_record_fits(const ContainerWriter& cdp, const ContainerLayout& layout,
                     std::uint64_t length);
// Ends a patch file: end marker and seal; false when a write failed.
[[nodiscard]] bool finish_cdp(ContainerWriter& cdp, const ContainerLayout& layout);

// Whether `length` bytes at `offset` lie inside a file of `file_size` bytes,
// without the sum overflowing, however large the offset.
constexpr bool record_fits(std::uint64_t offset, std::uint64_t length, std::uint64_t file_size) {
  return length <= file_size && offset <= file_size - length;
}

struct CdpRecord {
  std::uint64_t offset = 0;  // in the patched file
  std::uint32_t length = 0;
  std::int64_t data_at = 0;  // where its bytes start in the patch file
};

// Vets the record list of a patch file as its bytes stream past: every record
// lies inside the body and inside the file it patches, and the list ends with
// an end marker before the seal. Bytes between the end marker and the seal
// are covered by the seal but never read. The check pass feeds it the whole
// container, so that a patch that passes can be applied without a surprise
// half way; the apply pass feeds it the records again and takes their bytes
// from it, so that bytes read twice are vetted twice.
class CdpRecordScanner {
 public:
  enum class Verdict { well_formed, malformed, out_of_range };

  // A piece of a record's bytes: `done` bytes of the record came before it.
  // Only records found sound are handed out, and only while the whole list
  // read so far is.
  using DataSink = std::function<void(const CdpRecord& record, std::uint64_t done,
                                      std::span<const std::uint8_t> piece)>;

  // From offset 0 of a patch file of `container_size` bytes, seal included;
  // the header's version bytes pick the layout.
  explicit CdpRecordScanner(std::int64_t container_size) : size_(container_size) {}
  // From the first record, the header having been read in an earlier pass.
  CdpRecordScanner(std::int64_t container_size, const ContainerLayout& layout,
                   std::uint64_t recorded_size);

  // Takes the next bytes the seal covers.
  void feed(std::span<const std::uint8_t> chunk, const DataSink& sink = {});

  // Whether the end marker has been read.
  bool ended() const { return ended_; }
  // Whether anything found so far makes the list unusable.
  bool faulty() const { return malformed_ || out_of_range_; }
  // After every covered byte has been fed.
  Verdict verdict() const;
  const ContainerLayout& layout() const { return *layout_; }
  std::uint64_t recorded_size() const { return recorded_size_; }
  std::uint64_t record_count() const { return records_; }
  // Where the first record starts.
  std::int64_t records_begin() const { return layout_->records_offset(); }
  // Where the end marker ends: the records are read up to here.
  std::int64_t records_end() const { return records_end_; }
  // The first record that runs past the recorded file size.
  const CdpRecord& bad_record() const { return bad_record_; }

 private:
  void take_header_byte(std::uint8_t byte);
  void take_field();
  void take_offset(std::int64_t field_start);
  void take_length();
  std::size_t field_width() const;
  // The last place an end marker can start.
  std::int64_t end_marker_at() const { return size_ - SEAL_SIZE - layout_->end_marker_width; }

  std::int64_t size_;
  const ContainerLayout* layout_ = &LAYOUT_2_0;
  std::int64_t position_ = 0;   // offset of the next byte fed
  std::int64_t data_left_ = 0;  // bytes of record data still to pass
  bool handing_out_ = false;    // whether the data passing is handed to the sink
  std::array<std::uint8_t, 12> field_{};
  std::size_t field_used_ = 0;
  std::uint8_t major_ = 0;
  std::uint64_t recorded_size_ = 0;
  std::uint64_t records_ = 0;
  CdpRecord record_;  // the record being read
  bool offset_read_ = false;
  std::int64_t records_end_ = 0;
  bool ended_ = false;
  bool malformed_ = false;
  bool out_of_range_ = false;
  CdpRecord bad_record_;
};

}  // namespace rempar
