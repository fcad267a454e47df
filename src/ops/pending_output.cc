#include "ops/pending_output.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/interrupt_cleanup.h"
#include "common/messages.h"

namespace rempar {
namespace {

constexpr std::string_view TEMPORARY_MARK = ".rempar-tmp-";
// Leftovers of crashed runs that had the same process id are skipped, never
// removed: they may be someone else's.
constexpr int TEMPORARY_NAME_ATTEMPTS = 10;

std::string temporary_name(const std::string& target, int attempt) {
  std::string name = target;
  name.append(TEMPORARY_MARK).append(std::to_string(::getpid()));
  if (attempt > 0) name.append("-").append(std::to_string(attempt));
  return name;
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

std::optional<PendingOutput> PendingOutput::create(const std::string& name, std::ostream& out) {
  const std::string target = io::resolve_links(name);
  int stat_error = 0;
  const auto existing = io::stat_path(target, &stat_error);
  // A container is never written over a disk or a partition.
  if (existing && existing->kind == io::Kind::block_device) {
    out << msg::output_is_device(name);
    return std::nullopt;
  }
  // Pipes and character devices (say /dev/null) are written as they are.
  if (existing && !existing->regular) return open_direct(name, out);
  // A name that cannot be looked at is written as it always was.
  if (!existing && stat_error != ENOENT) return open_in_place(name, out);
  // A file this run may not write must not be replaced either.
  if (existing && !io::File::open(target, io::File::Mode::update_rw)) {
    out << msg::open_failed(msg::OUTPUT_FILE, name);
    return std::nullopt;
  }
  return open_beside(name, target, existing, out);
}

std::optional<PendingOutput> PendingOutput::open_direct(const std::string& name,
                                                        std::ostream& out) {
  auto file = io::File::open(name, io::File::Mode::create_rw);
  if (!file) {
    out << msg::open_failed(msg::OUTPUT_FILE, name);
    return std::nullopt;
  }
  return PendingOutput(std::move(*file), name, name, Way::direct);
}

std::optional<PendingOutput> PendingOutput::open_in_place(const std::string& name,
                                                          std::ostream& out) {
  const io::SignalsHeld held;
  auto file = io::File::open(name, io::File::Mode::create_rw);
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
  for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
    const std::string temporary = temporary_name(target, attempt);
    int error = 0;
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
    // An unwritable folder, a name too long for a suffix, ...
    if (error != EEXIST) break;
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
