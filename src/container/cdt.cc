#include "container/cdt.h"

#include <algorithm>
#include <array>

#include "checksum/block_crc.h"
#include "common/le.h"

namespace rempar {

void write_cdt_head(ContainerWriter& cdt, const ContainerLayout& layout, std::uint64_t file_size,
                    std::uint32_t block_size) {
  cdt.write_header(ContainerKind::CDT, layout);
  cdt.write_uint(file_size, layout.size_width);
  cdt.write_u32(block_size);
}

void write_stored_checksum(ContainerWriter& cdt, std::uint32_t crc) { cdt.write_u32(crc); }

bool seal_cdt(ContainerWriter& cdt, const ContainerLayout& layout, std::uint64_t blocks) {
  const auto sealed = static_cast<std::int64_t>(layout.checksum_file_size(blocks));
  return write_internal_checksum(cdt, sealed - SEAL_SIZE);
}

std::uint32_t unreadable_marker(std::uint64_t length) {
  static constexpr std::array<std::uint8_t, 4096> ZEROS{};
  RunningCrc crc;
  for (std::uint64_t done = 0; done < length;) {
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(ZEROS.size(), length - done));
    crc.update(std::span(ZEROS.data(), piece));
    done += piece;
  }
  return crc.value() ^ 1u;
}

bool decode_cdt_sizes(std::span<const std::uint8_t> head, const ContainerLayout& layout,
                      CdtSizes& sizes) {
  const auto width = static_cast<std::size_t>(layout.size_width);
  const auto at = static_cast<std::size_t>(layout.file_size_offset());
  if (head.size() < at + width + static_cast<std::size_t>(BLOCK_SIZE_WIDTH)) return false;
  sizes = {decode_le(head.data() + at, width), decode_le32(head.data() + at + width), &layout};
  return true;
}

StoredChecksums::StoredChecksums(io::File& cdt, const ContainerLayout& layout,
                                 std::int64_t cdt_size, const PieceChecksums& checked)
    : reader_(cdt, checked, layout.checksums_offset(), cdt_size - SEAL_SIZE) {}

CheckedRereader::Status StoredChecksums::next(std::uint32_t& crc) {
  std::array<std::uint8_t, CHECKSUM_WIDTH> bytes{};
  const CheckedRereader::Status status = reader_.read(bytes);
  if (status == CheckedRereader::Status::ok) crc = decode_le32(bytes.data());
  return status;
}

}  // namespace rempar
