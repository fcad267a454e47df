#include "ops/range_checksum.h"

#include <algorithm>

#include "checksum/block_crc.h"

namespace rempar {

io::ReadStatus range_checksum(io::File& file, std::span<std::uint8_t> buffer, std::uint64_t offset,
                              std::uint64_t length, std::uint32_t& crc) {
  RunningCrc running;
  for (std::uint64_t done = 0; done < length;) {
    const auto piece = buffer.first(
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done)));
    const auto got = file.read_at(piece, static_cast<std::int64_t>(offset + done));
    if (!got) return io::ReadStatus::failed;
    if (*got != piece.size()) return io::ReadStatus::ended_early;
    running.update(piece);
    done += piece.size();
  }
  crc = running.value();
  return io::ReadStatus::ok;
}

}  // namespace rempar
