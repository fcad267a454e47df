#pragma once
// Helpers shared by the tests: scratch folders, whole-file I/O, and running
// the real binary with its standard output captured.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/file.h"
#include "common/file_window.h"
#include "container/layout.h"
#include "ops/block_walk.h"
#include "support/fault_hook_guard.h"
#include "support/golden_texts.h"
#include "support/little_endian.h"

namespace rempar::testing {

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
// Rewrites a file in place rather than truncating it to nothing first: ext4
// flushes a file truncated to zero when it is closed, and tests that rewrite
// files thousands of times would wait for the disk.
void overwrite_file(const std::string& path, const Bytes& bytes);
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

// A rempar process still running, its standard output and error on pipes.
struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

// Starts the built binary (or a copy of it at `program`) in `cwd`; `in_child`
// runs after the fork, before the program starts (false ends the child with
// status 126).
Child start_rempar(const std::vector<std::string>& args, const std::string& cwd,
                   const std::function<bool()>& in_child = {},
                   const std::string& program = REMPAR_BINARY);
// Everything a pipe delivers until it closes.
std::string drain(int fd);
// Reads both pipes to their end and waits for the child.
RunResult finish(Child child);

// Containers made by the operations themselves: the checksum file of
// `data`, and the patch that turns `damaged` into `good`. Without a layout
// the driver picks the version, as for any run; with one, the checksum file
// (and so the patch made from it) is written in that version whatever the
// size, so that the large-file version can be tried on small files.
Bytes checksum_file_of(const Bytes& data, std::int32_t block_size,
                       const ContainerLayout* layout = nullptr);
Bytes patch_file_of(const Bytes& good, const Bytes& damaged, std::int32_t block_size,
                    const ContainerLayout* layout = nullptr);
// `data` with one byte changed in every `every`-th block of `block_size`.
Bytes damaged_copy(Bytes data, std::size_t block_size, std::size_t every);

// Replaces a container's last 4 bytes with the seal of the bytes before them.
void reseal(Bytes& container);
// Stores `crc` for block `index` of a 2.0 checksum file, sealed again: the
// checksum file of a step 1 that saw that block otherwise.
void store_checksum(Bytes& cdt, std::size_t index, std::uint32_t crc);

// One row of a fault table: `op` on `file` meets `fault`, and the run must
// report `message`.
struct FaultCase {
  io::Op op;
  const char* file;
  io::Fault fault;
  std::string message;
};

// Whether a call on `called` is one on the file `name`: a container is
// written under a temporary name beside its own before it takes its place.
bool same_output(const std::string& called, const std::string& name);

// Whether `op` is `wanted`, a read also when it brings in a mapped window of
// the file (the walk reads a regular file that way, and falls back to read()
// for a window it cannot bring in): a fault meant for the reads of a file
// meets both.
bool reads_as(io::Op op, io::Op wanted);

// Makes the walks read the way `method` says while it lives.
class ScopedWalkMethod {
 public:
  explicit ScopedWalkMethod(WalkMethod method) { set_walk_method(method); }
  ~ScopedWalkMethod() { set_walk_method(WalkMethod::automatic); }
  ScopedWalkMethod(const ScopedWalkMethod&) = delete;
  ScopedWalkMethod& operator=(const ScopedWalkMethod&) = delete;
};

// Whether the window [offset, offset + length) of `windows` can be had whole:
// mapped, brought in, and every page of it readable. Where the populate
// request is a mere hint (under qemu-user), a page that cannot be had shows
// only when touched.
bool brings_in(io::FileWindows& windows, std::uint64_t offset, std::size_t length);

// Makes every `op` on the file `name` (or its temporary file) meet `fault`
// while it lives.
class ScopedFault {
 public:
  ScopedFault(io::Op op, const std::string& name, io::Fault fault);

 private:
  FaultHookGuard hook_;
};

}  // namespace rempar::testing
