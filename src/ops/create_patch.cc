#include "ops/create_patch.h"

#include <algorithm>
#include <array>
#include <vector>

#include "checksum/block_crc.h"
#include "common/aligned_buffer.h"
#include "common/messages.h"
#include "container/cdp.h"
#include "container/check_container.h"
#include "ops/block_walk.h"
#include "ops/opened_input.h"
#include "ops/pending_output.h"

namespace rempar {
namespace {

// Vets the sizes of an accepted checksum file: they must match the verified
// file, and the file must hold a checksum for every block. Extra checksums
// after the last block's are never read.
bool sizes_fit(const CdtSizes& sizes, std::int64_t cdt_size, std::int64_t verified_size,
               const SizeMismatch& size_mismatch, std::ostream& out) {
  if (sizes.file_size != static_cast<std::uint64_t>(verified_size)) {
    out << size_mismatch(verified_size, sizes.file_size);
    return false;
  }
  if (sizes.block_size == 0) {
    out << msg::ZERO_BLOCK_SIZE;
    return false;
  }
  const BlockGeometry geometry{sizes.file_size, sizes.block_size};
  const std::uint64_t expected = sizes.layout->checksum_file_size(geometry.count());
  if (static_cast<std::uint64_t>(cdt_size) < expected) {
    out << msg::checksum_count_mismatch(cdt_size, expected);
    return false;
  }
  return true;
}

// Copies a block too large for the walk's buffer from the verified file. It
// is read a second time, so the copy is checksummed again and must match the
// checksum the walk compared; a copy that does not leaves only a patch that
// is never sealed, and never committed.
bool copy_block(io::File& verified, const Block& block, ContainerWriter& patch,
                ProgressLine& line) {
  auto piece = AlignedBuffer::allocate(
      static_cast<std::size_t>(std::min<std::uint64_t>(block.length, WALK_CHUNK)));
  if (!piece) {
    report_walk_failure(WalkStatus::no_memory, verified, msg::VERIFIED_FILE, line);
    return false;
  }
  RunningCrc copied;
  for (std::uint64_t done = 0; done < block.length;) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece->size(), block.length - done));
    const auto got = verified.read_at(std::span(piece->data(), want),
                                      static_cast<std::int64_t>(block.offset + done));
    if (!got) {
      // As in the walk: the offset of the block the good copy failed to give.
      line.print(msg::verified_read_failed(verified.name(), block.offset, verified.last_error()));
      return false;
    }
    if (*got != want) {
      report_walk_failure(WalkStatus::ended_early, verified, msg::VERIFIED_FILE, line);
      return false;
    }
    copied.update(std::span(piece->data(), want));
    if (!patch.write(std::span(piece->data(), want))) return false;
    done += want;
  }
  if (copied.value() == block.crc) return true;
  line.print(msg::VERIFIED_CHANGED);
  return false;
}

// Writes the bytes of a block that lies in a mapping of the verified file,
// which someone else can change or cut short after the walk took their
// checksum: so they are copied first, and the copy must have the checksum
// the walk compared. Only the copy is written.
bool write_checked_block(const Block& block, std::vector<std::uint8_t>& copy,
                         ContainerWriter& patch, ProgressLine& line) {
  copy.assign(block.data.begin(), block.data.end());
  if (block_crc(copy) != block.crc) {
    line.print(msg::VERIFIED_CHANGED);
    return false;
  }
  return patch.write(copy);
}

}  // namespace

std::optional<AcceptedCdt> accept_checksum_file(io::File& cdt, std::int64_t cdt_size,
                                                std::int64_t verified_size, std::ostream& out,
                                                const SizeMismatch& size_mismatch) {
  // The sizes come from the check's own read, and every later read of the
  // stored checksums is compared with the pieces it read.
  AcceptedCdt accepted;
  std::array<std::uint8_t, CDT_HEAD_SIZE> head{};
  std::size_t head_seen = 0;
  const auto visit = [&](std::span<const std::uint8_t> chunk, std::int64_t offset) {
    accepted.checked.add(chunk);
    const auto at = static_cast<std::size_t>(offset);
    if (at >= head.size()) return;
    const std::size_t n = std::min(head.size() - at, chunk.size());
    std::copy_n(chunk.begin(), n, head.begin() + static_cast<std::ptrdiff_t>(at));
    head_seen = at + n;
  };
  const ContainerLayout* layout = nullptr;
  if (check_container(cdt, cdt_size, ContainerKind::CDT, make_signature(ContainerKind::CDT), out,
                      visit, &layout) != 0) {
    return std::nullopt;
  }
  accepted.checked.finish();
  if (!decode_cdt_sizes(std::span(head.data(), head_seen), *layout, accepted.sizes)) {
    // Sizes that would reach into the seal: too short for any file.
    out << msg::checksum_count_mismatch(cdt_size, layout->checksum_file_size(0));
    return std::nullopt;
  }
  if (!sizes_fit(accepted.sizes, cdt_size, verified_size, size_mismatch, out)) return std::nullopt;
  return accepted;
}

bool write_patch(io::File& cdt, io::File& verified, ContainerWriter& patch,
                 const AcceptedCdt& accepted, std::int64_t cdt_size, bool& found,
                 std::ostream& out) {
  found = false;
  const CdtSizes& recorded = accepted.sizes;
  // The patch is written in the version of the checksum file.
  const ContainerLayout& layout = *recorded.layout;
  write_cdp_head(patch, layout, recorded.file_size);
  StoredChecksums stored(cdt, layout, cdt_size, accepted.checked);
  auto stored_status = CheckedRereader::Status::ok;
  bool too_large = false;
  const BlockGeometry geometry{recorded.file_size, recorded.block_size};
  ProgressLine line(out);
  std::uint64_t failed_at = 0;
  std::vector<std::uint8_t> copy;
  const WalkStatus walked = walk_blocks(
      verified, geometry, line,
      [&](const Block& block) {
        std::uint32_t stored_crc = 0;
        stored_status = stored.next(stored_crc);
        if (stored_status != CheckedRereader::Status::ok) return false;
        if (block.crc == stored_crc) return true;
        line.print(msg::corruption_found(block.offset));
        found = true;
        if (!cdp_record_fits(patch, layout, block.length)) {
          too_large = true;
          return false;
        }
        write_cdp_record_head(patch, layout, block.offset,
                              static_cast<std::uint32_t>(block.length));
        if (block.data.empty()) return copy_block(verified, block, patch, line);
        return block.mapped ? write_checked_block(block, copy, patch, line)
                            : patch.write(block.data);
      },
      ReadErrors::stop, &failed_at);
  if (stored_status != CheckedRereader::Status::ok) {
    // A checksum file that ends early or reads differently has changed
    // since its check.
    line.print(reread_error(stored_status, cdt, msg::CDT_FILE, msg::CDT_CHANGED));
    return false;
  }
  if (too_large) {
    line.print(msg::PATCH_TOO_LARGE);
    return false;
  }
  if (walked == WalkStatus::read_failed) {
    // No patch may carry bytes that were not read from the good copy.
    line.print(msg::verified_read_failed(verified.name(), failed_at, verified.last_error()));
    return false;
  }
  if (walked != WalkStatus::completed && walked != WalkStatus::stopped) {
    report_walk_failure(walked, verified, msg::VERIFIED_FILE, line);
    return false;
  }
  if (walked == WalkStatus::completed && !found) return true;
  if (walked == WalkStatus::completed) {
    line.print(msg::CREATING_SEAL);
    if (finish_cdp(patch, layout)) return true;
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
