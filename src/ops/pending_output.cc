#include "ops/pending_output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "common/interrupt_cleanup.h"
#include "common/messages.h"

namespace rempar {
namespace {

constexpr std::string_view TEMPORARY_MARK = ".rempar-tmp-";
// Leftovers of crashed runs that had the same process id are skipped, never
// removed: they may be someone else's.
constexpr int TEMPORARY_NAME_ATTEMPTS = 10;

// The temporary file's name: the target's with a mark and the process id
// appended, the target's own part shortened where that is needed for the
// whole to fit a name component (NAME_MAX bytes) and a path (PATH_MAX - 1).
std::string temporary_name(const std::string& target, int attempt) {
  std::string suffix(TEMPORARY_MARK);
  suffix.append(std::to_string(::getpid()));
  if (attempt > 0) suffix.append("-").append(std::to_string(attempt));
  const auto slash = target.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t path_room = PATH_MAX - 1 > base ? PATH_MAX - 1 - base : 0;
  const std::size_t room = std::min<std::size_t>(NAME_MAX, path_room);
  std::size_t keep = target.size() - base;
  if (keep + suffix.size() > room) {
    keep = room > suffix.size() ? room - suffix.size() : 0;
    // Cut between characters, so that a name in UTF-8 stays UTF-8.
    while (keep > 0 && (static_cast<unsigned char>(target[base + keep]) & 0xC0) == 0x80) --keep;
  }
  return target.substr(0, base + keep) + suffix;
}

bool same_file_as_standard_output(const io::PathInfo& info) {
  const auto out = io::descriptor_info(STDOUT_FILENO);
  return out && out->identity == info.identity;
}

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename is durable only once the folder's entries are.
bool sync_folder(const std::string& path, int& error) {
  auto folder = io::File::open(folder_of(path), io::File::Mode::directory, &error);
  if (!folder) return false;
  if (folder->sync() && folder->close()) return true;
  error = folder->last_error();
  return false;
}

}  // namespace

PendingOutput::PendingOutput(io::File file, std::string name, std::string written, Way way)
    : file_(std::move(file)), name_(std::move(name)), written_(std::move(written)), way_(way) {}

bool is_standard_output(const std::string& name) {
  const auto named = io::stat_path(name);
  return named && same_file_as_standard_output(*named);
}

std::optional<PendingOutput> PendingOutput::create(const std::string& name, std::ostream& out) {
  // A name that can never be a file fails now, before any input is read.
  if (name.empty() || name.back() == '/') {
    out << msg::open_failed(msg::OUTPUT_FILE, name);
    return std::nullopt;
  }
  // The system follows the name, links under /proc/self/fd included, to what
  // it stands for; only a regular file or nothing has a name to replace.
  int stat_error = 0;
  const auto existing = io::stat_path(name, &stat_error);
  // A container is never written over a disk or a partition.
  if (existing && existing->kind == io::Kind::block_device) {
    out << msg::output_is_device(name);
    return std::nullopt;
  }
  // Pipes, terminals and other character devices (say /dev/null) are written as they are.
  if (existing && !existing->regular) return open_direct(name, *existing, out);
  // A name that cannot be looked at is written only where nothing stands.
  if (!existing && stat_error != ENOENT) return open_in_place(name, out);
  const std::string target = io::resolve_links(name);
  // A file this run may not write must not be replaced either.
  if (existing && !io::File::open(target, io::File::Mode::update_rw)) {
    out << msg::open_failed(msg::OUTPUT_FILE, name);
    return std::nullopt;
  }
  return open_beside(name, target, existing, out);
}

std::optional<PendingOutput> PendingOutput::open_direct(const std::string& name,
                                                        const io::PathInfo& info,
                                                        std::ostream& out) {
  // A reader that goes away ends the run with an error, not with a signal.
  io::report_broken_pipes();
  // The process's own standard output is written through its descriptor,
  // which also serves a socket that no name opens.
  auto file = same_file_as_standard_output(info) ? io::File::duplicate(STDOUT_FILENO, name)
                                                 : io::File::open(name, io::File::Mode::write_only);
  if (!file) {
    out << msg::open_failed(msg::OUTPUT_FILE, name);
    return std::nullopt;
  }
  return PendingOutput(std::move(*file), name, name, Way::direct);
}

// Nothing stood at the name, so nothing is lost when a failed run removes it.
std::optional<PendingOutput> PendingOutput::open_in_place(const std::string& name,
                                                          std::ostream& out) {
  const io::SignalsHeld held;
  auto file = io::File::open(name, io::File::Mode::create_new);
  if (!file) {
    out << msg::open_failed(msg::OUTPUT_FILE, name);
    return std::nullopt;
  }
  io::remove_on_interrupt(name);
  return PendingOutput(std::move(*file), name, name, Way::in_place);
}

std::optional<PendingOutput> PendingOutput::open_beside(const std::string& name,
                                                        const std::string& target,
                                                        const std::optional<io::PathInfo>& existing,
                                                        std::ostream& out) {
  int error = 0;
  for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
    const std::string temporary = temporary_name(target, attempt);
    std::optional<PendingOutput> output;
    {
      const io::SignalsHeld held;
      auto file = io::File::open(temporary, io::File::Mode::create_new, &error);
      if (file) {
        io::remove_on_interrupt(temporary);
        output.emplace(PendingOutput(std::move(*file), name, temporary, Way::replace));
      }
    }
    if (output) {
      output->target_ = target;
      if (existing && !output->file().copy_attributes(*existing)) {
        output->fail(output->file().last_error(), out);
        return std::nullopt;
      }
      return output;
    }
    // An unwritable folder, a path too long for any suffix, ...
    if (error != EEXIST) break;
  }
  // Writing over the older file itself would destroy it before the new one
  // is complete.
  if (existing) {
    out << msg::cannot_replace_safely(name, error);
    return std::nullopt;
  }
  return open_in_place(name, out);
}

PendingOutput::PendingOutput(PendingOutput&& other) noexcept
    : file_(std::move(other.file_)),
      name_(std::move(other.name_)),
      target_(std::move(other.target_)),
      written_(std::move(other.written_)),
      way_(other.way_),
      finished_(std::exchange(other.finished_, true)) {}

PendingOutput::~PendingOutput() { discard(); }

void PendingOutput::discard() {
  if (finished_ || !file_) return;
  finished_ = true;
  file_->close();
  if (way_ == Way::direct) return;
  const io::SignalsHeld held;
  io::remove_path(written_);
  io::forget_on_interrupt();
}

void PendingOutput::discard_and_clear_name() {
  discard();
  // Only a regular file or no file at all stood at the name of such an output.
  if (way_ != Way::direct) io::remove_path(name_);
}

bool PendingOutput::fail(int error, std::ostream& out) {
  out << msg::write_failed(msg::OUTPUT_FILE, name_, error);
  discard();
  return false;
}

bool PendingOutput::commit(std::ostream& out) {
  if (way_ == Way::direct) {
    finished_ = true;
    if (file_->close()) return true;
    out << msg::write_failed(msg::OUTPUT_FILE, name_, file_->last_error());
    return false;
  }
  if (!file_->sync() || !file_->close()) return fail(file_->last_error(), out);
  if (way_ == Way::in_place) {
    finished_ = true;
    io::forget_on_interrupt();
    return true;
  }
  return put_in_place(out);
}

// Renames the complete container over its name. Should the folder then fail
// to sync, the new container stands complete at its name, but the run says
// that it may not have reached the disk.
bool PendingOutput::put_in_place(std::ostream& out) {
  int error = 0;
  {
    const io::SignalsHeld held;
    if (!io::rename_path(written_, target_, &error)) return fail(error, out);
    finished_ = true;
    io::forget_on_interrupt();
  }
  if (sync_folder(target_, error)) return true;
  out << msg::write_failed(msg::OUTPUT_FILE, name_, error);
  return false;
}

}  // namespace rempar
