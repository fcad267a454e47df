#include "ops/read_back.h"

#include <algorithm>
#include <cerrno>

#include "common/aligned_buffer.h"
#include "common/messages.h"
#include "ops/range_checksum.h"

namespace rempar {
namespace {

constexpr std::size_t PIECE = 1 << 20;
// Reads past the cache start, end and land on this boundary: every device's
// logical sector (512 or 4096 bytes) divides it.
constexpr std::uint64_t ALIGNMENT = AlignedBuffer::ALIGNMENT;
static_assert(PIECE % ALIGNMENT == 0);

enum class Verdict { as_written, differs, retry_cached };

class ReadBack {
 public:
  ReadBack(io::File& target, AlignedBuffer& buffer)
      : target_(target), buffer_(buffer), direct_(target.bypass_cache()) {}

  bool matches(const RecordSummary& record) {
    if (direct_) {
      const Verdict verdict = read_direct(record);
      if (verdict != Verdict::retry_cached) return verdict == Verdict::as_written;
      // The file system took the flag but refuses such reads: go through
      // the cache, emptied first, for this and every later range.
      direct_ = false;
    }
    return read_cached(record) == Verdict::as_written;
  }

 private:
  // Whole aligned pieces around the range; only the range's bytes count.
  Verdict read_direct(const RecordSummary& record) {
    const std::uint64_t end = record.offset + record.length;
    RunningCrc crc;
    for (std::uint64_t at = record.offset / ALIGNMENT * ALIGNMENT; at < end;) {
      const std::uint64_t aligned_end = (end + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(PIECE, aligned_end - at));
      const auto got =
          target_.read_at(std::span(buffer_.data(), want), static_cast<std::int64_t>(at));
      if (!got) return target_.last_error() == EINVAL ? Verdict::retry_cached : Verdict::differs;
      const std::uint64_t from = std::max(at, record.offset);
      const std::uint64_t to = std::min(at + want, end);
      if (at + *got < to) return Verdict::differs;  // the file ended early
      crc.update(std::span(buffer_.data() + (from - at), static_cast<std::size_t>(to - from)));
      at += want;
    }
    return crc.value() == record.crc ? Verdict::as_written : Verdict::differs;
  }

  // After the flush the range's pages are clean: dropping them makes the
  // next read fetch the bytes from the medium.
  Verdict read_cached(const RecordSummary& record) {
    if (!cache_cleared_) {
      (void)target_.bypass_cache(false);
      cache_cleared_ = true;
    }
    target_.drop_cached(static_cast<std::int64_t>(record.offset), record.length);
    std::uint32_t crc = 0;
    const io::ReadStatus read = range_checksum(target_, std::span(buffer_.data(), PIECE),
                                               record.offset, record.length, crc);
    return read == io::ReadStatus::ok && crc == record.crc ? Verdict::as_written : Verdict::differs;
  }

  io::File& target_;
  AlignedBuffer& buffer_;
  bool direct_;
  bool cache_cleared_ = false;
};

}  // namespace

bool reads_back_as_written(io::File& target, std::span<const RecordSummary> records,
                           std::ostream& out) {
  if (records.empty()) return true;
  auto buffer = AlignedBuffer::allocate(PIECE);
  if (!buffer) {
    out << msg::not_enough_memory("reading the repair back");
    return false;
  }
  ReadBack read_back(target, *buffer);
  bool all = true;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (overwritten_later(records, i) || read_back.matches(records[i])) continue;
    out << msg::target_not_holding(records[i].offset);
    all = false;
  }
  return all;
}

}  // namespace rempar
