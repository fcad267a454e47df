#include "ops/create_checksum.h"

#include "common/messages.h"
#include "container/cdt.h"
#include "ops/block_walk.h"
#include "ops/opened_input.h"
#include "ops/pending_output.h"

namespace rempar {

bool write_checksums(io::File& input, ContainerWriter& output, const ContainerLayout& layout,
                     std::int32_t block_size, std::int64_t file_size, std::ostream& out) {
  const BlockGeometry geometry{static_cast<std::uint64_t>(file_size),
                               static_cast<std::uint64_t>(block_size)};
  write_cdt_head(output, layout, geometry.file_size, static_cast<std::uint32_t>(block_size));
  ProgressLine line(out);
  // An unreadable block gets a checksum that nothing but its good copy
  // matches by more than chance, so the patch will carry that copy.
  UnreadableRuns runs;
  const WalkStatus walked = walk_blocks(
      input, geometry, line,
      [&](const Block& block) {
        if (const auto run = runs.see(block.offset, block.length, block.unreadable)) {
          line.print(*run);
        }
        write_stored_checksum(output, block.crc);
        return output.healthy();
      },
      ReadErrors::mark_unreadable);
  if (walked != WalkStatus::completed && walked != WalkStatus::stopped) {
    report_walk_failure(walked, input, msg::INPUT_FILE, line);
    return false;
  }
  if (walked == WalkStatus::completed) {
    if (const auto run = runs.finish()) line.print(*run);
    line.print(msg::CREATING_SEAL);
    if (seal_cdt(output, layout, geometry.count())) return true;
  }
  line.print(msg::write_failed(msg::OUTPUT_FILE, output.file().name(), output.file().last_error()));
  return false;
}

Outcome run_create_checksum(const std::string& file, const std::string& cdt_name,
                            std::int32_t block_size, std::ostream& out) {
  out << msg::PROCESSING;
  auto input = open_input(file, msg::INPUT_FILE, io::File::Mode::read, out, Devices::allowed);
  if (!input || !is_distinct_output(cdt_name, msg::OUTPUT_FILE, *input, msg::INPUT_FILE, out)) {
    return Outcome::failed;
  }
  const ContainerLayout& layout = layout_for_file_size(input->size);
  const BlockGeometry geometry{static_cast<std::uint64_t>(input->size),
                               static_cast<std::uint64_t>(block_size)};
  // Below 2 GiB the file gets the original format, whose checksum file must
  // itself stay below 2 GiB; a tiny block size can break that.
  const std::uint64_t cdt_size = layout.checksum_file_size(geometry.count());
  if (cdt_size > static_cast<std::uint64_t>(layout.max_container_size)) {
    out << msg::checksum_file_too_large(cdt_size, block_size);
    return Outcome::failed;
  }
  auto output = PendingOutput::create(cdt_name, out);
  if (!output) return Outcome::failed;
  if (input->size % block_size == 0) out << msg::multiple_warning(block_size);
  ContainerWriter writer(output->file());
  if (!write_checksums(input->file, writer, layout, block_size, input->size, out)) {
    return Outcome::failed;
  }
  input->file.close();
  if (!output->commit(out)) return Outcome::failed;
  out << msg::COMPLETED;
  return Outcome::succeeded;
}

}  // namespace rempar
