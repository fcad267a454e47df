#include "damaged_medium.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace rempar::testing {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Set by the build to the file system program, built for this machine even
// when the tests are built for another CPU; empty when libfuse3 was missing.
#ifndef REMPAR_FAULTY_FS
#define REMPAR_FAULTY_FS ""
#endif
constexpr const char* FAULTY_FS = REMPAR_FAULTY_FS;

constexpr const char* PREFIX = "rempar-medium-";

std::string text_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

bool is_mount_point(const std::string& path) {
  struct stat here {};
  struct stat above {};
  if (::stat(path.c_str(), &here) != 0) return errno == ENOTCONN;  // a dead FUSE mount
  if (::stat((path + "/..").c_str(), &above) != 0) return false;
  return here.st_dev != above.st_dev;
}

// Waits up to `limit` for `done`, looking every few milliseconds.
template <typename Done>
bool wait_for(Done done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Ends a child process: it should end by itself, else SIGTERM, else SIGKILL.
void reap(pid_t pid) {
  int status = 0;
  const auto exited = [&] { return ::waitpid(pid, &status, WNOHANG) != 0; };
  if (wait_for(exited, 2000ms)) return;
  ::kill(pid, SIGTERM);
  if (wait_for(exited, 2000ms)) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
}

void unmount_folder(const std::string& mount) {
  if (::umount2(mount.c_str(), 0) != 0 && errno != EINVAL && errno != ENOENT) {
    ::umount2(mount.c_str(), MNT_DETACH);  // busy: at least take it out of sight
  }
}

// Media of test processes that died without cleaning up (killed by a time-out,
// say): their file system process ended (it does when its parent goes), their
// loop devices cleared themselves; the mount and the folder may be left.
void remove_stale_media() {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), error)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(PREFIX)) continue;
    const pid_t owner = std::atoi(name.c_str() + std::strlen(PREFIX));
    if (owner <= 0 || alive(owner)) continue;
    const std::string dir = entry.path().string();
    const pid_t server = std::atoi(text_of(dir + "/fs.pid").c_str());
    if (server > 0 && text_of("/proc/" + std::to_string(server) + "/comm") == "faulty_fs\n") {
      ::kill(server, SIGTERM);
    }
    unmount_folder(dir + "/mnt");
    if (!is_mount_point(dir + "/mnt")) fs::remove_all(dir, error);
  }
}

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

DamagedMedium::DamagedMedium(Caching caching) {
  if (std::strlen(FAULTY_FS) == 0) {
    why_not_ =
        "the damaged-medium file system was not built: libfuse3 (pkg-config fuse3, Debian "
        "packages fuse3 and libfuse3-dev) was missing when the build was configured";
  } else if (::geteuid() != 0) {
    why_not_ =
        "the damaged medium needs root (to mount a FUSE file system and attach loop devices)";
  } else if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    why_not_ = failure("the damaged medium needs /dev/fuse");
  } else {
    remove_stale_media();
    mount(caching);
  }
}

DamagedMedium::~DamagedMedium() { unmount(); }

void DamagedMedium::mount(Caching caching) {
  std::string pattern =
      (fs::temp_directory_path() / (PREFIX + std::to_string(::getpid()) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    why_not_ = failure("cannot make a folder for the damaged medium");
    return;
  }
  dir_ = pattern;
  mount_ = dir_ + "/mnt";
  fs::create_directory(dir_ + "/backing");
  fs::create_directory(mount_);

  std::vector<std::string> words = {FAULTY_FS, dir_ + "/backing", mount_};
  if (caching == Caching::page_cache) words.insert(words.begin() + 1, "--cached");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int log =
      ::open((dir_ + "/fs.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Ends with the test process (strictly, with the thread that made the
    // medium), whatever ends it; the file system then unmounts itself.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(126);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::execv(argv.front(), argv.data());
    ::_exit(127);
  }
  ::close(log);
  if (pid < 0) {
    why_not_ = failure("cannot start " + words.front());
    return;
  }
  std::ofstream(dir_ + "/fs.pid") << pid << "\n";
  int status = 0;
  bool exited = false;
  const bool mounted = wait_for(
      [&] {
        exited = ::waitpid(pid, &status, WNOHANG) == pid;
        return exited || ::access((mount_ + "/.fault-control").c_str(), F_OK) == 0;
      },
      10000ms);
  if (mounted && !exited) {
    pid_ = pid;
    return;
  }
  if (!exited) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  why_not_ =
      "the damaged medium did not mount (" + words.front() + "): " + text_of(dir_ + "/fs.log");
  unmount();
}

void DamagedMedium::unmount() {
  // The loop devices first: each holds a file of the mount open.
  for (Loop& loop : loops_) {
    ::close(loop.fd);
    const std::string name = loop.device.substr(loop.device.rfind('/') + 1);
    wait_for([&] { return !fs::exists("/sys/block/" + name + "/loop/backing_file"); }, 5000ms);
  }
  loops_.clear();
  if (!mount_.empty()) unmount_folder(mount_);
  if (pid_ > 0) reap(pid_);
  pid_ = -1;
  std::error_code ignored;
  if (!dir_.empty() && !is_mount_point(mount_)) fs::remove_all(dir_, ignored);
  dir_.clear();
  mount_.clear();
}

std::string DamagedMedium::operator/(const std::string& name) const { return mount_ + "/" + name; }

std::string DamagedMedium::backing(const std::string& name) const {
  return dir_ + "/backing/" + name;
}

void DamagedMedium::create(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
  std::ofstream out(backing(name), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + backing(name));
}

void DamagedMedium::create_sparse(const std::string& name, std::uint64_t size) const {
  std::ofstream(backing(name), std::ios::binary | std::ios::trunc).close();
  std::error_code error;
  fs::resize_file(backing(name), size, error);
  if (error) throw std::runtime_error("cannot make " + backing(name) + ": " + error.message());
}

std::vector<std::uint8_t> DamagedMedium::content(const std::string& name) const {
  const std::string text = text_of(backing(name));
  return {text.begin(), text.end()};
}

std::string DamagedMedium::read_control(const std::string& file) const {
  if (!ready()) throw std::logic_error("the damaged medium is not mounted: " + why_not_);
  return text_of(mount_ + "/" + file);
}

void DamagedMedium::control(const std::string& command) const {
  if (!ready()) throw std::logic_error("the damaged medium is not mounted: " + why_not_);
  const std::string line = command + "\n";
  const int fd = ::open((mount_ + "/.fault-control").c_str(), O_WRONLY | O_CLOEXEC);
  const bool done =
      fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  const std::string why = failure("the damaged medium refused '" + command + "'");
  if (fd >= 0) ::close(fd);
  if (!done) throw std::runtime_error(why + " (" + text_of(dir_ + "/fs.log") + ")");
}

void DamagedMedium::add_fault(const std::string& name, std::uint64_t offset, std::uint64_t length,
                              const std::string& flags) const {
  control("fault " + name + " " + std::to_string(offset) + " " + std::to_string(length) + " " +
          flags);
}

void DamagedMedium::clear_faults(const std::string& name) const { control("clear " + name); }

void DamagedMedium::reset_counters(const std::string& name) const { control("reset " + name); }

MediumCounters DamagedMedium::counters(const std::string& name) const {
  const std::string wanted = "counters /" + name.substr(name.starts_with('/') ? 1 : 0) + " ";
  std::istringstream lines(read_control(".fault-control"));
  MediumCounters c;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(wanted)) continue;
    std::istringstream fields(line.substr(wanted.size()));
    for (std::string field; fields >> field;) {
      const auto eq = field.find('=');
      const std::string key = field.substr(0, eq);
      const std::uint64_t value = std::stoull(field.substr(eq + 1));
      if (key == "reads")
        c.reads = value;
      else if (key == "failed_reads")
        c.failed_reads = value;
      else if (key == "flipped_reads")
        c.flipped_reads = value;
      else if (key == "writes")
        c.writes = value;
      else if (key == "failed_writes")
        c.failed_writes = value;
      else if (key == "lied_writes")
        c.lied_writes = value;
    }
  }
  return c;
}

std::string DamagedMedium::report() const { return read_control(".fault-control"); }

std::string DamagedMedium::log() const { return read_control(".fault-log"); }

namespace {

// Binds `image` to the free loop device `number`, which clears itself when
// the last descriptor of it closes; that descriptor, or -1 (errno says why).
int bind_loop(int number, const std::string& image) {
  const std::string device = "/dev/loop" + std::to_string(number);
  int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {  // no udev to make the node of a new device
    ::mknod(device.c_str(), S_IFBLK | 0660, ::makedev(7, static_cast<unsigned>(number)));
    fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
  }
  if (fd < 0) return -1;
  const int file = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
  if (file < 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  loop_config config{};
  config.fd = static_cast<std::uint32_t>(file);
  config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
  std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(), LO_NAME_SIZE - 1);
  int rc = ::ioctl(fd, LOOP_CONFIGURE, &config);
  if (rc != 0 && (errno == EINVAL || errno == ENOTTY || errno == ENOSYS)) {
    // Kernels (and emulators) that predate LOOP_CONFIGURE.
    rc = ::ioctl(fd, LOOP_SET_FD, file);
    if (rc == 0) {
      rc = ::ioctl(fd, LOOP_SET_STATUS64, &config.info);
      if (rc != 0) ::ioctl(fd, LOOP_CLR_FD, 0);
    }
  }
  const int error = errno;
  ::close(file);
  if (rc != 0) {
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

std::string DamagedMedium::attach_loop(const std::string& name) {
  if (!ready()) throw std::logic_error("the damaged medium is not mounted: " + why_not_);
  const int control_fd = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control_fd < 0) {
    why_not_ = failure("loop devices need /dev/loop-control");
    return "";
  }
  // Another process may take the same free device first: try again.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int number = ::ioctl(control_fd, LOOP_CTL_GET_FREE);
    if (number < 0) break;
    const int fd = bind_loop(number, *this / name);
    if (fd >= 0) {
      ::close(control_fd);
      loops_.push_back({"/dev/loop" + std::to_string(number), fd});
      return loops_.back().device;
    }
    if (errno != EBUSY) break;
  }
  why_not_ = failure("no loop device could be attached over " + *this / name);
  ::close(control_fd);
  return "";
}

void DamagedMedium::drop_loop_cache(const std::string& device) const {
  for (const Loop& loop : loops_) {
    if (loop.device != device) continue;
    // Writes back what it can first; a write the medium refuses shows at the
    // caller's own fsync, not here.
    if (::ioctl(loop.fd, BLKFLSBUF, 0) != 0) {
      throw std::runtime_error(failure("cannot drop the page cache of " + device));
    }
    return;
  }
  throw std::logic_error(device + " is no loop device of this medium");
}

}  // namespace rempar::testing
