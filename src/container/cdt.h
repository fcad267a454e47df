#pragma once
// The checksum file, versions 2.0 and 3.0 (layout.h): a header, the size of
// the file it describes, the block size, one stored checksum per block and
// the seal. Only this codec knows where its fields stand.

#include <array>
#include <cstdint>
#include <span>

#include "common/file.h"
#include "container/checked_rereader.h"
#include "container/container_writer.h"
#include "container/layout.h"
#include "container/piece_checksums.h"

namespace rempar {

// What a checksum file says about the file it describes.
struct CdtSizes {
  std::uint64_t file_size = 0;
  std::uint32_t block_size = 0;
  const ContainerLayout* layout = nullptr;  // the checksum file's format version
};

// Starts a checksum file: header, file size, block size. The stored
// checksums follow, one write_stored_checksum each, then seal_cdt.
void write_cdt_head(ContainerWriter& cdt, const ContainerLayout& layout, std::uint64_t file_size,
                    std::uint32_t block_size);
void write_stored_checksum(ContainerWriter& cdt, std::uint32_t crc);
// Ends a checksum file of `blocks` stored checksums with its seal; false when
// a write failed or fewer checksums were written.
[[nodiscard]] bool seal_cdt(ContainerWriter& cdt, const ContainerLayout& layout,
                            std::uint64_t blocks);

// The checksum stored for a block that could not be read when the checksum
// file was made: that of a block of `length` zero bytes with its lowest bit
// inverted. No readable block of zeros carries it, and a patch always
// replaces such a block.
std::uint32_t unreadable_marker(std::uint64_t length);

// The markers of one file's blocks, each worked out once: a file has at most
// two block lengths, the block size and its short last block's.
class UnreadableMarkers {
 public:
  std::uint32_t of(std::uint64_t length) {
    Slot& slot = slots_[slots_[0].length == length || slots_[0].length == NONE ? 0 : 1];
    if (slot.length != length) slot = {length, unreadable_marker(length)};
    return slot.marker;
  }

 private:
  static constexpr std::uint64_t NONE = ~std::uint64_t{0};
  struct Slot {
    std::uint64_t length = NONE;
    std::uint32_t marker = 0;
  };
  std::array<Slot, 2> slots_{};
};

// The most bytes of a checksum file's head that hold its sizes.
inline constexpr std::size_t CDT_HEAD_SIZE = 22;

// Takes the sizes from `head`, the first bytes the seal covers of a checksum
// file whose check found `layout`; false when they do not reach that far.
[[nodiscard]] bool decode_cdt_sizes(std::span<const std::uint8_t> head,
                                    const ContainerLayout& layout, CdtSizes& sizes);

// The stored checksums of a checksum file of `cdt_size` bytes, first block
// first, read again after its check and compared, piece by piece, with the
// pieces the check read; never reads the seal.
class StoredChecksums {
 public:
  StoredChecksums(io::File& cdt, const ContainerLayout& layout, std::int64_t cdt_size,
                  const PieceChecksums& checked);
  [[nodiscard]] CheckedRereader::Status next(std::uint32_t& crc);

 private:
  CheckedRereader reader_;
};

}  // namespace rempar
