#include "container/check_container.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "checksum/block_crc.h"
#include "common/aligned_buffer.h"
#include "common/le.h"
#include "common/messages.h"

namespace rempar {
namespace {

constexpr std::size_t CHECK_CHUNK = 1 << 20;

std::string_view kind_name(ContainerKind kind) {
  return kind == ContainerKind::CDT ? "CDT" : "CDP";
}

std::string_view role_of(ContainerKind kind) {
  return kind == ContainerKind::CDT ? msg::CDT_FILE : msg::CDP_FILE;
}

// The magic, the version and the size limit of that version; the layout
// of the version found, or nothing after one message.
const ContainerLayout* check_header(const std::uint8_t* header, std::int64_t size,
                                    ContainerKind kind, const ContainerSignature& expected,
                                    std::ostream& out) {
  if (std::memcmp(header, expected.magic.data(), MAGIC_SIZE) != 0) {
    out << msg::container_invalid(kind_name(kind));
    return nullptr;
  }
  const ContainerLayout* found = layout_for_version(header[8], header[9]);
  if (found == nullptr) {
    out << msg::version_mismatch(header[8], header[9], expected.version[0], expected.version[1]);
    return nullptr;
  }
  // A 2.0 container of 2 GiB or more is none of ours.
  if (size > found->max_container_size) {
    out << msg::container_invalid(kind_name(kind));
    return nullptr;
  }
  return found;
}

}  // namespace

int check_container(io::File& stream, std::int64_t size, ContainerKind kind,
                    ContainerSignature expected, std::ostream& out, const ContainerVisitor& visitor,
                    const ContainerLayout** layout) {
  if (size < MIN_CONTAINER_SIZE) {
    out << msg::container_invalid(kind_name(kind));
    return 1;
  }
  auto chunk =
      AlignedBuffer::allocate(static_cast<std::size_t>(std::min<std::int64_t>(size, CHECK_CHUNK)));
  if (!chunk) {
    out << msg::container_no_memory(kind_name(kind));
    return 1;
  }
  if (!stream.seek(0)) {
    out << msg::read_failed(role_of(kind), stream.name(), stream.last_error());
    return 1;
  }
  // The header and the seal come from the same sequential pass as the body.
  RunningCrc crc;
  const std::int64_t covered = size - SEAL_SIZE;
  std::array<std::uint8_t, SEAL_SIZE> seal{};
  std::int64_t offset = 0;
  while (offset < size) {
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(size - offset, CHECK_CHUNK));
    const auto got = stream.read(std::span(chunk->data(), want));
    if (!got) {
      out << msg::read_failed(role_of(kind), stream.name(), stream.last_error());
      return 1;
    }
    if (offset == 0 && *got >= static_cast<std::size_t>(HEADER_SIZE)) {
      const ContainerLayout* found = check_header(chunk->data(), size, kind, expected, out);
      if (found == nullptr) return 1;
      if (layout != nullptr) *layout = found;
    }
    if (*got < want) {
      out << msg::container_bad_crc(kind_name(kind));  // the file shrank after its size was taken
      return 1;
    }
    const std::int64_t body_end =
        std::min<std::int64_t>(covered - offset, static_cast<std::int64_t>(want));
    if (body_end > 0) {
      const auto body =
          std::span<const std::uint8_t>(chunk->data(), static_cast<std::size_t>(body_end));
      crc.update(body);
      if (visitor) visitor(body, offset);
    }
    // The seal may straddle two chunks.
    const std::int64_t end = offset + static_cast<std::int64_t>(want);
    for (std::int64_t at = std::max(offset, covered); at < end; ++at) {
      seal[static_cast<std::size_t>(at - covered)] =
          (*chunk)[static_cast<std::size_t>(at - offset)];
    }
    offset += static_cast<std::int64_t>(want);
  }
  if (crc.value() != decode_le32(seal.data())) {
    out << msg::container_bad_crc(kind_name(kind));
    return 1;
  }
  return 0;
}

}  // namespace rempar
