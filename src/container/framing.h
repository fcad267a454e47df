#pragma once
// What the checksum file and the patch file have in common: an 8-byte magic,
// the 2-byte format version, little-endian integers, and a last 4-byte field
// holding the block checksum of every byte before it (the seal). The fields
// between header and seal differ by version: layout.h.

#include <array>
#include <cstdint>
#include <string_view>

namespace rempar {

inline constexpr std::string_view CHECKSUM_MAGIC = "KaLWCRCC";
inline constexpr std::string_view PATCH_MAGIC = "KaLWCRCP";
inline constexpr std::int64_t MAGIC_SIZE = 8;
inline constexpr std::int64_t HEADER_SIZE = 10;
inline constexpr std::int64_t SEAL_SIZE = 4;
// The smallest container of either kind and version: header, two 4-byte
// fields, seal. Anything shorter is turned away before a byte is read.
inline constexpr std::int64_t MIN_CONTAINER_SIZE = 22;

enum class ContainerKind { CDT, CDP };

// What a check expects at the head of a container.
struct ContainerSignature {
  std::array<char, 9> magic{};            // the 8 characters, then a zero
  std::array<std::uint8_t, 3> version{};  // the 2 version bytes; the third is unused
};

// The kind's magic and the original version bytes, which the version
// message names; the check accepts every version it knows.
ContainerSignature make_signature(ContainerKind kind);

// The magic and the given version bytes that open a container of `kind`.
std::array<std::uint8_t, HEADER_SIZE> container_header(ContainerKind kind,
                                                       std::array<std::uint8_t, 2> version);

}  // namespace rempar
