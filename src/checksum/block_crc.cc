#include "checksum/block_crc.h"

#include "checksum/crc_kernels.h"
#include "checksum/kernel_choice.h"

namespace rempar {
namespace {

constexpr std::uint32_t FINAL_XOR = 0xFFFFFFFFu;

// Chosen on first use and kept for the life of the process, unless pinned.
crc::Kernel& chosen_kernel() {
  static crc::Kernel chosen = crc::active_kernel().update;
  return chosen;
}

crc::Kernel kernel() { return chosen_kernel(); }

}  // namespace

namespace crc {

Kernel current_kernel() { return chosen_kernel(); }
void set_kernel(Kernel k) { chosen_kernel() = k; }

}  // namespace crc

void block_crc(const std::uint8_t* data, std::int64_t length, std::int32_t& result) {
  const std::uint32_t reg =
      length > 0 ? kernel()(crc::INITIAL_REGISTER, data, static_cast<std::size_t>(length))
                 : crc::INITIAL_REGISTER;
  result = static_cast<std::int32_t>(reg ^ FINAL_XOR);
}

std::uint32_t block_crc(std::span<const std::uint8_t> data) {
  std::int32_t result = 0;
  block_crc(data.data(), static_cast<std::int64_t>(data.size()), result);
  return static_cast<std::uint32_t>(result);
}

void RunningCrc::update(std::span<const std::uint8_t> data) {
  if (!data.empty()) reg_ = kernel()(reg_, data.data(), data.size());
}

std::uint32_t RunningCrc::value() const { return reg_ ^ FINAL_XOR; }

}  // namespace rempar
