#include "ops/pending_output.h"

#include <utility>

#include "common/messages.h"

namespace rempar {

std::optional<PendingOutput> PendingOutput::create(const std::string& name, std::ostream& out) {
  auto file = io::File::open(name, io::File::Mode::create_rw);
  if (!file) {
    out << msg::open_failed(msg::OUTPUT_FILE, name);
    return std::nullopt;
  }
  const auto info = file->info();
  PendingOutput output(std::move(*file));
  output.name_ = name;
  output.removable_ = !info || info->regular;
  return output;
}

PendingOutput::PendingOutput(PendingOutput&& other) noexcept
    : file_(std::move(other.file_)),
      name_(std::move(other.name_)),
      committed_(std::exchange(other.committed_, true)),
      removable_(other.removable_) {}

PendingOutput::~PendingOutput() { discard(); }

void PendingOutput::discard() {
  if (committed_ || !file_) return;
  committed_ = true;  // nothing left to remove afterwards
  file_->close();
  if (removable_) io::remove_path(name_);
}

bool PendingOutput::commit(std::ostream& out) {
  if (file_->sync() && file_->close()) {
    committed_ = true;
    return true;
  }
  out << msg::write_failed(msg::OUTPUT_FILE, name_, file_->last_error());
  discard();
  return false;
}

}  // namespace rempar
