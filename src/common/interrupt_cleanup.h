#pragma once
// What an interrupted run must not leave behind. While a file is registered
// here, SIGINT, SIGTERM, SIGHUP and SIGPIPE remove it before the process ends
// by the same signal, with the status a shell expects of it.

#include <csignal>
#include <string>

namespace rempar::io {

// Removes `path` if a signal ends the run; replaces any earlier registration.
// Signals that were ignored when the run began stay ignored.
void remove_on_interrupt(const std::string& path);
// The file is no longer the run's to remove (committed or already removed).
void forget_on_interrupt();

// From now on a write into a pipe that nobody reads fails with EPIPE, which
// the run reports, instead of ending the process by SIGPIPE.
void report_broken_pipes();

// Holds the signals back while it lives, so that a file and its registration
// come and go together; a held signal arrives when it ends.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};

}  // namespace rempar::io
