// Reads a file once, 1 MiB at a time, and drops the pages behind the read
// from the page cache: the floor for a walk of a cold file that leaves the
// rest of the cache alone. Built and run by bench/cold.sh.
//
// `dd iflag=nocache` drops exactly the chunk it read, which leaves every
// large folio that straddles two chunks cached; here each drop reaches from
// the end of the last one to a 2 MiB boundary some MiB behind the read.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

constexpr off_t CHUNK = 1 << 20;
constexpr off_t LAG = 8 << 20;
constexpr off_t FOLIO = 2 << 20;

void drop(int fd, off_t offset, off_t length) {
  if (const int e = ::posix_fadvise(fd, offset, length, POSIX_FADV_DONTNEED); e != 0)
    std::fprintf(stderr, "drop_behind: posix_fadvise: error %d\n", e);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: drop_behind FILE\n");
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  // The same read-ahead hint the tool gives its inputs.
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<char> buffer(CHUNK);
  off_t done = 0;
  off_t dropped = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::perror(argv[1]);
      return 1;
    }
    if (n == 0) break;
    done += n;
    if (const off_t behind = (done - LAG) / FOLIO * FOLIO; behind > dropped) {
      drop(fd, dropped, behind - dropped);
      dropped = behind;
    }
  }
  drop(fd, 0, 0);  // the rest, read-ahead past the end included
  ::close(fd);
  return 0;
}
