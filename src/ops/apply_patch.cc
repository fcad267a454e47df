#include "ops/apply_patch.h"

#include "common/messages.h"
#include "container/cdp.h"
#include "container/check_container.h"
#include "container/checked_rereader.h"
#include "container/piece_checksums.h"
#include "ops/opened_input.h"
#include "ops/read_back.h"
#include "ops/record_writer.h"
#include "ops/target_binding.h"

namespace rempar {
namespace {

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

// Writes every record, in the order they stand, into the target. Their bytes
// come from a second read of the patch file, in pieces, and no byte of a
// piece is written before the piece has been found to be what the check read:
// a patch file that changes meanwhile, or a medium that reads differently the
// second time, stops the run at the first piece that differs. The records
// also pass the scanner again, so the list is vetted as it is applied.
bool write_records(CheckedRereader& records, CdpRecordScanner& scanner, std::int64_t records_end,
                   io::File& cdp, RecordWriter& writer, std::ostream& out) {
  const auto write = [&](const CdpRecord& record, std::uint64_t done,
                         std::span<const std::uint8_t> piece) {
    writer.write(record, done, piece);
  };
  while (!scanner.ended()) {
    auto status = CheckedRereader::Status::ok;
    const auto piece = records.next(status);
    if (status != CheckedRereader::Status::ok) {
      out << reread_error(status, cdp, msg::CDP_FILE, msg::CDP_CHANGED);
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
                   std::ostream& out, RecordWrites* writes, RecordSummaries* summaries,
                   const BeforeWriting& before_writing) {
  CdpRecordScanner scanner(cdp_size);
  RecordSummaries own_summaries;
  RecordSummaries& kept_summaries = summaries != nullptr ? *summaries : own_summaries;
  const auto summarise = [&](const CdpRecord& record, std::uint64_t done,
                             std::span<const std::uint8_t> piece) {
    kept_summaries.take(record, done, piece);
  };
  PieceChecksums checked;
  const auto visit = [&](std::span<const std::uint8_t> chunk, std::int64_t) {
    scanner.feed(chunk, summarise);
    checked.add(chunk);
  };
  if (check_container(cdp, cdp_size, ContainerKind::CDP, make_signature(ContainerKind::CDP), out,
                      visit) != 0 ||
      !records_fit(scanner, target_size, out) ||
      (before_writing && !before_writing(kept_summaries.records()))) {
    return false;
  }
  checked.finish();
  CdpRecordScanner again(cdp_size, scanner.layout(), scanner.recorded_size());
  CheckedRereader records(cdp, checked, scanner.records_begin(), scanner.records_end());
  RecordWriter writer(target, writes && writes->sync_each_record, out);
  const bool read = write_records(records, again, scanner.records_end(), cdp, writer, out);
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
  RecordSummaries written;
  const bool applied =
      apply_records(cdp->file, target->file, cdp->size, target->size, out, &writes, &written,
                    [&](std::span<const RecordSummary> records) {
                      return target_is_bound(cdp_name, target->file, target->size, records, out);
                    });
  cdp->file.close();
  if (!applied) return Outcome::failed;
  // The repair counts only once it is on stable storage, and the medium
  // gives it back; whatever was written is flushed, even when some records
  // were refused.
  if (!target->file.sync()) {
    out << msg::target_write_failed(file, target->file.last_error());
    return Outcome::failed;
  }
  if (writes.failed == 0 && !reads_back_as_written(target->file, written.records(), out)) {
    return Outcome::failed;
  }
  if (!target->file.close()) {
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
