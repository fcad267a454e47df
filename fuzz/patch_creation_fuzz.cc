// Patch creation's reader of checksum files: write_patch with a fuzzed
// checksum file against the fixed good copy. The first input byte picks how
// the rest is used: with its low bit set the rest is sealed afresh before
// use, so that damage to the structure behind a valid seal is explored as
// deeply as damage to the seal itself.
//
// Expected: the verdict the layout gives; one message naming the first
// fault when it rejects; when it accepts, exactly the blocks whose stored
// checksum differs are written, and the patch file is byte for byte the one
// the layout prescribes.

#include <sstream>

#include "checksum/block_crc.h"
#include "common/messages.h"
#include "container/container_writer.h"
#include "fuzz_support.h"
#include "ops/create_patch.h"

namespace {

using rempar::ContainerKind;
using rempar::fuzz::Bytes;
using rempar::fuzz::Verdict;
namespace msg = rempar::msg;

// What write_patch must print and write for `cdt` against the good copy.
struct Expected {
  bool accepted = false;
  std::string message;  // the error, when not accepted
  Bytes patch;          // the patch file, when any block differs
  std::vector<std::uint64_t> corrupt_offsets;
};

Expected expect(const Bytes& cdt) {
  const Bytes& good = rempar::fuzz::verified_bytes();
  Expected e;
  const Verdict verdict = rempar::fuzz::reference_check(cdt, ContainerKind::CDT);
  if (verdict != Verdict::accepted) {
    e.message = rempar::fuzz::rejection_message(verdict, ContainerKind::CDT);
    return e;
  }
  // Version 3.0 widens the file size and the record offsets to 8 bytes.
  const std::size_t w = rempar::fuzz::size_width(cdt);
  // Sizes that would reach into the seal are none: such a container is too
  // short for any file.
  if (cdt.size() < 18 + w) {
    e.message = msg::checksum_count_mismatch(static_cast<std::int64_t>(cdt.size()), 18 + w);
    return e;
  }
  const std::uint64_t file_size = rempar::fuzz::le_at(cdt, 10, w);
  const std::uint32_t block_size = rempar::fuzz::le32_at(cdt, 10 + w);
  if (file_size != good.size()) {
    e.message = msg::verified_size_mismatch(static_cast<std::int64_t>(good.size()), file_size);
    return e;
  }
  if (block_size == 0) {
    e.message = std::string(msg::ZERO_BLOCK_SIZE);
    return e;
  }
  const std::uint64_t blocks = (file_size + std::uint64_t{block_size} - 1) / block_size;
  const std::uint64_t needed = 18 + w + 4 * blocks;
  // Checksums beyond the last block's are never read.
  if (cdt.size() < needed) {
    e.message = msg::checksum_count_mismatch(static_cast<std::int64_t>(cdt.size()), needed);
    return e;
  }
  e.accepted = true;
  Bytes body = {'K', 'a', 'L', 'W', 'C', 'R', 'C', 'P', cdt[8], 0};
  rempar::fuzz::append_le(body, file_size, w);
  for (std::uint64_t k = 0; k < blocks; ++k) {
    const std::uint64_t offset = k * block_size;
    const std::uint64_t length = std::min<std::uint64_t>(block_size, file_size - offset);
    const auto data = std::span(good).subspan(offset, length);
    if (rempar::block_crc(data) == rempar::fuzz::le32_at(cdt, 14 + w + 4 * k)) continue;
    e.corrupt_offsets.push_back(offset);
    rempar::fuzz::append_le(body, offset, w);
    rempar::fuzz::append_le32(body, static_cast<std::uint32_t>(length));
    body.insert(body.end(), data.begin(), data.end());
  }
  if (e.corrupt_offsets.empty()) return e;
  rempar::fuzz::append_le(body, w == 8 ? ~std::uint64_t{0} : 0xFFFFFFFFu, w);
  rempar::fuzz::append_le32(body, rempar::block_crc(body));
  e.patch = std::move(body);
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rempar::fuzz::write_fixed_files_if_asked();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static rempar::fuzz::ScratchFile cdt_file("cdt");
  static rempar::fuzz::ScratchFile verified_file("verified");
  static rempar::fuzz::ScratchFile patch_file("patch");
  static const bool ready = (verified_file.assign(rempar::fuzz::verified_bytes()), true);
  (void)ready;
  if (size == 0) return 0;
  const Bytes cdt = rempar::fuzz::container_from(data, size);
  cdt_file.assign(cdt);
  patch_file.assign({});

  rempar::io::File cdt_in = cdt_file.open(rempar::io::File::Mode::read);
  rempar::io::File verified = verified_file.open(rempar::io::File::Mode::read);
  rempar::io::File patch = patch_file.open(rempar::io::File::Mode::create_rw);
  std::ostringstream out;
  bool found = true;
  bool accepted = false;
  {
    rempar::ContainerWriter writer(patch, 4096);  // small, so records cross it
    const auto cdt_size = static_cast<std::int64_t>(cdt.size());
    const auto sizes = rempar::accept_checksum_file(
        cdt_in, cdt_size, static_cast<std::int64_t>(rempar::fuzz::verified_bytes().size()), out);
    accepted = sizes && rempar::write_patch(cdt_in, verified, writer, *sizes, cdt_size, found, out);
  }
  const Expected e = expect(cdt);
  const std::string text = out.str();
  FUZZ_CHECK(accepted == e.accepted);
  if (!accepted) {
    FUZZ_CHECK(text.starts_with(e.message));
    FUZZ_CHECK(rempar::fuzz::count_of(text, "Error") == 1 ||
               e.message.starts_with("Error - file is v"));
    FUZZ_CHECK(text.ends_with("\n"));
    FUZZ_CHECK(patch_file.contents().empty());
    return 0;
  }
  FUZZ_CHECK(rempar::fuzz::count_of(text, "Error") == 0);
  FUZZ_CHECK(found == !e.corrupt_offsets.empty());
  std::size_t from = 0;
  for (const std::uint64_t offset : e.corrupt_offsets) {
    from = text.find(msg::corruption_found(offset), from);
    FUZZ_CHECK(from != std::string::npos);
  }
  if (found) FUZZ_CHECK(patch_file.contents() == e.patch);
  return 0;
}
