#pragma once
// Helpers shared by the tests: scratch folders, whole-file I/O, and running
// the real binary with its standard output captured.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/file.h"

namespace rempar::testing {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void write_file(const std::string& path, const Bytes& bytes);
Bytes read_file(const std::string& path);
bool exists(const std::string& path);
Bytes bytes_of(const std::string& text);
// Deterministic pseudo-random bytes.
Bytes random_bytes(std::size_t n, std::uint32_t seed);

struct RunResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status
};

// Runs the built rempar binary with `args` in folder `cwd`.
RunResult run_rempar(const std::vector<std::string>& args, const std::string& cwd = ".");

std::uint32_t le32_at(const Bytes& bytes, std::size_t offset);
void append_le32(Bytes& bytes, std::uint32_t value);
// Replaces a container's last 4 bytes with the seal of the bytes before them.
void reseal(Bytes& container);

// Makes every `op` on the file `name` meet `fault` while it lives.
class ScopedFault {
 public:
  ScopedFault(io::Op op, const std::string& name, io::Fault fault);
  ~ScopedFault();
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;
};

}  // namespace rempar::testing
