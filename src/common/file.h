#pragma once
// A thin owner of one open file descriptor. Every call reports failure, keeps
// the errno that explained it, and passes through one fault hook so that tests
// can make any single operation fail.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace rempar::io {

// `map` is the mapping of a window of a file and the bringing in of its
// pages (common/file_window.h): an injected error makes it fail as a medium
// error would; a short read makes the window lose its second half, as a
// truncation by someone else would.
enum class Op { open, read, write, seek, sync, close, stat, rename, chmod, device_size, map };

// What an injected fault does to the operation it hits.
struct Fault {
  int error = 0;            // fail with this errno (0: no fault)
  bool short_read = false;  // a read delivers half of what it would have
  bool skip_sync = false;   // a sync succeeds at once (tests that do not need durability)
};

using FaultHook = std::function<Fault(Op op, const std::string& name)>;

// Installs a hook consulted before every operation; an empty hook removes it.
void set_fault_hook(FaultHook hook);

// What the hook, if any, says of `op` on `name`.
Fault injected(Op op, const std::string& name);

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

enum class Kind { regular, directory, block_device, other };  // other: pipes, sockets, ...

struct PathInfo {
  // A block device's own size, where the system tells it (stat says 0).
  std::int64_t size = 0;
  bool regular = false;
  Kind kind = Kind::other;
  // False for a block device whose size the system cannot tell.
  bool size_known = true;
  // A block device is known by its device number, whichever node names it.
  FileIdentity identity;
  mode_t permissions = 0;  // the permission bits, with set-id and sticky bits
  uid_t owner = 0;
  gid_t group = 0;
};

// Facts about a name, or nothing (errno in *error) when the name cannot be
// reached. Follows links, as opening does.
std::optional<PathInfo> stat_path(const std::string& name, int* error = nullptr);

// Facts about the open descriptor `fd` (say standard output), or nothing.
std::optional<PathInfo> descriptor_info(int fd);

// The name a chain of symbolic links at `name` ends in (relative link targets
// taken from the link's own folder); `name` itself when it is no link, or when
// the chain cannot be read.
std::string resolve_links(const std::string& name);

// Removes a name; false (with errno kept in *error) when that fails.
bool remove_path(const std::string& name, int* error = nullptr);

// Puts `from` in place of `to` in one step; false (errno in *error) on failure.
bool rename_path(const std::string& from, const std::string& to, int* error = nullptr);

class File {
 public:
  enum class Mode {
    read,              // existing file, read only
    create_rw,         // created or truncated, readable and writable
    update_rw,         // existing file, readable and writable, never truncated
    update_exclusive,  // the same for a block device nobody else holds exclusively
    read_direct,       // read only, past the cache (sector-aligned reads only)
    create_new,        // a file that must not exist yet, readable and writable
    directory,         // a folder, opened only to sync its entries
    write_only,        // an existing pipe or device, written as it is (a pipe waits for a reader)
  };

  // Opens `name`; on failure returns nothing and stores errno in *error.
  static std::optional<File> open(const std::string& name, Mode mode, int* error = nullptr);
  // A second descriptor for the open file `fd` (say standard output), known
  // by `name`; on failure returns nothing and stores errno in *error.
  static std::optional<File> duplicate(int fd, const std::string& name, int* error = nullptr);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  const std::string& name() const { return name_; }
  int last_error() const { return error_; }

  // Reads until `buffer` is full or the file ends. Returns the number of
  // bytes read, or nothing after a read error.
  std::optional<std::size_t> read(std::span<std::uint8_t> buffer);
  // The same at an absolute offset, leaving the file position alone.
  std::optional<std::size_t> read_at(std::span<std::uint8_t> buffer, std::int64_t offset);
  bool write(std::span<const std::uint8_t> data);
  bool write_at(std::span<const std::uint8_t> data, std::int64_t offset);
  bool seek(std::int64_t offset);
  bool sync();
  // Closes now and reports the outcome; the destructor closes silently.
  bool close();

  // Facts about the open file; for a block device, its size from the device.
  std::optional<PathInfo> info();
  // Gives the file the permission bits of `model`, and its owner where this
  // process may (a failed change of owner is not an error).
  bool copy_attributes(const PathInfo& model);
  // Tells the kernel the file will be read front to back.
  void advise_sequential();
  // Tells the kernel to read no more than asked: read-ahead into a region
  // of bad sectors only adds failed reads, each of which can take seconds.
  void advise_random();
  // Tells the kernel the bytes in [offset, offset + length) will not be read
  // again, so their pages may leave the cache.
  void drop_cached(std::int64_t offset, std::int64_t length);
  // Makes the reads that follow bypass the page cache and reach the medium;
  // they then need page-aligned buffers, offsets and lengths. False, with the
  // error kept, where the file system or the device does not allow it.
  // `false` returns to reads through the cache.
  bool bypass_cache(bool bypass = true);

 private:
  friend class FileWindows;  // maps the descriptor
  File(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  bool fail(int error);

  int fd_ = -1;
  std::string name_;
  int error_ = 0;
};

// Text of an errno value, for messages.
std::string error_text(int error);

}  // namespace rempar::io
