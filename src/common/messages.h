#pragma once
// Every text the tool prints, in one place. Scripts and users compare some of
// them byte for byte, so the established ones must not change.

#include <cstdint>
#include <string>
#include <string_view>

#include "common/read_status.h"

namespace rempar::io {
class File;
}  // namespace rempar::io

namespace rempar::msg {

// Command line.
inline constexpr std::string_view USAGE =
    "Possibile options:\nThis help message:\n\trempar -h\nCreating checksum:\n"
    "\trempar [-b bs] [-o CDT] file\nCreating patch:\n\trempar -p [-i CDT] [-o CDP] file\n"
    "Applying patch:\n\trempar -a [-i CDP] file\n";
inline constexpr std::string_view PROGRAM_VERSION = "1.0";
inline constexpr std::string_view VERSION_PREFIX = "REMPAR for *nix v";
inline constexpr std::string_view UNKNOWN_OPTION = "Check '-h' option\n";
inline constexpr std::string_view MISSING_PARAMETER = "Missing parameter. Use '-h' option\n";
inline constexpr std::string_view MISSING_FILE = "Missing file name. Check '-h' option.\n";
inline constexpr std::string_view BAD_BLOCK_SIZE =
    "Block size must be a whole number from 0 to 2147483647. Use '-h' option\n";

// Shared by the operations.
inline constexpr std::string_view PROCESSING = "Processing...\n";
inline constexpr std::string_view CREATING_SEAL = "Creating internal file checksum...\n";

// Roles of files, as messages name them.
inline constexpr std::string_view INPUT_FILE = "input file";
inline constexpr std::string_view OUTPUT_FILE = "output file";
inline constexpr std::string_view CDT_FILE = ".CDT file";
inline constexpr std::string_view CDP_FILE = ".CDP file";
inline constexpr std::string_view VERIFIED_FILE = "verified file";
inline constexpr std::string_view TARGET_FILE = "target file";

// "Error opening <role> '<name>'"
std::string open_failed(std::string_view role, std::string_view name);
// A read that failed or delivered less than the file's size promised.
std::string read_failed(std::string_view role, std::string_view name, int error);
std::string read_short(std::string_view role, std::string_view name);
// Whichever of the two explains `status` (not ok) of a read of `file`.
std::string read_error(std::string_view role, const io::File& file, io::ReadStatus status);
// A write, flush or close that failed.
std::string write_failed(std::string_view role, std::string_view name, int error);
// An output name that is one of the inputs under another spelling.
std::string same_file(std::string_view output_role, std::string_view output,
                      std::string_view input_role, std::string_view input);
std::string not_enough_memory(std::string_view what);
// A block device named as the container to write.
std::string output_is_device(std::string_view name);
// An existing output that cannot be replaced safely, since no temporary file
// can be made beside it (`error` says why); it is left as it was.
std::string cannot_replace_safely(std::string_view name, int error);

// The container check; `kind` is "CDT" or "CDP". These texts are the
// format's own.
std::string container_invalid(std::string_view kind);
std::string container_bad_crc(std::string_view kind);
std::string container_no_memory(std::string_view kind);
// The version bytes are shown raw, as the format always has. A zero first
// byte ends the text there, so the second byte then shows as zero.
std::string version_mismatch(std::uint8_t major, std::uint8_t minor, std::uint8_t needed_major,
                             std::uint8_t needed_minor);

// Checksum creation.
std::string multiple_warning(std::int32_t block_size);
inline constexpr std::string_view COMPLETED = "Completed\n";
// A run of blocks that could not be read; offsets are block starts.
std::string unreadable_run(std::uint64_t offset, std::uint64_t bytes);

// Patch creation.
std::string verified_size_mismatch(std::int64_t verified_size, std::uint64_t recorded);
inline constexpr std::string_view ZERO_BLOCK_SIZE = "Error - .CDT records a block size of 0\n";
std::string checksum_count_mismatch(std::int64_t actual_size, std::uint64_t expected_size);
std::string checksum_file_too_large(std::uint64_t size, std::int32_t block_size);
// A piece of the checksum file read again for its stored checksums that no
// longer matches the piece the check read.
inline constexpr std::string_view CDT_CHANGED =
    "Error - .CDT file changed while the patch was being created\n";
// A block read again to be copied into the patch that no longer matches the
// checksum taken when it was compared.
inline constexpr std::string_view VERIFIED_CHANGED =
    "Error - verified file changed while the patch was being created\n";
inline constexpr std::string_view PATCH_TOO_LARGE =
    "Error - the patch file would pass the format's limit of 2147483647 bytes\n";

std::string corruption_found(std::uint64_t offset);
// The good copy must read whole: the first block that does not ends the run.
std::string verified_read_failed(std::string_view name, std::uint64_t offset, int error);
inline constexpr std::string_view PATCH_GENERATED = "Completed, .CDP file generated\n";
inline constexpr std::string_view NO_CORRUPTION = "Completed, no corruption detected\n";

// Patch application.
std::string target_size_mismatch(std::int64_t target_size, std::uint64_t recorded);
inline constexpr std::string_view FILE_PATCHED = "Completed, file patched\n";
inline constexpr std::string_view BAD_RECORDS =
    "Error - .CDP records are malformed (the file does not fit its format)\n";
std::string record_out_of_range(std::uint64_t offset, std::uint32_t length,
                                std::uint64_t file_size);
std::string target_write_failed(std::string_view name, int error);
// The checksum file beside the patch, which ties the patch to its target.
std::string binding_file_refused(std::string_view cdt_name);
std::string binding_size_mismatch(std::string_view cdt_name, std::int64_t target_size,
                                  std::uint64_t recorded);
std::string record_not_a_block(std::string_view cdt_name, std::uint64_t offset,
                               std::uint32_t length, std::uint32_t block_size);
std::string target_differs(std::string_view cdt_name, std::uint64_t offset);
// A written range that the medium does not give back.
std::string target_not_holding(std::uint64_t offset);
// A piece of the patch file read again to be applied that no longer matches
// the piece the check read.
inline constexpr std::string_view CDP_CHANGED =
    "Error - .CDP file changed while it was being applied\n";
// The checksum file beside the patch, read again for the stored checksums of
// the blocks the records overwrite, no longer matching what its check read.
inline constexpr std::string_view CDT_CHANGED_BINDING =
    "Error - .CDT file changed while the patch was being applied\n";
// One record the target refused; the run goes on with the next.
std::string record_write_failed(std::string_view name, std::uint64_t offset, int error);
std::string records_not_written(std::uint64_t failed, std::uint64_t total);
// A block device held exclusively by someone else (a mounted file system).
std::string device_in_use(std::string_view role, std::string_view name);

}  // namespace rempar::msg
