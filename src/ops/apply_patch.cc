#include "ops/apply_patch.h"

#include <vector>

#include "common/messages.h"
#include "common/sequential_reader.h"
#include "container/cdp.h"
#include "container/check_container.h"
#include "ops/opened_input.h"
#include "ops/read_back.h"
#include "ops/target_binding.h"

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
                   std::int64_t records_end, io::File& cdp, io::File& target, std::ostream& out) {
  bool write_failed = false;
  const auto write = [&](const CdpRecord& record, std::uint64_t done,
                         std::span<const std::uint8_t> piece) {
    if (write_failed) return;
    if (!target.write_at(piece, static_cast<std::int64_t>(record.offset + done))) {
      out << msg::target_write_failed(target.name(), target.last_error());
      write_failed = true;
    }
  };
  while (!scanner.ended()) {
    auto status = io::ReadStatus::ok;
    const auto piece = records.next(COPY_CHUNK, status);
    if (status != io::ReadStatus::ok) {
      out << msg::read_error(msg::CDP_FILE, cdp, status);
      return false;
    }
    scanner.feed(piece, write);
    if (write_failed) return false;
    if (scanner.faulty()) break;
  }
  if (!scanner.faulty() && scanner.records_end() == records_end) return true;
  out << msg::BAD_RECORDS;
  return false;
}

}  // namespace

bool apply_records(io::File& cdp, io::File& target, std::int64_t cdp_size, std::int64_t target_size,
                   std::ostream& out, RecordSummaries* summaries,
                   const BeforeWriting& before_writing) {
  CdpRecordScanner scanner(cdp_size);
  RecordSummaries own_summaries;
  RecordSummaries& kept_summaries = summaries != nullptr ? *summaries : own_summaries;
  const auto summarise = [&](const CdpRecord& record, std::uint64_t done,
                             std::span<const std::uint8_t> piece) {
    kept_summaries.take(record, done, piece);
  };
  const bool keep = cdp_size <= KEEP_IN_MEMORY;
  std::vector<std::uint8_t> kept;
  if (keep) kept.reserve(static_cast<std::size_t>(std::max<std::int64_t>(cdp_size, 0)));
  const auto visit = [&](std::span<const std::uint8_t> chunk, std::int64_t) {
    scanner.feed(chunk, summarise);
    if (keep) kept.insert(kept.end(), chunk.begin(), chunk.end());
  };
  if (check_container(cdp, cdp_size, ContainerKind::CDP, make_signature(ContainerKind::CDP), out,
                      visit) != 0 ||
      !records_fit(scanner, target_size, out) ||
      (before_writing && !before_writing(kept_summaries.records()))) {
    return false;
  }
  const ContainerLayout& layout = scanner.layout();
  const std::int64_t records_at = scanner.records_begin();
  const std::int64_t records_end = scanner.records_end();
  CdpRecordScanner again(cdp_size, layout, scanner.recorded_size());
  if (keep) {
    kept.erase(kept.begin(), kept.begin() + records_at);
    io::SequentialReader records(cdp, records_at, std::move(kept));
    return write_records(records, again, records_end, cdp, target, out);
  }
  io::SequentialReader records(cdp, records_at, records_end, COPY_CHUNK);
  return write_records(records, again, records_end, cdp, target, out);
}

Outcome run_apply_patch(const std::string& cdp_name, const std::string& file, std::ostream& out) {
  out << msg::PROCESSING;
  auto cdp = open_input(cdp_name, msg::CDP_FILE, io::File::Mode::read, out);
  if (!cdp) return Outcome::failed;
  auto target =
      open_input(file, msg::TARGET_FILE, io::File::Mode::update_rw, out, Devices::allowed);
  if (!target) return Outcome::failed;
  if (target->identity == cdp->identity) {
    out << msg::same_file(msg::TARGET_FILE, file, msg::CDP_FILE, cdp_name);
    return Outcome::failed;
  }
  RecordSummaries written;
  const bool applied =
      apply_records(cdp->file, target->file, cdp->size, target->size, out, &written,
                    [&](std::span<const RecordSummary> records) {
                      return target_is_bound(cdp_name, target->file, target->size, records, out);
                    });
  cdp->file.close();
  if (!applied) return Outcome::failed;
  // The repair counts only once it is on stable storage, and the medium
  // gives it back.
  if (!target->file.sync()) {
    out << msg::target_write_failed(file, target->file.last_error());
    return Outcome::failed;
  }
  if (!reads_back_as_written(target->file, written.records(), out)) return Outcome::failed;
  if (!target->file.close()) {
    out << msg::target_write_failed(file, target->file.last_error());
    return Outcome::failed;
  }
  out << msg::FILE_PATCHED;
  return Outcome::succeeded;
}

}  // namespace rempar
