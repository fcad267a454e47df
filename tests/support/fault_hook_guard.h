#pragma once
// The file layer's fault hook, set for as long as a guard lives and cleared
// when it goes, also when a failed assertion leaves the test early, so that
// no fault reaches the next test.

#include "common/file.h"

namespace rempar::testing {

class FaultHookGuard {
 public:
  explicit FaultHookGuard(io::FaultHook hook);
  ~FaultHookGuard();
  FaultHookGuard(const FaultHookGuard&) = delete;
  FaultHookGuard& operator=(const FaultHookGuard&) = delete;
};

}  // namespace rempar::testing
