#include "support/known_checksums.h"

#include <cstring>
#include <numeric>

namespace rempar::testing {
namespace {

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes counting(std::size_t n) {
  Bytes bytes(n);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
  return bytes;
}

}  // namespace

const std::vector<KnownChecksum>& known_checksums() {
  static const std::vector<KnownChecksum> known = [] {
    std::vector<KnownChecksum> k = {
        {"empty", {}, 0x00000000u},
        {"abc", text("abc"), 0xCADBBEC2u},
        {"digits", text("123456789"), 0x206AF85Bu},
        {"one zero byte", Bytes{0x00}, 0x2D02EF8Du},
        {"letter a", text("a"), 0x17B7BE43u},
        {"0x00..0x0F", counting(16), 0x338FC1F8u},
        {"0x00..0x10", counting(17), 0x83E00A06u},
    };
    for (std::size_t n :
         {1u, 2u, 4u, 15u, 16u, 127u, 128u, 255u, 256u, 257u, 1000u, 16384u, 100000u, 1u << 20}) {
      k.push_back({"0xFF bytes", Bytes(n, 0xFF), 0x00000000u});
    }
    return k;
  }();
  return known;
}

}  // namespace rempar::testing
