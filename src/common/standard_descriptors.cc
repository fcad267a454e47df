#include "common/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace rempar::io {

void fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // open() takes the lowest free number, which is this one.
    const int opened = ::open("/dev/null", O_RDWR);
    // Without /dev/null the number stays free; nothing better can be done.
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

}  // namespace rempar::io
