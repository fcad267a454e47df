#pragma once
// What the fuzz targets share: scratch files held in memory, the two fixed
// files the checksum and patch targets work against, independent readings of
// both container layouts, and a check that stops the run loudly.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/file.h"
#include "container/framing.h"
#include "support/little_endian.h"

namespace rempar::fuzz {

using Bytes = std::vector<std::uint8_t>;

// Any violated expectation is a finding: print it and abort, so that
// libFuzzer saves the input that caused it.
[[noreturn]] void fail(const char* what, const char* file, int line);

#define FUZZ_CHECK(condition)                                               \
  do {                                                                      \
    if (!(condition)) ::rempar::fuzz::fail(#condition, __FILE__, __LINE__); \
  } while (0)

// An anonymous in-memory file, reached by name through /proc/self/fd so that
// the code under test opens it exactly as it opens any other file.
class ScratchFile {
 public:
  explicit ScratchFile(const char* label);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Replaces the whole content.
  void assign(std::span<const std::uint8_t> bytes);
  Bytes contents() const;
  io::File open(io::File::Mode mode) const;
  const std::string& name() const { return name_; }

 private:
  int fd_ = -1;
  std::string name_;
};

// The good copy: 150 lines "line NNNN\n", 1500 bytes.
const Bytes& verified_bytes();
// The damaged copy of the same size that patches are applied to: a few runs
// of the good copy overwritten, the last byte among them.
const Bytes& damaged_bytes();

// When REMPAR_FUZZ_WRITE_FIXED names a folder, writes both fixed files there
// (as "verified" and "damaged") and ends the process; scripts/fuzz.sh makes
// its seed containers from them with the tool itself. The tool writes the
// large-file version only for files of 2 GiB and more, so seeds in that
// version ("large-BS.cdt", "large-BS.cdp") are written here too, through the
// operations' own writers.
void write_fixed_files_if_asked();

// Little-endian integers, read and written as the tests do.
using testing::append_le;
using testing::append_le32;
using testing::le32_at;
using testing::le_at;

// The width of file sizes and record offsets of a container whose header
// names version 2.0 (4) or 3.0 (8); both versions are otherwise alike.
std::size_t size_width(std::span<const std::uint8_t> container);

// The container check, restated from the layout: size, magic, version, seal.
enum class Verdict { accepted, invalid, version, bad_seal };
Verdict reference_check(std::span<const std::uint8_t> bytes, ContainerKind kind);
// The message (or, for the version, its start) a rejection prints.
std::string rejection_message(Verdict verdict, ContainerKind kind);

// The container a fuzzer tries: the input after its first byte, sealed
// afresh when that byte's low bit is set, so that damage behind a valid seal
// is explored as deeply as damage to the seal itself.
Bytes container_from(const std::uint8_t* data, std::size_t size);

// A record of a patch file as the layout defines it.
struct Record {
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  std::size_t data_at = 0;  // where its bytes start in the container
};

// The record list of a sealed patch file, read from the layout alone.
struct ParsedPatch {
  std::uint64_t recorded_size = 0;
  bool malformed = false;
  std::vector<Record> records;
  std::optional<Record> first_out_of_range;
};
ParsedPatch reference_parse_patch(std::span<const std::uint8_t> bytes);

// How many times `needle` occurs in `text`.
std::size_t count_of(const std::string& text, const std::string& needle);

}  // namespace rempar::fuzz
