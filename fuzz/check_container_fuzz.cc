// The container check on arbitrary bytes, taken as a checksum file and as a
// patch file. Its verdict must be the one the layout gives, with exactly one
// message when it rejects and none when it accepts; the visitor must see
// every byte the seal covers, once, in order. The same bytes checked with a
// size larger than the file (a file that shrank) are always rejected.

#include <sstream>

#include "container/check_container.h"
#include "fuzz_support.h"

namespace {

using rempar::ContainerKind;
using rempar::fuzz::Verdict;
using namespace std::string_literals;

void check_as(ContainerKind kind, std::span<const std::uint8_t> bytes,
              const rempar::fuzz::ScratchFile& scratch) {
  rempar::io::File file = scratch.open(rempar::io::File::Mode::read);
  std::ostringstream out;
  rempar::fuzz::Bytes seen;
  std::int64_t next = 0;
  const auto visitor = [&](std::span<const std::uint8_t> chunk, std::int64_t offset) {
    FUZZ_CHECK(offset == next);
    next += static_cast<std::int64_t>(chunk.size());
    seen.insert(seen.end(), chunk.begin(), chunk.end());
  };
  const auto size = static_cast<std::int64_t>(bytes.size());
  const int result =
      rempar::check_container(file, size, kind, rempar::make_signature(kind), out, visitor);
  const Verdict expected = rempar::fuzz::reference_check(bytes, kind);
  const std::string text = out.str();
  const std::string name = kind == ContainerKind::CDT ? "CDT" : "CDP";
  switch (expected) {
    case Verdict::accepted:
      FUZZ_CHECK(result == 0);
      FUZZ_CHECK(text.empty());
      FUZZ_CHECK(seen.size() == bytes.size() - 4);
      FUZZ_CHECK(std::equal(seen.begin(), seen.end(), bytes.begin()));
      break;
    case Verdict::invalid:
      FUZZ_CHECK(result == 1);
      FUZZ_CHECK(text == "Error - ." + name + " invalid\n");
      break;
    case Verdict::version:
      // The version bytes are shown raw, so the text may hold any byte.
      FUZZ_CHECK(result == 1);
      FUZZ_CHECK(text.starts_with("Error - file is v"));
      FUZZ_CHECK(text.ends_with(", program needs v\x02.\0\n"s));
      break;
    case Verdict::bad_seal:
      FUZZ_CHECK(result == 1);
      FUZZ_CHECK(text == "Error - bad CRC for ." + name + " file (probably damaged?)\n");
      break;
  }
  // A size larger than the bytes there are: the file shrank after its size
  // was taken. Never accepted, always one message.
  for (const std::int64_t extra : {std::int64_t{1}, std::int64_t{4}, std::int64_t{4096}}) {
    std::ostringstream lied;
    FUZZ_CHECK(
        rempar::check_container(file, size + extra, kind, rempar::make_signature(kind), lied) == 1);
    FUZZ_CHECK(lied.str().starts_with("Error - ") && lied.str().ends_with("\n"));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static rempar::fuzz::ScratchFile scratch("container");
  const std::span<const std::uint8_t> bytes(data, size);
  scratch.assign(bytes);
  check_as(ContainerKind::CDT, bytes, scratch);
  check_as(ContainerKind::CDP, bytes, scratch);
  return 0;
}
