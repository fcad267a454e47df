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

io::ReadStatus read_cdt_sizes(io::File& cdt, const ContainerLayout& layout, CdtSizes& sizes) {
  std::array<std::uint8_t, 12> fields{};
  const auto width = static_cast<std::size_t>(layout.size_width);
  const auto wanted = width + static_cast<std::size_t>(BLOCK_SIZE_WIDTH);
  const auto got = cdt.read_at(std::span(fields.data(), wanted), layout.file_size_offset());
  if (!got) return io::ReadStatus::failed;
  if (*got != wanted) return io::ReadStatus::ended_early;
  sizes = {decode_le(fields.data(), width), decode_le32(fields.data() + width), &layout};
  return io::ReadStatus::ok;
}

io::ReadStatus read_stored_checksum(io::File& cdt, const ContainerLayout& layout,
                                    std::uint64_t index, std::uint32_t& crc) {
  std::array<std::uint8_t, CHECKSUM_WIDTH> field{};
  const auto at = layout.checksums_offset() + static_cast<std::int64_t>(index) * CHECKSUM_WIDTH;
  const auto got = cdt.read_at(field, at);
  if (!got) return io::ReadStatus::failed;
  if (*got != field.size()) return io::ReadStatus::ended_early;
  crc = decode_le32(field.data());
  return io::ReadStatus::ok;
}

StoredChecksums::StoredChecksums(io::File& cdt, const ContainerLayout& layout,
                                 std::int64_t cdt_size)
    : reader_(cdt, layout.checksums_offset(), cdt_size - SEAL_SIZE) {}

}  // namespace rempar
