#pragma once
// What the checksum file and the patch file have in common: an 8-byte magic,
// the 2-byte format version, 32-bit little-endian integers, and a last 4-byte
// field holding the block checksum of every byte before it (the seal).

#include <array>
#include <cstdint>
#include <string_view>

namespace rempar {

inline constexpr std::string_view CHECKSUM_MAGIC = "KaLWCRCC";
inline constexpr std::string_view PATCH_MAGIC = "KaLWCRCP";
inline constexpr std::array<std::uint8_t, 2> FORMAT_VERSION = {0x02, 0x00};
inline constexpr std::int64_t MAGIC_SIZE = 8;
inline constexpr std::int64_t HEADER_SIZE = 10;
inline constexpr std::int64_t SEAL_SIZE = 4;
inline constexpr std::int64_t MIN_CONTAINER_SIZE = 22;
// Sizes are signed 32-bit fields: files and containers stay below 2 GiB.
inline constexpr std::int64_t MAX_FORMAT_SIZE = 0x7FFFFFFF;

enum class ContainerKind { CDT, CDP };

// What a check expects at the head of a container.
struct ContainerSignature {
  std::array<char, 9> magic{};            // the 8 characters, then a zero
  std::array<std::uint8_t, 3> version{};  // the 2 version bytes; the third is unused
};

ContainerSignature make_signature(ContainerKind kind);

// The magic and version bytes that open a container of `kind`.
std::array<std::uint8_t, HEADER_SIZE> container_header(ContainerKind kind);

}  // namespace rempar
