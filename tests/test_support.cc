#include "test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

#include "checksum/block_crc.h"
#include "container/container_writer.h"
#include "ops/create_checksum.h"
#include "ops/create_patch.h"

namespace rempar::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "rempar-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void overwrite_file(const std::string& path, const Bytes& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n =
        ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n <= 0) throw std::runtime_error("cannot write " + path);
    done += static_cast<std::size_t>(n);
  }
  const bool sized = ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
  ::close(fd);
  if (!sized) throw std::runtime_error("cannot truncate " + path);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(gen());
  return bytes;
}

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

namespace {
// The binary and its arguments, behind the emulator's words when the
// binary was built for another CPU (qemu-user with its options). Made
// before the fork, so the child need not allocate.
std::vector<std::string> rempar_command(const std::string& program,
                                        const std::vector<std::string>& args) {
  std::vector<std::string> words;
  std::istringstream emulator(REMPAR_EMULATOR);
  for (std::string word; emulator >> word;) words.push_back(word);
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}
}  // namespace

Child start_rempar(const std::vector<std::string>& args, const std::string& cwd,
                   const std::function<bool()>& in_child, const std::string& program) {
  std::vector<std::string> words = rempar_command(program, args);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
    if (in_child && !in_child()) ::_exit(126);
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::execvp(argv.front(), argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  return Child{pid, out_pipe[0], err_pipe[0]};
}

RunResult finish(Child child) {
  RunResult result;
  // Standard error stays small; read it after standard output.
  result.out = drain(child.out);
  result.err = drain(child.err);
  ::close(child.out);
  ::close(child.err);
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

RunResult run_rempar(const std::vector<std::string>& args, const std::string& cwd) {
  return finish(start_rempar(args, cwd));
}

namespace {

// Checksum creation's writer alone, in the layout given.
bool write_checksum_file(const std::string& input_name, const std::string& cdt_name,
                         std::int32_t block_size, const ContainerLayout& layout,
                         std::ostream& out) {
  auto input = io::File::open(input_name, io::File::Mode::read);
  auto cdt = io::File::open(cdt_name, io::File::Mode::create_rw);
  if (!input || !cdt) return false;
  const auto size = input->info().value_or(io::PathInfo{}).size;
  ContainerWriter writer(*cdt);
  return write_checksums(*input, writer, layout, block_size, size, out);
}

}  // namespace

Bytes checksum_file_of(const Bytes& data, std::int32_t block_size, const ContainerLayout* layout) {
  TempDir dir;
  write_file(dir / "d", data);
  std::ostringstream out;
  const bool written =
      layout != nullptr
          ? write_checksum_file(dir / "d", dir / "d.cdt", block_size, *layout, out)
          : run_create_checksum(dir / "d", dir / "d.cdt", block_size, out) == Outcome::succeeded;
  if (!written) throw std::runtime_error("checksum creation failed: " + out.str());
  return read_file(dir / "d.cdt");
}

Bytes patch_file_of(const Bytes& good, const Bytes& damaged, std::int32_t block_size,
                    const ContainerLayout* layout) {
  TempDir dir;
  write_file(dir / "g", good);
  write_file(dir / "g.cdt", checksum_file_of(damaged, block_size, layout));
  std::ostringstream out;
  if (run_create_patch(dir / "g.cdt", dir / "g", dir / "g.cdp", out) != Outcome::succeeded) {
    throw std::runtime_error("patch creation failed: " + out.str());
  }
  return read_file(dir / "g.cdp");
}

Bytes damaged_copy(Bytes data, std::size_t block_size, std::size_t every) {
  for (std::size_t at = 0; at < data.size(); at += block_size * every) data[at] ^= 0x5A;
  return data;
}

void reseal(Bytes& container) {
  container.resize(container.size() - 4);
  append_le32(container, block_crc(container));
}

void store_checksum(Bytes& cdt, std::size_t index, std::uint32_t crc) {
  const auto at = static_cast<std::size_t>(LAYOUT_2_0.checksums_offset()) + 4 * index;
  Bytes field;
  append_le32(field, crc);
  std::copy(field.begin(), field.end(), cdt.begin() + static_cast<std::ptrdiff_t>(at));
  reseal(cdt);
}

bool same_output(const std::string& called, const std::string& name) {
  return called == name || called.starts_with(name + ".rempar-tmp-");
}

bool brings_in(io::FileWindows& windows, std::uint64_t offset, std::size_t length) {
  const auto window = windows.map(offset, length);
  if (!window) return false;
  volatile std::uint8_t sink = 0;
  for (std::size_t at = 0; at < window->size(); at += 512) sink = sink ^ (*window)[at];
  return !windows.lost();
}

bool reads_as(io::Op op, io::Op wanted) {
  return op == wanted || (wanted == io::Op::read && op == io::Op::map);
}

ScopedFault::ScopedFault(io::Op op, const std::string& name, io::Fault fault)
    : hook_([=](io::Op o, const std::string& n) {
        return reads_as(o, op) && same_output(n, name) ? fault : io::Fault{};
      }) {}

}  // namespace rempar::testing
