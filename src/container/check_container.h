#pragma once
// The check every container passes before any of its body is used: size,
// magic, format version, then its seal over every byte before the seal.

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>

#include "common/file.h"
#include "container/framing.h"
#include "container/layout.h"

namespace rempar {

// Sees every byte the seal covers, in order, as the check reads them; lets a
// reader examine a container's structure in the same pass.
using ContainerVisitor =
    std::function<void(std::span<const std::uint8_t> chunk, std::int64_t offset)>;

// Returns 0 when the container is accepted (nothing printed), 1 when it is
// rejected, after exactly one message on `out`. `size` is the container's size
// as the file system reports it. The container is read in bounded chunks from
// offset 0, whatever its size. Every version this program knows is accepted;
// `layout`, when given, receives the layout of the one found. The visitor
// sees nothing before the version has been accepted.
int check_container(io::File& stream, std::int64_t size, ContainerKind kind,
                    ContainerSignature expected, std::ostream& out,
                    const ContainerVisitor& visitor = {}, const ContainerLayout** layout = nullptr);

}  // namespace rempar
