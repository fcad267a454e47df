#include "common/messages.h"

#include "common/file.h"

namespace rempar::msg {
namespace {

std::string quoted(std::string_view role, std::string_view name) {
  std::string text(role);
  text += " '";
  text += name;
  text += "'";
  return text;
}

}  // namespace

std::string open_failed(std::string_view role, std::string_view name) {
  return "Error opening " + quoted(role, name) + "\n";
}

std::string read_failed(std::string_view role, std::string_view name, int error) {
  return "Error reading " + quoted(role, name) + ": " + io::error_text(error) + "\n";
}

std::string read_short(std::string_view role, std::string_view name) {
  return "Error reading " + quoted(role, name) +
         ": it ended before its size (did it change during the run?)\n";
}

std::string read_error(std::string_view role, const io::File& file, io::ReadStatus status) {
  return status == io::ReadStatus::failed ? read_failed(role, file.name(), file.last_error())
                                          : read_short(role, file.name());
}

std::string write_failed(std::string_view role, std::string_view name, int error) {
  return "Error writing " + quoted(role, name) + ": " + io::error_text(error) + "\n";
}

std::string same_file(std::string_view output_role, std::string_view output,
                      std::string_view input_role, std::string_view input) {
  return "Error - " + quoted(output_role, output) + " is the " + quoted(input_role, input) +
         "; writing it would destroy it\n";
}

std::string not_enough_memory(std::string_view what) {
  return "Error - not enough memory for " + std::string(what) + "\n";
}

std::string output_is_device(std::string_view name) {
  return "Error - " + quoted(OUTPUT_FILE, name) +
         " is a block device; a checksum or patch file is never written over a device\n";
}

std::string cannot_replace_safely(std::string_view name, int error) {
  return "Error - cannot replace " + quoted(OUTPUT_FILE, name) +
         " safely: no temporary file can be made in its folder (" + io::error_text(error) +
         "); it was left as it was\n";
}

std::string container_invalid(std::string_view kind) {
  return "Error - ." + std::string(kind) + " invalid\n";
}

std::string container_bad_crc(std::string_view kind) {
  return "Error - bad CRC for ." + std::string(kind) + " file (probably damaged?)\n";
}

std::string container_no_memory(std::string_view kind) {
  return "Error - not enough memory to load ." + std::string(kind) + " file :(\n";
}

std::string version_mismatch(std::uint8_t major, std::uint8_t minor, std::uint8_t needed_major,
                             std::uint8_t needed_minor) {
  std::string text = "Error - file is v";
  text += static_cast<char>(major);
  text += '.';
  text += major == 0 ? '\0' : static_cast<char>(minor);
  text += ", program needs v";
  text += static_cast<char>(needed_major);
  text += '.';
  text += static_cast<char>(needed_minor);
  text += '\n';
  return text;
}

std::string multiple_warning(std::int32_t block_size) {
  return "Warning: filesize is multiple of blocksize, older windows version of Rempar\n"
         "can't handle such files. You can use '-b' to change blocksize (which is now " +
         std::to_string(block_size) + ")\n";
}

std::string verified_size_mismatch(std::int64_t verified_size, std::uint64_t recorded) {
  return "Error - verified file size is " + std::to_string(verified_size) + " instead of " +
         std::to_string(recorded) + "\n";
}

std::string checksum_count_mismatch(std::int64_t actual_size, std::uint64_t expected_size) {
  return "Error - .CDT has " + std::to_string(actual_size) +
         " bytes where its file size and block size need " + std::to_string(expected_size) + "\n";
}

std::string checksum_file_too_large(std::uint64_t size, std::int32_t block_size) {
  return "Error - with block size " + std::to_string(block_size) +
         " the checksum file would have " + std::to_string(size) +
         " bytes, beyond the format's 2147483647; use a larger '-b'\n";
}

std::string corruption_found(std::uint64_t offset) {
  return "Corruption found at " + std::to_string(offset) + "\n";
}

std::string unreadable_run(std::uint64_t offset, std::uint64_t bytes) {
  return "Unreadable at " + std::to_string(offset) + " (" + std::to_string(bytes) +
         " bytes), marked for repair\n";
}

std::string verified_read_failed(std::string_view name, std::uint64_t offset, int error) {
  return "Error reading " + quoted(VERIFIED_FILE, name) + " at offset " + std::to_string(offset) +
         ": " + io::error_text(error) + "\n";
}

std::string target_size_mismatch(std::int64_t target_size, std::uint64_t recorded) {
  return "Error - patch target file size is " + std::to_string(target_size) + " instead of " +
         std::to_string(recorded) + "\n";
}

std::string record_out_of_range(std::uint64_t offset, std::uint32_t length,
                                std::uint64_t file_size) {
  return "Error - .CDP record at " + std::to_string(offset) + " of " + std::to_string(length) +
         " bytes runs past the end of the " + std::to_string(file_size) + "-byte file\n";
}

std::string target_write_failed(std::string_view name, int error) {
  return "Error writing " + quoted(TARGET_FILE, name) + ": " + io::error_text(error) +
         "; applying the same patch again is safe\n";
}

std::string binding_file_refused(std::string_view cdt_name) {
  return "Error - the checksum file '" + std::string(cdt_name) +
         "' beside the patch is refused (see above); the target is untouched\n";
}

std::string binding_size_mismatch(std::string_view cdt_name, std::int64_t target_size,
                                  std::uint64_t recorded) {
  return "Error - the checksum file '" + std::string(cdt_name) + "' records a file of " +
         std::to_string(recorded) + " bytes, the target has " + std::to_string(target_size) +
         ": the patch is for another file\n";
}

std::string record_not_a_block(std::string_view cdt_name, std::uint64_t offset,
                               std::uint32_t length, std::uint32_t block_size) {
  return "Error - .CDP record at " + std::to_string(offset) + " of " + std::to_string(length) +
         " bytes is not one block of the checksum file '" + std::string(cdt_name) +
         "' (blocks of " + std::to_string(block_size) +
         " bytes): the patch is for another file, or that file was made again\n";
}

std::string target_differs(std::string_view cdt_name, std::uint64_t offset) {
  return "Error - the target differs from its checksum file '" + std::string(cdt_name) +
         "' at offset " + std::to_string(offset) +
         ": it changed after that file was made, or the patch is for another file\n";
}

std::string target_not_holding(std::uint64_t offset) {
  return "Error - the target does not hold what was written at offset " + std::to_string(offset) +
         "\n";
}

}  // namespace rempar::msg

namespace rempar::msg {

std::string record_write_failed(std::string_view name, std::uint64_t offset, int error) {
  return "Error writing " + quoted(TARGET_FILE, name) + " at offset " + std::to_string(offset) +
         ": " + io::error_text(error) + "\n";
}

std::string records_not_written(std::uint64_t failed, std::uint64_t total) {
  return "Error - " + std::to_string(failed) + " of " + std::to_string(total) +
         " records could not be written; the target is partly repaired, and applying the same "
         "patch again is safe\n";
}

std::string device_in_use(std::string_view role, std::string_view name) {
  return "Error opening " + quoted(role, name) + ": the device is in use (mounted?)\n";
}

}  // namespace rempar::msg
