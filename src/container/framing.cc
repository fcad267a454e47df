#include "container/framing.h"

#include <algorithm>

#include "container/layout.h"

namespace rempar {

ContainerSignature make_signature(ContainerKind kind) {
  const std::string_view magic = kind == ContainerKind::CDT ? CHECKSUM_MAGIC : PATCH_MAGIC;
  ContainerSignature signature;
  std::copy(magic.begin(), magic.end(), signature.magic.begin());
  signature.version[0] = FORMAT_VERSION[0];
  signature.version[1] = FORMAT_VERSION[1];
  return signature;
}

std::array<std::uint8_t, HEADER_SIZE> container_header(ContainerKind kind,
                                                       std::array<std::uint8_t, 2> version) {
  const ContainerSignature signature = make_signature(kind);
  std::array<std::uint8_t, HEADER_SIZE> header{};
  std::copy_n(signature.magic.begin(), MAGIC_SIZE, header.begin());
  header[8] = version[0];
  header[9] = version[1];
  return header;
}

}  // namespace rempar
