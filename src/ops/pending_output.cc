#include "ops/pending_output.h"

#include <utility>

namespace rempar {

std::optional<PendingOutput> PendingOutput::create(const std::string& name, int* error) {
  auto file = io::File::open(name, io::File::Mode::create_rw, error);
  if (!file) return std::nullopt;
  PendingOutput output(std::move(*file));
  output.name_ = name;
  return output;
}

PendingOutput::PendingOutput(PendingOutput&& other) noexcept
    : file_(std::move(other.file_)),
      name_(std::move(other.name_)),
      committed_(std::exchange(other.committed_, true)),
      error_(other.error_) {}

PendingOutput::~PendingOutput() { discard(); }

void PendingOutput::discard() {
  if (committed_ || !file_) return;
  committed_ = true;  // nothing left to remove afterwards
  file_->close();
  io::remove_path(name_);
}

bool PendingOutput::commit() {
  if (file_->sync() && file_->close()) {
    committed_ = true;
    return true;
  }
  error_ = file_->last_error();
  return false;
}

}  // namespace rempar
