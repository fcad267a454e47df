#include "ops/create_checksum.h"

#include "common/messages.h"
#include "ops/block_walk.h"
#include "ops/opened_input.h"
#include "ops/pending_output.h"

namespace rempar {

bool write_checksums(io::File& input, ContainerWriter& output, std::int32_t block_size,
                     std::int32_t file_size, std::ostream& out) {
  output.write_header(ContainerKind::CDT);
  output.write_u32(static_cast<std::uint32_t>(file_size));
  output.write_u32(static_cast<std::uint32_t>(block_size));
  const BlockGeometry geometry{static_cast<std::uint64_t>(file_size),
                               static_cast<std::uint64_t>(block_size)};
  const WalkStatus walked = walk_blocks(
      input, geometry, out, [&](const Block& block) { return output.write_u32(block.crc); });
  if (walked != WalkStatus::completed && walked != WalkStatus::stopped) {
    report_walk_failure(walked, input, msg::INPUT_FILE, out);
    return false;
  }
  if (walked == WalkStatus::completed) {
    out << msg::CREATING_SEAL;
    if (write_internal_checksum(
            output, CHECKSUMS_OFFSET + 4 * static_cast<std::int64_t>(geometry.count()))) {
      return true;
    }
  }
  out << '\r'
      << msg::write_failed(msg::OUTPUT_FILE, output.file().name(), output.file().last_error());
  return false;
}

Outcome run_create_checksum(const std::string& file, const std::string& cdt_name,
                            std::int32_t block_size, std::ostream& out) {
  out << msg::PROCESSING;
  auto input = open_input(file, msg::INPUT_FILE, io::File::Mode::read, out);
  if (!input || !fits_format(*input, msg::INPUT_FILE, out) ||
      !is_distinct_output(cdt_name, msg::OUTPUT_FILE, *input, msg::INPUT_FILE, out)) {
    return Outcome::failed;
  }
  const BlockGeometry geometry{static_cast<std::uint64_t>(input->size),
                               static_cast<std::uint64_t>(block_size)};
  const std::uint64_t cdt_size = MIN_CONTAINER_SIZE + 4 * geometry.count();
  if (cdt_size > MAX_FORMAT_SIZE) {
    out << msg::checksum_file_too_large(cdt_size, block_size);
    return Outcome::failed;
  }
  auto output = PendingOutput::create(cdt_name, out);
  if (!output) return Outcome::failed;
  if (input->size % block_size == 0) out << msg::multiple_warning(block_size);
  ContainerWriter writer(output->file());
  if (!write_checksums(input->file, writer, block_size, static_cast<std::int32_t>(input->size),
                       out)) {
    return Outcome::failed;
  }
  input->file.close();
  if (!output->commit(out)) return Outcome::failed;
  out << msg::COMPLETED;
  return Outcome::succeeded;
}

}  // namespace rempar
