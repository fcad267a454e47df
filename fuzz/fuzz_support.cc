#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "checksum/block_crc.h"
#include "container/container_writer.h"
#include "ops/create_checksum.h"
#include "ops/create_patch.h"

namespace rempar::fuzz {

void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n", file, line, what);
  std::abort();
}

ScratchFile::ScratchFile(const char* label) {
  fd_ = ::memfd_create(label, MFD_CLOEXEC);
  if (fd_ < 0) fail("memfd_create", __FILE__, __LINE__);
  name_ = "/proc/self/fd/" + std::to_string(fd_);
}

ScratchFile::~ScratchFile() {
  if (fd_ >= 0) ::close(fd_);
}

void ScratchFile::assign(std::span<const std::uint8_t> bytes) {
  if (::ftruncate(fd_, 0) != 0) fail("ftruncate", __FILE__, __LINE__);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n <= 0) fail("pwrite", __FILE__, __LINE__);
    done += static_cast<std::size_t>(n);
  }
}

Bytes ScratchFile::contents() const {
  Bytes bytes;
  std::uint8_t buffer[4096];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
    if (n < 0) fail("pread", __FILE__, __LINE__);
    if (n == 0) return bytes;
    bytes.insert(bytes.end(), buffer, buffer + n);
    at += n;
  }
}

io::File ScratchFile::open(io::File::Mode mode) const {
  auto file = io::File::open(name_, mode);
  if (!file) fail("opening a scratch file", __FILE__, __LINE__);
  return std::move(*file);
}

const Bytes& verified_bytes() {
  static const Bytes bytes = [] {
    Bytes b;
    char line[16];
    for (int i = 0; i < 150; ++i) {
      std::snprintf(line, sizeof line, "line %04d\n", i);
      b.insert(b.end(), line, line + std::strlen(line));
    }
    return b;
  }();
  return bytes;
}

const Bytes& damaged_bytes() {
  static const Bytes bytes = [] {
    Bytes b = verified_bytes();
    std::memcpy(b.data() + 20, "XXXX", 4);
    std::memcpy(b.data() + 700, "YYY", 3);
    b.back() = '!';
    return b;
  }();
  return bytes;
}

namespace {

// The checksum file of the damaged copy in the large-file version, and the
// patch made against it, which keeps that version.
void write_large_format_seeds(const std::string& folder, std::int32_t block_size) {
  const std::string base = folder + "/large-" + std::to_string(block_size);
  std::ostringstream out;
  {
    auto input = io::File::open(folder + "/damaged", io::File::Mode::read);
    auto cdt = io::File::open(base + ".cdt", io::File::Mode::create_rw);
    if (!input || !cdt) fail("opening a seed file", __FILE__, __LINE__);
    ContainerWriter writer(*cdt);
    if (!write_checksums(*input, writer, LAYOUT_3_0, block_size,
                         static_cast<std::int64_t>(damaged_bytes().size()), out)) {
      fail("writing a large-format checksum file", __FILE__, __LINE__);
    }
  }
  if (run_create_patch(base + ".cdt", folder + "/verified", base + ".cdp", out) !=
      Outcome::succeeded) {
    fail("writing a large-format patch file", __FILE__, __LINE__);
  }
}

}  // namespace

void write_fixed_files_if_asked() {
  const char* folder = std::getenv("REMPAR_FUZZ_WRITE_FIXED");
  if (folder == nullptr) return;
  for (const auto& [name, bytes] :
       {std::pair{"/verified", &verified_bytes()}, std::pair{"/damaged", &damaged_bytes()}}) {
    std::ofstream out(std::string(folder) + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes->data()),
              static_cast<std::streamsize>(bytes->size()));
    if (!out) fail("writing a fixed file", __FILE__, __LINE__);
  }
  for (const std::int32_t block_size : {1, 64, 100, 1500, 16384}) {
    write_large_format_seeds(folder, block_size);
  }
  std::exit(0);
}

std::size_t size_width(std::span<const std::uint8_t> container) {
  return container[8] == 3 ? 8 : 4;
}

Verdict reference_check(std::span<const std::uint8_t> bytes, ContainerKind kind) {
  if (bytes.size() < 22 || bytes.size() > 0x7FFFFFFFu) return Verdict::invalid;
  const char* magic = kind == ContainerKind::CDT ? "KaLWCRCC" : "KaLWCRCP";
  if (std::memcmp(bytes.data(), magic, 8) != 0) return Verdict::invalid;
  if ((bytes[8] != 2 && bytes[8] != 3) || bytes[9] != 0) return Verdict::version;
  const std::size_t covered = bytes.size() - 4;
  return block_crc(bytes.first(covered)) == le32_at(bytes, covered) ? Verdict::accepted
                                                                    : Verdict::bad_seal;
}

ParsedPatch reference_parse_patch(std::span<const std::uint8_t> bytes) {
  ParsedPatch parsed;
  const std::size_t w = size_width(bytes);
  const std::uint64_t end_of_records = w == 8 ? ~std::uint64_t{0} : 0xFFFFFFFFu;
  // An accepted container has at least 22 bytes, enough for the file size,
  // but perhaps not for an end marker after it.
  parsed.recorded_size = le_at(bytes, 10, w);
  if (bytes.size() < 10 + w + w + 4) {
    parsed.malformed = true;
    return parsed;
  }
  // Records follow one another from 10 + w up to an end marker, which must
  // start by the last w bytes before the seal; bytes between the end marker
  // and the seal are never read.
  const std::size_t end_marker = bytes.size() - 4 - w;
  for (std::size_t at = 10 + w;;) {
    if (at > end_marker) break;
    const std::uint64_t offset = le_at(bytes, at, w);
    if (offset == end_of_records) return parsed;
    if (at + w + 4 > end_marker) break;
    Record r{offset, le32_at(bytes, at + w), at + w + 4};
    if (r.data_at + r.length > end_marker) break;
    // Written so that no sum can wrap, however large the offset.
    if (!parsed.first_out_of_range &&
        (r.length > parsed.recorded_size || r.offset > parsed.recorded_size - r.length)) {
      parsed.first_out_of_range = r;
    }
    parsed.records.push_back(r);
    at = r.data_at + r.length;
  }
  parsed.malformed = true;
  return parsed;
}

std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++n;
  return n;
}

std::string rejection_message(Verdict verdict, ContainerKind kind) {
  const std::string name = kind == ContainerKind::CDT ? "CDT" : "CDP";
  switch (verdict) {
    case Verdict::accepted: return {};
    case Verdict::invalid: return "Error - ." + name + " invalid\n";
    case Verdict::version: return "Error - file is v";
    case Verdict::bad_seal: return "Error - bad CRC for ." + name + " file (probably damaged?)\n";
  }
  return {};
}

Bytes container_from(const std::uint8_t* data, std::size_t size) {
  Bytes bytes(data + 1, data + size);
  if ((data[0] & 1) != 0 && bytes.size() >= 4) {
    const std::uint32_t seal = block_crc(std::span(bytes).first(bytes.size() - 4));
    testing::set_le(bytes, bytes.size() - 4, seal, 4);
  }
  return bytes;
}

}  // namespace rempar::fuzz
