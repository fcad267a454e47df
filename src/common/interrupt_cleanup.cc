#include "common/interrupt_cleanup.h"

#include <unistd.h>

#include <array>
#include <csignal>

namespace rempar::io {
namespace {

constexpr std::array<int, 4> CLEANUP_SIGNALS = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The handler may only read what was complete before the registration: the
// name is set while the signals are held, and read through one pointer.
std::string& registered_path() {
  static std::string path;
  return path;
}
const char* volatile pending_removal = nullptr;

extern "C" void remove_and_reraise(int signal_number) {
  if (const char* path = pending_removal) ::unlink(path);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);  // delivered, by the default action, once this returns
}

void install_handlers_once() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int signal_number : CLEANUP_SIGNALS) {
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = remove_and_reraise;
    sigfillset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
  }
}

sigset_t cleanup_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : CLEANUP_SIGNALS) sigaddset(&set, signal_number);
  return set;
}

}  // namespace

void remove_on_interrupt(const std::string& path) {
  const SignalsHeld held;
  install_handlers_once();
  pending_removal = nullptr;
  registered_path() = path;
  pending_removal = registered_path().c_str();
}

void forget_on_interrupt() { pending_removal = nullptr; }

// Handlers installed later leave a signal that is ignored alone.
void report_broken_pipes() { ::signal(SIGPIPE, SIG_IGN); }

SignalsHeld::SignalsHeld() {
  const sigset_t set = cleanup_set();
  ::sigprocmask(SIG_BLOCK, &set, &previous_);
}

SignalsHeld::~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace rempar::io
