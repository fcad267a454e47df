#include "ops/create_patch.h"

#include <algorithm>

#include "common/aligned_buffer.h"
#include "common/le.h"
#include "common/messages.h"
#include "common/sequential_reader.h"
#include "container/check_container.h"
#include "ops/block_walk.h"
#include "ops/opened_input.h"
#include "ops/pending_output.h"

namespace rempar {
namespace {

// Reads and vets the sizes of an accepted checksum file: they must match the
// verified file, and the file must hold a checksum for every block. Extra
// checksums after the last block's are never read.
std::optional<RecordedSizes> read_recorded_sizes(io::File& cdt, const ContainerLayout& layout,
                                                 std::int64_t cdt_size, std::int64_t verified_size,
                                                 std::ostream& out) {
  std::array<std::uint8_t, 12> fields{};
  const auto wanted = static_cast<std::size_t>(layout.size_width + BLOCK_SIZE_WIDTH);
  const auto got = cdt.read_at(std::span(fields.data(), wanted), layout.file_size_offset());
  if (!got || *got != wanted) {
    out << (got ? msg::read_short(msg::CDT_FILE, cdt.name())
                : msg::read_failed(msg::CDT_FILE, cdt.name(), cdt.last_error()));
    return std::nullopt;
  }
  const auto width = static_cast<std::size_t>(layout.size_width);
  const RecordedSizes sizes{decode_le(fields.data(), width), decode_le32(fields.data() + width),
                            &layout};
  if (sizes.file_size != static_cast<std::uint64_t>(verified_size)) {
    out << msg::verified_size_mismatch(verified_size, sizes.file_size);
    return std::nullopt;
  }
  if (sizes.block_size == 0) {
    out << msg::ZERO_BLOCK_SIZE;
    return std::nullopt;
  }
  const BlockGeometry geometry{sizes.file_size, sizes.block_size};
  const std::uint64_t expected = layout.checksum_file_size(geometry.count());
  if (static_cast<std::uint64_t>(cdt_size) < expected) {
    out << msg::checksum_count_mismatch(cdt_size, expected);
    return std::nullopt;
  }
  return sizes;
}

// Copies a block too large for the walk's buffer from the verified file.
bool copy_block(io::File& verified, const Block& block, ContainerWriter& patch,
                ProgressLine& line) {
  AlignedBuffer piece(static_cast<std::size_t>(std::min<std::uint64_t>(block.length, WALK_CHUNK)));
  for (std::uint64_t done = 0; done < block.length;) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), block.length - done));
    const auto got = verified.read_at(std::span(piece.data(), want),
                                      static_cast<std::int64_t>(block.offset + done));
    if (!got || *got != want) {
      report_walk_failure(got ? WalkStatus::ended_early : WalkStatus::read_failed, verified,
                          msg::VERIFIED_FILE, line);
      return false;
    }
    if (!patch.write(std::span(piece.data(), want))) return false;
    done += want;
  }
  return true;
}

}  // namespace

std::optional<RecordedSizes> accept_checksum_file(io::File& cdt, std::int64_t cdt_size,
                                                  std::int64_t verified_size, std::ostream& out) {
  const ContainerLayout* layout = nullptr;
  if (check_container(cdt, cdt_size, ContainerKind::CDT, make_signature(ContainerKind::CDT), out,
                      {}, &layout) != 0) {
    return std::nullopt;
  }
  return read_recorded_sizes(cdt, *layout, cdt_size, verified_size, out);
}

bool write_patch(io::File& cdt, io::File& verified, ContainerWriter& patch,
                 const RecordedSizes& recorded, std::int64_t cdt_size, bool& found,
                 std::ostream& out) {
  found = false;
  // The patch is written in the version of the checksum file.
  const ContainerLayout& layout = *recorded.layout;
  patch.write_header(ContainerKind::CDP, layout);
  patch.write_uint(recorded.file_size, layout.size_width);

  io::SequentialReader stored(cdt, layout.checksums_offset(), cdt_size - SEAL_SIZE);
  auto stored_status = io::SequentialReader::Status::ok;
  bool too_large = false;
  const BlockGeometry geometry{recorded.file_size, recorded.block_size};
  ProgressLine line(out);
  const WalkStatus walked = walk_blocks(verified, geometry, line, [&](const Block& block) {
    std::uint32_t stored_crc = 0;
    stored_status = stored.read_u32(stored_crc);
    if (stored_status != io::SequentialReader::Status::ok) return false;
    if (block.crc == stored_crc) return true;
    line.print(msg::corruption_found(block.offset));
    found = true;
    // The end marker and the seal must still fit below the version's limit.
    const auto record_end = patch.bytes_written() + layout.record_header_size() +
                            static_cast<std::int64_t>(block.length) + layout.end_marker_width +
                            SEAL_SIZE;
    if (record_end > layout.max_container_size) {
      too_large = true;
      return false;
    }
    patch.write_uint(block.offset, layout.size_width);
    patch.write_u32(static_cast<std::uint32_t>(block.length));
    return block.data.empty() ? copy_block(verified, block, patch, line) : patch.write(block.data);
  });
  if (stored_status != io::SequentialReader::Status::ok) {
    // A checksum file that ends early has changed since its check.
    line.print(stored_status == io::SequentialReader::Status::failed
                   ? msg::read_failed(msg::CDT_FILE, cdt.name(), cdt.last_error())
                   : msg::read_short(msg::CDT_FILE, cdt.name()));
    return false;
  }
  if (too_large) {
    line.print(msg::PATCH_TOO_LARGE);
    return false;
  }
  if (walked != WalkStatus::completed && walked != WalkStatus::stopped) {
    report_walk_failure(walked, verified, msg::VERIFIED_FILE, line);
    return false;
  }
  if (walked == WalkStatus::completed && !found) return true;
  if (walked == WalkStatus::completed) {
    patch.write_uint(layout.end_of_records(), layout.end_marker_width);
    line.print(msg::CREATING_SEAL);
    if (write_internal_checksum(patch, patch.bytes_written())) return true;
  }
  if (patch.file().last_error() != 0) {
    line.print(msg::write_failed(msg::OUTPUT_FILE, patch.file().name(), patch.file().last_error()));
  }
  return false;
}

Outcome run_create_patch(const std::string& cdt_name, const std::string& file,
                         const std::string& cdp_name, std::ostream& out) {
  out << msg::PROCESSING;
  auto cdt = open_input(cdt_name, msg::CDT_FILE, io::File::Mode::read, out);
  if (!cdt) return Outcome::failed;
  auto verified = open_input(file, msg::VERIFIED_FILE, io::File::Mode::read, out, Devices::allowed);
  if (!verified || !is_distinct_output(cdp_name, msg::OUTPUT_FILE, *cdt, msg::CDT_FILE, out) ||
      !is_distinct_output(cdp_name, msg::OUTPUT_FILE, *verified, msg::VERIFIED_FILE, out)) {
    return Outcome::failed;
  }
  auto output = PendingOutput::create(cdp_name, out);
  if (!output) return Outcome::failed;
  // A rejected checksum file leaves no patch file at the patch name, nor does
  // a comparison that finds nothing to repair: an older patch there is stale.
  // A checksum file that could not be read rejects nothing.
  const auto sizes = accept_checksum_file(cdt->file, cdt->size, verified->size, out);
  if (!sizes) {
    if (cdt->file.last_error() == 0) output->discard_and_clear_name();
    return Outcome::failed;
  }
  bool found = false;
  ContainerWriter writer(output->file());
  const bool written =
      write_patch(cdt->file, verified->file, writer, *sizes, cdt->size, found, out);
  cdt->file.close();
  verified->file.close();
  if (!written) return Outcome::failed;  // what stood at the patch name stays
  if (!found) {
    output->discard_and_clear_name();
    out << msg::NO_CORRUPTION;
    return Outcome::succeeded;
  }
  if (!output->commit(out)) return Outcome::failed;
  out << msg::PATCH_GENERATED;
  return Outcome::succeeded;
}

}  // namespace rempar
