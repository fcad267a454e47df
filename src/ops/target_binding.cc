#include "ops/target_binding.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "common/aligned_buffer.h"
#include "common/messages.h"
#include "container/cdt.h"
#include "container/checked_rereader.h"
#include "ops/create_patch.h"
#include "ops/opened_input.h"
#include "ops/range_checksum.h"

namespace rempar {
namespace {

constexpr std::size_t READ_PIECE = 1 << 20;

bool has_patch_ending(const std::string& name) {
  constexpr std::string_view ENDING = ".cdp";
  if (name.size() < ENDING.size()) return false;
  return std::equal(
      ENDING.begin(), ENDING.end(), name.end() - ENDING.size(),
      [](char want, char got) { return want == std::tolower(static_cast<unsigned char>(got)); });
}

// Checks the records against one accepted checksum file.
class Binding {
 public:
  Binding(io::File& cdt, std::int64_t cdt_size, const AcceptedCdt& accepted,
          const std::string& name)
      : cdt_(cdt), cdt_size_(cdt_size), accepted_(accepted), sizes_(accepted.sizes), name_(name) {}

  // Each record covers exactly one block of the checksum file.
  bool records_are_blocks(std::span<const RecordSummary> records, std::ostream& out) const {
    const std::uint64_t block_size = sizes_.block_size;
    for (const RecordSummary& record : records) {
      const std::uint64_t block_length =
          std::min<std::uint64_t>(block_size, sizes_.file_size - record.offset);
      if (record.offset % block_size != 0 || record.length != block_length) {
        out << msg::record_not_a_block(name_, record.offset, record.length, sizes_.block_size);
        return false;
      }
    }
    return true;
  }

  // Every block a record overwrites is as recorded, as patched, or
  // unreadable; but for one block that an application stopped inside (see
  // `refused_block`). Reading stops at the first block in none of these states.
  bool blocks_allowed(io::File& target, std::span<const RecordSummary> records, std::ostream& out) {
    std::vector<std::uint32_t> stored;
    if (!stored_checksums(records, stored, out)) return false;
    auto buffer = AlignedBuffer::allocate(
        std::min<std::size_t>(READ_PIECE, std::max<std::size_t>(sizes_.block_size, 1)));
    if (!buffer) {
      out << msg::not_enough_memory("the blocks the patch overwrites");
      return false;
    }
    const std::span<std::uint8_t> room(buffer->data(), buffer->size());
    std::vector<Found> found(records.size(), Found::either);
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (stored[i] == markers_.of(records[i].length)) continue;
      found[i] = state_of(target, room, records[i], stored[i]);
      if (found[i] == Found::other) {
        found.resize(i + 1);
        break;
      }
    }
    const std::size_t refused = refused_block(found);
    if (refused == found.size()) return true;
    out << msg::target_differs(name_, records[refused].offset);
    return false;
  }

 private:
  // What a record's block holds now. `either`: what was recorded is what
  // the record writes, or the block cannot be read (it is written anyway).
  enum class Found { either, as_recorded, as_patched, torn, other };

  Found state_of(io::File& target, std::span<std::uint8_t> room, const RecordSummary& record,
                 std::uint32_t stored) {
    std::uint32_t now = 0;
    const io::ReadStatus state = range_checksum(target, room, record.offset, record.length, now);
    if (state == io::ReadStatus::failed) return Found::either;
    if (state != io::ReadStatus::ok) return Found::other;
    if (stored == record.crc && now == stored) return Found::either;
    if (now == stored) return Found::as_recorded;
    if (now == record.crc) return Found::as_patched;
    const std::uint32_t head = head_length(record.offset, record.length);
    if (head == 0) return Found::other;
    const io::ReadStatus head_state = range_checksum(target, room, record.offset, head, now);
    return head_state == io::ReadStatus::ok && now == record.head_crc ? Found::torn : Found::other;
  }

  // The index of the first block that refuses the patch; found.size() when
  // none does. A run killed inside a record leaves its block torn: the
  // record's bytes up to a write page boundary, the older bytes after. The
  // next run accepts one such block where that run stopped, with every
  // record before it applied and none after it; anything else is a target
  // that changed, or another file.
  static std::size_t refused_block(const std::vector<Found>& found) {
    const auto first = [&](std::size_t from, std::size_t to, auto is) {
      return static_cast<std::size_t>(
          std::find_if(found.begin() + static_cast<std::ptrdiff_t>(from),
                       found.begin() + static_cast<std::ptrdiff_t>(to), is) -
          found.begin());
    };
    const std::size_t end = found.size();
    const std::size_t other = first(0, end, [](Found f) { return f == Found::other; });
    const std::size_t torn = first(0, end, [](Found f) { return f == Found::torn; });
    if (torn >= other) return other;
    const std::size_t second = first(torn + 1, end, [](Found f) { return f == Found::torn; });
    if (second < other) return second;
    const bool stopped_there =
        first(0, torn, [](Found f) { return f == Found::as_recorded; }) == torn &&
        first(torn + 1, end, [](Found f) { return f == Found::as_patched; }) == end;
    return stopped_there ? other : torn;
  }

  // The checksum stored for each record's block, in the records' order. The
  // checksum file is read again front to back, as far as the last block a
  // record names, and every piece of it is compared with the piece its check
  // read: the stored checksums are bytes whose seal was checked.
  bool stored_checksums(std::span<const RecordSummary> records, std::vector<std::uint32_t>& stored,
                        std::ostream& out) {
    std::vector<std::pair<std::uint64_t, std::size_t>> wanted;  // block, record
    wanted.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      wanted.emplace_back(records[i].offset / sizes_.block_size, i);
    }
    std::sort(wanted.begin(), wanted.end());
    stored.assign(records.size(), 0);
    StoredChecksums checksums(cdt_, *accepted_.sizes.layout, cdt_size_, accepted_.checked);
    std::uint64_t block = 0;
    std::uint32_t crc = 0;
    bool have = false;  // `crc` is block `block - 1`'s
    for (const auto& [index, record] : wanted) {
      while (!have || block <= index) {
        const CheckedRereader::Status status = checksums.next(crc);
        if (status != CheckedRereader::Status::ok) {
          out << reread_error(status, cdt_, msg::CDT_FILE, msg::CDT_CHANGED_BINDING);
          return false;
        }
        ++block;
        have = true;
      }
      stored[record] = crc;
    }
    return true;
  }

  io::File& cdt_;
  std::int64_t cdt_size_;
  const AcceptedCdt& accepted_;
  const CdtSizes& sizes_;
  const std::string& name_;
  UnreadableMarkers markers_;
};

}  // namespace

std::string binding_name(const std::string& cdp_name) {
  if (!has_patch_ending(cdp_name)) return {};
  return cdp_name.substr(0, cdp_name.size() - 4) + ".cdt";
}

bool target_is_bound(const std::string& cdp_name, io::File& target, std::int64_t target_size,
                     std::span<const RecordSummary> records, std::ostream& out) {
  const std::string name = binding_name(cdp_name);
  if (name.empty()) return true;
  const auto info = io::stat_path(name);
  if (!info || !info->regular) return true;
  auto cdt = open_input(name, msg::CDT_FILE, io::File::Mode::read, out);
  if (!cdt) return false;
  // The checks of patch creation, with its messages; then the file named.
  std::ostringstream refusal;
  const auto accepted =
      accept_checksum_file(cdt->file, cdt->size, target_size, refusal,
                           [&name](std::int64_t actual, std::uint64_t recorded) {
                             return msg::binding_size_mismatch(name, actual, recorded);
                           });
  if (!accepted) {
    out << refusal.str();
    if (refusal.str().find(name) == std::string::npos) out << msg::binding_file_refused(name);
    return false;
  }
  Binding binding(cdt->file, cdt->size, *accepted, name);
  return binding.records_are_blocks(records, out) && binding.blocks_allowed(target, records, out);
}

}  // namespace rempar
