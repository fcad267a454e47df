#include "ops/apply_patch.h"

#include <vector>

#include "common/messages.h"
#include "common/sequential_reader.h"
#include "container/cdp.h"
#include "container/check_container.h"
#include "ops/opened_input.h"
#include "ops/record_writer.h"

namespace rempar {
namespace {

// A patch up to this size is kept in memory from the check, so it is read
// from the disk once; a larger one is read again record by record. Small
// enough that the process stays within a few MiB whatever the patch.
constexpr std::int64_t KEEP_IN_MEMORY = 1 << 20;
constexpr std::size_t COPY_CHUNK = 1 << 20;

// Vets the record list against the target; prints the reason when it fails.
bool records_fit(const CdpRecordScanner& scanner, std::int64_t target_size, std::ostream& out) {
  if (scanner.recorded_size() != static_cast<std::uint64_t>(target_size)) {
    out << msg::target_size_mismatch(target_size, scanner.recorded_size());
    return false;
  }
  switch (scanner.verdict()) {
    case CdpRecordScanner::Verdict::well_formed: return true;
    case CdpRecordScanner::Verdict::malformed: out << msg::BAD_RECORDS; return false;
    case CdpRecordScanner::Verdict::out_of_range:
      out << msg::record_out_of_range(scanner.bad_record().offset, scanner.bad_record().length,
                                      scanner.recorded_size());
      return false;
  }
  return false;
}

// Writes every record, in the order they stand, straight from the reader's
// buffer into the target. The records pass the scanner again as they are
// read: a patch too large to keep is read again from the disk, and its
// records must still fit the target and end with the end marker where the
// check found it, or the file changed in between.
bool write_records(io::SequentialReader& records, CdpRecordScanner& scanner,
                   std::int64_t records_end, io::File& cdp, RecordWriter& writer,
                   std::ostream& out) {
  const auto write = [&](const CdpRecord& record, std::uint64_t done,
                         std::span<const std::uint8_t> piece) {
    writer.write(record, done, piece);
  };
  while (!scanner.ended()) {
    auto status = io::ReadStatus::ok;
    const auto piece = records.next(COPY_CHUNK, status);
    if (status != io::ReadStatus::ok) {
      out << msg::read_error(msg::CDP_FILE, cdp, status);
      return false;
    }
    scanner.feed(piece, write);
    if (scanner.faulty()) break;
  }
  if (!scanner.faulty() && scanner.records_end() == records_end) return true;
  out << msg::BAD_RECORDS;
  return false;
}

}  // namespace

bool apply_records(io::File& cdp, io::File& target, std::int64_t cdp_size, std::int64_t target_size,
                   std::ostream& out, RecordWrites* writes) {
  CdpRecordScanner scanner(cdp_size);
  const bool keep = cdp_size <= KEEP_IN_MEMORY;
  std::vector<std::uint8_t> kept;
  if (keep) kept.reserve(static_cast<std::size_t>(std::max<std::int64_t>(cdp_size, 0)));
  const auto visit = [&](std::span<const std::uint8_t> chunk, std::int64_t) {
    scanner.feed(chunk);
    if (keep) kept.insert(kept.end(), chunk.begin(), chunk.end());
  };
  if (check_container(cdp, cdp_size, ContainerKind::CDP, make_signature(ContainerKind::CDP), out,
                      visit) != 0 ||
      !records_fit(scanner, target_size, out)) {
    return false;
  }
  const ContainerLayout& layout = scanner.layout();
  const std::int64_t records_at = scanner.records_begin();
  const std::int64_t records_end = scanner.records_end();
  CdpRecordScanner again(cdp_size, layout, scanner.recorded_size());
  RecordWriter writer(target, writes && writes->sync_each_record, out);
  bool read = false;
  if (keep) {
    kept.erase(kept.begin(), kept.begin() + records_at);
    io::SequentialReader records(cdp, records_at, std::move(kept));
    read = write_records(records, again, records_end, cdp, writer, out);
  } else {
    io::SequentialReader records(cdp, records_at, records_end, COPY_CHUNK);
    read = write_records(records, again, records_end, cdp, writer, out);
  }
  if (!writes) return read && writer.failed_records() == 0;
  writes->records = scanner.record_count();
  writes->failed = writer.failed_records();
  return read;
}

Outcome run_apply_patch(const std::string& cdp_name, const std::string& file, std::ostream& out) {
  out << msg::PROCESSING;
  auto cdp = open_input(cdp_name, msg::CDP_FILE, io::File::Mode::read, out);
  if (!cdp) return Outcome::failed;
  // A block device is opened exclusively: one that is mounted or held by
  // another exclusive user is refused before anything is written.
  const auto info = io::stat_path(file);
  RecordWrites writes;
  writes.sync_each_record = info && info->kind == io::Kind::block_device;
  auto target = open_input(
      file, msg::TARGET_FILE,
      writes.sync_each_record ? io::File::Mode::update_exclusive : io::File::Mode::update_rw, out,
      Devices::allowed);
  if (!target) return Outcome::failed;
  if (target->identity == cdp->identity) {
    out << msg::same_file(msg::TARGET_FILE, file, msg::CDP_FILE, cdp_name);
    return Outcome::failed;
  }
  const bool applied =
      apply_records(cdp->file, target->file, cdp->size, target->size, out, &writes);
  cdp->file.close();
  if (!applied) return Outcome::failed;
  // The repair counts only once it is on stable storage; whatever was
  // written is flushed, even when some records were refused.
  if (!target->file.sync() || !target->file.close()) {
    out << msg::target_write_failed(file, target->file.last_error());
    return Outcome::failed;
  }
  if (writes.failed != 0) {
    out << msg::records_not_written(writes.failed, writes.records);
    return Outcome::failed;
  }
  out << msg::FILE_PATCHED;
  return Outcome::succeeded;
}

}  // namespace rempar
