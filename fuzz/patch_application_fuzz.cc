// Patch application's reader of patch files: apply_records with a fuzzed
// patch file against a scratch copy of the fixed damaged file. The first
// input byte picks how the rest is used: with its low bit set the rest is
// sealed afresh, so that the record list behind a valid seal is explored.
//
// Expected: the verdict the layout gives, with one message when it rejects.
// A rejected patch leaves the target byte for byte as it was; an accepted
// one changes exactly the bytes its records cover, to the records' bytes.
// The target never grows.

#include <sstream>

#include "checksum/block_crc.h"
#include "common/messages.h"
#include "fuzz_support.h"
#include "ops/apply_patch.h"

namespace {

using rempar::ContainerKind;
using rempar::fuzz::Bytes;
using rempar::fuzz::Verdict;
namespace msg = rempar::msg;

struct Expected {
  bool accepted = false;
  std::string message;  // the error, when not accepted
  Bytes target;         // the target afterwards
};

Expected expect(const Bytes& cdp) {
  Expected e;
  e.target = rempar::fuzz::damaged_bytes();
  const Verdict verdict = rempar::fuzz::reference_check(cdp, ContainerKind::CDP);
  if (verdict != Verdict::accepted) {
    e.message = rempar::fuzz::rejection_message(verdict, ContainerKind::CDP);
    return e;
  }
  const auto parsed = rempar::fuzz::reference_parse_patch(cdp);
  const auto target_size = static_cast<std::int64_t>(e.target.size());
  if (parsed.recorded_size != static_cast<std::uint64_t>(target_size)) {
    e.message = msg::target_size_mismatch(target_size, parsed.recorded_size);
  } else if (parsed.malformed) {
    e.message = std::string(msg::BAD_RECORDS);
  } else if (parsed.first_out_of_range) {
    e.message = msg::record_out_of_range(parsed.first_out_of_range->offset,
                                         parsed.first_out_of_range->length, parsed.recorded_size);
  } else {
    e.accepted = true;
    for (const auto& r : parsed.records) {
      std::copy_n(cdp.begin() + static_cast<std::ptrdiff_t>(r.data_at), r.length,
                  e.target.begin() + r.offset);
    }
  }
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static rempar::fuzz::ScratchFile cdp_file("cdp");
  static rempar::fuzz::ScratchFile target_file("target");
  if (size == 0) return 0;
  const Bytes cdp = rempar::fuzz::container_from(data, size);
  cdp_file.assign(cdp);
  const Bytes& original = rempar::fuzz::damaged_bytes();
  target_file.assign(original);

  rempar::io::File cdp_in = cdp_file.open(rempar::io::File::Mode::read);
  rempar::io::File target = target_file.open(rempar::io::File::Mode::update_rw);
  std::ostringstream out;
  const bool applied = rempar::apply_records(cdp_in, target, static_cast<std::int64_t>(cdp.size()),
                                             static_cast<std::int64_t>(original.size()), out);
  const Expected e = expect(cdp);
  const std::string text = out.str();
  const Bytes after = target_file.contents();
  FUZZ_CHECK(after.size() == original.size());
  FUZZ_CHECK(applied == e.accepted);
  FUZZ_CHECK(after == e.target);
  if (applied) {
    FUZZ_CHECK(text.empty());
  } else {
    FUZZ_CHECK(text.starts_with(e.message));
    FUZZ_CHECK(rempar::fuzz::count_of(text, "Error") == 1 ||
               e.message.starts_with("Error - file is v"));
    FUZZ_CHECK(text.ends_with("\n"));
  }
  return 0;
}
